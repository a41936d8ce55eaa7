"""The table from Windows virtual-key codes to X keysyms."""

import pytest

from velmora._platform import keymap

pytest.importorskip("Xlib")

EXTENDED = (
    "VK_RMENU VK_RCONTROL VK_RSHIFT VK_APPS VK_VOLUME_UP VK_VOLUME_DOWN VK_SNAPSHOT VK_INSERT "
    "VK_DELETE VK_HOME VK_END VK_CANCEL VK_PRIOR VK_NEXT VK_UP VK_DOWN VK_LEFT VK_RIGHT"
).split()


@pytest.fixture(scope="module")
def win32con():
    import velmora  # noqa: F401  (makes the stand-ins importable)
    import win32con

    return win32con


def test_every_key_the_modules_send_is_mapped(win32con):
    # Letters, digits, punctuation, the extended keys, and the keys the text tools press.
    codes = [*range(0x41, 0x5B), *range(0x30, 0x3A)]
    codes += [getattr(win32con, name) for name in EXTENDED]
    codes += [value for name, value in vars(win32con).items() if name.startswith("VK_OEM_")]
    codes += [win32con.VK_RETURN, win32con.VK_BACK, win32con.VK_TAB, win32con.VK_ESCAPE,
              win32con.VK_SPACE, win32con.VK_SHIFT, win32con.VK_CONTROL, win32con.VK_MENU,
              win32con.VK_LSHIFT, win32con.VK_LCONTROL, win32con.VK_LMENU, win32con.VK_LWIN,
              win32con.VK_RWIN, *range(win32con.VK_F1, win32con.VK_F12 + 1)]
    names = [keymap.keysym_name(code) for code in codes]
    assert all(names)
    # Keys of the same chord must be different X keys.
    assert len(set(keymap.keysym_name(getattr(win32con, n)) for n in EXTENDED)) == len(EXTENDED)


def test_every_keysym_name_is_known_to_xlib():
    unknown = [name for name in set(keymap.KEYSYMS.values()) | set(keymap._EXTENDED.values())
               if not keymap.keysym_value(name)]
    assert unknown == []


@pytest.mark.parametrize(
    "vk, scan, flags, name",
    [
        (0x41, 30, 0, "a"),  # a key, not a character: Shift makes it "A"
        (0x5A, 44, 2, "z"),  # key up names the same key
        (0x30, 11, 0, "0"),
        (0xC0, 0x29, 0, "grave"),  # the backtick that text expansion presses
        (0xBB, 0x0D, 0, "equal"),  # VK_OEM_PLUS is the =/+ key
        (0xDE, 0x28, 0, "apostrophe"),
        (0x0D, 0x1C, 0, "Return"),
        (0x0D, 0x1C, 1, "KP_Enter"),
        (0x11, 0x1D, 0, "Control_L"),
        (0x11, 0x1D, 1, "Control_R"),
        (0x12, 0x38, 3, "Alt_R"),
        (0x10, 0x2A, 0, "Shift_L"),
        (0x10, 0x36, 0, "Shift_R"),
        (0x25, 0x4B, 1, "Left"),
        (0x25, 0x4B, 0, "Left"),  # without the flag still the arrow, as applications see it
        (0x28, 0x50, 3, "Down"),
        (0x2E, 0x53, 1, "Delete"),
        (0xA5, 0x38, 1, "Alt_R"),
        (0xAF, 0, 1, "XF86AudioRaiseVolume"),
        (0x5B, 0x5B, 0, "Super_L"),
    ],
)
def test_key_names(vk, scan, flags, name):
    assert keymap.keysym_name(vk, scan, flags) == name


@pytest.mark.parametrize("vk", [0x00, 0x07, 0x3A, 0xE5, 0xFF])
def test_unmapped_codes_raise(vk):
    with pytest.raises(keymap.UnmappedKey, match=f"{vk:#04x}"):
        keymap.keysym_name(vk)
