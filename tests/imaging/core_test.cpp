// Compares every kernel of the pixel core with the plain algorithm it stands for, on pictures
// made to catch mistakes: one colour, all colours different, ties in every order, near misses
// of the background in every channel and at every threshold edge, 1x1 and odd widths, and a
// top colour just above or just below the runner-up. Prints each mismatch; exits 1 on any.
#include "imaging/imaging.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using velmora::imaging::Colour;
using Pixels = std::vector<unsigned char>;

int failures = 0;

void expect(bool ok, const std::string& what) {
    if (!ok) {
        ++failures;
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

// ---- the plain algorithms ----

Colour plain_most_frequent(const Pixels& pixels) {
    std::map<Colour, std::size_t> counts;
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        ++counts[velmora::imaging::colour_at(&pixels[i])];
    }
    std::pair<std::size_t, Colour> best{0, 0};
    for (const auto& [colour, count] : counts) {
        best = std::max(best, std::pair{count, colour});
    }
    return best.second;
}

Pixels plain_replaced(Pixels pixels, Colour background) {
    const int red = int(background >> 24), green = int(background >> 16 & 255),
              blue = int(background >> 8 & 255);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        if (std::abs(pixels[i] - red) < 10 && pixels[i + 1] == green && pixels[i + 2] == blue) {
            pixels[i] = pixels[i + 1] = pixels[i + 2] = 255;
            pixels[i + 3] = 0;
        }
    }
    return pixels;
}

// ---- the pictures ----

struct Picture {
    std::string name;
    std::size_t width;
    Pixels pixels;
};

Picture filled(std::string name, std::size_t width, std::size_t height, Colour colour) {
    Picture picture{std::move(name), width, Pixels(4 * width * height)};
    for (std::size_t i = 0; i < width * height; ++i) {
        put(picture.pixels, i, colour);
    }
    return picture;
}

std::vector<Picture> pictures() {
    std::vector<Picture> all;
    std::mt19937 random(14);
    for (const auto& [width, height] : {std::pair<std::size_t, std::size_t>{1, 1},
                                        {3, 5},
                                        {7, 1},
                                        {33, 3},
                                        {1, 40},
                                        {400, 330}}) {
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        all.push_back(filled("one colour " + size, width, height, 0x102030FF));
        Picture different{"all different " + size, width, Pixels(4 * width * height)};
        for (std::size_t i = 0; i < width * height; ++i) {
            put(different.pixels, i, Colour(i * 2654435761u));
        }
        all.push_back(different);
        // A background with near misses around it in every channel, at every edge.
        const bool large = width * height > 200; // one picture size above the sorting limit
        for (const Colour background :
             {0x00000000u, 0x05C8C8FFu, 0x80808080u, 0xFAC8C8FFu, 0xFFFFFFFFu, 0xF3F3F3FFu}) {
            if (large && background != 0x05C8C8FFu && background != 0xFAC8C8FFu) {
                continue;
            }
            Picture near =
                filled("near misses of " + hex(background) + " " + size, width, height, background);
            const int offsets[] = {-11, -10, -9, -8, -1, 1, 8, 9, 10, 11};
            for (std::size_t i = 0; i < width * height; ++i) {
                if (random() % 3 != 0) {
                    continue;
                }
                int channel[4] = {int(background >> 24), int(background >> 16 & 255),
                                  int(background >> 8 & 255), int(background & 255)};
                const int which = int(random() % 4);
                channel[which] += offsets[random() % 10];
                channel[which] = std::clamp(channel[which], 0, 255);
                put(near.pixels, i,
                    Colour(channel[0]) << 24 | Colour(channel[1]) << 16 | Colour(channel[2]) << 8 |
                        Colour(channel[3]));
            }
            all.push_back(near);
        }
        // Two or three top colours: tied in every order, or one pixel apart either way.
        const std::size_t count = width * height;
        for (const Colour first : {0x11223344u, 0x11223345u, 0x99000000u}) {
            for (const Colour second : {0x11223344u, 0x11223345u, 0x12223344u, 0x11223244u}) {
                if (first == second || count < 3 || (large && first != 0x11223344u)) {
                    continue;
                }
                for (const int margin : {-1, 0, 1}) {
                    Picture tied = filled("top " + hex(first) + " vs " + hex(second) + " margin " +
                                              std::to_string(margin) + " " + size,
                                          width, height, 0xABCDEF00u);
                    const std::size_t half = count / 2 - 1;
                    const std::size_t first_count = margin < 0 ? half - 1 : half;
                    const std::size_t second_count = margin > 0 ? half - 1 : half;
                    std::vector<std::size_t> places(count);
                    for (std::size_t i = 0; i < count; ++i) {
                        places[i] = i;
                    }
                    std::shuffle(places.begin(), places.end(), random);
                    for (std::size_t k = 0; k < first_count + second_count; ++k) {
                        put(tied.pixels, places[k], k < first_count ? first : second);
                    }
                    all.push_back(tied);
                }
            }
        }
    }
    return all;
}

// ---- the kernels against them ----

void check_most_frequent_and_replace(const Picture& picture) {
    const Colour expected = plain_most_frequent(picture.pixels);
    const Colour found = velmora::imaging::most_frequent_colour(picture.pixels);
    expect(found == expected,
           "most_frequent_colour " + picture.name + ": " + hex(found) + " not " + hex(expected));
    Pixels replaced = picture.pixels;
    velmora::imaging::replace_background(replaced, expected);
    expect(replaced == plain_replaced(picture.pixels, expected),
           "replace_background " + picture.name);
    for (std::size_t i = 0; i < picture.pixels.size(); i += 4) {
        const bool replaced_here = replaced[i + 3] == 0 && replaced[i] == 255 &&
                                   replaced[i + 1] == 255 && replaced[i + 2] == 255;
        if (velmora::imaging::matches_background(&picture.pixels[i], expected) && !replaced_here) {
            expect(false, "matches_background " + picture.name);
            break;
        }
    }
}

// The proof, fed in pieces of several sizes, from RGBA or RGBX bytes, in place or apart: the
// output is always the plain replacement of the guess, and a proved guess is the true
// background.
void check_proof(const Picture& picture) {
    const Colour background = plain_most_frequent(picture.pixels);
    const std::size_t count = picture.pixels.size() / 4;
    const bool large = count > 200;
    std::vector<Colour> guesses = {background, background ^ 1, 0x00000000};
    for (std::size_t i = 0; !large && i < count; i += 1 + count / 3) {
        guesses.push_back(velmora::imaging::colour_at(&picture.pixels[4 * i]));
    }
    std::vector<std::size_t> pieces = {count, 17};
    if (!large) {
        pieces.insert(pieces.end(), {1, 15, 1000});
    }
    for (const bool opaque : {false, true}) {
        Pixels from = picture.pixels;
        Pixels input = picture.pixels; // what the pixels are taken as
        for (std::size_t i = 0; opaque && i < count; ++i) {
            from[4 * i + 3] = static_cast<unsigned char>(i * 7); // filler: anything
            input[4 * i + 3] = 255;
        }
        const Colour true_background = opaque ? plain_most_frequent(input) : background;
        for (const Colour guess : guesses) {
            const Pixels expected = plain_replaced(input, guess);
            for (const std::size_t piece : pieces) {
                for (const bool in_place : {false, true}) {
                    Pixels to = in_place ? from : Pixels(from.size(), 0x5A);
                    velmora::imaging::BackgroundProof proof(guess);
                    for (std::size_t at = 0; at < count; at += piece) {
                        const std::size_t bytes = 4 * std::min(piece, count - at);
                        const std::span<const unsigned char> source(
                            (in_place ? to : from).data() + 4 * at, bytes);
                        proof.edit(source, std::span<unsigned char>(to.data() + 4 * at, bytes),
                                   opaque);
                    }
                    const std::string what = picture.name + " guess " + hex(guess) + " piece " +
                                             std::to_string(piece) + (opaque ? " opaque" : "") +
                                             (in_place ? " in place" : "");
                    expect(to == expected, "BackgroundProof output " + what);
                    expect(!proof.proven() || guess == true_background,
                           "BackgroundProof proved a wrong guess " + what);
                }
            }
        }
    }
    // A clear majority is proved.
    velmora::imaging::BackgroundProof proof(background);
    Pixels to(picture.pixels.size());
    proof.edit(picture.pixels, to, false);
    std::size_t background_count = 0;
    for (std::size_t i = 0; i < count; ++i) {
        background_count += velmora::imaging::colour_at(&picture.pixels[4 * i]) == background;
    }
    expect(2 * background_count <= count || proof.proven(),
           "BackgroundProof did not prove a majority " + picture.name);
}

void check_copy_opaque(const Picture& picture) {
    Pixels expected = picture.pixels;
    for (std::size_t i = 3; i < expected.size(); i += 4) {
        expected[i] = 255;
    }
    Pixels copied(picture.pixels.size());
    velmora::imaging::copy_opaque(picture.pixels, copied);
    expect(copied == expected, "copy_opaque " + picture.name);
}

void check_sample_rows() {
    for (std::size_t height = 1; height < 200; ++height) {
        for (std::size_t count : {1, 2, 16, 300}) {
            std::vector<std::size_t> rows(count, 999999);
            const std::size_t taken = velmora::imaging::sample_rows(height, count, rows.data());
            bool ok = taken == std::min(height, count);
            for (std::size_t k = 0; k < taken; ++k) {
                ok = ok && rows[k] < height && (k == 0 || rows[k] > rows[k - 1]);
            }
            expect(ok, "sample_rows " + std::to_string(height) + " " + std::to_string(count));
        }
    }
}

// The strip on packed, column-reversed and channel-spaced layouts, shorter and taller than
// the strip.
void check_paint_strip() {
    for (const std::ptrdiff_t rows : {1, 19, 20, 21, 45}) {
        for (const std::ptrdiff_t columns : {1, 3, 64}) {
            for (const std::ptrdiff_t channels : {1, 3, 4}) {
                for (const int layout : {0, 1, 2}) {
                    const std::ptrdiff_t spacing = layout == 2 ? 2 : 1;
                    const std::ptrdiff_t row_bytes = columns * channels * spacing;
                    Pixels memory(std::size_t(rows * row_bytes));
                    for (std::size_t i = 0; i < memory.size(); ++i) {
                        memory[i] = static_cast<unsigned char>(i * 31 + 7);
                    }
                    Pixels expected = memory;
                    velmora::imaging::StridedPixels pixels{
                        memory.data(),      rows,   columns, channels, row_bytes,
                        channels * spacing, spacing};
                    if (layout == 1) {
                        pixels.data += (columns - 1) * channels;
                        pixels.column_step = -channels;
                    }
                    const unsigned char colour[4] = {9, 200, 77, 1};
                    for (std::ptrdiff_t row = 0; row < std::min<std::ptrdiff_t>(rows, 20); ++row) {
                        for (std::ptrdiff_t column = 0; column < columns; ++column) {
                            for (std::ptrdiff_t channel = 0; channel < channels; ++channel) {
                                expected[std::size_t(pixels.at(row, column, channel) -
                                                     memory.data())] = colour[channel];
                            }
                        }
                    }
                    velmora::imaging::paint_strip(pixels, 20, colour);
                    expect(memory == expected, "paint_strip " + std::to_string(rows) + "x" +
                                                   std::to_string(columns) + "x" +
                                                   std::to_string(channels) + " layout " +
                                                   std::to_string(layout));
                }
            }
        }
    }
}

} // namespace

int main() {
    const std::vector<Picture> all = pictures();
    for (const Picture& picture : all) {
        check_most_frequent_and_replace(picture);
        check_copy_opaque(picture);
        check_proof(picture);
    }
    check_sample_rows();
    check_paint_strip();
    std::printf("%zu pictures, %d mismatches\n", all.size(), failures);
    return failures == 0 ? 0 : 1;
}
