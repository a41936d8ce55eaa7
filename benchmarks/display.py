"""A display for the picture window: the session's own, or a virtual one started for the run."""

import contextlib
import os
import shutil
import subprocess
import sys
import time

FIRST_DISPLAY = 70


def _start(xvfb, number):
    """An Xvfb serving display ``number``, or None if it does not come up."""
    process = subprocess.Popen(
        [xvfb, f":{number}", "-screen", "0", "1920x1200x24", "-nolisten", "tcp", "-noreset"],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    socket = f"/tmp/.X11-unix/X{number}"
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return None  # the number was taken after all
        if os.path.exists(socket):
            return process
        time.sleep(0.05)
    _stop(process)
    return None


def _stop(process):
    process.terminate()
    try:
        process.wait(5)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


@contextlib.contextmanager
def virtual_display():
    """Yields the display to use (``DISPLAY`` set), or None when there is none to be had.

    Without ``DISPLAY``, starts an Xvfb on the first free display number from 70 on and
    stops it again on the way out. Windows and macOS have their own desktop."""
    if sys.platform in ("win32", "darwin"):
        yield "desktop"
        return
    if os.environ.get("DISPLAY"):
        yield os.environ["DISPLAY"]
        return
    xvfb = shutil.which("Xvfb")
    process = None
    if xvfb is not None:
        for number in range(FIRST_DISPLAY, FIRST_DISPLAY + 30):
            if os.path.exists(f"/tmp/.X{number}-lock"):
                continue
            process = _start(xvfb, number)
            if process is not None:
                break
    if process is None:
        yield None
        return
    os.environ["DISPLAY"] = f":{number}"
    try:
        yield os.environ["DISPLAY"]
    finally:
        del os.environ["DISPLAY"]
        _stop(process)


def reachable():
    """Whether a window can be opened: OpenCV's window toolkit ends the process outright
    when its display cannot be reached, so this asks the X server first."""
    if sys.platform in ("win32", "darwin"):
        return True
    if not os.environ.get("DISPLAY"):
        return False
    try:
        from Xlib import display as xdisplay
    except ImportError:
        return True  # nothing to ask with; trust DISPLAY
    try:
        xdisplay.Display(os.environ["DISPLAY"]).close()
    except Exception:
        return False
    return True
