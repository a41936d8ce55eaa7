"""The freedesktop programs backend: sounds, the default opener and the file manager.

Every outside program the Linux layer runs is in the tables below, so that a packager or a
user sees at a glance what it needs. Programs are started with an argument list and never
through a shell: a file name is one argument, whatever characters it holds. Every child is
reaped: waited for, or handed to a thread that waits for it, so none is left defunct.

Sounds: ``winsound`` names are Windows names. A relative name such as "SFX\\coins-497.wav" is
resolved with the backslashes read as separators against the current directory first, as on
Windows, and then against this package's folder, which holds the modules' own sounds
(SFX/coins-497.wav, SFX/knob-458.wav), so no caller has to change directory; the two
Windows system sounds the modules use are replaced by the desktop's own (the freedesktop sound
theme), when installed. As on Windows, a process plays one sound at a time: a new sound stops
the one still playing. A sound that cannot be played (no such file, no player, no audio
device) is skipped silently, as the modules treat sound as feedback only.

Opening: ``open_path`` does what ``os.startfile`` does on Windows; ``reveal_path`` shows a file
selected where the file manager offers that over D-Bus (org.freedesktop.FileManager1), and else
opens its folder. When the opener fails, the error says what was tried and what to install.
"""

import ntpath
import os
import pathlib
import re
import selectors
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

from velmora._platform import constants, interrupts
from velmora._platform.backend import DesktopError, Programs

# Sound players, in order of preference: PulseAudio/PipeWire, then plain ALSA (WAV only).
SOUND_PLAYERS = (("paplay",), ("aplay", "-q"))
# Openers of files, folders and URLs with the desktop's default application.
OPENERS = (("xdg-open",), ("gio", "open"))
# Writer of the X clipboard; it stays in the background and serves the selection.
CLIPBOARD_WRITER = ("xclip", "-selection", "clipboard")
# Runs a program under a time limit, killing it even if the one who started it dies.
# (It ends the program with TERM, then KILL a second later, and exits with status 124.)
TIME_LIMIT = ("timeout", "-k", "1")
# Calls of D-Bus methods on the session bus.
DBUS_CALL = ("gdbus", "call", "--session")
FILE_MANAGER = (
    "--dest",
    "org.freedesktop.FileManager1",
    "--object-path",
    "/org/freedesktop/FileManager1",
    "--method",
    "org.freedesktop.FileManager1.ShowItems",
)
# What to install, for the error messages.
OPENER_PACKAGES = "xdg-utils (xdg-open) or the GLib tools (gio)"

# How long an opener may take to say that it failed; one still running after that has
# started the application and is reaped when it ends.
OPEN_GRACE = 2.0
# How long the file manager may take to answer the D-Bus call.
DBUS_TIMEOUT = 10.0
# The longest a synchronous sound may block the caller.
SYNC_TIMEOUT = 30.0

# Windows system sound (lower case) -> names of freedesktop theme sounds to try, in order.
SYSTEM_SOUNDS = {
    r"c:\windows\media\tada.wav": ("complete", "bell"),
    r"c:\windows\media\windows navigation start.wav": ("message", "bell"),
}
_THEME_EXTENSIONS = (".oga", ".ogg", ".wav")
# The folder against which relative sound names resolve when the current directory lacks them.
PACKAGE_SOUNDS = os.path.dirname(os.path.abspath(__file__))
_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:(//|[^/\\])")


class ProgramError(DesktopError):
    """An outside program is missing or failed."""


# Running programs ------------------------------------------------------------------------------


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


class OutputTooLarge(ProgramError):
    """A program wrote more than the caller takes."""


def read_output(argv, *, timeout, limit, env=None):
    """(exit status, standard output) of ``argv``, run in a process group of its own; more
    than ``limit`` bytes of output raise OutputTooLarge, and a wait beyond ``timeout`` raises
    subprocess.TimeoutExpired.

    Whatever ends the wait early (the time limit, the size limit, Ctrl-C, any other
    exception), the whole group is killed and the program reaped: killing a time limiter alone
    would leave the reader it started behind, reparented, waiting on a silent peer with no
    limit left. A Ctrl-C that comes while the program is being started is held back until it
    has started, so that it too ends the group.
    """
    process = None
    try:
        with interrupts.deferred():
            process = subprocess.Popen(
                _check(argv),
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL,
                env=env,
                start_new_session=True,
                close_fds=True,
            )
        deadline = time.monotonic() + timeout  # for the output and the exit together
        try:
            output = _read_all(process, deadline, limit)
            process.wait(max(0.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            raise subprocess.TimeoutExpired(argv, timeout) from None
    except BaseException:
        if process is not None:
            _kill_group(process)
        raise
    process.stdout.close()
    return process.returncode, output


def _read_all(process, deadline, limit):
    """What ``process`` writes until it closes its output, by ``deadline`` and within
    ``limit`` bytes."""
    chunks, size = [], 0
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ)
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not selector.select(remaining):
                raise subprocess.TimeoutExpired(process.args, 0)
            chunk = os.read(process.stdout.fileno(), 1 << 20)
            if not chunk:
                return b"".join(chunks)
            size += len(chunk)
            if size > limit:
                raise OutputTooLarge(f"{process.args[0]} wrote more than {limit:,} bytes")
            chunks.append(chunk)


def _kill_group(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass  # the group has ended already
    process.stdout.close()
    process.wait()


def run(argv, *, timeout):
    """Runs ``argv`` to its end; returns the CompletedProcess with output as bytes."""
    return subprocess.run(
        _check(argv),
        stdin=subprocess.DEVNULL,
        capture_output=True,
        timeout=timeout,
        check=False,
    )


def reap_later(process, on_exit=None):
    """Waits for ``process`` on a thread of its own, then calls ``on_exit(status)``."""

    def wait():
        status = process.wait()
        if on_exit is not None:
            on_exit(status)

    threading.Thread(target=wait, name="velmora-reaper", daemon=True).start()


def _failure(what, argv, status, errors):
    """The message of a program that failed: what was tried, its words, what to install."""
    errors.seek(0)
    said = errors.read().decode(errors="replace").strip()
    said = f": {said}" if said else ""
    return (
        f"could not {what}: {os.path.basename(str(argv[0]))} exited with status {status}{said}. "
        f"Install {OPENER_PACKAGES} and a default application for it."
    )


def launch(argv, what):
    """Starts an opener in a session of its own and waits up to OPEN_GRACE for its verdict.

    Raises ProgramError when it fails within that time. One still running then is reaped when
    it ends, and a failure then is printed on standard error.
    """
    errors = tempfile.TemporaryFile()
    try:
        process = spawn(argv, stderr=errors, detach=True)
    except OSError as error:
        errors.close()
        raise ProgramError(f"could not {what}: {error}") from None

    def late(status):
        if status != 0:
            print(f"velmora: {_failure(what, argv, status, errors)}", file=sys.stderr)
        errors.close()

    try:
        status = process.wait(timeout=OPEN_GRACE)
    except subprocess.TimeoutExpired:
        reap_later(process, late)  # it runs on with the application it started
        return
    except BaseException:
        reap_later(process, late)  # interrupted: the opener is still reaped
        raise
    try:
        if status != 0:
            raise ProgramError(_failure(what, argv, status, errors))
    finally:
        errors.close()


# Sounds ------------------------------------------------------------------------------------


def _data_dirs():
    home = os.environ.get("XDG_DATA_HOME") or os.path.expanduser("~/.local/share")
    dirs = os.environ.get("XDG_DATA_DIRS") or "/usr/local/share:/usr/share"
    return [home, *dirs.split(":")]


def theme_sound(names):
    """The file of the first freedesktop theme sound of ``names`` found, or None."""
    for name in names:
        for base in _data_dirs():
            for ext in _THEME_EXTENSIONS:
                path = os.path.join(base, "sounds", "freedesktop", "stereo", name + ext)
                if os.path.isfile(path):
                    return path
    return None


def resolve(sound):
    """The local file that the Windows sound name ``sound`` stands for, or None."""
    if isinstance(sound, (bytes, bytearray)):
        sound = os.fsdecode(bytes(sound))
    system = SYSTEM_SOUNDS.get(sound.lower())
    if system is not None:
        return theme_sound(system)
    if ntpath.splitdrive(sound)[0]:
        return None  # another Windows drive path: nothing on this system stands for it
    relative = sound.replace("\\", "/")
    for folder in (os.getcwd(), PACKAGE_SOUNDS):
        path = os.path.join(folder, relative)
        if os.path.isfile(path):
            return path
    return None


_playing = None  # the Popen of the asynchronous sound still playing, if any


def _stop_previous():
    global _playing
    if _playing is not None and _playing.poll() is None:
        _playing.terminate()
        try:
            _playing.wait(timeout=1)
        except subprocess.TimeoutExpired:
            _playing.kill()
    _playing = None


def play(sound, flags):
    """Plays the sound file ``sound`` as the flags say (SND_ASYNC: without waiting).

    Sounds from memory and registry aliases, which the modules do not use, are skipped.
    """
    global _playing
    _stop_previous()
    player = first_available(SOUND_PLAYERS)
    if player is None or flags & (constants.SND_MEMORY | constants.SND_ALIAS):
        return
    path = resolve(sound)
    if path is None:
        return
    if player[0].endswith("aplay") and not path.lower().endswith(".wav"):
        return  # ALSA's player reads WAV only; theme sounds are Ogg
    try:
        process = spawn([*player, path])
    except OSError:
        return
    if flags & constants.SND_ASYNC:
        _playing = process
        reap_later(process)
        return
    try:
        process.wait(timeout=SYNC_TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


# Opening -----------------------------------------------------------------------------------


def _path(path):
    path = os.fspath(path)  # TypeError for None and other non-paths, as os.startfile raises
    return os.fsdecode(path)


def startfile(path):
    """Opens ``path`` (file, folder or URL) with the desktop's default application.

    Raises FileNotFoundError for a path that does not exist, and ProgramError when no opener
    is installed or the opener fails. Returns once the opener has handed the path on; the
    opened application runs on in a session of its own.
    """
    path = _path(path)
    target = os.path.abspath(path)  # absolute, so that no name can read as an option
    if not os.path.exists(target):
        if not _URL.match(path):
            raise FileNotFoundError(2, "No such file or directory", path)
        target = path
    opener = first_available(OPENERS)
    if opener is None:
        raise ProgramError(f"no program to open {target!r} with: install {OPENER_PACKAGES}")
    launch([*opener, target], f"open {target!r}")


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
    gdbus = available(DBUS_CALL)
    if gdbus is None:
        return False
    argv = [*gdbus, *FILE_MANAGER, _gvariant_uris(file_uri(path)), ""]
    try:
        result = run(argv, timeout=DBUS_TIMEOUT)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return result.returncode == 0


def reveal(path):
    """Shows the file ``path`` in the file manager, selected where possible.

    Falls back to opening the folder that holds it. Raises FileNotFoundError when neither
    the file nor its folder exists, and ProgramError when nothing could show it.
    """
    path = os.path.abspath(_path(path))
    if os.path.exists(path) and show_in_file_manager(path):
        return
    try:
        startfile(os.path.dirname(path))
    except ProgramError as error:
        raise ProgramError(
            f"no file manager answered on D-Bus (org.freedesktop.FileManager1) to show "
            f"{path!r}, and opening its folder failed: {error}"
        ) from None


class FreedesktopPrograms(Programs):
    """The ``Programs`` half of the backend interface on a freedesktop desktop."""

    def play_sound(self, sound, flags):
        play(sound, flags)

    def open_path(self, path):
        startfile(path)

    def reveal_path(self, path):
        reveal(path)
