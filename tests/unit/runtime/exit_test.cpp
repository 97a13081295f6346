// The ways the process ends: statuses and reports, checked by running
// qel-probe (tests/runtime/probe.cpp) through the real start-up sequence.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct Outcome {
  int status = -1;  // exit status, or -1 when ended by a signal
  std::string out;
};

Outcome run_probe(std::vector<std::string> args) {
  args.insert(args.begin(), QEL_PROBE_PATH);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int pipe_fds[2];
  EXPECT_EQ(pipe(pipe_fds), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  pid_t pid;
  EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_fds[1]);
  Outcome o;
  char buf[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buf, sizeof buf)) > 0;) o.out.append(buf, static_cast<size_t>(n));
  close(pipe_fds[0]);
  int ws = 0;
  waitpid(pid, &ws, 0);
  o.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
  return o;
}

// The report of a runtime error; '#' stands for any upper-case hex digit.
std::string report(int code, const std::string& message) {
  return "\n*** Runtime Error " + std::to_string(code) + ": " + message + "\n*** at: ########h\n";
}

bool output_matches(const std::string& out, const std::string& expected) {
  if (out.size() != expected.size()) return false;
  for (size_t i = 0; i < out.size(); ++i) {
    bool hex = (out[i] >= '0' && out[i] <= '9') || (out[i] >= 'A' && out[i] <= 'F');
    if (expected[i] == '#' ? !hex : out[i] != expected[i]) return false;
  }
  return true;
}

struct ExitCase {
  std::vector<std::string> args;
  int status;
  std::string output;  // the whole output, '#' for a hex digit
};

TEST(ExitPaths, StatusAndReport) {
  const ExitCase cases[] = {
      {{"normal"}, 0, ""},
      {{"throw", "BADCAFE"}, 0, ""},
      {{"throw", "7FFFFFFF"}, 95, report(95, "no CATCH for THROW")},
      {{"throw", "A"}, 95, report(95, "no CATCH for THROW")},
      {{"quit", "94"}, 94, "\n*** Runtime Error 94: out of memory\n*** at: 12345678h\n"},
      {{"quit", "6"}, 6, report(6, "float denormal operan")},
      {{"quit", "96"}, 96, report(96, "unknown error code!")},
      {{"quit", "97"}, 97, report(97, "unknown error code!")},
      {{"quit", "102"}, 102, report(102, "unknown error code!")},
      {{"quit", "101"}, 101, report(101, "no value matched in SWITCH")},
      {{"quit", "0"}, 0, ""},
      {{"no-switch"}, 101, report(101, "no value matched in SWITCH")},
#ifdef QEL_DEBUG
      {{"verify", "0"}, 98, report(98, "assertion failed")},
#endif
      {{"verify", "1"}, 0, ""},
      {{"oom"}, 94, report(94, "out of memory")},
      {{"bad-alloc"}, 94, report(94, "out of memory")},
      // quit/return exits directly: no report, status modulo 256.
      {{"quit-return", "7"}, 7, ""},
      {{"quit-return", "-2"}, 254, ""},
      {{"quit-return", "300"}, 44, ""},
      {{"segv"}, 1, report(1, "access violation")},
      {{"fpe"}, 13, report(13, "integer divide by zero")},
      // An interrupt ends the process as a shell reports it (it gave 0).
      {{"sigint"}, 130, ""},
      // The handler runs on its own stack, so running off the machine stack
      // is reported too.
      {{"stack-overflow"}, 19, report(19, "stack error or overflow")},
      // Buffered output is written before the process ends, by any way out.
      {{"print", "tail without line end"}, 0, "tail without line end"},
      {{"print-segv", "before the fault"}, 1, "before the fault" + report(1, "access violation")},
  };
  for (const ExitCase& c : cases) {
    Outcome o = run_probe(c.args);
    std::string what = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    EXPECT_EQ(o.status, c.status) << what << "\noutput: " << o.out;
    EXPECT_TRUE(output_matches(o.out, c.output)) << what << "\noutput: " << o.out;
  }
}

}  // namespace
