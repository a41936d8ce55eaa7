"""Stand-in for pywin32's ``win32clipboard``: an in-memory clipboard with the Windows rules.

The clipboard must be opened before anything but ``IsClipboardFormatAvailable`` and
``GetClipboardSequenceNumber`` is called, and it stays locked until ``CloseClipboard``; a
second ``OpenClipboard`` while it is open fails, as it does for another program on Windows.
Every failure is a ``pywintypes.error`` carrying the Win32 error code.

Data is kept as bytes per clipboard format. ``CloseClipboard`` after a call that changed the
contents hands the whole clipboard, ``{format: bytes}``, to the backend
(``velmora._platform.desktop``), so that other programs can see what was copied.
"""

__velmora_fallback__ = True

import pywintypes

from velmora._platform import desktop as _desktop
from velmora._platform.constants import CF_BITMAP, CF_DIB, CF_DIBV5, CF_TEXT, CF_UNICODETEXT  # noqa: F401

_ERROR_ACCESS_DENIED = (5, "Access is denied.")
_ERROR_CLIPBOARD_NOT_OPEN = (1418, "Thread does not have a clipboard open.")
_ERROR_NOT_FOUND = (1168, "Element not found.")

_formats = {}
_before = {}  # the contents when the clipboard was opened
_is_open = False
_changed = False
_sequence = 0
_handles = iter(range(0x10000, 2**31, 4))


def _fail(funcname, code):
    winerror, strerror = code
    raise pywintypes.error(winerror, funcname, strerror)


def _require_open(funcname):
    if not _is_open:
        _fail(funcname, _ERROR_CLIPBOARD_NOT_OPEN)


def _check_format(format):
    if not isinstance(format, int):
        raise TypeError(f"an integer is required (got type {type(format).__name__})")


def _changed_now():
    global _changed, _sequence
    _changed = True
    _sequence += 1


def OpenClipboard(hWnd=None):
    """Opens the clipboard; fails while it is already open."""
    global _is_open, _changed, _before
    if hWnd is not None and not isinstance(hWnd, int):
        raise TypeError("The object is not a PyHANDLE object")
    if _is_open:
        _fail("OpenClipboard", _ERROR_ACCESS_DENIED)
    _is_open = True
    _changed = False
    _before = dict(_formats)


def CloseClipboard():
    """Closes the clipboard and, after a change, publishes its contents.

    Should publishing fail, the clipboard gets back what it held when it was opened, so that
    it says what other programs still paste; the failure is raised.
    """
    global _is_open, _changed, _sequence
    _require_open("CloseClipboard")
    _is_open = False
    changed, _changed = _changed, False
    if changed:
        try:
            _desktop.display().publish_clipboard(dict(_formats))
        except BaseException:
            _formats.clear()
            _formats.update(_before)
            _sequence += 1
            raise


def EmptyClipboard():
    """Removes every format from the open clipboard."""
    _require_open("EmptyClipboard")
    _formats.clear()
    _changed_now()


def SetClipboardData(format, hMem):
    """Stores ``hMem`` (bytes, or str for the text formats) under ``format``; returns a handle."""
    _require_open("SetClipboardData")
    _check_format(format)
    if isinstance(hMem, str):
        if format == CF_UNICODETEXT:
            data = hMem.encode("utf-16-le") + b"\0\0"
        else:
            data = hMem.encode("latin-1", "replace") + b"\0"
    elif isinstance(hMem, (bytes, bytearray, memoryview)):
        data = bytes(hMem)
    else:
        raise TypeError(f"Unsupported clipboard data type {type(hMem).__name__}")
    _formats[format] = data
    _changed_now()
    return next(_handles)


def GetClipboardData(format=CF_TEXT):
    """The data stored under ``format``: str for CF_UNICODETEXT, bytes otherwise."""
    _require_open("GetClipboardData")
    _check_format(format)
    if format not in _formats:
        _fail("GetClipboardData", _ERROR_NOT_FOUND)
    data = _formats[format]
    if format == CF_UNICODETEXT:
        return data.decode("utf-16-le").split("\0", 1)[0]
    if format == CF_TEXT:
        return data.split(b"\0", 1)[0]
    return data


def IsClipboardFormatAvailable(format):
    """1 when the clipboard holds ``format``, else 0 (the clipboard need not be open)."""
    _check_format(format)
    return int(format in _formats)


def GetClipboardSequenceNumber():
    """A number that grows with every change of the clipboard's contents."""
    return _sequence


def reset():
    """Empties and closes the clipboard without publishing (for hosts and tests)."""
    global _is_open, _changed
    _formats.clear()
    _is_open = False
    _changed = False
