"""Hostile-input fuzzing of every keyboard entry point; run as a script in its own process.

Each example calls one entry point with arguments drawn from the zoo, with the shared state
of ``common`` drawn from it too and sending functions that raise, call back into the module
or rebind its names mid-call. Required: no crash; only argument errors (TypeError,
OverflowError, ValueError from a number conversion, or the zoo's own exception raised by an
argument's special method) reach the caller; every key the module pressed is released.

Usage: python fuzz_keyboard.py EXAMPLES
"""

import os
import sys
import types

from hypothesis import strategies as st

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from runner import fuzz_each, require_every_entry  # noqa: E402
from zoo import Hostile, anything, dicts, floats, hostile, integers, scalars, texts, tuples  # noqa: E402

import velmora  # noqa: E402,F401
import velmora.strokeSmith as kb  # noqa: E402
from velmora._platform import desktop, memory  # noqa: E402

ARGUMENT_ERRORS = (TypeError, OverflowError, ValueError, Hostile)

# Key events land in a memory backend, which counts the keys held down.
board = memory.MemoryDisplay()
desktop.use(board)
pressed = board.down
rebound = []
sink = open(os.devnull, "w")


class Quiet:
    """Failure reports and prints of the bodies go nowhere while an entry point runs."""

    def __enter__(self):
        self.saved = sys.stdout, sys.stderr, sys.unraisablehook, sys.excepthook
        sys.stdout = sys.stderr = sink
        sys.unraisablehook = lambda unraisable: None
        sys.excepthook = lambda *exc_info: None

    def __exit__(self, *exc_info):
        sys.stdout, sys.stderr, sys.unraisablehook, sys.excepthook = self.saved


ORIGINAL = dict(vars(kb))
kb.sleep = lambda seconds: None
kb.keyboard = types.SimpleNamespace(
    write=lambda text: (
        None if isinstance(text, str) else (_ for _ in ()).throw(TypeError("not a str"))
    )
)
kb.os = types.SimpleNamespace(startfile=lambda path: None)
kb.winsound = types.SimpleNamespace(PlaySound=lambda *a: None, SND_FILENAME=0x20000, SND_ASYNC=1)
BASELINE = dict(vars(kb))


def reenter(key):
    kb.SimulateKeyPress(65)
    kb.SimulateHotKeyPress({17: 29, 65: 30})


def rebind(key):
    rebound.append(True)
    kb.win32api = types.SimpleNamespace(keybd_event=lambda *a: None)
    kb.sleep = None
    del kb.win32con


def raises(key):
    raise Hostile("sender")


senders = st.sampled_from([lambda key: None, reenter, rebind, raises, print, None, 5])
sequence_pairs = st.one_of(st.tuples(scalars, senders), st.tuples(integers, integers))
sequences = st.one_of(tuples, st.lists(sequence_pairs, max_size=4).map(tuple))

# Counts that make the module repeat work (times, prog_index) stay small: a huge count is a
# legitimate request for that much work, not a fault.
counts = st.one_of(
    st.integers(-50, 50),
    st.floats(-50, 50),
    st.sampled_from([float("nan"), float("inf"), -float("inf"), 2**31, -(2**31) - 1, 2**70]),
    texts,
    hostile,
    st.none(),
)
key_codes = st.one_of(integers, floats, scalars)

ENTRIES = {
    "SimulateKeyPress": st.one_of(
        st.lists(key_codes, max_size=2),
        st.tuples(key_codes, key_codes, counts).map(list),
        st.tuples(key_codes, key_codes, counts, key_codes).map(list),
    ),
    "SimulateKeyPressSequence": st.tuples(sequences, st.one_of(floats, st.just(0.0), scalars)).map(
        list
    ),
    "FindAndSendKeysToWindow": st.lists(st.one_of(texts, scalars, senders), min_size=0, max_size=4),
    "SimulateHotKeyPress": st.lists(dicts, min_size=1, max_size=1),
    "GetCaretPosition": st.lists(st.one_of(texts, scalars), max_size=3),
    "SendTextWithCaret": st.lists(st.one_of(texts, scalars), max_size=3),
    "ExpandText": st.lists(anything, max_size=1),
    "OpenLocation": st.lists(anything, max_size=1),
    "CrudeOpenWith": st.lists(counts, max_size=3),
}

state = st.fixed_dictionaries(
    {
        "pressed_chars": st.one_of(texts, hostile, st.none()),
        "abbreviations": st.one_of(
            st.dictionaries(texts, st.one_of(texts, scalars), max_size=3), scalars
        ),
        "locations": st.one_of(st.dictionaries(texts, texts, max_size=2), scalars),
        "keyboard_send": senders,
    }
)


def restore():
    for name in list(vars(kb)):
        if name not in BASELINE:
            delattr(kb, name)
    for name, value in BASELINE.items():
        setattr(kb, name, value)


def check(name, arguments, shared):
    rebound.clear()
    pressed.clear()
    kb.ctrlHouse = types.SimpleNamespace(**shared)
    try:
        with Quiet():
            result = getattr(kb, name)(*arguments)
    except ARGUMENT_ERRORS:
        pass
    else:
        expected = int if name == "GetCaretPosition" else type(None)
        assert type(result) is expected, (name, result)
    finally:
        restore()
    if not rebound:
        stuck = {vk: count for vk, count in pressed.items() if count > 0}
        assert not stuck, (name, arguments, stuck)


def main(examples):
    require_every_entry(kb, ENTRIES)
    fuzz_each(ENTRIES, examples, check, state)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 200)
