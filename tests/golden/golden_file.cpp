// Golden test files: the parser and the comparison.
#include "tests/golden/golden_file.h"

#include <sstream>

namespace qel::golden {

namespace {

enum class Kind { code, printed, result, error, none };

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool blank(const std::string& s) { return s.find_first_not_of(" \t") == std::string::npos; }

// The text after an expectation's marker, without the one blank after it.
std::string after(const std::string& line, size_t marker) {
  std::string rest = line.substr(marker);
  if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
  return rest;
}

Kind classify(const std::string& line, std::string& text) {
  if (starts_with(line, ";==")) {
    text = after(line, 3);
    return Kind::result;
  }
  if (starts_with(line, ";**")) {
    text = after(line, 3);
    return Kind::error;
  }
  if (starts_with(line, ";>")) {
    text = after(line, 2);
    return Kind::printed;
  }
  if (starts_with(line, ";.") && blank(line.substr(2))) return Kind::none;
  return Kind::code;
}

std::string join(const std::vector<std::string>& lines) {
  std::string s;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i) s += '\n';
    s += lines[i];
  }
  return s;
}

}  // namespace

bool parse(const std::string& text, std::vector<Case>& cases, std::string& problem) {
  std::istringstream in(text);
  std::string line;
  int number = 0;
  Case cur;
  std::vector<std::string> code;
  bool expecting = false;  // the current case has expectations already
  bool none = false;       // it holds ";."
  auto fail = [&](const std::string& what) {
    problem = std::to_string(number) + ": " + what;
    return false;
  };
  auto finish = [&] {
    cur.code = join(code);
    cases.push_back(cur);
    cur = Case{};
    code.clear();
    expecting = none = false;
  };
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (starts_with(line, ";;")) continue;
    std::string value;
    Kind kind = classify(line, value);
    if (kind == Kind::code) {
      if (blank(line) && (expecting || code.empty())) continue;
      if (expecting) finish();
      if (code.empty()) cur.line = number;
      code.push_back(line);
      continue;
    }
    if (code.empty()) return fail("an expectation without code before it");
    while (blank(code.back())) code.pop_back();
    if (none) return fail("\";.\" stands alone: nothing may follow it");
    if (cur.result || cur.error) return fail("nothing may follow the result or the error");
    switch (kind) {
      case Kind::printed:
        cur.printed.push_back(value);
        break;
      case Kind::result:
        cur.result = value;
        break;
      case Kind::error:
        cur.error = value;
        break;
      case Kind::none:
        if (expecting) return fail("\";.\" stands alone: it cannot follow other expectations");
        none = true;
        break;
      case Kind::code:
        break;
    }
    expecting = true;
  }
  if (expecting) finish();
  if (!code.empty()) {
    number = cur.line;
    return fail("code without an expectation after it (use \";.\" for none)");
  }
  return true;
}

std::vector<std::string> split_lines(const std::string& printed) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < printed.size()) {
    size_t end = printed.find('\n', start);
    if (end == std::string::npos) end = printed.size();
    lines.push_back(printed.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool matches(const Case& c, const Outcome& o) {
  return split_lines(o.printed) == c.printed && o.result == c.result.value_or("") &&
         o.error == c.error.value_or("");
}

std::string describe_expected(const Case& c, const std::string& indent) {
  std::string s;
  for (const std::string& l : c.printed) s += indent + ";> " + l + "\n";
  if (c.error) s += indent + ";** " + *c.error + "\n";
  if (c.result) s += indent + ";== " + *c.result + "\n";
  if (s.empty()) s = indent + ";.\n";
  return s;
}

std::string describe_actual(const Outcome& o, const std::string& indent) {
  std::string s;
  for (const std::string& l : split_lines(o.printed)) s += indent + ";> " + l + "\n";
  if (!o.error.empty()) s += indent + ";** " + o.error + "\n";
  if (!o.result.empty()) s += indent + ";== " + o.result + "\n";
  if (s.empty()) s = indent + ";.\n";
  return s;
}

}  // namespace qel::golden
