// The merge sort and the quicksort: order, stability, element sizes, and
// safety with inconsistent or failing comparisons.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "text/sort.h"
#include "core/unwind.h"
#include "core/errors.h"

namespace qel {
namespace {

enum class Algo { merge, quick };

// Elements of `size` bytes (size >= 1) whose first byte is a key and whose
// remaining bytes (up to 4) hold the element's original index, so moves of
// whole elements can be checked.
struct Elements {
  size_t size;
  std::vector<uint8_t> bytes;

  Elements(const std::vector<uint8_t>& keys, size_t size) : size(size), bytes(keys.size() * size) {
    for (size_t i = 0; i < keys.size(); i++) {
      uint8_t* e = &bytes[i * size];
      e[0] = keys[i];
      for (size_t k = 1; k < size; k++) e[k] = static_cast<uint8_t>(i >> (8 * ((k - 1) % 4)));
    }
  }
  size_t n() const { return bytes.size() / size; }
  uint8_t key(size_t i) const { return bytes[i * size]; }
  uint32_t index(size_t i) const {
    uint32_t v = 0;
    for (size_t k = 1; k < size && k <= 4; k++) v |= uint32_t{bytes[i * size + k]} << (8 * (k - 1));
    return v;
  }
};

int32_t by_key(const void* x, const void* y, const void*) {
  return int32_t{*static_cast<const uint8_t*>(x)} - int32_t{*static_cast<const uint8_t*>(y)};
}

void run(Algo algo, Elements& e, sort::Compare cmp = by_key, const void* ctx = nullptr) {
  if (algo == Algo::merge) {
    sort::mergesort(e.bytes.data(), e.n(), e.size, ctx, cmp);
  } else {
    sort::qsort(e.bytes.data(), e.n(), e.size, ctx, cmp);
  }
}

// Input shapes that exercise the run detection and the presorted paths.
std::vector<uint8_t> shape(int kind, size_t n, std::mt19937& rng) {
  std::vector<uint8_t> k(n);
  for (size_t i = 0; i < n; i++) {
    switch (kind) {
      case 0: k[i] = static_cast<uint8_t>(rng()); break;                      // random
      case 1: k[i] = static_cast<uint8_t>(rng() % 4); break;                  // few keys
      case 2: k[i] = static_cast<uint8_t>(i * 256 / (n + 1)); break;          // sorted with repeats
      case 3: k[i] = static_cast<uint8_t>(255 - i * 256 / (n + 1)); break;    // reverse with repeats
      case 4: k[i] = static_cast<uint8_t>(i * 256 / (n + 1) + (rng() % 50 == 0 ? rng() % 9 : 0)); break;  // mostly sorted
      case 5: k[i] = static_cast<uint8_t>(255 - i * 256 / (n + 1) - (rng() % 50 == 0 ? rng() % 9 : 0)); break;
      case 6: k[i] = static_cast<uint8_t>(i % 23); break;                     // short runs
      case 7: k[i] = static_cast<uint8_t>(i < n / 2 ? i : n - i); break;     // organ pipe
      default: k[i] = 7; break;                                               // all equal
    }
  }
  return k;
}

TEST(TextSort, OrdersAndStability) {
  std::mt19937 rng(5);
  const size_t sizes[] = {0, 1, 2, 3, 7, 8, 23, 24, 25, 63, 64, 100, 511, 512, 600, 3000, 20000};
  for (size_t n : sizes) {
    for (int kind = 0; kind <= 8; kind++) {
      for (size_t esize : {1u, 3u, 4u, 5u, 16u}) {
        if (esize == 1 && n > 256) continue;  // indices need room
        std::vector<uint8_t> keys = shape(kind, n, rng);
        // Reference: a stable sort of (key, index).
        std::vector<size_t> order(n);
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return keys[a] < keys[b]; });
        for (Algo algo : {Algo::merge, Algo::quick}) {
          Elements e(keys, esize);
          run(algo, e);
          std::vector<uint32_t> seen;
          for (size_t i = 0; i < n; i++) {
            ASSERT_EQ(e.key(i), keys[order[i]]) << "n " << n << " kind " << kind << " size " << esize;
            if (esize > 1) seen.push_back(e.index(i));
          }
          if (esize >= 3) {
            if (algo == Algo::merge) {
              // Stable: equal keys keep their input order, also within
              // descending runs and across short runs.
              for (size_t i = 0; i < n; i++) ASSERT_EQ(seen[i], order[i]) << "n " << n << " kind " << kind;
            } else {
              std::sort(seen.begin(), seen.end());
              for (size_t i = 0; i < n; i++) ASSERT_EQ(seen[i], i);  // a permutation of the input
            }
          }
        }
      }
    }
  }
}

TEST(TextSort, SmallQuicksortIsAnInsertionSort) {
  // Reverse-ordered equal pairs: an insertion sort keeps each pair in order.
  Elements e({3, 3, 2, 2, 1, 1, 0}, 4);
  run(Algo::quick, e);
  for (size_t i = 0; i < 7; i++) EXPECT_EQ(e.index(i), (std::vector<uint32_t>{6, 4, 5, 2, 3, 0, 1})[i]);
  int calls = 0;
  auto counting = [](const void*, const void*, const void* c) -> int32_t {
    ++*static_cast<int*>(const_cast<void*>(c));
    return 0;
  };
  for (Algo algo : {Algo::merge, Algo::quick}) {
    Elements one({9}, 4), none({}, 4);
    run(algo, one, counting, &calls);
    run(algo, none, counting, &calls);
  }
  EXPECT_EQ(calls, 0);
}

// Random and inconsistent comparisons never reach outside the array (ASan
// watches the exact-size heap copies) and never lose or duplicate elements.
TEST(TextSort, InconsistentComparisonsStayInside) {
  std::mt19937 rng(9);
  for (int round = 0; round < 300; round++) {
    size_t n = 1 + rng() % (round < 200 ? 200 : 5000);
    size_t esize = 4 + rng() % 3 * 4;
    Elements e(shape(static_cast<int>(rng() % 9), n, rng), esize);
    std::mt19937 answers(static_cast<uint32_t>(round));
    int mode = static_cast<int>(rng() % 3);
    auto cmp = [&](const void* x, const void* y) -> int32_t {
      switch (mode) {
        case 0: return static_cast<int32_t>(answers() % 3) - 1;                 // coin tosses
        case 1: return answers() % 8 == 0 ? 1 : by_key(x, y, nullptr);          // mostly right
        default: return by_key(x, y, nullptr) == 0 ? static_cast<int32_t>(answers() % 3) - 1 : by_key(x, y, nullptr);
      }
    };
    auto* heap = new uint8_t[e.bytes.size()];
    std::memcpy(heap, e.bytes.data(), e.bytes.size());
    if (round % 2) {
      sort::mergesort(heap, n, esize, cmp);
    } else {
      sort::qsort(heap, n, esize, cmp);
    }
    std::memcpy(e.bytes.data(), heap, e.bytes.size());
    delete[] heap;
    std::vector<uint32_t> seen;
    for (size_t i = 0; i < n; i++) seen.push_back(e.index(i));
    std::sort(seen.begin(), seen.end());
    for (size_t i = 0; i < n; i++) ASSERT_EQ(seen[i], i) << "round " << round;
  }
}

TEST(TextSort, AFailingComparisonUnwindsAndKeepsEveryElement) {
  std::mt19937 rng(2);
  for (int round = 0; round < 60; round++) {
    size_t n = 2 + rng() % 3000;
    Elements e(shape(static_cast<int>(rng() % 9), n, rng), 8);
    int budget = static_cast<int>(rng() % (n * 8));
    auto cmp = [&](const void* x, const void* y) -> int32_t {
      if (budget-- == 0) fire(ErrorCode::script_too_long);
      return by_key(x, y, nullptr);
    };
    bool raised = false;
    try {
      if (round % 2) {
        sort::mergesort(e.bytes.data(), n, 8, cmp);
      } else {
        sort::qsort(e.bytes.data(), n, 8, cmp);
      }
    } catch (const NonLocalExit&) {
      raised = true;
    }
    if (!raised) continue;
    std::vector<uint32_t> seen;
    for (size_t i = 0; i < n; i++) seen.push_back(e.index(i));
    std::sort(seen.begin(), seen.end());
    for (size_t i = 0; i < n; i++) ASSERT_EQ(seen[i], i) << "round " << round;
  }
}

TEST(TextSort, MergeBufferBeyond32BitsIsTooLong) {
  bool raised = false;
  try {
    sort::mergesort(nullptr, size_t{1} << 33, 16, nullptr, by_key);
  } catch (const NonLocalExit& e) {
    raised = e.level == level::error;
  }
  EXPECT_TRUE(raised);
}

}  // namespace
}  // namespace qel
