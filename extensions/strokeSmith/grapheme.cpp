// Grapheme cluster boundaries: the property of each code point from the generated table, and
// the rules that decide whether two neighbouring code points stay in one cluster.
#include "strokeSmith/grapheme.hpp"
#include "strokeSmith/grapheme_table.hpp"

#include <algorithm>
#include <iterator>

namespace velmora::grapheme {

namespace {

// The Hangul syllables: each LV syllable is followed by the LVT syllables that add one of the
// 27 trailing consonants to it.
constexpr char32_t hangul_first = 0xAC00;
constexpr char32_t hangul_per_lv = 28;

bool is_control(Property property) {
    return property == Property::cr || property == Property::lf || property == Property::control;
}

} // namespace

Property property_of(char32_t code_point) noexcept {
    // The last run that starts at or before the code point; the first run starts at 0.
    const auto after =
        std::upper_bound(std::begin(table::runs), std::end(table::runs), code_point,
                         [](char32_t value, const table::Run& run) { return value < run.first; });
    const Property property = std::prev(after)->property;
    if (property == Property::hangul_syllable) {
        return (code_point - hangul_first) % hangul_per_lv == 0 ? Property::lv : Property::lvt;
    }
    return property;
}

// Whether `current` belongs to the cluster of the code point before it (`previous_`).
bool Boundaries::joined(Property current) const noexcept {
    using enum Property;
    // A CR LF line break is one character; any other control or line break stands alone.
    if (previous_ == cr && current == lf) {
        return true;
    }
    if (is_control(previous_) || is_control(current)) {
        return false;
    }
    // Hangul jamo that spell one syllable.
    if (previous_ == l && (current == l || current == v || current == lv || current == lvt)) {
        return true;
    }
    if ((previous_ == lv || previous_ == v) && (current == v || current == t)) {
        return true;
    }
    if ((previous_ == lvt || previous_ == t) && current == t) {
        return true;
    }
    // Marks and joiners attach to what precedes them, prefixes to what follows.
    if (current == extend || current == zwj || current == spacing_mark || previous_ == prepend) {
        return true;
    }
    // An emoji ZWJ sequence goes on with its next pictograph; regional indicators pair up.
    if (current == extended_pictographic && pictographic_zwj_) {
        return true;
    }
    return current == regional_indicator && odd_regional_indicators_;
}

bool Boundaries::starts_cluster(char32_t code_point) noexcept {
    using enum Property;
    const Property current = property_of(code_point);
    const bool starts = !started_ || !joined(current);
    started_ = true;
    pictographic_zwj_ = current == zwj && pictographic_;
    pictographic_ = current == extended_pictographic || (current == extend && pictographic_);
    odd_regional_indicators_ = current == regional_indicator && !odd_regional_indicators_;
    previous_ = current;
    return starts;
}

} // namespace velmora::grapheme
