// string! making, forming and molding: delimiters, brace balance, the escape
// table, /part, make and to.
#include "tests/unit/strings_support.h"

#include <chrono>

#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/word.h"

namespace qel {
namespace {
using namespace strings_test;

TEST(StringsMold, DelimitersAndEscapes) {
  setup();
  const std::string fifty(50, 'x'), forty_nine(49, 'x');
  struct Case {
    std::string in;
    bool all;
    std::string want;
  } cases[] = {
      {"abc", false, "\"abc\""},
      {"a\"b", false, "{a\"b}"},
      {"a\nb\nc", false, "\"a^/b^/c\""},
      {"a\nb\nc\nd", false, "{a^/b^/c^/d}"},
      {forty_nine, false, "\"" + forty_nine + "\""},
      {fifty, false, "{" + fifty + "}"},
      {"\"{a", false, "{\"^{a}"},         // an opening brace never closed
      {"\"{a}", false, "{\"{a}}"},        // every brace closed: all plain
      {"\"}{", false, "{\"^}^{}"},        // a closing brace with none open
      {"t\tc^", false, "\"t^-c^^\""},
      {"\"^", false, "{\"^^}"},
      {"\xC3\xA9", false, "\"\xC3\xA9\""},
      {"\xC3\xA9", true, "\"^(E9)\""},
      {"\xE2\x82\xAC", true, "\"^(20AC)\""},
      {"\x1E\x7F\xC2\x85", false, "\"^(1E)^~^(85)\""},
      {std::string("\0\x1B\x1C\x1D\x1F", 5), false, "\"^@^[^\\^]^_\""},
  };
  for (const Case& c : cases) EXPECT_EQ(molded(str(c.in), c.all), c.want) << c.in;
}

TEST(StringsMold, PartLimitsTheRange) {
  setup();
  Cell s = str("abcdef"), buf;
  string::rs_make_at(&buf, 16);
  Cell part = integer(2);
  const int32_t left = string::mold(&s, &buf, false, false, false, &part, 2, 0);
  EXPECT_EQ(text(&buf), "\"ab\"");  // the entry point then cuts it to 2 characters
  EXPECT_EQ(left, -2);
}

// A deep nest of braces must stay linear (each opening brace asked whether
// it is closed later).
TEST(StringsMold, DeepBracesStayFast) {
  setup();
  const std::string in = "\"" + std::string(200000, '{') + std::string(200000, '}');
  const auto t0 = std::chrono::steady_clock::now();
  const std::string out = molded(str(in));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_EQ(out, "{" + in + "}");
}

TEST(StringsMold, MakeAndTo) {
  setup();
  Cell proto, spec = integer(0);
  set_datatype(&proto, TypeId::string);
  actions::call_make(&proto, &spec);
  EXPECT_TRUE(proto.is(TypeId::string));
  EXPECT_EQ(string::rs_length_q(&proto), 0);
  EXPECT_EQ(string::buffer(&proto)->size, 16u);

  set_datatype(&proto, TypeId::string);
  spec = integer(-1);
  EXPECT_EQ(raised([&] { actions::call_make(&proto, &spec); }), code(ErrorCode::script_out_of_range));
  set_datatype(&proto, TypeId::file);
  set_none(&spec);
  EXPECT_EQ(raised([&] { actions::call_to(&proto, &spec); }), code(ErrorCode::script_bad_to_arg));

  // From a binary: UTF-8, checked.
  const uint8_t e9[] = {0xC3, 0xA9}, bad[] = {0xC3};
  binary::make_from(&spec, e9, 2);
  set_datatype(&proto, TypeId::string);
  EXPECT_EQ(text(actions::call_to(&proto, &spec)), "\xC3\xA9");
  binary::make_from(&spec, bad, 1);
  set_datatype(&proto, TypeId::string);
  EXPECT_EQ(raised([&] { actions::call_to(&proto, &spec); }), code(ErrorCode::access_invalid_utf8));

  // From a block: each item formed, nothing between.
  Cell blk;
  block::make_at(&blk, 3);
  Cell a = word::load("a"), b = str("b"), c = chr('c');
  block::rs_append(&blk, &a);
  block::rs_append(&blk, &b);
  block::rs_append(&blk, &c);
  set_datatype(&proto, TypeId::string);
  EXPECT_EQ(text(actions::call_to(&proto, &blk)), "abc");

  // The target type is kept; a text is copied.
  Cell src = str("x y");
  set_datatype(&proto, TypeId::file);
  Cell* f = actions::call_to(&proto, &src);
  EXPECT_TRUE(f->is(TypeId::file));
  EXPECT_NE(f->node(), src.node());
  EXPECT_EQ(molded(*f), "%\"x y\"");
}

TEST(StringsMold, FormIsTheText) {
  setup();
  EXPECT_EQ(formed(str("a\"b\n")), "a\"b\n");
  Cell wide;
  string::make_at_unit(&wide, 4, 4);
  Cell narrow = str("ab");
  // Forming a narrow text into a wider buffer leaves the text's own unit.
  string::form(&narrow, &wide, nullptr, string::kNoLimit);
  EXPECT_EQ(unit_of(narrow), 1u);
  EXPECT_EQ(text(&wide), "ab");
}

}  // namespace
}  // namespace qel
