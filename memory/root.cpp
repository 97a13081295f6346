// The root block: the memory manager's heap-backed root block, which the
// collector always marks, seen through indexes.
#include "memory/root.h"

#include "memory/series.h"

namespace qel::root {

Node block = 0;

void init() {
  if (block) return;
  memory::init();
  block = memory::root_block;
}

uint32_t append(const Cell& c) {
  if (!block) init();
  Cell* slot = append_slot(block);
  *slot = c;
  return size() - 1;
}

Cell* cell_at(uint32_t index) { return memory::series(block)->cells() + index; }

Node node_at(uint32_t index) { return cell_at(index)->data2; }

uint32_t size() { return memory::series(block)->length(); }

}  // namespace qel::root
