// date! actions: make and to, random, form and mold, comparison, the
// arithmetic actions, the fields (paths and pick) and the row.
#include <cmath>
#include <string_view>
#include <utility>

#include "datatypes/date.h"
#include "datatypes/float.h"
#include "lexer/lexer.h"
#include "memory/hashtable.h"
#include "core/stack.h"
#include "text/random.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/time.h"

namespace qel::date {

namespace {

[[noreturn]] void bad_to_arg(const Cell* spec) {
  Cell dt;
  set_datatype(&dt, TypeId::date);
  fire(ErrorCode::script_bad_to_arg, &dt, spec);
}

int32_t english_month(int32_t m, Cell* buffer, int32_t limit) {
  static constexpr const char kNames[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (m < 1 || m > 12) fire(ErrorCode::script_invalid_months);
  return string::emit(buffer, std::string_view(kNames + 3 * (m - 1), 3), limit);
}

// The first three characters of the month's entry in system/locale/months.
// The English name serves while that block does not exist, and when it has
// no text for the month: a mold that raised would leave every error report
// near a date unprintable, and a console could not show its errors again.
int32_t locale_month(int32_t m, Cell* buffer, int32_t limit) {
  const Cell* months = object::system_field({"locale", "months"});
  if (!months || !months->is(TypeId::block) || m < 1 || block::rs_length_q(months) < m)
    return english_month(m, buffer, limit);
  const Cell name = *block::rs_abs_at(months, months->head() + m - 1);
  if (!name.is(TypeId::string)) return english_month(m, buffer, limit);
  const int32_t n = std::min(string::rest_length(&name), 3);
  for (int32_t i = 0; i < n; i++) limit = string::emit_char(buffer, string::rs_abs_at(&name, name.head() + i), limit);
  return limit;
}

// --- make-from-block

// What one value of a date spec block fills.
enum class Slot : uint8_t { reject, d1, d2, d3, hour, minute, second, second_float, zone_hours,
                            zone_minutes, time, zone };
struct Step {
  uint8_t next;
  Slot slot;
};
// Per state, the step an integer!, a time! and a float! take. Accepted
// shapes: day month year, then a time! or hour [minute [second]], then
// (after a full time) a zone as a time! or zone hours [zone minutes].
constexpr Step kSteps[14][3] = {
    /* 0 */ {{1, Slot::d1}, {0, Slot::reject}, {0, Slot::reject}},
    /* 1 */ {{2, Slot::d2}, {0, Slot::reject}, {0, Slot::reject}},
    /* 2 */ {{3, Slot::d3}, {0, Slot::reject}, {0, Slot::reject}},
    /* 3 */ {{8, Slot::hour}, {4, Slot::time}, {0, Slot::reject}},
    /* 4 */ {{6, Slot::zone_hours}, {5, Slot::zone}, {0, Slot::reject}},
    /* 5 */ {{0, Slot::reject}, {0, Slot::reject}, {0, Slot::reject}},
    /* 6 */ {{7, Slot::zone_minutes}, {0, Slot::reject}, {0, Slot::reject}},
    /* 7 */ {{0, Slot::reject}, {0, Slot::reject}, {0, Slot::reject}},
    /* 8 */ {{9, Slot::minute}, {0, Slot::reject}, {0, Slot::reject}},
    /* 9 */ {{10, Slot::second}, {0, Slot::reject}, {10, Slot::second_float}},
    /* 10 */ {{12, Slot::zone_hours}, {11, Slot::zone}, {0, Slot::reject}},
    /* 11 */ {{0, Slot::reject}, {0, Slot::reject}, {0, Slot::reject}},
    /* 12 */ {{13, Slot::zone_minutes}, {0, Slot::reject}, {0, Slot::reject}},
    /* 13 */ {{0, Slot::reject}, {0, Slot::reject}, {0, Slot::reject}},
};

// Reads [day month year ...] (or year first) into `out`. `strict` (make)
// refuses a spec whose fields would carry; `to` keeps the carried date.
bool from_block(Cell* spec, bool strict, Cell* out) {
  const int32_t count = block::rs_length_q(spec);
  if (count < 3) return false;
  int64_t d1 = 0, d2 = 0, d3 = 0, hour = 0, minute = 0, second = 0, zh = 0, zm = 0;
  double second_float = 0.0, time_value = 0.0, zone_value = 0.0;
  bool have_time_value = false, have_zone_value = false, have_zone = false;
  const Cell* item = block::rs_head(spec);
  int state = 0;
  for (int32_t i = 0; i < count; ++i, ++item) {
    int column;
    switch (item->type()) {
      case TypeId::integer: column = 0; break;
      case TypeId::time: column = 1; break;
      case TypeId::float_: column = 2; break;
      default: return false;
    }
    const Step step = kSteps[state][column];
    const int64_t iv = column == 0 ? item->integer() : 0;
    const double fv = column == 0 ? 0.0 : item->real();
    switch (step.slot) {
      case Slot::reject: return false;
      case Slot::d1: d1 = iv; break;
      case Slot::d2: d2 = iv; break;
      case Slot::d3: d3 = iv; break;
      case Slot::hour: hour = iv; break;
      case Slot::minute: minute = iv; break;
      case Slot::second: second = iv; break;
      case Slot::second_float: second_float = fv; break;
      case Slot::zone_hours: zh = iv; have_zone = true; break;
      case Slot::zone_minutes: zm = iv; break;
      case Slot::time: time_value = fv; have_time_value = true; break;
      case Slot::zone: zone_value = fv; have_zone_value = have_zone = true; break;
    }
    state = step.next;
  }
  if (d1 >= 100 && d1 > d3) std::swap(d1, d3);
  if (d3 < kMinYear || d3 > kMaxYear) return false;
  const double t = have_time_value
                       ? time_value
                       : static_cast<double>(hour) * 3600.0 + static_cast<double>(minute) * 60.0 +
                             (second_float != 0.0 ? second_float : static_cast<double>(second));
  const int64_t given_minutes = have_time_value ? time::get_minutes(time_value) : minute;

  uint32_t zone = 0;
  if (have_zone) {
    bool negative;
    if (have_zone_value) {
      zh = time::get_hours(zone_value);
      zm = time::get_minutes(zone_value);
      negative = zone_value < 0;
    } else {
      negative = zh < 0;
    }
    if (zh < 0) zh = -zh;
    // A zone the date word cannot hold is refused rather than wrapped.
    if (zh > 15 || zm < 0 || zm > 59) return false;
    zone = make_zone(static_cast<int32_t>(zh), static_cast<int32_t>(zm), negative);
  }

  const bool with_time = count > 3;
  // Day 0 of the month (carrying the month), then the day added.
  set_cell(out, pack(static_cast<int32_t>(d3), 1, 1, 0, false), 0.0);
  set_month(out, d2);
  const uint32_t w = word(out);
  const int64_t n = to_day_number(pack(year(w), month(w), 0, 0, false)) + d1;
  set_cell(out, from_day_number(n, 0, with_time), 0.0);
  set_time(out, t, false);
  if (strict) {
    const uint32_t r = word(out);
    if (year(r) != d3 || month(r) != d2 || day(r) != d1) return false;
    if (t != 0.0) {
      const int32_t h = time::get_hours(t);
      if (h < 0 || h > 23 || time::get_minutes(stored(out)) != given_minutes) return false;
    }
  }
  // The time given is local time in the given zone.
  out->data1 = (word(out) & ~kZoneMask) | zone;
  set_time(out, stored(out), true);
  return true;
}

Cell* from_spec(Cell* proto, Cell* spec, bool strict) {
  Cell made{};
  if (!from_block(spec, strict, &made)) bad_to_arg(spec);
  *proto = made;
  return proto;
}

int32_t emit_two_digits(Cell* buffer, int32_t v, int32_t limit) {
  const char text[2] = {static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10)};
  return string::emit(buffer, std::string_view(text, 2), limit);
}

constexpr const char* kFieldNames[] = {"date",    "year",     "month",    "day",  "zone",
                                       "time",    "hour",     "minute",   "second",
                                       "weekday", "yearday",  "timezone", "week", "isoweek",
                                       "julian"};

Field field_of(const Cell* element) {
  if (element->is(TypeId::integer)) {
    const int32_t i = element->integer();
    return i >= 1 && i <= kFieldCount ? static_cast<Field>(i) : Field::none;
  }
  return field_of_word(element);
}

int64_t integer_arg(const Cell* value) {
  if (!value->is(TypeId::integer)) fire(ErrorCode::script_invalid_arg, value);
  return value->integer();
}

double local_time(const Cell* d) { return to_local_time(stored(d), zone_code(word(d))); }

}  // namespace

MonthNameFn emit_month_name = locale_month;

// --- fields

Field field_of_word(const Cell* w) {
  static uint32_t cache[kFieldCount + 1] = {};
  const int32_t i = time::field_index(w, kFieldNames, kFieldCount + 1, cache);
  if (i == kFieldCount + 1) return Field::yearday;  // julian
  return static_cast<Field>(i);
}

void get_field(const Cell* d, Field f, Cell* out) {
  const uint32_t w = word(d);
  switch (f) {
    case Field::date: {
      Cell bare{};
      set_cell(&bare, w & ~(kTimeFlag | kZoneMask), 0.0);
      *out = bare;
      return;
    }
    case Field::year: set_integer(out, year(w)); return;
    case Field::month: set_integer(out, month(w)); return;
    case Field::day: set_integer(out, day(w)); return;
    case Field::zone:
    case Field::timezone:
      if (has_time(w))
        set_float(out, zone_seconds(zone_code(w)), TypeId::time);
      else
        set_none(out);
      return;
    case Field::time:
      if (has_time(w))
        set_float(out, local_time(d), TypeId::time);
      else
        set_none(out);
      return;
    case Field::hour: time::read_field(local_time(d), time::Field::hour, out); return;
    case Field::minute: time::read_field(local_time(d), time::Field::minute, out); return;
    case Field::second: time::read_field(local_time(d), time::Field::second, out); return;
    case Field::weekday: set_integer(out, weekday(to_day_number(w))); return;
    case Field::yearday: set_integer(out, year_day(w)); return;
    case Field::week: set_integer(out, sunday_week(w)); return;
    case Field::isoweek: set_integer(out, iso_week(w)); return;
    default: set_none(out); return;
  }
}

void set_field(Cell* d, Field f, const Cell* value) {
  const uint32_t w = word(d);
  switch (f) {
    case Field::date:
      // Year, month, day and time flag come from the value; zone and stored
      // time stay.
      if (!value->is(TypeId::date)) fire(ErrorCode::script_invalid_arg, value);
      d->data1 = (word(value) & ~kZoneMask) | zone_code(w);
      return;
    case Field::year: {
      const int64_t y = integer_arg(value);
      if (y < kMinYear || y > kMaxYear) fire(ErrorCode::script_out_of_range, value);
      d->data1 = pack(static_cast<int32_t>(y), month(w), day(w), zone_code(w), has_time(w));
      renormalize(d);
      return;
    }
    case Field::month: set_month(d, integer_arg(value)); return;
    case Field::day: {
      const int64_t n = to_day_number(pack(year(w), month(w), 0, 0, false)) + integer_arg(value);
      d->data1 = from_day_number(n, zone_code(w), has_time(w));
      return;
    }
    case Field::zone:
    case Field::timezone:
      if (!value->is(TypeId::integer) && !value->is(TypeId::time))
        fire(ErrorCode::script_invalid_arg, value);
      d->data1 |= kTimeFlag;
      set_zone(d, value, f == Field::timezone);
      return;
    case Field::time:
      if (value->is(TypeId::none)) {
        d->data1 &= ~kTimeFlag;
        d->set_real(0.0);
      } else if (value->is(TypeId::time)) {
        d->data1 |= kTimeFlag;
        set_time(d, value->real(), true);
      } else {
        fire(ErrorCode::script_invalid_arg, value);
      }
      return;
    case Field::hour:
    case Field::minute:
    case Field::second: {
      // The field is set on the local time of day, which is what reading it
      // shows (the stored time differs from it by the zone).
      const auto tf = static_cast<time::Field>(static_cast<int32_t>(f) - 6);
      const double t = time::write_field(local_time(d), tf, value);
      d->data1 |= kTimeFlag;
      set_time(d, t, true);
      return;
    }
    case Field::weekday: set_week_day(d, integer_arg(value)); return;
    case Field::yearday: set_year_day(d, integer_arg(value)); return;
    case Field::week: {
      const int64_t v = integer_arg(value);
      const int64_t start = year_start(w);
      const int64_t e = ((start + 3) % 7 + 7) % 7;
      const int64_t n = v > 1 ? start + 7 * v - e - 7 : start;
      d->data1 = from_day_number(n, zone_code(w), has_time(w));
      return;
    }
    case Field::isoweek: set_iso_week(d, integer_arg(value)); return;
    default: return;
  }
}

// --- actions

Cell* make(Cell* proto, Cell* spec, TypeId) {
  switch (spec->type()) {
    case TypeId::date: return spec;
    case TypeId::block:
    case TypeId::paren:
    case TypeId::hash: return from_spec(proto, spec, true);
    default: bad_to_arg(spec);
  }
}

Cell* to(Cell* proto, Cell* spec, TypeId) {
  switch (spec->type()) {
    case TypeId::date: return spec;
    case TypeId::integer: {
      Cell made{};
      from_epoch(&made, spec->integer());
      *proto = made;
      return proto;
    }
    case TypeId::block:
    case TypeId::paren:
    case TypeId::hash: return from_spec(proto, spec, false);
    case TypeId::string:
      // A date text: its first value, as load reads it.
      if (!lexer::load_first_of(proto, spec, TypeId::date)) bad_to_arg(spec);
      return proto;
    default: bad_to_arg(spec);
  }
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  const uint32_t w = word(value);
  if (seed) {
    const uint32_t s = w + static_cast<uint32_t>(integer::truncate_or_min(stored(value)));
    random::seed(s);
    set_unset(value);
    return value;
  }
  const int64_t n = to_day_number(w);
  const int32_t bound = n > 2147483647    ? 2147483647
                        : n < -2147483647 ? -2147483647
                                          : static_cast<int32_t>(n);
  const int64_t drawn = static_cast<int64_t>(random::int_uniform(secure, bound)) - 1;
  value->data1 = from_day_number(drawn, zone_code(w), has_time(w));
  if (has_time(w)) {
    const int32_t bits = (secure ? random::secure_int() : random::next()) & 0x7F;
    value->data1 =
        (word(value) & ~kZoneMask) | (bits == kZoneSign ? 0u : static_cast<uint32_t>(bits));
    double x;
    if (secure) {
      const double r1 = random::secure_int(), r2 = random::secure_int();
      x = (r2 + r1 / 2147483647.0) / (2147483648.0 / 3600.0);
    } else {
      x = random::next() / 2147483647.0 * 3600.0;
    }
    // A whole multiple of 24 seconds; dividing by 3600 first left it a hair
    // below a whole second, which molded as ":60".
    set_time(value, std::floor(x) * (kSecondsPerDay / 3600.0), true);
  }
  return value;
}

namespace {

// The local time as the text shows it. Seconds within a millionth of the
// next minute form as "60", which the loader refuses; the text rounds them
// up to the minute instead, and *shown moves to the next day when that
// minute is midnight. On the last day a date can hold, the seconds stop at
// 59.9999.
double formed_local_time(Cell* shown) {
  const double t = local_time(shown);
  const double s = std::fmod(t, time::kSecondsPerMinute);
  if (s < 59.0 || float_::form_float(s, float_::FormKind::time).view() != "60") return t;
  const double minute = t - s + time::kSecondsPerMinute;
  const uint32_t w = word(shown);
  if (minute < kSecondsPerDay) return minute;
  if (year(w) == kMaxYear && month(w) == 12 && day(w) == 31) return t - s + 59.9999;
  set_time(shown, minute, true);
  return local_time(shown);
}

}  // namespace

namespace {

// The text of a date, its month named by `month_name`; with `exact` (mold/all)
// the seconds in as many decimals as the time needs to load back.
int32_t write_date(Cell* value, Cell* buffer, int32_t limit, MonthNameFn month_name,
                   bool exact = false) {
  Cell shown = *value;
  const double shown_time =
      !has_time(word(value)) ? 0.0 : exact ? local_time(&shown) : formed_local_time(&shown);
  const uint32_t w = word(&shown);
  const int32_t y = year(w);
  limit = string::emit(buffer, integer::form_signed(day(w)).view(), limit);
  const std::string_view sep = y < 0 ? "/" : "-";
  limit = string::emit(buffer, sep, limit);
  limit = month_name(month(w), buffer, limit);
  limit = string::emit(buffer, sep, limit);
  const int32_t magnitude = y < 0 ? -y : y;
  if (y < 0) limit = string::emit(buffer, "-", limit);
  if (magnitude <= 99) {
    limit = emit_two_digits(buffer, 0, limit);
    limit = emit_two_digits(buffer, magnitude, limit);
  } else {
    limit = string::emit(buffer, integer::form_signed(magnitude).view(), limit);
  }
  if (!has_time(w)) return limit;
  limit = string::emit(buffer, "/", limit);
  limit = exact ? time::form_exact(shown_time, buffer, limit)
                : time::form_value(shown_time, buffer, limit);
  const uint32_t zone = zone_code(w);
  if (zone == 0) return limit;
  limit = string::emit(buffer, (zone & kZoneSign) ? "-" : "+", limit);
  limit = emit_two_digits(buffer, static_cast<int32_t>((zone >> 2) & 15), limit);
  limit = string::emit(buffer, ":", limit);
  return emit_two_digits(buffer, static_cast<int32_t>(zone & 3) * 15, limit);
}

}  // namespace

// form names the month as system/locale/months does; mold always in English,
// the names the loader reads, so that a molded or saved date loads back.
int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  return write_date(value, buffer, limit, emit_month_name);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
  return write_date(value, buffer, limit, english_month, all);
}

int32_t compare(Cell* a, Cell* b, CompareOp op) {
  if (!b->is(TypeId::date)) return kNotComparable;
  // Year, month and day of the local date; the zone is left out.
  const int32_t ka = static_cast<int32_t>(word(a) & ~kTimeFlag) >> 7;
  const int32_t kb = static_cast<int32_t>(word(b) & ~kTimeFlag) >> 7;
  const double sa = stored(a);
  double sb = stored(b);
  if (op == CompareOp::same)
    return ka == kb && float_::bits(sa) == float_::bits(sb) ? 0 : 1;
  // Dates are compared as instants. The stored time of a zoned date may lie
  // outside its local day (by up to the zone's offset), so two local dates
  // one or two days apart can still stand for the same or reversed instants:
  // b's stored time is then counted from a's local day. Further apart, the
  // days alone decide.
  const bool equality = op == CompareOp::equal || op == CompareOp::not_equal ||
                        op == CompareOp::strict_equal || op == CompareOp::find;
  if (ka != kb) {
    const int64_t gap = to_day_number(word(a)) - to_day_number(word(b));
    if (gap > 2 || gap < -2) return equality ? 1 : (gap < 0 ? -1 : 1);
    sb -= static_cast<double>(gap) * 86400.0;
  }
  if (float_::almost_equal(sa, sb)) return 0;
  if (equality) return 1;
  return sa < sb ? -1 : 1;
}

void add() { do_math(stack::arguments, stack::arguments + 1, MathOp::add); }
void subtract() { do_math(stack::arguments, stack::arguments + 1, MathOp::subtract); }

Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  const Field f = field_of(element);
  if (f == Field::none)
    fire(ErrorCode::script_invalid_path, step.path ? step.path : element, element);
  if (value == nullptr) {
    Cell* out = stack::push_slot();
    get_field(parent, f, out);
    return out;
  }
  set_field(parent, f, value);
  return value;
}

Cell* pick(Cell* value, int32_t index, Cell* index_cell) {
  Field f;
  if (is_any_word(index_cell->type()) && !index_cell->is(TypeId::issue)) {
    f = field_of_word(index_cell);
    if (f == Field::none) fire(ErrorCode::script_cannot_use, index_cell, value);
  } else {
    if (index < 1 || index > kFieldCount) fire(ErrorCode::script_out_of_range, index_cell);
    f = static_cast<Field>(index);
  }
  Cell* out = stack::push_slot();
  get_field(value, f, out);
  return out;
}

namespace {
bool load_token(const lexer::LateToken& token, bool build, Cell* out) {
  Cell made{};
  if (!scan_date(token.text, token.text + token.len, &made)) return false;
  if (build) *out = made;
  return true;
}

// The hash of a date! key in maps and hashes. Dates are equal when they
// stand for the same instant, whatever their zones (a bare date is its day
// at 0:00): the instant, to the second, is hashed.
uint32_t hash_key(const Cell* key, bool) {
  if (!key->is(TypeId::date)) return 0;
  const double instant = static_cast<double>(to_day_number(key->data1)) * kSecondsPerDay + key->real();
  const double seconds = std::nearbyint(instant);
  const int64_t v = std::isfinite(seconds) ? static_cast<int64_t>(seconds) : 0;
  return hashtable::murmur3(&v, sizeof v);
}
}  // namespace

void register_() {
  static constexpr ActionRow row{
      .make = make,
      .random = random,
      .to = to,
      .form = form,
      .mold = mold,
      .eval_path = eval_path,
      .compare = compare,
      .add = add,
      .subtract = subtract,
      .pick = pick,
  };
  datatype::register_type(TypeId::date, TypeId::none_id, "date!", row);
  lexer::register_loader(lexer::LateClass::date, load_token);
  hashtable::hash_other = hash_key;
}

}  // namespace qel::date
