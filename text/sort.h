// Sorting arrays of fixed-size elements with a comparison callback: a stable
// natural merge sort and an unstable quicksort that exploits presorted input.
// The `sort` actions of blocks and strings use the merge sort for /stable and
// the quicksort otherwise; users see the order of equal elements, so both
// follow their algorithms exactly (see sort.cpp).
//
// The comparison answers negative when x sorts before y, 0 when they are
// equal for the sort, positive when x sorts after y. It may raise a Qel error
// (a C++ exception): the sort unwinds cleanly, frees its buffer and leaves
// the array a permutation of what it was (no element lost or duplicated).
//
// Whatever the comparison answers, even inconsistently, the sorts read and
// write only inside [base, base + n x size). They hold raw pointers into the
// array for their whole run: a comparison that evaluates Qel code (which may
// collect garbage or change the series being sorted) must not be given a
// series' own data. Sort a private copy instead (or an index array over a
// snapshot, as `sort/compare` of blocks does) and write the result back
// through the node, within the series' current tail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace qel::sort {

// Compares the elements at x and y; `context` is passed through unchanged.
using Compare = int32_t (*)(const void* x, const void* y, const void* context);

// Sorts stably. n < 2 returns at once. Raises script error `too-long` when
// the merge buffer ((n / 2) x size bytes) would exceed 32 bits and internal
// error `no-memory` when it cannot be had.
void mergesort(void* base, size_t n, size_t size, const void* context, Compare cmp);

// Sorts, not stably (but n <= 7 is an insertion sort, which is stable).
void qsort(void* base, size_t n, size_t size, const void* context, Compare cmp);

// The same with a callable `int32_t f(const void* x, const void* y)`.
template <class F>
void mergesort(void* base, size_t n, size_t size, F&& f) {
  using Fn = std::remove_reference_t<F>;
  mergesort(base, n, size, &f, [](const void* x, const void* y, const void* ctx) -> int32_t {
    return (*static_cast<Fn*>(const_cast<void*>(ctx)))(x, y);
  });
}
template <class F>
void qsort(void* base, size_t n, size_t size, F&& f) {
  using Fn = std::remove_reference_t<F>;
  qsort(base, n, size, &f, [](const void* x, const void* y, const void* ctx) -> int32_t {
    return (*static_cast<Fn*>(const_cast<void*>(ctx)))(x, y);
  });
}

}  // namespace qel::sort

namespace qel::memory {
// The memory subsystem's callers name the sorts here too.
using sort::mergesort;
using sort::qsort;
}  // namespace qel::memory
