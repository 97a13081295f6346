// The command line: the argument vector start-up recorded, and the text
// `system/script/args` starts with. Linux hands a program its arguments as
// a vector, not as one line, so the line is rebuilt: arguments joined by one
// blank, each argument that is empty or holds a blank, a tab or a double
// quote written between double quotes with its own double quotes doubled.
// `extract-boot-args` splits that text back into exactly the vector.
#pragma once

#include <string>
#include <string_view>

namespace qel::cmdline {

// One argument as it stands in the rebuilt line.
std::string quote(std::string_view arg);
// The line rebuilt from `argc` arguments.
std::string rebuild(int argc, const char* const* argv);
// The line of this process (the vector start-up recorded).
std::string command_line();

}  // namespace qel::cmdline
