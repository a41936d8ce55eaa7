// RGBA pixels read and written as one 32-bit word each, the four bytes as they lie in memory,
// so that loops over them stay simple enough for the compiler to vectorise on any byte order.
#pragma once

#include "imaging/imaging.hpp"

#include <bit>
#include <cstring>

namespace velmora::imaging {

// The word whose bytes in memory are `r, g, b, a`.
constexpr std::uint32_t word_of(unsigned char r, unsigned char g, unsigned char b,
                                unsigned char a) {
    if constexpr (std::endian::native == std::endian::little) {
        return std::uint32_t(r) | std::uint32_t(g) << 8 | std::uint32_t(b) << 16 |
               std::uint32_t(a) << 24;
    } else {
        return std::uint32_t(r) << 24 | std::uint32_t(g) << 16 | std::uint32_t(b) << 8 |
               std::uint32_t(a);
    }
}

// The word of a colour, and where its red byte sits in a word.
constexpr std::uint32_t word_of(Colour colour) {
    return word_of(static_cast<unsigned char>(colour >> 24),
                   static_cast<unsigned char>(colour >> 16),
                   static_cast<unsigned char>(colour >> 8), static_cast<unsigned char>(colour));
}
constexpr int red_shift = std::endian::native == std::endian::little ? 0 : 24;

inline std::uint32_t load_word(const unsigned char* pixel) {
    std::uint32_t word;
    std::memcpy(&word, pixel, 4);
    return word;
}

inline void store_word(unsigned char* pixel, std::uint32_t word) {
    std::memcpy(pixel, &word, 4);
}

// The replacement of one pixel: a pixel that matches the background (red within 9 either
// way, green and blue equal, alpha not compared) becomes transparent white. Branch-free, for
// loops the compiler vectorises.
class BackgroundMatch {
  public:
    explicit BackgroundMatch(Colour background)
        : low_(low_red(background)), span_(high_red(background) - low_),
          green_blue_(word_of(background) & green_blue_mask) {}

    std::uint32_t edited(std::uint32_t word) const {
        // Red within [low, low + span]: one unsigned comparison after a wrapping subtraction.
        const std::uint32_t red = (word >> red_shift) & 0xFF;
        const bool matches = red - low_ <= span_ && (word & green_blue_mask) == green_blue_;
        return matches ? transparent_white : word;
    }

  private:
    static constexpr std::uint32_t green_blue_mask = word_of(0, 255, 255, 0);
    static constexpr std::uint32_t transparent_white = word_of(255, 255, 255, 0);
    static std::uint32_t low_red(Colour background) {
        const std::uint32_t red = background >> 24;
        return red < 9 ? 0 : red - 9;
    }
    static std::uint32_t high_red(Colour background) {
        const std::uint32_t red = background >> 24;
        return red > 246 ? 255 : red + 9;
    }

    std::uint32_t low_;
    std::uint32_t span_;
    std::uint32_t green_blue_;
};

} // namespace velmora::imaging
