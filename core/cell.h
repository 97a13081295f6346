// The value cell: every Qel value is one 16-byte Cell. A cell is a 32-bit
// header (type id in bits 0-7, flags in bits 8-31) and three 32-bit payload
// words, data1..data3. Values whose data does not fit hold a Node (a 32-bit
// handle into the node table, see memory/series.h) so that the collector may
// move buffers freely.
//
// Payload layout by kind of value (the one place that says which word is
// which; module code uses the named accessors below, never raw offsets):
//   series (block!, string!, binary! ...): data1 = head index (in units),
//       data2 = node of the buffer, data3 = extra node or 0 (a string's
//       conversion buffer; the path types keep 0).
//   word kinds and issue!: data1 = context node (0: unbound),
//       data2 = symbol id, data3 = index in the context (-1: unresolved).
//   integer!, char!: data3 = the value (int32 / code point).
//   float!, percent!, time!: data2..data3 = an IEEE double (8-aligned).
//   logic!: data1 = 0 or 1.  datatype!: data1 = the type id it names.
//   object!, error!, port!: data1 = context node, data2 = class id,
//       data3 = event-information node or 0.
//   function!, routine!: data1 = context node, data2 = spec node,
//       data3 = body/extras node.
//   native!, action!, op!: data1 = entry index, data2 = spec node,
//       data3 = node of the 2-cell block holding the args context.
// Other types document their payload in their own module.
#pragma once

#include <cstdint>
#include <cstring>

#include "core/types.h"

namespace qel {

// A node is an index into the node table; 0 is "no series".
using Node = uint32_t;
inline constexpr Node kNoNode = 0;

// Header flag bits (bits 8-31 of the header word). The meaning of a bit may
// depend on the type; these are the ones shared across modules.
namespace cell_flag {
inline constexpr uint32_t assigned = 0x00002000;     // object word: field was assigned
inline constexpr uint32_t owned = 0x00010000;        // context cell / image: owns series
inline constexpr uint32_t on_stack = 0x00400000;     // context!: values live on the argument stack
inline constexpr uint32_t self_ctx = 0x01000000;     // context!: the context answers `self`
inline constexpr uint32_t new_line = 0x40000000;     // a new line precedes the value in a list
}  // namespace cell_flag

struct alignas(8) Cell {
  uint32_t header;
  uint32_t data1;
  uint32_t data2;
  uint32_t data3;

  TypeId type() const { return static_cast<TypeId>(header & 0xFFu); }
  bool is(TypeId t) const { return type() == t; }
  uint32_t flags() const { return header & 0xFFFFFF00u; }
  bool has_flag(uint32_t f) const { return (header & f) != 0; }
  void set_flag(uint32_t f) { header |= f; }
  void clear_flag(uint32_t f) { header &= ~f; }

  // Replaces the type byte, keeping the flag bits.
  void set_type(TypeId t) { header = (header & 0xFFFFFF00u) | static_cast<uint32_t>(t); }
  // Replaces the whole header: the type and no flags.
  void reset_header(TypeId t) { header = static_cast<uint32_t>(t); }

  // --- series values
  int32_t head() const { return static_cast<int32_t>(data1); }
  void set_head(int32_t h) { data1 = static_cast<uint32_t>(h); }
  Node node() const { return data2; }
  void set_node(Node n) { data2 = n; }
  Node extra_node() const { return data3; }

  // --- words
  Node context() const { return data1; }
  uint32_t symbol() const { return data2; }
  int32_t word_index() const { return static_cast<int32_t>(data3); }

  // --- scalars
  int32_t integer() const { return static_cast<int32_t>(data3); }
  void set_integer(int32_t v) { data3 = static_cast<uint32_t>(v); }
  double real() const {
    double d;
    std::memcpy(&d, &data2, sizeof d);
    return d;
  }
  void set_real(double d) { std::memcpy(&data2, &d, sizeof d); }
  bool logic() const { return data1 != 0; }
};

static_assert(sizeof(Cell) == 16, "a cell is 16 bytes");

// Copies a cell (nothing when source and destination are the same cell).
inline Cell* copy_cell(const Cell* src, Cell* dst) {
  if (src != dst) *dst = *src;
  return dst;
}

// Small constructors for the common scalar cells. They write the whole cell.
inline void set_unset(Cell* c) { *c = Cell{static_cast<uint32_t>(TypeId::unset), 0, 0, 0}; }
inline void set_none(Cell* c) { *c = Cell{static_cast<uint32_t>(TypeId::none), 0, 0, 0}; }
inline void set_logic(Cell* c, bool v) {
  *c = Cell{static_cast<uint32_t>(TypeId::logic), v ? 1u : 0u, 0, 0};
}
inline void set_integer(Cell* c, int32_t v) {
  *c = Cell{static_cast<uint32_t>(TypeId::integer), 0, 0, static_cast<uint32_t>(v)};
}
inline void set_char(Cell* c, uint32_t cp) {
  *c = Cell{static_cast<uint32_t>(TypeId::char_), 0, 0, cp};
}
inline void set_float(Cell* c, double v, TypeId t = TypeId::float_) {
  *c = Cell{static_cast<uint32_t>(t), 0, 0, 0};
  c->set_real(v);
}
inline void set_datatype(Cell* c, TypeId t) {
  *c = Cell{static_cast<uint32_t>(TypeId::datatype), static_cast<uint32_t>(t), 0, 0};
}
inline void set_series(Cell* c, TypeId t, Node n, int32_t head = 0) {
  *c = Cell{static_cast<uint32_t>(t), static_cast<uint32_t>(head), n, 0};
}

// Type-family tests used everywhere.
inline bool is_any_word(TypeId t) { return t >= TypeId::word && t <= TypeId::issue; }
inline bool is_any_block(TypeId t) {
  return t == TypeId::block || t == TypeId::paren || t == TypeId::hash ||
         (t >= TypeId::path && t <= TypeId::get_path);
}
inline bool is_any_path(TypeId t) { return t >= TypeId::path && t <= TypeId::get_path; }
inline bool is_any_string(TypeId t) {
  return t == TypeId::string || t == TypeId::file || t == TypeId::url || t == TypeId::tag ||
         t == TypeId::email || t == TypeId::ref;
}
inline bool is_any_function(TypeId t) {
  return (t >= TypeId::native && t <= TypeId::function) || t == TypeId::routine;
}
inline bool is_falsy(const Cell* c) {
  return c->is(TypeId::none) || (c->is(TypeId::logic) && !c->logic());
}

}  // namespace qel
