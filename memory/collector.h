// The mark-and-compact collector and its roots.
//
// Collections run only at safe points: between expressions in the
// interpreter (collector::safe_point) and in `recycle`. An allocation that
// finds no room takes a new frame and requests a collection, which runs at
// the next safe point. In the GC-stress build every safe point collects.
//
// Roots: the root block, both stacks, the registered mark callbacks, and the
// RAII roots below, which C++ code uses for values it holds outside the
// stacks while Qel code may run.
#pragma once

#include <cstdint>

#include "values/cell.h"

namespace qel::collector {

// True when automatic collections are allowed (`recycle/on`, `recycle/off`).
extern bool active;
// Set by the allocator when a frame filled up; cleared by a collection.
extern bool requested;
// Number of completed collections.
extern uint64_t cycles;

#ifdef QEL_GC_STRESS
inline constexpr bool kStress = true;
#else
inline constexpr bool kStress = false;
#endif

// Runs one full collection now.
void collect();
// True while a collection runs.
bool collecting();

// The interpreter calls this between expressions.
inline void safe_point() {
  if ((requested && active) || kStress) collect();
}

// A mark callback marks the values a module holds outside series.
using MarkCallback = void (*)();
// At most 100 callbacks may be registered.
void add_mark_callback(MarkCallback cb);

// Marking helpers for mark callbacks (valid only during the mark phase).
void mark_cells(const Cell* first, const Cell* end);
void mark_cell(const Cell* c);
// Marks a series buffer (and, for cell series, its contents).
void mark_node(Node n);

// RAII root: keeps one cell alive (and, if it refers to series, their
// contents) across safe points. Roots nest strictly (stack discipline).
class Root {
 public:
  explicit Root(const Cell& c);
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

}  // namespace qel::collector
