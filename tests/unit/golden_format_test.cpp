// The golden-file format: how files split into cases, what is malformed,
// and how outcomes compare.
#include <gtest/gtest.h>

#include "tests/golden/golden_file.h"

namespace qel::golden {
namespace {

TEST(GoldenFormat, CasesAndExpectations) {
  const std::string text =
      ";; comment\n"
      "\n"
      "f: func [x] [\n"
      "\n"
      "    x + 1\n"
      "]\n"
      ";.\n"
      "\n"
      "print 1 f 2\n"
      ";>1\n"
      ";> \n"
      ";== 3\r\n"
      "x\n"
      ";; comments do not split a case\n"
      "y\n"
      ";** Script Error: x has no value\n";
  std::vector<Case> cases;
  std::string problem;
  ASSERT_TRUE(parse(text, cases, problem)) << problem;
  ASSERT_EQ(cases.size(), 3u);
  EXPECT_EQ(cases[0].line, 3);
  EXPECT_EQ(cases[0].code, "f: func [x] [\n\n    x + 1\n]");
  EXPECT_TRUE(cases[0].printed.empty());
  EXPECT_FALSE(cases[0].result || cases[0].error);
  EXPECT_EQ(cases[1].code, "print 1 f 2");
  EXPECT_EQ(cases[1].printed, (std::vector<std::string>{"1", ""}));
  EXPECT_EQ(cases[1].result.value_or("?"), "3");
  EXPECT_EQ(cases[2].code, "x\ny");
  EXPECT_EQ(cases[2].error.value_or("?"), "Script Error: x has no value");
}

TEST(GoldenFormat, MalformedFiles) {
  const char* bad[] = {
      ";== 1\n",                  // no code before
      "1\n",                      // no expectation after
      "1\n;== 1\n;> x\n",         // printed after the result
      "1\n;== 1\n;== 1\n",        // two results
      "1\n;.\n;> x\n",            // ";." is not alone
      "1\n;> x\n;.\n",
  };
  for (const char* text : bad) {
    std::vector<Case> cases;
    std::string problem;
    EXPECT_FALSE(parse(text, cases, problem)) << text;
    EXPECT_FALSE(problem.empty());
  }
}

TEST(GoldenFormat, Comparison) {
  Case c;
  c.printed = {"a", "b"};
  c.result = "3";
  EXPECT_TRUE(matches(c, {"a\nb\n", "3", ""}));
  EXPECT_TRUE(matches(c, {"a\nb", "3", ""}));
  EXPECT_FALSE(matches(c, {"a\nb\n\n", "3", ""}));
  EXPECT_FALSE(matches(c, {"a\nb\n", "", ""}));
  EXPECT_FALSE(matches(c, {"a\nb\n", "", "Script Error: boom"}));
  Case unset;
  EXPECT_TRUE(matches(unset, {"", "", ""}));
  EXPECT_FALSE(matches(unset, {"", "none", ""}));
  EXPECT_EQ(describe_expected(c, "  "), "  ;> a\n  ;> b\n  ;== 3\n");
  EXPECT_EQ(describe_actual({"", "", "Math Error: attempt to divide by zero"}, ""),
            ";** Math Error: attempt to divide by zero\n");
  EXPECT_EQ(describe_actual({}, ""), ";.\n");
}

}  // namespace
}  // namespace qel::golden
