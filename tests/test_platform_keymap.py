"""The table from Windows virtual-key codes to X keysyms."""

import pytest

from velmora._platform import keymap

pytest.importorskip("Xlib")

EXTENDED = (
    "VK_RMENU VK_RCONTROL VK_RSHIFT VK_APPS VK_VOLUME_UP VK_VOLUME_DOWN VK_SNAPSHOT VK_INSERT "
    "VK_DELETE VK_HOME VK_END VK_CANCEL VK_PRIOR VK_NEXT VK_UP VK_DOWN VK_LEFT VK_RIGHT"
).split()


def test_every_key_the_modules_send_is_a_distinct_known_keysym():
    import win32con

    import velmora  # noqa: F401  (makes the stand-ins importable)

    extended = [getattr(win32con, name) for name in EXTENDED]
    codes = [*range(0x30, 0x3A), *range(0x41, 0x5B), *extended, 0x0D, 0x08, 0x09, 0x1B, 0x20]
    codes += [value for name, value in vars(win32con).items() if name.startswith("VK_OEM_")]
    names = [keymap.keysym_name(code) for code in codes]
    assert len(set(names)) == len(codes)
    every = set(keymap.KEYSYMS.values()) | set(keymap._EXTENDED.values())
    assert [name for name in every if not keymap.keysym_value(name)] == []


@pytest.mark.parametrize(
    "vk, scan, flags, name",
    [
        (0x41, 30, 0, "a"),  # a key, not a character: with Shift it types "A"
        (0xC0, 0x29, 2, "grave"),  # the backtick key, going up
        (0xBB, 0x0D, 0, "equal"),  # VK_OEM_PLUS is the =/+ key
        (0x0D, 0x1C, 1, "KP_Enter"),
        (0x11, 0x1D, 0, "Control_L"),
        (0x11, 0x1D, 1, "Control_R"),
        (0x12, 0x38, 3, "Alt_R"),
        (0x10, 0x36, 0, "Shift_R"),
        (0x25, 0x4B, 0, "Left"),  # without the extended flag still the arrow
        (0xAF, 0, 1, "XF86AudioRaiseVolume"),
    ],
)
def test_key_names(vk, scan, flags, name):
    assert keymap.keysym_name(vk, scan, flags) == name


@pytest.mark.parametrize("vk", [0x00, 0x07, 0xE5, 0xFF])
def test_unmapped_codes_raise(vk):
    with pytest.raises(keymap.UnmappedKey, match=f"{vk:#04x}"):
        keymap.keysym_name(vk)
