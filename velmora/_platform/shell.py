"""Opening files and folders, and showing a file in the file manager, on a Linux desktop.

``startfile`` does what ``os.startfile`` does on Windows: it opens a path (or a URL) with the
application the desktop associates with it. ``reveal`` shows the folder of a file with the file
selected, where the file manager offers that over D-Bus (org.freedesktop.FileManager1), and else
opens the folder. Paths always travel as single arguments or as file URIs, never through a shell.
"""

import os
import pathlib
import re
import subprocess

from velmora._platform import tools

_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:(//|[^/\\])")

# How long the file manager may take to answer the D-Bus call.
DBUS_TIMEOUT = 10.0

FILE_MANAGER = (
    "--dest",
    "org.freedesktop.FileManager1",
    "--object-path",
    "/org/freedesktop/FileManager1",
    "--method",
    "org.freedesktop.FileManager1.ShowItems",
)


def _path(path):
    path = os.fspath(path)  # TypeError for None and other non-paths, as os.startfile raises
    return os.fsdecode(path)


def startfile(path):
    """Opens ``path`` (file, folder or URL) with the desktop's default application.

    Raises FileNotFoundError for a path that does not exist and OSError when no opener is
    installed. Returns once the opener has been started; the opened application runs on
    in a session of its own.
    """
    path = _path(path)
    target = os.path.abspath(path)  # absolute, so that no name can read as an option
    if not os.path.exists(target):
        if not _URL.match(path):
            raise FileNotFoundError(2, "No such file or directory", path)
        target = path
    opener = tools.first_available(tools.OPENERS)
    if opener is None:
        names = " or ".join(command[0] for command in tools.OPENERS)
        raise tools.ProgramError(f"no program to open files: install {names}")
    tools.spawn([*opener, target], detach=True)


def file_uri(path):
    """The file URI of the absolute form of ``path``, percent-encoded."""
    return pathlib.Path(os.path.abspath(path)).as_uri()


def _gvariant_uris(uri):
    # as_uri() percent-encodes quotes and backslashes, so the URI needs no escaping inside
    # a GVariant string literal; refuse anything else rather than build a wrong argument.
    if "'" in uri or "\\" in uri:
        raise ValueError(f"unexpected characters in {uri!r}")
    return f"['{uri}']"


def show_in_file_manager(path):
    """Asks the file manager over D-Bus to show ``path`` selected; True if it answered."""
    gdbus = tools.available(tools.DBUS_CALL)
    if gdbus is None:
        return False
    argv = [*gdbus, *FILE_MANAGER, _gvariant_uris(file_uri(path)), ""]
    try:
        result = tools.run(argv, timeout=DBUS_TIMEOUT)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return result.returncode == 0


def reveal(path):
    """Shows the file ``path`` in the file manager, selected where possible.

    Falls back to opening the folder that holds it. Raises FileNotFoundError when neither
    the file nor its folder exists.
    """
    path = os.path.abspath(_path(path))
    if os.path.exists(path) and show_in_file_manager(path):
        return
    startfile(os.path.dirname(path))
