// Line-by-line reading of standard input that is not a terminal.
#include "console/stdin_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include <unistd.h>

namespace qel::console {

void append_utf8_lossy(const uint8_t* bytes, size_t count, Text& out) {
  constexpr char32_t kReplacement = 0xFFFD;
  size_t i = 0;
  while (i < count) {
    uint8_t b = bytes[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    int32_t extra = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      extra = 1, cp = b & 0x1F, minimum = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2, cp = b & 0x0F, minimum = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3, cp = b & 0x07, minimum = 0x10000;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    size_t j = i + 1;
    int32_t taken = 0;
    while (taken < extra && j < count && (bytes[j] & 0xC0) == 0x80) {
      cp = (cp << 6) | (bytes[j] & 0x3F);
      ++j;
      ++taken;
    }
    bool valid = taken == extra && cp >= minimum && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    out.push_back(valid ? cp : kReplacement);
    // A cut sequence ends before the byte that cut it, which starts anew.
    i = j;
  }
}

bool StdinReader::refill() {
  for (;;) {
    ssize_t n = ::read(fd_, buffer_, sizeof buffer_);
    if (n > 0) {
      position_ = 0;
      length_ = static_cast<size_t>(n);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

bool StdinReader::read_line(Text& line) {
  line.clear();
  std::basic_string<uint8_t> bytes;
  bool any = false;
  for (;;) {
    if (position_ == length_ && !refill()) break;
    any = true;
    const uint8_t* start = buffer_ + position_;
    size_t available = length_ - position_;
    const void* lf = std::memchr(start, '\n', available);
    size_t n = lf ? static_cast<size_t>(static_cast<const uint8_t*>(lf) - start) : available;
    if (bytes.size() + n > line_limit_) {
      // A piece of the line, cut before a character's first byte (or
      // after a character begun before the cut); the rest comes next.
      size_t take = line_limit_ - bytes.size();
      while (take > 0 && (start[take] & 0xC0) == 0x80) --take;
      if (take == 0)
        while (take < n && (start[take] & 0xC0) == 0x80) ++take;
      bytes.append(start, take);
      position_ += take;
      // That character ended the line: its line feed goes with it.
      if (lf && take == n) ++position_;
      append_utf8_lossy(bytes.data(), bytes.size(), line);
      return true;
    }
    bytes.append(start, n);
    if (lf) {
      position_ += n + 1;
      append_utf8_lossy(bytes.data(), bytes.size(), line);
      return true;
    }
    position_ = length_;
  }
  append_utf8_lossy(bytes.data(), bytes.size(), line);
  return any;
}

long StdinReader::read_bytes(uint8_t* out, size_t capacity) {
  if (capacity == 0) return 0;
  if (position_ == length_) {
    for (;;) {
      ssize_t n = ::read(fd_, out, capacity);
      if (n >= 0) return static_cast<long>(n);
      if (errno != EINTR) return -1;
    }
  }
  size_t n = std::min(capacity, length_ - position_);
  std::memcpy(out, buffer_ + position_, n);
  position_ += n;
  return static_cast<long>(n);
}

}  // namespace qel::console
