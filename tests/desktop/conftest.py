"""A real X server for the desktop tests, and real windows on it.

The session starts its own Xvfb on a free display (Xvfb picks the number and reports it) and
points DISPLAY at it for this process and its children. Every test runs twice: on the bare
server, where the backend focuses windows itself, and with a window manager (openbox), where it
goes through EWMH. Without Xvfb or openbox the tests are skipped on a developer's machine, but
fail in CI (CI set), where they must run.
"""

import collections
import os
import re
import select
import shutil
import stat
import subprocess
import sys
import sysconfig
import tempfile
import time

import pytest

SCREEN = (1024, 768)

XServer = collections.namedtuple("XServer", "name managed")


def _require(program, package):
    if shutil.which(program) is None:
        message = f"{program} is not installed (Debian package {package})"
        if os.environ.get("CI"):
            pytest.fail(message + ": CI must install it")
        pytest.skip(message)


def servers_environment():
    """The environment of the display's own programs (Xvfb, openbox). The sanitizer stage
    preloads its runtimes into every program the tests start; they are there for this
    project's modules, and preloaded into openbox they now and then kept it from mapping a
    window."""
    environment = dict(os.environ)
    if environment.get("VELMORA_SANITIZE") == "1":
        environment.pop("LD_PRELOAD", None)
    return environment


@pytest.fixture(scope="session", params=["bare", "managed"])
def xserver(request):
    """A fresh Xvfb display, with or without a window manager, set as DISPLAY."""
    _require("Xvfb", "xvfb")
    if request.param == "managed":
        _require("openbox", "openbox")
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        [
            "Xvfb",
            "-displayfd",
            str(write_end),
            "-screen",
            "0",
            f"{SCREEN[0]}x{SCREEN[1]}x24",
            "-nolisten",
            "tcp",
            "-noreset",
        ],
        pass_fds=(write_end,),
        env=servers_environment(),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    os.close(write_end)
    # Xvfb writes the number and a line break, maybe in two writes; it dies if the pipe is
    # gone by then, so the pipe stays open for the session.
    reported = b""
    deadline = time.monotonic() + 30
    while not reported.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
        chunk = os.read(read_end, 64) if ready else b""
        if not chunk:
            break
        reported += chunk
    number = reported.decode().strip()
    if not reported.endswith(b"\n") or not number.isdigit():
        server.kill()
        os.close(read_end)
        pytest.fail("Xvfb did not start")
    name = f":{number}"
    previous = os.environ.get("DISPLAY")
    os.environ["DISPLAY"] = name
    manager = _start_window_manager(name) if request.param == "managed" else None
    yield XServer(name, manager is not None)
    if manager is not None:
        manager.terminate()
        manager.wait(timeout=10)
    if previous is None:
        os.environ.pop("DISPLAY", None)
    else:
        os.environ["DISPLAY"] = previous
    server.terminate()
    try:
        server.wait(timeout=10)
    except subprocess.TimeoutExpired:
        server.kill()
    os.close(read_end)


def _start_window_manager(name):
    """Starts openbox on display ``name`` and waits until it announces itself (EWMH)."""
    from Xlib import X, display

    manager = subprocess.Popen(
        ["openbox", "--sm-disable"],
        env=servers_environment(),
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    probe = display.Display(name)
    check = probe.intern_atom("_NET_SUPPORTING_WM_CHECK")
    deadline = time.monotonic() + 30
    try:
        while probe.screen().root.get_full_property(check, X.AnyPropertyType) is None:
            if manager.poll() is not None or time.monotonic() > deadline:
                manager.kill()
                pytest.fail("openbox did not start")
            time.sleep(0.05)
    finally:
        probe.close()
    return manager


# The ordinary user that the desktop programs under test run as, where the tests run as root.
USER = {"user": 65534, "group": 65534, "extra_groups": []} if os.geteuid() == 0 else {}


def _mirror(source, target, ignore=()):
    """Copies the tree ``source`` to ``target`` readable for every user, as hard links where
    the file is readable for every user already (and on the same file system)."""
    for root, folders, files in os.walk(source):
        folders[:] = [name for name in folders if name not in ignore]
        here = os.path.join(target, os.path.relpath(root, source))
        os.makedirs(here, mode=0o755, exist_ok=True)
        os.chmod(here, 0o755)
        for name in files:
            path, copy = os.path.join(root, name), os.path.join(here, name)
            mode = os.stat(path).st_mode
            try:
                if mode & stat.S_IROTH:
                    os.link(path, copy, follow_symlinks=True)
                    continue
            except OSError:
                pass
            shutil.copyfile(path, copy)
            os.chmod(copy, stat.S_IMODE(mode) | 0o444)


@pytest.fixture(scope="session")
def user_python():
    """An interpreter with this run's packages that the ordinary user can run, and the
    environment it needs: the test run's interpreter, the virtual environment and the checkout
    may lie where only their owner enters (/root, a private temporary folder)."""
    folder = tempfile.mkdtemp(prefix="velmora-python-")
    os.chmod(folder, 0o755)
    version, paths = sysconfig.get_python_version(), sysconfig.get_paths()
    os.makedirs(os.path.join(folder, "bin"), mode=0o755)
    executable = os.path.join(folder, "bin", f"python{version}")
    shutil.copy(os.path.realpath(sys.executable), executable)
    os.chmod(executable, 0o755)
    library = sysconfig.get_config_var("LIBDIR")  # libpython, where the interpreter links it
    os.makedirs(os.path.join(folder, "lib"), mode=0o755)
    if sysconfig.get_config_var("Py_ENABLE_SHARED") and library:
        for name in os.listdir(library):
            if name.startswith("libpython"):
                shutil.copy(os.path.join(library, name), os.path.join(folder, "lib", name))
    stdlib = os.path.join(folder, "lib", f"python{version}")
    unused = {"test", "site-packages", "dist-packages"}  # the tests, other installed packages
    _mirror(paths["stdlib"], stdlib, ignore=unused)
    if paths["platstdlib"] != paths["stdlib"]:
        _mirror(paths["platstdlib"], stdlib, ignore=unused)
    _mirror(paths["purelib"], os.path.join(stdlib, "site-packages"))
    if paths["platlib"] != paths["purelib"]:
        _mirror(paths["platlib"], os.path.join(stdlib, "site-packages"))
    for root, folders, _ in os.walk(folder):  # the folders on the way, for the user to enter
        for name in folders:
            os.chmod(os.path.join(root, name), 0o755)
    leave = {"PYTHONPATH", "PYTHONHOME", "XAUTHORITY", "HOME", "LD_LIBRARY_PATH"}
    environment = {k: v for k, v in os.environ.items() if k not in leave and "XDG_" not in k}
    libraries = [os.path.join(folder, "lib"), *filter(None, [os.environ.get("LD_LIBRARY_PATH")])]
    yield executable, dict(environment, LD_LIBRARY_PATH=os.pathsep.join(libraries))
    shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def user_home():
    """A home folder that the ordinary user owns, removed afterwards."""
    home = tempfile.mkdtemp(prefix="velmora-home-")
    os.chmod(home, 0o755)
    if USER:
        os.chown(home, USER["user"], USER["group"])
    yield home
    shutil.rmtree(home, ignore_errors=True)


@pytest.fixture
def screen_size(xserver):
    return SCREEN


@pytest.fixture
def clipboard_tools():
    _require("xclip", "xclip")


@pytest.fixture
def window_tools(clipboard_tools):
    """xdotool to drive other programs' windows, and an OpenCV build that can show windows."""
    import cv2

    _require("xdotool", "xdotool")
    gui = re.search(r"^\s*GUI:\s*(\S+)", cv2.getBuildInformation(), re.MULTILINE)
    if gui is None or gui.group(1).upper() == "NONE":
        message = "OpenCV has no GUI backend (the headless wheel?): install opencv-python"
        if os.environ.get("CI"):
            pytest.fail(message)
        pytest.skip(message)


@pytest.fixture
def desk(xserver):
    """The desktop backend attached to the test display; every key is up again afterwards."""
    import velmora  # noqa: F401
    from velmora._platform import desktop

    desktop.attach(xserver.name)
    yield desktop
    _release_all_keys(desktop.connection())
    desktop.detach()


def keyboard_mapping(display):
    first = display.display.info.min_keycode
    return display.get_keyboard_mapping(first, display.display.info.max_keycode - first + 1)


def layer_processes(display_name):
    """The programs the layer runs for ``display_name`` (clipboard writers and readers)."""
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
    """Once the clipboard is let go, no program of the layer runs for the display; no key is
    down, and the keyboard mapping is as it was."""
    from Xlib import display as xdisplay

    from velmora._platform import desktop

    desktop.display().clear_selection("CLIPBOARD")
    deadline = time.monotonic() + 10
    while layer_processes(display_name) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert layer_processes(display_name) == []
    probe = xdisplay.Display(display_name)
    try:
        assert not any(probe.query_keymap()), "a key stayed down"
        # Keycodes bound for typing stay bound while typing goes on; the test's is done.
        getattr(desktop.display(), "unbind_spares", lambda: None)()
        assert keyboard_mapping(probe) == mapping_before, "a keycode stayed remapped"
    finally:
        probe.close()


@pytest.fixture
def left_clean(desk, xserver):
    """Fails the test if it leaves a program of the layer running, a key down or a keycode
    remapped."""
    mapping = keyboard_mapping(desk.connection().display())
    yield
    assert_left_clean(xserver.name, mapping)


def _release_all_keys(connection):
    from Xlib import X
    from Xlib.ext import xtest

    display = connection.display()
    pressed = display.query_keymap()
    for index, byte in enumerate(pressed):
        for bit in range(8):
            if byte & (1 << bit):
                xtest.fake_input(display, X.KeyRelease, index * 8 + bit)
    display.sync()


class TestWindow:
    """A top-level X window of this test, on its own connection, that records its key events."""

    __test__ = False

    def __init__(self, display_name, instance, class_name, title):
        from Xlib import X, display

        self.display = display.Display(display_name)
        screen = self.display.screen()
        self.window = screen.root.create_window(
            40,
            40,
            240,
            120,
            0,
            screen.root_depth,
            background_pixel=screen.white_pixel,
            event_mask=X.KeyPressMask | X.KeyReleaseMask | X.StructureNotifyMask,
        )
        self.window.set_wm_class(instance, class_name)
        self.window.set_wm_name(title.encode("latin-1", "replace").decode("latin-1"))
        self.window.change_property(
            self.display.intern_atom("_NET_WM_NAME"),
            self.display.intern_atom("UTF8_STRING"),
            8,
            title.encode("utf-8"),
        )
        self.display.sync()
        self.id = self.window.id

    def map(self, timeout=120.0):
        """Maps the window; a window manager that is still working through earlier events
        (a burst of keymap changes costs openbox seconds) maps it only when done."""
        return self._mapped(True, timeout)

    def unmap(self):
        return self._mapped(False)

    def _mapped(self, shown, timeout=20.0):
        from Xlib import X

        (self.window.map if shown else self.window.unmap)()
        self.display.flush()
        # A window manager maps the window when it is ready, which can take a while while
        # it is still starting up; being viewable is as good as the event.
        state = X.IsViewable if shown else X.IsUnmapped
        self._wait_for(
            X.MapNotify if shown else X.UnmapNotify,
            done=lambda: self.window.get_attributes().map_state == state,
            timeout=timeout,
        )
        return self

    def _wait_for(self, kind, done, timeout=20.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            while self.display.pending_events():
                if self.display.next_event().type == kind:
                    return
            if done():
                return
            time.sleep(0.01)
        raise AssertionError(f"window event {kind} did not arrive")

    def key_events(self):
        """("down"/"up", keycode, state) of the key events received so far.

        The backend waits for the server after each event, and the server sends this client
        its events before the reply to a later request, so a round trip here is enough.
        """
        from Xlib import X

        self.display.sync()
        events = []
        while self.display.pending_events():
            event = self.display.next_event()
            if event.type in (X.KeyPress, X.KeyRelease):
                kind = "down" if event.type == X.KeyPress else "up"
                events.append((kind, event.detail, event.state))
        return events

    def keysyms(self, keycode):
        return {self.display.keycode_to_keysym(keycode, index) for index in range(4)}

    def typed(self, events=None):
        """The text the key-down events type, as a plain client reads it."""
        from Xlib import XK, X

        text = ""
        for kind, keycode, state in self.key_events() if events is None else events:
            if kind == "down":
                keysym = self.display.keycode_to_keysym(keycode, 1 if state & X.ShiftMask else 0)
                text += XK.keysym_to_string(keysym) or ""
        return text

    def viewable(self):
        from Xlib import X

        return self.window.get_attributes().map_state == X.IsViewable

    def has_focus(self):
        focus = self.display.get_input_focus().focus
        return getattr(focus, "id", None) == self.id

    def close(self):
        if self.display is None:
            return
        try:
            self.window.destroy()
            self.display.sync()
        finally:
            self.display.close()
            self.display = None


@pytest.fixture
def make_window(xserver):
    """make_window(instance, class, title="...", mapped=True) -> TestWindow, closed afterwards."""
    made = []

    def make(instance="velmoraTest", class_name="VelmoraTest", title="Untitled", mapped=True):
        window = TestWindow(xserver.name, instance, class_name, title)
        made.append(window)
        return window.map() if mapped else window

    yield make
    for window in made:
        window.close()


@pytest.fixture
def load_layout(desk, xserver):
    """load_layout("de", variant="") switches the server to a keyboard layout (setxkbmap);
    the layout of before comes back afterwards.

    Xvfb takes a new keymap only while a window manager runs: elsewhere the test is skipped."""
    loaded = []

    def setxkbmap(*arguments):
        command = ["setxkbmap", "-display", xserver.name, *arguments]
        subprocess.run(command, check=True, timeout=30)

    def load(layout, variant=""):
        if not xserver.managed:
            pytest.skip("Xvfb keeps its first keymap unless a window manager runs")
        loaded.append(layout)
        # No options: setxkbmap keeps those of the server's last layout otherwise (a group
        # switch that an earlier test put on a key, say).
        setxkbmap("-layout", layout, "-variant", variant, "-option", "")

    yield load
    if loaded:
        setxkbmap("-layout", "us", "-variant", "", "-option", "")
