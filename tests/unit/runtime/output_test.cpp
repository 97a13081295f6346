// Console output: UTF-8 encoding of string units, typed print formats, the
// print hooks, and buffering of redirected output.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "memory/series.h"
#include "runtime/fatal.h"
#include "runtime/output.h"
#include "runtime/print.h"
#include "runtime/signals.h"
#include "natives/natives.h"

namespace qel {
namespace {

// Captures everything written while it lives.
class Capture {
 public:
  Capture() { output::begin_capture(&text); }
  ~Capture() { output::end_capture(); }
  std::string text;
};

template <class Unit>
std::string encode(std::initializer_list<Unit> units) {
  std::vector<Unit> v(units);
  Capture cap;
  output::write_string_units(v.data(), sizeof(Unit), v.size());
  return cap.text;
}

TEST(Output, StringUnitsEncodeToUtf8) {
  // Bytes 0x80-0xFF of a 1-byte string are Latin-1 characters: 2 bytes each.
  EXPECT_EQ(encode<uint8_t>({'a', 0x80, 0xE9, 0xFF}), "a\xC2\x80\xC3\xA9\xC3\xBF");
  EXPECT_EQ(encode<uint16_t>({0x41, 0x7FF, 0x800, 0xFFFF}), "A\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
  // A code point above U+FFFF is 4 bytes; one beyond Unicode becomes U+FFFD.
  EXPECT_EQ(encode<uint32_t>({0x1F600, 0x10FFFF, 0x110000}),
            "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\xEF\xBF\xBD");
  // 2-byte units are encoded one by one (a surrogate is not combined).
  EXPECT_EQ(encode<uint16_t>({0xD83D, 0xDE00}), "\xED\xA0\xBD\xED\xB8\x80");
  // Long texts cross the encoder's chunks intact.
  std::vector<uint8_t> many(5000, 0xE9);
  Capture cap;
  output::write_string_units(many.data(), 1, many.size());
  EXPECT_EQ(cap.text.size(), 10000u);
  EXPECT_EQ(cap.text.substr(9998), "\xC3\xA9");
}

TEST(Output, UnknownUnitSize) {
  Capture cap;
  output::write_string_units("abc", 3, 1);
  EXPECT_EQ(cap.text, "Error: unknown string encoding: 3\n");
}

TEST(Output, TypedPrintFormats) {
  Capture cap;
  runtime::print({arg::logic(true), arg::cstring(" "), arg::logic(false), arg::cstring(" "),
                  arg::integer(-42), arg::byte('x'), arg::float32(1.0f / 3), arg::cstring(" "),
                  arg::float64(1.0 / 3), arg::cstring(" "), arg::hex(0xBEEF)});
  print_line({arg::cstring("line")});
  runtime::print_char('!');
  EXPECT_EQ(cap.text, "true false -42x0.3333333 0.3333333333333333 0000BEEF" "line\n!");
}

TEST(Output, PrintHooks) {
  memory::init();
  print_hook::init();
  print_hook::add(natives::print_string, nullptr);
  static std::string told;
  told.clear();
  print_hook::add(nullptr, [](const char* text, size_t length, int) { told.append(text, length); });
  // A string! of unit 2 whose head is past its first character.
  Node n = memory::alloc_units(8, 2);
  SeriesBuffer* s = memory::series(n);
  const uint16_t units[] = {'x', 'h', 0xE9, '!'};
  std::memcpy(s->data() + s->offset, units, sizeof units);
  s->tail = s->offset + sizeof units;
  Cell str;
  set_series(&str, TypeId::string, n, 1);
  Capture cap;
  print_hook::run_list1(&str, true);
  print_hook::run_list1(&str, false);
  runtime::print({arg::integer(5)});
  EXPECT_EQ(cap.text, "h\xC3\xA9!\nh\xC3\xA9!5");
  // List 2 hears the formatted-number write, not the string.
  EXPECT_EQ(told, "5");
}

TEST(Output, RedirectedOutputIsWrittenInOneGo) {
  // Standard output becomes a pipe for the duration of the test.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  int saved = dup(1);
  output::flush();
  dup2(fds[1], 1);
  output::init();
  for (int i = 0; i < 1000; ++i) output::write_utf8("item\n");
  char buf[8192];
  EXPECT_EQ(read(fds[0], buf, sizeof buf), -1);  // nothing written yet
  output::flush();
  ssize_t n = read(fds[0], buf, sizeof buf);
  dup2(saved, 1);
  close(saved);
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(n, 5000);
}

// Installs the program's signal handlers for one test and puts the test
// process's own back afterwards.
class ProgramSignals {
 public:
  ProgramSignals() {
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], nullptr, &saved_[i]);
    runtime::install_fault_handlers();
  }
  ~ProgramSignals() {
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &saved_[i], nullptr);
  }

 private:
  static constexpr int kSignals[] = {SIGSEGV, SIGBUS,  SIGILL,    SIGFPE,  SIGTRAP, SIGINT,
                                     SIGTERM, SIGHUP,  SIGQUIT,   SIGABRT, SIGPIPE, SIGUSR1,
                                     SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ,
                                     SIGSYS,  SIGIO,   SIGSTKFLT};
  struct sigaction saved_[std::size(kSignals)] {};
};

TEST(Output, APipeWithoutReaderFailsTheWriteAndTheProgramGoesOn) {
  ProgramSignals program;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  errno = 0;
  EXPECT_EQ(write(fds[1], "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  close(fds[1]);
}

TEST(Output, AStandardOutputWithoutReaderEndsTheProcessBySigpipe) {
  ProgramSignals program;
  // Redirected output, buffered or written at once, and the flush at exit:
  // each ends the process as a writer in a pipeline ends.
  for (int how = 0; how < 3; ++how) {
    EXPECT_EXIT(
        {
          int fds[2];
          if (pipe(fds) != 0) _exit(1);
          close(fds[0]);
          dup2(fds[1], 1);
          output::init();
          if (how == 0) {
            output::write_utf8("line\n");
            output::flush();
          } else if (how == 1) {
            std::string big(200000, 'x');
            output::write_utf8(big);
          } else {
            output::write_utf8("pending");
            std::exit(0);
          }
          _exit(0);
        },
        testing::KilledBySignal(SIGPIPE), "")
        << how;
  }
}

TEST(Output, SignalsThatEndTheProcessPutTheTerminalBackFirst) {
  ProgramSignals program;
  for (int sig : {SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGPROF, SIGIO}) {
    EXPECT_EXIT(
        {
          runtime::set_exit_restore([] { (void)!write(2, "restored", 8); });
          raise(sig);
          _exit(0);
        },
        testing::KilledBySignal(sig), "restored")
        << sig;
  }
  // An interrupt and a request to end exit with 128 + the signal (SIGINT
  // gave status 0).
  for (int sig : {SIGINT, SIGTERM}) {
    EXPECT_EXIT(
        {
          runtime::set_exit_restore([] { (void)!write(2, "restored", 8); });
          raise(sig);
          _exit(0);
        },
        testing::ExitedWithCode(128 + sig), "restored")
        << sig;
  }
}

}  // namespace
}  // namespace qel
