// float! and percent! kernels: the text forms of doubles, mixed arithmetic
// and its result types, rounding, and the tolerant comparison.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "datatypes/float.h"
#include "tests/unit/values_support.h"

namespace qel {
namespace {
using namespace testing_values;

using float_::FormKind;

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(NumsFloat, FormFloat) {
  setup();
  struct {
    double x;
    FormKind kind;
    const char* text;
  } cases[] = {
      {1.0, FormKind::float64, "1.0"},
      {1e20, FormKind::float64, "1.0e20"},
      {1.5e-7, FormKind::float64, "1.5e-7"},
      {0.1 + 0.7, FormKind::float64, "0.8"},
      {1.0 / 3.0, FormKind::float64, "0.3333333333333333"},
      {0.1 + 0.2, FormKind::float64, "0.3"},
      {1e-17, FormKind::float64, "0.0"},
      {-2.5, FormKind::float64, "-2.5"},
      {12.0, FormKind::float64, "12.0"},
      {123456789012.0, FormKind::float64, "123456789012.0"},
      {2147483648.0, FormKind::float64, "2147483648.0"},
      {1e300, FormKind::float64, "1.0e300"},
      {kInf, FormKind::float64, "1.#INF"},
      {-kInf, FormKind::percent, "-1.#INF%"},
      {std::nan(""), FormKind::float64, "1.#NaN"},
      {50.0, FormKind::percent, "50%"},
      {0.0, FormKind::percent, "0%"},
      {12.5, FormKind::percent, "12.5%"},
      {1.5f, FormKind::float32, "1.5"},
      {3.0, FormKind::point, "3"},
      {0.0, FormKind::point, "0"},
      {5.5, FormKind::time, "5.5"},
      {5.0, FormKind::time, "5"},
      {0.25, FormKind::time, "0.25"},
      {59.9999999, FormKind::time, "60"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(float_::form_float(c.x, c.kind).view(), c.text)
        << c.x << " kind " << static_cast<int>(c.kind);
}

TEST(NumsFloat, FormWithoutPrettyPrint) {
  setup();
  float_::pretty_print = false;
  EXPECT_EQ(float_::form_float(0.1 + 0.7, FormKind::float64).view(), "0.7999999999999999");
  EXPECT_EQ(float_::form_float(1e-17, FormKind::float64).view(), "1.0e-17");
  float_::pretty_print = true;
}

TEST(NumsFloat, MoldShortestDigits) {
  setup();
  struct {
    double x;
    const char* text;
  } cases[] = {
      {0.1, "0.1"},
      {1.0, "1.0"},
      {100.0, "100.0"},
      {1e16, "10000000000000000.0"},
      {1e17, "1.0e17"},
      {1e-7, "0.0000001"},
      {1e-8, "1.0e-8"},
      {4.9406564584124654e-324, "5.0e-324"},
      {0.1 + 0.2, "0.30000000000000004"},
      {-2.5, "-2.5"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {kInf, "1.#INF"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {123.456, "123.456"},
  };
  for (const auto& c : cases) EXPECT_EQ(float_::mold_float(c.x).view(), c.text) << c.x;
}

TEST(NumsFloat, DoMathResultTypes) {
  setup();
  struct {
    TypeId lt;
    double l;
    TypeId rt;
    double r;
    MathOp op;
    TypeId result;
    double expected;
  } cases[] = {
      {TypeId::integer, 2, TypeId::percent, 0.5, MathOp::multiply, TypeId::float_, 1.0},
      {TypeId::percent, 0.5, TypeId::integer, 2, MathOp::multiply, TypeId::percent, 1.0},
      {TypeId::percent, 0.5, TypeId::percent, 0.5, MathOp::multiply, TypeId::percent, 0.25},
      {TypeId::float_, 1.0, TypeId::time, 2.0, MathOp::add, TypeId::time, 3.0},
      {TypeId::time, 4.0, TypeId::float_, 2.0, MathOp::divide, TypeId::time, 2.0},
      {TypeId::time, 4.0, TypeId::time, 1.0, MathOp::subtract, TypeId::time, 3.0},
      {TypeId::float_, 1.0, TypeId::float_, 0.0, MathOp::divide, TypeId::float_, kInf},
      {TypeId::float_, 5.0, TypeId::float_, kInf, MathOp::remainder, TypeId::float_, 5.0},
      {TypeId::float_, 7.5, TypeId::char_, 2, MathOp::remainder, TypeId::float_, 1.5},
  };
  for (const auto& c : cases) {
    Cell l, r;
    if (c.lt == TypeId::integer)
      set_integer(&l, static_cast<int32_t>(c.l));
    else
      set_float(&l, c.l, c.lt);
    if (c.rt == TypeId::integer)
      set_integer(&r, static_cast<int32_t>(c.r));
    else if (c.rt == TypeId::char_)
      set_char(&r, static_cast<uint32_t>(c.r));
    else
      set_float(&r, c.r, c.rt);
    float_::do_math(&l, &r, c.op);
    EXPECT_TRUE(l.is(c.result)) << type_name(l.type());
    EXPECT_EQ(l.real(), c.expected);
  }
  Cell l, r;
  set_float(&l, kInf);
  set_float(&r, kInf);
  float_::do_math(&l, &r, MathOp::remainder);
  EXPECT_TRUE(std::isnan(l.real()));
  set_float(&l, 1.0, TypeId::percent);
  set_char(&r, 1);
  EXPECT_EQ(raised([&] { float_::do_math(&l, &r, MathOp::add); }),
            code(ErrorCode::script_invalid_type));
  set_float(&l, 1.0);
  set_none(&r);
  EXPECT_EQ(raised([&] { float_::do_math(&l, &r, MathOp::add); }),
            code(ErrorCode::script_invalid_type));
}

TEST(NumsFloat, Round) {
  setup();
  using M = integer::RoundMode;
  struct {
    double v;
    M mode;
    double expected;
  } cases[] = {
      {2.5, M::half_away, 3.0},     {-2.5, M::half_away, -3.0}, {2.5, M::even, 2.0},
      {3.5, M::even, 4.0},          {2.5, M::half_down, 2.0},   {-2.5, M::half_ceiling, -2.0},
      {-2.7, M::down, -2.0},        {-2.2, M::floor, -3.0},     {2.2, M::ceiling, 3.0},
      {1e300, M::half_away, 1e300},
  };
  for (const auto& c : cases) {
    Cell v;
    set_float(&v, c.v);
    float_::round(&v, nullptr, c.mode);
    EXPECT_TRUE(v.is(TypeId::float_));
    EXPECT_EQ(v.real(), c.expected) << c.v;
  }
  Cell v, scale;
  set_float(&v, 1.2345);
  set_float(&scale, 0.01);
  float_::round(&v, &scale, M::half_away);
  EXPECT_EQ(v.real(), 1.23);
  set_float(&v, 7.5);
  set_integer(&scale, 2);
  float_::round(&v, &scale, M::half_away);
  EXPECT_TRUE(v.is(TypeId::integer));
  EXPECT_EQ(v.integer(), 8);
  set_float(&v, 0.125, TypeId::percent);
  float_::round(&v, nullptr, M::half_away);
  EXPECT_TRUE(v.is(TypeId::percent));
  EXPECT_EQ(float_::form_float(v.real() * 100.0, FormKind::percent).view(), "13%");
  // A percent! scale holds its own fraction: 12.5% to 5% is 15%.
  set_float(&v, 0.125, TypeId::percent);
  set_float(&scale, 0.05, TypeId::percent);
  float_::round(&v, &scale, M::half_away);
  EXPECT_EQ(float_::form_float(v.real() * 100.0, FormKind::percent).view(), "15%");
  // An integer! scale whose result leaves 32 bits raises instead of wrapping.
  set_float(&v, 1e15);
  set_integer(&scale, 1);
  EXPECT_EQ(raised([&] { float_::round(&v, &scale, M::half_away); }),
            code(ErrorCode::script_type_limit));
}

TEST(NumsFloat, Compare) {
  setup();
  Cell a, b;
  set_float(&a, 0.1 + 0.2);
  set_float(&b, 0.3);
  EXPECT_EQ(float_::compare(&a, &b, CompareOp::equal), 0);
  EXPECT_EQ(float_::compare(&a, &b, CompareOp::strict_equal), 1);
  EXPECT_EQ(float_::compare(&a, &b, CompareOp::greater), 1);
  set_float(&a, std::nan(""));
  set_float(&b, 1.0);
  EXPECT_EQ(float_::compare(&a, &b, CompareOp::equal), 1);
  EXPECT_EQ(float_::compare(&a, &b, CompareOp::lesser), 1);
  EXPECT_EQ(float_::compare(&a, &b, CompareOp::greater), -1);
  b = a;
  EXPECT_EQ(float_::compare(&a, &b, CompareOp::same), 0);
  set_float(&a, 1.0);
  set_integer(&b, 1);
  EXPECT_EQ(float_::compare(&a, &b, CompareOp::equal), 0);
  EXPECT_EQ(float_::compare(&a, &b, CompareOp::strict_equal), 1);
  set_float(&b, 1.0, TypeId::percent);
  EXPECT_EQ(float_::compare(&a, &b, CompareOp::find), 1);
  set_none(&b);
  EXPECT_EQ(float_::compare(&a, &b, CompareOp::equal), kNotComparable);
  EXPECT_TRUE(float_::almost_equal(1.0, std::nextafter(1.0, 2.0)));
  EXPECT_FALSE(float_::almost_equal(1.0, 1.0 + 1e-12));
  EXPECT_TRUE(float_::equal32(1.0f, std::nextafter(1.0f, 2.0f)));
  EXPECT_FALSE(float_::equal32(std::nanf(""), std::nanf("")));
}

}  // namespace
}  // namespace qel
