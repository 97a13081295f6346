// The library's start-up, seen from outside the process: how quit ends it,
// the library mark on the functions start-up defines, and the switch that
// reads the library's sources from disk. Each case runs qel-library-probe
// (tests/runtime/library_probe.cpp) through the real start-up sequence.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "library/embedded.h"

extern char** environ;

namespace {

struct Outcome {
  int status = -1;  // exit status, or -1 when ended by a signal
  std::string out;
};

Outcome run_probe(std::vector<std::string> args, std::vector<std::string> env = {}) {
  args.insert(args.begin(), QEL_LIBRARY_PROBE_PATH);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // `env` entries replace the variables of the same name; a name without
  // "=" removes it.
  auto name_of = [](std::string_view e) { return e.substr(0, e.find('=')); };
  std::vector<char*> envp;
  for (char** e = environ; *e; e++) {
    bool replaced = false;
    for (auto& x : env) replaced = replaced || name_of(x) == name_of(*e);
    if (!replaced) envp.push_back(*e);
  }
  for (auto& e : env)
    if (e.find('=') != std::string::npos) envp.push_back(e.data());
  envp.push_back(nullptr);
  int pipe_fds[2];
  EXPECT_EQ(pipe(pipe_fds), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  pid_t pid;
  EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
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

TEST(LibraryQuit, EndsWithTheStatus) {
  struct Case {
    const char* text;
    int status;
    const char* out;
  } cases[] = {
      {"quit print 1", 0, ""},
      {"quit/return 3", 3, ""},
      {"q/return 5", 5, ""},
      {"quit/return 256 + 7", 7, ""},
      // Mend: settings that cannot be saved never keep quit from exiting
      // (the console's own _save-cfg warns on the standard error; quit
      // printed a warning among a script's output).
      {"system/console: true _save-cfg: does [1 / 0] quit/return 4", 4, ""},
      {"system/console: true _save-cfg: does [print \"saved\"] quit/return 2", 2, "saved\n"},
      {"1 / 0", 254, nullptr},
  };
  for (const Case& c : cases) {
    Outcome o = run_probe({c.text});
    EXPECT_EQ(o.status, c.status) << c.text;
    if (c.out) {
      EXPECT_EQ(o.out, c.out) << c.text;
    }
  }
}

TEST(LibraryMark, OnEveryFunctionStartUpDefines) {
  Outcome o = run_probe({"f: func [][] o: object [g: does []]", ":f", ":o/g", ":probe", ":quit",
                         ":to-integer", ":load", ":system/options/on-change*",
                         ":system/locale/currencies/on-deep-change*",
                         ":system/lexer/trapper", ":system/state/interpreted?",
                         ":single?", ":block?"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out,
            ":f: plain\n"
            ":o/g: plain\n"
            ":probe: library\n"
            ":quit: library\n"
            ":to-integer: library\n"
            ":load: library\n"
            ":system/options/on-change*: library\n"
            ":system/locale/currencies/on-deep-change*: library\n"
            ":system/lexer/trapper: library\n"
            ":system/state/interpreted?: library\n"
            ":single?: library\n"
            ":block?: -\n");
}

// The cache folder: $HOME/.qel/, or /tmp/.qel/ without HOME or when HOME is
// no existing folder (the console made such a HOME and all its parents).
TEST(LibrarySettings, CacheFolder) {
  EXPECT_EQ(run_probe({"print mold system/options/cache"}, {"HOME=/usr"}).out, "%/usr/.qel/\n");
  EXPECT_EQ(run_probe({"print mold system/options/cache"}, {"HOME=/qel-home"}).out, "%/tmp/.qel/\n");
  EXPECT_EQ(run_probe({"print mold system/options/cache"}, {"HOME=/etc/passwd"}).out, "%/tmp/.qel/\n");
  EXPECT_EQ(run_probe({"print mold system/options/cache"}, {"HOME"}).out, "%/tmp/.qel/\n");
}

// QEL_LIBRARY_DIR reads every source from that tree instead of the
// embedded copy.
TEST(LibrarySources, ReadFromDiskWithTheSwitch) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("qel-library-dir-" + std::to_string(getpid()));
  for (const auto& src : qel::library::embedded_sources()) {
    fs::path file = dir / std::string(src.name);
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out << src.text;
    if (src.name == "library/constants.qel") out << "\nqel-from-disk: 42\n";
  }
  Outcome o = run_probe({"print qel-from-disk"}, {"QEL_LIBRARY_DIR=" + dir.string()});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "42\n");

  // A source missing from the tree: its embedded text is used, with a note.
  fs::remove(dir / "library/load.qel");
  o = run_probe({"print type? :load"}, {"QEL_LIBRARY_DIR=" + dir.string()});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "QEL_LIBRARY_DIR: cannot read " + (dir / "library/load.qel").string() +
                       ", the embedded text is used\nfunction\n");

  // An error in a source ends start-up, naming the source.
  {
    std::ofstream out(dir / "library/core.qel", std::ios::binary | std::ios::app);
    out << "\n1 / 0\n";
  }
  o = run_probe({"print 1"}, {"QEL_LIBRARY_DIR=" + dir.string()});
  EXPECT_EQ(o.status, 254);
  EXPECT_NE(o.out.find("*** Math Error: attempt to divide by zero\n"), std::string::npos) << o.out;
  EXPECT_TRUE(o.out.ends_with("\n*** while defining the library from library/core.qel\n")) << o.out;

  // Without the switch the embedded text is used.
  o = run_probe({"print value? 'qel-from-disk"});
  EXPECT_EQ(o.out, "false\n");
  fs::remove_all(dir);
}

// Every embedded source is present, in start-up order, byte for byte the
// file of the source tree.
TEST(LibrarySources, Embedded) {
  namespace fs = std::filesystem;
  // __FILE__ is relative to the compiler's folder when the build rewrites
  // paths (a compiler cache's base folder): try it from the working folder
  // and each folder above it.
  fs::path file = __FILE__;
  if (file.is_relative()) {
    for (fs::path base = fs::current_path(); !base.empty(); base = base.parent_path()) {
      if (fs::exists(base / file)) {
        file = base / file;
        break;
      }
      if (base == base.parent_path()) break;
    }
  }
  const fs::path root = file.parent_path().parent_path().parent_path().parent_path();
  auto sources = qel::library::embedded_sources();
  ASSERT_GE(sources.size(), 2u);
  EXPECT_EQ(sources.front().name, "library/constants.qel");
  for (const auto& src : sources) {
    std::ifstream in(root / std::string(src.name), std::ios::binary);
    ASSERT_TRUE(in) << src.name;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(src.text, text) << src.name;
  }
}

}  // namespace
