"""velmora-host on a real X server: hotkeys sent with XTest, typed words, a clean end."""

import json
import os
import pathlib
import signal
import socket
import subprocess
import sys
import time

import numpy as np
import pytest
from PIL import Image
from Xlib.protocol import rq

from .conftest import USER
from .test_image_window import xdotool
from .test_typing import field  # noqa: F401  (the text field fixture)

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
    """velmora-host run as the ordinary user, with ``home`` as its home folder."""

    def __init__(self, python, config_path, log_path, display, home, verbose=True, **env):
        executable, environment = python
        environment = dict(environment, DISPLAY=display, VELMORA_DESKTOP="1", HOME=home, **env)
        self.log_path = log_path
        with open(log_path, "w") as log:
            self.process = subprocess.Popen(
                [executable, "-m", "velmora.host", "--config", str(config_path)]
                + (["--verbose"] if verbose else []),
                stdout=log,
                stderr=subprocess.STDOUT,
                env=environment,
                cwd=home,
                **USER,
            )

    def log(self):
        with open(self.log_path) as log:
            return log.read()

    def wait_log(self, text):
        wait(lambda: text in self.log() or self.process.poll() is not None)
        assert text in self.log(), self.log()


@pytest.fixture
def start_host(xserver, user_python, user_home, tmp_path):
    """start_host(config text, ...) -> Host, its configuration user_home/config.toml."""
    started = []

    def start(text=CONFIG, display=None, verbose=True, **env):
        path = pathlib.Path(user_home, "config.toml")
        path.write_text(text)
        log = tmp_path / f"host{len(started)}.log"
        host = Host(user_python, path, log, display or xserver.name, user_home, verbose, **env)
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
    assert os.stat(f"/proc/{running.process.pid}").st_uid == USER.get("user", os.geteuid())
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


def test_the_control_socket_runs_an_action_as_its_hotkey_would(
    xserver, make_window, start_host, user_python, user_home
):
    host = start_host(XDG_RUNTIME_DIR=user_home)
    host.wait_log("running on display")
    window = make_window("velmoraHost", "VelmoraHost")
    xdotool("windowactivate" if xserver.managed else "windowfocus", "--sync", window.id)
    xdotool("type", "--delay", "50", "ok brb")
    host.wait_log("typed characters: 3 (typed)")
    python, environment = user_python
    environment = dict(environment, DISPLAY=xserver.name, XDG_RUNTIME_DIR=user_home)
    argv = [python, "-m", "velmora.host", "action", "expand"]
    done = subprocess.run(
        argv, env=environment, capture_output=True, text=True, cwd=user_home, **USER
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, "expand done\n", "")
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
    second = start_host()
    assert second.process.wait(timeout=30) == 1
    assert "another velmora-host is running" in second.log()

    host.process.send_signal(signal.SIGTERM)
    assert host.process.wait(timeout=30) == 0
    assert "hotkeys and capture released" in host.log()
    assert grabbable(xserver.name, "e")


def catches(pid, number):
    """Whether process ``pid`` has a handler of its own for signal ``number``."""
    with open(f"/proc/{pid}/status") as status:
        caught = next(line for line in status if line.startswith("SigCgt:"))
    return bool(int(caught.split()[1], 16) & (1 << (number - 1)))


def test_sigterm_ends_a_host_whose_log_nobody_reads(xserver, user_python, user_home):
    """Its stderr a full pipe: every log line blocks, and the host ends all the same."""
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    try:
        while os.write(write_end, bytes(4096)):
            pass
    except BlockingIOError:
        pass
    os.set_blocking(write_end, True)
    path = pathlib.Path(user_home, "config.toml")
    path.write_text(CONFIG)
    executable, environment = user_python
    environment = dict(environment, DISPLAY=xserver.name, VELMORA_DESKTOP="1", HOME=user_home)
    process = subprocess.Popen(
        [executable, "-m", "velmora.host", "--config", str(path)],
        stdout=write_end,
        stderr=write_end,
        env=environment,
        cwd=user_home,
        **USER,
    )
    os.close(write_end)
    try:
        assert wait(lambda: catches(process.pid, signal.SIGTERM))  # the host's own handler
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=60) == 0
    finally:
        process.kill()
        process.wait()
        os.close(read_end)


def grabbable(display_name, key):
    """Whether another client may grab Ctrl+Alt+``key``: no host holds it."""
    from Xlib import XK, X, display, error

    other, catcher = display.Display(display_name), error.CatchError(error.BadAccess)
    try:
        keycode, modifiers = other.keysym_to_keycode(XK.string_to_keysym(key)), X.ControlMask
        root, asynchronous = other.screen().root, X.GrabModeAsync
        root.grab_key(
            keycode, modifiers | X.Mod1Mask, 0, asynchronous, asynchronous, onerror=catcher
        )
        root.ungrab_key(keycode, modifiers | X.Mod1Mask)
        other.sync()
        return catcher.get_error() is None
    finally:
        other.close()


def type_and_press(xserver, window, word, hotkey="ctrl+alt+e"):
    xdotool("windowactivate" if xserver.managed else "windowfocus", "--sync", window.id)
    xdotool("type", "--delay", "50", word)
    xdotool("key", hotkey)


def test_reload_by_file_change_and_sighup_keeps_a_broken_edit_out(
    xserver, desk, make_window, host, user_home
):
    path = pathlib.Path(user_home, "config.toml")
    path.write_text('[hotkeys]\n"ctrl+alt+e" = "nothing"\n')
    host.wait_log(f"{path}:2: hotkeys: 'ctrl+alt+e': unknown action 'nothing'")
    host.wait_log("not reloaded (the file changed): the running configuration stays")
    assert not grabbable(xserver.name, "i")

    # Ctrl+Alt+! is Ctrl+Alt+Shift+1 on the server's US layout: only the first can be grabbed.
    hotkeys = '"ctrl+alt+e" = "expand"\n"ctrl+alt+shift+1" = "expand"\n"ctrl+alt+!" = "expand"\n'
    path.write_text('[abbreviations]\nty = "thank you"\n[hotkeys]\n' + hotkeys)
    host.wait_log(f"reloaded {path} (the file changed): 2 hotkeys (1 grabbed, 1 released)")
    assert f"{path}:6: hotkeys: 'ctrl+alt+!' is the same key and modifiers as " in host.log()
    assert f"'ctrl+alt+shift+1' ({path}:5) on this keyboard; left out" in host.log()
    assert grabbable(xserver.name, "i") and host.log().count("grabbed ctrl+alt+e") == 1
    window = make_window("velmoraHost", "VelmoraHost")
    type_and_press(xserver, window, "ty")
    host.wait_log("expand done")
    assert typed_text(window) == "thank you"

    host.process.send_signal(signal.SIGHUP)
    host.wait_log(f"reloaded {path} (SIGHUP): 2 hotkeys (0 grabbed, 0 released)")


def test_hotkeys_answer_while_the_picture_window_is_open(
    xserver, desk, window_tools, make_window, start_host, user_home
):
    from velmora import snapTone

    home = pathlib.Path(user_home)
    (home / ".config").mkdir()
    (home / ".config" / "user-dirs.dirs").write_text('XDG_PICTURES_DIR="$HOME/Bilder"\n')
    config = CONFIG + '"ctrl+alt+p" = "edit-picture"\n'
    host = start_host(config, XDG_CONFIG_HOME=str(home / ".config"))
    host.wait_log("running on display")
    picture = np.random.default_rng(22).integers(0, 256, (120, 160, 3), dtype=np.uint8)
    snapTone.send_to_clipboard(Image.fromarray(picture))
    window = make_window("velmoraHost", "VelmoraHost")
    xdotool("key", "ctrl+alt+p")
    display = desk.display()
    assert wait(lambda: display.find_window("Velmora", None)), host.log()

    type_and_press(xserver, window, "ok brb")
    host.wait_log("expand done")
    assert typed_text(window) == "ok be right back"

    xdotool("key", "ctrl+alt+p")
    host.wait_log("edit-picture: the picture window is open already; raised it")
    assert wait(lambda: display.foreground_window() == display.find_window("Velmora", None))
    xdotool("key", "s")
    assert wait(lambda: list(home.glob("Bilder/velmora/*.png"))), host.log()
    saved = next(home.glob("Bilder/velmora/*.png"))
    assert saved.stat().st_uid == USER.get("user", os.geteuid())  # the window ran as the user
    with Image.open(saved) as image:
        assert np.array_equal(np.asarray(image.convert("RGB")), picture)
    xdotool("key", "Escape")
    host.wait_log("edit-picture done")


@pytest.mark.parametrize(
    "typed, text, caret",
    [
        ("ok sig", "ok Hi there", 6),
        ("ok BRB", "ok BE RIGHT BACK", 16),
        ("ok Brb", "ok Be right back", 16),
    ],
)
def test_the_expansion_keeps_the_case_typed_and_leaves_the_caret_at_the_marker(
    field,  # noqa: F811  (the fixture imported above)
    start_host,
    typed,
    text,
    caret,
):
    host = start_host(CONFIG.replace("[hotkeys]", 'sig = "Hi {!}there"\n[hotkeys]'))
    host.wait_log("running on display")
    xdotool("type", "--delay", "50", typed)
    assert field.settled(typed)["text"] == typed
    xdotool("key", "ctrl+alt+e")
    assert field.settled(text, caret) == {"text": text, "cursor": caret}, host.log()


def test_a_display_that_accepts_and_never_answers_ends_the_start(start_host):
    with socket.create_server(("127.0.0.1", 0)) as silent:  # X display N listens on 6000 + N
        host = start_host(display=f"127.0.0.1:{silent.getsockname()[1] - 6000}")
        assert host.process.wait(timeout=60) == 1
        assert "no answer within" in host.log() and "Traceback" not in host.log(), host.log()


def test_a_failed_action_is_one_plain_line(xserver, desk, clipboard_tools, make_window, start_host):
    desk.display().clear_selection()
    locations = '[locations]\ndl = "/nonexistent/dl"\n[hotkeys]\n"ctrl+alt+l" = "open-location"\n'
    host = start_host(CONFIG.replace("[hotkeys]\n", locations), verbose=False)  # no tracebacks
    host.wait_log("running on display")
    type_and_press(xserver, make_window("velmoraHost", "VelmoraHost"), "dl", "ctrl+alt+l")
    host.wait_log("open-location: location 'dl': /nonexistent/dl does not exist; fix it in the")
    xdotool("key", "ctrl+alt+i")
    host.wait_log("invert-picture failed: the clipboard holds no picture; copy one, then press")
    assert "Traceback" not in host.log()


class DeviceFakeInput(rq.Request):
    """XTEST's FakeInput for an input extension event: a key of one given device."""

    _request = rq.Struct(
        *(rq.Card8("opcode"), rq.Opcode(2), rq.RequestLength(), rq.Card8("kind")),
        *(rq.Card8("detail"), rq.Pad(2), rq.Card32("time"), rq.Card32("root"), rq.Pad(19)),
        rq.Card8("device"),
    )


class Keyboard:
    """The X server's own keyboard device, pressed as a user's hands do: not the XTEST device
    that the host types with. ``press`` takes keycodes, and chords of keycodes as tuples."""

    def __init__(self, name):
        from Xlib import display
        from Xlib.ext import xinput

        self.display = display.Display(name)
        devices = self.display.xinput_query_device(xinput.AllDevices).devices
        self.id = next(d.deviceid for d in devices if d.name == "Xvfb keyboard")
        self.first = self.display.query_extension(xinput.extname).first_event

    def send(self, kind, *codes, sync=True):  # kind 1: DeviceKeyPress, 2: DeviceKeyRelease
        opcode = self.display.display.get_extension_major("XTEST")
        for code in codes:
            fields = dict(opcode=opcode, kind=self.first + kind, detail=code, time=0, root=0)
            DeviceFakeInput(display=self.display.display, device=self.id, **fields)
        if sync:
            self.display.sync()

    def press(self, *steps, burst=False):
        """Each step waits for the server, unless ``burst``: then all go in one request
        batch, which the server handles within a millisecond or two."""
        for chord in (step if isinstance(step, tuple) else (step,) for step in steps):
            self.send(1, *chord, sync=not burst)
            self.send(2, *reversed(chord), sync=not burst)
        self.display.sync()


class TkField:
    def __init__(self):
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tk_field.py")
        environment = dict(os.environ, LANG="C.UTF-8")  # dead keys compose as in UTF-8 locales
        pipes = dict(stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=environment)
        self.process = subprocess.Popen([sys.executable, script], **pipes)
        self.id = json.loads(self.process.stdout.readline())["window"]

    def state(self, line=""):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def settled(self, text):
        wait(lambda: self.state()["text"] == text, 10)
        return self.state()["text"]


@pytest.fixture
def user(xserver, tmp_path):
    """A Tk window with the focus, the keyboard, and the layout set by ``user.layout``."""
    saved = tmp_path / "keymap.xkb"
    subprocess.run(["xkbcomp", xserver.name, str(saved)], check=True, capture_output=True)
    tk = TkField()
    xdotool("windowactivate" if xserver.managed else "windowfocus", "--sync", tk.id)
    assert wait(lambda: tk.state("focus")["focus"], 10)
    tk.keyboard = Keyboard(xserver.name)
    tk.layout = lambda *args: subprocess.run(["setxkbmap", *args], check=True, timeout=30)
    yield tk
    tk.process.stdin.close()
    tk.process.wait(timeout=10)
    from Xlib import X

    state = tk.keyboard.display.screen().root.query_pointer().mask
    for mask, code in ((X.LockMask, 66), (X.Mod2Mask, 77)):  # Caps Lock, Num Lock off
        if state & mask:
            tk.keyboard.press(code)
    tk.keyboard.display.close()
    subprocess.run(["xkbcomp", str(saved), xserver.name], check=True, capture_output=True)


HOTKEY = (37, 64, 26)  # Control_L, Alt_L and E: ctrl+alt+e on each layout below
SHIFT = 50
# Layout, keys pressed (keycodes of a PC keyboard, a tuple for a chord), what the window then
# holds and the word the host captured.
LAYOUTS = [
    ("us", [(SHIFT, 18), 56, 27, 56], "(brb", "brb"),  # punctuation ends a word
    ("us", [(SHIFT, 48), 56, 27, 56], '"brb', "brb"),
    ("us", [38, 61, 56, 27, 56], "a/brb", "brb"),
    ("us", [66, 56, 27, (SHIFT, 56)], "BRb", "BRb"),  # Caps Lock
    ("us", [77, 38, 87, 88], "a12", "a12"),  # Num Lock: keypad digits
    ("de", [39, 34, 20, 29], "süßz", "süßz"),
    ("fr", [41, 34, 26, 28, 26], "fête", "fête"),  # the dead circumflex, then e
    ("us,ru -option grp:menu_toggle", [135, 54, 42, 54], "спс", "спс"),  # Menu: group 2
]


@pytest.mark.parametrize("layout, keys, shown, word", LAYOUTS)
def test_capture_records_what_the_window_shows(user, start_host, layout, keys, shown, word):
    host = start_host('[hotkeys]\n"ctrl+alt+e" = "expand"\n')
    host.wait_log("running on display")
    user.layout(*layout.split())
    user.keyboard.press(*keys)
    assert user.settled(shown) == shown
    user.keyboard.press(HOTKEY)
    host.wait_log(f"expand: no abbreviation for {word!r}")


def test_keys_in_the_hotkeys_millisecond_are_part_of_the_word(user, start_host):
    # X event times count milliseconds: keys pressed before the hotkey in its millisecond are
    # typed before it all the same.
    host = start_host('[hotkeys]\n"ctrl+alt+e" = "expand"\n')
    host.wait_log("running on display")
    for attempt in range(1, 6):
        user.keyboard.press(65, 56, 27, 56, HOTKEY, burst=True)  # space b r b, the hotkey
        answered = lambda n=attempt: host.log().count("expand: no abbreviation") == n  # noqa: E731
        assert wait(answered), host.log()
    assert host.log().count("expand: no abbreviation for 'brb'") == 5, host.log()


OK_BRB = (32, 45, 65, 56, 27, 56)  # "ok brb" on a US keyboard
# How long Ctrl+Alt stay down after the hotkey (None: until the host gives up), a key pressed
# meanwhile, what the host logs, and the text the window then holds.
HELD = [
    (0.5, None, "expand done", "ok be right back"),
    (None, None, "modifier keys still held after 3 s; expand cancelled", "ok brb"),
    (0.5, 53, "reached the window first; expand cancelled", "ok brb"),  # ctrl+alt+x
]


@pytest.mark.parametrize("held, key, logged, text", HELD)
def test_nothing_is_typed_while_modifiers_are_held(user, host, held, key, logged, text):
    user.keyboard.press(*OK_BRB)
    assert user.settled("ok brb") == "ok brb"
    user.keyboard.send(1, *HOTKEY)
    user.keyboard.send(2, HOTKEY[-1])
    if key:
        time.sleep(0.3)  # a user's reaction: the host watches from its own reaction on
        user.keyboard.press(key)
    time.sleep(held) if held else host.wait_log(logged)
    user.keyboard.send(2, *HOTKEY[1::-1])
    host.wait_log(logged)
    assert user.settled(text) == text


def test_keys_typed_during_an_expansion_follow_it(user, start_host):
    long = "be right back, " * 40
    host = start_host(f'[abbreviations]\nbrb = "{long}"\n[hotkeys]\n"ctrl+alt+e" = "expand"\n')
    host.wait_log("running on display")
    user.keyboard.press((SHIFT, 48), 56, 27, 56)
    assert user.settled('"brb') == '"brb'
    user.keyboard.press(HOTKEY)
    host.wait_log("holding back the keys of 1 keyboards")
    user.keyboard.press(65, 38, 57, 40, 65, 58, 32, 27, 26)  # " and more"
    host.wait_log("replayed 18 key events")
    assert user.settled(f'"{long} and more') == f'"{long} and more'
    user.keyboard.press(HOTKEY)  # the keys replayed are recorded as typed
    host.wait_log("expand: no abbreviation for 'more'")
