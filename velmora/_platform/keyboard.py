"""Stand-in for the ``keyboard`` package: typing text and sending key combinations.

On Linux the package needs root and a uinput device, and what it types never reaches an X
server's clients; velmora declares it for Windows only, and this stand-in takes its place
elsewhere. Text and combinations go through the same backend as ``win32api.keybd_event``
(``velmora._platform.desktop``), so where one cannot reach the desktop, neither can the other.
Keyboard hooks are not offered.
"""

__velmora_fallback__ = True

from velmora._platform import constants as _con
from velmora._platform import desktop as _desktop

# Key names of combinations such as "alt+4" -> Windows virtual-key codes.
_NAMED_KEYS = {
    "ctrl": _con.VK_CONTROL,
    "control": _con.VK_CONTROL,
    "left ctrl": _con.VK_LCONTROL,
    "right ctrl": _con.VK_RCONTROL,
    "alt": _con.VK_MENU,
    "left alt": _con.VK_LMENU,
    "right alt": _con.VK_RMENU,
    "alt gr": _con.VK_RMENU,
    "shift": _con.VK_SHIFT,
    "left shift": _con.VK_LSHIFT,
    "right shift": _con.VK_RSHIFT,
    "windows": _con.VK_LWIN,
    "win": _con.VK_LWIN,
    "left windows": _con.VK_LWIN,
    "right windows": _con.VK_RWIN,
    "enter": _con.VK_RETURN,
    "return": _con.VK_RETURN,
    "tab": _con.VK_TAB,
    "esc": _con.VK_ESCAPE,
    "escape": _con.VK_ESCAPE,
    "space": _con.VK_SPACE,
    "backspace": _con.VK_BACK,
    "delete": _con.VK_DELETE,
    "insert": _con.VK_INSERT,
    "home": _con.VK_HOME,
    "end": _con.VK_END,
    "page up": _con.VK_PRIOR,
    "page down": _con.VK_NEXT,
    "up": _con.VK_UP,
    "down": _con.VK_DOWN,
    "left": _con.VK_LEFT,
    "right": _con.VK_RIGHT,
    "menu": _con.VK_APPS,
    "caps lock": _con.VK_CAPITAL,
    "plus": _con.VK_OEM_PLUS,
    "comma": _con.VK_OEM_COMMA,
    "minus": _con.VK_OEM_MINUS,
    ";": _con.VK_OEM_1,
    "=": _con.VK_OEM_PLUS,
    ",": _con.VK_OEM_COMMA,
    "-": _con.VK_OEM_MINUS,
    ".": _con.VK_OEM_PERIOD,
    "/": _con.VK_OEM_2,
    "`": _con.VK_OEM_3,
    "[": _con.VK_OEM_4,
    "\\": _con.VK_OEM_5,
    "]": _con.VK_OEM_6,
    "'": _con.VK_OEM_7,
}
_NAMED_KEYS.update({f"f{n}": _con.VK_F1 + n - 1 for n in range(1, 25)})


def key_code(name):
    """The virtual-key code of a key name of this package ("a", "7", "alt", "page up", ...)."""
    name = name.strip().lower()
    if name in _NAMED_KEYS:
        return _NAMED_KEYS[name]
    if len(name) == 1 and ("a" <= name <= "z" or "0" <= name <= "9"):
        return ord(name.upper())
    raise ValueError(f"unknown key {name!r}")


def _parse(hotkey):
    """``hotkey`` ("ctrl+a, ctrl+c" or a virtual-key code) as a list of chords of codes."""
    if isinstance(hotkey, int):
        return [[hotkey]]
    if not isinstance(hotkey, str):
        raise TypeError(f"a hotkey is a str or an int, not {type(hotkey).__name__}")
    chords = []
    for step in hotkey.split(", "):
        names = step.split("+")
        if "" in names:  # "ctrl++": the plus key
            names = [name for name in names if name] + ["plus"]
        chords.append([key_code(name) for name in names])
    return chords


def send(hotkey, do_press=True, do_release=True):
    """Presses each chord of ``hotkey``: its keys down in order, then up in reverse order.

    Should a key event fail, the keys of the chord already down are released again.
    """
    display = _desktop.display()
    for chord in _parse(hotkey):
        down = []
        try:
            if do_press:
                for code in chord:
                    display.key_event(code, 0, 0)
                    down.append(code)
        finally:
            if do_release:
                for code in reversed(down if do_press else chord):
                    display.key_event(code, 0, _con.KEYEVENTF_KEYUP)


press_and_release = send


def press(hotkey):
    """Presses the keys of ``hotkey`` and leaves them down."""
    send(hotkey, do_press=True, do_release=False)


def release(hotkey):
    """Releases the keys of ``hotkey``."""
    send(hotkey, do_press=False, do_release=True)


def write(text, delay=0, restore_state_after=True, exact=None):
    """Types ``text`` into the focused window, each character once.

    ``delay``, ``restore_state_after`` and ``exact`` are accepted for compatibility: text is
    always typed exactly, and the keyboard is always left as it was.
    """
    _desktop.display().write(text)
