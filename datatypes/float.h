// float! and percent!: IEEE doubles, the text forms of doubles that other
// modules reuse, and the mixed arithmetic that the integer, char and time
// modules hand over to this one.
//
// A percent! holds the fraction (50% is 0.5) and prints multiplied by 100.
// Arithmetic follows IEEE: a division by zero or an overflow gives an
// infinity or NaN, printed "1.#INF", "-1.#INF" and "1.#NaN", never an error.
// A percent beyond the largest float / 100 forms and molds with its own
// digits (1e309%); the percent infinities and NaN are written `1.#INF%`,
// `-1.#INF%`, `1.#NaN%`, which the lexer reads back. A percent! rounded to a
// percent! scale takes the scale as a fraction (12.5% to 5% is 15%); a plain
// number scales it in percent points. Sorts put a NaN after every number
// (float!, percent!, time!, integer! and money! operands, float vector
// elements), while the ordering operators stay false with a NaN. `mold/all`
// of a float element, a percent!, time!, date! seconds and the points writes
// the shortest digits that load back as the same value (`form` and `mold`
// keep their 13- and 7-digit forms); plain `mold` writes a tiny non-zero
// value's digits where `form` writes 0.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/cell.h"
#include "values/datatype.h"
#include "datatypes/integer.h"

namespace qel::float_ {

// The form kinds of `form_float`: which format and which decorations.
enum class FormKind : uint8_t {
  float32 = 0,    // 32-bit vector elements: "%.7g", ".0" added
  float64 = 1,    // float! form and 64-bit vector elements: "%.16g", ".0" added
  percent32 = 2,  // 32-bit percent vector elements (already x100): "%.7g", "%"
  percent = 3,    // percent! form and mold (already x100): "%.13g", "%"
  time = 4,       // time! seconds: at most 6 digits, no ".0"
  point = 5,      // point coordinates: "%.7g", nothing added
};

// Set through system/options/float/pretty?; read by `form_float` only.
extern bool pretty_print;
// Set through system/options/float/full?; has no effect.
extern bool full_support;

// A double's text; at most 31 characters.
struct Text {
  char chars[32];
  uint8_t size;
  std::string_view view() const { return {chars, size}; }
};

// What pretty printing makes of a non-zero value below 2^-52: form writes
// it as zero; mold keeps its digits, since "0" would load as another value.
enum class TinyValues : uint8_t { as_zero, kept };

// The text of a double for a form kind (the x100 of percent kinds is the
// caller's). Infinities and NaN give "1.#INF", "-1.#INF", "1.#NaN" (with "%"
// for the percent kinds).
Text form_float(double x, FormKind kind, TinyValues tiny = TinyValues::as_zero);
// The text of a percent for its fraction (percent or percent32 kind): the
// fraction x100, or beyond the largest double / 100 the fraction's own digits
// with the exponent two higher, so that every finite percent keeps its digits.
Text form_percent(double fraction, FormKind kind, TinyValues tiny = TinyValues::as_zero);
// The molded text of a float!: the shortest digits that read back as the
// same double, with ".0" where the text would have no point.
Text mold_float(double x);
// The shortest digits that read back as the same 32-bit float (seven digits
// do not always), appended to `out`; with point_zero ".0" is added where the
// text would have no point (1.0, 1.0e20). Zero, infinities and NaN append
// nothing and answer false: their form text serves.
bool exact_float32_text(float x, bool point_zero, std::string& out);

// --- cells

inline double get(const Cell* c) { return c->real(); }
inline Cell* make_at(Cell* c, double v) {
  set_float(c, v);
  return c;
}
// A float! or percent! from its IEEE pattern given as two 32-bit halves
// (low word first, as QELBIN stores them).
inline void make_at_bits(Cell* c, uint32_t low, uint32_t high, TypeId t = TypeId::float_) {
  *c = Cell{static_cast<uint32_t>(t), 0, low, high};
}
Cell* make_in(Node block, uint32_t low, uint32_t high, TypeId t = TypeId::float_);

uint64_t bits(double d);
inline double abs(double d) { return d < 0.0 || (d == 0.0 && bits(d) >> 63) ? 0.0 - d : d; }
// True for +infinity, -infinity and NaN.
bool special(double d);
// True when the pattern (low and high words) is a NaN.
bool nan_bits(uint32_t low, uint32_t high);

// Equality with a tolerance of 10 units in the last place (NaN never equal).
bool almost_equal(double a, double b);
// The same for 32-bit floats (vector elements).
bool equal32(float a, float b);

// --- arithmetic

// The bare double operation for add, subtract, multiply, divide and
// remainder; any other code raises script `cannot-use`.
double do_op(double x, double y, MathOp op);

// Arithmetic on two cells, the result replacing the left one. The left cell
// may be integer!, float!, percent! or time!; the right one integer!, char!,
// float!, percent! or time! (a char! is refused beside a time! or percent!).
// percent! with a plain number stays percent!, a mix with time! is time!.
void do_math(Cell* left, Cell* right, MathOp op);

// base ** exponent with the C library's pow; the cell keeps its type. The
// exponent must be integer! or float!.
void power(Cell* base, const Cell* exponent);

// Rounds the value cell (float!, percent! or time!) by the refinements of
// `round`; `scale` is the /to argument or null. With an integer! scale the
// result is an integer!, with a float! or percent! scale that type.
void round(Cell* value, const Cell* scale, integer::RoundMode mode);

// --- comparison

// The float! compare function: -1, 0, 1, or -2 when not comparable.
int32_t compare(Cell* a, Cell* b, CompareOp op);
// The same with the first value given as a double of type `a_type` (used by
// integer! against floats).
int32_t compare_double(double a, TypeId a_type, const Cell* b, CompareOp op);
// A comparison's answer when a or b is NaN: NaN equals nothing and orders
// with nothing; sorts put it after every number, NaNs together (0). (float!
// answers =, <>, == and same? before it asks.)
int32_t compare_nan(double a, double b, CompareOp op);

// --- cells on the argument stack

// Makes frame slot 0 a float! holding the double.
Cell* box(double v);
// Pushes a float! on the argument stack.
Cell* push(double v);
// Pushes a float! given as two 32-bit halves (low word first).
Cell* push64(uint32_t low, uint32_t high);

// --- the type's actions (percent! inherits all but form and mold)
Cell* make(Cell* proto, Cell* spec, TypeId type);  // also `to`
Cell* random(Cell* value, bool seed, bool secure, bool only);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
void absolute();
Cell* negate(Cell* value);
void power();
Cell* round(Cell* value, Cell* scale, RoundFlags flags);
bool even_q(Cell* value);
bool odd_q(Cell* value);

// Registers float! (no parent).
void register_();

}  // namespace qel::float_

namespace qel::percent {

// A percent! from its IEEE pattern given as two halves, into a cell or
// appended to a block.
inline void make_at_bits(Cell* c, uint32_t low, uint32_t high) {
  float_::make_at_bits(c, low, high, TypeId::percent);
}
Cell* make_in(Node block, uint32_t low, uint32_t high);

// form and mold: the value x 100 with a "%" sign.
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);

// Registers percent! (parent float!).
void register_();

}  // namespace qel::percent
