"""The desktop programs the Linux backend runs, and the only way it runs them.

Every choice of an outside program is in the table below, so that a packager or a user can see
at a glance what the backend needs. Programs are started with an argument list and never
through a shell: a file name is one argument, whatever characters it holds.
"""

import os
import shutil
import subprocess

# Sound players, in order of preference: PulseAudio/PipeWire, then plain ALSA (WAV only).
SOUND_PLAYERS = (("paplay",), ("aplay", "-q"))
# Openers of files, folders and URLs with the desktop's default application.
OPENERS = (("xdg-open",), ("gio", "open"))
# Writer of the X clipboard; it stays in the background and serves the selection.
CLIPBOARD_WRITER = ("xclip", "-selection", "clipboard")
# Calls of D-Bus methods on the session bus.
DBUS_CALL = ("gdbus", "call", "--session")


class ProgramError(OSError):
    """An outside program is missing or failed."""


def _check(argv):
    if not isinstance(argv, (list, tuple)) or not argv:
        raise TypeError("a program is run from a non-empty argument list")
    for item in argv:
        if not isinstance(item, (str, bytes, os.PathLike)):
            raise TypeError(f"argument {item!r} is not a string")
    return list(argv)


def available(command):
    """``command`` (a tuple as in the tables) with its program found on PATH, else None."""
    path = shutil.which(command[0])
    return None if path is None else (path, *command[1:])


def first_available(commands):
    """The first of ``commands`` whose program is installed, or None."""
    for command in commands:
        found = available(command)
        if found is not None:
            return found
    return None


def spawn(argv, *, stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL, detach=False):
    """Starts ``argv`` without waiting; output is discarded.

    ``detach`` puts the program in a session of its own, so that it outlives a terminal
    closing or a Ctrl+C sent to the host's process group.
    """
    return subprocess.Popen(
        _check(argv),
        stdin=stdin,
        stdout=subprocess.DEVNULL,
        stderr=stderr,
        start_new_session=detach,
        close_fds=True,
    )


def run(argv, *, timeout):
    """Runs ``argv`` to its end; returns the CompletedProcess with output as bytes."""
    return subprocess.run(
        _check(argv),
        stdin=subprocess.DEVNULL,
        capture_output=True,
        timeout=timeout,
        check=False,
    )
