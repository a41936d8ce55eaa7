"""The platform layer on a headless sway: typed text read back from foot and a GTK3 text view,
windows found, activated and kept above by app_id, the clipboard through data-control."""

import io
import json
import os
import signal
import subprocess

import numpy as np
import pytest
from conftest import run_python
from PIL import Image

from .conftest import wait

# Shifted characters, characters of no key, an emoji with a skin tone, a line break, a caret.
TEXT = 'Gr\u00fc\u00dfe "\u00e9" \u20ac5 & \u65e5\u672c \U0001f600 \U0001f44d\U0001f3fd\n{!} (A+b)?'
TYPED, LEFTS = TEXT.replace("{!}", ""), len(" (A+b)?")


def as_nobody(code):
    """``code`` run as "nobody" by root, what it uses loaded first (for an unreadable checkout)."""
    return (
        "import os, PIL.Image, pywayland.client, velmora.snapTone, velmora.strokeSmith\n"
        "from velmora._platform import wlprotocols\n"
        "PIL.Image.init()\n"
        "if os.geteuid() == 0:\n"
        "    os.setgroups([]), os.setgid(65534), os.setuid(65534)\n" + code
    )


def test_send_text_with_caret_as_an_ordinary_user(focused_field):
    code = f"import velmora.strokeSmith as kb\nkb.SendTextWithCaret({TEXT!r})"
    result = run_python(as_nobody(code), VELMORA_DESKTOP="1")
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert focused_field.settled(TYPED) == {"text": TYPED, "cursor": len(TYPED) - LEFTS}


def test_expand_text_replaces_the_typed_abbreviation(focused_field, wdesk, monkeypatch, reports):
    from velmora import strokeSmith

    substitution = "be right back \u2013 \u00e0 bient\u00f4t, \u6771\u4eac \u20ac"
    wdesk.display().write("say brb")  # the persistent keyboard stands in for the user's
    assert focused_field.settled("say brb")["text"] == "say brb"
    monkeypatch.setattr(strokeSmith.ctrlHouse, "pressed_chars", "brb")
    monkeypatch.setattr(strokeSmith.ctrlHouse, "abbreviations", {"brb": substitution})
    strokeSmith.ExpandText()
    assert focused_field.settled("say " + substitution)["text"] == "say " + substitution
    assert strokeSmith.ctrlHouse.pressed_chars == "" and reports.items == []


@pytest.mark.parametrize(
    "chords, typed",
    [
        ("shift+a, a, shift+7", "Aa&"),  # a chord holds its modifier, and only then
        (None, "".join(map(chr, range(0x4E00, 0x4F90))) + "\u00e4"),  # too many for one keymap
    ],
)
def test_chords_and_long_texts_arrive_in_order(focused_field, wdesk, chords, typed):
    import keyboard

    keyboard.send(chords) if chords else keyboard.write(typed)
    assert focused_field.settled(typed, timeout=30)["text"] == typed


def test_find_activate_send_keys_and_keep_above_by_app_id(wdesk, make_field, monkeypatch):
    import win32ui

    from velmora import strokeSmith

    display = wdesk.display()
    foot, gtk = make_field("foot"), make_field("gtk")
    found = {f.app_id: wait(lambda f=f: display.find_window(f.app_id, None), "a window") for f in (foot, gtk)}  # fmt: skip # noqa: E501
    assert win32ui.FindWindow("velmora-gtk", "Velmora GTK field").GetSafeHwnd() == found[gtk.app_id]
    assert display.find_window("velmora-gtk", "another title") == 0
    assert display.window_title(found[gtk.app_id]) == "Velmora GTK field"
    assert display.set_foreground(found[gtk.app_id])
    assert display.foreground_window() == found[gtk.app_id]
    strokeSmith.FindAndSendKeysToWindow(foot.app_id, 0x41, strokeSmith.SimulateKeyPress)
    assert display.foreground_window() == found[foot.app_id]
    assert foot.settled("a")["text"] == "a" and gtk.settled("")["text"] == ""
    monkeypatch.setattr(os, "getpid", lambda: gtk.process.pid)  # as if it were this process's
    display.pin_above("Velmora GTK field", ("snapTone", "Velmora"))
    tree = subprocess.run(["swaymsg", "-t", "get_tree"], capture_output=True, check=True)
    nodes, pinned = [json.loads(tree.stdout)], []
    while nodes:
        node = nodes.pop()
        nodes += node["nodes"] + node["floating_nodes"]
        pinned += [(node["type"], node["sticky"])] if node.get("app_id") == gtk.app_id else []
    assert pinned == [("floating_con", True)]
    gtk.close()
    assert not display.window_visible(found[gtk.app_id])
    assert not display.set_foreground(found[gtk.app_id])


def _paste(mime):
    result = subprocess.run(["wl-paste", "--no-newline", "--type", mime], capture_output=True)
    return result.stdout if result.returncode == 0 else None


def test_direct_mode_puts_the_inverted_picture_on_the_clipboard(wdesk):
    from velmora import snapTone

    original = np.random.default_rng(6).integers(0, 256, (30, 40, 3), dtype=np.uint8)
    snapTone.send_to_clipboard(Image.fromarray(original))
    code = 'from velmora import snapTone\nprint("returned", repr(snapTone.BeginImageProcessing()))'
    result = run_python(as_nobody(code), VELMORA_DESKTOP="1")
    assert result.returncode == 0 and result.stdout.strip() == "returned None", result.stderr
    pasted = Image.open(io.BytesIO(_paste("image/png")), formats=["PNG"])
    assert np.array_equal(np.asarray(pasted.convert("RGB")), 255 - original)
    wdesk.display().publish_clipboard({13: "Gr\u00fc\u00dfe \u65e5\u672c\0".encode("utf-16-le")})
    assert _paste("text/plain;charset=utf-8") == "Grüße 日本".encode()
    wdesk.display().publish_clipboard({})
    assert _paste("text/plain;charset=utf-8") is None


def test_a_connection_closed_or_silent_fails_and_is_replaced(focused_field, wdesk, sway):
    from pywayland.protocol.wayland import WlSeat

    from velmora._platform import wayland

    display = wdesk.display()
    display.write("a")
    with display._session() as connection:
        connection.registry.bind(999_999, WlSeat, 1)  # no such global: a protocol error
    with pytest.raises(wdesk.DesktopError, match="closed the connection"):
        display.write("b")  # lost: said so, not reported as typed
    os.kill(sway["pid"], signal.SIGSTOP)
    try:
        with pytest.MonkeyPatch.context() as patch, pytest.raises(wdesk.DesktopError):
            patch.setattr(wayland, "ROUND_TRIP_TIMEOUT", 0.5)
            display.write("b")
    finally:
        os.kill(sway["pid"], signal.SIGCONT)
    display.write("c")
    assert focused_field.settled("ac")["text"] == "ac"
