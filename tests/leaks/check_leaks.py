"""Leak checks of every entry point; run as a script, in a process of its own.

Every public function and method is called over and over, on its success path and on each
failure path (argument errors, reported body failures, library errors). After a warm-up, the
growth of the interpreter's allocated blocks is measured over several rounds, the rule of
CPython's own reference-leak hunter: a leak is growth in every round (one round can grow or
shrink through caches). The reference counts of the arguments and of the objects the module
holds must not change either. A process of its own keeps other tests' threads and caches out
of the counts.

Usage: python check_leaks.py keyboard|image   (prints one JSON object: case -> verdict)
"""

import contextlib
import gc
import json
import os
import sys
import types
import warnings

import velmora  # noqa: F401

ROUNDS = 4
CALLS_PER_ROUND = 40
WARM_UP_CALLS = 600  # libraries fill caches and free lists over the first few hundred calls


def warm_up(call):
    for _ in range(WARM_UP_CALLS):
        call()


def measure(call, calls, rounds=ROUNDS):
    """The growth of the allocated blocks over each of `rounds` rounds of `calls` calls."""
    deltas = []
    for _ in range(rounds):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(calls):
            call()
        gc.collect()
        deltas.append(sys.getallocatedblocks() - before)
    return deltas


def leak_verdict(call, watched=(), baseline=None, calls=CALLS_PER_ROUND, allowance=0):
    """Measures one case in ROUNDS rounds of ``calls`` calls; returns None when it holds, else
    what grew.

    ``baseline``, where given, makes the same library calls from Python: growth that the
    libraries themselves show there is not the module's. ``allowance`` is the growth per round
    that the libraries show now and then without leaking (Pillow and NumPy fill caches in
    steps of a few dozen blocks); it must stay well below ``calls``, the growth per round of a
    leak of one block per call."""
    warm_up(call)
    if baseline is not None:
        warm_up(baseline)
    counts = [sys.getrefcount(obj) for obj in watched]
    deltas = measure(call, calls)
    if baseline is None:
        if all(delta > allowance for delta in deltas):
            return f"allocated blocks grew in every round: {deltas}"
    else:
        library = measure(baseline, calls)
        # A leak of one block per call would add ROUNDS * calls blocks.
        if sum(deltas) - sum(library) >= ROUNDS * calls // 2:
            return f"grew by {deltas} against the libraries' own {library}"
    after = [sys.getrefcount(obj) for obj in watched]
    if after != counts:
        return f"references of arguments or held objects grew: {counts} -> {after}"
    return None


# The image cases call into Pillow and NumPy, whose caches grow in steps of up to a few dozen
# blocks long after the warm-up (more so with older releases of both); that growth levels off.
# Rounds of 200 calls with an allowance of 50 blocks keep that apart from a leak of one block
# per call, which grows every round by 200.
IMAGE_CALLS_PER_ROUND = 200
IMAGE_ALLOWANCE = IMAGE_CALLS_PER_ROUND // 4


def image_leak_verdict(call, watched=(), baseline=None):
    """``leak_verdict`` with the image cases' rounds and allowance."""
    return leak_verdict(call, watched, baseline, IMAGE_CALLS_PER_ROUND, IMAGE_ALLOWANCE)


class Rebound:
    """Rebinds names in a module's namespace until ``restore``."""

    def __init__(self):
        self.saved = []

    def set(self, target, name, value):
        self.saved.append((target, name, getattr(target, name)))
        setattr(target, name, value)

    def restore(self):
        while self.saved:
            target, name, value = self.saved.pop()
            setattr(target, name, value)


@contextlib.contextmanager
def quiet():
    """Failure reports, prints and the standard streams go nowhere, so they cannot accumulate."""
    sink = open(os.devnull, "w")
    saved = sys.unraisablehook, sys.excepthook, sys.stdout, sys.stderr
    sys.unraisablehook = lambda unraisable: None
    sys.excepthook = lambda *exc_info: None
    sys.stdout = sys.stderr = sink
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            yield
    finally:
        sys.unraisablehook, sys.excepthook, sys.stdout, sys.stderr = saved
        sink.close()


class Refuse(Exception):
    pass


def refuse(*args):
    raise Refuse("refused")


def noop(*args):
    return None


def quiet_keyboard(kb, rebound):
    """Binds every platform name of the keyboard module to a no-op."""
    state = types.SimpleNamespace(handle=0, visible=True, refusals=0)

    class UiError(Exception):
        pass

    class WinError(Exception):
        pass

    def set_foreground(handle):
        if state.refusals:
            state.refusals -= 1
            raise WinError()

    def find_window(class_name, title):
        if class_name == "missing":
            raise UiError()
        return types.SimpleNamespace(GetSafeHwnd=lambda: 0x2222)

    stand_ins = {
        "win32api": dict(keybd_event=noop),
        "keyboard": dict(write=noop),
        "winsound": dict(PlaySound=noop, SND_FILENAME=0x20000, SND_ASYNC=1),
        "os": dict(startfile=noop),
        "win32gui": dict(
            IsWindowVisible=lambda h: state.visible,
            ShowWindow=noop,
            SetForegroundWindow=set_foreground,
            GetWindowText=lambda h: "Untitled",
        ),
        "win32ui": dict(FindWindow=find_window, error=UiError),
        "pywintypes": dict(error=WinError),
        "winHouse": dict(
            GetHandleByClassName=lambda c: state.handle,
            SetHandleByClassName=lambda c, h: setattr(state, "handle", h or 0),
        ),
        "ctrlHouse": dict(
            pressed_chars="brb",
            abbreviations={"brb": "be right back"},
            locations={"brb": "/tmp"},
            keyboard_send=noop,
        ),
    }
    for name, attributes in stand_ins.items():
        rebound.set(kb, name, types.SimpleNamespace(**attributes))
    rebound.set(kb, "sleep", noop)
    kb.state = state


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
    "window, refused twice": lambda kb: (
        setattr(kb.state, "refusals", 2),
        kb.FindAndSendKeysToWindow("Notepad", "k", noop),
    ),
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


def check_keyboard():
    from velmora import strokeSmith as kb

    verdicts = {}
    for platform in ("working", "failing"):
        rebound = Rebound()
        quiet_keyboard(kb, rebound)
        if platform == "failing":
            rebound.set(kb, "win32api", types.SimpleNamespace(keybd_event=refuse))
        for case, call in KEYBOARD_CASES.items():

            def run():
                try:
                    call(kb)
                except (TypeError, OverflowError, ValueError):
                    pass

            held = [kb.win32api, kb.sleep, kb.ctrlHouse, kb.winHouse, kb.keyboard, kb.os]
            with quiet():
                verdicts[f"{platform}: {case}"] = leak_verdict(run, held)
        rebound.restore()
        del kb.state
    return verdicts


def image_cases():
    import numpy as np
    from PIL import Image

    # The conversion's own statements, from tests/reference.py beside this folder.
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from reference import pil_image_to_bmp as bmp_in_python

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

    def clipboard_refusing(snap, rebound):
        import win32clipboard

        rebound.set(
            snap,
            "win32clipboard",
            types.SimpleNamespace(
                OpenClipboard=noop,
                EmptyClipboard=refuse,
                SetClipboardData=noop,
                CloseClipboard=noop,
                CF_DIB=win32clipboard.CF_DIB,
            ),
        )

    return {
        "bmp": (lambda s: s.pil_image_to_bmp(rgba), [rgba], None, lambda: bmp_in_python(rgba)),
        "bmp, not a picture": (lambda s: s.pil_image_to_bmp(bgr), [bgr]),
        "clipboard, array": (
            lambda s: s.send_to_clipboard(bgra),
            [bgra],
            None,
            lambda: bmp_in_python(Image.fromarray(bgra)),
        ),
        "clipboard, picture": (
            lambda s: s.send_to_clipboard(rgb),
            [rgb],
            None,
            lambda: bmp_in_python(rgb),
        ),
        "clipboard, wrong type": (lambda s: s.send_to_clipboard([1]), []),
        "clipboard, 2-d array": (lambda s: s.send_to_clipboard(bgr[:, :, 0]), [bgr]),
        "clipboard refused": (
            lambda s: s.send_to_clipboard(rgb),
            [rgb],
            clipboard_refusing,
            lambda: bmp_in_python(rgb),
        ),
        "to array, RGB": (lambda s: s.pil_to_cv(rgb), [rgb]),
        "to array, RGBA": (lambda s: s.pil_to_cv(rgba), [rgba]),
        "to array, L": (lambda s: s.pil_to_cv(grey), [grey]),
        "to array, no mode": (lambda s: s.pil_to_cv(bgr), [bgr]),
        "to picture, BGR": (lambda s: s.cv_to_pil(bgr), [bgr]),
        "to picture, BGRA": (lambda s: s.cv_to_pil(bgra), [bgra]),
        "to picture, 2-d": (lambda s: s.cv_to_pil(bgr[:, :, 0]), [bgr]),
        "invert, RGB": (lambda s: s.image_invert(rgb), [rgb], None, lambda: bmp_in_python(rgb)),
        "invert, RGBA": (lambda s: s.image_invert(rgba), [rgba], None, lambda: bmp_in_python(rgba)),
        "invert, None": (lambda s: s.image_invert(None), []),
        "transparent, RGB": (lambda s: s.make_transparent(rgb), [rgb]),
        "transparent, generic path": (
            lambda s: s.make_transparent(subclass_picture),
            [subclass_picture],
        ),
        "transparent, empty": (lambda s: s.make_transparent(Image.new("RGB", (0, 3))), []),
        "tracker": (
            lambda s: s.MouseHelper((480, 640, 3)).update_life_data(1, 100, 50, 8, None),
            [],
        ),
        "tracker, crop drag": (lambda s: drag(s.MouseHelper((480, 640, 3))), []),
        "tracker, wrong shape": (lambda s: s.MouseHelper([480, 640]), []),
        "tracker, count error": (lambda s: s.MouseHelper(), []),
        "colour band": (lambda s: s.life_color_update(bgr, 3, 2), [bgr]),
        "direct mode": (
            lambda s: s.BeginImageProcessing(),
            [],
            lambda snap, rebound: snap.send_to_clipboard(rgb),
            lambda: bmp_in_python(rgb),
        ),
        "direct mode, empty clipboard": (lambda s: s.BeginImageProcessing(), []),
    }


def drag(tracker):
    tracker.update_life_data(1, 100, 50, 8, None)
    tracker.update_life_data(4, 140, 90, 0, None)
    tracker.update_life_data(4, 1000, 90, 0, None)


IMAGE_CASES = [
    "bmp",
    "bmp, not a picture",
    "clipboard, array",
    "clipboard, picture",
    "clipboard, wrong type",
    "clipboard, 2-d array",
    "clipboard refused",
    "to array, RGB",
    "to array, RGBA",
    "to array, L",
    "to array, no mode",
    "to picture, BGR",
    "to picture, BGRA",
    "to picture, 2-d",
    "invert, RGB",
    "invert, RGBA",
    "invert, None",
    "transparent, RGB",
    "transparent, generic path",
    "transparent, empty",
    "tracker",
    "tracker, crop drag",
    "tracker, wrong shape",
    "tracker, count error",
    "colour band",
    "direct mode",
    "direct mode, empty clipboard",
]


def check_image():
    import win32clipboard

    from velmora import snapTone as snap

    def attempt(call):
        try:
            call(snap)
        except Exception:
            pass
        if win32clipboard._is_open:
            win32clipboard.CloseClipboard()

    with quiet():
        # Pillow, NumPy and the allocator settle their caches over the first calls of each kind.
        for call, *_ in image_cases().values():
            for _ in range(WARM_UP_CALLS):
                attempt(call)

    verdicts = {}
    cases = image_cases()
    for case in IMAGE_CASES:
        call, watched, setup, baseline = (*cases[case], None, None)[:4]
        rebound = Rebound()
        if setup:
            setup(snap, rebound)
        with quiet():
            verdicts[case] = image_leak_verdict(
                lambda: attempt(call), watched + [snap.cv2, snap.np, snap.PIL], baseline
            )
        rebound.restore()
    return verdicts


if __name__ == "__main__":
    checks = {"keyboard": check_keyboard, "image": check_image}
    print(json.dumps(checks[sys.argv[1]]()))
