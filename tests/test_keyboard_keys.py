"""Single key presses and chords: the key events sent, their order and flags, and failures."""

import sys
import types

import pytest
import win32con

EXTENDED = [
    "VK_RMENU",
    "VK_RCONTROL",
    "VK_RSHIFT",
    "VK_APPS",
    "VK_VOLUME_UP",
    "VK_VOLUME_DOWN",
    "VK_SNAPSHOT",
    "VK_INSERT",
    "VK_DELETE",
    "VK_HOME",
    "VK_END",
    "VK_CANCEL",
    "VK_PRIOR",
    "VK_NEXT",
    "VK_UP",
    "VK_DOWN",
    "VK_LEFT",
    "VK_RIGHT",
]
ORDINARY = ["VK_RETURN", "VK_BACK", "VK_SHIFT", "VK_CONTROL", "VK_LMENU", "VK_TAB", "VK_OEM_3"]


def events(log):
    return log.args_of("keybd_event")


@pytest.mark.parametrize(
    "args, expected",
    [
        ((65,), [(65, 0, 0, 0), (65, 0, 2, 0)]),
        ((65, 30, 3), [(65, 30, 0, 0), (65, 30, 2, 0)] * 3),
        ((65, 30, 0), []),
        ((65, 30, -5), []),
    ],
)
def test_press_sends_down_up_pairs(kb, log, reports, args, expected):
    assert kb.SimulateKeyPress(*args) is None
    assert events(log) == expected
    assert reports.items == []


@pytest.mark.parametrize("name", EXTENDED)
def test_extended_keys_carry_the_extended_flag(kb, log, name):
    code = getattr(win32con, name)
    kb.SimulateKeyPress(code, 7)
    kb.SimulateHotKeyPress({code: 7})
    assert events(log) == [(code, 7, 1, 0), (code, 7, 3, 0)] * 2


@pytest.mark.parametrize("name", ORDINARY)
def test_other_keys_do_not(kb, log, name):
    code = getattr(win32con, name)
    kb.SimulateKeyPress(code)
    assert events(log) == [(code, 0, 0, 0), (code, 0, 2, 0)]


class RecordingConstants:
    """A win32con stand-in that logs which constants are read."""

    def __init__(self, log, **values):
        self._log = log
        self._values = values

    def __getattr__(self, name):
        self._log.calls.append(("win32con." + name, ()))
        return self._values[name]


def test_flags_come_from_win32con_at_each_use(kb, log, monkeypatch):
    # Other values than Windows' show that nothing is cached in the module.
    monkeypatch.setattr(
        kb, "win32con", RecordingConstants(log, KEYEVENTF_EXTENDEDKEY=16, KEYEVENTF_KEYUP=32)
    )
    kb.SimulateKeyPress(win32con.VK_UP, 0, 2)
    assert log.names() == [
        "win32con.KEYEVENTF_EXTENDEDKEY",
        "keybd_event",
        "win32con.KEYEVENTF_KEYUP",
        "keybd_event",
        "keybd_event",
        "win32con.KEYEVENTF_KEYUP",
        "keybd_event",
    ]
    assert events(log) == [(0x26, 0, 16, 0), (0x26, 0, 48, 0)] * 2


def test_zero_times_still_reads_the_extended_flag(kb, log, monkeypatch):
    monkeypatch.setattr(
        kb, "win32con", RecordingConstants(log, KEYEVENTF_EXTENDEDKEY=1, KEYEVENTF_KEYUP=2)
    )
    kb.SimulateKeyPress(65, times=0)
    assert log.names() == ["win32con.KEYEVENTF_EXTENDEDKEY"]


@pytest.mark.parametrize(
    "chord, expected",
    [
        ({}, []),
        ({17: 29, 67: 46}, [(17, 29, 0, 0), (67, 46, 0, 0), (17, 29, 2, 0), (67, 46, 2, 0)]),
        (
            {0xA3: 0x1D, 0x2E: 0x53},
            [(0xA3, 0x1D, 1, 0), (0x2E, 0x53, 1, 0), (0xA3, 0x1D, 3, 0), (0x2E, 0x53, 3, 0)],
        ),
        ({True: 29}, [(1, 29, 0, 0), (1, 29, 2, 0)]),
        ({65.7: 30.2}, [(65, 30, 0, 0), (65, 30, 2, 0)]),
    ],
)
def test_chords_press_all_then_release_all_in_dict_order(kb, log, reports, chord, expected):
    assert kb.SimulateHotKeyPress(chord) is None
    assert events(log) == expected
    assert reports.items == []


@pytest.mark.parametrize(
    "chord, error, message",
    [
        ({17: 29, 67: "x"}, TypeError, "an integer is required"),
        ({17: 29, "C": 46}, TypeError, "an integer is required"),
        ({17: 29, 67: 2**31}, OverflowError, None),
        (None, AttributeError, "'NoneType' object has no attribute 'items'"),
    ],
)
def test_a_bad_chord_entry_sends_nothing(kb, log, reports, chord, error, message):
    assert kb.SimulateHotKeyPress(chord) is None
    assert events(log) == []
    assert reports.types == [error]
    assert reports.objects == ["velmora.strokeSmith.SimulateHotKeyPress"]
    if message:
        assert reports.messages == [message]


def test_a_chord_whose_dict_changes_during_conversion_sends_nothing(kb, log, reports):
    chord = {}

    class Grows:
        def __int__(self):
            chord[99] = 1
            return 17

    chord[Grows()] = 29
    chord[67] = 46
    kb.SimulateHotKeyPress(chord)
    assert events(log) == []
    assert reports.messages == ["dictionary changed size during iteration"]


def failing_keybd_event(log, fail_on):
    """A keybd_event that refuses the calls whose 0-based numbers are in ``fail_on``."""

    def keybd_event(*args):
        number = len(log.calls)
        log.calls.append(("keybd_event", args))
        if number in fail_on:
            raise OverflowError("refused")

    return types.SimpleNamespace(keybd_event=keybd_event)


def test_a_refused_key_down_releases_the_keys_already_down(kb, log, reports, monkeypatch):
    monkeypatch.setattr(kb, "win32api", failing_keybd_event(log, {2}))
    kb.SimulateHotKeyPress({17: 29, 16: 42, 65: 30})
    assert events(log) == [
        (17, 29, 0, 0),
        (16, 42, 0, 0),
        (65, 30, 0, 0),  # the third is refused
        (17, 29, 2, 0),
        (16, 42, 2, 0),
    ]
    assert reports.messages == ["refused"]


def test_a_refused_key_up_does_not_stop_the_others(kb, log, reports, monkeypatch):
    monkeypatch.setattr(kb, "win32api", failing_keybd_event(log, {3, 4}))
    kb.SimulateHotKeyPress({17: 29, 16: 42, 65: 30})
    assert events(log)[3:] == [(17, 29, 2, 0), (16, 42, 2, 0), (65, 30, 2, 0)]
    assert reports.messages == ["refused"]  # the first failure is the one reported


def test_a_refused_press_stops_the_repetitions(kb, log, reports, monkeypatch):
    monkeypatch.setattr(kb, "win32api", failing_keybd_event(log, {1}))
    kb.SimulateKeyPress(65, 30, 3)
    assert events(log) == [(65, 30, 0, 0), (65, 30, 2, 0)]
    assert reports.objects == ["velmora.strokeSmith.SimulateKeyPress"]


def interrupted_after_the_event(log, exception):
    """A keybd_event written in Python whose first down event goes out, then is interrupted."""

    def keybd_event(*args):
        log.calls.append(("keybd_event", args))
        if len(log.calls) == 1:
            raise exception

    return types.SimpleNamespace(keybd_event=keybd_event)


@pytest.mark.parametrize("exception", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize(
    "call",
    [
        lambda kb: kb.SimulateKeyPress(16, 42, 5),
        lambda kb: kb.SimulateHotKeyPress({16: 42, 17: 29}),
    ],
)
def test_an_interrupt_after_a_key_went_down_lets_the_key_up(
    kb, log, reports, monkeypatch, exception, call
):
    monkeypatch.setattr(kb, "win32api", interrupted_after_the_event(log, exception))
    call(kb)
    assert events(log) == [(16, 42, 0, 0), (16, 42, 2, 0)]
    assert reports.types == [exception]


def test_a_missing_win32api_is_a_reported_name_error(kb, reports, monkeypatch):
    monkeypatch.delattr(kb, "win32api")
    assert kb.SimulateKeyPress(65) is None
    assert reports.types == [NameError]
    assert reports.messages == ["name 'win32api' is not defined"]


def test_names_fall_back_to_builtins(kb, log, monkeypatch):
    import builtins

    monkeypatch.delattr(kb, "win32api")
    monkeypatch.setattr(
        builtins,
        "win32api",
        types.SimpleNamespace(keybd_event=log.recorder("keybd_event")),
        raising=False,
    )
    kb.SimulateKeyPress(65)
    assert len(events(log)) == 2


def test_a_body_failure_is_printed_reported_and_swallowed(kb, monkeypatch, capfd):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    monkeypatch.delattr(sys, "last_value", raising=False)
    assert kb.SimulateHotKeyPress({65: "x"}) is None
    printed = capfd.readouterr().err
    assert "TypeError: an integer is required" in printed
    assert [u.object for u in unraisable] == ["velmora.strokeSmith.SimulateHotKeyPress"]
    assert unraisable[0].exc_type is TypeError
    assert isinstance(sys.last_value, TypeError)


def test_the_default_unraisable_hook_names_the_function(kb, capfd, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", sys.__unraisablehook__)
    kb.SimulateHotKeyPress(None)
    printed = capfd.readouterr().err
    assert "Exception ignored in: 'velmora.strokeSmith.SimulateHotKeyPress'" in printed
    assert printed.count("AttributeError: 'NoneType' object has no attribute 'items'") == 2


@pytest.mark.parametrize("exception", [SystemExit(3), KeyboardInterrupt()])
def test_even_exit_requests_are_swallowed(kb, reports, monkeypatch, exception):
    def refuse(*args):
        raise exception

    monkeypatch.setattr(kb, "win32api", types.SimpleNamespace(keybd_event=refuse))
    assert kb.SimulateKeyPress(65) is None
    assert reports.types == [type(exception)]


# ---- The flags and the platform functions, read from plain modules and from anything else ------


class Flag(int):
    """An int subclass: flags built from it go through the interpreter's own arithmetic."""


def sent_with_constants(kb, log, reports, monkeypatch, code, extended_flag, key_up):
    log.calls.clear()
    reports.items.clear()
    constants = types.ModuleType("win32con")
    constants.KEYEVENTF_EXTENDEDKEY = extended_flag
    constants.KEYEVENTF_KEYUP = key_up
    monkeypatch.setattr(kb, "win32con", constants)
    kb.SimulateKeyPress(code, 0, 2)
    flag_types = {type(event[2]) for event in events(log)}
    return events(log), flag_types, reports.types, reports.messages


@pytest.mark.parametrize(
    "extended_flag, key_up",
    [
        (1, 2),
        (16, 32),
        (3, 2),
        (-1, 6),
        (-4, 2),  # overlapping bits, negative flags
        (2**40, 2),
        (1, 2**62),
        (1, 2**70),
        (1, -(2**70)),  # beyond 32 bits, beyond a C long
    ],
)
@pytest.mark.parametrize("code", [win32con.VK_UP, 65])
def test_flags_from_plain_ints_agree_with_the_interpreters_arithmetic(
    kb, log, reports, monkeypatch, code, extended_flag, key_up
):
    # Plain ints are combined by the module itself; an int subclass by the interpreter.
    plain = sent_with_constants(kb, log, reports, monkeypatch, code, extended_flag, key_up)
    derived_flags = Flag(extended_flag), Flag(key_up)
    derived = sent_with_constants(kb, log, reports, monkeypatch, code, *derived_flags)
    assert plain == derived
    assert plain[1] <= {int}


class PropertyModule(types.ModuleType):
    """A module subclass whose class attribute outranks the module's own entry."""

    @property
    def keybd_event(self):
        return self.__dict__["from_class"]


def platform_module(kind, recorder):
    module = (PropertyModule if kind == "subclass" else types.ModuleType)("win32api")
    if kind == "plain":
        module.keybd_event = recorder
    elif kind == "module __getattr__":
        module.__getattr__ = lambda name: recorder if name == "keybd_event" else None
    elif kind == "subclass":
        module.from_class = recorder
        module.__dict__["keybd_event"] = lambda *args: pytest.fail("the class attribute wins")
    return module


@pytest.mark.parametrize("kind", ["plain", "module __getattr__", "subclass"])
def test_functions_read_from_modules_as_the_interpreter_reads_them(
    kb, log, reports, monkeypatch, kind
):
    monkeypatch.setattr(kb, "win32api", platform_module(kind, log.recorder("keybd_event")))
    kb.SimulateKeyPress(65)
    assert events(log) == [(65, 0, 0, 0), (65, 0, 2, 0)]
    assert reports.items == []


def test_a_module_without_the_function_reports_the_interpreters_error(kb, reports, monkeypatch):
    monkeypatch.setattr(kb, "win32api", types.ModuleType("win32api"))
    kb.SimulateKeyPress(65)
    assert reports.types == [AttributeError]
    assert reports.messages == ["module 'win32api' has no attribute 'keybd_event'"]


def rebind_in_module(api, kb, send):
    api.keybd_event = send


def replace_module(api, kb, send):
    kb.win32api = types.ModuleType("win32api")
    kb.win32api.keybd_event = send


def delete_then_add(api, kb, send):
    del vars(api)["keybd_event"]
    vars(api).update(keybd_event=send)


def clear_then_fill(api, kb, send):
    vars(api).clear()
    vars(api)["keybd_event"] = send


@pytest.mark.parametrize(
    "change", [rebind_in_module, replace_module, delete_then_add, clear_then_fill]
)
def test_remembered_lookups_see_every_change_at_the_next_use(kb, monkeypatch, change):
    # The lookups of `win32api` and `keybd_event` are remembered while their namespaces stay
    # unchanged: whatever changes them, between presses or between a down and its up event,
    # the next event goes where a fresh lookup would send it.
    sent = []
    api = types.ModuleType("win32api")
    monkeypatch.setattr(kb, "win32api", api)

    def second(*event):
        sent.append(("second", *event))

    def first(*event):
        sent.append(("first", *event))
        if len(sent) == 3:  # mid-press: the up event of the second press
            change(kb.win32api, kb, second)

    api.keybd_event = first
    kb.SimulateKeyPress(65)
    kb.SimulateKeyPress(66)
    kb.SimulateKeyPress(67)
    change(kb.win32api, kb, first)
    kb.SimulateKeyPress(68)
    assert [(who, code, flags) for who, code, _, flags, _ in sent] == [
        ("first", 65, 0),
        ("first", 65, 2),
        ("first", 66, 0),
        ("second", 66, 2),
        ("second", 67, 0),
        ("second", 67, 2),
        ("first", 68, 0),
        ("first", 68, 2),
    ]
