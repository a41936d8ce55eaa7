"""The Windows shell steps of the compiled modules, on another desktop.

The modules choose, in one visible place each (``platform.cpp``), between the Windows shell
(``os.startfile``, the explorer's "/select,") and these functions, which hand the work to the
attached backend (``desktop``):

- ``startfile``: the keyboard module's ``OpenLocation``; a failure raises, so that the module
  reports it and keeps the typed characters;
- ``open_folder`` and ``reveal``: the picture window's open command; a failure is printed on
  standard error and the window goes on, so that the picture is not lost;
- ``pin_above``: the picture window kept above the others, with a window class of its own; a
  failure is printed too, and the window is shown all the same.
"""

import sys

from velmora._platform import desktop

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
