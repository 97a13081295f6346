// The argument stack and call frames: slot rules, pops, function contexts,
// overflow and the call-word lookup.
#include "core/cycle_guard.h"
#include "tests/unit/values_support.h"
#include "values/context.h"
#include "datatypes/word.h"

namespace qel {
namespace {
using namespace testing_values;

struct Stack : ::testing::Test {
  void SetUp() override { setup(); }
  Cell word(const char* name) { return word::load(name); }
};

TEST_F(Stack, SlotsKeepResetAndPopNeverBelowBottom) {
  Cell one, two;
  set_integer(&one, 1);
  set_integer(&two, 2);
  stack::push(&one);
  stack::push(&two);
  EXPECT_EQ(stack::size(), 2u);
  EXPECT_EQ(stack::get_top()->integer(), 2);
  stack::keep();
  EXPECT_EQ(stack::size(), 1u);
  stack::set_last_only(&two);
  EXPECT_EQ(stack::arguments->integer(), 2);
  stack::pop(10);
  EXPECT_EQ(stack::top, stack::bottom);
  EXPECT_EQ(stack::get_top(), stack::bottom);  // empty: the bottom cell
}

TEST_F(Stack, UnwindLeavesTheCalleeResultAsTheCallersNewestValue) {
  Cell caller_value, result;
  set_integer(&caller_value, 7);
  set_integer(&result, 42);
  Cell w = word("callee");
  stack::push(&caller_value);
  Cell* caller_base = stack::arguments;
  stack::mark_native(&w);
  EXPECT_EQ(stack::arguments, stack::top);
  stack::push(&result);
  stack::push(&caller_value);  // scratch above the result
  stack::unwind();
  EXPECT_EQ(stack::arguments, caller_base);
  EXPECT_EQ(stack::size(), 2u);
  EXPECT_EQ(stack::get_top()->integer(), 42);

  // unwind_last also copies the result into the caller's slot 0.
  stack::mark_native(&w);
  stack::push(&result);
  stack::unwind_last();
  EXPECT_EQ(stack::arguments->integer(), 42);
}

TEST_F(Stack, UnwindCtxOfTheBottomFrameReturnsToTheBottom) {
  Cell w = word("f"), v;
  set_integer(&v, 1);
  stack::push(&v);
  stack::mark_call_word(&w, 0);
  stack::push(&v);
  stack::unwind_ctx();
  EXPECT_EQ(stack::arguments, stack::bottom);
  EXPECT_EQ(stack::top, stack::bottom);
}

TEST_F(Stack, FunctionContextValuesAreRestoredForRecursiveCalls) {
  Cell spec_block;
  Node spec = memory::alloc_cells(2);
  Cell a = word("a");
  *append_slot(spec) = a;
  set_series(&spec_block, TypeId::block, spec);
  Node fctx = context::make(&spec_block, context::OnStack::yes, context::SelfRef::no,
                            context::Kind::function);
  Cell fw = word("f");
  Cell arg1, arg2;
  set_integer(&arg1, 1);
  set_integer(&arg2, 2);

  EXPECT_EQ(context::values(fctx), nullptr);  // not running
  stack::mark_call_word(&fw, fctx);
  stack::mark_func(&fw, fctx);
  stack::push(&arg1);
  Cell local = *context::word_cell(fctx, 0);
  EXPECT_EQ(context::get(&local)->integer(), 1);

  // A recursive call sees its own value, and the outer one comes back.
  stack::mark_call_word(&fw, fctx);
  stack::mark_func(&fw, fctx);
  stack::push(&arg2);
  EXPECT_EQ(context::get(&local)->integer(), 2);
  stack::unwind_func();
  stack::unwind_restore();
  EXPECT_EQ(context::get(&local)->integer(), 1);
  stack::unwind_func();
  stack::unwind_restore();

  // After the call: reading is not-in-context, writing not-defined.
  EXPECT_EQ(context::values(fctx), nullptr);
  EXPECT_EQ(raised([&] { context::get(&local); }), code(ErrorCode::script_not_in_context));
  EXPECT_EQ(raised([&] { context::set(&local, &arg1); }), code(ErrorCode::script_not_defined));
}

TEST_F(Stack, OverflowRaisesStackOverflowAndLeavesTheStackUsable) {
  cycle_guard::push(12345);
  Cell v;
  set_integer(&v, 1);
  int got = raised([&] {
    for (;;) stack::push(&v);
  });
  EXPECT_EQ(got, code(ErrorCode::internal_stack_overflow));
  EXPECT_EQ(cycle_guard::depth(), 0u);
  EXPECT_LT(stack::top, stack::limit);
  EXPECT_NO_THROW(stack::push(&v));

  stack::top = stack::arguments = stack::bottom;
  Cell w = word("deep");
  got = raised([&] {
    for (;;) stack::mark_native(&w);
  });
  EXPECT_EQ(got, code(ErrorCode::internal_stack_overflow));
  stack::frame_top = stack::frame_bottom;
  stack::arguments = stack::top = stack::bottom;
  EXPECT_NO_THROW(stack::mark_native(&w));
}

TEST_F(Stack, GetCallSkipsAnonymousFramesAndCollectCallsListsNamedOnes) {
  Cell none_found = stack::get_call();
  EXPECT_EQ(word::spelling(&none_found), "<not-found>");
  Cell outer = word("outer"), body = word("<body>"), anon = word("<anon>");
  stack::mark_native(&outer);  // the bottom frame: never listed by collect-calls
  stack::mark_interp_func(&outer);
  stack::mark_eval(&body);
  stack::mark_native(&anon);
  Cell call = stack::get_call();
  EXPECT_EQ(word::spelling(&call), "outer");
  EXPECT_TRUE(stack::eval_q(nullptr, false));
  EXPECT_FALSE(stack::eval_q(nullptr, true));

  Node blk = memory::alloc_cells(4);
  stack::collect_calls(blk);
  ASSERT_EQ(memory::series(blk)->length(), 2u);
  EXPECT_EQ(word::spelling(memory::series(blk)->cells()), "outer");
  EXPECT_TRUE(memory::series(blk)->cells()[1].is(TypeId::integer));
}

TEST_F(Stack, ClaimFuncFlagOnlyOnce) {
  Cell w = word("f");
  stack::mark_native(&w);
  stack::mark_native(&w);
  stack::Frame* f = stack::claim_func_flag();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(stack::claim_func_flag(), nullptr);
  stack::release_func_flag(f);
  EXPECT_NE(stack::claim_func_flag(), nullptr);
}

}  // namespace
}  // namespace qel
