// string! storage: units and widening, positions, writers, growing writes,
// loaders, concatenation across units and modes, hex texts and the
// comparison core.
#include "tests/unit/strings_support.h"
#include "tests/unit/values_support.h"
#include "datatypes/string.h"
#include "text/unicode.h"

#include <unistd.h>

namespace qel {
namespace {
using namespace testing_values;

Cell make_string(const char* utf8) {
  Cell s;
  string::rs_make_at(&s, 4);
  string::append_utf8(&s, utf8);
  return s;
}

uint32_t unit_of(const Cell& s) { return string::buffer(&s)->unit(); }

TEST(String, AppendWidensAtHexEightyWhileWritingKeepsOneByte) {
  setup();
  Cell s = make_string("ab");
  string::append_char(string::buffer(&s), 0xE9);
  EXPECT_EQ(unit_of(s), 2u);
  EXPECT_EQ(text(&s), "ab\xC3\xA9");

  Cell w = make_string("ab");
  string::overwrite_char(string::buffer(&w), 0, 0xE9);
  EXPECT_EQ(unit_of(w), 1u);
  string::insert_char(string::buffer(&w), 1, 0xFF);
  EXPECT_EQ(unit_of(w), 1u);
  EXPECT_EQ(text(&w), "\xC3\xA9\xC3\xBF" "b");

  Cell e = make_string("xy");
  string::append_char(string::buffer(&e), 0x1F600);
  EXPECT_EQ(unit_of(e), 4u);
  EXPECT_EQ(text(&e), "xy\xF0\x9F\x98\x80");
  string::append_char(string::buffer(&e), 'z');
  EXPECT_EQ(string::rs_length_q(&e), 4);
}

TEST(String, LengthsAndPositions) {
  setup();
  Cell s = make_string("0123456789");
  s.set_head(3);
  EXPECT_EQ(string::get_rest_length(&s), 10);
  EXPECT_EQ(string::rs_length_q(&s), 7);
  EXPECT_EQ(string::rs_abs_at(&s, 0), static_cast<uint32_t>('0'));
  EXPECT_EQ(string::find_char(&s, '5'), 2);
  EXPECT_EQ(string::find_char(&s, '1'), -1);
  s.set_head(20);
  EXPECT_EQ(string::rs_length_q(&s), 0);
  EXPECT_EQ(s.head(), 10);  // clamped in the cell
  EXPECT_TRUE(string::rs_tail_q(&s));
}

TEST(String, StartsWithBytes) {
  setup();
  Cell ab = make_string("ab"), abc = make_string("abc"), wide = make_string("\xC4\x80" "a");
  EXPECT_FALSE(string::starts_with_cstring(&ab, "abc"));
  EXPECT_TRUE(string::starts_with_cstring(&abc, "ab"));
  EXPECT_FALSE(string::starts_with_cstring(&wide, std::string_view("\0", 1)));
}

TEST(String, WritersGrowAndClamp) {
  setup();
  Cell s = make_string("abc");
  // An overwrite far past the end grows the buffer to fit.
  SeriesBuffer* b = string::overwrite_char(string::buffer(&s), 100, 'z');
  EXPECT_EQ(string::buffer_length(b), 101);
  EXPECT_EQ(string::rs_abs_at(&s, 100), static_cast<uint32_t>('z'));
  string::truncate_buffer(string::buffer(&s), 2);
  EXPECT_EQ(text(&s), "ab");
  string::remove_chars(string::buffer(&s), 1, 50);
  EXPECT_EQ(text(&s), "a");
  string::remove_char(string::buffer(&s), 5);
  EXPECT_EQ(text(&s), "a");
  string::rs_reset(&s);
  EXPECT_EQ(string::rs_length_q(&s), 0);
}

TEST(String, ConcatenateUnitsAndModes) {
  setup();
  Cell narrow = make_string("xy"), dst = make_string("\xC4\x80");
  string::concatenate(&dst, &narrow, -1, 0, string::Keep::no, string::Mode::append);
  EXPECT_EQ(unit_of(narrow), 2u);  // the source widened in place
  Cell narrow2 = make_string("xy"), dst2 = make_string("\xC4\x80");
  string::concatenate(&dst2, &narrow2, -1, 0, string::Keep::yes, string::Mode::append);
  EXPECT_EQ(unit_of(narrow2), 1u);
  EXPECT_EQ(text(&dst2), "\xC4\x80xy");

  Cell over = make_string("abcdef"), src = make_string("XY");
  string::concatenate(&over, &src, -1, 1, string::Keep::no, string::Mode::overwrite);
  EXPECT_EQ(text(&over), "aXYdef");
  string::concatenate(&over, &src, -1, 5, string::Keep::no, string::Mode::overwrite);
  EXPECT_EQ(text(&over), "aXYdeXY");
  string::concatenate(&over, &src, 1, 0, string::Keep::no, string::Mode::insert);
  EXPECT_EQ(text(&over), "XaXYdeXY");
  // Inserting a string into its own buffer.
  Cell self = make_string("abc");
  string::concatenate(&self, &self, -1, 1, string::Keep::no, string::Mode::insert);
  EXPECT_EQ(text(&self), "aabcbc");
}

TEST(String, HexTexts) {
  char buf[8];
  EXPECT_EQ(string::int_to_hex(0, true, buf), "00");
  EXPECT_EQ(string::int_to_hex(0x9F, true, buf), "9F");
  EXPECT_EQ(string::int_to_hex(30, true, buf), "1E");
  EXPECT_EQ(string::int_to_hex(-1, false, buf), "FFFFFFFF");
  EXPECT_EQ(string::int_to_hex(5, false, buf), "00000005");
  auto h = string::byte_to_hex(0xA7);
  EXPECT_EQ(std::string(h.chars, 2), "A7");
}

TEST(String, LoadingUtf16AndUnsupportedEncodings) {
  setup();
  const char utf16[] = {'a', 0, 0x3D, '\xD8', 0x00, '\xDE'};  // "a" U+1F600
  Cell s;
  string::load_at(utf16, sizeof utf16, &s, -1);
  EXPECT_EQ(text(&s), "a\xF0\x9F\x98\x80");
  EXPECT_EXIT(
      {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        string::load_at("x", 1, &s, 1);
      },
      ::testing::ExitedWithCode(0), "\\*\\*\\* Loading Error: input encoding unsupported");
}

// --- storage beyond the basics: growing writes, loaders, concatenation
// across units and the comparison core

namespace storage {
using namespace strings_test;

// Fault guarded: overwriting far past the end grew the buffer at most twice
// and then wrote past it.
TEST(StringStorage, OverwriteGrowsUntilThePositionFits) {
  setup();
  Cell s = str("ab");
  SeriesBuffer* b = string::overwrite_char(string::buffer(&s), 5000, 'z');
  EXPECT_GE(b->size, 5001u);
  EXPECT_EQ(string::get_rest_length(&s), 5001);
  EXPECT_EQ(string::rs_abs_at(&s, 5000), static_cast<uint32_t>('z'));
  EXPECT_EQ(string::rs_abs_at(&s, 2), 0u);  // the gap reads as NUL
}

TEST(StringStorage, LoadersChooseTheNarrowestUnit) {
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

TEST(StringStorage, CheckedLoaderRaisesInvalidUtf8) {
  setup();
  const uint8_t good[] = {'a', 0xC3, 0xA9};
  EXPECT_EQ(text(string::load_utf8_checked(good, 3)), "a\xC3\xA9");
  const uint8_t cut[] = {'a', 0xC3};
  EXPECT_EQ(raised([&] { string::load_utf8_checked(cut, 2); }), code(ErrorCode::access_invalid_utf8));
  const uint8_t bad[] = {'a', 0xFF, 'b'};
  EXPECT_EQ(raised([&] { string::load_utf8_checked(bad, 3); }), code(ErrorCode::access_invalid_utf8));
}

TEST(StringStorage, ConcatenateAcrossUnits) {
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

TEST(StringStorage, CompareValues) {
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

}  // namespace storage

}  // namespace
}  // namespace qel
