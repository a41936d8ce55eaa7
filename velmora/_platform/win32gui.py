"""Stand-in for pywin32's ``win32gui``: visibility, show state, foreground and title."""

__velmora_fallback__ = True

import pywintypes

from velmora._platform import windows as _windows


def _handle(hwnd):
    if not isinstance(hwnd, int):
        raise TypeError("The object is not a PyHANDLE object")
    return hwnd


def IsWindowVisible(hwnd):
    return 1 if _windows.backend.is_visible(_handle(hwnd)) else 0


def ShowWindow(hwnd, cmdShow):
    if not isinstance(cmdShow, int):
        raise TypeError("an integer is required")
    return 1 if _windows.backend.show(_handle(hwnd), cmdShow) else 0


def SetForegroundWindow(hwnd):
    if not _windows.backend.set_foreground(_handle(hwnd)):
        raise pywintypes.error(0, "SetForegroundWindow", "No error message is available")


def GetWindowText(hwnd):
    return _windows.backend.title(_handle(hwnd))


def GetForegroundWindow():
    return _windows.backend.foreground()
