"""Re-entrancy fuzzing of every entry point of both modules; run as a script in its own process.

Each example calls one entry point through a `functools.partial`, the only owner of its
arguments, with traps among the arguments and in the module namespaces. A trap runs a drawn
action from the first special method the module reaches (`__eq__`, `__hash__`, `__int__`,
`__len__`, `__bool__`, `__setattr__`, `__call__` as a sending function or library stand-in,
`__del__`): drop the call's arguments and `self` mid-call, rebind or delete module names,
replace `sys.excepthook`, `sys.unraisablehook` or `sys.stderr` by objects that drop themselves
when used, raise, or call the entry point again. Required: no crash, and, run under
PYTHONMALLOC=malloc with the sanitizer build (PYTHONMALLOC=debug otherwise), no use of freed
memory. Failures may be any ordinary exception.

Usage: python fuzz_reentry.py EXAMPLES [ENTRY...]   (all entry points when none is named)
"""

import functools
import os
import sys
import types

import numpy as np
from hypothesis import strategies as st
from runner import fuzz_each, require_every_entry

import velmora  # noqa: F401
import velmora.snapTone as snap
import velmora.strokeSmith as kb

sink = open(os.devnull, "w")
calls = []  # the partial of each call in progress, innermost last
entries = []  # the entry point of each call in progress
noop = lambda *args, **kwargs: None  # noqa: E731


def quiet_hooks():
    sys.stdout = sys.stderr = sink
    sys.excepthook, sys.unraisablehook = noop, noop


class SelfDropping:
    """A `sys.stderr` whose first write replaces it, dropping the last reference to itself."""

    def write(self, text):
        sys.stderr = sink
        return len(text)

    def flush(self):
        pass


def drop_hook(*args):
    sys.unraisablehook = noop


class Tracked(snap.MouseHelper):
    """A mouse tracker whose attribute writes run a trap (it is the `self` being worked on)."""

    def __setattr__(self, name, value):
        if isinstance(value, Trap) or name == "event":
            Trap("drop").fire()
        object.__setattr__(self, name, value)


ACTIONS = {
    "drop": lambda: calls and calls[-1].__setstate__((noop, (), None, None)),
    "rebind": lambda: (
        setattr(kb, "win32api", types.SimpleNamespace(keybd_event=noop)),
        setattr(kb, "sleep", None),
        setattr(snap, "cv2", types.SimpleNamespace()),
    ),
    "delete": lambda: [
        vars(module).pop(name, None)
        for module, name in [
            (kb, "win32con"),
            (kb, "ctrlHouse"),
            (kb, "kbcon"),
            (snap, "np"),
            (snap, "PIL"),
        ]
    ],
    # The failure printer's hook is a method of a tracker that only the hook holds; the event
    # passed to it replaces the hook when compared, dropping hook, method and tracker at once.
    "excepthook": lambda: setattr(
        sys, "excepthook", functools.partial(Tracked((2, 3)).update_life_data, Trap("unhook", 1), 1)
    ),
    "unhook": lambda: (setattr(sys, "excepthook", noop), setattr(sys, "unraisablehook", noop)),
    "unraisablehook": lambda: setattr(
        sys, "unraisablehook", functools.partial(drop_hook, Trap("drop"))
    ),
    "stderr": lambda: setattr(sys, "stderr", SelfDropping()),
    "raise": lambda: (_ for _ in ()).throw(LookupError("trap")),
    "reenter": lambda: 0 < len(entries) < 3 and call(entries[0]),
}


class Trap:
    """A key, count, sender or library stand-in that runs its action once, the first time the
    module uses it during a call, then behaves like the int `value`."""

    def __init__(self, action, value=65):
        object.__setattr__(self, "action", action)
        object.__setattr__(self, "value", value)

    def fire(self):
        if calls and self.action is not None:
            action = self.action
            object.__setattr__(self, "action", None)
            ACTIONS[action]()


def trapped(behaviour):
    def method(self, *args):
        self.fire()
        return behaviour(self, *args)

    return method


for name, behaviour in {
    "__eq__": lambda self, other: self.value == other,
    "__hash__": lambda self: hash(self.value),
    "__int__": lambda self: self.value,
    "__index__": lambda self: self.value,
    "__float__": lambda self: 0.0,
    "__len__": lambda self: 2,
    "__bool__": lambda self: False,
    "__call__": lambda self, *args: self.value,
    "__getattr__": lambda self, name: self,
    "__del__": lambda self: None,
}.items():
    setattr(Trap, name, trapped(behaviour))


actions = st.sampled_from([None, *ACTIONS])
KEYBOARD_NAMES = [
    "win32api",
    "win32gui",
    "win32ui",
    "winHouse",
    "ctrlHouse",
    "kbcon",
    "keyboard",
    "sleep",
    "winsound",
    "os",
    "pywintypes",
]


def fresh(text):
    return "".join([text, "!"])  # a new str, owned by the call's arguments only


# Each entry point: its arguments, made from one list of drawn trap actions.
ENTRIES = {
    kb.SimulateKeyPress: lambda a: (Trap(a[0], 37), Trap(a[1], 30), Trap(a[2], 2)),
    kb.SimulateKeyPressSequence: lambda a: (
        ((Trap(a[0], 37), Trap(a[1], 30)), (Trap(a[2]), Trap(a[3]))),
        0.0,
    ),
    kb.FindAndSendKeysToWindow: lambda a: (fresh("Notepad"), Trap(a[0]), Trap(a[1])),
    kb.SimulateHotKeyPress: lambda a: (
        {Trap(a[0], 17): Trap(a[1], 29), Trap(a[2], 37): Trap(a[3], 75)},
    ),
    kb.GetCaretPosition: lambda a: (fresh("ab{!}c"), fresh("{!}")),
    kb.SendTextWithCaret: lambda a: (fresh("ab{!}c"), fresh("{!}")),
    kb.ExpandText: lambda a: (),
    kb.OpenLocation: lambda a: (),
    kb.CrudeOpenWith: lambda a: (Trap(a[0], 4), Trap(a[1], 2)),
    snap.MouseHelper: lambda a: ((2, 3),),
    "update_life_data": lambda a: (
        Trap(a[0], 1),
        Trap(a[1], 1),
        Trap(a[2], 1),
        Trap(a[3], 0),
        Trap(a[4]),
    ),
    snap.life_color_update: lambda a: (
        np.zeros((30, 4, 3), np.uint8),
        Trap(a[0], 1),
        Trap(a[1], 1),
    ),
    snap.pil_to_cv: lambda a: (Trap(a[0]),),
    snap.cv_to_pil: lambda a: (Trap(a[0]),),
    snap.image_invert: lambda a: (Trap(a[0]),),
    snap.make_transparent: lambda a: (Trap(a[0]),),
    snap.send_to_clipboard: lambda a: (Trap(a[0]),),
    snap.pil_image_to_bmp: lambda a: (Trap(a[0]),),
    snap.BeginImageProcessing: lambda a: (Trap(a[0]),),
}
# The entries above that are not the module's functions, by the names the modules give them.
ENTRY_NAMES = {
    snap.MouseHelper: "MouseHelper.__init__",
    "update_life_data": "MouseHelper.update_life_data",
}
BASELINE = {module: dict(vars(module)) for module in (kb, snap)}


def call(entry, drawn=(None,) * 5):
    """Calls `entry` through a partial that owns the arguments; only `calls` holds the partial."""
    function = entry
    if entry == "update_life_data":
        function = Tracked((2, 3)).update_life_data
    calls.append(functools.partial(function, *ENTRIES[entry](drawn)))
    entries.append(entry)
    try:
        calls[-1]()
    except Exception:
        pass
    finally:
        calls.pop()
        entries.pop()


def restore():
    saved = sys.stdout, sys.stderr, sys.excepthook, sys.unraisablehook
    for module, names in BASELINE.items():
        vars(module).clear()
        vars(module).update(names)
    return saved


def example(entry, drawn, namespace):
    saved = restore()
    kb.sleep = noop
    kb.keyboard = types.SimpleNamespace(write=noop)
    kb.os = types.SimpleNamespace(startfile=noop)
    kb.winsound = types.SimpleNamespace(PlaySound=noop, SND_FILENAME=0x20000, SND_ASYNC=1)
    for name, action in zip(KEYBOARD_NAMES, namespace, strict=True):
        if action is not None:
            setattr(kb, name, Trap(action))
    quiet_hooks()
    try:
        call(entry, drawn)
    finally:
        restore()
        sys.stdout, sys.stderr, sys.excepthook, sys.unraisablehook = saved


def main(examples, names):
    covered = [ENTRY_NAMES.get(entry, getattr(entry, "__name__", entry)) for entry in ENTRIES]
    for module in (kb, snap):
        require_every_entry(module, covered)
    chosen = {
        entry: st.lists(actions, min_size=5, max_size=5)
        for entry in ENTRIES
        if not names or getattr(entry, "__name__", entry) in names
    }
    namespace = st.lists(actions, min_size=len(KEYBOARD_NAMES), max_size=len(KEYBOARD_NAMES))
    fuzz_each(chosen, examples, example, namespace)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100, sys.argv[2:])
