// vector!: a packed series of numbers or characters of one element type and
// one width: integer! or char! elements of 8, 16 or 32 bits, float!
// elements of 32 or 64 bits, percent! elements of 64 bits. It is a series
// (a child of string!, whose searching, sorting and taking it inherits, and
// of series!), and its arithmetic works element by element: against a
// scalar in place, against another vector into a new buffer.
//
// Cell: data1 = head index in elements, data2 = node of the buffer, whose
// unit is the element width in bytes (1, 2, 4 or 8), data3 = the element
// type id (char!, integer!, float! or percent!).
//
// Elements: integer! values are stored as their low 8, 16 or 32 bits and
// read back sign-extended (an 8-bit element holding 200 reads as -56);
// char! elements read back unsigned, so they are always code points;
// float! and percent! elements are IEEE doubles (width 8) or singles
// (width 4), a percent! holding its fraction (0.5 for 50%).
//
// The series! and string! actions reach the elements through
// `series::vector_hooks` (get, set for poke, sort); `block::vector_to_block`
// serves `make` and `to block!`. Modifiers check every value before changing
// the buffer and tell the owner like every series modifier. A float scalar
// with no 32-bit integer (NaN, out of range) is refused by integer and char
// vectors with `type-limit`, on either side, the elements left as they
// were. A NaN element equals and orders with nothing and sorts last.
//
// vector.cpp holds the storage, make, form, mold, compare and the
// modifiers; vector_math.cpp the arithmetic and the element order of sort.
#pragma once

#include <cstdint>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::vector {

inline TypeId element_type(const Cell* v) { return static_cast<TypeId>(v->data3 & 0xFF); }
// The element width in bytes (the buffer's unit).
uint32_t width(const Cell* v);
// The default width of an element type in bytes: 4 for integer! and char!,
// 8 for float! and percent!.
inline uint32_t default_width(TypeId t) { return t == TypeId::integer || t == TypeId::char_ ? 4 : 8; }

// Elements from the head to the tail (0 for a head past the tail).
int32_t rs_length_q(const Cell* v);

// Writes the element at `item` as a value of the element type.
void get_value(const uint8_t* item, uint32_t width, TypeId type, Cell* out);
// Stores a value into the element at `item`: integer! and char! values into
// integer! and char! vectors (cut to the width), float! and percent! values
// into float! and percent! vectors (converted to the width's format). Any
// other value raises script `invalid-type` with its datatype.
void set_value(uint8_t* item, const Cell* value, uint32_t width, TypeId type);
// True when a value belongs to the element type's class (what set_value
// accepts).
bool accepts(TypeId element, const Cell* value);

// Writes a new empty vector with room for `count` elements; internal
// `no-memory` when count x width leaves 32 bits.
Cell* make_at(Cell* c, int64_t count, TypeId type, uint32_t width);
// Writes a new block of the element values from the head.
void to_block(const Cell* v, Cell* result);

// Which side of the operation the scalar stands on.
enum class ScalarSide : bool { right, left };
// The vector's elements from its head change in place: element OP scalar
// (scalar OP element when the scalar stood on the left). The scalar is
// integer!, char!, float! or percent!; another type raises script
// `invalid-type` naming it. Integer elements use 32-bit operations that wrap around
// (division truncates; division and remainder by zero raise math
// `zero-divide`); float elements use float!'s operations.
void do_math_scalar(MathOp op, Cell* vector, const Cell* scalar, ScalarSide side);
// The arithmetic actions: slot 0 (a vector) OP slot 1 (a vector or a
// scalar), the result in slot 0. Two vectors must have the same element
// type (`not-same-type`); their result is a new vector of the shorter
// length and the larger width, and neither operand changes.
void do_math(MathOp op);

// Sorts `records` records of `record_bytes` bytes at `base` by the element
// order (integers signed, floats as numbers). Flags as string!'s sort:
// bit 0 reverse, bit 1 compare whole records of the size in bits 2 and up,
// else compare the element at the offset in bits 2 and up.
void sort_items(const Cell* v, uint8_t* base, size_t records, size_t record_bytes, uint32_t flags,
                bool stable);

// --- the type's actions
Cell* make(Cell* proto, Cell* spec, TypeId type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* a, Cell* b, CompareOp op);
Cell* append(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool at_tail);
Cell* change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);

// Registers vector! (parent string!) and installs the series hooks.
void register_();

}  // namespace qel::vector
