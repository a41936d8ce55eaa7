"""velmora-host on a headless sway, with no X display, as an ordinary user: hotkeys bound in
sway run actions through the control socket, read back from a GTK field and the clipboard."""

import io
import os
import pathlib
import signal
import subprocess
import sys

import numpy as np
import pytest
from desktop.conftest import USER, user_home, user_python  # noqa: F401  (fixtures)
from PIL import Image

from velmora.host import control
from wayland.conftest import wait

CONFIG = """\
[abbreviations]
brb = "be right back"

[hotkeys]
"ctrl+alt+i" = "invert-picture"
"ctrl+alt+e" = "expand"
"ctrl+alt+k" = { action = "keys", keys = ["shift+h", "i"], delay = 0.05 }
"""


@pytest.fixture
def host(start_host):
    return start_host()


@pytest.fixture
def start_host(sway, wdesk, user_python, user_home):  # noqa: F811
    """Starts the host, with extra arguments, as the session's user; ``client``: the command
    a binding runs, which appends its output and status to ``replies``."""
    started = []

    def start(*arguments):
        started.append(_host(sway, user_python, user_home, arguments))
        return started[-1]

    yield start
    for process in started:
        process.terminate()
        process.wait(10)


def _host(sway, user_python, user_home, arguments):  # noqa: F811
    python, environment = user_python
    environment = dict(environment, VELMORA_DESKTOP="1", HOME=user_home)
    environment.update({key: sway[key] for key in ("WAYLAND_DISPLAY", "XDG_RUNTIME_DIR")})
    environment.pop("DISPLAY", None)
    home = pathlib.Path(user_home)
    (home / "config.toml").write_text(CONFIG)
    replies, client = home / "replies", home / "velmora-host"
    client.write_text(
        f"#!/bin/sh\ncd / && LD_LIBRARY_PATH={environment['LD_LIBRARY_PATH']} "
        f'{python} -m velmora.host "$@" >>{replies} 2>&1\necho "status $?" >>{replies}\n'
    )
    client.chmod(0o755)
    with open(home / "host.log", "w") as log:
        process = subprocess.Popen(
            [python, "-m", "velmora.host", "--config", str(home / "config.toml"), *arguments],
            stdout=log,
            stderr=subprocess.STDOUT,
            env=environment,
            cwd=user_home,
            **USER,
        )
    process.log = lambda: (home / "host.log").read_text()
    process.client, process.replies = str(client), replies
    wait(lambda: "running on Wayland" in process.log() or process.poll() is not None, "start")
    assert process.poll() is None, process.log()
    return process


def swaymsg(command):
    done = subprocess.run(["swaymsg", "--", command], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


def reply(host, count):
    """The client's replies once there are ``count`` of them."""
    done = lambda: host.replies.exists() and host.replies.read_text().count("status") >= count  # noqa: E731
    wait(done, f"reply {count}")
    return host.replies.read_text()


def test_hotkeys_bound_in_sway_type_expand_and_invert(host, make_field, wdesk):
    import keyboard

    from velmora import snapTone

    log = host.log()
    assert "abbreviations and locations (expand, open-location) need it" in log
    assert "edit-picture cannot work here: the picture window is an X11 window" in log
    assert (
        "bindsym Ctrl+Alt+k exec " in log and " -m velmora.host action --hotkey ctrl+alt+k" in log
    )
    field = make_field("gtk")
    assert wdesk.display().set_foreground(field.handle)
    swaymsg(f"bindsym Ctrl+Alt+k exec {host.client} action --hotkey ctrl+alt+k")
    keyboard.send("ctrl+alt+k")  # the session's keyboard: sway runs the binding
    assert "status 0" in reply(host, 1) and field.settled("Hi")["text"] == "Hi"
    swaymsg(f"exec {host.client} action expand")
    assert "expand: no abbreviation for an empty word; nothing done\nstatus 1" in reply(host, 2)
    original = np.random.default_rng(25).integers(0, 256, (20, 30, 3), dtype=np.uint8)
    snapTone.send_to_clipboard(Image.fromarray(original))
    swaymsg(f"exec {host.client} action invert-picture")
    assert reply(host, 3).endswith("invert-picture done\nstatus 0\n")
    pasted = subprocess.run(["wl-paste", "--type", "image/png"], capture_output=True).stdout
    assert np.array_equal(np.asarray(Image.open(io.BytesIO(pasted)).convert("RGB")), 255 - original)
    host.send_signal(signal.SIGHUP)
    wait(lambda: "(SIGHUP): 3 hotkeys (0 new, bound in the compositor)" in host.log(), "reload")


BAD_CLIENT = """
import socket, sys
with socket.socket(socket.AF_UNIX) as bad:
    bad.connect(sys.argv[1])
    try:
        bad.sendall(bytes.fromhex(sys.argv[2]))
    except BrokenPipeError:
        pass  # refused unread
    bad.settimeout(10)
    print(bad.recv(4096).decode())
"""


@pytest.mark.parametrize(
    "sent, said",
    [
        (b"\xff\xfe garbage\n", "bad request: not a JSON line"),
        (b"{" * 5000, "bad request: a request is at most 4096 bytes"),
        (b'{"action": 5}\n', "bad request: expected"),
        (b'{"action"', "bad request: no complete request within 2 s"),  # stuck
        (None, "refused: another user's host"),
    ],
)
def test_a_bad_or_stuck_request_leaves_the_host_serving(host, sway, user_python, sent, said):  # noqa: F811
    path = control.socket_path(control.wayland_session(sway["WAYLAND_DISPLAY"]), sway)
    python, environment = user_python
    if sent is None:  # the test's own user, unless it is the host's
        if not USER:
            pytest.skip("the tests run as the host's user")
        argv, sent, user = [sys.executable], b'{"action": "expand"}\n', {}
    else:
        argv, user = [python], USER
    argv += ["-c", BAD_CLIENT, path, sent.hex()]
    answer = subprocess.run(argv, env=environment, capture_output=True, text=True, **user)
    assert said in answer.stdout and host.poll() is None, answer.stderr
    swaymsg(f"exec {host.client} action no-such-action")
    assert "unknown action 'no-such-action'" in reply(host, 1)


def test_a_word_typed_on_the_keyboard_device_is_expanded(start_host, make_field, wdesk, user_home):  # noqa: F811
    """The host reads the user's keyboard device (a FIFO of recorded events standing in for
    it) while the same keys reach the field; the binding's expand replaces the word."""
    import keyboard
    from test_host_evdev import events

    device = pathlib.Path(user_home) / "event0"
    os.mkfifo(device, 0o666)
    os.chmod(device, 0o666)
    host = start_host("--keyboard", str(device))
    field = make_field("gtk")
    assert wdesk.display().set_foreground(field.handle)
    with open(device, "wb", buffering=0) as keys:
        keys.write(events("space b r b"))
        keyboard.write(" brb")
        assert field.settled(" brb")["text"] == " brb"
        keys.write(events("+ctrl +alt e -e -alt -ctrl"))  # the binding's keys
        swaymsg(f"exec {host.client} action expand")
        assert "status 0" in reply(host, 1), host.log()
        assert field.settled(" be right back")["text"] == " be right back"
