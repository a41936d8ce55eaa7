// Editing Pillow images: colour inversion (sent to the clipboard) and making the most frequent
// colour transparent.
#include "snapTone/snapTone.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace velmora::snapTone {

namespace {

constexpr const char* file = "snapTone/edit.cpp";

const Site image_invert_site{q_image_invert, file, __LINE__};
const Site make_transparent_site{q_make_transparent, file, __LINE__};

const Name n_split("split");
const Name n_merge("merge");
const Name n_invert("invert");
const Name n_getdata("getdata");
const Name n_getcolors("getcolors");
const Name n_putdata("putdata");
const Name n_size("size");
const Name n_tobytes("tobytes");
const Name n_frombytes("frombytes");

// `a, b, ... = iterable`: exactly `N` items.
template <std::size_t N>
std::array<Ref, N> unpack(Borrowed iterable) {
    Ref iterator = check(PyObject_GetIter(iterable.get()));
    std::array<Ref, N> items;
    for (std::size_t i = 0; i < N; ++i) {
        items[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!items[i]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack",
                             Py_ssize_t(i), i == 1 ? "" : "s");
            }
            throw_pending();
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(N));
    }
    if (PyErr_Occurred()) {
        throw_pending();
    }
    return items;
}

// `PIL.<submodule>.<function>`
Ref pil_function(const Name& submodule, const Name& function) {
    return getattr(getattr(module.lookup(n_PIL), submodule), function);
}

void invert(Borrowed image) {
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

// ---- The background colour of raw RGBA pixels ----------------------------------------------

// A pixel as one number, r << 24 | g << 16 | b << 8 | a: numbers order like the
// (r, g, b, a) tuples that Pillow hands out.
using Colour = std::uint32_t;

Colour colour_at(const unsigned char* pixels, std::size_t index) {
    const unsigned char* pixel = pixels + 4 * index;
    return Colour(pixel[0]) << 24 | Colour(pixel[1]) << 16 | Colour(pixel[2]) << 8 |
           Colour(pixel[3]);
}

// The winner so far among (count, colour) pairs compared as tuples: the highest count, and
// among equal counts the larger colour.
struct Winner {
    std::size_t count = 0;
    Colour colour = 0;

    void consider(std::size_t other_count, Colour other_colour) {
        if (other_count > count || (other_count == count && other_colour > colour)) {
            count = other_count;
            colour = other_colour;
        }
    }
};

// Sorts colours in place, most significant byte first, `shift` selecting the byte.
void radix_sort(Colour* first, Colour* last, int shift) {
    constexpr std::ptrdiff_t few = 32;
    if (last - first < few) {
        std::sort(first, last);
        return;
    }
    std::array<std::size_t, 256> counts{};
    for (const Colour* colour = first; colour < last; ++colour) {
        ++counts[(*colour >> shift) & 0xFF];
    }
    std::array<Colour*, 256> heads;
    std::array<Colour*, 256> ends;
    Colour* position = first;
    for (std::size_t digit = 0; digit < 256; ++digit) {
        heads[digit] = position;
        position += counts[digit];
        ends[digit] = position;
    }
    // Each colour is swapped straight into the next free place of its group.
    for (std::size_t digit = 0; digit < 256; ++digit) {
        while (heads[digit] < ends[digit]) {
            Colour colour = *heads[digit];
            std::size_t target = (colour >> shift) & 0xFF;
            while (target != digit) {
                std::swap(colour, *heads[target]++);
                target = (colour >> shift) & 0xFF;
            }
            *heads[digit]++ = colour;
        }
    }
    if (shift == 0) {
        return;
    }
    Colour* begin = first;
    for (std::size_t digit = 0; digit < 256; ++digit) {
        Colour* end = begin + counts[digit];
        radix_sort(begin, end, shift - 8);
        begin = end;
    }
}

// For smaller pictures: sorts a copy of the colours and measures the runs of equal ones.
Colour most_frequent_by_sorting(const unsigned char* pixels, std::size_t count) {
    std::vector<Colour> colours(count);
    for (std::size_t i = 0; i < count; ++i) {
        colours[i] = colour_at(pixels, i);
    }
    radix_sort(colours.data(), colours.data() + count, 24);
    Winner winner;
    for (std::size_t start = 0; start < count;) {
        std::size_t end = start + 1;
        while (end < count && colours[end] == colours[start]) {
            ++end;
        }
        winner.consider(end - start, colours[start]);
        start = end;
    }
    return winner.colour;
}

// For larger pictures: groups the pixels by their upper half (red, green) with a counting
// sort that keeps only the lower half (blue, alpha), then tallies each group's lower halves.
// Two fixed tables of 2^16 entries; worth it once the picture is several times their size.
Colour most_frequent_by_grouping(const unsigned char* pixels, std::size_t count) {
    constexpr std::size_t halves = std::size_t(1) << 16;
    // group_end[h] ends as the end of group h in `lower` (and the start of group h + 1).
    std::vector<std::uint32_t> group_end(halves + 1, 0);
    for (std::size_t i = 0; i < count; ++i) {
        ++group_end[(colour_at(pixels, i) >> 16) + 1];
    }
    for (std::size_t h = 1; h <= halves; ++h) {
        group_end[h] += group_end[h - 1];
    }
    std::vector<std::uint16_t> lower(count);
    for (std::size_t i = 0; i < count; ++i) {
        const Colour colour = colour_at(pixels, i);
        lower[group_end[colour >> 16]++] = std::uint16_t(colour & 0xFFFF);
    }
    std::vector<std::uint32_t> tally(halves, 0);
    Winner winner;
    std::size_t begin = 0;
    for (std::size_t h = 0; h < halves; ++h) {
        const std::size_t end = group_end[h];
        for (std::size_t k = begin; k < end; ++k) {
            ++tally[lower[k]];
        }
        for (std::size_t k = begin; k < end; ++k) {
            const std::uint16_t half = lower[k];
            if (tally[half] != 0) {
                winner.consider(tally[half], Colour(h) << 16 | half);
                tally[half] = 0;
            }
        }
        begin = end;
    }
    return winner.colour;
}

// The most frequent colour of `count` RGBA pixels, ties going to the larger colour.
Colour most_frequent_colour(const unsigned char* pixels, std::size_t count) {
    // From this size on the grouping tables cost less than the sorting copy would.
    constexpr std::size_t grouping_from = std::size_t(1) << 17;
    if (count >= grouping_from && count <= UINT32_MAX) {
        return most_frequent_by_grouping(pixels, count);
    }
    return most_frequent_by_sorting(pixels, count);
}

// Copies the pixels to `output`, a pixel that matches `background` becoming transparent
// white: red within 9 either way, green and blue equal, alpha not compared.
void replace_background(const unsigned char* pixels, std::size_t count, Colour background,
                        unsigned char* output) {
    const int red = int(background >> 24);
    const int green = int((background >> 16) & 0xFF);
    const int blue = int((background >> 8) & 0xFF);
    static constexpr unsigned char transparent_white[4] = {255, 255, 255, 0};
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* pixel = pixels + 4 * i;
        const bool matches =
            std::abs(int(pixel[0]) - red) < 10 && int(pixel[1]) == green && int(pixel[2]) == blue;
        std::memcpy(output + 4 * i, matches ? transparent_white : pixel, 4);
    }
}

// ---- make_transparent ------------------------------------------------------------------------

// The number of pixels of `image` when it is a genuine, non-empty Pillow image in mode
// "RGBA" (its type exactly the class reached as `PIL.Image.Image`), else 0. Its pixels can
// then be read and written as raw bytes.
std::size_t raw_pixel_count(Borrowed image) {
    try {
        Ref image_class = pil_image_class();
        if (reinterpret_cast<PyObject*>(Py_TYPE(image.get())) != image_class.get()) {
            return 0;
        }
    } catch (const PyError&) {
        // Without a reachable image class the general steps do the work; they never need it.
        PyErr_Clear();
        return 0;
    }
    Ref mode = getattr(image, n_mode);
    if (!PyUnicode_CheckExact(mode.get()) || !compare(mode, s_RGBA, Py_EQ)) {
        return 0;
    }
    Ref size = getattr(image, n_size);
    if (!PyTuple_CheckExact(size.get()) || PyTuple_GET_SIZE(size.get()) != 2) {
        return 0;
    }
    const Py_ssize_t width = PyLong_AsSsize_t(PyTuple_GET_ITEM(size.get(), 0));
    const Py_ssize_t height = PyLong_AsSsize_t(PyTuple_GET_ITEM(size.get(), 1));
    if (PyErr_Occurred()) {
        throw_pending();
    }
    if (width <= 0 || height <= 0) {
        return 0;
    }
    return std::size_t(width) * std::size_t(height);
}

// The same result as the general steps, worked out over the raw pixel bytes: the pixels are
// read with `tobytes` and the edited ones loaded back with `frombytes`.
bool make_transparent_raw(Borrowed image, std::size_t count) {
    Ref pixels = call_method(image, n_tobytes);
    if (!PyBytes_CheckExact(pixels.get()) ||
        std::size_t(PyBytes_GET_SIZE(pixels.get())) / 4 != count ||
        std::size_t(PyBytes_GET_SIZE(pixels.get())) % 4 != 0) {
        return false;
    }
    const auto* raw = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(pixels.get()));
    const Colour background = most_frequent_colour(raw, count);
    Ref output = check(PyBytes_FromStringAndSize(nullptr, PyBytes_GET_SIZE(pixels.get())));
    auto* edited = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(output.get()));
    replace_background(raw, count, background, edited);
    pixels.reset();
    call_method(image, n_frombytes, output);
    return true;
}

// `all([abs(item[0] - bg_color[0]) < 10, abs(item[1] - bg_color[1]) < 1,
//       abs(item[2] - bg_color[2]) < 1])`
bool matches_background(Borrowed item, Borrowed bg_color) {
    PyObject* const limits[] = {captured.ten, captured.one, captured.one};
    PyObject* const indices[] = {captured.zero, captured.one, captured.two};
    Ref tests = check(PyList_New(3));
    for (std::size_t i = 0; i < 3; ++i) {
        Ref channel = check(PyObject_GetItem(item.get(), indices[i]));
        Ref background = check(PyObject_GetItem(bg_color.get(), indices[i]));
        Ref difference = check(PyNumber_Subtract(channel.get(), background.get()));
        Ref distance = check(PyNumber_Absolute(difference.get()));
        Ref test = check(PyObject_RichCompare(distance.get(), limits[i], Py_LT));
        PyList_SET_ITEM(tests.get(), Py_ssize_t(i), test.release());
    }
    return truthy(call(captured.all, tests));
}

// The steps pixel by pixel, for any other object that `convert` returns and for empty pictures.
void make_transparent_general(Borrowed image) {
    Ref data_items = call_method(image, n_getdata);
    Ref output_image = check(PyList_New(0));
    Ref getcolors = getattr(image, n_getcolors);
    Ref width = check(PyObject_GetItem(getattr(image, n_size).get(), captured.zero));
    Ref height = check(PyObject_GetItem(getattr(image, n_size).get(), captured.one));
    Ref pixel_count = check(PyNumber_Multiply(width.get(), height.get()));
    Ref colors = call(getcolors, pixel_count);
    Ref most_frequent = call(captured.max, colors);
    Ref bg_color = check(PyObject_GetItem(most_frequent.get(), captured.one));
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

Ref make_transparent_body(Borrowed argument) {
    Ref image = call_method(argument, n_convert, s_RGBA);
    const std::size_t count = raw_pixel_count(image);
    if (count == 0 || !make_transparent_raw(image, count)) {
        make_transparent_general(image);
    }
    return image;
}

} // namespace

PyObject* image_invert(PyObject*, PyObject* image) {
    return traced_entry_point(image_invert_site, [&] {
        invert(image);
        return none();
    });
}

PyObject* make_transparent(PyObject*, PyObject* image) {
    return traced_entry_point(make_transparent_site, [&] { return make_transparent_body(image); });
}

} // namespace velmora::snapTone
