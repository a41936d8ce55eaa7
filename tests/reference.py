"""The plain Python, NumPy, Pillow and OpenCV statements that the native fast paths must agree
with: one version of each, shared by the tests and the benchmarks.

Each function is the statements its docstring names, written out as directly as possible; a
fast path is right when it gives what these give, byte for byte.
"""

from io import BytesIO

import cv2
import numpy as np
import PIL.Image

TRANSPARENT = (255, 255, 255, 0)


# ---- the colour band -----------------------------------------------------------------------------


def band_steps(cv2_module, cv2_main_image, x, y):
    """The colour band with NumPy and OpenCV: the top 20 rows take the colour at (x, y), then
    ``cv2_module.putText`` labels them with the position and the colour, drawn in its inverse.

    OpenCV comes as a parameter so that a test can hand in the same stand-in it rebinds in the
    module under test."""
    cv2_main_image[0:20] = cv2_main_image[0:20] * 0 + cv2_main_image[y, x]
    cv2_module.putText(
        img=cv2_main_image,
        text="(" + f"{x}" + ", " + f"{y}" + ") | " + ", ".join(cv2_main_image[y, x].astype(str)),
        org=(0, 15),
        fontFace=cv2_module.FONT_HERSHEY_SIMPLEX,
        color=(~cv2_main_image[y, x]).tolist(),
        fontScale=0.5,
    )
    return cv2_main_image


# ---- background transparency ---------------------------------------------------------------------


def transparent_per_pixel(image):
    """The transparency rules pixel by pixel through Pillow's getdata, getcolors and putdata:
    the most frequent colour (ties to the larger tuple) is the background, and every pixel whose
    red is within 9 of its red and whose green and blue equal its own becomes transparent white.
    Alpha is never compared."""
    image = image.convert("RGBA")
    data_items = image.getdata()
    output_image = []
    bg_color = max(image.getcolors(image.size[0] * image.size[1]))[1]
    for item in data_items:
        if all(
            [
                abs(item[0] - bg_color[0]) < 10,
                abs(item[1] - bg_color[1]) < 1,
                abs(item[2] - bg_color[2]) < 1,
            ]
        ):
            output_image.append(TRANSPARENT)
        else:
            output_image.append(item)
    image.putdata(output_image)
    return image


# The four bytes of transparent white as one little- or big-endian word, as NumPy reads them.
TRANSPARENT_WORD = np.frombuffer(bytes(TRANSPARENT), np.uint32)[0]


def most_frequent_rgba(pixels, words):
    """The most frequent (r, g, b, a) of an h x w x 4 array, ties going to the larger tuple;
    ``words`` is the same memory read as one 32-bit word per pixel."""
    alpha = pixels[..., 3]
    if (alpha == alpha.flat[0]).all():
        # One alpha value (a screenshot): count the 2^24 colours straight into a table.
        colour_mask = np.frombuffer(bytes([255, 255, 255, 0]), np.uint32)[0]
        counts = np.bincount((words & colour_mask).reshape(-1), minlength=1 << 24)
        ties = np.flatnonzero(counts == counts.max()).astype(np.uint32)
        tied = np.frombuffer(ties.tobytes(), np.uint8).reshape(-1, 4)
        red, green, blue, _ = (int(v) for v in tied[np.lexsort(tied[:, 2::-1].T)[-1]])
        return red, green, blue, int(alpha.flat[0])
    # Any alpha: sort the 32-bit colours, made to order as the tuples do.
    wide = pixels.reshape(-1, 4).astype(np.uint32)
    keys = wide[:, 0] << 24 | wide[:, 1] << 16 | wide[:, 2] << 8 | wide[:, 3]
    colours, counts = np.unique(keys, return_counts=True)
    key = int(colours[np.flatnonzero(counts == counts.max())[-1]])
    return key >> 24, key >> 16 & 255, key >> 8 & 255, key & 255


def transparent_numpy(image):
    """The same rules as ``transparent_per_pixel``, vectorised with NumPy over the whole
    picture (the best NumPy version we could write)."""
    image = image.convert("RGBA")
    pixels = np.asarray(image)
    words = pixels.view(np.uint32)[..., 0]
    red, green, blue, _ = most_frequent_rgba(pixels, words)
    # red within 9 either way: one unsigned comparison after a wrapping subtraction
    low, high = max(0, red - 9), min(255, red + 9)
    matches = pixels[..., 0] - np.uint8(low) <= np.uint8(high - low)
    green_blue_mask = np.frombuffer(bytes([0, 255, 255, 0]), np.uint32)[0]
    green_blue = np.frombuffer(bytes([0, green, blue, 0]), np.uint32)[0]
    matches &= (words & green_blue_mask) == green_blue
    edited = np.where(matches, TRANSPARENT_WORD, words)
    return PIL.Image.fromarray(edited.view(np.uint8).reshape(pixels.shape), "RGBA")


# ---- conversions ---------------------------------------------------------------------------------


def pil_to_cv(image):
    """A Pillow image as an OpenCV array: ``np.asarray`` then ``cv2.cvtColor`` to BGRA for an
    RGBA image, to BGR for any other."""
    cv2_main_image = np.asarray(image)
    if image.mode == "RGBA":
        return cv2.cvtColor(cv2_main_image, cv2.COLOR_RGBA2BGRA)
    return cv2.cvtColor(cv2_main_image, cv2.COLOR_RGB2BGR)


def cv_to_pil(cv2_main_image):
    """An OpenCV array as a Pillow image: ``cv2.cvtColor`` back to RGBA for four channels, to
    RGB for any other count, then ``PIL.Image.fromarray``."""
    if cv2_main_image.shape[2] == 4:
        return PIL.Image.fromarray(cv2.cvtColor(cv2_main_image, cv2.COLOR_BGRA2RGBA))
    return PIL.Image.fromarray(cv2.cvtColor(cv2_main_image, cv2.COLOR_BGR2RGB))


def pil_image_to_bmp(image):
    """The clipboard bitmap: the RGB conversion saved as BMP into a ``BytesIO``, without the
    14-byte file header."""
    if not isinstance(image, PIL.Image.Image):
        raise TypeError("Image must be a PIL Image object.")
    output = BytesIO()
    image.convert("RGB").save(output, "BMP")
    data = output.getvalue()[14:]
    output.close()
    return data


def send_to_clipboard(image, win32clipboard):
    """An array (through ``cv_to_pil``) or a Pillow image put on ``win32clipboard`` as a bitmap
    by the four clipboard calls."""
    if not isinstance(image, np.ndarray) and not isinstance(image, PIL.Image.Image):
        raise TypeError("image must be a valid numpy array or PIL Image object")
    if isinstance(image, np.ndarray):
        image = cv_to_pil(image)
    image = pil_image_to_bmp(image)
    win32clipboard.OpenClipboard()
    win32clipboard.EmptyClipboard()
    win32clipboard.SetClipboardData(win32clipboard.CF_DIB, image)
    win32clipboard.CloseClipboard()
