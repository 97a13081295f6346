// The rebuilt command line (see cmdline.h).
#include "services/cmdline.h"

#include "runtime/startup.h"

namespace qel::cmdline {

std::string quote(std::string_view arg) {
  const bool plain = !arg.empty() && arg.find_first_of(" \t\"") == std::string_view::npos;
  if (plain) return std::string(arg);
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string rebuild(int argc, const char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; i++) {
    if (i) line.push_back(' ');
    line += quote(argv[i] ? argv[i] : "");
  }
  return line;
}

std::string command_line() { return rebuild(runtime::system.argc, runtime::system.argv); }

}  // namespace qel::cmdline
