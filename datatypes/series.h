// series!: the abstract parent of every type whose value is a position in a
// buffer of items (any-block, any-string, binary!, vector!, image!). No value
// has this type; its action row carries the 21 actions that work on any unit
// size, and the child types inherit them.
//
// A series cell holds the head index (0-based, in units, from the buffer's
// first used unit), the buffer's node and a type-specific extra word. The
// head may lie past the tail after the buffer was shortened through another
// value; the routines below clamp it where they say so.
//
// Every modifier of every series type tells the series' owner before and
// after the change (values/ownership.h) and re-reads heads, lengths and
// buffers after a notice that reached an owner; `move` between two series
// tells the target's owner of the move and the origin's owner of a
// removal. `find` stays on one side of the head for blocks, hashes and
// strings: /reverse searches the values before it, /last and the forward
// search those from it. For blocks and hashes /reverse/part counts back from
// the head (from the tail it searches the last values); for strings the
// /part count is first clamped to the characters from the head, so
// /reverse/part from the tail finds nothing. `sort/stable`
// always sorts with the merge sort (text/sort.h), with /case too, and
// `sort/part` with a negative count sorts the values before the head; every
// type's sort reads its refinements through `sort_begin`, so they all check
// them alike and tell an owner the same counts.
//
// Not to be confused with memory/series.h, which holds the buffers.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "memory/series.h"
#include "core/cell.h"
#include "values/datatype.h"

namespace qel::series {

// --- Raw position routines (no error checks) ----------------------------

inline SeriesBuffer* buffer(const Cell* s) { return memory::series(s->node()); }
// log2 of the unit (1, 2, 4, 8 or 16 bytes).
inline uint32_t unit_shift(const SeriesBuffer* b) {
  return static_cast<uint32_t>(std::countr_zero(b->unit()));
}
// Items in the whole buffer.
inline int32_t get_length(const Cell* s) {
  const SeriesBuffer* b = buffer(s);
  return static_cast<int32_t>((b->tail - b->offset) >> unit_shift(b));
}
// True when the head stands at or past the tail.
inline bool rs_tail_q(const Cell* s) { return s->head() >= get_length(s); }
// Moves the head by n when that does not pass the tail; answers whether the
// move reached or would have passed the tail.
bool rs_skip(Cell* s, int32_t n);
// The items from the head (or, whole, from the first item) to the tail. A
// head past the tail is moved to the tail, giving 0.
enum class Whole : bool { no, yes };
int32_t get_rest_length(Cell* s, Whole whole);
// The new head for `at` (adjust 1) or `skip` (adjust 0) of `s` by `index`;
// a non-integer index raises invalid-arg.
int32_t clip_position(const Cell* s, const Cell* index, int32_t adjust);

// --- Helpers shared with the series types --------------------------------

// The count a /part argument gives, relative to the series' head: an
// integer! as it is, or the distance to a position in the same buffer of a
// value of the same type. Anything else raises invalid-refine-arg with /part.
int32_t part_count(const Cell* s, const Cell* part);
// Raises invalid-refine-arg with the refinement named `name` and the value.
[[noreturn]] void fire_invalid_refine(const char* name, const Cell* value);

// Hooks filled by the modules that own these types. `get` writes the item
// at `item` of the vector `v` into `out` as a value of the vector's element
// type; `set` stores `value` there, raising invalid-arg for a value of
// another type. `sort` sorts `records` records of `record_bytes` bytes at
// `base` by the element order (string! sort's flags: bit 0 reverse, bit 1
// whole records of the size in bits 2 and up, else the element at the
// offset in bits 2 and up).
struct VectorHooks {
  void (*get)(const Cell* v, const uint8_t* item, Cell* out) = nullptr;
  void (*set)(const Cell* v, uint8_t* item, const Cell* value) = nullptr;
  void (*sort)(const Cell* v, uint8_t* base, size_t records, size_t record_bytes, uint32_t flags,
               bool stable) = nullptr;
};
extern VectorHooks vector_hooks;
// The hash that seeds the generator for `random/seed` (the hash table module
// installs its own; until then a plain byte hash).
extern uint32_t (*seed_hash)(const uint8_t* bytes, uint32_t length);

// --- Actions (the series! row) ---------------------------------------------
// The navigation actions take nothing: they read frame slots 0 and 1 and
// leave the result in slot 0. The others follow values/datatype.h.

void at();
void skip();
void back();
void next();
void head();
void tail();
void head_q();
void tail_q();
void index_q();
int32_t length_q(Cell* s);

// The item at index i (1-based from the head, negative counts back, 0 and
// out of range give none): an any-block's own cell, or the item as a value
// pushed on the argument stack.
Cell* pick(Cell* s, int32_t i, Cell* index_cell);
// Stores `value` at index i; raises out-of-range for a missing item and
// invalid-arg for a value the series cannot hold. Returns the value.
Cell* poke(Cell* s, int32_t i, Cell* value, Cell* index_cell);
// Cuts the series at its head.
Cell* clear(Cell* s);
// Removes 1 item, or the /part count; with /key the key's item and the one
// after it. Answers the series, or none.
Cell* remove(Cell* s, Cell* part, Cell* key);
// Reverses the items from the head (or the /part count), in records of the
// /skip size.
Cell* reverse(Cell* s, Cell* part, Cell* skip_size);
// Takes items out into a new series of the same type pushed on the argument
// stack, or answers none (written into `s`). Past the tail (the series shrank
// under the value) it takes nothing and answers none, whatever the /part.
Cell* take(Cell* s, Cell* part, bool deep, bool last);
// The items `take` with this /part (or none) and /last would remove: their
// first index in the buffer and their count; false when it removes none.
// Raises what take raises for a bad /part.
bool take_span(const Cell* s, const Cell* part, bool last, int32_t* from, int32_t* count);
// A shallow copy of the items from the head (or the /part range) written to
// `result`, which may be `s` itself. /deep and /types are the child types'.
Cell* copy(Cell* s, Cell* result, Cell* part, bool deep, Cell* types);
// Moves items from the origin's head to the target's head; answers the
// target (the origin when the run does not fit before the tail).
Cell* move(Cell* origin, Cell* target, Cell* part);
// Shuffles in place, picks one item (/only), or reseeds (/seed: unset).
Cell* random(Cell* s, bool seed, bool secure, bool only);
// The owner object (field `owned`) or none; other fields raise internal
// not-done.
Cell* reflect(Cell* s, uint32_t field_symbol);
// Sets or removes the owner link (field `owned`). Returns the value.
Cell* modify(Cell* s, Cell* field, Cell* value, bool case_);

// Registers the series! row.
void register_();

// The answer of a sort/compare function (logic!, a number, none or any
// other value) read as the ordering of its two arguments that the sorts of
// blocks and strings take.
int32_t map_compare_result(const Cell* r);

// What a sort does, read once from its refinements for every series type
// (blocks, hashes, strings and the other texts, binaries, vectors).
// `flags` is the comparators' word: bit 0 /reverse; bit 1 whole records of
// `size` values (/all) compared value by value; otherwise bits 2 and up hold
// the offset in a record of the value compared (/compare with an integer).
struct SortPlan {
  int32_t n = 0;              // values sorted, from the head
  int32_t size = 1;           // values per record (/skip)
  uint32_t flags = 0;
  Cell* function = nullptr;   // /compare with a function
  bool owned = false;         // the owner was told "sort" (tell it "sorted")
};

// Checks the refinements and plans the sort of the `n` values from the
// head (a negative n, a head past the tail, sorts nothing):
// - /part (an integer!, or a position in the same series, else
//   invalid-refine-arg): a smaller count replaces n; a negative one sorts
//   that many values before the head and moves the head back to them, or to
//   the first value when they would pass it, sorting nothing;
// - /skip must be an integer from 1 to n that divides n (else
//   invalid-refine-arg); /all needs /skip (else bad-refines);
// - /compare is a function, or an integer from 1 to the record size (else
//   out-of-range) that needs /skip and refuses /all (else bad-refines);
//   anything else is invalid-refine-arg.
// Then the owner hears "sort" at the head with the count n, and the count
// is cut to what its handler left (whole records). Answers false when there
// is nothing to sort (the owner was not told).
bool sort_begin(Cell* s, const SortArgs& args, int32_t n, SortPlan* plan);
// After the sort: the owner hears "sorted" with the count sorted.
void sort_end(Cell* s, const SortPlan& plan);

}  // namespace qel::series
