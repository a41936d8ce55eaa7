"""Synthetic screenshots: what users copy before they press a key in the picture window.

A flat background, a title bar, a tool bar and a side panel, pastel blocks (buttons, cards,
images) and lines of anti-aliased text in dark and coloured inks. The same picture comes
out for the same size on every run; at any size about 45 % of it is background.
"""

import string

import cv2
import numpy as np
import PIL.Image

BACKGROUND = (243, 243, 243)
LETTERS = np.array(list(string.ascii_letters + string.digits + "     "))


def screenshot_array(width, height, seed=7):
    """The screenshot as an RGB array of ``height`` x ``width`` x 3."""
    rng = np.random.default_rng(seed)
    scale = width / 1920
    picture = np.empty((height, width, 3), np.uint8)
    picture[:] = BACKGROUND

    def box(left, top, right, bottom, colour):
        cv2.rectangle(picture, (left, top), (right, bottom), colour, -1)

    box(0, 0, width, int(32 * scale), (60, 60, 60))  # title bar
    box(0, int(32 * scale), width, int(80 * scale), (230, 230, 230))  # tool bar
    box(0, int(80 * scale), int(300 * scale), height, (246, 248, 250))  # side panel
    for _ in range(40):
        left, top = int(rng.integers(0, width)), int(rng.integers(int(80 * scale), height))
        right = left + int(rng.integers(40, 400) * scale)
        bottom = top + int(rng.integers(20, 200) * scale)
        box(left, top, right, bottom, tuple(int(c) for c in rng.integers(150, 256, 3)))

    baseline = int(100 * scale)
    while baseline < height:
        left = int(rng.integers(0, 200) * scale)
        while left < width - 50:
            length = int(rng.integers(10, 60))
            text = "".join(rng.choice(LETTERS, length))
            font_scale = float(rng.choice([0.45, 0.5, 0.6])) * scale
            if rng.random() < 0.8:
                ink = (20, 20, 20)
            else:
                ink = tuple(int(c) for c in rng.integers(0, 200, 3))
            cv2.putText(
                picture,
                text,
                (left, baseline),
                cv2.FONT_HERSHEY_SIMPLEX,
                font_scale,
                ink,
                1,
                cv2.LINE_AA,
            )
            left += int(length * 22 * font_scale) + int(rng.integers(20, 120) * scale)
        baseline += int(rng.integers(22, 40) * scale)
    return picture


def screenshot(width, height, seed=7):
    """The screenshot as an RGB Pillow image, as the clipboard hands it over."""
    return PIL.Image.fromarray(screenshot_array(width, height, seed), "RGB")


def screenshot_bgr(width, height, seed=7):
    """The screenshot as an OpenCV-layout (BGR) array, as the picture window shows it."""
    return np.ascontiguousarray(screenshot_array(width, height, seed)[:, :, ::-1])


def noisy_array(width, height, seed=7):
    """A flat background with 4 % pixels of random colours and 1 % near-background pixels
    (red a little off, or green or blue one off), as an RGB array of ``height`` x ``width``
    x 3: a picture of many colours in short runs."""
    rng = np.random.default_rng(seed)
    picture = np.empty((height, width, 3), np.uint8)
    picture[:] = BACKGROUND
    flat = picture.reshape(-1, 3)
    count = width * height
    noise = rng.choice(count, count // 20, replace=False)
    random_part, near_part = noise[: count // 25], noise[count // 25 :]
    flat[random_part] = rng.integers(0, 256, (random_part.size, 3))
    offsets = np.zeros((near_part.size, 3), int)
    channel = rng.integers(0, 3, near_part.size)
    offsets[np.arange(near_part.size), channel] = rng.choice(
        [-12, -9, -1, 1, 9, 12], near_part.size
    )
    flat[near_part] = np.clip(np.array(BACKGROUND) + offsets, 0, 255)
    return picture


def noisy(width, height, seed=7):
    """The noisy picture as an RGB Pillow image."""
    return PIL.Image.fromarray(noisy_array(width, height, seed), "RGB")
