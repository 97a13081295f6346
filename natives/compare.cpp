// Comparison, type and set natives: the seven comparisons, same?, not,
// type?, union, intersect, unique, difference, exclude and complement?.
#include "natives/natives.h"
#include "core/stack.h"
#include "memory/series.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/datatype.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "datatypes/bitset.h"
#include "datatypes/date.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"

namespace qel::natives {

namespace {

inline bool present(const int32_t* refinements, int i) {
  return refinements && refinements[i] >= 0;
}

void compare_with(CompareOp op) {
  actions::compare_to_logic(op);
  stack::top = stack::arguments + 1;
}

void equal_q(const int32_t*) { compare_with(CompareOp::equal); }
void not_equal_q(const int32_t*) { compare_with(CompareOp::not_equal); }
void strict_equal_q(const int32_t*) { compare_with(CompareOp::strict_equal); }
void lesser_q(const int32_t*) { compare_with(CompareOp::lesser); }
void greater_q(const int32_t*) { compare_with(CompareOp::greater); }
void lesser_or_equal_q(const int32_t*) { compare_with(CompareOp::lesser_or_equal); }
void greater_or_equal_q(const int32_t*) { compare_with(CompareOp::greater_or_equal); }

// Identity, by type: what each kind of value keeps as its identity.
bool same(const Cell* a, const Cell* b) {
  if (a->type() != b->type()) return false;
  switch (a->type()) {
    case TypeId::datatype:
    case TypeId::logic:
    case TypeId::object:
      return a->data1 == b->data1;
    case TypeId::char_:
    case TypeId::integer:
      return a->data3 == b->data3;
    case TypeId::bitset:
      return a->data2 == b->data2;
    case TypeId::path: case TypeId::lit_path: case TypeId::set_path: case TypeId::get_path:
    case TypeId::block: case TypeId::paren: case TypeId::hash: case TypeId::string:
    case TypeId::file: case TypeId::url: case TypeId::tag: case TypeId::email: case TypeId::ref:
    case TypeId::binary: case TypeId::vector: case TypeId::image:
      return a->data1 == b->data1 && a->data2 == b->data2;
    case TypeId::float_:
    case TypeId::percent:
    case TypeId::pair:
    case TypeId::time:
      return a->data2 == b->data2 && a->data3 == b->data3;
    case TypeId::tuple: {
      // Trailing zeros make tuples equal (1.2.3 = 1.2.3.0) but not the
      // same value: the lengths must agree too.
      if (tuple::length(a) != tuple::length(b)) return false;
      Cell x = *a, y = *b;
      return actions::compare_values(&x, &y, CompareOp::equal) == 0;
    }
    case TypeId::money: {
      // Money's identity comparison also tells currencies apart.
      Cell x = *a, y = *b;
      return actions::compare_values(&x, &y, CompareOp::same) == 0;
    }
    case TypeId::none:
    case TypeId::unset:
      return true;
    case TypeId::native:
    case TypeId::action:
    case TypeId::point2d:
      return a->data1 == b->data1 && a->data2 == b->data2;
    case TypeId::op:
      return a->data2 == b->data2 && a->data3 == b->data3;
    default:
      return a->data1 == b->data1 && a->data2 == b->data2 && a->data3 == b->data3;
  }
}

void same_q(const int32_t*) {
  Cell* args = stack::arguments;
  bool v = same(args, args + 1);
  set_logic(args, v);
  stack::top = args + 1;
}

void not_(const int32_t*) {
  Cell* args = stack::arguments;
  set_logic(args, is_falsy(args));
  stack::top = args + 1;
}

void type_q(const int32_t* refinements) {
  Cell* args = stack::arguments;
  TypeId t = args->type();
  if (present(refinements, 0))
    *args = datatype::record(t).word;
  else
    set_datatype(args, t);
  stack::top = args + 1;
}

// The set operations dispatch on the first set's type.
void set_op(const int32_t* refinements, MathOp op, bool two_sets) {
  Cell* args = stack::arguments;
  TypeId t1 = args[0].type();
  const int skip_ref = 1;
  bool case_ = present(refinements, 0);
  Cell* skip = present(refinements, skip_ref) ? args + refinements[skip_ref] : nullptr;
  if (two_sets) {
    TypeId t2 = args[1].type();
    bool blocks1 = t1 == TypeId::block || t1 == TypeId::hash;
    bool blocks2 = t2 == TypeId::block || t2 == TypeId::hash;
    if (blocks1 ? !blocks2 : t1 != t2) {
      Cell d1, d2;
      set_datatype(&d1, t1);
      set_datatype(&d2, t2);
      fire(ErrorCode::script_expect_val, &d1, &d2);
    }
  }
  switch (t1) {
    case TypeId::block:
    case TypeId::hash: {
      Cell* r = block::do_set_op(case_, skip, op);
      *args = *r;
      break;
    }
    case TypeId::string:
    case TypeId::file:
    case TypeId::url:
    case TypeId::tag:
    case TypeId::email:
    case TypeId::ref:
    case TypeId::binary: {
      Cell* r = string::do_set_op(case_, skip, op);
      *args = *r;
      break;
    }
    case TypeId::typeset:
      if (op != MathOp::unique) typeset::do_math(args, args + 1, op);
      break;
    case TypeId::bitset:
      bitset::do_math(op);
      break;
    case TypeId::date:
      // Two dates have only a difference: the time between them.
      if (op == MathOp::difference) {
        date::difference(args, args + 1);
        break;
      }
      [[fallthrough]];
    default: {
      Cell w = stack::get_call();
      Cell dt;
      set_datatype(&dt, t1);
      Cell name = word::load(two_sets ? "set1" : "set");
      fire(ErrorCode::script_expect_arg, &w, &dt, &name);
    }
  }
  stack::top = args + 1;
}

void union_(const int32_t* r) { set_op(r, MathOp::union_, true); }
void intersect(const int32_t* r) { set_op(r, MathOp::intersect, true); }
void unique(const int32_t* r) { set_op(r, MathOp::unique, false); }
void difference(const int32_t* r) { set_op(r, MathOp::difference, true); }
void exclude(const int32_t* r) { set_op(r, MathOp::exclude, true); }

void complement_q(const int32_t*) {
  Cell* args = stack::arguments;
  if (!args->is(TypeId::bitset)) {
    Cell w = stack::get_call();
    Cell dt;
    set_datatype(&dt, args->type());
    Cell name = word::load("bits");
    fire(ErrorCode::script_expect_arg, &w, &dt, &name);
  }
  bool v = (memory::series(args->data2)->flags & series_flag::complement) != 0;
  set_logic(args, v);
  stack::top = args + 1;
}

constexpr Definition kCompare[] = {
    {25, "equal?", equal_q, R"spec("Returns TRUE if two values are equal" value1 [any-type!] value2 [any-type!])spec"},
    {26, "not-equal?", not_equal_q, R"spec("Returns TRUE if two values are not equal" value1 [any-type!] value2 [any-type!])spec"},
    {27, "strict-equal?", strict_equal_q, R"spec("Returns TRUE if two values are equal, and also the same datatype" value1 [any-type!] value2 [any-type!])spec"},
    {28, "lesser?", lesser_q, R"spec("Returns TRUE if the first value is less than the second" value1 [any-type!] value2 [any-type!])spec"},
    {29, "greater?", greater_q, R"spec("Returns TRUE if the first value is greater than the second" value1 [any-type!] value2 [any-type!])spec"},
    {30, "lesser-or-equal?", lesser_or_equal_q, R"spec("Returns TRUE if the first value is less than or equal to the second" value1 [any-type!] value2 [any-type!])spec"},
    {31, "greater-or-equal?", greater_or_equal_q, R"spec("Returns TRUE if the first value is greater than or equal to the second" value1 [any-type!] value2 [any-type!])spec"},
    {32, "same?", same_q, R"spec("Returns TRUE if two values have the same identity" value1 [any-type!] value2 [any-type!])spec"},
    {33, "not", not_, R"spec("Returns the boolean complement of a value" value [any-type!])spec"},
    {34, "type?", type_q, R"spec("Returns the datatype of a value" value [any-type!] /word "Return a word value, rather than a datatype value")spec"},
    {41, "union", union_, R"spec("Returns the union of two data sets"
        set1 [block! hash! string! bitset! typeset!] set2 [block! hash! string! bitset! typeset!]
        /case "Use case-sensitive comparison" /skip "Treat the series as fixed size records" size [integer!])spec"},
    {42, "intersect", intersect, R"spec("Returns the intersection of two data sets"
        set1 [block! hash! string! bitset! typeset!] set2 [block! hash! string! bitset! typeset!]
        /case "Use case-sensitive comparison" /skip "Treat the series as fixed size records" size [integer!])spec"},
    {43, "unique", unique, R"spec("Returns the data set with duplicates removed"
        set [block! hash! string!]
        /case "Use case-sensitive comparison" /skip "Treat the series as fixed size records" size [integer!])spec"},
    {44, "difference", difference, R"spec("Returns the special difference of two data sets"
        set1 [block! hash! string! bitset! typeset! date!] set2 [block! hash! string! bitset! typeset! date!]
        /case "Use case-sensitive comparison" /skip "Treat the series as fixed size records" size [integer!]
        return: [block! hash! string! bitset! typeset! time!])spec"},
    {45, "exclude", exclude, R"spec("Returns the first data set less the second data set"
        set1 [block! hash! string! bitset! typeset!] set2 [block! hash! string! bitset! typeset!]
        /case "Use case-sensitive comparison" /skip "Treat the series as fixed size records" size [integer!])spec"},
    {46, "complement?", complement_q, R"spec("Returns TRUE if the bitset is complemented" bits [bitset!])spec"},
};

}  // namespace

std::span<const Definition> compare_natives() { return kCompare; }

}  // namespace qel::natives
