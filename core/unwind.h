// Non-local exits. Every exit that leaves several C++ calls at once (Qel
// errors, break, continue, return, exit, throw, the lexer's syntax errors) is
// a C++ exception carrying a catch level. A catching site with level L stops
// every exit whose level is at most L (unsigned compare) and rethrows the
// others, so the ordering of the levels decides who stops what.
//
// The value that travels with an exit (the error! of an error, the value of
// `throw`, `break/return` or `return`) sits in `unwind::thrown_value`, a
// collector root, never inside the exception object.
//
// The Qel-level exits on top of them: errors, break, continue, return, exit and
// throw, and how the constructs that stop them find their frames.
//
// Each exit first walks the call stack (core/stack.h) to find the frame
// that stops it: a try or try/all frame for errors, a loop frame for break
// and continue, the nearest function-body frame for return and exit, a catch
// frame for throw. A try/all frame met on the way turns any exit but an
// error into a throw error, and an exit with no frame to stop it becomes a
// throw error too ("no loop to break" ...). An error that no try frame stops
// prints its report and ends the process with status -2 (254).
//
// Errors and throws then travel as C++ exceptions (NonLocalExit, with the
// value in `unwind::thrown_value`). Break, continue, return and exit travel
// as a pending-exit signal instead, because they are frequent: the routine
// that raises one sets `exits::pending` and returns normally, and every
// interpreter routine and native that evaluates code returns at once while a
// signal is pending (`if (exits::pending) return ...`). Code that is not
// written for the signal calls the throwing entry points of the interpreter,
// which turn a pending exit into the equivalent NonLocalExit
// (`exits::raise`). A construct that stops such an exit handles both forms
// (`exits::stops`); both carry the value in `unwind::thrown_value` and the
// target frame in `exits::target`.
//
// Catching constructs restore the stacks themselves: they remember the
// state at their start (`exits::Mark`) and put it back when they stop an
// exit, giving frames that carry a function context their values back.
#pragma once

#include <cstdint>

#include "core/stack.h"
#include "core/cell.h"

namespace qel {

namespace level {
inline constexpr uint32_t root = 0xFFFFFFFF;
inline constexpr uint32_t error = 0x7FFFFFFF;
inline constexpr uint32_t break_ = 0x7FFFFFFE;
inline constexpr uint32_t continue_ = 0x7FFFFFFD;
inline constexpr uint32_t return_ = 0x7FFFFFFC;
inline constexpr uint32_t exit_ = 0x7FFFFFFB;
inline constexpr uint32_t throw_ = 0x7FFFFFFA;
inline constexpr uint32_t power_overflow = 0x7FFFFFF9;
inline constexpr uint32_t lexer = 10;
inline constexpr uint32_t silent_exit = 0xBADCAFE;
}  // namespace level

// The exception every non-local exit throws.
struct NonLocalExit {
  uint32_t level;
};

namespace unwind {

// The value carried by the exit in flight (or the last one caught).
extern Cell thrown_value;
// The level of the last exit caught (`thrown` of the runtime).
extern uint32_t thrown;

// Throws an exit of the given level. Never returns.
[[noreturn]] void throw_level(uint32_t lvl);

// True when a catching site of level `site` stops an exit of level `lvl`.
inline constexpr bool stops(uint32_t site, uint32_t lvl) { return lvl <= site; }

// A catching site of level `site` around `body`: returns 0 when the body
// returns normally, or the level of the exit it stopped (also stored in
// `thrown`); an exit above the site passes on. Level 0 is never thrown, so
// 0 always means a normal return.
//   if (uint32_t lvl = unwind::catch_level(level::throw_, [&] { ... }))
//     ... // lvl is level::throw_, or a level below it
template <class Body>
uint32_t catch_level(uint32_t site, Body&& body) {
  try {
    body();
    return 0;
  } catch (const NonLocalExit& e) {
    if (!stops(site, e.level)) throw;
    thrown = e.level;
    return e.level;
  }
}

// The handler of the root frame, which stops every exit: 0xBADCAFE ends the
// process silently with status 0, any other level with runtime error 95
// "no CATCH for THROW".
[[noreturn]] void root_handler(uint32_t lvl);

}  // namespace unwind

// --- Qel-level exits


namespace exits {

// The exit travelling as a signal: 0, or level::break_, continue_, return_
// or exit_.
extern uint32_t pending;
// The frame the travelling exit (signal or exception) stops at: the loop
// frame of break and continue, the function-body frame of return and exit,
// the catch frame of throw.
extern stack::Frame* target;
// The name carried by `throw` (unset without /name). A collector root, like
// `unwind::thrown_value`.
extern Cell thrown_name;

// Turns the pending signal into its NonLocalExit (clearing `pending`).
[[noreturn]] void raise();
// For code that cannot pass the signal on: raises it as an exception.
inline void check() {
  if (pending) [[unlikely]]
    raise();
}

// True when an exit of `level` (a signal or a caught exception's level)
// stops at the frame `frame`.
inline bool stops(uint32_t level, uint32_t expected, const stack::Frame* frame) {
  return level == expected && target == frame;
}

// The stack state a catching construct restores when it stops an exit.
struct Mark {
  stack::Frame* frame_top;
  Cell* arguments;
  Cell* top;

  Mark() : frame_top(stack::frame_top), arguments(stack::arguments), top(stack::top) {}
  Mark(stack::Frame* frame_top_, Cell* arguments_, Cell* top_)
      : frame_top(frame_top_), arguments(arguments_), top(top_) {}
  // Pops every frame above the mark (frames that carry a function context
  // give it its values back) and restores both stack tops.
  inline void restore() const;
};

// Pops frames down to (not including) `to`, restoring the function
// contexts they carry.
void pop_frames_to(stack::Frame* to);

inline void Mark::restore() const {
  if (stack::frame_top > frame_top) pop_frames_to(frame_top);
  stack::frame_top = frame_top;
  stack::arguments = arguments;
  stack::top = top;
}

// When set (by interpreter::init), an error that no try frame stops ends
// the process after printing its report. Until then (the start-up steps
// before the interpreter, and C++ unit tests that catch errors themselves)
// such an error travels on as an exception.
extern bool uncaught_errors_end_process;

// Start-up: registers the collector root of `thrown_name`.
void init();

}  // namespace exits

namespace stack {

// Raises an error! value: records its `where` (the innermost named call) and
// the call-stack position, then throws it to the nearest try frame. With no
// try frame at all, prints the report and ends the process with status -2.
[[noreturn]] void throw_error(Cell* error);

// Records the call-stack position in the error (unless it holds a block of
// calls already).
void record_error_position(Cell* error);

// `break` (has_value with /return: the value is slot 0 of the current frame)
// and `continue`. Sets the pending signal and returns; raises the throw
// error `break` or `continue` when no loop frame stops the exit first.
void throw_break(bool has_value, bool continue_);

// `return` (has_value: slot 0 of the current frame) and `exit`. The walk
// starts below the top frame (the native's own frame) unless start_at_top.
// Sets the pending signal and returns; raises the throw error `return` when
// no function frame stops the exit first.
void throw_exit(bool has_value, bool start_at_top);

// The frame `return` signalled with the top frame as its caller's would
// stop at (the nearest function-body frame), or null when the return would
// raise an error instead (no function frame, a try/all frame on the way).
inline Frame* return_frame() {
  for (Frame* f = frame_top - 1; f >= frame_bottom; --f) {
    if (f->kind == FrameKind::try_all) return nullptr;
    if (f->function_body) return f;
  }
  return nullptr;
}

// `throw`: the value and the name are slots 0 and 1 of the current frame.
// Throws level::throw_ to the nearest catch frame, or raises the throw error
// `throw` ("no catch for throw:") when there is none.
[[noreturn]] void throw_(uint32_t code);

}  // namespace stack
}  // namespace qel
