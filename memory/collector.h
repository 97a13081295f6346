// The mark-and-compact collector and its roots.
//
// Collections run only at safe points: before each expression of a block
// in the interpreter (collector::safe_point; entry_safe_point before the
// first one, so a loop whose body is one expression collects) and in
// `recycle` (collector::collect). An allocation that finds no room takes a new
// frame; once the bytes allocated since the last collection reach its live
// size (at least 8 MB) it sets `requested`, and the next safe point
// collects. Memory held outside the frames for values (an image's pixels)
// counts as allocated (memory::outside_allocated). In the GC-stress build
// every safe point collects (the first of a block once something was
// allocated, see entry_safe_point).
//
// Marking is precise and starts from explicit roots, in this order: the
// root block (memory::root_block), the RAII Roots below, the value in flight
// of a non-local exit (unwind::thrown_value), then every registered mark
// callback (the argument stack and call frames, the global context, the
// lexer ...). Values are followed by type (see set_type_marker) through an
// explicit mark stack, so deeply nested data cannot overflow the C++ stack.
// After marking, the sweep callbacks drop dead entries from weak tables; then
// the series frames are compacted, dead big buffers freed and dead nodes
// returned. Nodes never move (one node table, no node frames), so nothing
// that holds a node ever needs forwarding.
//
// Compaction: one cursor walks the series frames in list order and every
// live buffer slides down to it, within its frame or into an earlier
// frame's free tail; runs of adjacent buffers move with one memmove and only
// their node entries change (offsets and tails are relative). A collection
// keeps as many bytes of empty frames as the live data for the allocations
// that follow and frees the other empty frames. An owned series keeps its
// owner alive (values/ownership.cpp wraps the series types' markers), so
// what its changes notify never depends on when a collection ran.
#pragma once

#include <cstdint>

#include "core/cell.h"

namespace qel::collector {

// True when automatic collections are allowed (`recycle/on`, `recycle/off`).
// Start-up sets it once the runtime is in place.
extern bool active;
// Set by the allocator when the bytes allocated since the last collection
// pass its budget; cleared by a collection.
extern bool requested;
// Number of completed collections.
extern uint64_t cycles;

#ifdef QEL_GC_STRESS
inline constexpr bool kStress = true;
#else
inline constexpr bool kStress = false;
#endif

// The last step of start-up: the runtime is in place, so automatic
// collections may run from now on (sets `active`).
void init();

// Runs one full collection now, whatever `active` says (`recycle`). Does
// nothing when called during a collection.
void collect();
// True while a collection runs.
bool collecting();

// The interpreter calls this between the expressions of a block. Nothing
// happens while `active` is off (`recycle/off`, or a guard such as a
// hash-table rebuild).
inline void safe_point() {
  // (`requested` first: it is false at nearly every safe point, so the test
  // is one load.)
  if ((requested || kStress) && active) collect();
}

// The safe point before a block's first expression. It collects when
// safe_point would, except that in the GC-stress build it collects only when
// a buffer was allocated since the last collection: blocks are entered at
// every paren, branch and body of one expression, at each level of a deep
// recursion too, and a collection there with nothing allocated since the
// last one reclaims at most values dropped in between, at the price of a
// full mark (the stress build's deep recursions became quadratic).
bool stress_entry_due();
inline void entry_safe_point() {
  if (requested ? active : (kStress && active && stress_entry_due())) collect();
}

// Switches automatic collections off for its lifetime and restores the
// previous setting afterwards, also when an exception passes.
class Hold {
 public:
  Hold() : saved_(active) { active = false; }
  ~Hold() { active = saved_; }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  bool saved_;
};

// A mark callback marks the values a module holds outside the root block
// (with the mark_* functions below). At most 100 may be registered; they are
// called in registration order during every mark phase.
using MarkCallback = void (*)();
void add_mark_callback(MarkCallback cb);
// Removes a registered callback (its slot stays empty).
void remove_mark_callback(MarkCallback cb);

// A sweep callback runs after marking, before anything moves or is freed:
// it drops the entries of a weak table whose series died (is_marked answers
// for a node) and releases what they held. It must not allocate series.
// Users: the external-resource table, the ownership registry.
using SweepCallback = void (*)();
void add_sweep_callback(SweepCallback cb);

// --- marking (valid only during the mark phase) ---------------------------

// Marks the buffer of a node; true when it was not marked before. Node 0,
// and integers that name no live node, are ignored (false).
bool mark_series(Node n);
// Marks a series and, when it holds cells, every cell from its head offset
// to its tail (followed later, through the mark stack).
void mark_block(Node n);
// Marks a context: its series, the word table and values that its context
// cell names (the values unless they live on the argument stack) and its
// owner cell. A context is a block of two cells, so this is mark_block.
void mark_context(Node n);
// Marks what each cell in [first, end) refers to.
void mark_cells(const Cell* first, const Cell* end);
void mark_cell(const Cell* c);
// Same as mark_block (kept for existing callers).
void mark_node(Node n);
// True when the node's buffer is marked (for sweep callbacks). False for
// node 0 and for nodes that name nothing.
bool is_marked(Node n);
// Clears the mark of the node's buffer.
void unmark_series(Node n);

// How a cell of one type is marked. Every type with series in its payload
// has a built-in marker following the cell layout of core/cell.h:
//   words: the context (data1); blocks and paths: the block (data2);
//   strings: the buffer (data2) and the conversion buffer (data3);
//   bitset!/vector!/binary!: the buffer; symbol!: name (data3) and string
//   form (data2); object!/error!/port!: the context (data1) and the
//   event-information series (data3); context!: the word table (data1) and
//   values (data2) unless on the stack; hash!/map!: the block (data2) and
//   the hash table (data3); function!/routine!: context, spec, body;
//   native!/action!/op!: spec and args block, and for an op! wrapping a
//   function!/routine! its context; event!: data2 when header bit 0x1000 is
//   set; image!: its record buffer (data2).
// A module replaces or adds a marker here at start-up: image! and handle!
// must, to mark their external resources (handle! has no built-in marker).
using TypeMarker = void (*)(const Cell*);
void set_type_marker(TypeId type, TypeMarker marker);
TypeMarker type_marker(TypeId type);

// --- RAII roots -------------------------------------------------------------

// Keeps one cell alive (with everything it refers to) across safe points.
// Roots nest strictly (stack discipline), which C++ scopes give for free.
class Root {
 public:
  explicit Root(const Cell& c);
  // Roots a series by its node alone (marked as a block when it holds cells).
  explicit Root(Node n);
  Root();
  ~Root();
  Root(const Root&) = delete;
  Root& operator=(const Root&) = delete;
  Cell* operator->() { return &cell_; }
  Cell& operator*() { return cell_; }
  Cell* get() { return &cell_; }
  const Cell& cell() const { return cell_; }
  Root* prev() const { return prev_; }

 private:
  Cell cell_;
  Root* prev_;
};

// The innermost live root (for the collector's walk).
extern Root* root_chain;

// Figures of the last collection, for `stats` and the benchmarks.
struct LastCollection {
  uint64_t live_bytes;   // frame and big-frame bytes in use after it
  uint64_t freed_nodes;  // nodes returned by it
  double seconds;        // how long it took
};
extern LastCollection last;

}  // namespace qel::collector
