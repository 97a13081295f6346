// Compiled function bodies and calls: a function body made of pure
// expressions, if/unless/either with pure conditions and literal branch
// blocks, `return` of a pure expression, and branches of one expression
// calling functions through global words (`(fib n - 1) + fib n - 2`),
// compiled at its first call into steps over its words' indexes and run
// at each call after comparing the cells and words it was compiled from
// (run_compiled_body). The general evaluator (evaluate.cpp) and the calls
// (calls.cpp) take over wherever a value or the code no longer fits.
#include "evaluator/interpreter_internal.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "datatypes/logic.h"
#include "runtime/signals.h"

namespace qel::interpreter {

// --- compiled function bodies ---------------------------------------------
//
// A function body made only of pure expressions, `if`, `unless` and
// `either` with a pure condition and literal branch blocks, and `return` of
// a pure expression is compiled once into the steps below, which give its
// value at each call without the block evaluation: none of it can fail or
// run other code, so only its value is seen. Each call first checks that
// the body (and each block of it that a step reads) still holds the cells
// it was compiled from, and that the words of its operators and natives
// still hold those values; each step then reads and checks its operands'
// values as pure_chain does. When anything does not fit (a value of
// another type, an overflow's float before another operator), nothing has
// been done and the block is evaluated as always. A branch that is not
// pure, taken in the body's last expression, is evaluated under the
// native's frame as eval_if does.

namespace {

struct BodyOperand {
  enum Kind : uint8_t { integer, local, global, literal, paren };
  Kind kind;
  int32_t value;  // the integer, the word's index, or the literal's or paren's index
};
struct BodyOp {
  FastOp f;
  BodyOperand right;
};
struct BodyExpr {
  BodyOperand first;
  uint8_t op_begin, op_count;
  // A function's word, an operator and an integer (n - 1, n < 2): computed
  // at once when the word's value is an integer.
  bool local_op_integer;
};
struct BodyBranch {
  enum Kind : uint8_t { value, returns, general, calls };
  Kind kind;
  int8_t expr;  // the expression (value, returns), or the call expression (calls)
};
// A call of a function through a global word; its arguments are pure
// expressions.
struct BodyCall {
  static constexpr int kMaxArgs = 4;
  int8_t word;  // the word's cell in `cells`
  int8_t argc;
  int32_t after;  // the position after the call in its block
  int8_t args[kMaxArgs];
};
// An operand of a call expression: pure, a call, or a paren holding one
// call and nothing else.
struct BodyCallOperand {
  enum Kind : uint8_t { pure, call, paren_call };
  Kind kind;
  int8_t index;  // the call
  int8_t paren;  // the paren's cell in `cells`
  BodyOperand operand;  // the pure operand
};
// A fast operator and its right operand in a call expression.
struct BodyCallStep {
  FastOp f;
  int8_t op_word;      // the operator word's cell in `cells`
  int8_t op_value;     // its value in `words`
  BodyCallOperand right;
};
// The one expression of a branch block that calls functions: its first
// operand, then the operators.
struct BodyCallExpr {
  uint8_t step_begin, step_count;
  BodyCallOperand first;
};
struct BodyStatement {
  enum Kind : uint8_t { value, branches, returns };
  Kind kind;
  uint8_t conditional;  // 1 if, 2 unless, 3 either
  int8_t expr;          // the expression, or the condition
  int8_t word;          // the conditional's word: its cell in `cells`
  int8_t native;        // and its value in `words`
  int8_t block;         // the cell of its first branch block in `cells`
  BodyBranch taken, other;  // (the branch for true, and for false in either)
};
// A block whose cells a compiled body depends on.
struct BodyBlock {
  Node node;
  int32_t head;
  int32_t count;  // its cells from the head to the tail
  int32_t first;  // where they start in `cells`
  bool branch;    // a call branch's (compared when one is taken)
};
// A global word whose value a compiled body depends on.
struct BodyWord {
  int32_t index;
  Cell value;
};
struct CompiledBody {
  static constexpr int kMaxBlocks = 8, kMaxCells = 64, kMaxWords = 8, kMaxStatements = 8,
                       kMaxExprs = 16, kMaxOps = 24, kMaxLiterals = 8, kMaxCalls = 4,
                       kMaxSteps = 8, kMaxCallExprs = 2;
  Node node = 0;
  Node ctx = 0;
  bool ok = false;
  // Counts the compilations into this slot: a call that the steps made may
  // compile it again (the same body changed, or another one).
  uint32_t generation = 0;
  int32_t word_limit = 0;  // past the highest index of `words`
  // The run_epoch at which all the blocks (the branches' too) and words
  // were last found current: while it lasts, they need no comparing.
  mutable uint64_t all_epoch = 0;
  int32_t block_count = 0, cell_count = 0, word_count = 0, statement_count = 0, expr_count = 0,
          op_count = 0, literal_count = 0, call_count = 0, step_count = 0, call_expr_count = 0;
  BodyBlock blocks[kMaxBlocks];
  BodyWord words[kMaxWords];
  BodyStatement statements[kMaxStatements];
  BodyExpr exprs[kMaxExprs];
  BodyOp ops[kMaxOps];
  Cell literals[kMaxLiterals];
  BodyCall calls[kMaxCalls];
  BodyCallStep steps[kMaxSteps];
  BodyCallExpr call_exprs[kMaxCallExprs];
  Cell cells[kMaxCells];
};

// The compiled bodies by their block's node (a node used again by another
// block finds the old cells, which its own do not match).
constexpr uint32_t kCompiledSlots = 4096;
CompiledBody* compiled_slots[kCompiledSlots];

[[gnu::always_inline]] inline bool same_cells(const Cell* a, const Cell* b, int32_t n) {
#if defined(__SSE2__)
  __m128i diff = _mm_setzero_si128();
  for (int32_t i = 0; i < n; i++) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    diff = _mm_or_si128(diff, _mm_xor_si128(x, y));
  }
  return _mm_movemask_epi8(_mm_cmpeq_epi8(diff, _mm_setzero_si128())) == 0xFFFF;
#else
  uint64_t diff = 0;
  for (int32_t i = 0; i < n; i++) {
    uint64_t x[2], y[2];
    std::memcpy(x, a + i, sizeof x);
    std::memcpy(y, b + i, sizeof y);
    diff |= (x[0] ^ y[0]) | (x[1] ^ y[1]);
  }
  return diff == 0;
#endif
}

struct BodyCompiler {
  CompiledBody& cb;
  Node ctx;
  Cell* base;

  // The block's cells from its head, kept to be compared at each call: their
  // index in cb.cells, or -1.
  int32_t add_block(const Cell& block) {
    SeriesBuffer* s = buf(block);
    const int32_t head = block.head() < 0 ? 0 : block.head();
    const int32_t count = static_cast<int32_t>((s->tail - s->offset) >> 4) - head;
    if (count <= 0 || cb.block_count >= CompiledBody::kMaxBlocks ||
        cb.cell_count + count > CompiledBody::kMaxCells ||
        ((s->flags & series_flag::library) != 0) != in_library)
      return -1;
    const int32_t first = cb.cell_count;
    cb.blocks[cb.block_count++] = {block.node(), head, count, first, false};
    std::memcpy(static_cast<void*>(cb.cells + first), s->cells() + head, sizeof(Cell) * count);
    cb.cell_count += count;
    return first;
  }
  // A global word's value, kept among the values the body depends on: its
  // index there, or -1.
  int32_t guard(const Cell* w) {
    if (w->context() != context::global) return -1;
    for (int32_t i = 0; i < cb.word_count; i++)
      if (cb.words[i].index == w->word_index()) return i;
    if (cb.word_count >= CompiledBody::kMaxWords) return -1;
    const Cell* v = global_value(w->word_index());
    if (!v) return -1;
    cb.words[cb.word_count] = {w->word_index(), *v};
    cb.word_limit = std::max(cb.word_limit, w->word_index() + 1);
    return cb.word_count++;
  }
  // An operand that is no paren: false when it is none the steps read.
  bool operand(const Cell* c, BodyOperand* out) {
    const uint64_t tb = uint64_t{1} << static_cast<uint8_t>(c->type());
    if (tb & kSelfTypes) {
      if (c->is(TypeId::unset)) return false;
      if (c->is(TypeId::integer)) {
        *out = {BodyOperand::integer, c->integer()};
        return true;
      }
      if (cb.literal_count >= CompiledBody::kMaxLiterals) return false;
      *out = {BodyOperand::literal, cb.literal_count};
      cb.literals[cb.literal_count++] = *c;
      return true;
    }
    if (!(tb & bit(TypeId::word))) return false;
    // (A function's word is read from this call's values, which the frame
    // holds from `base` on; its context may not point at them yet.)
    const int32_t i = c->word_index();
    const Cell* v;
    if (c->context() == context::global) {
      v = global_value(i);
      *out = {BodyOperand::global, i};
    } else if (c->context() == ctx && i >= 0 && base + i < stack::top) {
      v = base + i;
      *out = {BodyOperand::local, i};
    } else {
      return false;
    }
    return v && !((uint64_t{1} << static_cast<uint8_t>(v->type())) & kWordSpecial);
  }
  // A paren holding one expression without parens.
  bool paren(const Cell* c, BodyOperand* out) {
    if (add_block(*c) < 0) return false;
    SeriesBuffer* s = buf(*c);
    const int32_t head = c->head() < 0 ? 0 : c->head();
    const int32_t lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
    if (expression(s->cells(), head, lim, false) != lim) return false;
    *out = {BodyOperand::paren, cb.expr_count - 1};
    return true;
  }
  // The expression at pc (parens in it when `nest`): where it ends, or -1.
  // It is the last of cb.exprs.
  int32_t expression(const Cell* cells, int32_t pc, int32_t lim, bool nest) {
    BodyExpr e{};
    BodyOp ops[CompiledBody::kMaxOps];
    int32_t n = 0;
    if (pc >= lim) return -1;
    if (nest && cells[pc].is(TypeId::paren)) {
      if (!paren(cells + pc, &e.first)) return -1;
    } else if (!operand(cells + pc, &e.first)) {
      return -1;
    }
    pc++;
    while (pc < lim && cells[pc].is(TypeId::word)) {
      const Cell* opv = peek_value(cells + pc);
      if (!opv || !opv->is(TypeId::op)) break;
      const FastOp f = fast_op_of(opv);
      if (f == FastOp::none || pc + 1 >= lim || n >= CompiledBody::kMaxOps ||
          guard(cells + pc) < 0)
        return -1;
      BodyOp& op = ops[n++];
      op.f = f;
      const Cell* r = cells + pc + 1;
      if (nest && r->is(TypeId::paren)) {
        if (!paren(r, &op.right)) return -1;
      } else if (!operand(r, &op.right)) {
        return -1;
      }
      pc += 2;
    }
    if (cb.expr_count >= CompiledBody::kMaxExprs || cb.op_count + n > CompiledBody::kMaxOps)
      return -1;
    e.op_begin = static_cast<uint8_t>(cb.op_count);
    e.op_count = static_cast<uint8_t>(n);
    e.local_op_integer = n == 1 && e.first.kind == BodyOperand::local &&
                         ops[0].right.kind == BodyOperand::integer;
    for (int32_t i = 0; i < n; i++) cb.ops[cb.op_count++] = ops[i];
    cb.exprs[cb.expr_count++] = e;
    return pc;
  }
  bool is_return(const Cell* c) {
    if (!c->is(TypeId::word) || !return_companion) return false;
    const Cell* v = peek_value(c);
    return v && v->is(TypeId::native) && v->data3 == return_companion && guard(c) >= 0;
  }
  // A branch block: one pure expression, or `return` and one; else one
  // expression with calls (call_branch); else one left to the general
  // path, whose cells the steps do not read.
  BodyBranch branch(const Cell& block) {
    const Counts counts = save();
    const int32_t begin = cb.block_count;
    BodyBranch b{BodyBranch::general, -1};
    if (add_block(block) >= 0) {
      SeriesBuffer* s = buf(block);
      const int32_t head = block.head() < 0 ? 0 : block.head();
      const int32_t lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
      BodyBranch::Kind kind = BodyBranch::value;
      int32_t pc = head;
      if (is_return(s->cells() + head)) {
        kind = BodyBranch::returns;
        pc++;
      }
      if (expression(s->cells(), pc, lim, true) == lim)
        b = {kind, static_cast<int8_t>(cb.expr_count - 1)};
    }
    if (b.kind == BodyBranch::general) {
      restore(counts);
      if (const int32_t x = call_branch(block); x >= 0)
        b = {BodyBranch::calls, static_cast<int8_t>(x)};
      else
        restore(counts);
    }
    // (A pure branch's blocks are compared with the body's: only a call
    // branch's wait until it is taken.)
    if (b.kind == BodyBranch::calls)
      for (int32_t i = begin; i < cb.block_count; i++) cb.blocks[i].branch = true;
    return b;
  }
  struct Counts {
    int32_t blocks, cells, words, exprs, ops, literals, calls, steps, call_exprs;
  };
  Counts save() const {
    return {cb.block_count, cb.cell_count, cb.word_count,    cb.expr_count,     cb.op_count,
            cb.literal_count, cb.call_count, cb.step_count, cb.call_expr_count};
  }
  void restore(const Counts& c) {
    cb.block_count = c.blocks;
    cb.cell_count = c.cells;
    cb.word_count = c.words;
    cb.expr_count = c.exprs;
    cb.op_count = c.ops;
    cb.literal_count = c.literals;
    cb.call_count = c.calls;
    cb.step_count = c.steps;
    cb.call_expr_count = c.call_exprs;
  }
  // A call through the global word at pc of a block (its cells, its end
  // `lim`; its copy starts at `first` in cb.cells) whose function takes
  // only evaluated arguments, each a pure expression here: the position
  // after it, or -1. The call is the last of cb.calls.
  int32_t call(const Cell* cells, int32_t pc, int32_t lim, int32_t head, int32_t first) {
    const Cell* c = cells + pc;
    if (!c->is(TypeId::word) || c->context() != context::global ||
        cb.call_count >= CompiledBody::kMaxCalls)
      return -1;
    const Cell* v = peek_value(c);
    if (!v || !v->is(TypeId::function) || !plain_call(v)) return -1;
    const CacheInfo ci = plain_cache(v, function::kExtras);
    if (ci.count > BodyCall::kMaxArgs || guard(c) < 0) return -1;
    BodyCall call{};
    call.word = static_cast<int8_t>(first + pc - head);
    call.argc = static_cast<int8_t>(ci.count);
    pc++;
    for (int32_t i = 0; i < ci.count; i++) {
      pc = expression(cells, pc, lim, true);
      if (pc < 0) return -1;
      call.args[i] = static_cast<int8_t>(cb.expr_count - 1);
    }
    call.after = pc;
    cb.calls[cb.call_count++] = call;
    return pc;
  }
  // The operand at pc of a call expression's block: the position after
  // it, or -1.
  int32_t call_operand(const Cell* cells, int32_t pc, int32_t lim, int32_t head, int32_t first,
                       BodyCallOperand* out) {
    const Cell* c = cells + pc;
    *out = BodyCallOperand{};
    if (c->is(TypeId::paren)) {
      const Counts counts = save();
      if (paren(c, &out->operand)) {
        out->kind = BodyCallOperand::pure;
        return pc + 1;
      }
      restore(counts);
      const int32_t inner = add_block(*c);
      if (inner < 0) return -1;
      SeriesBuffer* s = buf(*c);
      const int32_t phead = c->head() < 0 ? 0 : c->head();
      const int32_t plim = static_cast<int32_t>((s->tail - s->offset) >> 4);
      if (call(s->cells(), phead, plim, phead, inner) != plim) return -1;
      out->kind = BodyCallOperand::paren_call;
      out->index = static_cast<int8_t>(cb.call_count - 1);
      out->paren = static_cast<int8_t>(first + pc - head);
      return pc + 1;
    }
    if (c->is(TypeId::word)) {
      const Cell* v = peek_value(c);
      if (v && v->is(TypeId::function)) {
        const int32_t e = call(cells, pc, lim, head, first);
        out->kind = BodyCallOperand::call;
        out->index = static_cast<int8_t>(cb.call_count - 1);
        return e;
      }
    }
    if (!operand(c, &out->operand)) return -1;
    out->kind = BodyCallOperand::pure;
    return pc + 1;
  }
  // A branch block holding one expression of operands (pure ones, calls,
  // parens of one call) and fast operators, with at least one call: its
  // index in cb.call_exprs, or -1.
  int32_t call_branch(const Cell& block) {
    if (cb.call_expr_count >= CompiledBody::kMaxCallExprs) return -1;
    const int32_t first = add_block(block);
    if (first < 0) return -1;
    SeriesBuffer* s = buf(block);
    const Cell* cells = s->cells();
    const int32_t head = block.head() < 0 ? 0 : block.head();
    const int32_t lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
    BodyCallExpr x{};
    x.step_begin = static_cast<uint8_t>(cb.step_count);
    const int32_t calls = cb.call_count;
    int32_t pc = call_operand(cells, head, lim, head, first, &x.first);
    while (pc >= 0 && pc < lim) {
      const Cell* c = cells + pc;
      const Cell* opv = c->is(TypeId::word) ? peek_value(c) : nullptr;
      if (!opv || !opv->is(TypeId::op) || pc + 1 >= lim || cb.step_count >= CompiledBody::kMaxSteps)
        return -1;
      BodyCallStep step{};
      step.f = fast_op_of(opv);
      const int32_t g = guard(c);
      if (step.f == FastOp::none || g < 0) return -1;
      step.op_word = static_cast<int8_t>(first + pc - head);
      step.op_value = static_cast<int8_t>(g);
      pc = call_operand(cells, pc + 1, lim, head, first, &step.right);
      cb.steps[cb.step_count++] = step;
    }
    if (pc != lim || cb.call_count == calls) return -1;
    x.step_count = static_cast<uint8_t>(cb.step_count - x.step_begin);
    cb.call_exprs[cb.call_expr_count] = x;
    return cb.call_expr_count++;
  }
  bool compile(const Cell& body) {
    const int32_t top = add_block(body);
    if (top < 0) return false;
    const int32_t head = cb.blocks[0].head, lim = head + cb.blocks[0].count;
    // (Nothing moves a buffer while the body is compiled.)
    const Cell* cells = buf(body)->cells();
    for (int32_t pc = head; pc < lim;) {
      if (cb.statement_count >= CompiledBody::kMaxStatements) return false;
      BodyStatement& st = cb.statements[cb.statement_count++];
      st = BodyStatement{};
      const Cell* c = cells + pc;
      const Cell* v = c->is(TypeId::word) ? peek_value(c) : nullptr;
      const int32_t kind = v && v->is(TypeId::native) ? conditional_kind(v) : 0;
      if (kind) {
        st.kind = BodyStatement::branches;
        st.conditional = static_cast<uint8_t>(kind);
        st.word = static_cast<int8_t>(top + pc - head);
        st.native = static_cast<int8_t>(guard(c));
        const int32_t e = expression(cells, pc + 1, lim, true);
        const int32_t after = kind == 3 ? e + 2 : e + 1;
        if (st.native < 0 || e < 0 || after > lim || !cells[e].is(TypeId::block) ||
            !cells[after - 1].is(TypeId::block))
          return false;
        st.expr = static_cast<int8_t>(cb.expr_count - 1);
        st.block = static_cast<int8_t>(top + e - head);
        st.taken = branch(cells[e]);
        st.other = kind == 3 ? branch(cells[e + 1]) : BodyBranch{BodyBranch::general, -1};
        // (A branch left to the general path ends the body's steps.)
        const auto evaluated = [](const BodyBranch& b) {
          return b.kind == BodyBranch::general || b.kind == BodyBranch::calls;
        };
        if (after < lim && (evaluated(st.taken) || (kind == 3 && evaluated(st.other))))
          return false;
        pc = after;
      } else {
        if (is_return(c)) {
          st.kind = BodyStatement::returns;
          pc++;
        }
        const int32_t e = expression(cells, pc, lim, true);
        if (e < 0) return false;
        st.expr = static_cast<int8_t>(cb.expr_count - 1);
        pc = e;
      }
    }
    return true;
  }
};

// An expression's value into `out`: false when its operands' values do not
// allow it.
bool body_expression(const CompiledBody& cb, int32_t index, Cell* base, Cell* out);

[[gnu::noinline]] bool body_paren(const CompiledBody& cb, int32_t index, Cell* base, Cell* out) {
  return body_expression(cb, index, base, out);
}

[[gnu::always_inline]] inline bool body_operand(const CompiledBody& cb, const BodyOperand& o,
                                                Cell* base, Cell* out) {
  const Cell* v;
  switch (o.kind) {
    case BodyOperand::integer:
      set_integer(out, o.value);
      return true;
    case BodyOperand::local:
      v = base + o.value;
      if (v >= stack::top) return false;
      break;
    case BodyOperand::global:
      v = global_value(o.value);
      if (!v) return false;
      break;
    case BodyOperand::literal:
      *out = cb.literals[o.value];
      return true;
    default:
      return body_paren(cb, o.value, base, out);
  }
  if ((uint64_t{1} << static_cast<uint8_t>(v->type())) & kWordSpecial) return false;
  *out = *v;
  return true;
}

[[gnu::always_inline]] inline bool body_expression(const CompiledBody& cb, int32_t index,
                                                   Cell* base, Cell* out) {
  const BodyExpr& e = cb.exprs[index];
  if (e.local_op_integer) {
    const Cell* v = base + e.first.value;
    const BodyOp& op = cb.ops[e.op_begin];
    if (v < stack::top && v->is(TypeId::integer)) [[likely]] {
      integer_op(op.f, v->integer(), op.right.value, out);
      return true;
    }
  }
  if (!body_operand(cb, e.first, base, out)) return false;
  for (const BodyOp *op = cb.ops + e.op_begin, *end = op + e.op_count; op < end; op++) {
    Cell right;
    if (!out->is(TypeId::integer) || !body_operand(cb, op->right, base, &right) ||
        !right.is(TypeId::integer))
      return false;
    integer_op(op->f, out->integer(), right.integer(), out);
  }
  return true;
}

// True when the body's blocks (`which`: those of its call branches, the
// others, or all) hold what it was compiled from (each block is held by one
// compared before it, so its node is in use).
enum class Blocks { body, branches, all };
[[gnu::always_inline]] inline bool blocks_current(const CompiledBody& cb, Blocks which) {
  for (const BodyBlock *b = cb.blocks, *end = b + cb.block_count; b < end; b++) {
    if (which != Blocks::all && b->branch != (which == Blocks::branches)) continue;
    SeriesBuffer* s = memory::series(b->node);
    if (static_cast<int32_t>((s->tail - s->offset) >> 4) - b->head != b->count ||
        !same_cells(s->cells() + b->head, cb.cells + b->first, b->count))
      return false;
  }
  return true;
}
[[gnu::always_inline]] inline bool words_current(const CompiledBody& cb) {
  // (The words are compared all at once: each is a global's value cell.)
  if (static_cast<uint32_t>(cb.word_limit) > context::global_count) return false;
  const Cell* globals = context::global_cells;
  uint64_t diff = 0;
  for (const BodyWord *w = cb.words, *end = w + cb.word_count; w < end; w++) {
    uint64_t x[2], y[2];
    std::memcpy(x, globals + w->index, sizeof x);
    std::memcpy(y, &w->value, sizeof y);
    diff |= (x[0] ^ y[0]) | (x[1] ^ y[1]);
  }
  return diff == 0;
}
// The body's blocks but those of its branches, and its words.
[[gnu::always_inline]] inline bool body_current(const CompiledBody& cb) {
  return blocks_current(cb, Blocks::body) && words_current(cb);
}

[[gnu::noinline]] CompiledBody* compile_body(const Cell& body, Node ctx, Cell* base) {
  CompiledBody*& slot = compiled_slots[body.node() & (kCompiledSlots - 1)];
  if (!slot) slot = new CompiledBody;
  CompiledBody& cb = *slot;
  cb.node = body.node();
  cb.ctx = ctx;
  cb.block_count = cb.cell_count = cb.word_count = cb.statement_count = 0;
  cb.expr_count = cb.op_count = cb.literal_count = 0;
  cb.call_count = cb.step_count = cb.call_expr_count = cb.word_limit = 0;
  cb.generation++;
  cb.all_epoch = 0;
  cb.ok = BodyCompiler{cb, ctx, base}.compile(body);
  return &cb;
}

// A branch that calls functions, taken in the body's last expression:
// evaluated under the conditional's frame as body_general_branch evaluates
// its branch, the expression by the compiled steps (call_expression).
[[gnu::noinline]] void run_call_branch(const CompiledBody& cb, const BodyStatement& st,
                                       const Cell& cond, bool truth, Cell* base);

// A branch that is not pure, taken in the body's last expression: evaluated
// as eval_if does; the value is the body's.
[[gnu::noinline]] void body_general_branch(const CompiledBody& cb, const BodyStatement& st,
                                           const Cell& cond, bool truth, Cell* base) {
  const bool either = st.conditional == 3;
  const Cell* blocks = cb.cells + st.block;
  passing::framed_branch(cb.words[st.native].value, cb.cells[st.word], cond, blocks, either,
                         blocks[either && !truth ? 1 : 0],
                         [](const Cell& code) { passing::eval(&code, Chain::yes); });
  if (!exits::pending) *base = stack::top[-1];
}

// A branch that is not pure, found by a run before the function's body was
// set up to run (its words' values in the frame): the run once it is takes
// it at once.
struct DeferredBranch {
  Node node = 0;
  const CompiledBody* cb;
  const BodyStatement* st;
  Cell cond;
  bool truth;
};
DeferredBranch deferred;

// The steps of a compiled body `cb` found current (`checked`: its call
// branches' blocks too), as run_compiled_body runs them.
[[gnu::always_inline]] inline bool run_statements(CompiledBody* cb, const Cell& body, Node ctx,
                                                  Cell* base, bool running, bool checked);

}  // namespace

bool compiled_branch_deferred() { return deferred.node != 0; }

// Runs a function's body by its compiled steps (see above) when it has
// them and they fit the values: true when the body was run, its result in
// slot 0 as the block's evaluation would leave it (a `return` as its frame
// would). False when nothing was done. The function's frame is the top one;
// `running`: the body is set up to run (run_function), else a branch that
// is not pure is left to that run.
[[gnu::noinline]] bool run_compiled_body(const Cell& body, Node ctx, Cell* base, bool running) {
  if (running && deferred.node) {
    const Node node = deferred.node;
    deferred.node = 0;
    if (node == body.node()) {
      body_general_branch(*deferred.cb, *deferred.st, deferred.cond, deferred.truth, base);
      return true;
    }
  }
  if (!pure_room() || stack::frame_top >= stack::frame_limit) [[unlikely]]
    return false;
  CompiledBody* cb = compiled_slots[body.node() & (kCompiledSlots - 1)];
  bool checked = false;
  if (!cb || cb->node != body.node()) [[unlikely]] {
    cb = compile_body(body, ctx, base);
  } else if (cb->all_epoch == run_epoch) {
    checked = true;
  } else if (cb->ok && !body_current(*cb)) [[unlikely]] {
    cb = compile_body(body, ctx, base);
  }
  if (!cb->ok || cb->ctx != ctx || ((buf(body)->flags & series_flag::library) != 0) != in_library)
    return false;
  return run_statements(cb, body, ctx, base, running, checked);
}

namespace {

[[gnu::always_inline]] inline bool run_statements(CompiledBody* cb, const Cell& body, Node ctx,
                                                  Cell* base, bool running, bool checked) {
  Cell v;
  set_unset(&v);
  for (const BodyStatement *st = cb->statements, *end = st + cb->statement_count; st < end; st++) {
    if (st->kind != BodyStatement::branches) {
      if (!body_expression(*cb, st->expr, base, &v)) return false;
      if (st->kind == BodyStatement::returns) goto returned;
      continue;
    }
    {
      Cell cond;
      if (!body_expression(*cb, st->expr, base, &cond) || cond.is(TypeId::unset)) return false;
      bool truth = !is_falsy(&cond);
      if (st->conditional == 2) truth = !truth;
      if (!truth && st->conditional != 3) {
        set_none(&v);
        continue;
      }
      const BodyBranch& b = truth ? st->taken : st->other;
      // A call branch's blocks are compared once it is taken, those of the
      // other call branches too: then everything is current, and the calls
      // of this body that run nothing else need not compare again.
      if (b.kind == BodyBranch::calls) {
        if (!checked) {
          if (!blocks_current(*cb, Blocks::branches)) [[unlikely]] {
            compile_body(body, ctx, base);
            return false;
          }
          cb->all_epoch = run_epoch;
        }
        if (running) {
          run_call_branch(*cb, *st, cond, truth, base);
          return true;
        }
        // What run_function sets up for the body's run, which a call
        // branch needs of it. (Nothing the branch runs can return to this
        // frame: each callee has its own.)
        BodyRun setup(ctx, base, stack::frame_top - 1, tracing_q);
        run_call_branch(*cb, *st, cond, truth, base);
        return true;
      }
      if (b.kind == BodyBranch::general) {
        if (!running) {
          deferred.node = body.node();
          deferred.cb = cb;
          deferred.st = st;
          deferred.cond = cond;
          deferred.truth = truth;
          return false;
        }
        body_general_branch(*cb, *st, cond, truth, base);
        return true;
      }
      if (!body_expression(*cb, b.expr, base, &v)) return false;
      if (b.kind == BodyBranch::returns) goto returned;
    }
  }
  *stack::push_slot() = v;
  *base = v;
  return true;
returned:
  unwind::thrown_value = v;
  *base = v;
  stack::top = base + 1;
  return true;
}

// --- compiled calls -------------------------------------------------------
//
// A branch that calls functions, as `(fib n - 1) + fib n - 2`, is evaluated
// by the steps BodyCompiler made of it, each doing what the general path
// does at that point of the code: the same frames, stack slots, nesting
// count and position cell, so that a callee, an error or a collection sees
// the same. The steps take the shortcuts the code they stand for allows
// (a pure argument is computed before the call's frame is pushed, which
// nothing can see); where a value or the code no longer fits them (a
// non-integer operand, an operator, word or block changed by a callee),
// the general routine for that point takes over and finishes the
// expression.

// The call `index` through the word at pc of `code` (end: the code's end
// as its evaluation read it), as call_by_word. Answers the position after
// the call.
int32_t call_step(const CompiledBody& cb, int32_t index, const Cell& code, int32_t pc, int32_t end,
                  Cell* fbase) {
  const BodyCall& c = cb.calls[index];
  const Cell held = cb.cells[c.word];
  const Cell* v = global_value(held.word_index());
  const int32_t argc = c.argc, after = c.after;
  Cell args[BodyCall::kMaxArgs];
  if (!v || tracing_q || !v->is(TypeId::function) || !plain_call(v) || !pure_room()) [[unlikely]]
    return call_by_word(v, held, code, pc + 1, end);
  const CacheInfo ci = plain_cache(v, function::kExtras);
  if (ci.count != argc) [[unlikely]]
    return call_by_word(v, held, code, pc + 1, end);
  for (int32_t i = 0; i < argc; i++)
    if (!body_expression(cb, c.args[i], fbase, args + i)) [[unlikely]]
      return call_by_word(v, held, code, pc + 1, end);
  Cell* fn_slot = stack::push(v);
  Cell* base = stack::top;
  push_frame(&held, stack::FrameKind::context);
  for (int32_t i = 1; i <= argc; i++) {
    const Descriptor d = descriptor(ci, i);
    stack::push(args + i - 1);
    typecheck(&held, fn_slot, i, d, stack::top - 1);
  }
  if (ci.locals > 0) function::init_locals(ci.locals);
  // A call of the body being run (a recursion) with nothing else run since
  // its comparisons runs its steps here, as run_compiled_body would.
  if (!trace_q && cb.all_epoch == run_epoch && pure_room() &&
      stack::frame_top < stack::frame_limit) {
    const Cell* body = function::extra(fn_slot, function::kBody);
    if (body->node() == cb.node && body->is(TypeId::block) && fn_slot->data1 == cb.ctx &&
        run_statements(const_cast<CompiledBody*>(&cb), *body, cb.ctx, base, false, true)) {
      if (!exits::pending) end_call(fn_slot, base);
      return after;
    }
  }
  run_plain_function(fn_slot, base, held);
  return after;
}

// A block or paren of compiled call steps (`code`, a copy of its cell),
// evaluated as passing::eval(code, chain), its first expression by
// `first(pc, end)`. (A block crossing into or out of library code, or a
// trace, takes the general path.)
template <typename First>
[[gnu::always_inline]] inline void eval_compiled_block(const Cell& code, Chain chain,
                                                       First&& first) {
  if (runtime::interrupt_pending) [[unlikely]] runtime::take_interrupt();
  SeriesBuffer* s = buf(code);
  const bool library = (s->flags & series_flag::library) != 0;
  if (library != in_library || tracing_q) [[unlikely]] {
    passing::eval(&code, chain);
    return;
  }
  // (What eval_pure_block leaves of a block that starts with a call.)
  s->flags |= series_flag::impure;
  const int32_t pc = code.head() < 0 ? 0 : code.head();
  const int32_t end = static_cast<int32_t>((s->tail - s->offset) >> 4);
  eval_values(code, pc, end, chain, library, first);
}

// A paren holding one call (its cell in the code, `paren`), evaluated as
// passing::eval(paren, Chain::no).
[[gnu::noinline]] void paren_call(const CompiledBody& cb, int32_t index, const Cell& paren,
                                  Cell* fbase) {
  const Cell code = paren;
  eval_compiled_block(code, Chain::no, [&](int32_t at, int32_t stop) {
    Cell* start = stack::top;
    at = call_step(cb, index, code, at, stop, fbase);
    // (Past the end read before, infix_chain reads nothing.)
    if (exits::pending || at >= stop) return at;
    return infix_chain(code, at, stop, start, buf(code));
  });
}

// An operand of a call expression at pc, pushed as eval_arg (prefix) would
// push it: the position after it, or -1 when a pure operand's value does
// not fit (nothing done).
[[gnu::always_inline]] inline int32_t call_operand(const CompiledBody& cb,
                                                   const BodyCallOperand& o, const Cell& code,
                                                   int32_t pc, int32_t end, Cell* fbase) {
  if (o.kind == BodyCallOperand::pure) {
    Cell v;
    if ((o.operand.kind == BodyOperand::paren && !pure_room()) ||
        !body_operand(cb, o.operand, fbase, &v))
      return -1;
    stack::push(&v);
    return pc + 1;
  }
  if (o.kind == BodyCallOperand::call) return call_step(cb, o.index, code, pc, end, fbase);
  paren_call(cb, o.index, cb.cells[o.paren], fbase);
  return pc + 1;
}

// The call expression `index` at pc of the branch block `code`, as
// eval_arg(code, pc, end, false, end) evaluates it.
[[gnu::always_inline]] inline int32_t call_expression(const CompiledBody& cb, int32_t index,
                                                      const Cell& code, int32_t pc, int32_t end,
                                                      Cell* fbase) {
  const uint32_t generation = cb.generation;
  const BodyCallExpr& x = cb.call_exprs[index];
  const int32_t steps = x.step_begin + x.step_count;
  Cell* start = stack::top;
  bool called = x.first.kind != BodyCallOperand::pure;
  const int32_t at = call_operand(cb, x.first, code, pc, end, fbase);
  if (at < 0) return eval_arg(code, pc, end, false, end);
  pc = at;
  if (exits::pending) return pc;
  for (int32_t k = x.step_begin; k < steps; k++) {
    // After a call, the code, the words and the compiled steps must still
    // be what they were (the callee may have changed any of them); the
    // general path goes on when they are not, as when the left operand is
    // no integer.
    if (called) {
      if (cb.generation != generation) break;
      if (cb.all_epoch != run_epoch) {
        if (!blocks_current(cb, Blocks::all) || !words_current(cb)) break;
        cb.all_epoch = run_epoch;
      }
      called = false;
    }
    if (!start->is(TypeId::integer)) break;
    const BodyCallStep& step = cb.steps[k];
    const FastOp f = step.f;
    if (step.right.kind == BodyCallOperand::pure) {
      Cell v;
      if ((step.right.operand.kind == BodyOperand::paren && !pure_room()) ||
          !body_operand(cb, step.right.operand, fbase, &v) || !v.is(TypeId::integer))
        break;
      integer_op(f, start->integer(), v.integer(), start);
      stack::top = start + 1;
      pc += 2;
      continue;
    }
    // As infix_callee and infix_paren: the operator is kept before the call.
    const Cell o = cb.words[step.op_value].value, w = cb.cells[step.op_word];
    stack::top = start + 1;
    pc = call_operand(cb, step.right, code, pc + 1, end, fbase);
    if (exits::pending) return pc;
    called = true;
    if (start->is(TypeId::integer) && start[1].is(TypeId::integer)) [[likely]] {
      integer_op(f, start->integer(), start[1].integer(), start);
      stack::top = start + 1;
    } else {
      infix_call(start, f, o, w);
      if (exits::pending) return pc;
    }
    if (k + 1 == steps) return pc;
  }
  return infix_chain(code, pc, end, start, buf(code));
}

void run_call_branch(const CompiledBody& cb, const BodyStatement& st, const Cell& cond, bool truth,
                     Cell* base) {
  const bool either = st.conditional == 3;
  const Cell* blocks = cb.cells + st.block;
  const int32_t index = (either && !truth ? st.other : st.taken).expr;
  // (The branch block holds call expression `index`; `base`: the
  // function's values.)
  passing::framed_branch(cb.words[st.native].value, cb.cells[st.word], cond, blocks, either,
                         blocks[either && !truth ? 1 : 0], [&](const Cell& code) {
                           eval_compiled_block(code, Chain::yes, [&](int32_t at, int32_t stop) {
                             return call_expression(cb, index, code, at, stop, base);
                           });
                         });
  if (!exits::pending) *base = stack::top[-1];
}

}  // namespace

}  // namespace qel::interpreter
