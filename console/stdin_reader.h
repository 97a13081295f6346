// Standard input when it is not a terminal (a pipe, a file, or a terminal
// whose output is redirected): read line by line, without prompt or echo.
//
// Lines end at a line feed, which is not kept; a carriage return before it
// stays in the line. The bytes are UTF-8: each invalid sequence becomes
// U+FFFD. A last line without a line feed is returned like any other; after
// it, the end of the input (or a read error other than an interruption) is
// reported once per call, so that callers can stop instead of asking for
// lines for ever. A line longer than the line limit comes in pieces of at
// most that many bytes, cut between characters: input without line feeds
// (a binary file, /dev/zero) cannot fill the memory.
//
// The reader buffers what it reads; the byte reads of `read-stdin` go
// through the same buffer, so nothing read ahead for a line is lost.
#pragma once

#include <cstddef>
#include <cstdint>

#include "console/line_editor.h"

namespace qel::console {

class StdinReader {
 public:
  // The longest piece of a line, in bytes.
  static constexpr size_t kLineLimit = size_t{1} << 26;

  explicit StdinReader(int fd, size_t line_limit = kLineLimit)
      : fd_(fd), line_limit_(line_limit < 4 ? 4 : line_limit) {}

  // Reads one line into `line` (replacing its content). False when the
  // input ended, or failed, before any byte of a line.
  bool read_line(Text& line);

  // Reads at most `capacity` bytes: what is buffered, else one read.
  // Answers the count, 0 at the end of the input, -1 on a read error.
  long read_bytes(uint8_t* out, size_t capacity);

 private:
  // Reads more input into the buffer; false at the end or on an error.
  bool refill();

  int fd_;
  size_t line_limit_;
  uint8_t buffer_[4096];
  size_t position_ = 0;
  size_t length_ = 0;
};

// Decodes UTF-8 bytes onto the end of `out`, turning each invalid
// sequence (a stray or missing continuation byte, an overlong form, a
// surrogate, a code point above U+10FFFF) into U+FFFD.
void append_utf8_lossy(const uint8_t* bytes, size_t count, Text& out);

}  // namespace qel::console
