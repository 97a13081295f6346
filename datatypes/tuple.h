// tuple!: 3 to 12 unsigned bytes written as dotted decimals (1.2.3,
// 255.0.0.128), for colours, versions and network addresses. Arithmetic
// works byte by byte and saturates each byte to 0..255.
//
// Cell: type 39 in header bits 0-7, the length (3-12) in header bits 19-22;
// the bytes fill the 12 payload bytes after the header, first element
// first, and bytes past the length are 0. Changing a tuple's length keeps
// the cell's other header bits (its new-line marker). tuple::do_math swaps
// operands itself when the number comes first and refuses subtract and
// divide then.
#pragma once

#include <cstdint>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::tuple {

inline constexpr int32_t kMinLength = 3;
inline constexpr int32_t kMaxLength = 12;
inline constexpr uint32_t kLengthShift = 19;
inline constexpr uint32_t kLengthMask = 0xFu << kLengthShift;

inline int32_t length(const Cell* c) {
  return static_cast<int32_t>((c->header & kLengthMask) >> kLengthShift);
}
// Changes the length, keeping the type and every other header flag (the
// new-line marker included).
inline void set_length(Cell* c, int32_t n) {
  c->header = (c->header & ~kLengthMask) | (static_cast<uint32_t>(n) << kLengthShift);
}
inline uint8_t* bytes(Cell* c) { return reinterpret_cast<uint8_t*>(c) + 4; }
inline const uint8_t* bytes(const Cell* c) { return reinterpret_cast<const uint8_t*>(c) + 4; }

// Writes a tuple of `n` bytes (padded with zeros to length 3; at most 12)
// into a cell (whole cell).
Cell* make_at(Cell* c, const uint8_t* b, int32_t n);
// Pushes a tuple given as its length and three payload words.
Cell* push(int32_t n, uint32_t w1, uint32_t w2, uint32_t w3);
// Pushes a tuple of the low bytes of `count` integers, padded to length 3.
Cell* push_bytes(int32_t count, const int32_t* values);
// True when every byte within the length is 0.
bool zero_q(const Cell* t);
// The first bytes of a binary! from its head (at most 12, padded to 3).
Cell* from_binary(const Cell* bin, Cell* out);
// An issue! read as hexadecimal colour digits: RGB, RRGGBB or RRGGBBAA;
// script `invalid-data` otherwise.
Cell* from_issue(const Cell* issue, Cell* out);

// Arithmetic on two cells, one of which is a tuple; the result replaces
// `first`. A non-tuple first operand (a number handed over by its module)
// swaps with the tuple, except for subtract and divide, which it refuses.
void do_math(Cell* first, Cell* second, MathOp op);

// The store behind a set-path: an integer! (clamped to 0..255) or none!
// (which cuts the tuple before the index, keeping at least 3 bytes).
void set_byte(Cell* t, const Cell* index, const Cell* value);

// --- the type's actions
Cell* make(Cell* proto, Cell* spec, TypeId type);  // also `to`
Cell* random(Cell* value, bool seed, bool secure, bool only);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step);
int32_t compare(Cell* a, Cell* b, CompareOp op);
Cell* complement(Cell* value);
int32_t length_q(Cell* value);
Cell* pick(Cell* value, int32_t index, Cell* index_cell);
Cell* reverse(Cell* value, Cell* part, Cell* skip);

// Registers tuple! (no parent) and its literal loader.
void register_();

}  // namespace qel::tuple
