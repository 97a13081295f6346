// The cycle guard: the one stack on which every recursive walk over values
// (mold, form, deep copy, deep compare, binding, ownership marking) records
// the series and objects it is inside, so that a block containing itself is
// molded as "[...]" instead of recursing without end, and nesting deeper
// than the guard's capacity ends in a Qel error rather than a machine stack
// overflow.
//
// An entry is the identity of a value: its series node, or for object!,
// error! and port! its context node. Nodes never change (buffers move, nodes
// stay), so the guard needs no fixing after a collection.
#pragma once

#include <cstdint>

#include <string_view>

#include "core/cell.h"

namespace qel::cycle_guard {

inline constexpr uint32_t kCapacity = 1000;

// The identity of a value for the guard.
inline uint32_t identity(const Cell* v) {
  TypeId t = v->type();
  return (t == TypeId::object || t == TypeId::error || t == TypeId::port) ? v->data1 : v->data2;
}

// Start-up: empties the guard (its storage is static).
void init();
// Pushes an identity; the push that fills the last entry empties the guard
// and raises internal `too-deep` (so at most 999 levels are walked).
void push(uint32_t id);
// Moves the top back one entry unless the guard is empty.
void pop();
// Moves the top back n entries, not below the base.
void drop(uint32_t n);
// Empties the guard.
void reset();
// True when the identity is on the guard.
bool find(uint32_t id);
// Number of entries in use.
uint32_t depth();

// Deep comparison records the pair of values it is inside as one entry (so
// it walks as deep as mold does). A pair met again while its comparison is
// still under way is taken as equal: whatever differs is found by the walk
// already under way, so the answer does not depend on which value holds
// itself or on the order the two are given in. `find` also sees the first
// identity of a pair.
void push_pair(uint32_t id1, uint32_t id2);
bool find_pair(uint32_t id1, uint32_t id2);

enum class Output : uint8_t { form, mold };
// When the value's identity is on the guard: appends the marker for a
// repeated value to `buffer` ("..." when forming; when molding "[...]" for
// block!/hash!, "(...)" for paren!, "#[...]" for map!, "make object! [...]"
// for object!, "make error! [...]" for error!, "..." otherwise), lowers
// `limit` by its length and answers true. Otherwise appends nothing and
// answers false. While a Refuse scope is open a repeated value raises
// internal `no-cycle` instead of writing its marker. (Defined beside the
// string writers it uses, in datatypes/string_mold.cpp.)
bool detect(const Cell* value, Cell* buffer, int32_t& limit, Output out);
// The marker `detect` writes for a value, or an empty view when the value's
// identity is not on the guard (internal `no-cycle` while a Refuse scope is
// open and it is).
std::string_view repeated_marker(const Cell* value, Output out);

// Text that must load back as the value it was made from (save) cannot
// hold a marker: repeated values are refused while the scope is open.
class Refuse {
 public:
  Refuse();
  ~Refuse();
  Refuse(const Refuse&) = delete;
  Refuse& operator=(const Refuse&) = delete;

 private:
  bool was_;
};

// RAII entry: pushes on construction, pops on destruction (also when an
// error unwinds through the walk).
class Scope {
 public:
  explicit Scope(uint32_t id) { push(id); }
  ~Scope() { pop(); }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;
};

class PairScope {
 public:
  PairScope(uint32_t id1, uint32_t id2) { push_pair(id1, id2); }
  ~PairScope() { pop(); }
  PairScope(const PairScope&) = delete;
  PairScope& operator=(const PairScope&) = delete;
};

}  // namespace qel::cycle_guard
