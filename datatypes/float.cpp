// float! and percent!: text forms, arithmetic, rounding and comparison of
// doubles. The action functions and the two rows follow the kernels.
#include "datatypes/float.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "memory/series.h"
#include "values/errors.h"

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

// Lays out decimal digits d1..dn with the value 0.d1d2...dn x 10^point: plain
// notation while the point lies in -6 .. 17, else one digit, ".", the others
// and "e" with the exponent. `point_zero` keeps ".0" where no fraction is left.
Text layout(const char* digits, int n, int point, bool negative, bool point_zero) {
  Text t;
  int k = 0;
  auto put = [&](char c) { t.chars[k++] = c; };
  if (negative) put('-');
  if (point > 17 || point < -6) {
    put(digits[0]);
    if (n > 1) {
      put('.');
      for (int i = 1; i < n; ++i) put(digits[i]);
    } else if (point_zero) {
      put('.');
      put('0');
    }
    put('e');
    integer::Text e = integer::form_signed(point - 1);
    for (char c : e.view()) put(c);
  } else if (point > 0) {
    for (int i = 0; i < point; ++i) put(i < n ? digits[i] : '0');
    if (n > point) {
      put('.');
      for (int i = point; i < n; ++i) put(digits[i]);
    } else if (point_zero) {
      put('.');
      put('0');
    }
  } else {
    put('0');
    put('.');
    for (int i = 0; i < -point; ++i) put('0');
    for (int i = 0; i < n; ++i) put(digits[i]);
  }
  t.size = static_cast<uint8_t>(k);
  return t;
}

// Digits of a finite non-zero magnitude: the shortest round-trip digits
// (limit 0) or at most `limit` correctly rounded significant digits, trailing
// zeros removed. Returns the digit count; *point as for `layout`.
int decimal_digits(double magnitude, int limit, char* digits, int* point) {
  char buf[40];
  auto res = limit > 0 ? std::to_chars(buf, buf + sizeof buf, magnitude,
                                       std::chars_format::scientific, limit - 1)
                       : std::to_chars(buf, buf + sizeof buf, magnitude,
                                       std::chars_format::scientific);
  const char* end = res.ptr;
  const char* e = static_cast<const char*>(std::memchr(buf, 'e', end - buf));
  int n = 0;
  for (const char* p = buf; p < e; ++p)
    if (*p != '.') digits[n++] = *p;
  while (n > 1 && digits[n - 1] == '0') --n;
  int exponent = 0;
  std::from_chars(e + 1 + (e[1] == '+'), end, exponent);
  *point = exponent + 1;
  return n;
}

// The text of a double through the exact conversion: shortest digits when
// limit is 0, else at most `limit` significant digits.
Text exact_text(double x, int limit, bool point_zero) {
  if (const char* s = special_text(x)) return make_text(s);
  const bool negative = std::signbit(x);
  if (x == 0.0) return make_text(point_zero ? (negative ? "-0.0" : "0.0") : (negative ? "-0" : "0"));
  char digits[32];
  int point = 0;
  const int n = decimal_digits(negative ? -x : x, limit, digits, &point);
  return layout(digits, n, point, negative, point_zero);
}

// The C library's "%.<precision>g" in the C locale.
Text general_text(double x, int precision) {
  Text t;
  auto res = std::to_chars(t.chars, t.chars + sizeof t.chars - 1, x, std::chars_format::general,
                           precision);
  t.size = static_cast<uint8_t>(res.ptr - t.chars);
  return t;
}

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

Text form_float(double x, FormKind kind) {
  if (const char* s = special_text(x)) return make_text(s);
  const bool percent = is_percent_kind(kind);
  if (pretty_print && std::fabs(x) < kEpsilon)
    return make_text(percent ? "0%" : kind == FormKind::point ? "0" : "0.0");

  auto format = [&](bool again) {
    switch (kind) {
      case FormKind::float64: return general_text(x, again ? 14 : 16);
      case FormKind::percent: return general_text(x, again ? 14 : 13);
      case FormKind::percent32: return general_text(x, again ? 14 : 7);
      case FormKind::time: return again ? general_text(x, 5) : exact_text(x, 6, false);
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
    if (*from == '+') ++from;
    else if (*from == '-') *to++ = *from++;
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

Text mold_float(double x) { return exact_text(x, 0, true); }

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
    default: raise_with_type(ErrorCode::script_cannot_use, TypeId::float_);
  }
}

void do_math(Cell* left, Cell* right, MathOp op) {
  const TypeId lt = left->type(), rt = right->type();
  switch (rt) {
    case TypeId::integer:
    case TypeId::float_:
    case TypeId::percent:
    case TypeId::time: break;
    case TypeId::char_:
      if (lt != TypeId::time && lt != TypeId::percent) break;
      [[fallthrough]];
    default: raise_with_type(ErrorCode::script_invalid_type, rt);
  }
  const double x = lt == TypeId::integer ? static_cast<double>(left->integer()) : left->real();
  const double y = rt == TypeId::integer || rt == TypeId::char_ ? static_cast<double>(right->integer())
                                                                : right->real();
  // A mix with time! is time!; percent! with anything but time! stays percent!.
  const TypeId result = lt == TypeId::time || rt == TypeId::time ? TypeId::time
                        : lt == TypeId::percent                  ? TypeId::percent
                                                                 : TypeId::float_;
  set_float(left, do_op(x, y, op), result);
}

void power(Cell* base, const Cell* exponent) {
  double e;
  if (exponent->is(TypeId::integer)) e = exponent->integer();
  else if (exponent->is(TypeId::float_)) e = exponent->real();
  else raise_with_type(ErrorCode::script_expect_arg, exponent->type());
  const TypeId t = base->type();
  const double b = t == TypeId::integer ? static_cast<double>(base->integer()) : base->real();
  set_float(base, std::pow(b, e), t == TypeId::integer ? TypeId::float_ : t);
}

void round(Cell* value, const Cell* scale, integer::RoundMode mode) {
  using integer::RoundMode;
  if (scale != nullptr && scale->is(TypeId::money)) raise_with_type(ErrorCode::script_not_related, TypeId::money);
  const TypeId vt = value->type();
  const bool percent = vt == TypeId::percent;
  double n = vt == TypeId::integer ? static_cast<double>(value->integer()) : value->real();
  double d = percent ? 0.01 : 1.0;
  if (scale != nullptr) {
    d = std::fabs(scale->is(TypeId::integer) ? static_cast<double>(scale->integer()) : scale->real());
    // A plain number scales a percent! in percent points; a percent! scale
    // already holds its fraction.
    if (percent && !scale->is(TypeId::percent)) d /= 100.0;
  }
  TypeId result_type = vt == TypeId::integer ? TypeId::float_ : vt;
  if (scale != nullptr && (scale->is(TypeId::integer) || scale->is(TypeId::float_) ||
                           scale->is(TypeId::percent)))
    result_type = scale->type();
  auto store = [&](double x) {
    if (result_type == TypeId::integer) set_integer(value, integer::from_double_checked(x));
    else set_float(value, x, result_type);
  };
  if (d < std::fabs(n) * 1.1102230246251565e-16) {  // 2^-53: nothing below the step exists
    store(n);
    return;
  }
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
      if (a > h) r = with_sign(std::ceil(a));
      else if (a < h) r = with_sign(std::floor(a));
      else if (mode == RoundMode::even) r = with_sign(std::fmod(a, 2.0) >= 1.0 ? std::ceil(a) : std::floor(a));
      else if (mode == RoundMode::half_down) r = with_sign(std::floor(a));
      else if (mode == RoundMode::half_ceiling) r = std::ceil(n);
      else r = with_sign(std::ceil(a));
  }
  double result;
  if (d >= 1.0) {
    result = r * d;
    if (std::fabs(result) == kMaxFinite) fire(ErrorCode::math_overflow);
  } else {
    result = std::ldexp(r / (1.0 / d), kept_exponent);
  }
  store(result);
}

int32_t compare_double(double a, TypeId a_type, const Cell* b, CompareOp op) {
  const TypeId bt = b->type();
  if ((op == CompareOp::strict_equal || op == CompareOp::same || op == CompareOp::find) && bt != a_type)
    return 1;
  double y;
  switch (bt) {
    case TypeId::integer: y = b->integer(); break;
    case TypeId::float_:
    case TypeId::percent:
    case TypeId::time: y = b->real(); break;
    default: return kNotComparable;
  }
  switch (op) {
    case CompareOp::equal:
    case CompareOp::not_equal: return almost_equal(a, y) ? 0 : 1;
    case CompareOp::strict_equal: return a == y ? 0 : 1;
    case CompareOp::same: return bits(a) == bits(y) ? 0 : 1;
    default: break;
  }
  if (std::isnan(a) || std::isnan(y)) {
    switch (op) {
      case CompareOp::lesser:
      case CompareOp::lesser_or_equal: return 1;
      case CompareOp::greater:
      case CompareOp::greater_or_equal: return -1;
      default: return 0;
    }
  }
  return (a > y) - (a < y);
}

int32_t compare(const Cell* a, const Cell* b, CompareOp op) {
  return compare_double(a->real(), a->type(), b, op);
}

}  // namespace qel::float_
