// The cell layout: sizes, payload words and float placement.
#include <gtest/gtest.h>

#include "core/cell.h"

namespace qel {
namespace {

TEST(Cell, LayoutAndAccessors) {
  Cell c;
  set_float(&c, 1.5);
  EXPECT_EQ(sizeof(Cell), 16u);
  EXPECT_TRUE(c.is(TypeId::float_));
  EXPECT_EQ(c.real(), 1.5);
  set_integer(&c, -7);
  EXPECT_EQ(c.integer(), -7);
  c.set_flag(cell_flag::new_line);
  c.set_type(TypeId::char_);
  EXPECT_TRUE(c.has_flag(cell_flag::new_line));
  EXPECT_TRUE(c.is(TypeId::char_));
}

}  // namespace
}  // namespace qel
