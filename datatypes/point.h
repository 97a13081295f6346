// point2D! and point3D!: coordinates with 32-bit floating-point components,
// written (1, 2.5) and (1, 2, 3), for positions and sizes that need
// fractions (pair! holds integers).
//
// Cells: type 51 or 52; data1 = x, data2 = y, data3 = z (point3D! only), each
// an IEEE single. The two types are twins and share one module: arithmetic
// goes through float!'s double operation and is stored back as singles.
// A NaN coordinate makes the ordering tests false and sorts after every
// number. A point literal takes a carriage return as a blank around its
// coordinates (a line feed still ends it as an error).
#pragma once

#include <cstdint>
#include <cstring>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::point {

// Component i (0 x, 1 y, 2 z) of a point cell.
inline float get(const Cell* c, int i) {
  float f;
  std::memcpy(&f, reinterpret_cast<const char*>(c) + 4 + 4 * i, sizeof f);
  return f;
}
inline void put(Cell* c, int i, float f) {
  std::memcpy(reinterpret_cast<char*>(c) + 4 + 4 * i, &f, sizeof f);
}
// 2 for point2D!, 3 for point3D!.
inline int arity(TypeId t) { return t == TypeId::point3d ? 3 : 2; }

// Arithmetic with the point `left` and any right operand; the result
// replaces `left`. Codes add .. remainder.
void do_math(Cell* left, Cell* right, MathOp op);

// A number (integer! or float!) on the left of a pair!, point2D! or
// point3D!: the operands swap and the coordinate's arithmetic runs. A number
// cannot be divided by a coordinate; an integer! minus a coordinate adds the
// negated coordinate, while a float! minus one is refused.
void number_left(Cell* left, Cell* right, MathOp op);

// The shared actions (the type comes from the value).
Cell* make(Cell* proto, Cell* spec, TypeId type);  // also `to`
Cell* random(Cell* value, bool seed, bool secure, bool only);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step);
int32_t compare(Cell* a, Cell* b, CompareOp op);
void absolute();
Cell* negate(Cell* value);
Cell* round(Cell* value, Cell* scale, RoundFlags flags);
Cell* pick(Cell* value, int32_t index, Cell* index_cell);
Cell* reverse(Cell* value, Cell* part, Cell* skip);

}  // namespace qel::point

namespace qel::point2d {
inline float x(const Cell* c) { return point::get(c, 0); }
inline float y(const Cell* c) { return point::get(c, 1); }
// Writes a point2D! into a cell (whole cell).
inline Cell* make_at(Cell* c, float x, float y) {
  *c = Cell{static_cast<uint32_t>(TypeId::point2d), 0, 0, 0};
  point::put(c, 0, x);
  point::put(c, 1, y);
  return c;
}
Cell* push(float x, float y);
Cell* make_in(Node block, float x, float y);
inline void do_math(Cell* left, Cell* right, MathOp op) { point::do_math(left, right, op); }
inline int32_t compare(Cell* a, Cell* b, CompareOp op) { return point::compare(a, b, op); }
// Registers point2D! (no parent) and the point literal loader.
void register_();
}  // namespace qel::point2d

namespace qel::point3d {
inline Cell* make_at(Cell* c, float x, float y, float z) {
  *c = Cell{static_cast<uint32_t>(TypeId::point3d), 0, 0, 0};
  point::put(c, 0, x);
  point::put(c, 1, y);
  point::put(c, 2, z);
  return c;
}
Cell* push(float x, float y, float z);
Cell* make_in(Node block, float x, float y, float z);
inline void do_math(Cell* left, Cell* right, MathOp op) { point::do_math(left, right, op); }
// Registers point3D! (no parent).
void register_();
}  // namespace qel::point3d
