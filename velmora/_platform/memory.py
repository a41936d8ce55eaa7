"""The backend without a display: for tests, and for systems where no desktop is attached.

Windows live in a table that hosts and tests fill with ``register``; key events and typed text
reach no window (only the keys held down are counted, so that a key left down shows); the
clipboard keeps what was last published, so that a picture copied comes back when pasted; no
sound plays, and nothing can be opened.
"""

import itertools

from velmora._platform import constants
from velmora._platform.backend import DesktopError, Display, Programs

SCREEN = (1920, 1080)


class MemoryDisplay(Display):
    """Windows in memory: handle -> class, title, visibility."""

    def __init__(self):
        self._windows = {}
        self._handles = itertools.count(0x10010)
        self._foreground = 0
        self.down = {}  # virtual-key code -> presses not yet released
        self.published = {}

    def register(self, class_name, title="", visible=True):
        hwnd = next(self._handles)
        self._windows[hwnd] = {"class": class_name, "title": title, "visible": visible}
        return hwnd

    def key_event(self, vk, scan, flags):
        count = self.down.get(vk, 0) + (-1 if flags & constants.KEYEVENTF_KEYUP else 1)
        if count > 0:
            self.down[vk] = count
        else:
            self.down.pop(vk, None)

    def write(self, text):
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, not {type(text).__name__}")

    def release_keys(self):
        self.down.clear()

    def screen_size(self):
        return SCREEN

    def find_window(self, class_name, title):
        for hwnd, window in self._windows.items():
            if window["class"] == class_name and (title is None or window["title"] == title):
                return hwnd
        return 0

    def window_visible(self, hwnd):
        return hwnd in self._windows and self._windows[hwnd]["visible"]

    def show_window(self, hwnd, command):
        window = self._windows.get(hwnd)
        if window is None:
            return False
        was_visible = window["visible"]
        window["visible"] = command != constants.SW_HIDE
        return was_visible

    def set_foreground(self, hwnd):
        if hwnd not in self._windows:
            return False
        self._foreground = hwnd
        return True

    def foreground_window(self):
        return self._foreground

    def window_title(self, hwnd):
        window = self._windows.get(hwnd)
        return "" if window is None else window["title"]

    def publish_clipboard(self, contents):
        self.published = dict(contents)

    def clipboard_picture(self):
        """The last published picture, as PNG; the host's own bitmap is decoded without limit."""
        dib = self.published.get(constants.CF_DIB)
        if dib is None:
            return None
        from velmora._platform import clipboard

        return clipboard.dib_to_png(dib)


class SilentPrograms(Programs):
    """No sound plays; opening refuses, since there is no desktop to open anything on."""

    def play_sound(self, sound, flags):
        pass

    def open_path(self, path):
        raise DesktopError(f"no desktop is attached to open {path!r} on")

    def reveal_path(self, path):
        raise DesktopError(f"no desktop is attached to show {path!r} on")
