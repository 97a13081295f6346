// The lexer's loader of date literals:
//   day-month-year and year-month-day, with "-" or "/" (12-Dec-2021,
//     2021-12-12, 12/12/21), the month as 1-2 digits or a name prefix of
//     3 to 9 letters; a two-character year 0-99 is 19xx above 49, else 20xx;
//     a year last may have 5 digits (1-Jan-10000, 1/Jan/-16384), as mold
//     writes the years past 9999 that date arithmetic reaches;
//   ISO week dates 2021-W49 and 2021-W49-7, ordinal dates 2021-346;
//   the compact form 20211212T1030Z;
// each optionally followed by "/" or "T", a time and a zone ("Z", or "+" or
// "-" with hours and optional minutes). Every field is range-checked (no
// carry): 30-Feb-2021 is not a date.
#include <cstring>

#include "datatypes/date.h"
#include "text/dtoa.h"

namespace qel::date {

namespace {

constexpr const char* kMonthNames[] = {"january", "february", "march",     "april",
                                       "may",     "june",     "july",      "august",
                                       "september", "october", "november", "december"};
constexpr int kDaysInMonth[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

inline bool is_digit(uint8_t b) { return b >= '0' && b <= '9'; }
inline uint8_t lower(uint8_t b) { return b >= 'A' && b <= 'Z' ? static_cast<uint8_t>(b + 32) : b; }

struct Reader {
  const uint8_t* p;
  const uint8_t* end;

  bool at_end() const { return p >= end; }
  uint8_t peek(int k = 0) const { return p + k < end ? p[k] : 0; }
  bool take(uint8_t b) {
    if (peek() != b) return false;
    ++p;
    return true;
  }
  // Between `min` and `max` digits; false when fewer than `min`.
  bool digits(int min, int max, int32_t* out) {
    int32_t v = 0;
    int n = 0;
    while (n < max && is_digit(peek())) {
      v = v * 10 + (*p++ - '0');
      ++n;
    }
    *out = v;
    return n >= min;
  }
};

// Seconds: digits with an optional "." fraction, below 60.
bool read_seconds(Reader& r, double* out) {
  const uint8_t* from = r.p;
  while (is_digit(r.peek()) || r.peek() == '.') ++r.p;
  const size_t n = static_cast<size_t>(r.p - from);
  if (n == 0 || n > 312 || !is_digit(*from)) return false;
  int32_t rest = 0;
  *out = dtoa::text_to_float(reinterpret_cast<const char*>(from),
                             reinterpret_cast<const char*>(r.p), &rest);
  return rest == 0 && *out < 60.0;
}

struct Clock {
  bool present = false;
  double seconds = 0.0;  // local time of day
  int32_t zone_hours = 0, zone_minutes = 0;
  bool zone_negative = false;
};

// "Z", or "+"/"-" with zone hours of up to 2 digits, an optional ":" and
// zone minutes of up to 2 digits. Nothing is also fine.
bool read_zone(Reader& r, Clock* c, bool compact) {
  if (r.take('Z')) return true;
  if (r.peek() != '+' && r.peek() != '-') return true;
  c->zone_negative = *r.p++ == '-';
  if (!r.digits(compact ? 2 : 1, 2, &c->zone_hours)) return false;
  if (compact) {
    if (!r.digits(2, 2, &c->zone_minutes)) return false;
  } else {
    r.take(':');
    r.digits(0, 2, &c->zone_minutes);
  }
  // The date word holds zone hours 0-15 in quarter hours.
  return c->zone_hours <= 15 && c->zone_minutes <= 59;
}

// hh:mm[:ss[.f]] and a zone.
bool read_clock(Reader& r, Clock* c) {
  int32_t h = 0, m = 0;
  double s = 0.0;
  if (!r.digits(1, 2, &h) || !r.take(':') || !r.digits(1, 2, &m)) return false;
  if (r.take(':') && !read_seconds(r, &s)) return false;
  if (h > 23 || m > 59) return false;
  c->present = true;
  c->seconds = h * 3600.0 + m * 60.0 + s;
  return read_zone(r, c, false);
}

// The compact form's time after "T": hhmm, then "Z" or seconds, then an
// optional zone.
bool read_compact_clock(Reader& r, Clock* c) {
  int32_t h = 0, m = 0;
  double s = 0.0;
  if (!r.take('T') || !r.digits(2, 2, &h) || !r.digits(2, 2, &m)) return false;
  if (r.peek() != 'Z' && !read_seconds(r, &s)) return false;
  if (h > 23 || m > 59) return false;
  c->present = true;
  c->seconds = h * 3600.0 + m * 60.0 + s;
  return read_zone(r, c, true);
}

// An optional "/" or "T" and a time.
bool read_optional_clock(Reader& r, Clock* c) {
  if (r.at_end()) return true;
  if (!r.take('/') && !r.take('T')) return false;
  return read_clock(r, c);
}

// A month name prefix of 3 to 9 letters: the month, or 0.
int32_t month_by_name(Reader& r) {
  const uint8_t* from = r.p;
  while ((lower(r.peek()) >= 'a' && lower(r.peek()) <= 'z')) ++r.p;
  const size_t n = static_cast<size_t>(r.p - from);
  if (n < 3 || n > 9) return 0;
  for (int32_t m = 0; m < 12; ++m) {
    const char* name = kMonthNames[m];
    if (std::strlen(name) < n) continue;
    size_t i = 0;
    while (i < n && lower(from[i]) == static_cast<uint8_t>(name[i])) ++i;
    if (i == n) return m + 1;
  }
  return 0;
}

bool valid_day(int32_t y, int32_t m, int32_t d) {
  if (m < 1 || m > 12 || d < 1 || d > kDaysInMonth[m - 1]) return false;
  return !(m == 2 && d == 29 && !leap_year_q(y));
}

// Years written with 4 digits or fewer are -9999..9999; five digits reach
// the years the date word holds.
bool finish(Cell* out, int32_t y, int32_t m, int32_t d, const Clock& c) {
  if (y < kMinYear || y > kMaxYear || !valid_day(y, m, d)) return false;
  make_at(out, y, m, d, c.seconds, c.zone_hours, c.zone_minutes, c.zone_negative, c.present);
  return true;
}

}  // namespace

bool scan_date(const uint8_t* text, const uint8_t* end, Cell* out) {
  Reader r{text, end};
  Clock clock;

  // The first number: an optional "-" and up to 4 digits.
  const bool first_negative = r.take('-');
  int32_t first = 0;
  if (!r.digits(1, 4, &first)) return false;
  const int32_t first_chars = static_cast<int32_t>(r.p - text);
  if (first_negative) first = -first;

  if (is_digit(r.peek())) {
    // Compact: yyyymmddThhmm...
    int32_t m = 0, d = 0;
    if (first_chars != 4 || !r.digits(2, 2, &m) || !r.digits(2, 2, &d)) return false;
    if (!read_compact_clock(r, &clock) || !r.at_end()) return false;
    return finish(out, first, m, d, clock);
  }

  if (r.peek() == '-' && r.peek(1) == 'W') {
    // ISO week date: yyyy-Www[-d].
    r.p += 2;
    int32_t week = 0, wd = 1;
    if (first_chars != 4 || !r.digits(2, 2, &week) || week < 1 || week > 53) return false;
    if (r.peek() == '-' && is_digit(r.peek(1))) {
      ++r.p;
      if (!r.digits(1, 1, &wd) || wd < 1 || wd > 7) return false;
    }
    if (!read_optional_clock(r, &clock) || !r.at_end()) return false;
    Cell d{};
    make_at(&d, first, 1, 1, 0.0, 0, 0, false, false);
    set_iso_week(&d, week);
    set_week_day(&d, wd);
    const uint32_t w = word(&d);
    return finish(out, year(w), month(w), day(w), clock);
  }

  if (r.peek() == '-' && is_digit(r.peek(1)) && is_digit(r.peek(2)) && is_digit(r.peek(3)) &&
      !is_digit(r.peek(4)) && r.peek(4) != '-' && r.peek(4) != '/') {
    // Ordinal date: yyyy-ddd.
    ++r.p;
    int32_t yd = 0;
    r.digits(3, 3, &yd);
    if (yd < 1 || yd > (leap_year_q(first) ? 366 : 365)) return false;
    if (!read_optional_clock(r, &clock) || !r.at_end()) return false;
    Cell d{};
    make_at(&d, first, 1, 1, 0.0, 0, 0, false, false);
    set_year_day(&d, yd);
    const uint32_t w = word(&d);
    return finish(out, year(w), month(w), day(w), clock);
  }

  // day-month-year or year-month-day.
  const uint8_t sep = r.peek();
  if (sep != '-' && sep != '/') return false;
  ++r.p;
  int32_t m = 0;
  if (is_digit(r.peek())) {
    if (!r.digits(1, 2, &m)) return false;
  } else {
    m = month_by_name(r);
    if (m == 0) return false;
  }
  if (!r.take(sep)) return false;
  const uint8_t* last_at = r.p;
  const bool last_negative = r.take('-');
  // Up to 4 digits; a fifth only for a year beyond 9999, which date
  // arithmetic reaches and mold writes in full.
  int32_t last = 0;
  if (!r.digits(1, 5, &last)) return false;
  const int32_t last_chars = static_cast<int32_t>(r.p - last_at);
  if (r.p - last_at - (last_negative ? 1 : 0) == 5 && last <= 9999) return false;
  if (last_negative) last = -last;
  if (!read_optional_clock(r, &clock) || !r.at_end()) return false;

  int32_t y, d, year_chars;
  if (last < 0 || last > 31 || first <= 99) {
    d = first;
    y = last;
    year_chars = last_chars;
  } else {
    y = first;
    d = last;
    year_chars = first_chars;
  }
  if (y >= 0 && y <= 99 && year_chars <= 2) y += y > 49 ? 1900 : 2000;
  return finish(out, y, m, d, clock);
}

}  // namespace qel::date
