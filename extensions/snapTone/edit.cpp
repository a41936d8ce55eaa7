// Editing Pillow images: colour inversion (sent to the clipboard) and making the most frequent
// colour transparent.
#include "snapTone/snapTone.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
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
const Name n_crop("crop");
const Name n_paste("paste");
const Name n_frombuffer("frombuffer");
const Name s_raw("raw");

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

// The most frequent colour of `count` RGBA pixels (fewer than 2^32), ties going to the larger
// colour.
Colour most_frequent_colour(const unsigned char* pixels, std::size_t count) {
    // From this size on the grouping tables cost less than the sorting copy would.
    constexpr std::size_t grouping_from = std::size_t(1) << 17;
    if (count >= grouping_from) {
        return most_frequent_by_grouping(pixels, count);
    }
    return most_frequent_by_sorting(pixels, count);
}

// A replaced pixel: transparent white.
constexpr unsigned char transparent_white[4] = {255, 255, 255, 0};

// Whether an RGBA pixel matches `background`: red within 9 either way, green and blue equal,
// alpha not compared.
bool matches_background(const unsigned char* pixel, Colour background) {
    const int red = int(background >> 24);
    const int green = int((background >> 16) & 0xFF);
    const int blue = int((background >> 8) & 0xFF);
    return std::abs(int(pixel[0]) - red) < 10 && int(pixel[1]) == green && int(pixel[2]) == blue;
}

// Copies the pixels to `output`, a pixel that matches `background` becoming transparent white.
void replace_background(const unsigned char* pixels, std::size_t count, Colour background,
                        unsigned char* output) {
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned char* pixel = pixels + 4 * i;
        std::memcpy(output + 4 * i,
                    matches_background(pixel, background) ? transparent_white : pixel, 4);
    }
}

// ---- Screenshots: runs of equal pixels ------------------------------------------------------

// The four bytes of pixel `index`, as they lie in memory.
std::uint32_t word_at(const unsigned char* pixels, std::size_t index) {
    std::uint32_t word;
    std::memcpy(&word, pixels + 4 * index, 4);
    return word;
}

// The colour of the pixel whose four bytes, as they lie in memory, are `word`.
Colour colour_of(std::uint32_t word) {
    unsigned char pixel[4];
    std::memcpy(pixel, &word, 4);
    return colour_at(pixel, 0);
}

// How often each colour occurs: a table with open addressing, at most half full. It takes no
// more than `limit` colours, and so never grows past four times that many slots.
class ColourTally {
  public:
    explicit ColourTally(std::size_t limit) : limit_(limit), slots_(std::size_t(1) << bits_) {}

    // Adds `count` pixels of `colour`; false, changing nothing, when `colour` would be one
    // colour too many.
    bool add(Colour colour, std::uint32_t count) {
        Slot& slot = find(colour);
        if (slot.count != 0) {
            slot.count += count;
            return true;
        }
        if (used_ == limit_) {
            return false;
        }
        slot = Slot{colour, count};
        if (2 * ++used_ > slots_.size()) {
            grow();
        }
        return true;
    }

    // The most frequent colour, ties going to the larger colour.
    Colour most_frequent() const {
        Winner winner;
        for (const Slot& slot : slots_) {
            if (slot.count != 0) {
                winner.consider(slot.count, slot.colour);
            }
        }
        return winner.colour;
    }

  private:
    struct Slot {
        Colour colour = 0;
        std::uint32_t count = 0; // 0: a free slot
    };

    // The slot that holds `colour`, or the free slot where it goes.
    Slot& find(Colour colour) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = std::size_t(std::uint32_t(colour * 0x9E3779B1u) >> (32 - bits_));
        while (slots_[i].count != 0 && slots_[i].colour != colour) {
            i = (i + 1) & mask;
        }
        return slots_[i];
    }

    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        ++bits_;
        for (const Slot& slot : old) {
            if (slot.count != 0) {
                find(slot.colour) = slot;
            }
        }
    }

    std::size_t limit_;
    int bits_ = 10; // the table has 2^bits_ slots
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

// A stretch of equal pixels: their four bytes, as they lie in memory, and how many there are.
struct Run {
    std::uint32_t word = 0;
    std::uint32_t length = 0;
};

// A picture taken in band after band as runs of equal pixels, every colour counted on the way.
// Screenshots come in long runs of few colours. A picture with more colours or runs than the
// limits allow (a photograph, noise) is given up on; the whole-picture steps do better there.
class RunLengths {
  public:
    RunLengths(std::size_t max_colours, std::size_t max_runs)
        : tally_(max_colours), max_runs_(max_runs) {}

    // Takes in the next `count` pixels; a run may go on from the previous call. False once
    // over a limit.
    bool add_pixels(const unsigned char* pixels, std::size_t count) {
        for (std::size_t start = 0; start < count;) {
            const std::uint32_t word = word_at(pixels, start);
            std::size_t end = start + 1;
            while (end < count && word_at(pixels, end) == word) {
                ++end;
            }
            const auto length = std::uint32_t(end - start);
            if (current_.length != 0 && current_.word == word) {
                current_.length += length;
            } else {
                if (current_.length != 0 && !keep(current_)) {
                    return false;
                }
                current_ = Run{word, length};
            }
            start = end;
        }
        return true;
    }

    // Ends the last run; false if it is over a limit.
    bool finish() {
        const bool kept = current_.length == 0 || keep(current_);
        current_ = Run{};
        return kept;
    }

    Colour most_frequent() const { return tally_.most_frequent(); }
    const std::vector<Run>& runs() const { return runs_; }

  private:
    bool keep(const Run& run) {
        if (runs_.size() == max_runs_ || !tally_.add(colour_of(run.word), run.length)) {
            return false;
        }
        runs_.push_back(run);
        return true;
    }

    ColourTally tally_;
    std::size_t max_runs_;
    std::vector<Run> runs_;
    Run current_;
};

// Writes the edited pixels of a picture's runs, in order, a given number at a time: a run
// that matches `background` becomes transparent white, any other keeps its pixels.
class EditedRuns {
  public:
    EditedRuns(const std::vector<Run>& runs, Colour background)
        : runs_(runs), background_(background) {}

    void write(unsigned char* output, std::size_t count) {
        while (count > 0) {
            const Run& run = runs_[next_];
            const std::size_t length = std::min<std::size_t>(run.length - written_, count);
            const std::uint32_t word = edited(run.word);
            for (std::size_t i = 0; i < length; ++i) {
                std::memcpy(output + 4 * i, &word, 4);
            }
            output += 4 * length;
            count -= length;
            written_ += length;
            if (written_ == run.length) {
                ++next_;
                written_ = 0;
            }
        }
    }

  private:
    std::uint32_t edited(std::uint32_t word) const {
        unsigned char pixel[4];
        std::memcpy(pixel, &word, 4);
        if (matches_background(pixel, background_)) {
            std::memcpy(&word, transparent_white, 4);
        }
        return word;
    }

    const std::vector<Run>& runs_;
    Colour background_;
    std::size_t next_ = 0;    // the run being written
    std::size_t written_ = 0; // how many of its pixels are written
};

// ---- make_transparent ------------------------------------------------------------------------

// The picture's size when `image` is a genuine, non-empty Pillow image in mode "RGBA" (its
// type exactly the class reached as `PIL.Image.Image`) of fewer than 2^32 pixels.
struct RawSize {
    std::size_t width = 0;
    std::size_t height = 0;
    std::size_t count() const { return width * height; }
};

std::optional<RawSize> raw_size(Borrowed image) {
    try {
        Ref image_class = pil_image_class();
        if (reinterpret_cast<PyObject*>(Py_TYPE(image.get())) != image_class.get()) {
            return std::nullopt;
        }
    } catch (const PyError&) {
        // Without a reachable image class the general steps do the work; they never need it.
        PyErr_Clear();
        return std::nullopt;
    }
    Ref mode = getattr(image, n_mode);
    if (!PyUnicode_CheckExact(mode.get()) || !compare(mode, s_RGBA, Py_EQ)) {
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

Ref new_size_t(std::size_t value) {
    return check(PyLong_FromSize_t(value));
}

const unsigned char* bytes_of(const Ref& bytes) {
    return reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes.get()));
}

// A genuine Pillow RGBA picture in bands of rows, each about a megabyte: small enough to stay
// in the cache while it is worked on, large enough that the calls per band cost little.
class Bands {
  public:
    Bands(Borrowed image, const RawSize& size)
        : image_(image), size_(size),
          rows_(std::max<std::size_t>(1, band_bytes / (4 * size.width))) {}

    std::size_t count() const { return (size_.height + rows_ - 1) / rows_; }
    std::size_t top(std::size_t band) const { return band * rows_; }
    std::size_t rows(std::size_t band) const { return std::min(rows_, size_.height - top(band)); }
    std::size_t pixels(std::size_t band) const { return rows(band) * size_.width; }

    // `image.crop((0, top, width, bottom)).tobytes()`, or an empty Ref when that is anything
    // but four bytes for each pixel of the band.
    Ref read(std::size_t band) const {
        Ref left = new_size_t(0);
        Ref upper = new_size_t(top(band));
        Ref right = new_size_t(size_.width);
        Ref lower = new_size_t(top(band) + rows(band));
        Ref box = new_tuple(left, upper, right, lower);
        Ref cropped = call_method(image_, n_crop, box);
        Ref pixels = call_method(cropped, n_tobytes);
        if (!PyBytes_CheckExact(pixels.get()) ||
            std::size_t(PyBytes_GET_SIZE(pixels.get())) != 4 * this->pixels(band)) {
            return Ref();
        }
        return pixels;
    }

    // `image.paste(PIL.Image.frombuffer("RGBA", (width, rows), pixels, "raw", "RGBA", 0, 1),
    // (0, top))`: the band's new bytes put in place, mapped into a Pillow image, not copied.
    void write(std::size_t band, const Ref& pixels) const {
        Ref frombuffer = pil_function(n_Image, n_frombuffer);
        Ref width = new_size_t(size_.width);
        Ref rows = new_size_t(this->rows(band));
        Ref band_size = new_tuple(width, rows);
        Ref band_image =
            call(frombuffer, s_RGBA, band_size, pixels, s_raw, s_RGBA, captured.zero, captured.one);
        Ref top = new_size_t(this->top(band));
        Ref corner = new_tuple(captured.zero, top);
        call_method(image_, n_paste, band_image, corner);
    }

  private:
    static constexpr std::size_t band_bytes = std::size_t(1) << 20;

    Borrowed image_;
    RawSize size_;
    std::size_t rows_;
};

enum class Outcome { done, not_screenshot, unreadable };

// Screenshots: the picture read once, band by band, as runs of equal pixels, and the edited
// bands written from the runs.
Outcome make_transparent_by_runs(Borrowed image, const RawSize& size) {
    const Bands bands(image, size);
    constexpr std::size_t at_least = std::size_t(1) << 12;
    RunLengths runs(std::max(at_least, size.count() / 16), std::max(at_least, size.count() / 4));
    for (std::size_t band = 0; band < bands.count(); ++band) {
        check_signals(); // only while reading: an interrupted write would leave half a picture
        Ref pixels = bands.read(band);
        if (!pixels) {
            return Outcome::unreadable;
        }
        if (!runs.add_pixels(bytes_of(pixels), bands.pixels(band))) {
            return Outcome::not_screenshot;
        }
    }
    if (!runs.finish()) {
        return Outcome::not_screenshot;
    }
    EditedRuns edited(runs.runs(), runs.most_frequent());
    for (std::size_t band = 0; band < bands.count(); ++band) {
        Ref pixels = check(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(4 * bands.pixels(band))));
        edited.write(reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(pixels.get())),
                     bands.pixels(band));
        bands.write(band, pixels);
    }
    return Outcome::done;
}

// Any other picture: every pixel at once, read with `tobytes`, the colours sorted or grouped,
// and the edited picture loaded back with `frombytes`.
Outcome make_transparent_whole(Borrowed image, std::size_t count) {
    Ref pixels = call_method(image, n_tobytes);
    if (!PyBytes_CheckExact(pixels.get()) ||
        std::size_t(PyBytes_GET_SIZE(pixels.get())) != 4 * count) {
        return Outcome::unreadable;
    }
    const Colour background = most_frequent_colour(bytes_of(pixels), count);
    Ref output = check(PyBytes_FromStringAndSize(nullptr, PyBytes_GET_SIZE(pixels.get())));
    auto* edited = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(output.get()));
    replace_background(bytes_of(pixels), count, background, edited);
    pixels.reset();
    call_method(image, n_frombytes, output);
    return Outcome::done;
}

// The same result as the general steps, worked out over the raw pixel bytes. False, with the
// image untouched, when Pillow does not hand out the bytes expected.
bool make_transparent_raw(Borrowed image, const RawSize& size) {
    Outcome outcome = make_transparent_by_runs(image, size);
    if (outcome == Outcome::not_screenshot) {
        outcome = make_transparent_whole(image, size.count());
    }
    return outcome == Outcome::done;
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
        check_signals(); // the picture is untouched until `putdata`
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
    const std::optional<RawSize> size = raw_size(image);
    if (!size || !make_transparent_raw(image, *size)) {
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
