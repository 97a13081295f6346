// Display width of a code point: see char_width.h.
#include "text/char_width.h"

#include <iterator>

namespace qel::char_width {

namespace {

#include "text/char_width_tables.inc"

}  // namespace

bool in_ranges(uint32_t cp, const uint32_t* table, uint32_t items) {
  if (items < 2 || cp < table[0] || cp > table[items - 1]) return false;
  // Binary search for the last pair whose first code point is <= cp.
  uint32_t lo = 0, hi = items / 2;
  while (hi - lo > 1) {
    uint32_t mid = (lo + hi) / 2;
    if (table[2 * mid] <= cp) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return cp <= table[2 * lo + 1];
}

int get(uint32_t cp) {
  if (cp == 0) return 0;
  if (cp < 32 || (cp >= 127 && cp <= 159)) return 1;
  if (cp < 0x300) return 1;  // below the first combining mark and the first wide character
  if (in_ranges(cp, kZeroWidth, std::size(kZeroWidth))) return 0;
  if (in_ranges(cp, kWide, std::size(kWide))) return 2;
  return 1;
}

const char* unicode_version() { return kWidthUnicodeVersion; }

}  // namespace qel::char_width
