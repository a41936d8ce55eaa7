"""The macro package's ``common`` module: the state that ``velmora.strokeSmith`` shares with it.

Put this folder first on the import path (``PYTHONPATH=macro_stand_in``) and ``import common``
finds this module instead of the package's fallback. Besides the three classes the keyboard
module reads, it has ``recorder``, which fills ``ControllerHouse.pressed_chars`` with the
characters typed since the last word boundary, either from the ``keyboard`` package's hooks
(``recorder.hook()``, which needs root on Linux) or from text handed to it
(``recorder.feed("brb")``).
"""

import os
import threading

# The window handles and the key codes are the package's fallback ones: one class for both.
from velmora._platform.common import KB_Con, WindowHouse  # noqa: F401

# Key names of combinations such as "alt+4" -> Windows virtual-key codes.
_COMBINATION_KEYS = {
    "ctrl": 0x11,
    "control": 0x11,
    "alt": 0x12,
    "shift": 0x10,
    "win": 0x5B,
    "windows": 0x5B,
    "enter": 0x0D,
    "return": 0x0D,
    "tab": 0x09,
    "esc": 0x1B,
    "escape": 0x1B,
    "space": 0x20,
    "backspace": 0x08,
    "delete": 0x2E,
    "insert": 0x2D,
    "home": 0x24,
    "end": 0x23,
    "page up": 0x21,
    "page down": 0x22,
    "up": 0x26,
    "down": 0x28,
    "left": 0x25,
    "right": 0x27,
}
_COMBINATION_KEYS.update({f"f{n}": 0x6F + n for n in range(1, 13)})


def _vk(name):
    name = name.strip().lower()
    if name in _COMBINATION_KEYS:
        return _COMBINATION_KEYS[name]
    if len(name) == 1 and (name.isdigit() or "a" <= name <= "z"):
        return ord(name.upper())
    raise ValueError(f"unknown key {name!r} in a key combination")


def send_combination(combination):
    """Presses a combination such as "alt+4": keys down in order, then up in reverse order.

    It goes through ``win32api.keybd_event``, so it reaches the same desktop as the keyboard
    module's own key events.
    """
    import win32api

    codes = [_vk(name) for name in combination.split("+")]
    for code in codes:
        win32api.keybd_event(code, 0, 0, 0)
    for code in reversed(codes):
        win32api.keybd_event(code, 0, 2, 0)


class ControllerHouse:
    """Typed characters, the abbreviation and location tables and the combination sender."""

    pressed_chars = ""
    abbreviations = {
        "brb": "be right back",
        "ty": "thank you",
        "sig": "Kind regards,\nVelmora",
    }
    locations = {
        "home": os.path.expanduser("~"),
        "tmp": "/tmp" if os.name != "nt" else os.environ.get("TEMP", "C:\\"),
    }
    keyboard_send = staticmethod(send_combination)


# Keys that end a word: after them, an abbreviation starts afresh.
_BOUNDARIES = {
    "space",
    "enter",
    "tab",
    "esc",
    "left",
    "right",
    "up",
    "down",
    "home",
    "end",
    "page up",
    "page down",
    "delete",
}
# Keys that do not change what was typed.
_IGNORED = {
    "shift",
    "right shift",
    "left shift",
    "ctrl",
    "right ctrl",
    "left ctrl",
    "alt",
    "alt gr",
    "right alt",
    "left alt",
    "caps lock",
    "windows",
    "left windows",
    "right windows",
}


class TypedRecorder:
    """Keeps ``house.pressed_chars`` equal to the characters typed since the last boundary."""

    def __init__(self, house=ControllerHouse, limit=64):
        self.house = house
        self.limit = limit
        self._lock = threading.Lock()
        self._hook = None

    def key(self, name):
        """Records one key by its ``keyboard`` package name ("a", "A", "space", ...)."""
        with self._lock:
            typed = self.house.pressed_chars
            if len(name) == 1 and name.isprintable() and name != " ":
                typed = (typed + name)[-self.limit :]
            elif name == "backspace":
                typed = typed[:-1]
            elif name in _IGNORED:
                return
            else:  # a word boundary, or any other key that moves away from the word
                typed = ""
            self.house.pressed_chars = typed

    def feed(self, text):
        """Records ``text`` as if typed; spaces and line breaks are word boundaries."""
        for char in text:
            self.key({" ": "space", "\n": "enter", "\t": "tab"}.get(char, char))

    def reset(self):
        with self._lock:
            self.house.pressed_chars = ""

    def on_event(self, event):
        if event.event_type == "down" and event.name:
            self.key(event.name)

    def hook(self):
        """Records the real keyboard through the ``keyboard`` package (root on Linux)."""
        import keyboard

        if self._hook is None:
            self._hook = keyboard.hook(self.on_event)
        return self._hook

    def unhook(self):
        if self._hook is not None:
            import keyboard

            keyboard.unhook(self._hook)
            self._hook = None


recorder = TypedRecorder()
