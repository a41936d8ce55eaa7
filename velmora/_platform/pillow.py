"""The clipboard picture for the image module, read by this layer instead of by Pillow.

On Linux, Pillow's ``ImageGrab.grabclipboard`` runs a reader program without a time limit and
opens whatever bytes arrive with every installed image plugin: any program can offer a
PostScript file as image/png and have it run through Ghostscript, or a small PNG that decodes
to gigabytes. The image module therefore sees ``PIL`` through ``package``: the same Pillow,
except that ``ImageGrab.grabclipboard`` is ``grabclipboard`` below. Pillow itself, and every
other user of it in the process, is left unchanged.

``grabclipboard`` asks the backend for the clipboard's picture as PNG bytes (with a time limit,
the helper killed and reaped), opens them as PNG only, and refuses a picture of more than
MAX_PIXELS pixels before decoding it; an ordinary screenshot, up to 8K (7680 x 4320), always
passes.
"""

import io
import types
import warnings

from velmora._platform import desktop

# The largest picture opened from the clipboard: 8K UHD with room to spare.
MAX_PIXELS = 40_000_000


class PictureRefused(ValueError):
    """The clipboard offers a picture this layer does not open."""


class _Standin(types.ModuleType):
    """A module that answers as ``real`` does, except for the names given."""

    def __init__(self, real, **overrides):
        super().__init__(real.__name__, real.__doc__)
        self.__dict__.update(overrides)
        self._real = real

    def __getattr__(self, name):
        return getattr(self._real, name)


def open_png(data):
    """The Pillow image of the PNG bytes ``data``, checked for size before it is decoded."""
    from PIL import Image, UnidentifiedImageError

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", Image.DecompressionBombWarning)
            image = Image.open(io.BytesIO(data), formats=["PNG"])  # reads the header only
    except UnidentifiedImageError:
        raise PictureRefused("the clipboard's picture, offered as PNG, is not a PNG") from None
    except Image.DecompressionBombError as error:
        raise PictureRefused(f"the clipboard's picture is too large to open: {error}") from None
    width, height = image.size
    if width * height > MAX_PIXELS:
        image.close()
        raise PictureRefused(
            f"the clipboard's picture has {width} x {height} pixels, more than the "
            f"{MAX_PIXELS:,} this tool opens"
        )
    image.load()
    return image


def grabclipboard():
    """The clipboard's picture as a Pillow image, or None when it holds none."""
    data = desktop.display().clipboard_picture()
    return None if data is None else open_png(data)


def package(pil):
    """``pil`` (the PIL package) with ``ImageGrab.grabclipboard`` replaced by this layer's."""
    import PIL.ImageGrab

    return _Standin(pil, ImageGrab=_Standin(PIL.ImageGrab, grabclipboard=grabclipboard))
