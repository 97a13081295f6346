// Golden test files: parsing the cases and comparing outcomes.
//
// A file holds Qel code with its expected output right beside it (the
// format is described in tests/golden/README.md):
//   ;; a comment
//   code lines           one case: the code lines up to its expectations
//   ;> printed line      printed output, one line each, in order
//   ;== result           the console-style result (no ";==" line: unset)
//   ;** Script Error: …  the first line of the error report, without "*** "
//   ;.                   no output and an unset result
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qel::golden {

struct Case {
  int line = 0;                       // line of the case's first code line
  std::string code;                   // the code lines, joined with LF
  std::vector<std::string> printed;   // expected printed lines
  std::optional<std::string> result;  // expected result; none: unset
  std::optional<std::string> error;   // expected error line; none: no error
};

// What a case did.
struct Outcome {
  std::string printed;
  std::string result;
  std::string error;
};

// Parses a file's text. On a malformed file returns false with `problem`
// set to "LINE: what is wrong".
bool parse(const std::string& text, std::vector<Case>& cases, std::string& problem);

// True when the outcome is what the case expects.
bool matches(const Case& c, const Outcome& o);

// An outcome written in the file's notation (";> …", ";== …", ";** …",
// or ";." for nothing), one line each, each line indented by `indent`.
std::string describe_expected(const Case& c, const std::string& indent);
std::string describe_actual(const Outcome& o, const std::string& indent);

// The printed text split into lines (a final line end does not start an
// empty line).
std::vector<std::string> split_lines(const std::string& printed);

}  // namespace qel::golden
