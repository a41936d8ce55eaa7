"""BeginImageProcessing on a real X server: the window driven by real keys and pointer events,
and the direct mode through the real clipboard.

The window runs in a child process with OpenCV's GUI; the test finds it with xdotool, finds
the picture inside it on a screenshot, and drives it with xdotool as a user would.
"""

import contextlib
import os
import subprocess
import sys
import textwrap
import time

import cv2
import numpy as np
import pytest
from PIL import Image

WINDOW = "Image Window"
SIZE = (320, 240)  # width, height
RED = (255, 0, 0)
STEP_PAUSE = 0.2  # between pointer and key steps, so that each reaches its own loop pass
TIMEOUT = 30.0


def xdotool(*args):
    result = subprocess.run(
        ["xdotool", *map(str, args)], capture_output=True, text=True, timeout=TIMEOUT
    )
    assert result.returncode == 0, f"xdotool {args}: {result.stderr}"
    return result.stdout


def windows_named(name):
    """The ids of the shown windows called ``name``."""
    result = subprocess.run(
        ["xdotool", "search", "--onlyvisible", "--name", f"^{name}$"],
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
    )
    assert result.returncode in (0, 1), result.stderr  # 1: none found
    return result.stdout.split()


def step(*args):
    xdotool(*args)
    time.sleep(STEP_PAUSE)


def soon(condition, child, timeout):
    """What ``condition`` returns once it is true within ``timeout`` seconds, else None;
    fails at once when ``child`` has ended."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = condition()
        if found:
            return found
        if child.poll() is not None:
            output, errors = child.communicate()
            pytest.fail(f"the window's process ended:\n{output}{errors}")
        time.sleep(0.1)
    return None


def wait_for(condition, what, child):
    found = soon(condition, child, TIMEOUT)
    if not found:
        pytest.fail(f"timed out waiting for {what}")
    return found


def screenshot(display):
    """The screen as a blue-green-red array."""
    from Xlib import X

    root = display.screen().root
    geometry = root.get_geometry()
    image = root.get_image(0, 0, geometry.width, geometry.height, X.ZPixmap, 0xFFFFFFFF)
    pixels = np.frombuffer(image.data, np.uint8).reshape(geometry.height, geometry.width, 4)
    return np.ascontiguousarray(pixels[:, :, :3])


def locate(display, picture):
    """The screen position (x, y) of the top-left pixel of ``picture`` (RGB), if shown."""
    wanted = np.ascontiguousarray(picture[:, :, ::-1])
    screen = screenshot(display)
    _, _, (x, y), _ = cv2.minMaxLoc(cv2.matchTemplate(screen, wanted, cv2.TM_SQDIFF))
    height, width = wanted.shape[:2]
    return (x, y) if np.array_equal(screen[y : y + height, x : x + width], wanted) else None


@contextlib.contextmanager
def shown_picture(xserver, window_process, seed):
    """A random picture put on the clipboard and shown by a new picture window process, whose
    window is then focused: yields (picture, process, screen), the screen an X connection
    closed afterwards."""
    from Xlib import display as xdisplay

    from velmora import snapTone

    original = np.random.default_rng(seed).integers(0, 256, (SIZE[1], SIZE[0], 3), np.uint8)
    snapTone.send_to_clipboard(Image.fromarray(original))
    child = window_process()
    screen = xdisplay.Display(xserver.name)
    try:
        shown_window(screen, original, child, xserver.managed)
        yield original, child, screen
    finally:
        screen.close()


@contextlib.contextmanager
def keys_released():
    """Lets go of Ctrl and the first button afterwards, whatever a test left pressed."""
    try:
        yield
    finally:
        subprocess.run(["xdotool", "keyup", "ctrl", "mouseup", "1"], timeout=TIMEOUT)


def shown_window(screen, original, child, managed):
    """Waits until the window of the picture window process ``child`` shows ``original``,
    then focuses it."""
    window_id = wait_for(lambda: windows_named(WINDOW), "the window", child)[0]
    for _ in range(3):
        if soon(lambda: locate(screen, original), child, 5.0):
            break
        # Qt now and then misses the first exposure of a new window and paints nothing
        # until the window is exposed again, as when a user uncovers it.
        xdotool("windowunmap", "--sync", window_id)
        xdotool("windowmap", "--sync", window_id)
    else:
        pytest.fail("the picture was not shown")
    xdotool("windowactivate" if managed else "windowfocus", "--sync", window_id)


def inverted_in_window(screen, original, child):
    """Presses A in the window until it shows ``original`` inverted; where it shows it.

    Now and then a key press, a button press or a pointer move never reaches the window. A
    user would press or move again once nothing happens, and so do the tests: each step is
    repeated, a few times at most, until the window shows its effect."""
    for _ in range(3):
        step("key", "a")
        found = soon(lambda: locate(screen, 255 - original), child, 5.0)
        if found:
            return found
    pytest.fail("the picture was not inverted")


@pytest.fixture
def saved_pictures(tmp_path):
    """The paths of the files saved into the picture folder (a function): the window runs
    with ``tmp_path`` as its home folder, which has no XDG configuration."""
    folder = tmp_path / "Pictures" / "velmora"
    return lambda: sorted(str(path) for path in folder.glob("*"))


@pytest.fixture
def window_process(xserver, tmp_path):
    """Starts BeginImageProcessing(True) in a child process on the test display."""
    environment = dict(os.environ, DISPLAY=xserver.name, VELMORA_DESKTOP="1", HOME=str(tmp_path))
    environment.pop("XDG_CONFIG_HOME", None)
    environment["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    code = """
        from velmora import snapTone
        result = snapTone.BeginImageProcessing(True)
        print("returned", repr(result), flush=True)
    """
    children = []

    def start():
        child = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(code)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=environment,
            cwd=tmp_path,
        )
        children.append(child)
        return child

    yield start
    for child in children:
        if child.poll() is None:
            child.kill()
            child.communicate()


def test_draw_crop_invert_save_and_close_with_real_input(
    xserver, desk, window_tools, saved_pictures, window_process
):
    picture = shown_picture(xserver, window_process, 5)
    with picture as (original, child, screen), keys_released():
        left, top = inverted_in_window(screen, original, child)

        def at(x, y):
            return left + x, top + y

        def shows_red(x, y):
            screen_x, screen_y = at(x, y)
            return (screenshot(screen)[screen_y, screen_x] == RED[::-1]).all()

        def drag_to(x, y):
            for attempt in range(3):
                if attempt:
                    step("mousemove", *at(x - 1, y))  # one pixel short, then on
                step("mousemove", *at(x, y))
                if soon(lambda: shows_red(x - 1, y), child, 3.0):
                    return True
            return False

        def draw_line():
            # A red line along row 60 from column 40 to 140. The loop draws while the button
            # is down, so each move waits until it shows: a loop held up until the release
            # would get the press, the moves and the release in one pass and draw nothing.
            # The pointer comes to the start along the line, so that the first segment, from
            # wherever the window last saw the pointer, stays on the line too.
            for x in (70, 60, 50, 40):
                step("mousemove", *at(x, 60))
            step("mousedown", 1)
            try:
                return all(drag_to(x, 60) for x in range(60, 141, 20))
            finally:
                step("mouseup", 1)

        def select_and_crop():
            # A Ctrl-drag selects; the next Ctrl+press crops from its own point to the end.
            step("mousemove", *at(20, 30))
            step("keydown", "ctrl")
            try:
                step("mousedown", 1)
                for x, y in ((80, 80), (160, 140), (220, 190)):
                    step("mousemove", *at(x, y))
                step("mouseup", 1)
                step("mousemove", *at(20, 30))
                step("mousedown", 1)
                cut_off = 255 - original[100:200, 240:320]  # shown until the crop
                return soon(lambda: locate(screen, cut_off) is None, child, 5.0)
            finally:
                step("mouseup", 1)
                step("keyup", "ctrl")

        if not any(draw_line() for _ in range(3)):
            pytest.fail("the line was not drawn")
        if not any(select_and_crop() for _ in range(3)):
            pytest.fail("the picture was not cropped")

        step("key", "s")
        wait_for(saved_pictures, "the saved picture", child)
        step("key", "Escape")
        output, errors = child.communicate(timeout=TIMEOUT)

    assert child.returncode == 0, errors
    assert output.strip() == "returned None"
    (path,) = saved_pictures()
    assert path.endswith(".png")
    with Image.open(path) as image:
        assert image.mode == "RGB" and image.size == (200, 160)
        result = np.asarray(image)
    expected = 255 - original[30:190, 20:220]
    line = np.zeros(result.shape[:2], bool)
    line[26:35, 16:125] = True  # row 30, columns 20 to 120, thickness 4 with round ends
    assert np.array_equal(result[~line], expected[~line])
    assert (result[28:33, 20:121] == RED).all()


def test_direct_mode_puts_the_inverted_picture_on_the_clipboard(xserver, desk, clipboard_tools):
    from conftest import run_python
    from PIL import ImageGrab

    from velmora import snapTone

    original = np.random.default_rng(6).integers(0, 256, (30, 40, 3), dtype=np.uint8)
    snapTone.send_to_clipboard(Image.fromarray(original))
    result = run_python(
        """
        from velmora import snapTone
        print("returned", repr(snapTone.BeginImageProcessing()))
        """,
        DISPLAY=xserver.name,
        VELMORA_DESKTOP="1",
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "returned None"
    pasted = ImageGrab.grabclipboard()
    assert np.array_equal(np.asarray(pasted.convert("RGB")), 255 - original)


def test_the_window_is_kept_above_and_has_a_class(xserver, desk, window_tools, window_process):
    import win32ui
    from Xlib import Xatom
    from Xlib import display as xdisplay

    from velmora import snapTone

    snapTone.send_to_clipboard(Image.new("RGB", SIZE, (10, 20, 30)))
    child = window_process()
    screen = xdisplay.Display(xserver.name)
    try:
        window_id = int(wait_for(lambda: windows_named(WINDOW), "the window", child)[0])
        window = screen.create_resource_object("window", window_id)
        above = screen.intern_atom("_NET_WM_STATE_ABOVE")

        def pinned():
            state = window.get_full_property(screen.intern_atom("_NET_WM_STATE"), Xatom.ATOM)
            return window.get_wm_class() is not None and state and above in state.value

        wait_for(pinned, "the window's class and state", child)
        assert window.get_wm_class() == ("snapTone", "Velmora")
        assert win32ui.FindWindow("Velmora", None).GetSafeHwnd() == window_id
        step("key", "--window", window_id, "Escape")
        output, errors = child.communicate(timeout=30)
        assert "returned None" in output, errors
    finally:
        screen.close()
