"""Ctrl-C stops every long loop within one pass, also when only C functions run inside it
(``max`` stands in for ``keybd_event``, ``abs`` for the pauses and for ``waitKey``)."""

import os
import signal
import subprocess
import sys
import time
import types
import warnings

import pytest

SETUP = """import operator, os, resource, signal, sys, types, numpy as np
from velmora import snapTone as snap, strokeSmith as kb
signal.signal(signal.SIGINT, signal.default_int_handler)
def started(*args):  # the first event announces the loop, the others are C
    kb.win32api.keybd_event, snap.cv2.waitKey = max, abs
    print("started", flush=True)
    return -1
def closing():
    print("closed")
    raise RuntimeError("closing failed too")
kb.win32api, kb.sleep = types.SimpleNamespace(keybd_event=started), abs
kb.keyboard = types.SimpleNamespace(write=print)
kb.ctrlHouse = types.SimpleNamespace(pressed_chars="x", keyboard_send=started)
ignore = lambda *args: None
snap.cv2 = types.SimpleNamespace(namedWindow=ignore, imshow=ignore, setWindowProperty=ignore,
    WND_PROP_TOPMOST=5, setMouseCallback=ignore, waitKey=started, destroyAllWindows=closing,
    getWindowProperty=operator.contains, WND_PROP_VISIBLE="W")  # "W" in "Image Window"
snap.PIL = types.SimpleNamespace(ImageGrab=types.SimpleNamespace(grabclipboard=ignore))
snap.pil_to_cv = lambda image: np.zeros((30, 40, 3), np.uint8)
sys.modules["win32api"] = types.SimpleNamespace(GetSystemMetrics=abs)
if "asan" not in os.environ.get("LD_PRELOAD", ""):  # a count turned into memory fails
    limit = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize() + 2**30
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
"""
SEQUENCE = "kb.SimulateKeyPressSequence((('x', started),) + ((65, 30),) * 10**7)"  # 80 MB
BACKSPACES = """typed = type("Typed", (str,), {"__len__": lambda self: 2**31 - 2})("x")
kb.ctrlHouse.pressed_chars, kb.ctrlHouse.abbreviations = typed, {"x": "typed"}
kb.ExpandText()"""


def interrupt(code):
    """Runs SETUP and ``code`` in a fresh interpreter, sends SIGINT once it prints "started",
    and returns its output, errors and status; fails if the process goes on regardless."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    here, pipe = os.path.dirname(os.path.abspath(__file__)), subprocess.PIPE
    child = subprocess.Popen(
        [sys.executable, "-c", SETUP + code], stdout=pipe, stderr=pipe, text=True, env=env, cwd=here
    )  # cwd: not the source package
    first = child.stdout.readline()
    if first == "started\n":
        time.sleep(0.2)  # well into the loop, past the announcing call
        child.send_signal(signal.SIGINT)
    try:
        return (first, *child.communicate(timeout=120), child.returncode)
    except subprocess.TimeoutExpired:
        child.kill()
        pytest.fail(f"the loop went on after SIGINT: {child.communicate()}")


# The keyboard module reports the interrupt under the looping function's name; the call
# returns, the rest of the action is not done, and the typed characters stay recorded.
@pytest.mark.parametrize(
    "code, reported",
    [
        ("kb.SimulateKeyPress(65, 0, 2**31 - 1)", "SimulateKeyPress"),
        (SEQUENCE, "SimulateKeyPressSequence"),
        ("kb.CrudeOpenWith(4, 2**31 - 1)", "SimulateKeyPressSequence"),
        (BACKSPACES, "SimulateKeyPress"),
    ],
)
def test_keyboard_loops_stop_report_and_return(code, reported):
    result = interrupt(code + "\nprint('kept', kb.ctrlHouse.pressed_chars)")
    assert result[:2] + result[3:] == ("started\n", "kept x\n", 0), result[2]
    assert f"velmora.strokeSmith.{reported}" in result[2] and "KeyboardInterrupt" in result[2]


def test_the_picture_window_closes_and_passes_the_interrupt_on():
    """Even when closing the windows fails, the interrupt is what propagates."""
    code = "try: snap.BeginImageProcessing(True)\nexcept KeyboardInterrupt: print('interrupted')"
    assert interrupt(code)[:2] == ("started\n", "closed\ninterrupted\n")


class Interrupting:
    """A library whose every attribute is a Ctrl-C arriving just then."""

    def __getattr__(self, name):
        raise KeyboardInterrupt


def band_on_a_warning_array(snap, np, monkeypatch):
    # NumPy warns when a broadcast array's memory is asked for writing; a Ctrl-C arrives while
    # the first warning is shown. The label goes to a stand-in: OpenCV cannot draw there.
    picture, _ = np.broadcast_arrays(
        np.zeros((1, 40, 3), np.uint8), np.zeros((30, 40, 3), np.uint8)
    )
    shown = []

    def interrupted_once(*args):
        shown.append(args)
        if len(shown) == 1:
            raise KeyboardInterrupt

    monkeypatch.setattr(warnings, "showwarning", interrupted_once)
    monkeypatch.setattr(snap, "cv2", types.SimpleNamespace(putText=dict, FONT_HERSHEY_SIMPLEX=0))
    snap.life_color_update(picture, 1, 1)


@pytest.mark.parametrize(
    "library, call",
    [
        ("PIL", lambda snap, np, monkeypatch: snap.make_transparent(object())),
        ("np", lambda snap, np, monkeypatch: snap.life_color_update(np.zeros((3, 4, 3)), 1, 1)),
        (None, band_on_a_warning_array),
    ],
    ids=["make_transparent", "life_color_update", "life_color_update-buffer"],
)
def test_an_interrupt_while_choosing_the_fast_path_stops_the_call(snap, monkeypatch, library, call):
    import numpy as np

    if library:
        monkeypatch.setattr(snap, library, Interrupting())
    with warnings.catch_warnings(), pytest.raises(KeyboardInterrupt):
        warnings.simplefilter("always")
        call(snap, np, monkeypatch)
