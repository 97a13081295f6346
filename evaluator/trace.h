// Evaluation trace events: the interpreter reports what it does, event by
// event, to a callback function written in Qel (`do/trace` installs it; the
// library's tracers, debugger and profiler are built on it).
//
// Every firing point first tests `tracing_q`, so a run without a trace costs
// one flag test per point. The callback receives six arguments: the event
// word, the code (block or path, or none), the offset of the position in the
// code (or -1), the value (or none), the ref (for set, prolog, epilog,
// return and call; none otherwise) and the frame (a pair! of the current
// frame base and stack top, as cell indexes). Nothing the callback does is
// traced; its result is dropped.
#pragma once

#include <cstdint>

#include "core/cell.h"

namespace qel::interpreter {

// Event bits (the callback receives the word of the same name).
enum class Event : uint32_t {
  init = 1,
  end = 2,
  prolog = 4,
  epilog = 8,
  enter = 16,
  exit = 32,
  open = 64,
  return_ = 128,
  fetch = 256,
  push = 512,
  set = 1024,
  call = 2048,
  error = 4096,
  throw_ = 8192,
  catch_ = 16384,
  expr = 32768,
};

// A trace run is installed (a callback exists).
extern bool trace_q;
// Events are delivered now; every firing point tests it first.
extern bool tracing_q;
// The set of event bits delivered.
extern uint32_t event_mask;
inline constexpr uint32_t kDefaultEventMask = 0x1FFFF;

// Bits of system/state/callbacks/bits: callbacks run by natives stay traced
// while tracing only when their bit is set.
enum class CallbackKind : uint32_t {
  none = 0, lexer = 1, parse = 2, sort = 4, change = 8, deep = 16, port = 32
};
// The callback bits in force (the library keeps them in step with
// system/state/callbacks).
extern uint32_t callback_bits;

// Delivers one event when its bit is in the mask. `pc` is an absolute cell
// index in `code` (or -1); null pointers stand for absent values.
void fire_event(Event e, const Cell* code, int32_t pc, const Cell* ref, const Cell* value);

// The mask a callback asks for: when its body starts with a block, the bits
// of the event words in it; otherwise the default mask.
uint32_t event_mask_of(const Cell* callback);

// Installs a callback (its mask taken from its body) and starts tracing.
void install_callback(const Cell* callback);
// Removes the callback and stops tracing.
void clear_callback();
// The installed callback (unset when there is none).
const Cell* callback();
// Suspends (false) or resumes (true) the delivery of events of the trace in
// progress (`trace false` ... `trace true` inside traced code); a new trace
// starts delivering. The switch `tracing_q` is left alone: the interpreter
// saves and restores it around library code and function bodies.
void set_paused(bool paused);

// Shorthands for other modules.
void fire_init();
void fire_end();
// `throw` and `catch`: the value is slot 0 of the current frame.
void fire_throw();
void fire_catch();
// Around traced callback calls made by natives.
void fire_call(const Cell* ref, const Cell* fn);
void fire_return(const Cell* ref);
// `fire` raising an error (the thrown value is kept aside meanwhile).
void fire_error(const Cell* error);

// Start-up: the event words and the callback root.
void init_trace();

}  // namespace qel::interpreter
