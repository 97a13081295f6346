// Calls of function values: the arguments fetched from the code (calls by
// word on their short paths: plain natives and actions, and functions
// whose arguments are all evaluated ones; calls through paths whose
// refinements their call site keeps resolved (call_refined); the general
// call through eval_code, with the refinements of a path or of apply), the
// calls of natives' and actions' entries and of routines, the run of a
// function!'s body, and calls of a function value with argument values
// from C++ (call_function). The argument descriptors come from spec_cache.cpp; a
// function body with compiled steps runs them (compiled.cpp).
#include "evaluator/interpreter_internal.h"

#include <algorithm>
#include <vector>

#include "datatypes/logic.h"
#include "datatypes/word.h"
#include "values/actions.h"
#include "values/symbol.h"

namespace qel::interpreter {

namespace passing {

template <bool kRefinements>
int32_t call_plain_function(const Cell* val, const Cell& word, const Cell& code, int32_t pc,
                            int32_t end);

}  // namespace passing

namespace {

// The refinement slots a native's entry is given (refinements beyond them
// are never on).
constexpr int32_t kMaxRefinements = 64;

inline bool is_function_type(TypeId t) {
  return t == TypeId::function || t == TypeId::native || t == TypeId::action ||
         t == TypeId::routine;
}

// The word naming argument or refinement i (1-based) of a function value:
// the i-th argument or refinement of its spec, which the call's descriptors
// were read from (a spec extended through spec-of has arguments its context
// has no words for), else the context's word i.
Cell arg_word(const Cell* fn, int32_t i) {
  if (fn->data2) {
    Cell spec;
    set_series(&spec, TypeId::block, fn->data2, 0);
    const int32_t n = tail_of(spec);
    for (int32_t k = 0, seen = 0; k < n; k++) {
      Cell item = *at(spec, k);
      const TypeId t = item.type();
      if (t == TypeId::refinement && symbol::resolve(item.symbol()) == symbol::resolve(sym_local))
        break;
      if (t != TypeId::word && t != TypeId::lit_word && t != TypeId::get_word &&
          t != TypeId::refinement)
        continue;
      if (++seen < i) continue;
      item.reset_header(TypeId::word);
      return item;
    }
  }
  Node words = words_of(fn);
  if (!words) return anon_word_cell;
  SeriesBuffer* s = memory::series(words);
  if (i < 1 || static_cast<uint32_t>(i) > s->length()) return anon_word_cell;
  Cell w = s->cells()[i - 1];
  w.reset_header(TypeId::word);
  return w;
}

}  // namespace

[[noreturn]] void expect_arg(const Cell* frame_word, const Cell* fn, int32_t i, const Cell* value) {
  Cell dt;
  set_datatype(&dt, value->type());
  Cell w = arg_word(fn, i);
  Cell fw = *frame_word;
  fire(ErrorCode::script_expect_arg, &fw, &dt, &w);
}

// The no-arg error of argument or refinement i of a call named by `word`.
[[noreturn, gnu::noinline, gnu::cold]] void no_arg(const Cell& word, const Cell* fn, int32_t i) {
  Cell fw = word;
  Cell w = arg_word(fn, i);
  fire(ErrorCode::script_no_arg, &fw, &w);
}

namespace {

// One evaluated argument of a call by word: the missing-argument error at
// the end of the code, the argument's expression and its type check.
// Answers the position after it; the caller returns it at once while an
// exit is pending.
[[gnu::always_inline]] inline int32_t word_call_arg(const Cell& word, const Cell* fn, int32_t i,
                                                    const Descriptor& d, const Cell& code,
                                                    int32_t pc, int32_t end) {
  const int32_t lim = limit_of(code, end);
  if (pc >= lim) no_arg(word, fn, i);
  pc = eval_arg(code, pc, end, false, lim);
  if (!exits::pending) typecheck(&word, fn, i, d, stack::top - 1);
  return pc;
}

inline void call_entry(const Cell* fn, const int32_t* refs);

// A native or action called by its word whose arguments before the first
// refinement are all evaluated ones (its refinements all off): as eval_code
// would call it, without the general argument machinery. Answers the
// position after the arguments.
[[gnu::noinline]] int32_t call_plain_native(const Cell* val, const Cell& word, const Cell& code,
                                           int32_t pc, int32_t end) {
  run_epoch++;
  Cell* fn_slot = stack::push(val);
  Cell* base = stack::top;
  push_frame(&word, stack::FrameKind::native);
  CacheInfo ci = plain_cache(fn_slot, 2);
  const int32_t head = ci.head;
  for (int32_t i = 1; i <= head; i++) {
    Descriptor d = descriptor(ci, i);
    pc = word_call_arg(word, fn_slot, i, d, code, pc, end);
    if (exits::pending) return pc;
  }
  if (tracing_q) fire_event(Event::call, nullptr, -1, &word, fn_slot);
  int32_t refs[kMaxRefinements];
  const int32_t nrefs = ci.refinements < kMaxRefinements ? ci.refinements : kMaxRefinements;
  for (int32_t r = 0; r < nrefs; r++) refs[r] = -1;
  call_entry(fn_slot, refs);
  if (exits::pending) return pc;
  pop_frame();
  if (tracing_q) fire_event(Event::return_, nullptr, -1, &word, base);
  *fn_slot = *base;
  stack::top = fn_slot + 1;
  return pc;
}

// The general call of a function value by its word. The value is copied
// first: `val` points into the word's context, which a trace callback run
// before the value reaches the stack may move.
[[gnu::noinline]] int32_t call_by_word_general(const Cell* val, const Cell& word, const Cell& code,
                                               int32_t pc, int32_t end) {
  const Cell fn = *val;
  return passing::eval_code(&fn, code, pc, end, nullptr, 0, &word, nullptr, mode::normal, false);
}

}  // namespace

// A call through a word whose value `val` is a function value; `word` is a
// copy of the code's word cell that stays where it is for the call, pc is
// after the word. (The callees copy the value to the stack before anything
// runs.)
[[gnu::noinline]] int32_t call_by_word(const Cell* val, const Cell& word, const Cell& code,
                                       int32_t pc, int32_t end) {
  if (!tracing_q) {
    const TypeId t = val->type();
    if (t == TypeId::function) {
      if (plain_call(val)) return passing::call_plain_function<false>(val, word, code, pc, end);
      if (plain_head_call(val))
        return passing::call_plain_function<true>(val, word, code, pc, end);
    } else if (t == TypeId::native || t == TypeId::action) {
      if (int32_t kind = conditional_kind(val))
        return passing::eval_if(*val, word, code, pc, end, kind);
      if (plain_head_call(val)) return call_plain_native(val, word, code, pc, end);
    }
  }
  return call_by_word_general(val, word, code, pc, end);
}

namespace {

// --- argument fetching ---------------------------------------------------

struct CallSite {
  const Cell* fn;          // the function value (stable: on the stack or rooted)
  const Cell* frame_word;  // the word naming the call
  uint32_t mode;
  bool infix;
};

// Pushes one argument of descriptor d (argument number i) taken from the
// code at pc; answers the position after it.
int32_t fetch(const CallSite& site, const Descriptor& d, int32_t i, const Cell& code, int32_t pc,
              int32_t end) {
  if (pc >= limit_of(code, end)) {
    if (d.kind == ArgKind::literal && (d.types & bit(TypeId::unset))) {
      set_unset(stack::push_slot());
      return pc;
    }
    if (site.mode & (mode::apply | mode::apply_all)) {
      set_none(stack::push_slot());
      return pc;
    }
    Cell fw = *site.frame_word;
    Cell w = arg_word(site.fn, i);
    fire(ErrorCode::script_no_arg, &fw, &w);
  }
  switch (d.kind) {
    case ArgKind::normal:
      if (site.mode & mode::safer) return passing::eval_expression(code, pc, pc + 1, true, false);
      return eval_arg(code, pc, end, site.infix);
    case ArgKind::quoted: {
      const Cell* v = at(code, pc);
      if (tracing_q) fire_event(Event::fetch, &code, pc, nullptr, v);
      stack::push(at(code, pc));
      return pc + 1;
    }
    default: {
      Cell v = *at(code, pc);
      if (tracing_q) fire_event(Event::fetch, &code, pc, nullptr, &v);
      if (v.is(TypeId::paren)) {
        passing::eval(&v, Chain::no);
      } else if (v.is(TypeId::get_word)) {
        stack::push(word_value(&v));
      } else if (v.is(TypeId::get_path)) {
        (void)passing::eval_path(v, code, -1, 0, PathMode::get, false, nullptr);
      } else {
        stack::push(&v);
      }
      return pc + 1;
    }
  }
}

// Looks a refinement up among a function's descriptors: its index, or -1.
int32_t find_refinement(const Cell* fn, const CacheInfo& ci, const Cell* element) {
  Node words = words_of(fn);
  if (!words) return -1;
  // (A spec's words differ in more than their case, so the word spelled as
  // the element is the one: looked for first, then any spelling.)
  const SymbolId exact = element->symbol();
  SeriesBuffer* w = memory::series(words);
  const int32_t n = std::min<int32_t>(ci.count, static_cast<int32_t>(w->length()));
  for (int32_t j = 1; j <= n; j++)
    if (w->cells()[j - 1].symbol() == exact)
      return descriptor(ci, j).kind == ArgKind::refinement ? j : -1;
  SymbolId s = symbol::resolve(exact);
  for (int32_t j = 1; j <= n; j++) {
    if (symbol::resolve(w->cells()[j - 1].symbol()) != s) continue;
    return descriptor(ci, j).kind == ArgKind::refinement ? j : -1;
  }
  return -1;
}

// Fetches the arguments and refinements of a call through a path or by
// apply, then calls a native's or action's entry, or pushes a function's
// locals.
[[gnu::noinline]] int32_t eval_arguments_full(const CallSite& site, const Cell& code, int32_t pc,
                                              int32_t end, const Cell* path, int32_t path_pos) {
  const Cell* fn = site.fn;
  CacheInfo ci = spec_cache(fn);
  TypeId ft = fn->type();
  bool is_fn = ft == TypeId::function || ft == TypeId::routine;
  Cell* base = stack::arguments;
  int32_t refs[kMaxRefinements];
  int32_t nrefs = ci.refinements < kMaxRefinements ? ci.refinements : kMaxRefinements;
  for (int32_t r = 0; r < nrefs; r++) refs[r] = -1;

  int32_t i = 1;
  if (site.infix) {
    stack::top = base + 1;
    if (ci.count >= 1) typecheck(site.frame_word, fn, 1, descriptor(ci, 1), base);
    i = 2;
  }
  bool active = true;
  for (; i <= ci.count; i++) {
    Descriptor d = descriptor(ci, i);
    if (d.kind == ArgKind::refinement) {
      if (site.mode & mode::apply_all) {
        Descriptor truth{kDefaultTypes | bit(TypeId::unset), ArgKind::normal, 0};
        pc = fetch(site, truth, i, code, pc, end);
        if (exits::pending) return pc;
        Cell* v = stack::top - 1;
        if (v->is(TypeId::none)) set_logic(v, false);
        if (!v->is(TypeId::logic)) expect_arg(site.frame_word, fn, i, v);
        active = v->logic();
        if (!is_fn) {
          stack::pop(1);
          if (active && d.ordinal <= nrefs)
            refs[d.ordinal - 1] = static_cast<int32_t>(stack::top - base);
        }
      } else {
        // (A native's refinements and their arguments take no slots here:
        // those the path names are fetched below.)
        if (!is_fn) break;
        set_logic(stack::push_slot(), false);
        active = false;
      }
      continue;
    }
    if (active) {
      pc = fetch(site, d, i, code, pc, end);
      if (exits::pending) return pc;
      typecheck(site.frame_word, fn, i, d, stack::top - 1);
    } else if (site.mode & mode::apply_all) {
      pc = fetch(site, d, i, code, pc, end);
      if (exits::pending) return pc;
      if (is_fn)
        set_none(stack::top - 1);
      else
        stack::pop(1);
    } else if (is_fn) {
      set_none(stack::push_slot());
    }
  }

  // Refinements from the path, or (apply) from the code.
  uint64_t used = 0;
  auto use_refinement = [&](const Cell& element, bool on, const Cell* where) -> bool {
    int32_t j = find_refinement(fn, ci, &element);
    if (j < 0) {
      Cell fw = *site.frame_word;
      fire(ErrorCode::script_no_refine, &fw, &element);
    }
    Descriptor dr = descriptor(ci, j);
    uint64_t b = uint64_t{1} << ((dr.ordinal - 1) & 63);
    if (used & b) fire(ErrorCode::script_dup_refine, where);
    used |= b;
    if (is_fn)
      set_logic(base + (j - 1), on);
    else if (on && dr.ordinal <= nrefs)
      refs[dr.ordinal - 1] = static_cast<int32_t>(stack::top - base);
    for (int32_t a = j + 1; a <= ci.count; a++) {
      Descriptor da = descriptor(ci, a);
      if (da.kind == ArgKind::refinement) break;
      if ((site.mode & mode::safer) && !on) {
        if (pc < limit_of(code, end)) pc++;
        continue;
      }
      pc = fetch(site, da, a, code, pc, end);
      if (exits::pending) return false;
      if (on) {
        typecheck(site.frame_word, fn, a, da, stack::top - 1);
        if (is_fn) {
          base[a - 1] = stack::top[-1];
          stack::pop(1);
        }
      } else {
        stack::pop(1);
      }
    }
    return true;
  };

  if (path) {
    Cell p = *path;
    for (int32_t k = path_pos; k < tail_of(p); k++) {
      Cell e = *at(p, k);
      bool on;
      if (e.is(TypeId::word)) {
        on = true;
      } else if (e.is(TypeId::get_word)) {
        on = !is_falsy(word_value(&e));
      } else {
        fire(ErrorCode::script_bad_refine, &e);
      }
      if (!use_refinement(e, on, &p)) return pc;
    }
  } else if ((site.mode & mode::apply) && !(site.mode & mode::apply_all)) {
    while (pc < limit_of(code, end)) {
      Cell e = *at(code, pc);
      if (!e.is(TypeId::refinement)) fire(ErrorCode::script_bad_refine, &e);
      pc++;
      bool on = false;
      if (pc < limit_of(code, end)) {
        Cell* mark = stack::top;
        pc = passing::eval_expression(code, pc, end, false, false);
        if (exits::pending) return pc;
        on = !is_falsy(mark);
        stack::top = mark;
      }
      if (!use_refinement(e, on, &code)) return pc;
    }
  }

  if (tracing_q) fire_event(Event::call, nullptr, -1, site.frame_word, fn);
  if (is_fn) {
    function::init_locals(ci.locals);
    return pc;
  }
  if (ft == TypeId::native) {
    natives::entry(static_cast<int32_t>(fn->data1))(refs);
  } else {
    int32_t id = static_cast<int32_t>(fn->data1);
    actions::EntryFn e = (id >= 1 && id <= kActionCount) ? actions::entries[id - 1] : nullptr;
    if (!e) fire(ErrorCode::internal_not_done);
    e(refs);
  }
  return pc;
}

// Calls a native's or action's entry with the refinement slots.
inline void call_entry(const Cell* fn, const int32_t* refs) {
  if (fn->is(TypeId::native)) {
    natives::entry(static_cast<int32_t>(fn->data1))(refs);
    return;
  }
  int32_t id = static_cast<int32_t>(fn->data1);
  actions::EntryFn e = (id >= 1 && id <= kActionCount) ? actions::entries[id - 1] : nullptr;
  if (!e) fire(ErrorCode::internal_not_done);
  e(refs);
}

// Fetches the arguments of a call whose frame is open, then calls a native's
// or action's entry, or pushes a function's locals. The common case (no
// refinements from a path, no apply) is handled here.
int32_t eval_arguments(const CallSite& site, const Cell& code, int32_t pc, int32_t end,
                       const Cell* path, int32_t path_pos) {
  // (A path whose elements are all used up names no refinements.)
  if (path && path_pos >= tail_of(*path)) path = nullptr;
  if (path || site.mode != mode::normal) [[unlikely]]
    return eval_arguments_full(site, code, pc, end, path, path_pos);
  const Cell* fn = site.fn;
  if (site.infix) stack::top = stack::arguments + 1;
  CacheInfo ci = spec_cache(fn);
  const bool is_fn = fn->is(TypeId::function) || fn->is(TypeId::routine);
  int32_t i = 1;
  if (site.infix) {
    if (ci.count >= 1) typecheck(site.frame_word, fn, 1, descriptor(ci, 1), stack::arguments);
    i = 2;
  }
  bool active = true;
  for (; i <= ci.count; i++) {
    Descriptor d = descriptor(ci, i);
    if (d.kind == ArgKind::refinement) {
      if (!is_fn) break;
      set_logic(stack::push_slot(), false);
      active = false;
    } else if (active) {
      const int32_t lim = limit_of(code, end);
      if (d.kind == ArgKind::normal && pc < lim) [[likely]]
        pc = eval_arg(code, pc, end, site.infix, lim);
      else
        pc = fetch(site, d, i, code, pc, end);
      if (exits::pending) return pc;
      typecheck(site.frame_word, fn, i, d, stack::top - 1);
    } else {
      set_none(stack::push_slot());
    }
  }
  if (tracing_q) fire_event(Event::call, nullptr, -1, site.frame_word, fn);
  if (is_fn) {
    function::init_locals(ci.locals);
    return pc;
  }
  int32_t refs[kMaxRefinements];
  int32_t nrefs = ci.refinements < kMaxRefinements ? ci.refinements : kMaxRefinements;
  for (int32_t r = 0; r < nrefs; r++) refs[r] = -1;
  call_entry(fn, refs);
  return pc;
}

// Runs a routine!'s C++ routine on the arguments of the current frame.
void call_native_code(Cell* fn) {
  int32_t index = function::extra(fn, function::kEntry)->integer();
  routine::Entry e = routine::entry(index);
  if (!e) fire(ErrorCode::internal_not_done);
  e();
}

// The word that names the call of a native, action or global routine
// reached otherwise than through a word holding it (a path into a block or
// map, apply, do of the value, a C++ callback): the built-in's own word, so
// that its errors name it and its arguments; else `word` itself.
[[gnu::noinline]] Cell builtin_frame_word(const Cell& word, const Cell* fn) {
  const TypeId t = fn->type();
  if (t != TypeId::native && t != TypeId::action && t != TypeId::routine) return word;
  if (const Cell* v = peek_value(&word))
    if (v->header == fn->header && v->data1 == fn->data1 && v->data3 == fn->data3) return word;
  if (t == TypeId::routine) {
    const Cell* index = function::extra(fn, function::kEntry);
    const char* text = index->is(TypeId::integer) ? routine::entry_name(index->integer()) : nullptr;
    if (!text) return word;
    static std::vector<Cell> routine_words;
    const auto i = static_cast<size_t>(index->integer());
    if (routine_words.size() <= i) routine_words.resize(i + 1, Cell{});
    if (!routine_words[i].header) routine_words[i] = word::load(text);
    // (Only a name the user can see: the global word holding the routine;
    // a codec's routine keeps the name of the field it was called through.)
    const Cell* v = peek_value(&routine_words[i]);
    if (v && v->header == fn->header && v->data1 == fn->data1 && v->data3 == fn->data3)
      return routine_words[i];
    return word;
  }
  static Cell names[2][natives::kTableSize + kActionCount + 1];
  const uint32_t i = fn->data1;
  if (i > static_cast<uint32_t>(natives::kTableSize + kActionCount)) return word;
  Cell& name = names[t == TypeId::action][i];
  if (!name.header) {
    const char* text = natives::builtin_name(t, static_cast<int32_t>(i));
    name = text ? word::load(text) : word;
    if (!text) return word;
  }
  return name;
}

// Runs a function!'s body whose arguments and locals are in the current
// frame (the top frame, pushed by the caller); the result goes to slot 0.
// `return` and `exit` aimed at this frame end it here, as a signal or as
// an exception.
// (`me`: that frame, or null when there is none.)
[[gnu::always_inline]] inline void run_function(Cell* fn, const Cell* call_word,
                                                CallbackKind kind, stack::Frame* me,
                                                bool compiled_tried = false) {
  Node ctx = fn->data1;
  Cell* base = stack::arguments;
  bool callback = kind != CallbackKind::none && trace_q;
  bool saved_tracing = tracing_q;
  if (callback) {
    if (tracing_q) fire_call(call_word, fn);
    if (!(callback_bits & static_cast<uint32_t>(kind))) tracing_q = false;
  }
  uint32_t flags = fn->header;
  // (A library function's body is untraced through its blocks' library mark,
  // so that user blocks it evaluates stay traced.)
  if (flags & function_flag::no_trace)
    tracing_q = false;
  else if (flags & function_flag::trace)
    tracing_q = trace_q;

  BodyRun running(ctx, base, me, saved_tracing);

  Cell body = *function::extra(fn, function::kBody);
  if (tracing_q) fire_event(Event::prolog, &body, body.head(), call_word, fn);
  // (The stacks as they stand here are restored when a return or exit
  // ends the body: the frames above `me` go, the result is slot 0.)
  stack::Frame* const frames_above = stack::frame_top;
  bool returned = false;
  try {
    if (body.is(TypeId::block)) {
      if (tracing_q || !me || me != stack::frame_top - 1 ||
          (compiled_tried && !compiled_branch_deferred()) ||
          !run_compiled_body(body, ctx, base, true))
        passing::eval(&body, Chain::yes);
    } else {
      set_unset(base);
    }
  } catch (const NonLocalExit& e) {
    if ((e.level != level::return_ && e.level != level::exit_) || exits::target != me) throw;
    returned = true;
  }
  if (exits::pending) {
    if ((exits::pending != level::return_ && exits::pending != level::exit_) || exits::target != me)
      return;
    exits::pending = 0;
    returned = true;
  }
  if (returned) {
    exits::Mark(frames_above, base, base + 1).restore();
    *base = unwind::thrown_value;
    stack::top = base + 1;
  }
  if (tracing_q) fire_event(Event::epilog, &body, -1, call_word, fn);
  if (callback && saved_tracing) {
    tracing_q = saved_tracing;
    fire_return(call_word);
  }
}

}  // namespace

// The run with run_function's set-up, out of line: the callers keep their
// short frames for the compiled bodies.
[[gnu::noinline]] void run_body_set_up(Cell* fn_slot, Cell* base, const Cell& word,
                                       bool compiled_tried) {
  // (push_frame pushed the top frame or raised the overflow error.)
  run_function(fn_slot, &word, CallbackKind::none, stack::frame_top - 1, compiled_tried);
  if (exits::pending) return;
  end_call(fn_slot, base);
}

namespace passing {

// (kRefinements: the function has refinements, all off in a call by word:
// false for each, none for their arguments. A template, so that the
// commoner function without them keeps its short code.)
template <bool kRefinements>
int32_t call_plain_function(const Cell* val, const Cell& word, const Cell& code, int32_t pc,
                            int32_t end) {
  Cell* fn_slot = stack::push(val);
  Cell* base = stack::top;
  push_frame(&word, stack::FrameKind::context);
  CacheInfo ci = plain_cache(fn_slot, function::kExtras);
  const int32_t head = kRefinements ? ci.head : ci.count;
  for (int32_t i = 1; i <= head; i++) {
    Descriptor d = descriptor(ci, i);
    pc = word_call_arg(word, fn_slot, i, d, code, pc, end);
    if (exits::pending) return pc;
  }
  if constexpr (kRefinements) {
    for (int32_t i = head + 1; i <= ci.count; i++) {
      if (descriptor(ci, i).kind == ArgKind::refinement)
        set_logic(stack::push_slot(), false);
      else
        set_none(stack::push_slot());
    }
  }
  if (ci.locals > 0) function::init_locals(ci.locals);
  run_plain_function(fn_slot, base, word);
  return pc;
}

namespace {

// --- calls through a path with refinements ----------------------------------
//
// A call site `f/ref1/ref2 ...` keeps the refinements its path's words
// resolved to for the function it called (by the path's node and first
// refinement element). A call through the same path of the same function
// value (its companion and context) with the same words in the path finds
// them there instead of looking each up among the function's words. The
// sites are forgotten at start-up and at each collection, after which a
// node may name another series.

struct RefinedSite {
  static constexpr int kMax = 6;
  Node path = 0;
  int32_t pos = 0;
  uint32_t generation = 0;
  Node companion = 0;
  uint32_t data1 = 0;
  uint32_t header = 0;
  int32_t count = 0;
  SymbolId symbols[kMax];
  int8_t refinements[kMax];  // each element's descriptor index
};
constexpr uint32_t kRefinedSites = 512;
RefinedSite refined_sites[kRefinedSites];
// Starts at 1: a site never filled has generation 0.
uint32_t refined_generation = 1;

// The descriptor indexes of the refinements the path's words from `pos`
// name, kept in `site` (answers their count), for a call of `fn` whose
// every argument is an evaluated one; -1 when any element is not a word,
// names no refinement or one named before, or an argument taken is not an
// evaluated one (the general call then raises the error or fetches it).
[[gnu::noinline]] int32_t resolve_refinements(const Cell* fn, const CacheInfo& ci,
                                              const Cell& path, int32_t pos, int32_t tail,
                                              RefinedSite& site) {
  const int32_t n = tail - pos;
  if (n > RefinedSite::kMax) return -1;
  uint64_t used = 0;
  site.path = 0;
  for (int32_t k = 0; k < n; k++) {
    const Cell e = *at(path, pos + k);
    if (!e.is(TypeId::word)) return -1;
    const int32_t j = find_refinement(fn, ci, &e);
    if (j < 0) return -1;
    const Descriptor dr = descriptor(ci, j);
    const uint64_t b = uint64_t{1} << ((dr.ordinal - 1) & 63);
    if ((used & b) || dr.ordinal > kMaxRefinements) return -1;
    used |= b;
    for (int32_t a = j + 1; a <= ci.count; a++) {
      const Descriptor da = descriptor(ci, a);
      if (da.kind == ArgKind::refinement) break;
      if (da.kind != ArgKind::normal) return -1;
    }
    site.symbols[k] = e.symbol();
    site.refinements[k] = static_cast<int8_t>(j);
  }
  site.path = path.node();
  site.pos = pos;
  site.generation = refined_generation;
  site.companion = fn->data3;
  site.data1 = fn->data1;
  site.header = fn->header;
  site.count = n;
  return n;
}

}  // namespace

void forget_call_sites() { refined_generation++; }

// A call of the function!, native! or action! `val` reached through the
// head word `word` of `path`, its refinements the path's words from `pos`
// on: as eval_code calls it when every argument the call takes is an
// evaluated one and the words name refinements of it, once each. Answers
// the position after the arguments, the result in a slot pushed at the
// stack top; -1 when the call does not fit (nothing done).
int32_t call_refined(const Cell* val, const Cell& word, const Cell& path, int32_t pos,
                     const Cell& code, int32_t pc, int32_t end) {
  const TypeId t = val->type();
  if (tracing_q || (t != TypeId::function && t != TypeId::native && t != TypeId::action) ||
      !plain_head_call(val) || conditional_kind(val))
    return -1;
  const bool is_fn = t == TypeId::function;
  const CacheInfo ci = plain_cache(val, is_fn ? function::kExtras : 2);
  const int32_t tail = tail_of(path);
  if (ci.refinements > kMaxRefinements) return -1;
  RefinedSite& site =
      refined_sites[(path.node() * 2654435761u + static_cast<uint32_t>(pos)) & (kRefinedSites - 1)];
  int32_t n = tail - pos;
  bool hit = site.path == path.node() && site.pos == pos && site.generation == refined_generation &&
             site.companion == val->data3 && site.data1 == val->data1 &&
             site.header == val->header && site.count == n;
  for (int32_t k = 0; hit && k < n; k++) {
    const Cell* e = at(path, pos + k);
    hit = e->is(TypeId::word) && e->symbol() == site.symbols[k];
  }
  if (!hit && resolve_refinements(val, ci, path, pos, tail, site) < 0) return -1;
  int8_t js[RefinedSite::kMax];
  std::memcpy(js, site.refinements, sizeof js);

  run_epoch++;
  Cell* fn_slot = stack::push(val);
  Cell* base = stack::top;
  push_frame(&word, is_fn ? stack::FrameKind::context : stack::FrameKind::native);
  const int32_t head = ci.head;
  for (int32_t i = 1; i <= head; i++) {
    const Descriptor d = descriptor(ci, i);
    pc = word_call_arg(word, fn_slot, i, d, code, pc, end);
    if (exits::pending) return pc;
  }
  int32_t refs[kMaxRefinements];
  if (is_fn) {
    for (int32_t i = head + 1; i <= ci.count; i++) {
      if (descriptor(ci, i).kind == ArgKind::refinement)
        set_logic(stack::push_slot(), false);
      else
        set_none(stack::push_slot());
    }
  } else {
    for (int32_t r = 0; r < ci.refinements; r++) refs[r] = -1;
  }
  for (int32_t k = 0; k < n; k++) {
    const int32_t j = js[k];
    if (is_fn)
      set_logic(base + (j - 1), true);
    else
      refs[descriptor(ci, j).ordinal - 1] = static_cast<int32_t>(stack::top - base);
    for (int32_t a = j + 1; a <= ci.count; a++) {
      const Descriptor da = descriptor(ci, a);
      if (da.kind == ArgKind::refinement) break;
      pc = word_call_arg(word, fn_slot, a, da, code, pc, end);
      if (exits::pending) return pc;
      if (is_fn) {
        base[a - 1] = stack::top[-1];
        stack::top--;
      }
    }
  }
  if (is_fn) {
    if (ci.locals > 0) function::init_locals(ci.locals);
    run_plain_function(fn_slot, base, word);
    return pc;
  }
  call_entry(fn_slot, refs);
  if (exits::pending) return pc;
  pop_frame();
  *fn_slot = *base;
  stack::top = fn_slot + 1;
  return pc;
}

namespace {

// Calls the function value at `fn` (kept where the collector sees it) with
// its frame starting at `base`; the result ends at `base`.
int32_t invoke(Cell* fn, Cell* base, const Cell& frame_word, const Cell& code, int32_t pc,
               int32_t end, const Cell* path, int32_t path_pos, uint32_t mode, bool infix) {
  CallSite site{fn, &frame_word, mode, infix};
  run_epoch++;
  stack::top = base;
  if (fn->is(TypeId::function)) {
    push_frame(&frame_word, stack::FrameKind::context);
    pc = eval_arguments(site, code, pc, end, path, path_pos);
    if (exits::pending) return pc;
    passing::eval_function(fn, &frame_word, CallbackKind::none);
  } else {
    push_frame(&frame_word, stack::FrameKind::native);
    pc = eval_arguments(site, code, pc, end, path, path_pos);
    if (exits::pending) return pc;
    if (fn->is(TypeId::routine)) call_native_code(fn);
  }
  if (exits::pending) return pc;
  pop_frame();
  if (tracing_q) fire_event(Event::return_, nullptr, -1, &frame_word, base);
  return pc;
}

// An infix call: the left operand is the newest value; the function value
// is kept in a collector root for the call.
[[gnu::noinline]] int32_t invoke_infix(const Cell* fn_in, const Cell& frame_word, const Cell& code,
                                       int32_t pc, int32_t end) {
  collector::Root root(*fn_in);
  return invoke(root.get(), stack::top - 1, frame_word, code, pc, end, nullptr, 0, mode::normal,
                true);
}

}  // namespace

int32_t eval_code(const Cell* fn_in, const Cell& code, int32_t pc, int32_t end, const Cell* path,
                  int32_t path_pos, const Cell* call_word, const Cell* owner, uint32_t mode,
                  bool infix) {
  (void)owner;
  Cell frame_word = (call_word && call_word->is(TypeId::word)) ? *call_word : anon_word_cell;
  // (A call through a word holding the value, alone or first in a path, is
  // named by that word.)
  const bool by_word = call_word && mode == interpreter::mode::normal &&
                       (!path || path_pos == std::max(path->head(), 0) + 1);
  if (!infix && !by_word) frame_word = builtin_frame_word(frame_word, fn_in);
  if (tracing_q) {
    if (infix) stack::top++;
    fire_event(Event::open, &code, pc, nullptr, call_word ? call_word : fn_in);
    if (infix) stack::top--;
  }
  if (infix) return invoke_infix(fn_in, frame_word, code, pc, end);
  Cell* fn_slot = stack::push(fn_in);
  pc = invoke(fn_slot, fn_slot + 1, frame_word, code, pc, end, path, path_pos, mode, false);
  if (exits::pending) return pc;
  *fn_slot = fn_slot[1];
  stack::top = fn_slot + 1;
  return pc;
}

void eval_function(Cell* fn, const Cell* call_word, CallbackKind kind) {
  if (fn->is(TypeId::routine)) {
    call_native_code(fn);
    return;
  }
  run_function(fn, call_word, kind, stack::get_ctop());
}

Cell* call_function(const Cell* fn_in, const Cell* const* args, int32_t count, const Cell* name,
                    CallbackKind kind) {
  Cell fnv = fn_in->is(TypeId::op) ? op::unwrap(fn_in) : *fn_in;
  if (!is_function_type(fnv.type())) {
    Cell dt;
    set_datatype(&dt, fnv.type());
    fire(ErrorCode::script_invalid_type, &dt);
  }
  Cell frame_word = (name && is_any_word(name->type())) ? *name : anon_word_cell;
  frame_word.reset_header(TypeId::word);
  frame_word = builtin_frame_word(frame_word, &fnv);
  Cell* fn_slot = stack::push(&fnv);
  Cell* base = stack::top;
  bool is_fn = fnv.is(TypeId::function) || fnv.is(TypeId::routine);
  if (is_fn)
    stack::mark_call_word(&frame_word, 0);
  else
    stack::mark_native(&frame_word);
  CacheInfo ci = spec_cache(fn_slot);
  int32_t refs[kMaxRefinements];
  for (int32_t r = 0; r < kMaxRefinements; r++) refs[r] = -1;
  int32_t k = 0;
  bool active = true;
  for (int32_t i = 1; i <= ci.count; i++) {
    Descriptor d = descriptor(ci, i);
    if (d.kind == ArgKind::refinement) {
      active = false;
      if (is_fn) set_logic(stack::push_slot(), false);
      continue;
    }
    if (!active) {
      if (is_fn) set_none(stack::push_slot());
      continue;
    }
    if (k >= count) {
      Cell w = arg_word(fn_slot, i);
      fire(ErrorCode::script_no_arg, &frame_word, &w);
    }
    Cell* v = stack::push(args[k++]);
    typecheck(&frame_word, fn_slot, i, descriptor(ci, i), v);
  }
  if (is_fn) {
    function::init_locals(ci.locals);
    passing::eval_function(fn_slot, &frame_word, kind);
  } else if (fnv.is(TypeId::native)) {
    natives::entry(static_cast<int32_t>(fnv.data1))(refs);
  } else {
    int32_t id = static_cast<int32_t>(fnv.data1);
    actions::EntryFn e = (id >= 1 && id <= kActionCount) ? actions::entries[id - 1] : nullptr;
    if (!e) fire(ErrorCode::internal_not_done);
    e(refs);
  }
  if (exits::pending) return fn_slot;
  stack::unwind();
  *fn_slot = *base;
  stack::top = fn_slot + 1;
  return fn_slot;
}

}  // namespace passing

}  // namespace qel::interpreter
