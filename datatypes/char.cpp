// char!: escaping, arithmetic, conversion and comparison. The action
// functions and the row follow the kernels.
#include "datatypes/char.h"

#include "values/actions.h"
#include "datatypes/vector.h"
#include "core/stack.h"
#include "memory/series.h"
#include "text/unicode.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"

namespace qel::char_ {

namespace {

[[noreturn]] void raise_with_type(ErrorCode code, TypeId t) {
  Cell dt;
  set_datatype(&dt, t);
  fire(code, &dt);
}

}  // namespace

Escaped escape(uint32_t cp, bool all) {
  static constexpr char kControlLetters[] = "@ABCDEFGH-/KLMNOPQRSTUVWXYZ[\\]^_";
  Escaped e{};
  int k = 0;
  // A lone surrogate and U+FFFE have no UTF-8 form that loads back: their
  // escapes too.
  if (cp == 30 || (cp >= 128 && cp <= 159) || unicode::molds_as_escape(cp) || (all && cp > 127)) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    e.chars[k++] = '^';
    e.chars[k++] = '(';
    int shift = 28;
    while (shift > 0 && ((cp >> shift) & 0xF) == 0) shift -= 4;
    for (; shift >= 0; shift -= 4) e.chars[k++] = kHex[(cp >> shift) & 0xF];
    e.chars[k++] = ')';
  } else if (cp < 32) {
    e.chars[k++] = '^';
    e.chars[k++] = kControlLetters[cp];
  } else if (cp == '"' || cp == '^') {
    e.chars[k++] = '^';
    e.chars[k++] = static_cast<char>(cp);
  } else if (cp == 127) {
    e.chars[k++] = '^';
    e.chars[k++] = '~';
  }
  e.size = static_cast<uint8_t>(k);
  return e;
}

void do_math(Cell* left, const Cell* right, MathOp op) {
  int32_t y;
  switch (right->type()) {
    case TypeId::char_:
    case TypeId::integer: y = right->integer(); break;
    case TypeId::float_: y = integer::truncate_or_min(right->real()); break;
    case TypeId::vector: {
      // The vector computes in place; the character stood on the left.
      Cell v = *right;
      vector::do_math_scalar(op, &v, left, vector::ScalarSide::left);
      *left = v;
      return;
    }
    default: raise_with_type(ErrorCode::script_invalid_type, right->type());
  }
  int32_t r = 0;
  if (!integer::math_op_reported(left->integer(), y, op, &r) || r < 0 || r > kMaxCodePoint)
    fire(ErrorCode::math_overflow);
  left->set_type(TypeId::char_);
  left->set_integer(r);
}

int32_t from_number(const Cell* spec) {
  int32_t v;
  switch (spec->type()) {
    case TypeId::integer:
    case TypeId::char_: v = spec->integer(); break;
    default: v = integer::truncate_or_min(spec->real()); break;
  }
  if (v < 0 || v > kMaxCodePoint) fire(ErrorCode::script_out_of_range, spec);
  return v;
}

int32_t compare(Cell* a, Cell* b, CompareOp op) {
  if ((op == CompareOp::strict_equal || op == CompareOp::find) && !b->is(TypeId::char_)) return 1;
  if (!b->is(TypeId::char_) && !b->is(TypeId::integer)) return kNotComparable;
  const int32_t x = a->integer(), y = b->integer();
  return (x > y) - (x < y);
}

Cell* make_in(Node block, uint32_t cp) {
  Cell* c = append_slot(block);
  set_char(c, cp);
  return c;
}

Cell* push(uint32_t cp) {
  Cell* c = stack::push_slot();
  set_char(c, cp);
  return c;
}

namespace {

[[noreturn]] void bad_to_arg(const Cell* spec) {
  Cell dt;
  set_datatype(&dt, TypeId::char_);
  fire(ErrorCode::script_bad_to_arg, &dt, spec);
}

// One UTF-8 sequence from the binary's head. Nothing left, or a sequence cut
// off by the tail, is `bad-to-arg`; the decoder reads only the bytes present.
uint32_t from_binary(const Cell* bin) {
  const SeriesBuffer* s = memory::series(bin->node());
  const uint32_t head = static_cast<uint32_t>(bin->head());
  const uint32_t length = s->used_bytes();
  if (head >= length) bad_to_arg(bin);
  const uint8_t* p = s->data() + s->offset + head;
  if (p[0] < 0x80) return p[0];
  uint32_t count = length - head;
  const int32_t cp = unicode::decode_utf8_char_checked(p, &count);
  if (cp < 0) bad_to_arg(bin);
  return static_cast<uint32_t>(cp);
}


}  // namespace

Cell* make(Cell* proto, Cell* spec, TypeId) {
  uint32_t cp = 0;
  switch (spec->type()) {
    case TypeId::string:
    case TypeId::file:
    case TypeId::url:
    case TypeId::tag:
    case TypeId::email:
    case TypeId::ref:
      if (string::rs_length_q(spec) <= 0) bad_to_arg(spec);
      cp = string::get_char(string::rs_head(spec), memory::series(spec->node())->unit());
      break;
    case TypeId::char_:
    case TypeId::integer:
    case TypeId::float_:
    case TypeId::percent: cp = static_cast<uint32_t>(from_number(spec)); break;
    case TypeId::binary: cp = from_binary(spec); break;
    default: bad_to_arg(spec);
  }
  set_char(proto, cp);
  return proto;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  return string::emit_char(buffer, static_cast<uint32_t>(value->integer()), limit);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
  const uint32_t cp = static_cast<uint32_t>(value->integer());
  limit = string::emit(buffer, "#\"", limit);
  const Escaped e = escape(cp, all);
  limit =
      e.as_itself() ? string::emit_char(buffer, cp, limit) : string::emit(buffer, e.view(), limit);
  return string::emit(buffer, "\"", limit);
}


void register_() {
  static constexpr ActionRow row{
      .make = make,
      .to = make,
      .form = form,
      .mold = mold,
      .compare = compare,
      .add = actions::math_action<do_math, MathOp::add>,
      .divide = actions::math_action<do_math, MathOp::divide>,
      .multiply = actions::math_action<do_math, MathOp::multiply>,
      .negate = unsupported,
      .power = unsupported,
      .remainder = actions::math_action<do_math, MathOp::remainder>,
      .round = unsupported,
      .subtract = actions::math_action<do_math, MathOp::subtract>,
      .and_ = actions::math_action<do_math, MathOp::and_>,
      .complement = unsupported,
      .or_ = actions::math_action<do_math, MathOp::or_>,
      .xor_ = actions::math_action<do_math, MathOp::xor_>,
  };
  datatype::register_type(TypeId::char_, TypeId::integer, "char!", row);
}

}  // namespace qel::char_
