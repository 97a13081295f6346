// Evaluation trace events: the state that switches them on and off, and the
// protocol by which the callback is called.
#include "evaluator/trace.h"

#include <string_view>

#include "evaluator/interpreter.h"
#include "core/stack.h"
#include "core/unwind.h"
#include "memory/collector.h"
#include "values/context.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::interpreter {

bool trace_q = false;
bool tracing_q = false;
uint32_t event_mask = 0;
uint32_t callback_bits = 0;

namespace {

Cell callback_cell{static_cast<uint32_t>(TypeId::unset), 0, 0, 0};
bool paused = false;
int32_t callback_locals = 0;
Cell callback_frame_word{};

constexpr std::string_view kEventNames[] = {"init",  "end",    "prolog", "epilog", "enter", "exit",
                                            "open",  "return", "fetch",  "push",   "set",   "call",
                                            "error", "throw",  "catch",  "expr"};
constexpr int kEvents = 16;
Cell event_words[kEvents];
bool marks_registered = false;

void mark_callback() { collector::mark_cell(&callback_cell); }

int event_slot(Event e) {
  uint32_t v = static_cast<uint32_t>(e);
  int i = 0;
  while (v > 1) {
    v >>= 1;
    i++;
  }
  return i;
}

bool has_ref(Event e) {
  return e == Event::set || e == Event::epilog || e == Event::prolog || e == Event::return_ ||
         e == Event::call;
}

}  // namespace

void init_trace() {
  trace_q = tracing_q = false;
  event_mask = 0;
  callback_bits = 0;
  set_unset(&callback_cell);
  for (int i = 0; i < kEvents; i++) event_words[i] = word::load(kEventNames[i]);
  callback_frame_word = word::load("<interp-callback>");
  if (!marks_registered) {
    collector::add_mark_callback(mark_callback);
    marks_registered = true;
  }
}

const Cell* callback() { return &callback_cell; }

uint32_t event_mask_of(const Cell* fn) {
  if (!fn->is(TypeId::function)) return kDefaultEventMask;
  Cell body = *function::extra(fn, function::kBody);
  if (!body.is(TypeId::block)) return kDefaultEventMask;
  SeriesBuffer* s = memory::series(body.node());
  int32_t head = body.head() < 0 ? 0 : body.head();
  if (static_cast<uint32_t>(head) >= s->length() || !s->cells()[head].is(TypeId::block))
    return kDefaultEventMask;
  Cell events = s->cells()[head];
  SeriesBuffer* es = memory::series(events.node());
  uint32_t mask = 0;
  for (uint32_t i = static_cast<uint32_t>(events.head() < 0 ? 0 : events.head()); i < es->length();
       i++) {
    const Cell& w = es->cells()[i];
    if (!w.is(TypeId::word)) continue;
    SymbolId s = symbol::resolve(w.symbol());
    for (int k = 0; k < kEvents; k++)
      if (symbol::resolve(event_words[k].symbol()) == s) mask |= 1u << k;
  }
  return mask;
}

void install_callback(const Cell* fn) {
  callback_cell = *fn;
  event_mask = event_mask_of(fn);
  CacheInfo ci = spec_cache(fn);
  // Slots beyond the six arguments: the callback's refinements and locals.
  callback_locals = ci.locals + (ci.count > 6 ? ci.count - 6 : 0);
  trace_q = true;
  tracing_q = true;
  paused = false;
}

void set_paused(bool on) { paused = on && trace_q; }

void clear_callback() {
  set_unset(&callback_cell);
  trace_q = tracing_q = false;
  paused = false;
  event_mask = 0;
  callback_locals = 0;
}

void fire_event(Event e, const Cell* code, int32_t pc, const Cell* ref, const Cell* value) {
  if (!(event_mask & static_cast<uint32_t>(e))) return;
  // (A pause holds back everything but the end, which a callback needs to
  // finish its run.)
  if (paused && e != Event::end) return;
  if (!callback_cell.is(TypeId::function) || exits::pending) return;
  stack::Frame* saved_ctop = stack::frame_top;
  Cell* saved_top = stack::top;
  Cell* saved_arguments = stack::arguments;
  int32_t frame_base = static_cast<int32_t>(stack::arguments - stack::bottom);
  int32_t frame_top = static_cast<int32_t>(stack::top - stack::bottom);
  // The newest value stays untouched under the callback's frame.
  Cell data[3];
  set_none(&data[0]);
  set_none(&data[1]);
  set_none(&data[2]);
  if (code) data[0] = *code;
  if (value && !value->is(TypeId::none_id)) data[1] = *value;
  if (ref && has_ref(e)) data[2] = *ref;
  int32_t offset = -1;
  if (code && pc >= 0 && is_any_block(code->type())) {
    int32_t head = code->head();
    int32_t tail = static_cast<int32_t>(memory::series(code->node())->length());
    if (pc >= head && pc <= tail) offset = pc - head;
  }
  stack::top++;
  Cell fn = callback_cell;
  stack::mark_call_word(&callback_frame_word, fn.data1);
  stack::push(&event_words[event_slot(e)]);
  stack::push(&data[0]);
  set_integer(stack::push_slot(), offset);
  stack::push(&data[1]);
  stack::push(&data[2]);
  Cell* pair = stack::push_slot();
  *pair = Cell{static_cast<uint32_t>(TypeId::pair), 0, static_cast<uint32_t>(frame_base),
               static_cast<uint32_t>(frame_top)};
  for (int32_t i = 0; i < callback_locals; i++) set_none(stack::push_slot());
  tracing_q = false;
  // Whatever way the callback ends, its frame goes and tracing resumes.
  struct Restore {
    stack::Frame* ctop;
    Cell* top;
    Cell* arguments;
    ~Restore() {
      exits::pop_frames_to(ctop);
      stack::arguments = arguments;
      stack::top = top;
      tracing_q = true;
    }
  } restore{saved_ctop, saved_top, saved_arguments};
  passing::eval_function(&fn, &callback_frame_word, CallbackKind::none);
  exits::check();
}

void fire_init() {
  if (tracing_q) fire_event(Event::init, nullptr, -1, nullptr, nullptr);
}
void fire_end() {
  if (tracing_q) fire_event(Event::end, nullptr, -1, nullptr, nullptr);
}
void fire_throw() {
  if (tracing_q) fire_event(Event::throw_, nullptr, -1, nullptr, stack::arguments);
}
void fire_catch() {
  if (tracing_q) fire_event(Event::catch_, nullptr, -1, nullptr, stack::arguments);
}
void fire_call(const Cell* ref, const Cell* fn) {
  if (tracing_q) fire_event(Event::call, nullptr, -1, ref, fn);
}
void fire_return(const Cell* ref) {
  if (tracing_q) fire_event(Event::return_, nullptr, -1, ref, stack::arguments);
}

void fire_error(const Cell* error) {
  if (!tracing_q) return;
  Cell saved = unwind::thrown_value;
  Cell err = *error;
  fire_event(Event::error, nullptr, -1, nullptr, &err);
  unwind::thrown_value = saved;
}

}  // namespace qel::interpreter
