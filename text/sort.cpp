// Sorting: see sort.h.
//
// The merge sort is a natural merge sort whose merge order follows node
// powers (the Powersort rule): runs are found (a strictly descending run is
// reversed, a run shorter than 24 elements is extended by insertion), each
// boundary between two runs gets a power from the runs' midpoints, and a
// stack of pending runs is merged down whenever the next boundary has a
// smaller power. Merges copy the shorter run into a buffer of n / 2 elements.
//
// The quicksort first looks for order: a leading run fixes the direction, a
// probe of every 97th neighbour pair tells whether the input is mostly
// ordered, and in that case further in-order stretches are joined to the
// leading run. The presorted prefix then serves as a sorted sample for pivot
// choice: a window of up to 16 x (samples) elements around the sample is
// partitioned three ways and sorted, and becomes the sample of the next
// round, until the window is the whole range. Parts of at most 7 elements
// are insertion-sorted.
//
// Every scan is bounded by its partition and every index by the array, so an
// inconsistent comparison can give a wrong order but never an access outside
// the array; recursion always goes into the smaller part, so the stack stays
// O(log n).
#include "text/sort.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/errors.h"

namespace qel::sort {

namespace {

inline int sign(int32_t r) { return (r > 0) - (r < 0); }

// An array of n elements of `size` bytes and its comparison.
struct Array {
  uint8_t* base;
  size_t size;
  const void* context;
  Compare cmp;

  uint8_t* at(size_t i) const { return base + i * size; }
  int compare(size_t i, size_t j) const { return sign(cmp(at(i), at(j), context)); }

  void swap(size_t i, size_t j) const {
    uint8_t* x = at(i);
    uint8_t* y = at(j);
    if (size % 4 == 0) {
      for (size_t k = 0; k < size; k += 4) {
        uint32_t a, b;
        std::memcpy(&a, x + k, 4);
        std::memcpy(&b, y + k, 4);
        std::memcpy(x + k, &b, 4);
        std::memcpy(y + k, &a, 4);
      }
    } else {
      for (size_t k = 0; k < size; k++) std::swap(x[k], y[k]);
    }
  }

  void reverse(size_t first, size_t end) const {
    while (first + 1 < end) swap(first++, --end);
  }

  // Each element from `from` on is swapped backwards while its predecessor
  // sorts after it.
  void insertion(size_t first, size_t from, size_t end) const {
    for (size_t i = from; i < end; i++) {
      for (size_t j = i; j > first && compare(j - 1, j) > 0; j--) swap(j - 1, j);
    }
  }
};

// --- merge sort -------------------------------------------------------------

constexpr size_t kMinRun = 24;

// The end of the run that starts at `start`, after reversing a strictly
// descending run and extending a short one by insertion.
size_t find_run(const Array& a, size_t start, size_t end) {
  size_t i = start + 1;
  if (i < end) {
    if (a.compare(start, i) > 0) {
      while (i + 1 < end && a.compare(i, i + 1) > 0) i++;
      a.reverse(start, i + 1);
    } else {
      while (i + 1 < end && a.compare(i, i + 1) <= 0) i++;
    }
    i++;
  }
  size_t want = std::min(end, start + kMinRun);
  if (i < want) {
    a.insertion(start, i, want);
    i = want;
  }
  return i;
}

// The power of the boundary between the runs [s1, s2) and [s2, e2): the
// first binary digit in which the runs' midpoints, as fractions of n,
// differ.
unsigned node_power(uint64_t s1, uint64_t s2, uint64_t e2, uint64_t n) {
  uint64_t a = s1 + s2;
  uint64_t b = s2 + e2;
  unsigned p = 0;
  for (;;) {
    if ((a < n) != (b < n)) break;
    p++;
    if (a >= n) {
      a -= n;
      b -= n;
    }
    a <<= 1;
    b <<= 1;
  }
  return p + 1;
}

// Merges the adjacent sorted runs [start, mid) and [mid, end) through
// `buf`, which holds the shorter run meanwhile. Equal elements keep their
// order. Should the comparison raise, the elements still in the buffer go
// back into the gap they left, so the array stays a permutation.
void merge(const Array& a, uint8_t* buf, size_t start, size_t mid, size_t end) {
  const size_t s = a.size;
  const size_t left = mid - start;
  const size_t right = end - mid;
  if (right < left) {
    std::memcpy(buf, a.at(mid), right * s);
    size_t li = mid;    // L elements [start, li) not yet placed
    size_t bi = right;  // buffer elements [0, bi) not yet placed
    size_t out = end;
    struct Refill {
      const Array& a;
      uint8_t* buf;
      size_t& li;
      size_t& bi;
      ~Refill() { std::memcpy(a.at(li), buf, bi * a.size); }
    } refill{a, buf, li, bi};
    while (li > start && bi > 0) {
      if (a.cmp(a.at(li - 1), buf + (bi - 1) * s, a.context) > 0) {
        --li;
        std::memcpy(a.at(--out), a.at(li), s);
      } else {
        --bi;
        std::memcpy(a.at(--out), buf + bi * s, s);
      }
    }
  } else {
    std::memcpy(buf, a.at(start), left * s);
    size_t bi = 0;      // buffer elements [bi, left) not yet placed
    size_t ri = mid;    // R elements [ri, end) not yet placed
    size_t out = start;
    struct Refill {
      const Array& a;
      uint8_t* buf;
      size_t& out;
      size_t& bi;
      size_t left;
      ~Refill() { std::memcpy(a.at(out), buf + bi * a.size, (left - bi) * a.size); }
    } refill{a, buf, out, bi, left};
    while (bi < left && ri < end) {
      if (a.cmp(buf + bi * s, a.at(ri), a.context) <= 0) {
        std::memcpy(a.at(out++), buf + bi * s, s);
        bi++;
      } else {
        std::memcpy(a.at(out++), a.at(ri++), s);
      }
    }
  }
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// --- quicksort --------------------------------------------------------------

// Moves `count` elements from `src` to `dst` (dst < src) by pairwise swaps
// from the front: each source element is read before anything overwrites
// it, even when the two blocks overlap.
void move_block_down(const Array& a, size_t dst, size_t src, size_t count) {
  for (size_t k = 0; k < count; k++) a.swap(dst + k, src + k);
}

// Moves `count` elements from `src` to `dst` (dst > src) by pairwise swaps
// from the back, safe for overlapping blocks for the same reason.
void move_block_up(const Array& a, size_t dst, size_t src, size_t count) {
  for (size_t k = count; k-- > 0;) a.swap(dst + k, src + k);
}

// Sorts the range [off, off + n) holding a sorted sample of |presorted|
// elements at its front (presorted > 0) or at its back (presorted < 0).
void quicksort_loop(const Array& a, size_t off, size_t n, ptrdiff_t presorted) {
  while (n > 7) {
    size_t h = static_cast<size_t>(presorted < 0 ? -presorted : presorted);
    size_t l;  // window length
    size_t p;  // pivot index: the lower samples are [0, p)
    size_t u;  // upper samples at the end of the window
    if (h > 2) {
      l = n / 256 < h ? n : 16 * h - 1;
      bool placed = false;
      if (presorted < 0) {
        if (l < n) {
          move_block_down(a, off, off + n - h, h);
        } else {
          // The smaller half goes to the front, its last element the pivot;
          // the larger half stays at the back.
          size_t m = (h + 1) / 2;
          move_block_down(a, off, off + n - h, m);
          p = m - 1;
          u = h / 2;
          placed = true;
        }
      }
      if (!placed) {
        if (l < n) {
          // Spread the window over the range: positions h.. take every
          // step-th element.
          size_t step = n / l;
          for (size_t k = 0; h + k < l; k++) a.swap(off + h + k, off + h + k * step);
        }
        u = h / 2;
        move_block_up(a, off + l - u, off + h - u, u);
        p = (h - 1) / 2;
      }
    } else {
      l = n > 511 ? 63 : n;
      a.swap(off + l / 2, off + 1);
      size_t x = off, y = off + 1, z = off + l - 1;
      if (a.compare(y, x) < 0) a.swap(x, y);
      if (a.compare(z, y) < 0) {
        a.swap(y, z);
        if (a.compare(y, x) < 0) a.swap(x, y);
      }
      p = 1;
      u = 1;
    }

    // Three-way partition of [p + 1, l - u) around the pivot at p: lesser
    // elements go left, greater right, equal ones into a block that grows
    // right after the pivot.
    const size_t pivot = off + p;
    size_t eq = p + 1;
    size_t i = p + 1;
    size_t j = l - u;  // [j, l - u) holds greater elements
    for (;;) {
      bool left_stop = false;
      while (i < j) {
        int r = a.compare(off + i, pivot);
        if (r < 0) {
          i++;
        } else if (r == 0) {
          a.swap(off + i, off + eq);
          eq++;
          i++;
        } else {
          left_stop = true;
          break;
        }
      }
      if (!left_stop) break;
      int rj = 1;
      while (j - 1 > i) {
        rj = a.compare(off + j - 1, pivot);
        if (rj > 0) {
          j--;
        } else {
          break;
        }
      }
      if (rj > 0) break;  // everything from i on is greater
      a.swap(off + i, off + j - 1);
      if (rj == 0) {
        a.swap(off + i, off + eq);
        eq++;
      }
      i++;
      j--;
    }
    // [p, eq) pivot and equals, [eq, i) lesser, [i, l) greater: bring the
    // pivot block next to the greater part with the fewest swaps.
    size_t equal = eq - p;
    size_t m = std::min(equal, i - eq);
    for (size_t k = 0; k < m; k++) a.swap(off + p + k, off + i - m + k);
    const size_t lesser = i - equal;  // [0, lesser) starts with the lower samples
    const size_t greater = l - i;     // [i, l) ends with the upper samples

    if (l < n) {
      // The window was a sample of the range: sort both its parts, then use
      // the sorted window as the next, larger sample.
      if (greater > u) quicksort_loop(a, off + i, greater, -static_cast<ptrdiff_t>(u));
      if (lesser > p) quicksort_loop(a, off, lesser, static_cast<ptrdiff_t>(p));
      presorted = static_cast<ptrdiff_t>(l);
      continue;
    }
    // Recurse into the smaller part and go on with the larger one.
    bool more_lesser = lesser > p;
    bool more_greater = greater > u;
    if (more_lesser && more_greater) {
      if (lesser <= greater) {
        quicksort_loop(a, off, lesser, static_cast<ptrdiff_t>(p));
        off += i;
        n = greater;
        presorted = -static_cast<ptrdiff_t>(u);
      } else {
        quicksort_loop(a, off + i, greater, -static_cast<ptrdiff_t>(u));
        n = lesser;
        presorted = static_cast<ptrdiff_t>(p);
      }
    } else if (more_lesser) {
      n = lesser;
      presorted = static_cast<ptrdiff_t>(p);
    } else if (more_greater) {
      off += i;
      n = greater;
      presorted = -static_cast<ptrdiff_t>(u);
    } else {
      return;  // both parts are samples, already in order
    }
  }
  a.insertion(off, off + 1, off + n);
}

}  // namespace

void mergesort(void* base, size_t n, size_t size, const void* context, Compare cmp) {
  if (n < 2) return;
  size_t bytes;
  if (__builtin_mul_overflow(n / 2, size, &bytes) || bytes > 0xFFFFFFFFu) fire(ErrorCode::script_too_long);
  std::unique_ptr<uint8_t, FreeDeleter> buffer(static_cast<uint8_t*>(std::malloc(bytes ? bytes : 1)));
  if (!buffer) fire(ErrorCode::internal_no_memory);
  const Array a{static_cast<uint8_t*>(base), size, context, cmp};

  struct Pending {
    size_t start;
    unsigned power;
  };
  // Powers on the stack increase upwards and stay below 2 + log2(2n), so
  // 128 entries never fill; should they, merging early keeps the result.
  Pending stack[128];
  size_t top = 0;
  stack[0] = {0, 0};  // sentinel: power 0 is never merged
  size_t cur = 0;
  size_t cur_end = find_run(a, 0, n);
  while (cur_end < n) {
    size_t next_end = find_run(a, cur_end, n);
    unsigned p = node_power(cur, cur_end, next_end, n);
    while (top > 0 && (stack[top].power > p || top == std::size(stack) - 1)) {
      merge(a, buffer.get(), stack[top].start, cur, cur_end);
      cur = stack[top].start;
      top--;
    }
    stack[++top] = {cur, p};
    cur = cur_end;
    cur_end = next_end;
  }
  for (; top > 0; top--) {
    merge(a, buffer.get(), stack[top].start, cur, n);
    cur = stack[top].start;
  }
}

void qsort(void* base, size_t n, size_t size, const void* context, Compare cmp) {
  if (n < 2) return;
  const Array a{static_cast<uint8_t*>(base), size, context, cmp};
  if (n <= 7) {
    a.insertion(0, 1, n);
    return;
  }
  // The leading run: the first unequal neighbours fix the direction d (+1
  // ascending); the run ends at the first pair out of order.
  int d = 0;
  size_t last = 0;  // the run's last element
  while (last + 1 < n) {
    int r = a.compare(last, last + 1);
    if (d == 0) {
      d = r < 0 ? 1 : r > 0 ? -1 : 0;
    } else if (r * d > 0) {
      break;
    }
    last++;
  }
  if (d == 0) d = 1;
  auto in_order = [&](size_t x, size_t y) { return a.compare(x, y) * d <= 0; };

  // Probe every 97th neighbour pair after the run.
  int64_t score = static_cast<int64_t>(last + 1) * d;
  for (size_t k = last + 1; k + 1 < n; k += 97) score -= a.compare(k, k + 1);
  if (static_cast<uint64_t>(score < 0 ? -score : score) > n / 512) {
    // Mostly ordered (perhaps against the leading run): join the in-order
    // stretches found further on to the prefix [0, last].
    if (score * d < 0) {
      last = 0;
      d = -d;
    }
    size_t w = last;
    while (w + 10 < n) {
      size_t stretch_end = w + 10;
      size_t stretch = w + 9;
      while (stretch_end < n && in_order(stretch_end - 1, stretch_end)) stretch_end++;
      while (stretch > last + 1 && in_order(stretch - 1, stretch)) stretch--;
      if (stretch_end - stretch >= 4) {
        // Give up k elements on each side of the junction until the
        // prefix's last element and the stretch's first are in order.
        size_t limit = last > 0 ? std::min((stretch_end - stretch) / 2, last / 4) : 0;
        size_t k = 0;
        bool joined = false;
        for (;;) {
          if (in_order(last - k, stretch + k)) {
            joined = true;
            break;
          }
          if (k == limit) break;
          k++;
        }
        if (joined) {
          size_t slot = last - k + 1;
          size_t from = stretch + k;
          if (from == slot) {
            last = stretch_end - 1;
          } else {
            while (from < stretch_end) a.swap(slot++, from++);
            last = slot - 1;
          }
        }
      }
      w = stretch_end;
    }
  }
  if (d < 0) a.reverse(0, last + 1);
  if (last + 1 < n) quicksort_loop(a, 0, n, static_cast<ptrdiff_t>(last + 1));
}

}  // namespace qel::sort
