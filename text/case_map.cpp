// Case mapping: see case_map.h.
#include "text/case_map.h"

#include <algorithm>

#include "text/unicode.h"
#include "runtime/startup_slots.h"
#include "core/errors.h"

namespace qel::unicode {

namespace {

#include "text/case_tables.inc"

constexpr uint32_t kBlockMask = (1u << kCaseBlockBits) - 1;

uint32_t lookup_pairs(const uint32_t* pairs, size_t words, uint32_t cp) {
  // Keys ascend: a binary search over the (key, value) pairs.
  size_t lo = 0, hi = words / 2;
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    uint32_t key = pairs[2 * mid];
    if (key == cp) return pairs[2 * mid + 1];
    if (key < cp) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return cp;
}

}  // namespace

uint32_t case_lookup_table(uint32_t cp, Case c) {
  if (cp <= 0xFFFF) {
    uint32_t mapped = c == Case::upper ? kUpperBlocks[kUpperIndex[cp >> kCaseBlockBits]][cp & kBlockMask]
                                       : kLowerBlocks[kLowerIndex[cp >> kCaseBlockBits]][cp & kBlockMask];
    return mapped != 0 ? mapped : cp;
  }
  if (c == Case::upper) return lookup_pairs(kUpperPairs, std::size(kUpperPairs), cp);
  return lookup_pairs(kLowerPairs, std::size(kLowerPairs), cp);
}

const char* case_unicode_version() { return kCaseUnicodeVersion; }

// The tables are constant data made at build time: start-up has nothing to
// build.
void init() {}

SeriesBuffer* change_case_units(SeriesBuffer* s, uint32_t first, uint32_t count, Case c) {
  uint32_t unit = s->unit();
  for (uint32_t i = first; i < first + count; i++) {
    uint8_t* p = s->head_ptr() + uint64_t{i} * unit;
    uint32_t cp = read_unit(p, unit);
    uint32_t mapped = case_lookup(cp, c);
    if (mapped == cp) continue;
    if (unit_for(mapped) > unit) {
      // Widening keeps the character index; the walk goes on in the new unit.
      s = widen(s, unit_for(mapped));
      unit = s->unit();
      p = s->head_ptr() + uint64_t{i} * unit;
    }
    write_unit(p, unit, mapped);
  }
  return s;
}

}  // namespace qel::unicode
