// Action entry points, the cycle guard and the interpreter's fast paths.
#include "core/cycle_guard.h"
#include "tests/unit/values_support.h"
#include "datatypes/logic.h"
#include "datatypes/word.h"

namespace qel {
namespace {
using namespace testing_values;

TEST(Actions, FormAndMoldEntriesHonourPart) {
  setup();
  Cell part;
  set_integer(&part, 2);
  stack::push(&true_value);
  stack::push(&part);
  const int32_t mold_refs[] = {-1, 0, -1, 1};  // /all /part 2
  actions::mold(mold_refs);
  EXPECT_EQ(text(stack::arguments), "#(");
  EXPECT_EQ(stack::size(), 1u);

  stack::top = stack::arguments = stack::bottom;
  stack::push(&false_value);
  set_integer(&part, 0);
  stack::push(&part);
  const int32_t form_refs[] = {1};
  actions::form(form_refs);
  EXPECT_TRUE(stack::arguments->is(TypeId::string));
  EXPECT_EQ(text(stack::arguments), "");

  stack::top = stack::arguments = stack::bottom;
  stack::push(&false_value);
  const int32_t no_part[] = {-1};
  actions::form(no_part);
  EXPECT_EQ(text(stack::arguments), "false");
}

TEST(Actions, IndexArgument) {
  setup();
  Cell c;
  struct Case {
    Cell value;
    int32_t index;
  } cases[] = {{true_value, 1}, {false_value, 2}, {none_value, 0}};
  for (const Case& k : cases) {
    stack::top = stack::arguments = stack::bottom;
    stack::push(&none_value);
    stack::push(&k.value);
    EXPECT_EQ(actions::index_argument(), k.index);
  }
  set_char(&c, 'a');
  stack::top = stack::arguments + 1;
  stack::push(&c);
  EXPECT_EQ(actions::index_argument(), 'a');
}

TEST(Actions, UnsupportedActionRaisesExpectArg) {
  setup();
  Cell t = true_value;
  EXPECT_EQ(raised([&] { actions::call_length_q(&t); }), code(ErrorCode::script_expect_arg));
  Cell dt;
  set_datatype(&dt, TypeId::datatype);
  Cell spec = none_value;
  EXPECT_EQ(raised([&] { actions::call_make(&dt, &spec); }), code(ErrorCode::script_expect_arg));
  Cell elem;
  set_integer(&elem, 1);
  EXPECT_EQ(raised([&] { actions::call_eval_path(&t, &elem, nullptr, PathStep{}); }),
            code(ErrorCode::script_bad_path_type2));
}

TEST(Actions, FastMathWidensOverflowToFloat) {
  struct Case {
    int32_t a, b;
    MathOp op;
    TypeId type;
    double expected;
  } cases[] = {
      {2147483647, 1, MathOp::add, TypeId::float_, 2147483648.0},
      {-2147483647 - 1, 1, MathOp::subtract, TypeId::float_, -2147483649.0},
      {65536, 65536, MathOp::multiply, TypeId::float_, 4294967296.0},
      {6, 3, MathOp::and_, TypeId::integer, 2},
      {6, 3, MathOp::xor_, TypeId::integer, 5},
      {-5, 2, MathOp::add, TypeId::integer, -3},
  };
  for (const Case& c : cases) {
    Cell a, b, out;
    set_integer(&a, c.a);
    set_integer(&b, c.b);
    ASSERT_TRUE(actions::fast_math(c.op, &a, &b, &out));
    EXPECT_EQ(out.type(), c.type);
    EXPECT_EQ(c.type == TypeId::float_ ? out.real() : out.integer(), c.expected);
  }
  Cell x, y, out;
  set_float(&x, 0.5);
  set_float(&y, 0.25);
  ASSERT_TRUE(actions::fast_math(MathOp::subtract, &x, &y, &out));
  EXPECT_EQ(out.real(), 0.25);
  EXPECT_FALSE(actions::fast_math(MathOp::divide, &x, &y, &out));
}

TEST(Actions, CompareOperatorsFastAndGeneric) {
  setup();
  Cell one, two, word = word::load("lesser?");
  set_integer(&one, 1);
  set_integer(&two, 2);
  EXPECT_TRUE(actions::compare_op(CompareOp::lesser, &word, &one, &two)->logic());
  EXPECT_TRUE(actions::compare_op_test(CompareOp::equal, &word, &one, &two, true));
  EXPECT_FALSE(actions::compare_op_int_test(CompareOp::equal, &word, &one, 1, true));
  // A pair that is not two integers goes through the type's compare.
  Cell t = true_value;
  const uint32_t before = stack::size();
  EXPECT_TRUE(actions::compare_op(CompareOp::equal, &word, &t, &t)->logic());
  EXPECT_EQ(stack::size(), before + 1);
  EXPECT_EQ(stack::frame_count(), 0u);
  EXPECT_EQ(raised([&] { actions::compare_op(CompareOp::lesser, &word, &t, &one); }),
            code(ErrorCode::script_invalid_compare));
  EXPECT_FALSE(actions::compare(&t, &one, CompareOp::equal));
  EXPECT_TRUE(actions::compare(&t, &one, CompareOp::not_equal));
}

TEST(Actions, BlockFastPaths) {
  setup();
  Node n = memory::alloc_cells(3);
  for (int i = 1; i <= 3; i++) set_integer(append_slot(n), i * 10);
  Cell blk;
  set_series(&blk, TypeId::block, n, 1);
  Cell w = word::load("pick");
  struct Pick {
    int32_t index;
    int32_t expected;  // -1: none
  } picks[] = {{0, -1}, {1, 20}, {2, 30}, {3, -1}, {-1, -1}};
  for (const Pick& p : picks) {
    Cell* r = actions::pick_fast(&blk, p.index, &w);
    if (p.expected < 0)
      EXPECT_TRUE(r->is(TypeId::none)) << p.index;
    else
      EXPECT_EQ(r->integer(), p.expected);
  }
  blk.set_head(5);  // beyond the tail
  EXPECT_TRUE(actions::series_query_fast(&blk, actions::SeriesQuery::tail_q, &w)->logic());
  EXPECT_EQ(actions::series_query_fast(&blk, actions::SeriesQuery::length_q, &w)->integer(), 0);
  EXPECT_EQ(actions::series_query_fast(&blk, actions::SeriesQuery::tail, &w)->head(), 3);
  EXPECT_EQ(actions::series_query_fast(&blk, actions::SeriesQuery::index_q, &w)->integer(), 6);
}

TEST(CycleGuard, DepthLimitMarkersAndDrop) {
  setup();
  cycle_guard::reset();
  for (uint32_t i = 1; i < cycle_guard::kCapacity; i++) cycle_guard::push(i);
  EXPECT_EQ(cycle_guard::depth(), 999u);
  EXPECT_EQ(raised([] { cycle_guard::push(5000); }), code(ErrorCode::internal_too_deep));
  EXPECT_EQ(cycle_guard::depth(), 0u);  // emptied for the next walk

  cycle_guard::push(7);
  cycle_guard::drop(5);  // clamped at the base
  EXPECT_EQ(cycle_guard::depth(), 0u);
  cycle_guard::pop();
  EXPECT_EQ(cycle_guard::depth(), 0u);

  Node n = memory::alloc_cells(1);
  Cell blk, paren, buf;
  set_series(&blk, TypeId::block, n);
  set_series(&paren, TypeId::paren, n);
  string::rs_make_at(&buf, 8);
  int32_t limit = 100;
  EXPECT_FALSE(cycle_guard::detect(&blk, &buf, limit, cycle_guard::Output::mold));
  {
    cycle_guard::Scope scope(cycle_guard::identity(&blk));
    EXPECT_TRUE(cycle_guard::detect(&blk, &buf, limit, cycle_guard::Output::mold));
    EXPECT_TRUE(cycle_guard::detect(&paren, &buf, limit, cycle_guard::Output::mold));
    EXPECT_TRUE(cycle_guard::detect(&blk, &buf, limit, cycle_guard::Output::form));
  }
  EXPECT_EQ(text(&buf), "[...](...)...");
  EXPECT_EQ(limit, 100 - 13);
  EXPECT_EQ(cycle_guard::depth(), 0u);
}

}  // namespace
}  // namespace qel
