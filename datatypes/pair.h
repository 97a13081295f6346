// pair!: a two-dimensional integer coordinate written 1x2, for sizes and
// positions throughout the runtime.
//
// Cell: type 37; data1 unused, data2 = x, data3 = y (signed 32-bit).
// Arithmetic stays in pair! while every component result is an exact 32-bit
// integer; otherwise, and whenever a point2D! operand is involved, it is
// redone in point2D! (datatypes/point.h). A pair! and a point2D! compare as
// points under every operator but `==` (`strict-equal?`), which is false
// between them: it asks for one type.
//
// Scalar types install their literal loaders with lexer::register_loader
// when they register; `to` of a text (date!, time!, tuple!, pair!, the
// points) takes the text's first value through lexer::load_first_of, which
// checks its type.
#pragma once

#include <cstdint>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::pair {

inline int32_t x(const Cell* c) { return static_cast<int32_t>(c->data2); }
inline int32_t y(const Cell* c) { return static_cast<int32_t>(c->data3); }
// Writes a pair into a cell (whole cell).
inline Cell* make_at(Cell* c, int32_t x, int32_t y) {
  *c = Cell{static_cast<uint32_t>(TypeId::pair), 0, static_cast<uint32_t>(x),
            static_cast<uint32_t>(y)};
  return c;
}
Cell* push(int32_t x, int32_t y);
Cell* make_in(Node block, int32_t x, int32_t y);

// Makes the pair in the cell a point2D! with the same coordinates.
void promote(Cell* c);

// Syntax error `malconstruct` for a block that builds no value of `type`
// (a pair or a point): the datatype, then the block molded, so the report
// names what was refused ("pair! invalid construction spec at [1]").
[[noreturn]] void fire_malconstruct(TypeId type, const Cell* spec);

// Arithmetic with the pair `left` and any right operand; the result
// replaces `left`. Codes add .. xor.
void do_math(Cell* left, Cell* right, MathOp op);

// --- the type's actions
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

// Registers pair! (no parent) and its literal loader.
void register_();

}  // namespace qel::pair
