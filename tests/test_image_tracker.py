"""The mouse tracker: pointer positions, drawing and the corners of a Ctrl-drag selection."""

import cv2
import numpy as np
import pytest

DOWN, UP, MOVE = cv2.EVENT_LBUTTONDOWN, cv2.EVENT_LBUTTONUP, cv2.EVENT_MOUSEMOVE
CTRL, SHIFT = cv2.EVENT_FLAG_CTRLKEY, cv2.EVENT_FLAG_SHIFTKEY
SHAPE = (480, 640, 3)


@pytest.fixture
def helper(snap):
    return snap.MouseHelper(SHAPE)


def state(helper):
    return helper.cropping, helper.drawing


def press(helper, x, y, flags=0):
    helper.update_life_data(DOWN, x, y, flags | cv2.EVENT_FLAG_LBUTTON, None)


def release(helper, x, y):
    helper.update_life_data(UP, x, y, 0, None)


def test_starts_idle_at_the_origin(snap):
    shape = (480, 640, 3)
    helper = snap.MouseHelper(shape)
    assert vars(helper) == {
        "x": 0,
        "y": 0,
        "px": 0,
        "py": 0,
        "shape": shape,
        "mouse_selection_start": None,
        "mouse_selection_end": None,
        "cropping": False,
        "event": None,
        "drawing": False,
    }
    assert list(vars(helper)) == list(vars(snap.MouseHelper(None)))  # the order of creation
    assert helper.shape is shape


def test_movement_shifts_the_position(helper):
    helper.update_life_data(MOVE, 5, 5, 0, None)
    helper.update_life_data(MOVE, 8, 9, 0, None)
    assert (helper.px, helper.py, helper.x, helper.y) == (5, 5, 8, 9)
    assert helper.event == MOVE
    assert state(helper) == (False, False)


def test_stores_the_objects_it_is_given(helper):
    x, y, event = np.int32(7), 2.5, np.int64(MOVE)
    helper.update_life_data(event, x, y, 0, None)
    assert helper.x is x and helper.y is y and helper.event is event


SELECTING, DRAWING, IDLE = (True, False), (False, True), (False, False)


@pytest.mark.parametrize("start", ["idle", "selecting", "drawing"])
@pytest.mark.parametrize(
    "event, flags, after",
    [
        (DOWN, CTRL, SELECTING),
        (DOWN, CTRL | SHIFT, SELECTING),
        (DOWN, 0, DRAWING),
        (DOWN, SHIFT, DRAWING),
        (UP, 0, IDLE),
        (UP, CTRL, IDLE),
    ],
)
def test_state_after_a_button_event(helper, start, event, flags, after):
    if start == "selecting":
        press(helper, 1, 1, CTRL)
    elif start == "drawing":
        press(helper, 1, 1)
    helper.update_life_data(event, 3, 3, flags, None)
    assert state(helper) == after


@pytest.mark.parametrize(
    "event",
    [
        MOVE,
        cv2.EVENT_RBUTTONDOWN,
        cv2.EVENT_RBUTTONUP,
        cv2.EVENT_LBUTTONDBLCLK,
        cv2.EVENT_MOUSEWHEEL,
    ],
)
def test_other_events_only_move_the_pointer(helper, event):
    press(helper, 100, 50, CTRL)
    before = vars(helper).copy()
    helper.update_life_data(event, 200, 300, CTRL, None)
    after = vars(helper)
    assert (after["px"], after["py"], after["x"], after["y"]) == (100, 50, 200, 300)
    assert after["event"] == event
    for name in ("mouse_selection_start", "mouse_selection_end", "cropping", "drawing", "shape"):
        assert after[name] is before[name]


def test_flags_and_param_matter_only_on_a_press(helper):
    class Untouchable:
        def __getattr__(self, name):
            raise AssertionError(f"looked at {name}")

    untouchable = Untouchable()
    helper.update_life_data(MOVE, 1, 2, untouchable, untouchable)
    helper.update_life_data(UP, 1, 2, untouchable, untouchable)
    helper.update_life_data(DOWN, 1, 2, 0, untouchable)


@pytest.mark.parametrize(
    "end, qualifies",
    [
        ((111, 61), True),
        ((110, 61), False),  # exactly 10 to the right
        ((111, 60), False),  # exactly 10 down
        ((90, 61), False),  # leftwards
        ((111, 40), False),  # upwards
        ((640, 61), True),  # one past the last column
        ((641, 61), False),
        ((111, 480), True),  # one past the last row
        ((111, 481), False),
    ],
)
def test_a_release_ends_the_selection_only_past_ten_pixels_and_on_the_picture(
    helper, end, qualifies
):
    press(helper, 100, 50, CTRL)
    release(helper, *end)
    assert helper.mouse_selection_start == (100, 50)
    assert helper.mouse_selection_end == (end if qualifies else None)
    assert state(helper) == IDLE


def test_a_release_after_drawing_sets_no_corner(helper):
    press(helper, 100, 50)
    release(helper, 300, 300)
    assert helper.mouse_selection_end is None
    assert state(helper) == IDLE


def test_a_plain_press_keeps_the_corners(helper):
    press(helper, 100, 50, CTRL)
    release(helper, 150, 90)
    press(helper, 5, 5)
    assert (helper.mouse_selection_start, helper.mouse_selection_end) == ((100, 50), (150, 90))
    assert state(helper) == DRAWING


def test_stale_end_corner_survives_a_new_selection(helper):
    press(helper, 100, 50, CTRL)
    release(helper, 150, 90)
    press(helper, 200, 200, CTRL)
    assert helper.mouse_selection_start == (200, 200)
    assert helper.mouse_selection_end == (150, 90)
    assert state(helper) == SELECTING
    release(helper, 205, 300)  # too short: the old end stays
    assert helper.mouse_selection_end == (150, 90)
