// Arrays of fixed-size items over byte series.
#include "memory/items.h"

#include <cstring>

#include "memory/series.h"

namespace qel::array {

namespace {
inline SeriesBuffer* buf(Node a) { return memory::series(a); }
inline uint32_t item_size(SeriesBuffer* s) { return s->unit() ? s->unit() : 1; }
}  // namespace

Node make(uint32_t n, uint32_t u) {
  Node a = memory::alloc_bytes(uint64_t{n} * u);
  SeriesBuffer* s = buf(a);
  s->flags = (s->flags & ~series_flag::unit_mask) | (u & series_flag::unit_mask);
  return a;
}

uint32_t length_q(Node a) {
  SeriesBuffer* s = buf(a);
  return s->used_bytes() / item_size(s);
}

void clear(Node a) { buf(a)->tail = buf(a)->offset; }

void truncate_at(Node a, uint32_t i) {
  SeriesBuffer* s = buf(a);
  uint64_t at = s->offset + uint64_t{i ? i - 1 : 0} * item_size(s);
  if (at < s->tail) s->tail = static_cast<uint32_t>(at);
}

Node copy(Node a) { return memory::copy_series(buf(a)); }

uint8_t* head(Node a) { return buf(a)->head_ptr(); }

void append_byte(Node a, uint8_t b) { *memory::reserve_tail(a, 1) = b; }

void append_bytes(Node a, const void* src, uint32_t n) {
  if (n) std::memcpy(memory::reserve_tail(a, n), src, n);
}

void append(Node a, uint32_t v) { std::memcpy(memory::reserve_tail(a, 4), &v, 4); }

uint32_t pick(Node a, uint32_t i) {
  uint32_t v;
  std::memcpy(&v, head(a) + uint64_t{i - 1} * 4, 4);
  return v;
}

void poke(Node a, uint32_t i, uint32_t v) { std::memcpy(head(a) + uint64_t{i - 1} * 4, &v, 4); }

int32_t find(Node a, uint32_t v) {
  SeriesBuffer* s = buf(a);
  const uint8_t* p = s->head_ptr();
  for (uint32_t off = 0; off + 4 <= s->used_bytes(); off += 4) {
    uint32_t x;
    std::memcpy(&x, p + off, 4);
    if (x == v) return static_cast<int32_t>(off);
  }
  return -1;
}

void remove_at(Node a, uint32_t offset, uint32_t n) {
  SeriesBuffer* s = buf(a);
  uint32_t used = s->used_bytes();
  if (offset >= used) return;
  if (n > used - offset) n = used - offset;
  uint8_t* p = s->head_ptr();
  std::memmove(p + offset, p + offset + n, used - offset - n);
  s->tail -= n;
}

int32_t remove_value(Node a, uint32_t v) {
  int32_t at = find(a, v);
  if (at >= 0) remove_at(a, static_cast<uint32_t>(at), 4);
  return at;
}

}  // namespace qel::array
