// typeset!: a set of datatypes, one bit per type id in the cell's 96-bit
// payload. The bit of id i is in byte i >> 3 of the payload (the first byte
// of data1 holds ids 0-7) under the mask 0x80 >> (i & 7), so the payload's
// bytes read as the set from the lowest ids on, most significant bit first.
//
// Function specs use typesets for the types an argument allows; the library
// names eighteen standard typesets (`number!`, `any-word!`, `series!` ...),
// whose members this module lists once in `standard_typesets`.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::typeset {

// The 96 bits of a typeset, in payload byte order.
struct Bits {
  uint8_t bytes[12] = {};

  constexpr void set(TypeId t) {
    const uint8_t i = static_cast<uint8_t>(t);
    bytes[i >> 3] |= static_cast<uint8_t>(0x80u >> (i & 7));
  }
  constexpr bool has(TypeId t) const {
    const uint8_t i = static_cast<uint8_t>(t);
    return i < 96 && (bytes[i >> 3] & (0x80u >> (i & 7))) != 0;
  }
  constexpr Bits operator|(const Bits& o) const {
    Bits r;
    for (int i = 0; i < 12; ++i) r.bytes[i] = bytes[i] | o.bytes[i];
    return r;
  }
  constexpr Bits operator&(const Bits& o) const {
    Bits r;
    for (int i = 0; i < 12; ++i) r.bytes[i] = bytes[i] & o.bytes[i];
    return r;
  }
  constexpr Bits operator^(const Bits& o) const {
    Bits r;
    for (int i = 0; i < 12; ++i) r.bytes[i] = bytes[i] ^ o.bytes[i];
    return r;
  }
  constexpr Bits operator~() const {
    Bits r;
    for (int i = 0; i < 12; ++i) r.bytes[i] = static_cast<uint8_t>(~bytes[i]);
    return r;
  }
  constexpr bool operator==(const Bits&) const = default;
};

// A typeset of the listed types.
constexpr Bits of(std::initializer_list<TypeId> types) {
  Bits b;
  for (TypeId t : types) b.set(t);
  return b;
}

// The default argument typeset: every bit but unset!'s.
inline constexpr Bits kDefault = ~of({TypeId::unset});

// --- cells

inline Bits get(const Cell* c) {
  Bits b;
  std::memcpy(b.bytes, &c->data1, sizeof b.bytes);
  return b;
}
// Writes a typeset! (no header flags) with the bits into the cell.
inline Cell* make_at(Cell* c, const Bits& b) {
  c->header = static_cast<uint32_t>(TypeId::typeset);
  std::memcpy(&c->data1, b.bytes, sizeof b.bytes);
  return c;
}
inline void clear_bits(Cell* c) { c->data1 = c->data2 = c->data3 = 0; }
inline bool has(const Cell* c, TypeId t) { return get(c).has(t); }

// Number of set bits for ids 1 .. the highest registered id.
int32_t count(const Cell* ts);

// Appends a typeset with the given payload words to a block (QELBIN).
Cell* make_in(Node block, uint32_t w1, uint32_t w2, uint32_t w3);
// Appends the default argument typeset to a block.
Cell* make_default_in(Node block);
// Appends the typeset of a function spec's type block: datatypes set their
// bit, typesets are or-ed in, a word is replaced by its value first (a word
// whose value is still a word stands for object!), nested blocks are
// skipped; anything else is script `invalid-type-spec`.
Cell* make_from_block_in(Node block, Cell* spec);
// Adds one value's types: a word! is replaced by its value first; a typeset!
// is or-ed in, a datatype! sets its bit; anything else is script
// `invalid-arg`.
void add(Cell* ts, const Cell* value);
// Makes `out` a new block of the datatype words of the set ids, in id order.
Cell* to_block(const Cell* ts, Cell* out);
// The form and mold worker: "make typeset! [integer! float!]", or with
// `only` the bare names. With `part`, stops once the limit is used up.
int32_t write(const Cell* ts, Cell* buffer, bool only, bool part, int32_t limit);

// The logic and set operations: or~/union (5, 9), and~/intersect (6, 10),
// xor~/difference (7, 12), exclude (11), unique (8, the typeset itself). The
// right operand is a typeset! or a datatype! (the set of its one id); the
// result replaces the left cell.
void do_math(Cell* left, const Cell* right, MathOp op);

// --- the standard typesets

struct Standard {
  const char* name;  // the word the library sets, with its "!"
  Bits bits;
};
// The eighteen standard typesets in the order start-up defines them.
std::span<const Standard> standard_typesets();

// --- the type's actions
Cell* make(Cell* proto, Cell* spec, TypeId type);  // also `to`
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* a, Cell* b, CompareOp op);
void and_();
Cell* complement(Cell* value);
void or_();
void xor_();
// find: true when the datatype's bit is set (script `invalid-arg` for a
// value that is not a datatype!).
Cell* find(Cell* ts, Cell* value, const FindArgs& args);

// Registers typeset! (no parent).
void register_();

}  // namespace qel::typeset
