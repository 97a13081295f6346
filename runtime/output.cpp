// Console output: the buffer, the flush policy and UTF-8 encoding of string
// units. See output.h for the policy.
#include "runtime/output.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <pthread.h>
#include <unistd.h>

#include "runtime/fatal.h"
#include "runtime/platform.h"

namespace qel::output {

namespace {

constexpr int kFd = 1;
constexpr size_t kCapacity = 64 * 1024;

char buffer[kCapacity];
size_t used = 0;
bool terminal = false;
bool ready = false;
std::string* capture = nullptr;

// The reader of the pipe that is the standard output has gone. SIGPIPE is
// ignored (so that writes to other pipes fail and are reported), so the end
// that signal brings a writer in a pipeline is brought here: the terminal is
// put back and the process ends by SIGPIPE.
[[noreturn]] void end_with_closed_output() {
  used = 0;
  runtime::run_exit_restore();
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(SIGPIPE, &dfl, nullptr);
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  ::pthread_sigmask(SIG_UNBLOCK, &pipe_only, nullptr);
  ::raise(SIGPIPE);
  ::_exit(128 + SIGPIPE);
}

enum class OnClosed { end, ignore };

// Writes bytes straight to the standard output. Other errors are ignored: a
// full or failing output must not stop the program.
void write_all(const char* p, size_t n, OnClosed closed = OnClosed::end) {
  if (platform::write_stdout_raw(p, n) == EPIPE && closed == OnClosed::end) end_with_closed_output();
}

void flush_buffer() {
  size_t n = used;
  used = 0;
  write_all(buffer, n);
}

void flush_at_exit() { flush(); }

// Appends bytes; `line_end` tells that they hold a line end, which on a
// terminal writes the buffer out.
void put(const char* p, size_t n, bool line_end) {
  if (capture) {
    capture->append(p, n);
    return;
  }
  if (n > kCapacity - used) {
    flush_buffer();
    if (n >= kCapacity) {
      write_all(p, n);
      return;
    }
  }
  std::memcpy(buffer + used, p, n);
  used += n;
  if (line_end && terminal) flush_buffer();
}

}  // namespace

void init() {
  if (ready) return;
  ready = true;
  terminal = ::isatty(kFd) == 1;
  std::atexit(flush_at_exit);
}

bool is_terminal() { return terminal; }

void write_utf8(const char* text, size_t length) {
  if (length == 0) return;
  put(text, length, terminal && std::memchr(text, '\n', length) != nullptr);
}

void write_string_units(const void* units, uint32_t unit_size, size_t count) {
  if (unit_size != 1 && unit_size != 2 && unit_size != 4) {
    char line[64];
    int n = std::snprintf(line, sizeof line, "Error: unknown string encoding: %u\n", unit_size);
    put(line, static_cast<size_t>(n), true);
    return;
  }
  // Encode in chunks through a small local buffer, so that one path serves
  // the output buffer and a capture alike.
  char chunk[1024];
  size_t fill = 0;
  bool line_end = false;
  const auto* bytes = static_cast<const uint8_t*>(units);
  for (size_t i = 0; i < count; ++i) {
    uint32_t cp;
    if (unit_size == 1) {
      cp = bytes[i];
    } else if (unit_size == 2) {
      uint16_t u;
      std::memcpy(&u, bytes + 2 * i, 2);
      cp = u;
    } else {
      std::memcpy(&cp, bytes + 4 * i, 4);
    }
    if (fill > sizeof chunk - 4) {
      put(chunk, fill, line_end);
      fill = 0;
      line_end = false;
    }
    if (cp == '\n') line_end = true;
    fill += encode_utf8(cp, chunk + fill);
  }
  if (fill) put(chunk, fill, line_end);
}

void write_line_end() { put("\n", 1, true); }

void flush() {
  if (used) flush_buffer();
}

void begin_capture(std::string* sink) {
  flush();
  capture = sink;
}

void end_capture() { capture = nullptr; }

bool capturing() { return capture != nullptr; }

void flush_from_signal() {
  size_t n = used;
  if (n > kCapacity) return;
  used = 0;
  write_all(buffer, n, OnClosed::ignore);
}

}  // namespace qel::output
