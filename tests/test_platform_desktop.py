"""When the stand-ins are connected to the X desktop, and what that does and does not do."""

import sys

import pytest
from conftest import run_python

from velmora._platform import FallbackFinder, desktop, memory, x11

PROBE = """
    import velmora, win32api, keyboard
    from velmora._platform import desktop
    display = desktop.display()
    print(type(display).__name__, type(desktop.programs()).__name__,
          getattr(getattr(display, "connection", None), "_display", None) is not None)
    for send in (lambda: win32api.keybd_event(65, 30, 0, 0), lambda: keyboard.write("a")):
        try:
            send()
            print("sent")
        except OSError as error:
            print(type(error).__name__, error)
"""


@pytest.mark.parametrize(
    "env, wired",
    [
        ({"DISPLAY": ":987", "VELMORA_DESKTOP": ""}, True),
        ({"DISPLAY": ":987", "VELMORA_DESKTOP": " Yes"}, True),
        ({"DISPLAY": ":987", "WAYLAND_DISPLAY": "nowhere", "VELMORA_DESKTOP": "1"}, True),
        ({"DISPLAY": ""}, False),
        ({"DISPLAY": ":987", "VELMORA_DESKTOP": "0"}, False),
        ({"DISPLAY": ":987", "VELMORA_DESKTOP": "off"}, False),
        ({"DISPLAY": ":987", "VELMORA_DESKTOP": "False"}, False),
    ],
)
def test_backends_are_chosen_where_a_display_is_named(env, wired):
    result = run_python(PROBE, **env)
    assert result.returncode == 0, result.stderr
    chosen, *sent = result.stdout.splitlines()
    # Importing and choosing connect to nothing, even with a display named.
    backends = "X11Display FreedesktopPrograms" if wired else "MemoryDisplay SilentPrograms"
    assert chosen == backends + " False"
    if wired:  # the display does not exist: keys and text both say so instead of vanishing
        assert all(line.startswith("DesktopError cannot open X display ':987'") for line in sent)
    else:
        assert sent == ["sent", "sent"]


@pytest.mark.parametrize("value", ["disabled", "none", "n"])
def test_an_unknown_desktop_switch_is_refused(monkeypatch, value):
    monkeypatch.setenv("DISPLAY", ":0")
    monkeypatch.setenv("VELMORA_DESKTOP", value)
    with pytest.raises(desktop.DesktopError, match=f"VELMORA_DESKTOP='{value}' is neither"):
        desktop.available()


def test_not_available_on_windows(monkeypatch):
    monkeypatch.setenv("DISPLAY", ":0")
    monkeypatch.setattr(sys, "platform", "win32")
    assert not desktop.available()
    with pytest.raises(RuntimeError):
        desktop.attach()


@pytest.fixture
def chooser(monkeypatch):
    """The choice of backends, put back afterwards."""
    for name in ("_mode", "_programs", "_display_name"):
        monkeypatch.setattr(desktop, name, getattr(desktop, name))
    monkeypatch.setattr(desktop, "_display", None)
    monkeypatch.setattr(desktop, "_memory", memory.MemoryDisplay())
    return desktop


def test_attach_and_detach(chooser):
    import win32api
    import win32gui

    import velmora  # noqa: F401

    hwnd = desktop.display().register("Notepad", "Untitled")
    desktop.attach(":986")
    assert isinstance(desktop.display(), x11.X11Display)
    with pytest.raises(desktop.DesktopError, match="':986'"):
        win32api.GetSystemMetrics(0)
    desktop.detach()
    assert win32gui.GetWindowText(hwnd) == "Untitled"  # the same windows in memory again
    assert win32api.GetSystemMetrics(0) == 1920
    with pytest.raises(desktop.DesktopError, match="no desktop is attached"):
        desktop.programs().open_path("/")


def test_finder_stays_behind_every_real_finder():
    import importlib.machinery

    import win32gui  # noqa: F401  (loaded through the finder's loader)
    import Xlib  # noqa: F401  (python-xlib appends six's finder for six.moves)

    import velmora  # noqa: F401

    ours = [i for i, finder in enumerate(sys.meta_path) if isinstance(finder, FallbackFinder)]
    assert len(ours) == 1
    before, after = sys.meta_path[: ours[0]], sys.meta_path[ours[0] + 1 :]
    assert importlib.machinery.PathFinder in before
    # A finder appended later may only serve its own names, never a stand-in's.
    assert not [f for f in after if hasattr(f, "find_spec") and f.find_spec("win32api", None)]


def test_the_picture_window_s_opening_says_what_failed(chooser, capsys):
    from velmora._platform import shell

    desktop.detach()  # no desktop: nothing can be opened
    shell.open_folder("/srv/pictures")
    shell.reveal("/srv/pictures/a.png")
    assert capsys.readouterr().err.splitlines() == [
        "velmora.snapTone: could not open the folder '/srv/pictures': "
        "no desktop is attached to open '/srv/pictures' on",
        "velmora.snapTone: could not show '/srv/pictures/a.png': "
        "no desktop is attached to show '/srv/pictures/a.png' on",
    ]
    with pytest.raises(desktop.DesktopError):  # OpenLocation's opener raises, to be reported
        shell.startfile("/srv/pictures")
    desktop.attach(":986")  # a display that does not answer: the window is shown unpinned
    shell.pin_above("Image Window")
    assert capsys.readouterr().err.startswith(
        "velmora.snapTone: could not keep above the others the window 'Image Window': "
    )
