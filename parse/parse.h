// The parse dialect engine: matches a series (any block, any string or
// binary!) against a block of grammar rules.
//
// The engine is one loop over an explicit state, with explicit stacks in
// place of machine recursion, so that a deep grammar is limited by the
// stacks' size (kStackLimit cells, then script `parse-stack`), never by the
// machine stack:
//   - the rules stack: for each sub-block entered, the place to return to
//     (a triple! of the rules offset, the input index and the remaining
//     input length at entry) and the rules block left; for each rule that
//     takes a sub-rule (`any`, `copy`, `into` ...), three cells: the
//     repetition bounds as a triple! (min, max, iteration) or the target
//     word, a triple! of the sub-rule's offset, the input index and the
//     remaining length at the start of the current try, and a pair! of the
//     rule's kind code and a flag;
//   - the series stack: the outer input of every `into` level;
//   - the collect stack: the target series of every open `collect` (where
//     `keep` puts values) and its mode.
// The stacks are module state made at start-up; each `parse` call works
// above the depth it found and pops back to it on every way out (results,
// errors, exits), so a `parse` run from a paren or a trace callback nests.
//
// Parens in the rules are evaluated by the interpreter: everything the
// engine keeps across them is in cells the collector sees (its registers on
// the argument stack, the stacks), and positions are re-read and clamped
// afterwards, since the paren may have changed the input or the rules.
// So the loop is a safe point before each rule value: rules that make values
// in a long run without parens give their garbage back.
//
// Fast paths (skipped while tracing, so a trace sees every step): a
// repetition of `skip`, a character, a bitset, a text or binary literal, or
// (block input) a literal value, datatype or typeset counts its matches in
// one loop; `to` and `thru` search a literal with the series search.
// Choices the engine makes: `reject` fails the nearest enclosing loop as a
// whole, or the block when there is none; `collect into` inserts at the
// word's position and leaves the word there, `collect after` leaves it
// after the values; `insert` at a position word keeps the input on the same
// data; the /part limit follows insertions and removals before it, and a
// /part count of 0 or less runs no rule; the callback's `stack` is a copy
// of this call's entries, taken before an entry is popped. A loop iteration
// that leaves the index and only lengthens the input made no progress (the
// loop ends), as one that leaves both as they were.
#pragma once

#include <cstdint>

#include "core/cell.h"

namespace qel::parse {

// The size at which either stack refuses another push (script `parse-stack`).
inline constexpr uint32_t kStackLimit = 10000;

// Kind codes of the rule entries on the rules stack (a positive code would
// be a datatype id; this engine keeps `into` under its own code).
enum class Kind : int32_t {
  repeat = -1,
  to = -2,
  thru = -3,
  copy = -4,
  set = -5,
  not_ = -6,
  into = -7,
  remove = -9,
  while_ = -11,
  collect = -12,
  keep = -13,
  keep_paren = -14,
  ahead = -16,
  change = -17,
  change_only = -18,
  case_ = -19,
};

// Runs the rules over the input (at its head; the head is clamped to the
// tail). `mode` is 0 (case-insensitive) or 2 (case-sensitive, /case);
// `limit` an input index where matching stops (/part) or -1; `callback` a
// function! receiving the trace events, or null. The result written into
// `result` (a cell the collector sees) is a logic! (the rules matched and
// the input reached its end or the limit) or, when a top-level `collect`
// ended, the collected block!. When a break, continue, return or exit is
// pending afterwards (from a paren or the callback), the caller must return
// at once; `result` is then unspecified.
void process(Cell* result, const Cell* input, const Cell* rules, int32_t mode, int32_t limit,
             const Cell* callback);

// Start-up: makes the three stacks and the keyword table (runtime step).
void init();

// The cells the stacks hold now (for tests).
uint32_t rules_depth();
uint32_t series_depth();
uint32_t collect_depth();

}  // namespace qel::parse
