"""The host's control socket, the client's messages, how a request names its action, and
what the Wayland host says at start about the compositor."""

import logging
import os
import re
import select
import socket
import stat
import subprocess
import sys
import threading
import time
import types

import pytest

from velmora._platform import wayland
from velmora.host import actions, bindings, config, control, serving, wayland_host

CONFIG = """\
[hotkeys]
"ctrl+alt+e" = "expand"
"ctrl+alt+k" = { action = "keys", keys = ["ctrl+a"], delay = 0.1 }
"ctrl+alt+j" = { action = "keys", keys = ["ctrl+c"] }
"super+F5" = "open-with"
"""
HOTKEYS = config.parse(CONFIG, "/c.toml").hotkeys


@pytest.fixture
def session(tmp_path):
    return {"XDG_RUNTIME_DIR": str(tmp_path), "WAYLAND_DISPLAY": "wayland-7"}


def test_one_host_per_session_and_a_dead_hosts_socket_replaced(session, caplog):
    path = control.socket_path(control.wayland_session("wayland-7"), session)
    with socket.socket(socket.AF_UNIX) as dead:
        dead.bind(path)  # left behind by a host that is gone
    server = control.Server(path)
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    with pytest.raises(control.AlreadyRunning):
        control.Server(path)
    replies = []
    client = threading.Thread(
        target=lambda: replies.append(control.request({"action": "x"}, session))
    )
    client.start()
    select.select([server], [], [], 5)
    request = server.accept()
    assert (request.action, request.hotkey) == ("x", None)
    long = "x: no such thing " + "é/" * control.MAX_MESSAGE  # longer than a reply carries
    request.answer(False, long)
    client.join(5)
    assert replies == [(False, long[: control.MAX_MESSAGE - 1] + "…")]
    os.unlink(path + ".lock")  # removed by hand: the first host still answers on its socket
    with pytest.raises(control.AlreadyRunning):
        control.Server(path)
    time.sleep(0.2)  # the first host has read the question whether it listens
    assert not [record for record in caplog.records if record.levelno >= logging.WARNING]
    os.unlink(path)  # both removed: a second host starts
    second = control.Server(path)
    server.close()
    assert os.path.exists(path)  # the first host's end leaves the second's socket alone
    second.close()
    assert not os.path.exists(path)
    control.Server(path).close()  # the lock is free again


def connect(path, sent=b""):
    client = socket.socket(socket.AF_UNIX)
    client.connect(path)
    if sent:  # a refused connection may be closed already: nothing to send, no broken pipe
        client.sendall(sent)
    return client


def test_idle_clients_neither_delay_a_request_nor_pile_up(session, monkeypatch, caplog):
    monkeypatch.setattr(control, "REQUEST_TIMEOUT", 60.0)  # idle until the end, on any load
    server = control.Server(control.socket_path("wayland-7", session))
    idle = [connect(server.path) for _ in range(control.MAX_PENDING - 1)]
    real = connect(server.path, b'{"action": "expand"}\n')
    select.select([server], [], [], control.REQUEST_TIMEOUT * 5)
    assert server.accept().action == "expand"
    idle[0].setblocking(False)
    with pytest.raises(BlockingIOError):  # still being read: the request did not wait for it
        idle[0].recv(100)
    idle.append(connect(server.path))  # the last free place
    for _ in range(3):
        with connect(server.path) as refused:
            assert refused.recv(4096).startswith(b'{"ok": false, "message": "busy: ')
    assert sum("refusing more" in record.message for record in caplog.records) == 1
    server.close()
    for client in [*idle, real]:
        client.close()


@pytest.mark.parametrize(
    "sent, said",
    [
        (b"[" * 4000 + b"\n", "bad request: "),  # deeper than the decoder goes, or unclosed
        (b'{"action": {"action": "expand"}}\n', "bad request: expected {"),
        (b'{"hotkey": "ctrl+[", "x{": ""}\n', "bad request: expected {"),  # flat, read in full
        (None, "refused: another user's host"),
    ],
)
def test_a_bad_or_foreign_request_is_answered_by_its_reader(session, monkeypatch, sent, said):
    server = control.Server(control.socket_path("wayland-7", session))
    if sent is None:
        monkeypatch.setattr(control, "peer_uid", lambda connection: os.getuid() + 1)
    with connect(server.path, sent or b"") as client:
        client.settimeout(10)
        assert said in client.recv(4096).decode()
    if sent is None:  # and the client asks no server of another user
        with pytest.raises(control.ControlError, match=r"served by another user \(uid \d+\)"):
            control.request({"action": "expand"}, session)
    assert server.accept() is None
    server.close()


@pytest.mark.parametrize(
    "environment, said",
    [
        ({"WAYLAND_DISPLAY": "wayland-7"}, "no velmora-host runs in this session (looked for"),
        ({}, "no session: neither WAYLAND_DISPLAY nor DISPLAY is set"),
    ],
)
def test_the_client_says_plainly_when_no_host_runs(tmp_path, environment, said):
    unset = ("DISPLAY", "WAYLAND_DISPLAY")
    environment.update({k: v for k, v in os.environ.items() if k not in unset})
    environment["XDG_RUNTIME_DIR"] = str(tmp_path)
    argv = [sys.executable, "-m", "velmora.host", "action", "expand"]
    done = subprocess.run(argv, env=environment, capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 1 and said in done.stderr and done.stdout == ""


@pytest.mark.parametrize(
    "name, hotkey, expected",
    [
        ("expand", None, ("expand", {}, "control socket")),
        ("invert-picture", None, ("invert-picture", {}, "control socket")),
        ("open-with", None, ("open-with", {"tool_number": 4, "prog_index": 0}, "super+f5")),
        (None, "ctrl+alt+k", ("keys", {"keys": ["ctrl+a"], "delay": 0.1}, "ctrl+alt+k")),
        ("keys", None, "keys is bound to several hotkeys (ctrl+alt+k, ctrl+alt+j)"),
        ("nothing", None, "unknown action 'nothing' (known: invert-picture, "),
        (None, "ctrl+alt+x", "no hotkey 'ctrl+alt+x' in /c.toml"),
        (None, "ctrl+alt+nokey", "--hotkey: 'ctrl+alt+nokey': unknown key"),
    ],
)
def test_a_request_names_an_action_or_a_configured_hotkey(name, hotkey, expected):
    host = serving.HostBase(config.parse(CONFIG, "/c.toml"))
    if isinstance(expected, str):
        with pytest.raises(actions.ActionFailed, match=re.escape(expected)):
            host.resolve(name, hotkey)
    else:
        action, args, label = host.resolve(name, hotkey)
        assert (action, args) == expected[:2] and label.startswith(expected[2])


@pytest.mark.parametrize(
    "offered, environment, expected",
    [
        (set(), {"DISPLAY": ":1"}, {"expand": wayland.NO_KEYBOARD, "keys": wayland.NO_KEYBOARD,
         "open-with": wayland.NO_KEYBOARD, "invert-picture": wayland.NO_DATA_CONTROL,
         "edit-picture": wayland.NO_DATA_CONTROL}),
        ({"zwp_virtual_keyboard_manager_v1", "ext_data_control_manager_v1"}, {"DISPLAY": ":1"}, {}),
        ({"zwp_virtual_keyboard_manager_v1", "zwlr_data_control_manager_v1"}, {},
         {"edit-picture": "the picture window is an X11 window and needs Xwayland, and DISPLAY "
          "is not set"}),
    ],
)  # fmt: skip
def test_what_cannot_work_on_a_compositor_and_why(offered, environment, expected):
    assert wayland_host.limits(offered, environment) == expected


def test_binding_lines_for_sway_and_the_desktops_settings():
    assert bindings.lines("sway", HOTKEYS, "velmora-host") == [
        "bindsym Ctrl+Alt+e exec velmora-host action expand",
        "bindsym Ctrl+Alt+k exec velmora-host action --hotkey ctrl+alt+k",
        "bindsym Ctrl+Alt+j exec velmora-host action --hotkey ctrl+alt+j",
        "bindsym Mod4+F5 exec velmora-host action --hotkey super+f5",
    ]
    assert bindings.lines("gnome", HOTKEYS[:1], "v")[0] == "Ctrl+Alt+E  runs  v action expand"


class FakeCapture:
    def __init__(self, released):
        self.calls, self.released = [], released

    def __getattr__(self, name):  # start, hold, release: recorded
        return lambda: self.calls.append(name)

    def wait_released(self, timeout):
        self.calls.append("wait")
        return self.released


@pytest.mark.parametrize(
    "outcome, said",
    [
        (ImportError, "typed-character capture is not part of this installation; abbreviations"),
        (PermissionError, "no access to /dev/input; abbreviations and locations (expand, open"),
        (None, None),
    ],
)
def test_the_wayland_capture_where_it_can_run_and_why_not(monkeypatch, outcome, said):
    import velmora.host

    evdev = types.ModuleType("velmora.host.evdev")
    evdev.NoAccess = PermissionError

    def open_capture(house, words, devices):
        if outcome is PermissionError:
            raise PermissionError("no access to /dev/input.")
        return FakeCapture((house, words, devices))

    evdev.open_capture = open_capture
    missing = outcome is ImportError
    monkeypatch.setitem(sys.modules, "velmora.host.evdev", None if missing else evdev)
    monkeypatch.setattr(velmora.host, "evdev", evdev, raising=False)
    if missing:
        monkeypatch.delattr(velmora.host, "evdev")
    host = wayland_host.WaylandHost(config.parse(CONFIG, "/c.toml"), keyboards=["/tmp/fifo"])
    collected = serving.Collected()
    wayland_host.log.addHandler(collected)
    try:
        capture = host._open_capture("house")
    finally:
        wayland_host.log.removeHandler(collected)
    messages = [record.getMessage() for record in collected.records]
    if said is not None:
        assert capture is None and any(said in message for message in messages), messages
    else:
        assert capture.calls == ["start"] and capture.released == ("house", "_", ["/tmp/fifo"])


@pytest.mark.parametrize(
    "action, released, expected",
    [
        ("keys", True, ["hold", "wait", "run", "release"]),
        ("keys", False, ["hold", "wait", "release"]),  # modifiers still held: nothing typed
        ("invert-picture", False, ["hold", "run", "release"]),
    ],
)
def test_a_wayland_action_that_types_waits_for_the_modifiers(action, released, expected):
    host = wayland_host.WaylandHost(config.parse(CONFIG, "/c.toml"))
    host.capture = FakeCapture(released)
    host.actions = types.SimpleNamespace(run=lambda *_: host.capture.calls.append("run") or True)
    assert host._perform(action, {}, "ctrl+alt+k") == ("run" in expected)
    assert host.capture.calls == expected


@pytest.mark.parametrize(
    "asked, path, said",
    [
        (b'{"hotkey": "ctrl+q"}', os.fsdecode(b"/\xff.toml"), "no hotkey 'ctrl+q' in /?.toml"),
        (b'{"action": "expand"}', "/c.toml", "the request failed: KeyError: 'expand'"),
    ],
)
def test_a_request_whose_handling_fails_is_answered_and_the_host_serves_on(
    session, asked, path, said
):
    host = serving.HostBase(config.parse(CONFIG, path))
    host.control = control.Server(control.socket_path("wayland-7", session))
    host.stopper = types.SimpleNamespace(busy=None)
    host._perform = lambda action, args, label: {}[action]
    with connect(host.control.path, asked + b"\n") as client:
        select.select([host.control], [], [], 5)
        host._serve()
        assert said in client.recv(4096).decode()
    # An action's catch-up answers what was read in full, and does not wait for the rest.
    late = []
    host._perform = lambda *_: (
        late.extend([connect(host.control.path, asked + b"\n"), connect(host.control.path)])
        or select.select([host.control], [], [], 5)
    )
    host.run_action("expand", {}, "test")
    assert b"ignored: asked while expand ran" in late[0].recv(4096)
    late[1].setblocking(False)
    with pytest.raises(BlockingIOError):  # still being read
        late[1].recv(100)
    host.control.close()
    for client in late:
        client.close()


@pytest.mark.parametrize("display", [":5", ":5.0", "unix:5.1"])
def test_the_screen_and_a_local_transport_name_one_x_session(display):
    assert control.x11_session(display) == "x11-:5" != control.x11_session("otherhost:5")


@pytest.mark.parametrize(
    "mode, owner, said",
    [
        (0o777, 0, "may be written by other users (mode 777)"),
        (0o720, 0, "may be written by other users (mode 720)"),
        (0o700, 1, "belongs to another user"),
    ],
)
def test_a_runtime_folder_others_may_write_to_is_refused(session, monkeypatch, mode, owner, said):
    os.chmod(session["XDG_RUNTIME_DIR"], mode)
    monkeypatch.setattr(
        control.os, "getuid", lambda: os.stat(session["XDG_RUNTIME_DIR"]).st_uid + owner
    )
    for attempt in (lambda: control.Server(control.socket_path("wayland-7", session)),
                    lambda: control.request({"action": "expand"}, session)):  # fmt: skip
        with pytest.raises(control.ControlError, match=re.escape(said)):
            attempt()
    assert os.listdir(session["XDG_RUNTIME_DIR"]) == []
