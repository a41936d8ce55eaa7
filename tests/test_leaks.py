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
WARM_UP_CALLS = 600  # libraries fill caches and free lists over the first few hundred calls


def measure(call):
    for _ in range(WARM_UP_CALLS):
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



@pytest.fixture
def image_module(monkeypatch, quiet):
    """The image module with the clipboard stand-in emptied and closed around each call."""
    import win32clipboard
    from velmora import snapTone

    yield snapTone
    if win32clipboard._is_open:
        win32clipboard.CloseClipboard()


def image_cases():
    import numpy as np
    from PIL import Image

    class Picture(Image.Image):
        pass

    rgb = Image.new("RGB", (24, 16), (10, 20, 30))
    rgb.putpixel((3, 3), (200, 200, 200))
    rgba = Image.new("RGBA", (16, 24), (10, 20, 30, 40))
    grey = Image.new("L", (8, 8), 7)
    bgr = np.zeros((12, 10, 3), np.uint8)
    bgra = np.zeros((12, 10, 4), np.uint8)
    subclass_picture = rgb.convert("RGBA")
    subclass_picture.__class__ = Picture

    def clipboard_refusing(snap, monkeypatch):
        import types

        import win32clipboard

        monkeypatch.setattr(snap, "win32clipboard", types.SimpleNamespace(
            OpenClipboard=noop, EmptyClipboard=refuse, SetClipboardData=noop,
            CloseClipboard=noop, CF_DIB=win32clipboard.CF_DIB))

    return {
        "bmp": (lambda s: s.pil_image_to_bmp(rgba), [rgba]),
        "bmp, not a picture": (lambda s: s.pil_image_to_bmp(bgr), [bgr]),
        "clipboard, array": (lambda s: s.send_to_clipboard(bgra), [bgra]),
        "clipboard, picture": (lambda s: s.send_to_clipboard(rgb), [rgb]),
        "clipboard, wrong type": (lambda s: s.send_to_clipboard([1]), []),
        "clipboard, 2-d array": (lambda s: s.send_to_clipboard(bgr[:, :, 0]), [bgr]),
        "clipboard refused": (lambda s: s.send_to_clipboard(rgb), [rgb], clipboard_refusing),
        "to array, RGB": (lambda s: s.pil_to_cv(rgb), [rgb]),
        "to array, RGBA": (lambda s: s.pil_to_cv(rgba), [rgba]),
        "to array, L": (lambda s: s.pil_to_cv(grey), [grey]),
        "to array, no mode": (lambda s: s.pil_to_cv(bgr), [bgr]),
        "to picture, BGR": (lambda s: s.cv_to_pil(bgr), [bgr]),
        "to picture, BGRA": (lambda s: s.cv_to_pil(bgra), [bgra]),
        "to picture, 2-d": (lambda s: s.cv_to_pil(bgr[:, :, 0]), [bgr]),
        "invert, RGB": (lambda s: s.image_invert(rgb), [rgb]),
        "invert, RGBA": (lambda s: s.image_invert(rgba), [rgba]),
        "invert, None": (lambda s: s.image_invert(None), []),
        "transparent, RGB": (lambda s: s.make_transparent(rgb), [rgb]),
        "transparent, generic path": (lambda s: s.make_transparent(subclass_picture), [subclass_picture]),
        "transparent, empty": (lambda s: s.make_transparent(Image.new("RGB", (0, 3))), []),
        "tracker": (lambda s: s.MouseHelper((480, 640, 3)).update_life_data(1, 100, 50, 8, None), []),
        "tracker, crop drag": (lambda s: drag(s.MouseHelper((480, 640, 3))), []),
        "tracker, wrong shape": (lambda s: s.MouseHelper([480, 640]), []),
        "tracker, count error": (lambda s: s.MouseHelper(), []),
    }


def drag(tracker):
    tracker.update_life_data(1, 100, 50, 8, None)
    tracker.update_life_data(4, 140, 90, 0, None)
    tracker.update_life_data(4, 1000, 90, 0, None)


IMAGE_CASES = [
    "bmp", "bmp, not a picture", "clipboard, array", "clipboard, picture", "clipboard, wrong type",
    "clipboard, 2-d array", "clipboard refused", "to array, RGB", "to array, RGBA", "to array, L",
    "to array, no mode", "to picture, BGR", "to picture, BGRA", "to picture, 2-d", "invert, RGB",
    "invert, RGBA", "invert, None", "transparent, RGB", "transparent, generic path",
    "transparent, empty", "tracker", "tracker, crop drag", "tracker, wrong shape",
    "tracker, count error",
]


@pytest.mark.parametrize("case", IMAGE_CASES)
def test_image_entries_do_not_leak(image_module, monkeypatch, case):
    import warnings

    snap = image_module
    call, watched, *setup = image_cases()[case]
    if setup:
        setup[0](snap, monkeypatch)

    def run():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                call(snap)
            except Exception:
                pass

    assert_no_leak(run, watched + [snap.cv2, snap.np, snap.PIL])
