// The pixel core of the image module: plain C++ over spans of bytes, with no interpreter in it.
// The binding layer hands it the pixels of Pillow images and NumPy arrays; every kernel here
// works on memory it is given and allocates only its own scratch space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velmora::imaging {

// An RGBA pixel as one number, r << 24 | g << 16 | b << 8 | a: numbers order like the
// (r, g, b, a) tuples that Pillow hands out.
using Colour = std::uint32_t;

// The colour of the RGBA pixel that starts at `pixel`.
inline Colour colour_at(const unsigned char* pixel) {
    return Colour(pixel[0]) << 24 | Colour(pixel[1]) << 16 | Colour(pixel[2]) << 8 |
           Colour(pixel[3]);
}

// ---- most_frequent.cpp ----
// The most frequent colour of the RGBA pixels `rgba` (fewer than 2^32, at least one), ties
// going to the larger colour.
Colour most_frequent_colour(std::span<const unsigned char> rgba);

// ---- replace.cpp ----
// Every RGBA pixel of `rgba` that matches `background` (red within 9 either way, green and
// blue equal, alpha not compared) becomes transparent white, in place.
void replace_background(std::span<unsigned char> rgba, Colour background);

// ---- opaque.cpp ----
// The RGBX pixels `rgbx` (the fourth byte of each is filler) as opaque RGBA pixels in `rgba`,
// which holds as many bytes.
void copy_opaque(std::span<const unsigned char> rgbx, std::span<unsigned char> rgba);

// ---- background_proof.cpp ----
// Replaces a guessed background colour and, in the same pass, proves the guess right: the
// guess is counted exactly; areas of one other colour go into one of a few thousand shared
// buckets, and of mixed areas only the number of pixels that are not the guess is kept. When
// no bucket plus that number reaches the guess's count, no other colour can reach it either,
// and the guess is the most frequent colour with nothing to share its count. Feed it the
// picture's pixels in pieces of any size, in any order, fewer than 2^32 pixels in all.
class BackgroundProof {
  public:
    explicit BackgroundProof(Colour guess);

    // Counts the RGBA pixels `from` and writes them to `to` (as many bytes; the same memory
    // or apart), those that match the guess replaced. With `opaque`, `from` holds RGBX pixels
    // (the fourth byte filler), taken as opaque RGBA.
    void edit(std::span<const unsigned char> from, std::span<unsigned char> to, bool opaque);
    // Whether the guess is the most frequent colour of every pixel edited so far.
    bool proven() const;

  private:
    void add(std::uint32_t word, std::size_t count);

    Colour guess_;
    std::uint32_t guess_word_; // the guess's four bytes as they lie in memory
    std::uint64_t guess_count_ = 0;
    std::uint64_t mixed_others_ = 0;    // pixels of mixed blocks that are not the guess
    std::vector<std::uint32_t> counts_; // by bucket
};

// ---- sample.cpp ----
// The rows of a picture `height` rows tall to sample for a background guess: up to `count`
// rows spread evenly, in increasing order, written to `rows`; returns how many.
std::size_t sample_rows(std::size_t height, std::size_t count, std::size_t* rows);

// ---- strip.cpp ----
// 8-bit pixels in memory, rows x columns x channels, each step in bytes (as NumPy lays out an
// array: any sign, any order).
struct StridedPixels {
    unsigned char* data = nullptr;
    std::ptrdiff_t rows = 0;
    std::ptrdiff_t columns = 0;
    std::ptrdiff_t channels = 0;
    std::ptrdiff_t row_step = 0;
    std::ptrdiff_t column_step = 0;
    std::ptrdiff_t channel_step = 0;

    unsigned char* at(std::ptrdiff_t row, std::ptrdiff_t column, std::ptrdiff_t channel) const {
        return data + row * row_step + column * column_step + channel * channel_step;
    }
};
// Paints the first `rows` rows (all rows of a shorter picture) in `colour`, one value per
// channel (`pixels.channels` of them).
void paint_strip(const StridedPixels& pixels, std::ptrdiff_t rows, const unsigned char* colour);

} // namespace velmora::imaging
