"""Hostile-input fuzzing of the image module's entry points; run as a script in its own process.

Arrays of every dtype, dimension count, layout and size (zero included), Pillow images of
every mode and size, and the zoo's hostile objects go into every function and method.
Required: no crash and no corrupted memory; a failure is an ordinary exception; the clipboard
is never left open.

Usage: python fuzz_image.py EXAMPLES
"""

import os
import sys

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import velmora  # noqa: E402,F401
import velmora.snapTone as snap  # noqa: E402

# isort: split
import win32clipboard  # noqa: E402
from runner import fuzz_each, require_every_entry  # noqa: E402
from zoo import anything, hostile, integers, scalars  # noqa: E402

MODES = [
    "1",
    "L",
    "LA",
    "La",
    "P",
    "PA",
    "RGB",
    "RGBA",
    "RGBa",
    "RGBX",
    "CMYK",
    "YCbCr",
    "LAB",
    "HSV",
    "I",
    "F",
    "I;16",
]

dtypes = st.one_of(
    hnp.integer_dtypes(),
    hnp.unsigned_integer_dtypes(),
    hnp.floating_dtypes(),
    hnp.boolean_dtypes(),
    hnp.complex_number_dtypes(),
    st.just(np.dtype(object)),
)


@st.composite
def arrays(draw):
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=6))
    dtype = draw(dtypes)
    if dtype == np.dtype(object):
        array = np.empty(shape, dtype=object)
    else:
        array = draw(hnp.arrays(dtype, shape))
    layout = draw(st.sampled_from(["plain", "fortran", "reversed", "strided", "readonly"]))
    if layout == "fortran":
        array = np.asfortranarray(array)
    elif layout == "reversed" and array.ndim:
        array = array[::-1]
    elif layout == "strided" and array.ndim:
        array = np.repeat(array, 2, axis=0)[::2]
    elif layout == "readonly":
        array.setflags(write=False)
    return array


@st.composite
def pictures(draw):
    mode = draw(st.sampled_from(MODES))
    size = (draw(st.integers(0, 7)), draw(st.integers(0, 7)))
    seed = draw(st.integers(0, 255))
    try:
        image = Image.new(mode, size, seed)
    except (ValueError, TypeError):
        image = Image.new("RGB", size, (seed, 0, 255 - seed))
    if mode == "P" and draw(st.booleans()):
        image.info["transparency"] = seed
    return image


image_like = st.one_of(
    arrays(),
    pictures(),
    st.builds(
        lambda a: np.ascontiguousarray(a, dtype=np.uint8),
        hnp.arrays(
            np.uint8,
            st.tuples(st.integers(0, 6), st.integers(0, 6), st.sampled_from([1, 2, 3, 4, 5])),
        ),
    ),
    anything,
)
coordinates = st.one_of(integers, st.integers(-10, 10), scalars, hostile)

ENTRIES = {
    "pil_image_to_bmp": st.tuples(image_like),
    "send_to_clipboard": st.tuples(image_like),
    "pil_to_cv": st.tuples(image_like),
    "cv_to_pil": st.tuples(image_like),
    "image_invert": st.tuples(image_like),
    "make_transparent": st.tuples(image_like),
    "MouseHelper.__init__": st.tuples(
        st.one_of(st.tuples(st.integers(-5, 500), st.integers(-5, 500), st.just(3)), anything)
    ),
    "MouseHelper.update_life_data": st.tuples(
        coordinates, coordinates, coordinates, coordinates, anything
    ),
    "life_color_update": st.tuples(image_like, coordinates, coordinates),
}


def check(name, arguments):
    try:
        if name == "MouseHelper.update_life_data":
            tracker = snap.MouseHelper((10, 10, 3))
            tracker.update_life_data(*arguments)
            tracker.update_life_data(4, arguments[1], arguments[2], 0, None)
        elif name == "MouseHelper.__init__":
            snap.MouseHelper(*arguments)
        else:
            getattr(snap, name)(*arguments)
    except NotImplementedError:
        pass
    except Exception:
        pass
    assert not win32clipboard._is_open, f"{name} left the clipboard open"


def main(examples):
    # The picture window's loop waits for keys; fuzz_reentry.py drives it.
    require_every_entry(snap, ENTRIES, exempt={"BeginImageProcessing"})
    fuzz_each(ENTRIES, examples, check)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 100)
