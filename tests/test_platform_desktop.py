"""When the stand-ins are connected to the X desktop, and what that does and does not do."""

import sys

import pytest

from conftest import run_python
from velmora._platform import FallbackFinder, desktop, windows, x11

PROBE = """
    import velmora, win32api, win32gui, winsound
    from velmora._platform import desktop, windows
    print(win32api.key_sink is not None, winsound.player is not None,
          type(windows.backend).__name__, desktop._connection is not None
          and desktop._connection._display is not None)
    try:
        win32api.keybd_event(65, 30, 0, 0)
        print("sent")
    except OSError as error:
        print(type(error).__name__, error)
"""


@pytest.mark.parametrize(
    "env, wired",
    [
        ({"DISPLAY": ":987", "VELMORA_DESKTOP": ""}, True),
        ({"DISPLAY": ""}, False),
        ({"DISPLAY": ":987", "VELMORA_DESKTOP": "0"}, False),
        ({"DISPLAY": ":987", "VELMORA_DESKTOP": "off"}, False),
    ],
)
def test_stand_ins_are_wired_where_a_display_is_named(env, wired):
    result = run_python(PROBE, **env)
    assert result.returncode == 0, result.stderr
    hooks, sent = result.stdout.splitlines()
    backend = "XWindows" if wired else "WindowTable"
    # Importing connects to nothing, even with a display named.
    assert hooks == f"{wired} {wired} {backend} False"
    if wired:  # the display does not exist: the key event says so instead of vanishing
        assert sent.startswith("DesktopError cannot open X display ':987'")
    else:
        assert sent == "sent"


def test_not_available_on_windows(monkeypatch):
    monkeypatch.setenv("DISPLAY", ":0")
    monkeypatch.setattr(sys, "platform", "win32")
    assert not desktop.available()
    with pytest.raises(RuntimeError):
        desktop.attach()


@pytest.fixture
def standins(monkeypatch):
    """The stand-ins the hooks live in, with the desktop's state put back afterwards."""
    import velmora  # noqa: F401
    import win32api
    import winsound

    for name in ("_mode", "_connection", "_memory_windows"):
        monkeypatch.setattr(desktop, name, getattr(desktop, name))
    monkeypatch.setattr(windows, "backend", windows.WindowTable())
    for module in (win32api, winsound):
        for attribute in desktop.HOOKS[module.__name__]:
            monkeypatch.setattr(module, attribute, getattr(module, attribute))
    return win32api, winsound


def test_attach_and_detach(standins):
    win32api, winsound = standins
    table = windows.backend
    hwnd = table.register("Notepad", "Untitled")
    desktop.attach(":986")
    assert win32api.key_sink is desktop.send_key and winsound.player is desktop.play_sound
    assert isinstance(windows.backend, x11.XWindows)
    with pytest.raises(desktop.DesktopError, match="':986'"):
        win32api.GetSystemMetrics(0)
    desktop.detach()
    assert win32api.key_sink is None and winsound.player is None
    assert windows.backend is table and table.find("Notepad", None) == hwnd
    assert win32api.GetSystemMetrics(0) == 1920  # the in-memory default again


def test_attach_stays_attached_for_stand_ins_loaded_later(standins, monkeypatch):
    monkeypatch.delenv("DISPLAY", raising=False)
    desktop.attach(":985")
    module = type(sys)("winsound")
    module.__velmora_fallback__ = True
    module.player = None
    desktop.wire(module)
    assert module.player is desktop.play_sound
    desktop.detach()
    fresh = type(sys)("winsound")
    fresh.player = None
    desktop.wire(fresh)
    assert fresh.player is None


def test_finder_stays_behind_every_real_finder():
    import importlib.machinery

    import velmora  # noqa: F401
    import Xlib  # noqa: F401  (python-xlib appends six's finder for six.moves)
    import win32gui  # noqa: F401  (loaded through the finder's loader)

    ours = [i for i, finder in enumerate(sys.meta_path) if isinstance(finder, FallbackFinder)]
    assert len(ours) == 1
    before, after = sys.meta_path[: ours[0]], sys.meta_path[ours[0] + 1 :]
    assert importlib.machinery.PathFinder in before
    # A finder appended later may only serve its own names, never a stand-in's.
    assert not [f for f in after if hasattr(f, "find_spec") and f.find_spec("win32api", None)]
