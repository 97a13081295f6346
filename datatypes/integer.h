// integer!: Qel's signed 32-bit integer, and the checked integer arithmetic
// that every numeric module shares.
//
// Integer arithmetic never wraps. A sum, difference or product that leaves
// the 32-bit range, and a quotient that is not exact, become a float! holding
// the answer computed in double precision; only the cases without a float
// answer (division by zero, the most negative integer divided by -1) raise
// math errors. No C++ operation here may overflow: sums, differences and
// products go through the checked builtins, and every conversion of a double
// to an int32 anywhere in Qel goes through `from_double_checked` or
// `truncate_or_min` below, never through a bare cast.
//
// Mixed arithmetic hands over by the right operand's type: float!, percent!
// and time! to float_::do_math; pair! and the points to
// point::number_left (operands swapped); tuple! to tuple::do_math; date! to
// date::integer_left; money! to money::do_math; vector! to
// vector::do_math_scalar. `to integer!` of a time outside 32 bits raises
// `type-limit`, and of an issue holding a character outside ASCII
// `invalid-data`. `round/to` of integers is worked in 64 bits, so
// -2147483648 and a scale of -2147483648 round like any other value and
// only a result outside 32 bits is math `overflow`; with an integer! scale
// a float result outside 32 bits raises `type-limit` (a time stays a time:
// the scale counts its seconds).
#pragma once

#include <cstdint>
#include <string_view>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::integer {

inline constexpr int32_t kMin = INT32_MIN;
inline constexpr int32_t kMax = INT32_MAX;

// --- cells

// Makes the cell an integer! keeping its header flags.
inline Cell* make_at(Cell* c, int32_t v) {
  c->set_type(TypeId::integer);
  c->set_integer(v);
  return c;
}
// Appends a new integer! (no header flags) at the tail of a block.
Cell* make_in(Node block, int32_t v);
inline int32_t get(const Cell* c) { return c->integer(); }
inline constexpr int32_t sign(int32_t v) { return (v > 0) - (v < 0); }

// Absolute value; math `overflow` for the most negative integer.
int32_t abs(int32_t v);

// --- decimal text

// The decimal text of an integer: no plus sign, no leading zeros.
struct Text {
  char chars[12];
  uint8_t size;
  std::string_view view() const { return {chars, size}; }
};
Text form_signed(int32_t v);

// --- doubles to integers (the only way any module turns a double into an int32)

// True when a double has no integer! counterpart: above 2147483647.0, below
// -2147483648.0, or NaN. (A value such as 2147483647.5 counts as overflow.)
inline constexpr bool float_overflow(double d) {
  return !(d >= -2147483648.0 && d <= 2147483647.0);
}

// The double truncated toward zero; script `type-limit` naming integer! when
// `float_overflow` holds.
int32_t from_double_checked(double d);

// The double truncated toward zero, or -2147483648 when it does not fit (NaN
// included): the processor's own answer, for the few places where Qel defines
// an out-of-range conversion as giving that value instead of an error.
inline constexpr int32_t truncate_or_min(double d) {
  if (!(d > -2147483649.0 && d < 2147483648.0)) return kMin;
  return static_cast<int32_t>(d);
}

// --- checked arithmetic

// The 32-bit operation for codes add .. xor (MathOp 0-7). Division by zero
// raises math `zero-divide`; the most negative integer divided by, or taken
// the remainder of, -1 raises math `overflow`. With an output cell, a sum,
// difference or product that overflows and a division that is not exact
// rewrite that cell as a float! (whole header, flags cleared) holding the
// answer in double precision and return 0; an integer result is also stored
// in the cell's value word, its type left as it is. Without an output cell
// a division truncates toward zero (add, subtract and multiply need one).
int32_t math_op(int32_t left, int32_t right, MathOp op, Cell* out);

// The same operation for callers that want the overflow reported instead of
// a float! (char!, vector!, tuple!): returns false when the exact result does
// not fit 32 bits, and division always truncates toward zero.
bool math_op_reported(int32_t left, int32_t right, MathOp op, int32_t* result);

// Arithmetic with an integer! left operand and a right operand of any type:
// the left cell receives the result. An integer! or char! right operand uses
// `math_op`; float!, percent! and time! go to float! arithmetic; any other
// type raises script `invalid-type` with the right operand's datatype.
void do_math(Cell* left, Cell* right, MathOp op);

// base ** exponent by repeated squaring for exponent >= 0; false when some
// step overflows 32 bits (the caller then computes the power as a float!).
bool power_exact(int32_t base, int32_t exponent, int32_t* result);

// --- rounding (shared with float!)

// Which rule decides a rounding; the refinements of `round` resolve to one
// mode, the first present in this order deciding: /down, /floor, /ceiling,
// /even, /half-down, /half-ceiling; none of them is `half_away`.
enum class RoundMode : uint8_t { half_away, down, floor, ceiling, even, half_down, half_ceiling };
RoundMode round_mode(const RoundFlags& f);

// Rounds v to a multiple of scale (scale 0 leaves it); math `overflow` when
// the rounded value leaves the 32-bit range. A negative scale counts by its
// magnitude.
int32_t round_to(int32_t v, int32_t scale, RoundMode mode);

// --- comparison

// --- cells on the argument stack

// Pushes a new integer! on the argument stack.
Cell* push(int32_t v);
// Makes frame slot 0 an integer!.
Cell* box(int32_t v);
// The value word of frame slot 0 (no type check).
int32_t get_any();
// The value of frame slot 0 when it is an integer!, else 0.
int32_t get_checked();

// --- conversions

// The first at most 4 bytes of a binary! from its head, big-endian.
int32_t from_binary(const Cell* bin);
// An issue!'s name read as hexadecimal (at most 8 ASCII hex digits); script
// `invalid-data` with the issue for anything else.
int32_t from_issue(const Cell* issue);

// --- the type's actions
Cell* make(Cell* proto, Cell* spec, TypeId type);
Cell* random(Cell* value, bool seed, bool secure, bool only);
Cell* to(Cell* proto, Cell* spec, TypeId type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// -1, 0, 1, or -2 when not comparable.
int32_t compare(Cell* a, Cell* b, CompareOp op);
void absolute();
Cell* negate(Cell* value);
void power();
Cell* round(Cell* value, Cell* scale, RoundFlags flags);
bool even_q(Cell* value);
bool odd_q(Cell* value);
Cell* complement(Cell* value);

// Registers integer! (no parent).
void register_();

}  // namespace qel::integer
