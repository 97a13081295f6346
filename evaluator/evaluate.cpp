// The general evaluator: blocks and parens (evaluated without a call frame,
// their nesting counted, the position cell an error takes its `near` from
// kept per level), expressions, words, set-words and set-paths, and infix
// operators, the fast ones computed in place. A call is handed to
// calls.cpp (call_by_word, eval_code), a path to path.cpp, a block's
// leading pure expressions to pure.cpp. Also the throwing forms of the
// public routines and the interpreter's start-up. The routines that every
// caller inlines (eval_arg, infix_chain, eval_values) are in
// interpreter_internal.h.
#include "evaluator/interpreter_internal.h"

#include "datatypes/block.h"
#include "datatypes/logic.h"
#include "datatypes/word.h"
#include "runtime/signals.h"
#include "values/actions.h"
#include "values/symbol.h"

namespace qel::interpreter {

Cell position{static_cast<uint32_t>(TypeId::unset), 0, 0, 0};
Cell throw_near{static_cast<uint32_t>(TypeId::unset), 0, 0, 0};

// The state interpreter_internal.h declares.
Cell anon_word_cell{};
SymbolId sym_local = 0;
uint64_t run_epoch = 1;

namespace {

Cell body_word_cell{};
Cell set_path_word_cell{};
Cell compare_callback_word{};
SymbolId sym_system = 0, sym_system_global = 0, sym_return = 0;

}  // namespace

// Library code: while the interpreter evaluates a block of the embedded
// library, tracing is off; a user's block evaluated from there (a loop body,
// a callback) gets the tracing state back that the user's code had.
bool in_library = false;

namespace {

bool user_tracing = false;

// Crossing between user and library code, restored when the block ends.
// The first entry into user code marks the call stack's user floor.
struct LibraryCrossing {
  bool saved_in_library;
  bool saved_tracing;
  stack::Frame* saved_floor;
  explicit LibraryCrossing(bool library)
      : saved_in_library(in_library), saved_tracing(tracing_q), saved_floor(stack::user_floor) {
    if (library) {
      user_tracing = tracing_q;
      tracing_q = false;
    } else {
      tracing_q = user_tracing;
      if (!stack::user_floor) stack::user_floor = stack::frame_top;
    }
    in_library = library;
  }
  ~LibraryCrossing() {
    in_library = saved_in_library;
    tracing_q = saved_tracing;
    stack::user_floor = saved_floor;
  }
};
// Blocks and parens nest without call frames: their depth is counted, so
// that code nested without end (parens built inside parens) raises
// stack-overflow instead of exhausting the machine stack.
// (Half as deep under AddressSanitizer: its frames are several times larger,
// and it cannot clean up after an error raised from more than 64 MB down
// the machine stack, which the full depth reached there.)
#if defined(__SANITIZE_ADDRESS__)
constexpr int32_t kMaxEvalDepth = 2 * static_cast<int32_t>(stack::kCallFrames);
#else
constexpr int32_t kMaxEvalDepth = 4 * static_cast<int32_t>(stack::kCallFrames);
#endif
// The position cell each evaluation found, one slot per nesting level, for
// the collector: the code a nested evaluation returns to may be a paren
// that nothing else holds any more (the code it came from dropped it).
// `eval_top` is the innermost evaluation's slot; its distance from the
// first counts the nesting depth. (Copied as two 64-bit words: the compiler
// otherwise moves the four 32-bit fields one by one.)
Cell outer_positions[kMaxEvalDepth + 1];

}  // namespace

Cell* eval_top = outer_positions;
Cell* eval_limit = outer_positions + kMaxEvalDepth;
Cell* eval_pure_limit = outer_positions + kMaxEvalDepth - 1;

namespace {

[[gnu::noinline]] void eval_library_crossing(const Cell* block, Chain chain, bool library) {
  LibraryCrossing crossing(library);
  passing::eval(block, chain);
}

inline MathOp math_op_of(FastOp f) {
  switch (f) {
    case FastOp::add:
      return MathOp::add;
    case FastOp::subtract:
      return MathOp::subtract;
    case FastOp::multiply:
      return MathOp::multiply;
    case FastOp::and_:
      return MathOp::and_;
    case FastOp::or_:
      return MathOp::or_;
    default:
      return MathOp::xor_;
  }
}
inline CompareOp compare_op_of(FastOp f) {
  static constexpr CompareOp kOps[] = {
      CompareOp::equal,   CompareOp::not_equal,       CompareOp::strict_equal,    CompareOp::lesser,
      CompareOp::greater, CompareOp::lesser_or_equal, CompareOp::greater_or_equal};
  return kOps[static_cast<uint32_t>(f) - static_cast<uint32_t>(FastOp::equal)];
}

}  // namespace

// An integer + - * whose result does not fit: the float result, as the
// actions give it.
[[gnu::noinline, gnu::cold]] void overflow_result(FastOp f, int32_t a, int32_t b, Cell* out) {
  const double x = a, y = b;
  set_float(out, f == FastOp::add ? x + y : f == FastOp::subtract ? x - y : x * y);
}

// An operator call with both operands in place (start, start + 1; the stack
// top above them): the fast forms for other operand types, else the call of
// the wrapped native or action under a frame named by the operator word.
[[gnu::noinline]] void infix_call(Cell* start, FastOp f, const Cell& opv, const Cell& opword) {
  Cell* right = start + 1;
  if (f != FastOp::none) {
    if (is_math(f)) {
      if (actions::fast_math(math_op_of(f), start, right, start)) {
        stack::top = start + 1;
        return;
      }
    } else {
      bool truth;
      if (actions::fast_compare(compare_op_of(f), start, right, &truth)) {
        set_logic(start, truth);
        stack::top = start + 1;
        return;
      }
    }
  }
  // The generic call, with both operands in place.
  run_epoch++;
  Cell fn = op::unwrap(&opv);
  TypeId wt = fn.type();
  collector::Root keep(fn);
  stack::top = start;
  stack::mark_interp_native(&opword);
  stack::top = start + 2;
  CacheInfo ci = spec_cache(keep.get());
  if (ci.count >= 2) {
    typecheck(&opword, keep.get(), 1, descriptor(ci, 1), start);
    typecheck(&opword, keep.get(), 2, descriptor(ci, 2), right);
  }
  int32_t refs[1] = {-1};
  if (wt == TypeId::native) {
    natives::entry(static_cast<int32_t>(fn.data1))(refs);
  } else {
    int32_t id = static_cast<int32_t>(fn.data1);
    actions::EntryFn e = (id >= 1 && id <= kActionCount) ? actions::entries[id - 1] : nullptr;
    if (!e) fire(ErrorCode::internal_not_done);
    e(refs);
  }
  if (exits::pending) return;
  stack::unwind();
}

// An infix operator whose wrapped function is not called in place: through
// eval_code, as an ordinary call whose first argument is the left operand.
[[gnu::noinline]] int32_t eval_infix_call(const Cell& code, int32_t pc, int32_t end, Cell* start,
                                          Cell opv, Cell opword) {
  Cell fn = op::unwrap(&opv);
  if (tracing_q) fire_event(Event::fetch, &code, pc, nullptr, &opword);
  stack::top = start + 1;
  return passing::eval_code(&fn, code, pc + 1, end, nullptr, 0, &opword, nullptr, mode::normal,
                            true);
}

// A fast operator whose left operand (at `start`) is an integer and whose
// right operand is the paren after the operator word `opword` (the op's
// value `opv`): the paren is evaluated, then the operator applied as
// eval_infix would. Answers the position after the paren.
[[gnu::noinline]] int32_t infix_paren(int32_t pc, Cell* start, FastOp f, const Cell* opv,
                                      const Cell* opword) {
  const Cell o = *opv, w = *opword, paren = opword[1];
  // A paren holding one pure expression is computed in place.
  if (!tracing_q && pure_room()) [[likely]] {
    Cell right;
    if (pure_paren(paren, &right) && right.is(TypeId::integer)) {
      integer_op(f, start->integer(), right.integer(), start);
      stack::top = start + 1;
      return pc + 2;
    }
  }
  stack::top = start + 1;
  passing::eval(&paren, Chain::no);
  if (exits::pending) return pc + 2;
  if (start[1].is(TypeId::integer)) [[likely]] {
    integer_op(f, start->integer(), start[1].integer(), start);
    stack::top = start + 1;
  } else {
    infix_call(start, f, o, w);
  }
  return pc + 2;
}

// A fast operator whose left operand (at `start`) is an integer and whose
// right operand is a call through the word after the operator word
// `opword` (`callee`, that word's function value, read since anything last
// ran): the call is made, then the operator applied as eval_infix would.
// Answers the position after the call.
[[gnu::noinline]] int32_t infix_callee(const Cell& code, int32_t pc, int32_t end, Cell* start,
                                       FastOp f, const Cell* opv, const Cell* opword,
                                       const Cell* callee) {
  const Cell o = *opv, w = *opword, word = opword[1];
  stack::top = start + 1;
  pc = call_by_word(callee, word, code, pc + 2, end);
  if (exits::pending) return pc;
  if (start->is(TypeId::integer) && start[1].is(TypeId::integer)) [[likely]] {
    integer_op(f, start->integer(), start[1].integer(), start);
    stack::top = start + 1;
  } else {
    infix_call(start, f, o, w);
  }
  return pc;
}

// A set-word at pc (`v`, a copy of it) with the stack top at `start`: the
// next expression is evaluated and assigned under a frame named by the
// set-word; the value is left at `start`. Answers the position after it.
[[gnu::noinline]] int32_t eval_set_word(const Cell& code, int32_t pc, int32_t end, Cell* start,
                                        const Cell& v) {
  // The value expression's first value, read once: a pure expression is
  // stored directly, without the frame (nothing can fail or be traced); a
  // word whose value is called is called with the value read here.
  run_epoch++;
  const Cell* callee = nullptr;
  int32_t stuck = -1;  // where the operators stopped being pure
  Cell value;
  if (!tracing_q) [[likely]] {
    const int32_t lim = limit_of(code, end);
    if (pc + 1 < lim) [[likely]] {
      const Cell* cells = buf(code)->cells();
      const Cell* c = cells + pc + 1;
      const uint64_t tb = uint64_t{1} << static_cast<uint8_t>(c->type());
      const Cell* first = nullptr;
      if (tb & kSelfTypes) {
        first = c;
      } else if (tb & bit(TypeId::word)) {
        if (const Cell* fv = peek_value(c)) {
          const uint64_t vb = uint64_t{1} << static_cast<uint8_t>(fv->type());
          if (!(vb & kWordSpecial))
            first = fv;
          else if (vb & kCallTypes)
            callee = fv;
        }
      }
      if (first && !first->is(TypeId::unset) && pure_room() &&
          stack::frame_top < stack::frame_limit) {
        if (Cell* slot = direct_slot(&v)) {
          value = *first;
          const int32_t e = pure_chain(cells, pc + 2, lim, &value, true);
          if (e >= 0) {
            *slot = value;
            *start = value;
            stack::top = start + 1;
            return e;
          }
          stuck = ~e;
        }
      }
    }
  }
  push_frame(&v, stack::FrameKind::assign);
  *stack::push_slot() = v;
  if (stuck >= 0) {
    // The general path goes on from the operator the pure one stopped at,
    // with the value before it (what it read has not changed since).
    *stack::push_slot() = value;
    pc = infix_chain(code, stuck, end, start + 1, buf(code));
  } else if (callee) {
    // (Nothing has run since the value was read.)
    const Cell word = buf(code)->cells()[pc + 1];
    pc = call_by_word(callee, word, code, pc + 2, end);
    if (exits::pending) return pc;
    pc = infix_chain(code, pc, end, start + 1, buf(code));
  } else {
    if (tracing_q) [[unlikely]]
      fire_event(Event::push, &code, pc, nullptr, &v);
    const int32_t lim = limit_of(code, end);
    if (pc + 1 >= lim) fire(ErrorCode::script_need_value, &v);
    pc = eval_arg(code, pc + 1, end, false, lim);
  }
  if (exits::pending) return pc;
  if (tracing_q) [[unlikely]]
    fire_event(Event::set, &code, pc, &v, start + 1);
  if (start[1].is(TypeId::unset)) fire(ErrorCode::script_need_value, &v);
  if (Cell* slot = direct_slot(start)) [[likely]]
    *slot = start[1];
  else
    context::set(start, start + 1);
  *start = start[1];
  pop_frame();
  return pc;
}

const Cell* body_word() { return &body_word_cell; }
const Cell* anon_word() { return &anon_word_cell; }

namespace passing {

void eval(const Cell* block, Chain chain) {
  // The block's values are evaluated one after the other at the stack top the
  // evaluation starts from; each new expression drops the previous result. No
  // call frame is needed: the block is not a call.
  if (runtime::interrupt_pending) [[unlikely]] runtime::take_interrupt();
  run_epoch++;
  Cell code = *block;
  SeriesBuffer* s = buf(code);
  const bool library = (s->flags & series_flag::library) != 0;
  if (library != in_library) [[unlikely]] {
    eval_library_crossing(block, chain, library);
    return;
  }
  int32_t pc = code.head() < 0 ? 0 : code.head();
  int32_t end = static_cast<int32_t>((s->tail - s->offset) >> 4);
  // A block that starts with set-words of pure expressions stores them in
  // place, without the nesting count, the position cell or the set-words'
  // frames (only an error or a trace would see them); the general path goes
  // on from the first expression that is not pure, and the block is marked
  // so that later evaluations go there at once.
  if (!(s->flags & series_flag::impure) && !tracing_q) {
    pc = eval_pure_block(s, pc, end, chain);
    if (pc < 0) return;
  }
  eval_values(code, pc, end, chain, library,
              [&](int32_t at, int32_t stop) { return eval_arg(code, at, stop, false, stop); });
}

int32_t eval_next(const Cell* block, int32_t pc, int32_t end, Chain chain) {
  run_epoch++;
  Cell code = *block;
  Cell* base = stack::top;
  {
    // The expression is an error's `near`, as in a block's evaluation (an
    // error inside reduce, all, any or do/next named the whole call).
    EvalDepth depth;
    PositionSave save;
    if (!(buf(code)->flags & series_flag::library)) {
      set_position(code);
      position.set_head(pc);
    }
    pc = eval_arg(code, pc, end, false);
  }
  if (exits::pending) return pc;
  if (tracing_q && chain == Chain::yes) fire_event(Event::expr, &code, pc, nullptr, base);
  stack::top = base + 1;
  if (chain == Chain::yes) *stack::arguments = *base;
  collector::safe_point();
  return pc;
}

int32_t do_next(const Cell* block) {
  Cell code = *block;
  int32_t pc = code.head() < 0 ? 0 : code.head();
  if (pc >= tail_of(code)) {
    set_unset(stack::push_slot());
    return pc;
  }
  return passing::eval_next(&code, pc, tail_of(code), Chain::no);
}

// The value kinds met less often than words, literals, set-words and parens.
[[gnu::noinline]] int32_t eval_other(const Cell& code, int32_t pc, int32_t end, bool passive,
                                     Cell* start) {
  Cell v = *at(code, pc);
  switch (v.type()) {
    case TypeId::get_word:
      stack::push(word_value(&v));
      if (tracing_q) fire_event(Event::push, &code, pc, nullptr, start);
      pc++;
      break;
    case TypeId::lit_word:
      stack::push(&v)->header = static_cast<uint32_t>(TypeId::word);
      if (tracing_q) fire_event(Event::push, &code, pc, nullptr, start);
      pc++;
      break;
    case TypeId::path:
      pc = passing::eval_path(v, code, pc, end, PathMode::eval, false, nullptr);
      if (exits::pending) return pc;
      if (tracing_q) fire_event(Event::push, &code, pc, nullptr, start);
      break;
    case TypeId::get_path:
      pc = passing::eval_path(v, code, pc, end, PathMode::get, false, nullptr);
      if (exits::pending) return pc;
      break;
    case TypeId::set_path: {
      if (tracing_q) fire_event(Event::push, &code, pc, nullptr, &v);
      if (pc + 1 >= limit_of(code, end)) fire(ErrorCode::script_need_value, &v);
      // The set-path stays on the stack under the frame: the value's
      // expression may drop it from the code.
      stack::push(&v);
      push_frame(&set_path_word_cell, stack::FrameKind::assign);
      pc = passing::eval_expression(code, pc + 1, end, false, false);
      if (exits::pending) return pc;
      if (tracing_q) fire_event(Event::set, &code, pc, &v, start + 1);
      // A set-path refuses to store unset, as a set-word does.
      if (start[1].is(TypeId::unset)) fire(ErrorCode::script_need_value, &v);
      (void)passing::eval_path(v, code, -1, 0, PathMode::set, false, nullptr);
      if (exits::pending) return pc;
      stack::top = start + 2;
      pop_frame();
      *start = start[1];
      stack::top = start + 1;
      break;
    }
    case TypeId::lit_path: {
      Cell* c = stack::push(&v);
      c->set_type(TypeId::path);
      c->data3 = 0;
      pc++;
      break;
    }
    case TypeId::op:
      fire(ErrorCode::internal_not_done);
    case TypeId::function:
    case TypeId::native:
    case TypeId::action:
    case TypeId::routine:
      if (passive) {
        stack::push(&v);
        pc++;
      } else {
        pc = passing::eval_code(&v, code, pc + 1, end, nullptr, 0, nullptr, nullptr, mode::normal,
                                false);
        if (exits::pending) return pc;
      }
      break;
    default: {  // issue!
      if (pc + 1 < limit_of(code, end) && at(code, pc + 1)->is(TypeId::block)) {
        SymbolId sym = symbol::resolve(v.symbol());
        if (sym == symbol::resolve(sym_system) || sym == symbol::resolve(sym_system_global))
          fire(ErrorCode::internal_qel_system);
      }
      stack::push(&v);
      pc++;
    }
  }
  return pc;
}

int32_t eval_expression(const Cell& code, int32_t pc, int32_t end, bool prefix, bool passive) {
  run_epoch++;
  Cell* start = stack::top;
  // The code's buffer stays where it is until something is evaluated (or a
  // trace callback runs): only then is it read again through the node.
  SeriesBuffer* s = buf(code);
  Cell v = s->cells()[pc];
  bool moved = false;
  if (tracing_q) [[unlikely]] {
    fire_event(Event::fetch, &code, pc, nullptr, &v);
    moved = true;
  }
  const uint64_t tb = uint64_t{1} << static_cast<uint8_t>(v.type());
  if (tb & bit(TypeId::word)) {
    Cell* val = word_value(&v);
    const uint64_t vb = uint64_t{1} << static_cast<uint8_t>(val->type());
    if (!(vb & kWordSpecial)) [[likely]] {
      stack::push(val);
      if (tracing_q) [[unlikely]]
        fire_event(Event::push, &code, pc, nullptr, start);
      pc++;
    } else if (vb & kCallTypes) {
      pc = call_by_word(val, v, code, pc + 1, end);
      if (exits::pending) return pc;
      moved = true;
    } else if (vb & bit(TypeId::op)) {
      fire(ErrorCode::script_no_op_arg, &v);
    } else {
      fire(ErrorCode::script_no_value, &v);
    }
  } else if (tb & kSelfTypes) {
    stack::push(&v);
    if (tracing_q) [[unlikely]]
      fire_event(Event::push, &code, pc, nullptr, start);
    pc++;
  } else if (tb & bit(TypeId::set_word)) {
    pc = eval_set_word(code, pc, end, start, v);
    if (exits::pending) return pc;
    moved = true;
  } else if (tb & bit(TypeId::paren)) {
    passing::eval(&v, Chain::no);
    if (exits::pending) return pc;
    pc++;
    moved = true;
  } else {
    pc = eval_other(code, pc, end, passive, start);
    if (exits::pending) return pc;
    moved = true;
  }
  if (prefix) return pc;
  // The infix operators that follow.
  if (moved) s = buf(code);
  return infix_chain(code, pc, end, start, s);
}

}  // namespace passing

void set_word(Cell* word, const Cell* value) {
  if (Cell* slot = direct_slot(word)) [[likely]]
    *slot = *value;
  else
    context::set(word, value);
}

// --- the throwing forms ------------------------------------------------------

void eval(const Cell* block, Chain chain) {
  passing::eval(block, chain);
  exits::check();
}
int32_t eval_next(const Cell* block, int32_t pc, int32_t end, Chain chain) {
  int32_t r = passing::eval_next(block, pc, end, chain);
  exits::check();
  return r;
}
int32_t do_next(const Cell* block) {
  int32_t r = passing::do_next(block);
  exits::check();
  return r;
}
int32_t eval_expression(const Cell& code, int32_t pc, int32_t end, bool prefix, bool passive) {
  int32_t r = passing::eval_expression(code, pc, end, prefix, passive);
  exits::check();
  return r;
}
void eval_function(Cell* fn, const Cell* call_word, CallbackKind kind) {
  passing::eval_function(fn, call_word, kind);
  exits::check();
}
int32_t eval_path(const Cell& path, const Cell& code, int32_t pc, int32_t end, PathMode mode,
                  bool case_, PathResume* resume) {
  int32_t r = passing::eval_path(path, code, pc, end, mode, case_, resume);
  exits::check();
  return r;
}
Cell* call_function(const Cell* fn, const Cell* const* args, int32_t count, const Cell* name,
                    CallbackKind kind) {
  Cell* r = passing::call_function(fn, args, count, name, kind);
  exits::check();
  return r;
}

// --- start-up ----------------------------------------------------------------

namespace {

bool marks_registered = false;
void mark_position() {
  collector::mark_cell(&position);
  collector::mark_cell(&throw_near);
  collector::mark_cells(outer_positions + 1, eval_top + 1);
}

// sort/compare: the comparator is called with the two values; the answer is
// kept in a cell of its own and the stack left as it was.
Cell* compare_with_function(Cell* fn, Cell* first, Cell* second) {
  static Cell answer;
  Cell* saved = stack::top;
  const Cell* args[2] = {first, second};
  Cell* r = call_function(fn, args, 2, &compare_callback_word, CallbackKind::sort);
  answer = *r;
  stack::top = saved;
  return &answer;
}

}  // namespace

void init() {
  set_unset(&position);
  body_word_cell = word::load("<body>");
  anon_word_cell = word::load("<anon>");
  set_path_word_cell = word::load("set-path");
  compare_callback_word = word::load("<compare-callback>");
  sym_system = symbol::make("system");
  sym_system_global = symbol::make("system-global");
  sym_local = symbol::make("local");
  sym_return = symbol::make("return");
  exits::init();
  init_trace();
  block::call_compare_function = compare_with_function;
  passing::forget_call_sites();
  if (!marks_registered) {
    collector::add_mark_callback(mark_position);
    collector::add_sweep_callback(passing::forget_call_sites);
    marks_registered = true;
  }
}

}  // namespace qel::interpreter
