"""life_color_update: the colour band painted in place, and its label."""

import traceback

import cv2
import numpy as np
import pytest


def stripes(rows=60, columns=200, channels=3):
    """A picture whose row r has every channel equal to r (alpha 200 - r)."""
    picture = np.repeat(np.arange(rows, dtype=np.uint8)[:, None], columns, axis=1)
    picture = np.repeat(picture[:, :, None], channels, axis=2).copy()
    if channels == 4:
        picture[:, :, 3] = 200 - picture[:, :, 3]
    return picture


@pytest.mark.parametrize(
    "channels, pixel, x, label, colour",
    [
        (3, (0, 128, 255), 120, "(120, 45) | 0, 128, 255", [255, 127, 0]),
        (4, (0, 128, 255, 200), 120, "(120, 45) | 0, 128, 255, 200", [255, 127, 0, 55]),
        (3, (0, 0, 0), np.int32(120), "(120, 45) | 0, 0, 0", [255, 255, 255]),
        (3, (255, 255, 255), 120, "(120, 45) | 255, 255, 255", [0, 0, 0]),
    ],
)
def test_paints_the_strip_and_labels_it_in_the_inverse_colour(
    snap, recorded_text, channels, pixel, x, label, colour
):
    picture = stripes(channels=channels)
    picture[45, 120] = pixel
    before = picture.copy()
    assert snap.life_color_update(picture, x, 45) is picture
    assert (picture[0:20] == pixel).all()
    assert np.array_equal(picture[20:], before[20:])
    ((_, args, kwargs),) = recorded_text.calls
    assert args == () and list(kwargs) == ["img", "text", "org", "fontFace", "color", "fontScale"]
    assert kwargs["img"] is picture
    assert kwargs["text"] == label
    assert kwargs["org"] == (0, 15) and kwargs["fontFace"] == cv2.FONT_HERSHEY_SIMPLEX
    assert kwargs["color"] == colour and type(kwargs["color"][0]) is int
    assert kwargs["fontScale"] == 0.5


def test_the_label_is_drawn_into_the_strip(snap):
    picture = stripes()
    picture[30, 10] = (0, 128, 255)
    before = picture.copy()
    snap.life_color_update(picture, 10, 30)
    strip = picture[0:20]
    assert (strip[[0, 19]] == (0, 128, 255)).all()  # the label keeps clear of the edges
    assert (strip == (255, 127, 0)).all(axis=2).any()
    assert np.array_equal(picture[20:], before[20:])


def test_a_short_picture_is_painted_over_entirely(snap, recorded_text):
    picture = stripes(rows=8)
    snap.life_color_update(picture, 3, 5)
    assert (picture == 5).all()


def test_inside_the_strip_the_pointer_samples_the_strip_s_previous_colour(snap, recorded_text):
    picture = stripes()
    snap.life_color_update(picture, 3, 33)
    snap.life_color_update(picture, 3, 5)
    assert (picture[0:20] == 33).all()
    assert recorded_text.calls[-1][2]["text"] == "(3, 5) | 33, 33, 33"


@pytest.mark.parametrize(
    "args, error",
    [
        ((stripes(), 200, 3), IndexError),
        ((stripes(), 3, 60), IndexError),
        (([[1, 2]], 0, 0), TypeError),
    ],
)
def test_failures_leave_the_picture_as_it_was(snap, recorded_text, args, error):
    before = np.array(args[0]).copy()
    with pytest.raises(error) as excinfo:
        snap.life_color_update(*args)
    assert np.array_equal(np.array(args[0]), before)
    assert recorded_text.calls == []
    names = [frame.name for frame in traceback.extract_tb(excinfo.value.__traceback__)]
    assert names[-1] == "velmora.snapTone.life_color_update"
