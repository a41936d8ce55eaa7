"""Leak checks: every entry point, on its success path and on each failure path, called over
and over, must not grow the interpreter's allocated blocks or the reference counts of its
arguments and of the objects the module holds.

The rule is the one CPython's own reference-leak hunter uses: after a warm-up, the growth is
measured over several rounds, and a leak is a growth in every round (a single round can grow
or shrink through caches).
"""

import gc
import os
import sys
import types

import pytest

ROUNDS = 4
CALLS_PER_ROUND = 40


def measure(call):
    for _ in range(CALLS_PER_ROUND):
        call()
    deltas = []
    for _ in range(ROUNDS):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(CALLS_PER_ROUND):
            call()
        gc.collect()
        deltas.append(sys.getallocatedblocks() - before)
    return deltas


def assert_no_leak(call, watched=()):
    counts = [sys.getrefcount(obj) for obj in watched]
    deltas = measure(call)
    assert not all(delta >= 1 for delta in deltas), f"allocated blocks grew in every round: {deltas}"
    assert [sys.getrefcount(obj) for obj in watched] == counts, "references of arguments or held objects grew"


@pytest.fixture
def quiet(monkeypatch):
    """Failure reports, prints and the standard streams go nowhere, so they cannot accumulate."""
    sink = open(os.devnull, "w")
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    monkeypatch.setattr(sys, "excepthook", lambda *exc_info: None)
    monkeypatch.setattr(sys, "stdout", sink)
    monkeypatch.setattr(sys, "stderr", sink)
    yield
    sink.close()


class Refuse(Exception):
    pass


def refuse(*args):
    raise Refuse("refused")


def noop(*args):
    return None


@pytest.fixture
def keyboard_module(monkeypatch, quiet):
    """The keyboard module with every platform name rebound to a no-op."""
    from velmora import strokeSmith as kb

    state = types.SimpleNamespace(handle=0, visible=True, refusals=0)

    def set_foreground(handle):
        if state.refusals:
            state.refusals -= 1
            raise WinError()

    class UiError(Exception):
        pass

    class WinError(Exception):
        pass

    def find_window(class_name, title):
        if class_name == "missing":
            raise UiError()
        return types.SimpleNamespace(GetSafeHwnd=lambda: 0x2222)

    monkeypatch.setattr(kb, "win32api", types.SimpleNamespace(keybd_event=noop))
    monkeypatch.setattr(kb, "sleep", noop)
    monkeypatch.setattr(kb, "keyboard", types.SimpleNamespace(write=noop))
    monkeypatch.setattr(kb, "winsound", types.SimpleNamespace(PlaySound=noop, SND_FILENAME=0x20000, SND_ASYNC=1))
    monkeypatch.setattr(kb, "os", types.SimpleNamespace(startfile=noop))
    monkeypatch.setattr(kb, "win32gui", types.SimpleNamespace(
        IsWindowVisible=lambda h: state.visible, ShowWindow=noop,
        SetForegroundWindow=set_foreground, GetWindowText=lambda h: "Untitled"))
    monkeypatch.setattr(kb, "win32ui", types.SimpleNamespace(FindWindow=find_window, error=UiError))
    monkeypatch.setattr(kb, "pywintypes", types.SimpleNamespace(error=WinError))
    monkeypatch.setattr(kb, "winHouse", types.SimpleNamespace(
        GetHandleByClassName=lambda c: state.handle,
        SetHandleByClassName=lambda c, h: setattr(state, "handle", h or 0)))
    monkeypatch.setattr(kb, "ctrlHouse", types.SimpleNamespace(
        pressed_chars="brb", abbreviations={"brb": "be right back"}, locations={"brb": "/tmp"},
        keyboard_send=noop))
    kb.state = state
    yield kb
    del kb.state


def fail_in(kb, monkeypatch):
    monkeypatch.setattr(kb, "win32api", types.SimpleNamespace(keybd_event=refuse))


KEYBOARD_CASES = {
    "press": lambda kb: kb.SimulateKeyPress(65, 30, 3),
    "press, keywords": lambda kb: kb.SimulateKeyPress(key_id=0x27, times=2),
    "press, count error": lambda kb: kb.SimulateKeyPress(),
    "press, keyword error": lambda kb: kb.SimulateKeyPress(65, bogus=1),
    "press, duplicate keyword": lambda kb: kb.SimulateKeyPress(65, key_id=1),
    "press, int error": lambda kb: kb.SimulateKeyPress("A"),
    "press, overflow": lambda kb: kb.SimulateKeyPress(2**40),
    "chord": lambda kb: kb.SimulateHotKeyPress({17: 29, 67: 46}),
    "chord, bad entry": lambda kb: kb.SimulateHotKeyPress({17: 29, 67: "x"}),
    "chord, None": lambda kb: kb.SimulateHotKeyPress(None),
    "chord, wrong type": lambda kb: kb.SimulateHotKeyPress([1]),
    "sequence": lambda kb: kb.SimulateKeyPressSequence(((65, 30), ("a", noop), [0x28, 80]), 0.0),
    "sequence, unpack error": lambda kb: kb.SimulateKeyPressSequence(((65,),)),
    "sequence, not callable": lambda kb: kb.SimulateKeyPressSequence(((65, 30.0),)),
    "sequence, bad delay": lambda kb: kb.SimulateKeyPressSequence((), "x"),
    "window, found": lambda kb: kb.FindAndSendKeysToWindow("Notepad", "k", noop),
    "window, missing": lambda kb: kb.FindAndSendKeysToWindow("missing", "k", noop),
    "window, refused twice": lambda kb: (setattr(kb.state, "refusals", 2), kb.FindAndSendKeysToWindow("Notepad", "k", noop)),
    "window, sender fails": lambda kb: kb.FindAndSendKeysToWindow("Notepad", "k", refuse),
    "caret": lambda kb: kb.GetCaretPosition("Hello {!}world"),
    "caret, None": lambda kb: kb.GetCaretPosition("x", None),
    "text": lambda kb: kb.SendTextWithCaret("a{!}b{!}c"),
    "text, None": lambda kb: kb.SendTextWithCaret(None),
    "expand": lambda kb: (setattr(kb.ctrlHouse, "pressed_chars", "brb"), kb.ExpandText()),
    "expand, no entry": lambda kb: (setattr(kb.ctrlHouse, "pressed_chars", "zzz"), kb.ExpandText()),
    "open location": lambda kb: (setattr(kb.ctrlHouse, "pressed_chars", "brb"), kb.OpenLocation()),
    "open with": lambda kb: kb.CrudeOpenWith(3, 2),
    "open with, int error": lambda kb: kb.CrudeOpenWith("3"),
}


@pytest.mark.parametrize("case", list(KEYBOARD_CASES))
@pytest.mark.parametrize("platform", ["working", "failing"])
def test_keyboard_entries_do_not_leak(keyboard_module, monkeypatch, case, platform):
    kb = keyboard_module
    if platform == "failing":
        fail_in(kb, monkeypatch)
    call = KEYBOARD_CASES[case]

    def run():
        try:
            call(kb)
        except (TypeError, OverflowError, ValueError):
            pass

    held = [kb.win32api, kb.sleep, kb.ctrlHouse, kb.winHouse, kb.keyboard, kb.os]
    assert_no_leak(run, held)
