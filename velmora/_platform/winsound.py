"""Stand-in for the standard ``winsound`` module (Windows only): its flags and PlaySound.

Sounds go to the desktop backend when one is attached (``velmora._platform.desktop``);
without one, playing is a silent no-op, as on a machine without an audio device.
"""

__velmora_fallback__ = True

SND_ASYNC = 0x0001
SND_NODEFAULT = 0x0002
SND_MEMORY = 0x0004
SND_LOOP = 0x0008
SND_NOSTOP = 0x0010
SND_PURGE = 0x0040
SND_APPLICATION = 0x0080
SND_NOWAIT = 0x2000
SND_ALIAS = 0x10000
SND_FILENAME = 0x20000

MB_OK = 0x00
MB_ICONHAND = 0x10
MB_ICONQUESTION = 0x20
MB_ICONEXCLAMATION = 0x30
MB_ICONASTERISK = 0x40

# Replaced by the desktop backend; called as player(sound, flags).
player = None


def PlaySound(sound, flags):
    """Plays ``sound`` as ``flags`` say; the same argument checks as on Windows."""
    if not isinstance(flags, int):
        raise TypeError("'flags' must be an integer")
    if sound is not None and not isinstance(sound, (str, bytes, bytearray)):
        raise TypeError("'sound' must be str, bytes or None")
    if flags & SND_ASYNC and flags & SND_MEMORY:
        raise RuntimeError("Cannot play asynchronously from memory")
    if player is not None and sound is not None:
        player(sound, flags)


def Beep(frequency, duration):
    if not 37 <= frequency <= 32767:
        raise ValueError("frequency must be in 37 thru 32767")


def MessageBeep(type=MB_OK):
    pass
