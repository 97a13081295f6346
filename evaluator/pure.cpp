// Pure expressions: a literal or a word with a plain value, followed by
// fast operators on integers whose right operands are integer literals,
// words with integer values or parens holding one such expression, run
// nothing and cannot fail, so their values are computed in place (see
// interpreter_internal.h, which holds pure_operand and pure_chain for the
// evaluator's hot paths). Here: a paren of one pure expression, the
// leading pure expressions of a block, and the loop bodies made only of
// pure expressions, prepared once per loop call into steps
// (prepare_pure_body) and run at each iteration (run_pure_body).
#include "evaluator/interpreter_internal.h"

#include "datatypes/logic.h"

namespace qel::interpreter {

// A paren whose whole content is one pure expression without parens.
[[gnu::noinline]] bool pure_paren(const Cell& paren, Cell* out) {
  SeriesBuffer* s = buf(paren);
  if (((s->flags & series_flag::library) != 0) != in_library) return false;
  const int32_t pc = paren.head() < 0 ? 0 : paren.head();
  const int32_t lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
  if (pc >= lim) return false;
  const Cell* cells = s->cells();
  if (!pure_operand(cells + pc, out, false)) return false;
  return pure_chain(cells, pc + 1, lim, out, false) == lim;
}

namespace {

// The pure expressions of a block from pc on (its cells, its end `lim`),
// each a set-word of a pure expression whose word a direct store reaches,
// or a pure expression after the first: computed and stored in place, the
// last value in `out`. Answers where the first expression that is not pure
// starts (lim when none is), everything before it done.
int32_t pure_block(const Cell* cells, int32_t pc, int32_t lim, Cell* out) {
  const int32_t first = pc;
  while (pc < lim) {
    const Cell* c = cells + pc;
    Cell v;
    if (c->is(TypeId::set_word)) {
      Cell* slot = direct_slot(c);
      if (!slot || pc + 1 >= lim || !pure_operand(c + 1, &v, true) || v.is(TypeId::unset))
        return pc;
      const int32_t e = pure_chain(cells, pc + 2, lim, &v, true);
      if (e < 0) return pc;
      *slot = v;
      pc = e;
    } else {
      if (pc == first || !pure_operand(c, &v, true)) return pc;
      const int32_t e = pure_chain(cells, pc + 1, lim, &v, true);
      if (e < 0) return pc;
      pc = e;
    }
    *out = v;
  }
  return pc;
}

}  // namespace

// The start of a block's evaluation (its buffer s, from pc to end) when it
// is not marked impure: its leading pure expressions done by pure_block.
// The result is pushed and -1 answered when they were the whole block; else
// the block is marked and the position of the rest answered.
[[gnu::noinline]] int32_t eval_pure_block(SeriesBuffer* s, int32_t pc, int32_t end, Chain chain) {
  if (pc < end && pure_room() && stack::frame_top < stack::frame_limit) {
    Cell v;
    const int32_t e = pure_block(s->cells(), pc, end, &v);
    if (e >= end) {
      *stack::push_slot() = v;
      if (chain == Chain::yes) *stack::arguments = v;
      return -1;
    }
    pc = e;
  }
  s->flags |= series_flag::impure;
  return pc;
}

namespace {

// The steps of a PureBody. An expression is worked in register 0 (a paren
// that is its first operand too), a paren that is an operator's right
// operand in register 1. An operator and its right operand are one step,
// one code per operator and register (the form's base + FastOp), so that
// each step is one jump. Each expression ends with one of the end steps,
// which makes its value.
enum PureCode : uint8_t {
  load_word,   // r0 = the integer value of `cell`
  load_word1,  // r1 = ...
  load_int,    // r0 = imm
  load_int1,   // r1 = imm
  end_int,     // the value is r0 as an integer!
  end_logic,   // ... as a logic!
  end_word,    // the value is the value cell `cell` (not an unset or callable one)
  end_lit,     // the value is the literal `cell`
  op_word = 16,        // r0 = r0 op the integer value of `cell`
  op_word1 = 32,       // r1 = r1 op ...
  op_int = 48,         // r0 = r0 op imm
  op_int1 = 64,        // r1 = r1 op imm
  op_reg = 80,         // r0 = r0 op r1
};

// Prepares a PureBody: the judgement of pure_block made once. Literals and
// words are kept as their cells' addresses (a word's value cell); the
// operators' value cells too, to make sure no set-word of the body (nor the
// loop's own word) writes one.
struct PurePrep {
  enum class Kind { fail, integer, logic, word, lit };
  PureBody* body;
  int32_t count = 0;
  const Cell* ops[PureBody::kMaxCode];
  int32_t op_count = 0;
  const Cell* copy = nullptr;  // the cell of a word or lit kind
  int32_t end = 0;             // where the last expression prepared ends

  bool emit(int32_t code, int32_t imm, const Cell* cell) {
    if (count >= PureBody::kMaxCode) return false;
    body->code[count++] = {static_cast<uint8_t>(code), imm, cell};
    return true;
  }
  // A word's value cell when it may be an operand (not unset or callable).
  static const Cell* operand_value(const Cell* c) {
    const Cell* v = peek_value(c);
    if (!v || ((uint64_t{1} << static_cast<uint8_t>(v->type())) & kWordSpecial)) return nullptr;
    return v;
  }
  static bool op_follows(const Cell* cells, int32_t pc, int32_t lim) {
    if (pc >= lim || !cells[pc].is(TypeId::word)) return false;
    const Cell* val = peek_value(cells + pc);
    return val && val->is(TypeId::op);
  }
  // A paren's content (no parens inside) into register `reg`.
  Kind paren(const Cell* c, uint8_t reg, bool number) {
    SeriesBuffer* s = buf(*c);
    if (((s->flags & series_flag::library) != 0) != in_library) return Kind::fail;
    const int32_t pc = c->head() < 0 ? 0 : c->head();
    const int32_t lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
    if (pc >= lim) return Kind::fail;
    const Kind k = expression(s->cells(), pc, lim, false, reg, number);
    return end == lim ? k : Kind::fail;
  }
  // The expression at pc into register `reg` (`nest`: parens allowed);
  // `number`: its value is an operator's operand, loaded as an integer.
  Kind expression(const Cell* cells, int32_t pc, int32_t lim, bool nest, uint8_t reg,
                  bool number) {
    const Cell* c = cells + pc;
    const bool chained = op_follows(cells, pc + 1, lim);
    const uint64_t tb = uint64_t{1} << static_cast<uint8_t>(c->type());
    Kind kind;
    if (tb & kSelfTypes) {
      if (c->is(TypeId::unset)) return Kind::fail;
      if (c->is(TypeId::integer)) {
        if (!emit(reg ? load_int1 : load_int, c->integer(), nullptr)) return Kind::fail;
        kind = Kind::integer;
      } else {
        if (number || chained) return Kind::fail;
        copy = c;
        kind = Kind::lit;
      }
    } else if (tb & bit(TypeId::word)) {
      const Cell* v = operand_value(c);
      if (!v) return Kind::fail;
      if (number || chained) {
        if (!emit(reg ? load_word1 : load_word, 0, v)) return Kind::fail;
        kind = Kind::integer;
      } else {
        copy = v;
        kind = Kind::word;
      }
    } else if (nest && (tb & bit(TypeId::paren))) {
      kind = paren(c, reg, number || chained);
      if (kind == Kind::fail) return kind;
    } else {
      return Kind::fail;
    }
    pc++;
    while (op_follows(cells, pc, lim)) {
      const Cell* opv = peek_value(cells + pc);
      const FastOp f = fast_op_of(opv);
      // (A comparison's logic! value is no operand of a fast operator.)
      if (f == FastOp::none || kind != Kind::integer || pc + 1 >= lim ||
          op_count >= PureBody::kMaxCode)
        return Kind::fail;
      ops[op_count++] = opv;
      const Cell* r = cells + pc + 1;
      const auto fo = static_cast<uint8_t>(f);
      if (r->is(TypeId::integer)) {
        if (!emit((reg ? op_int1 : op_int) + fo, r->integer(), nullptr)) return Kind::fail;
      } else if (r->is(TypeId::word)) {
        const Cell* v = operand_value(r);
        if (!v || !emit((reg ? op_word1 : op_word) + fo, 0, v)) return Kind::fail;
      } else if (nest && reg == 0 && r->is(TypeId::paren)) {
        if (paren(r, 1, true) != Kind::integer ||
            !emit(op_reg + fo, 0, nullptr))
          return Kind::fail;
      } else {
        return Kind::fail;
      }
      kind = is_math(f) ? Kind::integer : Kind::logic;
      pc += 2;
    }
    end = pc;
    return kind;
  }
  bool writes_op(const Cell* slot) const {
    for (int32_t i = 0; i < op_count; i++)
      if (ops[i] == slot) return true;
    return false;
  }
};

// Integer operator f on a and b into r: false when + - * overflow (the
// general path then gives the float).
[[gnu::always_inline]] inline bool pure_integer_op(uint32_t f, int32_t a, int32_t b, int32_t& r) {
  switch (static_cast<FastOp>(f)) {
    case FastOp::add: return !__builtin_add_overflow(a, b, &r);
    case FastOp::subtract: return !__builtin_sub_overflow(a, b, &r);
    case FastOp::multiply: return !__builtin_mul_overflow(a, b, &r);
    case FastOp::and_: r = a & b; return true;
    case FastOp::or_: r = a | b; return true;
    case FastOp::xor_: r = a ^ b; return true;
    case FastOp::equal:
    case FastOp::strict_equal: r = a == b; return true;
    case FastOp::not_equal: r = a != b; return true;
    case FastOp::lesser: r = a < b; return true;
    case FastOp::greater: r = a > b; return true;
    case FastOp::lesser_or_equal: r = a <= b; return true;
    default: r = a >= b; return true;
  }
}

}  // namespace

bool prepare_pure_body(const Cell& block, const Cell* written, PureBody* body) {
  SeriesBuffer* s = buf(block);
  if (tracing_q || ((s->flags & series_flag::library) != 0) != in_library) return false;
  int32_t pc = block.head() < 0 ? 0 : block.head();
  const int32_t lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
  if (pc >= lim) return false;
  PurePrep prep{body};
  body->expr_count = 0;
  const Cell* cells = s->cells();
  using Kind = PurePrep::Kind;
  while (pc < lim) {
    if (body->expr_count >= PureBody::kMaxExprs) return false;
    PureBody::Expr& e = body->exprs[body->expr_count++];
    e.pc = pc;
    e.target = nullptr;
    if (cells[pc].is(TypeId::set_word)) {
      e.target = direct_slot(cells + pc);
      if (!e.target || ++pc >= lim) return false;
    }
    const Kind k = prep.expression(cells, pc, lim, true, 0, false);
    const uint8_t end = k == Kind::integer ? end_int
                        : k == Kind::logic ? end_logic
                        : k == Kind::word  ? end_word
                                           : end_lit;
    if (k == Kind::fail || !prep.emit(end, 0, prep.copy)) return false;
    pc = prep.end;
  }
  // (Checked once every operator is known: one met after a set-word counts
  // too.)
  for (int32_t i = 0; i < body->expr_count; i++)
    if (body->exprs[i].target && prep.writes_op(body->exprs[i].target)) return false;
  body->written = nullptr;
  if (written) {
    body->written = direct_slot(written);
    if (!body->written || prep.writes_op(body->written)) return false;
  }
  return true;
}

#define QEL_PURE_OPS(X)                                                                  \
  X(add) X(subtract) X(multiply) X(and_) X(or_) X(xor_) X(equal) X(not_equal) X(strict_equal) \
      X(lesser) X(greater) X(lesser_or_equal) X(greater_or_equal)

int32_t run_pure_body(const PureBody& body, Cell* result) {
  const PureBody::Instr* ip = body.code;
  int32_t r0 = 0, r1 = 0;
  int32_t e = 0;
  Cell v;
  for (;; ip++) {
    switch (ip->code) {
      case load_word:
        if (!ip->cell->is(TypeId::integer)) return body.exprs[e].pc;
        r0 = ip->cell->integer();
        continue;
      case load_word1:
        if (!ip->cell->is(TypeId::integer)) return body.exprs[e].pc;
        r1 = ip->cell->integer();
        continue;
      case load_int:
        r0 = ip->imm;
        continue;
      case load_int1:
        r1 = ip->imm;
        continue;
#define QEL_PURE_CASE(name)                                                                     \
  case op_word + static_cast<uint8_t>(FastOp::name):                                            \
    if (!ip->cell->is(TypeId::integer)) return body.exprs[e].pc;                                \
    if (!pure_integer_op(static_cast<uint32_t>(FastOp::name), r0, ip->cell->integer(), r0))     \
      return body.exprs[e].pc;                                                                  \
    continue;                                                                                   \
  case op_word1 + static_cast<uint8_t>(FastOp::name):                                           \
    if (!ip->cell->is(TypeId::integer)) return body.exprs[e].pc;                                \
    if (!pure_integer_op(static_cast<uint32_t>(FastOp::name), r1, ip->cell->integer(), r1))     \
      return body.exprs[e].pc;                                                                  \
    continue;                                                                                   \
  case op_int + static_cast<uint8_t>(FastOp::name):                                             \
    if (!pure_integer_op(static_cast<uint32_t>(FastOp::name), r0, ip->imm, r0))                 \
      return body.exprs[e].pc;                                                                  \
    continue;                                                                                   \
  case op_int1 + static_cast<uint8_t>(FastOp::name):                                            \
    if (!pure_integer_op(static_cast<uint32_t>(FastOp::name), r1, ip->imm, r1))                 \
      return body.exprs[e].pc;                                                                  \
    continue;                                                                                   \
  case op_reg + static_cast<uint8_t>(FastOp::name):                                             \
    if (!pure_integer_op(static_cast<uint32_t>(FastOp::name), r0, r1, r0))                      \
      return body.exprs[e].pc;                                                                  \
    continue;
      QEL_PURE_OPS(QEL_PURE_CASE)
#undef QEL_PURE_CASE
      case end_int:
        set_integer(&v, r0);
        break;
      case end_logic:
        set_logic(&v, r0 != 0);
        break;
      case end_word:
        if ((uint64_t{1} << static_cast<uint8_t>(ip->cell->type())) & kWordSpecial)
          return body.exprs[e].pc;
        v = *ip->cell;
        break;
      default:
        v = *ip->cell;
        break;
    }
    if (Cell* t = body.exprs[e].target) *t = v;
    if (++e == body.expr_count) {
      *result = v;
      return -1;
    }
  }
}
#undef QEL_PURE_OPS

}  // namespace qel::interpreter
