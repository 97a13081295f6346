// Contexts and binding: how words get their values.
//
// A context maps words to values. It is a block series of two cells,
// referred to by its node (the context node):
//   cell 0, the context cell: type context! (14); kind in header bits 11-12
//     (0 global, 1 function, 2 object); flag cell_flag::on_stack when its
//     values live on the argument stack; flag cell_flag::self_ctx when it
//     answers `self`.
//       data1 = node of the word table: a hash table of the symbol kind
//               (memory/hashtable.h) over the word block, which holds one
//               word! per word in order of addition (context = this context,
//               symbol = the spelling first added, index = its own position,
//               or the position of the case variant whose value it shares);
//       data2 = node of the values series (value i belongs to word i), or,
//               for an on-stack context, the argument-stack index of the
//               running call's slot 0 plus one (0 while it does not run);
//       data3 = 0.
//   cell 1, the owner: the value that owns the context (object!, function!
//     ...), written by the owner.
//
// A word cell is bound by storing the context node and the word's index, so
// reading or writing a bound word is an indexed access. Symbols are compared
// through their canonical id, so binding is case-insensitive and keeps each
// word's own spelling; the global context gives case variants one value
// slot. A word added to a running function's context has no cell in the
// frame: reading or setting it raises `not-defined` / `not-in-context`
// rather than touch another frame's cells, and an unbound word (context 0)
// raises `not-defined` when read or set.
#pragma once

#include <cstdint>

#include "memory/hashtable.h"
#include "core/cell.h"
#include "values/symbol.h"

namespace qel::context {

enum class Kind : uint32_t { global = 0, function = 1, object = 2 };
enum class Case : uint8_t { insensitive, sensitive };
enum class OnStack : uint8_t { no, yes };
enum class SelfRef : uint8_t { no, yes };

inline constexpr uint32_t kKindShift = 11;
inline constexpr uint32_t kKindMask = 0x3u << kKindShift;

// The global context (lives for the whole run) and the node of its values
// series (set with it and never replaced: the series grows in place), so
// that a global word's value is one indexed read through the node table.
extern Node global;
extern Node global_values;
// The global values' cells and their number, kept beside the node for the
// interpreter's word reads: refreshed whenever the series grows or moves
// (memory::watched) and after every collection.
extern Cell* global_cells;
extern uint32_t global_count;
void refresh_global_values();

// Start-up: creates the global context with room for 4,000 words. Needs the
// root block and the symbol table.
void init();

// --- the context series

inline Cell* context_cell(Node ctx) { return memory::series(ctx)->cells(); }
inline Cell* owner(Node ctx) { return memory::series(ctx)->cells() + 1; }
inline Kind kind(const Cell* ctx_cell) {
  return static_cast<Kind>((ctx_cell->header & kKindMask) >> kKindShift);
}
inline bool on_stack(const Cell* ctx_cell) { return ctx_cell->has_flag(cell_flag::on_stack); }
inline Node word_table(Node ctx) { return context_cell(ctx)->data1; }
inline Node words_node(Node ctx) {
  return static_cast<Node>(hashtable::record(word_table(ctx))->blk);
}
// Number of words.
uint32_t word_count(Node ctx);
// The word cell at an index of the word block.
Cell* word_cell(Node ctx, int32_t index);
// The first value cell (on the argument stack or in the values series), or
// null when the context has no values (a function that is not running).
Cell* values(Node ctx);

// --- making contexts

// A new context with room for `slots` words (0 counts as 1). With a source
// context, the word block is a copy of the source's (pointed at the new
// context). Unless on-stack, the values are `slots` unset! cells... for the
// words present (a copied word block gets as many unset! values).
Node create(uint32_t slots, OnStack on_stack, SelfRef self, Node source, Kind kind);
// A context from a spec block: every word!, lit-word!, get-word! and
// refinement! of the block from its head, in order, added case-insensitively.
Node make(const Cell* spec, OnStack on_stack, SelfRef self, Kind kind);
// A new context of `kind` with the same words (and flags) as the context of
// an object-like value (data1 = its context node); every word cell of the
// copy and the value's own context reference point at the new context.
// Values are not copied.
Node clone(Cell* value, Kind kind);

// --- words in a context

// Index of the symbol among the words, or -1.
int32_t find_word(Node ctx, SymbolId sym, Case c);
// Index of an existing word, or -1 after adding it (its index in *added).
int32_t find_or_add_index(Node ctx, SymbolId sym, Case c, int32_t* added);
// Finds or adds the word's symbol (case-insensitive); a new word in a
// context with a values series gets an unset! value. Returns its index.
int32_t add_word(Node ctx, const Cell* word);
// A new word gets a copy of the value; an existing word is left alone.
void add_word_value(Node ctx, const Cell* word, const Cell* value);
// Finds or adds the word, then stores a copy of the value in its slot.
void put_word_value(Node ctx, const Cell* word, const Cell* value);
// Adds every set-word! of the block (from its head); true when the number of
// words grew.
bool collect_set_words(Node ctx, const Cell* block);

// --- the global context

// A word for the symbol bound in the global context (added with an unset!
// value when missing). A new word whose symbol has an alias shares the value
// slot of its case variant. With Case::insensitive and keep-spelling, a word
// found under another spelling is returned with the requested symbol.
enum class KeepSpelling : uint8_t { no, yes };
Cell add_global_word(SymbolId sym, Case c, KeepSpelling keep);
// add_global_word(sym, Case::sensitive, KeepSpelling::yes).
Cell add_global_symbol(SymbolId sym);
// The context's word for the symbol (exact), else the global word for it
// (added when missing).
Cell resolve_word(Node ctx, SymbolId sym);
// The value of the symbol (case-insensitive) in the context, or in the
// global context when the context keeps its values on the stack. The symbol
// must be present.
Cell* lookup_value(SymbolId sym, Node ctx);

// --- get and set

// The value cell of a word in a context (script `not-in-context` when the
// context has no values; `no-value` for an unresolved word other than
// `self`, which answers the owner).
Cell* get_in(const Cell* word, Node ctx);
inline Cell* get(const Cell* word) { return get_in(word, word->context()); }
// Stores a copy of the value (adding the word when it is missing); object
// contexts mark the word assigned and, with `notify`, tell the owner. Script
// `not-defined` when the context has no values. Returns the value cell.
Cell* set_in(Cell* word, const Cell* value, Node ctx, bool notify);
inline Cell* set(Cell* word, const Cell* value) {
  return set_in(word, value, word->context(), true);
}

// Called by set_in on an object context whose owner has event information:
// the object module installs it (owner, word, old value, new value).
using FireOnSet = void (*)(Cell* owner, Cell* word, Cell* old_value, Cell* new_value);
extern FireOnSet fire_on_set;
// True when the owner of an object context wants change notices (the
// object module installs it; null means never).
using WantsNotice = bool (*)(const Cell* owner);
extern WantsNotice wants_notice;

// --- binding

// Binds the word when the context holds its symbol (case-insensitive);
// returns the index or -1 (the word keeps its binding then).
int32_t bind_word(Node ctx, Cell* word);
// Binds every word of the block to the context, nested blocks, parens, paths
// and hashes included (each series walked once, block::walk_lists). Each
// symbol is looked up once per walk (a memo), which keeps start-up's binding
// of the library cheap. With `self`, a word! spelled `self` is bound with
// index -1 (reading it answers the owner).
Cell* bind(Cell* block, Node ctx, SelfRef self);

// context! is internal: every action is unsupported.
void register_();

// The symbol of `self` (cached at init).
extern SymbolId self_symbol;

}  // namespace qel::context
