"""life_color_update straight into an array's memory: the same as the NumPy steps."""

import cv2
import numpy as np
import pytest
from reference import band_steps


def picture(rows, columns, channels, seed=1):
    return np.random.default_rng(seed).integers(0, 256, (rows, columns, channels), np.uint8)


LAYOUTS = {
    "packed": lambda p: p,
    "fortran": np.asfortranarray,
    "columns reversed": lambda p: p[:, ::-1],
    "channels reversed": lambda p: p[:, :, ::-1],
    "every other column": lambda p: p[:, ::2],
    "inside a wider one": lambda p: np.pad(p, ((0, 0), (3, 5), (0, 0)))[:, 3:-5],
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("channels", [3, 4, 1])
@pytest.mark.parametrize(
    "rows, x, y",
    [(60, 37, 45), (60, 37, 5), (60, -1, -1), (60, 0, 59), (12, 10, 11), (1, 0, 0)],
    ids=["below", "inside the strip", "negative", "corner", "short", "one row"],
)
def test_the_same_pixels_as_the_numpy_steps(snap, layout, channels, rows, x, y):
    # OpenCV draws only into some layouts; where it refuses, both refuse alike.
    def outcome(function):
        array = LAYOUTS[layout](picture(rows, 90, channels))
        try:
            result = function(array, x, y) is array
        except cv2.error as error:
            result = str(error)
        return result, array.tobytes()

    ours, theirs = (
        outcome(snap.life_color_update),
        outcome(lambda a, x, y: band_steps(cv2, a, x, y)),
    )
    assert ours == theirs
    if layout == "packed":
        assert ours[0] is True


@pytest.mark.parametrize(
    "x, y",
    [(7, 30), (-3, -2), (np.int64(7), 30), (True, 30), (7.0, 30), (7, 2**70)],
    ids=["ints", "negative", "numpy int", "bool", "float", "huge"],
)
@pytest.mark.parametrize(
    "make",
    [
        lambda: picture(40, 20, 3),
        lambda: picture(40, 20, 3).astype(np.uint16),
        lambda: picture(40, 20, 3)[:, :, 0],
        lambda: np.lib.stride_tricks.as_strided(picture(40, 20, 3), writeable=False),
        lambda: np.ma.masked_array(picture(40, 20, 3)),
    ],
    ids=["uint8", "uint16", "two dimensions", "read-only", "array subclass"],
)
def test_any_other_argument_is_the_numpy_steps(snap, recorded_text, log, make, x, y):
    def outcome(function):
        array = make()
        log.calls.clear()
        try:
            result = function(array, x, y)
        except Exception as error:
            return type(error), str(error), np.asarray(array).tobytes()
        calls = [
            {key: value is array if key == "img" else value for key, value in call[2].items()}
            for call in log.calls
        ]
        return result is array, np.asarray(array).tobytes(), calls

    assert outcome(snap.life_color_update) == outcome(lambda a, x, y: band_steps(snap.cv2, a, x, y))
