// Series memory: nodes, series buffers, frames and their allocation.
//
// A series buffer is a header followed by a data area of items of one unit
// size (1, 2, 4 or 16 bytes; 16 is a Cell). Values never point at buffers:
// they hold a Node, a 32-bit index into the node table whose entry is the
// buffer's current address, so the collector can move buffers and only
// rewrite the table entry. A node never changes for the life of its series.
//
// Where buffers live:
//   - series frames: 2 MB regions on 2 MB boundaries, in a huge page where
//     the system offers one (map_huge: one page fault instead of 512);
//     buffers are bump-allocated one after another, and when the current
//     frame is full the first frame with room for the buffer and 52,428
//     free bytes is taken, else a new one; the collector slides the live
//     buffers down (memory/collector.h);
//   - big frames: a buffer whose footprint reaches 2 MB gets its own region;
//     the collector never moves it and frees it when it dies;
//   - heap-backed series (the stacks, the root block, fixed blocks): taken
//     from the C heap, never moved and never reclaimed.
// The node table is one region reserved at start-up and committed as it
// grows; a free entry holds the next free node with its low bit set, and the
// free list is rebuilt in ascending order after every collection. In
// AddressSanitizer builds the free part of every frame and the spare bytes
// after every buffer are poisoned, so an access past a buffer is reported.
//
// GC rule: allocation never collects. A collection runs only at safe points
// (see memory/collector.h), so a raw SeriesBuffer* or data pointer stays valid
// until the code reaches a safe point (evaluates Qel code) or grows that very
// series (expansion moves it). Code that does either re-reads through the node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/cell.h"

namespace qel {

// Flag bits of SeriesBuffer::flags beyond the unit size (bits 0-4).
namespace series_flag {
inline constexpr uint32_t unit_mask = 0x0000001F;
inline constexpr uint32_t live = 0x80000000;        // set at allocation, cleared when abandoned
inline constexpr uint32_t framed = 0x20000000;      // taken from a frame (or heap-backed)
inline constexpr uint32_t mark = 0x08000000;        // collector mark; clear outside a collection
inline constexpr uint32_t big = 0x01000000;         // lives in its own big frame
inline constexpr uint32_t heap = 0x00100000;        // heap-backed: never moved or reclaimed
inline constexpr uint32_t complement = 0x00080000;  // complemented bitset
inline constexpr uint32_t utf16 = 0x00040000;       // loaded from UTF-16LE
inline constexpr uint32_t owned = 0x00020000;       // owned by an object (ownership tracking)
inline constexpr uint32_t library = 0x00010000;     // a block of the embedded library's code
// A hint of the interpreter's: an evaluation of this block met an expression
// it could not compute in place (evaluator/pure.cpp, pure expressions).
inline constexpr uint32_t impure = 0x00000020;
}  // namespace series_flag

// The header of every series buffer. `offset` and `tail` are byte offsets from
// the start of the data area: the used part is [offset, tail). Because they
// are offsets, moving a buffer never touches them.
struct SeriesBuffer {
  uint32_t flags;
  Node node;        // the node that refers to this buffer; 0 once abandoned
  uint32_t size;    // capacity of the data area in bytes, a multiple of 16
  uint32_t offset;  // byte offset of head position 0
  uint32_t tail;    // byte offset one past the last used byte
  uint32_t spare;   // the memory manager's; keeps the data area 8-byte aligned

  uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
  const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(this + 1); }
  uint32_t unit() const { return flags & series_flag::unit_mask; }
  uint8_t* head_ptr() { return data() + offset; }
  uint8_t* tail_ptr() { return data() + tail; }
  uint8_t* end_ptr() { return data() + size; }
  uint32_t used_bytes() const { return tail - offset; }
  // Number of units from head position 0 to the tail.
  uint32_t length() const { return (tail - offset) / unit(); }
  // Bytes free after the tail.
  uint32_t free_bytes() const { return size - tail; }
  // Cell views for unit-16 series.
  Cell* cells() { return reinterpret_cast<Cell*>(head_ptr()); }
  Cell* cell_tail() { return reinterpret_cast<Cell*>(tail_ptr()); }
  Cell* cell_at(uint32_t i) { return cells() + i; }
};

static_assert(sizeof(SeriesBuffer) == 24, "series header keeps data 8-aligned");

namespace memory {

// Layout constants. Every buffer is followed by kSpareBytes that belong to
// nobody, so a stray write just past a full data area cannot reach the next
// buffer's header (sanitized builds report it). A buffer's footprint is
// header + size + spare.
inline constexpr uint32_t kSpareBytes = 8;
inline constexpr uint32_t kBufferOverhead = sizeof(SeriesBuffer) + kSpareBytes;
inline constexpr uint32_t kFirstFrameSize = 0x200000;  // 2 MB: one huge page
inline constexpr uint32_t kBigThreshold = 0x200000;    // 2 MB: big buffers, largest frame
// The largest data area a series may have: sizes and offsets are 32-bit and
// series indexes are signed 32-bit integers in Qel.
inline constexpr uint64_t kMaxSeriesBytes = 0x7FFFFFF0;

// The node table. Entry 0 is never used. Reading a node is one indexed load.
// The table lives in one reserved region and never moves.
extern SeriesBuffer** node_table;

inline SeriesBuffer* series(Node n) { return node_table[n]; }

// One series whose buffer address a module keeps outside the node table (the
// global context's values, read for every global word): `moved` runs after
// that buffer moves to a new one and after every collection (which may have
// slid it down).
struct Watch {
  Node node = 0;
  void (*moved)() = nullptr;
};
extern Watch watched;

// The root block: a heap-backed cell series whose cells the collector always
// marks. Modules keep their global values in it (append_slot(root_block)).
extern Node root_block;

// Start-up: reserves the node table, opens the first series frame and makes
// the root block. Runs once; allocation also runs it on first use.
void init();

// The number of node-table entries start-up asks to reserve under a limit
// of the address space in bytes (RLIMIT_AS; 0 for none): every node a
// 32-bit Node can name when there is no limit, else a power of two whose
// entries take at most a sixteenth of the limit (65,536 at the least), so
// that the reservation leaves the frames room.
uint64_t node_table_wish(uint64_t address_limit);

// Memory for `bytes` that is written at once (series frames, the stacks),
// filled in already: a region of whole 2 MB units on a 2 MB boundary, held
// in huge pages where the system offers them. Raises internal no-memory.
uint8_t* map_huge(size_t bytes);

// Allocation. Every function returns a new node whose buffer is empty
// (offset = tail = start of the data area). Sizes are computed in 64 bits
// and rounded up to 16 bytes (at least 16); a request beyond kMaxSeriesBytes
// or that the system refuses raises internal `no-memory`.
Node alloc_series(uint64_t count, uint32_t unit, uint32_t head_offset = 0);
Node alloc_cells(uint64_t n);
// As alloc_cells, and every cell of the data area gets the unset! header.
Node alloc_unset_cells(uint64_t n);
// n = 0 gives 16 bytes.
Node alloc_bytes(uint64_t n);
// n = 0 gives 16 bytes' worth of units (for units 1, 2 and 4).
Node alloc_units(uint64_t n, uint32_t unit);
// alloc_bytes, then the whole data area is set to `fill` (tail stays at 0).
Node alloc_bytes_filled(uint64_t n, uint8_t fill);
// A heap-backed series: never moved or reclaimed by the collector. It may
// still grow; growing gives it a new heap block (the node stays).
Node alloc_series_heap(uint64_t count, uint32_t unit, uint32_t head_offset = 0);
void set_series_flags(Node n, uint32_t bits);

// Growth. The buffer moves: the result is the new buffer, already linked to
// the node; the old one is abandoned (node 0, live bit cleared) and stays
// readable until the next collection. new_size 0 doubles the capacity.
// expand_series_buffer copies nothing; expand_series copies the old data
// area from its head offset (so head-relative content survives) and keeps
// the used length; a smaller new size shrinks, cutting the tail to fit.
SeriesBuffer* expand_series_buffer(SeriesBuffer* s, uint64_t new_size);
SeriesBuffer* expand_series(SeriesBuffer* s, uint64_t new_size);
// expand_series, then the bytes added beyond the old data area are set to
// `fill`.
SeriesBuffer* expand_series_filled(SeriesBuffer* s, uint64_t new_size, uint8_t fill);
// Makes sure `extra` more bytes fit after the tail (doubling, or to fit).
SeriesBuffer* ensure_room(SeriesBuffer* s, uint64_t extra);
// Returns the address of n bytes reserved at the tail and advances the tail.
uint8_t* reserve_tail(Node node, uint64_t n);
// A new framed series with the same flags, the same capacity and a copy of
// the data area from the head offset; tail - offset is kept.
Node copy_series(SeriesBuffer* s);
// Sets every byte in [first, end).
inline void fill(uint8_t* first, uint8_t* end, uint8_t byte) {
  if (end > first) std::memset(first, byte, static_cast<size_t>(end - first));
}

// True when n names a series (in range and not on the free list).
bool is_live_node(Node n);

// Memory held outside the series memory for values that the collector
// frees (an image's pixels): its bytes count as allocated since the last
// collection, as a buffer's would, and as live data in the budget of the
// next one, so values whose weight lies outside the frames still bring the
// next collection nearer. Whoever frees such memory takes its bytes back
// (`outside_freed`, never more than were counted).
void outside_allocated(uint64_t bytes);
void outside_freed(uint64_t bytes);

// Buffers allocated since start (as Stats::series_count, without the walk
// over the frames that stats() makes).
uint64_t buffers_made();

// Statistics for `stats`, `recycle` and the benchmarks.
struct Stats {
  uint64_t frame_bytes;   // bytes of all series and big frames taken from the system
  uint64_t live_nodes;    // nodes in use
  uint64_t series_count;  // buffers allocated since start
  uint64_t used_bytes;    // bytes used in frames (live and not yet reclaimed) and big frames
  uint64_t heap_bytes;    // bytes of the heap-backed series
  uint64_t node_bytes;    // bytes of the node table in use (4 per node, as Qel reports)
  uint64_t node_table_bytes;  // entries committed so far, counted the same way
  uint64_t outside_bytes;  // bytes held outside the series memory for values (outside_allocated)
};
Stats stats();

// One row per frame for `stats/memory`: free + used = total.
struct FrameUse {
  uint64_t free;
  uint64_t used;
  uint64_t total;
};
// The series frames in list order, then the sizes of the big frames.
void frame_census(void (*series_frame)(const FrameUse&, void*), void (*big_frame)(uint64_t, void*),
                  void* context);

// Checks the heap's invariants: every live framed buffer is the one its node
// names, no buffer carries the collector's mark, every footprint stays inside
// its frame. Returns nullptr when all hold, else a description of the first
// violation. For tests and debugging.
const char* verify_heap();

}  // namespace memory

// Appends one cell with the unset! header at the tail of a block series,
// expanding it when full, and returns the new cell. Other raw pointers into
// the same series must be re-read afterwards.
Cell* append_slot(Node block);

}  // namespace qel
