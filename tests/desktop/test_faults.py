"""The Linux layer under faults and hostile input: reused window ids, Ctrl-C at random points,
a stopped or killed server, a layout switch, hostile clipboard owners, a big own picture, many
windows and UTF-8 classes. After each test no process of the layer runs for the display, no
key is down and no keycode is remapped."""

import io
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest
from PIL import Image

from conftest import run_python


DEADLINE = 1.0  # the round-trip deadline in the tests that wait for one


def layer_processes(display_name):
    """Processes started by the layer for ``display_name`` (clipboard writers and readers)."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                argv = cmdline.read().decode(errors="replace").split("\0")
        except OSError:
            continue
        if "-display" in argv and display_name in argv:
            found.append(argv)
    return found


def assert_left_clean(display_name, mapping_before):
    """No layer process for the display (once the clipboard is let go), no key down and the
    keyboard mapping as it was."""
    from Xlib import display as xdisplay

    from velmora._platform import desktop

    with desktop.connection().lock:
        desktop.display().clear_selection("CLIPBOARD")
    deadline = time.monotonic() + 10
    while layer_processes(display_name) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert layer_processes(display_name) == []
    probe = xdisplay.Display(display_name)
    try:
        assert not any(probe.query_keymap()), "a key stayed down"
        assert keyboard_mapping(probe) == mapping_before, "a keycode stayed remapped"
    finally:
        probe.close()


def keyboard_mapping(display):
    first = display.display.info.min_keycode
    return display.get_keyboard_mapping(first, display.display.info.max_keycode - first + 1)


@pytest.fixture
def clean(desk, xserver):
    mapping = keyboard_mapping(desk.connection().display())
    yield
    assert_left_clean(xserver.name, mapping)


def child(code, **env):
    """A Python child process on this test run's import path, with the desktop attached."""
    environment = dict(os.environ, VELMORA_DESKTOP="1", **env)
    environment["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)], env=environment, text=True,
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )


# 1. A reused window id -------------------------------------------------------------------------


def test_a_reused_window_id_reads_as_no_window(desk, clean, make_window, monkeypatch, reports):
    from velmora import strokeSmith

    monkeypatch.setattr(strokeSmith.winHouse, "_handles", {})
    sent = []
    target = make_window("target", "Target")
    strokeSmith.FindAndSendKeysToWindow("Target", "k", sent.append)
    assert sent == ["k"] and strokeSmith.winHouse.GetHandleByClassName("Target") == target.id
    target.close()
    other = make_window("other", "Other")
    assert other.id == target.id  # X hands the closed window's id to the next client's window
    strokeSmith.FindAndSendKeysToWindow("Target", "k", sent.append)
    assert sent == ["k"] and strokeSmith.winHouse.GetHandleByClassName("Target") == 0
    assert reports.items == []


# 2. Ctrl-C at random points ------------------------------------------------------------------

COPYING = """
    import sys
    import numpy as np
    from velmora import snapTone
    picture = np.random.default_rng(1).integers(0, 256, (1500, 2000, 3), dtype=np.uint8)
    print("ready", flush=True)
    try:
        snapTone.send_to_clipboard(picture)
        print("copied", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
"""


def test_ctrl_c_during_a_copy_leaves_no_stale_writer(desk, clean, xserver):
    from PIL import ImageGrab

    from velmora import snapTone

    chance = random.Random()
    for attempt in range(3):
        copying = child(COPYING)
        assert copying.stdout.readline() == "ready\n"
        time.sleep(chance.uniform(0.0, 1.5))
        copying.send_signal(signal.SIGINT)
        output, errors = copying.communicate(timeout=60)
        assert copying.returncode == 0, errors
        newer = np.full((20, 30, 3), attempt * 40, dtype=np.uint8)
        snapTone.send_to_clipboard(newer)  # what the user copied since
        time.sleep(1.0)  # a stale writer would have taken the clipboard by now
        pasted = ImageGrab.grabclipboard()
        assert pasted is not None and np.array_equal(np.asarray(pasted.convert("RGB")), newer)


KEYING = """
    import sys, time
    import velmora.strokeSmith as kb
    landed = []
    sys.unraisablehook = lambda unraisable: landed.append(unraisable.exc_type.__name__)
    print("ready", flush=True)
    end = time.monotonic() + 3.0
    while time.monotonic() < end:
        try:
            kb.SimulateKeyPress(65)
            kb.SendTextWithCaret("\\u00e9\\u20ac{!}x")
        except KeyboardInterrupt:
            pass
    kb.SimulateKeyPress(66)  # still answered after every interruption
    print("done", landed.count("KeyboardInterrupt"), flush=True)
"""


def test_ctrl_c_during_key_events_leaves_no_key_down(desk, clean, make_window, xserver):
    import win32gui

    window = make_window()
    win32gui.SetForegroundWindow(window.id)
    chance = random.Random()
    keying = child(KEYING)
    assert keying.stdout.readline() == "ready\n"
    for _ in range(25):
        time.sleep(chance.uniform(0.0, 0.1))
        keying.send_signal(signal.SIGINT)
    output, errors = keying.communicate(timeout=60)
    assert output.startswith("done"), errors
    print(f"interruptions that landed inside a call of the module: {output.split()[1]}")


# 3. A stopped and a killed server ------------------------------------------------------------


def start_xvfb(number=None):
    """An Xvfb on display ``number`` (or one it picks); returns (process, number)."""
    if number is not None:
        server = subprocess.Popen(["Xvfb", f":{number}", "-nolisten", "tcp"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        from Xlib import display as xdisplay

        deadline = time.monotonic() + 30
        while True:
            try:
                xdisplay.Display(f":{number}").close()
                return server, number
            except Exception:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp"],
                              pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as reported:
        return server, int(reported.readline())


def test_a_stopped_and_a_killed_server_give_errors_then_work_again(monkeypatch, reports):
    import velmora  # noqa: F401
    from velmora import strokeSmith
    from velmora._platform import desktop, x11

    monkeypatch.setattr(x11, "ROUND_TRIP_TIMEOUT", DEADLINE)
    server, number = start_xvfb()
    desktop.attach(f":{number}")
    try:
        mapping = keyboard_mapping(desktop.connection().display())
        strokeSmith.SimulateKeyPress(65)
        assert reports.items == []

        server.send_signal(signal.SIGSTOP)
        strokeSmith.SimulateKeyPress(65)  # returns: the round trip has a deadline
        server.send_signal(signal.SIGCONT)
        assert reports.types == [desktop.DesktopError] and "did not answer" in reports.messages[0]
        strokeSmith.SimulateKeyPress(65)  # a new connection, which first lets go of the A
        assert len(reports.items) == 1

        server.kill()
        server.wait()
        strokeSmith.SimulateKeyPress(65)
        assert reports.types == [desktop.DesktopError] * 2
        server, _ = start_xvfb(number)  # a new server on the same display
        strokeSmith.SimulateKeyPress(65)
        assert len(reports.items) == 2
        assert_left_clean(f":{number}", mapping)
    finally:
        desktop.detach()
        server.kill()
        server.wait()


# 4. A layout switch between press and release --------------------------------------------------


def test_a_layout_switch_between_press_and_release(desk, clean, make_window, xserver, tmp_path):
    import win32api
    import win32gui

    window = make_window()
    win32gui.SetForegroundWindow(window.id)
    saved = tmp_path / "keymap.xkb"
    subprocess.run(["xkbcomp", xserver.name, str(saved)], check=True, capture_output=True)
    display = desk.connection().display()
    z_before = display.keysym_to_keycode(ord("z"))
    try:
        win32api.keybd_event(0x5A, 0x2C, 0, 0)  # Z down
        subprocess.run(["setxkbmap", "-display", xserver.name, "de"], check=True, timeout=30)
        win32api.keybd_event(0x5A, 0x2C, 2, 0)  # Z up, on the key it went down on
        win32api.keybd_event(0x41, 0x1E, 0, 0)  # a key event after the switch reads the new map
        win32api.keybd_event(0x41, 0x1E, 2, 0)
        assert display.keysym_to_keycode(ord("z")) != z_before  # the switch moved Z
        assert not any(display.query_keymap())
    finally:
        subprocess.run(["xkbcomp", str(saved), xserver.name], check=True, capture_output=True)


# 5. Hostile clipboard owners -----------------------------------------------------------------

SILENT_OWNER = """
    import time
    from Xlib import X, display
    d = display.Display()
    w = d.screen().root.create_window(0, 0, 1, 1, 0, X.CopyFromParent)
    w.set_selection_owner(d.intern_atom("CLIPBOARD"), X.CurrentTime)
    d.sync()
    print("owner", flush=True)
    time.sleep(120)  # never answers a request for its data
"""

EPS = b"%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\n{ } loop\n"


def bomb():
    out = io.BytesIO()
    Image.new("1", (13000, 13000)).save(out, "PNG")
    return out.getvalue()


@pytest.mark.parametrize("offered, refusal", [
    (None, "did not hand over"),  # an owner that never answers
    (EPS, "not a PNG"),
    ("bomb", "13000 x 13000 pixels"),
])
def test_hostile_clipboard_owners(desk, clean, xserver, monkeypatch, tmp_path, offered, refusal):
    from velmora import snapTone
    from velmora._platform import clipboard

    monkeypatch.setattr(clipboard, "READ_TIMEOUT", DEADLINE)
    if offered is None:
        owner = child(SILENT_OWNER)
        assert owner.stdout.readline() == "owner\n"
    else:
        data = tmp_path / "offered"
        data.write_bytes(bomb() if offered == "bomb" else offered)
        owner = subprocess.Popen(["xclip", "-selection", "clipboard", "-t", "image/png", "-i",
                                  str(data)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        owner.wait(timeout=30)  # xclip serves on from a child of its own
    try:
        with pytest.raises((OSError, ValueError), match=refusal):
            snapTone.BeginImageProcessing()
    finally:
        if offered is None:
            owner.kill()
            owner.communicate()


def test_an_8k_screenshot_passes():
    from velmora._platform import pillow

    out = io.BytesIO()
    Image.new("L", (7680, 4320), 7).save(out, "PNG")
    assert pillow.open_png(out.getvalue()).size == (7680, 4320)


# 7. The host's own big picture -----------------------------------------------------------------


def test_a_big_own_picture_is_published_and_a_failed_publish_rolled_back(
    desk, clean, monkeypatch
):
    import PIL.Image
    import win32clipboard
    from PIL import ImageGrab

    from velmora import snapTone
    from velmora._platform import freedesktop

    monkeypatch.setattr(PIL.Image, "MAX_IMAGE_PIXELS", 1000)  # 2 x 1000 is a "bomb" now
    big = np.random.default_rng(3).integers(0, 256, (60, 90, 3), dtype=np.uint8)
    snapTone.send_to_clipboard(Image.fromarray(big))
    monkeypatch.undo()
    assert np.array_equal(np.asarray(ImageGrab.grabclipboard().convert("RGB")), big)

    held = win32clipboard.IsClipboardFormatAvailable(win32clipboard.CF_DIB)
    monkeypatch.setattr(freedesktop, "CLIPBOARD_WRITER", ("no-such-writer",))
    with pytest.raises(OSError, match="no-such-writer"):
        snapTone.send_to_clipboard(Image.new("RGB", (5, 5)))
    win32clipboard.OpenClipboard()
    try:  # the stand-in says what other programs still paste: the big picture
        assert held and len(win32clipboard.GetClipboardData(win32clipboard.CF_DIB)) > 60 * 90 * 3
    finally:
        win32clipboard.CloseClipboard()


# 8. Many windows, and UTF-8 classes --------------------------------------------------------------


def test_finding_a_window_among_2000(desk, clean, make_window, xserver, capsys):
    import win32ui
    from Xlib import X, Xatom
    from Xlib import display as xdisplay

    crowd = xdisplay.Display(xserver.name)
    try:
        root = crowd.screen().root
        for number in range(2000):
            window = root.create_window(0, 0, 10, 10, 0, X.CopyFromParent)
            window.change_property(Xatom.WM_CLASS, Xatom.STRING, 8, b"crowd\0Crowd%d\0" % number)
        crowd.sync()
        needle = make_window("needle", "Needle")
        start = time.perf_counter()
        found = win32ui.FindWindow("Needle", None).GetSafeHwnd()
        took = time.perf_counter() - start
        assert found == needle.id
        with capsys.disabled():
            print(f"\n    FindWindow among 2000 top-level windows: {took * 1000:.0f} ms")
    finally:
        crowd.close()


@pytest.mark.parametrize("written", ["utf-8", "latin-1"])
def test_a_class_is_found_as_written(desk, clean, make_window, written):
    import win32ui
    from Xlib import Xatom

    window = make_window()
    window.window.change_property(Xatom.WM_CLASS, Xatom.STRING, 8,
                                  "caf\u00e9\0Caf\u00e9\0".encode(written))
    window.display.sync()
    assert win32ui.FindWindow("Caf\u00e9", None).GetSafeHwnd() == window.id
