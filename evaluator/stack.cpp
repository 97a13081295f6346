// The routines of the argument stack and the call stack declared in
// core/stack.h: allocation, frames, pops, inspection and marking. They live
// with the evaluator, whose contexts, words and forms they use.
#include "core/stack.h"

#include <memory>
#include <new>

#include "core/cycle_guard.h"
#include "memory/collector.h"
#include "memory/series.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::stack {

Cell* bottom = nullptr;
Cell* arguments = nullptr;
Cell* top = nullptr;
Cell* limit = nullptr;

Frame* frame_bottom = nullptr;
Frame* frame_top = nullptr;
Frame* frame_limit = nullptr;
Frame* throw_position = nullptr;

uint32_t body_symbol = 0;
uint32_t anon_symbol = 0;

namespace {

// Cells freed for the error machinery when a stack overflows.
constexpr int32_t kOverflowSlack = 5;

bool mark_registered = false;

[[noreturn]] void frame_overflow() {
  top = (top - bottom >= kOverflowSlack) ? top - kOverflowSlack : bottom;
  cycle_guard::reset();
  fire(ErrorCode::internal_stack_overflow);
}

inline Frame* push_frame(uint32_t symbol, Node word_context, FrameKind kind, bool body,
                         bool interpreted) {
  Frame* f = frame_top;
  if (f >= frame_limit) [[unlikely]]
    frame_overflow();
  f->symbol = symbol;
  f->kind = kind;
  f->function_body = body;
  f->interpreted = interpreted;
  f->unused = 0;
  f->caller_base = index_of(arguments);
  f->word_context = word_context;
  f->function_context = 0;
  f->saved_values = 0;
  frame_top = f + 1;
  arguments = top;
  return f;
}

inline Frame* push_word_frame(const Cell* word, FrameKind kind, bool body = false,
                              bool interpreted = false) {
  return push_frame(word->symbol(), word->context(), kind, body, interpreted);
}

// Removes the top frame and returns it, `arguments` back at the caller's base.
inline Frame* pop_frame() {
  Frame* f = --frame_top;
  arguments = bottom + f->caller_base;
  return f;
}

}  // namespace

namespace {
// Both stacks' memory, taken once for the whole run, in one region filled
// in at once (in a huge page where the system offers them): the stacks are
// written whole right away (below), and a fault for each of their 150 small
// pages cost milliseconds of every start. (Sanitized builds take them from
// the heap, whose ends the sanitizer guards.)
void take_stack_memory(Cell** cells, Frame** frames) {
#if defined(__SANITIZE_ADDRESS__)
  *cells = new Cell[kArgumentCells];
  *frames = new Frame[kCallFrames];
#else
  const size_t cell_bytes = size_t{kArgumentCells} * sizeof(Cell);
  uint8_t* p = memory::map_huge(cell_bytes + size_t{kCallFrames} * sizeof(Frame));
  *cells = new (p) Cell[kArgumentCells];
  *frames = new (p + cell_bytes) Frame[kCallFrames];
#endif
}
}  // namespace

void init() {
  static Cell* cells = nullptr;
  static Frame* frames = nullptr;
  if (!cells) {
    take_stack_memory(&cells, &frames);
  }
  bottom = arguments = top = cells;
  limit = bottom + kArgumentCells;
  // Stale cells are always well-formed values, so the collector can read any
  // cell below the top.
  for (uint32_t i = 0; i < kArgumentCells; i++) set_unset(bottom + i);
  frame_bottom = frame_top = frames;
  frame_limit = frame_bottom + kCallFrames;
  throw_position = nullptr;
  body_symbol = symbol::make("<body>");
  anon_symbol = symbol::make("<anon>");
  if (!mark_registered) {
    collector::add_mark_callback(mark_gc);
    mark_registered = true;
  }
}

void overflow() {
  top -= kOverflowSlack;  // from the advanced top: the failed slot and four more
  if (top < bottom) top = bottom;
  cycle_guard::reset();
  fire(ErrorCode::internal_stack_overflow);
}

void revert() {
  if (top > arguments && top[-1].is(TypeId::error)) *arguments = top[-1];
  top = arguments + 1;
}

// --- frames

void mark_call_word(const Cell* word, Node function_context) {
  uint32_t saved = function_context ? context::context_cell(function_context)->data2 : 0;
  Frame* f = push_word_frame(word, FrameKind::context);
  f->function_context = function_context;
  f->saved_values = saved;
}
void mark_native(const Cell* word) { push_word_frame(word, FrameKind::native); }
void mark_try(const Cell* word) { push_word_frame(word, FrameKind::try_); }
void mark_try_all(const Cell* word) { push_word_frame(word, FrameKind::try_all); }
void mark_catch(const Cell* word) { push_word_frame(word, FrameKind::catch_); }
void mark_loop(const Cell* word) { push_word_frame(word, FrameKind::loop); }
void mark_func(const Cell* word, Node function_context) {
  if (frame_top >= frame_limit) frame_overflow();
  context::context_cell(function_context)->data2 = index_of(arguments) + 1;
  push_word_frame(word, FrameKind::native, true);
}
void mark_interp_func(const Cell* word) {
  push_word_frame(word, FrameKind::context, false, true);
}
void mark_interp_native(const Cell* word) {
  push_word_frame(word, FrameKind::native, false, true);
}
void mark_eval(const Cell* word) { push_word_frame(word, FrameKind::eval, false, true); }
void mark_symbol(uint32_t symbol, FrameKind kind, bool interpreted) {
  push_frame(symbol, 0, kind, false, interpreted);
}

void restore_context(const Frame* f) {
  if (f->function_context)
    context::context_cell(f->function_context)->data2 = f->saved_values;
}

void unwind() {
  Cell* callee = arguments;
  pop_frame();
  top = callee + 1;
}

void unwind_last() {
  Cell* callee = arguments;
  pop_frame();
  top = callee + 1;
  copy_cell(callee, arguments);
}

void unwind_restore() {
  Cell* callee = arguments;
  restore_context(pop_frame());
  top = callee + 1;
}

void unwind_last_restore() {
  Cell* callee = arguments;
  restore_context(pop_frame());
  top = callee + 1;
  copy_cell(callee, arguments);
}

void unwind_func() {
  restore_context(pop_frame());
  top = arguments;
}

void unwind_set() {
  pop_frame();
  top = arguments;
}

void unwind_ctx() {
  Cell* callee = arguments;
  Frame* f = pop_frame();
  if (f->kind == FrameKind::context) restore_context(f);
  top = callee;
  if (f == frame_bottom) arguments = top = bottom;
}

void set_in_func(bool on) {
  if (Frame* f = get_ctop()) f->function_body = on;
}

void set_interpreted() {
  if (Frame* f = get_ctop()) f->interpreted = true;
}

Frame* claim_func_flag() {
  if (frame_top - frame_bottom < 2) return nullptr;
  Frame* f = frame_top - 2;
  if (f->function_body) return nullptr;
  f->function_body = true;
  return f;
}

void release_func_flag(Frame* f) {
  if (f) f->function_body = false;
}

void set_ctop(Frame* position) {
  if (position < frame_bottom) position = frame_bottom;
  if (position > frame_limit) position = frame_limit;
  frame_top = position;
}

bool eval_q(const Frame* from, bool only_this) {
  const Frame* f = (from ? from : frame_top) - 1;
  for (; f >= frame_bottom; f--) {
    if (f->interpreted) return true;
    if (only_this) return false;
  }
  return false;
}

// --- inspection

namespace {
inline bool anonymous(const Frame* f) {
  return f->symbol == body_symbol || f->symbol == anon_symbol;
}
}  // namespace

Cell get_call() {
  const Frame* f = (throw_position ? throw_position : frame_top) - 1;
  throw_position = nullptr;
  while (f >= frame_bottom && anonymous(f)) f--;
  if (f < frame_bottom) return word::load("<not-found>");
  return context::resolve_word(f->word_context ? f->word_context : context::global, f->symbol);
}

void collect_calls(Node block) {
  for (const Frame* f = frame_top - 1; f > frame_bottom; f--) {
    if (anonymous(f)) continue;
    Cell w = context::resolve_word(f->word_context ? f->word_context : context::global,
                                   f->symbol);
    *append_slot(block) = w;
    set_integer(append_slot(block), static_cast<int32_t>(f->caller_base));
  }
}

namespace {
// Calls fn(word) for each frame from the bottom up to `end` that a trace of
// that depth shows.
template <class Fn>
void walk_calls(int32_t depth, const Frame* end, Fn fn) {
  if (!end || end > frame_top) end = frame_top;
  for (const Frame* f = frame_bottom; f < end; f++) {
    if (anonymous(f)) continue;
    Node ctx = f->word_context ? f->word_context : context::global;
    Cell w = context::resolve_word(ctx, f->symbol);
    if (depth <= 1) {
      Cell* v = context::values(w.context()) && w.word_index() >= 0
                    ? context::values(w.context()) + w.word_index()
                    : nullptr;
      if (!v || !v->is(TypeId::function)) continue;
    }
    fn(w);
  }
}
}  // namespace

void trace_calls(int32_t depth, Node block, const Frame* end) {
  walk_calls(depth, end, [&](const Cell& w) { *append_slot(block) = w; });
}

int32_t form_calls(int32_t depth, const Frame* end, Cell* buffer, int32_t limit) {
  walk_calls(depth, end, [&](const Cell& w) {
    Cell copy = w;
    limit = word::form(&copy, buffer, nullptr, limit);
    limit = string::emit(buffer, " ", limit);
  });
  return limit;
}

void mark_gc() {
  collector::mark_cells(bottom, top);
  for (const Frame* f = frame_bottom; f < frame_top; f++) {
    if (f->word_context) {
      // A frame named `self` carries its object's series, not a context.
      if (symbol::resolve(f->symbol) == context::self_symbol)
        collector::mark_block(f->word_context);
      else
        collector::mark_context(f->word_context);
    }
    if (f->function_context) {
      collector::mark_context(f->function_context);
      if (f->saved_values && !context::on_stack(context::context_cell(f->function_context)))
        collector::mark_block(f->saved_values);
    }
  }
}

}  // namespace qel::stack
