// unset!, none! and logic!: texts, make and to, the operators, comparison
// and the truth tests.
#include "tests/unit/values_support.h"
#include "datatypes/logic.h"

namespace qel {
namespace {
using namespace testing_values;

TEST(Logic, FormsAndMolds) {
  setup();
  struct Case {
    Cell value;
    const char *form, *mold, *mold_all;
  } cases[] = {
      {unset_value, "", "unset", "#(unset)"},
      {none_value, "none", "none", "#(none)"},
      {true_value, "true", "true", "#(true)"},
      {false_value, "false", "false", "#(false)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(formed(c.value), c.form);
    EXPECT_EQ(molded(c.value), c.mold);
    EXPECT_EQ(molded(c.value, true), c.mold_all);
  }
}

TEST(Logic, MakeAndToDifferOnNumbers) {
  setup();
  Cell zero, fzero, nan, str;
  set_integer(&zero, 0);
  set_float(&fzero, 0.0);
  set_float(&nan, __builtin_nan(""));
  string::rs_make_at(&str, 4);
  struct Case {
    Cell spec;
    bool made, converted;
  } cases[] = {
      {zero, false, true}, {fzero, false, true}, {nan, true, true},
      {str, true, true},   {none_value, false, false}, {false_value, false, false},
  };
  for (const Case& c : cases) {
    Cell proto = true_value, spec = c.spec;
    EXPECT_EQ(logic::make(&proto, &spec, TypeId::logic)->data1, c.made ? 1u : 0u);
    Cell proto2 = true_value;
    EXPECT_EQ(logic::to(&proto2, &spec, TypeId::logic)->data1, c.converted ? 1u : 0u);
  }
}

TEST(Logic, OperatorsOnTheFrame) {
  setup();
  struct Case {
    bool a, b;
    MathOp op;
    bool expected;
  } cases[] = {
      {true, false, MathOp::and_, false},
      {true, true, MathOp::xor_, false},
      {false, true, MathOp::or_, true},
  };
  for (const Case& c : cases) {
    stack::top = stack::arguments = stack::bottom;
    logic::push(c.a);
    logic::push(c.b);
    EXPECT_EQ(logic::get(logic::do_math(c.op)), c.expected);
  }
  stack::top = stack::arguments = stack::bottom;
  logic::push(true);
  Cell one;
  set_integer(&one, 1);
  stack::push(&one);
  EXPECT_EQ(raised([] { datatype::row(TypeId::logic).or_(); }), code(ErrorCode::script_expect_arg));

  Cell t = true_value;
  EXPECT_FALSE(logic::get(logic::complement(&t)));
}

TEST(Logic, ComparisonOrdersOnlyForSorting) {
  setup();
  Cell t = true_value, f = false_value, n = none_value, u = unset_value;
  EXPECT_TRUE(actions::compare(&t, &t, CompareOp::equal));
  EXPECT_EQ(raised([&] { actions::compare(&f, &t, CompareOp::lesser); }),
            code(ErrorCode::script_invalid_compare));
  EXPECT_LT(logic::compare(&f, &t, CompareOp::sort), 0);
  EXPECT_EQ(none::compare(&n, &n, CompareOp::equal), 0);
  EXPECT_EQ(none::compare(&n, &u, CompareOp::equal), kNotComparable);
  EXPECT_EQ(raised([&] { actions::compare(&u, &u, CompareOp::greater); }),
            code(ErrorCode::script_invalid_compare));
}

TEST(Logic, NoneActsAsAnEmptySeries) {
  setup();
  stack::push(&none_value);
  actions::length_q(nullptr);
  EXPECT_TRUE(stack::arguments->is(TypeId::none));
  Cell n = none_value, one;
  set_integer(&one, 1);
  EXPECT_TRUE(actions::call_select(&n, &one, FindArgs{})->is(TypeId::none));
  EXPECT_EQ(raised([&] { actions::call_append(&n, &one, -1, false, 1); }),
            code(ErrorCode::script_expect_arg));
}

TEST(Logic, TruthTests) {
  setup();
  Cell name = none_value;
  EXPECT_FALSE(logic::value_true_q(&none_value, true, &name));
  EXPECT_FALSE(logic::value_true_q(&false_value, true, &name));
  EXPECT_TRUE(logic::value_true_q(&unset_value, false, &name));
  EXPECT_EQ(raised([&] { logic::value_true_q(&unset_value, true, &name); }),
            code(ErrorCode::script_no_value));
  unset::push_last();
  EXPECT_EQ(raised([] { logic::top_true_q(); }), code(ErrorCode::script_no_return));
  EXPECT_FALSE(logic::top_false_q());
  none::push_last();
  EXPECT_TRUE(logic::stack_top_false_q());  // nothing above slot 0
  logic::push(true);
  EXPECT_TRUE(logic::stack_top_true_q());
}

}  // namespace
}  // namespace qel
