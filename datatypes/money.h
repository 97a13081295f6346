// money!: a signed fixed-point decimal amount of 17 integer and 5 fraction
// digits, optionally tagged with a currency. Amounts are exact: arithmetic
// works on the decimal digits themselves and never passes through binary
// floating point except in the explicit conversions from and to float!.
//
// Cell (16 bytes):
//   bytes 0-3   header: type id 49 in bits 0-7; bit 14 is the sign (1 =
//               negative); the other flags as for every cell;
//   byte 4      currency index: 0 for none, else the 1-based position of the
//               code in system/locale/currencies/list;
//   bytes 5-15  22 packed BCD digits, most significant first, the high
//               nibble of each byte first.
// Digit positions are numbered 1-22 from the most significant: 1-17 are the
// integer digits, 18-22 the fraction digits; the amount is the 22-digit
// integer divided by 100000. A zero amount is neither negative nor positive
// whatever its sign bit says.
//
// Currency codes are looked up in the list at each use (case-insensitive);
// the lexer's loader, `to money!` of text and `as-money` go through
// `make_from_text`. The arithmetic reads the digits into one unsigned
// 128-bit integer of units of 0.00001 and checks exactly, so a result that
// fits is never refused (remainder and quotient included). Floats meet
// money through their shortest decimal text: `to money!` and `make` refuse
// a float with more than 5 fraction digits, arithmetic drops the digits past
// the fifth, and comparison (`compare_double`, used by float! too) is exact,
// sign first, so a float beyond the money range still orders and never
// raises. `round` returns a value already on the scale as it is in every
// mode and recognises a tie for any scale (twice the remainder equals the
// scale; /even looks at the parity of the multiple).
//
// The code is split in two: money.cpp holds the layout, the currency list,
// the conversions and the four operations (this header's first half);
// money_actions.cpp the datatype's actions and its registration.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::money {

inline constexpr int kDigits = 22;         // digits per value
inline constexpr int kIntegerDigits = 17;  // integer digits (positions 1-17)
inline constexpr int kFractionDigits = 5;  // fraction digits (positions 18-22)
inline constexpr int kDigitBytes = 11;     // packed digit bytes
inline constexpr uint32_t kSignFlag = 0x4000;
inline constexpr int32_t kSignShift = 14;

// --- the cell

inline uint8_t* digits(Cell* c) { return reinterpret_cast<uint8_t*>(c) + 5; }
inline const uint8_t* digits(const Cell* c) { return reinterpret_cast<const uint8_t*>(c) + 5; }

inline int32_t sign_q(const Cell* c) { return (c->header & kSignFlag) ? 1 : 0; }
inline void set_sign(Cell* c, int32_t s) {
  c->header = s ? (c->header | kSignFlag) : (c->header & ~kSignFlag);
}
inline void negate(Cell* c) { c->header ^= kSignFlag; }
inline void abs(Cell* c) { c->header &= ~kSignFlag; }

inline uint8_t get_currency(const Cell* c) { return reinterpret_cast<const uint8_t*>(c)[4]; }
inline void set_currency(Cell* c, uint8_t index) { reinterpret_cast<uint8_t*>(c)[4] = index; }

// Digit `pos` (1-22) of a packed digit string.
inline int32_t get_digit(const uint8_t* d, int32_t pos) {
  const uint8_t b = d[(pos - 1) >> 1];
  return (pos & 1) ? b >> 4 : b & 0x0F;
}
inline void set_digit(uint8_t* d, int32_t pos, int32_t digit) {
  uint8_t& b = d[(pos - 1) >> 1];
  b = (pos & 1) ? static_cast<uint8_t>((b & 0x0F) | (digit << 4))
                : static_cast<uint8_t>((b & 0xF0) | digit);
}
// True when all 22 digits are 0.
bool digits_zero_q(const uint8_t* d);
// The digits from the first non-zero one to position 22 (1 for zero).
int32_t digit_count(const uint8_t* d);
// Byte-wise comparison of two digit strings (the order of magnitudes): -1,
// 0 or 1.
int32_t compare_digits(const uint8_t* a, const uint8_t* b);
// Shifts a packed digit string of `bytes` bytes by whole digits, filling
// with 0.
void shift_left(uint8_t* d, int32_t bytes, int32_t count);
void shift_right(uint8_t* d, int32_t bytes, int32_t count);

// -1, 0 or 1; 0 whenever all digits are 0.
inline int32_t signum(const Cell* c) {
  if (digits_zero_q(digits(c))) return 0;
  return sign_q(c) ? -1 : 1;
}
inline bool negative_q(const Cell* c) { return signum(c) < 0; }
inline bool zero_q(const Cell* c) { return signum(c) == 0; }
inline bool positive_q(const Cell* c) { return signum(c) > 0; }

// --- currencies

// The 1-based index of a word's code in system/locale/currencies/list
// (compared without regard to case), or -1 when absent or when the list is
// empty or does not exist yet.
int32_t currency_index(const Cell* word);
// The same for a code given as its text.
int32_t currency_index(std::string_view code);
// Writes the currency's word from the list into `out` (none! for index 0,
// or for an index the list no longer reaches).
void currency_word(const Cell* money, Cell* out);
// Compatible currencies: equal indexes, or (not strict) either one 0.
enum class Strict : bool { no, yes };
bool same_currency_q(const Cell* a, const Cell* b, Strict strict);

// --- making values (every maker writes the whole cell)

// A zero amount without currency.
Cell* make_zero(Cell* c);
// From text: the sign, a currency code (empty for none), the integer digits
// ("'" separators skipped, leading zeros allowed) and the fraction digits.
// False when the currency is unknown or there are more than 17 significant
// integer digits; fraction digits past the fifth are dropped.
bool make_from_text(Cell* c, bool negative, std::string_view code, std::string_view integer_text,
                    std::string_view fraction_text);
// From the stored form (QELBIN): sign, currency index and the 11 digit bytes.
Cell* make_from_bcd(Cell* c, bool negative, uint8_t currency, const uint8_t* bcd);
// An integer! amount (exact for every int32), no currency.
Cell* from_integer(Cell* c, int32_t n);
// A float! amount through its shortest decimal text. Script `bad-make-arg`
// (money!, the float) for an infinity or NaN, a non-zero magnitude below
// 0.00001, a magnitude of 1e17 or more, or, when strict, more than 5
// fraction digits; otherwise fraction digits beyond the fifth are dropped.
Cell* from_float(Cell* c, double x, Strict strict);
// The integer part as an int32 (fraction dropped); script `type-limit`
// naming integer! outside -2147483648 .. 2147483647.
int32_t to_integer(const Cell* c);
// The amount as the nearest double.
double to_float(const Cell* c);
// True when the integer part lies outside the int32 range.
bool int_overflow_q(const Cell* c);

// --- arithmetic (operands are money!; results replace the first cell)

// -1, 0 or 1 by signed amount (currencies ignored).
int32_t compare_amounts(const Cell* a, const Cell* b);
// Script `type-limit` naming money! when a result leaves 17 integer digits;
// multiplication and division truncate to 5 fraction digits, and a non-zero
// product or quotient that truncates to zero is also `type-limit`.
void add_values(Cell* a, const Cell* b);
void subtract_values(Cell* a, const Cell* b);
void multiply_values(Cell* a, const Cell* b);
// Quotient, or with `remainder` the remainder (the dividend's sign); math
// `zero-divide` for a zero divisor.
enum class Remainder : bool { no, yes };
void divide_values(Cell* a, const Cell* b, Remainder remainder);
// True when the whole number of times |b| goes into |a| is even (b not zero).
bool quotient_even_q(const Cell* a, const Cell* b);

// Arithmetic where either operand is money! (the other integer!, float! or
// percent!), the result replacing `left`: add, subtract, multiply, divide,
// remainder. Money times money and a number divided by money raise script
// `invalid-type`; currencies must agree (`wrong-denom`); the result takes
// the right operand's currency, else the left one's. Money divided by money
// gives a float!.
void do_math(Cell* left, Cell* right, MathOp op);

// The money compare function (codes of CompareOp): -1, 0, 1, or -2 for a
// value that cannot be compared with money.
int32_t compare(Cell* a, Cell* b, CompareOp op);
// A double compared with a money! (float! against money!): sign first, so
// that values outside the money range still order by value.
int32_t compare_double(double x, const Cell* m, CompareOp op);

// --- text

// Scans a money text (optional sign, optional three-letter code and "$",
// digits with "'" between digits, one "." before at most 5 fraction digits)
// of `count` characters of `unit` bytes into `out`; `*error` is 0 on
// success, else -1.
void scan_money_text(const void* text, int32_t count, int unit, int32_t* error, Cell* out);
// The lexer's money literal: [sign] [three-character code] "$" digits with
// single "'" between them (at most 17 significant), then "." or "," and 1 to
// 5 fraction digits. False when the text breaks a rule or names an unknown
// currency.
bool scan_literal(const uint8_t* text, uint32_t len, Cell* out);

// Appends the text of a money value: "-", the code, "$", the integer digits
// ("'" between groups of three when `grouped`) and `fraction` digits after
// "." (none when 0). Returns the limit left.
enum class Grouped : bool { no, yes };
int32_t emit(const Cell* m, Cell* buffer, Grouped grouped, int32_t fraction, int32_t limit);

// --- the type's actions (money_actions.cpp)
Cell* make(Cell* proto, Cell* spec, TypeId type);
Cell* to(Cell* proto, Cell* spec, TypeId type);
Cell* random(Cell* value, bool seed, bool secure, bool only);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step);
Cell* pick(Cell* value, int32_t index, Cell* index_cell);
Cell* round(Cell* value, Cell* scale, RoundFlags flags);
bool even_q(Cell* value);
bool odd_q(Cell* value);

// Registers money! (no parent) and installs the lexer's money loader.
void register_();

}  // namespace qel::money
