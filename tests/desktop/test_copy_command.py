"""The picture window's copy command puts the displayed picture on the real X clipboard."""

import numpy as np
import pytest
from PIL import Image

from .test_image_window import (  # noqa: F401  (window_process is a fixture)
    SIZE,
    WINDOW,
    locate,
    soon,
    step,
    wait_for,
    window_process,
    windows_named,
    xdotool,
)


def test_copy_puts_the_shown_picture_on_the_x_clipboard(
    xserver,
    desk,
    clipboard_tools,
    window_tools,
    window_process,  # noqa: F811
):
    from PIL import ImageGrab
    from Xlib import display as xdisplay

    from velmora import snapTone

    original = np.random.default_rng(7).integers(0, 256, (SIZE[1], SIZE[0], 3), dtype=np.uint8)
    snapTone.send_to_clipboard(Image.fromarray(original))
    child = window_process()
    screen = xdisplay.Display(xserver.name)
    try:
        window_id = wait_for(lambda: windows_named(WINDOW), "the window", child)[0]
        for _ in range(3):
            if soon(lambda: locate(screen, original), child, 5.0):
                break
            xdotool("windowunmap", "--sync", window_id)
            xdotool("windowmap", "--sync", window_id)
        else:
            pytest.fail("the picture was not shown")
        xdotool("windowactivate" if xserver.managed else "windowfocus", "--sync", window_id)

        # Invert first, so that what the clipboard gets is the window's picture, not the
        # one that was there before; then copy (a step repeated if it does not arrive).
        for _ in range(3):
            step("key", "a")
            if soon(lambda: locate(screen, 255 - original), child, 5.0):
                break
        else:
            pytest.fail("the picture was not inverted")

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
    finally:
        screen.close()
