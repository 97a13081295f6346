// string! searching, selecting, sorting, path steps and set operations.
#include "tests/unit/strings_support.h"

#include <random>

#include "datatypes/block.h"
#include "datatypes/word.h"

namespace qel {
namespace {
using namespace strings_test;

// The head index `find` answers, or -1 for none.
int32_t find_at(Cell s, Cell v, FindArgs a = {}) {
  Cell* r = string::find(&s, &v, a);
  return r->is(TypeId::none) ? -1 : r->head();
}

TEST(StringsSearch, FindRefinements) {
  setup();
  Cell part3 = integer(3), part4 = integer(4), two = integer(2);
  EXPECT_EQ(find_at(str("aBc"), str("b")), 1);
  EXPECT_EQ(find_at(str("aBc"), str("b"), {.case_ = true}), -1);
  EXPECT_EQ(find_at(str("abcde"), str("cd"), {.part = &part4}), 2);
  EXPECT_EQ(find_at(str("abcde"), str("cd"), {.part = &part3}), -1);
  EXPECT_EQ(find_at(str("banana"), chr('a'), {.last = true}), 5);
  Cell tail = str("banana");
  tail.set_head(6);
  EXPECT_EQ(find_at(tail, chr('a'), {.reverse = true}), 5);
  EXPECT_EQ(find_at(tail, str("an"), {.reverse = true}), 3);
  EXPECT_EQ(find_at(str("banana"), chr('a'), {.reverse = true}), -1);   // at the head
  EXPECT_EQ(find_at(tail, chr('a'), {.reverse = true, .match = true}), -1);
  // /reverse/part searches the characters before the head, its count
  // clamped to those from the head first: from the tail, nothing.
  EXPECT_EQ(find_at(tail, chr('a'), {.part = &two, .reverse = true}), -1);
  Cell mid = str("banana");
  mid.set_head(4);
  EXPECT_EQ(find_at(mid, chr('a'), {.part = &two, .reverse = true}), 3);
  EXPECT_EQ(find_at(mid, chr('b'), {.part = &two, .reverse = true}), -1);
  EXPECT_EQ(find_at(str("banana"), str("nan"), {.tail = true}), 5);
  EXPECT_EQ(find_at(str("banana"), str("an"), {.match = true}), -1);
  EXPECT_EQ(find_at(str("banana"), str("ba"), {.match = true}), 0);
  EXPECT_EQ(find_at(str("banana"), chr('a'), {.skip = &two}), -1);  // a only at odd offsets
  EXPECT_EQ(find_at(str("a<b>c"), str("b", TypeId::tag)), 1);      // with its brackets
  EXPECT_EQ(find_at(str("say hello"), word::load("HELLO")), 4);
  EXPECT_EQ(find_at(str("x\xC3\xBF"), str("\xC5\xB8")), 1);        // folds across units
  EXPECT_EQ(find_at(str("abc"), str("")), -1);
  Cell zero = integer(0);
  EXPECT_EQ(raised([&] { find_at(str("abc"), chr('a'), {.skip = &zero}); }),
            code(ErrorCode::script_out_of_range));
  EXPECT_EQ(raised([&] { find_at(str("abc"), chr('a'), {.any = true}); }),
            code(ErrorCode::internal_not_done));
}

// The fast 1-byte paths against a plain scan, on random text over a small
// alphabet (so matches and near-matches are frequent).
TEST(StringsSearch, FastPathsAgreeWithAPlainScan) {
  setup();
  std::mt19937 rng(7);
  const std::string alphabet = "aAbB\xDF" "sS";
  std::string hay;
  for (int i = 0; i < 4000; i++) hay.push_back(alphabet[rng() % alphabet.size()]);
  Cell h;
  string::rs_make_at(&h, 4000);
  string::append_bytes(&h, hay.data(), hay.size());
  auto fold = [](unsigned char c) { return string::fold(c); };
  for (int trial = 0; trial < 300; trial++) {
    std::string pat;
    const int len = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < len; i++) pat.push_back(alphabet[rng() % alphabet.size()]);
    const int start = static_cast<int>(rng() % 100);
    for (bool case_ : {false, true}) {
      int32_t want = -1;
      for (size_t p = static_cast<size_t>(start); p + pat.size() <= hay.size() && want < 0; p++) {
        bool ok = true;
        for (size_t k = 0; k < pat.size() && ok; k++)
          ok = case_ ? hay[p + k] == pat[k]
                     : fold(static_cast<unsigned char>(hay[p + k])) == fold(static_cast<unsigned char>(pat[k]));
        if (ok) want = static_cast<int32_t>(p);
      }
      Cell v;
      string::rs_make_at(&v, 8);
      string::append_bytes(&v, pat.data(), pat.size());
      Cell s = h;
      s.set_head(start);
      EXPECT_EQ(find_at(s, v, {.case_ = case_}), want) << pat << " case " << case_;
    }
  }
}

TEST(StringsSearch, Select) {
  setup();
  Cell abc = str("abc"), a = chr('a');
  Cell* r = string::select(&abc, &a, {});
  EXPECT_TRUE(r->is(TypeId::char_));
  EXPECT_EQ(r->data3, static_cast<uint32_t>('b'));
  Cell s = str("abc"), c = chr('c');
  EXPECT_TRUE(string::select(&s, &c, {})->is(TypeId::none));
  Cell t = str("a12b"), v = str("12");
  r = string::select(&t, &v, {});
  EXPECT_EQ(r->data3, static_cast<uint32_t>('b'));
}

std::string sorted(const char* in, SortArgs a = {}) {
  Cell s = str(in);
  string::sort(&s, a);
  return text(&s);
}

TEST(StringsSearch, Sort) {
  setup();
  EXPECT_EQ(sorted("bCa"), "abC");
  EXPECT_EQ(sorted("bCa", {.case_ = true}), "Cab");
  EXPECT_EQ(sorted("bCa", {.reverse = true}), "Cba");
  // 1-byte text folds only A-Z, to lower case; wider text folds through the
  // case table, to upper case ("_" sorts after the letters).
  EXPECT_EQ(sorted("a_"), "_a");
  EXPECT_EQ(sorted("a_\xE2\x82\xAC"), "a_\xE2\x82\xAC");
  Cell two = integer(2), three = integer(3), four = integer(4);
  EXPECT_EQ(sorted("cdab", {.skip = &two}), "abcd");
  EXPECT_EQ(sorted("dbca", {.skip = &two, .compare = &two}), "cadb");
  EXPECT_EQ(raised([&] { sorted("abcdef", {.skip = &four}); }), code(ErrorCode::script_invalid_refine_arg));
  EXPECT_EQ(raised([&] { sorted("abcdef", {.skip = &two, .compare = &three}); }),
            code(ErrorCode::script_out_of_range));
  EXPECT_EQ(raised([&] { sorted("abcdef", {.all = true}); }), code(ErrorCode::script_bad_refines));
  Cell neg = integer(-2);
  Cell s = str("dcba");
  s.set_head(4);
  string::sort(&s, {.part = &neg});
  EXPECT_EQ(s.head(), 2);
  s.set_head(0);
  EXPECT_EQ(text(&s), "dcab");
}

TEST(StringsSearch, PathSteps) {
  setup();
  Cell s = str("abc"), one = integer(2);
  Cell* r = string::eval_path(&s, &one, nullptr, {});
  EXPECT_EQ(r->data3, static_cast<uint32_t>('b'));
  Cell path;
  block::make_at(&path, 2);
  Cell w = word::load("s"), x = word::load("x");
  block::rs_append(&path, &w);
  block::rs_append(&path, &x);
  path.set_type(TypeId::path);
  PathStep step;
  step.path = &path;
  EXPECT_EQ(raised([&] { string::eval_path(&s, &x, nullptr, step); }), code(ErrorCode::script_invalid_path));
  Cell b = chr('b'), z = chr('Z');
  string::eval_path(&s, &b, &z, step);
  EXPECT_EQ(text(&s), "abZ");
  Cell q = chr('q');
  EXPECT_EQ(raised([&] { string::eval_path(&s, &q, &z, step); }), code(ErrorCode::script_bad_path_set));
}

std::string set_op(const char* a, const char* b, MathOp op) {
  stack::arguments = stack::top;
  stack::push_slot();
  stack::push_slot();
  stack::arguments[0] = str(a);
  stack::arguments[1] = str(b);
  Cell* r = string::do_set_op(false, nullptr, op);
  return text(r);
}

TEST(StringsSearch, SetOperations) {
  setup();
  EXPECT_EQ(set_op("abcabc", "", MathOp::unique), "abc");
  EXPECT_EQ(set_op("ab", "bc", MathOp::union_), "abc");
  EXPECT_EQ(set_op("ab", "bc", MathOp::intersect), "b");
  EXPECT_EQ(set_op("ab", "bc", MathOp::exclude), "a");
  EXPECT_EQ(set_op("ab", "bc", MathOp::difference), "ac");
  EXPECT_EQ(set_op("aB", "b", MathOp::intersect), "B");  // folded
}

}  // namespace
}  // namespace qel
