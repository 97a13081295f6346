// integer!: cell helpers, decimal text, checked arithmetic, rounding and
// comparison. The action functions and the type's row follow the kernels.
#include "values/integer.h"

#include <cstdlib>

#include "datatypes/float.h"
#include "memory/series.h"
#include "values/errors.h"

namespace qel::integer {

namespace {

[[noreturn]] void raise_overflow() { fire(ErrorCode::math_overflow); }

[[noreturn]] void raise_with_type(ErrorCode code, TypeId t) {
  Cell dt;
  set_datatype(&dt, t);
  fire(code, &dt);
}

// An operator code that no integer operation has: a fault of the caller.
[[noreturn]] void bad_operator() { std::abort(); }

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
  if (v == kMin) return v;
  const int32_t s = abs(scale);
  if (s == 0) return v;
  const bool negative = v < 0;
  const int32_t a = negative ? -v : v;
  const int32_t r = a % s;
  if (r == 0) return v;
  const int32_t d = s - r;  // distance to the next multiple away from zero
  int32_t u = 0;
  const bool u_overflows = __builtin_add_overflow(a, d, &u);
  auto toward_zero = [&] { return negative ? -(a - r) : a - r; };
  auto away_from_zero = [&] {
    if (u_overflows) raise_overflow();
    return negative ? -u : u;
  };
  switch (mode) {
    case RoundMode::down: return toward_zero();
    case RoundMode::floor:
      if (u_overflows) raise_overflow();
      return negative ? away_from_zero() : toward_zero();
    case RoundMode::ceiling:
      if (u_overflows) raise_overflow();
      return negative ? toward_zero() : away_from_zero();
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

int32_t compare(const Cell* a, const Cell* b, CompareOp op) {
  if ((op == CompareOp::strict_equal || op == CompareOp::find) && !b->is(TypeId::integer)) return 1;
  switch (b->type()) {
    case TypeId::integer:
    case TypeId::char_: {
      int32_t x = a->integer(), y = b->integer();
      return (x > y) - (x < y);
    }
    case TypeId::float_:
    case TypeId::percent:
    case TypeId::time: return float_::compare_double(static_cast<double>(a->integer()), TypeId::integer, b, op);
    default: return kNotComparable;
  }
}

}  // namespace qel::integer
