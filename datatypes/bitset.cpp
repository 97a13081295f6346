// bitset!: processing specs (measure, set, test, clear), making bitsets,
// their text form, comparison, the logic and set operations and the series
// actions a set supports.
//
// Bits beyond the array are members exactly when the bitset is
// complemented, so every operation reads a missing byte as 0xFF or 0x00 by
// that flag: setting such a bit in a complemented set (or clearing it in a
// plain one) changes nothing, and the array grows only when a bit inside it
// would differ from that default.
#include "datatypes/bitset.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "values/actions.h"
#include "core/cycle_guard.h"
#include "core/stack.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "values/ownership.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "values/symbol.h"

namespace qel::bitset {

namespace {

inline uint8_t mask_of(int64_t n) { return static_cast<uint8_t>(0x80u >> (n & 7)); }
inline uint8_t fill_of(const Cell* bs) { return complemented(bs) ? 0xFF : 0x00; }

// The byte count that holds bits 0..highest.
int32_t bytes_for(int64_t highest) {
  int64_t n = (highest + 8) / 8;
  return static_cast<int32_t>(std::max<int64_t>(n, 1));
}

bool is_symbol(const Cell* c, const char* name) {
  return c->is(TypeId::word) && symbol::resolve(c->symbol()) == symbol::resolve(symbol::make(name));
}

[[noreturn]] void unusable(const Cell* spec, Caller caller) {
  Cell dt;
  set_datatype(&dt, TypeId::bitset);
  switch (caller) {
    case Caller::make: fire(ErrorCode::script_bad_make_arg, &dt, spec);
    case Caller::to: fire(ErrorCode::script_bad_to_arg, &dt, spec);
    default: fire(ErrorCode::script_invalid_arg, spec);
  }
}

// The bit a char!, integer! or float! names; false for a float that names
// none (NaN, or beyond the 32-bit range).
bool bit_of(const Cell* v, int64_t* n) {
  if (v->is(TypeId::integer)) {
    *n = v->integer();
    return true;
  }
  if (v->is(TypeId::char_)) {
    *n = v->data3;
    return true;
  }
  double d = v->real();
  if (integer::float_overflow(d)) return false;
  *n = static_cast<int64_t>(d);  // in range: truncation toward zero
  return true;
}

bool member(const Cell* bs, int64_t n) {
  if (!bit_in_range(bs, n)) return complemented(bs);
  return (bits(bs)[n >> 3] & mask_of(n)) != 0;
}

// One bit in set or clear mode.
void change_bit(Cell* bs, int64_t n, Mode mode) {
  bool inside = bit_in_range(bs, n);
  if (mode == Mode::set) {
    if (!inside && complemented(bs)) return;  // already a member
    ensure_bit(bs, static_cast<int32_t>(n))[n >> 3] |= mask_of(n);
  } else {
    if (!inside && !complemented(bs)) return;  // never was one
    ensure_bit(bs, static_cast<int32_t>(n))[n >> 3] &= static_cast<uint8_t>(~mask_of(n));
  }
}

int64_t process_bit(const Cell* v, Cell* bs, Mode mode) {
  int64_t n = 0;
  bool named = bit_of(v, &n);
  if (mode == Mode::test) return named && n >= 0 ? member(bs, n) : complemented(bs);
  if (!named || n < 0) fire(ErrorCode::script_out_of_range, v);
  if (mode == Mode::measure) return n;
  change_bit(bs, n, mode);
  return 0;
}

int64_t process_string(const Cell* str, Cell* bs, Mode mode) {
  Cell s = *str;
  int32_t count = string::rest_length(&s);
  SeriesBuffer* b = string::buffer(&s);
  uint32_t unit = b->unit();
  int32_t head = std::max(s.head(), 0);
  auto char_at = [&](int32_t i) { return string::get_char(string::char_at(string::buffer(&s), head + i), unit); };
  if (mode == Mode::measure || mode == Mode::set || mode == Mode::clear) {
    uint32_t highest = 0;
    for (int32_t i = 0; i < count; i++) highest = std::max(highest, char_at(i));
    if (mode == Mode::measure) return highest;
    // Grow once for all the characters that need the array to reach them.
    bool grows = mode == Mode::set ? !complemented(bs) : complemented(bs);
    if (count > 0 && grows) ensure_bit(bs, static_cast<int32_t>(highest));
    for (int32_t i = 0; i < count; i++) change_bit(bs, char_at(i), mode);
    return 0;
  }
  for (int32_t i = 0; i < count; i++)
    if (!member(bs, char_at(i))) return 0;
  return 1;
}

int64_t process_block(const Cell* blk, Cell* bs, Mode mode, Caller caller) {
  Node node = blk->node();
  if (cycle_guard::find(node)) fire(ErrorCode::internal_no_cycle);
  cycle_guard::Scope guard(node);
  int64_t highest = 0;
  Cell b = *blk;
  int32_t total = block::total_cells(&b);
  for (int32_t i = std::max(b.head(), 0); i < total; i++) {
    Cell v = *block::rs_abs_at(&b, i);
    bool ranged = (v.is(TypeId::char_) || v.is(TypeId::integer)) && i + 1 < total &&
                  is_symbol(block::rs_abs_at(&b, i + 1), "-");
    int64_t r;
    if (ranged) {
      if (i + 2 >= total) fire(ErrorCode::script_past_end);
      Cell end = *block::rs_abs_at(&b, i + 2);
      if (!end.is(TypeId::char_) && !end.is(TypeId::integer)) fire(ErrorCode::script_past_end);
      if (end.type() != v.type()) fire(ErrorCode::script_invalid_arg, &end);
      int64_t from = v.is(TypeId::integer) ? int64_t{v.integer()} : int64_t{v.data3};
      int64_t to = end.is(TypeId::integer) ? int64_t{end.integer()} : int64_t{end.data3};
      if (to < from) fire(ErrorCode::script_past_end);
      i += 2;
      if (from < 0) {
        if (mode != Mode::test) fire(ErrorCode::script_out_of_range, &v);
        // Negative bits are outside every array: members of a complemented
        // set only.
        if (!complemented(bs)) return 0;
        if (to < 0) continue;
        from = 0;
      }
      if (mode == Mode::measure) {
        highest = std::max(highest, to);
        continue;
      }
      r = set_range(bs, static_cast<int32_t>(from), static_cast<int32_t>(to), mode);
    } else {
      r = process(&v, bs, mode, caller);
    }
    if (mode == Mode::measure) highest = std::max(highest, r);
    if (mode == Mode::test && r == 0) return 0;
  }
  return mode == Mode::measure ? highest : mode == Mode::test ? 1 : 0;
}

void check_bitset_arg(const Cell* v) {
  if (v->is(TypeId::bitset)) return;
  Cell dt;
  set_datatype(&dt, v->type());
  fire(ErrorCode::script_invalid_type, &dt);
}

// A new bitset holding a copy of the array and the complemented state.
Cell* duplicate(const Cell* bs, Cell* result) {
  Cell src = *bs;
  int32_t n = byte_count(&src);
  make_at(result, n, 0, complemented(&src));
  if (n > 0) std::memcpy(bits(result), bits(&src), static_cast<size_t>(n));
  return result;
}

bool clears(const Cell* v) {
  if (is_falsy(v)) return true;
  if (v->is(TypeId::integer)) return v->integer() == 0;
  if (v->is(TypeId::float_)) return v->real() == 0.0;
  return false;
}

}  // namespace

// --- the array ---------------------------------------------------------------

Cell* make_at(Cell* cell, int32_t bytes, uint8_t fill, bool complement) {
  Node n = memory::alloc_bytes(static_cast<uint64_t>(std::max(bytes, 0)));
  SeriesBuffer* s = memory::series(n);
  if (bytes > 0) std::memset(s->head_ptr(), fill, static_cast<size_t>(bytes));
  s->tail = s->offset + static_cast<uint32_t>(std::max(bytes, 0));
  if (complement) s->flags |= series_flag::complement;
  *cell = Cell{static_cast<uint32_t>(TypeId::bitset), 0, n, 0};
  return cell;
}

uint8_t* ensure_bit(Cell* bs, int32_t n) {
  SeriesBuffer* s = buffer(bs);
  uint64_t need = (static_cast<uint64_t>(n) >> 3) + 1;
  uint64_t have = s->used_bytes();
  if (need <= have) return s->head_ptr();
  uint8_t fill = fill_of(bs);
  if (s->offset + need > s->size) {
    uint64_t room = std::max<uint64_t>(need, uint64_t{s->size} * 2);
    room = std::min<uint64_t>(room, memory::kMaxSeriesBytes);
    s = memory::expand_series(s, std::max(room, need));
  }
  std::memset(s->tail_ptr(), fill, static_cast<size_t>(need - have));
  s->tail = s->offset + static_cast<uint32_t>(need);
  return s->head_ptr();
}

bool bit_in_range(const Cell* bs, int64_t n) { return n >= 0 && (n >> 3) < byte_count(bs); }

void invert_bytes(Cell* bs) {
  uint8_t* p = bits(bs);
  for (int32_t i = 0, n = byte_count(bs); i < n; i++) p[i] = static_cast<uint8_t>(~p[i]);
}

int32_t write_hex(const Cell* bs, Cell* string, bool part, int32_t limit, bool invert) {
  Node node = bs->node();
  int32_t n = byte_count(bs);
  for (int32_t i = 0; i < n; i++) {
    if (part && limit < 0) break;
    uint8_t byte = memory::series(node)->head_ptr()[i];
    string::Hex2 h = string::byte_to_hex(invert ? static_cast<uint8_t>(~byte) : byte);
    limit = string::emit(string, std::string_view(h.chars, 2), limit);
  }
  return limit;
}

int32_t set_range(Cell* bs, int32_t from, int32_t to, Mode mode) {
  if (mode == Mode::test) {
    const uint8_t* p = bits(bs);
    int64_t n = from;
    for (; n <= to; n++) {
      if (!bit_in_range(bs, n)) return complemented(bs);  // the rest lies beyond too
      if ((n & 7) == 0 && n + 7 <= to) {
        if (p[n >> 3] != 0xFF) return 0;  // a whole byte at once
        n += 7;
      } else if (!member(bs, n)) {
        return 0;
      }
    }
    return 1;
  }
  // Only the part inside the array (or the part the array must grow to)
  // changes: a set in a complemented set and a clear in a plain one leave
  // the bits beyond the array alone.
  bool grows = mode == Mode::set ? !complemented(bs) : complemented(bs);
  int64_t last = to;
  if (grows) {
    ensure_bit(bs, to);
  } else {
    last = std::min<int64_t>(to, int64_t{byte_count(bs)} * 8 - 1);
  }
  uint8_t* p = bits(bs);
  int64_t n = from;
  auto apply = [&](int64_t bit) {
    if (mode == Mode::set)
      p[bit >> 3] |= mask_of(bit);
    else
      p[bit >> 3] &= static_cast<uint8_t>(~mask_of(bit));
  };
  for (; n <= last && (n & 7) != 0; n++) apply(n);
  if (n + 7 <= last) {
    int64_t whole = (last + 1 - n) >> 3;
    std::memset(p + (n >> 3), mode == Mode::set ? 0xFF : 0x00, static_cast<size_t>(whole));
    n += whole * 8;
  }
  for (; n <= last; n++) apply(n);
  return 0;
}

int64_t process(const Cell* spec, Cell* bs, Mode mode, Caller caller) {
  switch (spec->type()) {
    case TypeId::char_:
    case TypeId::integer:
    case TypeId::float_:
      return process_bit(spec, bs, mode);
    case TypeId::string:
      return process_string(spec, bs, mode);
    case TypeId::block:
      return process_block(spec, bs, mode, caller);
    case TypeId::binary:
      fire(ErrorCode::internal_not_done);
    default:
      unusable(spec, caller);
  }
}

Cell* make_from_spec(Cell* result, const Cell* spec_in, bool to) {
  Cell spec = *spec_in;
  Caller caller = to ? Caller::to : Caller::make;
  bool negated = false;
  if (spec.is(TypeId::block) && block::rs_length_q(&spec) > 0 && is_symbol(block::rs_head(&spec), "not")) {
    negated = true;
    spec.set_head(spec.head() + 1);
    if (block::rs_length_q(&spec) > 0 && block::rs_head(&spec)->is(TypeId::binary)) spec = *block::rs_head(&spec);
  }
  switch (spec.type()) {
    case TypeId::integer:
    case TypeId::float_: {
      if (to) unusable(&spec, caller);
      int64_t size = 0;
      if (!bit_of(&spec, &size) || size < 0) fire(ErrorCode::script_out_of_range, &spec);
      return make_at(result, static_cast<int32_t>((size + 7) / 8), 0, false);
    }
    case TypeId::bitset:
      return duplicate(&spec, result);
    case TypeId::binary: {
      int32_t head = std::max(spec.head(), 0);
      SeriesBuffer* b = series::buffer(&spec);
      int32_t n = std::max(static_cast<int32_t>(b->used_bytes()) - head, 0);
      make_at(result, n, 0, negated);
      const uint8_t* from = series::buffer(&spec)->head_ptr() + head;
      uint8_t* p = bits(result);
      for (int32_t i = 0; i < n; i++) p[i] = negated ? static_cast<uint8_t>(~from[i]) : from[i];
      return result;
    }
    default: {
      Cell probe;
      make_at(&probe, 0, 0, false);
      int64_t highest = process(&spec, &probe, Mode::measure, caller);
      make_at(result, bytes_for(highest), negated ? 0xFF : 0x00, negated);
      process(&spec, result, negated ? Mode::clear : Mode::set, caller);
      return result;
    }
  }
}

void do_math(MathOp op) {
  Cell* args = stack::arguments;
  stack::top = args + 1;
  if (op == MathOp::unique) return;
  check_bitset_arg(args + 1);
  Cell a = args[0], b = args[1];
  bool ca = complemented(&a), cb = complemented(&b);
  int32_t na = byte_count(&a), nb = byte_count(&b);
  // The bits beyond an array are its complemented state, so the result
  // beyond both arrays is the operation on the two states.
  auto apply = [op](uint8_t x, uint8_t y) -> uint8_t {
    switch (op) {
      case MathOp::or_:
      case MathOp::union_: return x | y;
      case MathOp::and_:
      case MathOp::intersect: return x & y;
      case MathOp::xor_:
      case MathOp::difference: return x ^ y;
      default: return static_cast<uint8_t>(x & ~y);  // exclude
    }
  };
  bool result_complemented = apply(ca ? 1 : 0, cb ? 1 : 0) != 0;
  int32_t n = std::max(na, nb);
  // and~ keeps only the common length when the shorter side's missing bytes
  // are zero (they would give nothing but zeros).
  if (op == MathOp::and_ && !(na < nb ? ca : cb)) n = std::min(na, nb);
  Cell result;
  make_at(&result, n, 0, result_complemented);
  const uint8_t* pa = bits(&a);
  const uint8_t* pb = bits(&b);
  uint8_t* out = bits(&result);
  uint8_t fa = ca ? 0xFF : 0x00, fb = cb ? 0xFF : 0x00;
  for (int32_t i = 0; i < n; i++) out[i] = apply(i < na ? pa[i] : fa, i < nb ? pb[i] : fb);
  *args = result;
}

// --- actions -------------------------------------------------------------------

Cell* make(Cell*, Cell* spec, TypeId) { return make_from_spec(stack::push_slot(), spec, false); }

Cell* to(Cell*, Cell* spec, TypeId) { return make_from_spec(stack::push_slot(), spec, true); }

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  bool comp = complemented(value);
  limit = string::emit(buffer, "make bitset! ", limit);
  if (comp) limit = string::emit(buffer, "[not ", limit);
  limit = string::emit(buffer, "#{", limit);
  limit = write_hex(value, buffer, part != nullptr, limit, comp);
  if (part && limit < 0) return limit;
  limit = string::emit_char(buffer, '}', limit);
  if (comp) limit = string::emit_char(buffer, ']', limit);
  return limit;
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep&) {
  if (!element->is(TypeId::integer) && !element->is(TypeId::char_)) {
    Cell dt;
    set_datatype(&dt, element->type());
    fire(ErrorCode::script_invalid_type, &dt);
  }
  if (!value) return pick(parent, 0, element);
  return poke(parent, 0, value, element);
}

int32_t compare(Cell* value1, Cell* value2, CompareOp op) {
  if (!value2->is(TypeId::bitset)) return kNotComparable;
  if (op == CompareOp::same) return value1->node() == value2->node() ? 0 : -1;
  int32_t n1 = byte_count(value1), n2 = byte_count(value2);
  if (n1 != n2) return n1 < n2 ? -1 : 1;
  bool c1 = complemented(value1), c2 = complemented(value2);
  // Two sets that differ in what lies beyond their arrays are never equal,
  // even with no bytes at all.
  if (c1 != c2) return c1 ? 1 : -1;
  const uint8_t* a = bits(value1);
  const uint8_t* b = bits(value2);
  for (int32_t i = n1 - 1; i >= 0; i--)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

Cell* complement(Cell* value) {
  Cell* result = duplicate(value, stack::push_slot());
  buffer(result)->flags ^= series_flag::complement;
  invert_bytes(result);
  return result;
}


Cell* append(Cell* series, Cell* value, int32_t, bool, int32_t, bool at_tail) {
  Cell v = *value;
  // The measuring walk raises every error the change would, before any bit
  // changes: a bad value halfway leaves the set as it was.
  process(&v, series, Mode::measure, Caller::other);
  bool owned = ownership::check(series, at_tail ? OwnerEvent::append : OwnerEvent::insert, &v, 0, 0);
  process(&v, series, Mode::set, Caller::other);
  if (owned) ownership::check(series, at_tail ? OwnerEvent::appended : OwnerEvent::inserted, &v, 0, 0);
  return series;
}

Cell* clear(Cell* value) {
  bool owned = ownership::check(value, OwnerEvent::clear, &none_value, 0, 0);
  std::memset(bits(value), fill_of(value), static_cast<size_t>(byte_count(value)));
  if (owned) ownership::check(value, OwnerEvent::cleared, &none_value, 0, 0);
  return value;
}

Cell* copy(Cell* value, Cell* result, Cell*, bool, Cell*) { return duplicate(value, result); }

Cell* find(Cell* series, Cell* value, const FindArgs&) {
  if (process(value, series, Mode::test, Caller::other))
    set_logic(series, true);
  else
    set_none(series);
  return series;
}

// The largest array (bits up to 2147483647) would have 2^31 bits: the
// count stops at the largest integer.
int32_t length_q(Cell* value) {
  return static_cast<int32_t>(std::min<int64_t>(int64_t{byte_count(value)} * 8, INT32_MAX));
}

Cell* pick(Cell* series, int32_t, Cell* index_cell) {
  Cell* result = stack::push_slot();
  set_logic(result, process(index_cell, series, Mode::test, Caller::other) != 0);
  return result;
}

Cell* poke(Cell* series, int32_t, Cell* value, Cell* index_cell) {
  Cell v = *value, index = *index_cell;
  bool owned = ownership::check(series, OwnerEvent::poke, &v, 0, 1);
  process(&index, series, clears(&v) ? Mode::clear : Mode::set, Caller::other);
  if (owned) ownership::check(series, OwnerEvent::poked, &v, 0, 1);
  return value;
}

Cell* remove(Cell* series, Cell* part, Cell*) {
  if (!part) fire(ErrorCode::script_missing_arg);
  Cell bits_to_remove = *part;
  process(&bits_to_remove, series, Mode::measure, Caller::other);
  bool owned = ownership::check(series, OwnerEvent::remove, &bits_to_remove, 0, 0);
  // Clearing is removal whatever the set's complemented state (the stored
  // bits are its members).
  process(&bits_to_remove, series, Mode::clear, Caller::other);
  if (owned) ownership::check(series, OwnerEvent::removed, &bits_to_remove, 0, 0);
  return series;
}

void register_() {
  static const ActionRow row{
      .make = make,
      .reflect = series::reflect,
      .to = to,
      .form = form,
      .mold = mold,
      .eval_path = eval_path,
      .compare = compare,
      .negate = complement,
      .and_ = actions::math_action<do_math, MathOp::and_>,
      .complement = complement,
      .or_ = actions::math_action<do_math, MathOp::or_>,
      .xor_ = actions::math_action<do_math, MathOp::xor_>,
      .append = append,
      .clear = clear,
      .copy = copy,
      .find = find,
      .insert = append,
      .length_q = length_q,
      .pick = pick,
      .poke = poke,
      .remove = remove,
      .modify = series::modify,
  };
  datatype::register_type(TypeId::bitset, TypeId::none_id, "bitset!", row);
}

}  // namespace qel::bitset
