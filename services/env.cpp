// The environment list and the operating-system description (see env.h).
#include "services/env.h"

#include <sys/utsname.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <unordered_set>

extern char** environ;

namespace qel::env {

std::optional<std::pair<std::string, std::string>> split_entry(const std::string& entry) {
  const size_t eq = entry.find('=');
  if (eq == 0 || eq == std::string::npos) return std::nullopt;
  return std::pair{entry.substr(0, eq), entry.substr(eq + 1)};
}

std::vector<std::pair<std::string, std::string>> list() {
  std::vector<std::pair<std::string, std::string>> out;
  std::unordered_set<std::string> seen;
  for (char** e = environ; e && *e; ++e) {
    auto pair = split_entry(*e);
    if (pair && seen.insert(pair->first).second) out.push_back(std::move(*pair));
  }
  return out;
}

std::string arch_name(const std::string& machine) {
  if (machine == "x86_64" || machine == "amd64") return "x86-64";
  if (machine.size() == 4 && machine[0] == 'i' && machine.compare(2, 2, "86") == 0) return "x86-32";
  if (machine == "aarch64" || machine == "arm64") return "ARM64";
  if (machine.rfind("arm", 0) == 0) return "ARM";
  if (machine == "ia64") return "IA-64";
  return "Unknown";
}

void parse_release(const std::string& release, OsInfo& info) {
  info.version[0] = info.version[1] = info.version[2] = 0;
  info.build = 0;
  size_t i = 0;
  auto number = [&](int& out) {
    long v = 0;
    bool any = false;
    while (i < release.size() && std::isdigit(static_cast<unsigned char>(release[i]))) {
      if (v < 100000000) v = v * 10 + (release[i] - '0');
      any = true;
      i++;
    }
    if (any) out = static_cast<int>(v);
    return any;
  };
  for (int k = 0; k < 3; k++) {
    if (!number(info.version[k])) break;
    // A tuple byte holds at most 255: a larger part (a patch level of 282)
    // saturates there rather than wrapping to an unrelated number.
    info.version[k] = std::min(info.version[k], 255);
    if (i >= release.size() || release[i] != '.') break;
    i++;
  }
  const size_t dash = release.find('-');
  if (dash != std::string::npos) {
    i = dash + 1;
    number(info.build);
  }
}

OsInfo os_info() {
  OsInfo info{};
  struct utsname u;
  if (::uname(&u) != 0) {
    info.name = "Linux";
    info.arch = "Unknown";
    return info;
  }
  info.name = std::string(u.sysname) + " " + u.release;
  info.arch = arch_name(u.machine);
  parse_release(u.release, info);
  return info;
}

}  // namespace qel::env
