"""Stand-in for pywin32's ``win32ui``: finding a top-level window by its class."""

__velmora_fallback__ = True

from velmora._platform import desktop as _desktop


class error(Exception):
    """The error type of win32ui."""


class PyCWnd:
    """A found window; only what velmora uses of it."""

    def __init__(self, hwnd):
        self._hwnd = hwnd

    def GetSafeHwnd(self):
        return self._hwnd

    def __repr__(self):
        return f"object 'PyCWnd' - assoc is {self._hwnd:#x}"


def FindWindow(className, windowName):
    """The top-level window of ``className`` (and title, unless None); error if none."""
    hwnd = _desktop.display().find_window(className, windowName)
    if not hwnd:
        raise error("No window can be found.")
    return PyCWnd(hwnd)
