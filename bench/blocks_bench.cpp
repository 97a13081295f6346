// Block benchmarks: appending one value at a time, finding an integer in a
// block of integers, and molding a block of 1,000,000 integers. Prints one
// line per measurement; run the release build (bench/README.md).
#include <chrono>
#include <cstdio>

#include "core/stack.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "datatypes/string.h"
#include "datatypes/init.h"

using namespace qel;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main() {
  values::init();
  constexpr int kCount = 1000000;

  // append: one value per call onto an empty block.
  Cell blk;
  block::make_at(&blk, 1);
  Cell v;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kCount; i++) {
    set_integer(&v, i);
    block::append(&blk, &v, -1, false, 1, true);
  }
  double t = seconds_since(t0);
  std::printf("append   %d values      %8.1f ns/value (growing from 1 cell)\n", kCount, t * 1e9 / kCount);
  block::rs_clear(&blk);
  t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kCount; i++) {
    set_integer(&v, i);
    block::append(&blk, &v, -1, false, 1, true);
  }
  t = seconds_since(t0);
  std::printf("append   %d values      %8.1f ns/value (room already there)\n", kCount, t * 1e9 / kCount);

  // find: an integer near the tail, and one that is absent.
  FindArgs args;
  const int rounds = 50;
  t0 = std::chrono::steady_clock::now();
  int64_t hits = 0;
  for (int r = 0; r < rounds; r++) {
    set_integer(&v, r % 2 ? kCount - 1 : -1);
    hits += block::find_index(&blk, &v, args) >= 0;
  }
  t = seconds_since(t0);
  std::printf("find     %d cells x %d  %8.2f ns/cell (%lld found)\n", kCount, rounds,
              t * 1e9 / (double(kCount) * rounds), static_cast<long long>(hits));

  // mold: the whole block into one string.
  Cell out;
  string::rs_make_at(&out, 16);
  t0 = std::chrono::steady_clock::now();
  actions::call_mold(&blk, &out, {}, nullptr, string::kNoLimit, 0);
  t = seconds_since(t0);
  double mb = string::rs_length_q(&out) / 1e6;
  std::printf("mold     %d integers    %8.1f MB/s (%.1f MB in %.3f s)\n", kCount, mb / t, mb, t);
  return 0;
}
