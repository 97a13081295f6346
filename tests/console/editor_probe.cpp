// qel-editor-probe: the console's line editor alone, for the pty tests of
// the terminal side (raw mode, keys, drawing, restoring the terminal)
// without the interpreter. It reads lines and prints how each ended:
//
//   accepted[text]   escape[text^[]   quit[q]   listed[]   closed
//
// Entering ":hide" reads the next line with "*" echo; ":quit" ends with
// status 0. Tab completes "pri" to "print" and lists "append apply" for
// "ap". When standard input is not a terminal, lines are read from it and
// printed as piped[text], then "end".
#include <string>
#include <vector>

#include "console/line_editor.h"
#include "console/stdin_reader.h"
#include "console/terminal.h"
#include "runtime/fatal.h"
#include "runtime/output.h"
#include "runtime/signals.h"

extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {

using namespace qel;
using namespace qel::console;

void print(const std::string& s) {
  output::write_utf8(s);
  output::write_line_end();
  output::flush();
}

std::string utf8(const Text& t) {
  std::string s;
  for (char32_t c : t) {
    if (c == 27) {
      s += "^[";
      continue;
    }
    char b[4];
    s.append(b, output::encode_utf8(c, b));
  }
  return s;
}

const char* end_name(EditEnd e) {
  switch (e) {
    case EditEnd::accepted:
      return "accepted";
    case EditEnd::escape:
      return "escape";
    case EditEnd::quit:
      return "quit";
    case EditEnd::listed:
      return "listed";
  }
  return "?";
}

}  // namespace

int main() {
  runtime::install_fault_handlers();
  output::init();
  if (!PosixTerminal::available()) {
    StdinReader in(0);
    Text line;
    while (in.read_line(line)) print("piped[" + utf8(line) + "]");
    print("end");
    return 0;
  }
  PosixTerminal terminal;
  KeyReader keys(terminal);
  LineEditor editor;
  editor.set_completion([](const Text& line, size_t cursor) -> std::optional<Completion> {
    if (line == U"pri") return Completion{U"print", 5, {}};
    if (line == U"ap") return Completion{U"ap", cursor, {U"append", U"apply"}};
    return std::nullopt;
  });
  std::vector<Text> entries;
  VectorHistory history(entries);
  bool hide = false;
  for (;;) {
    std::optional<EditEnd> end = edit_line(terminal, keys, editor, U">> ", hide, &history);
    hide = false;
    if (!end) {
      print("closed");
      return 0;
    }
    print(std::string(end_name(*end)) + "[" + utf8(editor.line()) + "]");
    if (editor.line() == U":hide") hide = true;
    if (editor.line() == U":quit") return 0;
  }
}
