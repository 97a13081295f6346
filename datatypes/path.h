// The path family (path!, lit-path!, set-path!, get-path!) and paren!.
//
// All of them are blocks of value cells: they share block!'s storage and
// most of its actions, and add their own construction, conversion and text
// forms. A path writes its values with "/" between them; lit-path! molds
// with a leading "'", get-path! with a leading ":", set-path! with a
// trailing ":". A paren! molds in parentheses and otherwise acts as a block.
#pragma once

#include <cstdint>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel {

namespace path {
// Pushes a copy of a series value typed path! on the argument stack.
Cell* push(const Cell* value);
// Makes an empty path! with room for n cells in the cell (n < 1 counts as 1).
Cell* make_at(Cell* cell, int32_t n);

Cell* make(Cell* proto, Cell* spec, TypeId type);
Cell* to(Cell* proto, Cell* spec, TypeId type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
void register_();
}  // namespace path

namespace lit_path {
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
void register_();
}  // namespace lit_path

namespace set_path {
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
void register_();
}  // namespace set_path

namespace get_path {
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
void register_();
}  // namespace get_path

namespace paren {
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
void register_();
}  // namespace paren

}  // namespace qel
