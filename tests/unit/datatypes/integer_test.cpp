// integer! kernels: checked arithmetic and its float promotion, the errors
// that have no float answer, rounding, powers, decimal text and the checked
// double-to-integer conversion.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/unit/values_support.h"
#include "datatypes/integer.h"

namespace qel {
namespace {
using namespace testing_values;

struct MathCase {
  int32_t left, right;
  MathOp op;
  bool is_float;
  double expected;  // the integer or the float answer
};

TEST(NumsInteger, MathOpPromotesOrStaysExact) {
  setup();
  const MathCase cases[] = {
      {2147483647, 1, MathOp::add, true, 2147483648.0},
      {-2147483648, 1, MathOp::subtract, true, -2147483649.0},
      {-2147483648, -1, MathOp::add, true, -2147483649.0},
      {65536, 65536, MathOp::multiply, true, 4294967296.0},
      {-2147483648, -1, MathOp::multiply, true, 2147483648.0},
      {2147483647, 2147483647, MathOp::multiply, true, 4611686014132420609.0},
      {7, 2, MathOp::divide, true, 3.5},
      {-7, 2, MathOp::divide, true, -3.5},
      {6, 2, MathOp::divide, false, 3},
      {-2147483648, 2, MathOp::divide, false, -1073741824},
      {-2147483648, 1, MathOp::divide, false, -2147483648.0},
      {-7, 2, MathOp::remainder, false, -1},
      {7, -2, MathOp::remainder, false, 1},
      {-2147483648, 3, MathOp::remainder, false, -2},
      {2147483646, 1, MathOp::add, false, 2147483647},
      {12, 10, MathOp::and_, false, 8},
      {12, 10, MathOp::or_, false, 14},
      {12, 10, MathOp::xor_, false, 6},
  };
  for (const auto& c : cases) {
    Cell out;
    set_integer(&out, c.left);
    out.set_flag(cell_flag::new_line);
    const int32_t r = integer::math_op(c.left, c.right, c.op, &out);
    SCOPED_TRACE(testing::Message() << c.left << " op" << static_cast<int>(c.op) << " " << c.right);
    if (c.is_float) {
      EXPECT_EQ(out.header, static_cast<uint32_t>(TypeId::float_)) << "float header, flags cleared";
      EXPECT_EQ(out.real(), c.expected);
    } else {
      EXPECT_TRUE(out.is(TypeId::integer));
      EXPECT_TRUE(out.has_flag(cell_flag::new_line)) << "integer result keeps the cell's header";
      EXPECT_EQ(r, static_cast<int32_t>(c.expected));
      EXPECT_EQ(out.integer(), r);
    }
  }
}

TEST(NumsInteger, MathOpErrorsWithoutFloatAnswer) {
  setup();
  Cell out;
  set_integer(&out, 0);
  EXPECT_EQ(raised([&] { integer::math_op(1, 0, MathOp::divide, &out); }),
            code(ErrorCode::math_zero_divide));
  EXPECT_EQ(raised([&] { integer::math_op(1, 0, MathOp::remainder, &out); }),
            code(ErrorCode::math_zero_divide));
  // The most negative integer by -1 traps in the processor: it must be checked.
  EXPECT_EQ(raised([&] { integer::math_op(INT32_MIN, -1, MathOp::divide, &out); }),
            code(ErrorCode::math_overflow));
  EXPECT_EQ(raised([&] { integer::math_op(INT32_MIN, -1, MathOp::divide, nullptr); }),
            code(ErrorCode::math_overflow));
  EXPECT_EQ(raised([&] { integer::math_op(INT32_MIN, -1, MathOp::remainder, &out); }),
            code(ErrorCode::math_overflow));
}

TEST(NumsInteger, ReportedOverflowAndTruncatingDivide) {
  setup();
  int32_t r = 0;
  EXPECT_FALSE(integer::math_op_reported(97, 100000000, MathOp::multiply, &r));
  EXPECT_FALSE(integer::math_op_reported(INT32_MAX, 1, MathOp::add, &r));
  EXPECT_TRUE(integer::math_op_reported(100, 2, MathOp::divide, &r));
  EXPECT_EQ(r, 50);
  EXPECT_TRUE(integer::math_op_reported(7, 2, MathOp::divide, &r));
  EXPECT_EQ(r, 3);
  EXPECT_TRUE(integer::math_op_reported(97, 95, MathOp::and_, &r));
  EXPECT_EQ(r, 65);
}

TEST(NumsInteger, AbsAndFormSigned) {
  setup();
  EXPECT_EQ(integer::abs(-5), 5);
  EXPECT_EQ(integer::abs(INT32_MAX), INT32_MAX);
  EXPECT_EQ(raised([] { integer::abs(INT32_MIN); }), code(ErrorCode::math_overflow));
  EXPECT_EQ(integer::form_signed(0).view(), "0");
  EXPECT_EQ(integer::form_signed(-42).view(), "-42");
  EXPECT_EQ(integer::form_signed(INT32_MIN).view(), "-2147483648");
  EXPECT_EQ(integer::form_signed(INT32_MAX).view(), "2147483647");
  EXPECT_EQ(integer::form_signed(1000000).view(), "1000000");
}

TEST(NumsInteger, DoubleConversionIsChecked) {
  setup();
  EXPECT_EQ(integer::from_double_checked(1.9), 1);
  EXPECT_EQ(integer::from_double_checked(-1.9), -1);
  EXPECT_EQ(integer::from_double_checked(2147483647.0), INT32_MAX);
  EXPECT_EQ(integer::from_double_checked(-2147483648.0), INT32_MIN);
  const double bad[] = {3e10,
                        2147483647.5,
                        -2147483648.5,
                        -3e10,
                        std::numeric_limits<double>::quiet_NaN(),
                        std::numeric_limits<double>::infinity()};
  for (double d : bad)
    EXPECT_EQ(raised([d] { integer::from_double_checked(d); }), code(ErrorCode::script_type_limit))
        << d;
  EXPECT_EQ(integer::truncate_or_min(2.9), 2);
  EXPECT_EQ(integer::truncate_or_min(2147483647.9), INT32_MAX);
  EXPECT_EQ(integer::truncate_or_min(1e20), INT32_MIN);
  EXPECT_EQ(integer::truncate_or_min(std::nan("")), INT32_MIN);
}

TEST(NumsInteger, Power) {
  setup();
  struct {
    int32_t base, exp;
    bool exact;
    int32_t expected;
  } cases[] = {
      {2, 10, true, 1024},       {2, 30, true, 1073741824},
      {2, 31, false, 0},         {0, 0, true, 1},
      {-2, 31, true, INT32_MIN}, {-3, 3, true, -27},
      {46341, 2, false, 0},      {46340, 2, true, 2147395600},
      {1, 2147483647, true, 1},  {-1, 2147483647, true, -1},
      {65536, 1, true, 65536},
  };
  for (const auto& c : cases) {
    int32_t r = 0;
    EXPECT_EQ(integer::power_exact(c.base, c.exp, &r), c.exact) << c.base << "**" << c.exp;
    if (c.exact) {
      EXPECT_EQ(r, c.expected) << c.base << "**" << c.exp;
    }
  }
}

TEST(NumsInteger, RoundTo) {
  setup();
  using M = integer::RoundMode;
  struct {
    int32_t v, scale;
    M mode;
    int32_t expected;
  } cases[] = {
      {7, 5, M::half_away, 5},
      {8, 5, M::half_away, 10},
      {-8, 5, M::half_away, -10},
      {15, 10, M::even, 20},
      {25, 10, M::even, 20},
      {-7, 5, M::floor, -10},
      {7, 5, M::floor, 5},
      {7, 5, M::ceiling, 10},
      {-7, 5, M::ceiling, -5},
      {25, 10, M::half_away, 30},
      {-25, 10, M::half_away, -30},
      {25, 10, M::half_down, 20},
      {-25, 10, M::half_ceiling, -20},
      {25, 10, M::half_ceiling, 30},
      {19, 10, M::down, 10},
      {-19, -10, M::down, -10},
      {5, 0, M::half_away, 5},
      {INT32_MIN, 7, M::ceiling, -2147483646},
      {INT32_MIN, 3, M::down, -2147483646},
      {INT32_MIN, 2, M::half_away, INT32_MIN},
      {5, INT32_MIN, M::half_away, 0},
      {-1073741824, INT32_MIN, M::half_away, INT32_MIN},
      {1073741824, INT32_MIN, M::half_down, 0},
      {2147483647, 10, M::down, 2147483640},
  };
  for (const auto& c : cases)
    EXPECT_EQ(integer::round_to(c.v, c.scale, c.mode), c.expected)
        << c.v << " to " << c.scale << " mode " << static_cast<int>(c.mode);
  // The rounded magnitude leaves the range when rounding moves away from
  // zero; /floor of a positive value and /ceiling of a negative one move
  // toward it and always have an answer.
  EXPECT_EQ(raised([] { integer::round_to(2147483647, 10, M::half_away); }),
            code(ErrorCode::math_overflow));
  EXPECT_EQ(raised([] { integer::round_to(2147483641, 10, M::ceiling); }),
            code(ErrorCode::math_overflow));
  EXPECT_EQ(raised([] { integer::round_to(-2147483641, 10, M::floor); }),
            code(ErrorCode::math_overflow));
  EXPECT_EQ(integer::round_to(2147483641, 10, M::floor), 2147483640);
  EXPECT_EQ(integer::round_to(-2147483641, 10, M::ceiling), -2147483640);
  EXPECT_EQ(raised([] { integer::round_to(INT32_MIN, 3, M::half_away); }),
            code(ErrorCode::math_overflow));
  EXPECT_EQ(raised([] { integer::round_to(1073741824, INT32_MIN, M::half_away); }),
            code(ErrorCode::math_overflow));
}

TEST(NumsInteger, RoundModePriority) {
  setup();
  RoundFlags f;
  EXPECT_EQ(integer::round_mode(f), integer::RoundMode::half_away);
  f.even = f.ceiling = true;
  EXPECT_EQ(integer::round_mode(f), integer::RoundMode::ceiling);
  f.down = true;
  EXPECT_EQ(integer::round_mode(f), integer::RoundMode::down);
}

TEST(NumsInteger, Compare) {
  setup();
  Cell a, b;
  set_integer(&a, 1);
  set_char(&b, 1);
  EXPECT_EQ(integer::compare(&a, &b, CompareOp::equal), 0);
  EXPECT_EQ(integer::compare(&a, &b, CompareOp::strict_equal), 1);
  set_integer(&b, -5);
  EXPECT_EQ(integer::compare(&a, &b, CompareOp::lesser), 1);
  set_float(&b, 1.0);
  EXPECT_EQ(integer::compare(&a, &b, CompareOp::equal), 0);
  EXPECT_EQ(integer::compare(&a, &b, CompareOp::same), 1);
  set_float(&b, 1.5);
  EXPECT_EQ(integer::compare(&a, &b, CompareOp::lesser), -1);
  set_none(&b);
  EXPECT_EQ(integer::compare(&a, &b, CompareOp::equal), kNotComparable);
}

}  // namespace
}  // namespace qel
