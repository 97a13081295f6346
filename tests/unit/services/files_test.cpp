// The file service below the language: the reading plan for sizes a test
// cannot make files of, the read loops on pipes (no size, short reads), and
// the small command-line and environment helpers.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "datatypes/file.h"
#include "runtime/platform.h"
#include "services/cmdline.h"
#include "services/env.h"
#include "services/files.h"
#include "tests/unit/values_support.h"
#include "datatypes/string.h"

extern char** environ;

namespace qel {
namespace {

using testing_values::code;
using testing_values::raised;

constexpr int64_t GiB = int64_t{1} << 30;

// Collects the bytes of a read in a vector.
class VectorTarget final : public files::ReadTarget {
 public:
  uint8_t* reserve(uint64_t capacity, uint64_t used) override {
    EXPECT_LE(used, bytes.size());
    reserves++;
    if (bytes.size() < capacity) bytes.resize(capacity);
    return bytes.data();
  }
  std::vector<uint8_t> bytes;
  int reserves = 0;
};

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return v;
}

// A pipe whose writer sends `data` in small pieces from another thread, so
// that reads come back short.
struct Pipe {
  int fds[2];
  std::thread writer;
  explicit Pipe(std::vector<uint8_t> data) {
    EXPECT_EQ(::pipe(fds), 0);
    writer = std::thread([this, data = std::move(data)] {
      // Should the reading end close first, a write fails with EPIPE
      // instead of killing the test with SIGPIPE: the signal a write raises
      // goes to the writing thread, which blocks it.
      sigset_t pipe_signal;
      sigemptyset(&pipe_signal);
      sigaddset(&pipe_signal, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
      size_t done = 0;
      while (done < data.size()) {
        size_t n = std::min<size_t>(1000, data.size() - done);
        ssize_t put = ::write(fds[1], data.data() + done, n);
        if (put <= 0) break;
        done += static_cast<size_t>(put);
      }
      ::close(fds[1]);
    });
  }
  // Drains what a test left unread, so the writer never meets a closed
  // pipe (SIGPIPE).
  ~Pipe() {
    uint8_t sink[4096];
    for (ssize_t n; (n = ::read(fds[0], sink, sizeof sink)) != 0;) {
      if (n < 0 && errno != EINTR) break;
    }
    ::close(fds[0]);
    writer.join();
  }
};

class FilesService : public ::testing::Test {
 protected:
  void SetUp() override { testing_values::setup(); }
};

// 32-bit sizes failed between 2 and 4 GiB and wrapped above 4 GiB (a 5 GiB
// file read as its low 32 bits and reported as success).
TEST_F(FilesService, ReadPlanUsesSixtyFourBitSizes) {
  struct Row {
    int64_t size, seek, part;
    int64_t take;  // -1: too-long
  };
  const int64_t max = static_cast<int64_t>(memory::kMaxSeriesBytes);
  const Row rows[] = {
      {10, -1, -1, 10},           {10, 4, -1, 6},     {10, 4, 3, 3},   {10, -1, 0, 0},
      {10, 10, -1, 0},            {10, 20, 5, 0},     {0, -1, -1, 0},  {max, -1, -1, max},
      {max + 1, -1, -1, -1},      {3 * GiB, -1, -1, -1},                {5 * GiB + 10, -1, -1, -1},
      {5 * GiB + 10, -1, 100, 100}, {5 * GiB + 10, 5 * GiB, -1, 10},  {6 * GiB, GiB, -1, -1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(::testing::Message() << r.size << " " << r.seek << " " << r.part);
    if (r.take < 0) {
      EXPECT_EQ(raised([&] { files::planned_read_size(r.size, r.seek, r.part); }),
                code(ErrorCode::script_too_long));
    } else {
      EXPECT_EQ(files::planned_read_size(r.size, r.seek, r.part), static_cast<uint64_t>(r.take));
    }
  }
}

// A pipe reports size 0: the read went once to count and again from 0,
// losing the data. Now everything arrives, through short reads, once.
TEST_F(FilesService, PipeIsReadToItsEndOnce) {
  const std::vector<uint8_t> data = pattern(300000);
  Pipe pipe(data);
  VectorTarget target;
  uint64_t count = 0;
  ASSERT_EQ(files::read_fd(pipe.fds[0], -1, -1, target, &count), files::ReadStatus::ok);
  ASSERT_EQ(count, data.size());
  target.bytes.resize(count);
  EXPECT_EQ(target.bytes, data);
  EXPECT_GT(target.reserves, 1);  // the region grew
}

TEST_F(FilesService, PipeHonoursPartAndSeek) {
  const std::vector<uint8_t> data = pattern(100000);
  Pipe pipe(data);
  VectorTarget target;
  uint64_t count = 0;
  // A pipe cannot seek: the bytes before the offset are read and dropped.
  ASSERT_EQ(files::read_fd(pipe.fds[0], 70000, 5, target, &count), files::ReadStatus::ok);
  ASSERT_EQ(count, 70000u);
  EXPECT_TRUE(std::equal(data.begin() + 5, data.begin() + 70005, target.bytes.begin()));
}

TEST_F(FilesService, EmptyPipeGivesNothing) {
  Pipe pipe({});
  VectorTarget target;
  uint64_t count = 7;
  ASSERT_EQ(files::read_fd(pipe.fds[0], -1, 3, target, &count), files::ReadStatus::ok);
  EXPECT_EQ(count, 0u);
}

TEST_F(FilesService, RegularFileIsReadWithOneReservation) {
  char name[] = "/tmp/qel-files-test-XXXXXX";
  int fd = ::mkstemp(name);
  ASSERT_GE(fd, 0);
  const std::vector<uint8_t> data = pattern(200000);
  ASSERT_TRUE(files::write_bytes(fd, data.data(), data.size()));
  ASSERT_TRUE(files::close_file(fd));
  VectorTarget target;
  uint64_t count = 0;
  ASSERT_EQ(files::read_into(name, -1, 1000, target, &count), files::ReadStatus::ok);
  EXPECT_EQ(count, data.size() - 1000);
  EXPECT_EQ(target.reserves, 1);
  EXPECT_TRUE(std::equal(data.begin() + 1000, data.end(), target.bytes.begin()));
  EXPECT_EQ(files::read_into(std::string(name) + "-missing", -1, -1, target, &count),
            files::ReadStatus::cannot_open);
  // A folder opens but cannot be read as a file.
  EXPECT_EQ(files::read_into("/tmp", -1, -1, target, &count), files::ReadStatus::cannot_open);
  ::unlink(name);
}

TEST_F(FilesService, WritesToAFullDeviceFail) {
  int fd = files::open_file("/dev/full", files::open_mode::write);
  ASSERT_GE(fd, 0);
  const uint8_t byte = 'x';
  EXPECT_FALSE(files::write_bytes(fd, &byte, 1));
  files::close_file(fd);
}

// Text from the system that is not UTF-8 (a command line, the current
// folder) became U+FFFD and named another file: its bad bytes now go to
// U+DC80..U+DCFF and back.
TEST_F(FilesService, SystemTextKeepsBytesThatAreNotUtf8) {
  const std::string raw = "arg\xFF \xC3\xA9 \xED\xB2\x80 \xE2\x82";
  Cell text;
  files::os_text(&text, raw);
  EXPECT_EQ(string::rs_abs_at(&text, 3), 0xDCFFu);
  EXPECT_EQ(string::rs_abs_at(&text, 5), 0xE9u);
  text.set_type(TypeId::file);
  EXPECT_EQ(file::to_os_path(&text), raw);
}

TEST(Cmdline, RebuiltLineQuotesWhatSplittingNeeds) {
  struct Row {
    std::vector<const char*> argv;
    const char* line;
  };
  const Row rows[] = {
      {{"qel", "my script.qel", "--x"}, R"(qel "my script.qel" --x)"},
      {{"/usr/bin/qel", "a\tb", ""}, "/usr/bin/qel \"a\tb\" \"\""},
      {{"qel", "say \"hi\"", "x\"y"}, R"(qel "say ""hi""" "x""y")"},
      {{"qel"}, "qel"},
  };
  for (const Row& r : rows)
    EXPECT_EQ(cmdline::rebuild(static_cast<int>(r.argv.size()), r.argv.data()), r.line);
}

TEST(Env, ListsWhatGetEnvCanRead) {
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(env::split_entry("A=b=c"), P("A", "b=c"));
  EXPECT_EQ(env::split_entry("EMPTY="), P("EMPTY", ""));
  EXPECT_EQ(env::split_entry("=C:=C:\\x"), std::nullopt);
  EXPECT_EQ(env::split_entry("BARE"), std::nullopt);
  // An environment holding entries getenv cannot find: one starting with
  // "=", one without "=", and a name given twice (getenv finds the first).
  char entries[][16] = {"=C:=x", "BARE", "A=1", "A=2", "B="};
  char* fake[] = {entries[0], entries[1], entries[2], entries[3], entries[4], nullptr};
  char** saved = environ;
  environ = fake;
  const auto vars = env::list();
  const std::optional<std::string> a = platform::get_env("A");
  environ = saved;
  EXPECT_EQ(vars, (std::vector<P>{P("A", "1"), P("B", "")}));
  EXPECT_EQ(a, "1");
}

TEST(Env, OsInfoFromUname) {
  EXPECT_EQ(env::arch_name("x86_64"), "x86-64");
  EXPECT_EQ(env::arch_name("i686"), "x86-32");
  EXPECT_EQ(env::arch_name("aarch64"), "ARM64");
  EXPECT_EQ(env::arch_name("armv7l"), "ARM");
  EXPECT_EQ(env::arch_name("riscv64"), "Unknown");
  env::OsInfo info{};
  env::parse_release("6.1.0-18-amd64", info);
  EXPECT_EQ(info.version[0], 6);
  EXPECT_EQ(info.version[1], 1);
  EXPECT_EQ(info.version[2], 0);
  EXPECT_EQ(info.build, 18);
  env::parse_release("5.15", info);
  EXPECT_EQ(info.version[1], 15);
  EXPECT_EQ(info.version[2], 0);
  EXPECT_EQ(info.build, 0);
  // A part above a tuple byte saturates (4.19.282 gave the tuple 4.19.26).
  env::parse_release("4.19.282-1", info);
  EXPECT_EQ(info.version[2], 255);
  EXPECT_EQ(info.build, 1);
  EXPECT_EQ(env::os_info().name.rfind("Linux ", 0), 0u);
}

}  // namespace
}  // namespace qel
