// The root block (memory::root_block): a block series whose cells the
// collector always keeps alive. Start-up code appends what must live for the whole run (the symbol
// block, the global context, refinements made from C++, boot values);
// cells are never removed. C++ code refers to a root cell by its index.
#pragma once

#include <cstdint>

#include "core/cell.h"

namespace qel::root {

// The node of the root block (0 before `init`).
extern Node block;

// Start-up: makes the root block and registers its mark callback. Needs the
// memory manager.
void init();
// Appends a copy of the cell; returns its index.
uint32_t append(const Cell& c);
// The cell at an index (valid until the next append).
Cell* cell_at(uint32_t index);
// The node word (data2) of the cell at an index.
Node node_at(uint32_t index);
// Number of cells.
uint32_t size();

}  // namespace qel::root
