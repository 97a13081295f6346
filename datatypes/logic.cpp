// unset!, none! and logic!: cells, truth tests, actions and registration.
#include "datatypes/logic.h"

#include "core/stack.h"
#include "text/random.h"
#include "values/actions.h"
#include "values/datatype.h"
#include "core/errors.h"
#include "datatypes/string.h"

namespace qel {

// --- unset!

namespace unset {
Cell* push_last() {
  set_unset(stack::arguments);
  return stack::arguments;
}
Cell* make_in(Node block) { return append_slot(block); }
Cell* push() {
  Cell* c = stack::push_slot();
  set_unset(c);
  return c;
}
Cell* make(Cell*, Cell*, TypeId) { return push(); }
int32_t form(Cell*, Cell*, Cell*, int32_t limit) { return limit; }
int32_t mold(Cell*, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
  return string::emit(buffer, all ? "#(unset)" : "unset", limit);
}
int32_t compare(Cell*, Cell* value2, CompareOp op) {
  if (!value2->is(TypeId::unset)) return kNotComparable;
  return is_unordered_code(op) ? 0 : kNotComparable;
}
void register_() {
  static constexpr ActionRow row{
      .make = make, .to = make, .form = form, .mold = mold, .compare = compare};
  datatype::register_type(TypeId::unset, TypeId::none_id, "unset!", row);
}
}  // namespace unset

// --- none!

namespace none {
Cell* make_in(Node block) {
  Cell* c = append_slot(block);
  set_none(c);
  return c;
}
Cell* push_last() {
  set_none(stack::arguments);
  return stack::arguments;
}
Cell* push() {
  Cell* c = stack::push_slot();
  set_none(c);
  return c;
}
Cell* make(Cell*, Cell*, TypeId) { return push(); }
int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) {
  return string::emit(buffer, "none", limit);
}
int32_t mold(Cell*, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
  return string::emit(buffer, all ? "#(none)" : "none", limit);
}
int32_t compare(Cell*, Cell* value2, CompareOp op) {
  if (!value2->is(TypeId::none)) return kNotComparable;
  return is_unordered_code(op) ? 0 : kNotComparable;
}
Cell* clear(Cell*) { return push_last(); }
Cell* find(Cell*, Cell*, const FindArgs&) { return push_last(); }
int32_t length_q(Cell*) { return -1; }
Cell* remove(Cell*, Cell*, Cell*) { return push_last(); }
Cell* select(Cell*, Cell*, const FindArgs&) { return push_last(); }
Cell* take(Cell*, Cell*, bool, bool) { return push_last(); }
void register_() {
  static constexpr ActionRow row{
      .make = make,
      .to = make,
      .form = form,
      .mold = mold,
      .compare = compare,
      .clear = clear,
      .find = find,
      .length_q = length_q,
      .remove = remove,
      .select = select,
      .take = take,
  };
  datatype::register_type(TypeId::none, TypeId::none_id, "none!", row);
}
}  // namespace none

// --- logic!

namespace logic {

Cell* box(bool v) {
  set_logic(stack::arguments, v);
  return stack::arguments;
}
Cell* make_in(Node block, bool v) {
  Cell* c = append_slot(block);
  set_logic(c, v);
  return c;
}
Cell* push(bool v) {
  Cell* c = stack::push_slot();
  set_logic(c, v);
  return c;
}

bool value_true_q(const Cell* value, bool check, const Cell* name) {
  switch (value->type()) {
    case TypeId::none:
      return false;
    case TypeId::logic:
      return value->data1 != 0;
    case TypeId::unset:
      if (check) fire(ErrorCode::script_no_value, name);
      return true;
    default:
      return true;
  }
}

bool top_true_q() {
  const Cell* c = stack::arguments;
  if (c->is(TypeId::unset)) fire(ErrorCode::script_no_return);
  return !is_falsy(c);
}

bool top_false_q() { return is_falsy(stack::arguments); }

bool stack_top_false_q() {
  const Cell* c = stack::top == stack::arguments ? stack::arguments : stack::top - 1;
  return is_falsy(c);
}

Cell* make(Cell* proto, Cell* spec, TypeId type) {
  bool v;
  switch (spec->type()) {
    case TypeId::integer:
      v = spec->integer() != 0;
      break;
    case TypeId::float_:
    case TypeId::percent:
      v = !(spec->real() == 0.0);  // NaN gives true
      break;
    default:
      return to(proto, spec, type);
  }
  set_logic(proto, v);
  return proto;
}

Cell* to(Cell* proto, Cell* spec, TypeId) {
  if (spec->is(TypeId::logic)) return spec;
  *proto = spec->is(TypeId::none) ? false_value : true_value;
  return proto;
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(value->data1);
    set_unset(value);
    return value;
  }
  const int32_t r = secure ? random::secure_int() : random::next();
  set_logic(value, r > 0x3FFFFFFF);
  return value;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  return string::emit(buffer, value->data1 ? "true" : "false", limit);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
  if (!all) return form(value, buffer, nullptr, limit);
  return string::emit(buffer, value->data1 ? "#(true)" : "#(false)", limit);
}

int32_t compare(Cell* value1, Cell* value2, CompareOp op) {
  if (!value2->is(TypeId::logic)) return kNotComparable;
  if (!is_unordered_code(op)) return kNotComparable;
  return static_cast<int32_t>(value1->data1) - static_cast<int32_t>(value2->data1);
}

Cell* complement(Cell* value) {
  value->data1 ^= 1u;
  return value;
}

Cell* do_math(MathOp op) {
  Cell* left = stack::arguments;
  Cell* right = stack::arguments + 1;
  if (!right->is(TypeId::logic)) actions::expect_arg(right->type(), 1);
  switch (op) {
    case MathOp::and_:
      left->data1 &= right->data1;
      break;
    case MathOp::or_:
      left->data1 |= right->data1;
      break;
    case MathOp::xor_:
      left->data1 ^= right->data1;
      break;
    default:
      actions::bad_code();
  }
  return left;
}


void register_() {
  static constexpr ActionRow row{
      .make = make,
      .random = random,
      .to = to,
      .form = form,
      .mold = mold,
      .compare = compare,
      .and_ = actions::math_action<do_math, MathOp::and_>,
      .complement = complement,
      .or_ = actions::math_action<do_math, MathOp::or_>,
      .xor_ = actions::math_action<do_math, MathOp::xor_>,
  };
  datatype::register_type(TypeId::logic, TypeId::none_id, "logic!", row);
}

}  // namespace logic
}  // namespace qel
