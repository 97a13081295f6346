// bitset!: a set of non-negative integers (in practice code points) kept as
// an array of bits. Bit n is in byte n >> 3 under the mask 0x80 >> (n & 7),
// so the first byte holds bits 0-7 from its most significant bit down.
//
// Cell layout: data2 = the node of a byte series (unit 1) holding the array
// from its offset to its tail; data1 and data3 are 0. The series flag
// `complement` marks a complemented bitset: every bit past the end of the
// array is a member too. The stored bits always mean membership, so testing
// a bit is one load (`string::bitset_has` reads them this way for parse).
//
// Bits beyond a complemented operand count as members in the set and logic
// operations (so both the result's flag and its bytes are right);
// `remove/part` clears in every set; each character of a string is set or
// cleared on its own and tested on its own; sets that differ beyond their
// arrays never compare equal; `append`, `insert` and `remove/part` check
// the whole value before changing a bit.
//
// A spec is a character, an integer (or a float, truncated), a string, a
// block of those with ranges (#"a" - #"z", 1 - 10) or a binary; `make`
// also takes a size in bits and `[not ...]` for a complemented set.
#pragma once

#include <cstdint>

#include "memory/series.h"
#include "core/cell.h"
#include "values/datatype.h"

namespace qel::bitset {

// What processing a spec does with its bits.
enum class Mode { measure, set, test, clear };
// Who asks: decides the error for a spec of an unusable type.
enum class Caller { make, to, other };

inline SeriesBuffer* buffer(const Cell* bs) { return memory::series(bs->node()); }
// Address of the first byte of the array.
inline uint8_t* bits(const Cell* bs) { return buffer(bs)->head_ptr(); }
// Bytes in the array.
inline int32_t byte_count(const Cell* bs) { return static_cast<int32_t>(buffer(bs)->used_bytes()); }
inline bool complemented(const Cell* bs) { return (buffer(bs)->flags & series_flag::complement) != 0; }

// Writes a new bitset of `bytes` bytes, each set to `fill`, into the cell;
// complemented when asked.
Cell* make_at(Cell* cell, int32_t bytes, uint8_t fill, bool complement);
// Grows the array so that bit n exists (new bytes are 0xFF for a
// complemented bitset, 0 otherwise); returns the array start.
uint8_t* ensure_bit(Cell* bs, int32_t n);
// Whether n >= 0 and its byte lies inside the array.
bool bit_in_range(const Cell* bs, int64_t n);
// Complements every byte of the array.
void invert_bytes(Cell* bs);
// Appends the bytes as two upper-case hexadecimal digits each (complemented
// first when `invert`), lowering the limit by 2 a byte and stopping when
// `part` is set and the limit fell below 0.
int32_t write_hex(const Cell* bs, Cell* string, bool part, int32_t limit, bool invert);
// Sets, tests or clears the bits from..to inclusive (both >= 0). Test
// answers 1 when every bit is a member.
int32_t set_range(Cell* bs, int32_t from, int32_t to, Mode mode);
// Processes one spec value: measure answers the highest bit named, test 1
// when every bit named is a member (else 0); set and clear answer 0.
int64_t process(const Cell* spec, Cell* bs, Mode mode, Caller caller);
// A new bitset from a spec (for make, or for `to` when `to` is set), left in
// `result`.
Cell* make_from_spec(Cell* result, const Cell* spec, bool to);
// The logic and set operations on frame slots 0 and 1: or~ and union,
// and~ and intersect, xor~ and difference, exclude, and unique (the bitset
// itself). The result goes to slot 0.
void do_math(MathOp op);

// --- actions
Cell* make(Cell* proto, Cell* spec, TypeId type);
Cell* to(Cell* proto, Cell* spec, TypeId type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step);
int32_t compare(Cell* value1, Cell* value2, CompareOp op);
Cell* complement(Cell* value);
Cell* append(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool at_tail);
Cell* clear(Cell* value);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
Cell* find(Cell* series, Cell* value, const FindArgs& args);
int32_t length_q(Cell* value);
Cell* pick(Cell* series, int32_t index, Cell* index_cell);
Cell* poke(Cell* series, int32_t index, Cell* value, Cell* index_cell);
Cell* remove(Cell* series, Cell* part, Cell* key);

// Registers bitset! (no parent).
void register_();

}  // namespace qel::bitset
