// native!, action! and op!: the built-in functions.
//
// native! (21) and action! (22) cells:
//   data1 = the index of the entry: the natives table index 1-120
//           (natives/natives.h) or the action id 1-62 (values/actions.h);
//   data2 = the spec block's node (the spec itself, read from head 0);
//   data3 = the node of a two-cell block: cell 0 a copy of the context cell
//           made from the spec (its data1 is the word block: the argument and
//           refinement words, in spec order), cell 1 the spec cache (unset
//           until the interpreter's first call builds it).
// op! (23) cell: a copy of the wrapped native!, action!, function! or
// routine! cell with type byte 23 and the wrapped type id in header bits
// 16-23; it shares the wrapped value's payload, so the spec cache too.
// `mold/only` of an op! made from a function writes the spec in brackets,
// as the function's own mold does (without them the text does not load).
#pragma once

#include <cstdint>

#include "memory/series.h"
#include "core/cell.h"
#include "values/actions.h"
#include "values/datatype.h"

namespace qel {

namespace native {

// Cells of the companion block of native! and action! values.
enum Companion : int32_t { kContext = 0, kCache = 1 };

inline Cell* companion(const Cell* fn, int32_t i) {
  return memory::series(fn->data3)->cells() + i;
}

// Writes a native! or action! (type t) for a spec block and an index into
// `out`.
Cell* make_value(Cell* out, TypeId t, const Cell* spec, int32_t index);

Cell* make(Cell* proto, Cell* spec, TypeId type);
// reflect, shared by the three types: spec, body (the entry's position, or
// an op's wrapped body).
Cell* reflect(Cell* value, uint32_t field_symbol);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, CompareOp op);
void register_();

}  // namespace native

namespace action {
Cell* make(Cell* proto, Cell* spec, TypeId type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
void register_();
}  // namespace action

namespace op {

// Header flag of an op! whose two arguments are plain evaluated words and
// whose spec has no refinement: the interpreter may evaluate its right
// operand before the call.
inline constexpr uint32_t kPlain = 0x00000100;

// The type an op! wraps (native!, action!, function! or routine!).
inline TypeId wrapped(const Cell* op) { return static_cast<TypeId>((op->header >> 16) & 0xFF); }
// The wrapped value: the op cell retyped (flags cleared).
inline Cell unwrap(const Cell* op) {
  Cell c = *op;
  c.header = static_cast<uint32_t>(wrapped(op));
  return c;
}
// True when a function's spec makes a fit operator: exactly two argument
// words, the first of them evaluated (not a lit-word or get-word), and no
// refinement but /local or /extern.
bool fit_spec(const Cell* spec);
// True when the spec's two arguments are plain words and it has no
// refinement at all.
bool plain_spec(const Cell* spec);

Cell* make(Cell* proto, Cell* spec, TypeId type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
void register_();

}  // namespace op

// The natives' table, which native! values index (data1), and the names and
// spec texts of the built-ins. natives/natives.cpp fills and defines them at
// start-up.
namespace natives {
using Entry = actions::EntryFn;

// The table's capacity: native! values may name indexes 1-120; 107 are used.
inline constexpr int32_t kTableSize = 120;
extern Entry table[kTableSize];
// The entry of a native index (1-based; make native! checks the range).
inline Entry entry(int32_t index) { return table[index - 1]; }

// The spec text of native index `index` and of action id `id` as start-up
// makes their values (null when there is none).
const char* spec_text(int32_t index);
const char* action_spec_text(int32_t id);
// The Qel name of native index `index` (t = native!) or action id `index`
// (t = action!), as start-up defines its word; null when there is none.
const char* builtin_name(TypeId t, int32_t index);

}  // namespace natives

}  // namespace qel
