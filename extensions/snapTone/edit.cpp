// Editing Pillow images: colour inversion (sent to the clipboard) and making the most frequent
// colour transparent.
#include "imaging/imaging.hpp"
#include "snapTone/snapTone.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace velmora::snapTone {

namespace {

const Name n_split("split");
const Name n_merge("merge");
const Name n_invert("invert");
const Name n_getdata("getdata");
const Name n_getcolors("getcolors");
const Name n_putdata("putdata");
const Name n_size("size");
const Name n_tobytes("tobytes");
const Name n_frombytes("frombytes");
const Name n_crop("crop");
const Name n_info("info");
const Name n__getencoder("_getencoder");
const Name n_setimage("setimage");
const Name n_encode("encode");
const Name n_im("im");
const Name n_load("load");
const Name n_readonly("readonly");
const Name n_frombuffer("frombuffer");
const Name s_raw("raw");
const Name s_RGBX("RGBX");

// `PIL.<submodule>.<function>`
Ref pil_function(const Name& submodule, const Name& function) {
    return getattr(getattr(module.lookup(n_PIL), submodule), function);
}

} // namespace

void image_invert(Borrowed image) {
    Ref mode = getattr(image, n_mode);
    Ref inverted_image;
    if (compare(mode, s_RGBA, Py_EQ)) {
        // The colour bands are inverted; the alpha band goes back unchanged.
        auto [r, g, b, a] = unpack<4>(call_method(image, n_split));
        Ref merge = pil_function(n_Image, n_merge);
        Ref colour_bands = new_tuple(r, g, b);
        Ref rgb_image = call(merge, s_RGB, colour_bands);
        Ref invert_function = pil_function(n_ImageOps, n_invert);
        inverted_image = call(invert_function, rgb_image);
        auto [r2, g2, b2] = unpack<3>(call_method(inverted_image, n_split));
        merge = pil_function(n_Image, n_merge);
        Ref all_bands = new_tuple(r2, g2, b2, a);
        inverted_image = call(merge, s_RGBA, all_bands);
    } else {
        Ref invert_function = pil_function(n_ImageOps, n_invert);
        inverted_image = call(invert_function, image);
    }
    call(module.lookup(n_send_to_clipboard), inverted_image);
}

namespace {

// ---- make_transparent over raw pixel bytes --------------------------------------------------

// The picture's size when `image` is a genuine, non-empty Pillow image (its type exactly the
// class reached as `PIL.Image.Image`) of fewer than 2^32 pixels.
struct RawSize {
    std::size_t width = 0;
    std::size_t height = 0;
    std::size_t count() const { return width * height; }
};

std::optional<RawSize> genuine_size(Borrowed image) {
    try {
        Ref image_class = pil_image_class();
        if (reinterpret_cast<PyObject*>(Py_TYPE(image.get())) != image_class.get()) {
            return std::nullopt;
        }
    } catch (const PyError&) {
        // Without a reachable image class the general steps do the work; they never need it.
        // An interrupt stops the call instead.
        if (interrupt_pending()) {
            throw;
        }
        PyErr_Clear();
        return std::nullopt;
    }
    Ref size = getattr(image, n_size);
    if (!PyTuple_CheckExact(size.get()) || PyTuple_GET_SIZE(size.get()) != 2) {
        return std::nullopt;
    }
    const Py_ssize_t width = PyLong_AsSsize_t(PyTuple_GET_ITEM(size.get(), 0));
    if (width == -1 && PyErr_Occurred()) {
        throw_pending();
    }
    const Py_ssize_t height = PyLong_AsSsize_t(PyTuple_GET_ITEM(size.get(), 1));
    if (height == -1 && PyErr_Occurred()) {
        throw_pending();
    }
    // Checked by division, so the product (and four bytes per pixel) cannot overflow.
    if (width <= 0 || height <= 0 || std::size_t(height) > UINT32_MAX / std::size_t(width)) {
        return std::nullopt;
    }
    return RawSize{std::size_t(width), std::size_t(height)};
}

// Whether `image.mode` is exactly the string `mode`.
bool has_mode(Borrowed image, const Name& mode) {
    Ref actual = getattr(image, n_mode);
    return PyUnicode_CheckExact(actual.get()) && compare(actual, mode, Py_EQ);
}

// Whether `image.info` is a plain, empty dict: the new image of the direct steps has one, as
// does the conversion's copy of such a picture, and no "transparency" colour is to be made
// transparent by the conversion.
bool has_no_info(Borrowed image) {
    Ref info = getattr(image, n_info);
    return PyDict_CheckExact(info.get()) && PyDict_GET_SIZE(info.get()) == 0;
}

Ref new_size_t(std::size_t value) {
    return check(PyLong_FromSize_t(value));
}

std::span<const unsigned char> bytes_of(const Ref& bytes) {
    return {reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes.get())),
            std::size_t(PyBytes_GET_SIZE(bytes.get()))};
}

// A genuine Pillow picture in mode "RGB" or "RGBA", read in bands of rows of about a megabyte:
// small enough to stay in the cache while it is worked on, large enough that the calls per
// band cost little. An RGB picture is read four bytes a pixel ("RGBX", the way Pillow keeps
// it, the fourth byte filler), which costs Pillow a plain copy.
class Source {
  public:
    Source(Borrowed image, const RawSize& size, bool opaque)
        : image_(image), size_(size), opaque_(opaque),
          band_rows_(std::max<std::size_t>(1, band_bytes / (4 * size.width))) {}

    bool opaque() const { return opaque_; }
    std::size_t bands() const { return (size_.height + band_rows_ - 1) / band_rows_; }
    std::size_t top(std::size_t band) const { return band * band_rows_; }
    std::size_t rows(std::size_t band) const {
        return std::min(band_rows_, size_.height - top(band));
    }

    // The raw bytes of rows `top` to `top + rows`, four for each pixel; an empty Ref when
    // Pillow hands out anything else, or when the picture's core is not as large as its `size`
    // says (nothing is then asked of Pillow that the declared size would make it allocate).
    Ref read(std::size_t top, std::size_t rows) {
        Ref pixels;
        if (encoder_works_) {
            pixels = encoded(top, rows);
        }
        if (core_changed_) {
            return Ref();
        }
        if (!pixels) {
            if (!core_fits()) {
                core_changed_ = true;
                return Ref();
            }
            pixels = cropped(top, rows);
        }
        if (!pixels || !PyBytes_CheckExact(pixels.get()) ||
            std::size_t(PyBytes_GET_SIZE(pixels.get())) != 4 * rows * size_.width) {
            return Ref();
        }
        return pixels;
    }

    // Rows read as opaque RGBA pixels into `rgba`; false when Pillow hands out anything but
    // their bytes.
    bool read_into(std::size_t top, std::size_t rows, std::span<unsigned char> rgba) {
        Ref pixels = read(top, rows);
        if (!pixels) {
            return false;
        }
        store(bytes_of(pixels), rgba);
        return true;
    }

    // Pixels as read, written to `rgba` (as many bytes) as opaque RGBA pixels.
    void store(std::span<const unsigned char> pixels, std::span<unsigned char> rgba) const {
        if (opaque_) {
            imaging::copy_opaque(pixels, rgba);
        } else {
            std::memcpy(rgba.data(), pixels.data(), rgba.size());
        }
    }

  private:
    static constexpr std::size_t band_bytes = std::size_t(1) << 20;

    const Name& raw_mode() const { return opaque_ ? s_RGBX : s_RGBA; }

    Ref box(std::size_t top, std::size_t rows) const {
        Ref left = new_size_t(0);
        Ref upper = new_size_t(top);
        Ref right = new_size_t(size_.width);
        Ref lower = new_size_t(top + rows);
        return new_tuple(left, upper, right, lower);
    }

    // The rows straight from Pillow's raw encoder, as its own file writers use it:
    // `e = PIL.Image._getencoder(mode, "raw", (raw_mode,)); e.setimage(image.im, box);
    // e.encode(size)[2]`, one copy and no cropped image. An empty Ref, and the cropped
    // reads from then on, if that does not finish in one go.
    Ref encoded(std::size_t top, std::size_t rows) {
        try {
            Ref getencoder = pil_function(n_Image, n__getencoder);
            Ref mode = getattr(image_, n_mode);
            Ref arguments = new_tuple(raw_mode());
            Ref encoder = call(getencoder, mode, s_raw, arguments);
            Ref core = getattr(image_, n_im);
            if (!fits(core, mode)) {
                core_changed_ = true;
                return Ref();
            }
            Ref extents = box(top, rows);
            call_method(encoder, n_setimage, core, extents);
            Ref wanted = new_size_t(4 * rows * size_.width);
            Ref result = call_method(encoder, n_encode, wanted);
            if (PyTuple_CheckExact(result.get()) && PyTuple_GET_SIZE(result.get()) == 3) {
                // Status 1: all the rows were written.
                const Borrowed status = PyTuple_GET_ITEM(result.get(), 1);
                if (PyLong_CheckExact(status.get()) && compare(status, encoder_finished, Py_EQ)) {
                    return Ref::borrow(PyTuple_GET_ITEM(result.get(), 2));
                }
            }
        } catch (const PyError&) {
            // Not this Pillow's way: the public steps below do it.
            if (interrupt_pending()) {
                throw;
            }
            PyErr_Clear();
        }
        encoder_works_ = false;
        return Ref();
    }

    // Whether Pillow's core `core` holds what the picture's `mode` and size say. The raw encoder
    // reads a core by the mode it is given, not by the core's own, so a core set under the
    // picture (`image.im` is writable, and a collector callback can run between any two steps)
    // must never reach it: it would read past the core's memory.
    bool fits(Borrowed core, Borrowed mode) const {
        Ref core_mode = getattr(core, n_mode);
        Ref core_size = getattr(core, n_size);
        if (!PyUnicode_CheckExact(core_mode.get()) || !compare(core_mode, mode, Py_EQ) ||
            !PyTuple_CheckExact(core_size.get()) || PyTuple_GET_SIZE(core_size.get()) != 2) {
            return false;
        }
        const std::size_t width = PyLong_AsSize_t(PyTuple_GET_ITEM(core_size.get(), 0));
        const std::size_t height = PyLong_AsSize_t(PyTuple_GET_ITEM(core_size.get(), 1));
        PyErr_Clear(); // a size that is not one fits nothing
        return width == size_.width && height == size_.height;
    }

    // Whether the picture's core (`image.im`) holds what its mode and size say: a crop of a
    // core smaller than the declared size would still make Pillow allocate the declared rows.
    bool core_fits() const {
        try {
            Ref mode = getattr(image_, n_mode);
            Ref core = getattr(image_, n_im);
            return fits(core, mode);
        } catch (const PyError&) {
            if (interrupt_pending()) {
                throw;
            }
            PyErr_Clear();
            return false;
        }
    }

    // `image.crop((0, top, width, top + rows)).tobytes("raw", raw_mode)`; an empty Ref, so that
    // the general steps do the work, when this Pillow refuses it.
    Ref cropped(std::size_t top, std::size_t rows) const {
        try {
            Ref extents = box(top, rows);
            Ref part = call_method(image_, n_crop, extents);
            return call_method(part, n_tobytes, s_raw, raw_mode());
        } catch (const PyError&) {
            if (interrupt_pending()) {
                throw;
            }
            PyErr_Clear();
            return Ref();
        }
    }

    Borrowed image_;
    RawSize size_;
    bool opaque_;
    std::size_t band_rows_;
    bool encoder_works_ = true;
    bool core_changed_ = false; // the picture's core is not what its mode and size say
};

// A guess at the background: the most frequent colour of a few rows spread over the picture.
std::optional<imaging::Colour> guess_background(Source& source, const RawSize& size) {
    constexpr std::size_t sampled = 8;
    std::size_t rows[sampled];
    const std::size_t taken = imaging::sample_rows(size.height, sampled, rows);
    // The sample grows by each row once Pillow has handed it out: its size follows pixels that
    // exist, never the declared size alone.
    std::vector<unsigned char> sample;
    for (std::size_t k = 0; k < taken; ++k) {
        Ref pixels = source.read(rows[k], 1);
        if (!pixels) {
            return std::nullopt;
        }
        if (k == 0) {
            sample.reserve(4 * size.width * taken);
        }
        const std::size_t at = sample.size();
        sample.resize(at + 4 * size.width);
        source.store(bytes_of(pixels), std::span<unsigned char>(sample).subspan(at));
    }
    return imaging::most_frequent_colour(sample);
}

// `PIL.Image.frombuffer("RGBA", size, pixels, "raw", "RGBA", 0, 1)`: a Pillow image over the
// bytearray `pixels`, not a copy of it, made writable (the memory is its own, nobody else's).
Ref image_over(const Ref& pixels, const RawSize& size) {
    Ref frombuffer = pil_function(n_Image, n_frombuffer);
    Ref width = new_size_t(size.width);
    Ref height = new_size_t(size.height);
    Ref image_size = new_tuple(width, height);
    Ref image =
        call(frombuffer, s_RGBA, image_size, pixels, s_raw, s_RGBA, packed_stride, top_down);
    setattr(image, n_readonly, writable);
    return image;
}

// The edited picture as a new image, straight from a genuine RGB or RGBA picture without the
// conversion's copy: read band by band into the new image's memory, the guessed background
// replaced and proved in the same pass. Should the proof fail, the picture is read again and
// its colours counted exactly. An empty Ref when Pillow does not hand out the bytes expected.
Ref make_transparent_direct(Borrowed image, const RawSize& size, bool opaque) {
    call_method(image, n_load);
    Source source(image, size, opaque);
    const std::optional<imaging::Colour> guess = guess_background(source, size);
    if (!guess) {
        return Ref();
    }
    Ref output = check(PyByteArray_FromStringAndSize(nullptr, Py_ssize_t(4 * size.count())));
    const std::span<unsigned char> pixels(
        reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(output.get())), 4 * size.count());
    const auto band_of = [&](std::size_t band) {
        return pixels.subspan(4 * size.width * source.top(band),
                              4 * size.width * source.rows(band));
    };
    imaging::BackgroundProof proof(*guess);
    // The edit goes into a new buffer, so an interrupt between bands leaves the picture as it was.
    for (std::size_t band = 0; band < source.bands(); ++band) {
        check_signals();
        Ref band_pixels = source.read(source.top(band), source.rows(band));
        if (!band_pixels) {
            return Ref();
        }
        proof.edit(bytes_of(band_pixels), band_of(band), source.opaque());
    }
    if (!proof.proven()) {
        for (std::size_t band = 0; band < source.bands(); ++band) {
            check_signals();
            if (!source.read_into(source.top(band), source.rows(band), band_of(band))) {
                return Ref();
            }
        }
        imaging::replace_background(pixels, imaging::most_frequent_colour(pixels));
    }
    return image_over(output, size);
}

// Any other picture, once converted: every pixel at once, read with `tobytes`, its colours
// counted exactly, and the edited picture loaded back into it with `frombytes`. False, with
// the image untouched, when Pillow does not hand out the bytes expected.
bool make_transparent_whole(Borrowed image, const RawSize& size) {
    Ref pixels = call_method(image, n_tobytes);
    if (!PyBytes_CheckExact(pixels.get()) ||
        std::size_t(PyBytes_GET_SIZE(pixels.get())) != 4 * size.count()) {
        return false;
    }
    Ref output = check(
        PyBytes_FromStringAndSize(PyBytes_AS_STRING(pixels.get()), PyBytes_GET_SIZE(pixels.get())));
    pixels.reset();
    const std::span<unsigned char> edited(
        reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(output.get())), 4 * size.count());
    imaging::replace_background(edited, imaging::most_frequent_colour(edited));
    call_method(image, n_frombytes, output);
    return true;
}

// `all([abs(item[0] - bg_color[0]) < 10, abs(item[1] - bg_color[1]) < 1,
//       abs(item[2] - bg_color[2]) < 1])`
bool matches_background(Borrowed item, Borrowed bg_color) {
    const long channels[] = {red_channel, green_channel, blue_channel};
    const long limits[] = {red_tolerance, exact_tolerance, exact_tolerance};
    Ref tests = check(PyList_New(3));
    for (std::size_t i = 0; i < 3; ++i) {
        Ref channel = getitem(item, channels[i]);
        Ref background = getitem(bg_color, channels[i]);
        Ref difference = subtract(channel, background);
        Ref distance = absolute(difference);
        Ref test = check(PyObject_RichCompare(distance.get(), Operand(limits[i]).get(), Py_LT));
        PyList_SET_ITEM(tests.get(), Py_ssize_t(i), test.release());
    }
    return truthy(call(captured.all, tests));
}

// The steps pixel by pixel, for any other object that `convert` returns and for empty pictures.
void make_transparent_general(Borrowed image) {
    Ref data_items = call_method(image, n_getdata);
    Ref output_image = check(PyList_New(0));
    Ref getcolors = getattr(image, n_getcolors);
    Ref width = getitem(getattr(image, n_size), horizontal_item);
    Ref height = getitem(getattr(image, n_size), vertical_item);
    Ref pixel_count = multiply(width, height);
    Ref colors = call(getcolors, pixel_count);
    Ref most_frequent = call(captured.max, colors);
    Ref bg_color = getitem(most_frequent, counted_colour);
    Ref iterator = check(PyObject_GetIter(data_items.get()));
    // The replaced entries all refer to the one transparent pixel made at import.
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        PyObject* kept = matches_background(item, bg_color) ? captured.transparent : item.get();
        check_status(PyList_Append(output_image.get(), kept));
    }
    if (PyErr_Occurred()) {
        throw_pending();
    }
    call_method(image, n_putdata, output_image);
}

} // namespace

Ref make_transparent(Borrowed argument) {
    // A genuine RGB or RGBA picture is edited into a new image without converting it first:
    // the same pixels, mode, size and info as the conversion's copy, edited.
    const std::optional<RawSize> direct_size = genuine_size(argument);
    if (direct_size && has_no_info(argument)) {
        const bool rgba = has_mode(argument, s_RGBA);
        if (rgba || has_mode(argument, s_RGB)) {
            if (Ref edited = make_transparent_direct(argument, *direct_size, !rgba)) {
                return edited;
            }
        }
    }
    Ref image = call_method(argument, n_convert, s_RGBA);
    const std::optional<RawSize> size = genuine_size(image);
    if (!size || !has_mode(image, s_RGBA) || !make_transparent_whole(image, *size)) {
        make_transparent_general(image);
    }
    return image;
}

} // namespace velmora::snapTone
