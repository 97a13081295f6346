// string!: comparison, searching, ordering, path steps, the set operations
// and the matching tests of parse.
//
// Searching folds case (through the case tables, to upper case) in the text
// types unless /case or /same is given; binary! and vector! series never
// fold. A forward search of a 1-byte text for a 1-byte pattern finds its
// candidates with memchr (exact) or a 16-bytes-at-a-time scan for the few
// bytes that fold to the pattern's first character, then checks the rest.
//
// Sorting works on the raw buffer with comparators by unit; records of /skip
// characters are sorted as fixed-size items. Single wide characters sorted
// without /case are folded once each, not at every comparison: each becomes
// its folded code beside its own in one 64-bit word, sorted by the folded
// half with the same algorithm (so in the same order), and written back.
// With a function comparator the
// characters are sorted through a private copy (the comparator runs Qel
// code, which may move or change the series) and written back afterwards.
#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/stack.h"
#include "text/case_map.h"
#include "memory/collector.h"
#include "text/sort.h"
#include "text/unicode.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "values/ownership.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "values/symbol.h"

namespace qel::string {

namespace {

inline bool is_text_series(TypeId t) { return is_any_string(t); }

// The characters a search looks for: one item (a code point, a bitset, or a
// raw vector item) or a run of code points.
struct Pattern {
  enum class Kind : uint8_t { one, bitset, item, text } kind = Kind::one;
  uint32_t cp = 0;                // one: the code point (folded when folding)
  const Cell* bitset = nullptr;   // bitset
  Cell item{};                    // item: the value compared with vector items
  std::vector<uint32_t> text;     // text: the code points (folded when folding)
  int32_t length() const { return kind == Kind::text ? static_cast<int32_t>(text.size()) : 1; }
};

// Reads the characters of a text value (or a binary's bytes) from its head.
void read_text(const Cell* v, std::vector<uint32_t>& out, bool folding) {
  SeriesBuffer* b = buffer(v);
  const int32_t len = buffer_length(b);
  const int32_t head = std::clamp(v->head(), 0, len);
  const uint32_t unit = b->unit();
  out.reserve(static_cast<size_t>(len - head));
  for (int32_t i = head; i < len; i++) {
    uint32_t c = get_char(char_at(b, i), unit);
    out.push_back(folding ? fold(c) : c);
  }
}

Pattern make_pattern(Cell* series, Cell* value, bool folding) {
  Pattern p;
  const TypeId vt = value->type();
  const TypeId st = series->type();
  if (st == TypeId::vector) {
    // Vector elements match numbers and characters as values; nothing
    // else is found in a vector (a text or bitset is not read as items).
    p.kind = Pattern::Kind::item;
    p.item = *value;
  } else if (vt == TypeId::char_) {
    p.cp = folding ? fold(value->data3) : value->data3;
  } else if (vt == TypeId::bitset) {
    p.kind = Pattern::Kind::bitset;
    p.bitset = value;
  } else if ((vt == TypeId::integer || vt == TypeId::float_) && st == TypeId::binary) {
    if (vt == TypeId::integer) {
      p.cp = static_cast<uint32_t>(value->integer());
      if (value->integer() < 0 || value->integer() > 255) p.cp = 0xFFFFFFFFu;  // never a byte
    } else {
      p.kind = Pattern::Kind::item;
      p.item = *value;
    }
  } else if (vt == TypeId::word) {
    p.kind = Pattern::Kind::text;
    Cell* sym = symbol::get(value->symbol());
    Cell name;
    set_series(&name, TypeId::string, sym->data2);
    read_text(&name, p.text, folding);
  } else if ((is_any_string(vt) && vt != TypeId::tag) || vt == TypeId::binary) {
    if (vt == TypeId::binary && st != TypeId::binary) fire(ErrorCode::script_invalid_arg, value);
    p.kind = Pattern::Kind::text;
    read_text(value, p.text, folding);
  } else {
    // Anything else is searched as its form (a tag! with its brackets).
    p.kind = Pattern::Kind::text;
    Cell formed;
    rs_make_at(&formed, 16);
    Cell v = *value;
    actions::call_form(&v, &formed, nullptr, kNoLimit);
    read_text(&formed, p.text, folding);
  }
  return p;
}

// Whether the raw vector item at p equals the value (the vector module's
// reader gives the item as a value).
bool item_equal(const Cell* series, const uint8_t* p, const Cell* value) {
  // A binary holds no items of this kind (a float is never a byte).
  if (!series->is(TypeId::vector) || !series::vector_hooks.get) return false;
  Cell v;
  series::vector_hooks.get(series, p, &v);
  const bool int_item = v.is(TypeId::integer) || v.is(TypeId::char_);
  // Integers and characters meet by their code, floats and percents by value.
  if (value->is(TypeId::integer) || value->is(TypeId::char_)) return int_item && v.data3 == value->data3;
  if (value->is(TypeId::float_) || value->is(TypeId::percent))
    return !int_item && v.real() == value->real();  // NaN never equal
  return false;
}

// Exact forward search in a 1-byte buffer: memchr for the first character,
// then the rest. Positions [from, to) are tried; answers -1 when none
// matches.
int64_t forward_exact_1(const uint8_t* base, int64_t from, int64_t to, const std::vector<uint32_t>& pat) {
  const int64_t k = static_cast<int64_t>(pat.size());
  if (pat[0] > 0xFF) return -1;
  std::vector<uint8_t> bytes(pat.size());
  for (size_t i = 0; i < pat.size(); i++) {
    if (pat[i] > 0xFF) return -1;
    bytes[i] = static_cast<uint8_t>(pat[i]);
  }
  int64_t last = to - 1;  // the last start position tried
  int64_t p = from;
  while (p <= last) {
    const void* hit = std::memchr(base + p, bytes[0], static_cast<size_t>(last - p + 1));
    if (!hit) return -1;
    p = static_cast<const uint8_t*>(hit) - base;
    if (k == 1 || std::memcmp(base + p + 1, bytes.data() + 1, static_cast<size_t>(k - 1)) == 0) return p;
    p++;
  }
  return -1;
}

// Folded forward search in a 1-byte buffer. The bytes whose fold equals the
// pattern's first (folded) character are found 16 at a time.
int64_t forward_folded_1(const uint8_t* base, int64_t from, int64_t to, const std::vector<uint32_t>& pat) {
  const int64_t k = static_cast<int64_t>(pat.size());
  uint8_t firsts[256];
  int nfirst = 0;
  for (uint32_t b = 0; b < 256; b++)
    if (fold_table_1[b] == pat[0]) firsts[nfirst++] = static_cast<uint8_t>(b);
  if (nfirst == 0) return -1;
  auto rest_matches = [&](int64_t p) {
    for (int64_t i = 1; i < k; i++)
      if (fold_table_1[base[p + i]] != pat[static_cast<size_t>(i)]) return false;
    return true;
  };
  int64_t last = to - 1;
  int64_t p = from;
#if defined(__SSE2__)
  if (nfirst <= 3) {
    const __m128i n0 = _mm_set1_epi8(static_cast<char>(firsts[0]));
    const __m128i n1 = _mm_set1_epi8(static_cast<char>(firsts[nfirst > 1 ? 1 : 0]));
    const __m128i n2 = _mm_set1_epi8(static_cast<char>(firsts[nfirst > 2 ? 2 : 0]));
    while (p + 16 <= last + 1) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + p));
      __m128i eq = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, n0), _mm_cmpeq_epi8(v, n1)),
                                _mm_cmpeq_epi8(v, n2));
      uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(eq));
      while (mask) {
        int bit = __builtin_ctz(mask);
        if (rest_matches(p + bit)) return p + bit;
        mask &= mask - 1;
      }
      p += 16;
    }
  }
#endif
  const uint32_t first = pat[0];
  for (; p <= last; p++)
    if (fold_table_1[base[p]] == first && rest_matches(p)) return p;
  return -1;
}

}  // namespace

// --- compare

int32_t compare(Cell* value1, Cell* value2, CompareOp op) {
  if (value1->type() != value2->type() &&
      !(is_any_string(value2->type()) && (op == CompareOp::equal || op == CompareOp::not_equal)))
    return kNotComparable;
  return compare_values(value1, value2, op, Match::no);
}

// --- find and select

int32_t find_index(Cell* series, Cell* value, const FindArgs& args, int32_t* match_length) {
  SeriesBuffer* b = buffer(series);
  const int32_t len = buffer_length(b);
  if (len == 0) return -1;
  int32_t head = std::max(series->head(), 0);
  if (head >= len && !args.reverse) return -1;
  if (head > len) head = len;
  if (args.any || args.with) fire(ErrorCode::internal_not_done);
  int32_t step = 1;
  if (args.skip) {
    if (!args.skip->is(TypeId::integer)) series::fire_invalid_refine("skip", args.skip);
    step = args.skip->integer();
    if (step < 1) fire(ErrorCode::script_out_of_range, args.skip);
  }
  int64_t n = len - head;
  bool has_part = args.part != nullptr;
  if (has_part) {
    if (args.part->is(TypeId::integer)) {
      n = args.part->integer();
    } else {
      if (args.part->type() != series->type() || args.part->node() != series->node())
        series::fire_invalid_refine("part", args.part);
      n = int64_t{args.part->head()} - head;
    }
    // The count is clamped to the characters from the head before the
    // direction is chosen: /reverse/part at the tail has nothing to search.
    n = std::min<int64_t>(n, len - head);
    if (n <= 0) return -1;
  }
  if (args.reverse && (args.match || head == 0)) return -1;

  const bool folding = is_text_series(series->type()) && !args.case_ && !args.same;
  Pattern pat = make_pattern(series, value, folding);
  const int32_t k = pat.length();
  if (k == 0) return -1;  // an empty text matches nothing
  if (match_length) *match_length = k;

  // The positions tried: forwards [lo, hi) from lo; backwards from hi - 1
  // down to lo (a text match ends at the position tried).
  int64_t lo, hi;
  int dir;
  if (args.last) {
    lo = head;
    hi = has_part ? head + n : len;
    dir = -1;
  } else if (args.reverse) {
    hi = head;
    lo = has_part ? std::max<int64_t>(head - n, 0) : 0;
    dir = -1;
  } else {
    lo = head;
    hi = has_part ? head + n : len;
    dir = 1;
  }

  // Buffers are re-read here: forming the pattern may have allocated.
  b = buffer(series);
  const uint32_t unit = b->unit();
  const uint8_t* base = char_at(b, 0);
  auto at = [&](int64_t i) { return get_char(base + (static_cast<uint64_t>(i) << unit_shift(unit)), unit); };
  // Records of /skip begin at the head: backwards, the first start tried is
  // the last record start at or before x.
  auto record_at_or_before = [&](int64_t x) {
    const int64_t d = x - head;
    return head + (d >= 0 ? d / step : -((-d + step - 1) / step)) * step;
  };
  int64_t found = -1;
  if (dir > 0 && step == 1 && !args.match && unit == 1 &&
      (pat.kind == Pattern::Kind::text || pat.kind == Pattern::Kind::one)) {
    std::vector<uint32_t> one;
    const std::vector<uint32_t>& text = pat.kind == Pattern::Kind::text ? pat.text : (one = {pat.cp}, one);
    if (hi - lo >= k)
      found = folding ? forward_folded_1(base, lo, hi - k + 1, text) : forward_exact_1(base, lo, hi - k + 1, text);
  } else if (pat.kind != Pattern::Kind::text) {
    auto hit = [&](int64_t i) -> bool {
      switch (pat.kind) {
        case Pattern::Kind::one: {
          uint32_t c = at(i);
          return (folding ? fold(c) : c) == pat.cp;
        }
        case Pattern::Kind::bitset: return bitset_has(pat.bitset, at(i));
        default:
          return item_equal(series, base + (static_cast<uint64_t>(i) << unit_shift(unit)), &pat.item);
      }
    };
    if (dir > 0) {
      for (int64_t i = lo; i < hi; i += step) {
        if (hit(i)) {
          found = i;
          break;
        }
        if (args.match) break;
      }
    } else {
      for (int64_t i = record_at_or_before(hi - 1); i >= lo; i -= step) {
        if (hit(i)) {
          found = i;
          break;
        }
        if (args.match) break;
      }
    }
  } else {
    auto text_at = [&](int64_t start) {
      for (int32_t j = 0; j < k; j++) {
        uint32_t c = at(start + j);
        if ((folding ? fold(c) : c) != pat.text[static_cast<size_t>(j)]) return false;
      }
      return true;
    };
    if (dir > 0) {
      for (int64_t i = lo; i + k <= hi; i += step) {
        if (text_at(i)) {
          found = i;
          break;
        }
        if (args.match) break;
      }
    } else {
      // A match lies within the range: the last start tried is hi - k.
      for (int64_t i = record_at_or_before(hi - k); i >= lo; i -= step) {
        if (text_at(i)) {
          found = i;
          break;
        }
        if (args.match) break;
      }
    }
  }
  if (found < 0) return -1;
  if (args.tail) {
    if (pat.kind == Pattern::Kind::text)
      found += k;
    else
      found += dir > 0 ? 1 : step;
    found = std::min<int64_t>(found, len);
  }
  return static_cast<int32_t>(found);
}

Cell* find(Cell* series, Cell* value, const FindArgs& args) {
  int32_t at = find_index(series, value, args, nullptr);
  Cell* result = stack::push(series);
  if (at < 0)
    set_none(result);
  else
    result->set_head(at);
  return result;
}

Cell* select(Cell* series, Cell* value, const FindArgs& args) {
  FindArgs a = args;
  a.tail = false;
  a.match = false;
  int32_t k = 1;
  int32_t at = find_index(series, value, a, &k);
  Cell* result = stack::push_slot();
  set_none(result);
  if (at < 0) return result;
  SeriesBuffer* b = buffer(series);
  const int64_t pos = int64_t{at} + k;
  if (pos >= buffer_length(b)) return result;
  const uint8_t* p = char_at(b, static_cast<int32_t>(pos));
  if (series->is(TypeId::binary)) {
    set_integer(result, *p);
  } else if (series->is(TypeId::vector)) {
    if (series::vector_hooks.get) series::vector_hooks.get(series, p, result);
  } else {
    set_char(result, get_char(p, b->unit()));
  }
  return result;
}

// --- sort

namespace {

// Comparator flags: bit 0 reverse, bit 1 whole records, bits 2 and up the
// record size (whole records) or the offset of the compared character.
struct CharSort {
  uint32_t flags;
  bool fold_case;
};

template <uint32_t Unit>
int32_t sort_compare(const void* x, const void* y, const void* context) {
  const auto* c = static_cast<const CharSort*>(context);
  const uint8_t* a = static_cast<const uint8_t*>(x);
  const uint8_t* b = static_cast<const uint8_t*>(y);
  uint32_t count = 1;
  if (c->flags & 2) {
    count = c->flags >> 2;
  } else {
    a += (c->flags >> 2) * Unit;
    b += (c->flags >> 2) * Unit;
  }
  for (uint32_t i = 0; i < count; i++) {
    uint32_t ca = unicode::read_unit(a + i * Unit, Unit), cb = unicode::read_unit(b + i * Unit, Unit);
    if (c->fold_case) {
      if constexpr (Unit == 1) {
        // The 1-byte order folds only A-Z, to lower case: "_" (0x5F) sorts
        // between the upper-case and the lower-case letters, so before "a".
        if (ca - 'A' < 26) ca += 32;
        if (cb - 'A' < 26) cb += 32;
      } else {
        ca = fold(ca);
        cb = fold(cb);
      }
    }
    int64_t d = int64_t{ca} - int64_t{cb};
    if (d != 0) {
      int32_t r = d < 0 ? -1 : 1;
      return (c->flags & 1) ? -r : r;
    }
  }
  return 0;
}

// Wide characters folded ahead: the folded code in the high half of each
// word, the character in the low half; only the high halves are compared.
int32_t folded_compare(const void* x, const void* y, const void* context) {
  const bool reverse = *static_cast<const bool*>(context);
  uint64_t a, b;
  std::memcpy(&a, x, 8);
  std::memcpy(&b, y, 8);
  a >>= 32;
  b >>= 32;
  if (a == b) return 0;
  const int32_t r = a < b ? -1 : 1;
  return reverse ? -r : r;
}

void sort_folded(uint8_t* base, uint32_t unit, size_t count, bool reverse, bool stable) {
  std::vector<uint64_t> items(count);
  for (size_t i = 0; i < count; i++) {
    const uint32_t c = unicode::read_unit(base + (i << unit_shift(unit)), unit);
    items[i] = (uint64_t{fold(c)} << 32) | c;
  }
  if (stable)
    sort::mergesort(items.data(), count, 8, &reverse, folded_compare);
  else
    sort::qsort(items.data(), count, 8, &reverse, folded_compare);
  for (size_t i = 0; i < count; i++)
    unicode::write_unit(base + (i << unit_shift(unit)), unit, static_cast<uint32_t>(items[i]));
}

// Sorting with a Qel function: the records live in a private copy on the
// C++ heap and an index array is sorted, so nothing the comparator does
// (collecting, changing the series) reaches the sort's data.
struct CallSort {
  const std::vector<uint8_t>* copy;
  uint32_t unit;
  int32_t size;  // characters per record
  uint32_t flags;
  TypeId type;
  Cell* function;
  Cell series;  // the series sorted (a vector's element type and width)
};

void record_value(const CallSort& c, int32_t record, Cell* out) {
  const uint8_t* p = c.copy->data() + (static_cast<size_t>(record) * c.size << unit_shift(c.unit));
  if ((c.flags & 2) && c.size > 0) {
    make_at_unit(out, static_cast<uint32_t>(c.size), c.unit);
    SeriesBuffer* b = buffer(out);
    std::memcpy(b->data(), p, static_cast<size_t>(c.size) << unit_shift(c.unit));
    b->tail = static_cast<uint32_t>(c.size) << unit_shift(c.unit);
    out->set_type(c.type);
    if (c.type == TypeId::vector) out->data3 = c.series.data3;
  } else {
    const uint32_t offset = (c.flags & 2) ? 0 : (c.flags >> 2);
    if (c.type == TypeId::vector && series::vector_hooks.get) {
      series::vector_hooks.get(&c.series, p + (offset << unit_shift(c.unit)), out);
      return;
    }
    set_char(out, get_char(p + (offset << unit_shift(c.unit)), c.unit));
    if (c.type == TypeId::binary) set_integer(out, static_cast<int32_t>(out->data3));
  }
}

int32_t call_comparator(const void* x, const void* y, const void* context) {
  const auto* c = static_cast<const CallSort*>(context);
  Cell a, b;
  record_value(*c, *static_cast<const int32_t*>(x), &a);
  record_value(*c, *static_cast<const int32_t*>(y), &b);
  Cell fn = *c->function;
  Cell* r = (c->flags & 1) ? block::call_compare_function(&fn, &a, &b)
                           : block::call_compare_function(&fn, &b, &a);
  Cell answer = *r;
  return series::map_compare_result(&answer);
}

}  // namespace

Cell* sort(Cell* series, const SortArgs& args) {
  series::SortPlan plan;
  if (!series::sort_begin(series, args, rs_length_q(series), &plan)) return series;
  const int32_t n = plan.n, size = plan.size;
  const uint32_t flags = plan.flags;
  Cell* fn = plan.function;
  if (n > 0) {
    const size_t records = static_cast<size_t>(n / size);
    // /stable keeps records that compare equal in their order, with or
    // without /case (the quicksort would not).
    const bool stable = args.stable;
    if (fn) {
      if (!block::call_compare_function) fire(ErrorCode::internal_not_done);
      SeriesBuffer* b = buffer(series);
      const uint32_t unit = b->unit();
      const size_t bytes = static_cast<size_t>(n) << unit_shift(unit);
      std::vector<uint8_t> copy(char_at(b, series->head()), char_at(b, series->head()) + bytes);
      std::vector<int32_t> order(records);
      for (size_t i = 0; i < records; i++) order[i] = static_cast<int32_t>(i);
      collector::Root function(*fn);
      CallSort ctx{&copy, unit, size, flags, series->type(), function.get(), *series};
      if (stable)
        sort::mergesort(order.data(), records, sizeof(int32_t), &ctx, call_comparator);
      else
        sort::qsort(order.data(), records, sizeof(int32_t), &ctx, call_comparator);
      // The comparator may have changed the series: write back only what
      // still fits, in the unit the buffer has now (a wider character
      // appended by the comparator widens the buffer; the sorted
      // characters still fit in the wider units).
      b = buffer(series);
      const uint32_t now = b->unit();
      const bool same = now == unit;
      const bool widened = now > unit && !series->is(TypeId::vector);
      if (series->head() >= 0 && int64_t{series->head()} + n <= buffer_length(b) &&
          (same || widened)) {
        uint8_t* out = char_at(b, series->head());
        const size_t rec = static_cast<size_t>(size) << unit_shift(unit);
        for (size_t r = 0; r < records; r++) {
          const uint8_t* from = copy.data() + static_cast<size_t>(order[r]) * rec;
          if (same) {
            std::memcpy(out + r * rec, from, rec);
            continue;
          }
          for (int32_t i = 0; i < size; i++)
            unicode::write_unit(out + ((r * size + static_cast<size_t>(i)) << unit_shift(now)), now,
                                unicode::read_unit(from + (static_cast<size_t>(i) << unit_shift(unit)), unit));
        }
      }
    } else if (series->is(TypeId::vector)) {
      // Vector elements sort as numbers in their own format.
      if (!series::vector_hooks.sort) fire(ErrorCode::internal_not_done);
      SeriesBuffer* b = buffer(series);
      series::vector_hooks.sort(series, char_at(b, series->head()), records,
                                static_cast<size_t>(size) << unit_shift(b->unit()), flags, stable);
    } else {
      SeriesBuffer* b = buffer(series);
      const uint32_t unit = b->unit();
      CharSort ctx{flags, !args.case_ && !series->is(TypeId::binary)};
      if (ctx.fold_case && unit > 1 && size == 1) {
        sort_folded(char_at(b, series->head()), unit, records, flags & 1, stable);
        series::sort_end(series, plan);
        return series;
      }
      sort::Compare cmp = unit == 1 ? sort_compare<1> : unit == 2 ? sort_compare<2> : sort_compare<4>;
      uint8_t* base = char_at(b, series->head());
      const size_t width = static_cast<size_t>(size) << unit_shift(unit);
      if (stable)
        sort::mergesort(base, records, width, &ctx, cmp);
      else
        sort::qsort(base, records, width, &ctx, cmp);
    }
  }
  series::sort_end(series, plan);
  return series;
}

// --- paths

Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  if (element->is(TypeId::integer)) {
    if (value) {
      series::poke(parent, element->integer(), value, element);
      return value;
    }
    return series::pick(parent, element->integer(), element);
  }
  if (element->is(TypeId::word)) {
    Cell path = step.path ? *step.path : none_value;
    fire(ErrorCode::script_invalid_path, &path, element);
  }
  FindArgs args;
  if (!value) return select(parent, element, args);
  // The character set is the one reading gives: the first after the whole
  // matched text, never one inside the key.
  int32_t k = 1;
  const int32_t found = find_index(parent, element, args, &k);
  if (found < 0) {
    Cell path = step.path ? *step.path : none_value;
    fire(ErrorCode::script_bad_path_set, &path, element);
  }
  Cell at = *parent;
  at.set_head(found);
  series::poke(&at, k < 0x7FFFFFFF ? k + 1 : k, value, nullptr);
  return value;
}

// --- set operations

Cell* do_set_op(bool case_, Cell* skip, MathOp op) {
  Cell* a1 = stack::arguments;
  Cell* a2 = stack::arguments + 1;
  int32_t r = 1;
  if (skip) {
    r = skip->is(TypeId::integer) ? skip->integer() : 0;
    if (r < 1) series::fire_invalid_refine("skip", skip);
  }
  const bool two = op != MathOp::unique;
  rs_length_q(a1);
  if (two) rs_length_q(a2);
  const bool folding = !case_ && is_any_string(a1->type());
  auto key = [&](uint32_t c) { return folding ? fold(c) : c; };
  // The first characters of the records of a series, as a set (the test
  // that `has_char` makes, for every record at once).
  auto firsts = [&](const Cell* s) {
    std::unordered_set<uint32_t> set;
    SeriesBuffer* b = buffer(s);
    const int32_t len = buffer_length(b);
    // 64-bit positions: a record size near the largest integer must not wrap.
    for (int64_t i = std::max(s->head(), 0); i < len; i += r)
      set.insert(key(get_char(char_at(b, static_cast<int32_t>(i)), b->unit())));
    return set;
  };
  int64_t cap = rest_length(a1);
  if (op == MathOp::union_) cap += rest_length(a2);
  if (cap > 0x7FFFFFF0) fire(ErrorCode::internal_no_memory);
  Cell result;
  rs_make_at(&result, static_cast<uint32_t>(cap));
  result.set_type(a1->type());
  std::unordered_set<uint32_t> in_result;
  auto pass = [&](const Cell* from, const std::unordered_set<uint32_t>* other, bool keep_if_in) {
    SeriesBuffer* b = buffer(from);
    const int32_t len = buffer_length(b);
    for (int64_t i = std::max(from->head(), 0); i < len; i += r) {
      b = buffer(from);
      const uint32_t c = get_char(char_at(b, static_cast<int32_t>(i)), b->unit());
      const uint32_t k = key(c);
      if (other && (other->count(k) != 0) != keep_if_in) continue;
      if (in_result.count(k)) continue;
      in_result.insert(k);
      const int64_t end = std::min<int64_t>(i + r, len);
      for (int64_t j = i; j < end; j++) {
        b = buffer(from);
        uint32_t cj = get_char(char_at(b, static_cast<int32_t>(j)), b->unit());
        append_char(buffer(&result), cj);
      }
    }
  };
  switch (op) {
    case MathOp::unique:
      pass(a1, nullptr, true);
      break;
    case MathOp::union_:
      pass(a1, nullptr, true);
      pass(a2, nullptr, true);
      break;
    case MathOp::intersect: {
      auto s2 = firsts(a2);
      pass(a1, &s2, true);
      break;
    }
    case MathOp::exclude: {
      auto s2 = firsts(a2);
      pass(a1, &s2, false);
      break;
    }
    case MathOp::difference: {
      auto s1 = firsts(a1);
      auto s2 = firsts(a2);
      pass(a1, &s2, false);
      pass(a2, &s1, false);
      break;
    }
    default:
      actions::bad_code();
  }
  Cell* target = (op == MathOp::union_ || op == MathOp::difference) ? a2 : a1;
  target->set_node(result.node());
  target->set_head(0);
  target->data3 = 0;
  return target;
}

// --- parse support

bool bitset_has(const Cell* bitset, uint32_t cp) {
  const SeriesBuffer* b = memory::series(bitset->node());
  const uint64_t bits = uint64_t{b->tail - b->offset} * 8;
  if (cp >= bits) return (b->flags & series_flag::complement) != 0;
  const uint8_t byte = b->data()[b->offset + (cp >> 3)];
  return (byte & (0x80u >> (cp & 7))) != 0;
}

bool match_bitset(Cell* s, const Cell* bitset) {
  if (rs_tail_q(s)) return false;
  return bitset_has(bitset, get_char(rs_head(s), buffer(s)->unit()));
}

bool tag_frame(Cell* s, Cell* tag, CompareOp) {
  SeriesBuffer* b = buffer(s);
  const int64_t len = buffer_length(b);
  const int64_t head = std::max(s->head(), 0);
  const int64_t close = head + 1 + rest_length(tag);
  if (close >= len) return false;
  return get_char(char_at(b, static_cast<int32_t>(head)), b->unit()) == '<' &&
         get_char(char_at(b, static_cast<int32_t>(close)), b->unit()) == '>';
}

bool match_head(Cell* s, Cell* value, CompareOp op) {
  const TypeId vt = value->type();
  if (vt == TypeId::char_) {
    if (rs_tail_q(s)) return false;
    uint32_t c = get_char(rs_head(s), buffer(s)->unit());
    uint32_t v = value->data3;
    if (op == CompareOp::strict_equal) return c == v;
    return fold(c) == fold(v);
  }
  if (vt == TypeId::tag) {
    if (!tag_frame(s, value, op)) return false;
    Cell inner = *s;
    inner.set_head(std::max(s->head(), 0) + 1);
    return compare_values(&inner, value, op, Match::prefix) == 0;
  }
  if (is_any_string(vt)) return compare_values(s, value, op, Match::prefix) == 0;
  return false;
}

}  // namespace qel::string
