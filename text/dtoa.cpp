// Conversions between doubles and decimal text: see dtoa.h.
//
// Reading gathers the significant digits and a decimal exponent itself (so
// the grammar, the specials and the exponent bounds are Qel's), takes the
// exact double paths when the digits and the exponent are small, and hands
// the rest to std::from_chars in a canonical "digits e exponent" form.
// Writing takes the shortest or the N-digit decimal form from std::to_chars
// and lays it out.
#include "text/dtoa.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace qel::dtoa {

namespace {

// The exact powers of ten as doubles.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Digits kept when reading; the rest only decide whether the text lies
// above the kept digits, which one sticky digit records. Far more than any
// double needs to be rounded correctly.
constexpr int kMaxDigits = 800;
// A decimal exponent bound that no double comes near, so the sums below
// never overflow.
constexpr int64_t kExponentCap = 1000000000;

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The correctly rounded double of digits[0..n) x 10^exp10 (n >= 1, no
// leading or trailing zeros).
double scale_digits(const char* digits, int n, int64_t exp10) {
  if (n <= 15 && exp10 >= -22 && exp10 <= 22 + (15 - n)) {
    // Exact paths: the digits and the power of ten are exact doubles, so one
    // multiplication or division rounds once, correctly.
    uint64_t m = 0;
    for (int i = 0; i < n; i++) m = m * 10 + static_cast<uint64_t>(digits[i] - '0');
    double v = static_cast<double>(m);
    if (exp10 == 0) return v;
    if (exp10 < 0) return v / kPow10[-exp10];
    if (exp10 > 22) {
      v *= kPow10[exp10 - 22];  // still below 10^15: exact
      exp10 = 22;
    }
    return v * kPow10[exp10];
  }
  // The value lies in [10^(n + exp10 - 1), 10^(n + exp10)).
  if (n + exp10 > 310) return std::numeric_limits<double>::infinity();
  if (n + exp10 < -330) return 0.0;
  char buf[kMaxDigits + 32];
  std::memcpy(buf, digits, static_cast<size_t>(n));
  char* p = buf + n;
  *p++ = 'e';
  p = std::to_chars(p, buf + sizeof buf, exp10).ptr;
  double v = 0.0;
  auto r = std::from_chars(buf, p, v, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) {
    return n + exp10 > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return v;
}

}  // namespace

double text_to_float(const char* start, const char* end, int32_t exp_adjust, int32_t* rest) {
  const char* p = start;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    p++;
  }
  bool any_digit = false;
  while (p < end && *p == '0') {
    p++;
    any_digit = true;
  }

  char digits[kMaxDigits + 1];
  int n = 0;
  bool dropped_nonzero = false;
  int64_t exp10 = 0;  // value = digits x 10^exp10
  auto add_digit = [&](char c, bool in_fraction) {
    if (n < kMaxDigits) {
      digits[n++] = c;
      if (in_fraction) exp10--;
    } else {
      if (!in_fraction) exp10++;
      if (c != '0') dropped_nonzero = true;
    }
  };

  int integer_digits = 0;
  while (p < end && is_digit(*p)) {
    add_digit(*p++, false);
    integer_digits++;
    any_digit = true;
  }
  if (p < end && *p == '.') {
    if (integer_digits == 1 && end - p >= 3 && p[1] == '#') {
      char c = p[2];
      if (c == 'I' || c == 'i') {
        *rest = 0;
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
      }
      if (c == 'N' || c == 'n') {
        *rest = 0;
        return std::numeric_limits<double>::quiet_NaN();
      }
    }
    p++;
    if (n == 0) {
      while (p < end && *p == '0') {
        p++;
        exp10--;
        any_digit = true;
      }
    }
    while (p < end && is_digit(*p)) {
      add_digit(*p++, true);
      any_digit = true;
    }
  }
  if (!any_digit) {
    *rest = static_cast<int32_t>(end - start);
    return 0.0;
  }
  // An exponent needs at least one digit; otherwise its "e" is left over.
  if (end - p >= 2 && (*p == 'e' || *p == 'E')) {
    const char* q = p + 1;
    bool exp_negative = false;
    if (*q == '+' || *q == '-') {
      exp_negative = *q == '-';
      q++;
    }
    if (q < end && is_digit(*q)) {
      int64_t e = 0;
      while (q < end && is_digit(*q)) {
        if (e < kExponentCap) e = e * 10 + (*q - '0');  // saturates
        q++;
      }
      exp10 += exp_negative ? -e : e;
      p = q;
    }
  }
  *rest = static_cast<int32_t>(end - p);

  if (dropped_nonzero) {
    digits[n++] = '1';  // sticky: the text lies above the kept digits
    exp10--;
  }
  while (n > 0 && digits[n - 1] == '0') {
    n--;
    exp10++;
  }
  if (n == 0) return 0.0;
  exp10 += exp_adjust;
  double v = scale_digits(digits, n, exp10);
  return negative ? 0.0 - v : v;
}

namespace {

// The digits and exponent of a scientific text from to_chars: "d", "d.ddd"
// then "e", a sign and at least two exponent digits.
int parse_scientific(const char* s, const char* end, char* out, int* point) {
  const char* e = end - 4;  // "e+dd" at least
  while (*e != 'e') e--;
  out[0] = s[0];
  int n = 1;
  if (e - s > 2) {
    std::memcpy(out + 1, s + 2, static_cast<size_t>(e - s - 2));
    n += static_cast<int>(e - s - 2);
  }
  int exponent = 0;
  for (const char* p = e + 2; p < end; p++) exponent = exponent * 10 + (*p - '0');
  if (e[1] == '-') exponent = -exponent;
  while (n > 1 && out[n - 1] == '0') n--;
  out[n] = 0;
  *point = exponent + 1;
  return n;
}

int copy_text(char* out, const char* text) {
  size_t n = std::strlen(text);
  std::memcpy(out, text, n + 1);
  return static_cast<int>(n);
}

}  // namespace

int float_to_digits(double v, int limit, char* out, int* point, bool* negative, PointZero zero_text) {
  *negative = std::signbit(v);
  if (std::isinf(v)) {
    *point = kPointSpecial;
    return copy_text(out, *negative ? "-1.#INF" : "1.#INF");
  }
  if (std::isnan(v)) {
    *point = kPointSpecial;
    return copy_text(out, "1.#NaN");
  }
  if (v == 0.0) {
    *point = kPointZero;
    if (zero_text == PointZero::yes) return copy_text(out, *negative ? "-0.0" : "0.0");
    return copy_text(out, *negative ? "-0" : "0");
  }
  double m = *negative ? -v : v;
  char buf[48];
  int n;
  if (m < 1e15 && static_cast<double>(static_cast<uint64_t>(m)) == m) {
    // Integers below 10^15 are their own shortest digits.
    char* e = std::to_chars(buf, buf + sizeof buf, static_cast<uint64_t>(m)).ptr;
    n = static_cast<int>(e - buf);
    *point = n;
    while (n > 1 && buf[n - 1] == '0') n--;
    std::memcpy(out, buf, static_cast<size_t>(n));
    out[n] = 0;
  } else {
    auto r = std::to_chars(buf, buf + sizeof buf, m, std::chars_format::scientific);
    n = parse_scientific(buf, r.ptr, out, point);
  }
  if (limit > 0 && n > limit) {
    // Longer than the limit: the correctly rounded digits of that count. (A
    // shortest form within the limit is also the rounded one.)
    auto r = std::to_chars(buf, buf + sizeof buf, m, std::chars_format::scientific, limit - 1);
    n = parse_scientific(buf, r.ptr, out, point);
  }
  return n;
}

Text to_text(double v, int limit, PointZero pz) {
  Text t;
  char digits[48];
  int point;
  bool negative;
  int n = float_to_digits(v, limit, digits, &point, &negative, pz);
  if (point >= kPointZero) {
    std::memcpy(t.chars, digits, static_cast<size_t>(n) + 1);
    t.size = static_cast<uint8_t>(n);
    return t;
  }
  char* o = t.chars;
  if (negative) *o++ = '-';
  if (point > 17 || point < -6) {
    *o++ = digits[0];
    if (n > 1) {
      *o++ = '.';
      std::memcpy(o, digits + 1, static_cast<size_t>(n - 1));
      o += n - 1;
    } else if (pz == PointZero::yes) {
      *o++ = '.';
      *o++ = '0';
    }
    *o++ = 'e';
    o = std::to_chars(o, t.chars + sizeof t.chars, point - 1).ptr;
  } else if (point > 0) {
    for (int i = 0; i < point; i++) *o++ = i < n ? digits[i] : '0';
    if (n > point) {
      *o++ = '.';
      std::memcpy(o, digits + point, static_cast<size_t>(n - point));
      o += n - point;
    } else if (pz == PointZero::yes) {
      *o++ = '.';
      *o++ = '0';
    }
  } else {
    *o++ = '0';
    *o++ = '.';
    for (int i = 0; i < -point; i++) *o++ = '0';
    std::memcpy(o, digits, static_cast<size_t>(n));
    o += n;
  }
  *o = 0;
  t.size = static_cast<uint8_t>(o - t.chars);
  return t;
}

Text format_g(double v, int precision) {
  Text t;
  if (!std::isfinite(v)) {
    const char* s = std::isnan(v) ? "1.#NaN" : v < 0 ? "-1.#INF" : "1.#INF";
    t.size = static_cast<uint8_t>(copy_text(t.chars, s));
    return t;
  }
  precision = std::clamp(precision, 1, 17);
  auto r = std::to_chars(t.chars, t.chars + sizeof t.chars - 1, v, std::chars_format::general, precision);
  *r.ptr = 0;
  t.size = static_cast<uint8_t>(r.ptr - t.chars);
  return t;
}

}  // namespace qel::dtoa
