// Shared start of the tests that run Qel code: the runtime brought up once
// per suite, the stacks emptied before each test, Qel source loaded into a
// block or evaluated, and the report of the error a call raises. It uses no
// GoogleTest, so the small test programs use it as well.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "evaluator/interpreter.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "core/unwind.h"
#include "runtime/startup.h"
#include "datatypes/error.h"

namespace qel::testing_qel {

// Brings the runtime up the first time the suite `Suite` starts.
template <class Suite>
void start_runtime() {
  static bool done = false;
  if (done) return;
  runtime::init();
  done = true;
}

// A test's own start: empty stacks, and errors that reach the top left for
// the test to catch instead of ending the process.
inline void clear_stacks() {
  exits::uncaught_errors_end_process = false;
  stack::top = stack::arguments = stack::bottom;
  stack::frame_top = stack::frame_bottom;
}

// Qel source loaded into a block; the block stays pushed.
inline Cell load(std::string_view text) {
  Cell* code = stack::push_slot();
  set_none(code);
  lexer::ScanOptions options;
  lexer::scan(code, reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()), options);
  return *code;
}

// Qel source evaluated; its result stays pushed and is returned.
inline Cell run(std::string_view text) {
  Cell code = load(text);
  interpreter::eval(&code, interpreter::Chain::no);
  return stack::top[-1];
}

// The report of the error a call raises, or "" when it raises none.
template <typename F>
std::string error_of(F&& f) {
  Cell* base = stack::top;
  try {
    f();
  } catch (const NonLocalExit&) {
    stack::top = base;
    return error::report(&unwind::thrown_value);
  }
  return "";
}

}  // namespace qel::testing_qel
