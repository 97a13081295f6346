// ref!: a string written with a leading "@". It molds with the "@" and
// forms as its bare text; it cannot be appended to.
#pragma once

#include <cstdint>

#include "core/cell.h"

namespace qel::ref {

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
void register_();

}  // namespace qel::ref
