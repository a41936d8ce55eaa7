"""The Windows shell steps of the compiled modules, on another desktop.

The modules choose, in one visible place each (``platform.cpp``), between the Windows shell
(``os.startfile``, the explorer's "/select,") and these functions, which hand the work to the
attached backend (``desktop``):

- ``startfile``: the keyboard module's ``OpenLocation``; a failure raises, so that the module
  reports it and keeps the typed characters;
- ``open_folder`` and ``reveal``: the picture window's open command; a failure is printed on
  standard error and the window goes on, so that the picture is not lost;
- ``pin_above``: the picture window kept above the others, with a window class of its own; a
  failure is printed too, and the window is shown all the same;
- ``pillow``: Pillow as the image module sees it, with the clipboard picture read by this layer;
- ``picture_folder``: where the picture window saves, in the user's pictures folder (a
  package's own folder is hidden from the user and replaced when the package is reinstalled).
"""

import os
import shlex
import shutil
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


def _configured_pictures_dir():
    """The pictures folder the user's XDG configuration names, or None when it names none.

    ``xdg-user-dir PICTURES`` answers where it is installed; otherwise the line
    ``XDG_PICTURES_DIR="$HOME/..."`` of ``user-dirs.dirs`` is read the way it does. Both say
    the home folder itself for "not configured", which is taken as no answer.
    """
    home = os.path.expanduser("~")
    answer = None
    if shutil.which("xdg-user-dir"):
        try:
            result = subprocess.run(
                ["xdg-user-dir", "PICTURES"],
                capture_output=True,
                text=True,
                timeout=5,
                stdin=subprocess.DEVNULL,
            )
            answer = result.stdout.strip() if result.returncode == 0 else None
        except (OSError, subprocess.SubprocessError):
            answer = None
    if not answer:
        answer = _read_user_dirs(home)
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
        with open(os.path.join(config, "user-dirs.dirs"), encoding="utf-8") as file:
            lines = file.read(65536).splitlines()
    except (OSError, UnicodeDecodeError):
        return os.environ.get("XDG_PICTURES_DIR")
    for line in lines:
        name, equals, value = line.strip().partition("=")
        if name == "XDG_PICTURES_DIR" and equals:
            try:
                words = shlex.split(value)
            except ValueError:
                return None
            if len(words) != 1:
                return None
            path = words[0]
            if path.startswith("$HOME"):
                path = home + path[len("$HOME") :]
            return path
    return os.environ.get("XDG_PICTURES_DIR")


def picture_folder():
    """``<pictures>/velmora``: the user's pictures folder as XDG names it, else ~/Pictures."""
    pictures = _configured_pictures_dir() or os.path.join(os.path.expanduser("~"), "Pictures")
    return os.path.join(pictures, PICTURE_SUBFOLDER)
