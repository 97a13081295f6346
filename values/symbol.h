// The symbol table: every name of the language (word spellings, refinement
// and issue names, field names) interned once and then handled as a small
// integer, its symbol id (1-based; 0 is never a symbol).
//
// The table preserves case: each distinct spelling gets its own id. A
// spelling that differs only in ASCII letter case from one interned before
// records that earlier symbol as its alias, so that case-insensitive identity
// is one integer comparison after `resolve` (the canonical id is always the
// first-interned spelling). Letters outside ASCII are not folded.
//
// Symbols live in the symbol block (a block series held by the root block):
// cell n - 1 is the symbol! cell of id n:
//   data1 = alias: -1 when none, else the canonical id;
//   data2 = node of the string! form of the name, 0 until first needed;
//   data3 = node of a byte series holding the UTF-8 name followed by a NUL
//           (its tail stands at the NUL).
// Pointers to symbol cells stay valid until the next symbol is interned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/cell.h"

namespace qel {

using SymbolId = uint32_t;

namespace symbol {

// Start-up: makes the symbol block (in the root block) and its index.
void init();
// True once `init` ran.
bool ready();

// Exact interning of a UTF-8 name; invalid UTF-8 is interned as it is.
SymbolId make(std::string_view name);
inline SymbolId make_len(const char* bytes, size_t length) {
  return make(std::string_view(bytes, length));
}
// Interns the text of a string value from its head.
SymbolId make_from_string(const Cell* str);
// Case-insensitive lookup: the first-interned variant, or the name added
// with no alias.
SymbolId find_nocase(std::string_view name);

// The symbol! cell of an id (no string form made).
Cell* cell(SymbolId id);
// The symbol! cell with its string form made.
Cell* get(SymbolId id);
// Makes the string form of a symbol cell when it has none.
void ensure_cache(Cell* sym);
// The node of the string form (made when missing).
Node string_node(SymbolId id);

// The canonical id: the alias when there is one, else the id.
inline SymbolId resolve(SymbolId id);
// The alias word as stored (-1 or an id).
int32_t alias(SymbolId id);
// The UTF-8 name (valid until the next symbol is interned).
std::string_view name(SymbolId id);
// Number of symbols interned.
uint32_t count();

// symbol! compare: both symbols' names compared as strings.
int32_t compare(Cell* value1, Cell* value2, CompareOp op);
void register_();

// --- implementation detail of `resolve`
extern Node block_node;

}  // namespace symbol
}  // namespace qel

#include "memory/series.h"

namespace qel::symbol {
inline SymbolId resolve(SymbolId id) {
  const Cell* c = memory::series(block_node)->cells() + (id - 1);
  int32_t a = static_cast<int32_t>(c->data1);
  return a > 0 ? static_cast<SymbolId>(a) : id;
}
}  // namespace qel::symbol
