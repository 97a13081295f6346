// block!: molding with new-line markers and indentation, forming, the cycle
// guard (repeated blocks, deep copies, nesting depth), comparison and the
// path family's text forms.
#include "datatypes/path.h"
#include "tests/unit/blocks_support.h"
#include "datatypes/series.h"

namespace qel::blocks_test {
namespace {

using BlockTest = BlocksTest;

Cell line(Cell c) {
  c.set_flag(cell_flag::new_line);
  return c;
}
Cell word_on_line(const char* name) { return line(word::load(name)); }

TEST_F(BlockTest, MoldWritesNewLinesAndIndentation) {
  Cell b = make({word_on_line("a"), "b", word_on_line("c")});
  EXPECT_EQ(mold(b), "[\n    a b\n    c\n]");
  EXPECT_EQ(mold(b, false, true), "[a b c]");
  EXPECT_EQ(mold(b, true), "a b\nc");
  Cell inner = make({word_on_line("x")});
  Cell outer = make({"a", line(inner)});
  EXPECT_EQ(mold(outer), "[a\n[\n    x\n]]");
  Cell nested = make({word_on_line("a"), line(make({word_on_line("b")}))});
  EXPECT_EQ(mold(nested), "[\n    a\n    [\n        b\n    ]\n]");
}

TEST_F(BlockTest, MoldPartStopsAtTheLimit) {
  Cell b = make({1, 2, 3});
  Cell buf;
  string::rs_make_at(&buf, 16);
  Cell part = integer(4);
  int32_t left = actions::call_mold(&b, &buf, {}, &part, 4, 0);
  EXPECT_LE(left, 0);
  EXPECT_EQ(text_of(&buf).substr(0, 4), "[1 2");
}

TEST_F(BlockTest, FormSeparatesWithBlanksUnlessALineEnded) {
  if (!datatype::is_registered(TypeId::string)) GTEST_SKIP() << "string! is not registered yet";
  Cell str;
  string::rs_make_at(&str, 4);
  string::append_cstring(&str, "x\n");
  Cell b = make({1, str, make({2, 3}), 4});
  EXPECT_EQ(form(b), "1 x\n2 3 4");
}

TEST_F(BlockTest, RepeatedBlocksAndDeepCopies) {
  Cell b = make({1});
  block::rs_append(&b, &b);
  EXPECT_EQ(mold(b), "[1 [...]]");
  EXPECT_EQ(form(b), "1 ...");
  EXPECT_EQ(raised([&] {
              Cell out;
              block::copy(&b, &out, nullptr, true, nullptr);
            }),
            code(ErrorCode::internal_no_cycle));
  EXPECT_EQ(cycle_guard::depth(), 0u);
  // Regression: a deep clone of a block that holds itself recursed forever.
  EXPECT_EQ(raised([&] {
              Cell out;
              block::clone_into(&b, &out, block::Deep::yes, block::AnyBlock::no);
            }),
            code(ErrorCode::internal_no_cycle));
  EXPECT_EQ(actions::compare_values(&b, &b, CompareOp::equal), 0);
}

TEST_F(BlockTest, DeepCloneFollowsTheAnyBlockFlag) {
  Cell paren = make({"d"});
  paren.set_type(TypeId::paren);
  Cell src = make({"a", make({"b", make({"c"})}), paren});
  Cell shallow, deep;
  block::clone_into(&src, &shallow, block::Deep::yes, block::AnyBlock::no);
  block::clone_into(&src, &deep, block::Deep::yes, block::AnyBlock::yes);
  EXPECT_EQ(mold(deep), "[a [b [c]] (d)]");
  EXPECT_NE(block::rs_abs_at(&shallow, 1)->node(), block::rs_abs_at(&src, 1)->node());
  EXPECT_EQ(block::rs_abs_at(&shallow, 2)->node(), paren.node());
  EXPECT_NE(block::rs_abs_at(&deep, 2)->node(), paren.node());
}

TEST_F(BlockTest, NestingBeyondTheGuardIsAnError) {
  auto nest = [](int levels) {
    Cell b = make({});
    for (int i = 1; i < levels; i++) b = make({b});
    return b;
  };
  EXPECT_EQ(mold(nest(999)).size(), 1998u);
  Cell deep = nest(1000);
  EXPECT_EQ(raised([&] { mold(deep); }), code(ErrorCode::internal_too_deep));
  EXPECT_EQ(mold(make({1})), "[1]");  // the next walk starts with an empty guard
  EXPECT_EQ(raised([&] {
              Cell out;
              block::copy(&deep, &out, nullptr, true, nullptr);
            }),
            code(ErrorCode::internal_too_deep));
}

TEST_F(BlockTest, CompareOrdersByElementsThenLength) {
  Cell fl;
  set_float(&fl, 1.0);
  struct {
    Cell a, b;
    CompareOp op;
    bool expected;
  } cases[] = {
      {make({1, 2}), make({1, 2, 3}), CompareOp::lesser, true},
      {make({}), make({1}), CompareOp::lesser, true},
      {make({1, 2}), make({fl, 2}), CompareOp::equal, true},
      {make({1, 2}), make({1, 3}), CompareOp::equal, false},
      {make({1, 3}), make({1, 2, 9}), CompareOp::greater, true},
      {make({"a"}), make({1}), CompareOp::greater, true},  // word! orders after integer!
  };
  for (auto& c : cases) EXPECT_EQ(actions::compare(&c.a, &c.b, c.op), c.expected);
  Cell b = make({1});
  Cell p = b;
  p.set_type(TypeId::paren);
  EXPECT_EQ(block::compare(&b, &p, CompareOp::equal), kNotComparable);
}

TEST_F(BlockTest, PathsAndParensWriteTheirOwnForms) {
  Cell b = make({"a", "b", "c"});
  const struct {
    TypeId type;
    const char* molded;
  } cases[] = {
      {TypeId::path, "a/b/c"},
      {TypeId::lit_path, "'a/b/c"},
      {TypeId::set_path, "a/b/c:"},
      {TypeId::get_path, ":a/b/c"},
      {TypeId::paren, "(a b c)"},
  };
  for (const auto& c : cases) {
    Cell v = b;
    v.set_type(c.type);
    EXPECT_EQ(mold(v), c.molded);
    EXPECT_EQ(form(v), c.type == TypeId::paren ? "a b c" : "a/b/c");
  }
  Cell e;
  path::make_at(&e, 0);
  e.set_type(TypeId::set_path);
  EXPECT_EQ(mold(e), ":");
  Cell p = b;
  p.set_type(TypeId::path);
  block::rs_append(&p, &p);
  EXPECT_EQ(mold(p), "a/b/c/...");
}

TEST_F(BlockTest, PathStepsPickSelectAndSet) {
  Cell b = make({"x", 10, "y", 20});
  Cell y = word::load("Y"), two = integer(2), five = integer(5);
  EXPECT_EQ(block::eval_path(&b, &y, nullptr, PathStep{})->integer(), 20);
  EXPECT_EQ(block::eval_path(&b, &two, nullptr, PathStep{})->integer(), 10);
  Cell x = word::load("x");
  block::eval_path(&b, &x, &five, PathStep{});
  EXPECT_EQ(mold(b), "[x 5 y 20]");
  Cell z = word::load("z");
  EXPECT_EQ(raised([&] { block::eval_path(&b, &z, &five, PathStep{}); }), code(ErrorCode::script_bad_path_set));
}

TEST_F(BlockTest, MakeAndTo) {
  Cell proto;
  set_datatype(&proto, TypeId::block);
  Cell minus = integer(-5);
  Cell* made = block::make(&proto, &minus, TypeId::block);
  EXPECT_EQ(mold(*made), "[]");
  Cell src = make({1, 2});
  Cell* copied = block::make(&proto, &src, TypeId::paren);
  EXPECT_EQ(mold(*copied), "(1 2)");
  EXPECT_NE(copied->node(), src.node());
  Cell five = integer(5);
  EXPECT_EQ(mold(*block::to(&proto, &five, TypeId::block)), "[5]");
  Cell none{static_cast<uint32_t>(TypeId::none), 0, 0, 0};
  EXPECT_EQ(raised([&] { block::make(&proto, &none, TypeId::block); }), code(ErrorCode::script_bad_make_arg));
}

TEST_F(BlockTest, TrimDropsNoneValues) {
  Cell b = make({1, Cell{static_cast<uint32_t>(TypeId::none), 0, 0, 0}, 2, "none"});
  block::trim(&b, TrimArgs{});
  EXPECT_EQ(mold(b), "[1 2 none]");
}

}  // namespace
}  // namespace qel::blocks_test
