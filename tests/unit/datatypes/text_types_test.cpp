// The other text types and binary!: binary bytes and forms, base-N
// encodings, URL escaping, file, tag, email and ref forms and paths.
#include "tests/unit/strings_support.h"

#include "datatypes/base_n.h"
#include "datatypes/binary.h"
#include "datatypes/email.h"
#include "datatypes/file.h"
#include "datatypes/url.h"
#include "runtime/platform.h"
#include "datatypes/word.h"

namespace qel {
namespace {
using namespace strings_test;

Cell bin(std::initializer_list<uint8_t> bytes) {
  Cell b;
  std::vector<uint8_t> v(bytes);
  binary::make_from(&b, v.data(), v.size());
  return b;
}

std::string hex(const Cell& b) {
  Cell c = b;
  std::string out;
  const uint8_t* p = binary::rs_head(&c);
  for (int32_t i = 0; i < binary::rs_length(&c); i++) {
    auto h = string::byte_to_hex(p[i]);
    out.append(h.chars, 2);
  }
  return out;
}

TEST(StringsTypes, BinaryAppendAndTo) {
  setup();
  Cell b = bin({}), minus1 = integer(-1), big = integer(256);
  binary::insert(&b, &minus1, -1, false, 1, true);
  EXPECT_EQ(hex(b), "FF");
  EXPECT_EQ(raised([&] { binary::insert(&b, &big, -1, false, 1, true); }), code(ErrorCode::script_invalid_arg));
  Cell e = str("\xC3\xA9");
  binary::insert(&b, &e, -1, false, 2, true);
  EXPECT_EQ(hex(b), "FFC3A9C3A9");

  Cell proto;
  set_datatype(&proto, TypeId::binary);
  Cell one;
  set_float(&one, 1.0);
  EXPECT_EQ(hex(*binary::to(&proto, &one, TypeId::binary)), "3FF0000000000000");
  Cell i = integer(1);
  EXPECT_EQ(hex(*binary::to(&proto, &i, TypeId::binary)), "00000001");
  Cell w = word::load("w");
  EXPECT_EQ(raised([&] { binary::to(&proto, &w, TypeId::binary); }), code(ErrorCode::script_bad_to_arg));
}

TEST(StringsTypes, BinaryFormsCompareAndTrim) {
  setup();
  EXPECT_EQ(molded(bin({1, 2})), "#{0102}");
  std::vector<uint8_t> bytes31(31, 0xAB);
  Cell b31;
  binary::make_from(&b31, bytes31.data(), bytes31.size());
  std::string digits;
  for (int i = 0; i < 31; i++) digits += "AB";
  EXPECT_EQ(molded(b31), "#{\n    " + digits + "\n    }");  // more than 30 bytes break lines
  Cell a = bin({1}), c = bin({1, 0});
  EXPECT_LT(binary::compare(&a, &c, CompareOp::lesser), 0);
  EXPECT_NE(binary::compare(&a, &c, CompareOp::equal), 0);
  Cell t = bin({0, 0, 1, 2, 0});
  binary::trim(&t, {});
  EXPECT_EQ(hex(t), "0102");
  Cell h = bin({0, 0, 1, 2, 0});
  binary::trim(&h, {.head = true});
  EXPECT_EQ(hex(h), "010200");
  Cell l = bin({1});
  EXPECT_EQ(raised([&] { binary::trim(&l, {.lines = true}); }), code(ErrorCode::internal_not_done));
}

TEST(StringsTypes, BinaryLogic) {
  setup();
  stack::arguments = stack::top;
  Cell lhs = bin({0xFF, 0x00, 0xFF}), rhs = bin({0x0F});
  stack::push(&lhs);
  stack::push(&rhs);
  datatype::row(TypeId::binary).and_();
  EXPECT_EQ(hex(stack::arguments[0]), "0F0000");
  stack::arguments[0] = bin({0xFF, 0x00, 0xFF});
  datatype::row(TypeId::binary).or_();
  EXPECT_EQ(hex(stack::arguments[0]), "FF00FF");
}

std::string enbase(Cell v, int base) {
  Cell b = integer(base), out;
  base_n::enbase(&v, &b, &out);
  return text(&out);
}

// The decoded bytes, or "none".
std::string debase(std::string_view text, int base) {
  Cell v = str(text), b = integer(base), out;
  base_n::debase(&v, &b, &out);
  return out.is(TypeId::none) ? "none" : hex(out);
}

TEST(StringsTypes, BaseN) {
  setup();
  EXPECT_EQ(enbase(str("ab"), 64), "YWI=");
  EXPECT_EQ(enbase(str("abc"), 64), "YWJj");
  EXPECT_EQ(enbase(bin({0, 0, 1}), 58), "112");
  EXPECT_EQ(enbase(bin({0xAB, 0x01}), 16), "AB01");
  EXPECT_EQ(enbase(bin({0x81}), 2), "10000001");
  EXPECT_EQ(debase("112", 58), "000001");
  EXPECT_EQ(debase("ABC", 16), "AB");
  EXPECT_EQ(debase("AG", 16), "none");
  EXPECT_EQ(debase("YW Jj\n;comment\n", 64), "616263");
  EXPECT_EQ(debase("YW'Jj", 64), "616263");
  EXPECT_EQ(debase("YWI=", 64), "6162");
  EXPECT_EQ(debase("Y===", 64), "none");
  EXPECT_EQ(debase("1000 0001", 2), "81");
  EXPECT_EQ(debase("100000011", 2), "none");
  // Fault guarded: characters above 127 were cut to 7 bits (base 16) or
  // used as a table index (base 64).
  EXPECT_EQ(debase("\xC3\x81" "B", 16), "none");   // U+00C1 is not the digit A
  EXPECT_EQ(debase("\xE4\xB8\x80" "1", 16), "none");
  EXPECT_EQ(debase("YW\xC3\xA9Jj", 64), "none");
  EXPECT_EQ(debase("11\xC3\xA9zz", 58), "0000");  // base 58 ends the text there
  Cell seven = integer(7), s = str("a"), out;
  EXPECT_EQ(raised([&] { base_n::enbase(&s, &seven, &out); }), code(ErrorCode::script_invalid_arg));
}

std::string dehex(std::string_view in) {
  Cell s = str(in), out = str("");
  url::dehex(&s, &out);
  return text(&out);
}

TEST(StringsTypes, UrlEscapes) {
  setup();
  EXPECT_EQ(dehex("a%20b"), "a b");
  EXPECT_EQ(dehex("%C3%A9"), "\xC3\xA9");
  EXPECT_EQ(dehex("%C3"), "%C3");
  EXPECT_EQ(dehex("%41%42"), "AB");
  EXPECT_EQ(dehex("%zz"), "%zz");
  EXPECT_EQ(dehex("%80"), "\xC2\x80");
  Cell s = str("a b/c"), strict = str(""), lenient = str("");
  url::enhex(&s, &strict, url::Escape::strict);
  url::enhex(&s, &lenient, url::Escape::lenient);
  EXPECT_EQ(text(&strict), "a%20b%2Fc");
  EXPECT_EQ(text(&lenient), "a%20b/c");
  EXPECT_EQ(molded(str("http://x/a b\xC3\xA9", TypeId::url)), "http://x/a%20b%C3%A9");
}

TEST(StringsTypes, FileFormsAndPaths) {
  setup();
  EXPECT_EQ(molded(str("my file.txt", TypeId::file)), "%\"my file.txt\"");
  EXPECT_EQ(molded(str("", TypeId::file)), "%\"\"");
  EXPECT_EQ(molded(str("\xC3\xA9t\xC3\xA9", TypeId::file)), "%\xC3\xA9t\xC3\xA9");
  for (const char* dir : {"dir", "dir/"}) {
    Cell f = str(dir, TypeId::file), e = word::load("file.txt");
    Cell* r = url::eval_path(&f, &e, nullptr, {});
    EXPECT_TRUE(r->is(TypeId::file));
    EXPECT_EQ(text(r), "dir/file.txt");
    EXPECT_EQ(text(&f), dir);
  }
  Cell f = str("x", TypeId::url), e = word::load("y"), v = str("z");
  EXPECT_EQ(raised([&] { url::eval_path(&f, &e, &v, {}); }), code(ErrorCode::script_bad_path_set));
  // Local forms are POSIX paths.
  Cell rel = str("dir/sub", TypeId::file), out = str("");
  file::to_local_path(&rel, &out, false);
  EXPECT_EQ(text(&out), "dir/sub");
  Cell full = str("");
  file::to_local_path(&rel, &full, true);
  EXPECT_EQ(text(&full), *platform::get_current_dir() + "/dir/sub");
  Cell abs = str("/c/x", TypeId::file), out2 = str("");
  file::to_local_path(&abs, &out2, true);
  EXPECT_EQ(text(&out2), "/c/x");
}

TEST(StringsTypes, TagEmailRef) {
  setup();
  EXPECT_EQ(formed(str("b", TypeId::tag)), "<b>");
  EXPECT_EQ(molded(str("b", TypeId::tag)), "<b>");
  EXPECT_EQ(molded(str("abc", TypeId::ref)), "@abc");
  EXPECT_EQ(formed(str("abc", TypeId::ref)), "abc");
  EXPECT_EQ(molded(str("name@example", TypeId::email)), "name@example");
  Cell e = str("name@example", TypeId::email), user = word::load("user"), host = word::load("host");
  EXPECT_EQ(text(email::eval_path(&e, &user, nullptr, {})), "name");
  EXPECT_EQ(text(email::eval_path(&e, &host, nullptr, {})), "example");
  Cell other = str("other");
  email::eval_path(&e, &host, &other, {});
  EXPECT_EQ(text(&e), "name@other");
  Cell bare = str("nobody", TypeId::email);
  EXPECT_EQ(text(email::eval_path(&bare, &user, nullptr, {})), "nobody");
  EXPECT_EQ(text(email::eval_path(&bare, &host, nullptr, {})), "");
  Cell port = word::load("port");
  EXPECT_EQ(raised([&] { email::eval_path(&e, &port, nullptr, {}); }), code(ErrorCode::script_invalid_path));
}

}  // namespace
}  // namespace qel
