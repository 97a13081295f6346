// vector!: element storage, make, form, mold, compare, append, insert and
// change, the hooks through which the series! and string! actions reach
// the elements, and the registration.
//
// The modifiers check every value against the element type before they
// touch the buffer, so a refused value leaves the vector as it was.
#include "datatypes/vector.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/char.h"
#include "datatypes/float.h"
#include "core/stack.h"
#include "memory/series.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "values/ownership.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "values/symbol.h"

namespace qel::vector {

namespace {

// Elements of one vector: at most what 32-bit sizes and the series limit
// allow.
constexpr uint64_t kMaxBytes = memory::kMaxSeriesBytes;

[[noreturn]] void no_memory() { fire(ErrorCode::internal_no_memory); }

[[noreturn]] void raise_with_type(ErrorCode code, TypeId t) {
  Cell dt;
  set_datatype(&dt, t);
  fire(code, &dt);
}

SeriesBuffer* buf(const Cell* v) { return memory::series(v->node()); }

int32_t total(const Cell* v) {
  const SeriesBuffer* b = buf(v);
  return static_cast<int32_t>(b->used_bytes() / b->unit());
}

uint8_t* item_at(SeriesBuffer* b, int64_t i) { return b->head_ptr() + static_cast<size_t>(i) * b->unit(); }

inline bool integer_class(TypeId t) { return t == TypeId::integer || t == TypeId::char_; }

// The word of a type name as given in a spec block: integer!, char!,
// float! or percent! (compared by canonical symbol); none_id otherwise.
TypeId spec_type(const Cell* word) {
  static SymbolId names[4] = {};
  static constexpr TypeId types[4] = {TypeId::integer, TypeId::char_, TypeId::float_, TypeId::percent};
  if (names[0] == 0) {
    names[0] = symbol::resolve(symbol::make("integer!"));
    names[1] = symbol::resolve(symbol::make("char!"));
    names[2] = symbol::resolve(symbol::make("float!"));
    names[3] = symbol::resolve(symbol::make("percent!"));
  }
  const SymbolId s = symbol::resolve(word->symbol());
  for (int i = 0; i < 4; ++i)
    if (names[i] == s) return types[i];
  return TypeId::none_id;
}

[[noreturn]] void bad_make_arg(const Cell* spec) {
  Cell dt;
  set_datatype(&dt, TypeId::vector);
  fire(ErrorCode::script_bad_make_arg, &dt, spec);
}

[[noreturn]] void invalid_spec_field(const Cell* spec) { fire(ErrorCode::script_invalid_spec_field, spec); }

// Appends `n` zeroed elements at the tail; returns the first new element.
uint8_t* grow_tail(Cell* v, int64_t n) {
  SeriesBuffer* b = buf(v);
  const uint64_t bytes = static_cast<uint64_t>(n) * b->unit();
  if (uint64_t{b->tail} + bytes > kMaxBytes) no_memory();
  uint8_t* p = memory::reserve_tail(v->node(), bytes);
  std::memset(p, 0, bytes);
  return p;
}

// The values a modifier writes: a block's (from its head, at most `part`),
// or the value itself.
struct Source {
  const Cell* cells = nullptr;
  int64_t count = 0;
};
Source values_of(const Cell* value, int32_t part, bool only, bool any_path) {
  const TypeId t = value->type();
  const bool list = t == TypeId::block || t == TypeId::paren || t == TypeId::hash ||
                    (any_path && is_any_path(t));
  if (!list || only) return {value, 1};
  Cell b = *value;
  int64_t n = std::max(block::rs_length_q(&b), 0);
  if (part >= 0 && part < n) n = part;
  return {n > 0 ? block::rs_head(&b) : nullptr, n};
}

// Refuses the first value the vector cannot hold.
void check_values(const Cell* v, const Source& s) {
  for (int64_t i = 0; i < s.count; ++i)
    if (!accepts(element_type(v), &s.cells[i])) raise_with_type(ErrorCode::script_invalid_type, s.cells[i].type());
}

// The element text of form and mold; returns the limit left. mold/all
// (exact) writes float and percent elements with the shortest digits that
// read back as the stored value, so that the molded vector makes it again.
int32_t emit_element(Cell* buffer, const uint8_t* item, uint32_t w, TypeId type, bool mold, bool exact,
                     int32_t limit) {
  Cell v;
  get_value(item, w, type, &v);
  if (exact && (type == TypeId::float_ || type == TypeId::percent)) {
    if (w == 8 || type == TypeId::percent)
      return actions::call_mold(&v, buffer, {.all = true}, nullptr, limit, 0);
    std::string text;
    if (float_::exact_float32_text(static_cast<float>(v.real()), true, text))
      return string::emit(buffer, text, limit);
  }
  switch (type) {
    case TypeId::char_:
      if (mold) {
        Cell copy = v;
        return actions::call_mold(&copy, buffer, {}, nullptr, limit, 0);
      }
      string::escape_char(buffer, v.data3, false);
      return limit - 1;
    case TypeId::integer: return string::emit(buffer, integer::form_signed(v.integer()).view(), limit);
    default: break;
  }
  // mold keeps a tiny non-zero element's digits ("0.0" would load as another value).
  const float_::TinyValues tiny = mold ? float_::TinyValues::kept : float_::TinyValues::as_zero;
  if (type == TypeId::percent)
    return string::emit(buffer,
                        float_::form_percent(v.real(),
                                           w == 4 ? float_::FormKind::percent32 : float_::FormKind::percent,
                                           tiny)
                            .view(),
                        limit);
  return string::emit(
      buffer,
      float_::form_float(v.real(), w == 4 ? float_::FormKind::float32 : float_::FormKind::float64, tiny)
          .view(),
      limit);
}

int32_t emit_elements(const Cell* v, Cell* buffer, bool mold, int32_t limit, bool exact = false) {
  SeriesBuffer* b = buf(v);
  const uint32_t w = b->unit();
  const TypeId type = element_type(v);
  const int32_t n = total(v);
  for (int32_t i = std::max(v->head(), 0); i < n && limit > 0; ++i) {
    if (i > std::max(v->head(), 0)) limit = string::emit(buffer, " ", limit);
    b = buf(v);  // forming may allocate; the vector's buffer stays put, but re-read it
    limit = emit_element(buffer, item_at(b, i), w, type, mold, exact, limit);
  }
  return limit;
}

// --- the series hooks

void hook_get(const Cell* v, const uint8_t* item, Cell* out) { get_value(item, width(v), element_type(v), out); }

// poke: the value must have the element type itself.
void hook_set(const Cell* v, uint8_t* item, const Cell* value) {
  if (value->type() != element_type(v)) fire(ErrorCode::script_invalid_arg, value);
  set_value(item, value, width(v), element_type(v));
}

}  // namespace

uint32_t width(const Cell* v) { return buf(v)->unit(); }

int32_t rs_length_q(const Cell* v) { return std::max(total(v) - std::max(v->head(), 0), 0); }

void get_value(const uint8_t* item, uint32_t w, TypeId type, Cell* out) {
  if (integer_class(type)) {
    int32_t i = 0;
    uint32_t u = 0;
    switch (w) {
      case 1: {
        int8_t x;
        std::memcpy(&x, item, 1);
        i = x;
        u = static_cast<uint8_t>(x);
        break;
      }
      case 2: {
        int16_t x;
        std::memcpy(&x, item, 2);
        i = x;
        u = static_cast<uint16_t>(x);
        break;
      }
      default: {
        std::memcpy(&i, item, 4);
        u = static_cast<uint32_t>(i);
        break;
      }
    }
    if (type == TypeId::char_)
      set_char(out, u);
    else
      set_integer(out, i);
    return;
  }
  double d;
  if (w == 4) {
    float f;
    std::memcpy(&f, item, 4);
    d = f;
  } else {
    std::memcpy(&d, item, 8);
  }
  set_float(out, d, type == TypeId::percent ? TypeId::percent : TypeId::float_);
}

bool accepts(TypeId element, const Cell* value) {
  const TypeId t = value->type();
  if (integer_class(element)) return integer_class(t);
  return t == TypeId::float_ || t == TypeId::percent;
}

void set_value(uint8_t* item, const Cell* value, uint32_t w, TypeId type) {
  if (!accepts(type, value)) raise_with_type(ErrorCode::script_invalid_type, value->type());
  if (integer_class(type)) {
    const uint32_t u = value->data3;
    // A 32-bit character element holds every value it is given, so only
    // code points may go in: anything else would read back as no character.
    if (type == TypeId::char_ && w == 4 && u > static_cast<uint32_t>(char_::kMaxCodePoint))
      fire(ErrorCode::script_out_of_range, value);
    switch (w) {
      case 1: *item = static_cast<uint8_t>(u); break;
      case 2: {
        const uint16_t x = static_cast<uint16_t>(u);
        std::memcpy(item, &x, 2);
        break;
      }
      default: std::memcpy(item, &u, 4); break;
    }
    return;
  }
  const double d = value->real();
  if (w == 4) {
    const float f = static_cast<float>(d);
    std::memcpy(item, &f, 4);
  } else {
    std::memcpy(item, &d, 8);
  }
}

Cell* make_at(Cell* c, int64_t count, TypeId type, uint32_t w) {
  if (count < 0) count = 0;
  if (static_cast<uint64_t>(count) * w > 0xFFFFFFFFull) no_memory();
  const Node node = memory::alloc_series(static_cast<uint64_t>(count ? count : 1), w);
  *c = Cell{static_cast<uint32_t>(TypeId::vector), 0, node, static_cast<uint32_t>(type)};
  return c;
}

void to_block(const Cell* v, Cell* result) {
  const int32_t n = rs_length_q(v);
  const Node node = memory::alloc_cells(static_cast<uint64_t>(n > 0 ? n : 1));
  set_series(result, TypeId::block, node);
  SeriesBuffer* src = buf(v);
  SeriesBuffer* dst = memory::series(node);
  const uint32_t w = src->unit();
  const int32_t head = std::max(v->head(), 0);
  for (int32_t i = 0; i < n; ++i) get_value(item_at(src, head + i), w, element_type(v), dst->cells() + i);
  dst->tail = dst->offset + static_cast<uint32_t>(n) * sizeof(Cell);
}

// --- make

Cell* make(Cell*, Cell* spec, TypeId) {
  Cell* out = stack::push_slot();
  switch (spec->type()) {
    case TypeId::integer:
    case TypeId::float_: {
      const int32_t n = spec->is(TypeId::integer) ? spec->integer()
                                                  : integer::from_double_checked(spec->real());
      make_at(out, n, TypeId::integer, 4);
      if (n > 0) grow_tail(out, n);
      return out;
    }
    case TypeId::block: break;
    default: fire(ErrorCode::internal_not_done);
  }
  Cell b = *spec;
  const int32_t n = std::max(block::rs_length_q(&b), 0);
  if (n == 0) return make_at(out, 0, TypeId::integer, 4);
  const Cell* first = block::rs_head(&b);
  if (!is_any_word(first->type())) {
    // A plain block of values of one type.
    const TypeId type = first->type();
    if (type != TypeId::integer && type != TypeId::char_ && type != TypeId::float_ && type != TypeId::percent)
      raise_with_type(ErrorCode::script_invalid_type, type);
    for (int32_t i = 0; i < n; ++i)
      if (!first[i].is(type)) fire(ErrorCode::script_invalid_arg, &first[i]);
    const uint32_t w = default_width(type);
    make_at(out, n, type, w);
    uint8_t* p = grow_tail(out, n);
    for (int32_t i = 0; i < n; ++i) set_value(p + static_cast<size_t>(i) * w, &first[i], w, type);
    return out;
  }
  // The spec form: type word, width in bits, then a count and/or values.
  if (n < 2) bad_make_arg(spec);
  const TypeId type = spec_type(first);
  if (type == TypeId::none_id) bad_make_arg(spec);
  int32_t at = 1;
  uint32_t w = 0;
  if (first[at].is(TypeId::integer)) {
    const int32_t bits = first[at].integer();
    if (type == TypeId::percent)
      w = 8;
    else if (integer_class(type) && (bits == 8 || bits == 16 || bits == 32))
      w = static_cast<uint32_t>(bits / 8);
    else if (type == TypeId::float_ && (bits == 32 || bits == 64))
      w = static_cast<uint32_t>(bits / 8);
    else
      bad_make_arg(spec);
    ++at;
  } else if (type == TypeId::percent) {
    w = 8;
  } else {
    invalid_spec_field(spec);
  }
  int64_t count = 0;
  const Cell* values = nullptr;
  if (at < n && first[at].is(TypeId::integer)) {
    count = first[at].integer();
    if (count < 0) invalid_spec_field(spec);
    if (at + 1 < n && first[at + 1].is(TypeId::block)) values = &first[at + 1];
  } else if (at < n && first[at].is(TypeId::block)) {
    values = &first[at];
  } else {
    invalid_spec_field(spec);
  }
  Source src;
  if (values) src = values_of(values, -1, false, false);
  for (int64_t i = 0; i < src.count; ++i)
    if (!accepts(type, &src.cells[i])) raise_with_type(ErrorCode::script_invalid_type, src.cells[i].type());
  const int64_t room = std::max<int64_t>(count, src.count);
  if (static_cast<uint64_t>(room) * w > kMaxBytes) no_memory();
  make_at(out, room, type, w);
  uint8_t* p = grow_tail(out, room);
  if (values) {
    for (int64_t i = 0; i < src.count; ++i) set_value(p + static_cast<size_t>(i) * w, &src.cells[i], w, type);
  }
  return out;
}

// --- form and mold

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) { return emit_elements(value, buffer, false, limit); }

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool, Cell*, int32_t limit, int32_t) {
  if (!only) limit = string::emit(buffer, "make vector! [", limit);
  const TypeId type = element_type(value);
  const uint32_t w = width(value);
  const bool plain = total(value) > 0 && w == default_width(type);
  if (!plain) {
    limit = string::emit(buffer, datatype::record(type).name, limit);
    limit = string::emit(buffer, " ", limit);
    limit = string::emit(buffer, integer::form_signed(static_cast<int32_t>(w * 8)).view(), limit);
    limit = string::emit(buffer, " [", limit);
  }
  limit = emit_elements(value, buffer, true, limit, all);
  if (!plain) limit = string::emit(buffer, "]", limit);
  if (!only) limit = string::emit(buffer, "]", limit);
  return limit;
}

// --- compare

int32_t compare(Cell* a, Cell* b, CompareOp op) {
  if (!b->is(TypeId::vector)) return kNotComparable;
  if (element_type(a) != element_type(b)) fire(ErrorCode::script_not_same_type);
  const bool same_position = a->node() == b->node() && a->head() == b->head();
  const bool equality = op == CompareOp::equal || op == CompareOp::not_equal ||
                        op == CompareOp::strict_equal || op == CompareOp::find || op == CompareOp::same;
  if (same_position && equality) return 0;
  if (op == CompareOp::same) return -1;
  const int32_t la = rs_length_q(a), lb = rs_length_q(b);
  if (equality && la != lb) return 1;
  SeriesBuffer* ba = buf(a);
  SeriesBuffer* bb = buf(b);
  const uint32_t wa = ba->unit(), wb = bb->unit();
  const TypeId type = element_type(a);
  const uint8_t* pa = item_at(ba, std::max(a->head(), 0));
  const uint8_t* pb = item_at(bb, std::max(b->head(), 0));
  const int32_t n = std::min(la, lb);
  for (int32_t i = 0; i < n; ++i) {
    Cell x, y;
    get_value(pa + static_cast<size_t>(i) * wa, wa, type, &x);
    get_value(pb + static_cast<size_t>(i) * wb, wb, type, &y);
    if (integer_class(type)) {
      const int64_t p = type == TypeId::char_ ? int64_t{x.data3} : x.integer();
      const int64_t q = type == TypeId::char_ ? int64_t{y.data3} : y.integer();
      if (p != q) return p < q ? -1 : 1;
    } else {
      const double p = x.real(), q = y.real();
      if (p != p || q != q) {
        // A NaN element compares as a float! does (two NaNs sort together:
        // the next elements decide).
        const int32_t r = float_::compare_nan(p, q, op);
        if (r != 0) return r;
        continue;
      }
      if (p != q) return p < q ? -1 : 1;
    }
  }
  return (la > lb) - (la < lb);
}

// --- append, insert and change

Cell* append(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool at_tail) {
  if (dup < 1) dup = 1;
  // Every value is checked before the owner hears of the change; the owner's
  // handler may run Qel code, so the values are looked up again after it.
  check_values(series, values_of(value, part, only, false));
  {
    const int32_t len0 = total(series);
    series->set_head(std::clamp(series->head(), 0, len0));
  }
  const bool owned = ownership::check(series, at_tail ? OwnerEvent::append : OwnerEvent::insert, value,
                                      at_tail ? total(series) : series->head(), part);
  const int32_t len = total(series);
  const int32_t head = std::clamp(series->head(), 0, len);
  Source src = values_of(value, part, only, false);
  if (owned) check_values(series, src);
  const uint32_t w = width(series);
  const uint64_t count = static_cast<uint64_t>(src.count) * static_cast<uint64_t>(dup);
  if (count > 0x7FFFFFFFull || count + static_cast<uint64_t>(len) > 0x7FFFFFFFull ||
      (count + static_cast<uint64_t>(len)) * w > kMaxBytes)
    no_memory();
  // Growing the vector moves only its own buffer: the value cells stay put.
  const int32_t at = at_tail ? len : head;
  if (count > 0) {
    grow_tail(series, static_cast<int64_t>(count));
    SeriesBuffer* b = buf(series);
    uint8_t* p = item_at(b, at);
    if (at < len) std::memmove(p + count * w, p, static_cast<size_t>(len - at) * w);
    for (uint64_t i = 0; i < count; ++i)
      set_value(p + i * w, &src.cells[i % static_cast<uint64_t>(src.count)], w, element_type(series));
  }
  if (owned)
    ownership::check(series, at_tail ? OwnerEvent::appended : OwnerEvent::inserted, value, at,
                     static_cast<int32_t>(count));
  if (at_tail) {
    series->set_head(0);
  } else {
    series->set_head(static_cast<int32_t>(std::min<int64_t>(at + static_cast<int64_t>(count), total(series))));
  }
  return series;
}

Cell* change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
  if (dup < 1) dup = 1;
  int32_t len = total(series);
  int32_t head = std::clamp(series->head(), 0, len);
  series->set_head(head);
  const uint32_t w = width(series);
  const TypeId type = element_type(series);
  // The new elements, encoded before anything changes (the source may be
  // this very vector).
  std::vector<uint8_t> bytes;
  if (value->is(TypeId::vector) && !only) {
    const uint32_t sw = width(value);
    const int32_t n = rs_length_q(value);
    SeriesBuffer* sb = buf(value);
    const uint8_t* sp = item_at(sb, std::max(value->head(), 0));
    bytes.resize(static_cast<size_t>(n) * w);
    if (sw == w && element_type(value) == type) {
      if (!bytes.empty()) std::memcpy(bytes.data(), sp, bytes.size());
    } else {
      // Another width or type: element by element, refusing another class.
      for (int32_t i = 0; i < n; ++i) {
        Cell e;
        get_value(sp + static_cast<size_t>(i) * sw, sw, element_type(value), &e);
        set_value(bytes.data() + static_cast<size_t>(i) * w, &e, w, type);
      }
    }
  } else {
    Source src = values_of(value, -1, only, true);
    check_values(series, src);
    bytes.resize(static_cast<size_t>(src.count) * w);
    for (int64_t i = 0; i < src.count; ++i) set_value(bytes.data() + static_cast<size_t>(i) * w, &src.cells[i], w, type);
  }
  const uint64_t written = static_cast<uint64_t>(bytes.size() / w) * static_cast<uint64_t>(dup);
  if (written > 0x7FFFFFFFull || written * w > kMaxBytes) no_memory();
  const bool owned = ownership::check(series, OwnerEvent::change, value, head, part);
  if (owned) {
    len = total(series);
    head = std::clamp(series->head(), 0, len);
  }
  const int64_t rest = len - head;
  const int64_t replaced = std::min<int64_t>(part >= 0 ? part : static_cast<int64_t>(written), rest);
  const int64_t new_len = int64_t{len} - replaced + static_cast<int64_t>(written);
  if (static_cast<uint64_t>(new_len) * w > kMaxBytes) no_memory();
  if (new_len > len) grow_tail(series, new_len - len);
  SeriesBuffer* b = buf(series);
  uint8_t* p = item_at(b, head);
  const size_t after = static_cast<size_t>(len - head - replaced) * w;
  std::memmove(p + written * w, p + static_cast<size_t>(replaced) * w, after);
  for (uint64_t i = 0; i < written; i += bytes.size() / w)
    std::memcpy(p + i * w, bytes.data(), bytes.size());
  b->tail = b->offset + static_cast<uint32_t>(new_len * w);
  if (owned) ownership::check(series, OwnerEvent::changed, value, head, static_cast<int32_t>(written));
  series->set_head(static_cast<int32_t>(std::min<int64_t>(head + static_cast<int64_t>(written), total(series))));
  return series;
}

namespace {
void add() { do_math(MathOp::add); }
void subtract() { do_math(MathOp::subtract); }
void multiply() { do_math(MathOp::multiply); }
void divide() { do_math(MathOp::divide); }
void remainder() { do_math(MathOp::remainder); }
void and_() { do_math(MathOp::and_); }
void or_() { do_math(MathOp::or_); }
void xor_() { do_math(MathOp::xor_); }
}  // namespace

void register_() {
  static const ActionRow row{
      .make = make,
      .to = unsupported,
      .form = form,
      .mold = mold,
      .compare = compare,
      .add = add,
      .divide = divide,
      .multiply = multiply,
      .remainder = remainder,
      .subtract = subtract,
      .and_ = and_,
      .or_ = or_,
      .xor_ = xor_,
      .append = append,
      .change = change,
      .insert = append,
      .swap = unsupported,
      .trim = unsupported,
  };
  datatype::register_type(TypeId::vector, TypeId::string, "vector!", row);
  series::vector_hooks.get = hook_get;
  series::vector_hooks.set = hook_set;
  series::vector_hooks.sort = sort_items;
  block::vector_to_block = to_block;
}

}  // namespace qel::vector
