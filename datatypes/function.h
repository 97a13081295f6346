// function! and routine!: functions with a spec, a body and a context of
// their own for arguments, refinements and locals.
//
// function! cell (type 24):
//   header flags: kNoTrace (spec attribute `no-trace`), kTrace (`trace`),
//     kLibrary (a function of the embedded library: the interpreter fires no
//     trace events in its body and keeps the user's expression as the
//     `near` of errors raised inside it);
//   data1 = the function's context node (kind function, values on the
//     argument stack while it runs; cell 1 of the context series holds a
//     copy of the function cell);
//   data2 = the spec block's node (head 0);
//   data3 = the node of the extras block, five cells:
//     0 the body (a deep copy of the block given to the maker, bound to the
//       context) or none;
//     1 the spec cache, built by the interpreter on the first call
//       (evaluator/interpreter.h), unset until then;
//     2 for a routine!: the integer! index of its C++ routine; else unset;
//     3 unset, or a copy of the function once an op! was made from it;
//     4 function!: integer! node of the object context the function is a
//       method of, or unset; routine!: integer! return type id (-1: none).
//
// routine! cell (type 29): as function!, with header bits 25-29 holding the
// number of word! arguments of its spec. A routine wraps a C++ routine from
// the routine table; routines exist only as values built by start-up (a
// script cannot make one: the library's `routine` raises internal
// `routines`).
#pragma once

#include <cstdint>
#include <vector>

#include "memory/series.h"
#include "core/cell.h"
#include "values/datatype.h"

namespace qel {

// Header flags of function! and routine! cells.
namespace function_flag {
inline constexpr uint32_t no_trace = 0x00000200;
inline constexpr uint32_t trace = 0x00000400;
inline constexpr uint32_t library = 0x00000800;
// routine!: called without converted arguments under a <body> frame.
inline constexpr uint32_t raw_routine = 0x00008000;
}  // namespace function_flag

namespace function {

// Cells of the extras block.
enum Extra : int32_t { kBody = 0, kCache = 1, kEntry = 2, kOp = 3, kObject = 4, kExtras = 5 };

// The extras cell i of a function! or routine! (re-read after anything that
// may allocate or evaluate).
inline Cell* extra(const Cell* fn, int32_t i) { return memory::series(fn->data3)->cells() + i; }

// Checks a spec block; answers the header flags its attribute block asks for
// (function_flag::no_trace, function_flag::trace). Raises script
// `bad-func-def` (with the spec), `invalid-type-spec` (with the item) or
// `dup-vars` (with the second occurrence).
uint32_t validate_spec(const Cell* spec);

// For the `function` native: adds to the spec, after `/local`, every word the
// body sets (set-words, the words of foreach, remove-each and repeat), except
// the words the spec lists after `/extern`; the `/extern` part is cut from
// the spec. Returns the block of collected words (on the stack).
Cell* collect_words(Cell* spec, const Cell* body);

// The number of call slots `/local` adds to a spec from cell `start`: 1 for
// the refinement plus one per word after it; 0 without /local (-1 when
// `require` is set).
int32_t count_locals(const Cell* spec, int32_t start, bool require);
// Pushes the n local slots of a call: a logic! false, then n - 1 none!.
void init_locals(int32_t n);

// Pushes a new function!: spec (copied when its head is not 0), a deep copy
// of the body (or none when `body` is null), a context made from the spec
// (unless one is given) to which the body copy is bound, the routine entry
// (or -1), the object context (or 0) and the header flags. Returns the
// pushed cell.
Cell* push(const Cell* spec, const Cell* body, Node context, Node object, uint32_t flags);

// Marks a function as part of the embedded library, with every block and
// paren of its body (deeply: series_flag::library). The interpreter fires no
// trace events in such blocks and leaves the position cell (an error's
// `near`) at the user's expression; blocks a user hands to library code are
// not marked and are traced as usual. When `contexts` is given, the object
// contexts that words of the newly marked blocks are bound to are appended
// to it (the library's helpers kept in unnamed contexts are found so).
void mark_library(Cell* fn, std::vector<Node>* contexts = nullptr);
// The same mark on every block and paren inside the block or paren `code`
// (a library function's body, or a parse rule a library helper keeps).
void mark_library_code(Node code, std::vector<Node>* contexts = nullptr);

// --- function! actions
Cell* make(Cell* proto, Cell* spec, TypeId type);
Cell* reflect(Cell* value, uint32_t field_symbol);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, CompareOp op);
void register_();

}  // namespace function

namespace routine {

// A C++ routine: its arguments are slots 0, 1 ... of the current frame, in
// the order of its spec's words; it leaves its result in slot 0.
using Entry = void (*)();

// Adds a C++ routine to the routine table, with the word that names it
// (for the frame of a call that reaches it otherwise than through a word
// holding it); returns its index.
int32_t add_entry(Entry fn, const char* name = nullptr);
// The name a routine was added with (null for none or an unknown index).
const char* entry_name(int32_t index);
// The routine of a table index (null for an unknown index).
Entry entry(int32_t index);

// Pushes a new routine! for a spec, a body (or null), a routine table index
// and a return type id (-1: the routine's slot 0 is the result as it is).
Cell* push(const Cell* spec, const Cell* body, int32_t entry, int32_t return_type);

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, CompareOp op);
void register_();

}  // namespace routine
}  // namespace qel
