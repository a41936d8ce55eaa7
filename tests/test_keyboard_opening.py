"""Opening a location by its typed shortcut, and the explorer's open tool by keys."""

import types

import pytest

SND_FILENAME, SND_ASYNC = 0x20000, 0x1
SOUND = ("PlaySound", ("SFX\\knob-458.wav", SND_FILENAME | SND_ASYNC))
WIDE_DEFAULT = 0.20000000298023224


@pytest.fixture(params=[True, False], ids=["windows shell", "desktop opener"])
def opening(kb, log, monkeypatch, request):
    """The module with the shell (each system's), pauses, sound and shared state recorded. The
    public key sequence function is broken: CrudeOpenWith must reach its body directly."""
    from velmora._platform import shell

    house = types.SimpleNamespace(
        pressed_chars="docs",
        locations={"docs": "/home/user/Documents"},
        keyboard_send=log.recorder("keyboard_send"),
    )
    sound = types.SimpleNamespace(
        PlaySound=log.recorder("PlaySound"), SND_FILENAME=SND_FILENAME, SND_ASYNC=SND_ASYNC
    )
    monkeypatch.setattr(kb, "os", types.SimpleNamespace(startfile=log.recorder("startfile")))
    monkeypatch.setattr(shell, "startfile", log.recorder("startfile"))
    monkeypatch.setattr(kb, "_windows_shell", request.param, raising=False)
    monkeypatch.setattr(kb, "winsound", sound)
    monkeypatch.setattr(kb, "ctrlHouse", house)
    monkeypatch.setattr(kb, "sleep", log.recorder("sleep"))
    monkeypatch.setattr(kb, "SimulateKeyPressSequence", None)
    return kb


def test_open_location(opening, log, reports):
    opening.OpenLocation()
    assert log.calls == [("startfile", ("/home/user/Documents",)), SOUND]
    assert opening.ctrlHouse.pressed_chars == ""
    assert reports.items == []


def test_a_location_that_does_not_open_keeps_the_typed_characters(
    opening, log, reports, monkeypatch
):
    from velmora._platform import shell

    def startfile(path):
        raise OSError(path)

    monkeypatch.setattr(opening.os, "startfile", startfile)
    monkeypatch.setattr(shell, "startfile", startfile)
    opening.OpenLocation()
    assert log.calls == []
    assert opening.ctrlHouse.pressed_chars == "docs"
    assert reports.objects == ["velmora.strokeSmith.OpenLocation"]


def key(kb, code, scancode):
    flags = 1 if code == kb.win32con.VK_DOWN else 0
    return [
        ("keybd_event", (code, scancode, flags, 0)),
        ("keybd_event", (code, scancode, flags | 2, 0)),
        ("sleep", (WIDE_DEFAULT,)),
    ]


@pytest.mark.parametrize(
    "args, kwargs, hotkey, downs",
    [
        ((), {}, "alt+4", 0),
        ((3, 2), {}, "alt+3", 2),
        ((), {"prog_index": -5}, "alt+4", 0),
        ((-1,), {}, "alt+-1", 0),
        ((2.9,), {"prog_index": 1.7}, "alt+2", 1),
    ],
)
def test_crude_open_with(opening, log, reports, args, kwargs, hotkey, downs):
    opening.CrudeOpenWith(*args, **kwargs)
    con, kbcon = opening.win32con, opening.kbcon
    assert log.calls == (
        [("keyboard_send", (hotkey,)), ("sleep", (WIDE_DEFAULT,))]
        + key(opening, con.VK_DOWN, kbcon.SC_DOWN) * downs
        + key(opening, con.VK_RETURN, kbcon.SC_RETURN)
        + [SOUND]
    )
    assert opening.ctrlHouse.pressed_chars == ""
    assert reports.items == []


def test_a_failing_sequence_still_resets_and_plays(opening, log, reports, monkeypatch):
    def refuse(hotkey):
        raise RuntimeError(hotkey)

    monkeypatch.setattr(opening.ctrlHouse, "keyboard_send", refuse)
    opening.CrudeOpenWith()
    assert log.calls == [SOUND]
    assert opening.ctrlHouse.pressed_chars == ""
    assert reports.objects == ["velmora.strokeSmith.SimulateKeyPressSequence"]
