// Numbers in the lexer: the loaders of integer!, hexadecimal integers,
// float!, percent! and the special floats, the float syntax automaton, and
// the number scanners that conversions of text use (`to integer!`,
// `to float!`) without running the whole lexer.
//
// Integer literals that do not fit 32 bits load as floats. Text to double
// goes through <charconv>, which rounds correctly; the float syntax automaton
// decides first what counts as a number.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "lexer/engine.h"

namespace qel::lexer {

namespace {

// Float syntax automaton: byte kinds 1 sign, 2 digit, 3 exponent, 4 dot,
// 5 quote, 0 anything else; column 6 is the end of the text; state 10 rejects.
constexpr uint8_t kFloatStates[11][7] = {
    {10, 0, 1, 10, 4, 10, 10},  {10, 10, 1, 6, 5, 2, 9},    {10, 10, 1, 10, 10, 10, 9},
    {10, 10, 3, 6, 10, 4, 9},   {10, 10, 3, 10, 10, 10, 9}, {10, 10, 3, 10, 10, 10, 9},
    {10, 7, 8, 10, 10, 10, 10}, {10, 10, 8, 10, 10, 10, 10}, {10, 10, 8, 10, 10, 10, 9},
    {9, 9, 9, 9, 9, 9, 9},      {10, 10, 10, 10, 10, 10, 10},
};

constexpr int float_kind(uint8_t b) {
  switch (b) {
    case '+': case '-': return 1;
    case 'e': case 'E': return 3;
    case '.': return 4;
    case '\'': return 5;
    default: return (b >= '0' && b <= '9') ? 2 : 0;
  }
}

constexpr uint32_t kMaxFloatText = 312;

// Copies the text without "'" separators (and, for conversions, "," as ".").
// Returns the length written; `out` holds at least len + 1 bytes.
uint32_t strip_separators(const uint8_t* t, uint32_t len, char* out) {
  uint32_t n = 0;
  for (uint32_t i = 0; i < len; i++)
    if (t[i] != '\'') out[n++] = static_cast<char>(t[i]);
  out[n] = 0;
  return n;
}

void push_number(LexerState& s, Check mode, TypeId type, int32_t i, double d) {
  s.type = static_cast<int32_t>(type);
  if (mode != Check::load) return;
  Cell* c = alloc_slot(s);
  uint32_t nl = c->header & cell_flag::new_line;
  if (type == TypeId::integer) set_integer(c, i);
  else set_float(c, d, type);
  c->header |= nl;
}

// The special floats 1.#INF, -1.#INF and 1.#NaN (any case after "#"); false
// for another text.
bool special_float(const uint8_t* t, uint32_t len, double* out) {
  bool negative = false;
  if (len > 0 && (t[0] == '+' || t[0] == '-')) {
    negative = t[0] == '-';
    t++;
    len--;
  }
  auto upper = [](uint8_t b) { return (b >= 'a' && b <= 'z') ? b - 32 : b; };
  if (len != 6 || t[0] != '1' || t[1] != '.' || t[2] != '#') return false;
  char word[4] = {static_cast<char>(upper(t[3])), static_cast<char>(upper(t[4])),
                  static_cast<char>(upper(t[5])), 0};
  if (std::strcmp(word, "NAN") == 0) *out = std::numeric_limits<double>::quiet_NaN();
  else if (std::strcmp(word, "INF") == 0) *out = negative ? -HUGE_VAL : HUGE_VAL;
  else return false;
  return true;
}

}  // namespace

bool float_syntax_q(const uint8_t* t, uint32_t len) {
  if (len > kMaxFloatText) return false;
  int state = 0;
  for (uint32_t i = 0; i < len && state != 10; i++) state = kFloatStates[state][float_kind(t[i])];
  return kFloatStates[state][6] != 10;
}

bool text_to_double(const char* text, uint32_t len, double* out) {
  const char* p = text;
  const char* end = text + len;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  if (p < end && (*p == '+' || *p == '-')) return false;
  double v = 0;
  auto r = std::from_chars(p, end, v, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) {
    // Out of range is still a number: underflow gives zero or a subnormal,
    // overflow an infinity (1.8e308 reads as 1.#INF).
    char buf[kMaxFloatText + 2];
    uint32_t n = static_cast<uint32_t>(end - p);
    if (n > kMaxFloatText) return false;
    std::memcpy(buf, p, n);
    buf[n] = 0;
    v = std::strtod(buf, nullptr);
  } else if (r.ec != std::errc() || r.ptr != end) {
    return false;
  }
  // The sign is applied as 0 - v, so the text -0.0 reads as positive zero.
  *out = negative ? 0.0 - v : v;
  return true;
}

void load_float(LexerState& s, uint32_t start, uint32_t end, uint32_t, Check mode) {
  s.input = end;
  s.type = static_cast<int32_t>(TypeId::float_);
  uint32_t len = end - start;
  if (!float_syntax_q(s.text + start, len)) throw_error(s, start, end, TypeId::float_);
  char buf[kMaxFloatText + 1];
  uint32_t n = strip_separators(s.text + start, len, buf);
  double d;
  if (!text_to_double(buf, n, &d)) throw_error(s, start, end, TypeId::float_);
  push_number(s, mode, TypeId::float_, 0, d);
}

void load_percent(LexerState& s, uint32_t start, uint32_t end, uint32_t, Check mode) {
  // The "%" ends the token and belongs to it.
  s.input = end + 1;
  s.type = static_cast<int32_t>(TypeId::percent);
  uint32_t len = end - start;
  // 1.#INF%, -1.#INF% and 1.#NaN%: the percents mold writes for the special values.
  double special;
  if (special_float(s.text + start, len, &special)) {
    push_number(s, mode, TypeId::percent, 0, special);
    return;
  }
  if (!float_syntax_q(s.text + start, len)) throw_error(s, start, end + 1, TypeId::float_);
  char buf[kMaxFloatText + 16];
  uint32_t n = strip_separators(s.text + start, len, buf);
  // The decimal exponent lowered by 2: 5% is the double nearest 0.05, and
  // 1e-10% (the form mold gives very small and very large percents) the one
  // nearest 1e-12. An exponent's digits are read with a ceiling far past any
  // double, so a long run of them cannot overflow.
  uint32_t mant = n;
  for (uint32_t i = 0; i < n; i++)
    if (buf[i] == 'e' || buf[i] == 'E') mant = i;
  int64_t exponent = 0;
  if (mant < n) {
    uint32_t i = mant + 1;
    bool negative = false;
    if (i < n && (buf[i] == '+' || buf[i] == '-')) negative = buf[i++] == '-';
    if (i == n) throw_error(s, start, end + 1, TypeId::float_);
    for (; i < n; i++) {
      if (buf[i] < '0' || buf[i] > '9') throw_error(s, start, end + 1, TypeId::float_);
      if (exponent < 100000) exponent = exponent * 10 + (buf[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  const int written = std::snprintf(buf + mant, sizeof buf - mant, "e%lld",
                                    static_cast<long long>(exponent - 2));
  double d;
  if (!text_to_double(buf, mant + static_cast<uint32_t>(written), &d))
    throw_error(s, start, end + 1, TypeId::float_);
  push_number(s, mode, TypeId::percent, 0, d);
  s.input = end + 1;
}

void load_float_special(LexerState& s, uint32_t start, uint32_t end, uint32_t, Check mode) {
  s.input = end;
  s.type = static_cast<int32_t>(TypeId::float_);
  double d;
  if (!special_float(s.text + start, end - start, &d)) throw_error(s, start, end, TypeId::float_);
  push_number(s, mode, TypeId::float_, 0, d);
}

void load_integer(LexerState& s, uint32_t start, uint32_t end, uint32_t flags, Check mode) {
  s.input = end;
  s.type = static_cast<int32_t>(TypeId::integer);
  const uint8_t* t = s.text;
  uint32_t p = start;
  bool negative = false;
  if (p < end && (t[p] == '+' || t[p] == '-')) negative = t[p++] == '-';
  if (p >= end) throw_error(s, start, end, TypeId::pair);
  uint64_t value = 0;
  bool quote = false;
  bool big = false;
  for (; p < end; p++) {
    uint8_t b = t[p];
    if (b >= '0' && b <= '9') {
      quote = false;
      if (!big) {
        value = value * 10 + (b - '0');
        if (value > 2147483648ull) big = true;
      }
    } else if (b == '\'' && (flags & flag::quote)) {
      if (quote) throw_error(s, start, end, TypeId::integer);
      quote = true;
    } else {
      throw_error(s, start, end, TypeId::integer);
    }
  }
  if (big || value > (negative ? 2147483648ull : 2147483647ull)) {
    // Too large for 32 bits: the literal is a float.
    load_float(s, start, end, flags, mode);
    return;
  }
  int64_t v = negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
  push_number(s, mode, TypeId::integer, static_cast<int32_t>(v), 0);
}

void load_hex(LexerState& s, uint32_t start, uint32_t end, uint32_t, Check mode) {
  s.input = end;
  s.type = static_cast<int32_t>(TypeId::integer);
  const uint8_t* t = s.text;
  uint32_t digits = end - start - 1;  // before the final "h"
  bool decimal_first = t[start] >= '0' && t[start] <= '9';
  if (!decimal_first && digits == 1) throw_error(s, start, end, TypeId::word);
  if (digits < 2 || digits > 8) throw_error(s, start, end, TypeId::integer);
  uint32_t v = 0;
  for (uint32_t p = start; p < end - 1; p++) {
    uint8_t b = t[p];
    int d = (b >= '0' && b <= '9') ? b - '0' : (b >= 'A' && b <= 'F') ? b - 'A' + 10 : -1;
    if (d < 0) throw_error(s, start, end, TypeId::integer);
    v = v * 16 + static_cast<uint32_t>(d);
  }
  push_number(s, mode, TypeId::integer, static_cast<int32_t>(v), 0);
}

// --- conversions of text

namespace {

uint32_t char_at(const void* text, int32_t i, int unit) {
  const uint8_t* p = static_cast<const uint8_t*>(text);
  if (unit == 1) return p[i];
  if (unit == 2) {
    uint16_t v;
    std::memcpy(&v, p + 2 * i, 2);
    return v;
  }
  uint32_t v;
  std::memcpy(&v, p + 4 * i, 4);
  return v;
}

}  // namespace

int32_t scan_integer(const void* text, int32_t count, int unit, int32_t* error) {
  *error = 0;
  int32_t i = 0;
  bool negative = false;
  if (count > 0) {
    uint32_t c = char_at(text, 0, unit);
    if (c == '+' || c == '-') {
      negative = c == '-';
      i = 1;
    }
  }
  // Accumulate as a negative number so that -2147483648 fits.
  int64_t acc = 0;
  bool digits = false;
  for (; i < count; i++) {
    uint32_t c = char_at(text, i, unit);
    if (c == '\'') continue;
    if (c < '0' || c > '9') {
      *error = -1;
      break;
    }
    digits = true;
    acc = acc * 10 - static_cast<int64_t>(c - '0');
    if (acc < -2147483648LL || (!negative && acc < -2147483647LL)) {
      *error = -2;
      return 0;
    }
  }
  if (!digits) *error = -1;  // a sign alone, or nothing, is no number
  return static_cast<int32_t>(negative ? acc : -acc);
}

double scan_float_text(const void* text, int32_t count, int unit, int32_t* error) {
  *error = -1;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (count < 0 || count > static_cast<int32_t>(kMaxFloatText)) return nan;
  uint8_t copy[kMaxFloatText + 1];
  for (int32_t i = 0; i < count; i++) {
    uint32_t c = char_at(text, i, unit);
    if (c == ',') c = '.';
    copy[i] = c < 0x80 ? static_cast<uint8_t>(c) : '?';
  }
  if (!float_syntax_q(copy, static_cast<uint32_t>(count))) return nan;
  char buf[kMaxFloatText + 1];
  uint32_t n = strip_separators(copy, static_cast<uint32_t>(count), buf);
  double d;
  if (!text_to_double(buf, n, &d)) return nan;
  *error = 0;
  return d;
}

}  // namespace qel::lexer
