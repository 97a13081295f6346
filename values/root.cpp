// The root block and its mark callback.
#include "values/root.h"

#include "memory/collector.h"
#include "memory/series.h"

namespace qel::root {

Node block = 0;

namespace {
void mark() {
  if (block) collector::mark_node(block);
}
}  // namespace

void init() {
  if (block) return;
  block = memory::alloc_cells(256);
  collector::add_mark_callback(mark);
}

uint32_t append(const Cell& c) {
  Cell* slot = append_slot(block);
  *slot = c;
  return size() - 1;
}

Cell* cell_at(uint32_t index) { return memory::series(block)->cells() + index; }

Node node_at(uint32_t index) { return cell_at(index)->data2; }

uint32_t size() { return memory::series(block)->length(); }

}  // namespace qel::root
