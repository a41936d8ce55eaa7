"""Putting pictures on the clipboard, and the in-memory clipboard that stands in for Windows'."""

import types

import numpy as np
import PIL.Image
import pytest
import pywintypes  # noqa: E402
import reference

import velmora  # noqa: F401  (makes the Windows modules importable everywhere)

CLIPBOARD_CALLS = ["OpenClipboard", "EmptyClipboard", "SetClipboardData", "CloseClipboard"]


def picture(mode="RGB", size=(5, 3)):
    """A random picture; its RGBA version has the same colours and a random alpha band."""
    rng = np.random.default_rng(7)
    data = rng.integers(0, 256, (size[1], size[0], 4), dtype=np.uint8)
    if mode == "RGBA":
        return PIL.Image.fromarray(data, "RGBA")
    return PIL.Image.fromarray(data[:, :, :3])


def recording_clipboard(log, fail=None, error=None):
    """A win32clipboard whose calls are logged; ``fail`` names a call that raises ``error``."""

    def call(name):
        def effect(*args):
            if name == fail:
                raise error
            return 7 if name == "SetClipboardData" else None

        return log.recorder(name, effect=effect)

    return types.SimpleNamespace(CF_DIB=4242, **{name: call(name) for name in CLIPBOARD_CALLS})


# ---- the stand-in --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda board: board.CloseClipboard(),
        lambda board: board.EmptyClipboard(),
        lambda board: board.SetClipboardData(board.CF_DIB, b"x"),
        lambda board: board.GetClipboardData(board.CF_DIB),
    ],
)
def test_stand_in_refuses_calls_while_closed(clipboard, call):
    with pytest.raises(pywintypes.error) as excinfo:
        call(clipboard)
    assert excinfo.value.winerror == 1418


def test_stand_in_refuses_a_second_open(clipboard):
    clipboard.OpenClipboard()
    with pytest.raises(pywintypes.error) as excinfo:
        clipboard.OpenClipboard()
    assert (excinfo.value.winerror, excinfo.value.funcname) == (5, "OpenClipboard")
    clipboard.CloseClipboard()
    clipboard.OpenClipboard()


def test_stand_in_keeps_formats_until_emptied(clipboard):
    clipboard.OpenClipboard()
    clipboard.EmptyClipboard()
    assert isinstance(clipboard.SetClipboardData(clipboard.CF_DIB, bytearray(b"dib")), int)
    clipboard.SetClipboardData(clipboard.CF_UNICODETEXT, "größe")
    clipboard.CloseClipboard()
    assert clipboard.IsClipboardFormatAvailable(clipboard.CF_DIB) == 1
    clipboard.OpenClipboard()
    assert clipboard.GetClipboardData(clipboard.CF_DIB) == b"dib"
    assert clipboard.GetClipboardData(clipboard.CF_UNICODETEXT) == "größe"
    with pytest.raises(pywintypes.error):
        clipboard.GetClipboardData(clipboard.CF_TEXT)
    clipboard.EmptyClipboard()
    clipboard.CloseClipboard()
    assert clipboard.IsClipboardFormatAvailable(clipboard.CF_DIB) == 0


def test_stand_in_publishes_the_contents_when_closed_after_a_change(clipboard, monkeypatch, log):
    from velmora._platform import desktop

    monkeypatch.setattr(
        desktop, "_display", types.SimpleNamespace(publish_clipboard=log.recorder("publish"))
    )
    clipboard.OpenClipboard()
    clipboard.CloseClipboard()
    clipboard.OpenClipboard()
    clipboard.EmptyClipboard()
    clipboard.SetClipboardData(clipboard.CF_DIB, b"dib")
    assert log.calls == []
    clipboard.CloseClipboard()
    assert log.calls == [("publish", ({clipboard.CF_DIB: b"dib"},))]


# ---- send_to_clipboard ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [
        lambda: picture("RGB"),
        lambda: np.ascontiguousarray(np.asarray(picture("RGB"))[:, :, ::-1]),  # BGR
        lambda: picture("RGBA"),
        lambda: np.ascontiguousarray(np.asarray(picture("RGBA"))[:, :, [2, 1, 0, 3]]),  # BGRA
    ],
    ids=["RGB image", "BGR array", "RGBA image", "BGRA array"],
)
def test_stores_the_picture_without_alpha_as_a_device_independent_bitmap(snap, clipboard, make):
    clipboard.OpenClipboard()
    clipboard.SetClipboardData(clipboard.CF_UNICODETEXT, "before")
    clipboard.CloseClipboard()

    assert snap.send_to_clipboard(make()) is None

    clipboard.OpenClipboard()
    stored = clipboard.GetClipboardData(clipboard.CF_DIB)
    assert stored == reference.pil_image_to_bmp(picture("RGB"))
    assert clipboard.IsClipboardFormatAvailable(clipboard.CF_UNICODETEXT) == 0
    clipboard.CloseClipboard()


def test_calls_the_clipboard_in_order(snap, monkeypatch, log):
    monkeypatch.setattr(snap, "win32clipboard", recording_clipboard(log))
    image = picture()
    snap.send_to_clipboard(image)
    assert log.names() == CLIPBOARD_CALLS
    assert log.calls[0] == ("OpenClipboard", ())
    assert log.args_of("SetClipboardData") == [(4242, snap.pil_image_to_bmp(image))]


@pytest.mark.parametrize(
    "argument, error",
    [
        ([[1, 2, 3]], TypeError),
        (b"BM...", TypeError),
        (None, TypeError),
        (np.zeros((4, 4), np.uint8), IndexError),  # no channel axis
        (np.zeros((4, 4, 2), np.uint8), Exception),  # OpenCV refuses two channels
    ],
)
def test_leaves_the_clipboard_alone_when_the_picture_cannot_be_converted(
    snap, clipboard, argument, error
):
    clipboard.OpenClipboard()
    clipboard.EmptyClipboard()
    clipboard.SetClipboardData(clipboard.CF_DIB, b"before")
    clipboard.CloseClipboard()
    sequence = clipboard.GetClipboardSequenceNumber()

    with pytest.raises(error) as excinfo:
        snap.send_to_clipboard(argument)
    if error is TypeError:
        assert str(excinfo.value) == "image must be a valid numpy array or PIL Image object"

    assert clipboard.GetClipboardSequenceNumber() == sequence
    clipboard.OpenClipboard()  # not left open
    assert clipboard.GetClipboardData(clipboard.CF_DIB) == b"before"
    clipboard.CloseClipboard()


@pytest.mark.parametrize(
    "failing, calls",
    [
        ("OpenClipboard", ["OpenClipboard"]),  # not ours to close
        ("EmptyClipboard", ["OpenClipboard", "EmptyClipboard", "CloseClipboard"]),
        ("SetClipboardData", CLIPBOARD_CALLS),
        ("CloseClipboard", CLIPBOARD_CALLS),
    ],
)
def test_a_failed_step_propagates_and_an_opened_clipboard_is_closed(
    snap, monkeypatch, log, failing, calls
):
    error = pywintypes.error(5, failing, "Access is denied.")
    monkeypatch.setattr(snap, "win32clipboard", recording_clipboard(log, failing, error))
    with pytest.raises(pywintypes.error) as excinfo:
        snap.send_to_clipboard(picture())
    assert excinfo.value is error
    assert log.names() == calls


def test_the_first_error_wins_when_closing_fails_too(snap, monkeypatch, log):
    error = pywintypes.error(5, "SetClipboardData", "Access is denied.")
    board = recording_clipboard(log, "SetClipboardData", error)
    board.CloseClipboard = log.recorder("CloseClipboard", effect=lambda: 1 / 0)
    monkeypatch.setattr(snap, "win32clipboard", board)
    with pytest.raises(pywintypes.error) as excinfo:
        snap.send_to_clipboard(picture())
    assert excinfo.value is error
    assert log.names() == CLIPBOARD_CALLS
