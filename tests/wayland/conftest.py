"""A headless sway session for the Wayland tests, and native text fields on it.

sway refuses root: as root, the session runs it as the ordinary user "nobody", with a runtime
folder of its own. sway picks its socket name itself, read from that folder. The tests run
with the session's WAYLAND_DISPLAY, XDG_RUNTIME_DIR and SWAYSOCK, and no DISPLAY: no X server
takes part but sway's Xwayland (for the picture window). Without sway or its tools the tests
are skipped, but fail in CI, where they run.
"""

import glob
import json
import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SYSTEM_PYTHON = "/usr/bin/python3"  # the system's interpreter, with its GObject bindings
GTK_CHECK = [SYSTEM_PYTHON, "-c", "import gi; gi.require_version('Gtk', '3.0')"]
APP_IDS = {"tty": "velmora-foot", "gtk": "velmora-gtk"}
QUIET = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}


def wait(done, what, timeout=30.0):
    deadline = time.monotonic() + timeout
    while not (found := done()):
        if time.monotonic() > deadline:
            pytest.fail(f"{what} did not happen within {timeout:g} s")
        time.sleep(0.05)
    return found


@pytest.fixture(scope="session")
def sway():
    """The session's environment for its programs; the session's user is "nobody" as root."""
    programs = {"sway": "sway", "foot": "foot", "wl-copy": "wl-clipboard"}
    missing = [package for program, package in programs.items() if not shutil.which(program)]
    if not os.path.exists(SYSTEM_PYTHON) or subprocess.run(GTK_CHECK).returncode:
        missing.append("python3-gi gir1.2-gtk-3.0")
    if missing:
        message = f"Debian packages not installed (CI installs them): {' '.join(missing)}"
        (pytest.fail if os.environ.get("CI") else pytest.skip)(message)
    runtime = tempfile.mkdtemp(prefix="velmora-wayland-")
    user = {"user": 65534, "group": 65534, "extra_groups": []} if os.geteuid() == 0 else {}
    os.chown(runtime, 65534, 65534) if user else None
    with open(os.path.join(runtime, "config"), "w") as config:
        config.write("xwayland enable\noutput HEADLESS-1 resolution 1024x768\n")
    environment = {"PATH": os.environ["PATH"], "HOME": runtime, "XDG_RUNTIME_DIR": runtime}
    headless = dict(WLR_BACKENDS="headless", WLR_LIBINPUT_NO_DEVICES="1", WLR_RENDERER="pixman")
    argv = ["sway", "-c", config.name]
    server = subprocess.Popen(argv, env=dict(environment, **headless), **QUIET, **user)

    def started():
        assert server.poll() is None, "sway ended"
        sockets = [path for path in glob.glob(f"{runtime}/wayland-*") if "." not in path]
        ipc = glob.glob(f"{runtime}/sway-ipc.*.sock")
        return sockets and ipc and (os.path.basename(sockets[0]), ipc[0])

    name, ipc = wait(started, "sway's start")
    yield dict(environment, WAYLAND_DISPLAY=name, SWAYSOCK=ipc, user=user, pid=server.pid)
    server.terminate()
    server.wait(timeout=10)
    shutil.rmtree(runtime, ignore_errors=True)


@pytest.fixture
def wdesk(sway, monkeypatch):
    """The backend chosen in the session's environment (no X display); keys up afterwards."""
    from velmora._platform import desktop, wayland

    for key in ("WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "SWAYSOCK"):
        monkeypatch.setenv(key, sway[key])
    monkeypatch.delenv("DISPLAY", raising=False)
    desktop.detach()
    desktop.attach()
    assert isinstance(desktop.display(), wayland.WaylandDisplay)
    yield desktop
    desktop.display().release_keys()
    desktop.detach()


class Field:
    """A text field (fields.py) in foot or in a GTK window, run as the session's user."""

    def __init__(self, sway, kind):
        self.folder = tempfile.mkdtemp(prefix="velmora-field-")
        os.chmod(self.folder, 0o777)
        self.state, self.app_id = os.path.join(self.folder, "state.json"), APP_IDS[kind]
        # The user may not read the checkout (a clone in a private folder): the field's
        # program runs from a copy in the field's own folder.
        program = shutil.copy(os.path.join(HERE, "fields.py"), self.folder)
        os.chmod(program, 0o644)
        argv = [SYSTEM_PYTHON, program, kind, self.state]
        argv = ["foot", f"--app-id={self.app_id}", *argv] if kind == "tty" else argv
        environment = dict(sway, GDK_BACKEND="wayland", NO_AT_BRIDGE="1")
        user, _ = environment.pop("user"), environment.pop("pid")
        self.process = subprocess.Popen(argv, env=environment, cwd=self.folder, **QUIET, **user)
        wait(lambda: os.path.exists(self.state), f"the {kind} field")

    def settled(self, text, cursor=None, timeout=10.0):
        """The state once the field holds ``text`` and the caret has moved (to ``cursor``,
        when given), or after timeout."""
        deadline, read = (
            time.monotonic() + timeout,
            lambda: json.loads(Path(self.state).read_bytes()),
        )
        while time.monotonic() < deadline:
            state = read()
            if state["text"] == text and cursor in (None, state["cursor"]):
                break
            time.sleep(0.05)
        time.sleep(0.2)
        return read()

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)
        shutil.rmtree(self.folder, ignore_errors=True)


@pytest.fixture
def make_field(sway, wdesk):
    """make_field("foot" or "gtk"): a field, shown and found by its app_id (``handle``)."""
    made = []

    def make(kind):
        made.append(Field(sway, "tty" if kind == "foot" else kind))
        find = wdesk.display().find_window
        made[-1].handle = wait(lambda: find(made[-1].app_id, None), "the field's window")
        return made[-1]

    yield make
    for field in made:
        field.close()


@pytest.fixture(params=["foot", "gtk"])
def focused_field(request, wdesk, make_field):
    """A field of each toolkit, given the focus."""
    field = make_field(request.param)
    assert wdesk.display().set_foreground(field.handle)
    return field
