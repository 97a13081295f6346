// The symbol table: exact interning, case aliases, string forms.
#include "tests/unit/values_support.h"
#include "values/symbol.h"

namespace qel {
namespace {
using namespace testing_values;

TEST(Symbol, InterningAndAliases) {
  setup();
  SymbolId append = symbol::make("append");
  EXPECT_EQ(symbol::make("append"), append);
  SymbolId upper = symbol::make("Append");
  EXPECT_NE(upper, append);
  EXPECT_EQ(symbol::alias(upper), static_cast<int32_t>(append));
  EXPECT_EQ(symbol::alias(append), -1);
  EXPECT_EQ(symbol::resolve(upper), append);
  EXPECT_EQ(symbol::resolve(append), append);
  // A third spelling aliases the first one, not the second.
  EXPECT_EQ(symbol::resolve(symbol::make("APPEND")), append);

  const uint32_t before = symbol::count();
  SymbolId found = symbol::find_nocase("aPPend");
  EXPECT_EQ(symbol::resolve(found), append);
  EXPECT_EQ(symbol::count(), before);
}

TEST(Symbol, NonAsciiCaseIsNotFolded) {
  setup();
  SymbolId small = symbol::make("\xC3\xA4x");  // a-umlaut x
  SymbolId capital = symbol::make("\xC3\x84x");
  EXPECT_NE(small, capital);
  EXPECT_EQ(symbol::alias(small), -1);
  EXPECT_EQ(symbol::alias(capital), -1);
}

TEST(Symbol, StringFormIsMadeOnceAndEmptyNamesIntern) {
  setup();
  SymbolId id = symbol::make("caf\xC3\xA9");
  EXPECT_EQ(symbol::cell(id)->data2, 0u);
  Node first = symbol::get(id)->data2;
  EXPECT_NE(first, 0u);
  EXPECT_EQ(symbol::get(id)->data2, first);
  Cell s;
  set_series(&s, TypeId::string, first);
  EXPECT_EQ(text(&s), "caf\xC3\xA9");
  EXPECT_EQ(string::buffer(&s)->unit(), 1u);  // loaded text keeps 1 byte up to 0xFF

  SymbolId empty = symbol::make("");
  EXPECT_EQ(symbol::name(empty), "");
  EXPECT_EQ(symbol::make(""), empty);
}

}  // namespace
}  // namespace qel
