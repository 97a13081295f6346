// tag!: a string written between "<" and ">". It forms and molds with its
// angle brackets; everything else is string!'s.
#pragma once

#include <cstdint>

#include "core/cell.h"

namespace qel::tag {

Cell* push(const Cell* value);
// form and mold: "<", the text, ">".
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
void register_();

}  // namespace qel::tag
