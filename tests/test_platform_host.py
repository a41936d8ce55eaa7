"""The stand-in macro package beside the package: its common module; the package's sounds."""

import importlib.util
import os
import struct
import types
import wave

import pytest
from conftest import run_python

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = os.path.join(ROOT, "macro_stand_in")


def load(name):
    """A fresh copy of macro_stand_in/<name>.py, loaded under a private name."""
    spec = importlib.util.spec_from_file_location(f"host_{name}", os.path.join(HOST, f"{name}.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture
def common():
    return load("common")


@pytest.mark.parametrize(
    "keys, typed",
    [
        (["b", "r", "b"], "brb"),
        (["h", "i", "space", "b", "r", "b"], "brb"),
        (["b", "r", "x", "backspace", "b"], "brb"),
        (["shift", "B", "right shift", "R", "b"], "BRb"),
        (["d", "o", "c", "s", "enter"], ""),
        (["a", "left", "b"], "b"),
        (["backspace", "backspace"], ""),
    ],
)
def test_recorder_keeps_the_current_word(common, keys, typed):
    for key in keys:
        common.recorder.key(key)
    assert common.ControllerHouse.pressed_chars == typed


def test_recorder_feed_and_limit(common):
    recorder = common.TypedRecorder(limit=5)
    recorder.feed("say hello\tto abcdefgh")
    assert common.ControllerHouse.pressed_chars == "defgh"
    recorder.on_event(types.SimpleNamespace(event_type="up", name="x"))
    recorder.on_event(types.SimpleNamespace(event_type="down", name="i"))
    assert common.ControllerHouse.pressed_chars == "efghi"


@pytest.mark.parametrize(
    "combination, events",
    [
        ("alt+4", [(0x12, 0), (0x34, 0), (0x34, 2), (0x12, 2)]),
        ("ctrl+shift+F5", [(0x11, 0), (0x10, 0), (0x74, 0), (0x74, 2), (0x10, 2), (0x11, 2)]),
        ("enter", [(0x0D, 0), (0x0D, 2)]),
    ],
)
def test_combinations_go_through_keybd_event(common, monkeypatch, log, combination, events):
    import win32api

    import velmora  # noqa: F401

    monkeypatch.setattr(win32api, "keybd_event", log.recorder("keybd_event"))
    common.ControllerHouse.keyboard_send(combination)
    assert [(vk, flags) for vk, _, flags, _ in log.args_of("keybd_event")] == events


def test_unknown_combination_sends_nothing(common, monkeypatch, log):
    import win32api

    import velmora  # noqa: F401

    monkeypatch.setattr(win32api, "keybd_event", log.recorder("keybd_event"))
    with pytest.raises(ValueError, match="'hyper'"):
        common.send_combination("ctrl+hyper")
    assert log.calls == []


def test_host_common_wins_over_the_fallback():
    result = run_python(
        f"""
        import sys
        sys.path.insert(0, {HOST!r})
        import velmora.strokeSmith as kb, common
        print(kb.ctrlHouse is common.ControllerHouse, hasattr(common, "recorder"))
        """
    )
    assert result.stdout.split() == ["True", "True"], result.stderr


@pytest.mark.parametrize("name", ["coins-497.wav", "knob-458.wav"])
def test_sounds_are_short_audible_wavs(name):
    with wave.open(os.path.join(ROOT, "velmora", "_platform", "SFX", name)) as sound:
        assert (sound.getnchannels(), sound.getsampwidth()) == (1, 2)
        assert sound.getnframes() < sound.getframerate()  # under a second
        frames = sound.readframes(sound.getnframes())
    assert max(abs(s) for s in struct.unpack(f"<{len(frames) // 2}h", frames)) > 8000
