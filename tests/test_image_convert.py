"""Conversions between Pillow images, OpenCV-layout arrays and clipboard bitmap bytes."""

import io

import cv2
import numpy as np
import PIL.Image
import pytest
import reference

SIZES = [(1, 1), (3, 2), (5, 7), (64, 33)]


def random_image(mode, size, seed=0):
    rng = np.random.default_rng(seed)
    data = rng.integers(0, 256, (size[1], size[0], len(mode)), dtype=np.uint8)
    return PIL.Image.fromarray(data[:, :, 0] if mode == "L" else data, mode)


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("mode, order", [("RGB", [2, 1, 0]), ("RGBA", [2, 1, 0, 3])])
def test_round_trip_through_the_opencv_layout(snap, mode, order, size):
    image = random_image(mode, size)
    before = image.tobytes()
    array = snap.pil_to_cv(image)
    assert isinstance(array, np.ndarray) and array.dtype == np.uint8
    assert array.shape == (size[1], size[0], len(mode))
    np.testing.assert_array_equal(array, np.asarray(image)[:, :, order])
    back = snap.cv_to_pil(array)
    assert isinstance(back, PIL.Image.Image) and back.mode == mode
    assert back.tobytes() == before
    assert image.tobytes() == before


def alpha_palette_image():
    image = random_image("RGBA", (6, 4), seed=3).quantize(8)
    image.putpalette(image.getpalette("RGB") + [0] * 8, "RGB")
    return image.convert("P").convert("PA")


def transparent_palette_image():
    image = random_image("RGB", (6, 4), seed=4).quantize(8)
    image.info["transparency"] = 2
    return image


@pytest.mark.parametrize(
    "make, target",
    [
        (lambda: random_image("L", (6, 4)), "RGB"),
        (lambda: random_image("L", (6, 4)).convert("1"), "RGB"),
        (lambda: random_image("RGB", (6, 4)).quantize(16), "RGB"),
        (lambda: random_image("CMYK", (6, 4)), "RGB"),
        (lambda: random_image("L", (6, 4)).convert("I"), "RGB"),
        (lambda: random_image("LA", (6, 4)), "RGBA"),
        (lambda: random_image("RGBA", (6, 4)).convert("RGBa"), "RGBA"),
        (alpha_palette_image, "RGBA"),
        (transparent_palette_image, "RGBA"),
        (lambda: random_image("RGBA", (6, 4), seed=5).quantize(8), "RGBA"),  # RGBA palette
    ],
    ids=["L", "1", "P", "CMYK", "I", "LA", "RGBa", "PA", "P+transparency", "P+RGBA palette"],
)
def test_other_modes_are_converted_first(snap, make, target):
    image = make()
    mode, before = image.mode, image.tobytes()
    expected = reference.pil_to_cv(image.convert(target))
    np.testing.assert_array_equal(snap.pil_to_cv(image), expected)
    assert (image.mode, image.tobytes()) == (mode, before)


@pytest.mark.parametrize(
    "shape, mode",
    [((2, 3, 4), "RGBA"), ((2, 3, 3), "RGB")],
)
def test_cv_to_pil_picks_the_mode_by_channel_count(snap, shape, mode):
    array = np.arange(np.prod(shape), dtype=np.uint8).reshape(shape)
    image = snap.cv_to_pil(array)
    assert (image.mode, image.size) == (mode, (shape[1], shape[0]))


@pytest.mark.parametrize(
    "argument, error",
    [
        (np.zeros((2, 3), np.uint8), IndexError),
        (np.zeros((2, 3, 2), np.uint8), cv2.error),
        (object(), AttributeError),
    ],
)
def test_cv_to_pil_lets_library_errors_through(snap, argument, error):
    with pytest.raises(error):
        snap.cv_to_pil(argument)


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("mode", ["RGB", "RGBA", "L", "P"])
def test_bmp_bytes_are_pillows_bmp_file_without_its_header(snap, mode, size):
    image = random_image("RGB", size).convert(mode) if mode != "RGBA" else random_image(mode, size)
    data = snap.pil_image_to_bmp(image)
    assert isinstance(data, bytes)
    assert data == reference.pil_image_to_bmp(image)
    assert int.from_bytes(data[:4], "little") == 40  # starts with the bitmap info header


def test_bmp_of_rgba_drops_alpha(snap):
    image = random_image("RGBA", (5, 3))
    assert snap.pil_image_to_bmp(image) == snap.pil_image_to_bmp(image.convert("RGB"))


@pytest.mark.parametrize("argument", [np.zeros((2, 2, 3), np.uint8), None, b"BM", "image.png"])
def test_bmp_refuses_anything_but_a_pillow_image(snap, monkeypatch, log, argument):
    monkeypatch.setattr(snap, "BytesIO", log.recorder("BytesIO"))
    with pytest.raises(TypeError) as excinfo:
        snap.pil_image_to_bmp(argument)
    assert str(excinfo.value) == "Image must be a PIL Image object."
    assert log.calls == []


def test_bmp_accepts_subclasses_and_uses_the_namespace_buffer(snap, monkeypatch):
    buffers = []

    class Buffer(io.BytesIO):
        def __init__(self):
            super().__init__()
            buffers.append(self)

    class Picture(PIL.Image.Image):
        pass

    image = random_image("RGB", (3, 3))
    subclassed = Picture()
    subclassed.__dict__.update(image.__dict__)
    monkeypatch.setattr(snap, "BytesIO", Buffer)
    assert snap.pil_image_to_bmp(subclassed) == reference.pil_image_to_bmp(image)
    assert len(buffers) == 1 and buffers[0].closed
