// The number and small scalar types through the registry: their rows (own,
// inherited and unsupported slots) and the actions that join them to other
// modules (text scanning, symbols, binaries, the type names).
#include <cstring>
#include <string>

#include "datatypes/char.h"
#include "datatypes/float.h"
#include "datatypes/issue.h"
#include "datatypes/typeset.h"
#include "tests/unit/values_support.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "memory/root.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel {
namespace {
using namespace testing_values;

Cell text_cell(const char* utf8) {
  Cell s;
  string::load_at(utf8, std::strlen(utf8), &s, 0);
  return s;
}

Cell binary_cell(std::initializer_list<uint8_t> bytes) {
  Node n = memory::alloc_bytes(bytes.size());
  if (bytes.size() != 0) std::memcpy(memory::reserve_tail(n, bytes.size()), bytes.begin(), bytes.size());
  Cell b;
  set_series(&b, TypeId::binary, n);
  return b;
}

Cell datatype_cell(TypeId t) {
  Cell c;
  set_datatype(&c, t);
  return c;
}

TEST(NumsActions, RowsInheritWhereTheTypesSay) {
  setup();
  const ResolvedRow& i = datatype::row(TypeId::integer);
  const ResolvedRow& c = datatype::row(TypeId::char_);
  const ResolvedRow& f = datatype::row(TypeId::float_);
  const ResolvedRow& p = datatype::row(TypeId::percent);
  EXPECT_EQ(c.random, i.random);
  EXPECT_EQ(c.absolute, i.absolute);
  EXPECT_EQ(c.even_q, i.even_q);
  EXPECT_NE(c.add, i.add);
  EXPECT_EQ(c.negate, nullptr);
  EXPECT_EQ(c.round, nullptr);
  EXPECT_EQ(p.add, f.add);
  EXPECT_EQ(p.round, f.round);
  EXPECT_NE(p.form, f.form);
  EXPECT_EQ(p.and_, nullptr);
  EXPECT_EQ(datatype::row(TypeId::issue).form, datatype::row(TypeId::word).form);
  EXPECT_EQ(datatype::row(TypeId::issue).append, nullptr);
  EXPECT_NE(datatype::row(TypeId::typeset).find, nullptr);
  EXPECT_STREQ(datatype::record(TypeId::percent).name, "percent!");
}

TEST(NumsActions, ToIntegerFromOtherModules) {
  setup();
  Cell proto = datatype_cell(TypeId::integer);
  struct {
    Cell spec;
    int32_t expected;
  } cases[] = {
      {text_cell("12'345"), 12345},
      {text_cell("-2147483648"), INT32_MIN},
      {binary_cell({0x01, 0x02}), 258},
      {binary_cell({1, 2, 3, 4, 5}), 0x01020304},
      {binary_cell({}), 0},
  };
  for (auto& c : cases) {
    Cell* r = actions::call_to(&proto, &c.spec);
    EXPECT_TRUE(r->is(TypeId::integer));
    EXPECT_EQ(r->integer(), c.expected);
  }
  Cell issue;
  issue::make_at(&issue, "FFFFFFFF");
  EXPECT_EQ(actions::call_to(&proto, &issue)->integer(), -1);
  const char* bad_issues[] = {"123456789", "FG",
                              "\xC3\xA9"
                              "1"};
  for (const char* name : bad_issues) {
    issue::make_at(&issue, name);
    EXPECT_EQ(raised([&] { actions::call_to(&proto, &issue); }),
              code(ErrorCode::script_invalid_data))
        << name;
  }
  for (const char* text : {"1.5", "2147483648", "12abc"}) {
    Cell s = text_cell(text);
    EXPECT_EQ(raised([&] { actions::call_to(&proto, &s); }), code(ErrorCode::script_bad_to_arg))
        << text;
  }
  // A time outside 32 bits is an error, not -2147483648.
  Cell t;
  set_float(&t, 3.6e9, TypeId::time);
  EXPECT_EQ(raised([&] { actions::call_to(&proto, &t); }), code(ErrorCode::script_type_limit));
  set_float(&t, 1.5, TypeId::time);
  EXPECT_EQ(actions::call_to(&proto, &t)->integer(), 2);
  Cell yes = true_value;
  EXPECT_EQ(actions::call_make(&proto, &yes)->integer(), 1);
  EXPECT_EQ(raised([&] { actions::call_to(&proto, &yes); }), code(ErrorCode::script_bad_to_arg));
}

TEST(NumsActions, ToFloatAndPercentFromText) {
  setup();
  Cell f = datatype_cell(TypeId::float_);
  Cell p = datatype_cell(TypeId::percent);
  Cell s = text_cell("1,5");
  EXPECT_EQ(actions::call_to(&f, &s)->real(), 1.5);
  s = text_cell("50%");
  Cell* r = actions::call_to(&p, &s);
  EXPECT_TRUE(r->is(TypeId::percent));
  EXPECT_EQ(r->real(), 0.5);
  for (const char* text : {"", "abc", "1.5.5"}) {
    s = text_cell(text);
    EXPECT_EQ(raised([&] { actions::call_to(&f, &s); }), code(ErrorCode::script_bad_to_arg))
        << text;
  }
  Cell b = binary_cell({0x3F, 0xF0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(actions::call_to(&f, &b)->real(), 1.0);
  b = binary_cell({0x01});
  EXPECT_EQ(float_::bits(actions::call_to(&f, &b)->real()), 1u);
}

TEST(NumsActions, ToCharFromTextAndBinary) {
  setup();
  Cell proto = datatype_cell(TypeId::char_);
  Cell s = text_cell("xyz");
  EXPECT_EQ(actions::call_to(&proto, &s)->integer(), 'x');
  s = text_cell("");
  EXPECT_EQ(raised([&] { actions::call_to(&proto, &s); }), code(ErrorCode::script_bad_to_arg));
  Cell b = binary_cell({0xE2, 0x82, 0xAC});
  EXPECT_EQ(actions::call_to(&proto, &b)->integer(), 0x20AC);
  b = binary_cell({0xED, 0xA0, 0x80});  // a high surrogate is taken
  EXPECT_EQ(actions::call_to(&proto, &b)->integer(), 0xD800);
  b = binary_cell({0xC0, 0xAF});  // an overlong "/" is not
  EXPECT_EQ(raised([&] { actions::call_to(&proto, &b); }), code(ErrorCode::access_invalid_utf8));
  b = binary_cell({0xE2, 0x82});  // cut off by the tail: nothing read past it
  EXPECT_EQ(raised([&] { actions::call_to(&proto, &b); }), code(ErrorCode::script_bad_to_arg));
}

TEST(NumsActions, TextForms) {
  setup();
  Cell v;
  set_integer(&v, INT32_MIN);
  EXPECT_EQ(formed(v), "-2147483648");
  set_float(&v, 0.125, TypeId::percent);
  EXPECT_EQ(molded(v), "12.5%");
  set_float(&v, 0.1 + 0.2);
  EXPECT_EQ(formed(v), "0.3");
  EXPECT_EQ(molded(v), "0.30000000000000004");
  set_char(&v, 128);
  EXPECT_EQ(molded(v), "#\"^(80)\"");
  set_char(&v, 0xE9);
  EXPECT_EQ(molded(v), "#\"\xC3\xA9\"");
  EXPECT_EQ(molded(v, true), "#\"^(E9)\"");
  EXPECT_EQ(formed(v), "\xC3\xA9");
  issue::make_at(&v, "abc");
  EXPECT_EQ(molded(v), "#abc");
  EXPECT_EQ(formed(v), "abc");
  typeset::make_at(&v, typeset::of({TypeId::integer, TypeId::float_}));
  EXPECT_EQ(formed(v), "make typeset! [integer! float!]");
  typeset::make_at(&v, typeset::Bits{});
  EXPECT_EQ(molded(v), "make typeset! []");
  typeset::make_at(&v, typeset::of({TypeId::block}));
  Cell buf;
  string::rs_make_at(&buf, 16);
  actions::call_mold(&v, &buf, {.only = true}, nullptr, string::kNoLimit, 0);
  EXPECT_EQ(text(&buf), "block!");
}

TEST(NumsActions, IssuesAndTypesetsFromSpecs) {
  setup();
  Cell proto = datatype_cell(TypeId::issue);
  Cell spec;
  set_char(&spec, 'x');
  EXPECT_EQ(molded(*actions::call_to(&proto, &spec)), "#x");
  spec = word::load("abc");
  Cell* r = actions::call_to(&proto, &spec);
  EXPECT_TRUE(r->is(TypeId::issue));
  Cell other;
  issue::make_at(&other, "ABC");
  EXPECT_EQ(issue::compare(r, &other, CompareOp::equal), 0);
  EXPECT_EQ(issue::compare(r, &spec, CompareOp::equal), kNotComparable);

  // While start-up records words, issue makers keep theirs in the root block.
  const uint32_t roots = root::size(), stacked = stack::size();
  word::set_recording(true);
  Cell* kept = issue::push("boot");
  word::set_recording(false);
  EXPECT_EQ(root::size(), roots + 1);
  EXPECT_EQ(stack::size(), stacked);
  EXPECT_EQ(molded(*kept), "#boot");

  // make typeset! [integer! number!], with number! a word whose value is a typeset.
  Cell number = word::load("number!");
  Cell ts;
  typeset::make_at(&ts, typeset::standard_typesets()[2].bits);
  context::set(&number, &ts);
  Cell blk;
  block::make_at(&blk, 2);
  Cell dt = datatype_cell(TypeId::block);
  block::rs_append(&blk, &dt);
  block::rs_append(&blk, &number);
  Cell tproto = datatype_cell(TypeId::typeset);
  r = actions::call_make(&tproto, &blk);
  EXPECT_EQ(formed(*r), "make typeset! [block! integer! float! percent!]");
  set_integer(&dt, 1);
  block::rs_append(&blk, &dt);
  EXPECT_EQ(raised([&] { actions::call_make(&tproto, &blk); }),
            code(ErrorCode::script_invalid_arg));
}

}  // namespace
}  // namespace qel
