// hash!: a block whose cells are also indexed by a hash table (memory/
// hashtable.h, the hash kind), so that `find`, `select` and `put` locate a
// value without scanning. Everything else is block!'s: the module adds
// making, converting, the "make hash! " mold prefix, copying with the index,
// and keeping the index in step with the block.
//
// Cell layout: data1 = head index, data2 = node of the block buffer, data3 =
// node of the table (whose positions count from the buffer's first cell, not
// from the head).
//
// Keeping the index in step. The block routines tell the module of every
// change through two hooks (datatypes/block.h): `hash_append_resync` when cells
// were only appended at the tail, `hash_resync` after anything else. The
// index always covers a prefix of the block, positions 0 to
// hashtable::indexed_count - 1, with no stale entry: an append leaves the
// prefix as it is, any other change empties the index, and a lookup first
// indexes the cells past the prefix. So building a hash with `append` and
// looking values up costs amortised O(1) each, and a change in the middle
// costs one re-index (of the cells it moved anyway) at the next lookup.
//
// A lookup answers what a scan of the block would: the table serves the
// value types whose equality agrees with their hash (words, text, numbers
// without tolerance, characters ...); others (blocks, objects, dates,
// tuples ...), /match and positional /part are left to the scan. When many
// cells wait to be indexed, lookups scan until the scans since the last
// change cost about what indexing would, so a hash changed between lookups
// costs what a block does. A string changed in place inside a hash is not
// re-indexed (nothing tells the hash). Keys that compare equal hash alike:
// -0.0 and 0.0 (float!, percent!, time!, the points), tuples that differ
// only by trailing zeros, dates that stand for one instant (hashed by the
// instant to the second, whatever the zone). `make hash!` of a negative
// size raises `out-of-range`, as `make map!` does.
#pragma once

#include <cstdint>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::hash {

// Makes `cell` a hash! over the block buffer `block` at head `head`, with a
// new index for about `size` keys. Nothing is indexed until a lookup needs
// it.
Cell* make_over(Cell* cell, Node block, int32_t head, int32_t size);

// --- the hooks of datatypes/block.h
void resync(const Cell* series);
void appended(const Cell* series, int32_t count);
// The index find_index would answer for the value (-1: none), or
// block::kScanInstead when the table cannot serve this search.
int32_t find_index(Cell* series, Cell* value, const FindArgs& args);

// --- actions (the rest are block!'s and series!'s)
Cell* make(Cell* proto, Cell* spec, TypeId type);
Cell* to(Cell* proto, Cell* spec, TypeId type);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
Cell* sort(Cell* series, const SortArgs& args);
Cell* trim(Cell* series, const TrimArgs& args);

// Installs the value model's comparison and case folding in the hash table
// (shared by hash! and map!; safe to call again).
void install_table_hooks();

// Registers hash! (after block!) and installs the block hooks.
void register_();

}  // namespace qel::hash
