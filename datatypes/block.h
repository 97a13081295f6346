// block!: the list of values. A block value is a position (head index, in
// cells) in a series buffer of 16-byte cells; the runtime's programs, data,
// specs, bodies and stacks are all blocks.
//
// This header holds the cell-level routines through which the whole runtime
// builds and walks blocks (the `rs_*` family, construction, single-cell
// insertion and removal, cloning), and the block! action functions that the
// datatype registry puts in the block! row. paren!, the path family and
// hash! share the storage and most of the actions.
//
// The rs routines take the block by address, do no type checks and raise no
// errors: they are the inner loops of the interpreter. Raw cell pointers they
// return stay valid until the block grows or Qel code runs (see
// docs/CONVENTIONS.md, GC safety).
//
// The actions are in block.cpp (storage), block_actions.cpp (make, form,
// mold, compare, copy) and block_modify.cpp (find, sort, append, change
// and the set operations). Rules they keep:
// - `append`, `insert` and `change` copy a source that shares the target's
//   buffer before they move anything; `insert` answers the series just past
//   what it inserted. `take` always puts what it takes into a fresh buffer;
//   at the tail, `take/part` with a count of 0 or less takes the values
//   before it (as `copy/part` does); `take/deep` copies before it removes,
//   so a value that holds itself raises `no-cycle` with the series unchanged.
// - Deep copies and clones record the blocks they are inside on the cycle
//   guard (`no-cycle` for a block inside itself, `too-deep` past the guard);
//   mold and form write the guard's marker instead. Comparing blocks, maps
//   and objects records each pair of values compared as one guard entry,
//   and a pair met again inside its own comparison counts as equal.
// - A block or path used as a key (`put`, `remove/key`, a path step
//   `b/([1 2])` read or set) is found as one value, as `find/only` finds it.
// - A comparator given to `sort/compare` is called with b first and a
//   second (a first under /reverse); its answer reads alike for blocks and
//   strings: true is 1, false -1, an integer negated, a float above 0.0 -1
//   and below 0.0 1, none -1, anything else 1 (so `a - b` sorts like
//   `a < b`). It sorts an index array over a snapshot of the records and
//   writes the result back only while the series still holds the range.
// - hash! keeps its index in step through the hooks `hash_resync` and
//   `hash_appended`, and `find_index` asks it first (`hash_find_index`).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "memory/series.h"
#include "core/cell.h"
#include "values/datatype.h"

namespace qel::block {

// --- Raw access --------------------------------------------------------

inline SeriesBuffer* buffer(const Cell* blk) { return memory::series(blk->node()); }
// Cells of the whole buffer, from its first used cell to the tail.
inline int32_t total_cells(const Cell* blk) {
  const SeriesBuffer* s = buffer(blk);
  return static_cast<int32_t>((s->tail - s->offset) >> 4);
}
// First used cell of the buffer (index 0, whatever the head).
inline Cell* first_cell(const Cell* blk) { return buffer(blk)->cells(); }

// hash! keeps an index over its cells. The hash! module installs these
// hooks; every routine here that changes a hash! series calls one of them
// afterwards so the index can follow: hash_appended when it only appended
// `count` cells at the tail, hash_changed after any other change.
extern void (*hash_resync)(const Cell* series);
extern void (*hash_append_resync)(const Cell* series, int32_t count);
inline void hash_changed(const Cell* series) {
  if (hash_resync) hash_resync(series);
}
inline void hash_appended(const Cell* series, int32_t count) {
  if (hash_append_resync)
    hash_append_resync(series, count);
  else
    hash_changed(series);
}
// find_index asks the hash! module first; it answers the index, or
// kScanInstead when its table cannot serve the search.
inline constexpr int32_t kScanInstead = -2;

// --- The rs routines ----------------------------------------------------

// Cells from the head to the tail; negative when the head lies past the tail.
inline int32_t rs_length_q(const Cell* blk) { return total_cells(blk) - blk->head(); }
// Moves the head one cell on unless it is at the tail; answers whether the
// head then stands at the tail.
bool rs_next(Cell* blk);
// The head cell; a head past the tail is first clamped to the tail.
Cell* rs_head(Cell* blk);
// The tail address.
inline Cell* rs_tail(const Cell* blk) { return buffer(blk)->cell_tail(); }
// True when the head stands exactly at the tail.
inline bool rs_tail_q(const Cell* blk) { return rs_length_q(blk) == 0; }
// Cell i counted from the buffer's first cell, without a bound check.
inline Cell* rs_abs_at(const Cell* blk, int32_t i) { return first_cell(blk) + i; }
// Cuts the block at its head.
void rs_clear(Cell* blk);
// Cuts the block after cell i - 1 of the buffer (tail := cell i).
void rs_clear_from(Cell* blk, int32_t i);
// Appends a copy of the value and returns the new cell. The value may lie
// inside the same block.
Cell* rs_append(Cell* blk, const Cell* value);
// Appends copies of the source's cells from its head; returns the target.
Cell* append_cells(Cell* target, const Cell* source);

enum class Advance : bool { no, yes };
enum class InsertAt : bool { head, start };
// Inserts one cell at the head (or at the buffer's first cell with
// InsertAt::start), moving the following cells up; with Advance::yes the
// head then moves past it. Returns the block.
Cell* insert_value(Cell* blk, const Cell* value, Advance advance, InsertAt at);
// Inserts the source's cells at the target's head, keeping their order, and
// leaves the target's head after them. Returns the target.
Cell* insert_cells(Cell* target, const Cell* source);

// Stack forms used by the interpreter and compiled code: insert (advancing
// the head) or append the value in frame slot 0 into the block in the cell
// just below it; append_arg appends frame slot 1 to the block in slot 0 and
// answers the block.
void insert_top();
void append_top();
Cell* append_arg();

// The cell after the first cell (from the head) equal to the value under
// find equality, or the shared none cell.
const Cell* select_value(Cell* blk, const Cell* value);
enum class From : bool { head, start };
// Removes the first cell equal to the value (scanning from the head, or
// from the buffer's first cell). Answers whether the removed cell lay at or
// before the head, i.e. whether the caller's head shifted.
bool remove_value(Cell* blk, const Cell* value, From from);
enum class Case : bool { insensitive, sensitive };
// The cell after the first word cell (any word kind) with the word's
// symbol, or the shared none cell (also when the match is the last cell).
const Cell* select_word(Cell* blk, const Cell* word, Case c);

// --- Construction -------------------------------------------------------

// Makes an empty block! in the cell with room for n cells (n < 1 counts
// as 1). Returns the cell.
Cell* make_at(Cell* cell, int32_t n);
enum class Fixed : bool { no, yes };
// As make_at; a fixed buffer lives outside the collected frames.
Cell* make_at_fixed(Cell* cell, int32_t n, Fixed fixed);
// A new block in a new cell at the tail of the parent block, or of the root
// block when the parent is null (which keeps it alive for the whole run).
// Returns the new block's cell, which lives inside the parent: re-read it
// after the parent grows.
Cell* make_in(Cell* parent, int32_t n);
Cell* make_fixed_in(Cell* parent, int32_t n);

enum class Deep : bool { no, yes };
enum class AnyBlock : bool { no, yes };
// Writes into `result` a copy of the block's cells from its head (clamped),
// typed as the source. Deep copies nested block! values (and, with
// AnyBlock::yes, paren! and path values) recursively; a block that holds
// itself raises internal no-cycle instead of recursing. `result` may be the
// source cell itself.
void clone_into(const Cell* blk, Cell* result, Deep deep, AnyBlock any);

// Replaces the values matching `types` (a datatype! or typeset!; null: every
// series value) in the cells [first, end), step cells at a time, by their
// copies through the copy action (deep when asked). A typeset's bit for type
// t is bit 7 - (t & 7) of byte t >> 3 of its 96-bit array.
void deep_copy_cells(Node node, int32_t first, int32_t end, int32_t step, Deep deep,
                     const Cell* types);

// True when a value of this type is copied by a deep copy (the series
// types, bitset!, object!, error!, map!).
bool copies_deep(TypeId t);
// The series types: any-block, any-string, binary!, vector!, image!.
bool is_series_type(TypeId t);

// Pushes a copy of the block value on the argument stack.
Cell* push(const Cell* blk);
// Pushes a new empty block! with room for n cells (0 counts as 1).
Cell* push_only(int32_t n);

// --- Conversion hooks ------------------------------------------------------
// Filled by the modules that own these types; a null hook makes the
// conversion fail with bad-make-arg.

// Writes a block of the vector's elements into `result`.
extern void (*vector_to_block)(const Cell* vector, Cell* result);
// Writes a block of the typeset's datatypes into `result`.
extern void (*typeset_to_block)(const Cell* typeset, Cell* result);

// --- Sorting with a function -----------------------------------------------
// Calls the comparator `fn` with two arguments (in this order) inside a frame
// named <compare-callback> and answers the function's result cell. The
// interpreter installs it; until then sorting with a function raises
// internal not-done.
using CompareCallFn = Cell* (*)(Cell* fn, Cell* first, Cell* second);
extern CompareCallFn call_compare_function;

// --- block! actions (values/datatype.h gives the conventions) -------------

Cell* make(Cell* proto, Cell* spec, TypeId type);
Cell* to(Cell* proto, Cell* spec, TypeId type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// The cells of a molded block without its brackets: a blank between values,
// or a line break and four blanks per indent level before a value that
// carries the new-line marker. paren! and the path types use it too.
int32_t mold_each(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
                  int32_t limit, int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step);
int32_t compare(Cell* value1, Cell* value2, CompareOp op);
// Element-wise comparison of two blocks of comparable types.
int32_t compare_each(Cell* b1, Cell* b2, CompareOp op);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
Cell* take(Cell* series, Cell* part, bool deep, bool last);
Cell* swap(Cell* series1, Cell* series2);
Cell* trim(Cell* series, const TrimArgs& args);

Cell* find(Cell* series, Cell* value, const FindArgs& args);
Cell* select(Cell* series, Cell* value, const FindArgs& args);
Cell* put(Cell* series, Cell* key, Cell* value, bool case_);
Cell* sort(Cell* series, const SortArgs& args);
// append (at_tail) and insert: the series at its head for append, just past
// the inserted values for insert.
Cell* append(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool at_tail);
// The series just past the change.
Cell* change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);

// The index (from the buffer's first cell) where `find` with these
// arguments matches, or -1. Nothing is pushed.
int32_t find_index(Cell* series, Cell* value, const FindArgs& args);
// The hash! module's lookup, which find_index tries first on a hash!.
extern int32_t (*hash_find_index)(Cell* series, Cell* value, const FindArgs& args);

// unique, union, intersect, exclude, difference (MathOp 8-12) on frame
// slots 0 and 1; answers the argument cell that holds the result.
Cell* do_set_op(bool case_, Cell* skip, MathOp op);

// Orders two records of cells for sort: `flags` bit 0 reverses, bit 1
// compares whole records of flags >> 2 cells, else the cell at offset
// flags >> 2. Incomparable types order by type id.
int32_t sort_compare(const Cell* a, const Cell* b, CompareOp op, uint32_t flags);

// Registers the block! row (after series!).
void register_();

// --- Walking nested lists -------------------------------------------------

// The work areas of walk_lists, kept from one walk to the next so that a
// walk allocates nothing once they have grown (binding runs for every
// function made). walk_lists_done gives back what a large walk took for
// its stack and table; a large answer is given back when the next walk
// starts.
// Buffer -> entry of a walk that meets many lists: open addressing over a
// power-of-two table (node 0, which no buffer has, marks a free slot), so
// that an entry costs no allocation.
class NodeIndex {
 public:
  bool empty() const { return count_ == 0; }
  size_t size() const { return count_; }
  size_t capacity() const { return slots_.size(); }
  void clear() {
    if (count_) std::fill(slots_.begin(), slots_.end(), Slot{});
    count_ = 0;
  }
  // Gives the table back (a large one, after the walk that needed it).
  void release() {
    std::vector<Slot>().swap(slots_);
    count_ = 0;
  }
  // The entry of a buffer, or -1.
  int64_t find(Node n) const {
    if (slots_.empty()) return -1;
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash(n) & mask;; i = (i + 1) & mask) {
      if (slots_[i].node == n) return slots_[i].entry;
      if (!slots_[i].node) return -1;
    }
  }
  // Notes a buffer's entry (a buffer not noted yet).
  void emplace(Node n, size_t entry) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    put(n, static_cast<uint32_t>(entry));
    count_++;
  }

 private:
  struct Slot {
    Node node = 0;
    uint32_t entry = 0;
  };
  static size_t hash(Node n) { return static_cast<size_t>(n) * 0x9E3779B97F4A7C15ull >> 16; }
  void put(Node n, uint32_t entry) {
    const size_t mask = slots_.size() - 1;
    size_t i = hash(n) & mask;
    while (slots_[i].node) i = (i + 1) & mask;
    slots_[i] = {n, entry};
  }
  void grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? 256 : old.size() * 2, Slot{});
    for (const Slot& s : old)
      if (s.node) put(s.node, s.entry);
  }
  std::vector<Slot> slots_;
  size_t count_ = 0;
};

struct ListWalk {
  std::vector<Cell> lists;  // the answer: one per buffer met
  NodeIndex index;          // buffer -> entry, once there are many
  std::vector<Cell> todo;   // lists still to walk
};
extern ListWalk list_walk;
void walk_lists_start();
void walk_lists_done();

// Walks `root` and every list reachable from it (any-block! values, nested),
// each cell of each buffer once: `visit(cell)` is called for every cell
// walked, before a list it holds is followed (it may change the cell, say
// rebind a word, but not the block, and must not walk lists itself). A
// buffer reached again from an earlier position is walked from there up to
// where its earlier walk began; from the same position or a later one it is
// not walked again. An explicit stack and a note of the buffers met make a
// structure nested a million deep, holding itself or sharing its lists cost
// time in proportion to its cells. Answers the lists, one per buffer in the
// order met, each at the first position walked (valid until the next walk).
// Nothing here evaluates or allocates series.
template <class Visit>
const std::vector<Cell>& walk_lists(const Cell& root, Visit&& visit) {
  // The buffers met are looked up in the answer itself while they are few
  // (most bodies and specs hold a handful of lists), then through the table.
  constexpr size_t kScanned = 16;
  ListWalk& w = list_walk;
  walk_lists_start();
  if (!w.index.empty()) w.index.clear();
  w.todo.clear();
  w.todo.push_back(root);
  while (!w.todo.empty()) {
    Cell list = w.todo.back();
    w.todo.pop_back();
    if (!list.node()) continue;
    const int32_t total = total_cells(&list);
    const int32_t from = std::clamp(list.head(), 0, total);
    int32_t to = total;
    size_t at = w.lists.size();
    if (w.lists.size() <= kScanned) {
      for (size_t i = 0; i < w.lists.size(); i++)
        if (w.lists[i].node() == list.node()) at = i;
    } else {
      if (w.index.empty())
        for (size_t i = 0; i < w.lists.size(); i++) w.index.emplace(w.lists[i].node(), i);
      if (const int64_t e = w.index.find(list.node()); e >= 0) at = static_cast<size_t>(e);
    }
    if (at == w.lists.size()) {
      list.set_head(from);
      w.lists.push_back(list);
      if (!w.index.empty()) w.index.emplace(list.node(), at);
    } else {
      if (from >= w.lists[at].head()) continue;
      to = w.lists[at].head();
      w.lists[at].set_head(from);
    }
    Cell* cells = first_cell(&list);
    for (int32_t i = from; i < to; i++) {
      visit(cells + i);
      if (is_any_block(cells[i].type())) w.todo.push_back(cells[i]);
    }
  }
  walk_lists_done();
  return w.lists;
}

}  // namespace qel::block
