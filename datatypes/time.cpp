// time!: construction, the h:mm:ss text, the fields, the arithmetic that
// differs from float!, and the lexer's loader of time literals.
#include "datatypes/time.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "datatypes/date.h"
#include "datatypes/float.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "text/dtoa.h"
#include "memory/series.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::time {

namespace {

[[noreturn]] void bad_to_arg(const Cell* spec) {
  Cell dt;
  set_datatype(&dt, TypeId::time);
  fire(ErrorCode::script_bad_to_arg, &dt, spec);
}

constexpr const char* kFieldNames[] = {"hour", "minute", "second"};

// The field an eval-path element or pick index names, or Field::none.
Field field_of(const Cell* element) {
  if (element->is(TypeId::integer)) {
    const int32_t i = element->integer();
    return i >= 1 && i <= 3 ? static_cast<Field>(i) : Field::none;
  }
  return field_of_word(element);
}

}  // namespace

Cell* push(double seconds) {
  Cell* c = stack::push_slot();
  set_float(c, seconds, TypeId::time);
  return c;
}

Cell* make_in(Node block, uint32_t high, uint32_t low) {
  Cell* c = append_slot(block);
  *c = Cell{static_cast<uint32_t>(TypeId::time), 0, low, high};
  return c;
}

// --- fields

int32_t get_hours(double seconds) {
  const double h = seconds / kSecondsPerHour;
  return integer::truncate_or_min(h < 0 ? std::ceil(h) : std::floor(h));
}

int32_t get_minutes(double seconds) {
  return integer::truncate_or_min(
      std::floor(std::fmod(std::fabs(seconds), kSecondsPerHour) / kSecondsPerMinute));
}

Field field_of_word(const Cell* word) {
  static uint32_t cache[3] = {};
  return static_cast<Field>(field_index(word, kFieldNames, 3, cache));
}

int32_t field_index(const Cell* word, const char* const* names, int32_t count, uint32_t* cache) {
  if (!is_any_word(word->type()) || word->is(TypeId::issue)) return 0;
  const SymbolId s = symbol::resolve(word->symbol());
  for (int32_t i = 0; i < count; ++i) {
    if (cache[i] == 0) cache[i] = symbol::resolve(symbol::find_nocase(names[i]));
    if (cache[i] == s) return i + 1;
  }
  return 0;
}

void read_field(double seconds, Field field, Cell* out) {
  switch (field) {
    case Field::hour: set_integer(out, get_hours(seconds)); return;
    case Field::minute: set_integer(out, get_minutes(seconds)); return;
    default: set_float(out, std::fmod(seconds, kSecondsPerMinute)); return;
  }
}

double write_field(double seconds, Field field, const Cell* value) {
  const bool integer = value->is(TypeId::integer);
  if (!integer && !(field == Field::second && value->is(TypeId::float_)))
    fire(ErrorCode::script_invalid_arg, value);
  if (field == Field::second) {
    const double n = integer ? value->integer() : value->real();
    return seconds - (std::fmod(seconds, kSecondsPerMinute) - n);
  }
  // A time reads as a signed hour (toward zero) and the minutes and seconds
  // of its magnitude, and writing keeps to that reading, so a field reads
  // back as written: the time takes a written hour's sign (a zero hour keeps
  // the time's), and written minutes keep the hour and the sign. (Floored
  // fields would turn -1:30:00 into -0:30:00 for a written hour of -1.)
  bool negative = seconds < 0;
  double t = std::fabs(seconds);
  const double n = value->integer();
  if (field == Field::hour) {
    if (n != 0) negative = n < 0;
    t = t - (std::floor(t / kSecondsPerHour) - std::fabs(n)) * kSecondsPerHour;
  } else {
    t = t - (std::floor(std::fmod(t, kSecondsPerHour) / kSecondsPerMinute) - n) *
                kSecondsPerMinute;
  }
  return negative ? 0.0 - t : t;
}

// --- text

namespace {
int32_t form_time(double t, Cell* buffer, int32_t limit, bool exact);
}

int32_t form_value(double t, Cell* buffer, int32_t limit) {
  return form_time(t, buffer, limit, false);
}
int32_t form_exact(double t, Cell* buffer, int32_t limit) {
  return form_time(t, buffer, limit, true);
}

namespace {

// The seconds `s` of the time `t` (below 60) in the fewest fixed decimals,
// six at least, that the loader turns back into `t`: it adds them to the
// whole minutes, which are exact.
std::string exact_seconds(double t, double s) {
  const double minutes = t - s;
  // (Common values stop at 6 to 17 decimals. The loader takes seconds of
  // up to 312 characters, so 309 decimals at most: seconds whose digits
  // run past them, below about 1e-292, load back rounded to 309 decimals.)
  char text[320];
  for (int digits = 6; digits <= 309; digits++) {
    std::snprintf(text, sizeof text, "%.*f", digits, s);
    if (minutes + std::strtod(text, nullptr) == t) break;
  }
  std::string out(text);
  while (out.size() > 1 && out.back() == '0') out.pop_back();
  if (out.back() == '.') out.pop_back();
  // (Two digits of seconds at least: prefixed as a new string, as insert at
  // 0 draws a false overlap warning from g++ 12.)
  if (out.size() == 1 || out[1] == '.') return '0' + out;
  return out;
}

// The h:mm:ss text of `t` (finite): hours in all their digits, minutes in
// two, seconds in at most six significant digits, or with `exact` in the
// fewest decimals that load back.
std::string layout(double t, bool exact) {
  std::string out;
  if (t < 0) {
    out = "-";
    t = 0.0 - t;
  }
  // (fabs: a negative zero is written without its sign, as 0.)
  const double hours = std::floor(std::fabs(t) / kSecondsPerHour);
  // The hours in all their digits (at most 305 for the largest double), so
  // that the loader reads any time back.
  char text[330];
  int n = std::snprintf(text, sizeof text, "%.0f", hours);
  const int32_t minutes =
      static_cast<int32_t>(std::floor(std::fmod(t, kSecondsPerHour) / kSecondsPerMinute));
  text[n++] = ':';
  text[n++] = static_cast<char>('0' + minutes / 10);
  text[n++] = static_cast<char>('0' + minutes % 10);
  text[n++] = ':';
  out.append(text, n);
  const double s = std::fmod(t, kSecondsPerMinute);
  if (exact) return out + (s == 0.0 ? std::string("00") : exact_seconds(t, s));
  if (s < kTolerance) return out + "00";
  const float_::Text st = float_::form_float(s, float_::FormKind::time);
  if (st.size == 1 || st.chars[1] == '.') out += '0';
  out.append(st.view());
  return out;
}

// Past 2^53 seconds the loader's sum hours * 3600 + minutes * 60 + seconds
// rounds at each step, so the layout of a large `t` (positive) may load as a
// neighbouring time. Whole hours whose seconds lie at or below `t`, no
// minutes, and the exact rest as the seconds add up to `t` itself: the text
// of that, or "" when the rest is no whole number.
std::string exact_large(double t) {
  double hours = std::floor(t / kSecondsPerHour);
  for (int i = 0; i < 8 && hours * kSecondsPerHour > t; ++i)
    hours = std::floor(std::nextafter(hours, 0.0));
  const double rest = t - hours * kSecondsPerHour;
  if (rest < 0 || rest != std::floor(rest)) return {};
  char text[700];
  std::snprintf(text, sizeof text, "%.0f:00:%02.0f", hours, rest);
  return text;
}

// Whether `text` loads as the time `t`.
bool loads_as(const std::string& text, double t) {
  double back = 0.0;
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  return scan_time(p, p + text.size(), &back) && back == t;
}

int32_t form_time(double t, Cell* buffer, int32_t limit, bool exact) {
  if (!std::isfinite(t))
    return string::emit(buffer, float_::form_float(t, float_::FormKind::float64).view(), limit);
  std::string text = layout(t, exact);
  if (exact && std::fabs(t) >= 9007199254740992.0 && !loads_as(text, t)) {
    std::string large = exact_large(std::fabs(t));
    if (!large.empty()) {
      if (t < 0) large = '-' + large;
      if (loads_as(large, t)) text = large;
    }
  }
  return string::emit(buffer, text, limit);
}

}  // namespace

// --- actions

namespace {

// [hours minutes seconds]: hours and minutes integer!, seconds integer! or
// float!; only the hours may be negative, which negates the whole time.
bool from_block(Cell* spec, double* out) {
  const int32_t n = block::rs_length_q(spec);
  if (n > 3) return false;
  const Cell* item = n > 0 ? block::rs_head(spec) : nullptr;
  double total = 0.0;
  bool negative = false;
  for (int32_t i = 0; i < n; ++i, ++item) {
    double v;
    if (item->is(TypeId::integer))
      v = item->integer();
    else if (i == 2 && item->is(TypeId::float_))
      v = item->real();
    else
      return false;
    if (v < 0) {
      if (i > 0) return false;
      negative = true;
      v = 0.0 - v;
    }
    total += v * (i == 0 ? kSecondsPerHour : i == 1 ? kSecondsPerMinute : 1.0);
  }
  *out = negative ? 0.0 - total : total;
  return true;
}

void frame_math(MathOp op) { float_::do_math(stack::arguments, stack::arguments + 1, op); }

}  // namespace

Cell* make(Cell* proto, Cell* spec, TypeId) {
  double v = 0.0;
  switch (spec->type()) {
    case TypeId::time: return spec;
    case TypeId::integer: v = spec->integer(); break;
    case TypeId::float_:
    case TypeId::percent: v = spec->real(); break;
    case TypeId::block:
    case TypeId::paren:
    case TypeId::hash:
      if (!from_block(spec, &v)) bad_to_arg(spec);
      break;
    case TypeId::string:
    case TypeId::file:
    case TypeId::url:
    case TypeId::tag:
    case TypeId::email:
    case TypeId::ref: {
      Cell first;
      if (!lexer::load_first_of(&first, spec, TypeId::time)) bad_to_arg(spec);
      v = first.real();
      break;
    }
    default: bad_to_arg(spec);
  }
  set_float(proto, v, TypeId::time);
  return proto;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  return form_value(value->real(), buffer, limit);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
  return all ? form_exact(value->real(), buffer, limit) : form_value(value->real(), buffer, limit);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  const Field f = field_of(element);
  if (f == Field::none)
    fire(ErrorCode::script_invalid_path, step.path ? step.path : element, element);
  if (value == nullptr) {
    Cell* out = stack::push_slot();
    read_field(parent->real(), f, out);
    return out;
  }
  parent->set_real(write_field(parent->real(), f, value));
  return value;
}

Cell* pick(Cell* value, int32_t index, Cell* index_cell) {
  Field f;
  if (is_any_word(index_cell->type()) && !index_cell->is(TypeId::issue)) {
    f = field_of_word(index_cell);
    if (f == Field::none) fire(ErrorCode::script_cannot_use, index_cell, value);
  } else {
    if (index < 1 || index > 3) fire(ErrorCode::script_out_of_range, index_cell);
    f = static_cast<Field>(index);
  }
  Cell* out = stack::push_slot();
  read_field(value->real(), f, out);
  return out;
}

void add() {
  Cell* left = stack::arguments;
  Cell* right = left + 1;
  if (right->is(TypeId::date)) {
    // time + date is date + time.
    const double seconds = left->real();
    *left = *right;
    set_float(right, seconds, TypeId::time);
    date::do_math(left, right, MathOp::add);
    return;
  }
  frame_math(MathOp::add);
}

void subtract() {
  if (stack::arguments[1].is(TypeId::date)) fire_not_related("subtract", TypeId::time);
  frame_math(MathOp::subtract);
}

void multiply() {
  if (stack::arguments[1].is(TypeId::time)) fire_not_related("multiply", TypeId::time);
  frame_math(MathOp::multiply);
}

void divide() {
  const bool by_time = stack::arguments[1].is(TypeId::time);
  frame_math(MathOp::divide);
  // A time divided by a time is a plain ratio.
  if (by_time) stack::arguments->set_type(TypeId::float_);
}

Cell* round(Cell* value, Cell* scale, RoundFlags flags) {
  if (scale != nullptr && scale->is(TypeId::money)) {
    fire_not_related(nullptr, TypeId::money);
  }
  // An integer! scale counts seconds here: the answer is a time, never the
  // integer float_::round would make of it (and refuse beyond 32 bits).
  Cell seconds_scale;
  if (scale != nullptr && scale->is(TypeId::integer)) {
    set_float(&seconds_scale, static_cast<double>(scale->integer()), TypeId::float_);
    scale = &seconds_scale;
  }
  float_::round(value, scale, integer::round_mode(flags));
  const double seconds = value->is(TypeId::integer) ? value->integer() : value->real();
  set_float(value, seconds, TypeId::time);
  return value;
}

namespace {
// Whole seconds within the minute, moved off a boundary by the tolerance.
int32_t seconds_in_minute(double t) {
  t = t >= 0 ? t + kTolerance : t - kTolerance;
  return integer::truncate_or_min(std::trunc(std::fmod(t, kSecondsPerMinute)));
}
}  // namespace

bool even_q(Cell* value) { return (seconds_in_minute(value->real()) & 1) == 0; }
bool odd_q(Cell* value) { return (seconds_in_minute(value->real()) & 1) != 0; }

// --- the lexer's loader

namespace {

// Digits with "'" separators from `p`; false when there is no digit, the
// separators double, or there are more digits than a double's range holds.
// The count is the nearest double (exact below 2^53), so any hours mold
// writes load back.
bool scan_count(const uint8_t*& p, const uint8_t* end, double* out) {
  char text[312];
  int digits = 0;
  bool quote = false;
  for (; p < end; ++p) {
    if (*p >= '0' && *p <= '9') {
      if (digits == static_cast<int>(sizeof text)) return false;
      text[digits++] = static_cast<char>(*p);
      quote = false;
    } else if (*p == '\'' && digits > 0 && !quote) {
      quote = true;
    } else {
      break;
    }
  }
  if (digits == 0 || quote) return false;
  int32_t rest = 0;
  *out = dtoa::text_to_float(text, text + digits, &rest);
  return rest == 0 && std::isfinite(*out);
}

// Seconds with an optional fraction after "." or ",": at most 312 bytes,
// digits only before and after the separator.
bool scan_seconds(const uint8_t* p, const uint8_t* end, double* out) {
  const size_t n = static_cast<size_t>(end - p);
  if (n == 0 || n > 312) return false;
  char text[313];
  bool point = false;
  for (size_t i = 0; i < n; ++i) {
    char c = static_cast<char>(p[i]);
    if (c == ',') c = '.';
    if (c == '.') {
      if (point) return false;
      point = true;
    } else if (c < '0' || c > '9') {
      return false;
    }
    text[i] = c;
  }
  int32_t rest = 0;
  *out = dtoa::text_to_float(text, text + n, &rest);
  return rest == 0 && *out >= 0;
}

bool load_token(const lexer::LateToken& token, bool build, Cell* out) {
  double seconds = 0.0;
  if (!scan_time(token.text, token.text + token.len, &seconds)) return false;
  if (build) set_float(out, seconds, TypeId::time);
  return true;
}

}  // namespace

bool scan_time(const uint8_t* p, const uint8_t* end, double* out) {
  for (const uint8_t* q = p; q < end; ++q)
    if (*q == 'e' || *q == 'E') return false;
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  double hours = 0.0, minutes = 0.0;
  if (!scan_count(p, end, &hours) || p >= end || *p++ != ':') return false;
  const uint8_t* minutes_at = p;
  if (!scan_count(p, end, &minutes)) return false;
  double seconds = 0.0;
  if (p < end) {
    if (*p == ':') {
      ++p;
      if (!scan_seconds(p, end, &seconds)) return false;
    } else if (*p == '.' || *p == ',') {
      // minutes:seconds.fraction
      if (!scan_seconds(minutes_at, end, &seconds)) return false;
      minutes = hours;
      hours = 0;
    } else {
      return false;
    }
  }
  const double total = hours * kSecondsPerHour + minutes * kSecondsPerMinute + seconds;
  if (!std::isfinite(total)) return false;
  *out = negative ? 0.0 - total : total;
  return true;
}

void register_() {
  static constexpr ActionRow row{
      .make = make,
      .to = make,
      .form = form,
      .mold = mold,
      .eval_path = eval_path,
      .add = add,
      .divide = divide,
      .multiply = multiply,
      .power = unsupported,
      .round = round,
      .subtract = subtract,
      .even_q = even_q,
      .odd_q = odd_q,
      .pick = pick,
  };
  datatype::register_type(TypeId::time, TypeId::float_, "time!", row);
  lexer::register_loader(lexer::LateClass::time, load_token);
}

}  // namespace qel::time
