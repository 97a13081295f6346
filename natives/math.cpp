// Maths natives: the sign tests (negative?, positive?, sign?, zero?, NaN?),
// max and min, shift and to-hex, the trigonometric natives (in degrees
// unless /radians), the logarithms, exp and square-root, and the coordinate
// constructors as-pair, as-point2D, as-point3D and as-money.
//
// Most of them overwrite slot 0 in place. The float natives first make
// slot 0 a float!: an integer! is converted, a percent! keeps its stored
// double (50% is 0.5). Domain problems raise nothing: the IEEE answer (NaN,
// an infinity) stands, as the floating-point environment masks exceptions.
// The trigonometric natives reduce degrees with runtime::normalize_degrees.
// `as-pair` refuses a finite float beyond 32 bits with `type-limit` (no
// wrapped coordinate).
#include <cmath>
#include <cstdint>

#include "datatypes/float.h"
#include "datatypes/issue.h"
#include "datatypes/money.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/tuple.h"
#include "natives/natives.h"
#include "core/stack.h"
#include "text/numeric.h"
#include "values/actions.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/word.h"

namespace qel::natives {

namespace {

constexpr double kPi = 3.141592653589793;
// sine and cosine answers smaller than this are rounding noise: 0.0.
constexpr double kTrigEpsilon = 2.220446049250313e-16;

inline bool present(const int32_t* refinements, int i) {
  return refinements && refinements[i] >= 0;
}

inline void done() { stack::top = stack::arguments + 1; }

inline bool is_number(TypeId t) {
  return t == TypeId::integer || t == TypeId::float_ || t == TypeId::percent;
}

// Raises expect-arg for the called native, the value's datatype and the
// argument's word.
[[noreturn]] void refuse(const Cell* value, const char* arg) {
  Cell w = stack::get_call();
  Cell dt;
  set_datatype(&dt, value->type());
  Cell name = word::load(arg);
  fire(ErrorCode::script_expect_arg, &w, &dt, &name);
}

// Makes a cell a float! holding its number (integer! converted, percent! and
// float! kept as stored).
inline double to_float_arg(Cell* c) {
  double d = c->is(TypeId::integer) ? static_cast<double>(c->integer()) : c->real();
  set_float(c, d);
  return d;
}

// A NaN float! or percent!.
inline bool nan_number(const Cell* c) {
  return (c->is(TypeId::float_) || c->is(TypeId::percent)) && float_::nan_bits(c->data2, c->data3);
}

// --- sign tests

// -1, 0 or 1 for the sign of a number or time (a NaN has no sign: 0).
int32_t sign_of(const Cell* v) {
  switch (v->type()) {
    case TypeId::integer: {
      int32_t i = v->integer();
      return (i > 0) - (i < 0);
    }
    case TypeId::float_:
    case TypeId::percent:
    case TypeId::time: {
      double d = v->real();
      return d > 0.0 ? 1 : d < 0.0 ? -1 : 0;
    }
    case TypeId::money: return money::signum(v);
    default:
      refuse(v, "number");
  }
}

void negative_q(const int32_t*) {
  set_logic(stack::arguments, sign_of(stack::arguments) < 0);
  done();
}

void positive_q(const int32_t*) {
  set_logic(stack::arguments, sign_of(stack::arguments) > 0);
  done();
}

void sign_q(const int32_t*) {
  set_integer(stack::arguments, sign_of(stack::arguments));
  done();
}

void zero_q(const int32_t*) {
  Cell* v = stack::arguments;
  bool z = false;
  switch (v->type()) {
    case TypeId::integer:
    case TypeId::char_:
      z = v->integer() == 0;
      break;
    case TypeId::float_:
    case TypeId::percent:
    case TypeId::time:
      z = v->real() == 0.0;
      break;
    case TypeId::pair:
      z = pair::x(v) == 0 && pair::y(v) == 0;
      break;
    case TypeId::point2d:
    case TypeId::point3d: {
      z = true;
      for (int i = 0; i < point::arity(v->type()); i++) z = z && point::get(v, i) == 0.0f;
      break;
    }
    case TypeId::tuple:
      z = tuple::zero_q(v);
      break;
    case TypeId::money:
      z = money::zero_q(v);
      break;
    default:
      break;
  }
  set_logic(v, z);
  done();
}

void nan_q(const int32_t*) {
  Cell* v = stack::arguments;
  set_logic(v, nan_number(v));
  done();
}

// --- max and min

// Component by component on a point (2 or 3 singles) with another point of
// the same arity: a component is replaced when the other's is larger (max)
// or smaller (min), or is NaN.
void point_pick(Cell* target, const float* other, bool max) {
  for (int i = 0; i < point::arity(target->type()); i++) {
    float a = point::get(target, i), b = other[i];
    if (std::isnan(b) || (max ? b > a : b < a)) point::put(target, i, b);
  }
}

// The composite rules; false when the pair of values falls to the plain
// comparison.
bool max_min_composite(Cell* a, Cell* b, bool max) {
  auto pick_int = [max](int32_t x, int32_t y) { return max ? (y > x ? y : x) : (y < x ? y : x); };
  switch (a->type()) {
    case TypeId::pair: {
      if (b->is(TypeId::pair)) {
        pair::make_at(a, pick_int(pair::x(a), pair::x(b)), pick_int(pair::y(a), pair::y(b)));
        return true;
      }
      if (b->is(TypeId::point2d)) {
        pair::promote(a);
        return max_min_composite(a, b, max);
      }
      if (is_number(b->type())) {
        if (!b->is(TypeId::integer) && integer::float_overflow(b->real())) {
          // Too large for a pair: the answer is a point.
          float f = static_cast<float>(b->real());
          point2d::make_at(b, f, f);
          return max_min_composite(a, b, max);
        }
        int32_t n = get_integer_arg(b);
        pair::make_at(a, pick_int(pair::x(a), n), pick_int(pair::y(a), n));
        return true;
      }
      return false;
    }
    case TypeId::point2d:
    case TypeId::point3d: {
      float other[3];
      if (b->is(a->type())) {
        for (int i = 0; i < 3; i++) other[i] = point::get(b, i);
      } else if (b->is(TypeId::pair) && a->is(TypeId::point2d)) {
        other[0] = static_cast<float>(pair::x(b));
        other[1] = static_cast<float>(pair::y(b));
      } else if (is_number(b->type())) {
        other[0] = other[1] = other[2] = static_cast<float>(get_float_arg(b));
      } else {
        return false;
      }
      point_pick(a, other, max);
      return true;
    }
    case TypeId::tuple: {
      uint8_t* bytes = tuple::bytes(a);
      int32_t n = tuple::length(a);
      if (b->is(TypeId::tuple)) {
        if (tuple::length(b) != n) return false;
        const uint8_t* other = tuple::bytes(b);
        for (int32_t i = 0; i < n; i++)
          bytes[i] = static_cast<uint8_t>(pick_int(bytes[i], other[i]));
        return true;
      }
      if (is_number(b->type())) {
        double d = get_float_arg(b);
        int32_t k = d >= 255.0 ? 255 : d > 0.0 ? static_cast<int32_t>(d) : 0;
        for (int32_t i = 0; i < n; i++) bytes[i] = static_cast<uint8_t>(pick_int(bytes[i], k));
        return true;
      }
      return false;
    }
    default:
      return false;
  }
}

// A composite second value with a number first: the composite is the target.
inline bool composite(TypeId t) {
  return t == TypeId::pair || t == TypeId::point2d || t == TypeId::point3d || t == TypeId::tuple;
}

void max_(const int32_t*) {
  max_min(true);
  done();
}

void min_(const int32_t*) {
  max_min(false);
  done();
}

// --- integers

void shift(const int32_t* refinements) {
  Cell* args = stack::arguments;
  int32_t data = args[0].integer();
  int32_t bits = args[1].integer();
  if (bits < 0) bits = 0;
  int32_t r;
  if (present(refinements, 0))
    r = bits > 31 ? 0 : static_cast<int32_t>(static_cast<uint32_t>(data) << bits);
  else if (present(refinements, 1))
    r = bits > 31 ? 0 : static_cast<int32_t>(static_cast<uint32_t>(data) >> bits);
  else
    r = bits > 31 ? (data < 0 ? -1 : 0) : data >> bits;
  set_integer(args, r);
  done();
}

void to_hex(const int32_t* refinements) {
  Cell* args = stack::arguments;
  static constexpr char kDigits[] = "0123456789ABCDEF";
  uint32_t v = static_cast<uint32_t>(args[0].integer());
  char text[8];
  for (int i = 7; i >= 0; i--, v >>= 4) text[i] = kDigits[v & 15];
  int32_t keep = 8;
  if (present(refinements, 0)) {
    Cell* length = args + refinements[0];
    if (length->integer() <= 0) fire(ErrorCode::script_invalid_arg, length);
    if (length->integer() < 8) keep = length->integer();
  }
  issue::make_at(args, std::string_view(text + 8 - keep, static_cast<size_t>(keep)));
  done();
}

// --- trigonometry

double trig_angle(const int32_t* refinements, runtime::AngleUse use) {
  double x = to_float_arg(stack::arguments);
  return present(refinements, 0) ? x : runtime::normalize_degrees(x, use);
}

inline double drop_noise(double r) { return std::fabs(r) < kTrigEpsilon ? 0.0 : r; }

void sine(const int32_t* refinements) {
  double x = trig_angle(refinements, runtime::AngleUse::sine);
  set_float(stack::arguments, drop_noise(std::sin(x)));
  done();
}

void cosine(const int32_t* refinements) {
  double x = trig_angle(refinements, runtime::AngleUse::cosine);
  set_float(stack::arguments, drop_noise(std::cos(x)));
  done();
}

void tangent(const int32_t* refinements) {
  double x = trig_angle(refinements, runtime::AngleUse::tangent);
  double r = x == kPi / 2 ? HUGE_VAL : x == kPi / -2 ? -HUGE_VAL : std::tan(x);
  set_float(stack::arguments, r);
  done();
}

// The inverse functions answer in degrees unless /radians is given.
void arc_trig(const int32_t* refinements, double (*fn)(double)) {
  double r = fn(to_float_arg(stack::arguments));
  if (!present(refinements, 0)) r = r * 180.0 / kPi;
  set_float(stack::arguments, r);
  done();
}

void arcsine(const int32_t* r) { arc_trig(r, [](double x) { return std::asin(x); }); }
void arccosine(const int32_t* r) { arc_trig(r, [](double x) { return std::acos(x); }); }
void arctangent(const int32_t* r) { arc_trig(r, [](double x) { return std::atan(x); }); }

void arctangent2(const int32_t* refinements) {
  Cell* args = stack::arguments;
  double y = to_float_arg(args);
  double x = to_float_arg(args + 1);
  double r = std::atan2(y, x);
  if (!present(refinements, 0)) r *= 180.0 / kPi;
  set_float(args, r);
  done();
}

// --- logarithms and powers

void float_fn(double (*fn)(double)) {
  double x = to_float_arg(stack::arguments);
  set_float(stack::arguments, fn(x));
  done();
}

void log_2(const int32_t*) { float_fn([](double x) { return std::log(x) / 0.6931471805599453; }); }
void log_10(const int32_t*) { float_fn([](double x) { return std::log10(x); }); }
void log_e(const int32_t*) { float_fn([](double x) { return std::log(x); }); }
void exp_(const int32_t*) { float_fn([](double x) { return std::pow(2.718281828459045, x); }); }
void square_root(const int32_t*) { float_fn([](double x) { return std::sqrt(x); }); }

// --- coordinates

// A pair coordinate: an integer! as it is, a float! truncated toward zero.
// A NaN or infinity is refused; so is a finite float beyond 32 bits, which
// no pair can hold.
int32_t pair_coordinate(const Cell* c) {
  if (c->is(TypeId::integer)) return c->integer();
  if (float_::special(c->real())) fire(ErrorCode::script_invalid_arg, c);
  return integer::from_double_checked(c->real());
}

void as_pair(const int32_t*) {
  Cell* args = stack::arguments;
  int32_t x = pair_coordinate(args), y = pair_coordinate(args + 1);
  pair::make_at(args, x, y);
  done();
}

inline float single(const Cell* c) { return static_cast<float>(get_float_arg(c)); }

void as_point2d(const int32_t*) {
  Cell* args = stack::arguments;
  point2d::make_at(args, single(args), single(args + 1));
  done();
}

void as_point3d(const int32_t*) {
  Cell* args = stack::arguments;
  point3d::make_at(args, single(args), single(args + 1), single(args + 2));
  done();
}

// as-money: a currency code from system/locale/currencies/list and an
// integer or float amount.
void as_money(const int32_t*) {
  Cell* args = stack::arguments;
  const int32_t currency = money::currency_index(args);
  if (currency < 1) fire(ErrorCode::script_bad_denom, args);
  Cell m;
  if (args[1].is(TypeId::integer))
    money::from_integer(&m, args[1].integer());
  else
    money::from_float(&m, args[1].real(), money::Strict::no);
  money::set_currency(&m, static_cast<uint8_t>(currency));
  *args = m;
  done();
}

constexpr Definition kMath[] = {
    {49, "negative?", negative_q, R"spec("Returns TRUE if the number is negative"
        number [number! money! time!] return: [logic!])spec"},
    {50, "positive?", positive_q, R"spec("Returns TRUE if the number is positive"
        number [number! money! time!] return: [logic!])spec"},
    {51, "max", max_, R"spec("Returns the greater of the two values"
        value1 [scalar! series!] value2 [scalar! series!])spec"},
    {52, "min", min_, R"spec("Returns the lesser of the two values"
        value1 [scalar! series!] value2 [scalar! series!])spec"},
    {53, "shift", shift, R"spec("Perform a bit shift operation. Right shift (decreasing) by default"
        data [integer!] bits [integer!]
        /left "Shift bits to the left (increasing)"
        /logical "Use logical shift (unsigned, fill with zero)"
        return: [integer!])spec"},
    {54, "to-hex", to_hex, R"spec("Converts numeric value to a hex issue! datatype (with leading # and 0's)"
        value [integer!] /size "Specify number of hex digits in result" length [integer!]
        return: [issue!])spec"},
    {55, "sine", sine, R"spec("Returns the trigonometric sine"
        angle [float! integer!] /radians "Angle is specified in radians" return: [float!])spec"},
    {56, "cosine", cosine, R"spec("Returns the trigonometric cosine"
        angle [float! integer!] /radians "Angle is specified in radians" return: [float!])spec"},
    {57, "tangent", tangent, R"spec("Returns the trigonometric tangent"
        angle [float! integer!] /radians "Angle is specified in radians" return: [float!])spec"},
    {58, "arcsine", arcsine, R"spec("Returns the trigonometric arcsine (in degrees by default)"
        sine [float! integer!] /radians "Angle is returned in radians" return: [float!])spec"},
    {59, "arccosine", arccosine, R"spec("Returns the trigonometric arccosine (in degrees by default)"
        cosine [float! integer!] /radians "Angle is returned in radians" return: [float!])spec"},
    {60, "arctangent", arctangent, R"spec("Returns the trigonometric arctangent (in degrees by default)"
        tangent [float! integer!] /radians "Angle is returned in radians" return: [float!])spec"},
    {61, "arctangent2", arctangent2, R"spec("Returns the angle of the point y/x in the interval [-180,180] degrees by default"
        y [float! integer!] x [float! integer!] /radians "Angle is returned in radians" return: [float!])spec"},
    {62, "NaN?", nan_q, R"spec("Returns TRUE if the number is Not-a-Number"
        value [number!] return: [logic!])spec"},
    {63, "log-2", log_2, R"spec("Return the base-2 logarithm"
        value [float! integer! percent!] return: [float!])spec"},
    {64, "log-10", log_10, R"spec("Returns the base-10 logarithm"
        value [float! integer! percent!] return: [float!])spec"},
    {65, "log-e", log_e, R"spec("Returns the natural (base-E) logarithm of the given value"
        value [float! integer! percent!] return: [float!])spec"},
    {66, "exp", exp_, R"spec("Raises E (the base of natural logarithm) to the power specified"
        value [float! integer! percent!] return: [float!])spec"},
    {67, "square-root", square_root, R"spec("Returns the square root of a number"
        value [float! integer! percent!] return: [float!])spec"},
    {73, "as-pair", as_pair, R"spec("Combine X and Y values into a pair"
        x [integer! float!] y [integer! float!])spec"},
    {74, "as-point2D", as_point2d, R"spec("Combine X and Y values into a 2D point"
        x [integer! float!] y [integer! float!])spec"},
    {75, "as-point3D", as_point3d, R"spec("Combine X, Y and Z values into a 3D point"
        x [integer! float!] y [integer! float!] z [integer! float!])spec"},
    {76, "as-money", as_money, R"spec("Combine currency code and amount into a monetary value"
        currency [word!] amount [integer! float!] return: [money!])spec"},
    {97, "sign?", sign_q, R"spec("Returns sign of N as 1, 0, or -1 (to use as a multiplier)"
        number [number! money! time!] return: [integer!])spec"},
    {100, "zero?", zero_q, R"spec("Returns TRUE if the value is zero"
        value [number! money! pair! time! char! tuple! any-point!] return: [logic!])spec"},
};

}  // namespace

void max_min(bool max) {
  Cell* a = stack::arguments;
  Cell* b = a + 1;
  // A NaN number wins against any number.
  if (nan_number(a) && is_number(b->type())) return;
  if (nan_number(b) && is_number(a->type())) {
    *a = *b;
    return;
  }
  if (composite(b->type()) && (a->is(TypeId::integer) || a->is(TypeId::float_))) {
    Cell t = *a;
    *a = *b;
    *b = t;
  }
  if (max_min_composite(a, b, max)) return;
  bool less = actions::compare(a, b, CompareOp::lesser);
  if (max ? less : !less) *a = *b;
}

std::span<const Definition> math_natives() { return kMath; }

}  // namespace qel::natives
