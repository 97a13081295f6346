// File benchmarks: write/binary and read/binary of a 100 MB file against a
// plain read(2)/write(2) loop over the same file (the page-cache speed), and
// read as text of 100 MB of UTF-8 (ASCII, mixed scripts, CR LF line ends)
// and read/lines. Prints one line per measurement; run the release build
// (bench/README.md).
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "core/stack.h"
#include "memory/collector.h"
#include "services/files.h"
#include "datatypes/block.h"
#include "datatypes/string.h"
#include "datatypes/init.h"

using namespace qel;

namespace {

constexpr size_t kSize = 100'000'000;

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Best of `runs` timings of f(); a collection between runs frees the
// results. `before` runs untimed ahead of each run.
template <class F, class G = void (*)()>
double best(int runs, F&& f, G&& before = [] {}) {
  double b = 1e30;
  for (int i = 0; i < runs; i++) {
    before();
    Cell* base = stack::top;
    auto t0 = std::chrono::steady_clock::now();
    f();
    b = std::min(b, seconds_since(t0));
    stack::top = base;
    collector::collect();
  }
  return b;
}

void report(const char* what, double seconds, size_t bytes) {
  std::printf("%-44s %7.1f ms  %6.0f MB/s\n", what, seconds * 1e3, bytes / seconds / 1e6);
}

Cell file_value(const std::string& path) {
  Cell f;
  string::make_utf8(&f, path);
  f.set_type(TypeId::file);
  return f;
}

// Text of about kSize bytes made of lines from `pieces`, each line ended by
// `eol`.
std::string text_of(const std::vector<std::string>& pieces, const std::string& eol) {
  std::string s;
  s.reserve(kSize + 200);
  size_t i = 0;
  while (s.size() < kSize) {
    s += pieces[i++ % pieces.size()];
    s += eol;
  }
  return s;
}

void write_raw(const std::string& path, const std::string& bytes) {
  int fd = files::open_file(path, files::open_mode::write);
  files::write_bytes(fd, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  files::close_file(fd);
}

}  // namespace

int main() {
  values::init();
  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = tmp && *tmp ? tmp : "/tmp";
  const std::string bin_path = dir + "/qel-files-bench.bin";
  const std::string txt_path = dir + "/qel-files-bench.txt";

  // 100 MB of bytes as a binary!.
  std::vector<uint8_t> raw(kSize);
  uint32_t x = 12345;
  for (auto& b : raw) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 24);
  }
  Cell* data = stack::push_slot();
  binary::make_from(data, raw.data(), raw.size());
  Cell* bin_file = stack::push_slot();
  *bin_file = file_value(bin_path);

  // The plain loops: write(2) and read(2) of the whole file.
  // Each write starts on a new file: truncating one whose pages are being
  // written back waits for the disk.
  auto fresh_file = [&] { ::unlink(bin_path.c_str()); };
  double t = best(5, [&] {
    int fd = files::open_file(bin_path, files::open_mode::write);
    files::write_bytes(fd, raw.data(), raw.size());
    files::close_file(fd);
  }, fresh_file);
  report("plain write(2) loop, 100 MB", t, kSize);
  std::vector<uint8_t> back(kSize);
  t = best(5, [&] {
    int fd = files::open_file(bin_path, files::open_mode::read);
    files::read_data(fd, back.data(), back.size());
    files::close_file(fd);
  });
  report("plain read(2) loop, 100 MB", t, kSize);
  // The same into fresh memory each time, as a read that makes a new value
  // must (the first touch of each page costs a fault).
  t = best(5, [&] {
    int fd = files::open_file(bin_path, files::open_mode::read);
    uint8_t* fresh = static_cast<uint8_t*>(std::malloc(kSize));
    files::read_data(fd, fresh, kSize);
    files::close_file(fd);
    std::free(fresh);
  });
  report("plain read(2) loop into fresh memory", t, kSize);

  t = best(5, [&] { files::write(bin_file, data, nullptr, -1, true, false, false); }, fresh_file);
  report("write/binary, 100 MB", t, kSize);
  t = best(5, [&] {
    int fd = files::open_file(bin_path, files::open_mode::write);
    files::write_bytes(fd, binary::rs_head(data), kSize);
    files::close_file(fd);
  }, fresh_file);
  report("plain write(2) loop from the binary!", t, kSize);
  t = best(5, [&] { files::read(bin_file, -1, -1, true, false, stack::push_slot()); });
  report("read/binary, 100 MB", t, kSize);

  struct TextCase {
    const char* name;
    std::vector<std::string> lines;
    const char* eol;
  };
  const TextCase cases[] = {
      {"read, ASCII text, LF", {"The quick brown fox jumps over the lazy dog, 0123456789."}, "\n"},
      {"read, ASCII text, CR LF", {"The quick brown fox jumps over the lazy dog, 0123456789."}, "\r\n"},
      {"read, Latin-1 range (1-byte units)", {"Ça coûte très cher à l'été, déjà vu; naïve façade."}, "\n"},
      {"read, mixed scripts (2-byte units)",
       {"The quick brown fox, Ελληνικά κείμενα, русский текст, 日本語のテキスト."}, "\n"},
  };
  for (const TextCase& c : cases) {
    const std::string text = text_of(c.lines, c.eol);
    write_raw(txt_path, text);
    Cell* txt_file = stack::push_slot();
    *txt_file = file_value(txt_path);
    t = best(5, [&] { files::read(txt_file, -1, -1, false, false, stack::push_slot()); });
    report(c.name, t, text.size());
    stack::pop(1);
  }
  {
    const std::string text = text_of(cases[0].lines, "\n");
    write_raw(txt_path, text);
    Cell* txt_file = stack::push_slot();
    *txt_file = file_value(txt_path);
    t = best(3, [&] { files::read(txt_file, -1, -1, false, true, stack::push_slot()); });
    report("read/lines, ASCII text (1.7 M lines)", t, text.size());
  }
  ::unlink(bin_path.c_str());
  ::unlink(txt_path.c_str());
  return 0;
}
