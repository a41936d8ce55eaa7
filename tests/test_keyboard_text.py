"""Caret-aware text sending and abbreviation expansion."""

import os
import subprocess
import sys
import types

import pytest

from velmora.strokeSmith import GetCaretPosition

Q_CARET = "velmora.strokeSmith.GetCaretPosition"
Q_SEND = "velmora.strokeSmith.SendTextWithCaret"
Q_EXPAND = "velmora.strokeSmith.ExpandText"
Q_PRESS = "velmora.strokeSmith.SimulateKeyPress"

SND_FILENAME, SND_ASYNC = 0x20000, 0x1

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
UNICODE = "/usr/share/unicode"  # Debian's unicode-data


@pytest.fixture
def text(kb, log, monkeypatch):
    """The module with typing, sound and shared state recorded; the public names that the
    bodies call internally are broken, as internal calls must not go through them."""
    house = types.SimpleNamespace(pressed_chars="brb", abbreviations={"brb": "be right back"})
    # Each typing is followed in the log by the typed characters recorded at that moment.
    write = log.recorder("write", effect=lambda _: log.calls.append(("state", house.pressed_chars)))
    sound = types.SimpleNamespace(
        PlaySound=log.recorder("PlaySound"), SND_FILENAME=SND_FILENAME, SND_ASYNC=SND_ASYNC
    )
    monkeypatch.setattr(kb, "keyboard", types.SimpleNamespace(write=write))
    monkeypatch.setattr(kb, "winsound", sound)
    monkeypatch.setattr(kb, "ctrlHouse", house)
    monkeypatch.setattr(kb, "SimulateKeyPress", None)
    monkeypatch.setattr(kb, "GetCaretPosition", None)
    return kb


def presses(kb, code, scancode, times):
    """The events of `times` presses of a key; Left is the one extended key used here."""
    flags = 1 if code == kb.win32con.VK_LEFT else 0
    down, up = (code, scancode, flags, 0), (code, scancode, flags | 2, 0)
    return [("keybd_event", down), ("keybd_event", up)] * times


def typed(log):
    return log.args_of("write")


@pytest.mark.parametrize(
    "args, position",
    [
        (("Hello {!}world",), 6),
        (("Hello",), 5),
        (("",), 0),
        (("{!}Hello",), 0),  # a marker at the start is a real position
        (("a{!}b{!}c",), 1),
        (("abc", ""), 3),  # an empty marker counts as absent
        (("x<>y", "<>"), 1),
    ],
)
def test_caret_position(text, reports, args, position):
    assert GetCaretPosition(*args) == position
    assert reports.items == []


@pytest.mark.parametrize("args", [("x", None), (None,)])
def test_a_failed_search_gives_zero(text, reports, args):
    assert GetCaretPosition(*args) == 0
    assert reports.objects == [Q_CARET]


@pytest.mark.parametrize(
    "args, sent, lefts",
    [
        (("print({!})",), "print()", 1),
        (("a{!}b{!}c",), "ab{!}c", 5),  # later markers are typed as they stand
        (("abc{!}",), "abc", 0),
        (("abc",), "abc", 0),
        (("{!}abc",), "abc", 3),
        (("abc", ""), "abc", 0),
        (("x|yz", "|"), "xyz", 2),
        # One Left per user-perceived character: a CR LF line break, an accented letter, emoji
        # with a skin tone, a ZWJ sequence, a flag; a marker inside one goes before it.
        (("a{!}\r\nb\r\nc",), "a\r\nb\r\nc", 4),
        (("A{!}e\u0301B",), "Ae\u0301B", 2),
        (("A{!}\U0001f44d\U0001f3fdB",), "A\U0001f44d\U0001f3fdB", 2),
        (("A{!}\U0001f469\u200d\U0001f4bbB",), "A\U0001f469\u200d\U0001f4bbB", 2),
        (("A{!}\U0001f1eb\U0001f1f7B",), "A\U0001f1eb\U0001f1f7B", 2),
        (("e{!}\u0301x",), "e\u0301x", 2),
    ],
)
def test_send_text_with_caret(text, log, reports, args, sent, lefts):
    text.SendTextWithCaret(*args)
    left, scancode = text.win32con.VK_LEFT, text.kbcon.SC_LEFT
    expected = [("write", (sent,)), ("state", "brb")] + presses(text, left, scancode, lefts)
    assert log.calls == expected
    assert reports.items == []


def break_test_lines():
    """Each case of Unicode's grapheme break test: its code points and, after each, whether a
    cluster ends there."""
    try:
        with open(
            os.path.join(UNICODE, "auxiliary", "GraphemeBreakTest.txt"), encoding="utf-8"
        ) as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return [pytest.param(None, None, id="unicode-data missing")]
    cases = []
    for number, line in enumerate(lines, 1):
        fields = line.split("#")[0].split()
        if fields:
            code_points = "".join(chr(int(field, 16)) for field in fields[1::2])
            ends = [field == "\u00f7" for field in fields[2::2]]
            cases.append(pytest.param(code_points, ends, id=str(number)))
    return cases


@pytest.mark.parametrize("cluster_text, ends", break_test_lines())
def test_left_presses_follow_unicode_grapheme_clusters(text, log, cluster_text, ends):
    # With the marker before each code point, a Left for every cluster that ends after it.
    assert cluster_text is not None, "install unicode-data (scripts/setup.sh does)"
    lefts, expected = [], []
    for i in range(len(cluster_text)):
        log.calls.clear()
        text.SendTextWithCaret("x" + cluster_text[:i] + "{!}" + cluster_text[i:])
        lefts.append(len(log.args_of("keybd_event")) // 2)
        expected.append(sum(ends[i:]))
    assert lefts == expected


def test_the_cluster_table_is_made_from_the_installed_unicode_data():
    script = os.path.join(ROOT, "scripts", "make_grapheme_table.py")
    made = subprocess.run([sys.executable, script, UNICODE], capture_output=True, text=True)
    with open(os.path.join(ROOT, "extensions", "strokeSmith", "grapheme_table.hpp")) as table:
        assert made.stdout == table.read(), made.stderr


@pytest.mark.parametrize(
    "args, send_message",
    [
        (("x", None), "object of type 'NoneType' has no len()"),
        ((None,), "'NoneType' object is not subscriptable"),
    ],
)
def test_none_text_or_marker(text, log, reports, args, send_message):
    text.SendTextWithCaret(*args)
    assert typed(log) == []
    assert reports.objects == [Q_CARET, Q_SEND]
    assert reports.messages[1] == send_message


def expansion(kb, chars, substitution):
    backtick, back = kb.kbcon.VK_BACKTICK, kb.win32con.VK_BACK
    return (
        presses(kb, backtick, kb.kbcon.SC_BACKTICK, 1)
        + presses(kb, back, kb.kbcon.SC_BACK, len(chars) + 1)
        + [("write", (substitution,)), ("state", chars)]
        + [("PlaySound", ("SFX\\knob-458.wav", SND_FILENAME | SND_ASYNC))]
    )


@pytest.mark.parametrize(
    "chars, table",
    [("brb", {"brb": "be right back"}), ("", {"": "empty"}), ("x", {"x": ""})],
)
def test_expansion(text, log, reports, chars, table):
    text.ctrlHouse.pressed_chars, text.ctrlHouse.abbreviations = chars, table
    text.ExpandText()
    assert log.calls == expansion(text, chars, table[chars])
    assert text.ctrlHouse.pressed_chars == ""
    assert reports.items == []


def test_without_an_entry_the_typed_characters_stay(text, log, reports):
    text.ctrlHouse.pressed_chars = "brbx"
    text.ExpandText()
    assert log.calls == []
    assert text.ctrlHouse.pressed_chars == "brbx"
    assert reports.objects == [Q_EXPAND]
    assert reports.types == [KeyError] and reports.messages == ["'brbx'"]


@pytest.mark.parametrize(
    "owner, refused, up_only, sent, chars",
    [
        # Backspace counts the backtick as typed: without it, it would erase a user's character.
        ("kbcon", "VK_BACKTICK", False, ["keybd_event"], "brb"),
        # Its down event typed it; only the release failed.
        ("kbcon", "VK_BACKTICK", True, ["keybd_event"] * 10 + ["write", "state", "PlaySound"], ""),
        ("win32con", "VK_BACK", False, ["keybd_event"] * 3 + ["write", "state", "PlaySound"], ""),
    ],
)
def test_a_refused_key_press(text, log, reports, monkeypatch, owner, refused, up_only, sent, chars):
    code = getattr(getattr(text, owner), refused)

    def refuse(vk, scan, flags, extra):
        if vk == code and (flags & 2 or not up_only):
            raise ValueError("no key")

    monkeypatch.setattr(text.win32api, "keybd_event", log.recorder("keybd_event", effect=refuse))
    text.ExpandText()
    assert log.names() == sent and text.ctrlHouse.pressed_chars == chars
    assert reports.objects == [Q_PRESS]


@pytest.mark.parametrize("length", [2**31 - 1, sys.maxsize])
def test_a_backspace_count_beyond_an_int_is_reported_before_any_key(text, log, reports, length):
    text.ctrlHouse.pressed_chars = type("Typed", (str,), {"__len__": lambda self: length})("brb")
    text.ExpandText()
    assert log.calls == [] and reports.objects == [Q_EXPAND] and reports.types == [OverflowError]


@pytest.mark.parametrize("exception", [KeyboardInterrupt, SystemExit])
def test_an_interrupted_press_stops_the_expansion(text, log, reports, monkeypatch, exception):
    # A termination handler's SystemExit stops the action as Ctrl-C does: nothing is typed.
    def refuse(*args):
        raise exception

    monkeypatch.setattr(text.win32api, "keybd_event", refuse)
    text.ExpandText()
    assert log.calls == [] and text.ctrlHouse.pressed_chars == "brb"
    assert reports.types == [exception]
