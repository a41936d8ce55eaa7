"""The Windows shell steps of the compiled modules, on another desktop.

The modules choose, in one visible place each (``platform.cpp``), between the Windows shell
(``os.startfile``, the explorer's "/select,") and these functions, which hand the work to the
attached backend (``desktop``):

- ``startfile``: the keyboard module's ``OpenLocation``; a failure raises, so that the module
  reports it and keeps the typed characters;
- ``open_folder`` and ``reveal``: the picture window's open command; a failure is printed on
  standard error and the window goes on, so that the picture is not lost;
- ``check_window_display``: before the picture window is made, whether it has an X display to
  open on (on Wayland, Xwayland); a failure raises, since OpenCV's GUI would end the process;
- ``pin_above``: the picture window kept above the others, with a window class of its own; a
  failure is printed too, and the window is shown all the same;
- ``pillow``: Pillow as the image module sees it, with the clipboard picture read by this layer;
- ``picture_folder``: where the picture window saves, in the user's pictures folder (a
  package's own folder is hidden from the user and replaced when the package is reinstalled).
"""

import os
import shlex
import shutil
import signal
import subprocess
import sys

from velmora._platform import desktop
from velmora._platform import pillow as _pillow

# The window class the picture window gets, for window rules and FindAndSendKeysToWindow.
PICTURE_WINDOW_CLASS = ("snapTone", "Velmora")


def startfile(path):
    """Opens ``path`` with its default application, as ``os.startfile`` does; raises if not."""
    desktop.programs().open_path(path)


def _told(what, step, path):
    try:
        step(path)
    except (OSError, ValueError) as error:
        print(f"velmora.snapTone: could not {what} {path!r}: {error}", file=sys.stderr)


def open_folder(path):
    """Opens the folder ``path``; a failure is printed on standard error."""
    _told("open the folder", desktop.programs().open_path, path)


def reveal(path):
    """Shows the file ``path`` selected in the file manager; a failure is printed."""
    _told("show", desktop.programs().reveal_path, path)


def check_window_display():
    """Raises DesktopError where the picture window has no X display to open on."""
    desktop.display().check_window_display()


def pin_above(title):
    """Keeps this process's window ``title`` above the others and gives it a window class; a
    failure (no window manager answering, the window not found) is printed and the window is
    shown all the same."""

    def pin(name):
        desktop.display().pin_above(name, PICTURE_WINDOW_CLASS)

    _told("keep above the others the window", pin, title)


def pillow(pil):
    """The PIL package whose ``ImageGrab.grabclipboard`` is this layer's guarded reader."""
    return _pillow.package(pil)


# The subfolder of the user's pictures folder that the picture window saves into.
PICTURE_SUBFOLDER = "velmora"


def _home():
    """The home folder: $HOME, or the password database's when $HOME is unset or empty."""
    home = os.environ.get("HOME")
    if not home:
        import pwd

        try:
            home = pwd.getpwuid(os.getuid()).pw_dir
        except KeyError:
            home = os.getcwd()
    return home


def _ask_xdg_user_dir():
    """What ``xdg-user-dir PICTURES`` prints, or None. It runs the user's configuration as shell
    code, so it runs in a session of its own, and all of that session goes when it is too slow."""
    if not shutil.which("xdg-user-dir"):
        return None
    try:
        process = subprocess.Popen(
            ["xdg-user-dir", "PICTURES"],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            start_new_session=True,
        )
    except OSError:
        return None
    try:
        output, _ = process.communicate(timeout=2)
    except subprocess.TimeoutExpired:
        _end_session(process)
        return None
    except BaseException:  # Ctrl-C: leave nothing of it running
        _end_session(process)
        raise
    return os.fsdecode(output.strip()) if process.returncode == 0 else None


def _end_session(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except OSError:
        pass
    process.wait()


def _configured_pictures_dir(home):
    """The pictures folder the user's XDG configuration names, or None when it names none.

    ``xdg-user-dir PICTURES`` answers where it is installed; otherwise ``user-dirs.dirs`` is
    read the way it does (its last ``XDG_PICTURES_DIR=`` line). Both say the home folder itself
    for "not configured", which is taken as no answer.
    """
    answer = _ask_xdg_user_dir() or _read_user_dirs(home)
    if (
        not answer
        or not os.path.isabs(answer)
        or os.path.normpath(answer) == os.path.normpath(home)
    ):
        return None
    return answer


def _read_user_dirs(home):
    config = os.environ.get("XDG_CONFIG_HOME") or os.path.join(home, ".config")
    try:
        with open(os.path.join(config, "user-dirs.dirs"), "rb") as file:
            lines = os.fsdecode(file.read(65536)).splitlines()
    except OSError:
        lines = []
    path = os.environ.get("XDG_PICTURES_DIR")
    for line in lines:
        name, equals, value = line.strip().partition("=")
        if name == "XDG_PICTURES_DIR" and equals:
            try:
                words = shlex.split(value, comments=True)
            except ValueError:
                words = []
            if len(words) == 1:
                path = words[0]
                for variable in ("${HOME}", "$HOME"):
                    if path.startswith(variable):
                        path = home + path[len(variable) :]
    return path


# The folder of the last answer, with the environment that it was worked out from: the folder
# is looked up once (at import) and again only where that environment changed.
_picture_folder = (None, None)


def picture_folder():
    """``<pictures>/velmora``: the user's pictures folder as XDG names it, else ~/Pictures."""
    global _picture_folder
    environment = tuple(
        os.environ.get(name) for name in ("HOME", "XDG_CONFIG_HOME", "XDG_PICTURES_DIR")
    )
    known, folder = _picture_folder
    if known != environment:
        home = _home()
        pictures = _configured_pictures_dir(home) or os.path.join(home, "Pictures")
        folder = os.path.join(pictures, PICTURE_SUBFOLDER)
        _picture_folder = (environment, folder)
    return folder
