"""Stand-in for pywin32's ``win32api``: key events and the screen size.

Arguments are checked as pywin32 checks them; the work is the backend's
(``velmora._platform.desktop``).
"""

__velmora_fallback__ = True

from velmora._platform import desktop as _desktop


def _byte(value, name):
    if not isinstance(value, int):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    if value < 0:
        raise OverflowError("unsigned byte integer is less than minimum")
    if value > 255:
        raise OverflowError("unsigned byte integer is greater than maximum")
    return value


def _dword(value, name):
    if not isinstance(value, int):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    if not -(2**31) <= value < 2**32:
        raise OverflowError("Python int too large to convert to C unsigned long")
    return value & 0xFFFFFFFF


def keybd_event(bVk, bScan, dwFlags=0, dwExtraInfo=0):
    """Synthesises one key event: ``keybd_event(vk, scan, flags, extra)``."""
    vk = _byte(bVk, "bVk")
    scan = _byte(bScan, "bScan")
    flags = _dword(dwFlags, "dwFlags")
    _dword(dwExtraInfo, "dwExtraInfo")
    _desktop.display().key_event(vk, scan, flags)


def GetSystemMetrics(index):
    """Screen width (0) and height (1) in pixels; 0 for anything else, as on Windows."""
    if not isinstance(index, int):
        raise TypeError("an integer is required")
    width, height = _desktop.display().screen_size()
    return {0: width, 1: height}.get(index, 0)
