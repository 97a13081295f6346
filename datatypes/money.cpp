// money!: the cell layout, the currency list, conversions from and to text,
// integers and floats, and the decimal arithmetic.
//
// The 22 stored digits are read into one unsigned 128-bit integer (the
// amount in units of 0.00001, below 10^22) and written back from it, so
// every operation is exact integer arithmetic: sums and differences
// directly, products as four partial products of 11-digit halves, quotients
// of a dividend scaled by 10^5. A result that needs an 18th integer digit is
// script `type-limit` naming money!. Products and quotients are truncated
// toward zero to 5 fraction digits; one that truncates to zero from non-zero
// operands is reported as the same error (an underflow) rather than
// silently becoming $0.
#include "datatypes/money.h"

#include <cmath>
#include <cstring>

#include "core/cycle_guard.h"
#include "text/dtoa.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "values/symbol.h"

namespace qel::money {

namespace {

using U128 = unsigned __int128;

constexpr uint64_t kE5 = 100000ull;
constexpr uint64_t kE11 = 100000000000ull;
constexpr U128 kLimit = static_cast<U128>(kE11) * kE11;  // 10^22: one past the largest amount
constexpr U128 kE27 = kLimit * kE5;

[[noreturn]] void raise_with_type(ErrorCode code, TypeId t) {
  Cell dt;
  set_datatype(&dt, t);
  fire(code, &dt);
}

[[noreturn]] void overflow() { raise_with_type(ErrorCode::script_type_limit, TypeId::money); }

// The 11 digits of `d` from position `first` as an integer.
uint64_t read_half(const uint8_t* d, int32_t first) {
  uint64_t v = 0;
  for (int32_t p = first; p < first + 11; ++p) v = v * 10 + static_cast<uint64_t>(get_digit(d, p));
  return v;
}

void write_half(uint8_t* d, int32_t first, uint64_t v) {
  for (int32_t p = first + 10; p >= first; --p) {
    set_digit(d, p, static_cast<int32_t>(v % 10));
    v /= 10;
  }
}

// The amount's magnitude in units of 0.00001.
U128 magnitude(const Cell* c) {
  const uint8_t* d = digits(c);
  return static_cast<U128>(read_half(d, 1)) * kE11 + read_half(d, 12);
}

// Stores a magnitude below 10^22 and a sign (a zero is stored positive),
// keeping the currency and the header flags.
void store(Cell* c, U128 m, bool negative) {
  uint8_t* d = digits(c);
  write_half(d, 1, static_cast<uint64_t>(m / kE11));
  write_half(d, 12, static_cast<uint64_t>(m % kE11));
  set_sign(c, negative && m != 0);
}

// A whole money! cell: type, no flags, no currency, zero amount.
void clear_cell(Cell* c) { *c = Cell{static_cast<uint32_t>(TypeId::money), 0, 0, 0}; }

// --- system values read by this module

// system/locale/currencies/list, or null while it does not exist.
Cell* currency_list() {
  Cell* list = object::system_field({"locale", "currencies", "list"});
  return list && list->is(TypeId::block) ? list : nullptr;
}

bool equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x - 'a' < 26u) x -= 32;
    if (y - 'a' < 26u) y -= 32;
    if (x != y) return false;
  }
  return true;
}

// A double as money: its shortest decimal text, digits past the fifth
// fraction digit dropped (*dropped tells whether there were any). False for
// an infinity or NaN, a non-zero magnitude below 0.00001 and a magnitude of
// 1e17 or more.
bool convert_float(Cell* c, double x, bool* dropped) {
  char text[40];
  int point = 0;
  bool negative = false;
  const int n = dtoa::float_to_digits(x, 0, text, &point, &negative, dtoa::PointZero::no);
  *dropped = false;
  if (point == dtoa::kPointSpecial) return false;
  if (point == dtoa::kPointZero) {
    make_zero(c);
    return true;
  }
  const double ax = std::fabs(x);
  if (ax >= 1e17 || ax < 1e-5) return false;
  // x = 0.d1d2...dn x 10^point
  char whole[24], fraction[48];
  int wn = 0, fn = 0;
  for (int i = 0; i < point; ++i) whole[wn++] = i < n ? text[i] : '0';
  for (int i = point; i < 0; ++i) fraction[fn++] = '0';
  for (int i = point > 0 ? point : 0; i < n; ++i) fraction[fn++] = text[i];
  *dropped = fn > kFractionDigits;
  return make_from_text(c, negative, {}, {whole, static_cast<size_t>(wn)},
                        {fraction, static_cast<size_t>(fn)});
}

// The sign of (m - x) for a double x: -1, 0 or 1, or 2 when x is NaN. The
// double is taken as its shortest decimal text, the text `to money!` reads,
// and compared exactly, so values outside the money range order by sign.
int32_t order_with_double(const Cell* m, double x) {
  if (std::isnan(x)) return 2;
  const double ax = std::fabs(x);
  const int32_t sm = signum(m);
  if (ax >= 1e17) return x > 0 ? -1 : 1;  // beyond every amount
  if (x != 0.0 && ax < 1e-5) return sm != 0 ? sm : (x > 0 ? -1 : 1);
  Cell t;
  bool dropped = false;
  convert_float(&t, x, &dropped);
  const int32_t c = compare_amounts(m, &t);
  if (c != 0 || !dropped) return c;
  // Equal to the fifth fraction digit: the digits dropped put x further
  // from zero than the money.
  return x > 0 ? -1 : 1;
}

}  // namespace

// --- digit routines

bool digits_zero_q(const uint8_t* d) {
  for (int32_t i = 0; i < kDigitBytes; ++i)
    if (d[i]) return false;
  return true;
}

int32_t digit_count(const uint8_t* d) {
  for (int32_t p = 1; p <= kDigits; ++p)
    if (get_digit(d, p)) return kDigits - p + 1;
  return 1;
}

int32_t compare_digits(const uint8_t* a, const uint8_t* b) {
  const int r = std::memcmp(a, b, kDigitBytes);
  return (r > 0) - (r < 0);
}

void shift_left(uint8_t* d, int32_t bytes, int32_t count) {
  const int32_t n = bytes * 2;
  for (int32_t p = 1; p <= n; ++p) set_digit(d, p, p + count <= n ? get_digit(d, p + count) : 0);
}

void shift_right(uint8_t* d, int32_t bytes, int32_t count) {
  const int32_t n = bytes * 2;
  for (int32_t p = n; p >= 1; --p) set_digit(d, p, p - count >= 1 ? get_digit(d, p - count) : 0);
}

// --- currencies

int32_t currency_index(const Cell* word) {
  const Cell* list = currency_list();
  if (!list || !is_any_word(word->type())) return -1;
  Cell l = *list;
  const int32_t n = block::rs_length_q(&l);
  const Cell* c = block::rs_head(&l);
  const SymbolId want = symbol::resolve(word->symbol());
  for (int32_t i = 0; i < n; ++i)
    if (is_any_word(c[i].type()) && symbol::resolve(c[i].symbol()) == want) return i + 1;
  return -1;
}

int32_t currency_index(std::string_view code) {
  const Cell* list = currency_list();
  if (!list) return -1;
  Cell l = *list;
  const int32_t n = block::rs_length_q(&l);
  const Cell* c = block::rs_head(&l);
  for (int32_t i = 0; i < n; ++i)
    if (is_any_word(c[i].type()) && equal_nocase(symbol::name(c[i].symbol()), code)) return i + 1;
  return -1;
}

void currency_word(const Cell* money, Cell* out) {
  set_none(out);
  const int32_t index = get_currency(money);
  if (index == 0) return;
  const Cell* list = currency_list();
  if (!list) return;
  Cell l = *list;
  if (index > block::rs_length_q(&l)) return;
  const Cell* w = block::rs_head(&l) + (index - 1);
  if (!is_any_word(w->type())) return;
  *out = *w;
  out->reset_header(TypeId::word);
}

bool same_currency_q(const Cell* a, const Cell* b, Strict strict) {
  const uint8_t ca = get_currency(a), cb = get_currency(b);
  if (ca == cb) return true;
  return strict == Strict::no && (ca == 0 || cb == 0);
}

// --- making values

Cell* make_zero(Cell* c) {
  clear_cell(c);
  return c;
}

bool make_from_text(Cell* c, bool negative, std::string_view code, std::string_view integer_text,
                    std::string_view fraction_text) {
  int32_t currency = 0;
  if (!code.empty()) {
    currency = currency_index(code);
    if (currency < 1 || currency > 255) return false;
  }
  U128 whole = 0;
  int32_t significant = 0;
  for (char ch : integer_text) {
    if (ch == '\'') continue;
    if (ch < '0' || ch > '9') return false;
    if (significant == 0 && ch == '0') continue;
    if (++significant > kIntegerDigits) return false;
    whole = whole * 10 + static_cast<unsigned>(ch - '0');
  }
  uint64_t fraction = 0;
  int32_t places = 0;
  for (char ch : fraction_text) {
    if (ch < '0' || ch > '9') return false;
    if (places == kFractionDigits) break;  // digits past the fifth are dropped
    fraction = fraction * 10 + static_cast<unsigned>(ch - '0');
    ++places;
  }
  for (; places < kFractionDigits; ++places) fraction *= 10;
  clear_cell(c);
  store(c, whole * kE5 + fraction, negative);
  set_currency(c, static_cast<uint8_t>(currency));
  return true;
}

Cell* make_from_bcd(Cell* c, bool negative, uint8_t currency, const uint8_t* bcd) {
  clear_cell(c);
  std::memcpy(digits(c), bcd, kDigitBytes);
  set_sign(c, negative);
  set_currency(c, currency);
  return c;
}

Cell* from_integer(Cell* c, int32_t n) {
  clear_cell(c);
  const uint64_t m = n < 0 ? 0ull - static_cast<uint64_t>(static_cast<int64_t>(n)) : static_cast<uint64_t>(n);
  store(c, static_cast<U128>(m) * kE5, n < 0);
  return c;
}

Cell* from_float(Cell* c, double x, Strict strict) {
  bool dropped = false;
  if (!convert_float(c, x, &dropped) || (strict == Strict::yes && dropped)) {
    Cell dt, f;
    set_datatype(&dt, TypeId::money);
    set_float(&f, x);
    fire(ErrorCode::script_bad_make_arg, &dt, &f);
  }
  return c;
}

int32_t to_integer(const Cell* c) {
  const U128 whole = magnitude(c) / kE5;
  const bool negative = signum(c) < 0;
  if (whole > (negative ? U128{2147483648u} : U128{2147483647u}))
    raise_with_type(ErrorCode::script_type_limit, TypeId::integer);
  const int64_t v = static_cast<int64_t>(whole);
  return static_cast<int32_t>(negative ? -v : v);
}

bool int_overflow_q(const Cell* c) {
  const U128 whole = magnitude(c) / kE5;
  return whole > (signum(c) < 0 ? U128{2147483648u} : U128{2147483647u});
}

double to_float(const Cell* c) {
  const U128 m = magnitude(c);
  if (m == 0) return 0.0;
  // The decimal text of the amount, read with correct rounding.
  char text[32];
  const uint64_t whole = static_cast<uint64_t>(m / kE5);
  const uint64_t fraction = static_cast<uint64_t>(m % kE5);
  int n = 0;
  char tmp[24];
  int t = 0;
  uint64_t w = whole;
  do {
    tmp[t++] = static_cast<char>('0' + w % 10);
    w /= 10;
  } while (w);
  while (t) text[n++] = tmp[--t];
  text[n++] = '.';
  uint64_t f = fraction;
  for (int i = kFractionDigits - 1; i >= 0; --i) {
    text[n + i] = static_cast<char>('0' + f % 10);
    f /= 10;
  }
  n += kFractionDigits;
  int32_t rest = 0;
  const double v = dtoa::text_to_float(text, text + n, &rest);
  if (rest != 0) {
    Cell dt;
    set_datatype(&dt, TypeId::float_);
    fire(ErrorCode::script_bad_make_arg, &dt, c);
  }
  return signum(c) < 0 ? 0.0 - v : v;
}

// --- arithmetic

int32_t compare_amounts(const Cell* a, const Cell* b) {
  const int32_t sa = signum(a), sb = signum(b);
  if (sa != sb || sa == 0) return (sa > sb) - (sa < sb);
  const int32_t c = compare_digits(digits(a), digits(b));
  return sa > 0 ? c : -c;
}

void add_values(Cell* a, const Cell* b) {
  const int32_t sa = signum(a), sb = signum(b);
  if (sb == 0) return;
  const U128 ma = magnitude(a), mb = magnitude(b);
  if (sa == 0) {
    store(a, mb, sb < 0);
    return;
  }
  if (sa == sb) {
    const U128 m = ma + mb;
    if (m >= kLimit) overflow();
    store(a, m, sa < 0);
  } else if (ma >= mb) {
    store(a, ma - mb, sa < 0);
  } else {
    store(a, mb - ma, sb < 0);
  }
}

void subtract_values(Cell* a, const Cell* b) {
  Cell negated = *b;
  negate(&negated);
  add_values(a, &negated);
}

void multiply_values(Cell* a, const Cell* b) {
  const int32_t sa = signum(a), sb = signum(b);
  if (sa == 0) return;
  if (sb == 0) {
    store(a, 0, false);
    return;
  }
  const U128 ma = magnitude(a), mb = magnitude(b);
  // ma x mb in units of 10^-10 is below 10^44: as halves of 11 digits,
  // (ah.10^11 + al)(bh.10^11 + bl). The product leaves the range once it
  // reaches 10^27 (10^22 units after dropping 5 digits), which a high
  // partial product of 10^5 or more already does.
  const uint64_t ah = static_cast<uint64_t>(ma / kE11), al = static_cast<uint64_t>(ma % kE11);
  const uint64_t bh = static_cast<uint64_t>(mb / kE11), bl = static_cast<uint64_t>(mb % kE11);
  const U128 high = static_cast<U128>(ah) * bh;
  if (high >= kE5) overflow();
  const U128 mid = static_cast<U128>(ah) * bl + static_cast<U128>(al) * bh;
  const U128 low = static_cast<U128>(al) * bl;
  const U128 product = high * kLimit + mid * kE11 + low;  // below 2^112
  if (product >= kE27) overflow();
  const U128 m = product / kE5;
  if (m == 0) overflow();  // underflow: a non-zero product too small for 5 digits
  store(a, m, sa != sb);
}

void divide_values(Cell* a, const Cell* b, Remainder remainder) {
  const int32_t sa = signum(a), sb = signum(b);
  if (sb == 0) fire(ErrorCode::math_zero_divide);
  if (sa == 0) return;
  const U128 ma = magnitude(a), mb = magnitude(b);
  if (remainder == Remainder::yes) {
    store(a, ma % mb, sa < 0);
    return;
  }
  const U128 q = ma * kE5 / mb;  // ma x 10^5 is below 10^27
  if (q == 0 || q >= kLimit) overflow();
  store(a, q, sa != sb);
}

bool quotient_even_q(const Cell* a, const Cell* b) {
  const U128 mb = magnitude(b);
  return mb == 0 || (magnitude(a) / mb) % 2 == 0;
}

namespace {

// An operand of mixed arithmetic as money.
void operand(const Cell* v, Cell* out) {
  switch (v->type()) {
    case TypeId::money: *out = *v; break;
    case TypeId::integer: from_integer(out, v->integer()); break;
    case TypeId::float_:
    case TypeId::percent: from_float(out, v->real(), Strict::no); break;
    default: raise_with_type(ErrorCode::script_invalid_type, v->type());
  }
}

}  // namespace

void do_math(Cell* left, Cell* right, MathOp op) {
  const bool lm = left->is(TypeId::money), rm = right->is(TypeId::money);
  if (op == MathOp::multiply && lm && rm) raise_with_type(ErrorCode::script_invalid_type, TypeId::money);
  if ((op == MathOp::divide || op == MathOp::remainder) && !lm)
    raise_with_type(ErrorCode::script_invalid_type, left->type());
  Cell a, b;
  operand(left, &a);
  operand(right, &b);
  if (!same_currency_q(&a, &b, Strict::no)) fire(ErrorCode::script_wrong_denom, &a, &b);
  const uint8_t currency = get_currency(&b) ? get_currency(&b) : get_currency(&a);
  switch (op) {
    case MathOp::add: add_values(&a, &b); break;
    case MathOp::subtract: subtract_values(&a, &b); break;
    case MathOp::multiply: multiply_values(&a, &b); break;
    case MathOp::divide: divide_values(&a, &b, Remainder::no); break;
    case MathOp::remainder: divide_values(&a, &b, Remainder::yes); break;
    default: raise_with_type(ErrorCode::script_cannot_use, TypeId::money);
  }
  if (op == MathOp::divide && lm && rm) {
    set_float(left, to_float(&a));
    return;
  }
  a.header = static_cast<uint32_t>(TypeId::money) | (a.header & kSignFlag);
  set_currency(&a, currency);
  *left = a;
}

// --- comparison

// The answer of a comparison with a NaN, which orders with nothing: every
// ordering test and the equality are false, inequality true. Sorts put a
// NaN after every amount (`nan_side` is 1 when the NaN is the left operand,
// -1 when it is the right one), so that they see one consistent order.
static int32_t nan_answer(CompareOp op, int32_t nan_side) {
  switch (op) {
    case CompareOp::sort:
    case CompareOp::case_sort: return nan_side;
    case CompareOp::lesser:
    case CompareOp::lesser_or_equal: return 1;
    case CompareOp::greater:
    case CompareOp::greater_or_equal: return -1;
    case CompareOp::equal:
    case CompareOp::not_equal: return 1;
    default: return 0;
  }
}

int32_t compare(Cell* a, Cell* b, CompareOp op) {
  const bool strict_op =
      op == CompareOp::strict_equal || op == CompareOp::same || op == CompareOp::find;
  const TypeId bt = b->type();
  if (strict_op && bt != TypeId::money) return 1;
  switch (bt) {
    case TypeId::money:
      switch (op) {
        case CompareOp::lesser:
        case CompareOp::lesser_or_equal:
        case CompareOp::greater:
        case CompareOp::greater_or_equal:
          if (!same_currency_q(a, b, Strict::no)) {
            cycle_guard::reset();
            fire(ErrorCode::script_wrong_denom, b, a);
          }
          break;
        case CompareOp::sort:
        case CompareOp::case_sort: {
          // No currency first, then the codes in word order, then the amounts.
          const uint8_t ca = get_currency(a), cb = get_currency(b);
          if (ca != cb) {
            if (ca == 0 || cb == 0) return ca == 0 ? -1 : 1;
            Cell wa, wb;
            currency_word(a, &wa);
            currency_word(b, &wb);
            if (wa.is(TypeId::word) && wb.is(TypeId::word)) {
              const int32_t r = actions::compare_values(&wa, &wb, op);
              if (r != 0) return r;
            }
            return ca < cb ? -1 : 1;
          }
          break;
        }
        case CompareOp::find:
          if (get_currency(b) && get_currency(a) != get_currency(b)) return 1;
          break;
        case CompareOp::strict_equal:
        case CompareOp::same:
          if (!same_currency_q(a, b, Strict::yes)) return 1;
          break;
        default:
          if (!same_currency_q(a, b, Strict::no)) return 1;
          break;
      }
      return compare_amounts(a, b);
    case TypeId::integer: {
      Cell m;
      from_integer(&m, b->integer());
      return compare_amounts(a, &m);
    }
    case TypeId::float_:
    case TypeId::percent: {
      const int32_t r = order_with_double(a, b->real());
      return r != 2 ? r : nan_answer(op, -1);
    }
    default: return kNotComparable;
  }
}

int32_t compare_double(double x, const Cell* m, CompareOp op) {
  const int32_t r = order_with_double(m, x);
  return r == 2 ? nan_answer(op, 1) : -r;
}

// --- text

void scan_money_text(const void* text, int32_t count, int unit, int32_t* error, Cell* out) {
  *error = -1;
  // Money text is ASCII: copy it out, refusing anything wider.
  if (count < 1 || count > 64) return;
  char s[64];
  for (int32_t i = 0; i < count; ++i) {
    const uint32_t cp = string::get_char(static_cast<const uint8_t*>(text) + i * unit, static_cast<uint32_t>(unit));
    if (cp > 0x7F) return;
    s[i] = static_cast<char>(cp);
  }
  int32_t p = 0;
  bool negative = false;
  if (s[p] == '+' || s[p] == '-') negative = s[p++] == '-';
  auto letter = [](char ch) { return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z'); };
  auto digit = [](char ch) { return ch >= '0' && ch <= '9'; };
  std::string_view code;
  if (p < count && letter(s[p])) {
    if (count - p < 5 || !letter(s[p + 1]) || !letter(s[p + 2]) || s[p + 3] != '$') return;
    code = std::string_view(s + p, 3);
    p += 4;
  } else if (p < count && s[p] == '$') {
    ++p;
  }
  // Digits, "'" only between two digits, one "." between digits.
  const int32_t start = p;
  int32_t point = -1;
  for (; p < count; ++p) {
    const char ch = s[p];
    if (digit(ch)) continue;
    if (ch == '\'') {
      if (point >= 0 || p == start || !digit(s[p - 1]) || p + 1 >= count || !digit(s[p + 1])) return;
    } else if (ch == '.') {
      if (point >= 0 || p == start || p + 1 >= count) return;
      point = p;
    } else {
      return;
    }
  }
  if (p == start) return;
  const int32_t int_end = point >= 0 ? point : count;
  std::string_view whole(s + start, static_cast<size_t>(int_end - start));
  std::string_view fraction;
  if (point >= 0) {
    fraction = std::string_view(s + point + 1, static_cast<size_t>(count - point - 1));
    if (fraction.size() > static_cast<size_t>(kFractionDigits)) return;
  }
  if (!make_from_text(out, negative, code, whole, fraction)) return;
  *error = 0;
}

bool scan_literal(const uint8_t* text, uint32_t len, Cell* out) {
  const uint8_t* p = text;
  const uint8_t* end = text + len;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  const uint8_t* dollar = p;
  while (dollar < end && *dollar != '$') ++dollar;
  if (dollar == end) return false;
  const std::string_view code(reinterpret_cast<const char*>(p), static_cast<size_t>(dollar - p));
  if (!code.empty() && code.size() != 3) return false;
  p = dollar + 1;
  auto digit = [](uint8_t ch) { return ch >= '0' && ch <= '9'; };
  if (p == end || !digit(*p)) return false;
  // The integer part: digits with single "'" between digits.
  const uint8_t* whole_start = p;
  int32_t significant = 0;
  for (; p < end && (digit(*p) || *p == '\''); ++p) {
    if (*p == '\'') {
      if (p + 1 == end || !digit(p[1])) return false;  // "''" or a trailing "'"
      continue;
    }
    if (significant > 0 || *p != '0') ++significant;
  }
  if (significant > kIntegerDigits) return false;
  const std::string_view whole(reinterpret_cast<const char*>(whole_start),
                               static_cast<size_t>(p - whole_start));
  std::string_view fraction;
  if (p < end) {
    if (*p != '.' && *p != ',') return false;
    const uint8_t* f = ++p;
    while (p < end && digit(*p)) ++p;
    if (p != end || p == f || p - f > kFractionDigits) return false;
    fraction = std::string_view(reinterpret_cast<const char*>(f), static_cast<size_t>(p - f));
  }
  return make_from_text(out, negative, code, whole, fraction);
}

int32_t emit(const Cell* m, Cell* buffer, Grouped grouped, int32_t fraction, int32_t limit) {
  char text[64];
  int n = 0;
  if (signum(m) < 0) text[n++] = '-';
  Cell code;
  currency_word(m, &code);
  if (code.is(TypeId::word)) {
    const std::string_view name = symbol::name(code.symbol());
    for (size_t i = 0; i < name.size() && n < 8; ++i) text[n++] = name[i];
  }
  text[n++] = '$';
  const uint8_t* d = digits(m);
  int32_t first = 1;
  while (first < kIntegerDigits && get_digit(d, first) == 0) ++first;
  for (int32_t p = first; p <= kIntegerDigits; ++p) {
    text[n++] = static_cast<char>('0' + get_digit(d, p));
    if (grouped == Grouped::yes && p < kIntegerDigits && (p + 1) % 3 == 0) text[n++] = '\'';
  }
  if (fraction > 0) {
    text[n++] = '.';
    for (int32_t p = kIntegerDigits + 1; p <= kIntegerDigits + fraction; ++p)
      text[n++] = static_cast<char>('0' + get_digit(d, p));
  }
  return string::emit(buffer, std::string_view(text, static_cast<size_t>(n)), limit);
}

}  // namespace qel::money
