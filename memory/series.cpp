// Series allocation: the node table, series frames, big frames and
// heap-backed series, and the memory manager's part of a collection
// (compaction, the big-buffer sweep, returning nodes).
//
// A small buffer is a bump of the current frame's heap pointer. When the
// current frame is full, the first frame in list order with enough room (and
// at least kMinFrameFree bytes, so a nearly full frame is not nibbled at) is
// used; failing that a new frame is opened. Allocation never collects: once
// the bytes allocated since the last collection reach that collection's live
// size (at least 8 MB; memory held outside the frames for values counts as
// allocated and as live), it requests one for the next safe point. Collections
// keep that many bytes of empty frames for the allocations that follow, so a
// program in a steady state reuses the same pages.
#include "memory/series.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "memory/collector.h"
#include "memory/series_gc.h"
#include "core/errors.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace qel {
namespace memory {

SeriesBuffer** node_table = nullptr;
Watch watched;
Node root_block = kNoNode;

namespace gc {
uint32_t node_high = 1;  // entry 0 is never used
}  // namespace gc
using gc::node_high;

namespace {

// --- address-sanitizer support ---------------------------------------------

// In sanitized builds the free part of every frame and the spare bytes after
// every buffer are poisoned, so a write or read past a buffer's data area is
// reported where it happens instead of corrupting the next buffer.
#if defined(__SANITIZE_ADDRESS__)
// The poisoned bytes are never read; g++ still warns that they may be
// uninitialised because the interface takes a const pointer.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
void poison(const void* p, size_t n) { __asan_poison_memory_region(p, n); }
#pragma GCC diagnostic pop
void unpoison(const void* p, size_t n) { __asan_unpoison_memory_region(p, n); }
#else
void poison(const void*, size_t) {}
void unpoison(const void*, size_t) {}
#endif

// --- the node table -------------------------------------------------------

// The table is one reserved region committed in chunks, so `node_table`
// never changes once set and node reads need no bounds logic.
constexpr uint64_t kNodeChunk = uint64_t{1} << 18;  // entries committed at a time
constexpr uint64_t kMaxNodes = uint64_t{1} << 32;   // a Node is 32 bits
constexpr uint64_t kMinNodes = uint64_t{1} << 16;   // the smallest table reserved
uint64_t node_reserved = 0;
uint64_t node_committed = 0;
Node free_head = 0;
uint64_t live_nodes = 0;

// A free entry holds the next free node shifted left with the low bit set.
inline SeriesBuffer* free_entry(Node next) {
  return reinterpret_cast<SeriesBuffer*>((uintptr_t{next} << 1) | 1);
}
inline bool is_free_entry(const SeriesBuffer* e) { return (reinterpret_cast<uintptr_t>(e) & 1) != 0; }
inline Node next_free(const SeriesBuffer* e) {
  return static_cast<Node>(reinterpret_cast<uintptr_t>(e) >> 1);
}

// --- frames ---------------------------------------------------------------

struct Frame {
  uint8_t* start;  // first byte of the data area (the region's start)
  uint8_t* heap;   // where the next buffer goes
  uint8_t* end;    // one past the data area
};

struct BigFrame {
  SeriesBuffer* buffer;  // at the region's start
  size_t region;         // region bytes
};

// Below this many free bytes a frame other than the current one is not
// chosen for new buffers.
constexpr uint64_t kMinFrameFree = 52428;
// The least allocation between two requested collections.
constexpr uint64_t kMinBudget = 8 * 1024 * 1024;

bool initialized = false;
std::vector<Frame> frames;
Frame* cur_frame = nullptr;  // &frames[cur] or null before init
size_t cur = 0;
uint32_t next_frame_size = kFirstFrameSize;
std::vector<BigFrame> bigs;

// Every heap-backed series, with its current block; a heap buffer's `spare`
// word holds its index here. Keeping the block addresses in C heap memory
// also shows leak checkers that the blocks are in use.
struct HeapSeries {
  Node node;
  SeriesBuffer* block;
};
// Never destroyed: heap-backed series outlive static destruction (and a leak
// check at exit must still find their blocks).
std::vector<HeapSeries>& heap_series = *new std::vector<HeapSeries>;
std::vector<void*>& heap_graveyard = *new std::vector<void*>;  // blocks left by growing heap-backed series
uint64_t heap_bytes = 0;

uint64_t series_count = 0;
uint64_t frames_live = 0;   // bytes used in frames right after the last collection
uint64_t big_since_gc = 0;  // big-frame bytes taken since the last collection
uint64_t outside_live = 0;      // bytes held outside the series memory for values
uint64_t outside_since_gc = 0;  // of those, bytes taken since the last collection
uint64_t budget = kMinBudget;  // bytes to allocate before the next collection is requested

size_t page_size() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// (`populate`: the pages are filled in at once, for memory written right
// away: one call costs far less than a fault per page.)
uint8_t* map_region(size_t bytes, bool populate = false) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | (populate ? MAP_POPULATE : 0), -1, 0);
  if (p == MAP_FAILED) fire(ErrorCode::internal_no_memory);
  return static_cast<uint8_t*>(p);
}

void unmap_region(void* p, size_t bytes) {
  if (munmap(p, bytes) != 0) fire(ErrorCode::internal_wrong_mem);
}

void reserve_node_table() {
  // Reserve the address space, falling back to less where the system
  // refuses; commit it chunk by chunk. The reservation counts against a
  // limit of the address space: taking the most the system granted left
  // the frames too little, and start-up itself ran out of memory.
  struct rlimit lim {};
  const uint64_t limit =
      getrlimit(RLIMIT_AS, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY ? lim.rlim_cur : 0;
  for (uint64_t n = node_table_wish(limit); n >= kMinNodes; n >>= 1) {
    void* p = mmap(nullptr, n * sizeof(SeriesBuffer*), PROT_NONE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p != MAP_FAILED) {
      node_table = static_cast<SeriesBuffer**>(p);
      node_reserved = n;
      return;
    }
  }
  fire(ErrorCode::internal_no_memory);
}

void commit_nodes() {
  if (!node_table) init();
  if (node_committed >= node_reserved || node_high == UINT32_MAX) fire(ErrorCode::internal_no_memory);
  uint64_t n = std::min(kNodeChunk, node_reserved - node_committed);
  if (mprotect(node_table + node_committed, n * sizeof(SeriesBuffer*), PROT_READ | PROT_WRITE) != 0)
    fire(ErrorCode::internal_no_memory);
  node_committed += n;
}

Node alloc_node(SeriesBuffer* s) {
  Node n;
  if (free_head) {
    n = free_head;
    free_head = next_free(node_table[n]);
  } else {
    if (node_high >= node_committed || node_high == UINT32_MAX) commit_nodes();
    n = node_high++;
  }
  node_table[n] = s;
  s->node = n;
  live_nodes++;
  return n;
}

// Requests a collection once the bytes allocated since the last one reach
// the budget. Runs when a frame fills up and when a big buffer is taken.
void check_budget() {
  uint64_t used = big_since_gc + outside_since_gc;
  for (const Frame& f : frames) used += static_cast<uint64_t>(f.heap - f.start);
  if (used >= frames_live + budget) collector::requested = true;
}

Frame* open_frame(uint64_t footprint) {
  uint64_t size = next_frame_size;
  if (footprint > size) size = kBigThreshold;
  next_frame_size = static_cast<uint32_t>(std::min<uint64_t>(size * 2, kBigThreshold));
  uint8_t* p = size == kBigThreshold ? map_huge(size) : map_region(size, true);
  poison(p, size);
  frames.push_back(Frame{p, p, p + size});
  return &frames.back();
}

// The current frame has no room for `footprint` bytes: pick or open another.
uint8_t* alloc_in_other_frame(uint64_t footprint) {
  if (!initialized) init();
  uint64_t want = std::max(footprint, kMinFrameFree);
  size_t chosen = frames.size();
  for (size_t i = 0; i < frames.size(); ++i) {
    if (static_cast<uint64_t>(frames[i].end - frames[i].heap) >= want) {
      chosen = i;
      break;
    }
  }
  if (chosen == frames.size()) open_frame(footprint);
  check_budget();
  cur = chosen;
  cur_frame = &frames[cur];
  uint8_t* p = cur_frame->heap;
  cur_frame->heap += footprint;
  return p;
}

SeriesBuffer* alloc_big(uint64_t footprint) {
  size_t region = (footprint + page_size() - 1) & ~(page_size() - 1);
  auto* b = reinterpret_cast<SeriesBuffer*>(map_region(region));
  bigs.push_back(BigFrame{b, region});
  big_since_gc += region;
  check_budget();
  return b;
}

// The data size for `bytes`: rounded up to 16, at least 16, and within what
// a series may hold.
uint64_t data_size(uint64_t bytes) {
  if (bytes > kMaxSeriesBytes) fire(ErrorCode::internal_no_memory);
  uint64_t size = (bytes + 15) & ~uint64_t{15};
  return size ? size : 16;
}

uint64_t byte_count(uint64_t count, uint32_t unit) {
  if (unit != 0 && count > kMaxSeriesBytes / unit) fire(ErrorCode::internal_no_memory);
  return count * unit;
}

void init_header(SeriesBuffer* b, uint64_t size, uint32_t flags, uint32_t head_offset) {
  if (head_offset > size) head_offset = static_cast<uint32_t>(size);
  b->flags = flags | series_flag::live | series_flag::framed;
  b->node = 0;
  b->size = static_cast<uint32_t>(size);
  b->offset = head_offset;
  b->tail = head_offset;
  b->spare = 0;
  series_count++;
}

// A framed or big buffer with a data area of `size` bytes (already rounded).
SeriesBuffer* alloc_buffer(uint64_t size, uint32_t flags, uint32_t head_offset) {
  uint64_t footprint = size + kBufferOverhead;
  SeriesBuffer* b;
  if (footprint >= kBigThreshold) {
    b = alloc_big(footprint);
    flags |= series_flag::big;
  } else if (cur_frame && static_cast<uint64_t>(cur_frame->end - cur_frame->heap) >= footprint) {
    b = reinterpret_cast<SeriesBuffer*>(cur_frame->heap);
    cur_frame->heap += footprint;
  } else {
    b = reinterpret_cast<SeriesBuffer*>(alloc_in_other_frame(footprint));
  }
  unpoison(b, sizeof(SeriesBuffer) + size);
  poison(b->data() + size, kSpareBytes);
  init_header(b, size, flags, head_offset);
  return b;
}

SeriesBuffer* alloc_heap_buffer(uint64_t size, uint32_t flags, uint32_t head_offset) {
  void* p = std::malloc(size + kBufferOverhead);
  if (!p) fire(ErrorCode::internal_no_memory);
  auto* b = static_cast<SeriesBuffer*>(p);
  poison(b->data() + size, kSpareBytes);
  init_header(b, size, flags | series_flag::heap, head_offset);
  heap_bytes += size;
  return b;
}

}  // namespace

// The region starts on a 2 MB boundary and is asked for as huge pages where
// the system offers them (transparent huge pages on request): one page to
// fill in instead of 512, where each new small page costs a fault and, on
// virtual machines that back memory lazily, far more on its first write.
// The first `bytes` are filled in at once (older systems fill them in on
// first touch), so that without huge pages it costs what map_region does.
uint8_t* map_huge(size_t bytes) {
#if defined(MADV_HUGEPAGE) && !defined(__SANITIZE_ADDRESS__)
  constexpr size_t kHuge = 0x200000;
  const size_t region = (bytes + kHuge - 1) & ~(kHuge - 1);
  void* p = mmap(nullptr, region + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) fire(ErrorCode::internal_no_memory);
  auto* raw = static_cast<uint8_t*>(p);
  auto* start = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(raw) + kHuge - 1) &
                                           ~uintptr_t{kHuge - 1});
  // The parts before and after the aligned region go back at once.
  if (start > raw) munmap(raw, static_cast<size_t>(start - raw));
  uint8_t* end = start + region;
  if (end < raw + region + kHuge) munmap(end, static_cast<size_t>(raw + region + kHuge - end));
  madvise(start, region, MADV_HUGEPAGE);
#ifndef MADV_POPULATE_WRITE
  constexpr int MADV_POPULATE_WRITE = 23;
#endif
  madvise(start, (bytes + page_size() - 1) & ~(page_size() - 1), MADV_POPULATE_WRITE);
  return start;
#else
  return map_region(bytes, true);
#endif
}

uint64_t node_table_wish(uint64_t address_limit) {
  uint64_t n = kMaxNodes;
  if (address_limit == 0) return n;
  while (n > kMinNodes && n * sizeof(SeriesBuffer*) > address_limit / 16) n >>= 1;
  return n;
}

void init() {
  if (initialized) return;
  initialized = true;
  reserve_node_table();
  commit_nodes();
  frames.reserve(64);
  open_frame(0);
  cur = 0;
  cur_frame = &frames[0];
  root_block = alloc_series_heap(256, sizeof(Cell));
}

void outside_allocated(uint64_t bytes) {
  outside_live += bytes;
  outside_since_gc += bytes;
  check_budget();
}

void outside_freed(uint64_t bytes) {
  outside_live -= std::min(outside_live, bytes);
  outside_since_gc -= std::min(outside_since_gc, bytes);
}

bool is_live_node(Node n) { return gc::node_in_use(n); }

uint64_t buffers_made() { return series_count; }

Node alloc_series(uint64_t count, uint32_t unit, uint32_t head_offset) {
  SeriesBuffer* b = alloc_buffer(data_size(byte_count(count, unit)), unit, head_offset);
  return alloc_node(b);
}

Node alloc_cells(uint64_t n) { return alloc_series(n, sizeof(Cell)); }

Node alloc_unset_cells(uint64_t n) {
  Node node = alloc_cells(n ? n : 1);
  SeriesBuffer* s = series(node);
  Cell* c = reinterpret_cast<Cell*>(s->data());
  for (uint32_t i = 0; i < s->size / sizeof(Cell); i++) set_unset(c + i);
  return node;
}

Node alloc_bytes(uint64_t n) { return alloc_series(n ? n : 16, 1); }

Node alloc_units(uint64_t n, uint32_t unit) {
  if (n == 0) n = unit && unit <= 16 ? 16 / unit : 16;
  return alloc_series(n, unit);
}

Node alloc_bytes_filled(uint64_t n, uint8_t fill_byte) {
  Node node = alloc_bytes(n);
  SeriesBuffer* s = series(node);
  std::memset(s->data(), fill_byte, s->size);
  return node;
}

Node alloc_series_heap(uint64_t count, uint32_t unit, uint32_t head_offset) {
  if (!initialized) init();
  SeriesBuffer* b = alloc_heap_buffer(data_size(byte_count(count, unit)), unit, head_offset);
  Node n = alloc_node(b);
  b->spare = static_cast<uint32_t>(heap_series.size());
  heap_series.push_back(HeapSeries{n, b});
  return n;
}

void set_series_flags(Node n, uint32_t bits) { series(n)->flags |= bits; }

SeriesBuffer* expand_series_buffer(SeriesBuffer* s, uint64_t new_size) {
  if (new_size == 0) new_size = uint64_t{s->size} * 2;
  uint64_t size = data_size(new_size);
  uint32_t keep = s->flags & ~(series_flag::big | series_flag::mark | series_flag::live |
                               series_flag::framed | series_flag::heap);
  SeriesBuffer* n;
  if (s->flags & series_flag::heap) {
    n = alloc_heap_buffer(size, keep, 0);
    n->spare = s->spare;
    heap_series[s->spare].block = n;
    heap_bytes -= s->size;
    // Callers may still read the old buffer until the next safe point, as
    // they may with a framed one; the block is freed by the next collection.
    heap_graveyard.push_back(s);
  } else {
    n = alloc_buffer(size, keep, 0);
  }
  uint64_t used = s->tail - s->offset;
  n->tail = static_cast<uint32_t>(std::min<uint64_t>(used, n->size));
  Node node = s->node;
  node_table[node] = n;
  n->node = node;
  s->node = 0;
  s->flags &= ~series_flag::live;
  if (node == watched.node && watched.moved) watched.moved();
  return n;
}

SeriesBuffer* expand_series(SeriesBuffer* s, uint64_t new_size) {
  SeriesBuffer* n = expand_series_buffer(s, new_size);
  uint32_t keep = std::min(s->size - s->offset, n->size);
  std::memcpy(n->data(), s->data() + s->offset, keep);
  return n;
}

SeriesBuffer* expand_series_filled(SeriesBuffer* s, uint64_t new_size, uint8_t fill_byte) {
  uint32_t old_used = s->size - s->offset;
  SeriesBuffer* n = expand_series(s, new_size);
  if (old_used < n->size) std::memset(n->data() + old_used, fill_byte, n->size - old_used);
  return n;
}

SeriesBuffer* ensure_room(SeriesBuffer* s, uint64_t extra) {
  if (uint64_t{s->tail} + extra <= s->size) return s;
  uint64_t need = uint64_t{s->tail - s->offset} + extra;
  uint64_t want = std::max(uint64_t{s->size} * 2, need);
  // Doubling may pass the ceiling where the need alone does not.
  if (want > kMaxSeriesBytes && need <= kMaxSeriesBytes) want = kMaxSeriesBytes;
  return expand_series(s, want);
}

uint8_t* reserve_tail(Node node, uint64_t n) {
  SeriesBuffer* s = ensure_room(series(node), n);
  uint8_t* p = s->tail_ptr();
  s->tail += static_cast<uint32_t>(n);
  return p;
}

Node copy_series(SeriesBuffer* s) {
  uint32_t keep = s->flags & ~(series_flag::big | series_flag::mark | series_flag::live |
                               series_flag::framed | series_flag::heap);
  SeriesBuffer* n = alloc_buffer(s->size, keep, 0);
  n->tail = s->tail - s->offset;
  std::memcpy(n->data(), s->data() + s->offset, s->size - s->offset);
  return alloc_node(n);
}

Stats stats() {
  Stats st{};
  for (const Frame& f : frames) {
    st.frame_bytes += static_cast<uint64_t>(f.end - f.start);
    st.used_bytes += static_cast<uint64_t>(f.heap - f.start);
  }
  for (const BigFrame& b : bigs) {
    st.frame_bytes += b.region;
    st.used_bytes += b.buffer->size + kBufferOverhead;
  }
  st.live_nodes = live_nodes;
  st.series_count = series_count;
  st.heap_bytes = heap_bytes;
  st.node_bytes = live_nodes * 4;
  st.node_table_bytes = node_committed * 4;
  st.outside_bytes = outside_live;
  return st;
}

void frame_census(void (*series_frame)(const FrameUse&, void*), void (*big_frame)(uint64_t, void*),
                  void* context) {
  for (const Frame& f : frames) {
    uint64_t total = static_cast<uint64_t>(f.end - f.start);
    uint64_t used = static_cast<uint64_t>(f.heap - f.start);
    if (series_frame) series_frame(FrameUse{total - used, used, total}, context);
  }
  for (const BigFrame& b : bigs)
    if (big_frame) big_frame(b.region, context);
}

const char* verify_heap() {
  auto check_buffer = [](SeriesBuffer* b) -> const char* {
    if (b->flags & series_flag::mark) return "a buffer carries the mark bit";
    if (b->offset > b->tail || b->tail > b->size) return "offset, tail and size out of order";
    if ((b->flags & series_flag::live) && b->node) {
      if (!gc::node_in_use(b->node) || node_table[b->node] != b) return "a live buffer's node names another";
    }
    return nullptr;
  };
  for (const Frame& f : frames) {
    uint8_t* p = f.start;
    while (p < f.heap) {
      auto* b = reinterpret_cast<SeriesBuffer*>(p);
      uint64_t footprint = uint64_t{b->size} + kBufferOverhead;
      if (p + footprint > f.heap) return "a buffer runs past its frame's heap pointer";
      if (const char* e = check_buffer(b)) return e;
      p += footprint;
    }
  }
  for (const BigFrame& b : bigs)
    if (const char* e = check_buffer(b.buffer)) return e;
  for (const HeapSeries& h : heap_series) {
    if (!gc::node_in_use(h.node) || node_table[h.node] != h.block) return "a heap-backed series lost its node";
    if (const char* e = check_buffer(h.block)) return e;
  }
  uint64_t in_use = 0;
  for (Node n = 1; n < node_high; n++) {
    SeriesBuffer* b = node_table[n];
    if (is_free_entry(b)) continue;
    in_use++;
    if (b->node != n || !(b->flags & series_flag::live)) return "a node names a buffer that is not its own";
  }
  if (in_use != live_nodes) return "the live-node count is wrong";
  return nullptr;
}

// --- the collector's side -------------------------------------------------

namespace gc {

namespace {
inline void release_node(Node n) {
  node_table[n] = free_entry(0);
  live_nodes--;
}
}  // namespace

uint64_t compact_frames() {
  if (frames.empty()) return 0;
  for (const Frame& f : frames) unpoison(f.start, static_cast<size_t>(f.end - f.start));
  // One destination cursor walks the frames in list order ahead of (or at)
  // the source; each live buffer goes to the cursor, and adjacent buffers
  // that stay adjacent are moved with one memmove.
  size_t di = 0;
  uint8_t* dst = frames[0].start;
  uint8_t* run_src = nullptr;
  uint8_t* run_dst = nullptr;
  size_t run_len = 0;
  auto flush = [&] {
    if (run_len && run_src != run_dst) std::memmove(run_dst, run_src, run_len);
    run_len = 0;
  };
  for (size_t i = 0; i < frames.size(); ++i) {
    uint8_t* p = frames[i].start;
    uint8_t* end = frames[i].heap;
    while (p < end) {
      auto* b = reinterpret_cast<SeriesBuffer*>(p);
      size_t footprint = size_t{b->size} + kBufferOverhead;
      if (b->flags & series_flag::mark) {
        b->flags &= ~series_flag::mark;
        // The cursor never passes the source: in the source's own frame it
        // is at or below it, so this loop stops at frame i at the latest.
        while (static_cast<size_t>(frames[di].end - dst) < footprint) {
          frames[di].heap = dst;
          di++;
          dst = frames[di].start;
        }
        if (run_len && (p != run_src + run_len || dst != run_dst + run_len)) flush();
        if (!run_len) {
          run_src = p;
          run_dst = dst;
        }
        run_len += footprint;
        node_table[b->node] = reinterpret_cast<SeriesBuffer*>(dst);
        dst += footprint;
      } else if ((b->flags & series_flag::live) && b->node) {
        release_node(b->node);
      }
      p += footprint;
    }
    flush();
  }
  frames[di].heap = dst;
  uint64_t live = 0;
  for (size_t i = 0; i <= di; ++i) live += static_cast<uint64_t>(frames[i].heap - frames[i].start);
  // Frames past the cursor are empty: keep as many bytes of them as the next
  // collection's budget, free the rest.
  uint64_t reserve = std::max(live, kMinBudget);
  uint64_t kept = 0;
  size_t keep_to = di + 1;
  for (size_t i = di + 1; i < frames.size(); ++i) {
    frames[i].heap = frames[i].start;
    uint64_t size = static_cast<uint64_t>(frames[i].end - frames[i].start);
    if (kept < reserve) {
      kept += size;
      frames[keep_to++] = frames[i];
    } else {
      unmap_region(frames[i].start, size);
    }
  }
  frames.resize(keep_to);
  cur = di;
  cur_frame = &frames[cur];
  for (const Frame& f : frames) {
    for (uint8_t* p = f.start; p < f.heap;) {
      auto* b = reinterpret_cast<SeriesBuffer*>(p);
      poison(b->data() + b->size, kSpareBytes);
      p += size_t{b->size} + kBufferOverhead;
    }
    poison(f.heap, static_cast<size_t>(f.end - f.heap));
  }
  return live;
}

uint64_t sweep_big_buffers() {
  uint64_t live = 0;
  size_t out = 0;
  for (size_t i = 0; i < bigs.size(); ++i) {
    SeriesBuffer* b = bigs[i].buffer;
    if (b->flags & series_flag::mark) {
      b->flags &= ~series_flag::mark;
      live += bigs[i].region;
      bigs[out++] = bigs[i];
    } else {
      if ((b->flags & series_flag::live) && b->node) release_node(b->node);
      unmap_region(b, bigs[i].region);
    }
  }
  bigs.resize(out);
  return live;
}

void finish(uint64_t live_bytes) {
  for (const HeapSeries& h : heap_series) h.block->flags &= ~series_flag::mark;
  for (void* p : heap_graveyard) {
    auto* b = static_cast<SeriesBuffer*>(p);
    unpoison(b->data() + b->size, kSpareBytes);
    std::free(p);
  }
  heap_graveyard.clear();
  // Drop free entries at the top, then thread the rest in ascending order so
  // that new series take low nodes first.
  while (node_high > 1 && is_free_entry(node_table[node_high - 1])) node_high--;
  free_head = 0;
  for (Node n = node_high - 1; n >= 1; n--) {
    if (is_free_entry(node_table[n])) {
      node_table[n] = free_entry(free_head);
      free_head = n;
    }
  }
  frames_live = 0;
  for (const Frame& f : frames) frames_live += static_cast<uint64_t>(f.heap - f.start);
  big_since_gc = 0;
  outside_since_gc = 0;
  // (The sweep callbacks have taken back what dead values held outside.)
  budget = std::max(live_bytes + outside_live, kMinBudget);
  if (watched.moved) watched.moved();
}

}  // namespace gc
}  // namespace memory

Cell* append_slot(Node block) {
  uint8_t* p = memory::reserve_tail(block, sizeof(Cell));
  Cell* c = reinterpret_cast<Cell*>(p);
  set_unset(c);
  return c;
}

}  // namespace qel
