"""BeginImageProcessing: the direct mode, and the interactive window driven by a script."""

import datetime
import gc
import io
import os
import sys
import traceback
import types

import cv2
import numpy as np
import PIL.Image
import pytest
from conftest import WINDOW

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "leaks"))

import check_leaks  # noqa: E402

DOWN, UP, MOVE = cv2.EVENT_LBUTTONDOWN, cv2.EVENT_LBUTTONUP, cv2.EVENT_MOUSEMOVE
CTRL = cv2.EVENT_FLAG_CTRLKEY
RED = (0, 0, 255)
FIXED_TIME = datetime.datetime(2024, 3, 5, 13, 2, 3)


def picture(rows, columns, seed=1):
    """A random RGB picture of the given size."""
    data = np.random.default_rng(seed).integers(0, 256, (rows, columns, 3), dtype=np.uint8)
    return PIL.Image.fromarray(data)


def displayed(image):
    """The picture as the window shows it: blue-green-red."""
    return np.ascontiguousarray(np.asarray(image)[:, :, ::-1])


def entries(excinfo):
    return [frame.name for frame in traceback.extract_tb(excinfo.value.__traceback__)]


@pytest.fixture
def window(picture_window):
    picture_window.clipboard = [picture(200, 300)]
    return picture_window


# ---- direct mode ---------------------------------------------------------------------------------


def test_direct_mode_inverts_onto_the_clipboard_then_plays_the_coin_sound_to_its_end(window, log):
    window.run(show_window=False, screen_size=(800, 600))
    assert log.names() == ["grabclipboard", "send_to_clipboard", "PlaySound"]
    (sent,) = log.args_of("send_to_clipboard")[0]
    assert np.array_equal(np.asarray(sent), 255 - np.asarray(window.clipboard[0]))
    # SND_FILENAME alone: the call returns once the sound has played.
    assert log.args_of("PlaySound") == [("SFX\\coins-497.wav", 0x20000)]


@pytest.mark.parametrize("show_window", [False, True])
def test_without_a_picture_either_mode_fails_before_any_sound_or_window(window, log, show_window):
    window.clipboard = [None]
    with pytest.raises(AttributeError) as excinfo:
        window.run(show_window=show_window)
    assert not {"PlaySound", "namedWindow", "destroyAllWindows"} & set(log.names())
    assert "velmora.snapTone.BeginImageProcessing" in entries(excinfo)


# ---- set-up and the end of the loop -----------------------------------------------------------


@pytest.mark.parametrize("windows", [True, False])
def test_interactive_set_up_order(window, log, windows):
    window.windows_shell(windows)
    shown = window.run(screen_size=(800, 600))
    dpi = ["SetProcessDpiAwareness"] if windows else []  # a Windows-only setting
    pinned = [] if windows else ["shell.pin_above"]  # the topmost flag is not honoured there
    assert log.names() == [
        "grabclipboard",
        *dpi,
        "GetSystemMetrics",
        "GetSystemMetrics",
        "namedWindow",
        "imshow",
        "setWindowProperty",
        *pinned,
        "setMouseCallback",
        "waitKey",
        "destroyAllWindows",
    ]
    assert log.args_of("SetProcessDpiAwareness") == ([(2,)] if windows else [])
    assert log.args_of("GetSystemMetrics") == [(0,), (1,)]
    assert log.args_of("namedWindow") == [(WINDOW,)]
    assert log.args_of("setWindowProperty") == [(WINDOW, cv2.WND_PROP_TOPMOST, 1)]
    assert log.args_of("shell.pin_above") == ([] if windows else [(WINDOW,)])
    assert log.args_of("imshow")[0][0] == WINDOW
    assert np.array_equal(shown.shown[0], displayed(window.clipboard[0]))  # not inverted
    name, callback = log.args_of("setMouseCallback")[0]
    assert name == WINDOW and callback.__func__.__name__ == "update_life_data"
    assert shown.helper.shape == (200, 300, 3)
    assert log.args_of("waitKey") == [(1,)]


@pytest.mark.parametrize(
    "script, property_queries",
    [
        ([], 0),  # Escape: the window is not asked whether it is visible
        ([0x1001B], 0),  # only the low byte of a key code counts
        ([lambda w: setattr(w, "visible", 0.0) or -1], 1),  # closed by its frame button
        ([lambda w: setattr(w, "visible", -1.0) or -1], 1),
    ],
)
def test_escape_or_a_closed_window_ends_the_call(window, log, script, property_queries):
    window.run(*script)
    assert log.names().count("getWindowProperty") == property_queries
    assert log.names().count("destroyAllWindows") == 1
    assert log.names()[-1] == "destroyAllWindows"


# ---- key commands ------------------------------------------------------------------------------


def rotated(image):
    return np.rot90(image, -1)


@pytest.mark.parametrize(
    "keys, expected",
    [
        ("aA", lambda image: image),
        ("a", lambda image: 255 - image),
        ("A", lambda image: 255 - image),
        ("R", rotated),
        ("r", rotated),
        ("rrrr", lambda image: image),
        ("+", lambda image: cv2.resize(image, (0, 0), fx=1.2, fy=1.2)),
        ("=", lambda image: cv2.resize(image, (0, 0), fx=1.2, fy=1.2)),
        ("-", lambda image: cv2.resize(image, (0, 0), fx=0.8, fy=0.8)),
        ("_", lambda image: cv2.resize(image, (0, 0), fx=0.8, fy=0.8)),
        ("ww", lambda image: image),
        ("WW", lambda image: image),
    ],
)
def test_key_commands_change_the_displayed_picture(window, keys, expected):
    shown = window.run(*keys)
    assert np.array_equal(shown.picture, expected(displayed(window.clipboard[0])))
    assert shown.helper.shape == shown.picture.shape


@pytest.mark.parametrize("key", "rR")
def test_rotation_returns_the_tracker_to_the_origin(window, key):
    shown = window.run((MOVE, 40, 30), (MOVE, 50, 35), key)
    helper = shown.helper
    assert (helper.x, helper.y, helper.px, helper.py) == (0, 0, 0, 0)
    assert helper.shape == (300, 200, 3)


@pytest.mark.parametrize("key", "tT")
def test_transparency_adds_then_removes_the_alpha_channel(window, key):
    background = np.zeros((60, 80, 3), np.uint8)
    background[20:30, 20:30] = (10, 200, 30)
    window.clipboard = [PIL.Image.fromarray(background)]
    shown = window.run(key)
    assert shown.picture.shape == (60, 80, 4)
    assert shown.picture[0, 0, 3] == 0 and shown.picture[25, 25, 3] == 255
    shown = window.run(key, key)
    assert shown.picture.shape == (60, 80, 3)
    assert shown.helper.shape == (60, 80, 3)  # the size did not change


@pytest.mark.parametrize("keys", ["a", "A", "aa", "ta"])
def test_invert_keeps_the_alpha_channel_of_a_four_channel_picture(window, keys):
    data = np.asarray(picture(40, 50, seed=3).convert("RGBA")).copy()
    data[:10, :, 3] = 0
    if keys.startswith("t"):  # made transparent in the window: an opaque picture to start
        data[:30] = (10, 20, 30, 255)
    window.clipboard = [PIL.Image.fromarray(data[..., : 3 if keys.startswith("t") else 4])]
    before = window.run(*keys[:-1]).picture.copy() if keys[:-1] else data[..., [2, 1, 0, 3]]
    after = window.run(*keys).picture
    assert np.array_equal(after[..., :3], 255 - before[..., :3])
    assert np.array_equal(after[..., 3], before[..., 3])
    assert 0 < np.count_nonzero(after[..., 3]) < after[..., 3].size


@pytest.mark.parametrize("key", [" ", "V", "v"])
def test_reload_shows_the_new_clipboard_picture_without_a_band(window, key):
    first, second = picture(200, 300), picture(90, 120, seed=2)
    window.clipboard = [first, second]
    shown = window.run("w", (MOVE, 5, 5), key, -1)
    assert np.array_equal(shown.picture, displayed(second))  # its top rows are its own
    assert shown.helper.shape == (90, 120, 3)
    shown = window.run("w")  # the next W adds a band again instead of removing rows
    assert shown.picture.shape == (110, 120, 3)


@pytest.mark.parametrize("key", "cC")
def test_copy_sends_the_displayed_picture(window, log, key):
    shown = window.run("w", key)
    (sent,) = log.args_of("send_to_clipboard")[0]
    assert sent.shape == (220, 300, 3)
    assert np.array_equal(sent, shown.picture)
    assert "PlaySound" not in log.names()


# ---- drawing and cropping ------------------------------------------------------------------------


def test_a_plain_drag_draws_red_lines_on_every_pass(window, log):
    shown = window.run((MOVE, 20, 40), (DOWN, 20, 40), (MOVE, 120, 40), "a", -1, (UP, 120, 40), -1)
    assert [args[1:] for args in log.args_of("line")] == [
        ((20, 40), (20, 40), RED, 4),
        ((20, 40), (120, 40), RED, 4),
        ((20, 40), (120, 40), RED, 4),  # the key of a pass while drawing is ignored
        ((20, 40), (120, 40), RED, 4),
    ]
    drawn = shown.picture
    assert (drawn[38:43, 20:121] == RED).all()
    untouched = displayed(window.clipboard[0])
    assert np.array_equal(drawn[50:], untouched[50:])


def test_a_ctrl_drag_crops_at_the_next_ctrl_press_ignoring_that_pass_s_key(window):
    shown = window.run((DOWN, 100, 50, CTRL), (UP, 151, 111), -1)
    assert shown.picture.shape == (200, 300, 3)  # not at the release
    assert shown.helper.mouse_selection_end == (151, 111)

    def ctrl_press_with_key(w):
        w.mouse(DOWN, 110, 60, CTRL)
        return ord("a")

    shown = window.run((DOWN, 100, 50, CTRL), (UP, 151, 111), ctrl_press_with_key, -1)
    assert np.array_equal(shown.picture, displayed(window.clipboard[0])[60:111, 110:151])
    assert shown.helper.shape == (51, 41, 3)
    assert shown.helper.mouse_selection_start is None and shown.helper.mouse_selection_end is None


def test_a_crop_switches_the_band_off_and_keeps_its_rows(window):
    crop = [(MOVE, 250, 150), (DOWN, 10, 30, CTRL), (UP, 60, 80), (DOWN, 10, 30, CTRL)]
    shown = window.run("w", *crop, -1)
    # Rows 30 to 80 of the banded picture are rows 10 to 60 of the picture; no band repaints.
    assert np.array_equal(shown.picture, displayed(window.clipboard[0])[10:60, 10:60])
    assert window.run("w", *crop, "w").picture.shape == (70, 50, 3)  # W adds a band again


@pytest.mark.parametrize("second_press", [(160, 60), (60, 130), (160, 130)])
def test_a_selection_that_would_be_empty_clears_the_corners_and_keeps_the_picture(
    window, log, second_press
):
    x, y = second_press
    shown = window.run((DOWN, 50, 50, CTRL), (UP, 150, 120), (DOWN, x, y, CTRL), (UP, x, y), "a")
    assert shown.helper.mouse_selection_start is None and shown.helper.mouse_selection_end is None
    assert np.array_equal(shown.picture, 255 - displayed(window.clipboard[0]))  # and goes on
    assert log.names().count("imshow") == 2


# ---- the colour band -----------------------------------------------------------------------------


def test_band_follows_the_pointer(window):
    shown = window.run("w", (MOVE, 30, 150), -1, (MOVE, 200, 100))
    image = displayed(window.clipboard[0])
    assert shown.picture.shape == (220, 300, 3)
    assert np.array_equal(shown.shown[-2][20:], image)  # the band lies above the picture
    assert (shown.shown[-2][0:20, -40:] == image[130, 30]).all()
    assert (shown.picture[0:20, -40:] == image[80, 200]).all()


def test_band_arithmetic_w_zoom_w(window):
    window.clipboard = [picture(300, 200)]
    shown = window.run("w", (MOVE, 150, 150), "+", "w")
    assert shown.picture.shape == (364, 240, 3)  # 24 band rows after scaling, 20 removed
    assert shown.helper.shape == (364, 240, 3)
    colour = displayed(window.clipboard[0])[130, 150]
    assert (shown.picture[0:3, -40:] == colour).all()  # 4 rows of scaled band remain on top


@pytest.mark.parametrize(
    "steps",
    [
        ["-"],  # the picture shrank under the resting pointer
        ["-", "-", "-"],
        [" "],  # a smaller picture was loaded, then the band switched on again
    ],
)
def test_band_waits_while_the_pointer_is_off_the_picture(window, steps):
    window.clipboard = [picture(200, 300), picture(100, 120, seed=2)]
    reload = steps == [" "]
    script = ["w", (MOVE, 290, 190), -1, *steps, *(["w"] if reload else []), -1, -1]
    shown = window.run(*script, (MOVE, 5, 30), -1)
    assert shown.helper.x == 5
    expected = shown.shown[-1][30, 5]
    assert (shown.picture[[0, 19]] == expected).all()  # the strip's edges, clear of the label


# ---- zoom limits -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "size, screen, zooms",
    [
        ((900, 100), (1920, 1080), True),  # rows against the height, inclusive
        ((901, 100), (1920, 1080), False),
        ((100, 1599), (1920, 1080), True),  # columns against the width, strict
        ((100, 1600), (1920, 1080), False),
        ((700, 100), (1920, 800), False),  # the measured screen, not the argument
    ],
)
def test_zoom_in_stops_at_the_screen(window, size, screen, zooms):
    window.clipboard = [picture(*size)]
    window.screen = screen
    shown = window.run("+", screen_size=(8000, 8000))
    expected = (round(size[0] * 1.2), round(size[1] * 1.2)) if zooms else size
    assert shown.picture.shape[:2] == expected


@pytest.mark.parametrize(
    "size, expected",
    [
        ((101, 500), (81, 400)),
        ((500, 101), (400, 81)),
        ((100, 500), (100, 500)),
        ((500, 100), (500, 100)),
    ],
)
def test_zoom_out_stops_at_100_pixels(window, size, expected):
    window.clipboard = [picture(*size)]
    assert window.run("-").picture.shape[:2] == expected


# ---- failures ----------------------------------------------------------------------------------


class Boom(Exception):
    pass


def boom(*args):
    raise Boom("boom")


@pytest.mark.parametrize(
    "fail_in, script",
    [
        ("imshow", []),  # set-up, once the window exists
        ("waitKey", []),
        ("send_to_clipboard", ["c"]),
        ("life_color_update", ["w"]),
        ("rotate", ["r"]),
    ],
)
def test_a_failure_in_the_window_closes_it_then_propagates_unchanged(
    window, log, snap, monkeypatch, fail_in, script
):
    target = snap if fail_in in ("send_to_clipboard", "life_color_update") else window.window
    monkeypatch.setattr(target, fail_in, boom)
    with pytest.raises(Boom, match="^boom$") as excinfo:
        window.run(*script)
    assert log.names()[-1] == "destroyAllWindows"
    assert entries(excinfo)[-2:] == ["velmora.snapTone.BeginImageProcessing", "boom"]


def test_a_failure_to_close_the_windows_leaves_the_first_failure(window, log, monkeypatch):
    monkeypatch.setattr(window.window, "waitKey", boom)
    monkeypatch.setattr(window.window, "destroyAllWindows", lambda: 1 / 0)
    with pytest.raises(Boom):
        window.run()


# ---- references ----------------------------------------------------------------------------------

CALLS = 60


def block_growth(call):
    """The growth of the allocated blocks over three rounds of CALLS calls, after a warm-up."""
    for _ in range(CALLS):
        call()
    return check_leaks.measure(call, CALLS, rounds=3)


CROP = [(DOWN, 1, 1, CTRL), (UP, 30, 30), (DOWN, 2, 2, CTRL)]
DRAW = [(DOWN, 3, 3), (MOVE, 9, 9), (UP, 9, 9)]
LEAK_SCRIPT = ["w", (MOVE, 5, 30), *"+-ratt", *CROP, *DRAW, *"csow x"]


@pytest.mark.parametrize(
    "case", ["every command", "a failing command", "band", "band off the picture"]
)
def test_calls_do_not_leak(window, log, snap, monkeypatch, case):
    # A leaked reference leaks at least one block per call; libraries' caches grow far less
    # and settle. The objects a call touches keep their reference counts.
    window.clipboard = [picture(40, 60)]
    monkeypatch.setattr(snap, "dt", types.SimpleNamespace(now=lambda: FIXED_TIME))
    monkeypatch.setattr(window.window, "imwrite", lambda path, image: False)
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    array = np.zeros((30, 40, 3), np.uint8)
    if case == "a failing command":
        monkeypatch.setattr(snap, "send_to_clipboard", boom)

    def run():
        try:
            if case.startswith("band"):
                snap.life_color_update(array, 3, 900 if case.endswith("picture") else 25)
            else:
                window.run(*LEAK_SCRIPT)
        except (Boom, IndexError):
            pass
        window.window.shown.clear()
        log.calls.clear()
        sys.stderr.seek(0)
        sys.stderr.truncate()

    watched = [window.clipboard[0], array, snap.MouseHelper, window.window, sys.intern(WINDOW)]
    run()
    gc.collect()
    counts = [sys.getrefcount(item) for item in watched]
    deltas = block_growth(run)
    assert min(deltas) < CALLS, f"allocated blocks grew by a call's worth in every round: {deltas}"
    assert [sys.getrefcount(item) for item in watched] == counts
