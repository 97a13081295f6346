// The memory statistics report behind `stats`, `stats/info` and
// `stats/show`: either one number, the bytes in use, or a block describing
// the node table, every series frame and every big frame, which the
// library's `show-memory-stats` prints as a table.
#pragma once

#include <cstdint>

#include "core/cell.h"

namespace qel::stats {

// Measures the memory manager with automatic collections held off.
//
// Level 1: the bytes in use (4 per live node, the used part of every series
// frame, the size of every big frame).
//
// Level 2 and up: also fills `out` with a new block of five values:
//   1. a block holding one [free used total] block per node frame (the node
//      table, counted at 4 bytes per entry, as committed so far);
//   2. a block holding one [free used total] block per series frame;
//   3. a block of the sizes of the big frames;
//   4. the grand total: every frame's size plus the heap-backed bytes;
//   5. the heap-backed bytes.
// Each [free used total] block carries the new-line marker (it molds on a
// line of its own), and free + used = total. The two totals are integer!
// values up to 2147483647, float! values above. `out` may be null at level 1.
double memory(Cell* out, int32_t level);

// A byte count as Qel shows it: an integer! up to 2147483647, else a float!.
void set_count(Cell* out, double n);

}  // namespace qel::stats
