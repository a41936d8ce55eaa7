"""The window table behind the ``win32ui`` and ``win32gui`` stand-ins.

``backend`` answers the window questions. The default one knows only windows registered with
``register`` (useful to hosts and tests); the desktop backend replaces it with one that asks
the X server.
"""

import itertools


class WindowTable:
    """Windows kept in memory: handle -> class, title, visibility."""

    def __init__(self):
        self._windows = {}
        self._handles = itertools.count(0x10010)
        self._foreground = 0

    def register(self, class_name, title="", visible=True):
        hwnd = next(self._handles)
        self._windows[hwnd] = {"class": class_name, "title": title, "visible": visible}
        return hwnd

    def find(self, class_name, title):
        for hwnd, window in self._windows.items():
            if window["class"] == class_name and (title is None or window["title"] == title):
                return hwnd
        return 0

    def is_visible(self, hwnd):
        return hwnd in self._windows and self._windows[hwnd]["visible"]

    def show(self, hwnd, command):
        window = self._windows.get(hwnd)
        if window is None:
            return False
        was_visible = window["visible"]
        window["visible"] = command != 0
        return was_visible

    def set_foreground(self, hwnd):
        if hwnd not in self._windows:
            return False
        self._foreground = hwnd
        return True

    def foreground(self):
        return self._foreground

    def title(self, hwnd):
        window = self._windows.get(hwnd)
        return "" if window is None else window["title"]


backend = WindowTable()
