// binary!: byte routines, conversion, text form, comparison, byte-wise logic
// and the modifying actions that differ from string!'s.
#include "datatypes/binary.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "datatypes/base_n.h"
#include "datatypes/image.h"
#include "datatypes/tuple.h"
#include "core/cycle_guard.h"
#include "core/stack.h"
#include "memory/series.h"
#include "text/unicode.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "values/ownership.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "values/symbol.h"

namespace qel::binary {

namespace {

constexpr uint64_t kMaxBytes = 0x7FFFFFF0;

[[noreturn]] void no_memory() { fire(ErrorCode::internal_no_memory); }

[[noreturn]] void bad_to(const Cell* value) {
  Cell dt;
  set_datatype(&dt, TypeId::binary);
  fire(ErrorCode::script_bad_to_arg, &dt, value);
}

inline SeriesBuffer* buf(const Cell* b) { return memory::series(b->node()); }

inline int32_t total(const Cell* b) {
  const SeriesBuffer* s = buf(b);
  return static_cast<int32_t>(s->tail - s->offset);
}

inline int32_t head_of(const Cell* b) { return std::clamp(b->head(), 0, total(b)); }

// The UTF-8 bytes of a text value from its head, at most `part` bytes.
void text_bytes(std::vector<uint8_t>& out, const Cell* value, int32_t part) {
  std::string s = unicode::to_utf8_string(value);
  size_t n = s.size();
  if (part >= 0 && static_cast<size_t>(part) < n) n = static_cast<size_t>(part);
  out.insert(out.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
}

// Writes `n` bytes into a binary at byte `at` (from its first byte),
// replacing `removed` bytes, the run repeated `dup` times. Grows once.
int64_t splice(Cell* series, int32_t at, int32_t removed, const std::vector<uint8_t>& bytes, int32_t dup) {
  const int64_t written = static_cast<int64_t>(bytes.size()) * dup;
  const int32_t len = total(series);
  const int64_t new_len = int64_t{len} - removed + written;
  if (written > static_cast<int64_t>(kMaxBytes) || new_len > static_cast<int64_t>(kMaxBytes)) no_memory();
  SeriesBuffer* s = buf(series);
  if (s->offset + static_cast<uint64_t>(new_len) > s->size)
    s = memory::expand_series(s, std::min<uint64_t>(kMaxBytes, std::max<uint64_t>(uint64_t{s->size} * 2, static_cast<uint64_t>(new_len))));
  uint8_t* p = s->head_ptr() + at;
  std::memmove(p + written, p + removed, static_cast<size_t>(len - at - removed));
  if (!bytes.empty()) {
    std::memcpy(p, bytes.data(), bytes.size());
    size_t done = bytes.size();
    while (done < static_cast<size_t>(written)) {
      size_t chunk = std::min(done, static_cast<size_t>(written) - done);
      std::memcpy(p + done, p, chunk);
      done += chunk;
    }
  }
  s->tail = s->offset + static_cast<uint32_t>(new_len);
  return written;
}

}  // namespace

// --- byte routines

int32_t rs_length(const Cell* b) { return total(b) - head_of(b); }

uint8_t* rs_head(const Cell* b) { return buf(b)->head_ptr() + head_of(b); }

uint8_t byte_at(const Cell* b, int32_t position) { return buf(b)->head_ptr()[position]; }

void append_bytes(Cell* b, const uint8_t* bytes, size_t n) {
  if (n == 0) return;
  uint8_t* at = memory::reserve_tail(b->node(), n);
  std::memcpy(at, bytes, n);
}

void insert_bytes(Cell* b, int32_t position, const uint8_t* bytes, size_t n) {
  std::vector<uint8_t> copy(bytes, bytes + n);
  splice(b, head_of(b) + position, 0, copy, 1);
}

void append_int32(int32_t value, Cell* b) {
  const uint32_t v = static_cast<uint32_t>(value);
  const uint8_t bytes[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  append_bytes(b, bytes, 4);
}

Cell* make_at(Cell* c, uint32_t size) {
  set_unset(c);
  Node n = memory::alloc_bytes(size);
  *c = Cell{static_cast<uint32_t>(TypeId::binary), 0, n, 0};
  return c;
}

Cell* make_from(Cell* c, const uint8_t* bytes, size_t n) {
  make_at(c, static_cast<uint32_t>(n));
  append_bytes(c, bytes, n);
  return c;
}

Cell* load_in(const uint8_t* bytes, size_t n, Node block) {
  Cell tmp;
  make_from(&tmp, bytes, n);
  Cell* c = block ? append_slot(block) : stack::push_slot();
  *c = tmp;
  return c;
}

// --- comparison and parse tests

int32_t compare_bytes(const Cell* a, const Cell* b, CompareOp op, Match match) {
  const TypeId bt = b->type();
  if (bt != TypeId::binary && !is_any_string(bt)) return kNotComparable;
  if (a->node() == b->node() && a->head() == b->head()) {
    if (op == CompareOp::same || op == CompareOp::equal || op == CompareOp::not_equal ||
        op == CompareOp::strict_equal || op == CompareOp::find)
      return 0;
  }
  if (op == CompareOp::same) return -1;
  const int32_t la = rs_length(a);
  // The byte view of the second value's buffer.
  const SeriesBuffer* sb = buf(b);
  const int32_t bytes_b = static_cast<int32_t>(sb->tail - sb->offset);
  const int32_t hb = std::clamp(b->head() << string::unit_shift(sb->unit()), 0, bytes_b);
  const int32_t lb = bytes_b - hb;
  const bool eq_op = op == CompareOp::equal || op == CompareOp::not_equal ||
                     op == CompareOp::strict_equal || op == CompareOp::find;
  int32_t n;
  if (match == Match::prefix) {
    if (lb == 0) return (op == CompareOp::equal || op == CompareOp::strict_equal || op == CompareOp::find) ? 0 : 1;
    if (la < lb) return 1;
    n = lb;
  } else {
    if (la != lb && eq_op) return 1;
    if (la == 0 && lb == 0) return 0;
    n = std::min(la, lb);
  }
  const int r = std::memcmp(rs_head(a), sb->data() + sb->offset + hb, static_cast<size_t>(n));
  if (r != 0) return r < 0 ? -1 : 1;
  if (match == Match::prefix) return 0;
  return (la > lb) - (la < lb);
}

bool match_bitset(const Cell* b, const Cell* bitset) {
  if (rs_length(b) <= 0) return false;
  return string::bitset_has(bitset, *rs_head(b));
}

bool match_value(const Cell* b, const Cell* value, CompareOp op) {
  if (value->is(TypeId::char_)) return rs_length(b) > 0 && *rs_head(b) == value->data3;
  if (value->is(TypeId::binary) || is_any_string(value->type()))
    return compare_bytes(b, value, op, Match::prefix) == 0;
  return false;
}

void set_byte(uint8_t* at, const Cell* value) {
  if (value->is(TypeId::integer) || value->is(TypeId::char_))
    *at = static_cast<uint8_t>(value->data3);
  else
    fire(ErrorCode::script_invalid_arg, value);
}

// --- the bytes of a value

void value_bytes(std::vector<uint8_t>& out, const Cell* value, int32_t part, BytesMode mode) {
  const TypeId t = value->type();
  switch (t) {
    case TypeId::char_: {
      uint8_t enc[4];
      int n = unicode::encode_utf8_char(value->data3, enc);
      if (part >= 1 && part < n) n = part;
      out.insert(out.end(), enc, enc + n);
      return;
    }
    case TypeId::integer: {
      const int32_t v = value->integer();
      if (v > 255 || v < -128) fire(ErrorCode::script_invalid_arg, value);
      out.push_back(static_cast<uint8_t>(v));
      return;
    }
    case TypeId::binary: {
      int32_t n = rs_length(value);
      if (part >= 0 && part < n) n = part;
      const uint8_t* p = rs_head(value);
      out.insert(out.end(), p, p + n);
      return;
    }
    case TypeId::tuple: {
      int32_t n = tuple::length(value);
      if (part >= 0 && part < n) n = part;
      const uint8_t* p = tuple::bytes(value);
      out.insert(out.end(), p, p + n);
      return;
    }
    case TypeId::block:
    case TypeId::paren:
    case TypeId::hash: {
      // A block inside itself has no bytes: no-cycle, not endless recursion;
      // the guard's depth limit turns very deep nesting into too-deep.
      const uint32_t id = cycle_guard::identity(value);
      if (cycle_guard::find(id)) fire(ErrorCode::internal_no_cycle);
      cycle_guard::Scope guard(id);
      const int32_t n = std::max(block::rs_length_q(value), 0);
      for (int32_t i = 0; i < n; i++) {
        if (part >= 0 && i >= part) break;
        Cell item = *block::rs_abs_at(value, value->head() + i);
        value_bytes(out, &item, -1, mode);
      }
      return;
    }
    default:
      break;
  }
  if (is_any_string(t)) {
    text_bytes(out, value, part);
    return;
  }
  if (mode == BytesMode::insert) bad_to(value);
  Cell formed;
  string::rs_make_at(&formed, 16);
  Cell v = *value;
  actions::call_form(&v, &formed, nullptr, string::kNoLimit);
  text_bytes(out, &formed, part);
}

// --- to

Cell* to(Cell* proto, Cell* spec, TypeId) {
  Cell result;
  std::vector<uint8_t> bytes;
  switch (spec->type()) {
    case TypeId::block:
    case TypeId::paren:
    case TypeId::hash:
      value_bytes(bytes, spec, -1, BytesMode::insert);
      break;
    case TypeId::char_:
    case TypeId::tuple:
      value_bytes(bytes, spec, -1, BytesMode::insert);
      break;
    case TypeId::integer:
      make_at(&result, 4);
      append_int32(spec->integer(), &result);
      *proto = result;
      return proto;
    case TypeId::float_:
    case TypeId::percent: {
      const uint64_t v = std::bit_cast<uint64_t>(spec->real());
      for (int i = 7; i >= 0; i--) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
      break;
    }
    case TypeId::issue: {
      std::string_view name = symbol::name(spec->symbol());
      Node n = base_n::decode_base16(reinterpret_cast<const uint8_t*>(name.data()),
                                     static_cast<int32_t>(name.size()), 1);
      if (!n) fire(ErrorCode::script_invalid_data, spec);
      set_series(&result, TypeId::binary, n);
      *proto = result;
      return proto;
    }
    case TypeId::bitset: {
      const SeriesBuffer* s = buf(spec);
      bytes.assign(s->data() + s->offset, s->data() + s->tail);
      break;
    }
    case TypeId::binary: {
      Cell b = *spec;
      series::copy(&b, &result, nullptr, false, nullptr);
      *proto = result;
      return proto;
    }
    case TypeId::image:
      // The pixels, four bytes each as the image stores them.
      *proto = *image::to_binary(spec, image::Plane::argb);
      return proto;
    default:
      if (!is_any_string(spec->type())) bad_to(spec);
      text_bytes(bytes, spec, -1);
      break;
  }
  make_from(&result, bytes.data(), bytes.size());
  *proto = result;
  return proto;
}

// --- form and mold

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  return actions::call_mold(value, buffer, {}, part, limit, 0);
}

int32_t mold(Cell* value, Cell* out, bool only, bool, bool flat, Cell* part, int32_t limit, int32_t indent) {
  const int32_t n = rs_length(value);
  const int32_t head = head_of(value);
  const Node node = value->node();
  if (!only) limit = string::emit(out, "#{", limit);
  auto line_break = [&] {
    limit = string::emit_char(out, '\n', limit);
    limit = string::indent(out, indent + 1, limit);
  };
  const bool long_value = n > 30 && !flat;
  if (long_value) line_break();
  for (int32_t i = 0; i < n; i++) {
    if (part && limit <= 0) break;
    const uint8_t byte = memory::series(node)->head_ptr()[head + i];
    const string::Hex2 h = string::byte_to_hex(byte);
    limit = string::emit(out, std::string_view(h.chars, 2), limit);
    if (!flat && (i + 1) % 32 == 0) line_break();
  }
  if (long_value && n % 32 != 0) line_break();
  if (!only) limit = string::emit(out, "}", limit);
  return limit;
}

// --- compare

int32_t compare(Cell* value1, Cell* value2, CompareOp op) {
  if (!value2->is(TypeId::binary)) return kNotComparable;
  return compare_bytes(value1, value2, op, Match::no);
}

// --- logic

namespace {

void logic_op(MathOp op) {
  Cell* a = stack::arguments;
  Cell* b = stack::arguments + 1;
  if (!a->is(TypeId::binary) || !b->is(TypeId::binary)) fire(ErrorCode::script_invalid_arg, b);
  const int32_t la = rs_length(a), lb = rs_length(b);
  const int32_t n = std::max(la, lb), m = std::min(la, lb);
  std::vector<uint8_t> bytes(static_cast<size_t>(n), 0);
  const uint8_t* pa = rs_head(a);
  const uint8_t* pb = rs_head(b);
  for (int32_t i = 0; i < m; i++) {
    switch (op) {
      case MathOp::or_: bytes[size_t(i)] = pa[i] | pb[i]; break;
      case MathOp::and_: bytes[size_t(i)] = pa[i] & pb[i]; break;
      default: bytes[size_t(i)] = pa[i] ^ pb[i]; break;
    }
  }
  if (op != MathOp::and_) {
    const uint8_t* longer = la > lb ? pa : pb;
    for (int32_t i = m; i < n; i++) bytes[size_t(i)] = longer[i];
  }
  Cell result;
  make_from(&result, bytes.data(), bytes.size());
  *a = result;
}

}  // namespace


Cell* complement(Cell* value) {
  uint8_t* p = rs_head(value);
  const int32_t n = rs_length(value);
  for (int32_t i = 0; i < n; i++) p[i] = static_cast<uint8_t>(~p[i]);
  return value;
}

// --- insert, append, change, trim

Cell* insert(Cell* series, Cell* value, int32_t part, bool, int32_t dup, bool at_tail) {
  series->set_head(head_of(series));
  const bool owned = ownership::check(series, at_tail ? OwnerEvent::append : OwnerEvent::insert, value,
                                      at_tail ? total(series) : series->head(), part);
  if (owned) series->set_head(head_of(series));
  std::vector<uint8_t> bytes;
  value_bytes(bytes, value, part, BytesMode::insert);
  if (bytes.empty()) return series;
  if (dup < 2) dup = 1;
  const int32_t at = at_tail ? total(series) : series->head();
  const int64_t written = splice(series, at, 0, bytes, dup);
  if (owned)
    ownership::check(series, at_tail ? OwnerEvent::appended : OwnerEvent::inserted, value, at,
                     static_cast<int32_t>(written));
  series->set_head(at_tail ? 0 : static_cast<int32_t>(std::min<int64_t>(at + written, total(series))));
  return series;
}

Cell* change(Cell* series, Cell* value, int32_t part, bool, int32_t dup) {
  series->set_head(head_of(series));
  const bool owned = ownership::check(series, OwnerEvent::change, value, series->head(), part);
  if (owned) series->set_head(head_of(series));
  std::vector<uint8_t> bytes;  // a copy: the value may be this very binary
  value_bytes(bytes, value, -1, BytesMode::change);
  if (dup < 2) dup = 1;
  const int32_t head = series->head();
  const int32_t rest = total(series) - head;
  const int64_t written_len = static_cast<int64_t>(bytes.size()) * dup;
  if (written_len > static_cast<int64_t>(kMaxBytes)) no_memory();
  const int32_t removed = static_cast<int32_t>(std::min<int64_t>(part >= 0 ? part : written_len, rest));
  const int64_t written = splice(series, head, removed, bytes, dup);
  if (owned) ownership::check(series, OwnerEvent::changed, value, head, static_cast<int32_t>(written));
  series->set_head(static_cast<int32_t>(std::min<int64_t>(head + written, total(series))));
  return series;
}

Cell* trim(Cell* series, const TrimArgs& args) {
  // An owner hears of the trim before and after it, as for text.
  if ((args.auto_ || args.lines) && !args.with && !args.all) fire(ErrorCode::internal_not_done);
  const bool owned = ownership::check(series, OwnerEvent::trim, &none_value, series->head(), 0);
  if (args.with) {
    string::trim_with(series, args.with);
  } else if (args.all) {
    Cell zero;
    set_integer(&zero, 0);
    string::trim_with(series, &zero);
  } else {
    SeriesBuffer* s = buf(series);
    const int32_t head = head_of(series);
    uint8_t* base = s->head_ptr();
    int32_t start = head, end = total(series);
    if (!(args.tail && !args.head))
      while (start < end && base[start] == 0) start++;
    if (!(args.head && !args.tail))
      while (end > start && base[end - 1] == 0) end--;
    std::memmove(base + head, base + start, static_cast<size_t>(end - start));
    s->tail = s->offset + static_cast<uint32_t>(head + (end - start));
  }
  if (owned) ownership::check(series, OwnerEvent::trimmed, &none_value, series->head(), 0);
  return series;
}

void register_() {
  static const ActionRow row{
      .to = to,
      .form = form,
      .mold = mold,
      .compare = compare,
      .and_ = actions::math_action<logic_op, MathOp::and_>,
      .complement = complement,
      .or_ = actions::math_action<logic_op, MathOp::or_>,
      .xor_ = actions::math_action<logic_op, MathOp::xor_>,
      .append = insert,
      .change = change,
      .insert = insert,
      .trim = trim,
  };
  datatype::register_type(TypeId::binary, TypeId::string, "binary!", row);
}

}  // namespace qel::binary
