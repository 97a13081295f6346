// The memory statistics report: a walk over the memory manager's frames
// (memory::stats and memory::frame_census) turned into a number or into the
// block that `show-memory-stats` prints.
#include "natives/stats_report.h"

#include "memory/collector.h"
#include "memory/series.h"
#include "datatypes/block.h"

namespace qel::stats {

namespace {

Cell* append_count(Node blk, uint64_t n) {
  Cell* c = append_slot(blk);
  set_count(c, static_cast<double>(n));
  return c;
}

// Appends a [free used total] block with the new-line marker.
void append_row(Node blk, uint64_t free, uint64_t used, uint64_t total) {
  Cell row;
  block::make_at(&row, 3);
  row.set_flag(cell_flag::new_line);
  append_count(row.node(), free);
  append_count(row.node(), used);
  append_count(row.node(), total);
  *append_slot(blk) = row;
}

}  // namespace

void set_count(Cell* out, double n) {
  if (n > 2147483647.0)
    set_float(out, n);
  else
    set_integer(out, static_cast<int32_t>(n));
}

double memory(Cell* out, int32_t level) {
  // No collection may move or free what is being counted.
  collector::Hold hold;
  const memory::Stats s = memory::stats();
  struct Census {
    Node frames = kNoNode, bigs = kNoNode;
    uint64_t in_use = 0;  // level 1
    uint64_t total = 0;   // level 2: every frame's size
  } census;
  census.in_use = s.node_bytes;
  Cell report, nodes, frames, bigs;
  if (level >= 2 && out) {
    block::make_at(&report, 5);
    block::make_at(&nodes, 8);
    block::make_at(&frames, 8);
    block::make_at(&bigs, 8);
    census.frames = frames.node();
    census.bigs = bigs.node();
    const uint64_t table = s.node_table_bytes > s.node_bytes ? s.node_table_bytes : s.node_bytes;
    append_row(nodes.node(), table - s.node_bytes, s.node_bytes, table);
    census.total = table;
  }
  memory::frame_census(
      [](const memory::FrameUse& use, void* c) {
        Census* k = static_cast<Census*>(c);
        k->in_use += use.used;
        k->total += use.total;
        if (k->frames) append_row(k->frames, use.free, use.used, use.total);
      },
      [](uint64_t size, void* c) {
        Census* k = static_cast<Census*>(c);
        k->in_use += size;
        k->total += size;
        if (k->bigs) append_count(k->bigs, size);
      },
      &census);
  if (level >= 2 && out) {
    const Node top = report.node();
    *append_slot(top) = nodes;
    *append_slot(top) = frames;
    *append_slot(top) = bigs;
    append_count(top, census.total + s.heap_bytes);
    append_count(top, s.heap_bytes);
    *out = report;
  }
  return static_cast<double>(census.in_use);
}

}  // namespace qel::stats
