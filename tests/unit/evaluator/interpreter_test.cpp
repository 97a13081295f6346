// Interpreter internals that Qel code cannot reach: the pending-exit signal
// and its conversion for C++ callers, calling function values from C++, the
// stack state after an error is stopped, and the library mark.
#include <gtest/gtest.h>

#include <string>

#include "evaluator/interpreter.h"
#include "core/stack.h"
#include "evaluator/support.h"
#include "core/unwind.h"
#include "tests/unit/qel_fixture.h"
#include "values/actions.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/function.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel {
namespace {

using testing_qel::load;
using testing_qel::run;

class EvalTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing_qel::start_runtime<EvalTest>(); }
  void SetUp() override {
    testing_qel::clear_stacks();
    exits::pending = 0;
  }
  void TearDown() override { exits::uncaught_errors_end_process = false; }

  static Cell global(const char* name) {
    Cell w = word::load(name);
    return *context::get(&w);
  }
  static std::string molded(Cell v) {
    Cell buf;
    string::rs_make_at(&buf, 16);
    actions::call_mold(&v, &buf, {.flat = true}, nullptr, 0x7FFFFFFF, 0);
    std::string out;
    string::to_utf8(&buf, out);
    return out;
  }
};

TEST_F(EvalTest, PendingExitBecomesAnExceptionForCxxCallers) {
  // `break` outside the loop's own evaluation: the loop frame is opened here,
  // the body evaluated through the throwing entry point.
  Cell w = word::load("loop");
  stack::mark_loop(&w);
  stack::Frame* loop = stack::frame_top - 1;
  Cell body = load("break/return 7");
  try {
    interpreter::eval(&body, interpreter::Chain::no);
    FAIL() << "break did not leave";
  } catch (const NonLocalExit& e) {
    EXPECT_EQ(e.level, level::break_);
    EXPECT_EQ(exits::target, loop);
    EXPECT_EQ(exits::pending, 0u);
    EXPECT_TRUE(unwind::thrown_value.is(TypeId::integer));
    EXPECT_EQ(unwind::thrown_value.integer(), 7);
  }
  // The passing form leaves the signal set and returns normally.
  exits::pending = 0;
  stack::frame_top = loop + 1;
  stack::top = stack::arguments;
  interpreter::passing::eval(&body, interpreter::Chain::no);
  EXPECT_EQ(exits::pending, level::break_);
  exits::pending = 0;
}

TEST_F(EvalTest, CallFunctionFromCxx) {
  Cell add = global("add");
  Cell a, b;
  set_integer(&a, 2);
  set_integer(&b, 40);
  const Cell* args[] = {&a, &b};
  Cell* r = interpreter::call_function(&add, args, 2, nullptr);
  ASSERT_TRUE(r->is(TypeId::integer));
  EXPECT_EQ(r->integer(), 42);
  EXPECT_EQ(stack::top, r + 1);

  run("twice: func [x /r] [either r [0] [x * 2]]");
  stack::top = stack::bottom;
  Cell twice = global("twice");
  const Cell* one[] = {&b};
  r = interpreter::call_function(&twice, one, 1, nullptr);
  ASSERT_TRUE(r->is(TypeId::integer));
  EXPECT_EQ(r->integer(), 80);

  // Too few arguments, and a type the spec refuses, are Qel errors.
  EXPECT_THROW(interpreter::call_function(&twice, one, 0, nullptr), NonLocalExit);
  run("only-ints: func [i [integer!]] [i]");
  Cell only = global("only-ints");
  Cell s;
  string::rs_make_at(&s, 4);
  const Cell* bad[] = {&s};
  try {
    interpreter::call_function(&only, bad, 1, nullptr);
    FAIL();
  } catch (const NonLocalExit& e) {
    EXPECT_EQ(e.level, level::error);
    EXPECT_NE(error::report(&unwind::thrown_value).find("does not allow string!"),
              std::string::npos);
  }
}

TEST_F(EvalTest, ErrorStoppedByTryLeavesBothStacksAsTheyWere) {
  Cell* top_before = stack::top;
  stack::Frame* frames_before = stack::frame_top;
  Cell r = run("f: func [n] [either n = 0 [1 / 0] [f n - 1]] try [f 50]");
  EXPECT_TRUE(r.is(TypeId::error));
  EXPECT_EQ(stack::frame_top, frames_before);
  EXPECT_EQ(stack::top, top_before + 2);  // the loaded block and the result
  // The function's context is not running any more.
  Cell f = global("f");
  EXPECT_EQ(context::context_cell(f.data1)->data2, 0u);
}

TEST_F(EvalTest, LibraryCodeIsNotTracedAndKeepsTheUsersNear) {
  run("lib-f: func [b] [do b 1 / 0]");
  Cell* f = context::get(&(*stack::push_slot() = word::load("lib-f")));
  function::mark_library(f);
  stack::top = stack::bottom;
  run("events: copy [] tracer: func [event code offset value ref frame] [append events event]");
  run("do/trace [try [lib-f [print-me: 1]]] :tracer");
  // The user's block handed to the library function is traced (its set-word
  // shows), the library body is not (no `/` call appears).
  std::string events = molded(global("events"));
  EXPECT_NE(events.find("set"), std::string::npos) << events;
  Cell err = run("try [lib-f [2]]");
  ASSERT_TRUE(err.is(TypeId::error));
  std::string report = error::report(&err);
  // The error's near is the user's expression, not the library's `1 / 0`.
  EXPECT_NE(report.find("*** Near : lib-f [2]"), std::string::npos) << report;
}

TEST_F(EvalTest, TypechecksForCxxCallersNameTheCallAndTheArgument) {
  Cell w = word::load("append");
  stack::mark_native(&w);
  Cell n;
  set_integer(&n, 1);
  Cell strings;
  set_datatype(&strings, TypeId::string);
  EXPECT_EQ(call::argument_word(0).symbol(), word::load("series").symbol());
  try {
    typecheck::value(&strings, 0, &n);
    FAIL();
  } catch (const NonLocalExit&) {
    std::string r = error::report(&unwind::thrown_value);
    EXPECT_EQ(r.substr(0, r.find('\n')),
              "*** Script Error: append does not allow integer! for its series argument");
  }
  Cell big;
  set_float(&big, 1e10);
  EXPECT_THROW(typecheck::get_integer(&big), NonLocalExit);
  set_float(&big, -2.9);
  EXPECT_EQ(typecheck::get_integer(&big), -2);
}

TEST_F(EvalTest, UncaughtErrorEndsTheProcessWith254) {
  EXPECT_EXIT(
      {
        exits::uncaught_errors_end_process = true;
        run("1 / 0");
      },
      ::testing::ExitedWithCode(254), "");
}

}  // namespace
}  // namespace qel
