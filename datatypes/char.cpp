// char!: escaping, arithmetic, conversion and comparison. The action
// functions and the row follow the kernels.
#include "datatypes/char.h"

#include "values/errors.h"
#include "values/integer.h"

namespace qel::char_ {

namespace {

[[noreturn]] void raise_with_type(ErrorCode code, TypeId t) {
  Cell dt;
  set_datatype(&dt, t);
  fire(code, &dt);
}

// UTF-8 bytes of a code point (0 .. 0x10FFFF); returns the count.
int encode_utf8(uint32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

}  // namespace

Escaped escape(uint32_t cp, bool all) {
  static constexpr char kControlLetters[] = "@ABCDEFGH-/KLMNOPQRSTUVWXYZ[\\]^_";
  Escaped e{};
  int k = 0;
  if (cp == 30 || (cp >= 128 && cp <= 159) || (all && cp > 127)) {
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
  } else {
    k = encode_utf8(cp, e.chars);
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

int32_t compare(const Cell* a, const Cell* b, CompareOp op) {
  if ((op == CompareOp::strict_equal || op == CompareOp::find) && !b->is(TypeId::char_)) return 1;
  if (!b->is(TypeId::char_) && !b->is(TypeId::integer)) return kNotComparable;
  const int32_t x = a->integer(), y = b->integer();
  return (x > y) - (x < y);
}

}  // namespace qel::char_
