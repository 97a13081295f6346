// map!: the dictionary. Key/value pairs are kept in insertion order as
// consecutive cells [key value] of a block, and the keys are indexed by a
// hash table of the map kind (memory/hashtable.h).
//
// Cell layout: data1 = head index (always 0), data2 = node of the block,
// data3 = node of the table. The table's size is the count of live entries.
//
// Removing a key leaves its pair in the block and in the index with the
// value cell's header set to 0: the entry is "removed", skipped by every
// operation, and revived in place when the key is set again. Setting a key
// to none keeps the entry.
//
// Keys are prepared as they enter: strings, files, urls, binaries, tags,
// emails and refs are copied (the map owns its keys), the word kinds are
// stored as set-words (keeping their binding), the scalar key types as they
// are; any other type cannot be a key. Lookups match without regard to case
// (strings and words), with /case strictly, or with /same by identity;
// without /case a live entry is preferred among keys equal but for case.
// Keys going out (`find`, `words-of`, `body-of`, the key word of `foreach`)
// are copies, so the index cannot be changed behind the map's back.
#pragma once

#include <cstdint>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::map {

// The count of live entries.
int32_t size(const Cell* map);
// Whether a value of the type may be a key.
bool valid_key(TypeId t);
// Converts a key in place as it enters a map (see above); any other type
// raises script `invalid-path` naming `path` (null: none) and the key's
// datatype.
void prepare_key(Cell* key, const Cell* path = nullptr);
// Makes `cell` a map over the key/value block `block` (null: a new block of
// `size` cells), indexing its pairs: every key is prepared, and a key that
// repeats an earlier one (strict-equal) gives that pair its value and
// leaves the block.
Cell* make_at(Cell* cell, const Cell* block, int32_t size);
// Pushes a copy of the map cell.
Cell* push(const Cell* map);

// Sets each pair of the block (even length, else script `invalid-arg`) in
// the map, matching keys strictly with `case_`.
Cell* extend(Cell* map, const Cell* block, bool case_);
// The entry point of the `extend` native: a map! gets the pairs of a
// block!, hash! or map!; an object! raises internal `not-done`.
void extend_native(const int32_t* refinements);

// One step of `foreach` over a map: the two words of `words` (two any-word
// kinds, else script `invalid-arg`) take the key and the value of the next
// live entry from the position `map_pos` (a set-word key as a word); past
// the last entry they get none. Advances the position and answers whether
// any word received a cell.
bool foreach_next(const Cell* words, Cell* map_pos, int32_t count);

// --- actions
Cell* make(Cell* proto, Cell* spec, TypeId type);
Cell* to(Cell* proto, Cell* spec, TypeId type);
Cell* reflect(Cell* value, uint32_t field_symbol);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step);
int32_t compare(Cell* value1, Cell* value2, CompareOp op);
Cell* clear(Cell* value);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
Cell* find(Cell* series, Cell* value, const FindArgs& args);
int32_t length_q(Cell* value);
Cell* put(Cell* series, Cell* key, Cell* value, bool case_);
Cell* remove(Cell* series, Cell* part, Cell* key);
Cell* select(Cell* series, Cell* value, const FindArgs& args);

// Registers map! (no parent), its literal maker and the key hook of the
// hash table.
void register_();

}  // namespace qel::map
