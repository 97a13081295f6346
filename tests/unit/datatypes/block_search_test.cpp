// block!: find and select with their refinements, put, sort (stability,
// records, offsets, refinement errors), append/insert/change with /part and
// /dup, and the set operations.
#include "tests/unit/blocks_support.h"

namespace qel::blocks_test {
namespace {

using SearchTest = BlocksTest;

// The index (1-based) `find` answers, or 0 for none.
int32_t found(Cell series, Cell value, const FindArgs& args) {
  Cell* r = block::find(&series, &value, args);
  return r->is(TypeId::none) ? 0 : r->head() + 1;
}

TEST_F(SearchTest, FindRefinements) {
  Cell b = make({1, 2, 3, 2});
  Cell two = integer(2);
  FindArgs plain, last, tail, match, rev;
  last.last = true;
  tail.tail = true;
  match.match = true;
  rev.reverse = true;
  EXPECT_EQ(found(b, two, plain), 2);
  EXPECT_EQ(found(b, two, last), 4);
  EXPECT_EQ(found(at(b, 5), two, rev), 4);
  EXPECT_EQ(found(at(b, 4), two, rev), 2);
  EXPECT_EQ(found(b, two, tail), 3);
  EXPECT_EQ(found(b, two, match), 0);
  EXPECT_EQ(found(b, integer(1), match), 1);

  FindArgs only;
  only.only = true;
  Cell seq = make({2, 3});
  EXPECT_EQ(found(b, seq, plain), 2);
  EXPECT_EQ(found(b, seq, only), 0);
  EXPECT_EQ(found(b, make({3, 2, 9}), plain), 0);  // runs past the tail
  EXPECT_EQ(found(b, make({}), plain), 0);
  FindArgs seq_tail;
  seq_tail.tail = true;
  EXPECT_EQ(found(b, seq, seq_tail), 4);

  Cell dt;
  set_datatype(&dt, TypeId::integer);
  EXPECT_EQ(found(make({"a", 1}), dt, plain), 2);

  Cell skip2 = integer(2);
  FindArgs skip;
  skip.skip = &skip2;
  EXPECT_EQ(found(make({"a", "b", "b", "a"}), word::load("b"), skip), 3);
  Cell zero = integer(0);
  FindArgs bad_skip;
  bad_skip.skip = &zero;
  EXPECT_EQ(raised([&] { found(b, two, bad_skip); }), code(ErrorCode::script_out_of_range));
  FindArgs part0;
  part0.part = &zero;
  EXPECT_EQ(found(b, two, part0), 0);
  Cell one = integer(1);
  FindArgs part1;
  part1.part = &one;
  EXPECT_EQ(found(b, two, part1), 0);
  Cell limit = at(b, 3);
  FindArgs part_pos;
  part_pos.part = &limit;
  EXPECT_EQ(found(b, two, part_pos), 2);
  EXPECT_EQ(found(b, integer(3), part_pos), 0);  // the limit's own cell is outside

  FindArgs cased;
  cased.case_ = true;
  EXPECT_EQ(found(make({"a", "B"}), word::load("b"), plain), 2);
  EXPECT_EQ(found(make({"a", "B"}), word::load("b"), cased), 0);
}

TEST_F(SearchTest, SelectAndPut) {
  Cell b = make({"a", 1, "b", 2});
  FindArgs plain;
  Cell a = word::load("a"), bw = word::load("b"), two = integer(2);
  EXPECT_EQ(block::select(&b, &a, plain)->integer(), 1);
  EXPECT_EQ(block::select(&b, &bw, plain)->integer(), 2);
  EXPECT_TRUE(block::select(&b, &two, plain)->is(TypeId::none));
  Cell key = make({"a", 1});
  Cell c = make({"a", 1, 2});
  EXPECT_EQ(block::select(&c, &key, plain)->integer(), 2);

  Cell p = make({"a", 1});
  Cell cw = word::load("c"), three = integer(3), five = integer(5);
  block::put(&p, &cw, &three, false);
  EXPECT_EQ(mold(p), "[a 1 c 3]");
  block::put(&p, &a, &five, false);
  EXPECT_EQ(mold(p), "[a 5 c 3]");
  Cell q = make({"a"});
  block::put(&q, &a, &five, false);
  EXPECT_EQ(mold(q), "[a 5]");
}

std::string sorted(Cell b, const SortArgs& args) {
  block::sort(&b, args);
  b.set_head(0);
  return mold(b);
}

TEST_F(SearchTest, SortRefinements) {
  SortArgs plain, rev;
  rev.reverse = true;
  EXPECT_EQ(sorted(make({3, 1, 2}), plain), "[1 2 3]");
  EXPECT_EQ(sorted(make({3, 1, 2}), rev), "[3 2 1]");
  Cell two = integer(2), three = integer(3), one = integer(1);
  SortArgs skip;
  skip.skip = &two;
  EXPECT_EQ(sorted(make({"b", 2, "a", 1}), skip), "[a 1 b 2]");
  SortArgs skip3;
  skip3.skip = &three;
  EXPECT_EQ(raised([&] { sorted(make({"a", "b", "c", "d"}), skip3); }),
            code(ErrorCode::script_invalid_refine_arg));
  SortArgs all;
  all.all = true;
  EXPECT_EQ(raised([&] { sorted(make({"b", 2, "a", 1}), all); }), code(ErrorCode::script_bad_refines));
  SortArgs offset;
  offset.skip = &two;
  offset.compare = &two;
  EXPECT_EQ(sorted(make({"a", 2, "b", 1}), offset), "[b 1 a 2]");
  SortArgs bad_offset = offset;
  bad_offset.compare = &three;
  EXPECT_EQ(raised([&] { sorted(make({"a", 2, "b", 1}), bad_offset); }), code(ErrorCode::script_out_of_range));
  SortArgs offset_no_skip;
  offset_no_skip.compare = &one;
  EXPECT_EQ(raised([&] { sorted(make({1, 2}), offset_no_skip); }), code(ErrorCode::script_bad_refines));
  SortArgs whole;
  whole.skip = &two;
  whole.all = true;
  EXPECT_EQ(sorted(make({2, 9, 2, 1, 1, 5}), whole), "[1 5 2 1 2 9]");
  SortArgs part;
  part.part = &two;
  EXPECT_EQ(sorted(make({3, 2, 1}), part), "[2 3 1]");
  // A negative /part sorts the cells before the head.
  Cell b = make({3, 2, 1});
  Cell minus = integer(-2);
  SortArgs back;
  back.part = &minus;
  Cell s = at(b, 3);
  block::sort(&s, back);
  EXPECT_EQ(s.head(), 0);
  EXPECT_EQ(mold(b), "[2 3 1]");
  // Mixed types order by type id; numbers compare by value.
  Cell fl;
  set_float(&fl, 2.5);
  EXPECT_EQ(sorted(make({"b", 3, fl, 1}), plain), "[1 2.5 3 b]");
}

TEST_F(SearchTest, StableSortKeepsEqualRecordsInOrder) {
  Cell two = integer(2);
  SortArgs args;
  args.skip = &two;
  args.stable = true;
  EXPECT_EQ(sorted(make({2, "a", 1, "b", 2, "c", 1, "d"}), args), "[1 b 1 d 2 a 2 c]");
  // A longer input: every run of equal keys keeps its input order.
  Cell b;
  block::make_at(&b, 2000);
  for (int i = 0; i < 1000; i++) {
    Cell k = integer((i * 7919) % 10), v = integer(i);
    block::rs_append(&b, &k);
    block::rs_append(&b, &v);
  }
  block::sort(&b, args);
  const Cell* c = block::first_cell(&b);
  for (int i = 2; i < 2000; i += 2) {
    ASSERT_LE(c[i - 2].integer(), c[i].integer());
    if (c[i - 2].integer() == c[i].integer()) {
      ASSERT_LT(c[i - 1].integer(), c[i + 1].integer());
    }
  }
}

TEST_F(SearchTest, SortWithAFunctionMapsItsAnswer) {
  // A stand-in for the interpreter. The arguments arrive b first, a second;
  // a comparator cell holding 0 answers the logic `first > second` (as
  // `func [a b][a > b]` would), one holding 1 answers `first - second`.
  auto saved = block::call_compare_function;
  block::call_compare_function = [](Cell* fn, Cell* first, Cell* second) -> Cell* {
    Cell* r = stack::push_slot();
    if (fn->integer() == 0)
      set_logic(r, first->integer() > second->integer());
    else
      set_integer(r, first->integer() - second->integer());
    return r;
  };
  Cell fn{static_cast<uint32_t>(TypeId::function), 0, 0, 0};
  SortArgs args;
  args.compare = &fn;
  EXPECT_EQ(sorted(make({1, 3, 2}), args), "[3 2 1]");
  fn.set_integer(1);
  EXPECT_EQ(sorted(make({1, 3, 2}), args), "[1 2 3]");
  args.reverse = true;
  EXPECT_EQ(sorted(make({1, 3, 2}), args), "[3 2 1]");
  args.reverse = false;
  args.stable = true;
  EXPECT_EQ(sorted(make({5, 1, 4, 2, 3}), args), "[1 2 3 4 5]");
  block::call_compare_function = saved;
}

std::string appended(Cell target, Cell value, int32_t part, bool only, int32_t dup, bool at_tail) {
  Cell* r = block::append(&target, &value, part, only, dup, at_tail);
  return mold(*r) + " " + mold(at(target, 1));
}

TEST_F(SearchTest, AppendInsertAndChange) {
  EXPECT_EQ(appended(make({1}), make({4, 5}), -1, false, 1, true), "[1 4 5] [1 4 5]");
  EXPECT_EQ(appended(make({1}), make({4, 5}), -1, true, 1, true), "[1 [4 5]] [1 [4 5]]");
  EXPECT_EQ(appended(make({1}), integer(0), -1, false, 3, true), "[1 0 0 0] [1 0 0 0]");
  EXPECT_EQ(appended(make({}), make({"a", "b", "c"}), 2, false, 1, true), "[a b] [a b]");
  EXPECT_EQ(appended(make({"a", "b"}), word::load("x"), -1, false, 1, false), "[a b] [x a b]");
  EXPECT_EQ(appended(make({"a", "b"}), make({1, 2}), -1, false, 2, false), "[a b] [1 2 1 2 a b]");
  Cell self = make({1, 2});
  EXPECT_EQ(appended(self, self, -1, false, 1, true), "[1 2 1 2] [1 2 1 2]");
  Cell ins = make({1, 2, 3});
  EXPECT_EQ(appended(at(ins, 2), ins, -1, false, 1, false), "[2 3] [1 1 2 3 2 3]");

  // Appending one value at a time grows the buffer by doubling.
  Cell grow = make({});
  Cell one = integer(1);
  int growths = 0;
  uint32_t size = block::buffer(&grow)->size;
  for (int i = 0; i < 10000; i++) {
    block::append(&grow, &one, -1, false, 1, true);
    if (block::buffer(&grow)->size != size) {
      growths++;
      size = block::buffer(&grow)->size;
    }
  }
  EXPECT_LT(growths, 20);

  Cell c = make({"a", "b", "c"});
  Cell v = integer(1);
  EXPECT_EQ(mold(*block::change(&c, &v, -1, false, 1)), "[b c]");
  EXPECT_EQ(mold(at(c, 1)), "[1 b c]");
  Cell c2 = make({"a", "b", "c"});
  EXPECT_EQ(mold(*block::change(&c2, &v, 2, false, 1)), "[c]");
  Cell c3 = make({"a", "b", "c", "d"});
  Cell x = word::load("x");
  block::change(&c3, &x, -1, false, 3);
  EXPECT_EQ(mold(at(c3, 1)), "[x x x d]");
  Cell c4 = make({"a", "b"});
  Cell three = make({1, 2, 3});
  block::change(&c4, &three, -1, false, 1);
  EXPECT_EQ(mold(at(c4, 1)), "[1 2 3]");
  Cell c5 = make({1, 2, 3, 4});
  Cell tail_part = at(c5, 3);
  block::change(&c5, &tail_part, -1, false, 1);  // the source shares the buffer
  EXPECT_EQ(mold(at(c5, 1)), "[3 4 3 4]");
}

std::string set_op(Cell a, Cell b, MathOp op, Cell* skip = nullptr) {
  stack::reset();
  stack::push(&a);
  stack::push(&b);
  return mold(*block::do_set_op(false, skip, op));
}

TEST_F(SearchTest, SetOperations) {
  Cell ab = make({"a", "b"}), bc = make({"b", "c"});
  EXPECT_EQ(set_op(ab, bc, MathOp::union_), "[a b c]");
  EXPECT_EQ(set_op(ab, bc, MathOp::intersect), "[b]");
  EXPECT_EQ(set_op(ab, bc, MathOp::exclude), "[a]");
  EXPECT_EQ(set_op(ab, bc, MathOp::difference), "[a c]");
  EXPECT_EQ(set_op(make({"a", "a", "b"}), make({}), MathOp::unique), "[a b]");
  Cell two = integer(2);
  EXPECT_EQ(set_op(make({"a", 1, "a", 2, "b", 3}), make({}), MathOp::unique, &two), "[a 1 b 3]");
}

}  // namespace
}  // namespace qel::blocks_test
