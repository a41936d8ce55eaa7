"""The Linux layer under faults and hostile input, one test per fault class (numbered as in
docs/reliability.md). After each, the ``left_clean`` fixture checks that no process of the
layer runs for the display, no key is down and no keycode is remapped."""

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

from .conftest import assert_left_clean, keyboard_mapping, layer_processes, servers_environment

DEADLINE = 1.0  # the round-trip and reading deadlines where a test waits for one
AWAKE_DEADLINE = 120.0  # the deadlines where the other side answers, however loaded the machine


def child(code):
    """A Python child on this run's import path, with the desktop attached, past its set-up."""
    environment = dict(os.environ, VELMORA_DESKTOP="1")
    environment["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    process = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=environment,
        text=True,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        cwd=os.path.dirname(__file__),
    )  # not the checkout's root
    assert process.stdout.readline() == "ready\n", process.communicate()[1]
    return process


def test_1_a_reused_window_id_reads_as_no_window(
    left_clean, make_window, xserver, monkeypatch, reports
):
    from Xlib import display as xdisplay

    from velmora import strokeSmith

    monkeypatch.setattr(strokeSmith.winHouse, "_handles", {})
    sent = []
    target = make_window("target", "Target")
    strokeSmith.FindAndSendKeysToWindow("Target", "k", sent.append)
    assert sent == ["k"] and strokeSmith.winHouse.GetHandleByClassName("Target") == target.id
    target.close()
    # The next client gets the closed window's id for its first window, shown at once
    # (override-redirect: no window manager in between, which may still hold the old id).
    other = xdisplay.Display(xserver.name)
    try:
        window = other.screen().root.create_window(0, 0, 50, 50, 0, 0, override_redirect=True)
        window.set_wm_class("other", "Other")
        window.map()
        other.sync()
        assert window.id == target.id
        strokeSmith.FindAndSendKeysToWindow("Target", "k", sent.append)
        assert sent == ["k"] and strokeSmith.winHouse.GetHandleByClassName("Target") == 0
        assert reports.items == []
    finally:
        other.close()


COPYING = """
    import time
    import numpy as np
    from velmora import snapTone
    picture = np.random.default_rng(1).integers(0, 256, (1500, 2000, 3), dtype=np.uint8)
    print("ready", flush=True)
    try:
        snapTone.send_to_clipboard(picture)
        time.sleep(10)  # a copy done before the interrupt: it lands here
    except KeyboardInterrupt:
        pass
"""


def test_2_ctrl_c_during_a_copy_leaves_no_stale_writer(left_clean):
    from PIL import ImageGrab

    from velmora import snapTone

    for attempt in range(3):
        copying = child(COPYING)
        time.sleep(random.uniform(0.0, 1.5))
        copying.send_signal(signal.SIGINT)
        assert copying.wait(timeout=60) == 0, copying.communicate()[1]
        newer = np.full((20, 30, 3), attempt * 40, dtype=np.uint8)
        snapTone.send_to_clipboard(newer)  # what the user copied since
        time.sleep(1.0)  # a stale writer would have taken the clipboard by now
        assert np.array_equal(np.asarray(ImageGrab.grabclipboard().convert("RGB")), newer)


KEYING = """
    import os, sys
    import velmora.strokeSmith as kb
    landed = []
    sys.unraisablehook = lambda unraisable: landed.append(unraisable.exc_type.__name__)
    print("ready", flush=True)
    def keying():
        while not os.path.exists(STOP):  # the test has sent its last interruption
            kb.SimulateKeyPress(65)
            kb.SendTextWithCaret("\\u00e9\\u20ac{!}x")
    while not os.path.exists(STOP):  # the loop's own steps lie inside the try, but this one's
        try:
            keying()
        except KeyboardInterrupt:
            pass
    kb.SimulateKeyPress(66)  # still answered after every interruption
    print("done", landed.count("KeyboardInterrupt"), flush=True)
"""


def test_3_ctrl_c_during_key_events_leaves_no_key_down(left_clean, make_window, tmp_path):
    import win32gui

    win32gui.SetForegroundWindow(make_window().id)
    stop = tmp_path / "stop"
    keying = child(KEYING.replace("STOP", repr(str(stop))))
    for _ in range(25):
        time.sleep(random.uniform(0.0, 0.1))
        keying.send_signal(signal.SIGINT)
    time.sleep(0.5)  # the last interruption has landed
    stop.touch()
    output, errors = keying.communicate(timeout=60)
    assert output.startswith("done"), errors
    print(f"interruptions that landed inside a call of the module: {output.split()[1]}")
    # Each keymap change makes a window manager grab its keys again: openbox takes about
    # 0.2 s a change, so the interruptions leave it a backlog of many seconds. A window it
    # maps marks the end of that backlog, which the next test would otherwise wait for.
    make_window()


@pytest.mark.parametrize("written", [True, False], ids=["after-a-write", "before-a-write"])
@pytest.mark.parametrize("step", range(1, 9))
def test_3_ctrl_c_at_each_write_of_typing_with_spare_keycodes(
    left_clean, desk, monkeypatch, step, written
):
    """Ctrl-C at the ``step``-th write to the server from the first binding of a spare keycode
    on, while typing characters no key types, once what was queued went out or before: no key
    stays down and every keycode bound by then is unbound again."""
    protocol = desk.connection().display().display
    send_request, send_and_recv = protocol.send_request, protocol.send_and_recv
    binding, sent = False, 0

    def watch_request(request, wait_for_response):
        nonlocal binding
        binding |= type(request).__name__ == "ChangeKeyboardMapping"
        send_request(request, wait_for_response)

    def interrupt(*args, **kwargs):  # each write of the queued requests, and the wait for a reply
        nonlocal sent
        sent += binding
        if sent == step and not written:
            raise KeyboardInterrupt
        send_and_recv(*args, **kwargs)
        if sent == step:
            raise KeyboardInterrupt

    monkeypatch.setattr(protocol, "send_request", watch_request)
    monkeypatch.setattr(protocol, "send_and_recv", interrupt)
    try:
        desk.display().write("\u20ac\u00e9\u0151")
    except KeyboardInterrupt:
        pass
    monkeypatch.undo()
    desk.display().release_keys()  # the next session undoes what the interrupted one left


def start_xvfb(number):
    """An Xvfb on display ``number``, once it answers.

    ``-noreset``: otherwise the server resets when the probe's connection closes, and a client
    that connects during that reset is dropped (ECONNRESET)."""
    from Xlib import display as xdisplay

    server = subprocess.Popen(
        ["Xvfb", f":{number}", "-nolisten", "tcp", "-noreset"],
        env=servers_environment(),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    for _ in range(300):
        try:
            xdisplay.Display(f":{number}").close()
            return server
        except Exception:
            time.sleep(0.1)
    pytest.fail(f"Xvfb :{number} did not start")


def test_4_a_stopped_and_a_killed_server_give_errors_then_work_again(monkeypatch, reports):
    import velmora  # noqa: F401
    from velmora import strokeSmith
    from velmora._platform import desktop, x11

    monkeypatch.setattr(x11, "ROUND_TRIP_TIMEOUT", DEADLINE)
    number = next(n for n in range(150, 250) if not os.path.exists(f"/tmp/.X{n}-lock"))
    server = start_xvfb(number)
    desktop.attach(f":{number}")
    try:
        mapping = keyboard_mapping(desktop.connection().display())
        server.send_signal(signal.SIGSTOP)
        strokeSmith.SimulateKeyPress(65)  # returns: the round trip has a deadline
        server.send_signal(signal.SIGCONT)
        # From here on the server answers: however slowly a loaded machine wakes it, the
        # calls below must succeed, so only the stopped server meets the short deadline.
        monkeypatch.setattr(x11, "ROUND_TRIP_TIMEOUT", AWAKE_DEADLINE)
        assert reports.types == [desktop.DesktopError] and "did not answer" in reports.messages[0]
        strokeSmith.SimulateKeyPress(65)  # a new connection, which first lets go of the A
        server.kill()
        server.wait()
        strokeSmith.SimulateKeyPress(65)
        assert reports.types == [desktop.DesktopError] * 2  # not the X library's own error
        server = start_xvfb(number)  # a new server on the same display
        strokeSmith.SimulateKeyPress(65)
        assert len(reports.items) == 2
        assert_left_clean(f":{number}", mapping)
    finally:
        desktop.detach()
        server.kill()
        server.wait()


def switched_layout(xserver, tmp_path, layout):
    """Switches the display to ``layout``; returns how to switch it back exactly."""
    saved = tmp_path / "keymap.xkb"
    subprocess.run(["xkbcomp", xserver.name, str(saved)], check=True, capture_output=True)
    subprocess.run(["setxkbmap", "-display", xserver.name, layout], check=True, timeout=30)
    return lambda: subprocess.run(
        ["xkbcomp", str(saved), xserver.name], check=True, capture_output=True
    )


def test_5_a_layout_switch_between_press_and_release(
    left_clean, desk, make_window, xserver, tmp_path
):
    import win32api
    import win32gui

    win32gui.SetForegroundWindow(make_window().id)
    display = desk.connection().display()
    z_before = display.keysym_to_keycode(ord("z"))
    win32api.keybd_event(0x5A, 0x2C, 0, 0)  # Z down
    switch_back = switched_layout(xserver, tmp_path, "de")
    try:
        win32api.keybd_event(0x5A, 0x2C, 2, 0)  # Z up, on the key it went down on
        win32api.keybd_event(0x41, 0x1E, 0, 0)  # a key event reads the new map
        win32api.keybd_event(0x41, 0x1E, 2, 0)
        assert display.keysym_to_keycode(ord("z")) != z_before  # the switch moved Z
        assert not any(display.query_keymap())
    finally:
        switch_back()


SILENT_OWNER = """
    import time
    from Xlib import X, display
    d = display.Display()
    w = d.screen().root.create_window(0, 0, 1, 1, 0, X.CopyFromParent)
    w.set_selection_owner(d.intern_atom("CLIPBOARD"), X.CurrentTime)
    d.sync()
    print("ready", flush=True)
    time.sleep(120)  # never answers a request for its data
"""


def png(size, mode):
    out = io.BytesIO()
    Image.new(mode, size).save(out, "PNG")
    return out.getvalue()


@pytest.mark.parametrize(
    "offered, refusal",
    [
        (None, "did not hand over"),  # an owner that never answers
        (b"%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\n{ } loop\n", "not a PNG"),
        ((13000, 13000), "13000 x 13000 pixels"),  # 20 KiB of PNG, 169 megapixels
    ],
)
def test_6_hostile_clipboard_owners(left_clean, monkeypatch, tmp_path, offered, refusal):
    from velmora import snapTone
    from velmora._platform import clipboard

    # Only the silent owner meets the short deadline; an owner that answers is waited for,
    # however slowly a loaded machine runs it, so that its refusal is the one reported.
    monkeypatch.setattr(clipboard, "READ_TIMEOUT", DEADLINE if offered is None else AWAKE_DEADLINE)
    owner = None
    if offered is None:
        owner = child(SILENT_OWNER)
    else:
        data = tmp_path / "offered"
        data.write_bytes(png(offered, "1") if isinstance(offered, tuple) else offered)
        subprocess.run(
            ["xclip", "-selection", "clipboard", "-t", "image/png", "-i", str(data)],
            check=True,
            timeout=30,
        )  # it serves on from a child of its own
    try:
        with pytest.raises((OSError, ValueError), match=refusal):
            snapTone.BeginImageProcessing()
    finally:
        if owner is not None:
            owner.kill()
            owner.communicate()


READING = """
    from velmora import snapTone
    print("ready", flush=True)
    try:
        snapTone.BeginImageProcessing()
    except KeyboardInterrupt:
        print("interrupted", flush=True)
"""


def test_6_ctrl_c_during_a_read_leaves_no_reader(left_clean, xserver):
    owner = child(SILENT_OWNER)
    try:
        reading = child(READING)
        deadline = time.monotonic() + 30
        while not [p for p in layer_processes(xserver.name) if "-o" in p]:
            assert time.monotonic() < deadline, "the reader never started"
            time.sleep(0.01)
        reading.send_signal(signal.SIGINT)
        output, errors = reading.communicate(timeout=60)
        assert output == "interrupted\n", errors
        assert layer_processes(xserver.name) == []  # none left waiting on the silent owner
    finally:
        owner.kill()
        owner.communicate()


def test_6_an_8k_screenshot_passes():
    from velmora._platform import pillow

    assert pillow.open_png(png((7680, 4320), "L")).size == (7680, 4320)


def test_7_a_big_own_picture_is_published_and_a_failed_publish_rolled_back(left_clean, monkeypatch):
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
    monkeypatch.setattr(freedesktop, "CLIPBOARD_WRITER", ("no-such-writer",))
    with pytest.raises(OSError, match="no-such-writer"):
        snapTone.send_to_clipboard(Image.new("RGB", (5, 5)))
    win32clipboard.OpenClipboard()
    try:  # the stand-in says what other programs still paste: the big picture
        assert len(win32clipboard.GetClipboardData(win32clipboard.CF_DIB)) > 60 * 90 * 3
    finally:
        win32clipboard.CloseClipboard()


def test_8_finding_a_window_among_2000(left_clean, make_window, xserver, capsys):
    import win32ui
    from Xlib import X, Xatom
    from Xlib import display as xdisplay

    crowd = xdisplay.Display(xserver.name)
    try:
        for number in range(2000):
            window = crowd.screen().root.create_window(0, 0, 10, 10, 0, X.CopyFromParent)
            window.change_property(Xatom.WM_CLASS, Xatom.STRING, 8, b"crowd\0Crowd%d\0" % number)
        crowd.sync()
        needle = make_window("needle", "Needle")
        start = time.perf_counter()
        assert win32ui.FindWindow("Needle", None).GetSafeHwnd() == needle.id
        with capsys.disabled():
            took = (time.perf_counter() - start) * 1000
            print(f"\n    FindWindow among 2000 top-level windows: {took:.0f} ms")
    finally:
        crowd.close()


@pytest.mark.parametrize("written", ["utf-8", "latin-1"])
def test_8_a_class_is_found_as_written(left_clean, make_window, written):
    import win32ui
    from Xlib import Xatom

    window = make_window()
    window.window.change_property(
        Xatom.WM_CLASS, Xatom.STRING, 8, "caf\u00e9\0Caf\u00e9\0".encode(written)
    )
    window.display.sync()
    assert win32ui.FindWindow("Caf\u00e9", None).GetSafeHwnd() == window.id
