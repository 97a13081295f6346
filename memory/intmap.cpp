// The integer-keyed map over C heap blocks.
#include "memory/intmap.h"

#include <cstdlib>
#include <cstring>

#include "memory/hashtable.h"
#include "core/errors.h"

namespace qel::int_map {

namespace {

constexpr double kLoad = 0.77;
constexpr uint32_t kEmpty = 2;
constexpr uint32_t kDeleted = 1;

void* heap_alloc(size_t bytes) {
  void* p = std::malloc(bytes ? bytes : 1);
  if (!p) fire(ErrorCode::internal_no_memory);
  return p;
}

inline uint32_t flag_at(const uint32_t* f, uint32_t i) { return (f[i >> 4] >> ((i & 15) * 2)) & 3; }
inline void set_flag(uint32_t* f, uint32_t i, uint32_t v) {
  uint32_t shift = (i & 15) * 2;
  f[i >> 4] = (f[i >> 4] & ~(3u << shift)) | (v << shift);
}

uint32_t* new_flags(int32_t buckets) {
  size_t bytes = static_cast<size_t>(buckets < 16 ? 16 : buckets) / 4;
  auto* f = static_cast<uint32_t*>(heap_alloc(bytes));
  std::memset(f, 0xAA, bytes);
  return f;
}

// Moves every live pair to fresh arrays of `request` buckets (rounded up to
// a power of two); nothing happens when they would not hold the live keys.
void resize(IntMap* m, int32_t request) {
  int32_t b = hashtable::next_power_of_2(request);
  if (b < 4) b = 4;
  int32_t bound = static_cast<int32_t>(b * kLoad + 0.5);
  if (m->size >= bound) return;
  uint32_t* flags = new_flags(b);
  auto* pairs = static_cast<uint32_t*>(heap_alloc(static_cast<size_t>(b) * 8));
  uint32_t mask = static_cast<uint32_t>(b) - 1;
  for (int32_t j = 0; j < m->n_buckets; j++) {
    if (flag_at(m->flags, j) != 0) continue;
    uint32_t key = m->pairs[2 * j];
    uint32_t i = hashtable::mix_int(key) & mask;
    for (uint32_t step = 1; flag_at(flags, i) != kEmpty; step++) i = (i + step) & mask;
    set_flag(flags, i, 0);
    pairs[2 * i] = key;
    pairs[2 * i + 1] = m->pairs[2 * j + 1];
  }
  std::free(m->flags);
  std::free(m->pairs);
  m->flags = flags;
  m->pairs = pairs;
  m->n_buckets = b;
  m->upper_bound = bound;
  m->n_occupied = m->size;
}

}  // namespace

IntMap* init(int32_t expected) {
  int32_t n = expected < 4 ? 4 : expected;
  auto* m = static_cast<IntMap*>(heap_alloc(sizeof(IntMap)));
  std::memset(m, 0, sizeof *m);
  m->n_buckets = hashtable::next_power_of_2(static_cast<int32_t>(n / kLoad));
  m->upper_bound = static_cast<int32_t>(m->n_buckets * kLoad);
  m->flags = new_flags(m->n_buckets);
  m->pairs = static_cast<uint32_t*>(heap_alloc(static_cast<size_t>(m->n_buckets) * 8));
  return m;
}

int32_t put(IntMap* m, uint32_t key, uint32_t value) {
  if (m->n_occupied >= m->upper_bound)
    resize(m, m->size * 2 < m->n_buckets ? m->n_buckets - 1 : m->n_buckets + 1);
  uint32_t mask = static_cast<uint32_t>(m->n_buckets) - 1;
  uint32_t i = hashtable::mix_int(key) & mask, i0 = i;
  int32_t deleted = -1, target = -1;
  bool present = false;
  for (uint32_t step = 1;; step++) {
    uint32_t fl = flag_at(m->flags, i);
    if (fl == kEmpty) {
      target = deleted >= 0 ? deleted : static_cast<int32_t>(i);
      break;
    }
    if (fl == kDeleted) {
      deleted = static_cast<int32_t>(i);
    } else if (m->pairs[2 * i] == key) {
      target = static_cast<int32_t>(i);
      present = true;
      break;
    }
    i = (i + step) & mask;
    if (i == i0) {
      target = deleted;
      break;
    }
  }
  if (target < 0) {
    resize(m, m->n_buckets + 1);
    return put(m, key, value);
  }
  m->pairs[2 * target + 1] = value;
  if (present) return 1;
  if (flag_at(m->flags, target) == kEmpty) m->n_occupied++;
  set_flag(m->flags, target, 0);
  m->pairs[2 * target] = key;
  m->size++;
  return 0;
}

int32_t find(const IntMap* m, uint32_t key) {
  uint32_t mask = static_cast<uint32_t>(m->n_buckets) - 1;
  uint32_t i = hashtable::mix_int(key) & mask, i0 = i;
  for (uint32_t step = 1;; step++) {
    uint32_t fl = flag_at(m->flags, i);
    if (fl == kEmpty) return -1;
    if (fl == 0 && m->pairs[2 * i] == key) return static_cast<int32_t>(i);
    i = (i + step) & mask;
    if (i == i0) return -1;
  }
}

uint32_t* get(IntMap* m, uint32_t key) {
  int32_t b = find(m, key);
  return b < 0 ? nullptr : &m->pairs[2 * b + 1];
}

void free(IntMap* m) {
  if (!m) return;
  std::free(m->flags);
  std::free(m->pairs);
  std::free(m);
}

}  // namespace qel::int_map
