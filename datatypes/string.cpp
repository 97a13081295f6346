// string! storage: constructors, positions, character writers, widening,
// text appenders, loading, the comparison core and the action row.
#include "datatypes/string.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "datatypes/binary.h"
#include "core/stack.h"
#include "text/case_map.h"
#include "text/unicode.h"
#include "runtime/fatal.h"
#include "runtime/output.h"
#include "core/errors.h"
#include "datatypes/series.h"
#include "values/symbol.h"

namespace qel::string {

namespace {

// The largest data area a string may have (sizes and indexes are 32-bit).
constexpr uint64_t kMaxBytes = 0x7FFFFFF0;

inline uint8_t* char_ptr(SeriesBuffer* s, int32_t index) { return char_at(s, index); }

// Grows a buffer so that its data area holds at least `bytes` bytes,
// doubling when that is more. The content is kept.
SeriesBuffer* grow_to(SeriesBuffer* s, uint64_t bytes) {
  if (bytes <= s->size) return s;
  uint64_t want = std::max<uint64_t>(bytes, uint64_t{s->size} * 2);
  if (want > kMaxBytes) want = bytes;
  uint32_t offset = s->offset, tail = s->tail;
  SeriesBuffer* d = memory::expand_series(s, want);
  // expand_series keeps the data from the offset at the start of the new
  // buffer; put the offset and tail back in terms of it.
  d->tail = tail - offset;
  d->offset = 0;
  return d;
}

// Decodes one UTF-8 sequence at p (end e); stores its length in *n. An
// invalid or truncated sequence gives U+FFFD with length 1.
inline uint32_t decode_utf8(const uint8_t* p, const uint8_t* e, size_t* n) {
  uint8_t b = p[0];
  if (b < 0x80) {
    *n = 1;
    return b;
  }
  size_t len;
  uint32_t cp, min;
  if ((b & 0xE0) == 0xC0) {
    len = 2, cp = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3, cp = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4, cp = b & 0x07, min = 0x10000;
  } else {
    *n = 1;
    return 0xFFFD;
  }
  if (static_cast<size_t>(e - p) < len) {
    *n = 1;
    return 0xFFFD;
  }
  for (size_t i = 1; i < len; i++) {
    if ((p[i] & 0xC0) != 0x80) {
      *n = 1;
      return 0xFFFD;
    }
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    *n = 1;
    return 0xFFFD;
  }
  *n = len;
  return cp;
}

struct FoldTable {
  uint32_t v[256];
  FoldTable() {
    for (uint32_t c = 0; c < 256; c++) v[c] = unicode::case_lookup(c, unicode::Case::upper);
  }
};
const FoldTable fold_1;

}  // namespace

const uint32_t* const fold_table_1 = fold_1.v;

uint32_t fold(uint32_t cp) {
  return cp < 256 ? fold_1.v[cp] : unicode::case_lookup(cp, unicode::Case::upper);
}

// --- constructors

Cell* rs_make_at(Cell* c, uint32_t capacity) {
  set_unset(c);
  Node n = memory::alloc_series(capacity ? capacity : 1, 1);
  *c = Cell{static_cast<uint32_t>(TypeId::string), 0, n, 0};
  return c;
}

Cell* make_at_unit(Cell* c, uint32_t capacity, uint32_t unit) {
  set_unset(c);
  Node n = memory::alloc_units(capacity, unit);
  *c = Cell{static_cast<uint32_t>(TypeId::string), 0, n, 0};
  return c;
}

Cell* push(const Cell* s) { return stack::push(s); }

Cell* push_new(uint32_t capacity) { return rs_make_at(stack::push_slot(), capacity); }

Cell* make_utf8(Cell* c, std::string_view utf8) {
  rs_make_at(c, static_cast<uint32_t>(utf8.size()));
  append_utf8(c, utf8);
  return c;
}

// --- positions

int32_t rs_length_q(Cell* s) {
  int32_t len = buffer_length(buffer(s)) - s->head();
  if (len < 0) {
    s->set_head(buffer_length(buffer(s)));
    return 0;
  }
  return len;
}

int32_t get_rest_length(const Cell* s) { return buffer_length(buffer(s)); }

uint8_t* rs_head(Cell* s) {
  SeriesBuffer* b = buffer(s);
  if (s->head() > buffer_length(b)) s->set_head(buffer_length(b));
  return char_ptr(b, s->head());
}

uint8_t* rs_tail(const Cell* s) { return buffer(s)->tail_ptr(); }

bool rs_tail_q(const Cell* s) { return s->head() >= buffer_length(buffer(s)); }

uint32_t rs_abs_at(const Cell* s, int32_t index) {
  SeriesBuffer* b = buffer(s);
  return get_char(char_ptr(b, index), b->unit());
}

void rs_reset(Cell* s) {
  SeriesBuffer* b = buffer(s);
  b->flags = (b->flags & ~series_flag::unit_mask) | 1u;
  b->tail = b->offset;
  s->set_head(0);
}

uint32_t get_char(const uint8_t* p, uint32_t unit) {
  switch (unit) {
    case 1:
      return *p;
    case 2: {
      uint16_t v;
      std::memcpy(&v, p, 2);
      return v;
    }
    case 4: {
      uint32_t v;
      std::memcpy(&v, p, 4);
      return v;
    }
  }
  runtime::no_switch_matched();  // a broken unit invariant
}

void put_char(uint8_t* p, uint32_t unit, uint32_t cp) {
  switch (unit) {
    case 1:
      *p = static_cast<uint8_t>(cp);
      return;
    case 2: {
      uint16_t v = static_cast<uint16_t>(cp);
      std::memcpy(p, &v, 2);
      return;
    }
    case 4:
      std::memcpy(p, &cp, 4);
      return;
  }
  runtime::no_switch_matched();
}

int32_t find_char(const Cell* s, uint32_t cp) {
  SeriesBuffer* b = buffer(s);
  const uint32_t unit = b->unit();
  const int32_t len = buffer_length(b);
  for (int32_t i = std::max(s->head(), 0); i < len; i++)
    if (get_char(char_ptr(b, i), unit) == cp) return i - s->head();
  return -1;
}

bool has_char(const Cell* s, uint32_t cp, int32_t step, bool case_sensitive) {
  SeriesBuffer* b = buffer(s);
  const uint32_t unit = b->unit();
  const int32_t len = buffer_length(b);
  if (step < 1) step = 1;
  if (!case_sensitive) cp = fold(cp);
  for (int64_t i = std::max(s->head(), 0); i < len; i += step) {  // 64-bit: no wrap
    uint32_t c = get_char(char_ptr(b, static_cast<int32_t>(i)), unit);
    if (!case_sensitive) c = fold(c);
    if (c == cp) return true;
  }
  return false;
}

bool starts_with_cstring(const Cell* s, std::string_view bytes) {
  SeriesBuffer* b = buffer(s);
  const int32_t avail = buffer_length(b) - s->head();
  if (avail < static_cast<int32_t>(bytes.size())) return false;
  const uint32_t unit = b->unit();
  for (size_t i = 0; i < bytes.size(); i++) {
    uint32_t c = get_char(char_ptr(b, s->head() + static_cast<int32_t>(i)), unit);
    if (c != static_cast<uint8_t>(bytes[i])) return false;
  }
  return true;
}

// --- writers

SeriesBuffer* widen_to(SeriesBuffer* s, uint32_t from, uint32_t to) {
  if (to <= from) return s;
  const uint32_t sf = unit_shift(from), st = unit_shift(to);
  const uint32_t n = (s->tail - s->offset) >> sf;
  const uint32_t offset_chars = s->offset >> sf;
  const uint64_t need = (uint64_t{offset_chars} + n + 1) << st;
  SeriesBuffer* d = s;
  if (need > s->size) {
    uint64_t want = std::max<uint64_t>(need, uint64_t{s->size} * 2);
    if (want > kMaxBytes) want = need;
    d = memory::expand_series_buffer(s, want);
  }
  const uint8_t* src = s->data() + s->offset;
  const uint32_t new_offset = offset_chars << st;
  uint8_t* dst = d->data() + new_offset;
  // From the tail down, so an in-place widening never overwrites a
  // character before reading it.
  for (uint32_t i = n; i-- > 0;) put_char(dst + (i << st), to, get_char(src + (i << sf), from));
  d->offset = new_offset;
  d->tail = new_offset + (n << st);
  d->flags = (d->flags & ~series_flag::unit_mask) | to;
  return d;
}

SeriesBuffer* append_char(SeriesBuffer* s, uint32_t cp) {
  uint32_t unit = s->unit();
  if (uint32_t need = unit_for_append(cp); need > unit) {
    s = widen_to(s, unit, need);
    unit = need;
  }
  s = memory::ensure_room(s, unit);
  put_char(s->tail_ptr(), unit, cp);
  s->tail += unit;
  return s;
}

SeriesBuffer* write_char(SeriesBuffer* s, int32_t index, uint32_t cp) {
  uint32_t unit = s->unit();
  if (uint32_t need = unit_for_write(cp); need > unit) {
    s = widen_to(s, unit, need);
    unit = need;
  }
  put_char(char_ptr(s, index), unit, cp);
  return s;
}

SeriesBuffer* overwrite_char(SeriesBuffer* s, int32_t index, uint32_t cp) {
  uint32_t unit = s->unit();
  if (uint32_t need = unit_for_write(cp); need > unit) {
    s = widen_to(s, unit, need);
    unit = need;
  }
  const uint32_t shift = unit_shift(unit);
  const uint64_t end = s->offset + ((uint64_t{static_cast<uint32_t>(index)} + 1) << shift);
  // Grow until the position fits, however far it lies (a position beyond a
  // doubled buffer must not be written past its end).
  if (end > s->size) s = grow_to(s, end);
  uint8_t* p = char_ptr(s, index);
  if (p >= s->tail_ptr()) {
    // Characters skipped between the old tail and the position read as NUL.
    std::memset(s->tail_ptr(), 0, static_cast<size_t>(p - s->tail_ptr()));
    s->tail = static_cast<uint32_t>(p - s->data()) + unit;
  }
  put_char(p, unit, cp);
  return s;
}

SeriesBuffer* insert_char(SeriesBuffer* s, int32_t index, uint32_t cp) {
  uint32_t unit = s->unit();
  if (uint32_t need = unit_for_write(cp); need > unit) {
    s = widen_to(s, unit, need);
    unit = need;
  }
  s = memory::ensure_room(s, unit);
  const int32_t len = buffer_length(s);
  if (index > len) index = len;
  if (index < 0) index = 0;
  uint8_t* p = char_ptr(s, index);
  std::memmove(p + unit, p, static_cast<size_t>(s->tail_ptr() - p));
  put_char(p, unit, cp);
  s->tail += unit;
  return s;
}

void remove_char(SeriesBuffer* s, int32_t index) { remove_chars(s, index, 1); }

void remove_chars(SeriesBuffer* s, int32_t index, int32_t n) {
  const int32_t len = buffer_length(s);
  if (index < 0 || index >= len || n <= 0) return;
  if (n > len - index) n = len - index;
  uint8_t* p = char_ptr(s, index);
  const uint32_t bytes = static_cast<uint32_t>(n) << unit_shift(s->unit());
  std::memmove(p, p + bytes, static_cast<size_t>(s->tail_ptr() - (p + bytes)));
  s->tail -= bytes;
}

SeriesBuffer* truncate_buffer(SeriesBuffer* s, int32_t n) {
  if (n < 0) n = 0;
  const uint64_t bytes = uint64_t{static_cast<uint32_t>(n)} << unit_shift(s->unit());
  if (buffer_length(s) > n && bytes <= s->size) s->tail = s->offset + static_cast<uint32_t>(bytes);
  return s;
}

// --- appenders

SeriesBuffer* append_bytes(Cell* str, const char* bytes, size_t n) {
  SeriesBuffer* s = buffer(str);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes);
  size_t i = 0;
  if (s->unit() == 1) {
    // The ASCII run is one copy.
    size_t ascii = 0;
    while (ascii < n && p[ascii] < 0x80) ascii++;
    if (ascii) {
      s = memory::ensure_room(s, ascii);
      std::memcpy(s->tail_ptr(), p, ascii);
      s->tail += static_cast<uint32_t>(ascii);
      i = ascii;
    }
  }
  for (; i < n; i++) s = append_char(s, p[i]);
  return s;
}

SeriesBuffer* append_utf8(Cell* str, std::string_view utf8) {
  SeriesBuffer* s = buffer(str);
  const uint8_t* p = reinterpret_cast<const uint8_t*>(utf8.data());
  const uint8_t* e = p + utf8.size();
  while (p < e) {
    if (s->unit() == 1) {
      const uint8_t* q = p;
      while (q < e && *q < 0x80) q++;
      if (q > p) {
        size_t k = static_cast<size_t>(q - p);
        s = memory::ensure_room(s, k);
        std::memcpy(s->tail_ptr(), p, k);
        s->tail += static_cast<uint32_t>(k);
        p = q;
        continue;
      }
    }
    size_t n;
    uint32_t cp = decode_utf8(p, e, &n);
    s = append_char(s, cp);
    p += n;
  }
  return s;
}

void concatenate(Cell* dst, const Cell* src, int32_t part, int32_t offset, Keep keep, Mode mode) {
  Cell src_cell = *src;
  if (src_cell.is(TypeId::symbol)) {
    // A symbol stands for its name, from its start.
    if (src_cell.data2) {
      set_series(&src_cell, TypeId::string, src_cell.data2);
    } else {
      const SeriesBuffer* nb = memory::series(src_cell.data3);
      load_at(reinterpret_cast<const char*>(nb->data() + nb->offset), nb->used_bytes(), &src_cell,
              0);
    }
  }
  SeriesBuffer* d = buffer(dst);
  SeriesBuffer* s = buffer(&src_cell);
  const bool shared = d == s;
  if (d->unit() < s->unit()) {
    d = widen_to(d, d->unit(), s->unit());
    if (shared) s = d;
  } else if (d->unit() > s->unit() && keep == Keep::no) {
    s = widen_to(s, s->unit(), d->unit());
    if (shared) d = s;
  }
  const int32_t src_len = std::max(buffer_length(s) - src_cell.head(), 0);
  int32_t n = src_len;
  if (part >= 0 && part < n) n = part;
  const uint32_t du = d->unit(), su = s->unit();
  const uint64_t bytes = uint64_t{static_cast<uint32_t>(n)} << unit_shift(du);
  if (bytes == 0) return;

  const uint64_t needed = uint64_t{d->tail} + bytes;
  if (needed > d->size) {
    d = grow_to(d, needed * 2 > kMaxBytes ? needed : needed * 2);
    if (shared) s = d;
  }
  uint32_t write_at;  // byte offset of the write position from data()
  if (mode == Mode::append) {
    write_at = d->tail;
  } else {
    int32_t pos = dst->head() + offset;
    pos = std::clamp(pos, 0, buffer_length(d));
    write_at = d->offset + (static_cast<uint32_t>(pos) << unit_shift(du));
  }
  const uint32_t old_tail = d->tail;
  if (mode == Mode::insert) {
    std::memmove(d->data() + write_at + bytes, d->data() + write_at, old_tail - write_at);
  }
  // Where the source characters are now (an insert into the same buffer may
  // have moved them up).
  uint32_t src_at = s->offset + (static_cast<uint32_t>(src_cell.head()) << unit_shift(su));
  if (shared && mode == Mode::insert && src_at >= write_at) src_at += static_cast<uint32_t>(bytes);
  if (su == du) {
    std::memmove(d->data() + write_at, s->data() + src_at, bytes);
  } else {
    for (int32_t i = 0; i < n; i++)
      put_char(d->data() + write_at + (static_cast<uint32_t>(i) << unit_shift(du)), du,
               get_char(s->data() + src_at + (static_cast<uint32_t>(i) << unit_shift(su)), su));
  }
  if (mode == Mode::overwrite)
    d->tail = std::max(old_tail, write_at + static_cast<uint32_t>(bytes));
  else
    d->tail = old_tail + static_cast<uint32_t>(bytes);
}

int32_t indent(Cell* buffer, int32_t level, int32_t limit) {
  for (int32_t i = 0; i < level; i++) limit = emit(buffer, "    ", limit);
  return limit;
}

// --- loading

Cell* load_at(const char* text, size_t n, Cell* out, int32_t encoding) {
  if (encoding != 0 && encoding != -1) {
    output::write_utf8("*** Loading Error: input encoding unsupported\n");
    runtime::quit(0);
  }
  if (!out) out = stack::push_slot();
  rs_make_at(out, static_cast<uint32_t>(std::max<size_t>(n, 1)));
  if (encoding == 0) {
    // Loading keeps 1 byte per character up to 0xFF.
    SeriesBuffer* s = buffer(out);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
    const uint8_t* e = p + n;
    while (p < e) {
      size_t k;
      uint32_t cp = decode_utf8(p, e, &k);
      uint32_t unit = s->unit();
      if (uint32_t need = unit_for_write(cp); need > unit) s = widen_to(s, unit, need);
      s = memory::ensure_room(s, s->unit());
      put_char(s->tail_ptr(), s->unit(), cp);
      s->tail += s->unit();
      p += k;
    }
  } else {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(text);
    const size_t units = n / 2;
    SeriesBuffer* s = buffer(out);
    for (size_t i = 0; i < units; i++) {
      uint32_t u = p[2 * i] | (uint32_t{p[2 * i + 1]} << 8);
      if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
        uint32_t lo = p[2 * i + 2] | (uint32_t{p[2 * i + 3]} << 8);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          u = (((u & 0x3FF) << 10) | (lo & 0x3FF)) + 0x10000;
          i++;
        }
      }
      uint32_t unit = s->unit();
      if (uint32_t need = unit_for_write(u); need > unit) s = widen_to(s, unit, need);
      s = memory::ensure_room(s, s->unit());
      put_char(s->tail_ptr(), s->unit(), u);
      s->tail += s->unit();
    }
    s->flags |= series_flag::utf16;
  }
  return out;
}

Cell* load_in(const char* text, size_t n, Node block, int32_t encoding) {
  Cell tmp;
  load_at(text, n, &tmp, encoding);
  Cell* c = append_slot(block);
  *c = tmp;
  return c;
}

void to_utf8(const Cell* s, std::string& out, int32_t part) {
  SeriesBuffer* b = buffer(s);
  const uint32_t unit = b->unit();
  int32_t len = buffer_length(b) - s->head();
  if (part >= 0 && part < len) len = part;
  for (int32_t i = 0; i < len; i++) {
    char enc[4];
    size_t k = output::encode_utf8(get_char(char_ptr(b, s->head() + i), unit), enc);
    out.append(enc, k);
  }
}

// --- comparison

namespace {

// A text value or a symbol! as a string cell (a symbol stands for its name,
// from its start).
Cell text_view(Cell* c) {
  if (!c->is(TypeId::symbol)) return *c;
  symbol::ensure_cache(c);
  Cell v;
  set_series(&v, TypeId::string, c->data2);
  return v;
}

// The first difference of n characters read with their own units, folded
// or not: -1, 1, or 0 when all are equal.
template <uint32_t UA, uint32_t UB, bool Fold>
int32_t diff_chars(const uint8_t* a, const uint8_t* b, int32_t n) {
  for (int32_t i = 0; i < n; i++) {
    uint32_t ca = unicode::read_unit(a + i * UA, UA);
    uint32_t cb = unicode::read_unit(b + i * UB, UB);
    if (ca == cb) continue;
    if constexpr (Fold) {
      ca = fold(ca);
      cb = fold(cb);
      if (ca == cb) continue;
    }
    return ca < cb ? -1 : 1;
  }
  return 0;
}

template <bool Fold>
int32_t diff_chars(const uint8_t* a, uint32_t ua, const uint8_t* b, uint32_t ub, int32_t n) {
  if (ua == 1 && ub == 1) {
    if constexpr (!Fold) {
      int r = std::memcmp(a, b, static_cast<size_t>(n));
      return (r > 0) - (r < 0);
    }
    return diff_chars<1, 1, Fold>(a, b, n);
  }
  switch (ua * 8 + ub) {
    case 1 * 8 + 2: return diff_chars<1, 2, Fold>(a, b, n);
    case 1 * 8 + 4: return diff_chars<1, 4, Fold>(a, b, n);
    case 2 * 8 + 1: return diff_chars<2, 1, Fold>(a, b, n);
    case 2 * 8 + 2: return diff_chars<2, 2, Fold>(a, b, n);
    case 2 * 8 + 4: return diff_chars<2, 4, Fold>(a, b, n);
    case 4 * 8 + 1: return diff_chars<4, 1, Fold>(a, b, n);
    case 4 * 8 + 2: return diff_chars<4, 2, Fold>(a, b, n);
    case 4 * 8 + 4: return diff_chars<4, 4, Fold>(a, b, n);
  }
  runtime::no_switch_matched();
}

}  // namespace

int32_t compare_values(Cell* a_cell, Cell* b_cell, CompareOp op, Match match) {
  const bool same = a_cell->node() == b_cell->node() && a_cell->head() == b_cell->head();
  if (op == CompareOp::same) return same ? 0 : -1;
  if (same && (op == CompareOp::equal || op == CompareOp::not_equal ||
               op == CompareOp::strict_equal || op == CompareOp::find))
    return 0;
  Cell a = text_view(a_cell), b = text_view(b_cell);
  SeriesBuffer* sa = buffer(&a);
  SeriesBuffer* sb = buffer(&b);
  const int32_t la = std::max(buffer_length(sa) - std::max(a.head(), 0), 0);
  const int32_t lb = std::max(buffer_length(sb) - std::max(b.head(), 0), 0);
  if (match == Match::prefix) {
    if (lb == 0) return op == CompareOp::find ? 1 : 0;
    if (lb > la) return 1;
  } else {
    // Two empty texts are equal whatever their buffers.
    if (la == 0 && lb == 0) return 0;
    if (la != lb && (op == CompareOp::equal || op == CompareOp::find ||
                     op == CompareOp::strict_equal || op == CompareOp::not_equal))
      return 1;
    if (lb == 0) return 1;
  }
  if (la == 0) return -1;
  const bool fold_case = !(op == CompareOp::strict_equal || op == CompareOp::case_sort ||
                           op == CompareOp::parse_strict_equal);
  const int32_t n = std::min(la, lb);
  const uint8_t* pa = char_ptr(sa, std::max(a.head(), 0));
  const uint8_t* pb = char_ptr(sb, std::max(b.head(), 0));
  int32_t r = fold_case ? diff_chars<true>(pa, sa->unit(), pb, sb->unit(), n)
                        : diff_chars<false>(pa, sa->unit(), pb, sb->unit(), n);
  if (r != 0 || match == Match::prefix) return r;
  return (la > lb) - (la < lb);
}

int32_t compare_chars(const uint8_t* a, uint32_t ua, int32_t la, const uint8_t* b, uint32_t ub,
                      int32_t lb, bool fold) {
  const int32_t n = std::min(la, lb);
  const int32_t r = fold ? diff_chars<true>(a, ua, b, ub, n) : diff_chars<false>(a, ua, b, ub, n);
  if (r != 0) return r;
  return (la > lb) - (la < lb);
}

uint64_t sort_key(const uint8_t* p, uint32_t unit, int32_t len, bool fold) {
  uint64_t key = 0;
  const int32_t n = std::min(len, 4);
  for (int32_t i = 0; i < n; i++) {
    uint32_t c = get_char(p + (static_cast<size_t>(i) << unit_shift(unit)), unit);
    if (fold) c = string::fold(c);
    if (c >= 0xFFFE) {
      key |= uint64_t{0xFFFF} << (48 - 16 * i);
      break;
    }
    key |= uint64_t{c + 1} << (48 - 16 * i);
  }
  return key;
}

Cell* load_utf8_checked(const uint8_t* text, size_t n) {
  Cell* out = stack::push_slot();
  rs_make_at(out, static_cast<uint32_t>(std::max<size_t>(n, 1)));
  uint32_t unconsumed = 0;
  unicode::load_utf8_into(text, static_cast<uint32_t>(n), out, &unconsumed);
  if (unconsumed > 0) {
    Cell rest;
    binary::make_from(&rest, text + (n - unconsumed), unconsumed);
    fire(ErrorCode::access_invalid_utf8, &rest);
  }
  return out;
}

SeriesBuffer* reserve(SeriesBuffer* s, uint32_t unit, uint64_t chars) {
  const uint32_t old = s->unit();
  if (unit < old) unit = old;
  const uint64_t len = static_cast<uint64_t>(buffer_length(s));
  const uint64_t need = (len + chars) << unit_shift(unit);
  if (need > kMaxBytes) fire(ErrorCode::internal_no_memory);
  if (unit > old) {
    // Grows and widens in one pass when the buffer must grow anyway.
    const uint64_t offset_chars = s->offset >> unit_shift(old);
    if (((offset_chars + len + chars) << unit_shift(unit)) > s->size) {
      uint64_t want = std::max<uint64_t>(need, uint64_t{s->size} * 2);
      if (want > kMaxBytes) want = need;
      SeriesBuffer* d = memory::expand_series_buffer(s, want);
      const uint8_t* src = s->data() + s->offset;
      uint8_t* dst = d->data();
      const uint32_t su = unit_shift(old), du = unit_shift(unit);
      for (uint64_t i = 0; i < len; i++) put_char(dst + (i << du), unit, get_char(src + (i << su), old));
      d->offset = 0;
      d->tail = static_cast<uint32_t>(len << du);
      d->flags = (d->flags & ~series_flag::unit_mask) | unit;
      return d;
    }
    s = widen_to(s, old, unit);
  }
  if (uint64_t{s->tail} + (chars << unit_shift(unit)) > s->size) {
    uint64_t want = std::max<uint64_t>(need, uint64_t{s->size} * 2);
    if (want > kMaxBytes) want = need;
    s = grow_to(s, want + s->offset);
  }
  return s;
}

// --- hex

Hex2 byte_to_hex(uint8_t b) {
  static constexpr char digits[] = "0123456789ABCDEF";
  return Hex2{{digits[b >> 4], digits[b & 15]}};
}

std::string_view int_to_hex(int32_t v, bool trim, char (&out)[8]) {
  static constexpr char digits[] = "0123456789ABCDEF";
  uint32_t u = static_cast<uint32_t>(v);
  for (int i = 7; i >= 0; i--) {
    out[i] = digits[u & 15];
    u >>= 4;
  }
  if (!trim) return {out, 8};
  if (v == 0) return {"00", 2};
  int start = 0;
  while (start < 7 && out[start] == '0') start++;
  return {out + start, static_cast<size_t>(8 - start)};
}

// --- the action row

void register_() {
  static const ActionRow row{
      .make = make,
      .to = to,
      .form = form,
      .mold = mold,
      .eval_path = eval_path,
      .compare = compare,
      .append = append,
      .change = change,
      .find = find,
      .insert = append,
      .select = select,
      .sort = sort,
      .swap = swap,
      .take = take,
      .trim = trim,
  };
  datatype::register_type(TypeId::string, TypeId::series, "string!", row);
}

}  // namespace qel::string
