"""What this project's functions are measured against, written in plain Python.

(a) ``transparent_per_pixel``: the transparency algorithm transcribed step by step, one
    Python tuple per pixel and a list of them.
(b) ``transparent_numpy``: the best NumPy-vectorised equivalent we could write.
(c) The thin operations: the same Pillow, NumPy and OpenCV calls made from Python.
(d) ``SimulateKeyPress``: the key press in Python.

(a) to (c) are the tests' oracles (tests/reference.py). Each gives the same result as the
project's function for every input; the benchmark checks that on its own inputs before it
times anything.
"""

import os
import sys

import cv2

# The oracles live beside the tests, which check them against the same functions; this is the
# one place the benchmarks reach them.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

from reference import (  # noqa: E402,F401  (the comparisons run.py names)
    band_steps,
    cv_to_pil,
    pil_image_to_bmp,
    pil_to_cv,
    send_to_clipboard,
    transparent_numpy,
    transparent_per_pixel,
)


def life_color_update(cv2_main_image, x, y):
    return band_steps(cv2, cv2_main_image, x, y)


# `SimulateKeyPress` in Python. The names below are module-level, looked up at each use as the
# module's are; the benchmark binds them.
win32api = None
win32con = None
extendedKeys = frozenset()


def SimulateKeyPress(key_id, key_scancode=0, times=1):
    flags = (key_id in extendedKeys) * win32con.KEYEVENTF_EXTENDEDKEY
    for _ in range(times):
        win32api.keybd_event(key_id, key_scancode, flags, 0)
        win32api.keybd_event(key_id, key_scancode, flags | win32con.KEYEVENTF_KEYUP, 0)
