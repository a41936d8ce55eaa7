"""velmora-host on a real X server: hotkeys sent with XTest, typed words, a clean end."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from PIL import Image

from .test_image_window import xdotool

CONFIG = """\
[abbreviations]
brb = "be right back"

[hotkeys]
"ctrl+alt+i" = "invert-picture"
"ctrl+alt+e" = "expand"
"""


def wait(condition, timeout=30.0):
    """Whether ``condition`` became true within ``timeout`` seconds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


class Host:
    def __init__(self, config_path, log_path, display):
        environment = dict(os.environ, DISPLAY=display, VELMORA_DESKTOP="1")
        environment["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
        self.log_path = log_path
        with open(log_path, "w") as log:
            self.process = subprocess.Popen(
                [sys.executable, "-m", "velmora.host", "--verbose", "--config", str(config_path)],
                stdout=log,
                stderr=subprocess.STDOUT,
                env=environment,
                cwd=os.path.dirname(os.path.abspath(__file__)),
            )

    def log(self):
        with open(self.log_path) as log:
            return log.read()

    def wait_log(self, text):
        wait(lambda: text in self.log() or self.process.poll() is not None)
        assert text in self.log(), self.log()


@pytest.fixture
def start_host(xserver, tmp_path):
    started = []

    def start(text=CONFIG):
        path = tmp_path / "config.toml"
        path.write_text(text)
        host = Host(path, tmp_path / f"host{len(started)}.log", xserver.name)
        started.append(host)
        return host

    yield start
    for host in started:
        if host.process.poll() is None:
            host.process.kill()
            host.process.wait()


@pytest.fixture
def host(start_host):
    running = start_host()
    running.wait_log("running on display")
    return running


def test_hotkey_inverts_the_clipboard_picture(desk, clipboard_tools, host):
    from PIL import ImageGrab

    from velmora import snapTone

    original = np.random.default_rng(16).integers(0, 256, (24, 32, 3), dtype=np.uint8)
    snapTone.send_to_clipboard(Image.fromarray(original))
    xdotool("key", "ctrl+alt+i")

    def inverted():
        pasted = ImageGrab.grabclipboard()
        pasted = None if pasted is None else np.asarray(pasted.convert("RGB"))
        return pasted is not None and np.array_equal(pasted, 255 - original)

    assert wait(inverted), host.log()
    host.wait_log("invert-picture done")


def typed_text(window):
    """What a plain text field shows after the key presses the window received."""
    from Xlib import XK, X

    text = ""
    for kind, keycode, state in window.key_events():
        keysym = window.display.keycode_to_keysym(keycode, 1 if state & X.ShiftMask else 0)
        if kind == "down" and keysym == XK.XK_BackSpace:
            text = text[:-1]
        elif kind == "down" and not state & X.ControlMask:
            text += XK.keysym_to_string(keysym) or ""
    return text


def test_expand_replaces_the_typed_abbreviation(xserver, desk, make_window, host):
    window = make_window("velmoraHost", "VelmoraHost")
    xdotool("windowactivate" if xserver.managed else "windowfocus", "--sync", window.id)
    xdotool("type", "--delay", "50", "ok brb")
    host.wait_log("typed characters: 3 (typed)")
    xdotool("key", "ctrl+alt+e")
    host.wait_log("expand done")
    assert typed_text(window) == "ok be right back"


# xdotool steps, and the word the host then holds, which its expand hotkey names when the
# word has no abbreviation.
TYPING = [
    ([("type", "ab"), ("key", "BackSpace"), ("type", "c")], "ac"),
    ([("type", "ab cd")], "cd"),
    ([("type", "ab"), ("click", "1"), ("type", "x")], "x"),
    ([("type", "ab"), ("key", "ctrl+a"), ("type", "c")], "c"),
    ([("key", "Caps_Lock", "Num_Lock"), ("type", "ab")], "AB"),  # the hotkey with both locks on
]


def test_capture_follows_typing(xserver, make_window, host):
    window = make_window("velmoraHost", "VelmoraHost")
    xdotool("windowactivate" if xserver.managed else "windowfocus", "--sync", window.id)
    try:
        for steps, word in TYPING:
            xdotool("key", "Escape")
            for step in steps:
                xdotool(*step)
            xdotool("key", "ctrl+alt+e")
            host.wait_log(f"expand: no abbreviation for {word!r}")
        # Without an abbreviation the host leaves the word alone: ExpandText would erase it,
        # starting with a backtick, and type nothing in its place.
        assert "`" not in typed_text(window)
    finally:
        from Xlib import X

        state = window.window.query_pointer().mask  # the locks stay off for the other tests
        for mask, key in ((X.LockMask, "Caps_Lock"), (X.Mod2Mask, "Num_Lock")):
            if state & mask:
                xdotool("key", key)


def test_sigterm_ends_the_host_and_frees_its_hotkeys(xserver, host, start_host):
    from Xlib import XK, X, display, error

    second = start_host()
    assert second.process.wait(timeout=30) == 1
    assert "another velmora-host is running" in second.log()

    host.process.send_signal(signal.SIGTERM)
    assert host.process.wait(timeout=30) == 0
    assert "hotkeys and capture released" in host.log()
    other = display.Display(xserver.name)
    try:
        keycode = other.keysym_to_keycode(XK.string_to_keysym("e"))
        catcher = error.CatchError(error.BadAccess)
        other.screen().root.grab_key(
            keycode,
            X.ControlMask | X.Mod1Mask,
            False,
            X.GrabModeAsync,
            X.GrabModeAsync,
            onerror=catcher,
        )
        other.sync()
        assert catcher.get_error() is None
    finally:
        other.close()
