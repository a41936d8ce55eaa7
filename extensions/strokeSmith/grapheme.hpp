// Grapheme clusters (Unicode's extended grapheme clusters) over the code points of a text: the
// characters as the user perceives them, which a text field's caret steps over one per arrow
// press. Plain C++ without the Python headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora::grapheme {

// The grapheme cluster break property of a code point. Extended_Pictographic, whose code points
// are all Other otherwise, counts as a property of its own; `hangul_syllable` stands for LV and
// LVT in the table only.
enum class Property : std::uint8_t {
    other,
    cr,
    lf,
    control,
    extend,
    zwj,
    regional_indicator,
    prepend,
    spacing_mark,
    l,
    v,
    t,
    lv,
    lvt,
    extended_pictographic,
    hangul_syllable,
};

Property property_of(char32_t code_point) noexcept;

// The cluster boundaries of a text whose code points are fed one at a time, in order.
class Boundaries {
  public:
    // Whether a cluster starts at `code_point`, given the code points fed before it. The first
    // code point starts one.
    bool starts_cluster(char32_t code_point) noexcept;

  private:
    bool joined(Property current) const noexcept;

    bool started_ = false;
    Property previous_ = Property::other;
    // The text so far ends with an Extended_Pictographic followed by Extend marks only.
    bool pictographic_ = false;
    // The text so far ends with a ZWJ right after such a sequence: an emoji ZWJ sequence.
    bool pictographic_zwj_ = false;
    // The text so far ends with an odd number of regional indicators: a flag's first half.
    bool odd_regional_indicators_ = false;
};

// How many code points pass between two calls of a count's `pause`.
inline constexpr std::size_t pause_interval = std::size_t(1) << 16;

// The clusters of `text` that hold a code point at or after `position`: the Left presses that
// take a caret from the end of the text back to `position`, or, when `position` lies inside a
// cluster, to that cluster's start. The boundaries depend on what comes before `position`, so
// the whole text is read. `pause()` runs before each `pause_interval` code points (a caller
// checks for signals there); an exception that it throws ends the count.
template <class Unit, class Pause>
std::size_t clusters_from(std::span<const Unit> text, std::size_t position, Pause&& pause) {
    Boundaries boundaries;
    std::size_t clusters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i % pause_interval == 0) {
            pause();
        }
        const bool starts = boundaries.starts_cluster(char32_t(text[i]));
        if (i >= position && (starts || i == position)) {
            ++clusters;
        }
    }
    return clusters;
}

} // namespace velmora::grapheme
