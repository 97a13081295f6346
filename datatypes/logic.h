// unset!, none! and logic!: the three smallest datatypes, their four
// constant cells and the truth tests of conditionals.
//
// unset! is the value of nothing (and the state of a cell being built),
// none! the empty value, logic! true and false (data1 = 1 or 0). A value is
// false only when it is none! or logic! false; everything else, unset!
// included, is true (some tests raise an error for unset! instead).
#pragma once

#include <cstdint>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel {

// Shared constant cells that modules copy into results.
inline constexpr Cell unset_value{static_cast<uint32_t>(TypeId::unset), 0, 0, 0};
inline constexpr Cell none_value{static_cast<uint32_t>(TypeId::none), 0, 0, 0};
inline constexpr Cell true_value{static_cast<uint32_t>(TypeId::logic), 1, 0, 0};
inline constexpr Cell false_value{static_cast<uint32_t>(TypeId::logic), 0, 0, 0};

namespace unset {
// Makes the result slot (slot 0 of the current frame) unset!.
Cell* push_last();
Cell* make_in(Node block);
Cell* push();
Cell* make(Cell* proto, Cell* spec, TypeId type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
             int32_t limit, int32_t indent);
int32_t compare(Cell* value1, Cell* value2, CompareOp op);
void register_();
}  // namespace unset

namespace none {
Cell* make_in(Node block);
Cell* push_last();
Cell* push();
Cell* make(Cell* proto, Cell* spec, TypeId type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
             int32_t limit, int32_t indent);
int32_t compare(Cell* value1, Cell* value2, CompareOp op);
// The series actions answer as if none were an empty series.
Cell* clear(Cell* value);
Cell* find(Cell* series, Cell* value, const FindArgs& args);
int32_t length_q(Cell* value);
Cell* remove(Cell* series, Cell* part, Cell* key);
Cell* select(Cell* series, Cell* value, const FindArgs& args);
Cell* take(Cell* series, Cell* part, bool deep, bool last);
void register_();
}  // namespace none

namespace logic {
inline bool get(const Cell* c) { return c->data1 != 0; }
// Makes the result slot a logic! with that value.
Cell* box(bool v);
Cell* make_in(Node block, bool v);
Cell* push(bool v);

// The truth of a value. With `check` set, an unset! value raises script
// `no-value` naming `name` (the argument's word).
bool value_true_q(const Cell* value, bool check, const Cell* name);
// The truth of the result slot; script `no-return` when it is unset!.
bool top_true_q();
// True when the result slot is none! or logic! false.
bool top_false_q();
// True when the newest value of the current frame (or slot 0 when nothing
// was pushed above it) is none! or false.
bool stack_top_false_q();
inline bool stack_top_true_q() { return !stack_top_false_q(); }

Cell* make(Cell* proto, Cell* spec, TypeId type);
Cell* to(Cell* proto, Cell* spec, TypeId type);
Cell* random(Cell* value, bool seed, bool secure, bool only);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
             int32_t limit, int32_t indent);
int32_t compare(Cell* value1, Cell* value2, CompareOp op);
Cell* complement(Cell* value);
// and~/or~/xor~ on frame slots 0 and 1 (MathOp and_, or_, xor_).
Cell* do_math(MathOp op);
void register_();
}  // namespace logic

}  // namespace qel
