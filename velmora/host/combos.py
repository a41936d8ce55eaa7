"""Key combinations written as text, such as "ctrl+alt+e": parsed into modifiers and one key.

The names are case-insensitive. Modifiers are ctrl (control), alt, shift and super (win,
windows); the key is a single character ("e", "4", "/"), one of a few friendly names ("enter",
"esc", "page up", ...) or any X key symbol name ("F5", "KP_Add", "XF86AudioMute"). The same
syntax serves the hotkeys of the configuration file and the combinations the host presses.
"""

import dataclasses

MODIFIERS = {
    "ctrl": "ctrl",
    "control": "ctrl",
    "alt": "alt",
    "shift": "shift",
    "super": "super",
    "win": "super",
    "windows": "super",
}
MODIFIER_ORDER = ("ctrl", "alt", "shift", "super")

# Friendly key names -> X key symbol names.
KEY_NAMES = {
    "enter": "Return",
    "return": "Return",
    "tab": "Tab",
    "esc": "Escape",
    "escape": "Escape",
    "space": "space",
    "backspace": "BackSpace",
    "delete": "Delete",
    "del": "Delete",
    "insert": "Insert",
    "home": "Home",
    "end": "End",
    "page up": "Prior",
    "pageup": "Prior",
    "page down": "Next",
    "pagedown": "Next",
    "up": "Up",
    "down": "Down",
    "left": "Left",
    "right": "Right",
    "print": "Print",
    "pause": "Pause",
    "menu": "Menu",
    "plus": "plus",
    "minus": "minus",
}


# Keys that type nothing, which a hotkey may take without a modifier: F1-F24, Pause, Print
# and the media and vendor keys (XF86*).
_F1, _F24 = 0xFFBE, 0xFFD5
_PAUSE, _PRINT = 0xFF13, 0xFF61
_VENDOR_KEYS = range(0x10080000, 0x10090000)


def types_nothing(keysym):
    """Whether the key of ``keysym`` types nothing, so that grabbing it alone takes nothing
    from what the user types."""
    return _F1 <= keysym <= _F24 or keysym in (_PAUSE, _PRINT) or keysym in _VENDOR_KEYS


class ComboError(ValueError):
    """A combination that names no key, an unknown key or a key twice."""


@dataclasses.dataclass(frozen=True)
class Combo:
    """Modifier names (in MODIFIER_ORDER) and the X key symbol of the key pressed with them."""

    modifiers: tuple
    keysym: int
    key: str = dataclasses.field(compare=False)  # the key as written, for messages

    def __str__(self):
        return "+".join([*self.modifiers, self.key])


def keysym_of(name):
    """The X key symbol that ``name`` stands for; 0 when there is none."""
    from Xlib import XK

    lowered = name.lower()
    if lowered in KEY_NAMES:
        name = KEY_NAMES[lowered]
    elif len(name) == 1:
        code = ord(lowered)
        # Latin-1 characters are their own key symbols; other characters have Unicode ones.
        return code if 0x20 <= code <= 0xFF else 0x01000000 + code
    value = XK.string_to_keysym(name)
    if not value:
        XK.load_keysym_group("xf86")
        value = XK.string_to_keysym(name) or XK.string_to_keysym(name.replace("XF86", "XF86_", 1))
    if not value:
        # X names are case-sensitive ("F5", "BackSpace"); accept any case of a known one.
        value = next(
            (XK.string_to_keysym(known) for known in _keysym_names() if known.lower() == lowered), 0
        )
    return value


def _keysym_names():
    from Xlib import XK

    return [attribute[3:] for attribute in dir(XK) if attribute.startswith("XK_")]


def parse(text):
    """The Combo that ``text`` ("ctrl+alt+e") names; raises ComboError."""
    if not isinstance(text, str) or not text.strip():
        raise ComboError("an empty key combination")
    # "+" alone, or at the end after another "+", is the plus key itself.
    parts = text.split("+")
    if text.endswith("++") or text == "+":
        parts = parts[:-2] + ["plus"]
    names = [part.strip() for part in parts]
    if "" in names:
        raise ComboError(f"{text!r} has an empty part between '+' signs")
    modifiers, keys = set(), []
    for name in names:
        modifier = MODIFIERS.get(name.lower())
        if modifier is None:
            keys.append(name)
        elif modifier in modifiers:
            raise ComboError(f"{text!r} names {name!r} twice")
        else:
            modifiers.add(modifier)
    if not keys:
        raise ComboError(f"{text!r} has no key besides its modifiers")
    if len(keys) > 1:
        raise ComboError(f"{text!r} names more than one key: {', '.join(map(repr, keys))}")
    keysym = keysym_of(keys[0])
    if not keysym:
        raise ComboError(f"{text!r}: unknown key name {keys[0]!r}")
    ordered = tuple(name for name in MODIFIER_ORDER if name in modifiers)
    return Combo(ordered, keysym, keys[0].lower())
