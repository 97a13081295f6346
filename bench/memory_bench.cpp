// Memory benchmark: allocation of small series, collections over about
// 100 MB of live small series (all live, and half garbage so that
// everything moves), and hash lookups of symbols, map keys and integer keys
// at 10^3 and 10^6 keys. Run from a release build (bench/README.md).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "memory/collector.h"
#include "memory/hashtable.h"
#include "memory/series.h"

using namespace qel;

namespace {

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

Node make_string(uint32_t len, uint32_t seed) {
  Node n = memory::alloc_bytes(len);
  SeriesBuffer* s = memory::series(n);
  for (uint32_t i = 0; i < len; i++) s->data()[i] = static_cast<uint8_t>('a' + (seed + i) % 26);
  s->tail = len;
  return n;
}

// Allocation as a running program sees it: a safe point every 1,024
// allocations, where requested collections run (the frames are reused), and
// a growth spurt into fresh frames with no collection at all.
void bench_allocation() {
  constexpr int kCount = 10'000'000;
  collector::active = true;
  uint64_t cycles = collector::cycles;
  auto t = Clock::now();
  for (int i = 0; i < kCount; i++) {
    memory::alloc_bytes(32);
    if ((i & 1023) == 0) collector::safe_point();
  }
  double s = seconds_since(t);
  std::printf("allocate a 32-byte series, collecting when asked: %.1f ns each (%llu collections)\n",
              s * 1e9 / kCount, static_cast<unsigned long long>(collector::cycles - cycles));
  collector::active = false;
  collector::collect();
  t = Clock::now();
  for (int i = 0; i < kCount; i++) memory::alloc_bytes(32);
  s = seconds_since(t);
  std::printf("allocate a 32-byte series, never collecting (fresh pages): %.1f ns each\n", s * 1e9 / kCount);
  collector::collect();
}

// Fills a block with string cells until the frames hold `bytes` of live
// series; with `garbage`, an equal amount of dead series lies between them.
void bench_collection(uint64_t bytes, bool garbage) {
  collector::collect();
  uint64_t base = memory::stats().used_bytes;
  Node holder = memory::alloc_cells(garbage ? 1'200'000 : 2'000'000);
  collector::Root root(holder);
  uint32_t i = 0;
  while (memory::stats().used_bytes - base < (garbage ? 2 * bytes : bytes) && i < (garbage ? 1'200'000u : 2'000'000u)) {
    Cell c;
    set_series(&c, TypeId::string, make_string(16 + i % 48, i));
    *append_slot(holder) = c;
    if (garbage) make_string(16 + i % 48, i);
    i++;
  }
  uint64_t used = memory::stats().used_bytes - base;
  auto t = Clock::now();
  collector::collect();
  double first = seconds_since(t);
  t = Clock::now();
  collector::collect();
  double second = seconds_since(t);
  std::printf("collect %.0f MB in frames, %u live series%s: %.0f ms, then %.0f ms with all live (%.0f MB live)\n",
              used / 1e6, i, garbage ? " (half the bytes garbage)" : "", first * 1e3, second * 1e3,
              collector::last.live_bytes / 1e6);
}

void bench_symbols(int n) {
  Cell blk;
  set_series(&blk, TypeId::block, memory::alloc_cells(static_cast<uint64_t>(n)));
  Node table = hashtable::init(n, &blk, hashtable::Kind::symbol, 0);
  collector::Root root(Cell{static_cast<uint32_t>(TypeId::hash), 0, blk.node(), table});
  std::vector<std::string> names;
  for (int i = 0; i < n; i++) names.push_back("word-" + std::to_string(i * 7919));
  for (const std::string& s : names)
    hashtable::find_or_add_symbol(table, reinterpret_cast<const uint8_t*>(s.data()), static_cast<int32_t>(s.size()),
                                  hashtable::Case::sensitive);
  int rounds = n < 10000 ? 1000 : 2;
  auto t = Clock::now();
  int64_t sum = 0;
  for (int r = 0; r < rounds; r++)
    for (const std::string& s : names)
      sum += hashtable::find_or_add_symbol(table, reinterpret_cast<const uint8_t*>(s.data()),
                                           static_cast<int32_t>(s.size()), hashtable::Case::sensitive);
  double s = seconds_since(t);
  std::printf("symbol lookup, %d symbols: %.1f ns each (%lld)\n", n, s * 1e9 / (double(rounds) * n),
              static_cast<long long>(sum % 10));
}

void bench_map(int n, bool strings) {
  Node blk = memory::alloc_cells(2 * static_cast<uint64_t>(n));
  std::vector<Cell> keys;
  for (int i = 0; i < n; i++) {
    Cell k, v;
    if (strings) {
      set_series(&k, TypeId::string, make_string(8 + i % 16, static_cast<uint32_t>(i)));
      std::string tag = std::to_string(i);
      SeriesBuffer* s = memory::series(k.node());
      std::memcpy(s->data(), tag.data(), tag.size());  // unique keys
    } else {
      set_integer(&k, i * 2654435761u);
    }
    set_integer(&v, i);
    *append_slot(blk) = k;
    *append_slot(blk) = v;
    keys.push_back(k);
  }
  Cell bc;
  set_series(&bc, TypeId::block, blk);
  Node table = hashtable::init(n, &bc, hashtable::Kind::map, 1);
  collector::Root root(Cell{static_cast<uint32_t>(TypeId::map), 0, blk, table});
  int rounds = n < 10000 ? 1000 : 2;
  auto t = Clock::now();
  int64_t sum = 0;
  for (int r = 0; r < rounds; r++)
    for (const Cell& k : keys) sum += hashtable::get(table, &k, 0, 1, CompareOp::equal)[1].integer();
  double s = seconds_since(t);
  std::printf("map! lookup of %s keys, %d keys: %.1f ns each (%lld)\n", strings ? "string" : "integer", n,
              s * 1e9 / (double(rounds) * n), static_cast<long long>(sum % 10));
}

void bench_int(int n) {
  Node table = hashtable::init(n, nullptr, hashtable::Kind::integer, 1);
  collector::Root root(Cell{static_cast<uint32_t>(TypeId::map), 0, 0, table});
  for (int i = 0; i < n; i++) set_integer(hashtable::put_int(table, i * 31), i);
  int rounds = n < 10000 ? 1000 : 2;
  auto t = Clock::now();
  int64_t sum = 0;
  for (int r = 0; r < rounds; r++)
    for (int i = 0; i < n; i++) sum += hashtable::get_int(table, i * 31)->integer();
  double s = seconds_since(t);
  std::printf("integer-key lookup, %d keys: %.1f ns each (%lld)\n", n, s * 1e9 / (double(rounds) * n),
              static_cast<long long>(sum % 10));
}

}  // namespace

int main() {
  memory::init();
  bench_allocation();
  bench_collection(100'000'000, false);
  bench_collection(100'000'000, true);
  for (int n : {1000, 1000000}) {
    bench_symbols(n);
    bench_map(n, false);
    bench_map(n, true);
    bench_int(n);
  }
}
