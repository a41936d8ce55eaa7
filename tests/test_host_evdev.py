"""The capture from input devices, on recorded event streams decoded with real keymaps."""

import functools
import os
import re
import time

import pytest

from velmora.host import evdev

KEYMAPS = {
    "us": ("us",),
    "de": ("de",),
    "fr": ("fr",),
    "intl": ("us", "intl"),
    "ru": ("us,ru", "", "grp:menu_toggle"),
}
# evdev codes of the keys, named by what they type on a US keyboard.
CODES = {
    **{char: 2 + n for n, char in enumerate("1234567890-")},
    **{char: 16 + n for n, char in enumerate("qwertyuiop[")},
    **{char: 30 + n for n, char in enumerate("asdfghjkl;'")},
    **{char: 44 + n for n, char in enumerate("zxcvbnm,./")},
    **dict(bksp=14, ctrl=29, shift=42, alt=56, space=57, caps=58, numlock=69, kp1=79, kp2=80),
    **dict(altgr=100, menu=127, f5=63),
}


class House:
    pressed_chars = ""


def events(script):
    """The input_event structs of ``script``: "x" presses and releases a key, "+x" presses it,
    "-x" releases it, "*x" repeats it; "click" is a left click; "drop" is SYN_DROPPED, then
    a key press the kernel drops. Each token ends with SYN_REPORT."""
    data = b""
    for token in script.split():
        if token in ("click", "drop"):
            pairs = [(1, 0x110, 1), (1, 0x110, 0)] if token == "click" else [(0, 3, 0), (1, 45, 1)]
        else:
            kind = token[0] if len(token) > 1 and token[0] in "+-*" else ""
            code = CODES[token[len(kind) :]]
            values = {"+": [1], "-": [0], "*": [2], "": [1, 0]}[kind]
            pairs = [(1, code, value) for value in values]
        for pair in [*pairs, (0, 0, 0)]:
            data += evdev.EVENT.pack(0, 0, *pair)
    return data


@functools.cache
def keymap(name):
    return evdev.keymap_from_names(*KEYMAPS[name])


def wait(done, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not done():
        assert time.monotonic() < deadline, "not within the time"
        time.sleep(0.01)


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "event0"
    os.mkfifo(path)
    return path


TYPED = [
    ("us", "+shift 9 -shift b r b", "brb"),  # punctuation ends the word
    ("us", "caps b +shift r -shift b", "BrB"),  # Caps Lock, and Shift with it
    ("us", "a numlock kp1 kp2", "a12"),
    ("de", "z [ - +altgr m -altgr", "yüßµ"),
    ("de", "a +altgr q -altgr b", "b"),  # AltGr's @ ends the word; AltGr is no shortcut
    ("fr", "f [ e t e", "fête"),  # the dead circumflex, then e
    ("fr", "[ x", "\ufffd"),  # a composition with no character of its own
    ("fr", "f [ bksp e", "fe"),  # Backspace cancels the dead key only
    ("intl", "c a f ' e", "café"),
    ("ru", "a menu g j", "aпо"),  # a layout switch types nothing
    ("us", "a b c bksp d", "abd"),
    ("us", "a +ctrl c -ctrl b", "b"),
    ("us", "a click b", "b"),
    ("us", "a +b *b *b -b", "abbb"),  # key repeat
    ("us", "a +shift drop b", "b"),  # lost events end the word; Shift's release was lost
]


@pytest.mark.parametrize("layout, script, word", TYPED)
def test_a_recorded_stream_gives_the_word_typed(fifo, layout, script, word):
    house = House()
    capture = evdev.open_capture(house, devices=[fifo], keymap=keymap(layout))
    capture.start()
    with open(fifo, "wb") as writer:
        writer.write(events(script))
    wait(lambda: not capture.devices)  # the end of the stream drops the device
    capture.stop()
    assert house.pressed_chars == word


def test_hold_keeps_the_word_from_the_hotkey_and_the_keys_of_the_action(fifo):
    house = House()
    capture = evdev.open_capture(house, devices=[fifo], keymap=keymap("us"))
    capture.start()
    with open(fifo, "wb", buffering=0) as writer:
        writer.write(events("b r b +ctrl +alt e"))
        wait(lambda: house.pressed_chars == "" and capture.down)
        capture.hold()
        assert house.pressed_chars == "brb"  # the hotkey's key press was no typing
        assert not capture.wait_released(0.1)
        writer.write(events("-e -alt -ctrl x"))
        assert capture.wait_released(10)
        capture.release()  # takes in the x first: pressed while held, it is not recorded
        writer.write(events("c"))
        wait(lambda: house.pressed_chars == "brbc")
    capture.stop()


@pytest.mark.parametrize("devices", [None, ["/nonexistent/event0"]])
def test_without_a_readable_keyboard_the_message_says_how_to_get_access(tmp_path, devices):
    (tmp_path / "event0").write_bytes(b"")  # readable, but no keyboard
    evdev_devices, evdev.DEVICES = evdev.DEVICES, str(tmp_path / "event*")
    try:
        with pytest.raises(
            evdev.NoAccess, match=r"(/dev/input|event0) can(not)? be read.*'input' group.*again"
        ):
            evdev.open_capture(House(), devices=devices, keymap=keymap("us"))
    finally:
        evdev.DEVICES = evdev_devices


@pytest.mark.parametrize(
    "variable, defaults, typed",
    [
        ("de", 'XKBLAYOUT="fr"\n', "y"),
        ("", 'XKBMODEL="pc105"\nXKBLAYOUT="fr"\nXKBVARIANT="bepo"\n', "à"),
        ("", None, "z"),
    ],
)
def test_without_a_compositor_the_layout_comes_from_its_names(
    tmp_path, monkeypatch, variable, defaults, typed
):
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    monkeypatch.setenv("XKB_DEFAULT_LAYOUT", variable)
    monkeypatch.setattr(evdev, "KEYBOARD_DEFAULTS", str(tmp_path / "keyboard"))
    if defaults is not None:
        (tmp_path / "keyboard").write_text(defaults)
    keyboard = evdev._Keyboard(evdev.session_keymap())
    assert keyboard.character(CODES["z"] + evdev.XKB_OFFSET) == typed
    keyboard.close()


# (pattern, replacement) in a US keymap: keymaps the library ends the process on, or sizes
# its tables by to gigabytes.
HOSTILE = [
    (r"<ESC> *= 9;", "<ESC> = 4294967294;"),
    (r'indicator 1 = "Caps Lock";', 'indicator 1 = "Caps Lock\\"; <EVIL> = 4294967294; //";'),
    (r"<ESC> *= 9;", "<ESC> = 10000000;"),
    (r"map\[Shift\]= 2;", "map[Shift]= 1000000;"),
    (r"xkb_keymap", "xkb_keymap {"),  # does not compile
]


@pytest.mark.parametrize(
    "pattern, replacement", HOSTILE, ids=["2**32", "quoted", "10**7", "level", "syntax"]
)
def test_a_compositors_keymap_the_library_cannot_handle_is_refused(pattern, replacement):
    hostile = re.sub(pattern, replacement, keymap("us"), count=1)
    assert hostile != keymap("us")
    with pytest.raises(ValueError, match="refused"):
        evdev.tried_keyboard(hostile)
    evdev.tried_keyboard(keymap("us")).close()


@pytest.mark.parametrize("given", [None, "xkb_keymap {", "maximum = 4294967294;", "no layout"])
def test_a_compositors_keymap_not_usable_gives_the_layouts(fifo, monkeypatch, given):
    monkeypatch.setenv("WAYLAND_DISPLAY", "wayland-test")
    monkeypatch.setenv("XKB_DEFAULT_LAYOUT", "de")
    monkeypatch.setattr(evdev, "compositor_keymap", lambda: given)
    if given == "no layout":  # nor do the names compile: the host goes on without capture
        monkeypatch.setattr(evdev, "keymap_from_names", lambda *names: given)
        with pytest.raises(evdev.NoAccess, match="no keyboard layout can be compiled"):
            evdev.open_capture(House(), devices=[fifo])
        return
    capture = evdev.open_capture(House(), devices=[fifo])
    assert capture.keyboard.character(CODES["z"] + evdev.XKB_OFFSET) == "y"
    capture.stop()


@pytest.mark.parametrize("second", ["event0", "usb-keyboard-event-kbd"])
def test_a_device_named_twice_is_read_once(tmp_path, second):
    (tmp_path / "event0").write_bytes(events("h e l l o"))
    (tmp_path / "usb-keyboard-event-kbd").symlink_to(tmp_path / "event0")
    house, paths = House(), [str(tmp_path / "event0"), str(tmp_path / second)]
    capture = evdev.open_capture(house, devices=paths, keymap=keymap("us"))
    capture.start()
    wait(lambda: not capture.devices)
    capture.stop()
    assert house.pressed_chars == "hello"


def test_a_keymap_file_shorter_than_announced_gives_its_bytes():
    with open(os.memfd_create("keymap"), "w+b", buffering=0) as file:
        file.write(b"xkb_keymap {")
        assert evdev._read_keymap(file.fileno(), 4096) == b"xkb_keymap {"
