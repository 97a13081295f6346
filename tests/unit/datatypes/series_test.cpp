// series! and the block cell routines: positions past a shortened buffer,
// insertion growth, and the shared series actions with their /part, /skip
// and /last rules and errors.
#include "tests/unit/blocks_support.h"
#include "datatypes/series.h"

namespace qel::blocks_test {
namespace {

using SeriesTest = BlocksTest;

TEST_F(SeriesTest, RsRoutinesClampAHeadPastTheTail) {
  Cell b = make({1, 2, 3, 4});
  Cell p = at(b, 4);
  block::rs_clear(&b);  // b is at its head: the buffer is now empty
  EXPECT_EQ(block::rs_length_q(&p), -3);
  EXPECT_EQ(block::rs_head(&p), block::rs_tail(&p));
  EXPECT_EQ(p.head(), 0);

  Cell c = make({1, 2});
  EXPECT_FALSE(block::rs_next(&c) && c.head() != 1);
  EXPECT_EQ(c.head(), 1);
  EXPECT_TRUE(block::rs_next(&c));  // one before the tail: moves and reports the tail
  EXPECT_EQ(c.head(), 2);
  EXPECT_TRUE(block::rs_next(&c));  // at the tail: stays
  EXPECT_EQ(c.head(), 2);
}

TEST_F(SeriesTest, ConstructionAndInsertionGrowth) {
  Cell b;
  block::make_at(&b, -3);
  EXPECT_EQ(block::buffer(&b)->size, 16u);
  Cell* s = block::push_only(0);
  EXPECT_EQ(block::buffer(s)->size, 16u);

  Cell full;
  block::make_at(&full, 4);
  Cell one = integer(1);
  for (int i = 0; i < 4; i++) block::rs_append(&full, &one);
  ASSERT_EQ(block::buffer(&full)->size, 64u);
  Cell x = integer(9);
  block::insert_value(&full, &x, block::Advance::yes, block::InsertAt::head);
  EXPECT_EQ(block::buffer(&full)->size, 160u);  // twice the need of 5 cells
  EXPECT_EQ(full.head(), 1);
  EXPECT_EQ(block::first_cell(&full)->integer(), 9);

  // Appending a block's own cells re-reads them after the growth.
  Cell self = make({1, 2, 3});
  block::append_cells(&self, &self);
  EXPECT_EQ(mold(self), "[1 2 3 1 2 3]");
}

TEST_F(SeriesTest, SelectWordMatchesAnyWordKindWithoutCase) {
  Cell key = word::load("a");
  key.set_type(TypeId::set_word);
  Cell b = make({key, 1, "b", 2});
  Cell upper = word::load("A");
  EXPECT_EQ(block::select_word(&b, &upper, block::Case::insensitive)->integer(), 1);
  EXPECT_TRUE(block::select_word(&b, &upper, block::Case::sensitive)->is(TypeId::none));
  Cell last = make({"x", 1, "b"});
  Cell w = word::load("b");
  EXPECT_TRUE(block::select_word(&last, &w, block::Case::insensitive)->is(TypeId::none));
}

TEST_F(SeriesTest, AtAndSkipClipTheIndex) {
  Cell b = make({1, 2, 3, 4, 5});
  struct {
    int32_t head, index, adjust, expected;
  } cases[] = {
      {0, 0, 1, 0}, {0, 1, 1, 0}, {0, -1, 1, 0}, {2, -1, 1, 1}, {0, 99, 1, 5}, {2, -5, 0, 0}, {2, 2, 0, 4},
  };
  for (const auto& c : cases) {
    Cell s = at(b, c.head + 1);
    Cell i = integer(c.index);
    EXPECT_EQ(series::clip_position(&s, &i, c.adjust), c.expected) << c.head << " " << c.index;
  }
  Cell pair{static_cast<uint32_t>(TypeId::pair), 0, 1, 1};
  EXPECT_EQ(raised([&] { series::clip_position(&b, &pair, 1); }), code(ErrorCode::script_invalid_arg));
}

TEST_F(SeriesTest, PickAndPokeCountFromTheHead) {
  Cell b = make({"a", "b", "c"});
  Cell s = at(b, 2);
  EXPECT_EQ(mold(*series::pick(&s, -1, nullptr)), "a");
  EXPECT_TRUE(series::pick(&s, 0, nullptr)->is(TypeId::none));
  EXPECT_TRUE(series::pick(&s, 3, nullptr)->is(TypeId::none));
  Cell x = word::load("x");
  EXPECT_EQ(raised([&] { series::poke(&b, 0, &x, nullptr); }), code(ErrorCode::script_out_of_range));
  EXPECT_EQ(series::poke(&s, 2, &x, nullptr), &x);
  EXPECT_EQ(mold(b), "[a b x]");

  Cell str;
  string::rs_make_at(&str, 4);
  string::append_cstring(&str, "abc");
  Cell five = integer(5);
  EXPECT_EQ(raised([&] { series::poke(&str, 1, &five, nullptr); }), code(ErrorCode::script_invalid_arg));
  Cell wide;
  set_char(&wide, 0x2022);
  series::poke(&str, 1, &wide, nullptr);
  EXPECT_EQ(text_of(&str), "\xE2\x80\xA2" "bc");  // the buffer widened
}

TEST_F(SeriesTest, CopyPartRanges) {
  Cell b = make({1, 2, 3, 4});
  struct {
    int32_t head;
    Cell part;
    const char* expected;
  } cases[] = {
      {2, integer(-2), "[1 2]"},
      {2, integer(9), "[3 4]"},
      {0, Cell{static_cast<uint32_t>(TypeId::pair), 0, 2, 4}, "[2 3]"},
      {0, at(b, 3), "[1 2]"},
      {3, at(b, 2), "[2 3]"},  // a position before the head copies backward
  };
  for (auto& c : cases) {
    Cell s = at(b, c.head + 1);
    Cell out;
    series::copy(&s, &out, &c.part, false, nullptr);
    EXPECT_EQ(mold(out), c.expected) << c.head;
  }
  Cell other = make({1});
  EXPECT_EQ(raised([&] {
              Cell out;
              series::copy(&b, &out, &other, false, nullptr);
            }),
            code(ErrorCode::script_invalid_refine_arg));
}

TEST_F(SeriesTest, MoveWithinAndBetweenBuffers) {
  struct {
    int32_t from, to, count;
    const char* expected;
  } cases[] = {
      {1, 4, 1, "[b c d a e]"}, {1, 4, 2, "[c d a b e]"}, {3, 1, 1, "[c a b d e]"},
      {1, 6, 2, "[c d e a b]"},
      {4, 5, 2, "[a b c d e]"},  // the run does not fit before the tail
  };
  for (const auto& c : cases) {
    Cell b = make({"a", "b", "c", "d", "e"});
    Cell origin = at(b, c.from), target = at(b, c.to), part = integer(c.count);
    series::move(&origin, &target, &part);
    EXPECT_EQ(mold(b), c.expected) << c.from << "->" << c.to << " x" << c.count;
  }
  Cell a = make({1, 2, 3}), t = make({9});
  Cell part = integer(2);
  series::move(&a, &t, &part);
  EXPECT_EQ(mold(a), "[3]");
  EXPECT_EQ(mold(t), "[1 2 9]");

  Cell str;
  string::rs_make_at(&str, 4);
  EXPECT_EQ(raised([&] { series::move(&a, &str, nullptr); }), code(ErrorCode::script_move_bad));
}

TEST_F(SeriesTest, TakeReverseAndRemove) {
  Cell b = make({1, 2, 3, 4});
  Cell two = integer(2);
  EXPECT_EQ(mold(*series::take(&b, &two, false, true)), "[3 4]");
  EXPECT_EQ(mold(b), "[1 2]");
  Cell empty = make({});
  EXPECT_TRUE(series::take(&empty, nullptr, false, false)->is(TypeId::none));
  Cell c = make({1, 2, 3, 4});
  Cell s = at(c, 3), zero = integer(0);
  EXPECT_EQ(mold(*series::take(&s, &zero, false, false)), "[2]");  // the item before the head
  EXPECT_EQ(mold(c), "[1 3 4]");
  Cell h = make({1, 2});
  EXPECT_EQ(mold(*series::take(&h, &zero, false, false)), "[]");
  // Two takes never share a buffer.
  Cell d = make({1, 2});
  Cell first = *series::take(&d, nullptr, false, false);
  series::take(&d, nullptr, false, false);
  EXPECT_EQ(mold(first), "[1]");

  Cell r = make({1, 2, 3, 4});
  Cell sk = integer(2);
  series::reverse(&r, nullptr, &sk);
  EXPECT_EQ(mold(r), "[3 4 1 2]");
  EXPECT_EQ(raised([&] { series::reverse(&r, nullptr, &zero); }), code(ErrorCode::script_out_of_range));
  Cell five = make({1, 2, 3, 4, 5});
  EXPECT_EQ(raised([&] { series::reverse(&five, nullptr, &sk); }), code(ErrorCode::script_invalid_refine_arg));

  Cell m = make({1, 2, 3, 4});
  Cell upto = at(m, 3);
  series::remove(&m, &upto, nullptr);
  EXPECT_EQ(mold(m), "[3 4]");
  Cell m2 = make({1, 2, 3, 4});
  Cell from = at(m2, 3), before = at(m2, 1);
  series::remove(&from, &before, nullptr);
  EXPECT_EQ(mold(m2), "[1 2 3 4]");
}

}  // namespace
}  // namespace qel::blocks_test
