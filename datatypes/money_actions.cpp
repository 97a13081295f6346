// money!: the datatype's actions (make, to, random, form, mold, the path
// fields, compare, absolute, negate, the arithmetic, round, even?, odd?,
// pick), its registration and the lexer's money loader. The digit routines
// and the arithmetic they use are in money.cpp.
#include <cstring>
#include <string_view>

#include "datatypes/money.h"
#include "values/actions.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "text/random.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "values/symbol.h"

namespace qel::money {

namespace {

[[noreturn]] void bad_make_arg(const Cell* spec) {
  Cell dt;
  set_datatype(&dt, TypeId::money);
  fire(ErrorCode::script_bad_make_arg, &dt, spec);
}

[[noreturn]] void bad_to_arg(const Cell* spec) {
  Cell dt;
  set_datatype(&dt, TypeId::money);
  fire(ErrorCode::script_bad_to_arg, &dt, spec);
}

// system/options/money-digits when it is an integer!, else 2.
int32_t money_digits() {
  const Cell* n = object::system_field({"options", "money-digits"});
  return n && n->is(TypeId::integer) ? n->integer() : 2;
}

// The path fields: 1 amount, 2 code; 0 for anything else.
int32_t field_of(const Cell* element) {
  if (element->is(TypeId::integer)) {
    const int32_t i = element->integer();
    return i == 1 || i == 2 ? i : 0;
  }
  if (!is_any_word(element->type()) || element->is(TypeId::issue)) return 0;
  static SymbolId amount = 0, code = 0;
  if (amount == 0) {
    amount = symbol::resolve(symbol::make("amount"));
    code = symbol::resolve(symbol::make("code"));
  }
  const SymbolId s = symbol::resolve(element->symbol());
  return s == amount ? 1 : s == code ? 2 : 0;
}

void get_field(const Cell* m, int32_t field, Cell* out) {
  if (field == 1) {
    *out = *m;
    out->clear_flag(cell_flag::new_line);
    set_currency(out, 0);
  } else {
    currency_word(m, out);
  }
}

// [code amount], [code amount fraction], [amount], [amount fraction].
Cell* make_from_block(Cell* out, Cell* spec) {
  const int32_t n = block::rs_length_q(spec);
  if (n < 1 || n > 3) bad_make_arg(spec);
  const Cell* v = block::rs_head(spec);
  int32_t i = 0, currency = 0;
  if (is_any_word(v[0].type())) {
    currency = currency_index(&v[0]);
    if (currency < 1) bad_make_arg(&v[0]);
    if (n == 1) bad_make_arg(spec);
    i = 1;
  }
  const int32_t rest = n - i;
  if (rest > 2) bad_make_arg(spec);
  const Cell* amount = &v[i];
  if (amount->is(TypeId::integer))
    from_integer(out, amount->integer());
  else if (amount->is(TypeId::float_))
    from_float(out, amount->real(), Strict::yes);
  else
    bad_make_arg(amount);
  if (rest == 2) {
    const Cell* fraction = &v[i + 1];
    if (amount->is(TypeId::float_) || !fraction->is(TypeId::integer) || fraction->integer() < 0 ||
        fraction->integer() > 99999)
      bad_make_arg(fraction);
    // The fraction counts in units of 0.00001 and takes the amount's sign.
    Cell f;
    make_zero(&f);
    const int32_t units = fraction->integer();
    for (int32_t p = kDigits, u = units; u > 0; --p, u /= 10) set_digit(digits(&f), p, u % 10);
    set_sign(&f, sign_q(out));
    add_values(out, &f);
  }
  set_currency(out, static_cast<uint8_t>(currency));
  return out;
}



void absolute() { abs(stack::arguments); }

Cell* negate_value(Cell* value) {
  negate(value);
  return value;
}

bool load_token(const lexer::LateToken& token, bool build, Cell* out) {
  Cell made;
  if (!scan_literal(token.text, token.len, &made)) return false;
  if (build) *out = made;
  return true;
}

}  // namespace

Cell* make(Cell* proto, Cell* spec, TypeId type) {
  switch (spec->type()) {
    case TypeId::word:
    case TypeId::lit_word:
    case TypeId::get_word:
    case TypeId::set_word: {
      const int32_t currency = currency_index(spec);
      if (currency < 1) bad_make_arg(spec);
      make_zero(proto);
      set_currency(proto, static_cast<uint8_t>(currency));
      return proto;
    }
    case TypeId::block: return make_from_block(proto, spec);
    default: return to(proto, spec, type);
  }
}

Cell* to(Cell* proto, Cell* spec, TypeId) {
  switch (spec->type()) {
    case TypeId::money: return spec;
    case TypeId::integer: return from_integer(proto, spec->integer());
    case TypeId::float_: return from_float(proto, spec->real(), Strict::yes);
    case TypeId::string:
    case TypeId::file:
    case TypeId::url:
    case TypeId::tag:
    case TypeId::email:
    case TypeId::ref: {
      const int32_t n = string::rs_length_q(spec);
      const uint8_t* p = string::rs_head(spec);
      int32_t error = 0;
      Cell made;
      scan_money_text(p, n, static_cast<int>(string::buffer(spec)->unit()), &error, &made);
      if (error != 0) bad_to_arg(spec);
      *proto = made;
      return proto;
    }
    default: bad_to_arg(spec);
  }
}

Cell* random(Cell* value, bool seed, bool, bool) {
  if (seed) {
    random::seed(value->data1 ^ value->data2 ^ value->data3 ^ (value->header & kSignFlag));
    set_unset(value);
    return value;
  }
  // Digit by digit from the most significant: a digit equal to its bound is
  // kept only rarely (two further draws must agree in their last three
  // decimal digits); once one digit fell below its bound the rest are free.
  const uint8_t* bound = digits(value);
  uint8_t drawn[kDigitBytes] = {};
  bool free = false;
  for (int32_t p = kDigits - digit_count(bound) + 1; p <= kDigits; ++p) {
    const int32_t b = get_digit(bound, p);
    int32_t x;
    if (free) {
      x = random::next() % 10;
    } else {
      for (;;) {
        x = random::next() % (b + 1);
        if (x < b) {
          free = true;
          break;
        }
        const int32_t first = random::next() % 1000;
        if (first == random::next() % 1000) break;
      }
    }
    set_digit(drawn, p, x);
  }
  std::memcpy(digits(value), drawn, kDigitBytes);
  return value;
}

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  int32_t n = money_digits();
  if (n > kFractionDigits) n = kFractionDigits;
  if (n < 1) n = 0;
  return emit(value, buffer, Grouped::yes, n, limit);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
  int32_t n = money_digits();
  if (all || n > kFractionDigits) n = kFractionDigits;
  if (n < 1) n = 0;
  return emit(value, buffer, Grouped::no, n, limit);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  const int32_t field = field_of(element);
  if (field == 0) fire(ErrorCode::script_invalid_path, step.path ? step.path : element, element);
  if (value != nullptr) fire(ErrorCode::script_bad_path_set, step.path ? step.path : element, element);
  Cell* out = stack::push_slot();
  get_field(parent, field, out);
  return out;
}

Cell* pick(Cell* value, int32_t index, Cell* index_cell) {
  const int32_t field = index_cell && is_any_word(index_cell->type()) ? field_of(index_cell)
                        : index == 1 || index == 2                    ? index
                                                                      : 0;
  if (field == 0) {
    Cell i;
    if (index_cell)
      i = *index_cell;
    else
      set_integer(&i, index);
    fire(ErrorCode::script_out_of_range, &i);
  }
  Cell* out = stack::push_slot();
  get_field(value, field, out);
  return out;
}

Cell* round(Cell* value, Cell* scale, RoundFlags flags) {
  if (zero_q(value)) return value;
  Cell s;
  if (scale == nullptr) {
    from_integer(&s, 1);
  } else {
    switch (scale->type()) {
      case TypeId::money: s = *scale; break;
      case TypeId::integer: from_integer(&s, scale->integer()); break;
      case TypeId::float_: from_float(&s, scale->real(), Strict::yes); break;
      default:
        fire_not_related(nullptr, scale->type());
    }
  }
  abs(&s);
  set_currency(&s, 0);
  if (int_overflow_q(&s)) return value;
  const bool negative = negative_q(value);
  Cell v = *value;
  abs(&v);
  set_currency(&v, 0);
  Cell r = v;
  divide_values(&r, &s, Remainder::yes);  // raises zero-divide for a zero scale
  // An exact multiple stays as it is, whatever the mode.
  if (zero_q(&r)) return value;
  Cell down = v;
  subtract_values(&down, &r);
  Cell gap = s;  // s - r: the distance up to the next multiple
  subtract_values(&gap, &r);
  auto up = [&]() {
    Cell u = v;
    add_values(&u, &gap);
    return u;
  };
  const int32_t half = compare_amounts(&r, &gap);  // 0 at a tie
  Cell result;
  switch (integer::round_mode(flags)) {
    case integer::RoundMode::down: result = down; break;
    case integer::RoundMode::floor: result = negative ? up() : down; break;
    case integer::RoundMode::ceiling: result = negative ? down : up(); break;
    case integer::RoundMode::even:
      if (half == 0) {
        // Down when the multiple below is an even number of steps.
        result = quotient_even_q(&down, &s) ? down : up();
      } else {
        result = half < 0 ? down : up();
      }
      break;
    case integer::RoundMode::half_down: result = half <= 0 ? down : up(); break;
    case integer::RoundMode::half_ceiling:
      result = half < 0 ? down : half > 0 ? up() : (negative ? down : up());
      break;
    default: result = half < 0 ? down : up(); break;
  }
  const uint8_t currency = get_currency(value);
  const uint32_t keep = value->header & ~kSignFlag;
  std::memcpy(digits(value), digits(&result), kDigitBytes);
  value->header = keep;
  set_sign(value, negative && !zero_q(&result));
  set_currency(value, currency);
  return value;
}

bool even_q(Cell* value) { return get_digit(digits(value), kIntegerDigits) % 2 == 0; }
bool odd_q(Cell* value) { return !even_q(value); }

void register_() {
  // Not constexpr: compare lives in money.cpp.
  static const ActionRow row{
      .make = make,
      .random = random,
      .to = to,
      .form = form,
      .mold = mold,
      .eval_path = eval_path,
      .compare = compare,
      .absolute = absolute,
      .add = actions::math_action<do_math, MathOp::add>,
      .divide = actions::math_action<do_math, MathOp::divide>,
      .multiply = actions::math_action<do_math, MathOp::multiply>,
      .negate = negate_value,
      .remainder = actions::math_action<do_math, MathOp::remainder>,
      .round = round,
      .subtract = actions::math_action<do_math, MathOp::subtract>,
      .even_q = even_q,
      .odd_q = odd_q,
      .pick = pick,
  };
  datatype::register_type(TypeId::money, TypeId::none_id, "money!", row);
  lexer::register_loader(lexer::LateClass::money, load_token);
}

}  // namespace qel::money
