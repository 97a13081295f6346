// triple!, the parse engine's bookkeeping value: Qel code cannot make one,
// so its text form is checked here.
#include <gtest/gtest.h>

#include "datatypes/triple.h"
#include "tests/unit/values_support.h"

namespace qel {
namespace {
using namespace testing_values;

TEST(ParseTriple, Mold) {
  setup();
  Cell t;
  EXPECT_EQ(molded(*triple::make_at(&t, 1, -2, 2147483647)), "make triple! [1 -2 2147483647]");
  EXPECT_EQ(formed(*triple::make_at(&t, -2147483647 - 1, 0, 7)), "make triple! [-2147483648 0 7]");
}

// The part budget goes down by exactly what was written (17 characters
// besides the numbers).
TEST(ParseTriple, BudgetCountsEveryCharacter) {
  setup();
  Cell t, buf;
  triple::make_at(&t, 10, -3, 0);
  string::rs_make_at(&buf, 16);
  const int32_t left = actions::call_mold(&t, &buf, {}, nullptr, 100, 0);
  EXPECT_EQ(left, 100 - static_cast<int32_t>(text(&buf).size()));
  EXPECT_EQ(left, 100 - 17 - 5);
}

}  // namespace
}  // namespace qel
