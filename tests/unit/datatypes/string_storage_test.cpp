// string! storage beyond the basics: growing writes, loaders, concatenation
// across units and the comparison core.
#include "tests/unit/strings_support.h"

#include "text/unicode.h"

namespace qel {
namespace {
using namespace strings_test;

// Fault guarded: overwriting far past the end grew the buffer at most twice
// and then wrote past it.
TEST(StringsStorage, OverwriteGrowsUntilThePositionFits) {
  setup();
  Cell s = str("ab");
  SeriesBuffer* b = string::overwrite_char(string::buffer(&s), 5000, 'z');
  EXPECT_GE(b->size, 5001u);
  EXPECT_EQ(string::get_rest_length(&s), 5001);
  EXPECT_EQ(string::rs_abs_at(&s, 5000), static_cast<uint32_t>('z'));
  EXPECT_EQ(string::rs_abs_at(&s, 2), 0u);  // the gap reads as NUL
}

TEST(StringsStorage, LoadersChooseTheNarrowestUnit) {
  setup();
  struct Case {
    std::string_view bytes;
    int32_t encoding;
    uint32_t unit;
    int32_t length;
  } cases[] = {
      {"caf\xC3\xA9", 0, 1, 4},              // U+00E9 fits one byte when loaded
      {"\xE2\x82\xAC", 0, 2, 1},             // U+20AC
      {"a\xF0\x9F\x98\x80", 0, 4, 2},        // U+1F600
      {std::string_view("a\0\xE9\0", 4), -1, 1, 2},
      {std::string_view("=\xD8\x00\xDE", 4), -1, 4, 1},  // a surrogate pair
  };
  for (const Case& c : cases) {
    Cell out;
    string::load_at(c.bytes.data(), c.bytes.size(), &out, c.encoding);
    EXPECT_EQ(unit_of(out), c.unit) << c.bytes;
    EXPECT_EQ(string::rs_length_q(&out), c.length) << c.bytes;
  }
  Cell out;
  string::load_at(std::string_view("=\xD8\x00\xDE", 4).data(), 4, &out, -1);
  EXPECT_EQ(string::rs_abs_at(&out, 0), 0x1F600u);
}

TEST(StringsStorage, CheckedLoaderRaisesInvalidUtf8) {
  setup();
  const uint8_t good[] = {'a', 0xC3, 0xA9};
  EXPECT_EQ(text(string::load_utf8_checked(good, 3)), "a\xC3\xA9");
  const uint8_t cut[] = {'a', 0xC3};
  EXPECT_EQ(raised([&] { string::load_utf8_checked(cut, 2); }), code(ErrorCode::access_invalid_utf8));
  const uint8_t bad[] = {'a', 0xFF, 'b'};
  EXPECT_EQ(raised([&] { string::load_utf8_checked(bad, 3); }), code(ErrorCode::access_invalid_utf8));
}

TEST(StringsStorage, ConcatenateAcrossUnits) {
  setup();
  // keep? false widens a narrower source in place; keep? true leaves it.
  Cell wide = str("\xE2\x82\xAC"), src = str("ab");
  string::concatenate(&wide, &src, -1, 0, string::Keep::yes, string::Mode::append);
  EXPECT_EQ(unit_of(src), 1u);
  string::concatenate(&wide, &src, -1, 0, string::Keep::no, string::Mode::append);
  EXPECT_EQ(unit_of(src), 2u);
  EXPECT_EQ(text(&wide), "\xE2\x82\xAC" "abab");
  // Overwriting inside keeps the tail; past it extends it.
  Cell d = str("abcdef"), x = str("XY");
  string::concatenate(&d, &x, -1, 1, string::Keep::no, string::Mode::overwrite);
  EXPECT_EQ(text(&d), "aXYdef");
  string::concatenate(&d, &x, -1, 5, string::Keep::no, string::Mode::overwrite);
  EXPECT_EQ(text(&d), "aXYdeXY");
  string::concatenate(&d, &x, 1, 0, string::Keep::no, string::Mode::insert);
  EXPECT_EQ(text(&d), "XaXYdeXY");
}

TEST(StringsStorage, CompareValues) {
  setup();
  struct Case {
    const char* a;
    const char* b;
    CompareOp op;
    int32_t want;
  } cases[] = {
      {"abc", "ABC", CompareOp::equal, 0},
      {"abc", "ABC", CompareOp::strict_equal, 1},
      {"a", "ab", CompareOp::lesser, -1},
      {"b", "ab", CompareOp::lesser, 1},
      {"ab", "a", CompareOp::find, 1},
      {"\xC3\xBF", "\xC5\xB8", CompareOp::equal, 0},  // U+00FF folds to U+0178 across units
      {"\xC3\xBF", "\xC5\xB8", CompareOp::case_sort, -1},
      {"", "a", CompareOp::lesser, -1},
      {"a", "", CompareOp::lesser, 1},
  };
  for (const Case& c : cases) {
    Cell a = str(c.a), b = str(c.b);
    int32_t r = string::compare_values(&a, &b, c.op);
    EXPECT_EQ(r, c.want) << c.a << " vs " << c.b;
  }
  // Fault guarded: two empty strings in different buffers compared unequal.
  for (CompareOp op : {CompareOp::equal, CompareOp::strict_equal, CompareOp::find, CompareOp::lesser}) {
    Cell a = str(""), b = str("");
    EXPECT_EQ(string::compare_values(&a, &b, op), 0);
  }
  Cell a = str("abc"), b = str("ab");
  EXPECT_EQ(string::compare_values(&a, &b, CompareOp::equal, string::Match::prefix), 0);
  EXPECT_EQ(string::compare_values(&b, &a, CompareOp::equal, string::Match::prefix), 1);
}

}  // namespace
}  // namespace qel
