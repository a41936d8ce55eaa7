"""Colour inversion and background transparency."""

import re
import sys
import types

import numpy as np
import PIL.Image
import PIL.ImageOps
import pytest
import reference
from conftest import run_python
from hypothesis import given, settings
from hypothesis import strategies as st

TRANSPARENT = (255, 255, 255, 0)
# make_transparent reads genuine RGB and RGBA Pillow images in bands of about a megabyte into a
# new image, replacing a background guessed from a sample and proving the guess on the way;
# when the proof fails, the colours are counted exactly, sorted below this many pixels and
# grouped from it on. Other images are converted and edited whole.
GROUPING_FROM = 1 << 17
BAND_BYTES = 1 << 20


def pixels(image):
    return [tuple(p) for p in np.asarray(image.convert("RGBA")).reshape(-1, 4).tolist()]


def image_of(colours, width):
    data = np.array(colours, np.uint8).reshape(-1, width, 4)
    return PIL.Image.fromarray(data, "RGBA")


def expected_transparent(image):
    return pixels(reference.transparent_per_pixel(image))


@pytest.fixture(params=["raw", "general"])
def transparent(request, snap, monkeypatch):
    """make_transparent, run over raw pixel bytes or, with the image class out of reach,
    through getdata/getcolors/putdata pixel by pixel."""
    if request.param == "general":
        monkeypatch.setattr(snap, "PIL", types.SimpleNamespace())
    return snap.make_transparent


pytestmark = pytest.mark.filterwarnings("ignore:.*getdata is deprecated:DeprecationWarning")


# ---- image_invert --------------------------------------------------------------------------------


@pytest.fixture
def sent(snap, monkeypatch, log):
    """What image_invert hands to send_to_clipboard."""
    monkeypatch.setattr(snap, "send_to_clipboard", log.recorder("send_to_clipboard"))
    return log


@pytest.mark.parametrize("mode", ["RGB", "L", "1", "P"])
def test_invert_sends_the_inverted_picture(snap, sent, mode):
    rng = np.random.default_rng(1)
    image = PIL.Image.fromarray(rng.integers(0, 256, (4, 5, 3), dtype=np.uint8)).convert(mode)
    before = image.tobytes()
    try:
        expected = PIL.ImageOps.invert(image)
    except Exception as refusal:  # mode "P" before Pillow 13: the library's error passes through
        with pytest.raises(type(refusal), match=re.escape(str(refusal))):
            snap.image_invert(image)
        assert sent.calls == []
    else:
        assert snap.image_invert(image) is None
        [(inverted,)] = sent.args_of("send_to_clipboard")
        assert inverted.mode == mode
        assert inverted.tobytes() == expected.tobytes()
    assert image.tobytes() == before


def test_invert_keeps_the_alpha_band(snap, sent):
    image = image_of([(0, 10, 200, 0), (255, 128, 1, 77), (3, 4, 5, 255)], 3)
    before = image.tobytes()
    snap.image_invert(image)
    [(inverted,)] = sent.args_of("send_to_clipboard")
    assert inverted.mode == "RGBA"
    assert pixels(inverted) == [(255, 245, 55, 0), (0, 127, 254, 77), (252, 251, 250, 255)]
    assert image.tobytes() == before


def test_invert_puts_the_picture_on_the_clipboard_without_alpha(snap, clipboard):
    image = image_of([(0, 10, 200, 0), (255, 128, 1, 77)], 2)
    snap.image_invert(image)
    clipboard.OpenClipboard()
    stored = clipboard.GetClipboardData(clipboard.CF_DIB)
    clipboard.CloseClipboard()
    inverted_rgb = image_of([(255, 245, 55, 255), (0, 127, 254, 255)], 2).convert("RGB")
    assert stored == snap.pil_image_to_bmp(inverted_rgb)


@pytest.mark.parametrize("mode", ["LA", "CMYK", "I"])
def test_invert_sends_nothing_when_pillow_refuses_the_mode(snap, sent, mode):
    with pytest.raises(OSError):
        snap.image_invert(PIL.Image.new(mode, (2, 2)))
    assert sent.calls == []


@pytest.mark.parametrize(
    "bands, message",
    [
        (3, "need more than 3 values to unpack"),
        (1, "need more than 1 value to unpack"),
        (5, "too many values to unpack (expected 4)"),
    ],
)
def test_invert_needs_four_bands_for_rgba(snap, sent, bands, message):
    band = PIL.Image.new("L", (2, 2))
    fake = types.SimpleNamespace(mode="RGBA", split=lambda: (band,) * bands)
    with pytest.raises(ValueError) as excinfo:
        snap.image_invert(fake)
    assert str(excinfo.value) == message
    assert sent.calls == []


# ---- make_transparent: the rules -----------------------------------------------------------------


@pytest.mark.parametrize(
    "colour, replaced",
    [
        ((200, 200, 200, 255), True),
        ((209, 200, 200, 255), True),
        ((191, 200, 200, 255), True),
        ((200, 200, 200, 0), True),  # alpha is not compared
        ((210, 200, 200, 255), False),
        ((190, 200, 200, 255), False),
        ((200, 201, 200, 255), False),
        ((200, 199, 200, 255), False),
        ((200, 200, 199, 255), False),
        ((200, 200, 201, 255), False),
    ],
)
def test_transparency_thresholds(transparent, colour, replaced):
    background = (200, 200, 200, 255)
    result = transparent(image_of([background] * 3 + [colour], 4))
    assert pixels(result) == [TRANSPARENT] * 3 + [TRANSPARENT if replaced else colour]


@pytest.mark.parametrize(
    "first, second, background",
    [
        ((0, 0, 0, 255), (255, 255, 255, 255), (255, 255, 255, 255)),
        ((100, 0, 0, 255), (120, 0, 0, 255), (120, 0, 0, 255)),
        ((7, 8, 9, 10), (7, 8, 9, 11), (7, 8, 9, 11)),  # decided by alpha alone
        ((7, 8, 10, 0), (7, 8, 9, 255), (7, 8, 10, 0)),
    ],
)
@pytest.mark.parametrize("size", [(4, 2), (400, 330)], ids=["small", "large"])
def test_equal_counts_go_to_the_larger_colour(transparent, first, second, background, size):
    width, height = size
    half = width * height // 2
    image = image_of([first] * half + [second] * half, width)
    result = pixels(transparent(image))
    loser = first if background == second else second
    if abs(loser[0] - background[0]) < 10 and loser[1:3] == background[1:3]:
        loser = TRANSPARENT
    assert result[:half] == [TRANSPARENT if first == background else loser] * half
    assert result[half:] == [TRANSPARENT if second == background else loser] * half


def test_one_colour_becomes_entirely_transparent(transparent):
    image = PIL.Image.new("RGB", (3, 2), (12, 34, 56))
    assert pixels(transparent(image)) == [TRANSPARENT] * 6


@pytest.mark.parametrize("mode", ["RGB", "RGBA", "L", "P", "LA"])
def test_returns_an_rgba_copy_and_leaves_the_argument_alone(transparent, mode):
    rng = np.random.default_rng(2)
    image = PIL.Image.fromarray(rng.integers(0, 4, (5, 6, 4), dtype=np.uint8) * 60, "RGBA")
    image = image.convert(mode)
    before = image.tobytes()
    result = transparent(image)
    assert result is not image
    assert (result.mode, result.size) == ("RGBA", image.size)
    assert pixels(result) == expected_transparent(image)
    assert (image.mode, image.tobytes()) == (mode, before)


@pytest.mark.parametrize("size", [(0, 0), (0, 3), (4, 0)])
def test_an_empty_picture_has_no_background(snap, size):
    with pytest.raises(ValueError, match="empty"):
        snap.make_transparent(PIL.Image.new("RGB", size))


def test_edits_and_returns_the_converted_image(snap, log):
    converted = image_of([(1, 2, 3, 4)] * 3 + [(50, 2, 3, 4)], 2)
    argument = types.SimpleNamespace(convert=log.recorder("convert", converted))
    assert snap.make_transparent(argument) is converted
    assert log.calls == [("convert", ("RGBA",))]
    assert pixels(converted) == [TRANSPARENT] * 3 + [(50, 2, 3, 4)]


def test_steps_for_other_images_go_through_getdata_getcolors_and_putdata(snap):
    calls = []

    class Recorded(PIL.Image.Image):
        def getcolors(self, maxcolors=256):
            calls.append(("getcolors", maxcolors))
            return super().getcolors(maxcolors)

        def putdata(self, data, *args):
            calls.append(("putdata", data))
            return super().putdata(data, *args)

    converted = Recorded()
    converted.__dict__.update(image_of([(1, 2, 3, 4)] * 4 + [(50, 2, 3, 4)] * 2, 3).__dict__)
    result = snap.make_transparent(types.SimpleNamespace(convert=lambda mode: converted))
    assert result is converted
    assert [name for name, _ in calls] == ["getcolors", "putdata"]
    assert calls[0][1] == 6
    data = calls[1][1]
    assert data == [TRANSPARENT] * 4 + [(50, 2, 3, 4)] * 2
    assert all(item is data[0] for item in data[:4])  # one shared transparent pixel


# ---- make_transparent: the same result as the plain rules, everywhere ----------------------------

near = st.tuples(
    st.integers(-12, 12), st.integers(-1, 1), st.integers(-1, 1), st.sampled_from([0, 128, 255])
)


@settings(max_examples=150, deadline=None)
@given(
    base=st.tuples(st.integers(0, 255), st.integers(0, 255), st.integers(0, 255)),
    offsets=st.lists(near, min_size=1, max_size=6),
    width=st.integers(1, 7),
    choices=st.lists(st.integers(0, 5), min_size=1, max_size=42),
)
def test_matches_the_plain_rules_on_crowded_colours(base, offsets, width, choices):
    from velmora import snapTone

    palette = [
        tuple(min(255, max(0, b + o)) for b, o in zip(base, offset[:3], strict=True)) + (offset[3],)
        for offset in offsets
    ]
    count = max(width, len(choices) // width * width)
    colours = [palette[choices[i % len(choices)] % len(palette)] for i in range(count)]
    image = image_of(colours, width)
    expected = expected_transparent(image)
    assert pixels(snapTone.make_transparent(image)) == expected
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(snapTone, "PIL", types.SimpleNamespace())
        assert pixels(snapTone.make_transparent(image)) == expected


@pytest.mark.parametrize("pixels_count", [1000, GROUPING_FROM - 1, GROUPING_FROM, 300_000])
@pytest.mark.parametrize("palette_size", [3, 40, None], ids=["3", "40", "all"])
def test_raw_and_general_steps_agree_on_random_pictures(
    snap, monkeypatch, pixels_count, palette_size
):
    rng = np.random.default_rng(pixels_count + (palette_size or 0))
    if palette_size is None:
        data = rng.integers(0, 256, (pixels_count, 4), dtype=np.uint8)
    else:
        # Reds around one value, and greens and blues mostly shared: many near misses.
        palette = rng.integers(0, 256, (palette_size, 4))
        palette[:, 0] = np.clip(palette[0, 0] + rng.integers(-12, 13, palette_size), 0, 255)
        palette[::2, 1:3] = palette[0, 1:3]
        palette = palette.astype(np.uint8)
        data = palette[rng.integers(0, palette_size, pixels_count)]
    image = PIL.Image.fromarray(data.reshape(1, pixels_count, 4), "RGBA")
    raw = snap.make_transparent(image).tobytes()
    monkeypatch.setattr(snap, "PIL", types.SimpleNamespace())
    general = snap.make_transparent(image).tobytes()
    assert raw == general


# ---- make_transparent: screenshots, read and written in bands ------------------------------------


def reference_transparent(data):
    return reference.transparent_numpy(PIL.Image.fromarray(data, "RGBA")).tobytes()


def screenshot(width, height, seed, noisy_rows=0):
    """A flat background with blocks, near misses of the background colour, and text-like
    specks; the last ``noisy_rows`` rows are random noise."""
    rng = np.random.default_rng(seed)
    data = np.empty((height, width, 4), np.uint8)
    data[:] = (200, 180, 160, 255)
    for _ in range(12):
        top, left = rng.integers(0, height), rng.integers(0, width)
        colour = rng.integers(0, 256, 4)
        if rng.random() < 0.5:  # a near miss or a near match of the background
            offsets = rng.integers([-11, -1, -1], [12, 2, 2])
            colour = np.array([*(np.array([200, 180, 160]) + offsets), rng.integers(0, 256)])
        bottom = top + rng.integers(1, height // 3 + 2)
        right = left + rng.integers(1, width // 3 + 2)
        data[top:bottom, left:right] = colour
    specks = rng.integers(0, width * height, width * height // 50)
    data.reshape(-1, 4)[specks] = rng.integers(0, 256, (specks.size, 4))
    if noisy_rows:
        data[-noisy_rows:] = rng.integers(0, 256, (noisy_rows, width, 4))
    return data


def rows_per_band(width):
    return max(1, BAND_BYTES // (4 * width))


def opaque(data):
    return np.concatenate([data[..., :3], np.full(data.shape[:2] + (1,), 255, np.uint8)], -1)


@pytest.mark.parametrize("mode", ["RGBA", "RGB"])
@pytest.mark.parametrize("encoder", [True, False], ids=["encoder", "crop"])
@pytest.mark.parametrize(
    "width, height, noisy_rows",
    [
        (700, 900, 0),  # three bands, the last one short
        (700, rows_per_band(700) * 2, 0),  # bands of equal height
        (300_000, 3, 0),  # a band per row
        (1, 300_000, 0),  # many bands of one pixel's width
        (700, 900, 40),  # noise at the bottom
        (700, 900, 900),  # noise everywhere: the guess cannot be proved
    ],
)
def test_screenshots_in_bands_follow_the_rules(
    snap, monkeypatch, mode, encoder, width, height, noisy_rows
):
    data = screenshot(width, height, seed=width + height, noisy_rows=noisy_rows)
    if mode == "RGB":
        data = opaque(data)
    image = PIL.Image.fromarray(data[..., : len(mode)], mode)
    if not encoder:  # refused to anyone but Pillow's own tobytes: the cropped reads take over
        original = PIL.Image._getencoder

        def getencoder(*args):
            if sys._getframe(1).f_code.co_name != "tobytes":
                raise ValueError("no encoder")
            return original(*args)

        monkeypatch.setattr(PIL.Image, "_getencoder", getencoder)
    result = snap.make_transparent(image)
    assert (result.mode, result.size, result.info) == ("RGBA", (width, height), {})
    assert result.tobytes() == reference_transparent(data)
    assert image.tobytes() == data[..., : len(mode)].tobytes()
    result.putpixel((0, 0), (1, 2, 3, 4))  # as writable as any image
    result.load()[0, 0] = (5, 6, 7, 8)
    assert result.getpixel((0, 0)) == (5, 6, 7, 8)


@pytest.mark.parametrize("offset", [-2, -1, 0, 1, 2])
@pytest.mark.parametrize("edge", ["start", "end"])
def test_runs_that_start_or_end_by_a_bands_end(snap, offset, edge):
    width = 1000
    boundary = rows_per_band(width) * width
    data = np.empty((rows_per_band(width) * 2, width, 4), np.uint8)
    data[:] = (40, 50, 60, 255)
    flat = data.reshape(-1, 4)
    if edge == "start":
        flat[boundary + offset : boundary + 500] = (45, 50, 60, 9)
    else:
        flat[boundary - 500 : boundary + offset] = (45, 50, 60, 9)
    flat[boundary + 700] = (1, 2, 3, 4)
    result = snap.make_transparent(PIL.Image.fromarray(data, "RGBA")).tobytes()
    assert result == reference_transparent(data)
    # the second run matches the background too; the single pixel does not
    assert result[4 * (boundary + 700) : 4 * (boundary + 701)] == bytes([1, 2, 3, 4])


@pytest.mark.parametrize("colour", [(7, 8, 9, 10), (0, 0, 0, 0), (255, 255, 255, 255)])
def test_one_colour_through_many_bands(snap, colour):
    image = PIL.Image.new("RGBA", (1000, 700), colour)
    assert snap.make_transparent(image).tobytes() == bytes(TRANSPARENT) * 700_000


def test_a_transparency_colour_of_an_rgb_picture_is_kept(snap):
    image = PIL.Image.new("RGB", (4, 3), (10, 20, 30))
    image.putpixel((0, 0), (90, 90, 90))
    image.info["transparency"] = (90, 90, 90)
    expected = expected_transparent(image)  # the converted picture: one transparent pixel
    assert expected[0] == (90, 90, 90, 0)
    assert pixels(snap.make_transparent(image)) == expected


def test_unexpected_bytes_from_pillow_leave_it_to_the_general_steps(snap, monkeypatch):
    image = image_of([(1, 2, 3, 4)] * 5 + [(9, 2, 3, 4)] + [(50, 2, 3, 4)], 7)
    monkeypatch.setattr(PIL.Image.Image, "tobytes", lambda self, *args: b"\0" * 5)
    result = snap.make_transparent(image)
    monkeypatch.undo()
    assert pixels(result) == [TRANSPARENT] * 6 + [(50, 2, 3, 4)]


def test_a_core_set_under_the_picture_is_read_by_its_own_mode(snap):
    # `im` is writable: an "RGB" picture over a one-byte core must not be read four bytes a
    # pixel (that read past the core's memory); the conversion reads it as it is.
    image = PIL.Image.new("RGB", (64, 3))
    image.im = PIL.Image.new("L", (64, 3), 7).im
    assert pixels(snap.make_transparent(image)) == expected_transparent(image)


@pytest.mark.parametrize("encoder", [True, False], ids=["encoder", "crop"])
def test_a_declared_size_without_pixels_behind_it_allocates_nothing_for_it(encoder):
    # A 4x4 picture whose `size` says 2^29 x 2: nothing may be sized by that word before the
    # pixels behind it are seen (4 GiB for the background guess alone). Under an address-space
    # limit of 1 GiB above what the process holds, the call must finish on the real 4x4 core.
    result = run_python(
        f"""
        import resource, sys, PIL.Image
        from velmora import snapTone
        original = PIL.Image._getencoder
        def getencoder(*args):  # refused to all but Pillow's tobytes: the cropped reads
            if sys._getframe(1).f_code.co_name != "tobytes":
                raise ValueError("no encoder")
            return original(*args)
        if not {encoder}:
            PIL.Image._getencoder = getencoder
        image = PIL.Image.new("RGB", (4, 4), (1, 2, 3))
        image._size = (2**29, 2)
        with open("/proc/self/status") as status:
            held = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (held + 2**30, resource.RLIM_INFINITY))
        result = snapTone.make_transparent(image)
        print(result.size, result.getpixel((0, 0)))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[0] == "(4, 4) (255, 255, 255, 0)"


def test_a_picture_that_pillow_will_not_hand_out_is_an_error_not_a_crash(snap, monkeypatch):
    # Neither the raw encoder nor a crop's tobytes: the fast path has no pixels to read.
    def refused(*args):
        raise ValueError("no encoder")

    monkeypatch.setattr(PIL.Image, "_getencoder", refused)
    with pytest.raises(ValueError, match="no encoder"):
        snap.make_transparent(PIL.Image.new("RGB", (4, 4)))
