// Compares every kernel of the pixel core with the plain algorithm it stands for, on pictures
// made to catch mistakes: one colour, all colours different, ties in every order, near misses
// of the background in every channel and at every threshold edge, 1x1 and odd widths, and a
// top colour just above or just below the runner-up. Prints each mismatch; exits 1 on any.
#include "imaging/imaging.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

namespace core = velmora::imaging;
using core::Colour;
using Pixels = std::vector<unsigned char>;
using std::to_string;

int failures = 0;

void expect(bool ok, const std::string& what) {
    failures += !ok;
    if (!ok) {
        std::printf("MISMATCH %s\n", what.c_str());
    }
}

std::string hex(Colour colour) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", unsigned(colour));
    return text;
}

void put(Pixels& pixels, std::size_t i, Colour colour) {
    for (int byte = 0; byte < 4; ++byte) {
        pixels[4 * i + byte] = static_cast<unsigned char>(colour >> (24 - 8 * byte));
    }
}

Colour plain_most_frequent(const Pixels& pixels) {
    std::map<Colour, std::size_t> counts;
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        ++counts[core::colour_at(&pixels[i])];
    }
    std::pair<std::size_t, Colour> best{0, 0};
    for (const auto& [colour, count] : counts) {
        best = std::max(best, std::pair{count, colour});
    }
    return best.second;
}

Pixels plain_replaced(Pixels pixels, Colour background) {
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        if (std::abs(pixels[i] - int(background >> 24)) < 10 &&
            pixels[i + 1] == (background >> 16 & 255) && pixels[i + 2] == (background >> 8 & 255)) {
            pixels[i] = pixels[i + 1] = pixels[i + 2] = 255;
            pixels[i + 3] = 0;
        }
    }
    return pixels;
}

// The pictures, by name. 400x330 lies above the sorting limit and gets fewer variants.
std::map<std::string, Pixels> pictures() {
    std::map<std::string, Pixels> all;
    std::mt19937 random(14);
    for (const std::size_t count : {1, 15, 7, 99, 40, 400 * 330}) {
        const bool large = count > 200;
        const auto filled = [&](const std::string& name, Colour colour) -> Pixels& {
            Pixels& pixels = all[name + " of " + to_string(count)] = Pixels(4 * count);
            for (std::size_t i = 0; i < count; ++i) {
                put(pixels, i, colour);
            }
            return pixels;
        };
        filled("one colour", 0x102030FF);
        Pixels& different = filled("all different", 0);
        for (std::size_t i = 0; i < count; ++i) {
            put(different, i, Colour(i * 2654435761u));
        }
        // A third of the pixels off the background in one channel, by 1, 8, 9, 10 or 11.
        for (const Colour background :
             {0x05C8C8FFu, 0xFAC8C8FFu, 0x00000000u, 0x80808080u, 0xFFFFFFFFu}) {
            if (large && background != 0x05C8C8FFu && background != 0xFAC8C8FFu) {
                continue;
            }
            Pixels& near = filled("near misses of " + hex(background), background);
            for (std::size_t i = 0; i < count; ++i) {
                const int shift = 8 * int(random() % 4),
                          offsets[] = {-11, -10, -9, -8, -1, 1, 8, 9, 10, 11};
                const int value = int(background >> shift & 255) + offsets[random() % 10];
                const Colour kept = background & ~(Colour(255) << shift);
                if (random() % 3 == 0) {
                    put(near, i, kept | Colour(std::clamp(value, 0, 255)) << shift);
                }
            }
        }
        // Two top colours tied in every order, or one pixel apart either way.
        for (const Colour first : {0x11223344u, 0x11223345u, 0x99000000u}) {
            for (const Colour second : {0x11223344u, 0x11223345u, 0x12223344u, 0x11223244u}) {
                for (const int margin : {-1, 0, 1}) {
                    if (first == second || count < 3 || (large && first != 0x11223344u)) {
                        continue;
                    }
                    Pixels& tied =
                        filled(hex(first) + " vs " + hex(second) + " by " + to_string(margin),
                               0xABCDEF00u);
                    std::vector<std::size_t> places(count);
                    for (std::size_t i = 0; i < count; ++i) {
                        places[i] = i;
                    }
                    std::shuffle(places.begin(), places.end(), random);
                    const std::size_t half = count / 2 - 1, first_count = half - (margin < 0);
                    for (std::size_t k = 0; k < first_count + half - (margin > 0); ++k) {
                        put(tied, places[k], k < first_count ? first : second);
                    }
                }
            }
        }
    }
    return all;
}

// The exact kernels; then the proof, fed in pieces of several sizes, from RGBA or RGBX bytes,
// in place or apart: its output is always the plain replacement of its guess, a guess it
// proves is the true background, and a guess that holds most of the picture is proved.
void check(const std::string& name, const Pixels& pixels) {
    const Colour background = plain_most_frequent(pixels);
    const Colour found = core::most_frequent_colour(pixels);
    expect(found == background, "most_frequent_colour " + name + ": " + hex(found));
    Pixels replaced = pixels;
    core::replace_background(replaced, background);
    expect(replaced == plain_replaced(pixels, background), "replace_background " + name);

    const std::size_t count = pixels.size() / 4;
    std::vector<Colour> guesses = {background, background ^ 1, 0};
    std::vector<std::size_t> pieces = {count, 17};
    for (std::size_t i = 0; count < 200 && i < count; i += 1 + count / 3) {
        guesses.push_back(core::colour_at(&pixels[4 * i]));
        pieces.push_back(i + 1);
    }
    for (const bool opaque : {false, true}) {
        Pixels from = pixels, input = pixels; // read, and what it is taken as
        for (std::size_t i = 0; opaque && i < count; ++i) {
            from[4 * i + 3] = static_cast<unsigned char>(i * 7); // filler: anything
            input[4 * i + 3] = 255;
        }
        Pixels copied(from.size());
        core::copy_opaque(from, copied);
        expect(!opaque || copied == input, "copy_opaque " + name);
        const Colour true_background = opaque ? plain_most_frequent(input) : background;
        std::size_t held = 0;
        for (std::size_t i = 0; i < count; ++i) {
            held += core::colour_at(&input[4 * i]) == true_background;
        }
        for (const Colour guess : guesses) {
            for (const std::size_t piece : pieces) {
                for (const bool in_place : {false, true}) {
                    Pixels to = in_place ? from : Pixels(from.size(), 0x5A);
                    core::BackgroundProof proof(guess);
                    for (std::size_t at = 0; at < count; at += piece) {
                        const std::size_t bytes = 4 * std::min(piece, count - at);
                        proof.edit({(in_place ? to : from).data() + 4 * at, bytes},
                                   {to.data() + 4 * at, bytes}, opaque);
                    }
                    const std::string what = name + " guess " + hex(guess) + " piece " +
                                             to_string(piece) + (opaque ? " opaque" : "") +
                                             (in_place ? " in place" : "");
                    expect(to == plain_replaced(input, guess), "BackgroundProof output " + what);
                    expect(proof.proven() == (guess == true_background) ||
                               (!proof.proven() && 2 * held <= count),
                           "BackgroundProof verdict " + what);
                }
            }
        }
    }
}

// The strip on packed, column-reversed and channel-spaced layouts, shorter and taller than it.
void check_paint_strip() {
    for (const std::ptrdiff_t rows : {1, 20, 21}) {
        for (const std::ptrdiff_t channels : {1, 3, 4}) {
            for (const int layout : {0, 1, 2}) {
                const std::ptrdiff_t columns = 64, spacing = layout == 2 ? 2 : 1;
                Pixels memory(std::size_t(rows * columns * channels * spacing));
                for (std::size_t i = 0; i < memory.size(); ++i) {
                    memory[i] = static_cast<unsigned char>(i * 31 + 7);
                }
                Pixels expected = memory;
                core::StridedPixels pixels{
                    memory.data(),      rows,   columns, channels, columns * channels * spacing,
                    channels * spacing, spacing};
                if (layout == 1) {
                    pixels.data += (columns - 1) * channels;
                    pixels.column_step = -channels;
                }
                const unsigned char colour[4] = {9, 200, 77, 1};
                for (std::ptrdiff_t i = 0; i < std::min<std::ptrdiff_t>(rows, 20) * columns; ++i) {
                    for (std::ptrdiff_t channel = 0; channel < channels; ++channel) {
                        expected[std::size_t(pixels.at(i / columns, i % columns, channel) -
                                             memory.data())] = colour[channel];
                    }
                }
                core::paint_strip(pixels, 20, colour);
                expect(memory == expected, "paint_strip " + to_string(rows) + " rows, " +
                                               to_string(channels) + " channels, layout " +
                                               to_string(layout));
            }
        }
    }
}

} // namespace

int main() {
    const std::map<std::string, Pixels> all = pictures();
    for (const auto& [name, pixels] : all) {
        check(name, pixels);
    }
    for (std::size_t height = 1, rows[16]; height < 100; ++height) { // rising, inside
        const std::size_t taken = core::sample_rows(height, 16, rows);
        expect(taken == std::min<std::size_t>(height, 16) && rows[taken - 1] < height &&
                   std::adjacent_find(rows, rows + taken, std::greater_equal<>()) == rows + taken,
               "sample_rows " + to_string(height));
    }
    check_paint_strip();
    std::printf("%zu pictures, %d mismatches\n", all.size(), failures);
    return failures == 0 ? 0 : 1;
}
