"""Stand-in for pywin32's ``win32gui``: visibility, show state, foreground and title."""

__velmora_fallback__ = True

import pywintypes

from velmora._platform import desktop as _desktop


def _handle(hwnd):
    if not isinstance(hwnd, int):
        raise TypeError("The object is not a PyHANDLE object")
    return hwnd


def IsWindowVisible(hwnd):
    return 1 if _desktop.display().window_visible(_handle(hwnd)) else 0


def ShowWindow(hwnd, cmdShow):
    if not isinstance(cmdShow, int):
        raise TypeError("an integer is required")
    return 1 if _desktop.display().show_window(_handle(hwnd), cmdShow) else 0


def SetForegroundWindow(hwnd):
    if not _desktop.display().set_foreground(_handle(hwnd)):
        raise pywintypes.error(0, "SetForegroundWindow", "No error message is available")


def GetWindowText(hwnd):
    return _desktop.display().window_title(_handle(hwnd))


def GetForegroundWindow():
    return _desktop.display().foreground_window()
