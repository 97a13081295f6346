// point2D! and point3D!: construction, text, comparison, arithmetic through
// float!'s double operation, the x/y/z fields, and the lexer's loader of
// point literals.
#include "datatypes/point.h"

#include <cmath>
#include <cstring>
#include <string>

#include "values/actions.h"
#include "datatypes/float.h"
#include "datatypes/pair.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "text/dtoa.h"
#include "memory/hashtable.h"
#include "memory/series.h"
#include "text/random.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "datatypes/time.h"
#include "datatypes/word.h"

namespace qel::point {

namespace {

[[noreturn]] void raise_type(ErrorCode code, TypeId t) {
  Cell dt;
  set_datatype(&dt, t);
  fire(code, &dt);
}

[[noreturn]] void bad_to_arg(TypeId t, const Cell* spec) {
  Cell dt;
  set_datatype(&dt, t);
  fire(ErrorCode::script_bad_to_arg, &dt, spec);
}

constexpr const char* kAxisNames[] = {"x", "y", "z"};
uint32_t axis_symbols[3] = {};

// A point of type t with every component from `v` (z ignored for 2D).
Cell* make_point(Cell* c, TypeId t, const float* v) {
  *c = Cell{static_cast<uint32_t>(t), 0, 0, 0};
  for (int i = 0; i < arity(t); ++i) put(c, i, v[i]);
  return c;
}

// The axis (1-based) an element or pick word names, 0 for none.
int32_t axis_of_word(const Cell* word, int n) {
  return time::field_index(word, kAxisNames, n, axis_symbols);
}

double number(const Cell* c) {
  return c->is(TypeId::integer) ? static_cast<double>(c->integer()) : c->real();
}


}  // namespace

void do_math(Cell* left, Cell* right, MathOp op) {
  const TypeId t = left->type();
  const int n = arity(t);
  double r[3];
  switch (right->type()) {
    case TypeId::integer: r[0] = r[1] = r[2] = right->integer(); break;
    case TypeId::float_:
    case TypeId::percent: {
      const double f = right->real();
      if (op == MathOp::multiply || op == MathOp::divide) {
        // Scaling works in single precision.
        const float g = static_cast<float>(f);
        for (int i = 0; i < n; ++i)
          put(left, i, op == MathOp::multiply ? get(left, i) * g : get(left, i) / g);
        return;
      }
      r[0] = r[1] = r[2] = f;
      break;
    }
    case TypeId::pair:
      if (t != TypeId::point2d) raise_type(ErrorCode::script_invalid_type, TypeId::pair);
      r[0] = pair::x(right);
      r[1] = pair::y(right);
      r[2] = 0.0;
      break;
    default:
      if (right->type() != t) raise_type(ErrorCode::script_invalid_type, right->type());
      for (int i = 0; i < n; ++i) r[i] = get(right, i);
      break;
  }
  float out[3] = {0.0f, 0.0f, 0.0f};
  for (int i = 0; i < n; ++i) out[i] = static_cast<float>(float_::do_op(get(left, i), r[i], op));
  make_point(left, t, out);
}

void number_left(Cell* left, Cell* right, MathOp op) {
  const bool from_integer = left->is(TypeId::integer);
  // The operands are swapped below, which only addition and multiplication
  // allow (subtraction by negating first, from an integer).
  if (op == MathOp::divide || op == MathOp::remainder ||
      (!from_integer && op == MathOp::subtract)) {
    fire_not_related(op == MathOp::divide      ? "divide"
                     : op == MathOp::remainder ? "remainder"
                                               : "subtract",
                     from_integer ? TypeId::integer : right->type());
  }
  const Cell number = *left;
  *left = *right;
  *right = number;
  if (op == MathOp::subtract) {
    if (left->is(TypeId::pair))
      pair::negate(left);
    else
      negate(left);
    op = MathOp::add;
  }
  if (left->is(TypeId::pair))
    pair::do_math(left, right, op);
  else
    do_math(left, right, op);
}

// --- actions

Cell* make(Cell* proto, Cell* spec, TypeId t) {
  const int n = arity(t);
  float v[3] = {0.0f, 0.0f, 0.0f};
  const TypeId st = spec->type();
  if (st == t) return spec;
  switch (st) {
    case TypeId::integer:
    case TypeId::float_:
      v[0] = v[1] = v[2] = static_cast<float>(number(spec));
      break;
    case TypeId::pair:
      v[0] = static_cast<float>(pair::x(spec));
      v[1] = static_cast<float>(pair::y(spec));
      break;
    case TypeId::point2d:
      if (t != TypeId::point3d) bad_to_arg(t, spec);
      v[0] = get(spec, 0);
      v[1] = get(spec, 1);
      break;
    case TypeId::block: {
      if (block::rs_length_q(spec) < n) pair::fire_malconstruct(t, spec);
      const Cell* item = block::rs_head(spec);
      for (int i = 0; i < n; ++i, ++item) {
        if (!item->is(TypeId::integer) && !item->is(TypeId::float_))
          pair::fire_malconstruct(t, spec);
        v[i] = static_cast<float>(number(item));
      }
      break;
    }
    case TypeId::string:
      if (!lexer::load_first_of(proto, spec, t)) bad_to_arg(t, spec);
      return proto;
    default: bad_to_arg(t, spec);
  }
  return make_point(proto, t, v);
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  const int n = arity(value->type());
  if (seed) {
    random::seed(hashtable::murmur3(reinterpret_cast<const char*>(value) + 4, 4 * n));
    set_unset(value);
    return value;
  }
  for (int i = 0; i < n; ++i) {
    const float c = get(value, i);
    if (c == 0.0f) continue;
    Cell f;
    set_float(&f, c);
    float_::random(&f, false, secure, false);
    put(value, i, static_cast<float>(f.real()));
  }
  return value;
}

namespace {

// The coordinates in parentheses. mold keeps a tiny non-zero coordinate's
// digits; mold/all (exact) writes the shortest digits that load back as the
// same 32-bit float.
int32_t emit_point(Cell* value, Cell* buffer, float_::TinyValues tiny, bool exact, int32_t limit) {
  const int n = arity(value->type());
  limit = string::emit(buffer, "(", limit);
  for (int i = 0; i < n; ++i) {
    if (i > 0) limit = string::emit(buffer, ", ", limit);
    std::string text;
    if (exact && float_::exact_float32_text(get(value, i), false, text))
      limit = string::emit(buffer, text, limit);
    else
      limit = string::emit(
          buffer, float_::form_float(get(value, i), float_::FormKind::point, tiny).view(), limit);
  }
  return string::emit(buffer, ")", limit);
}

}  // namespace

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  return emit_point(value, buffer, float_::TinyValues::as_zero, false, limit);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
  return emit_point(value, buffer, float_::TinyValues::kept, all, limit);
}

int32_t compare(Cell* a, Cell* b, CompareOp op) {
  const TypeId t = a->type();
  Cell promoted;
  if (t == TypeId::point2d && b->is(TypeId::pair)) {
    if (op == CompareOp::strict_equal) return 1;  // == asks for the same type too
    promoted = *b;
    pair::promote(&promoted);
    b = &promoted;
  }
  if (!b->is(t)) return kNotComparable;
  const int n = arity(t);
  switch (op) {
    case CompareOp::same:
      for (int i = 0; i < n; ++i)
        if (std::memcmp(reinterpret_cast<const char*>(a) + 4 + 4 * i,
                        reinterpret_cast<const char*>(b) + 4 + 4 * i, 4) != 0)
          return 1;
      return 0;
    case CompareOp::strict_equal:
      for (int i = 0; i < n; ++i)
        if (!(get(a, i) == get(b, i))) return 1;
      return 0;
    default: break;
  }
  for (int i = 0; i < n; ++i) {
    const float x = get(a, i), y = get(b, i);
    if (float_::equal32(x, y)) continue;
    switch (op) {
      case CompareOp::equal:
      case CompareOp::not_equal:
      case CompareOp::find: return 1;
      default: break;
    }
    if (std::isnan(x) || std::isnan(y)) {
      // A NaN coordinate orders with nothing, as a NaN float! does: the
      // ordering tests are false; sorts put it after every number, so that
      // they see one consistent order.
      switch (op) {
        case CompareOp::sort:
        case CompareOp::case_sort:
          if (std::isnan(x) && std::isnan(y)) continue;
          return int32_t{std::isnan(x)} - int32_t{std::isnan(y)};
        case CompareOp::lesser:
        case CompareOp::lesser_or_equal: return 1;
        case CompareOp::greater:
        case CompareOp::greater_or_equal: return -1;
        default: return 0;
      }
    }
    const float d = x - y;
    return d < 0 ? -1 : d > 0 ? 1 : 0;
  }
  return 0;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  const int n = arity(parent->type());
  int32_t axis;
  if (element->is(TypeId::integer))
    axis = element->integer() >= 1 && element->integer() <= n ? element->integer() : 0;
  else
    axis = axis_of_word(element, n);
  if (axis == 0) fire(ErrorCode::script_invalid_path, step.path ? step.path : element, element);
  if (value == nullptr) return float_::push(get(parent, axis - 1));
  if (!value->is(TypeId::integer) && !value->is(TypeId::float_))
    raise_type(ErrorCode::script_invalid_type, value->type());
  put(parent, axis - 1, static_cast<float>(number(value)));
  return value;
}

Cell* pick(Cell* value, int32_t index, Cell* index_cell) {
  const int n = arity(value->type());
  int32_t axis;
  if (is_any_word(index_cell->type()) && !index_cell->is(TypeId::issue)) {
    axis = axis_of_word(index_cell, n);
    if (axis == 0) fire(ErrorCode::script_cannot_use, index_cell, value);
  } else {
    if (index < 1 || index > n) fire(ErrorCode::script_out_of_range, index_cell);
    axis = index;
  }
  return float_::push(get(value, axis - 1));
}

void absolute() {
  Cell* v = stack::arguments;
  for (int i = 0; i < arity(v->type()); ++i) put(v, i, std::fabs(get(v, i)));
}

Cell* negate(Cell* value) {
  for (int i = 0; i < arity(value->type()); ++i) put(value, i, 0.0f - get(value, i));
  return value;
}

Cell* reverse(Cell* value, Cell*, Cell*) {
  const int last = arity(value->type()) - 1;
  const float first = get(value, 0);
  put(value, 0, get(value, last));
  put(value, last, first);
  return value;
}

Cell* round(Cell* value, Cell* scale, RoundFlags flags) {
  const int n = arity(value->type());
  int scales = 0;  // 0: one scale (or none) for every component
  if (scale != nullptr) {
    switch (scale->type()) {
      case TypeId::integer:
      case TypeId::float_:
      case TypeId::percent: break;
      case TypeId::pair: scales = 2; break;
      case TypeId::point2d: scales = 2; break;
      case TypeId::point3d: scales = 3; break;
      case TypeId::money: {
        fire_not_related(nullptr, TypeId::money);
      }
      default: fire(ErrorCode::script_invalid_arg, scale);
    }
  }
  const auto mode = integer::round_mode(flags);
  for (int i = 0; i < n; ++i) {
    Cell s;
    const Cell* sc = scale;
    if (scales > 0) {
      // A component without a scale of its own stays as it is.
      if (i >= scales) continue;
      if (scale->is(TypeId::pair))
        set_integer(&s, i == 0 ? pair::x(scale) : pair::y(scale));
      else
        set_float(&s, get(scale, i));
      sc = &s;
    }
    Cell c;
    set_float(&c, get(value, i));
    float_::round(&c, sc, mode);
    put(value, i, static_cast<float>(c.is(TypeId::integer) ? c.integer() : c.real()));
  }
  return value;
}


namespace {

constexpr ActionRow kRow{
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
    .pick = pick,
    .reverse = reverse,
};

// "(" x "," y ["," z] ")": blanks around each coordinate; a coordinate is a
// number text (or a special float such as 1.#INF) of at most 312 bytes. The
// blanks are those the scanner lets into a point's body: space, tab and
// carriage return (a line feed ends the body as an error).
bool load_token(const lexer::LateToken& token, bool build, Cell* out) {
  const uint8_t* p = token.text;
  const uint8_t* end = p + token.len;
  if (p >= end || *p++ != '(') return false;
  auto blank = [](uint8_t b) { return b == ' ' || b == '\t' || b == '\r'; };
  float v[3] = {0.0f, 0.0f, 0.0f};
  int n = 0;
  for (;;) {
    while (p < end && blank(*p)) ++p;
    const uint8_t* from = p;
    while (p < end && *p != ',' && *p != ')' && !blank(*p)) ++p;
    const uint8_t* to = p;
    while (p < end && blank(*p)) ++p;
    if (from == to || to - from > 312 || n == 3 || p >= end) return false;
    int32_t rest = 0;
    const double d = dtoa::text_to_float(reinterpret_cast<const char*>(from),
                                         reinterpret_cast<const char*>(to), &rest);
    if (rest != 0) return false;
    // A number beyond a coordinate's range is refused, as a float literal
    // beyond a double's is (it became an infinity); 1.#INF stays one.
    if (std::isinf(static_cast<float>(d)) && !std::memchr(from, '#', static_cast<size_t>(to - from)))
      return false;
    v[n++] = static_cast<float>(d);
    // After a coordinate and its blanks comes "," or ")", nothing else.
    const uint8_t sep = *p++;
    if (sep == ')') break;
    if (sep != ',') return false;
  }
  if (n < 2 || p != end) return false;
  if (build) make_point(out, n == 2 ? TypeId::point2d : TypeId::point3d, v);
  return true;
}

}  // namespace

}  // namespace qel::point

namespace qel::point2d {

Cell* push(float x, float y) { return make_at(stack::push_slot(), x, y); }
Cell* make_in(Node block, float x, float y) { return make_at(append_slot(block), x, y); }

void register_() {
  datatype::register_type(TypeId::point2d, TypeId::none_id, "point2D!", point::kRow);
  lexer::register_loader(lexer::LateClass::point, point::load_token);
}

}  // namespace qel::point2d

namespace qel::point3d {

Cell* push(float x, float y, float z) { return make_at(stack::push_slot(), x, y, z); }
Cell* make_in(Node block, float x, float y, float z) {
  return make_at(append_slot(block), x, y, z);
}

void register_() {
  datatype::register_type(TypeId::point3d, TypeId::none_id, "point3D!", point::kRow);
}

}  // namespace qel::point3d
