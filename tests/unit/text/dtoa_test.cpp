// Float <-> text: Qel's layouts and specials, rounding at the edges of the
// double range, and round trips of random doubles.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "text/dtoa.h"

namespace qel {
namespace {

using dtoa::PointZero;

double read(const std::string& s, int32_t* rest = nullptr, int32_t adjust = 0) {
  int32_t r = -1;
  double v = dtoa::text_to_float(s.data(), s.data() + s.size(), adjust, &r);
  if (rest) *rest = r;
  return v;
}

uint64_t bits(double d) {
  uint64_t b;
  std::memcpy(&b, &d, 8);
  return b;
}

TEST(TextDtoa, ShortestLayouts) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double v;
    const char* with_point;
    const char* without;
  } cases[] = {
      {0.1 + 0.2, "0.30000000000000004", "0.30000000000000004"},
      {0.1, "0.1", "0.1"},
      {1.0, "1.0", "1"},
      {100.0, "100.0", "100"},
      {123.456, "123.456", "123.456"},
      {-2.5, "-2.5", "-2.5"},
      {1e16, "10000000000000000.0", "10000000000000000"},
      {1e17, "1.0e17", "1e17"},
      {1.5e17, "1.5e17", "1.5e17"},
      {1e20, "1.0e20", "1e20"},
      {0.001, "0.001", "0.001"},
      {1e-7, "0.0000001", "0.0000001"},
      {1.5e-7, "0.00000015", "0.00000015"},
      {1e-8, "1.0e-8", "1e-8"},
      {1.5e-8, "1.5e-8", "1.5e-8"},
      {4.9e-324, "5.0e-324", "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e308", "1.7976931348623157e308"},
      {-0.0, "-0.0", "-0"},
      {0.0, "0.0", "0"},
      {inf, "1.#INF", "1.#INF"},
      {-inf, "-1.#INF", "-1.#INF"},
      {std::nan(""), "1.#NaN", "1.#NaN"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(dtoa::to_text(c.v, 0, PointZero::yes).view(), c.with_point);
    EXPECT_EQ(dtoa::to_text(c.v, 0, PointZero::no).view(), c.without);
  }
}

TEST(TextDtoa, LimitedDigits) {
  struct Case {
    double v;
    int limit;
    const char* want;
  } cases[] = {
      {59.9999999, 6, "60"}, {5.5, 6, "5.5"},     {5.0, 6, "5"},          {0.25, 6, "0.25"},
      {0.0, 6, "0"},         {1.0 / 3, 6, "0.333333"}, {2.0 / 3, 6, "0.666667"},
      {0.125, 2, "0.12"},    // a tie goes to the even digit
      {0.375, 2, "0.38"},    {999999.5, 6, "1000000"}, {123456789.0, 3, "123000000"},
      {1e-9, 6, "1e-9"},     {0.1, 30, "0.1"},     // a limit above the shortest length changes nothing
  };
  for (const Case& c : cases) EXPECT_EQ(dtoa::to_text(c.v, c.limit, PointZero::no).view(), c.want) << c.v;
}

TEST(TextDtoa, Reading) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* text;
    double want;
    int32_t rest;
  } cases[] = {
      {"0.1", 0.1, 0},
      {"2.5x", 2.5, 1},
      {"+7", 7.0, 0},
      {"007.50", 7.5, 0},
      {".5", 0.5, 0},
      {"5.", 5.0, 0},
      {"1e3", 1000.0, 0},
      {"1E+3", 1000.0, 0},
      {"25e-1", 2.5, 0},
      {"1e", 1.0, 1},     // an "e" without digits is left over
      {"1e+", 1.0, 2},
      {"1.5e3z", 1500.0, 1},
      {"1.7976931348623157e308", 1.7976931348623157e308, 0},
      {"1.8e308", inf, 0},
      {"-1.8e308", -inf, 0},
      {"1e4294967297", inf, 0},  // the exponent saturates instead of wrapping
      {"1e-4294967297", 0.0, 0},
      {"4.9e-324", 4.9e-324, 0},
      {"2.4703282292062328e-324", 4.9e-324, 0},  // just above half the smallest subnormal
      {"1e-400", 0.0, 0},
      {"9007199254740993", 9007199254740992.0, 0},  // 2^53 + 1: the tie goes to the even significand
      {"9007199254740995", 9007199254740996.0, 0},
      {"0.000000000000000000000000000001e30", 1.0, 0},
      {"1.#INF", inf, 0},
      {"-1.#INF", -inf, 0},
      {"1.#inf and more", inf, 0},
      {"", 0.0, 0},
      {"abc", 0.0, 3},
      {".", 0.0, 1},
      {"-", 0.0, 1},
  };
  for (const Case& c : cases) {
    int32_t rest;
    double v = read(c.text, &rest);
    EXPECT_EQ(bits(v), bits(c.want)) << c.text << " read " << v;
    EXPECT_EQ(rest, c.rest) << c.text;
  }
  EXPECT_TRUE(std::isnan(read("1.#NaN")));
  EXPECT_FALSE(std::signbit(read("1.#NaN")));
  EXPECT_FALSE(std::signbit(read("-0.0")));  // the sign is applied as 0 - value
  EXPECT_FALSE(std::signbit(read("-1e-400")));
  // Fifty significant digits, just above and below a halfway point.
  EXPECT_EQ(read("1.00000000000000011102230246251565404236316680908203125"), 1.0);  // exactly halfway: even
  EXPECT_EQ(read("1.000000000000000111022302462515654042363166809082031251"), 1.0000000000000002);
  EXPECT_EQ(read("1.000000000000000111022302462515654042363166809082031249"), 1.0);
  // Beyond the kept digits only the sticky digit decides.
  std::string long_half = "1.00000000000000011102230246251565404236316680908203125" + std::string(900, '0');
  EXPECT_EQ(read(long_half), 1.0);
  EXPECT_EQ(read(long_half + "1"), 1.0000000000000002);
  EXPECT_EQ(read(std::string(900, '9') + "e-899"), 10.0);
  // The exponent adjustment reads a percent text exactly.
  EXPECT_EQ(read("12.5", nullptr, -2), 0.125);
  EXPECT_EQ(read("7", nullptr, -2), 0.07);
}

TEST(TextDtoa, RandomDoublesRoundTrip) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 200000; i++) {
    double v;
    uint64_t b = rng();
    std::memcpy(&v, &b, 8);
    if (!std::isfinite(v)) continue;
    for (PointZero pz : {PointZero::yes, PointZero::no}) {
      dtoa::Text t = dtoa::to_text(v, 0, pz);
      int32_t rest;
      double back = dtoa::text_to_float(t.chars, t.chars + t.size, &rest);
      ASSERT_EQ(rest, 0) << t.c_str();
      if (v == 0.0) {
        ASSERT_EQ(back, 0.0);
      } else {
        ASSERT_EQ(bits(back), bits(v)) << t.c_str();
      }
    }
    // "%.Ng" as the C library prints it in the C locale.
    int precision = 1 + static_cast<int>(rng() % 17);
    char want[64];
    std::snprintf(want, sizeof want, "%.*g", precision, v);
    ASSERT_EQ(dtoa::format_g(v, precision).view(), want);
  }
}

}  // namespace
}  // namespace qel
