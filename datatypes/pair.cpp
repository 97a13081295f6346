// pair!: construction, text, comparison, the integer arithmetic that hands
// inexact results to point2D!, the x/y fields, and the lexer's loader.
#include "datatypes/pair.h"

#include <cmath>

#include "datatypes/point.h"
#include "lexer/lexer.h"
#include "values/actions.h"
#include "core/stack.h"
#include "memory/series.h"
#include "text/random.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "datatypes/time.h"

namespace qel::pair {

namespace {

[[noreturn]] void raise_type(ErrorCode code, TypeId t) {
  Cell dt;
  set_datatype(&dt, t);
  fire(code, &dt);
}

[[noreturn]] void bad_to_arg(const Cell* spec) {
  Cell dt;
  set_datatype(&dt, TypeId::pair);
  fire(ErrorCode::script_bad_to_arg, &dt, spec);
}

constexpr const char* kAxisNames[] = {"x", "y"};
uint32_t axis_symbols[2] = {};

// 1 for x, 2 for y, 0 for anything else.
int32_t axis_of(const Cell* element) {
  if (element->is(TypeId::integer)) {
    const int32_t i = element->integer();
    return i == 1 || i == 2 ? i : 0;
  }
  return time::field_index(element, kAxisNames, 2, axis_symbols);
}

int32_t component(const Cell* c, int32_t axis) { return axis == 1 ? x(c) : y(c); }

// A float operand's double truncated toward zero for both components.
int32_t truncated(const Cell* operand) {
  const double f = operand->real();
  if (!std::isfinite(f)) fire(ErrorCode::script_invalid_arg, operand);
  return integer::from_double_checked(f);
}


}  // namespace

[[noreturn]] void fire_malconstruct(TypeId type, const Cell* spec) {
  // The block is molded flat and cut as a report cuts an argument, so that
  // a huge block costs no more than its first characters.
  constexpr int32_t kCut = 80;
  Cell dt;
  set_datatype(&dt, type);
  Cell text;
  string::rs_make_at(&text, kCut);
  Cell block = *spec;
  Cell part;
  set_integer(&part, kCut);
  actions::call_mold(&block, &text, {.flat = true}, &part, kCut, 0);
  fire(ErrorCode::syntax_malconstruct, &dt, &text);
}

Cell* push(int32_t px, int32_t py) { return make_at(stack::push_slot(), px, py); }

Cell* make_in(Node block, int32_t px, int32_t py) { return make_at(append_slot(block), px, py); }

void promote(Cell* c) {
  point2d::make_at(c, static_cast<float>(x(c)), static_cast<float>(y(c)));
}

void do_math(Cell* left, Cell* right, MathOp op) {
  int32_t rx, ry;
  switch (right->type()) {
    case TypeId::point2d:
      promote(left);
      point2d::do_math(left, right, op);
      return;
    case TypeId::pair:
      rx = x(right);
      ry = y(right);
      break;
    case TypeId::integer:
      rx = ry = right->integer();
      break;
    case TypeId::float_:
    case TypeId::percent: {
      const double f = right->real();
      const double lx = x(left), ly = y(left);
      if (op == MathOp::multiply) {
        if (!std::isfinite(f)) fire(ErrorCode::script_invalid_arg, right);
        point2d::make_at(left, static_cast<float>(lx * f), static_cast<float>(ly * f));
        return;
      }
      if (op == MathOp::divide) {
        if (std::isnan(f)) fire(ErrorCode::script_invalid_arg, right);
        point2d::make_at(left, static_cast<float>(lx / f), static_cast<float>(ly / f));
        return;
      }
      rx = ry = truncated(right);
      break;
    }
    default: raise_type(ErrorCode::script_invalid_type, right->type());
  }
  // Each component through the checked integer operation; an inexact one
  // (overflow, or a division with a remainder) turns the whole operation
  // into a point2D! one.
  Cell cx, cy;
  set_integer(&cx, 0);
  set_integer(&cy, 0);
  const int32_t vx = integer::math_op(x(left), rx, op, &cx);
  const int32_t vy = integer::math_op(y(left), ry, op, &cy);
  if (cx.is(TypeId::integer) && cy.is(TypeId::integer)) {
    make_at(left, vx, vy);
    return;
  }
  Cell r;
  make_at(&r, rx, ry);
  promote(&r);
  promote(left);
  point2d::do_math(left, &r, op);
}

// --- actions

Cell* make(Cell* proto, Cell* spec, TypeId) {
  switch (spec->type()) {
    case TypeId::pair: return spec;
    case TypeId::integer: return make_at(proto, spec->integer(), spec->integer());
    case TypeId::float_: {
      const int32_t v = truncated(spec);
      return make_at(proto, v, v);
    }
    case TypeId::point2d: {
      const double px = point2d::x(spec), py = point2d::y(spec);
      if (!std::isfinite(px) || !std::isfinite(py)) fire(ErrorCode::script_invalid_arg, spec);
      return make_at(proto, integer::from_double_checked(px), integer::from_double_checked(py));
    }
    case TypeId::block: {
      int32_t v[2];
      if (block::rs_length_q(spec) < 2) fire_malconstruct(TypeId::pair, spec);
      const Cell* item = block::rs_head(spec);
      for (int i = 0; i < 2; ++i, ++item) {
        if (item->is(TypeId::integer))
          v[i] = item->integer();
        else if (item->is(TypeId::float_))
          v[i] = truncated(item);
        else
          fire_malconstruct(TypeId::pair, spec);
      }
      return make_at(proto, v[0], v[1]);
    }
    case TypeId::string:
      if (!lexer::load_first_of(proto, spec, TypeId::pair)) bad_to_arg(spec);
      return proto;
    default: bad_to_arg(spec);
  }
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(static_cast<uint32_t>(x(value) ^ y(value)));
    set_unset(value);
    return value;
  }
  return make_at(value, random::int_uniform(secure, x(value)),
                 random::int_uniform(secure, y(value)));
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  limit = string::emit(buffer, integer::form_signed(x(value)).view(), limit);
  limit = string::emit(buffer, "x", limit);
  return string::emit(buffer, integer::form_signed(y(value)).view(), limit);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

int32_t compare(Cell* a, Cell* b, CompareOp op) {
  if (b->is(TypeId::point2d)) {
    // Equal as values, but never strictly: == asks for the same type too.
    if (op == CompareOp::strict_equal) return 1;
    Cell p = *a;
    promote(&p);
    return point2d::compare(&p, b, op);
  }
  if (!b->is(TypeId::pair)) return kNotComparable;
  if (x(a) != x(b)) return x(a) < x(b) ? -1 : 1;
  if (y(a) != y(b)) return y(a) < y(b) ? -1 : 1;
  return 0;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  const int32_t axis = axis_of(element);
  if (axis == 0) fire(ErrorCode::script_invalid_path, step.path ? step.path : element, element);
  if (value == nullptr) return integer::push(component(parent, axis));
  if (!value->is(TypeId::integer)) raise_type(ErrorCode::script_invalid_type, value->type());
  (axis == 1 ? parent->data2 : parent->data3) = static_cast<uint32_t>(value->integer());
  return value;
}

Cell* pick(Cell* value, int32_t index, Cell* index_cell) {
  int32_t axis;
  if (is_any_word(index_cell->type()) && !index_cell->is(TypeId::issue)) {
    axis = time::field_index(index_cell, kAxisNames, 2, axis_symbols);
    if (axis == 0) fire(ErrorCode::script_cannot_use, index_cell, value);
  } else {
    if (index != 1 && index != 2) fire(ErrorCode::script_out_of_range, index_cell);
    axis = index;
  }
  return integer::push(component(value, axis));
}

void absolute() {
  Cell* v = stack::arguments;
  make_at(v, integer::abs(x(v)), integer::abs(y(v)));
}

Cell* negate(Cell* value) {
  // The most negative component has no negation in 32 bits (it would come
  // back unchanged): an overflow, as for integer! and absolute.
  if (x(value) == INT32_MIN || y(value) == INT32_MIN) fire(ErrorCode::math_overflow);
  return make_at(value, -x(value), -y(value));
}

Cell* reverse(Cell* value, Cell*, Cell*) { return make_at(value, y(value), x(value)); }

Cell* round(Cell* value, Cell* scale, RoundFlags flags) {
  const bool per_axis = scale != nullptr && scale->is(TypeId::pair);
  if (scale != nullptr && !per_axis) {
    switch (scale->type()) {
      case TypeId::integer:
      case TypeId::float_:
      case TypeId::percent: break;
      case TypeId::money: {
        fire_not_related(nullptr, TypeId::money);
      }
      default: fire(ErrorCode::script_invalid_arg, scale);
    }
  }
  int32_t v[2];
  for (int32_t axis = 1; axis <= 2; ++axis) {
    Cell c, s;
    set_integer(&c, component(value, axis));
    Cell* sc = scale;
    if (per_axis) {
      set_integer(&s, component(scale, axis));
      sc = &s;
    }
    integer::round(&c, sc, flags);
    v[axis - 1] = c.is(TypeId::integer) ? c.integer() : integer::from_double_checked(c.real());
  }
  return make_at(value, v[0], v[1]);
}


// --- the lexer's loader

namespace {

// An optional sign and digits with "'" separators, within 32 bits.
bool scan_component(const uint8_t*& p, const uint8_t* end, int32_t* out) {
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  int64_t v = 0;
  int digits = 0;
  bool quote = false;
  for (; p < end; ++p) {
    if (*p >= '0' && *p <= '9') {
      v = v * 10 + (*p - '0');
      if (v > 2147483648LL) return false;
      ++digits;
      quote = false;
    } else if (*p == '\'' && digits > 0 && !quote) {
      quote = true;
    } else {
      break;
    }
  }
  if (digits == 0 || quote) return false;
  if (negative) v = -v;
  if (v > 2147483647LL) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

bool load_token(const lexer::LateToken& token, bool build, Cell* out) {
  if (token.flags & lexer::flag::dot) return false;
  const uint8_t* p = token.text;
  const uint8_t* end = p + token.len;
  int32_t px = 0, py = 0;
  if (!scan_component(p, end, &px) || p >= end || (*p != 'x' && *p != 'X')) return false;
  ++p;
  if (!scan_component(p, end, &py) || p != end) return false;
  if (build) make_at(out, px, py);
  return true;
}

}  // namespace

void register_() {
  static constexpr ActionRow row{
      .make = make,
      .random = random,
      .to = make,
      .form = form,
      .mold = mold,
      .eval_path = eval_path,
      .compare = compare,
      .absolute = absolute,
      .add = actions::math_action<do_math, MathOp::add>,
      .divide = actions::math_action<do_math, MathOp::divide>,
      .multiply = actions::math_action<do_math, MathOp::multiply>,
      .negate = negate,
      .remainder = actions::math_action<do_math, MathOp::remainder>,
      .round = round,
      .subtract = actions::math_action<do_math, MathOp::subtract>,
      .and_ = actions::math_action<do_math, MathOp::and_>,
      .or_ = actions::math_action<do_math, MathOp::or_>,
      .xor_ = actions::math_action<do_math, MathOp::xor_>,
      .pick = pick,
      .reverse = reverse,
  };
  datatype::register_type(TypeId::pair, TypeId::none_id, "pair!", row);
  lexer::register_loader(lexer::LateClass::pair, load_token);
}

}  // namespace qel::pair
