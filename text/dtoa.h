// Conversions between doubles and decimal text, exact in both directions.
//
// Text to double: the correctly rounded double of a decimal text (optional
// sign, digits, fraction, exponent), with Qel's special texts "1.#INF",
// "-1.#INF" and "1.#NaN". Double to text: the shortest digits that read back
// as the same double, or at most N correctly rounded significant digits, laid
// out as Qel writes floats: plain while the decimal point lies 6 places left
// of the first digit up to 17 places right of it (0.0000001,
// 10000000000000000.0), one digit, ".", the rest and "e" with the exponent
// otherwise (1.0e17, 1.0e-8, 5.0e-324).
//
// The digit work is the standard library's (<charconv>: correctly rounded and
// locale-free); this module adds Qel's grammar, layouts and specials, and
// bounds every exponent. Nothing here raises an error or depends on a
// locale. All functions are reentrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qel::dtoa {

// Whether a text that would have no decimal point gets ".0" (1.0, 100.0,
// 1.0e17) and zero reads "0.0"; without it 1, 100, 1e17 and "0".
enum class PointZero : uint8_t { no, yes };

// A finished float text; at most 31 characters, NUL-terminated.
struct Text {
  char chars[32];
  uint8_t size;
  std::string_view view() const { return {chars, size}; }
  const char* c_str() const { return chars; }
};

// Reads the number at the start of [start, end): an optional "+" or "-",
// digits with an optional "." and fraction, and an optional exponent ("e" or
// "E", an optional sign, at least one digit). `exp_adjust` is added to the
// decimal exponent before rounding (-2 reads a percent text as a fraction).
// A text of one significant digit, "." and "#" followed by "I" or "i" gives
// an infinity with the sign, by "N" or "n" a quiet NaN (so "1.#INF",
// "-1.#INF" and "1.#NaN" read back). *rest is set to the number of characters
// after the number: callers treat a non-zero count as "not a number" (a text
// with no digit at all leaves every character unconsumed). The result is
// correctly rounded (ties to even); beyond the range of doubles it is
// infinity (with the sign) or zero. The sign is applied as 0 - value, so
// "-0.0" reads as positive zero.
double text_to_float(const char* start, const char* end, int32_t exp_adjust, int32_t* rest);
inline double text_to_float(const char* start, const char* end, int32_t* rest) {
  return text_to_float(start, end, 0, rest);
}

// Decimal point positions that mark the special results of float_to_digits.
inline constexpr int kPointSpecial = 9999;  // infinity or NaN
inline constexpr int kPointZero = 9998;     // zero

// The decimal digits of v: the shortest that read back as v when `limit` is
// 0 or less, else at most `limit` correctly rounded significant digits
// (ties to even), trailing zeros removed. Writes the digits (no sign, no
// point, NUL-terminated) to `out` (at least 32 bytes) and returns their
// count; v = 0.d1d2... x 10^point. For the specials *point is kPointSpecial
// and `out` holds "1.#INF", "-1.#INF" or "1.#NaN"; for zero *point is
// kPointZero and `out` holds "0", "-0" or, with PointZero::yes, "0.0",
// "-0.0". *negative is the sign bit.
int float_to_digits(double v, int limit, char* out, int* point, bool* negative,
                    PointZero zero_text = PointZero::yes);

// The Qel text of v with float_to_digits' digits (see the layout above).
Text to_text(double v, int limit, PointZero pz);

// Shortest round-trip text with ".0": the form that molds a float!.
inline Text shortest_text(double v) { return to_text(v, 0, PointZero::yes); }

// The C "%.<precision>g" form in the C locale ("1e+20", "0.30000000000000004"
// at 17, "0.3" at 16), precision 1 to 17; infinities and NaN give Qel's
// special texts.
Text format_g(double v, int precision);

}  // namespace qel::dtoa
