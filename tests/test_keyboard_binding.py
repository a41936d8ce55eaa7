"""Argument binding of the keyboard module's entries: counts, keywords, exact types, numbers.

Every failure here must reach the caller before any key event is sent or any body runs.
"""

import collections
import decimal
import warnings

import pytest


def noop(*args):
    return None


class IntLike:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


class LoudInt(int):
    """An int subclass whose __int__ would lie: its own value must be used."""

    def __int__(self):
        return 999


class StrSub(str):
    pass


class TupleSub(tuple):
    pass


def traceback_names(error):
    names = []
    tb = error.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


def test_keywords_bind_by_name_in_any_order(kb, log):
    kb.SimulateKeyPress(times=1, key_scancode=30, key_id=65)
    kb.SimulateKeyPress(66, **{StrSub("key_scancode"): 48})
    assert log.args_of("keybd_event") == [
        (65, 30, 0, 0),
        (65, 30, 2, 0),
        (66, 48, 0, 0),
        (66, 48, 2, 0),
    ]


@pytest.mark.parametrize(
    "name, args, parameter, expected, given",
    [
        ("SimulateKeyPressSequence", ([(65, 30)],), "keys_list", "tuple", "list"),
        ("SimulateKeyPressSequence", (TupleSub(),), "keys_list", "tuple", "TupleSub"),
        (
            "FindAndSendKeysToWindow",
            (StrSub("Notepad"), 1, noop),
            "target_className",
            "str",
            "StrSub",
        ),
        ("FindAndSendKeysToWindow", (b"Notepad", 1, noop), "target_className", "str", "bytes"),
        (
            "SimulateHotKeyPress",
            (collections.OrderedDict({65: 30}),),
            "keys_id_dict",
            "dict",
            "collections.OrderedDict",
        ),
        ("SimulateHotKeyPress", ([(65, 30)],), "keys_id_dict", "dict", "list"),
        ("GetCaretPosition", (StrSub("a{!}b"),), "text", "str", "StrSub"),
        ("GetCaretPosition", ("a", b"!"), "caret", "str", "bytes"),
        ("SendTextWithCaret", (1,), "text", "str", "int"),
        ("SendTextWithCaret", (b"x", b"y"), "text", "str", "bytes"),  # text is tested first
    ],
)
def test_exact_type_checks_refuse_subclasses_without_a_traceback_entry(
    kb, log, reports, name, args, parameter, expected, given
):
    with pytest.raises(TypeError) as caught:
        getattr(kb, name)(*args)
    assert (
        str(caught.value)
        == f"Argument '{parameter}' has incorrect type (expected {expected}, got {given})"
    )
    assert not any(frame.startswith("velmora.") for frame in traceback_names(caught.value))
    assert log.calls == [] and reports.items == []


@pytest.mark.parametrize(
    "value, code",
    [
        (65, 65),
        (True, 1),
        (65.9, 65),
        (-65.9, -65),
        (decimal.Decimal("66.7"), 66),
        (IntLike(67), 67),
        (LoudInt(68), 68),
        (-(2**31), -(2**31)),
        (2**31 - 1, 2**31 - 1),
    ],
)
def test_int_parameters_convert_to_32_bit(kb, log, reports, value, code):
    kb.SimulateKeyPress(value)
    # keybd_event gets the converted code itself (the recorder checks no range).
    assert log.args_of("keybd_event")[0][0] == code
    assert type(log.args_of("keybd_event")[0][0]) is int


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("A", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (IntLike("x"), TypeError, "__int__ returned non-int (type str)"),
        (IntLike(ValueError("nope")), ValueError, "nope"),
        (2**31, OverflowError, None),
        (-(2**31) - 1, OverflowError, None),
        (2**70, OverflowError, None),
        (float("inf"), OverflowError, None),
        (float("nan"), ValueError, None),
    ],
)
@pytest.mark.parametrize("position", ["key_id", "key_scancode", "times"])
def test_int_conversion_errors_send_nothing(kb, log, reports, value, error, message, position):
    arguments = {"key_id": 65, position: value}
    with pytest.raises(error) as caught:
        kb.SimulateKeyPress(**arguments)
    if message is not None:
        assert str(caught.value) == message
    assert "velmora.strokeSmith.SimulateKeyPress" in traceback_names(caught.value)
    assert log.calls == [] and reports.items == []


def test_int_conversion_accepts_an_int_subclass_from_int_with_a_warning(kb, log):
    with pytest.warns(DeprecationWarning, match="__int__ returned non-int"):
        kb.SimulateKeyPress(IntLike(True))
    assert log.args_of("keybd_event")[0][0] == 1


def test_crude_open_with_converts_tool_number_before_prog_index(kb, log):
    with pytest.raises(TypeError, match="an integer is required"):
        kb.CrudeOpenWith("2", 2**40)
    with pytest.raises(OverflowError):
        kb.CrudeOpenWith(2, 2**40)
    assert log.calls == []


def test_numeric_conversions_come_before_type_checks(kb, log, reports):
    # A bad delay is reported even though keys_list is not a tuple either.
    with pytest.raises(TypeError) as caught:
        kb.SimulateKeyPressSequence([(65, 30)], "x")
    assert "real number" in str(caught.value)
    assert "velmora.strokeSmith.SimulateKeyPressSequence" in traceback_names(caught.value)
    with pytest.raises(TypeError, match="real number"):
        kb.SimulateKeyPressSequence(((65, 30),), "x")
    assert log.calls == [] and reports.items == []


def test_none_passes_the_exact_type_checks(kb, reports):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert kb.SimulateHotKeyPress(None) is None
        assert kb.SimulateKeyPressSequence(None) is None
    assert reports.objects == [
        "velmora.strokeSmith.SimulateHotKeyPress",
        "velmora.strokeSmith.SimulateKeyPressSequence",
    ]
