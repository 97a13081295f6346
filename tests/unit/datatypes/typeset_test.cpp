// typeset! kernels: the payload bit layout, the standard typesets, the set
// operations and comparison.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/typeset.h"
#include "tests/unit/values_support.h"

namespace qel {
namespace {
using namespace testing_values;

using typeset::Bits;
using typeset::of;

Bits standard(const std::string& name) {
  for (const auto& s : typeset::standard_typesets())
    if (name == s.name) return s.bits;
  ADD_FAILURE() << "no standard typeset " << name;
  return {};
}

TEST(NumsTypeset, PayloadLayout) {
  setup();
  Cell c;
  typeset::make_at(&c, of({TypeId::datatype, TypeId::char_, TypeId::event}));
  // Id i is bit 0x80 >> (i & 7) of payload byte i >> 3; data1's first byte
  // holds ids 0-7.
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&c.data1);
  EXPECT_EQ(bytes[0], 0x40);  // id 1
  EXPECT_EQ(bytes[1], 0x20);  // id 10
  EXPECT_EQ(bytes[6], 0x02);  // id 54
  EXPECT_TRUE(typeset::has(&c, TypeId::char_));
  EXPECT_FALSE(typeset::has(&c, TypeId::integer));
  EXPECT_TRUE(c.is(TypeId::typeset));
}

TEST(NumsTypeset, StandardTypesets) {
  setup();
  const auto all = typeset::standard_typesets();
  ASSERT_EQ(all.size(), 18u);
  EXPECT_STREQ(all.front().name, "internal!");
  EXPECT_STREQ(all.back().name, "any-type!");
  struct {
    const char* name;
    TypeId type;
    bool member;
  } cases[] = {
      {"number!", TypeId::percent, true},     {"number!", TypeId::char_, false},
      {"scalar!", TypeId::point3d, true},     {"scalar!", TypeId::date, true},
      {"all-word!", TypeId::issue, true},     {"any-word!", TypeId::refinement, false},
      {"any-block!", TypeId::get_path, true}, {"any-block!", TypeId::string, false},
      {"series!", TypeId::image, true},       {"series!", TypeId::hash, true},
      {"series!", TypeId::series, false},     {"immediate!", TypeId::typeset, true},
      {"immediate!", TypeId::block, false},   {"default!", TypeId::event, true},
      {"default!", TypeId::unset, false},     {"default!", TypeId::bitset, true},
      {"any-type!", TypeId::unset, true},     {"any-function!", TypeId::routine, true},
      {"any-object!", TypeId::port, true},    {"any-string!", TypeId::ref, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(standard(c.name).has(c.type), c.member) << c.name << " " << type_name(c.type);
  EXPECT_TRUE(typeset::kDefault.has(TypeId::event));
  EXPECT_FALSE(typeset::kDefault.has(TypeId::unset));
}

TEST(NumsTypeset, SetOperations) {
  setup();
  Cell a, b;
  const Bits ints = of({TypeId::integer, TypeId::float_});
  struct {
    MathOp op;
    Bits expected;
  } cases[] = {
      {MathOp::union_, of({TypeId::integer, TypeId::float_, TypeId::string})},
      {MathOp::or_, of({TypeId::integer, TypeId::float_, TypeId::string})},
      {MathOp::intersect, of({TypeId::float_})},
      {MathOp::difference, of({TypeId::integer, TypeId::string})},
      {MathOp::exclude, of({TypeId::integer})},
      {MathOp::unique, ints},
  };
  for (const auto& c : cases) {
    typeset::make_at(&a, ints);
    typeset::make_at(&b, of({TypeId::float_, TypeId::string}));
    typeset::do_math(&a, &b, c.op);
    EXPECT_TRUE(typeset::get(&a) == c.expected) << static_cast<int>(c.op);
  }
  typeset::make_at(&a, ints);
  set_datatype(&b, TypeId::string);
  typeset::do_math(&a, &b, MathOp::union_);
  EXPECT_TRUE(typeset::has(&a, TypeId::string)) << "a datatype! counts as its one type";
  set_integer(&b, 1);
  EXPECT_EQ(raised([&] { typeset::do_math(&a, &b, MathOp::union_); }),
            code(ErrorCode::script_invalid_arg));
  typeset::make_at(&a, Bits{});
  typeset::complement(&a);
  EXPECT_TRUE(typeset::has(&a, TypeId::unset));
  EXPECT_TRUE(typeset::has(&a, TypeId::event));
}

TEST(NumsTypeset, Compare) {
  setup();
  Cell a, b;
  typeset::make_at(&a, of({TypeId::integer}));
  typeset::make_at(&b, of({TypeId::integer}));
  EXPECT_EQ(typeset::compare(&a, &b, CompareOp::equal), 0);
  EXPECT_EQ(typeset::compare(&a, &b, CompareOp::lesser), kNotComparable);
  typeset::make_at(&b, of({TypeId::float_}));
  EXPECT_EQ(typeset::compare(&a, &b, CompareOp::strict_equal), 1);
  set_integer(&b, 1);
  EXPECT_EQ(typeset::compare(&a, &b, CompareOp::equal), kNotComparable);
}

}  // namespace
}  // namespace qel
