// char! kernels: arithmetic kept inside the Unicode range, conversion from
// numbers, the escaped mold text and comparison.
#include <gtest/gtest.h>

#include "datatypes/char.h"
#include "tests/unit/values_support.h"

namespace qel {
namespace {
using namespace testing_values;

TEST(NumsChar, Arithmetic) {
  setup();
  struct {
    uint32_t left;
    Cell right;
    MathOp op;
    int expected;  // the code point, or -(error code)
  } cases[] = {
      {'a', {static_cast<uint32_t>(TypeId::integer), 0, 0, 1}, MathOp::add, 'b'},
      {'d', {static_cast<uint32_t>(TypeId::integer), 0, 0, 2}, MathOp::divide, '2'},
      {'a', {static_cast<uint32_t>(TypeId::integer), 0, 0, 95}, MathOp::and_, 'A'},
      {'A', {static_cast<uint32_t>(TypeId::integer), 0, 0, 32}, MathOp::or_, 'a'},
      {'a', {static_cast<uint32_t>(TypeId::char_), 0, 0, 1}, MathOp::add, 'b'},
      {'a',
       {static_cast<uint32_t>(TypeId::integer), 0, 0, 98},
       MathOp::subtract,
       -code(ErrorCode::math_overflow)},
      {0x10FFFF,
       {static_cast<uint32_t>(TypeId::integer), 0, 0, 1},
       MathOp::add,
       -code(ErrorCode::math_overflow)},
      {'a',
       {static_cast<uint32_t>(TypeId::integer), 0, 0, 100000000},
       MathOp::multiply,
       -code(ErrorCode::math_overflow)},
      {'a',
       {static_cast<uint32_t>(TypeId::integer), 0, 0, 0},
       MathOp::divide,
       -code(ErrorCode::math_zero_divide)},
      {'a',
       {static_cast<uint32_t>(TypeId::none), 0, 0, 0},
       MathOp::add,
       -code(ErrorCode::script_invalid_type)},
  };
  for (auto& c : cases) {
    Cell left;
    set_char(&left, c.left);
    const int err = raised([&] { char_::do_math(&left, &c.right, c.op); });
    if (c.expected < 0) {
      EXPECT_EQ(err, -c.expected) << c.left;
    } else {
      EXPECT_EQ(err, -1);
      EXPECT_TRUE(left.is(TypeId::char_));
      EXPECT_EQ(left.integer(), c.expected);
    }
  }
  Cell left, right;
  set_char(&left, 'a');
  set_float(&right, 1.9);
  char_::do_math(&left, &right, MathOp::add);
  EXPECT_EQ(left.integer(), 'b') << "a float operand is truncated";
}

TEST(NumsChar, FromNumber) {
  setup();
  Cell spec;
  set_integer(&spec, 65);
  EXPECT_EQ(char_::from_number(&spec), 'A');
  set_float(&spec, 65.9);
  EXPECT_EQ(char_::from_number(&spec), 'A');
  for (int32_t bad : {-1, 1114112}) {
    set_integer(&spec, bad);
    EXPECT_EQ(raised([&] { char_::from_number(&spec); }), code(ErrorCode::script_out_of_range));
  }
  set_float(&spec, 1e30);
  EXPECT_EQ(raised([&] { char_::from_number(&spec); }), code(ErrorCode::script_out_of_range));
}

TEST(NumsChar, Escape) {
  setup();
  struct {
    uint32_t cp;
    bool all;
    const char* text;
  } cases[] = {
      {0, false, "^@"},      {9, false, "^-"},
      {10, false, "^/"},     {27, false, "^["},
      {31, false, "^_"},     {30, false, "^(1E)"},
      {34, false, "^\""},    {94, false, "^^"},
      {127, false, "^~"},    {128, false, "^(80)"},
      {159, false, "^(9F)"}, {160, false, ""},
      {160, true, "^(A0)"},  {0x10FFFF, true, "^(10FFFF)"},
      {'a', true, ""},       {0x20AC, false, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(char_::escape(c.cp, c.all).view(), c.text) << c.cp;
}

TEST(NumsChar, Compare) {
  setup();
  Cell a, b;
  set_char(&a, 'a');
  set_char(&b, 'A');
  EXPECT_NE(char_::compare(&a, &b, CompareOp::equal), 0) << "case is never folded";
  set_integer(&b, 97);
  EXPECT_EQ(char_::compare(&a, &b, CompareOp::equal), 0);
  EXPECT_EQ(char_::compare(&a, &b, CompareOp::strict_equal), 1);
  set_float(&b, 97.0);
  EXPECT_EQ(char_::compare(&a, &b, CompareOp::equal), kNotComparable);
}

}  // namespace
}  // namespace qel
