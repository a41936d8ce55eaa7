// The most frequent colour of RGBA pixels, counted exactly: small pictures sort a copy of their
// colours, larger ones group them by their upper half and tally the lower halves.
#include "imaging/imaging.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

namespace velmora::imaging {

namespace {

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
        colours[i] = colour_at(pixels + 4 * i);
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
        ++group_end[(colour_at(pixels + 4 * i) >> 16) + 1];
    }
    for (std::size_t h = 1; h <= halves; ++h) {
        group_end[h] += group_end[h - 1];
    }
    std::vector<std::uint16_t> lower(count);
    for (std::size_t i = 0; i < count; ++i) {
        const Colour colour = colour_at(pixels + 4 * i);
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

} // namespace

Colour most_frequent_colour(std::span<const unsigned char> rgba) {
    const std::size_t count = rgba.size() / 4;
    // From this size on the grouping tables cost less than the sorting copy would.
    constexpr std::size_t grouping_from = std::size_t(1) << 17;
    if (count >= grouping_from) {
        return most_frequent_by_grouping(rgba.data(), count);
    }
    return most_frequent_by_sorting(rgba.data(), count);
}

} // namespace velmora::imaging
