// The file service over POSIX: the lower operations (one system call each,
// looping on EINTR and short transfers), the reading plan and read loops,
// text and line decoding, folder listings, writing, dates, deletion and
// renaming. See files.h for the contract of each operation.
#include "services/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/file.h"
#include "core/stack.h"
#include "memory/series.h"
#include "text/unicode.h"
#include "runtime/output.h"
#include "core/unwind.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "datatypes/error.h"
#include "core/errors.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel::files {

namespace {

// The first chunk of a read whose size the system does not report; later
// chunks double.
constexpr uint64_t kFirstChunk = 65536;

// A descriptor closed when the scope ends (errors raised while reading or
// converting must not leak it).
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close_file(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and answers whether the system reported success.
  bool close() {
    int fd = fd_;
    fd_ = -1;
    return close_file(fd);
  }

 private:
  int fd_;
};

// A plain byte region for text that is decoded and then dropped. It comes
// from the C heap rather than the runtime's heap blocks because a failed
// allocation of a large file must be a Qel error, not the end of the process.
class HeapTarget final : public ReadTarget {
 public:
  ~HeapTarget() override { std::free(data_); }
  uint8_t* reserve(uint64_t capacity, uint64_t) override {
    if (capacity <= capacity_) return data_;
    void* p = std::realloc(data_, capacity);
    if (!p) fire(ErrorCode::internal_no_memory);
    data_ = static_cast<uint8_t*>(p);
    capacity_ = capacity;
    return data_;
  }
  const uint8_t* data() const { return data_; }

 private:
  uint8_t* data_ = nullptr;
  uint64_t capacity_ = 0;
};

// A binary! buffer read into directly: no copy for /binary.
class BinaryTarget final : public ReadTarget {
 public:
  uint8_t* reserve(uint64_t capacity, uint64_t used) override {
    if (node_ == kNoNode) {
      node_ = memory::alloc_bytes(capacity);
      return memory::series(node_)->head_ptr();
    }
    SeriesBuffer* s = memory::series(node_);
    if (s->size - s->offset < capacity) {
      s->tail = s->offset + static_cast<uint32_t>(used);
      s = memory::expand_series(s, capacity);
    }
    return s->head_ptr();
  }
  // The binary! holding the first `count` bytes.
  Cell* finish(uint64_t count, Cell* out) {
    if (node_ == kNoNode) return binary::make_at(out, 1);
    SeriesBuffer* s = memory::series(node_);
    s->tail = s->offset + static_cast<uint32_t>(count);
    *out = Cell{static_cast<uint32_t>(TypeId::binary), 0, node_, 0};
    return out;
  }

 private:
  Node node_ = kNoNode;
};

[[noreturn]] void cannot_open(const Cell* file) {
  Cell f = *file;
  fire(ErrorCode::access_cannot_open, &f);
}

// Access `cannot-write` with the file and what the system said went wrong
// ("no space left on device", "permission denied" ...).
[[noreturn]] void cannot_write(const Cell* file, int error) {
  std::string reason = std::strerror(error);
  // "No space left on device" reads on after "reason:" in lower case; an
  // initial that is part of a word in capitals ("I/O") stays.
  if (reason.size() > 1 && reason[0] >= 'A' && reason[0] <= 'Z' && reason[1] >= 'a' &&
      reason[1] <= 'z')
    reason[0] = static_cast<char>(reason[0] - 'A' + 'a');
  Cell f = *file;
  Cell text;
  string::make_utf8(&text, reason);
  fire(ErrorCode::access_cannot_write, &f, &text);
}

// The characters of a file value from its head, as code points.
uint32_t char_at(const Cell* file, int32_t i) { return string::rs_abs_at(file, file->head() + i); }
int32_t length_of(const Cell* file) {
  Cell f = *file;
  return string::rs_length_q(&f);
}

// Only "/" separates folders: a backslash is a character of a POSIX name
// like any other (a file whose name ended in one could be written, but
// read, query and delete took it for a folder).
bool is_separator(uint32_t c) { return c == '/'; }

// Reads and drops `count` bytes (the seek of a file that cannot seek);
// false when the file ends first or fails.
bool skip_bytes(int fd, uint64_t count) {
  uint8_t scratch[4096];
  while (count > 0) {
    int64_t got = read_data(fd, scratch, std::min<uint64_t>(count, sizeof scratch));
    if (got <= 0) return false;
    count -= static_cast<uint64_t>(got);
  }
  return true;
}

// Decodes UTF-8 into a new string buffer. Text that is not UTF-8 raises
// access invalid-utf8 with the bytes where decoding stopped: keeping only
// the text before them would lose the rest of the file without a word
// (read/binary gives the bytes as they are). A sequence cut off by the end
// of the bytes is left out when that end is the end of what was read
// (Cut::allowed); inside the text (a line that a LF ends) it is refused too.
// The bytes write gives a lone surrogate or U+FFFE are taken back.
enum class Cut : bool { refused, allowed };
Node load_text(const uint8_t* bytes, uint64_t n, unicode::LineBreaks lb, Cut cut = Cut::allowed) {
  uint32_t left = 0;
  const Node node =
      unicode::load_utf8(bytes, static_cast<uint32_t>(n), kNoNode, &left, lb, unicode::Accept::written);
  if (left > 0 && cut == Cut::refused) {
    Cell rest;
    binary::make_from(&rest, bytes + (n - left), left);
    fire(ErrorCode::access_invalid_utf8, &rest);
  }
  return node;
}

bool starts_with_mark(const uint8_t* bytes, uint64_t n) {
  return n >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF;
}

// Appends a new string! of UTF-8 bytes at the tail of a block. A line that
// a LF ends may not stop inside a sequence: its bytes would be dropped in
// the middle of the text, where read gives invalid-utf8.
void append_line(Node block, const uint8_t* bytes, uint64_t n, Cut cut) {
  Cell line;
  Node node;
  if (n == 0) {
    string::rs_make_at(&line, 1);
  } else if (starts_with_mark(bytes, n)) {
    // The decoder drops EF BB BF at its start as a byte-order mark; only
    // the text's own start has one (dropped before the lines are split), so
    // a U+FEFF opening a line is kept: a second mark goes in front.
    std::vector<uint8_t> marked(n + 3);
    std::memcpy(marked.data(), bytes, 3);
    std::memcpy(marked.data() + 3, bytes, n);
    node = load_text(marked.data(), n + 3, unicode::LineBreaks::keep, cut);
    line = Cell{static_cast<uint32_t>(TypeId::string), 0, node, 0};
  } else {
    node = load_text(bytes, n, unicode::LineBreaks::keep, cut);
    line = Cell{static_cast<uint32_t>(TypeId::string), 0, node, 0};
  }
  *append_slot(block) = line;
}

// The bytes of a value to write, owned or borrowed. Borrowed bytes point
// into a series and stay valid while no Qel code runs and nothing grows it.
class ValueBytes {
 public:
  ~ValueBytes() { std::free(owned_); }
  const uint8_t* data() const { return data_; }
  uint64_t size() const { return size_; }

  // `part` limits the characters (bytes of a binary!); negative: all.
  void convert(const Cell* value, int64_t part) {
    if (value->is(TypeId::binary)) {
      Cell b = *value;
      int64_t n = binary::rs_length(&b);
      if (part >= 0 && part < n) n = part;
      data_ = binary::rs_head(&b);
      size_ = static_cast<uint64_t>(n);
      return;
    }
    if (value->is(TypeId::string)) {
      encode(value, part);
      return;
    }
    // Anything else is written as its molded text.
    Cell* scratch = stack::push_slot();
    string::rs_make_at(scratch, 16);
    Cell v = *value;
    actions::call_mold(&v, scratch, {}, nullptr, 0x7FFFFFFF, 0);
    encode(scratch, part);
    stack::pop(1);
  }

 private:
  void encode(const Cell* str, int64_t part) {
    Cell s = *str;
    int64_t n = string::rs_length_q(&s);
    if (part >= 0 && part < n) n = part;
    SeriesBuffer* b = string::buffer(&s);
    const uint32_t unit = b->unit();
    const uint8_t* units = string::char_at(b, s.head());
    if (unit == 1) {
      // ASCII text is its own UTF-8: write it from the series.
      const uint8_t* end = units + n;
      const uint8_t* p = units;
      while (p < end && *p < 0x80) p++;
      if (p == end) {
        data_ = units;
        size_ = static_cast<uint64_t>(n);
        return;
      }
    }
    const uint64_t room = unicode::max_utf8_bytes(static_cast<uint64_t>(n), unit,
                                                  unicode::LineBreaks::keep);
    owned_ = static_cast<uint8_t*>(std::malloc(std::max<uint64_t>(room, 1)));
    if (!owned_) fire(ErrorCode::internal_no_memory);
    size_ = unicode::encode_units_utf8(units, static_cast<size_t>(n), unit, owned_);
    data_ = owned_;
  }

  uint8_t* owned_ = nullptr;
  const uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
};

// Where written bytes go: a descriptor, or the standard output through the
// output layer.
class Sink {
 public:
  explicit Sink(int fd) : fd_(fd) {}
  bool put(const uint8_t* bytes, uint64_t n) {
    if (n == 0) return true;
    if (fd_ < 0) {
      output::write_utf8(reinterpret_cast<const char*>(bytes), n);
      return true;
    }
    return write_bytes(fd_, bytes, n);
  }

 private:
  int fd_;
};

const uint8_t kLineEnd[] = {'\n'};

// --- whole-file writes

// The file a path names once symbolic links are followed: a link is
// written through to the file it names (which need not exist yet). After
// 40 links the path is left as it is, and opening it then fails.
// `*descriptor` tells that a link of the process file system was met
// (/dev/stdout is /proc/self/fd/1): such a link stands for an open
// descriptor, whose file must be written where it is.
std::string follow_links(std::string path, bool* descriptor) {
  *descriptor = false;
  for (int hops = 0; hops < 40; hops++) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    if (path.rfind("/proc/", 0) == 0) *descriptor = true;
    std::vector<char> target(static_cast<size_t>(std::max<off_t>(st.st_size, 255)) + 1);
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0 || static_cast<size_t>(n) >= target.size()) return path;
    std::string next(target.data(), static_cast<size_t>(n));
    if (next.empty()) return path;
    if (next[0] != '/') {
      const size_t slash = path.rfind('/');
      if (slash != std::string::npos) next.insert(0, path, 0, slash + 1);
    }
    path = std::move(next);
  }
  return path;
}

// A new file beside the target that takes the bytes of a whole-file write
// and is renamed over the target once all of them are in, so that a write
// that fails part-way (no space left, a size limit) leaves the old file as
// it was. Removed again unless it took the target's place.
class Replacement {
 public:
  ~Replacement() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
  }

  // Makes the new file in the target's folder, with the target's owner and
  // permission bits when it exists (0666 less the umask when it does not).
  // 0, or the error number.
  int open(const std::string& target, const struct stat* old) {
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    static uint32_t counter = 0;
    for (int attempt = 0; attempt < 100; attempt++) {
      const uint64_t stamp = static_cast<uint64_t>(::getpid()) * 2654435761u ^
                             static_cast<uint64_t>(std::time(nullptr)) ^ ++counter * 40503u;
      char name[40];
      std::snprintf(name, sizeof name, ".qel-%08x.tmp", static_cast<uint32_t>(stamp));
      std::string path = folder + name;
      int fd;
      do fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      while (fd < 0 && errno == EINTR);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return errno;
      }
      fd_ = fd;
      temp_ = std::move(path);
      if (old) {
        // Owner first: a change of owner may clear set-user-id bits. Only
        // the owner or the superuser may give the file back to its owner;
        // anyone else's copy stays theirs.
        if (::fchown(fd_, old->st_uid, old->st_gid) != 0) {
          // Not allowed: the new file stays the writer's.
        }
        if (::fchmod(fd_, old->st_mode & 07777) != 0) return errno;
      }
      return 0;
    }
    return EEXIST;
  }
  int fd() const { return fd_; }

  // Closes the new file and puts it in the target's place: 0, or the error
  // number (the new file is then removed).
  int commit(const std::string& target) {
    const int fd = fd_;
    fd_ = -1;
    if (!close_file(fd)) return errno;
    if (::rename(temp_.c_str(), target.c_str()) != 0) return errno;
    temp_.clear();
    return 0;
  }

 private:
  int fd_ = -1;
  std::string temp_;
};

}  // namespace

Cell* os_text(Cell* out, std::string_view name) {
  const auto* p = reinterpret_cast<const uint8_t*>(name.data());
  const uint8_t* const end = p + name.size();
  string::rs_make_at(out, static_cast<uint32_t>(name.size()));
  while (p < end) {
    const size_t valid = unicode::utf8_valid_prefix(p, static_cast<size_t>(end - p));
    string::append_utf8(out, std::string_view(reinterpret_cast<const char*>(p), valid));
    p += valid;
    if (p < end) string::append_char(string::buffer(out), 0xDC00u + *p++);
  }
  return out;
}

std::string os_bytes(const Cell* text) {
  std::string bytes = unicode::to_utf8_string(text);
  // U+DC80..U+DCFF are ED B2 80 to ED B3 BF in UTF-8; ED only ever leads a
  // sequence, so nothing else matches.
  if (bytes.find('\xED') == std::string::npos) return bytes;
  size_t out = 0;
  for (size_t i = 0; i < bytes.size(); i++) {
    const auto b2 = i + 2 < bytes.size() ? static_cast<uint8_t>(bytes[i + 1]) : 0;
    if (static_cast<uint8_t>(bytes[i]) == 0xED && (b2 & 0xFE) == 0xB2) {
      const auto b3 = static_cast<uint8_t>(bytes[i + 2]);
      bytes[out++] = static_cast<char>(0x80 | (b2 & 1) << 6 | (b3 & 0x3F));
      i += 2;
    } else {
      bytes[out++] = bytes[i];
    }
  }
  bytes.resize(out);
  return bytes;
}

// --- lower operations ----------------------------------------------------

int open_file(const std::string& path, uint32_t mode) {
  int flags = O_CLOEXEC;
  if (mode & open_mode::read) {
    flags |= O_RDONLY;
  } else {
    flags |= O_WRONLY | O_CREAT;
    if (mode & open_mode::append) flags |= O_APPEND;
    if (!(mode & (open_mode::append | open_mode::seek))) flags |= O_TRUNC;
  }
  int fd;
  do fd = ::open(path.c_str(), flags, 0666);
  while (fd < 0 && errno == EINTR);
  return fd;
}

int64_t file_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : 0;
}

bool stream_q(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode));
}

bool seek(int fd, int64_t offset) {
  return offset >= 0 && ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == offset;
}

int64_t read_data(int fd, uint8_t* buffer, uint64_t count) {
  uint64_t done = 0;
  while (done < count) {
    // One read(2) moves at most about 2 GiB; ask for at most 1 GiB a call.
    size_t want = static_cast<size_t>(std::min<uint64_t>(count - done, uint64_t{1} << 30));
    ssize_t got = ::read(fd, buffer + done, want);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<uint64_t>(got);
  }
  return static_cast<int64_t>(done);
}

bool write_bytes(int fd, const uint8_t* bytes, uint64_t count) {
  uint64_t done = 0;
  while (done < count) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(count - done, uint64_t{1} << 30));
    ssize_t put = ::write(fd, bytes + done, want);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (put == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<uint64_t>(put);
  }
  return true;
}

bool close_file(int fd) {
  // Linux releases the descriptor even when close reports EINTR, so it is
  // never retried.
  return ::close(fd) == 0 || errno == EINTR;
}

bool make_dir(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

bool file_exists_q(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool dir_exists_q(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// --- reading -------------------------------------------------------------

uint64_t planned_read_size(int64_t size, int64_t seek, int64_t part) {
  if (size <= 0) return 0;
  uint64_t take = static_cast<uint64_t>(size);
  if (seek > 0) take = static_cast<uint64_t>(seek) >= take ? 0 : take - static_cast<uint64_t>(seek);
  if (part >= 0 && static_cast<uint64_t>(part) < take) take = static_cast<uint64_t>(part);
  if (take > memory::kMaxSeriesBytes) fire(ErrorCode::script_too_long);
  return take;
}

ReadStatus read_fd(int fd, int64_t part, int64_t seek_to, ReadTarget& target, uint64_t* count) {
  *count = 0;
  const int64_t size = file_size(fd);
  if (size < 0) return ReadStatus::cannot_open;
  if (size > 0) {
    const uint64_t take = planned_read_size(size, seek_to, part);
    if (take == 0) return ReadStatus::ok;
    if (seek_to > 0 && !seek(fd, seek_to)) return ReadStatus::cannot_open;
    uint8_t* p = target.reserve(take, 0);
    // A file that shrank since it was sized gives fewer bytes; only those
    // are used.
    const int64_t got = read_data(fd, p, take);
    if (got < 0) return ReadStatus::cannot_open;
    *count = static_cast<uint64_t>(got);
    return ReadStatus::ok;
  }
  // The size is unknown: read to the end (or to the part) into a growing
  // region, once.
  if (part == 0) return ReadStatus::ok;
  // A pipe or terminal (the standard input among them) may wait for what
  // the program has printed: that goes out first.
  if (stream_q(fd)) output::flush();
  if (seek_to > 0 && !seek(fd, seek_to)) {
    // Skipping by reading takes as long as reading those bytes: it goes no
    // further than a read may (an endless device would keep it going for
    // hours).
    if (static_cast<uint64_t>(seek_to) > memory::kMaxSeriesBytes) fire(ErrorCode::script_too_long);
    if (!skip_bytes(fd, static_cast<uint64_t>(seek_to))) return ReadStatus::ok;
  }
  const uint64_t limit = part > 0 ? static_cast<uint64_t>(part) : UINT64_MAX;
  uint64_t used = 0;
  uint64_t capacity = 0;
  uint8_t* p = nullptr;
  while (used < limit) {
    if (used == capacity) {
      if (capacity == memory::kMaxSeriesBytes) {
        // Full: one more byte means the file is more than a series holds.
        uint8_t probe;
        int64_t more = read_data(fd, &probe, 1);
        if (more < 0) return ReadStatus::cannot_open;
        if (more > 0) fire(ErrorCode::script_too_long);
        break;
      }
      capacity = std::min<uint64_t>(capacity == 0 ? kFirstChunk : capacity * 2,
                                    memory::kMaxSeriesBytes);
      if (limit < capacity) capacity = limit;
      p = target.reserve(capacity, used);
    }
    const uint64_t want = std::min(capacity, limit) - used;
    const int64_t got = read_data(fd, p + used, want);
    if (got < 0) return ReadStatus::cannot_open;
    used += static_cast<uint64_t>(got);
    if (static_cast<uint64_t>(got) < want) break;  // the end of the file
  }
  *count = used;
  return ReadStatus::ok;
}

ReadStatus read_into(const std::string& path, int64_t part, int64_t seek_to, ReadTarget& target,
                     uint64_t* count) {
  *count = 0;
  Fd fd(open_file(path, open_mode::read));
  if (fd.get() < 0) return ReadStatus::cannot_open;
  return read_fd(fd.get(), part, seek_to, target, count);
}

bool dir_path_q(const Cell* file) {
  const int32_t n = length_of(file);
  if (n == 0) return false;
  const uint32_t last = char_at(file, n - 1);
  if (is_separator(last)) return true;
  if (last != '.') return false;
  if (n == 1) return true;
  const uint32_t before = char_at(file, n - 2);
  if (is_separator(before)) return true;
  return before == '.' && (n == 2 || is_separator(char_at(file, n - 3)));
}

Cell* bytes_to_string(const uint8_t* bytes, uint64_t n, Cell* out) {
  Node node = load_text(bytes, n, unicode::LineBreaks::convert);
  *out = Cell{static_cast<uint32_t>(TypeId::string), 0, node, 0};
  return out;
}

Cell* lines_to_block(const uint8_t* bytes, uint64_t n, Cell* out) {
  block::make_at(out, 1);
  const Node blk = out->node();
  const uint8_t* p = bytes;
  const uint8_t* end = bytes + n;
  if (starts_with_mark(p, n)) p += 3;  // the text's byte-order mark
  while (p < end) {
    const uint8_t* lf = static_cast<const uint8_t*>(std::memchr(p, '\n', end - p));
    if (!lf) {
      append_line(blk, p, end - p, Cut::allowed);
      break;
    }
    const uint8_t* stop = lf > p && lf[-1] == '\r' ? lf - 1 : lf;
    append_line(blk, p, stop - p, Cut::refused);
    p = lf + 1;
  }
  return out;
}

Cell* read(const Cell* file, int64_t part, int64_t seek_to, bool binary, bool lines, Cell* out) {
  if (dir_path_q(file)) return read_dir(file, out);
  const std::string path = file::to_os_path(file);
  uint64_t count = 0;
  if (binary) {
    BinaryTarget target;
    if (read_into(path, part, seek_to, target, &count) != ReadStatus::ok) cannot_open(file);
    return target.finish(count, out);
  }
  HeapTarget target;
  if (read_into(path, part, seek_to, target, &count) != ReadStatus::ok) cannot_open(file);
  if (lines) return lines_to_block(target.data(), count, out);
  return bytes_to_string(target.data(), count, out);
}

Cell* read_dir(const Cell* dir, Cell* out) {
  const std::string path = file::to_os_path(dir);
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(path.c_str()), ::closedir);
  if (!d) cannot_open(dir);
  block::make_at(out, 16);
  const Node blk = out->node();
  std::string name;
  std::string full;
  while (const dirent* e = ::readdir(d.get())) {
    name = e->d_name;
    if (name == "." || name == "..") continue;
    bool folder = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      full = path;
      if (full.empty() || full.back() != '/') full.push_back('/');
      full += name;
      folder = dir_exists_q(full);
    }
    if (folder) name.push_back('/');
    Cell f;
    os_text(&f, name);
    f.set_type(TypeId::file);
    *append_slot(blk) = f;
  }
  return out;
}

// --- writing -------------------------------------------------------------

void write(const Cell* file, const Cell* data, const Cell* part, int64_t seek_to, bool,
           bool append, bool lines) {
  int64_t limit = -1;
  if (part) {
    if (!part->is(TypeId::integer)) {
      Cell ref = refinement::load("part");
      Cell v = *part;
      fire(ErrorCode::script_invalid_refine_arg, &ref, &v);
    }
    limit = part->integer();
    if (limit < 0) {
      // A negative count is no count of characters: taken as nothing to
      // write, the call reported success for a file it never wrote.
      Cell ref = refinement::load("part");
      Cell v = *part;
      fire(ErrorCode::script_invalid_refine_arg, &ref, &v);
    }
  }
  // The bytes are all made before the file is opened: a value that cannot
  // be written (a mold that fails) must leave the file as it was, not
  // emptied or written in part.
  std::vector<std::unique_ptr<ValueBytes>> pieces;
  if (lines && data->is(TypeId::block)) {
    Cell blk = *data;
    const int32_t n = block::rs_length_q(&blk);
    for (int32_t i = 0; i < n; i++) {
      // Re-read the cell each time: molding a value allocates.
      Cell item = memory::series(blk.node())->cells()[blk.head() + i];
      pieces.push_back(std::make_unique<ValueBytes>());
      pieces.back()->convert(&item, -1);
    }
  } else {
    pieces.push_back(std::make_unique<ValueBytes>());
    pieces.back()->convert(data, limit);
  }
  auto put_all = [&](Sink sink) {
    for (const auto& piece : pieces) {
      if (!sink.put(piece->data(), piece->size())) return false;
      if (lines && !sink.put(kLineEnd, 1)) return false;
    }
    return true;
  };
  if (!file) {
    put_all(Sink(-1));
    return;
  }
  const std::string path = file::to_os_path(file);
  // A whole-file write goes to a new file that replaces the target once it
  // is complete. A target that is no regular file (a device, a pipe) is
  // written as it is, as is a file named through an open descriptor, or
  // one whose folder takes no new file (the file itself may still be
  // writable there).
  struct stat old;
  const bool exists = !append && seek_to < 0 && ::stat(path.c_str(), &old) == 0;
  if (exists && S_ISDIR(old.st_mode)) cannot_write(file, EISDIR);
  bool through_descriptor = false;
  const std::string target = append || seek_to >= 0 || (exists && !S_ISREG(old.st_mode))
                                 ? std::string()
                                 : follow_links(path, &through_descriptor);
  if (!target.empty() && !through_descriptor) {
    Replacement replacement;
    const int failed = replacement.open(target, exists ? &old : nullptr);
    const bool folder_refused = failed == EACCES || failed == EPERM || failed == EROFS;
    if (failed == 0) {
      if (!put_all(Sink(replacement.fd()))) cannot_write(file, errno);
      if (const int error = replacement.commit(target)) cannot_write(file, error);
      return;
    }
    if (!(exists && folder_refused)) cannot_write(file, failed);
  }
  uint32_t mode = open_mode::write;
  if (append) mode |= open_mode::append;
  if (seek_to >= 0) mode |= open_mode::seek;
  Fd fd(open_file(path, mode));
  if (fd.get() < 0) cannot_write(file, errno);
  // A stream (pipe, socket, terminal, /dev/null) has no position: the
  // seek is not applied and the bytes go where the stream takes them.
  if (seek_to > 0 && !append && !stream_q(fd.get()) && !seek(fd.get(), seek_to))
    cannot_write(file, errno);
  if (!put_all(Sink(fd.get()))) cannot_write(file, errno);
  if (!fd.close()) cannot_write(file, errno);
}

// --- dates, deletion, renaming, sizes ------------------------------------

bool query(const Cell* file, FileTime* time) {
  struct stat st;
  const std::string path = file::to_os_path(file);
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  const int32_t n = length_of(file);
  if (n > 0 && is_separator(char_at(file, n - 1)) && !S_ISDIR(st.st_mode)) return false;
  std::tm tm{};
  const std::time_t seconds = st.st_mtim.tv_sec;
  if (!::gmtime_r(&seconds, &tm)) return false;
  time->year = tm.tm_year + 1900;
  time->month = tm.tm_mon + 1;
  time->day = tm.tm_mday;
  time->hour = tm.tm_hour;
  time->minute = tm.tm_min;
  time->second = tm.tm_sec;
  time->nanoseconds = static_cast<int32_t>(st.st_mtim.tv_nsec / 1000000 * 1000000);
  return true;
}

bool delete_(const Cell* file) {
  std::string path = file::to_os_path(file);
  if (path.empty()) return false;
  if (!dir_path_q(file)) return ::unlink(path.c_str()) == 0;
  // A folder named with a final "." (%d/.) is the folder itself; rmdir
  // refuses a last component ".", so it is given as %d/.
  if (path.size() > 2 && path.compare(path.size() - 2, 2, "/.") == 0) path.pop_back();
  return ::rmdir(path.c_str()) == 0;
}

bool rename(const Cell* from, const Cell* to) {
  const std::string a = file::to_os_path(from);
  const std::string b = file::to_os_path(to);
  if (a.empty() || b.empty()) return false;
  // A name that is taken is refused: the system's rename would silently
  // replace that file (or empty folder) and its contents would be lost.
  // The same file under another spelling (%a and %./a) is no other file.
  const auto same_file = [&a, &b] {
    struct stat sa, sb;
    return ::lstat(a.c_str(), &sa) == 0 && ::lstat(b.c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  };
#ifdef RENAME_NOREPLACE
  if (::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno == EEXIST) return same_file() && ::rename(a.c_str(), b.c_str()) == 0;
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  struct stat st;
  if (::lstat(b.c_str(), &st) == 0) return same_file() && ::rename(a.c_str(), b.c_str()) == 0;
  if (errno != ENOENT) return false;
  return ::rename(a.c_str(), b.c_str()) == 0;
}

int64_t size_of(const Cell* file) {
  if (dir_path_q(file)) return -1;
  Fd fd(open_file(file::to_os_path(file), open_mode::read));
  if (fd.get() < 0) return -1;
  return file_size(fd.get());
}

}  // namespace qel::files
