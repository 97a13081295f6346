// money!'s stored form and digit routines, which Qel code never sees: the
// sign bit and currency byte of the cell, the packed BCD digits that QELBIN
// writes as they are, the text scanner over 2- and 4-byte strings, and the
// boundaries of the 22-digit arithmetic.
#include <gtest/gtest.h>

#include <cstring>

#include "datatypes/money.h"
#include "tests/unit/values_support.h"

namespace qel {
namespace {
using namespace testing_values;

TEST(MoneyCell, Layout) {
  setup();
  Cell m;
  money::from_integer(&m, -1234567);
  EXPECT_EQ(m.header, static_cast<uint32_t>(TypeId::money) | money::kSignFlag);
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&m);
  EXPECT_EQ(bytes[4], 0);  // no currency
  // The integer digits end at position 17, the high nibble of the ninth
  // digit byte.
  const uint8_t expected[11] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34, 0x56, 0x70, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(bytes + 5, expected, 11), 0);
  EXPECT_EQ(money::digit_count(money::digits(&m)), 12);
  EXPECT_EQ(money::get_digit(money::digits(&m), 17), 7);
  EXPECT_EQ(money::to_integer(&m), -1234567);

  Cell back;
  money::make_from_bcd(&back, true, 3, expected);
  EXPECT_EQ(money::compare_amounts(&m, &back), 0);
  EXPECT_EQ(money::get_currency(&back), 3);
  EXPECT_EQ(money::signum(&back), -1);
}

TEST(MoneyCell, ExtremeIntegers) {
  setup();
  Cell m;
  money::from_integer(&m, INT32_MIN);
  EXPECT_EQ(money::to_integer(&m), INT32_MIN);
  money::from_integer(&m, INT32_MAX);
  EXPECT_EQ(money::to_integer(&m), INT32_MAX);
  EXPECT_FALSE(money::int_overflow_q(&m));
  Cell one;
  money::from_integer(&one, 1);
  money::add_values(&m, &one);
  EXPECT_TRUE(money::int_overflow_q(&m));
  EXPECT_EQ(raised([&] { money::to_integer(&m); }), code(ErrorCode::script_type_limit));
}

TEST(MoneyCell, ZeroHasNoSign) {
  setup();
  Cell z;
  money::make_zero(&z);
  money::set_sign(&z, 1);
  EXPECT_EQ(money::signum(&z), 0);
  EXPECT_TRUE(money::zero_q(&z));
  EXPECT_EQ(formed(z), "$0.00");
}

TEST(MoneyDigits, Routines) {
  uint8_t d[11] = {0x12, 0x34, 0, 0, 0, 0, 0, 0, 0, 0, 0x05};
  EXPECT_EQ(money::digit_count(d), 22);
  money::shift_right(d, 11, 3);
  EXPECT_EQ(money::get_digit(d, 1), 0);
  EXPECT_EQ(money::get_digit(d, 4), 1);
  EXPECT_EQ(money::get_digit(d, 7), 4);
  EXPECT_EQ(money::digit_count(d), 19);  // the last 5 fell off
  money::shift_left(d, 11, 3);
  EXPECT_EQ(money::get_digit(d, 1), 1);
  EXPECT_EQ(money::get_digit(d, 22), 0);
  uint8_t z[11] = {};
  EXPECT_TRUE(money::digits_zero_q(z));
  EXPECT_EQ(money::digit_count(z), 1);
  EXPECT_EQ(money::compare_digits(z, d), -1);
  EXPECT_EQ(money::compare_digits(d, d), 0);
}

// Sums and products at the edge of 22 digits: exact up to the largest
// amount, an error one unit beyond.
TEST(MoneyArithmetic, Boundaries) {
  setup();
  Cell max, unit, m;
  ASSERT_TRUE(money::make_from_text(&max, false, {}, "99999999999999999", "99999"));
  ASSERT_TRUE(money::make_from_text(&unit, false, {}, "0", "00001"));
  m = max;
  money::subtract_values(&m, &unit);
  money::add_values(&m, &unit);
  EXPECT_EQ(money::compare_amounts(&m, &max), 0);
  EXPECT_EQ(raised([&] { money::add_values(&m, &unit); }), code(ErrorCode::script_type_limit));
  // (10^11 - 1) x (10^11 - 1) units: every partial product is in play.
  Cell a, b;
  ASSERT_TRUE(money::make_from_text(&a, false, {}, "999999", "99999"));
  b = a;
  money::multiply_values(&a, &b);
  EXPECT_EQ(molded(a, true), "$999999999980.00000");
  // The quotient that needs all 22 digits, and one that needs 23.
  ASSERT_TRUE(money::make_from_text(&a, false, {}, "99999999999999999", "99999"));
  money::from_integer(&b, 1);
  money::divide_values(&a, &b, money::Remainder::no);
  EXPECT_EQ(money::compare_amounts(&a, &max), 0);
  ASSERT_TRUE(money::make_from_text(&b, false, {}, "0", "9"));
  EXPECT_EQ(raised([&] { money::divide_values(&a, &b, money::Remainder::no); }),
            code(ErrorCode::script_type_limit));
}

TEST(MoneyConversion, FloatsThroughShortestDigits) {
  setup();
  Cell m;
  money::from_float(&m, 0.1, money::Strict::yes);
  EXPECT_EQ(molded(m, true), "$0.10000");
  money::from_float(&m, 12345678901234567.0, money::Strict::yes);
  EXPECT_EQ(molded(m, true), "$12345678901234568.00000");
  EXPECT_EQ(money::to_float(&m), 12345678901234567.0);
  money::from_float(&m, -0.000015, money::Strict::no);  // the sixth digit is dropped
  EXPECT_EQ(molded(m, true), "-$0.00001");
  EXPECT_EQ(raised([&] { money::from_float(&m, -0.000015, money::Strict::yes); }),
            code(ErrorCode::script_bad_make_arg));
}

// The scanner of `to money!` reads strings of every unit.
TEST(MoneyText, WideUnits) {
  setup();
  const char16_t wide2[] = u"-$1'234.5";
  const char32_t wide4[] = U"+12.00001";
  Cell m;
  int32_t error = 1;
  money::scan_money_text(wide2, 9, 2, &error, &m);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(molded(m, true), "-$1234.50000");
  money::scan_money_text(wide4, 9, 4, &error, &m);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(molded(m, true), "$12.00001");
  const char16_t euro[] = u"\u20AC1";
  money::scan_money_text(euro, 2, 2, &error, &m);
  EXPECT_EQ(error, -1);
}

}  // namespace
}  // namespace qel
