"""Shared fixtures: recorders rebound into the modules' namespaces, and failure reports."""

import os
import subprocess
import sys
import textwrap
import types

import pytest

# The stand-ins stay off the developer's real desktop; the desktop tests attach explicitly.
os.environ.setdefault("VELMORA_DESKTOP", "0")

import velmora  # noqa: E402,F401  (makes the Windows modules importable on other systems)


class CallLog:
    """A list of ``(name, args)`` tuples, shared by the recorders of one test."""

    def __init__(self):
        self.calls = []

    def recorder(self, name, result=None, effect=None):
        """A callable that logs ``(name, args)`` and returns ``result`` (or ``effect(*args)``)."""

        def record(*args, **kwargs):
            self.calls.append((name, args) if not kwargs else (name, args, kwargs))
            if effect is not None:
                return effect(*args, **kwargs)
            return result

        return record

    def names(self):
        return [call[0] for call in self.calls]

    def args_of(self, name):
        return [call[1] for call in self.calls if call[0] == name]


@pytest.fixture
def log():
    return CallLog()


@pytest.fixture
def kb(monkeypatch, log):
    """The keyboard module with ``win32api`` rebound to a recorder of key events.

    ``log.args_of("keybd_event")`` lists the events sent, as (vk, scan, flags, extra).
    """
    from velmora import strokeSmith

    fake_api = types.SimpleNamespace(keybd_event=log.recorder("keybd_event"))
    monkeypatch.setattr(strokeSmith, "win32api", fake_api)
    return strokeSmith


class Reports:
    """The failures reported through ``sys.unraisablehook`` during a test."""

    def __init__(self):
        self.items = []

    def __call__(self, unraisable):
        self.items.append(unraisable)

    @property
    def objects(self):
        return [item.object for item in self.items]

    @property
    def types(self):
        return [item.exc_type for item in self.items]

    @property
    def messages(self):
        return [str(item.exc_value) for item in self.items]


@pytest.fixture
def reports(monkeypatch):
    """Captures unraisable reports instead of printing them."""
    captured = Reports()
    monkeypatch.setattr(sys, "unraisablehook", captured)
    return captured


# The modules the keyboard module imports first, in the order it imports them.
KEYBOARD_IMPORTS = ["win32gui", "win32ui", "win32api", "win32con", "winsound", "pywintypes"]


def run_script(script, *args, timeout=300, **env):
    """Runs the script ``script`` (a path under tests/) with ``args`` in a fresh interpreter,
    with this test run's import path and no desktop, from the tests folder."""
    here = os.path.dirname(os.path.abspath(__file__))
    environment = dict(
        os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), VELMORA_DESKTOP="0"
    )
    environment.update(env)
    return subprocess.run(
        [sys.executable, os.path.join(here, script), *args],
        capture_output=True,
        text=True,
        env=environment,
        cwd=here,
        timeout=timeout,
    )


def run_python(code, path=(), **env):
    """Runs ``code`` in a fresh interpreter with ``path`` before this test run's import path."""
    environment = dict(os.environ, **env)
    environment["PYTHONPATH"] = os.pathsep.join([*path, *(p for p in sys.path if p)])
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=environment,
        # Not the checkout's root: its source package would shadow the installed one.
        cwd=os.path.dirname(os.path.abspath(__file__)),
        timeout=120,
    )


@pytest.fixture
def snap():
    """The image module."""
    from velmora import snapTone

    return snapTone


@pytest.fixture
def recorded_text(snap, monkeypatch, log):
    """cv2 with putText recorded and not drawing, so the band's strip holds only its colour."""
    import cv2

    fake = types.SimpleNamespace(
        putText=log.recorder("putText"), FONT_HERSHEY_SIMPLEX=cv2.FONT_HERSHEY_SIMPLEX
    )
    monkeypatch.setattr(snap, "cv2", fake)
    return log


@pytest.fixture
def clipboard(snap):
    """The clipboard stand-in the image module uses, emptied and closed for the test."""
    board = snap.win32clipboard
    if not getattr(board, "__velmora_fallback__", False):
        pytest.skip("needs the in-memory clipboard")
    board.reset()
    yield board
    board.reset()


# ---- the picture window, driven by a script ------------------------------------------------

WINDOW = "Image Window"


class ScriptEnded(Exception):
    """The picture window's loop went on after its script and an Escape."""


class ScriptedWindow:
    """OpenCV for the image module, its window driven by a script; all the rest is real cv2.

    Every window call is logged. ``waitKey`` runs the next step of ``script``:
    - a character or an int: that key is pressed;
    - a tuple (event, x, y[, flags]), or a list of them: mouse events delivered to the
      registered callback inside ``waitKey``, which then reports no key;
    - a callable: called with this window, returns the key code (-1 for none).
    After the last step Escape is pressed; a loop that goes on regardless raises ScriptEnded.
    ``shown`` keeps a copy of every picture shown, ``helper`` is the registered tracker.
    """

    IMAGE_CALLS = ("bitwise_not", "rotate", "resize", "line", "putText", "imwrite")

    def __init__(self, log, real_cv2):
        self.log = log
        self.cv2 = real_cv2
        self.script = []
        self.visible = 1.0
        self.callback = None
        self.shown = []
        self.after_script = 0

    def __getattr__(self, name):
        value = getattr(self.cv2, name)
        if name in self.IMAGE_CALLS:
            return self.log.recorder(name, effect=value)
        return value

    @property
    def helper(self):
        return self.callback.__self__

    @property
    def picture(self):
        return self.shown[-1]

    def mouse(self, event, x, y, flags=0):
        self.callback(event, x, y, flags, None)

    def namedWindow(self, name, *flags):
        self.log.calls.append(("namedWindow", (name, *flags)))

    def imshow(self, name, picture):
        self.log.calls.append(("imshow", (name, picture)))
        self.shown.append(picture.copy())

    def setWindowProperty(self, name, prop, value):
        self.log.calls.append(("setWindowProperty", (name, prop, value)))

    def getWindowProperty(self, name, prop):
        self.log.calls.append(("getWindowProperty", (name, prop)))
        return self.visible if prop == self.cv2.WND_PROP_VISIBLE else -1.0

    def setMouseCallback(self, name, callback, *param):
        self.log.calls.append(("setMouseCallback", (name, callback, *param)))
        self.callback = callback

    def destroyAllWindows(self):
        self.log.calls.append(("destroyAllWindows", ()))

    def waitKey(self, delay):
        self.log.calls.append(("waitKey", (delay,)))
        if not self.script:
            self.after_script += 1
            if self.after_script > 1:
                raise ScriptEnded
            return 27
        step = self.script.pop(0)
        if callable(step):
            return step(self)
        if isinstance(step, str):
            return ord(step)
        if isinstance(step, int):
            return step
        for event in [step] if isinstance(step, tuple) else step:
            self.mouse(*event)
        return -1


class PictureWindow:
    """The image module with its window, clipboard, screen, sound and shell replaced.

    ``clipboard`` lists the pictures that successive grabs return (the last one stays).
    ``run(*script)`` runs the interactive mode over the script and returns the window.
    """

    def __init__(self, snap, log, monkeypatch, tmp_path):
        import cv2
        import PIL.Image
        import PIL.ImageOps

        from velmora._platform import shell

        self.snap = snap
        self.log = log
        self.window = ScriptedWindow(log, cv2)
        self.clipboard = []
        self.screen = (1920, 1080)
        self.folder = tmp_path / "Images"
        self.folder.mkdir()

        def grab():
            log.calls.append(("grabclipboard", ()))
            return self.clipboard.pop(0) if len(self.clipboard) > 1 else self.clipboard[0]

        def metrics(index):
            log.calls.append(("GetSystemMetrics", (index,)))
            return self.screen[index]

        pil = types.SimpleNamespace(
            Image=PIL.Image,
            ImageOps=PIL.ImageOps,
            ImageGrab=types.SimpleNamespace(grabclipboard=grab),
        )
        monkeypatch.setattr(snap, "cv2", self.window)
        monkeypatch.setattr(snap, "PIL", pil)
        monkeypatch.setattr(
            snap,
            "winsound",
            types.SimpleNamespace(
                SND_FILENAME=0x20000, SND_ASYNC=0x0001, PlaySound=log.recorder("PlaySound")
            ),
        )
        monkeypatch.setattr(snap, "send_to_clipboard", log.recorder("send_to_clipboard"))
        # The picture folder: "Images" beside the module file on Windows, the one the desktop
        # layer names elsewhere; both are this folder.
        monkeypatch.setattr(snap, "__file__", str(tmp_path / "snapTone.so"))
        monkeypatch.setattr(shell, "picture_folder", lambda: str(self.folder))
        monkeypatch.setitem(
            sys.modules, "win32api", types.SimpleNamespace(GetSystemMetrics=metrics)
        )
        monkeypatch.setitem(
            sys.modules,
            "ctypes",
            types.SimpleNamespace(
                windll=types.SimpleNamespace(
                    shcore=types.SimpleNamespace(
                        SetProcessDpiAwareness=log.recorder("SetProcessDpiAwareness")
                    )
                )
            ),
        )
        # The shells of both systems.
        monkeypatch.setattr(
            snap,
            "os",
            types.SimpleNamespace(
                path=os.path, system=log.recorder("system"), startfile=log.recorder("os.startfile")
            ),
        )
        monkeypatch.setattr(shell, "open_folder", log.recorder("shell.open_folder"))
        monkeypatch.setattr(shell, "pin_above", log.recorder("shell.pin_above"))
        monkeypatch.setattr(shell, "reveal", log.recorder("shell.reveal"))
        self._monkeypatch = monkeypatch
        self.windows_shell(False)

    def windows_shell(self, on):
        """Chooses the Windows steps (True) or the other desktops' (False)."""
        self._monkeypatch.setattr(self.snap, "_windows_shell", on, raising=False)

    def run(self, *script, show_window=True, **kwargs):
        self.window.script = list(script)
        self.window.after_script = 0
        assert self.snap.BeginImageProcessing(show_window, **kwargs) is None
        return self.window


@pytest.fixture
def picture_window(snap, log, monkeypatch, tmp_path):
    return PictureWindow(snap, log, monkeypatch, tmp_path)
