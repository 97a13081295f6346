// string! modification: append, insert, change, swap, take, trim, and the
// case change that widens a 1-byte string.
#include "tests/unit/strings_support.h"

#include "text/case_map.h"
#include "datatypes/block.h"
#include "datatypes/word.h"

namespace qel {
namespace {
using namespace strings_test;

TEST(StringsModify, Append) {
  setup();
  Cell s = str("x"), ab = str("ab");
  string::append(&s, &ab, -1, false, 3, true);
  EXPECT_EQ(text(&s), "xababab");
  EXPECT_EQ(s.head(), 0);

  Cell blk;
  block::make_at(&blk, 2);
  Cell a = word::load("a"), b = word::load("b");
  block::rs_append(&blk, &a);
  block::rs_append(&blk, &b);
  Cell e = str("");
  string::append(&e, &blk, -1, false, 1, true);
  EXPECT_EQ(text(&e), "ab");
  Cell e1 = str("");
  string::append(&e1, &blk, 1, false, 1, true);
  EXPECT_EQ(text(&e1), "a");

  // An empty value leaves the series as it was, head included.
  Cell t = str("abc"), empty = str("");
  t.set_head(2);
  string::append(&t, &empty, -1, false, 1, true);
  EXPECT_EQ(t.head(), 2);

  // Units: 0xE9 and U+20AC widen to 2 bytes, U+1F600 straight to 4.
  struct Case {
    uint32_t cp;
    uint32_t unit;
  } cases[] = {{'z', 1}, {0xE9, 2}, {0x20AC, 2}, {0x1F600, 4}};
  for (const Case& c : cases) {
    Cell u = str("ab"), v = chr(c.cp);
    string::append(&u, &v, -1, false, 1, true);
    EXPECT_EQ(unit_of(u), c.unit) << c.cp;
    EXPECT_EQ(string::rs_abs_at(&u, 0), static_cast<uint32_t>('a'));
  }
  // A tag keeps its brackets; /part counts them.
  Cell g = str(""), tag = str("b", TypeId::tag);
  string::append(&g, &tag, -1, false, 1, true);
  EXPECT_EQ(text(&g), "<b>");
  Cell g2 = str("");
  string::append(&g2, &tag, 2, false, 1, true);
  EXPECT_EQ(text(&g2), "<b");
}

// Appending ASCII one character at a time stays 1 byte wide.
TEST(StringsModify, AppendAsciiKeepsOneByte) {
  setup();
  Cell s = str("");
  for (int i = 0; i < 100000; i++) {
    Cell c = chr('a' + (i % 26));
    string::append(&s, &c, -1, false, 1, true);
  }
  EXPECT_EQ(unit_of(s), 1u);
  EXPECT_EQ(string::rs_length_q(&s), 100000);
}

TEST(StringsModify, Insert) {
  setup();
  Cell s = str("xy"), ab = str("ab");
  s.set_head(1);
  string::append(&s, &ab, -1, false, 2, false);
  EXPECT_EQ(s.head(), 5);
  s.set_head(0);
  EXPECT_EQ(text(&s), "xababy");
  // At the tail: an append that leaves the series at its new tail.
  Cell t = str("a"), tag = str("b", TypeId::tag);
  t.set_head(1);
  string::append(&t, &tag, -1, false, 1, false);
  EXPECT_EQ(t.head(), 4);
  t.set_head(0);
  EXPECT_EQ(text(&t), "a<b>");
  // An inserted form takes /part as a character limit.
  Cell blk;
  block::make_at(&blk, 2);
  Cell wa = word::load("abc"), wb = word::load("de");
  block::rs_append(&blk, &wa);
  block::rs_append(&blk, &wb);
  Cell f = str("xy");
  f.set_head(1);
  string::append(&f, &blk, 4, false, 1, false);
  f.set_head(0);
  EXPECT_EQ(text(&f), "xabcdy");
  // Inserting a wider text widens once; a narrower one is converted.
  Cell w = str("ab"), euro = str("\xE2\x82\xAC");
  w.set_head(1);
  string::append(&w, &euro, -1, false, 1, false);
  w.set_head(0);
  EXPECT_EQ(text(&w), "a\xE2\x82\xAC" "b");
  EXPECT_EQ(unit_of(euro), 2u);
}

TEST(StringsModify, Change) {
  setup();
  Cell s = str("abc"), xy = str("XY");
  string::change(&s, &xy, -1, false, 1);
  EXPECT_EQ(s.head(), 2);
  s.set_head(0);
  EXPECT_EQ(text(&s), "XYc");
  Cell p = str("abc");
  string::change(&p, &xy, 1, false, 1);
  p.set_head(0);
  EXPECT_EQ(text(&p), "XYbc");
  // From the series itself: the characters that part held before.
  Cell self = str("abcdef"), part = self;
  part.set_head(2);
  string::change(&self, &part, 1, false, 1);
  self.set_head(0);
  EXPECT_EQ(text(&self), "cdefbcdef");
  // At the tail: appended, positioned at the new tail.
  Cell t = str("ab");
  t.set_head(2);
  string::change(&t, &xy, -1, false, 1);
  EXPECT_EQ(t.head(), 4);
}

TEST(StringsModify, SwapAndTake) {
  setup();
  Cell a = str("ab"), b = str("\xE2\x82\xAC"), n = integer(1);
  EXPECT_EQ(raised([&] { string::swap(&a, &n); }), code(ErrorCode::script_invalid_arg));
  string::swap(&a, &b);
  EXPECT_EQ(text(&a), "\xE2\x82\xAC" "b");
  EXPECT_EQ(text(&b), "a");
  Cell end = str("ab");
  end.set_head(2);
  Cell c = str("cd");
  string::swap(&c, &end);
  EXPECT_EQ(text(&c), "cd");

  Cell s = str("abc");
  Cell* r = string::take(&s, nullptr, false, false);
  EXPECT_TRUE(r->is(TypeId::char_));
  EXPECT_EQ(r->data3, static_cast<uint32_t>('a'));
  Cell two = integer(2);
  r = string::take(&s, &two, false, false);
  EXPECT_EQ(text(r), "bc");
  EXPECT_TRUE(string::take(&s, nullptr, false, false)->is(TypeId::none));
}

std::string trimmed(std::string_view in, TrimArgs a = {}) {
  Cell s = str(in);
  string::trim(&s, a);
  return text(&s);
}

TEST(StringsModify, Trim) {
  setup();
  EXPECT_EQ(trimmed("  a \n  b\n\n"), "a\nb\n");
  EXPECT_EQ(trimmed("  a \n  b\n\n", {.head = true}), "a \n  b\n\n");
  EXPECT_EQ(trimmed("  a \n  b\n\n", {.tail = true}), "  a \n  b");
  EXPECT_EQ(trimmed("  a \n  b\n\n", {.lines = true}), "a b");
  EXPECT_EQ(trimmed(" a\tb \r\nc ", {.all = true}), "abc");
  Cell ab = str("ab");
  EXPECT_EQ(trimmed("xaybzab", {.with = &ab}), "xyz");
  Cell empty = str("");
  EXPECT_EQ(trimmed("a b", {.with = &empty}), "a b");
  EXPECT_EQ(trimmed(std::string_view("a\0b", 3), {.all = true}), std::string("a\0b", 3));  // NUL is kept
  const std::string spaced = "x" + std::string(100000, ' ') + "y";
  EXPECT_EQ(trimmed(spaced), spaced);  // a long run of spaces stays linear
  EXPECT_EQ(raised([] { trimmed("a", {.auto_ = true}); }), code(ErrorCode::internal_not_done));
}

TEST(StringsModify, UppercaseWidensAOneByteString) {
  setup();
  Cell s;
  string::load_at("\xC3\xBF", 2, &s, 0);
  ASSERT_EQ(unit_of(s), 1u);
  string::change_case(&s, nullptr, unicode::Case::upper);
  EXPECT_EQ(text(&s), "\xC5\xB8");
  EXPECT_EQ(unit_of(s), 2u);
}

}  // namespace
}  // namespace qel
