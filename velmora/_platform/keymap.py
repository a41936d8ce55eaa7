"""Windows virtual-key codes and the X key symbols of the same keys.

A virtual-key code names a key of the keyboard, not a character: 0x41 is the A key, which
types "a" or "A" depending on Shift. So each code maps to the key's unshifted symbol on a US
layout (the symbol X finds the key by), and a chord with Shift produces the shifted character
exactly as on Windows. The punctuation keys (VK_OEM_*) follow the US layout as well.

The scan code of a key event is not used for choosing the key: the keyboard module always sends
the virtual-key code. The one exception are the generic modifier codes, whose left or right key
Windows tells apart by the extended-key flag (Ctrl, Alt, and Enter on the keypad) or by the
scan code (right Shift).
"""

import functools

from velmora._platform.constants import KEYEVENTF_EXTENDEDKEY

SC_RSHIFT = 0x36

# Virtual-key code -> X keysym name (the names of X11's keysymdef.h, without "XK_").
KEYSYMS = {
    0x03: "Break",  # VK_CANCEL: Ctrl+Break
    0x08: "BackSpace",
    0x09: "Tab",
    0x0C: "Clear",
    0x0D: "Return",
    0x10: "Shift_L",  # VK_SHIFT
    0x11: "Control_L",  # VK_CONTROL
    0x12: "Alt_L",  # VK_MENU
    0x13: "Pause",
    0x14: "Caps_Lock",
    0x1B: "Escape",
    0x20: "space",
    0x21: "Prior",  # Page Up
    0x22: "Next",  # Page Down
    0x23: "End",
    0x24: "Home",
    0x25: "Left",
    0x26: "Up",
    0x27: "Right",
    0x28: "Down",
    0x2C: "Print",  # VK_SNAPSHOT
    0x2D: "Insert",
    0x2E: "Delete",
    0x5B: "Super_L",  # left Windows key
    0x5C: "Super_R",  # right Windows key
    0x5D: "Menu",  # VK_APPS
    0x6A: "KP_Multiply",
    0x6B: "KP_Add",
    0x6C: "KP_Separator",
    0x6D: "KP_Subtract",
    0x6E: "KP_Decimal",
    0x6F: "KP_Divide",
    0x90: "Num_Lock",
    0x91: "Scroll_Lock",
    0xA0: "Shift_L",
    0xA1: "Shift_R",
    0xA2: "Control_L",
    0xA3: "Control_R",
    0xA4: "Alt_L",
    0xA5: "Alt_R",
    0xA6: "XF86Back",
    0xA7: "XF86Forward",
    0xA8: "XF86Refresh",
    0xA9: "XF86Stop",
    0xAA: "XF86Search",
    0xAB: "XF86Favorites",
    0xAC: "XF86HomePage",
    0xAD: "XF86AudioMute",
    0xAE: "XF86AudioLowerVolume",
    0xAF: "XF86AudioRaiseVolume",
    0xB0: "XF86AudioNext",
    0xB1: "XF86AudioPrev",
    0xB2: "XF86AudioStop",
    0xB3: "XF86AudioPlay",
    0xB4: "XF86Mail",
    0xBA: "semicolon",  # VK_OEM_1
    0xBB: "equal",  # VK_OEM_PLUS
    0xBC: "comma",
    0xBD: "minus",
    0xBE: "period",
    0xBF: "slash",  # VK_OEM_2
    0xC0: "grave",  # VK_OEM_3, the backtick key
    0xDB: "bracketleft",  # VK_OEM_4
    0xDC: "backslash",  # VK_OEM_5
    0xDD: "bracketright",  # VK_OEM_6
    0xDE: "apostrophe",  # VK_OEM_7
    0xE2: "less",  # VK_OEM_102, the extra key of ISO keyboards
}
KEYSYMS.update({0x30 + digit: str(digit) for digit in range(10)})
KEYSYMS.update({code: chr(code).lower() for code in range(0x41, 0x5B)})
KEYSYMS.update({0x60 + digit: f"KP_{digit}" for digit in range(10)})  # VK_NUMPAD0..9
KEYSYMS.update({0x70 + n: f"F{n + 1}" for n in range(24)})  # VK_F1..VK_F24

# Generic codes whose extended variant is the right-hand (or keypad) key.
_EXTENDED = {0x0D: "KP_Enter", 0x11: "Control_R", 0x12: "Alt_R"}


class UnmappedKey(LookupError):
    """A virtual-key code that no X key stands for."""


def keysym_name(vk, scan=0, flags=0):
    """The X keysym name of the key that ``keybd_event(vk, scan, flags, 0)`` presses."""
    if flags & KEYEVENTF_EXTENDEDKEY and vk in _EXTENDED:
        return _EXTENDED[vk]
    if vk == 0x10 and scan == SC_RSHIFT:
        return "Shift_R"
    try:
        return KEYSYMS[vk]
    except KeyError:
        raise UnmappedKey(f"virtual-key code {vk:#04x} has no X key") from None


@functools.cache
def keysym_value(name):
    """The numeric keysym of ``name``; 0 if python-xlib does not know it.

    python-xlib spells the vendor keysyms "XF86_AudioMute" where X itself says "XF86AudioMute".
    """
    from Xlib import XK

    XK.load_keysym_group("xf86")
    value = XK.string_to_keysym(name)
    if not value and name.startswith("XF86"):
        value = XK.string_to_keysym("XF86_" + name[4:])
    return value
