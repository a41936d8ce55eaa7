"""Prints the grapheme cluster break table of the keyboard module, a C++ header.

Usage: python3 scripts/make_grapheme_table.py [UNICODE_DIR] > GRAPHEME_TABLE

GRAPHEME_TABLE is extensions/strokeSmith/grapheme_table.hpp.
UNICODE_DIR (default /usr/share/unicode, Debian's unicode-data package) holds
auxiliary/GraphemeBreakProperty.txt, emoji/emoji-data.txt and DerivedCoreProperties.txt. The
table lists, in code point order, the first code point of every run of code points that share
one break property (Extended_Pictographic counts as a property of its own); a code point's
property is that of the last run starting at or before it. The Hangul syllables, whose LV and
LVT properties alternate in a fixed pattern, are one run that the segmentation resolves by
arithmetic.
"""

import os
import re
import sys

CODE_POINTS = 0x110000
HANGUL_FIRST, HANGUL_LAST, HANGUL_TRAILS = 0xAC00, 0xD7A3, 28

# The enumerators of `Property` (extensions/strokeSmith/grapheme.hpp) by Unicode value name.
ENUMERATORS = {
    "Other": "other",
    "CR": "cr",
    "LF": "lf",
    "Control": "control",
    "Extend": "extend",
    "ZWJ": "zwj",
    "Regional_Indicator": "regional_indicator",
    "Prepend": "prepend",
    "SpacingMark": "spacing_mark",
    "L": "l",
    "V": "v",
    "T": "t",
    "LV": "lv",
    "LVT": "lvt",
    "Extended_Pictographic": "extended_pictographic",
    "Hangul_Syllable": "hangul_syllable",
}
PER_LINE = 4

LINE = re.compile(r"^([0-9A-F]+)(?:\.\.([0-9A-F]+))?\s*;\s*(\w+)")


def entries(path):
    """(first, last, value) of every data line of a Unicode property file."""
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            match = LINE.match(line)
            if match:
                first, last, value = match.groups()
                yield int(first, 16), int(last or first, 16), value


def version(path):
    """The version in the first line of a Unicode data file ("# Name-15.0.0.txt")."""
    with open(path, encoding="utf-8") as lines:
        found = re.search(r"-(\d+\.\d+\.\d+)\.txt", lines.readline())
    if not found:
        sys.exit(f"{path}: no version in its first line")
    return found.group(1)


def properties(unicode_dir):
    """The property name of every code point."""
    table = ["Other"] * CODE_POINTS
    for first, last, value in entries(
        os.path.join(unicode_dir, "auxiliary", "GraphemeBreakProperty.txt")
    ):
        table[first : last + 1] = [value] * (last - first + 1)
    for first, last, value in entries(os.path.join(unicode_dir, "emoji", "emoji-data.txt")):
        if value != "Extended_Pictographic":
            continue
        for code_point in range(first, last + 1):
            if table[code_point] != "Other":
                sys.exit(f"U+{code_point:04X} is Extended_Pictographic and {table[code_point]}")
            table[code_point] = value
    for code_point in range(HANGUL_FIRST, HANGUL_LAST + 1):
        expected = "LV" if (code_point - HANGUL_FIRST) % HANGUL_TRAILS == 0 else "LVT"
        if table[code_point] != expected:
            sys.exit(f"U+{code_point:04X} is {table[code_point]}, not {expected}")
        table[code_point] = "Hangul_Syllable"
    return table


def runs(table):
    """(first code point, property) of every run of equal properties."""
    return [
        (code_point, value)
        for code_point, value in enumerate(table)
        if code_point == 0 or table[code_point - 1] != value
    ]


def main():
    unicode_dir = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode"
    derived = os.path.join(unicode_dir, "DerivedCoreProperties.txt")
    if any(value == "InCB" for _, _, value in entries(derived)):
        # Indic_Conjunct_Break comes with a rule (no break inside a conjunct) that the
        # segmentation does not have yet: a table without it would break conjuncts apart.
        sys.exit("this data has Indic_Conjunct_Break: add its rule to grapheme.cpp first")
    data_version = version(os.path.join(unicode_dir, "auxiliary", "GraphemeBreakProperty.txt"))
    table_runs = runs(properties(unicode_dir))
    cells = [f"{{0x{first:05X}, {ENUMERATORS[value]}}}," for first, value in table_runs]
    rows = [" ".join(cells[i : i + PER_LINE]) for i in range(0, len(cells), PER_LINE)]
    print(
        f"""\
// The grapheme cluster break property of every code point, Unicode {data_version}: the first
// code point of each run of code points with one property, in code point order. Made by
// scripts/make_grapheme_table.py from Debian's unicode-data; do not edit.
#pragma once

#include "strokeSmith/grapheme.hpp"

namespace velmora::grapheme::table {{

struct Run {{
    char32_t first;
    Property property;
}};

using enum Property;

// clang-format off
inline constexpr Run runs[] = {{
{chr(10).join("    " + row for row in rows)}
}};
// clang-format on

}} // namespace velmora::grapheme::table"""
    )


if __name__ == "__main__":
    main()
