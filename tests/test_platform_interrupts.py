"""Ctrl-C at any step of the layer's short critical steps: held back where a step must not be
cut in two, and never leaving the spare-keycode tables inconsistent."""

import os
import signal
import sys

import pytest

from velmora._platform import interrupts, x11


@pytest.mark.parametrize(
    "handler, raised",
    [(signal.default_int_handler, KeyboardInterrupt), (signal.SIG_IGN, None)],
    ids=["default", "ignored"],
)
def test_a_ctrl_c_in_a_deferred_step_comes_after_it(handler, raised):
    previous = signal.signal(signal.SIGINT, handler)
    steps = []
    try:
        with pytest.raises(raised) if raised else open(os.devnull) as _:
            with interrupts.deferred():
                os.kill(os.getpid(), signal.SIGINT)
                steps.append("after the signal")  # the step goes on to its end
        assert steps == ["after the signal"]
        assert signal.getsignal(signal.SIGINT) is handler
    finally:
        signal.signal(signal.SIGINT, previous)


class KeyboardStub:
    """The keymap requests _SpareKeys makes, on a table of keycode -> keysyms."""

    def __init__(self):
        self.mapping = {}

    def change_keyboard_mapping(self, keycode, keysyms):
        self.mapping[keycode] = list(keysyms[0])

    def get_keyboard_mapping(self, keycode, count):
        return [self.mapping.get(keycode, [0, 0])]

    def sync(self):
        pass

    flush = sync


def interrupt_at_line(function, number):
    """A trace function raising KeyboardInterrupt at the ``number``-th line run in ``function``."""
    seen = 0

    def local(frame, event, arg):
        nonlocal seen
        if event == "line":
            seen += 1
            if seen == number:
                sys.settrace(None)
                raise KeyboardInterrupt
        return local

    return lambda frame, event, arg: local if frame.f_code.co_name == function else None


@pytest.mark.parametrize("line", range(1, 6))
@pytest.mark.parametrize("step", ["keycode", "_record", "release"])
def test_spare_keycodes_stay_consistent_when_interrupted(monkeypatch, step, line):
    """Whatever line of binding, noting or unbinding a spare keycode is cut, the keycodes the
    server has bound are among the ones noted, and unbinding them all then works."""
    monkeypatch.setattr(x11, "REUSE_AFTER", 0.0)
    server, spares = KeyboardStub(), x11._SpareKeys()
    spares.keycode(server, 0x1001, [200])
    sys.settrace(interrupt_at_line(step, line))
    try:
        if step == "release":
            spares.release(server)
        else:
            spares.keycode(server, 0x1002, [])  # the one keycode, bound again to another keysym
    except KeyboardInterrupt:
        pass
    finally:
        sys.settrace(None)
    bound_on_server = {code for code, keysyms in server.mapping.items() if any(keysyms)}
    assert bound_on_server <= set(spares.bound.values())  # what an abandoned session unbinds
    spares.release(server)  # and the tables still serve
