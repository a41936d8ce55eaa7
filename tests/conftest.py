"""Shared fixtures: recorders rebound into the modules' namespaces, and failure reports."""

import os
import subprocess
import sys
import textwrap
import types

import pytest

# The stand-ins stay off the developer's real desktop; the desktop tests attach explicitly.
os.environ.setdefault("VELMORA_DESKTOP", "0")

import velmora  # noqa: E402,F401  (makes the Windows modules importable on other systems)


class CallLog:
    """A list of ``(name, args)`` tuples, shared by the recorders of one test."""

    def __init__(self):
        self.calls = []

    def recorder(self, name, result=None, effect=None):
        """A callable that logs ``(name, args)`` and returns ``result`` (or ``effect(*args)``)."""

        def record(*args, **kwargs):
            self.calls.append((name, args) if not kwargs else (name, args, kwargs))
            if effect is not None:
                return effect(*args, **kwargs)
            return result

        return record

    def names(self):
        return [call[0] for call in self.calls]

    def args_of(self, name):
        return [call[1] for call in self.calls if call[0] == name]


@pytest.fixture
def log():
    return CallLog()


@pytest.fixture
def kb(monkeypatch, log):
    """The keyboard module with ``win32api`` rebound to a recorder of key events.

    ``log.args_of("keybd_event")`` lists the events sent, as (vk, scan, flags, extra).
    """
    from velmora import strokeSmith

    fake_api = types.SimpleNamespace(keybd_event=log.recorder("keybd_event"))
    monkeypatch.setattr(strokeSmith, "win32api", fake_api)
    return strokeSmith


class Reports:
    """The failures reported through ``sys.unraisablehook`` during a test."""

    def __init__(self):
        self.items = []

    def __call__(self, unraisable):
        self.items.append(unraisable)

    @property
    def objects(self):
        return [item.object for item in self.items]

    @property
    def types(self):
        return [item.exc_type for item in self.items]

    @property
    def messages(self):
        return [str(item.exc_value) for item in self.items]


@pytest.fixture
def reports(monkeypatch):
    """Captures unraisable reports instead of printing them."""
    captured = Reports()
    monkeypatch.setattr(sys, "unraisablehook", captured)
    return captured


def run_python(code, path=(), **env):
    """Runs ``code`` in a fresh interpreter with ``path`` before this test run's import path."""
    environment = dict(os.environ, **env)
    environment["PYTHONPATH"] = os.pathsep.join([*path, *(p for p in sys.path if p)])
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=environment,
        # Not the checkout's root: its source package would shadow the installed one.
        cwd=os.path.dirname(os.path.abspath(__file__)),
        timeout=120,
    )


@pytest.fixture
def snap():
    """The image module."""
    from velmora import snapTone

    return snapTone


@pytest.fixture
def clipboard(snap):
    """The clipboard stand-in the image module uses, emptied and closed for the test."""
    board = snap.win32clipboard
    if not getattr(board, "__velmora_fallback__", False):
        pytest.skip("needs the in-memory clipboard")
    board.reset()
    yield board
    board.reset()
