// The hash table: one open-addressing design for every keyed lookup of the
// runtime, in five kinds:
//   hash      the index of a hash! value over every cell of its block;
//   map       the key index of a map! value over the key cells of its
//             key/value block;
//   symbol    the symbol table (over the symbol block) and the word table of
//             every context (over its word block);
//   integer   32-bit keys, each with an entry of value cells the table owns;
//   ownership as integer, for the ownership registry, whose keys and values
//             the collector treats as weak (see `sweep`).
//
// A table is a 44-byte record series (Record) reached through its node;
// every array it uses is a series too, so tables move with compaction and
// die with their owner. Buckets are a power of two, at most 77% occupied,
// in one array of 8-byte buckets: a tag (empty, deleted, or the key's hash
// bits) beside a 32-bit key slot that holds a cell position in the backing
// block (kinds hash, map, symbol) or an entry's byte offset (integer kinds).
// A probe reads that one array and looks at a key's cell only when the hash
// bits agree, so a large table costs about one cache miss a lookup; and a
// table grows by moving buckets by their hash bits, reading no key. Probing
// is triangular: i, i+1, i+3, i+6 ... (mask), which visits every bucket of a
// power-of-two table.
//
// Equal keys of a hash! share one bucket: its slot then holds -k, naming the
// k-th chain (a series of cell positions) of the `chains` list.
//
// Pointers returned into the backing block are raw (see memory/series.h):
// valid until the next safe point or until that block grows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/cell.h"

namespace qel::hashtable {

enum class Kind : int32_t { hash = 0, map = 1, symbol = 2, integer = 3, ownership = 4 };

// The record: eleven signed 32-bit fields in this order.
struct Record {
  int32_t size;         // live keys
  int32_t indexes;      // hash: node of the position -> bucket+1 array; integer kinds: entry size in bytes
  int32_t chains;       // hash: node of the list of chain nodes (0 = freed item)
  int32_t spare;        // 0 (not used)
  int32_t keys;         // node of the buckets: a 32-bit tag and a 32-bit key slot each
  int32_t blk;          // node of the backing block, or of the entry series (integer kinds)
  int32_t n_occupied;   // buckets not empty (live or deleted)
  int32_t n_buckets;    // a power of two, at least 4
  int32_t upper_bound;  // n_occupied at which the table grows or is cleaned
  int32_t kind;         // Kind
  int32_t node_stamp;   // 1 once a key whose hash depends on a node was stored, else 0
};
static_assert(sizeof(Record) == 44, "a table record is 44 bytes");

// The record of a table.
Record* record(Node table);

// --- what the value model supplies -----------------------------------------
// Until the value model sets them, these defaults work on their own: equality
// by content for strings, binaries and words, by payload for the rest; ASCII
// case folding; symbols that are their own canonical ids.

// True when `stored` and `key` are equal under the comparison operator (the
// `compare` action). Lookups call it only for cells of the same type (or for
// a key of type id 56, see hash_value).
using CompareFn = bool (*)(const Cell* stored, const Cell* key, CompareOp op);
extern CompareFn compare;
bool default_compare(const Cell* stored, const Cell* key, CompareOp op);

// The upper-case fold of a code point used for case-insensitive hashing and
// for the default comparison.
using FoldFn = uint32_t (*)(uint32_t code_point);
extern FoldFn fold_case;

// The canonical id of a symbol (its alias when it has one, else itself).
using ResolveFn = uint32_t (*)(uint32_t symbol);
extern ResolveFn resolve_symbol;
// The canonical id of `symbol` read from a symbol table (symbol kind).
uint32_t resolve_in(Node symbol_table, uint32_t symbol);

// The hash of a cell whose type hash_value leaves to a module above it:
// date! (its instant; date!'s registration sets the hook). Without the hook,
// and for context!, routine!, bitset!, vector!, series! and unknown ids, the
// hash is 0.
using HashFn = uint32_t (*)(const Cell* key, bool case_sensitive);
extern HashFn hash_other;

// Called on each key cell a map indexes through put_all (copies string keys
// so the map holds its own; raises for types that cannot be keys).
using PrepareKeyFn = void (*)(Cell* key);
extern PrepareKeyFn prepare_key;

// The 32-bit seed of every string hash; set once at start-up, before the
// first table exists.
extern uint32_t seed;

// --- making and indexing ---------------------------------------------------

// A new table for about `size` keys. `block` is the backing block cell (or
// null: a new empty block, or entry series for the integer kinds, is made);
// a given block is indexed from its head at once. `value_cells` is the
// number of value cells per entry of the integer kinds; for the symbol kind,
// 2 with a given block asks for a clone of the word table of that context
// cell (the block argument is then the context cell).
Node init(int32_t size, const Cell* block, Kind kind, int32_t value_cells);

// Indexes one cell of the backing block (kinds hash and map).
Cell* put(Node table, Cell* cell);
// Indexes the cells of the backing block from position `from`, every
// `step`-th one, the table grown first to hold them all. A map takes every
// other cell as a key; a key equal (strict-equal) to an earlier one gives its
// value to the earlier pair and its own pair is removed from the block.
void put_all(Node table, int32_t from, int32_t step);

// Where a lookup looks from `from`: forward keeps the smallest matching
// position at or after it, last the greatest at or after it, reverse the
// greatest before it.
enum class Direction { forward, last, reverse };

// The matching cell of the backing block, or null. For a hash! only cells at
// a distance from `from` that is a multiple of `skip` count (see Direction);
// the other kinds return the first key equal under `op`.
Cell* get(Node table, const Cell* key, int32_t from, int32_t skip, CompareOp op,
          Direction direction = Direction::forward);
// Resumes a probe: *cursor is -1 to start; each call returns the next key
// cell of the same type equal to the key, or null at the end of the probe.
Cell* find_next(Node table, const Cell* key, int32_t* cursor, int32_t* start, int32_t* step);

// Removes a cell from the index. hash: its bucket (or its place in a chain;
// the bucket is marked deleted when its last position goes). map: the pair
// is marked removed (value header 0) and stays indexed.
void delete_cell(Node table, Cell* cell);
// Removes the index entries of `count` cells from `position` (hash); all
// cells of the block: the table is emptied.
void delete_range(Node table, int32_t position, int32_t count);

// Whether shift_entries also moves the position -> bucket array.
enum class IndexMove { keep, move };
// Tells a hash! index that the cells [position, position + count) moved by
// `offset` places. With IndexMove::move, a negative offset first removes the
// -offset cells just before `position` from the index (they were removed
// from the block), and the position -> bucket array moves with the cells.
// Returns 1, doing nothing, above 30,000 cells (the caller rebuilds).
int32_t shift_entries(Node table, int32_t offset, int32_t position, int32_t count, IndexMove move);
// Tells a hash! index that the cells [src, src + count) now start at
// position `dest`, the cells they passed over having moved the other way.
// A destination inside the moved range does nothing.
void move_entries(Node table, int32_t dest, int32_t src, int32_t count);

// Reindexes every cell of a hash! block for about n keys.
void rebuild(Node table, int32_t n);
// Empties the index of a hash! table, keeping its backing block (whose
// cells are then indexed again, from position 0, by put_all). A table with
// far more buckets than `expected` keys need gets smaller arrays.
void reset_index(Node table, int32_t expected);
// Cell positions of a hash! block indexed so far: put_all indexes them in
// order from 0, so positions below this are in the index.
int32_t indexed_count(Node table);
// Empties the table and its backing block (or entry series).
void clear(Node table);
// A copy of the table (its own arrays and chains) over the block `blk`.
Node copy(Node table, Node blk);

// --- integer keys ------------------------------------------------------------

// Finds or adds the entry of `key`; every cell of the entry is reset to
// unset! (the caller writes the values). Returns the first value cell.
Cell* put_int(Node table, int32_t key);
// The first value cell of the key's entry, or null.
Cell* get_int(Node table, int32_t key);
// Removes the key's entry; returns its first value cell, or null.
Cell* delete_int(Node table, int32_t key);

// --- symbols and words -------------------------------------------------------

enum class Case { sensitive, insensitive };

// Interns a name in the symbol table and returns its 1-based id. Sensitive:
// an exact spelling is found or added; a new spelling that matches an
// existing one but for ASCII case gets that symbol's canonical id as alias.
// Insensitive: returns the first variant met, or adds the name unaliased.
int32_t find_or_add_symbol(Node table, const uint8_t* bytes, int32_t length, Case c);

// Looks a symbol up in a context's word table: the word's index, or -1.
// With a context node (add mode) a missing word is appended to the word
// block (its index in *out_index) and -1 is returned; an existing one gives
// its index both ways.
int32_t find_or_add_word(Node table, uint32_t symbol, Case c, Node context, int32_t* out_index);

// --- hashing -----------------------------------------------------------------

// The hash of a cell by type; strings fold case unless case_sensitive.
// (The per-type hashing and the default key comparison are values/hashing.cpp,
// beside the comparison of values.)
uint32_t hash_value(const Cell* key, bool case_sensitive);
// The type id of a string key limited to its first data3 characters: it
// hashes and compares as the string's text up to there.
inline constexpr uint32_t kLimitedKey = 56;
// The seed of every MurmurHash3 the tables compute.
extern uint32_t seed;
// One 32-bit block of MurmurHash3 x86_32 mixed into `h`.
inline uint32_t rotl(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }
inline uint32_t mix_block(uint32_t h, uint32_t k) {
  k *= 0xcc9e2d51;
  k = rotl(k, 15);
  k *= 0x1b873593;
  h ^= k;
  h = rotl(h, 13);
  return h * 5 + 0xe6546b64;
}
// MurmurHash3 x86_32 of bytes from the seed; `lower` folds ASCII A-Z first.
uint32_t murmur3_bytes(const uint8_t* p, size_t len, bool lower);
// A symbol cell's name: the bytes of its name series (data3); false when
// that series is gone.
bool symbol_name(const Cell* sym, const uint8_t** bytes, uint32_t* len);
// MurmurHash3 x86_32 from the seed.
uint32_t murmur3(const void* bytes, size_t length);
// The MurmurHash3 finaliser alone (no seed).
uint32_t mix_int(uint32_t v);
// The smallest power of two at or above n (0 gives 0).
int32_t next_power_of_2(int32_t n);

// --- collector support ---------------------------------------------------------

// Marks the table's record and arrays, then its backing block and the values
// in it. Integer kind: each key is also marked as a series when it names one
// (with its values when it holds cells). Ownership kind: keys and entries are
// weak: only the table's own buffers are marked.
void mark(Node table);
// After marking (a sweep callback): deletes every entry whose key series is
// unmarked or, for the ownership kind, whose owner's context (first payload
// word of the entry's second value cell) is unmarked.
void sweep(Node table);
// Rehashes a table whose hashes went stale because nodes moved. Nodes never
// move in Qel's memory, so there is nothing to do; kept for callers that
// follow the table's protocol.
inline void refresh(Node) {}
// Does nothing.
inline void no_op(Node) {}

}  // namespace qel::hashtable
