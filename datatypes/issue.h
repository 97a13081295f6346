// issue!: a word-like value written with a leading "#" (#abc, #FF00). It has
// the word layout (context node, symbol id, index) and is interned like a
// word, so equal spellings share one symbol. Issues made here are bound to
// the global context with index -1 (never resolved). It registers with
// word! as parent, taking only `form` from it.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::issue {

// Writes an issue! for the interned UTF-8 name into the cell.
Cell* make_at(Cell* c, std::string_view name);
// Appends one to a block.
Cell* make_in(Node block, std::string_view name);
// Pushes one on the argument stack; while start-up records words
// (word::set_recording), appends it to the root block instead.
Cell* push(std::string_view name);
// Pushes a copy of a word value retyped as issue!.
Cell* push_word(const Cell* word);

// --- the type's actions (form is word!'s: the bare spelling)
Cell* make(Cell* proto, Cell* spec, TypeId type);  // also `to`
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// -2 unless the second value is an issue!; else as words compare.
int32_t compare(Cell* a, Cell* b, CompareOp op);

// Registers issue! (parent word!).
void register_();

}  // namespace qel::issue
