// The child-process service below the language: splitting command lines,
// the time-out the program's helper tools run under, the limit on captured
// output, and the starts that fail.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "services/process.h"

namespace qel {
namespace {

using Words = std::vector<std::string>;

TEST(IoProcess, SplitsCommandsByTheShellsQuotingRules) {
  const struct {
    const char* command;
    Words words;
  } cases[] = {
      {"", {}},
      {"  \t ", {}},
      {"ls -l  /tmp", {"ls", "-l", "/tmp"}},
      {"a 'b c' \"d e\"", {"a", "b c", "d e"}},
      {"a'b'\"c\"d", {"abcd"}},
      {"''", {""}},
      {"a \"\" b", {"a", "", "b"}},
      {R"(a\ b c\\d)", {"a b", "c\\d"}},
      {R"('it\'s')", {"it\\s"}},  // no escapes inside single quotes
      {R"("x\"y\$z\n")", {"x\"y$z\\n"}},
      {"$HOME *", {"$HOME", "*"}},
      {"a\\\nb", {"ab"}},
      {"'open", {"open"}},
      {"end\\", {"end\\"}},
      {"é 'ü ñ'", {"é", "ü ñ"}},
  };
  for (const auto& c : cases) EXPECT_EQ(io::split_command(c.command), c.words) << c.command;
}

TEST(IoProcess, AQuotedWordSplitsBackWhole) {
  for (const char* word : {"plain", "two words", "it's", "\"q\"", "a\\b", "", "$x `y`", "tab\there"})
    EXPECT_EQ(io::split_command(io::quote_word(word)), Words{word}) << word;
}

TEST(IoProcess, FindsProgramsThroughPath) {
  EXPECT_TRUE(io::program_exists("sh"));
  EXPECT_TRUE(io::program_exists("/bin/sh"));
  EXPECT_FALSE(io::program_exists("no-such-program-for-qel"));
  EXPECT_FALSE(io::program_exists(""));
}

TEST(IoProcess, AFileThatIsNotAProgramDoesNotStart) {
  io::ProcessSpec spec;
  spec.command = "/etc/hostname";
  spec.wait = true;
  EXPECT_EQ(io::run(spec).status, -1);
}

TEST(IoProcess, AHelperPastItsTimeIsStopped) {
  io::ProcessSpec spec;
  spec.command = "sleep 20";
  spec.wait = true;
  spec.output.kind = io::StreamKind::bytes;
  spec.timeout_ms = 200;
  const auto start = std::chrono::steady_clock::now();
  const io::ProcessResult r = io::run(spec);
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.status, -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// A child that writes without end: the captured output stops at the limit,
// the pipe is closed, and the child ends on it instead of filling memory.
TEST(IoProcess, CapturedOutputStopsAtTheLimit) {
  const uint64_t saved = io::capture_limit();
  io::set_capture_limit(100000);
  io::ProcessSpec spec;
  spec.command = "yes";
  spec.output.kind = io::StreamKind::bytes;
  const io::ProcessResult r = io::run(spec);
  io::set_capture_limit(saved);
  EXPECT_TRUE(r.too_long);
  EXPECT_EQ(spec.output.bytes.size(), 100000u);
  EXPECT_NE(r.status, -1);
}

TEST(IoProcess, ErrorAndOutputAreKeptApart) {
  io::ProcessSpec spec;
  spec.command = "echo out; echo err >&2; exit 3";
  spec.shell = true;
  spec.output.kind = io::StreamKind::bytes;
  spec.error.kind = io::StreamKind::bytes;
  const io::ProcessResult r = io::run(spec);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(std::string(spec.output.bytes.begin(), spec.output.bytes.end()), "out\n");
  EXPECT_EQ(std::string(spec.error.bytes.begin(), spec.error.bytes.end()), "err\n");
}

}  // namespace
}  // namespace qel
