// binary!: the byte series. A binary! value has the string! layout (head
// index in bytes, node of a buffer of unit 1) and inherits string!'s make,
// find, select, sort, swap, take and path steps; it has its own conversion,
// text form, comparison, byte-wise logic and modifying actions.
//
// The byte routines here are how the rest of the runtime builds binaries
// (I/O, checksums, serialisation, codecs, the base-N encodings).
//
// `append`, `insert`, `poke` and a path set refuse a value that is no byte
// (an integer outside -128..255, a char above 255) with `invalid-arg`
// rather than keep its low 8 bits. Setting through a binary or string path
// with a text key writes after the whole match, where reading finds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::binary {

// --- byte routines

// Bytes from the head to the tail (0 for a head past the tail).
int32_t rs_length(const Cell* b);
// Address of the byte at the head (the head clamped to the tail).
uint8_t* rs_head(const Cell* b);
// The byte at a position counted from the buffer's first byte.
uint8_t byte_at(const Cell* b, int32_t position);
// Appends n bytes at the tail.
void append_bytes(Cell* b, const uint8_t* bytes, size_t n);
// Inserts n bytes at head + position.
void insert_bytes(Cell* b, int32_t position, const uint8_t* bytes, size_t n);
// Appends the four bytes of a 32-bit integer, most significant first.
void append_int32(int32_t value, Cell* b);
// Writes an empty binary! with room for `size` bytes (0: 16).
Cell* make_at(Cell* c, uint32_t size);
// Writes a new binary! holding a copy of the bytes.
Cell* make_from(Cell* c, const uint8_t* bytes, size_t n);
// The same, in a new cell at the tail of a block (or pushed when block is 0).
Cell* load_in(const uint8_t* bytes, size_t n, Node block);
inline Cell* load(const uint8_t* bytes, size_t n) { return load_in(bytes, n, 0); }

// Compares the bytes of a binary with the byte view of a binary or text
// value: -2 (not comparable), -1, 0 or 1. In match mode (parse) the second
// value must be a prefix of the first.
enum class Match : uint8_t { no, prefix };
int32_t compare_bytes(const Cell* a, const Cell* b, CompareOp op, Match match);
// parse's tests at the input position.
bool match_bitset(const Cell* b, const Cell* bitset);
bool match_value(const Cell* b, const Cell* value, CompareOp op);
// The store of `poke`: an integer! or char! gives its low eight bits; any
// other value raises script `invalid-arg`.
void set_byte(uint8_t* at, const Cell* value);

// What a value contributes to a binary. In the modes of insert and append
// a type without bytes raises script `bad-to-arg`; in the mode of change it
// is formed. A part limit below 0 means no limit (for a block it counts the
// elements). Appends the bytes to `out`.
enum class BytesMode : uint8_t { insert, change };
void value_bytes(std::vector<uint8_t>& out, const Cell* value, int32_t part, BytesMode mode);

// --- actions

Cell* to(Cell* proto, Cell* spec, TypeId type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, CompareOp op);
Cell* complement(Cell* value);
// append (at_tail) and insert.
Cell* insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool at_tail);
Cell* change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
Cell* trim(Cell* series, const TrimArgs& args);

// Registers binary! (after string!).
void register_();

}  // namespace qel::binary
