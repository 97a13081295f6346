// qel-golden: runs golden test files (tests/golden/README.md).
//
//   qel-golden FILE.qel
//
// The file runs in one fresh session: the driver goes through the real
// start-up sequence and then, in place of the console, evaluates the file's
// cases in order through qel::testing::eval_case. A failing case prints its
// place, its code, what was expected and what happened. Exit status: 0 when
// every case passed, 1 when one failed or a file is malformed, 77 (skipped)
// when no evaluator is linked in yet.
//
// Each file runs in a fresh empty temporary folder (its working directory),
// removed with everything in it when the driver ends, so cases may write
// files freely.
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/fatal.h"
#include "runtime/startup.h"
#include "tests/golden/golden_file.h"
#include "tests/golden/harness.h"

extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:detect_leaks=0";
}

namespace {

constexpr int kSkipped = 77;

std::string path;
std::vector<qel::golden::Case> cases;
std::string work_dir;

int remove_entry(const char* name, const struct stat*, int, struct FTW*) {
  std::remove(name);
  return 0;
}

void remove_work_dir() {
  if (!work_dir.empty()) nftw(work_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// Makes the fresh working folder and moves into it; false when it cannot.
bool enter_work_dir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qel-golden-XXXXXX";
  if (!mkdtemp(pattern.data())) return false;
  work_dir = pattern;
  std::atexit(remove_work_dir);
  return chdir(work_dir.c_str()) == 0;
}

std::string indented(const std::string& text, const std::string& indent) {
  std::string s;
  for (const std::string& line : qel::golden::split_lines(text)) s += indent + line + "\n";
  return s;
}

void run_cases() {
  int passed = 0;
  int failed = 0;
  for (const qel::golden::Case& c : cases) {
    qel::golden::Outcome o;
    if (!qel::testing::eval_case(c.code, o.printed, o.result, o.error)) {
      std::fprintf(stderr, "%s: skipped, no evaluator is linked in yet\n", path.c_str());
      std::fflush(stderr);
      qel::runtime::quit_return(kSkipped);
    }
    if (qel::golden::matches(c, o)) {
      ++passed;
      continue;
    }
    ++failed;
    std::string report = path + ":" + std::to_string(c.line) + ": case failed\n  code:\n" +
                         indented(c.code, "    ") + "  expected:\n" +
                         qel::golden::describe_expected(c, "    ") + "  actual:\n" +
                         qel::golden::describe_actual(o, "    ");
    // Written by length: a value may hold NUL (a file name molds as it is).
    std::fwrite(report.data(), 1, report.size(), stderr);
  }
  std::fprintf(stderr, "%d passed, %d failed\n", passed, failed);
  std::fflush(stderr);
  qel::runtime::quit_return(failed ? 1 : 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qel-golden FILE.qel\n");
    return 2;
  }
  path = argv[1];
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read\n", path.c_str());
    return 1;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::string problem;
  if (!qel::golden::parse(text.str(), cases, problem)) {
    std::fprintf(stderr, "%s:%s\n", path.c_str(), problem.c_str());
    return 1;
  }
  if (!enter_work_dir()) {
    std::fprintf(stderr, "%s: cannot make a temporary folder\n", path.c_str());
    return 1;
  }
  // The session sees only the program's name, as the console does when no
  // script is given.
  static char* session_argv[] = {argv[0], nullptr};
  qel::startup::run(1, session_argv, run_cases);
}
