"""The picture window's copy command puts the displayed picture on the real X clipboard."""

import numpy as np
import pytest

from .test_image_window import (  # noqa: F401  (window_process is a fixture)
    inverted_in_window,
    shown_picture,
    soon,
    step,
    window_process,
)


def test_copy_puts_the_shown_picture_on_the_x_clipboard(
    xserver,
    desk,
    clipboard_tools,
    window_tools,
    window_process,  # noqa: F811
):
    from PIL import ImageGrab

    with shown_picture(xserver, window_process, 7) as (original, child, screen):
        # Invert first, so that what the clipboard gets is the window's picture, not the
        # one that was there before; then copy (a step repeated if it does not arrive).
        inverted_in_window(screen, original, child)

        def copied():
            pasted = ImageGrab.grabclipboard()
            return pasted is not None and np.array_equal(
                np.asarray(pasted.convert("RGB")), 255 - original
            )

        for _ in range(3):
            step("key", "c")
            if soon(copied, child, 5.0):
                break
        else:
            pytest.fail("the window's picture did not reach the clipboard")
        step("key", "Escape")
        output, errors = child.communicate(timeout=30)
        assert "returned None" in output, errors
