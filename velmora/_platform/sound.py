"""Playing ``winsound.PlaySound`` sounds on a Linux desktop.

File names are Windows names: a relative name such as "SFX\\coins-497.wav" is resolved against
the current directory with the backslashes read as separators, and the two Windows system
sounds the modules use are replaced by the desktop's own (the freedesktop sound theme), when
installed. Sounds play through the first player of ``tools.SOUND_PLAYERS`` that is installed.

As on Windows, a process plays one sound at a time: a new sound stops the one still playing.
A sound that cannot be played (no such file, no player, no audio device) is skipped silently,
as the modules treat sound as feedback only.
"""

import ntpath
import os
import subprocess

from velmora._platform import tools

SND_ASYNC = 0x0001
SND_MEMORY = 0x0004
SND_ALIAS = 0x10000

# The longest a synchronous sound may block the caller.
SYNC_TIMEOUT = 30.0

# Windows system sound (lower case) -> names of freedesktop theme sounds to try, in order.
SYSTEM_SOUNDS = {
    r"c:\windows\media\tada.wav": ("complete", "bell"),
    r"c:\windows\media\windows navigation start.wav": ("message", "bell"),
}
_THEME_EXTENSIONS = (".oga", ".ogg", ".wav")

_playing = None  # the Popen of the asynchronous sound still playing, if any


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
    path = sound.replace("\\", "/")
    path = os.path.join(os.getcwd(), path)
    return path if os.path.isfile(path) else None


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
    player = tools.first_available(tools.SOUND_PLAYERS)
    if player is None or flags & (SND_MEMORY | SND_ALIAS):
        return
    path = resolve(sound)
    if path is None:
        return
    if player[0].endswith("aplay") and not path.lower().endswith(".wav"):
        return  # ALSA's player reads WAV only; theme sounds are Ogg
    try:
        process = tools.spawn([*player, path])
    except OSError:
        return
    if flags & SND_ASYNC:
        _playing = process
        return
    try:
        process.wait(timeout=SYNC_TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
