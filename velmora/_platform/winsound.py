"""Stand-in for the standard ``winsound`` module (Windows only): its flags and PlaySound.

Sounds go to the backend's programs (``velmora._platform.desktop``); without a desktop,
playing is a silent no-op, as on a machine without an audio device.
"""

__velmora_fallback__ = True

from velmora._platform import desktop as _desktop
from velmora._platform.constants import (  # noqa: F401
    MB_ICONASTERISK,
    MB_ICONEXCLAMATION,
    MB_ICONHAND,
    MB_ICONQUESTION,
    MB_OK,
    SND_ALIAS,
    SND_APPLICATION,
    SND_ASYNC,
    SND_FILENAME,
    SND_LOOP,
    SND_MEMORY,
    SND_NODEFAULT,
    SND_NOSTOP,
    SND_NOWAIT,
    SND_PURGE,
)


def PlaySound(sound, flags):
    """Plays ``sound`` as ``flags`` say; the same argument checks as on Windows."""
    if not isinstance(flags, int):
        raise TypeError("'flags' must be an integer")
    if sound is not None and not isinstance(sound, (str, bytes, bytearray)):
        raise TypeError("'sound' must be str, bytes or None")
    if flags & SND_ASYNC and flags & SND_MEMORY:
        raise RuntimeError("Cannot play asynchronously from memory")
    if sound is not None:
        _desktop.programs().play_sound(sound, flags)


def Beep(frequency, duration):
    if not 37 <= frequency <= 32767:
        raise ValueError("frequency must be in 37 thru 32767")


def MessageBeep(type=MB_OK):
    pass
