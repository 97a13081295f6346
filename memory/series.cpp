// Series allocation. Placeholder allocator: one malloc per buffer and a
// growing node table, with no collection. The framed allocator with
// compaction replaces it behind the same interface.
#include "memory/series.h"

#include <cstdlib>
#include <cstring>

#include "memory/collector.h"
#include "values/errors.h"

namespace qel {
namespace memory {

SeriesBuffer** node_table = nullptr;
static uint32_t node_capacity = 0;
static uint32_t node_count = 1;  // entry 0 unused
static uint64_t allocated = 0;

void init() {
  if (node_table) return;
  node_capacity = 1 << 16;
  node_table = static_cast<SeriesBuffer**>(std::calloc(node_capacity, sizeof(SeriesBuffer*)));
}

static Node new_node(SeriesBuffer* s) {
  if (node_count == node_capacity) {
    node_capacity *= 2;
    node_table = static_cast<SeriesBuffer**>(std::realloc(node_table, node_capacity * sizeof(SeriesBuffer*)));
  }
  Node n = node_count++;
  node_table[n] = s;
  s->node = n;
  return n;
}

static SeriesBuffer* new_buffer(uint64_t bytes, uint32_t unit, uint32_t head_offset, uint32_t extra_flags) {
  uint64_t size = (bytes + 15) & ~uint64_t{15};
  if (size == 0) size = 16;
  if (size > 0x7FFFFFF0u) fire(ErrorCode::internal_no_memory);
  auto* s = static_cast<SeriesBuffer*>(std::malloc(sizeof(SeriesBuffer) + size + 4));
  if (!s) fire(ErrorCode::internal_no_memory);
  s->flags = unit | series_flag::live | series_flag::framed | extra_flags;
  s->node = 0;
  s->size = static_cast<uint32_t>(size);
  s->offset = head_offset;
  s->tail = head_offset;
  s->spare = 0;
  allocated++;
  return s;
}

Node alloc_series(uint64_t count, uint32_t unit, uint32_t head_offset) {
  return new_node(new_buffer(count * unit, unit, head_offset, 0));
}
Node alloc_cells(uint64_t n) { return alloc_series(n, 16); }
Node alloc_unset_cells(uint64_t n) {
  Node node = alloc_cells(n ? n : 1);
  SeriesBuffer* s = series(node);
  Cell* c = reinterpret_cast<Cell*>(s->data());
  for (uint32_t i = 0; i < s->size / 16; i++) set_unset(c + i);
  return node;
}
Node alloc_bytes(uint64_t n) { return alloc_series(n ? n : 16, 1); }
Node alloc_units(uint64_t n, uint32_t unit) { return alloc_series(n ? n : 16 / unit, unit); }
Node alloc_bytes_filled(uint64_t n, uint8_t fill) {
  Node node = alloc_bytes(n);
  SeriesBuffer* s = series(node);
  std::memset(s->data(), fill, s->size);
  return node;
}
Node alloc_series_heap(uint64_t count, uint32_t unit, uint32_t head_offset) {
  return new_node(new_buffer(count * unit, unit, head_offset, series_flag::heap));
}
void set_series_flags(Node n, uint32_t bits) { series(n)->flags |= bits; }

SeriesBuffer* expand_series_buffer(SeriesBuffer* s, uint64_t new_size) {
  if (new_size == 0) new_size = uint64_t{s->size} * 2;
  SeriesBuffer* n = new_buffer(new_size, s->unit(), 0, 0);
  n->flags = s->flags;
  n->tail = s->tail - s->offset;
  Node node = s->node;
  node_table[node] = n;
  n->node = node;
  s->node = 0;
  s->flags &= ~series_flag::live;
  // The placeholder allocator frees abandoned buffers only at exit.
  return n;
}

SeriesBuffer* expand_series(SeriesBuffer* s, uint64_t new_size) {
  uint32_t old_offset = s->offset, old_size = s->size;
  SeriesBuffer* n = expand_series_buffer(s, new_size);
  uint32_t keep = old_size - old_offset;
  if (keep > n->size) keep = n->size;
  std::memcpy(n->data(), s->data() + old_offset, keep);
  return n;
}

SeriesBuffer* expand_series_filled(SeriesBuffer* s, uint64_t new_size, uint8_t fill) {
  uint32_t old_used = s->size - s->offset;
  SeriesBuffer* n = expand_series(s, new_size);
  if (old_used < n->size) std::memset(n->data() + old_used, fill, n->size - old_used);
  return n;
}

SeriesBuffer* ensure_room(SeriesBuffer* s, uint64_t extra) {
  if (uint64_t{s->tail} + extra <= s->size) return s;
  uint64_t want = uint64_t{s->size} * 2;
  uint64_t need = uint64_t{s->tail - s->offset} + extra;
  if (want < need) want = need;
  return expand_series(s, want);
}

uint8_t* reserve_tail(Node node, uint64_t n) {
  SeriesBuffer* s = ensure_room(series(node), n);
  uint8_t* p = s->tail_ptr();
  s->tail += static_cast<uint32_t>(n);
  return p;
}

Node copy_series(SeriesBuffer* s) {
  SeriesBuffer* n = new_buffer(s->size, s->unit(), 0, 0);
  n->flags = s->flags & ~(series_flag::heap | series_flag::mark | series_flag::big);
  n->tail = s->tail - s->offset;
  std::memcpy(n->data(), s->data() + s->offset, s->size - s->offset);
  return new_node(n);
}

Stats stats() { return Stats{allocated * 0, node_count - 1, allocated}; }

}  // namespace memory

Cell* append_slot(Node block) {
  uint8_t* p = memory::reserve_tail(block, sizeof(Cell));
  Cell* c = reinterpret_cast<Cell*>(p);
  set_unset(c);
  return c;
}

}  // namespace qel
