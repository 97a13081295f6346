// qel-library-probe: a test-only program that runs the real start-up
// sequence (the library included) and then, in place of the console,
// evaluates Qel text, so that tests can watch how the process ends and look
// at what start-up made.
//
//   qel-library-probe TEXT [EXPR...]
//
// TEXT is evaluated first; an error prints its report and ends with status
// 254, as an uncaught error does. Each EXPR is then evaluated and the line
// "EXPR: library" or "EXPR: plain" is printed when its value is a function!
// with or without the library mark ("EXPR: -" for any other value). The
// probe then ends with status 0.
#include <string>

#include "evaluator/interpreter.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "runtime/fatal.h"
#include "runtime/output.h"
#include "runtime/startup.h"
#include "datatypes/error.h"
#include "datatypes/function.h"

extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:detect_leaks=0";
}

namespace {

int probe_argc;
char** probe_argv;

qel::Cell eval_text(const std::string& text) {
  using namespace qel;
  Cell* base = stack::top;
  Cell* code = stack::push_slot();
  set_none(code);
  lexer::ScanOptions options;
  lexer::scan(code, reinterpret_cast<const uint8_t*>(text.data()),
              static_cast<uint32_t>(text.size()), options);
  Cell block = *code;
  interpreter::eval(&block, interpreter::Chain::no);
  Cell result = stack::top[-1];
  stack::top = base;
  return result;
}

void run() {
  using namespace qel;
  try {
    eval_text(probe_argv[1]);
    for (int i = 2; i < probe_argc; i++) {
      Cell v = eval_text(probe_argv[i]);
      const char* mark = !v.is(TypeId::function)                 ? "-"
                         : v.has_flag(function_flag::library) ? "library"
                                                                : "plain";
      output::write_utf8(std::string(probe_argv[i]) + ": " + mark + "\n");
    }
  } catch (const NonLocalExit& e) {
    if (e.level != level::error) throw;
    Cell err = unwind::thrown_value;
    output::write_utf8(error::form_report(&err) + "\n");
    runtime::quit_return(-2);
  }
  runtime::quit_return(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  probe_argc = argc;
  probe_argv = argv;
  static char* session_argv[] = {argv[0], nullptr};
  qel::startup::run(1, session_argv, run);
}
