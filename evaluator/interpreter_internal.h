// What the interpreter's files share: evaluate.cpp (blocks, expressions,
// words, set-words, infix operators), calls.cpp (argument fetching and the
// calls of function values), spec_cache.cpp (a function value's argument
// descriptors), conditionals.cpp (if, unless and either called by word),
// pure.cpp (pure expressions and prepared loop bodies) and compiled.cpp
// (compiled function bodies and calls). It holds the state they share, the
// small helpers the hot paths inline (a word's value cell, the frames the
// interpreter pushes, the fast operators), the routines every caller
// inlines (eval_arg, infix_chain, eval_values, the pure operands) and the
// declarations of the routines one of the files calls in another.
//
// For the files above only (evaluator/): the rest of the system calls the
// interpreter through evaluator/interpreter.h.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "core/errors.h"
#include "core/stack.h"
#include "datatypes/function.h"
#include "datatypes/native.h"
#include "evaluator/interpreter.h"
#include "memory/collector.h"
#include "values/context.h"

namespace qel::interpreter {

// --- shared state ------------------------------------------------------------

// The frame word <anon> and the symbol `local` (evaluate.cpp; set by init).
extern Cell anon_word_cell;
extern SymbolId sym_local;
// Counts the starts of general evaluation: a block (passing::eval, which a
// function's body runs through unless it is compiled), an expression
// (eval_next, eval_expression), a set-word, a native's or action's call.
// Qel code can change blocks and words only through one, so a compiled
// body's comparisons made at one count hold while it lasts. (The natives'
// and set-words' counts also cover the general routines the compiled steps
// hand an expression to.)
extern uint64_t run_epoch;

// True while the interpreter evaluates a block of the embedded library
// (evaluate.cpp, where the crossings between user and library code are).
extern bool in_library;
// The nesting count of blocks and parens (evaluate.cpp): the slot of the
// innermost evaluation among the position cells kept for the collector,
// and the last slot there is.
// (Not constants to the compiler: compared as they lie in memory.)
extern Cell* eval_top;
extern Cell* eval_limit;
// Below this slot, two more levels fit (a pure expression computed in place
// stands for evaluations that would nest that deep).
extern Cell* eval_pure_limit;
// The companion block of the boot native `return` (set by
// note_boot_natives), or 0.
extern Node return_companion;

namespace passing {

// The boot natives if, unless and either, known by their companion blocks.
extern Node conditional_companions[4];

}  // namespace passing

// --- values, words and frames -----------------------------------------------

constexpr uint64_t bit(TypeId t) { return uint64_t{1} << static_cast<uint8_t>(t); }
constexpr uint64_t kDefaultTypes = ~bit(TypeId::unset) & ~uint64_t{1};

// Bits of the value types a word's value is called for, and of those that
// raise an error when a word gives them.
constexpr uint64_t kCallTypes =
    bit(TypeId::function) | bit(TypeId::native) | bit(TypeId::action) | bit(TypeId::routine);
constexpr uint64_t kWordSpecial = kCallTypes | bit(TypeId::unset) | bit(TypeId::op);
// The value types that evaluate to themselves without anything to check.
constexpr uint64_t kSelfTypes =
    ~(bit(TypeId::word) | bit(TypeId::set_word) | bit(TypeId::get_word) | bit(TypeId::lit_word) |
      bit(TypeId::paren) | bit(TypeId::path) | bit(TypeId::set_path) | bit(TypeId::get_path) |
      bit(TypeId::lit_path) | bit(TypeId::op) | kCallTypes | bit(TypeId::issue));

inline SeriesBuffer* buf(const Cell& c) { return memory::series(c.node()); }
// Cells of the code's buffer from index 0 to its tail.
inline int32_t tail_of(const Cell& code) {
  SeriesBuffer* s = buf(code);
  return static_cast<int32_t>((s->tail - s->offset) >> 4);
}
inline const Cell* at(const Cell& code, int32_t pc) { return buf(code)->cells() + pc; }
// The end of the code: the given end, or the tail when the block shrank.
inline int32_t limit_of(const Cell& code, int32_t end) {
  int32_t t = tail_of(code);
  return end < t ? end : t;
}

// The value cell of the global word with index i (null when i is outside
// the values): one indexed read of the cells kept beside the values node.
// (That count grows with every word the context gets; a word past it would
// only take the slower general paths.)
[[gnu::always_inline]] inline Cell* global_value(int32_t i) {
  if (static_cast<uint32_t>(i) >= context::global_count) [[unlikely]]
    return nullptr;
  return context::global_cells + i;
}
// The value cell of a bound word, or null when its context keeps no values
// right now (a function that is not running), the word is unresolved, or
// its index lies outside the values (the errors are context::get's then).
// With `kDirectOnly`, also null for an object's field: the cell a set-word
// may write directly is a running function's argument or a global or
// function context's value (object fields go through context::set for
// their assigned mark and change notices).
template <bool kDirectOnly>
[[gnu::always_inline]] inline Cell* value_cell(const Cell* w) {
  Node ctx = w->context();
  int32_t i = w->word_index();
  if (ctx == context::global) [[likely]]
    return global_value(i);
  if (!ctx || i < 0) [[unlikely]]
    return nullptr;
  Cell* cc = memory::series(ctx)->cells();
  if (cc->has_flag(cell_flag::on_stack)) {
    if (!cc->data2) return nullptr;
    Cell* v = stack::bottom + (cc->data2 - 1) + i;
    return v < stack::top ? v : nullptr;
  }
  if constexpr (kDirectOnly)
    if (context::kind(cc) == context::Kind::object) return nullptr;
  SeriesBuffer* vs = memory::series(cc->data2);
  if (static_cast<uint32_t>(i) >= ((vs->tail - vs->offset) >> 4)) return nullptr;
  return vs->cells() + i;
}
[[gnu::always_inline]] inline Cell* peek_value(const Cell* w) { return value_cell<false>(w); }
inline Cell* direct_slot(const Cell* w) { return value_cell<true>(w); }
// Frames the interpreter pushes on its hot paths (as stack::mark_interp_*,
// inline).
inline void push_frame(const Cell* word, stack::FrameKind kind) {
  stack::Frame* f = stack::frame_top;
  if (f >= stack::frame_limit) [[unlikely]] {
    if (kind == stack::FrameKind::eval)
      stack::mark_eval(word);
    else
      stack::mark_interp_native(word);
    return;
  }
  f->symbol = word->symbol();
  f->kind = kind;
  f->function_body = false;
  f->interpreted = true;
  f->unused = 0;
  f->caller_base = static_cast<uint32_t>(stack::arguments - stack::bottom);
  f->word_context = word->context();
  f->function_context = 0;
  f->saved_values = 0;
  stack::frame_top = f + 1;
  stack::arguments = stack::top;
}
// stack::unwind, inline: the callee's slot 0 stays as the caller's newest value.
inline void pop_frame() {
  Cell* callee = stack::arguments;
  stack::Frame* f = --stack::frame_top;
  stack::arguments = stack::bottom + f->caller_base;
  stack::top = callee + 1;
}
// The end of a call whose value was at `fn_slot` and whose result is at
// `base`: the frame goes and the result takes the value's slot.
inline void end_call(Cell* fn_slot, const Cell* base) {
  pop_frame();
  *fn_slot = *base;
  stack::top = fn_slot + 1;
}
// The value cell of a word; the errors of context::get when it has none.
inline Cell* word_value(const Cell* w) {
  if (Cell* v = peek_value(w)) [[likely]]
    return v;
  return context::get(w);
}

inline void set_position(const Cell& code) {
  uint64_t w[2];
  std::memcpy(w, &code, sizeof w);
  std::memcpy(&position, w, sizeof w);
}

// One level of the nesting count (see kMaxEvalDepth in evaluate.cpp): the
// position cell found is kept in its slot.
struct EvalDepth {
  EvalDepth() {
    Cell* t = eval_top + 1;
    if (t > eval_limit) [[unlikely]]
      fire(ErrorCode::internal_stack_overflow);
    eval_top = t;
    uint64_t w[2];
    std::memcpy(w, &position, sizeof w);
    std::memcpy(static_cast<void*>(t), w, sizeof w);
  }
  ~EvalDepth() { eval_top--; }
};
// Restores the position cell when a block's evaluation ends (or unwinds).
struct PositionSave {
  ~PositionSave() {
    uint64_t w[2];
    std::memcpy(w, eval_top, sizeof w);
    std::memcpy(&position, w, sizeof w);
  }
};

// --- the fast operators ------------------------------------------------------

// The operators the interpreter computes in place when both operands allow
// it: the actions add ... xor~ and the comparison natives (indexes 25-31,
// equal? ... greater-or-equal?), wrapped in op! values made plain.
enum class FastOp : uint8_t {
  none,
  add,
  subtract,
  multiply,
  and_,
  or_,
  xor_,
  equal,
  not_equal,
  strict_equal,
  lesser,
  greater,
  lesser_or_equal,
  greater_or_equal
};
constexpr bool is_math(FastOp f) { return f <= FastOp::xor_; }

// The fast operator of an op! cell (FastOp::none unless it is plain and
// wraps one of the operators above).
// (Read from a table indexed by the wrapped routine's number, actions in
// the first half, natives in the second: one load instead of a switch.)
constexpr uint32_t kFastOpRoutines = 64;
static_assert(kActionCount < static_cast<int>(kFastOpRoutines));
inline constexpr auto kFastOps = [] {
  std::array<FastOp, 2 * kFastOpRoutines> t{};
  t[static_cast<uint32_t>(ActionId::add)] = FastOp::add;
  t[static_cast<uint32_t>(ActionId::subtract)] = FastOp::subtract;
  t[static_cast<uint32_t>(ActionId::multiply)] = FastOp::multiply;
  t[static_cast<uint32_t>(ActionId::and_)] = FastOp::and_;
  t[static_cast<uint32_t>(ActionId::or_)] = FastOp::or_;
  t[static_cast<uint32_t>(ActionId::xor_)] = FastOp::xor_;
  for (uint32_t i = 0; i < 7; i++)
    t[kFastOpRoutines + 25 + i] =
        static_cast<FastOp>(static_cast<uint32_t>(FastOp::equal) + i);
  return t;
}();
[[gnu::always_inline]] inline FastOp fast_op_of(const Cell* opv) {
  const uint32_t h = opv->header;
  const auto wt = static_cast<TypeId>((h >> 16) & 0xFF);
  const uint32_t k = opv->data1;
  if (!(h & op::kPlain) || k >= kFastOpRoutines) return FastOp::none;
  if (wt == TypeId::action) return kFastOps[k];
  if (wt == TypeId::native) return kFastOps[kFastOpRoutines + k];
  return FastOp::none;
}

// (evaluate.cpp)
[[gnu::noinline, gnu::cold]] void overflow_result(FastOp f, int32_t a, int32_t b, Cell* out);
// Integer operands: the result written into `out` (an overflow gives a
// float, as the actions do).
[[gnu::always_inline]] inline void integer_op(FastOp f, int32_t a, int32_t b, Cell* out) {
  // (The result is written as two 64-bit words: whole-cell temporaries
  // would each take a stack slot in the callers this is inlined into.)
  int32_t r;
  bool truth;
  switch (f) {
    case FastOp::add:
      if (__builtin_add_overflow(a, b, &r)) [[unlikely]]
        return overflow_result(f, a, b, out);
      break;
    case FastOp::subtract:
      if (__builtin_sub_overflow(a, b, &r)) [[unlikely]]
        return overflow_result(f, a, b, out);
      break;
    case FastOp::multiply:
      if (__builtin_mul_overflow(a, b, &r)) [[unlikely]]
        return overflow_result(f, a, b, out);
      break;
    case FastOp::and_:
      r = a & b;
      break;
    case FastOp::or_:
      r = a | b;
      break;
    case FastOp::xor_:
      r = a ^ b;
      break;
    case FastOp::equal:
    case FastOp::strict_equal:
      truth = a == b;
      goto logic;
    case FastOp::not_equal:
      truth = a != b;
      goto logic;
    case FastOp::lesser:
      truth = a < b;
      goto logic;
    case FastOp::greater:
      truth = a > b;
      goto logic;
    case FastOp::lesser_or_equal:
      truth = a <= b;
      goto logic;
    default:
      truth = a >= b;
      goto logic;
  }
  {
    const uint64_t w[2] = {static_cast<uint64_t>(TypeId::integer),
                           uint64_t{static_cast<uint32_t>(r)} << 32};
    std::memcpy(static_cast<void*>(out), w, sizeof w);
    return;
  }
logic:
  const uint64_t w[2] = {static_cast<uint64_t>(TypeId::logic) | (uint64_t{truth} << 32), 0};
  std::memcpy(static_cast<void*>(out), w, sizeof w);
}

// --- routines defined in one file and called in another ----------------------
//
// (Each is described where it is defined.)

// evaluate.cpp
[[gnu::noinline]] void infix_call(Cell* start, FastOp f, const Cell& opv, const Cell& opword);
[[gnu::noinline]] int32_t eval_infix_call(const Cell& code, int32_t pc, int32_t end, Cell* start,
                                          Cell opv, Cell opword);
[[gnu::noinline]] int32_t infix_paren(int32_t pc, Cell* start, FastOp f, const Cell* opv,
                                      const Cell* opword);
[[gnu::noinline]] int32_t infix_callee(const Cell& code, int32_t pc, int32_t end, Cell* start,
                                       FastOp f, const Cell* opv, const Cell* opword,
                                       const Cell* callee);
[[gnu::noinline]] int32_t eval_set_word(const Cell& code, int32_t pc, int32_t end, Cell* start,
                                        const Cell& v);

// calls.cpp
[[noreturn]] void expect_arg(const Cell* frame_word, const Cell* fn, int32_t i, const Cell* value);
[[noreturn, gnu::noinline, gnu::cold]] void no_arg(const Cell& word, const Cell* fn, int32_t i);
[[gnu::noinline]] int32_t call_by_word(const Cell* val, const Cell& word, const Cell& code,
                                       int32_t pc, int32_t end);
// (`compiled_tried`: run_compiled_body answered false for this call before
// its set-up, which a second try would answer again unless it left a branch
// for the run.)
[[gnu::noinline]] void run_body_set_up(Cell* fn_slot, Cell* base, const Cell& word,
                                       bool compiled_tried);
namespace passing {
// Forgets what the call sites resolved (at start-up and at each collection,
// after which a node may name another series).
void forget_call_sites();
int32_t call_refined(const Cell* val, const Cell& word, const Cell& path, int32_t pos,
                     const Cell& code, int32_t pc, int32_t end);
}  // namespace passing

// conditionals.cpp
namespace passing {

int32_t eval_if(const Cell& fnv, const Cell& word, const Cell& code, int32_t pc, int32_t end,
                int32_t kind);

}  // namespace passing

// pure.cpp
[[gnu::noinline]] bool pure_paren(const Cell& paren, Cell* out);
[[gnu::noinline]] int32_t eval_pure_block(SeriesBuffer* s, int32_t pc, int32_t end, Chain chain);

// compiled.cpp
[[gnu::noinline]] bool run_compiled_body(const Cell& body, Node ctx, Cell* base, bool running);
// True when a run_compiled_body before the body's set-up left a branch that
// is not pure for the run to take.
bool compiled_branch_deferred();

// --- calls -------------------------------------------------------------------

// Header flags of a cache's summary cell: every argument is a plain
// evaluated one and there are no refinements (kPlainCall); every argument
// before the first refinement is a plain evaluated one (kPlainHead: a native
// or action called by word, its refinements all off, takes the short path),
// their number kept in the header's top 16 bits (kHeadShift).
constexpr uint32_t kPlainCall = 0x100;
constexpr uint32_t kPlainHead = 0x200;
constexpr uint32_t kHeadShift = 16;

inline void typecheck(const Cell* frame_word, const Cell* fn, int32_t i, const Descriptor& d,
                      const Cell* value) {
  if (!(d.types & (uint64_t{1} << static_cast<uint8_t>(value->type())))) [[unlikely]]
    expect_arg(frame_word, fn, i, value);
}

// The boot natives if, unless and either (index 1, 2 or 3), or 0.
inline int32_t conditional_kind(const Cell* fn) {
  uint32_t i = fn->data1;
  if (i < 1 || i > 3 || !fn->is(TypeId::native)) return 0;
  if (!passing::conditional_companions[i]) return 0;
  return passing::conditional_companions[i] == fn->data3 ? static_cast<int32_t>(i) : 0;
}

// True when a function value's spec cache is built and says that every
// argument before the first refinement is an evaluated one (the summary is
// cell 1 of the companion block for every function type).
inline bool plain_call(const Cell* val) {
  const Cell* summary = memory::series(val->data3)->cells() + function::kCache;
  return (summary->header & (0xFFu | kPlainCall)) ==
         (static_cast<uint32_t>(TypeId::integer) | kPlainCall);
}
// The same for the arguments before the first refinement.
inline bool plain_head_call(const Cell* val) {
  const Cell* summary = memory::series(val->data3)->cells() + function::kCache;
  return (summary->header & (0xFFu | kPlainHead)) ==
         (static_cast<uint32_t>(TypeId::integer) | kPlainHead);
}

// The spec cache of a function value that plain_call accepted (`fixed`: the
// cell count of its companion's fixed part).
inline CacheInfo plain_cache(const Cell* fn, int32_t fixed) {
  const Node node = fn->data3;
  const Cell* summary = memory::series(node)->cells() + function::kCache;
  return {node,
          fixed - 1,
          static_cast<int32_t>(summary->data1),
          static_cast<int32_t>(summary->data2),
          static_cast<int32_t>(summary->data3),
          true,
          static_cast<int32_t>(summary->header >> kHeadShift)};
}

// --- infix operators ---------------------------------------------------------

// An infix operator at pc (`opv` its value, `opword` its word); the left
// operand is the value at `start`, `lim` the code's current end;
// `right_value`, when given, is the value of the word at pc + 1, read since
// anything last ran. A plain
// native or action operator takes its right operand in place when it is a
// literal or a word with a plain value, evaluates it otherwise (a paren
// directly), and is computed in place when it is one of the fast operators.
inline int32_t eval_infix(const Cell& code, int32_t pc, int32_t end, int32_t lim, Cell* start,
                          const Cell* opv, const Cell* opword, const Cell* right_value = nullptr) {
  const uint32_t oh = opv->header;
  const auto wt = static_cast<TypeId>((oh >> 16) & 0xFF);
  if (tracing_q || !(oh & op::kPlain) || (wt != TypeId::native && wt != TypeId::action) ||
      pc + 1 >= lim) [[unlikely]]
    return eval_infix_call(code, pc, end, start, *opv, *opword);
  const FastOp f = fast_op_of(opv);
  const Cell* rc = buf(code)->cells() + pc + 1;
  const uint64_t rb = uint64_t{1} << static_cast<uint8_t>(rc->type());
  const Cell* operand = nullptr;
  const Cell* callee = nullptr;
  if (rb & kSelfTypes) {
    operand = rc;
  } else if (rb & bit(TypeId::word)) {
    const Cell* v = right_value ? right_value : peek_value(rc);
    if (v) {
      const uint64_t vb = uint64_t{1} << static_cast<uint8_t>(v->type());
      if (!(vb & kWordSpecial))
        operand = v;
      else if (vb & kCallTypes)
        callee = v;
    }
  }
  int32_t npc = pc + 2;
  if (operand) {
    if (f != FastOp::none && start->is(TypeId::integer) && operand->is(TypeId::integer))
        [[likely]] {
      integer_op(f, start->integer(), operand->integer(), start);
      stack::top = start + 1;
      return npc;
    }
    // Both operands in place for the call (the op's cells may move once the
    // right operand is copied; keep the op's own cells first).
    Cell o = *opv, w = *opword;
    start[1] = *operand;
    stack::top = start + 2;
    infix_call(start, f, o, w);
    return npc;
  }
  Cell o = *opv, w = *opword;
  stack::top = start + 1;
  if (callee) {
    // A call by word (the value read above, before anything ran).
    const Cell word = *rc;
    npc = call_by_word(callee, word, code, pc + 2, end);
  } else if (rb & bit(TypeId::paren)) {
    Cell paren = *rc;
    passing::eval(&paren, Chain::no);
  } else {
    npc = passing::eval_expression(code, pc + 1, end, true, false);
  }
  if (exits::pending) return npc;
  if (f != FastOp::none && start->is(TypeId::integer) && start[1].is(TypeId::integer)) [[likely]] {
    integer_op(f, start->integer(), start[1].integer(), start);
    stack::top = start + 1;
    return npc;
  }
  infix_call(start, f, o, w);
  return npc;
}

// --- pure expressions ----------------------------------------------------
//
// A pure expression runs nothing and cannot fail: a literal or a word with a
// plain value, followed by fast operators on integers whose right operands
// are integer literals, words with integer values, or parens holding one
// such expression (one level). Its value is computed in place, without the
// position cell, the nesting count or a set-word's frame, which only an
// error or a trace would see. The routines below answer that they do not
// apply before they have changed anything, and the general path then
// evaluates the code as always.

// True when the stacks and the nesting count have room for what evaluating
// a block with a paren inside would take (the general path raises the
// overflow errors otherwise).
[[gnu::always_inline]] inline bool pure_room() {
  return eval_top < eval_pure_limit && stack::limit - stack::top > 4;
}

// One operand into `out`; a paren only when `nest`.
[[gnu::always_inline]] inline bool pure_operand(const Cell* c, Cell* out, bool nest) {
  const uint64_t tb = uint64_t{1} << static_cast<uint8_t>(c->type());
  if (tb & kSelfTypes) {
    *out = *c;
    return true;
  }
  if (tb & bit(TypeId::word)) {
    const Cell* v = peek_value(c);
    if (!v || ((uint64_t{1} << static_cast<uint8_t>(v->type())) & kWordSpecial)) return false;
    *out = *v;
    return true;
  }
  if (nest && (tb & bit(TypeId::paren))) return pure_paren(*c, out);
  return false;
}

// The operators that follow a first operand (its value in `out`, pc after
// it): the position where the expression ends; when an operator is met that
// is not pure, ~pc of that operator (negative), `out` holding the value of
// the expression before it.
[[gnu::always_inline]] inline int32_t pure_chain(const Cell* cells, int32_t pc, int32_t lim,
                                                 Cell* out, bool nest) {
  while (pc < lim) {
    const Cell* next = cells + pc;
    if (!next->is(TypeId::word)) return pc;
    const Cell* val = peek_value(next);
    if (!val || !val->is(TypeId::op)) return pc;
    const FastOp f = fast_op_of(val);
    if (f == FastOp::none || !out->is(TypeId::integer) || pc + 1 >= lim) return ~pc;
    Cell right;
    if (!pure_operand(next + 1, &right, nest) || !right.is(TypeId::integer)) return ~pc;
    integer_op(f, out->integer(), right.integer(), out);
    pc += 2;
  }
  return pc;
}

// --- the general evaluator's hot routines ------------------------------------

inline int32_t eval_arg(const Cell& code, int32_t pc, int32_t end, bool prefix,
                        int32_t lim = -1);

// The infix operators that follow a value pushed at `start` (pc is after
// it); `s` is the code's buffer, valid while nothing has been evaluated;
// `lim`, when not negative, the code's end as read since anything last ran
// (else it is read here).
[[gnu::always_inline]] inline int32_t infix_chain(const Cell& code, int32_t pc, int32_t end,
                                                  Cell* start, SeriesBuffer* s, int32_t lim = -1) {
  for (;;) {
    if (lim < 0) {
      lim = static_cast<int32_t>((s->tail - s->offset) >> 4);
      if (end < lim) lim = end;
    }
    if (pc >= lim) return pc;
    const Cell* next = s->cells() + pc;
    if (!next->is(TypeId::word)) return pc;
    Cell* val = peek_value(next);
    if (!val || !val->is(TypeId::op)) return pc;
    // A fast operator on integers whose right operand is an integer in the
    // code or a word's integer value: computed here (nothing is evaluated,
    // so the code's buffer stays valid).
    if (!tracing_q && start->is(TypeId::integer) && pc + 1 < lim) [[likely]] {
      const FastOp f = fast_op_of(val);
      if (f != FastOp::none) {
        const Cell* rc = next + 1;
        const Cell* rv = rc->is(TypeId::word) ? peek_value(rc) : nullptr;
        if (rv) rc = rv;
        if (rc->is(TypeId::integer)) {
          integer_op(f, start->integer(), rc->integer(), start);
          stack::top = start + 1;
          pc += 2;
          continue;
        }
        if (rc->is(TypeId::paren)) {
          pc = infix_paren(pc, start, f, val, next);
          if (exits::pending) return pc;
          s = buf(code);
          lim = -1;
          continue;
        }
        if (rv && ((uint64_t{1} << static_cast<uint8_t>(rv->type())) & kCallTypes)) {
          pc = infix_callee(code, pc, end, start, f, val, next, rv);
          if (exits::pending) return pc;
          s = buf(code);
          lim = -1;
          continue;
        }
        pc = eval_infix(code, pc, end, lim, start, val, next, rv);
        if (exits::pending) return pc;
        s = buf(code);
        lim = -1;
        continue;
      }
    }
    pc = eval_infix(code, pc, end, lim, start, val, next);
    if (exits::pending) return pc;
    s = buf(code);
    lim = -1;
  }
}

// eval_expression with its commonest case handled in place, for the hot
// callers (a block's expressions, arguments, set-word values, conditions):
// with no trace running, a literal or a word with a plain value is pushed
// and the operators that follow are evaluated here. `lim`, when not
// negative, is the code's end as read since anything last ran.
[[gnu::always_inline]] inline int32_t eval_arg(const Cell& code, int32_t pc, int32_t end,
                                               bool prefix, int32_t lim) {
  if (!tracing_q) [[likely]] {
    SeriesBuffer* s = buf(code);
    const Cell* c = s->cells() + pc;
    const uint64_t tb = uint64_t{1} << static_cast<uint8_t>(c->type());
    Cell* start = stack::top;
    // A copy of the code's cell that stays put while it is evaluated (one
    // for all the cases, to keep the callers' frames small).
    Cell held;
    if (tb & bit(TypeId::word)) {
      if (const Cell* v = peek_value(c)) [[likely]] {
        const uint64_t vb = uint64_t{1} << static_cast<uint8_t>(v->type());
        if (!(vb & kWordSpecial)) [[likely]] {
          stack::push(v);
          if (prefix) return pc + 1;
          return infix_chain(code, pc + 1, end, start, s, lim);
        }
        if (vb & kCallTypes) {
          held = *c;
          pc = call_by_word(v, held, code, pc + 1, end);
          if (exits::pending || prefix) return pc;
          return infix_chain(code, pc, end, start, buf(code));
        }
      }
    } else if (tb & kSelfTypes) {
      stack::push(c);
      if (prefix) return pc + 1;
      return infix_chain(code, pc + 1, end, start, s, lim);
    } else if (tb & bit(TypeId::paren)) {
      held = *c;
      passing::eval(&held, Chain::no);
      if (exits::pending || prefix) return pc + 1;
      return infix_chain(code, pc + 1, end, start, buf(code));
    } else if (tb & bit(TypeId::set_word)) {
      held = *c;
      pc = eval_set_word(code, pc, end, start, held);
      if (exits::pending || prefix) return pc;
      return infix_chain(code, pc, end, start, buf(code));
    }
  }
  return passing::eval_expression(code, pc, end, prefix, false);
}

// A block's values from pc (`end`: its end as read before), each
// expression's value dropped by the next, the last one's pushed (and stored
// in the frame's slot 0 with Chain::yes); `first(pc, end)` evaluates the
// first expression as eval_arg does, the others go through eval_arg.
// (`library`: the block's library mark, equal to in_library.)
template <typename First>
[[gnu::always_inline]] inline void eval_values(const Cell& code, int32_t pc, int32_t end,
                                               Chain chain, bool library, First&& first) {
  EvalDepth depth;
  Cell* base = stack::top;
  if (tracing_q) {
    fire_event(Event::enter, &code, pc, nullptr, nullptr);
    // (The callback may have changed the block.)
    end = limit_of(code, end);
  }
  if (pc >= end) {
    set_unset(stack::push_slot());
  } else {
    PositionSave save;
    if (!library) set_position(code);
    if (!library) position.set_head(pc);
    // A safe point before the first expression too: a loop whose body is
    // one expression collects like any other.
    collector::entry_safe_point();
    pc = first(pc, end);
    // `end` is the code's end as read since anything last ran, at the top
    // of each turn (a collection at the safe point moves the buffer but
    // keeps its length).
    for (;;) {
      if (exits::pending) return;
      if (tracing_q) fire_event(Event::expr, &code, pc, nullptr, base);
      // Past the end read before: past the end now too (a block only
      // ends earlier by shrinking), so the end is read again only when
      // more may follow, or for the trace's exit event.
      if (pc >= end && !tracing_q) break;
      end = limit_of(code, end);
      if (pc >= end) break;
      stack::top = base;
      collector::safe_point();
      if (!library) position.set_head(pc);
      pc = eval_arg(code, pc, end, false, end);
    }
  }
  if (tracing_q) fire_event(Event::exit, &code, end, nullptr, base);
  stack::top = base + 1;
  if (chain == Chain::yes) *stack::arguments = *base;
}

// --- the branches of if, unless and either -----------------------------------

namespace passing {

// The branch `body` of if, unless or either (the conditional `fnv` named
// by `word`) evaluated under the conditional's frame, its arguments on the
// stack as eval_conditional leaves them: the condition and the branch
// blocks at `blocks` (nothing may have run since they were read, and
// pure_room must have left room for them). The value ends at the stack top
// in the slot pushed for the conditional; on a pending exit the stacks stay
// as they are.
// (`run(code)` evaluates the block as passing::eval does, Chain::yes.)
template <typename Run>
[[gnu::always_inline]] inline void framed_branch(const Cell& fnv, const Cell& word,
                                                 const Cell& cond, const Cell* blocks,
                                                 bool either, const Cell& body, Run&& run) {
  const Cell code = body;
  Cell* fn_slot = stack::push(&fnv);
  Cell* base = stack::top;
  push_frame(&word, stack::FrameKind::native);
  Cell* args = stack::top;
  stack::top += either ? 3 : 2;
  args[0] = cond;
  args[1] = blocks[0];
  if (either) args[2] = blocks[1];
  run(code);
  if (exits::pending) return;
  end_call(fn_slot, base);
}

}  // namespace passing

// --- function bodies ---------------------------------------------------------

// A function body's run set-up, undone when the run ends or unwinds: the
// function's words read this call's values (from `base` on), its frame
// (`me`, when there is one) is the one `return` and `exit` stop at, and
// tracing_q goes back to `tracing`. (The context is found again at the
// end: a collection may have moved its buffer.)
struct BodyRun {
  Node ctx;
  uint32_t saved_values;
  stack::Frame* frame;
  bool tracing;
  BodyRun(Node context, Cell* base, stack::Frame* me, bool saved_tracing)
      : ctx(context), frame(me), tracing(saved_tracing) {
    Cell* cc = context::context_cell(ctx);
    saved_values = cc->data2;
    cc->data2 = stack::index_of(base) + 1;
    if (me) me->function_body = true;
  }
  ~BodyRun() {
    context::context_cell(ctx)->data2 = saved_values;
    if (frame) frame->function_body = false;
    tracing_q = tracing;
  }
};

// The run of a function! called by `word` whose frame is the top one, its
// value at `fn_slot` and its arguments and locals from `base` on; the
// result replaces the function value.
[[gnu::always_inline]] inline void run_plain_function(Cell* fn_slot, Cell* base,
                                                      const Cell& word) {
  // A body whose compiled steps give its value needs nothing of
  // run_function's set-up (when no trace is installed, which would trace
  // it or the call).
  if (!trace_q) {
    const Cell* body = function::extra(fn_slot, function::kBody);
    if (body->is(TypeId::block) && run_compiled_body(*body, fn_slot->data1, base, false)) {
      if (!exits::pending) end_call(fn_slot, base);
      return;
    }
  }
  // (A body that is no block is not compiled by the run either.)
  run_body_set_up(fn_slot, base, word, !trace_q);
}

}  // namespace qel::interpreter
