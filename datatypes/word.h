// word! and its subtypes set-word!, lit-word!, get-word! and refinement!.
//
// A word cell carries its symbol and its binding:
//   data1 = context node (0 when unbound), data2 = symbol id (the spelling),
//   data3 = index in that context (-1 when unresolved).
// The subtypes share the cell, the binding and most actions (they inherit
// them from word!); they differ in how they mold and in how the interpreter
// treats them. issue! uses the same layout (its module is separate).
//
// Words are returned by value (`load` answers a Cell): nothing holds the
// address of a cell in a growable series. A word made from text (`to word!`
// and its kin) must load back as itself: blanks around the text are
// dropped, and a text whose word would mold as another value ("/1" as
// word!, "=" as set-word!, a leading no-break space) raises `invalid-chars`.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/cell.h"
#include "values/symbol.h"

namespace qel {

// Writes a word cell of type t (no header flags).
inline Cell* set_word_cell(Cell* c, TypeId t, Node ctx, SymbolId sym, int32_t index) {
  *c = Cell{static_cast<uint32_t>(t), ctx, sym, static_cast<uint32_t>(index)};
  return c;
}

namespace word {

// --- making words

// Interns the name (exact) and answers its word bound in the global context;
// a case variant of an existing global word shares its value and keeps its
// own spelling.
Cell load(std::string_view name);
// While on (start-up), every word `load` makes is also kept in the root
// block.
void set_recording(bool on);
// True while start-up records (issue! makers obey the same switch).
bool recording_q();
// Writes a word! for the symbol, bound in the global context (added with an
// unset! value when missing), into the cell.
Cell* make_at_symbol(SymbolId sym, Cell* c);
// The same into a new argument-stack slot.
Cell* push_symbol(SymbolId sym);

// --- access by (context, index)

Cell* push_copy(const Cell* value);
// The word cell at that index of the context's word block.
Cell* word_at(Node ctx, int32_t index);
Cell* push_local(Node ctx, int32_t index);
// The value cell at that index (contexts with a values series).
Cell* get_in(Node ctx, int32_t index);
// Pushes a copy of the value at that index (from the stack for an on-stack
// context); script `not-defined` when the context has no values.
Cell* push_local_value(Node ctx, int32_t index);
// Stores the newest stack value at that index, first pushing a copy of the
// old value (object contexts mark the word assigned). No unset! check.
void assign_local(Node ctx, int32_t index);
// The same store without pushing anything.
void replace_local(Node ctx, int32_t index);

// --- get and set by word

// Pushes a copy of the word's value; script `no-value` for unset!.
Cell* get(const Cell* word);
// Frame slot 0 is the word, slot 1 the value: sets it (script `need-value`
// for unset!) and makes the value the frame's result.
Cell* set_from_stack();
// Assigns the newest stack value to the word (script `need-value` for
// unset!), then empties the current frame.
void set(Cell* word);
// Copies the newest stack value into a context field without an unset!
// check (object fields get the assigned mark), then empties the frame.
void set_in_context(Node ctx, int32_t index);

// --- names

// The word's symbol cell, with its string form made.
Cell* symbol_cell(const Cell* word);
// Pushes a string! sharing the symbol's string form (head 0).
Cell* push_name(const Cell* word);
// The spelling as UTF-8 (valid until the next symbol is interned).
std::string_view spelling(const Cell* word);
// The type of the value the lexer makes of the word's spelling (word!,
// set-word! ...), or TypeId::none_id when it does not scan as one value.
TypeId scan_type(const Cell* word);
// Scans UTF-8 text as one value; the lexer installs the real scanner.
// Answers the type of the single value the text holds, or none_id.
using ScanFn = TypeId (*)(std::string_view text);
extern ScanFn scan_hook;

// --- word! actions
Cell* make(Cell* proto, Cell* spec, TypeId type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
             int32_t limit, int32_t indent);
int32_t compare(Cell* value1, Cell* value2, CompareOp op);
void index_q();
void register_();

}  // namespace word

namespace set_word {
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
             int32_t limit, int32_t indent);
void register_();
}  // namespace set_word

namespace lit_word {
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
             int32_t limit, int32_t indent);
void register_();
}  // namespace lit_word

namespace get_word {
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
             int32_t limit, int32_t indent);
// Pushes a copy of the word with type get-word! (flags kept).
Cell* push(const Cell* word);
Cell* push_local(Node ctx, int32_t index);
// Pushes a copy of the word's value, unset! included.
Cell* get(const Cell* word);
void register_();
}  // namespace get_word

namespace refinement {
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
             int32_t limit, int32_t indent);
// Appends an unbound refinement! for the name to the root block and answers
// a copy of it.
Cell load(std::string_view name);
Cell* push(const Cell* word);
// Pushes the word at that index of the context as a refinement! (no flags).
Cell* push_local(Node ctx, int32_t index);
void register_();
}  // namespace refinement

}  // namespace qel
