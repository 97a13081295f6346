// The memory manager's side of a collection: what the collector calls on
// the frames, big buffers, heap-backed series and the node table once marking
// is done. Only memory/collector.cpp includes this header.
#pragma once

#include <cstdint>

#include "memory/series.h"

namespace qel::memory::gc {

// One past the highest node index ever handed out. Marking checks node
// indexes against it, so a stray integer cannot reach outside the table.
extern uint32_t node_high;

// Entries of free nodes have their low bit set (buffers are 8-aligned).
inline bool node_in_use(Node n) {
  return n != 0 && n < node_high && (reinterpret_cast<uintptr_t>(node_table[n]) & 1) == 0;
}

// Slides the marked buffers of the series frames down (within a frame and
// into the free tails of earlier frames), updates their nodes, clears their
// marks, releases the nodes of dead buffers and frees the frames left empty
// beyond the next collection's budget (kept for the allocations to come).
// Returns the bytes still in use in frames.
uint64_t compact_frames();

// Frees the big frames whose buffer is unmarked (releasing their nodes) and
// clears the mark of the others. Returns the bytes of the big frames kept.
uint64_t sweep_big_buffers();

// Ends a collection: clears the marks of the heap-backed series, frees the
// heap blocks that heap-backed series left behind when they grew, rebuilds
// the free-node list in ascending order and sets the allocation budget that
// decides when the next collection is requested.
void finish(uint64_t live_bytes);

}  // namespace qel::memory::gc
