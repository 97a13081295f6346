// Case mapping: the documented rows, the ASCII fast path, and in-place case
// changes that widen strings.
#include <gtest/gtest.h>

#include <vector>

#include "text/case_map.h"
#include "memory/series.h"
#include "text/unicode.h"
#include "core/unwind.h"
#include "datatypes/init.h"
#include "datatypes/string.h"

namespace qel {
namespace {

using unicode::Case;
using CodePoints = std::vector<uint32_t>;

class TextCase : public ::testing::Test {
 protected:
  // The value model too: a bad /part raises an error naming the refinement.
  void SetUp() override { values::init(); }
};

Cell make_string(const CodePoints& cps, uint32_t unit, TypeId type = TypeId::string) {
  Node node = memory::alloc_series(cps.size() + 1, unit);
  SeriesBuffer* s = memory::series(node);
  for (uint32_t cp : cps) {
    unicode::write_unit(s->tail_ptr(), unit, cp);
    s->tail += unit;
  }
  Cell c;
  set_series(&c, type, node);
  return c;
}

CodePoints chars_of(const Cell& c) {
  SeriesBuffer* s = memory::series(c.node());
  CodePoints out;
  for (uint32_t i = 0; i < s->length(); i++) out.push_back(unicode::read_unit(s->head_ptr() + i * s->unit(), s->unit()));
  return out;
}

TEST_F(TextCase, DocumentedRows) {
  struct Row {
    uint32_t cp;
    Case c;
    uint32_t want;
  } rows[] = {
      {0x61, Case::upper, 0x41},     {0x41, Case::lower, 0x61},     {0xB5, Case::upper, 0x39C},
      {0x1F80, Case::upper, 0x1F88}, {0xFF, Case::upper, 0x178},    {0x131, Case::upper, 0x49},
      {0x17F, Case::upper, 0x53},    {0x1C5, Case::upper, 0x1C4},   {0x1C6, Case::upper, 0x1C4},
      {0x3C2, Case::upper, 0x3A3},   {0x130, Case::lower, 0x69},    {0x1C4, Case::lower, 0x1C6},
      {0x1C5, Case::lower, 0x1C6},   {0x1E9E, Case::lower, 0xDF},   {0x2126, Case::lower, 0x3C9},
      {0x212A, Case::lower, 0x6B},   {0xFF5A, Case::upper, 0xFF3A}, {0xFF3A, Case::lower, 0xFF5A},
      {0x10428, Case::upper, 0x10400}, {0x10400, Case::lower, 0x10428},
      {0x1E922, Case::upper, 0x1E900}, {0x1E900, Case::lower, 0x1E922}, {0x1E943, Case::upper, 0x1E921},
      // No mapping: the code point itself, also for a letter whose only
      // upper case is several letters (0xDF is "SS", 0xFB01 "FI").
      {0xDF, Case::upper, 0xDF},     {0xFB01, Case::upper, 0xFB01}, {0x149, Case::upper, 0x149},
      {0x53, Case::upper, 0x53},     {0x53, Case::lower, 0x73},     {0x30, Case::upper, 0x30},
      {0x21, Case::lower, 0x21},     {0x10FFFF, Case::upper, 0x10FFFF}, {0x10427, Case::upper, 0x10427},
      {0xFFFFFFFF, Case::lower, 0xFFFFFFFF},
  };
  for (const Row& r : rows) EXPECT_EQ(unicode::case_lookup(r.cp, r.c), r.want) << std::hex << r.cp;
}

TEST_F(TextCase, AsciiFastPathAgreesWithTheTables) {
  for (uint32_t cp = 0; cp < 0x80; cp++) {
    EXPECT_EQ(unicode::to_upper(cp), unicode::case_lookup_table(cp, Case::upper));
    EXPECT_EQ(unicode::to_lower(cp), unicode::case_lookup_table(cp, Case::lower));
  }
}

TEST_F(TextCase, ChangeCaseWidensAndContinues) {
  // 0xFF upper-cases to 0x178: the walk widens the buffer and goes on.
  Cell s = make_string({'a', 0xFF, 'b', 0xE9}, 1);
  string::change_case(&s, nullptr, Case::upper);
  EXPECT_EQ(memory::series(s.node())->unit(), 2u);
  EXPECT_EQ(chars_of(s), (CodePoints{'A', 0x178, 'B', 0xC9}));

  Cell w = make_string({0x1E922, 'x', 0x10428}, 4, TypeId::file);
  string::change_case(&w, nullptr, Case::upper);
  EXPECT_EQ(chars_of(w), (CodePoints{0x1E900, 'X', 0x10400}));
  EXPECT_TRUE(w.is(TypeId::file));

  Cell ch;
  set_char(&ch, 0x1E9E);
  string::change_case(&ch, nullptr, Case::lower);
  EXPECT_TRUE(ch.is(TypeId::char_));
  EXPECT_EQ(ch.data3, 0xDFu);
}

TEST_F(TextCase, ChangeCaseByPart) {
  auto run = [](int32_t head, const Cell* part) {
    Cell s = make_string({'a', 'b', 'c', 'd'}, 1);
    s.set_head(head);
    string::change_case(&s, part, Case::upper);
    return chars_of(s);
  };
  Cell n;
  set_integer(&n, 2);
  EXPECT_EQ(run(1, &n), (CodePoints{'a', 'B', 'C', 'd'}));
  set_integer(&n, 99);
  EXPECT_EQ(run(1, &n), (CodePoints{'a', 'B', 'C', 'D'}));
  set_integer(&n, -1);  // a negative distance changes nothing
  EXPECT_EQ(run(2, &n), (CodePoints{'a', 'b', 'c', 'd'}));
  set_none(&n);
  EXPECT_EQ(run(9, &n), (CodePoints{'a', 'b', 'c', 'd'}));  // a head past the tail is clamped

  Cell s = make_string({'a', 'b', 'c', 'd'}, 1);
  Cell pos = s;
  pos.set_head(3);
  s.set_head(1);
  string::change_case(&s, &pos, Case::upper);
  EXPECT_EQ(chars_of(s), (CodePoints{'a', 'B', 'C', 'd'}));
  pos.set_head(0);  // a position before the head: nothing
  string::change_case(&s, &pos, Case::lower);
  EXPECT_EQ(chars_of(s), (CodePoints{'a', 'B', 'C', 'd'}));

  Cell other = make_string({'x'}, 1);
  bool raised = false;
  try {
    string::change_case(&s, &other, Case::upper);
  } catch (const NonLocalExit& e) {
    raised = e.level == level::error;
  }
  EXPECT_TRUE(raised);
  EXPECT_EQ(chars_of(s), (CodePoints{'a', 'B', 'C', 'd'}));
}

}  // namespace
}  // namespace qel
