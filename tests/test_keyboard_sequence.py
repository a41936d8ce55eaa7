"""Timed key sequences: coded keys, keys with sending functions, unpacking and pauses."""

import pytest

# The single-precision delays, widened back to double as `sleep` receives them.
WIDE_DEFAULT = 0.20000000298023224
WIDE_TENTH = 0.10000000149011612

Q_SEQUENCE = "velmora.strokeSmith.SimulateKeyPressSequence"


@pytest.fixture
def seq(kb, log, monkeypatch):
    monkeypatch.setattr(kb, "sleep", log.recorder("sleep"))
    return kb


def test_coded_keys_and_senders_mixed(seq, log, reports):
    send = log.recorder("send")
    seq.SimulateKeyPressSequence(((65, 30), ["alt+4", send], iter((66, 48))), 0.1)
    assert log.calls == [
        ("keybd_event", (65, 30, 0, 0)),
        ("keybd_event", (65, 30, 2, 0)),
        ("sleep", (WIDE_TENTH,)),
        ("send", ("alt+4",)),
        ("sleep", (WIDE_TENTH,)),
        ("keybd_event", (66, 48, 0, 0)),
        ("keybd_event", (66, 48, 2, 0)),
        ("sleep", (WIDE_TENTH,)),
    ]
    assert reports.items == []


@pytest.mark.parametrize(
    "delay_args, pause",
    [((), WIDE_DEFAULT), ((0.1,), WIDE_TENTH), ((0,), 0.0), ((2,), 2.0)],
)
def test_every_element_is_followed_by_the_widened_delay(seq, log, delay_args, pause):
    seq.SimulateKeyPressSequence(((65, 30), (66, 48), (67, 46)), *delay_args)
    assert log.args_of("sleep") == [(pause,)] * 3
    assert all(type(args[0]) is float for args in log.args_of("sleep"))


def test_empty_sequence_neither_sends_nor_pauses(seq, log, reports):
    seq.SimulateKeyPressSequence(())
    assert log.calls == [] and reports.items == []


def test_extended_keys_and_int_subclasses(seq, log):
    down = seq.win32con.VK_DOWN
    seq.SimulateKeyPressSequence(((down, 80), (13, True)), 0)
    assert log.args_of("keybd_event") == [
        (down, 80, 1, 0),
        (down, 80, 3, 0),
        (13, True, 0, 0),
        (13, True, 2, 0),
    ]


@pytest.mark.parametrize(
    "element, error, message",
    [
        ((65,), ValueError, "need more than 1 value to unpack"),
        ([], ValueError, "need more than 0 values to unpack"),
        ((65, 30, 0), ValueError, "too many values to unpack (expected 2)"),
        ([65, 30, 0], ValueError, "too many values to unpack (expected 2)"),
        (iter([65]), ValueError, "need more than 1 value to unpack"),
        (65, TypeError, "'int' object is not iterable"),
        ((65, 30.0), TypeError, "'float' object is not callable"),
        (("a", "b"), TypeError, "'str' object is not callable"),
        (([65], 30), TypeError, "unhashable type: 'list'"),
        (("x", lambda key: 1 / 0), ZeroDivisionError, "division by zero"),
    ],
)
def test_a_bad_element_stops_the_sequence(seq, log, reports, element, error, message):
    seq.SimulateKeyPressSequence(((65, 30), element, (66, 48)), 0)
    assert log.calls == [
        ("keybd_event", (65, 30, 0, 0)),
        ("keybd_event", (65, 30, 2, 0)),
        ("sleep", (0.0,)),
    ]
    assert reports.objects == [Q_SEQUENCE]
    assert reports.types == [error] and reports.messages == [message]


def test_unpacking_pulls_at_most_three_items(seq, reports):
    pulled = []

    def items():
        for n in range(65, 75):
            pulled.append(n)
            yield n

    seq.SimulateKeyPressSequence((items(),))
    assert pulled == [65, 66, 67]
    assert reports.messages == ["too many values to unpack (expected 2)"]


def test_none_sequence_is_reported(seq, log, reports):
    seq.SimulateKeyPressSequence(None)
    assert log.calls == []
    assert reports.objects == [Q_SEQUENCE]
    assert reports.messages == ["'NoneType' object is not iterable"]
