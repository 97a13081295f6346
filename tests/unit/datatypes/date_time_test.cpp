// The scalar types' internals that Qel code cannot reach directly: the
// calendar's day numbers and their inverse, zones and normalisation of the
// stored time, the time text, and the tuple header.
#include <gtest/gtest.h>

#include "datatypes/date.h"
#include "datatypes/tuple.h"
#include "tests/unit/values_support.h"
#include "datatypes/time.h"

namespace qel {
namespace {
using namespace testing_values;

TEST(ScalarsCalendar, DayNumbers) {
  EXPECT_EQ(date::to_day_number(date::pack(0, 3, 1, 0, false)), 0);
  EXPECT_EQ(date::to_day_number(date::pack(1970, 1, 1, 0, false)), date::kEpochDay);
  EXPECT_EQ(date::weekday(date::kEpochDay), 4);  // a Thursday
  // 29 February 1900 does not exist: its day number is 1 March's.
  const uint32_t w =
      date::from_day_number(date::to_day_number(date::pack(1900, 2, 29, 0, false)), 0, false);
  EXPECT_EQ(date::month(w), 3);
  EXPECT_EQ(date::day(w), 1);
}

// Every day of four centuries (leap rules of 100 and 400 included) goes to
// its date and back, and consecutive days are consecutive dates.
TEST(ScalarsCalendar, DayNumbersRoundTrip) {
  const int64_t from = date::to_day_number(date::pack(1800, 1, 1, 0, false));
  uint32_t previous = date::from_day_number(from - 1, 0, false);
  for (int64_t n = from; n < from + 146097; ++n) {
    const uint32_t w = date::from_day_number(n, 0x45, true);
    ASSERT_EQ(date::to_day_number(w), n);
    ASSERT_EQ(date::zone_code(w), 0x45u);
    ASSERT_TRUE(date::has_time(w));
    const bool next_day =
        date::day(w) == date::day(previous) + 1 && date::month(w) == date::month(previous);
    const bool next_month = date::day(w) == 1 && (date::month(w) == date::month(previous) % 12 + 1);
    ASSERT_TRUE(next_day || next_month) << n;
    previous = w;
  }
}

TEST(ScalarsCalendar, Weeks) {
  struct {
    int y, m, d, iso, sunday;
  } cases[] = {
      {2021, 1, 1, 53, 1},   // Friday after a common year
      {2022, 1, 1, 52, 1},   // Saturday after a common year
      {2005, 1, 1, 53, 1},   // Saturday after a leap year
      {2024, 12, 31, 1, 53},
      {2000, 2, 27, 8, 10},  // a Sunday begins a week
      {2021, 1, 4, 1, 2},
  };
  for (const auto& c : cases) {
    const uint32_t w = date::pack(c.y, c.m, c.d, 0, false);
    EXPECT_EQ(date::iso_week(w), c.iso) << c.y << "-" << c.m << "-" << c.d;
    EXPECT_EQ(date::sunday_week(w), c.sunday) << c.y << "-" << c.m << "-" << c.d;
  }
}

TEST(ScalarsCalendar, ZonesAndStoredTime) {
  setup();
  // Local 0:30 at +1:00 is stored as -1800 seconds.
  Cell d{};
  date::make_at(&d, 2000, 1, 1, 1800.0, 1, 0, false, true);
  EXPECT_EQ(date::stored(&d), -1800.0);
  EXPECT_EQ(date::day(date::word(&d)), 1);
  // At -3:30 a stored time of 2 hours is 22:30 on the day before.
  Cell e{};
  date::set_cell(&e, date::pack(2000, 1, 2, date::make_zone(3, 30, true), true), 0.0);
  date::set_time(&e, 7200.0, false);
  EXPECT_EQ(date::day(date::word(&e)), 1);
  EXPECT_EQ(date::to_local_time(date::stored(&e), date::zone_code(date::word(&e))), 81000.0);
  // A zero offset carries no sign.
  EXPECT_EQ(date::make_zone(0, 0, true), 0u);
  EXPECT_EQ(date::zone_seconds(date::make_zone(0, 30, true)), -1800);
  // A time no date can hold is an error, not a wild cast.
  Cell f{};
  date::set_cell(&f, date::pack(2000, 1, 1, 0, true), 0.0);
  EXPECT_EQ(raised([&] { date::set_time(&f, 1e300, false); }), code(ErrorCode::math_overflow));
}

TEST(ScalarsTime, Text) {
  setup();
  struct {
    double seconds;
    const char* text;
  } cases[] = {
      {5400, "1:30:00"}, {5.5, "0:00:05.5"}, {-5400, "-1:30:00"}, {3723.25, "1:02:03.25"},
      {0.5, "0:00:00.5"}, {1e-7, "0:00:00"}, {59.9999999, "0:00:60"}, {360000, "100:00:00"},
  };
  for (const auto& c : cases) {
    Cell t;
    set_float(&t, c.seconds, TypeId::time);
    EXPECT_EQ(formed(t), c.text);
  }
}

// Regression: changing the length cleared the cell's new-line marker too.
TEST(ScalarsTuple, LengthChangeKeepsNewLineMarker) {
  setup();
  const uint8_t b[5] = {1, 2, 3, 4, 5};
  Cell t;
  tuple::make_at(&t, b, 5);
  t.set_flag(cell_flag::new_line);
  Cell index, none;
  set_integer(&index, 4);
  set_none(&none);
  tuple::set_byte(&t, &index, &none);
  EXPECT_EQ(tuple::length(&t), 3);
  EXPECT_TRUE(t.has_flag(cell_flag::new_line));
  EXPECT_TRUE(t.is(TypeId::tuple));
}

}  // namespace
}  // namespace qel
