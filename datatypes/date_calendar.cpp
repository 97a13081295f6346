// date! calendar arithmetic: day numbers, weekdays, the two week
// numberings, zones, the carry of out-of-range fields, and the small
// constructors the lexer, the boot-data decoder and the clock use.
//
// The divisions truncate toward zero where their operands cannot be
// negative; the year counts divide by floor so that years before 0 follow
// the same calendar, and the "mod" helpers give the non-negative remainders
// where a formula asks for one.
#include <cmath>

#include "datatypes/date.h"
#include "core/stack.h"
#include "memory/series.h"
#include "core/errors.h"
#include "datatypes/time.h"
#include "datatypes/word.h"

namespace qel::date {

namespace {

inline int64_t mod_floor(int64_t a, int64_t m) {
  const int64_t r = a % m;
  return r < 0 ? r + m : r;
}
inline int64_t div_floor(int64_t a, int64_t m) { return (a - mod_floor(a, m)) / m; }

// Days from 1 March of year 0 to 1 March of year y. Floor division keeps
// the leap days right for negative years as well (-4 is a leap year, -1 is
// not); truncation would count them from the wrong side of zero.
inline int64_t days_before_year(int64_t y) {
  return 365 * y + div_floor(y, 4) - div_floor(y, 100) + div_floor(y, 400);
}

void set_word(Cell* d, uint32_t w) { d->data1 = w; }

}  // namespace

int32_t zone_seconds(uint32_t zone) {
  const int32_t s =
      static_cast<int32_t>((zone >> 2) & 15) * 3600 + static_cast<int32_t>(zone & 3) * 900;
  return (zone & kZoneSign) ? -s : s;
}

uint32_t make_zone(int32_t hours, int32_t minutes, bool negative) {
  const uint32_t code = ((static_cast<uint32_t>(hours) << 2) & 0x3C) |
                        ((static_cast<uint32_t>(minutes) / 15) & 3);
  // A zero offset has no sign (it would form as -00:00).
  return code != 0 && negative ? code | kZoneSign : code;
}

int64_t to_day_number(uint32_t w) {
  const int64_t m = (month(w) + 9) % 12;
  const int64_t y = year(w) - m / 10;
  return days_before_year(y) + (306 * m + 5) / 10 + (day(w) - 1);
}

uint32_t from_day_number(int64_t n, uint32_t zone, bool time) {
  // The March-based year holding day n: an estimate, then moved until n
  // lies within it (the estimate can be one off either way before year 0).
  int64_t y =
      static_cast<int64_t>(std::floor((10000.0 * static_cast<double>(n) + 14780.0) / 3652425.0));
  while (n < days_before_year(y)) --y;
  while (n >= days_before_year(y + 1)) ++y;
  const int64_t r = n - days_before_year(y);
  const int64_t mi = (100 * r + 52) / 3060;
  const int64_t m = (mi + 2) % 12 + 1;
  const int64_t yr = y + (mi + 2) / 12;
  const int64_t d = r - (306 * mi + 5) / 10 + 1;
  // Arithmetic that leaves the years the date word holds is an error, not
  // a date wrapped into another millennium.
  if (yr < kMinYear || yr > kMaxYear) fire(ErrorCode::math_overflow);
  return pack(static_cast<int32_t>(yr), static_cast<int32_t>(m), static_cast<int32_t>(d), zone,
              time);
}

bool leap_year_q(int32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int64_t year_start(uint32_t w) { return to_day_number(pack(year(w), 1, 1, 0, false)); }

int64_t iso_week_start(uint32_t w, int32_t* jan1_weekday) {
  const int64_t j = year_start(w);
  const int64_t b = mod_floor(j + 2, 7);  // 0 = Monday
  if (jan1_weekday) *jan1_weekday = static_cast<int32_t>(b + 1);
  return b < 4 ? j - b : j - b + 7;
}

int32_t year_day(uint32_t w) { return static_cast<int32_t>(to_day_number(w) - year_start(w) + 1); }

int32_t weekday(int64_t n) { return static_cast<int32_t>(mod_floor(n + 2, 7) + 1); }

int32_t iso_week(uint32_t w) {
  int32_t jan1 = 0;
  const int64_t s = iso_week_start(w, &jan1);
  const int64_t n = to_day_number(w);
  if (n < s) {
    // The last week of the year before.
    if (jan1 == 5) return 53;
    if (jan1 == 6) return leap_year_q(year(w) - 1) ? 53 : 52;
    return 52;
  }
  const int64_t next = iso_week_start(pack(year(w) + 1, 1, 1, 0, false), nullptr);
  if (n >= next) return 1;
  return static_cast<int32_t>((n - s) / 7 + 1);
}

int32_t sunday_week(uint32_t w) {
  const int64_t e = mod_floor(year_start(w) + 3, 7);  // 0 = Sunday
  const int64_t yd = year_day(w);
  if (yd <= 7 - e) return 1;
  return static_cast<int32_t>((yd + e - 1) / 7 + 1);
}

int64_t normalize_time(int64_t n, double* t, uint32_t zone) {
  const double z = zone_seconds(zone) / 3600.0;
  const double k = std::trunc(std::trunc(*t / 3600.0 + z) / 24.0);
  // Beyond some 2.7 billion years no date can hold the result.
  if (!(std::fabs(k) < 1e12)) fire(ErrorCode::math_overflow);
  n += static_cast<int64_t>(k);
  *t -= k * kSecondsPerDay;
  if (z * 3600.0 + *t < 0) {
    n -= 1;
    *t += kSecondsPerDay;
  }
  return n;
}

void set_time(Cell* d, double t, bool local) {
  const uint32_t w = word(d);
  if (local) t = to_utc_time(t, zone_code(w));
  const int64_t n = normalize_time(to_day_number(w), &t, zone_code(w));
  set_word(d, from_day_number(n, zone_code(w), has_time(w)));
  d->set_real(t);
}

void renormalize(Cell* d) {
  const uint32_t w = word(d);
  set_word(d, from_day_number(to_day_number(w), zone_code(w), has_time(w)));
}

void set_month(Cell* d, int64_t m) {
  const uint32_t w = word(d);
  const int64_t carry = div_floor(m - 1, 12);
  const int64_t month_ = mod_floor(m - 1, 12) + 1;
  const int64_t y = year(w) + carry;
  if (y < kMinYear || y > kMaxYear) fire(ErrorCode::math_overflow);
  set_word(d, pack(static_cast<int32_t>(y), static_cast<int32_t>(month_), day(w),
                   zone_code(w), has_time(w)));
  renormalize(d);
}

void set_zone(Cell* d, const Cell* v, bool keep_instant) {
  int32_t hours, minutes;
  bool negative;
  // The zone code holds 15 hours and 45 minutes each way; a zone of 16 hours
  // or more is refused rather than wrapped around.
  if (v->is(TypeId::integer)) {
    hours = v->integer();
    if (hours <= -16 || hours >= 16) fire(ErrorCode::script_out_of_range, v);
    minutes = 0;
    negative = hours < 0;
  } else if (v->is(TypeId::time)) {
    // An infinite or NaN time has no hours to read.
    if (!std::isfinite(v->real())) fire(ErrorCode::script_invalid_arg, v);
    const double u = v->real();
    if (u <= -57600.0 || u >= 57600.0) fire(ErrorCode::script_out_of_range, v);
    hours = time::get_hours(u);
    minutes = time::get_minutes(u);
    // The sign of the zone is that of the time, so -0:30 stays west of UTC.
    negative = u < 0;
  } else {
    fire(ErrorCode::script_invalid_arg, v);
  }
  const uint32_t zone = make_zone(hours < 0 ? -hours : hours, minutes, negative);
  const uint32_t w = word(d);
  const double s = stored(d);
  set_word(d, (w & ~kZoneMask) | zone);
  if (keep_instant) {
    set_time(d, s + zone_seconds(zone), true);
  } else {
    d->set_real(to_utc_time(to_local_time(s, zone_code(w)), zone));
  }
}

void set_iso_week(Cell* d, int64_t week) {
  const uint32_t w = word(d);
  set_word(d,
           from_day_number(iso_week_start(w, nullptr) + 7 * week - 7, zone_code(w), has_time(w)));
}

void set_week_day(Cell* d, int64_t wd) {
  const uint32_t w = word(d);
  const int64_t n = to_day_number(w);
  set_word(d, from_day_number(n + wd - mod_floor(n + 2, 7) - 1, zone_code(w), has_time(w)));
}

void set_year_day(Cell* d, int64_t yd) {
  const uint32_t w = word(d);
  set_word(d, from_day_number(year_start(w) + yd - 1, zone_code(w), has_time(w)));
}

int32_t to_epoch(const Cell* d) {
  const double seconds = static_cast<double>(to_day_number(word(d)) - kEpochDay) * kSecondsPerDay +
                         std::trunc(stored(d) + 0.5);
  // Dates after 2038 (and before 1901) leave 32 bits: an error, not a wrap.
  if (!(seconds >= -2147483648.0 && seconds <= 2147483647.0)) fire(ErrorCode::math_overflow);
  return static_cast<int32_t>(seconds);
}

Cell* from_epoch(Cell* c, int64_t seconds) {
  const int64_t n = kEpochDay + seconds / 86400;
  set_cell(c, from_day_number(n, 0, true), static_cast<double>(seconds % 86400));
  if (seconds < 0) set_time(c, stored(c), false);
  return c;
}

void difference(Cell* a, const Cell* b) {
  const double days = static_cast<double>(to_day_number(word(a)) - to_day_number(word(b)));
  set_float(a, days * kSecondsPerDay + (stored(a) - stored(b)), TypeId::time);
}

void do_math(Cell* d, Cell* operand, MathOp op) {
  const uint32_t w = word(d);
  int64_t n = to_day_number(w);
  double t = stored(d);
  bool flag = has_time(w);
  const bool add = op == MathOp::add;
  switch (operand->type()) {
    case TypeId::integer:
      n = add ? n + operand->integer() : n - operand->integer();
      break;
    case TypeId::time:
      t = add ? t + operand->real() : t - operand->real();
      flag = true;
      break;
    case TypeId::date: {
      if (add) {
        fire_not_related("add", TypeId::date);
      }
      n -= to_day_number(word(operand));
      t -= stored(operand);
      // Whole days between the two instants (the floor of their distance in
      // days), whatever the zones: carrying the time by the first date's zone
      // counted a day less west of UTC.
      n = normalize_time(n, &t, 0);
      set_integer(d, static_cast<int32_t>(n));
      return;
    }
    default: {
      Cell dt;
      set_datatype(&dt, operand->type());
      fire(ErrorCode::script_invalid_type, &dt);
    }
  }
  n = normalize_time(n, &t, zone_code(w));
  set_cell(d, from_day_number(n, zone_code(w), flag), t);
}

void integer_left(Cell* left, Cell* right, MathOp op) {
  if (op != MathOp::add) {
    fire_not_related("subtract", TypeId::integer);
  }
  const Cell days = *left;
  *left = *right;
  *right = days;
  do_math(left, right, MathOp::add);
}

// --- constructors

Cell* make_at(Cell* c, int32_t y, int32_t m, int32_t d, double time, int32_t zone_hours,
              int32_t zone_minutes, bool zone_negative, bool with_time) {
  if (!with_time) {
    set_cell(c, pack(y, m, d, 0, false), 0.0);
    return c;
  }
  const uint32_t zone = make_zone(zone_hours < 0 ? -zone_hours : zone_hours, zone_minutes,
                                  zone_negative || zone_hours < 0);
  set_cell(c, pack(y, m, d, zone, true), to_utc_time(time, zone));
  return c;
}

Cell* make_from_os_time(Cell* c, int32_t y, int32_t m, int32_t d, int32_t hour, int32_t minute,
                        int32_t second, int32_t nanoseconds) {
  set_cell(c, pack(y, m, d, 0, true),
           3600.0 * hour + 60.0 * minute + second + 1e-9 * nanoseconds);
  return c;
}

Cell* push(uint32_t w, double stored_time) {
  Cell* c = stack::push_slot();
  *c = Cell{};
  set_cell(c, w, stored_time);
  return c;
}

Cell* make_in(Node block, uint32_t w, double stored_time) {
  Cell* c = append_slot(block);
  *c = Cell{};
  set_cell(c, w, stored_time);
  return c;
}

}  // namespace qel::date
