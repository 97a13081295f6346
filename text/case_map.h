// Case mapping: one-to-one upper and lower case of Unicode code points, and
// the in-place case change behind the `uppercase` and `lowercase` natives.
//
// Case-insensitive comparison and search, the symbol table's lookup and
// `parse` fold text by mapping both sides to upper case with `case_lookup`.
// The mapping is one code point to one, Unicode's simple case mapping: a
// code point whose full mapping has several (0xDF upper-cases to "SS") keeps
// its simple mapping or, having none, stays as it is (0xDF), and a mapping
// need not lead back (0x1E9E lower-cases to 0xDF, which has no upper case).
//
// The tables are generated (text/case_tables.inc, by
// tools/gen_unicode_tables.py): code points up to 0xFFFF through a block
// index and shared blocks, those above through sorted pairs.
#pragma once

#include <cstdint>

#include "memory/series.h"
#include "core/cell.h"

namespace qel::unicode {

enum class Case : uint8_t { lower = 0, upper = 1 };

// The mapped code point above 0x7F, or cp itself when it has no mapping.
uint32_t case_lookup_table(uint32_t cp, Case c);

// The upper (Case::upper) or lower case of a code point, or the code point
// itself when it has no mapping in that direction.
inline uint32_t case_lookup(uint32_t cp, Case c) {
  if (cp < 0x80) {
    if (c == Case::upper) return cp - 'a' < 26 ? cp - 32 : cp;
    return cp - 'A' < 26 ? cp + 32 : cp;
  }
  return case_lookup_table(cp, c);
}
inline uint32_t to_upper(uint32_t cp) { return case_lookup(cp, Case::upper); }
inline uint32_t to_lower(uint32_t cp) { return case_lookup(cp, Case::lower); }

// Maps `count` characters of a string buffer from character index `first`
// (the caller keeps both within the buffer) and stores them back, widening
// the buffer when a mapped code point needs a wider unit (0xFF upper-cases to
// 0x178). Returns the buffer to use afterwards.
SeriesBuffer* change_case_units(SeriesBuffer* s, uint32_t first, uint32_t count, Case c);

// The Unicode version the tables were made from ("14.0.0").
const char* case_unicode_version();

}  // namespace qel::unicode
