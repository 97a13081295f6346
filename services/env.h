// The environment and the machine: every environment variable of the
// process (for `list-env`; single variables are read and set through the
// platform layer, runtime/platform.h), and the operating-system description
// that `os-info` reports, from uname(2).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qel::env {

// The variables of the process in the order of its environment, as (name,
// value) pairs of UTF-8 text. A name ends at the first "=" that is not its
// first character, so an entry beginning with "=" keeps it in its name; an
// entry without a value separator has an empty value.
std::vector<std::pair<std::string, std::string>> list();

// Splits one "NAME=value" entry as list() does.
std::pair<std::string, std::string> split_entry(const std::string& entry);

// What uname(2) tells of the system.
struct OsInfo {
  std::string name;     // the system's name and release ("Linux 6.1.0-18-amd64")
  std::string arch;     // "x86-64", "x86-32", "ARM64", "ARM", "IA-64" or "Unknown"
  int version[3];       // the first three numbers of the release (0 when missing, 255 at most)
  int build;            // the number after the release's first "-", or 0
};
OsInfo os_info();

// The architecture name of a uname machine string.
std::string arch_name(const std::string& machine);
// Fills version and build from a release string ("6.1.0-18-amd64").
void parse_release(const std::string& release, OsInfo& info);

}  // namespace qel::env
