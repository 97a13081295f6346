// Piped standard input: lines up to LF (CR kept), a last line without LF,
// invalid UTF-8 made U+FFFD, the end of input reported instead of empty
// lines for ever, and byte reads that share the line buffer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <unistd.h>

#include "console/stdin_reader.h"

namespace qel::console {
namespace {

// A pipe holding `text`, its write end closed: the reader sees its end.
int pipe_with(const std::string& text) {
  int fds[2];
  EXPECT_EQ(::pipe(fds), 0);
  EXPECT_EQ(::write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fds[1]);
  return fds[0];
}

TEST(ConsoleStdin, LinesAndTheEnd) {
  int fd = pipe_with("1 + 2\nabc\r\n\n\xc3\xa9\xff\xe4\xb8x\nlast");
  StdinReader r(fd);
  Text line;
  const Text want[] = {U"1 + 2", U"abc\r", U"", U"\u00e9\ufffd\ufffdx", U"last"};
  for (const Text& w : want) {
    ASSERT_TRUE(r.read_line(line));
    EXPECT_EQ(line, w);
  }
  // The end is reported, every time it is asked.
  EXPECT_FALSE(r.read_line(line));
  EXPECT_EQ(line, U"");
  EXPECT_FALSE(r.read_line(line));
  ::close(fd);
}

TEST(ConsoleStdin, ALongLineAcrossReads) {
  std::string big(10000, 'z');
  int fd = pipe_with(big + "\nnext\n");
  StdinReader r(fd);
  Text line;
  ASSERT_TRUE(r.read_line(line));
  EXPECT_EQ(line.size(), 10000u);
  ASSERT_TRUE(r.read_line(line));
  EXPECT_EQ(line, U"next");
  ::close(fd);
}

// A line without end (a binary file, /dev/zero) grew in memory until the
// process failed: a line longer than the limit comes in pieces, cut
// between characters, and nothing is lost.
TEST(ConsoleStdin, ALineLongerThanTheLimitComesInPieces) {
  struct Case {
    std::string text;
    size_t limit;
    std::vector<Text> lines;
  } cases[] = {
      {"abcd\nabcde\nxy", 4, {U"abcd", U"abcd", U"e", U"xy"}},
      {"abc\xc3\xa9" "de\n", 4, {U"abc", U"\u00e9de"}},
      {"\xe4\xb8\x80\xe4\xb8\x80\n", 4, {U"\u4e00", U"\u4e00"}},
      {std::string(10000, 'z') + "\n", 4096, {Text(4096, U'z'), Text(4096, U'z'), Text(1808, U'z')}},
      // A character begun in one read and cut by the limit in the next is
      // kept whole.
      {std::string(4095, 'z') + "\xe4\xb8\x80\nq\n", 4097, {Text(4095, U'z') + U"\u4e00", U"q"}},
  };
  for (const Case& c : cases) {
    int fd = pipe_with(c.text);
    StdinReader r(fd, c.limit);
    Text line;
    for (const Text& want : c.lines) {
      ASSERT_TRUE(r.read_line(line)) << c.text;
      EXPECT_EQ(line, want) << c.text;
    }
    EXPECT_FALSE(r.read_line(line)) << c.text;
    ::close(fd);
  }
}

TEST(ConsoleStdin, ByteReadsShareTheBuffer) {
  int fd = pipe_with("first\nrest of it");
  StdinReader r(fd);
  Text line;
  ASSERT_TRUE(r.read_line(line));
  uint8_t bytes[64];
  long n = r.read_bytes(bytes, sizeof bytes);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), static_cast<size_t>(n)), "rest of it");
  EXPECT_EQ(r.read_bytes(bytes, sizeof bytes), 0);
  ::close(fd);
}

TEST(ConsoleStdin, AReadErrorEndsTheInput) {
  StdinReader r(-1);
  Text line;
  EXPECT_FALSE(r.read_line(line));
  uint8_t b;
  EXPECT_EQ(r.read_bytes(&b, 1), -1);
}

}  // namespace
}  // namespace qel::console
