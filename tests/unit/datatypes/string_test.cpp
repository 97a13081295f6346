// string! storage: units and widening, positions, writers, concatenation,
// hex texts.
#include "tests/unit/values_support.h"
#include "datatypes/string.h"

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

}  // namespace
}  // namespace qel
