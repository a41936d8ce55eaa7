"""The tools on a real X server: key events, windows, screen and clipboard."""

import ast
import io

import pytest
from conftest import run_python
from PIL import Image

from velmora._platform import keymap

VK_LSHIFT, VK_LCONTROL = 0xA0, 0xA2
LOCKS = {0x14, 0x90, 0x91}  # Caps, Num and Scroll Lock change later keys: pressed twice


@pytest.fixture
def kb(desk):
    from velmora import strokeSmith

    return strokeSmith


@pytest.fixture
def focused(desk, make_window):
    """A shown test window that has the keyboard focus."""
    import win32gui

    window = make_window()
    win32gui.SetForegroundWindow(window.id)
    assert window.has_focus()
    return window


def test_screen_size_is_the_server_s(desk, screen_size):
    import win32api

    assert (win32api.GetSystemMetrics(0), win32api.GetSystemMetrics(1)) == screen_size


def test_simulate_key_press_reaches_the_window(kb, focused, reports):
    kb.SimulateKeyPress(65)
    kb.SimulateKeyPress(0x42, 48, 3)
    events = focused.key_events()
    assert [kind for kind, _, _ in events] == ["down", "up"] * 4
    assert focused.typed(events) == "abbb"
    assert reports.items == []


@pytest.mark.parametrize(
    "chord, typed, held",
    [
        ({VK_LSHIFT: 42, 65: 30}, "A", "Shift"),
        ({0x10: 0x36, 0x5A: 44}, "Z", "Shift"),  # generic Shift, right-hand scan code
        ({VK_LCONTROL: 29, 67: 46}, "c", "Control"),
    ],
)
def test_hotkey_chord_holds_the_modifier(kb, focused, chord, typed, held):
    from Xlib import X

    kb.SimulateHotKeyPress(chord)
    events = focused.key_events()
    assert [kind for kind, _, _ in events] == ["down", "down", "up", "up"]
    assert focused.typed(events) == typed
    mask = X.ShiftMask if held == "Shift" else X.ControlMask
    assert events[1][2] & mask  # the letter went down while the modifier was held


def test_every_mapped_key_arrives_as_its_keysym(desk, focused, xserver):
    import win32api

    display = desk.connection().display()
    wrong, unmapped = [], []
    for vk, name in sorted(keymap.KEYSYMS.items()):
        keysym = keymap.keysym_value(name)
        if not display.keysym_to_keycode(keysym):
            with pytest.raises(keymap.UnmappedKey, match=name):
                win32api.keybd_event(vk, 0, 0, 0)
            unmapped.append(name)
            continue
        presses = 2 if vk in LOCKS else 1
        for _ in range(presses):
            win32api.keybd_event(vk, 0, 0, 0)
            win32api.keybd_event(vk, 0, 2, 0)
        events = focused.key_events()
        if [kind for kind, _, _ in events] != ["down", "up"] * presses or not all(
            keysym in focused.keysyms(code) for _, code, _ in events
        ):
            wrong.append(name)
    # A window manager may keep a key for itself (openbox: Print, for screenshots).
    assert wrong == (["Print"] if xserver.managed and wrong else [])
    # A plain Xvfb keyboard lacks only rare keys (F13-F24 and the like).
    assert len(unmapped) < 20
    assert not {"Return", "BackSpace", "Left", "Down", "grave"} & set(unmapped)


def test_find_window_by_class(desk, make_window):
    import win32gui
    import win32ui

    window = make_window("notes", "Editor", title="Brief – notes.txt")
    make_window("other", "Other")
    for name in ("Editor", "notes"):  # class or instance name
        assert win32ui.FindWindow(name, None).GetSafeHwnd() == window.id
    assert win32ui.FindWindow("Editor", "Brief – notes.txt").GetSafeHwnd() == window.id
    assert win32gui.GetWindowText(window.id) == "Brief – notes.txt"
    for name, title in (("Nowhere", None), ("Editor", "Another title")):
        with pytest.raises(win32ui.error):
            win32ui.FindWindow(name, title)


def test_find_prefers_a_shown_window(desk, make_window):
    import win32ui

    make_window(mapped=False)  # a toolkit's hidden helper window of the same class
    shown = make_window()
    make_window(mapped=False)
    assert win32ui.FindWindow("VelmoraTest", None).GetSafeHwnd() == shown.id


def test_hidden_window_is_restored(desk, make_window):
    import win32con
    import win32gui

    window = make_window().unmap()
    assert win32gui.IsWindowVisible(window.id) == 0
    assert win32gui.ShowWindow(window.id, win32con.SW_RESTORE) == 0  # was not visible
    assert win32gui.IsWindowVisible(window.id) == 1
    assert win32gui.ShowWindow(window.id, win32con.SW_HIDE) == 1
    assert win32gui.IsWindowVisible(window.id) == 0


def test_minimised_window_is_restored_and_focused(desk, make_window, xserver):
    import win32con
    import win32gui

    window = make_window()
    assert win32gui.ShowWindow(window.id, win32con.SW_MINIMIZE) == 1
    assert not window.viewable()
    # Iconified by a window manager, a window is still "visible", as a minimised one is on
    # Windows; without one, minimising can only unmap it.
    assert win32gui.IsWindowVisible(window.id) == (1 if xserver.managed else 0)
    win32gui.ShowWindow(window.id, win32con.SW_RESTORE)
    assert window.viewable()
    win32gui.SetForegroundWindow(window.id)
    assert window.has_focus()


def test_set_foreground_focuses_or_refuses(desk, make_window):
    import pywintypes
    import win32gui

    first, second = make_window(), make_window()
    win32gui.SetForegroundWindow(first.id)
    assert first.has_focus() and win32gui.GetForegroundWindow() == first.id
    win32gui.SetForegroundWindow(second.id)
    assert second.has_focus() and win32gui.GetForegroundWindow() == second.id
    hidden = make_window(mapped=False)
    gone = make_window()
    gone.close()
    for hwnd in (hidden.id, gone.id, 0, -5):
        with pytest.raises(pywintypes.error):
            win32gui.SetForegroundWindow(hwnd)
        assert win32gui.ShowWindow(hwnd, 0) == 0
        assert win32gui.IsWindowVisible(hwnd) == 0
    assert second.has_focus()
    assert win32gui.GetWindowText(gone.id) == "" == win32gui.GetWindowText(-5)


def grab_clipboard_elsewhere():
    """What PIL.ImageGrab.grabclipboard() returns in another process: (size, RGB bytes) or None."""
    result = run_python(
        """
        from PIL import ImageGrab
        image = ImageGrab.grabclipboard()
        print(None if image is None else (image.size, image.convert("RGB").tobytes().hex()))
        """
    )
    assert result.returncode == 0, result.stderr
    return ast.literal_eval(result.stdout.strip())


def dib(picture):
    bitmap = io.BytesIO()
    picture.save(bitmap, "BMP")
    return bitmap.getvalue()[14:]


def test_published_picture_is_pasted_by_another_process(desk, clipboard_tools):
    first = Image.new("RGB", (9, 4), (20, 200, 120))
    first.putpixel((0, 0), (255, 0, 0))
    first.putpixel((8, 3), (0, 0, 255))
    desk.display().publish_clipboard({8: dib(first)})
    assert grab_clipboard_elsewhere() == ((9, 4), first.tobytes().hex())
    assert grab_clipboard_elsewhere() == ((9, 4), first.tobytes().hex())  # it stays there
    second = first.transpose(Image.Transpose.ROTATE_90)
    desk.display().publish_clipboard(
        {8: dib(second)}
    )  # replaces the first, served by another writer
    assert grab_clipboard_elsewhere() == ((4, 9), second.tobytes().hex())
    desk.display().publish_clipboard({})
    assert grab_clipboard_elsewhere() is None


def test_find_and_send_keys_to_window(kb, make_window, reports):
    import win32gui

    target = make_window("velmoraTarget", "VelmoraTarget").unmap()
    other = make_window()
    win32gui.SetForegroundWindow(other.id)
    kb.FindAndSendKeysToWindow("VelmoraTarget", 65, kb.SimulateKeyPress)
    assert reports.items == []
    assert target.has_focus()
    assert target.typed() == "a" and other.typed() == ""


def test_key_sequence_reaches_the_window(kb, focused, reports):
    kb.SimulateKeyPressSequence(((0x48, 35), (0x49, 23), (0xBE, 52)), 0.01)
    assert reports.items == []
    assert focused.typed() == "hi."
