"""The platform layer on a headless sway: typed text read back from foot and a GTK3 text view,
windows found, activated and kept above by app_id, the clipboard through data-control, and the
picture window on Xwayland."""

import io
import json
import os
import signal
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from conftest import run_python
from desktop.conftest import USER, user_home, user_python  # noqa: F401  (fixtures)
from PIL import Image

from .conftest import wait

# Shifted characters, characters of no key, an emoji with a skin tone, a line break, a caret.
TEXT = 'Gr\u00fc\u00dfe "\u00e9" \u20ac5 & \u65e5\u672c \U0001f600 \U0001f44d\U0001f3fd\n{!} (A+b)?'
TYPED, LEFTS = TEXT.replace("{!}", ""), len(" (A+b)?")


# Run as "nobody" where the tests run as root, what it uses loaded first (for a checkout that
# other users cannot read; python-xlib's connection to Xwayland too).
AS_NOBODY = (
    "import importlib, platform, Xlib.display, Xlib.ext, Xlib.support.unix_connect\n"
    "[importlib.import_module('Xlib.ext.' + name) for _, name in Xlib.ext.__extensions__]\n"
    "import os, PIL.Image, pywayland.client, velmora.snapTone, velmora.strokeSmith\n"
    "from velmora._platform import wlprotocols\n"
    "PIL.Image.init()\n"
    "if os.geteuid() == 0:\n"
    "    os.setgroups([]), os.setgid(65534), os.setuid(65534)\n"
)


def test_caret_text_as_an_ordinary_user_and_an_expansion_in_it(focused_field, wdesk, monkeypatch):
    from velmora import strokeSmith

    code = f"import velmora.strokeSmith as kb\nkb.SendTextWithCaret({TEXT!r})"
    result = run_python(AS_NOBODY + code, VELMORA_DESKTOP="1")
    assert result.returncode == 0 and result.stderr == "", result.stderr
    caret = len(TYPED) - LEFTS
    assert focused_field.settled(TYPED, caret) == {"text": TYPED, "cursor": caret}
    # The persistent keyboard stands in for the user's: the user types at the caret.
    wdesk.display().write(" say brb")
    substitution = "be right back \u2013 \u00e0 bient\u00f4t, \u6771\u4eac \u20ac"
    monkeypatch.setattr(strokeSmith.ctrlHouse, "pressed_chars", "brb")
    monkeypatch.setattr(strokeSmith.ctrlHouse, "abbreviations", {"brb": substitution})
    strokeSmith.ExpandText()
    expected = TYPED[:caret] + " say " + substitution + TYPED[caret:]
    assert focused_field.settled(expected)["text"] == expected
    assert strokeSmith.ctrlHouse.pressed_chars == ""


def test_chords_and_a_text_of_several_keymaps_arrive_in_order(focused_field, wdesk):
    import keyboard

    text = "".join(map(chr, range(0x4E00, 0x4F90))) + "\u00e4"  # too many for one keymap
    keyboard.send("shift+a, a, shift+7")  # a chord holds its modifier, and only then
    keyboard.write(text)
    assert focused_field.settled("Aa&" + text, timeout=30)["text"] == "Aa&" + text


def test_find_activate_send_keys_and_keep_above_by_app_id(wdesk, make_field, monkeypatch):
    import win32ui

    from velmora import strokeSmith

    display = wdesk.display()
    foot, gtk = make_field("foot"), make_field("gtk")
    assert win32ui.FindWindow("velmora-gtk", "Velmora GTK field").GetSafeHwnd() == gtk.handle
    assert display.window_title(gtk.handle) == "Velmora GTK field"
    assert display.set_foreground(gtk.handle) and display.foreground_window() == gtk.handle
    strokeSmith.FindAndSendKeysToWindow(foot.app_id, 0x41, strokeSmith.SimulateKeyPress)
    assert display.foreground_window() == foot.handle
    assert foot.settled("a")["text"] == "a" and gtk.settled("")["text"] == ""
    monkeypatch.setattr(os, "getpid", lambda: gtk.process.pid)  # as if it were this process's
    display.pin_above("Velmora GTK field", ("snapTone", "Velmora"))
    tree = subprocess.run(["swaymsg", "-t", "get_tree"], capture_output=True, check=True)
    nodes = []
    json.loads(tree.stdout, object_hook=lambda node: nodes.append(node) or node)
    pinned = [(node["type"], node["sticky"]) for node in nodes if node.get("app_id") == gtk.app_id]
    assert pinned == [("floating_con", True)]
    gtk.close()
    assert not display.window_visible(gtk.handle) and not display.set_foreground(gtk.handle)


def _paste(mime):
    result = subprocess.run(["wl-paste", "--no-newline", "--type", mime], capture_output=True)
    return result.stdout if result.returncode == 0 else None


def test_direct_mode_puts_the_inverted_picture_on_the_clipboard(wdesk):
    from velmora import snapTone

    original = np.random.default_rng(6).integers(0, 256, (30, 40, 3), dtype=np.uint8)
    snapTone.send_to_clipboard(Image.fromarray(original))
    code = 'from velmora import snapTone\nprint("returned", repr(snapTone.BeginImageProcessing()))'
    result = run_python(AS_NOBODY + code, VELMORA_DESKTOP="1")
    assert result.returncode == 0 and result.stdout.strip() == "returned None", result.stderr
    pasted = Image.open(io.BytesIO(_paste("image/png")), formats=["PNG"])
    assert np.array_equal(np.asarray(pasted.convert("RGB")), 255 - original)
    wdesk.display().publish_clipboard({13: "Gr\u00fc\u00dfe \u65e5\u672c\0".encode("utf-16-le")})
    assert _paste("text/plain;charset=utf-8") == "Grüße 日本".encode()
    wdesk.display().publish_clipboard({})
    assert _paste("text/plain;charset=utf-8") is None


def test_a_connection_closed_or_silent_fails_and_is_replaced(
    focused_field, wdesk, sway, monkeypatch
):
    from pywayland.protocol.wayland import WlSeat

    from velmora._platform import wayland

    display = wdesk.display()
    display.write("a")
    with display._session() as connection:
        connection.registry.bind(999_999, WlSeat, 1)  # no such global: a protocol error
    with pytest.raises(wdesk.DesktopError, match="closed the connection"):
        display.write("b")  # lost: said so, not reported as typed
    monkeypatch.setattr(wayland, "ROUND_TRIP_TIMEOUT", 0.5)
    os.kill(sway["pid"], signal.SIGSTOP)
    try:
        with pytest.raises(wdesk.DesktopError, match="no answer within 0.5 s"):
            display.write("b")
    finally:
        os.kill(sway["pid"], signal.SIGCONT)
    display.write("c")
    assert focused_field.settled("ac")["text"] == "ac"


def test_picture_window_on_xwayland_kept_above_and_driven_by_keys_or_a_message(
    wdesk,
    sway,
    user_python,  # noqa: F811
    user_home,  # noqa: F811
):
    import keyboard

    from velmora import snapTone
    from velmora._platform.wayland import sway_command

    original = np.random.default_rng(25).integers(0, 256, (60, 80, 3), np.uint8)
    snapTone.send_to_clipboard(Image.fromarray(original))
    # The window's process runs as the session's user from an interpreter that user can read
    # whole: OpenCV's GUI loads its libraries and plugins only when the window is made.
    python, environment = user_python
    environment = dict(environment, HOME=user_home, VELMORA_DESKTOP="1")
    environment.update({key: sway[key] for key in ("WAYLAND_DISPLAY", "XDG_RUNTIME_DIR")})
    code = "from velmora import snapTone\nprint(snapTone.BeginImageProcessing(True))"

    def picture_window(display):
        return subprocess.run(
            [python, "-c", code],
            capture_output=True,
            text=True,
            env=dict(environment, DISPLAY=display),
            cwd=user_home,
            timeout=120,
            **USER,
        )

    failed = picture_window("")  # OpenCV's GUI would abort
    assert failed.returncode == 1 and "needs Xwayland" in failed.stderr, failed.stderr
    report = os.path.join(sway["HOME"], "x-display")  # sway's programs get its Xwayland
    sway_command(f'exec printf %s "$DISPLAY" > {report}.new && mv {report}.new {report}')
    display = wait(lambda: os.path.exists(report) and open(report).read(), "sway's DISPLAY")
    child = ThreadPoolExecutor().submit(picture_window, display)
    shown = {"name": "Image Window", "focused": True, "shell": "xwayland", "type": "floating_con"}

    def named():  # focused and floating, once it has its class (given after it is pinned)
        assert not child.done(), child.result().stderr
        nodes, tree = [], subprocess.run(["swaymsg", "-t", "get_tree"], capture_output=True)
        json.loads(tree.stdout, object_hook=lambda node: nodes.append(node) or node)
        found = [node for node in nodes if shown.items() <= node.items()]
        return found and found[0]["window_properties"].get("class") == "Velmora" and found[0]

    assert wait(named, "the picture window kept above, with its class")["sticky"]
    for key in ("a", "r", "c", "esc"):  # invert, rotate clockwise, copy, close
        keyboard.send(key)
        time.sleep(0.3)  # OpenCV's GUI hands the loop only the last of the keys it waited for
    assert child.result().stdout == "None\n", child.result().stderr
    copied = Image.open(io.BytesIO(_paste("image/png")), formats=["PNG"])
    assert np.array_equal(np.asarray(copied.convert("RGB")), np.rot90(255 - original, -1))
