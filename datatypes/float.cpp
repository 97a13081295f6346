// float! and percent!: text forms, arithmetic, rounding and comparison of
// doubles. The action functions and the two rows follow the kernels.
#include "datatypes/float.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "values/actions.h"
#include "datatypes/money.h"
#include "datatypes/point.h"
#include "datatypes/tuple.h"
#include "datatypes/vector.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "text/dtoa.h"
#include "memory/series.h"
#include "core/verify.h"
#include "text/random.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel::float_ {

bool pretty_print = true;
bool full_support = false;

namespace {

constexpr double kEpsilon = 2.220446049250313e-16;  // 2^-52
constexpr double kMaxFinite = 1.7976931348623157e308;

Text make_text(std::string_view s) {
  Text t;
  s.copy(t.chars, s.size());
  t.size = static_cast<uint8_t>(s.size());
  return t;
}

[[noreturn]] void raise_with_type(ErrorCode code, TypeId t) {
  Cell dt;
  set_datatype(&dt, t);
  fire(code, &dt);
}

// The special texts of infinities and NaN, or nullptr for a finite double.
const char* special_text(double x) {
  const uint64_t b = bits(x);
  if (((b >> 52) & 0x7FF) != 0x7FF) return nullptr;
  if ((b & 0x000FFFFFFFFFFFFFull) != 0) return "1.#NaN";
  return (b >> 63) ? "-1.#INF" : "1.#INF";
}

Text from_dtoa(const dtoa::Text& d) {
  Text t;
  std::memcpy(t.chars, d.chars, d.size);
  t.size = d.size;
  return t;
}

// The C library's "%.<precision>g" in the C locale.
Text general_text(double x, int precision) { return from_dtoa(dtoa::format_g(x, precision)); }

bool is_percent_kind(FormKind k) { return k == FormKind::percent32 || k == FormKind::percent; }

uint64_t ordered_key(uint64_t b) { return (b >> 63) ? 0 - b : b | 0x8000000000000000ull; }

}  // namespace

uint64_t bits(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

bool special(double d) { return !std::isfinite(d); }

bool nan_bits(uint32_t low, uint32_t high) {
  return (high & 0x7FF00000u) == 0x7FF00000u && ((high & 0x000FFFFFu) != 0 || low != 0);
}

Cell* make_in(Node block, uint32_t low, uint32_t high, TypeId t) {
  Cell* c = append_slot(block);
  make_at_bits(c, low, high, t);
  return c;
}

Text form_float(double x, FormKind kind, TinyValues tiny) {
  const bool percent = is_percent_kind(kind);
  if (const char* s = special_text(x)) {
    Text t = make_text(s);
    if (percent) t.chars[t.size++] = '%';
    return t;
  }
  if (pretty_print && std::fabs(x) < kEpsilon && (x == 0.0 || tiny == TinyValues::as_zero))
    return make_text(percent ? "0%" : kind == FormKind::point ? "0" : "0.0");

  auto format = [&](bool again) {
    switch (kind) {
      case FormKind::float64: return general_text(x, again ? 14 : 16);
      case FormKind::percent: return general_text(x, again ? 14 : 13);
      case FormKind::percent32: return general_text(x, again ? 14 : 7);
      case FormKind::time:
        return again ? general_text(x, 5) : from_dtoa(dtoa::to_text(x, 6, dtoa::PointZero::no));
      default: return general_text(x, again ? 5 : 7);
    }
  };
  Text t = format(false);
  if (pretty_print) {
    // A 16-digit text that ends in 01 or 99 is a binary fraction's noise
    // (0.1 + 0.7 gives 0.7999999999999999): print it with fewer digits.
    const char* e = static_cast<const char*>(std::memchr(t.chars, 'e', t.size));
    const int mantissa = e ? static_cast<int>(e - t.chars) : t.size;
    const int first = t.chars[0] == '-' ? 1 : 0;
    const bool is_long = e ? mantissa > 16 : t.size > 16 && (t.chars[first] != '0' || t.size > 17);
    if (is_long) {
      std::string_view last(t.chars + mantissa - 2, 2);
      if (last == "01" || last == "99") t = format(true);
    }
  }
  // Compact the exponent: no "+", no leading zeros.
  if (char* e = static_cast<char*>(std::memchr(t.chars, 'e', t.size))) {
    char* from = e + 1;
    char* to = e + 1;
    char* end = t.chars + t.size;
    if (*from == '+')
      ++from;
    else if (*from == '-')
      *to++ = *from++;
    while (from + 1 < end && *from == '0') ++from;
    while (from < end) *to++ = *from++;
    t.size = static_cast<uint8_t>(to - t.chars);
  }
  if (percent) {
    t.chars[t.size++] = '%';
  } else if ((kind == FormKind::float32 || kind == FormKind::float64) &&
             std::memchr(t.chars, '.', t.size) == nullptr) {
    char* e = static_cast<char*>(std::memchr(t.chars, 'e', t.size));
    const int at = e ? static_cast<int>(e - t.chars) : t.size;
    std::memmove(t.chars + at + 2, t.chars + at, t.size - at);
    t.chars[at] = '.';
    t.chars[at + 1] = '0';
    t.size += 2;
  }
  return t;
}

Text form_percent(double fraction, FormKind kind, TinyValues tiny) {
  const double x = fraction * 100.0;
  if (!std::isinf(x) || std::isinf(fraction)) return form_float(x, kind, tiny);
  // The fraction lies above 1e306, so its text has an exponent: raise it by 2.
  Text t = form_float(fraction, kind, tiny);
  char* e = static_cast<char*>(std::memchr(t.chars, 'e', t.size));
  VERIFY(e != nullptr);
  const int exponent = std::atoi(e + 1) + 2;
  const int written = std::snprintf(e + 1, sizeof t.chars - static_cast<size_t>(e + 1 - t.chars),
                                    "%d%%", exponent);
  t.size = static_cast<uint8_t>(e + 1 - t.chars + written);
  return t;
}

Text mold_float(double x) { return from_dtoa(dtoa::shortest_text(x)); }

namespace {

// A number given by its significant digits and the place of its decimal
// point (the count of digits before it; zero or less for leading zeros):
// written plainly while the point lies within [min_point, max_point], else as
// d.ddd with "e" and the power of ten. With point_zero ".0" ends a plain
// integer and a one-digit mantissa.
void write_digits(std::string_view digits, int point, bool negative, int min_point,
                  int max_point, bool point_zero, std::string& out) {
  const int n = static_cast<int>(digits.size());
  if (negative) out += '-';
  if (point > 0 && point <= max_point) {
    for (int i = 0; i < point; ++i) out += i < n ? digits[static_cast<size_t>(i)] : '0';
    if (n > point) {
      out += '.';
      out += digits.substr(static_cast<size_t>(point));
    } else if (point_zero) {
      out += ".0";
    }
  } else if (point <= 0 && point >= min_point) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else {
    out += digits[0];
    if (n > 1) {
      out += '.';
      out += digits.substr(1);
    } else if (point_zero) {
      out += ".0";
    }
    out += 'e' + std::to_string(point - 1);
  }
}

}  // namespace

bool exact_float32_text(float x, bool point_zero, std::string& out) {
  if (x == 0.0f || !std::isfinite(x)) return false;
  char text[64];
  const auto r = std::to_chars(text, text + sizeof text, x, std::chars_format::scientific);
  if (r.ec != std::errc()) return false;
  const std::string_view t(text, static_cast<size_t>(r.ptr - text));
  const size_t e_at = t.find('e');
  if (e_at == std::string_view::npos) return false;
  std::string digits;
  for (size_t i = 0; i < e_at; ++i)
    if (t[i] >= '0' && t[i] <= '9') digits += t[i];
  const int p = std::atoi(std::string(t.substr(e_at + 1)).c_str());  // the first digit's power of ten
  write_digits(digits, p + 1, x < 0, -4, 9, point_zero, out);
  return true;
}

bool almost_equal(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return false;
  if (a == b) return true;
  if (std::fabs(a - b) < kEpsilon) return true;
  const uint64_t ka = ordered_key(bits(a)), kb = ordered_key(bits(b));
  return (ka > kb ? ka - kb : kb - ka) <= 10;
}

bool equal32(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return false;
  if (a == b) return true;
  uint32_t ba, bb;
  std::memcpy(&ba, &a, sizeof ba);
  std::memcpy(&bb, &b, sizeof bb);
  const uint32_t ma = ba & 0x7FFFFFFFu, mb = bb & 0x7FFFFFFFu;
  if (ma >= 0x7F7FFFFFu || mb >= 0x7F7FFFFFu)
    return (ba >> 31) == (bb >> 31) && (ma > mb ? ma - mb : mb - ma) < 0x100000u;
  auto key = [](uint32_t v) { return (v >> 31) ? 0 - v : v | 0x80000000u; };
  const uint32_t ka = key(ba), kb = key(bb);
  return (ka > kb ? ka - kb : kb - ka) <= 10;
}

double do_op(double x, double y, MathOp op) {
  switch (op) {
    case MathOp::add: return x + y;
    case MathOp::subtract: return x - y;
    case MathOp::multiply: return x * y;
    case MathOp::divide: return x / y;
    case MathOp::remainder:
      if (y * 0.0 == 0.0) return std::fmod(x, y);
      if (std::isnan(y)) return y;
      return std::isfinite(x) ? x : std::nan("");
    default: {
      // Names the operation and the type, so the message reads "cannot use
      // and on float! value".
      Cell where = stack::get_call();
      Cell dt;
      set_datatype(&dt, TypeId::float_);
      fire(ErrorCode::script_cannot_use, &where, &dt);
    }
  }
}

void do_math(Cell* left, Cell* right, MathOp op) {
  const TypeId lt = left->type(), rt = right->type();
  switch (rt) {
    case TypeId::integer:
    case TypeId::float_:
    case TypeId::percent:
    case TypeId::time: break;
    case TypeId::tuple: tuple::do_math(left, right, op); return;
    case TypeId::money: money::do_math(left, right, op); return;
    case TypeId::vector:
      // Vectors hold numbers and characters, never times.
      if (lt == TypeId::time) raise_with_type(ErrorCode::script_invalid_type, rt);
      // The vector computes in place; the scalar stood on the left.
      vector::do_math_scalar(op, right, left, vector::ScalarSide::left);
      *left = *right;
      return;
    case TypeId::pair:
    case TypeId::point2d:
    case TypeId::point3d:
      if (lt == TypeId::time) raise_with_type(ErrorCode::script_invalid_type, rt);
      point::number_left(left, right, op);
      return;
    case TypeId::char_:
      if (lt != TypeId::time && lt != TypeId::percent) break;
      [[fallthrough]];
    default: raise_with_type(ErrorCode::script_invalid_type, rt);
  }
  const double x = lt == TypeId::integer ? static_cast<double>(left->integer()) : left->real();
  const double y = rt == TypeId::integer || rt == TypeId::char_
                       ? static_cast<double>(right->integer())
                       : right->real();
  // A mix with time! is time!; percent! with anything but time! stays percent!.
  const TypeId result = lt == TypeId::time || rt == TypeId::time ? TypeId::time
                        : lt == TypeId::percent                  ? TypeId::percent
                                                                 : TypeId::float_;
  set_float(left, do_op(x, y, op), result);
}

void power(Cell* base, const Cell* exponent) {
  double e;
  if (exponent->is(TypeId::integer)) {
    e = exponent->integer();
  } else if (exponent->is(TypeId::float_)) {
    e = exponent->real();
  } else {
    const Cell called = word::load("power");
    Cell dt;
    set_datatype(&dt, exponent->type());
    const Cell arg = word::load("exponent");
    fire(ErrorCode::script_expect_arg, &called, &dt, &arg);
  }
  const TypeId t = base->type();
  const double b = t == TypeId::integer ? static_cast<double>(base->integer()) : base->real();
  set_float(base, std::pow(b, e), t == TypeId::integer ? TypeId::float_ : t);
}

void round(Cell* value, const Cell* scale, integer::RoundMode mode) {
  using integer::RoundMode;
  if (scale != nullptr && scale->is(TypeId::money)) {
    fire_not_related("round", TypeId::money);
  }
  // Only numbers and times carry a step; any other scale would be read as
  // the bits of a double.
  if (scale != nullptr && !scale->is(TypeId::integer) && !scale->is(TypeId::float_) &&
      !scale->is(TypeId::percent) && !scale->is(TypeId::time))
    fire(ErrorCode::script_invalid_arg, scale);
  const TypeId vt = value->type();
  const bool percent = vt == TypeId::percent;
  double n = vt == TypeId::integer ? static_cast<double>(value->integer()) : value->real();
  double d = percent ? 0.01 : 1.0;
  if (scale != nullptr) {
    d = std::fabs(scale->is(TypeId::integer) ? static_cast<double>(scale->integer())
                                             : scale->real());
    // A plain number scales a percent! in percent points; a percent! scale
    // already holds its fraction.
    if (percent && !scale->is(TypeId::percent)) d /= 100.0;
  }
  TypeId result_type = vt == TypeId::integer ? TypeId::float_ : vt;
  if (scale != nullptr &&
      (scale->is(TypeId::integer) || scale->is(TypeId::float_) || scale->is(TypeId::percent)))
    result_type = scale->type();
  auto store = [&](double x) {
    if (result_type == TypeId::integer)
      set_integer(value, integer::from_double_checked(x));
    else
      set_float(value, x, result_type);
  };
  // 2^-53: no step this small is representable next to the value.
  if (d < std::fabs(n) * 1.1102230246251565e-16) return;
  int kept_exponent = 0;
  if (d >= 1.0) {
    n = n / d;
  } else {
    int e = 0;
    const double m = std::frexp(d, &e);
    if (e < -1021) {
      d = m;
      kept_exponent = e;
      n = std::ldexp(n, -e);
    }
    n = n * (1.0 / d);
  }
  const double a = std::fabs(n);
  const double h = std::floor(a) + 0.5;
  auto with_sign = [&](double r) { return n < 0 ? 0.0 - r : r; };
  double r;
  switch (mode) {
    case RoundMode::down: r = with_sign(std::floor(a)); break;
    case RoundMode::floor: r = std::floor(n); break;
    case RoundMode::ceiling: r = std::ceil(n); break;
    default:
      if (a > h)
        r = with_sign(std::ceil(a));
      else if (a < h)
        r = with_sign(std::floor(a));
      else if (mode == RoundMode::even)
        r = with_sign(std::fmod(a, 2.0) >= 1.0 ? std::ceil(a) : std::floor(a));
      else if (mode == RoundMode::half_down)
        r = with_sign(std::floor(a));
      else if (mode == RoundMode::half_ceiling)
        r = std::ceil(n);
      else
        r = with_sign(std::ceil(a));
  }
  double result;
  if (d >= 1.0) {
    result = r * d;
    // Rounding a finite value up past the largest double overflows.
    if (std::fabs(result) == kMaxFinite || (std::isinf(result) && std::isfinite(r)))
      fire(ErrorCode::math_overflow);
  } else {
    result = std::ldexp(r / (1.0 / d), kept_exponent);
  }
  store(result);
}

int32_t compare_double(double a, TypeId a_type, const Cell* b, CompareOp op) {
  const TypeId bt = b->type();
  if ((op == CompareOp::strict_equal || op == CompareOp::same || op == CompareOp::find) &&
      bt != a_type)
    return 1;
  double y;
  switch (bt) {
    case TypeId::integer: y = b->integer(); break;
    case TypeId::float_:
    case TypeId::percent:
    case TypeId::time: y = b->real(); break;
    // Exact decimal comparison, sign first, so that floats beyond the money
    // range still order by value.
    case TypeId::money: return money::compare_double(a, b, op);
    default: return kNotComparable;
  }
  switch (op) {
    case CompareOp::equal:
    case CompareOp::not_equal: return almost_equal(a, y) ? 0 : 1;
    case CompareOp::strict_equal: return a == y ? 0 : 1;
    case CompareOp::same: return bits(a) == bits(y) ? 0 : 1;
    default: break;
  }
  if (std::isnan(a) || std::isnan(y)) return compare_nan(a, y, op);
  return (a > y) - (a < y);
}

int32_t compare_nan(double a, double b, CompareOp op) {
  switch (op) {
    // Sorts need one consistent order: a NaN after every number, NaNs
    // equal among themselves (answering "equal" to every number let a
    // sort leave the numbers around a NaN out of order).
    case CompareOp::sort:
    case CompareOp::case_sort: return int32_t{std::isnan(a)} - int32_t{std::isnan(b)};
    case CompareOp::lesser:
    case CompareOp::lesser_or_equal: return 1;
    case CompareOp::greater:
    case CompareOp::greater_or_equal: return -1;
    // (find, select and parse: a NaN matches nothing.)
    default: return 1;
  }
}

int32_t compare(Cell* a, Cell* b, CompareOp op) {
  return compare_double(a->real(), a->type(), b, op);
}

// --- cells on the argument stack

Cell* box(double v) {
  set_float(stack::arguments, v);
  return stack::arguments;
}

Cell* push(double v) {
  Cell* c = stack::push_slot();
  set_float(c, v);
  return c;
}

Cell* push64(uint32_t low, uint32_t high) {
  Cell* c = stack::push_slot();
  make_at_bits(c, low, high);
  return c;
}

// --- actions

namespace {

[[noreturn]] void bad_to_arg(TypeId target, const Cell* spec) {
  Cell dt;
  set_datatype(&dt, target);
  fire(ErrorCode::script_bad_to_arg, &dt, spec);
}

// The double of a number cell (integer!, char!, float!, percent!, time!).
double number_value(const Cell* c) {
  return c->is(TypeId::integer) || c->is(TypeId::char_) ? static_cast<double>(c->integer())
                                                        : c->real();
}

// m x 10^e, rounded once: the mantissa's shortest digits are read back with
// the two exponents added. A power of ten computed apart overflows or
// underflows on its own (0 x 10^400 came out NaN, 1.5 x 10^-320 as 0.0).
double times_power_of_ten(double m, double e) {
  if (m == 0.0 || !std::isfinite(m) || std::isnan(e)) return std::isnan(e) ? e : m;
  char text[64];
  auto r = std::to_chars(text, text + 40, m, std::chars_format::scientific);
  char* mark = std::find(text, r.ptr, 'e');
  long long sum = std::atoll(std::string(mark + 1, r.ptr).c_str());
  sum += static_cast<long long>(std::clamp(e, -1.0e6, 1.0e6));
  r = std::to_chars(mark + 1, text + sizeof text, sum);
  double x = 0.0;
  if (std::from_chars(text, r.ptr, x).ec == std::errc::result_out_of_range)
    x = std::copysign(sum > 0 ? HUGE_VAL : 0.0, m);
  return x;
}

// [mantissa exponent]: mantissa x 10^exponent, the exponent truncated.
bool from_block(Cell* spec, double* out) {
  if (block::rs_length_q(spec) != 2) return false;
  const Cell* m = block::rs_head(spec);
  const Cell* e = m + 1;
  for (const Cell* c : {m, e})
    if (!c->is(TypeId::integer) && !c->is(TypeId::float_)) return false;
  *out = times_power_of_ten(number_value(m), std::trunc(number_value(e)));
  return true;
}

// The bytes from the binary's head (at most 8) as the low end of an IEEE
// pattern, zero-extended on the left.
double from_binary(const Cell* bin) {
  const SeriesBuffer* s = memory::series(bin->node());
  const uint32_t head = static_cast<uint32_t>(bin->head());
  const uint32_t length = s->used_bytes();
  uint64_t b = 0;
  if (head < length) {
    const uint8_t* p = s->data() + s->offset + head;
    const uint32_t n = length - head < 8 ? length - head : 8;
    for (uint32_t i = 0; i < n; ++i) b = (b << 8) | p[i];
  }
  double d;
  std::memcpy(&d, &b, sizeof d);
  return d;
}

bool from_text(Cell* spec, TypeId target, double* out) {
  if (target == TypeId::float_) {
    const int32_t n = string::rs_length_q(spec);
    int32_t error = 0;
    *out = lexer::scan_float_text(string::rs_head(spec), n,
                                  static_cast<int>(memory::series(spec->node())->unit()), &error);
    return error == 0;
  }
  // to percent!: the text's first value, which must be a number.
  Cell loaded;
  const Cell* v = lexer::load_first_value(&loaded, spec);
  if (v == nullptr) return false;
  switch (v->type()) {
    case TypeId::integer: *out = v->integer(); return true;
    case TypeId::float_:
    case TypeId::percent: *out = v->real(); return true;
    default: return false;
  }
}


}  // namespace

Cell* make(Cell* proto, Cell* spec, TypeId type) {
  double v = 0.0;
  switch (spec->type()) {
    case TypeId::char_:
    case TypeId::integer:
    case TypeId::float_:
    case TypeId::percent:
    case TypeId::time: v = number_value(spec); break;
    case TypeId::binary: v = from_binary(spec); break;
    case TypeId::money: v = money::to_float(spec); break;
    case TypeId::block:
    case TypeId::paren:
    case TypeId::hash:
      if (!from_block(spec, &v)) bad_to_arg(type, spec);
      break;
    case TypeId::string:
    case TypeId::file:
    case TypeId::url:
    case TypeId::tag:
    case TypeId::email:
    case TypeId::ref:
      if (!from_text(spec, type, &v)) bad_to_arg(type, spec);
      break;
    default: bad_to_arg(type, spec);
  }
  set_float(proto, v, type);
  return proto;
}

Cell* random(Cell* value, bool seed, bool secure, bool) {
  const double x = value->real();
  if (seed) {
    const uint64_t b = bits(x);
    random::seed(static_cast<uint32_t>(b) ^ static_cast<uint32_t>(b >> 32));
    set_unset(value);
    return value;
  }
  double r;
  if (secure) {
    const double s1 = random::secure_int(), s2 = random::secure_int();
    // The fraction first: the value times s2 alone can overflow.
    r = x * ((s2 + s1 / 2147483647.0) / 2147483648.0);
  } else {
    r = x * (random::next() / 2147483647.0);
  }
  value->set_real(r);
  return value;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  return string::emit(buffer, form_float(value->real(), FormKind::float64).view(), limit);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell*, int32_t limit, int32_t) {
  return string::emit(buffer, mold_float(value->real()).view(), limit);
}

void absolute() { stack::arguments->set_real(abs(stack::arguments->real())); }

// Flips the sign, zeros included: negate 0.0 is -0.0, as -1 * 0.0 is.
Cell* negate(Cell* value) {
  value->set_real(-value->real());
  return value;
}

void power() { power(stack::arguments, stack::arguments + 1); }

Cell* round(Cell* value, Cell* scale, RoundFlags flags) {
  round(value, scale, integer::round_mode(flags));
  return value;
}

bool even_q(Cell* value) { return (integer::truncate_or_min(value->real()) & 1) == 0; }
bool odd_q(Cell* value) { return (integer::truncate_or_min(value->real()) & 1) != 0; }

void register_() {
  static constexpr ActionRow row{
      .make = make,
      .random = random,
      .to = make,
      .form = form,
      .mold = mold,
      .compare = compare,
      .absolute = absolute,
      .add = actions::math_action<do_math, MathOp::add>,
      .divide = actions::math_action<do_math, MathOp::divide>,
      .multiply = actions::math_action<do_math, MathOp::multiply>,
      .negate = negate,
      .power = power,
      .remainder = actions::math_action<do_math, MathOp::remainder>,
      .round = round,
      .subtract = actions::math_action<do_math, MathOp::subtract>,
      .even_q = even_q,
      .odd_q = odd_q,
  };
  datatype::register_type(TypeId::float_, TypeId::none_id, "float!", row);
}

}  // namespace qel::float_

namespace qel::percent {

Cell* make_in(Node block, uint32_t low, uint32_t high) {
  return float_::make_in(block, low, high, TypeId::percent);
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  const float_::Text t = float_::form_percent(value->real(), float_::FormKind::percent);
  return string::emit(buffer, t.view(), limit);
}

namespace {

// The shortest digits that read back as the percent's fraction, written as a
// percent (the decimal point moved two places right), so that mold/all
// reloads the very same value; the 13-digit form does not (1% / 3 molds as
// 0.3333333333333%, which loads as a different fraction). Infinities, NaN and
// zero keep their form text.
bool exact_text(double fraction, std::string& out) {
  char digits[32];
  int point = 0;
  bool negative = false;
  const int n = dtoa::float_to_digits(fraction, 0, digits, &point, &negative);
  if (point == dtoa::kPointSpecial || point == dtoa::kPointZero || n <= 0) return false;
  // (The percent is the fraction with its point two places further right.)
  float_::write_digits(std::string_view(digits, static_cast<size_t>(n)), point + 2, negative, -5, 17,
               false, out);
  out += '%';
  return true;
}

}  // namespace

// (Plain mold keeps a tiny non-zero percent's digits, as a float's mold
// does: 0% would load as another value. form writes it as 0%.)
int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
  std::string text;
  if (all && exact_text(value->real(), text)) return string::emit(buffer, text, limit);
  const float_::Text t = float_::form_percent(value->real(), float_::FormKind::percent,
                                              float_::TinyValues::kept);
  return string::emit(buffer, t.view(), limit);
}

void register_() {
  static constexpr ActionRow row{.form = form, .mold = mold};
  datatype::register_type(TypeId::percent, TypeId::float_, "percent!", row);
}

}  // namespace qel::percent
