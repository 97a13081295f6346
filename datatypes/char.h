// char!: one Unicode code point (0 .. 0x10FFFF). Its arithmetic and bitwise
// operations run on 32 bits and keep the result a char! inside the Unicode
// range; anything that leaves it is a math `overflow`. It inherits random,
// absolute, even? and odd? from integer!, which work on the same payload word.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::char_ {

inline constexpr int32_t kMaxCodePoint = 0x10FFFF;

// The escaped text of a code point inside a molded char!: "^(1E)" for 30,
// 128-159 and (with `all`) every code above 127; "^@" .. "^_" for the codes
// below 32; "^\"" for the double quote, "^^" for 94, "^~" for 127. Any other
// code point is written as itself: the text is then empty.
struct Escaped {
  char chars[12];
  uint8_t size;
  std::string_view view() const { return {chars, size}; }
  bool as_itself() const { return size == 0; }
};
Escaped escape(uint32_t cp, bool all);

// Arithmetic with a char! left operand: the right operand gives a 32-bit
// integer (char!, integer!, float! truncated); the left cell receives the
// char! result. Division truncates. A result outside 0 .. 0x10FFFF, or a
// 32-bit overflow, raises math `overflow`; any other right type script
// `invalid-type`.
void do_math(Cell* left, const Cell* right, MathOp op);

// The code point for `make`/`to char!` from a number (integer!, char!,
// float!, percent!); script `out-of-range` with the spec outside the range.
int32_t from_number(const Cell* spec);

// The char! compare function: -1, 0, 1, or -2 when not comparable.
int32_t compare(Cell* a, Cell* b, CompareOp op);

// Appends a char! to a block / pushes one on the argument stack.
Cell* make_in(Node block, uint32_t cp);
Cell* push(uint32_t cp);

// --- the type's actions (random, absolute, even? and odd? are integer!'s)
Cell* make(Cell* proto, Cell* spec, TypeId type);  // also `to`
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);

// Registers char! (parent integer!).
void register_();

}  // namespace qel::char_
