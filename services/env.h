// The environment and the machine: every environment variable of the
// process (for `list-env`; single variables are read and set through the
// platform layer, runtime/platform.h), and the operating-system description
// that `os-info` reports, from uname(2).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qel::env {

// The variables of the process that get-env can read, in the order of its
// environment, as (name, value) pairs of the system's bytes: a name ends at
// the first "=". An entry without "=" or beginning with one names nothing
// get-env can ask for and is left out, as is a later entry of a name
// already listed (get-env reads the first).
std::vector<std::pair<std::string, std::string>> list();

// Splits one "NAME=value" entry as list() does; nothing for an entry it
// leaves out.
std::optional<std::pair<std::string, std::string>> split_entry(const std::string& entry);

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
