// Display width of a code point in terminal cells, for the console's line
// editor and the text-mode GUI back end: 0 for combining marks (and the
// Hangul medial vowels and final consonants, which join the syllable before
// them), 2 for East Asian wide and fullwidth characters, 1 otherwise.
//
// The ranges are generated (text/char_width_tables.inc, by
// tools/gen_unicode_tables.py).
#pragma once

#include <cstdint>

namespace qel::char_width {

// 0, 1 or 2 cells. Code point 0 takes none; the other control characters
// (below 32 and 127-159) take one, as do code points in neither table.
int get(uint32_t cp);

// Whether cp lies in a range table: `items` 32-bit code points taken in
// pairs (first, last), both inclusive, sorted ascending and disjoint.
bool in_ranges(uint32_t cp, const uint32_t* table, uint32_t items);

// The Unicode version the tables were made from ("14.0.0").
const char* unicode_version();

}  // namespace qel::char_width
