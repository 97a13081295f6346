// Console output: the one path by which the program writes to its standard
// output.
//
// Everything is written as UTF-8 with LF line ends, to a terminal and when
// redirected alike. Output is buffered: on a terminal the buffer is flushed
// at every line end, and always before input is read (the console and the
// standard-input routines call `flush`, and so does `read` of a pipe or a
// terminal), before a wait, before a child process starts, before the GUI
// takes the terminal, before a report on the standard error, and at exit by
// every way (quit, an uncaught error, a signal, a runtime error); when
// redirected it is written only when the buffer fills, so print-heavy
// scripts pay one system call per 64 KiB rather than one per item. Whether
// the output is a terminal is asked once, at start-up. Escape sequences pass through unchanged
// (the terminal interprets them). Write errors are ignored, except that a
// standard output that is a pipe whose reader has gone ends the process by
// SIGPIPE (the terminal put back first), as a writer in a pipeline is
// expected to end.
//
// Tests can redirect all output into a string (`begin_capture`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qel::output {

// Start-up: learns whether standard output is a terminal. Safe to call more
// than once; writing before it behaves as redirected output.
void init();

// True when standard output is a terminal.
bool is_terminal();

// Writes UTF-8 bytes as they are.
void write_utf8(const char* text, size_t length);
inline void write_utf8(std::string_view text) { write_utf8(text.data(), text.size()); }

// Writes `count` string units of `unit_size` bytes each (1: code points
// 0-255, 2: code points 0-0xFFFF, 4: any code point), encoded to UTF-8; each
// 2-byte unit is encoded on its own. Another unit size writes the line
// "Error: unknown string encoding: " and the size instead.
void write_string_units(const void* units, uint32_t unit_size, size_t count);

// Writes a line end (LF).
void write_line_end();

// Writes out whatever is buffered.
void flush();

// Tests: from now on every write is appended to `sink` instead of going to
// the standard output (whatever was buffered is flushed first).
void begin_capture(std::string* sink);
// Ends a capture; writes go to the standard output again.
void end_capture();
// True while a capture is active.
bool capturing();

// For the fault handler: writes the buffered bytes with write(2) and
// nothing else (async-signal-safe as far as the buffer is consistent).
void flush_from_signal();

// Encodes one code point as UTF-8 into `out` (room for 4 bytes) and returns
// the byte count. Code points above 0x10FFFF become U+FFFD.
inline size_t encode_utf8(uint32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp > 0x10FFFF) cp = 0xFFFD;
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

}  // namespace qel::output
