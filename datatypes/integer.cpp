// integer!: cell helpers, decimal text, checked arithmetic, rounding and
// comparison. The action functions and the type's row follow the kernels.
#include "datatypes/integer.h"

#include <cmath>

#include "values/actions.h"
#include "datatypes/date.h"
#include "datatypes/float.h"
#include "datatypes/money.h"
#include "datatypes/point.h"
#include "datatypes/tuple.h"
#include "datatypes/vector.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "memory/series.h"
#include "runtime/fatal.h"
#include "text/random.h"
#include "core/errors.h"
#include "datatypes/string.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::integer {

namespace {

[[noreturn]] void raise_overflow() { fire(ErrorCode::math_overflow); }

[[noreturn]] void raise_with_type(ErrorCode code, TypeId t) {
  Cell dt;
  set_datatype(&dt, t);
  fire(code, &dt);
}

// An operator code that no integer operation has (or a promoting operation
// without its output cell): a fault of the caller, runtime error 101.
[[noreturn]] void bad_operator() { runtime::quit(runtime::fatal_code::no_switch_matched); }

}  // namespace

Cell* make_in(Node block, int32_t v) {
  Cell* c = append_slot(block);
  set_integer(c, v);
  return c;
}

int32_t abs(int32_t v) {
  if (v == kMin) raise_overflow();
  return v < 0 ? -v : v;
}

Text form_signed(int32_t v) {
  Text t;
  if (v == kMin) {
    constexpr std::string_view kMinText = "-2147483648";
    kMinText.copy(t.chars, kMinText.size());
    t.size = static_cast<uint8_t>(kMinText.size());
    return t;
  }
  char digits[11];
  int n = 0;
  uint32_t m = v < 0 ? static_cast<uint32_t>(-v) : static_cast<uint32_t>(v);
  do {
    digits[n++] = static_cast<char>('0' + m % 10);
    m /= 10;
  } while (m != 0);
  int k = 0;
  if (v < 0) t.chars[k++] = '-';
  while (n > 0) t.chars[k++] = digits[--n];
  t.size = static_cast<uint8_t>(k);
  return t;
}

int32_t from_double_checked(double d) {
  if (float_overflow(d)) raise_with_type(ErrorCode::script_type_limit, TypeId::integer);
  return static_cast<int32_t>(d);
}

int32_t math_op(int32_t left, int32_t right, MathOp op, Cell* out) {
  int32_t r = 0;
  switch (op) {
    case MathOp::add:
    case MathOp::subtract:
    case MathOp::multiply: {
      bool overflow = op == MathOp::add        ? __builtin_add_overflow(left, right, &r)
                      : op == MathOp::subtract ? __builtin_sub_overflow(left, right, &r)
                                               : __builtin_mul_overflow(left, right, &r);
      if (overflow) {
        if (out == nullptr) bad_operator();
        double l = left, x = right;
        set_float(out, op == MathOp::add ? l + x : op == MathOp::subtract ? l - x : l * x);
        return 0;
      }
      break;
    }
    case MathOp::divide:
      if (right == 0) fire(ErrorCode::math_zero_divide);
      if (left == kMin && right == -1) raise_overflow();
      if (out != nullptr && left % right != 0) {
        set_float(out, static_cast<double>(left) / static_cast<double>(right));
        return 0;
      }
      r = left / right;
      break;
    case MathOp::remainder:
      if (right == 0) fire(ErrorCode::math_zero_divide);
      if (left == kMin && right == -1) raise_overflow();
      r = left % right;
      break;
    case MathOp::or_: r = left | right; break;
    case MathOp::and_: r = left & right; break;
    case MathOp::xor_: r = left ^ right; break;
    default: bad_operator();
  }
  if (out != nullptr) out->set_integer(r);
  return r;
}

bool math_op_reported(int32_t left, int32_t right, MathOp op, int32_t* result) {
  switch (op) {
    case MathOp::add: return !__builtin_add_overflow(left, right, result);
    case MathOp::subtract: return !__builtin_sub_overflow(left, right, result);
    case MathOp::multiply: return !__builtin_mul_overflow(left, right, result);
    default: *result = math_op(left, right, op, nullptr); return true;
  }
}

void do_math(Cell* left, Cell* right, MathOp op) {
  switch (right->type()) {
    case TypeId::integer:
    case TypeId::char_: math_op(left->integer(), right->integer(), op, left); return;
    case TypeId::float_:
    case TypeId::percent:
    case TypeId::time: float_::do_math(left, right, op); return;
    case TypeId::pair:
    case TypeId::point2d:
    case TypeId::point3d: point::number_left(left, right, op); return;
    case TypeId::tuple: tuple::do_math(left, right, op); return;
    case TypeId::date: date::integer_left(left, right, op); return;
    case TypeId::money: money::do_math(left, right, op); return;
    case TypeId::vector:
      // The vector computes in place; the scalar stood on the left.
      vector::do_math_scalar(op, right, left, vector::ScalarSide::left);
      *left = *right;
      return;
    default: raise_with_type(ErrorCode::script_invalid_type, right->type());
  }
}

bool power_exact(int32_t base, int32_t exponent, int32_t* result) {
  int32_t r = 1;
  while (exponent != 0) {
    if ((exponent & 1) && __builtin_mul_overflow(r, base, &r)) return false;
    exponent >>= 1;
    // Squaring the base past the last exponent bit is never used.
    if (exponent != 0 && __builtin_mul_overflow(base, base, &base)) return false;
  }
  *result = r;
  return true;
}

RoundMode round_mode(const RoundFlags& f) {
  if (f.down) return RoundMode::down;
  if (f.floor) return RoundMode::floor;
  if (f.ceiling) return RoundMode::ceiling;
  if (f.even) return RoundMode::even;
  if (f.half_down) return RoundMode::half_down;
  if (f.half_ceiling) return RoundMode::half_ceiling;
  return RoundMode::half_away;
}

int32_t round_to(int32_t v, int32_t scale, RoundMode mode) {
  // Worked in 64 bits: the magnitudes of the smallest integer and of a
  // scale of -2147483648, and the multiple just past them, do not fit in
  // 32 bits, though the rounded answer often does.
  const int64_t s = scale < 0 ? -static_cast<int64_t>(scale) : scale;
  if (s == 0) return v;
  const bool negative = v < 0;
  const int64_t a = negative ? -static_cast<int64_t>(v) : v;
  const int64_t r = a % s;
  if (r == 0) return v;
  const int64_t d = s - r;  // distance to the next multiple away from zero
  auto signed_result = [&](int64_t m) {
    const int64_t x = negative ? -m : m;
    if (x < kMin || x > kMax) raise_overflow();
    return static_cast<int32_t>(x);
  };
  auto toward_zero = [&] { return signed_result(a - r); };
  auto away_from_zero = [&] { return signed_result(a + d); };
  switch (mode) {
    case RoundMode::down: return toward_zero();
    case RoundMode::floor: return negative ? away_from_zero() : toward_zero();
    case RoundMode::ceiling: return negative ? toward_zero() : away_from_zero();
    default: break;
  }
  if (r < d) return toward_zero();
  if (r > d) return away_from_zero();
  switch (mode) {
    case RoundMode::even: return (a / s) % 2 == 0 ? toward_zero() : away_from_zero();
    case RoundMode::half_down: return toward_zero();
    case RoundMode::half_ceiling: return negative ? toward_zero() : away_from_zero();
    default: return away_from_zero();
  }
}

int32_t compare(Cell* a, Cell* b, CompareOp op) {
  if ((op == CompareOp::strict_equal || op == CompareOp::find) && !b->is(TypeId::integer)) return 1;
  switch (b->type()) {
    case TypeId::integer:
    case TypeId::char_: {
      int32_t x = a->integer(), y = b->integer();
      return (x > y) - (x < y);
    }
    case TypeId::float_:
    case TypeId::percent:
    case TypeId::time:
      return float_::compare_double(static_cast<double>(a->integer()), TypeId::integer, b, op);
    case TypeId::money: {
      Cell m;
      money::from_integer(&m, a->integer());
      return money::compare(&m, b, op);
    }
    default: return kNotComparable;
  }
}

// --- cells on the argument stack

Cell* push(int32_t v) {
  Cell* c = stack::push_slot();
  set_integer(c, v);
  return c;
}

Cell* box(int32_t v) {
  set_integer(stack::arguments, v);
  return stack::arguments;
}

int32_t get_any() { return stack::arguments->integer(); }

int32_t get_checked() {
  return stack::arguments->is(TypeId::integer) ? stack::arguments->integer() : 0;
}

// --- conversions

int32_t from_binary(const Cell* bin) {
  const SeriesBuffer* s = memory::series(bin->node());
  const uint32_t head = static_cast<uint32_t>(bin->head());
  const uint32_t length = s->used_bytes();
  if (head >= length) return 0;
  const uint8_t* p = s->data() + s->offset + head;
  const uint32_t n = length - head < 4 ? length - head : 4;
  uint32_t v = 0;
  for (uint32_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return static_cast<int32_t>(v);
}

int32_t from_issue(const Cell* issue) {
  const std::string_view name = symbol::name(issue->symbol());
  if (name.size() > 8) fire(ErrorCode::script_invalid_data, issue);
  uint32_t v = 0;
  for (unsigned char c : name) {
    // Bytes of 0x80 and up belong to characters outside ASCII, which are
    // never hexadecimal digits.
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                       : -1;
    if (digit < 0) fire(ErrorCode::script_invalid_data, issue);
    v = v * 16 + static_cast<uint32_t>(digit);
  }
  return static_cast<int32_t>(v);
}

namespace {

// Reads the decimal text of a string value from its head through the
// lexer's integer scanner; false when it is not one 32-bit integer.
bool scan_integer(Cell* str, int32_t* out) {
  const int32_t n = string::rs_length_q(str);
  const uint8_t* p = string::rs_head(str);
  int32_t error = 0;
  *out = lexer::scan_integer(p, n, static_cast<int>(memory::series(str->node())->unit()), &error);
  return error == 0;
}

[[noreturn]] void bad_to_arg(const Cell* spec) {
  Cell dt;
  set_datatype(&dt, TypeId::integer);
  fire(ErrorCode::script_bad_to_arg, &dt, spec);
}


}  // namespace

// --- actions

Cell* make(Cell* proto, Cell* spec, TypeId type) {
  if (spec->is(TypeId::logic)) {
    set_integer(proto, spec->logic() ? 1 : 0);
    return proto;
  }
  return to(proto, spec, type);
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(static_cast<uint32_t>(value->integer()));
    set_unset(value);
    return value;
  }
  if (value->integer() != 0) value->set_integer(random::int_uniform(secure, value->integer()));
  return value;
}

Cell* to(Cell* proto, Cell* spec, TypeId) {
  int32_t v = 0;
  switch (spec->type()) {
    case TypeId::integer: return spec;
    case TypeId::char_: v = spec->integer(); break;
    case TypeId::float_:
    case TypeId::percent: v = from_double_checked(spec->real()); break;
    // Seconds rounded half up (floor of t + 0.5: cutting t + 0.5 toward zero
    // made -1 second 0); a time outside the 32-bit range is an error like
    // any float.
    case TypeId::time: v = from_double_checked(std::floor(spec->real() + 0.5)); break;
    case TypeId::binary: v = from_binary(spec); break;
    case TypeId::issue: v = from_issue(spec); break;
    case TypeId::date: v = date::to_epoch(spec); break;
    case TypeId::money: v = money::to_integer(spec); break;
    case TypeId::string:
    case TypeId::file:
    case TypeId::url:
    case TypeId::tag:
    case TypeId::email:
    case TypeId::ref:
      if (!scan_integer(spec, &v)) bad_to_arg(spec);
      break;
    default: bad_to_arg(spec);
  }
  set_integer(proto, v);
  return proto;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  return string::emit(buffer, form_signed(value->integer()).view(), limit);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

void absolute() { stack::arguments->set_integer(abs(stack::arguments->integer())); }

Cell* negate(Cell* value) {
  if (value->integer() == kMin) raise_overflow();
  value->set_integer(-value->integer());
  return value;
}

void power() {
  Cell* base = stack::arguments;
  Cell* exponent = stack::arguments + 1;
  if (exponent->is(TypeId::integer) && exponent->integer() >= 0) {
    int32_t r;
    if (power_exact(base->integer(), exponent->integer(), &r)) {
      base->set_integer(r);
      return;
    }
  } else if (!exponent->is(TypeId::integer) && !exponent->is(TypeId::float_)) {
    const Cell called = stack::get_call();
    Cell dt;
    set_datatype(&dt, exponent->type());
    const Cell arg = word::load("exponent");
    fire(ErrorCode::script_expect_arg, &called, &dt, &arg);
  }
  float_::power(base, exponent);
}

Cell* round(Cell* value, Cell* scale, RoundFlags flags) {
  if (scale != nullptr && scale->is(TypeId::money)) {
    fire_not_related(nullptr, TypeId::money);
  }
  if (scale != nullptr && !scale->is(TypeId::integer)) {
    set_float(value, static_cast<double>(value->integer()));
    float_::round(value, scale, round_mode(flags));
    return value;
  }
  value->set_integer(round_to(value->integer(), scale ? scale->integer() : 1, round_mode(flags)));
  return value;
}

bool even_q(Cell* value) { return (value->integer() & 1) == 0; }
bool odd_q(Cell* value) { return (value->integer() & 1) != 0; }

Cell* complement(Cell* value) {
  value->set_integer(~value->integer());
  return value;
}

void register_() {
  static constexpr ActionRow row{
      .make = make,
      .random = random,
      .to = to,
      .form = form,
      .mold = mold,
      .compare = compare,
      .absolute = absolute,
      .add = actions::math_action<do_math, MathOp::add>,
      .divide = actions::math_action<do_math, MathOp::divide>,
      .multiply = actions::math_action<do_math, MathOp::multiply>,
      .negate = negate,
      .power = power,
      .remainder = actions::math_action<do_math, MathOp::remainder>,
      .round = round,
      .subtract = actions::math_action<do_math, MathOp::subtract>,
      .even_q = even_q,
      .odd_q = odd_q,
      .and_ = actions::math_action<do_math, MathOp::and_>,
      .complement = complement,
      .or_ = actions::math_action<do_math, MathOp::or_>,
      .xor_ = actions::math_action<do_math, MathOp::xor_>,
  };
  datatype::register_type(TypeId::integer, TypeId::none_id, "integer!", row);
}

}  // namespace qel::integer
