// tuple!: construction, text, comparison, saturating byte arithmetic, the
// byte fields, reverse, and the lexer's loader of tuple literals.
#include "datatypes/tuple.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "datatypes/float.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "memory/series.h"
#include "text/random.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::tuple {

namespace {

[[noreturn]] void raise_type(ErrorCode code, TypeId t) {
  Cell dt;
  set_datatype(&dt, t);
  fire(code, &dt);
}

[[noreturn]] void bad_to_arg(const Cell* spec) {
  Cell dt;
  set_datatype(&dt, TypeId::tuple);
  fire(ErrorCode::script_bad_to_arg, &dt, spec);
}

[[noreturn]] void bad_refine(const char* name, const Cell* value) {
  const Cell w = refinement::load(name);
  fire(ErrorCode::script_invalid_refine_arg, &w, value);
}

inline uint8_t clamp_byte(int64_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

uint8_t clamp_double(double v) {
  if (std::isnan(v)) return 0;
  v = std::trunc(v);
  return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// One byte operation with an integer operand; the exact result saturates.
uint8_t byte_op(int64_t l, int64_t r, MathOp op) {
  switch (op) {
    case MathOp::add: return clamp_byte(l + r);
    case MathOp::subtract: return clamp_byte(l - r);
    case MathOp::multiply: return clamp_byte(l * r);
    case MathOp::divide:
    case MathOp::remainder:
      if (r == 0) fire(ErrorCode::math_zero_divide);
      return clamp_byte(op == MathOp::divide ? l / r : l % r);
    case MathOp::or_: return clamp_byte(static_cast<int32_t>(l) | static_cast<int32_t>(r));
    case MathOp::and_: return clamp_byte(static_cast<int32_t>(l) & static_cast<int32_t>(r));
    case MathOp::xor_: return clamp_byte(static_cast<int32_t>(l) ^ static_cast<int32_t>(r));
    default: actions::bad_code();
  }
}

const char* action_word(MathOp op) {
  return op == MathOp::subtract ? "subtract" : op == MathOp::divide ? "divide" : "remainder";
}


int hex_digit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

Cell* make_at(Cell* c, const uint8_t* b, int32_t n) {
  *c = Cell{static_cast<uint32_t>(TypeId::tuple), 0, 0, 0};
  std::memcpy(bytes(c), b, static_cast<size_t>(n));
  set_length(c, std::max(n, kMinLength));
  return c;
}

Cell* push(int32_t n, uint32_t w1, uint32_t w2, uint32_t w3) {
  Cell* c = stack::push_slot();
  *c = Cell{static_cast<uint32_t>(TypeId::tuple), w1, w2, w3};
  set_length(c, n);
  return c;
}

Cell* push_bytes(int32_t count, const int32_t* values) {
  uint8_t b[kMaxLength] = {};
  count = std::min(count, kMaxLength);
  for (int32_t i = 0; i < count; ++i) b[i] = static_cast<uint8_t>(values[i]);
  return make_at(stack::push_slot(), b, count);
}

bool zero_q(const Cell* t) {
  const uint8_t* b = bytes(t);
  for (int32_t i = 0; i < length(t); ++i)
    if (b[i] != 0) return false;
  return true;
}

Cell* from_binary(const Cell* bin, Cell* out) {
  const SeriesBuffer* s = memory::series(bin->node());
  const uint32_t head = static_cast<uint32_t>(bin->head() < 0 ? 0 : bin->head());
  const uint32_t used = s->tail - s->offset;
  const uint32_t n = head < used ? std::min<uint32_t>(used - head, kMaxLength) : 0;
  return make_at(out, s->data() + s->offset + head, static_cast<int32_t>(n));
}

Cell* from_issue(const Cell* issue, Cell* out) {
  const std::string_view name = symbol::name(issue->symbol());
  const size_t n = name.size();
  if (n != 3 && n != 6 && n != 8) fire(ErrorCode::script_invalid_data, issue);
  int digits[8];
  for (size_t i = 0; i < n; ++i) {
    digits[i] = hex_digit(static_cast<uint8_t>(name[i]));
    if (digits[i] < 0) fire(ErrorCode::script_invalid_data, issue);
  }
  uint8_t b[4];
  if (n == 3) {
    for (int i = 0; i < 3; ++i) b[i] = static_cast<uint8_t>(digits[i] * 17);
    return make_at(out, b, 3);
  }
  for (size_t i = 0; i < n / 2; ++i)
    b[i] = static_cast<uint8_t>(digits[2 * i] * 16 + digits[2 * i + 1]);
  return make_at(out, b, static_cast<int32_t>(n / 2));
}

void do_math(Cell* first, Cell* second, MathOp op) {
  const Cell* t = first;
  const Cell* o = second;
  if (!first->is(TypeId::tuple)) {
    // The operands are swapped below, which only addition, multiplication
    // and the bitwise operations allow.
    if (op == MathOp::subtract || op == MathOp::divide || op == MathOp::remainder) {
      fire_not_related(action_word(op), first->type());
    }
    t = second;
    o = first;
  }
  const int32_t lt = length(t);
  const uint8_t* lb = bytes(t);
  uint8_t out[kMaxLength] = {};
  int32_t n = lt;
  switch (o->type()) {
    case TypeId::float_:
    case TypeId::percent: {
      const double f = o->real();
      for (int32_t i = 0; i < lt; ++i) out[i] = clamp_double(float_::do_op(lb[i], f, op));
      break;
    }
    case TypeId::integer: {
      const int64_t r = o->integer();
      for (int32_t i = 0; i < lt; ++i) out[i] = byte_op(lb[i], r, op);
      break;
    }
    case TypeId::tuple: {
      const int32_t rt = length(o);
      const uint8_t* rb = bytes(o);
      n = std::max(lt, rt);
      for (int32_t i = 0; i < n; ++i) out[i] = byte_op(i < lt ? lb[i] : 0, i < rt ? rb[i] : 0, op);
      break;
    }
    default: raise_type(ErrorCode::script_invalid_type, o->type());
  }
  make_at(first, out, n);
}

void set_byte(Cell* t, const Cell* index, const Cell* value) {
  const int32_t i = index->is(TypeId::integer) ? index->integer() : 0;
  const int32_t n = length(t);
  if (i < 1 || i > n) fire(ErrorCode::script_out_of_range, index);
  uint8_t* b = bytes(t);
  if (value->is(TypeId::integer)) {
    b[i - 1] = clamp_byte(value->integer());
    return;
  }
  if (!value->is(TypeId::none)) raise_type(ErrorCode::script_invalid_type, value->type());
  std::memset(b + i - 1, 0, static_cast<size_t>(n - i + 1));
  set_length(t, std::max(i - 1, kMinLength));
}

// --- actions

Cell* make(Cell* proto, Cell* spec, TypeId) {
  switch (spec->type()) {
    case TypeId::tuple: return spec;
    case TypeId::block:
    case TypeId::paren:
    case TypeId::hash: {
      // A position past the tail (the block was cut after) holds nothing.
      const int32_t n = std::max(block::rs_length_q(spec), 0);
      if (n > kMaxLength) bad_to_arg(spec);
      uint8_t b[kMaxLength] = {};
      const Cell* item = n > 0 ? block::rs_head(spec) : nullptr;
      for (int32_t i = 0; i < n; ++i, ++item) {
        double v;
        if (item->is(TypeId::integer) || item->is(TypeId::char_))
          v = item->integer();
        else if (item->is(TypeId::float_))
          v = std::trunc(item->real());
        else
          bad_to_arg(spec);
        if (!(v >= 0 && v <= 255)) bad_to_arg(spec);
        b[i] = static_cast<uint8_t>(v);
      }
      return make_at(proto, b, n);
    }
    case TypeId::string:
    case TypeId::file:
    case TypeId::url:
    case TypeId::tag:
    case TypeId::email:
    case TypeId::ref:
      if (!lexer::load_first_of(proto, spec, TypeId::tuple)) bad_to_arg(spec);
      return proto;
    case TypeId::issue: return from_issue(spec, proto);
    case TypeId::binary: return from_binary(spec, proto);
    default: bad_to_arg(spec);
  }
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(value->data1 ^ value->data2 ^ value->data3);
    set_unset(value);
    return value;
  }
  uint8_t* b = bytes(value);
  for (int32_t i = 0; i < length(value); ++i)
    b[i] = static_cast<uint8_t>(random::int_uniform(secure, b[i] + 1) - 1);
  return value;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  const uint8_t* b = bytes(value);
  for (int32_t i = 0; i < length(value); ++i) {
    if (i > 0) limit = string::emit(buffer, ".", limit);
    limit = string::emit(buffer, integer::form_signed(b[i]).view(), limit);
  }
  return limit;
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

int32_t compare(Cell* a, Cell* b, CompareOp) {
  if (!b->is(TypeId::tuple)) return kNotComparable;
  const int32_t n = std::max(length(a), length(b));
  const uint8_t* x = bytes(a);
  const uint8_t* y = bytes(b);
  for (int32_t i = 0; i < n; ++i) {
    const int bx = i < length(a) ? x[i] : 0, by = i < length(b) ? y[i] : 0;
    if (bx != by) return bx < by ? -1 : 1;
  }
  return 0;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep&) {
  if (!element->is(TypeId::integer)) raise_type(ErrorCode::script_invalid_type, element->type());
  if (value == nullptr) return pick(parent, element->integer(), element);
  set_byte(parent, element, value);
  return value;
}

Cell* pick(Cell* value, int32_t index, Cell* index_cell) {
  if (index < 1 || index > length(value))
    fire(ErrorCode::script_out_of_range, index_cell);
  return integer::push(bytes(value)[index - 1]);
}

int32_t length_q(Cell* value) { return length(value); }

Cell* complement(Cell* value) {
  uint8_t* b = bytes(value);
  for (int32_t i = 0; i < length(value); ++i) b[i] = static_cast<uint8_t>(~b[i]);
  return value;
}

Cell* reverse(Cell* value, Cell* part, Cell* skip) {
  int32_t count = length(value);
  if (part != nullptr) {
    if (!part->is(TypeId::integer)) bad_refine("part", part);
    if (part->integer() < 0) fire(ErrorCode::script_out_of_range, part);
    count = std::min(count, part->integer());
  }
  int32_t size = 1;
  if (skip != nullptr) {
    if (!skip->is(TypeId::integer)) bad_refine("skip", skip);
    size = skip->integer();
    if (size < 1) fire(ErrorCode::script_out_of_range, skip);
    if (size == count) return value;
    if (count < size || count % size != 0) bad_refine("skip", skip);
  }
  uint8_t* b = bytes(value);
  uint8_t record[kMaxLength];
  for (int32_t lo = 0, hi = count - size; lo < hi; lo += size, hi -= size) {
    std::memcpy(record, b + lo, static_cast<size_t>(size));
    std::memcpy(b + lo, b + hi, static_cast<size_t>(size));
    std::memcpy(b + hi, record, static_cast<size_t>(size));
  }
  return value;
}


// --- the lexer's loader

namespace {

// Dotted decimal components 0-255, 3 to 12 of them.
bool load_token(const lexer::LateToken& token, bool build, Cell* out) {
  const uint8_t* p = token.text;
  const uint8_t* end = p + token.len;
  uint8_t b[kMaxLength] = {};
  int32_t n = 0;
  for (;;) {
    int32_t v = 0, digits = 0;
    while (p < end && *p >= '0' && *p <= '9') {
      v = v * 10 + (*p++ - '0');
      if (v > 255) return false;
      ++digits;
    }
    if (digits == 0 || n == kMaxLength) return false;
    b[n++] = static_cast<uint8_t>(v);
    if (p == end) break;
    if (*p++ != '.') return false;
  }
  if (n < kMinLength) return false;
  if (build) make_at(out, b, n);
  return true;
}

}  // namespace

void register_() {
  static constexpr ActionRow row{
      .make = make,
      .random = random,
      .to = make,
      .form = form,
      .mold = mold,
      .eval_path = eval_path,
      .compare = compare,
      .add = actions::math_action<do_math, MathOp::add>,
      .divide = actions::math_action<do_math, MathOp::divide>,
      .multiply = actions::math_action<do_math, MathOp::multiply>,
      .remainder = actions::math_action<do_math, MathOp::remainder>,
      .subtract = actions::math_action<do_math, MathOp::subtract>,
      .and_ = actions::math_action<do_math, MathOp::and_>,
      .complement = complement,
      .or_ = actions::math_action<do_math, MathOp::or_>,
      .xor_ = actions::math_action<do_math, MathOp::xor_>,
      .length_q = length_q,
      .pick = pick,
      .reverse = reverse,
  };
  datatype::register_type(TypeId::tuple, TypeId::none_id, "tuple!", row);
  lexer::register_loader(lexer::LateClass::tuple, load_token);
}

}  // namespace qel::tuple
