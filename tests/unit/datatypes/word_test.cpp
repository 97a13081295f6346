// word! and its subtypes: mold, form, compare, make and index?.
#include "tests/unit/values_support.h"
#include "values/context.h"
#include "datatypes/logic.h"
#include "datatypes/word.h"

namespace qel {
namespace {
using namespace testing_values;

Cell typed(TypeId t, const char* name) {
  Cell w = word::load(name);
  w.set_type(t);
  return w;
}

TEST(Word, MoldAndFormOfEachSubtype) {
  setup();
  struct Case {
    TypeId type;
    const char* mold;
  } cases[] = {
      {TypeId::word, "x"},     {TypeId::set_word, "x:"},   {TypeId::lit_word, "'x"},
      {TypeId::get_word, ":x"}, {TypeId::refinement, "/x"},
  };
  for (const Case& c : cases) {
    Cell w = typed(c.type, "x");
    EXPECT_EQ(molded(w), c.mold);
    EXPECT_EQ(formed(w), "x");
  }
  // Non-ASCII spellings go through the symbol's string form.
  EXPECT_EQ(formed(word::load("\xC3\xA9t\xC3\xA9")), "\xC3\xA9t\xC3\xA9");
}

TEST(Word, CompareCodes) {
  setup();
  Cell abc = typed(TypeId::word, "abc"), ABC = typed(TypeId::word, "ABC");
  Cell set_abc = typed(TypeId::set_word, "abc"), lit_abc = typed(TypeId::lit_word, "abc");
  Cell one;
  set_integer(&one, 1);
  EXPECT_EQ(word::compare(&abc, &ABC, CompareOp::equal), 0);
  EXPECT_NE(word::compare(&abc, &ABC, CompareOp::strict_equal), 0);
  EXPECT_EQ(word::compare(&abc, &set_abc, CompareOp::equal), 0);
  EXPECT_NE(word::compare(&abc, &set_abc, CompareOp::strict_equal), 0);
  EXPECT_EQ(word::compare(&abc, &lit_abc, CompareOp::parse_strict_equal), 0);
  EXPECT_NE(word::compare(&abc, &lit_abc, CompareOp::strict_equal), 0);
  EXPECT_EQ(word::compare(&abc, &ABC, CompareOp::find), 0);
  EXPECT_EQ(word::compare(&abc, &one, CompareOp::equal), kNotComparable);
  Cell abd = typed(TypeId::word, "abd");
  EXPECT_LT(word::compare(&abc, &abd, CompareOp::lesser), 0);
}

TEST(Word, MakeFromOtherValues) {
  setup();
  Cell slot, spec;
  Cell dt;
  set_datatype(&dt, TypeId::word);
  // A string that is one word gives that word; other text is refused.
  string::rs_make_at(&spec, 8);
  string::append_cstring(&spec, "abc");
  EXPECT_EQ(word::spelling(word::make(&slot, &spec, TypeId::word)), "abc");
  for (const char* bad : {"a b", "1", ""}) {
    string::rs_make_at(&spec, 8);
    string::append_cstring(&spec, bad);
    EXPECT_EQ(raised([&] { word::make(&slot, &spec, TypeId::word); }),
              code(ErrorCode::script_invalid_chars))
        << bad;
  }
  Cell t = true_value;
  Cell* w = word::make(&slot, &t, TypeId::word);
  EXPECT_EQ(word::spelling(w), "true");
  EXPECT_EQ(w->context(), context::global);

  Cell ref{static_cast<uint32_t>(TypeId::refinement), 0, symbol::make("abc"),
           static_cast<uint32_t>(-1)};
  w = word::make(&slot, &ref, TypeId::set_word);
  EXPECT_TRUE(w->is(TypeId::set_word));
  EXPECT_EQ(w->context(), context::global);

  Cell num;
  set_integer(&num, 1);
  EXPECT_EQ(raised([&] { word::make(&slot, &num, TypeId::word); }),
            code(ErrorCode::script_bad_to_arg));
}

TEST(Word, IndexOfBoundAndUnresolvedWords) {
  setup();
  Cell bound = word::load("index-probe");
  stack::push(&bound);
  actions::index_q(nullptr);
  EXPECT_EQ(stack::arguments->integer(), bound.word_index() + 1);

  stack::top = stack::arguments;
  Cell loose{static_cast<uint32_t>(TypeId::set_word), 0, symbol::make("q"),
             static_cast<uint32_t>(-1)};
  stack::push(&loose);
  actions::index_q(nullptr);
  EXPECT_TRUE(stack::arguments->is(TypeId::none));

  stack::top = stack::arguments;
  Cell ref = typed(TypeId::refinement, "q");
  stack::push(&ref);
  EXPECT_EQ(raised([] { actions::index_q(nullptr); }), code(ErrorCode::script_expect_arg));
}

TEST(Word, GetAndSetThroughTheStack) {
  setup();
  Cell w = word::load("gs-probe");
  EXPECT_EQ(raised([&] { word::get(&w); }), code(ErrorCode::script_no_value));
  stack::push(&w);
  stack::push(&unset_value);
  EXPECT_EQ(raised([] { word::set_from_stack(); }), code(ErrorCode::script_need_value));
  stack::top = stack::arguments = stack::bottom;
  Cell v;
  set_integer(&v, 8);
  stack::push(&w);
  stack::push(&v);
  word::set_from_stack();
  EXPECT_EQ(stack::arguments->integer(), 8);
  EXPECT_EQ(word::get(&w)->integer(), 8);
  // get-word! reads unset values without an error.
  Cell u = word::load("gs-unset");
  EXPECT_TRUE(get_word::get(&u)->is(TypeId::unset));
}

}  // namespace
}  // namespace qel
