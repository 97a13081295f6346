// Arrays of fixed-size items (mostly 32-bit words) kept in a byte series:
// node lists, index lists and byte buffers of the hash table and the
// text-mode back end. The series' unit bits hold the item size; indexes are
// 1-based, byte offsets count from the head. Being a series, an array moves
// with compaction and dies when nothing reachable holds its node.
#pragma once

#include <cstdint>

#include "core/cell.h"

namespace qel::array {

// A new array with room for n items of u bytes (16 bytes of room when
// n x u is 0).
Node make(uint32_t n, uint32_t u);
// Number of items.
uint32_t length_q(Node a);
// Drops every item.
void clear(Node a);
// Drops the items from index i on (1-based).
void truncate_at(Node a, uint32_t i);
// A new array with the same item size and content.
Node copy(Node a);
// The address of the first item (valid until the array grows).
uint8_t* head(Node a);
void append_byte(Node a, uint8_t b);
void append_bytes(Node a, const void* src, uint32_t n);
void append(Node a, uint32_t v);
// The 32-bit item at index i; the caller guarantees 1 <= i <= length.
uint32_t pick(Node a, uint32_t i);
void poke(Node a, uint32_t i, uint32_t v);
// The byte offset of the first 32-bit item equal to v, or -1.
int32_t find(Node a, uint32_t v);
// Removes n bytes at a byte offset, moving the rest down (clipped to the
// used bytes).
void remove_at(Node a, uint32_t offset, uint32_t n);
// Removes the first 32-bit item equal to v; its byte offset, or -1 when
// absent (nothing changes).
int32_t remove_value(Node a, uint32_t v);

}  // namespace qel::array
