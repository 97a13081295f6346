// Qel-level non-local exits: the frame walks of error, break, continue,
// return, exit and throw, the pending-exit signal, and the stack state that
// catching constructs restore.
#include "core/unwind.h"
#include "evaluator/interpreter.h"

#include "memory/collector.h"
#include "runtime/fatal.h"
#include "runtime/output.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/logic.h"

namespace qel {

namespace exits {

uint32_t pending = 0;
stack::Frame* target = nullptr;
Cell thrown_name{static_cast<uint32_t>(TypeId::unset), 0, 0, 0};
bool uncaught_errors_end_process = false;

namespace {
bool registered = false;
void mark_roots() { collector::mark_cell(&thrown_name); }
}  // namespace

void init() {
  pending = 0;
  target = nullptr;
  set_unset(&thrown_name);
  uncaught_errors_end_process = true;
  if (!registered) {
    collector::add_mark_callback(mark_roots);
    registered = true;
  }
}

void raise() {
  uint32_t lvl = pending;
  pending = 0;
  unwind::throw_level(lvl);
}

void pop_frames_to(stack::Frame* to) {
  if (to < stack::frame_bottom) to = stack::frame_bottom;
  for (stack::Frame* f = stack::frame_top - 1; f >= to; --f)
    if (f->function_context) stack::restore_context(f);
  if (to < stack::frame_top) stack::frame_top = to;
}

}  // namespace exits

namespace stack {

namespace {

// True when a try or try/all frame lies anywhere on the call stack.
bool error_caught() {
  for (const Frame* f = frame_top - 1; f >= frame_bottom; --f)
    if (f->kind == FrameKind::try_ || f->kind == FrameKind::try_all) return true;
  return false;
}

// The error that ends the process: its report, then status -2.
[[noreturn]] void uncaught(Cell* error) {
  std::string text = error::report(error);
  output::write_utf8(text);
  output::write_line_end();
  output::flush();
  runtime::quit_return(-2);
}

}  // namespace

void record_error_position(Cell* error) {
  error::set_stack_position(error, static_cast<int32_t>(frame_top - frame_bottom));
}

void throw_error(Cell* error) {
  if (frame_top > frame_bottom) {
    Cell where = get_where();
    error::set_where(error, &where);
    record_error_position(error);
  }
  if (exits::uncaught_errors_end_process && !error_caught()) uncaught(error);
  unwind::thrown_value = *error;
  exits::pending = 0;
  unwind::throw_level(level::error);
}

void throw_break(bool has_value, bool continue_) {
  const ErrorCode err = continue_ ? ErrorCode::throw_continue : ErrorCode::throw_break;
  Frame* f = frame_top - 1;
  for (; f >= frame_bottom; --f) {
    if (f->kind == FrameKind::try_all) fire(err);
    if (f->kind == FrameKind::loop) break;
  }
  if (f < frame_bottom) fire(err);
  if (has_value && !continue_)
    unwind::thrown_value = *arguments;
  else
    set_unset(&unwind::thrown_value);
  exits::target = f;
  exits::pending = continue_ ? level::continue_ : level::break_;
}

void throw_exit(bool has_value, bool start_at_top) {
  Frame* f = frame_top - 1;
  if (!start_at_top && f >= frame_bottom) --f;
  for (; f >= frame_bottom; --f) {
    if (f->kind == FrameKind::try_all) fire(ErrorCode::throw_return);
    if (f->function_body) break;
  }
  if (f < frame_bottom) fire(ErrorCode::throw_return);
  if (has_value)
    unwind::thrown_value = *arguments;
  else
    set_unset(&unwind::thrown_value);
  exits::target = f;
  exits::pending = has_value ? level::return_ : level::exit_;
}

void throw_(uint32_t code) {
  // The value and the name, as the throwing frame holds them.
  Cell value = *arguments;
  Cell name = (top > arguments + 1) ? arguments[1] : unset_value;
  if (!throw_position) throw_position = frame_top;
  Frame* f = frame_top - 1;
  for (; f >= frame_bottom; --f) {
    if (f->kind == FrameKind::try_all) break;
    if (f->kind == FrameKind::catch_) {
      throw_position = nullptr;
      interpreter::throw_near = interpreter::position;
      unwind::thrown_value = value;
      exits::thrown_name = name;
      exits::target = f;
      exits::pending = 0;
      unwind::throw_level(code);
    }
  }
  fire(ErrorCode::throw_throw, &value);
}

}  // namespace stack
}  // namespace qel
