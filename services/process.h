// Child processes: the service behind the `call` native, over posix_spawn,
// pipes, poll and waitpid.
//
// Two layers. `run` starts one process from a plain description (UTF-8
// command, where each standard stream comes from or goes to) and, when asked
// to wait, feeds its input and collects its output and error concurrently
// with poll, so a child that writes much before it reads, or much error
// output before its output ends, never stalls the exchange. `call` is the
// value-level side: it turns the native's arguments into such a description
// and inserts what the child wrote into the caller's string! or binary!.
//
// A command is split into words by the quoting rules of the POSIX shell
// (blanks, tabs and line ends separate; single quotes, double quotes and
// backslashes quote; nothing is expanded) and the program is started
// directly, by name through PATH; nothing reaches a shell, so a program
// that cannot be started is a failure (-1). Only /shell hands the line to
// `/bin/sh -c` (pipes, redirections, variables, built-ins). Text crosses as
// UTF-8 with LF line ends.
//
// No zombies: a child the caller does not wait for is reaped by a small
// detached thread blocked in waitpid. Waiting ends when the child itself has
// ended and its pipes are drained, even if a process it started in the
// background still holds them open.
//
// The child gets only descriptors 0-2, no blocked signals and default
// dispositions. A file! command is that file, one word, never looked up
// through PATH. A child that stops reading drops the rest of the input
// (SIGPIPE is held back for the write). A signalled child's status is
// 128 + the signal. Captured output beyond a series (2 GiB) closes the pipe
// and raises `too-long`; output captured into a string! is decoded as a file
// read as text is (bytes that are not UTF-8 raise access `invalid-utf8`; a
// binary! takes them as they are). A command line passes U+DC80..U+DCFF as
// the bytes they stand for, as file names do.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/cell.h"

namespace qel::io {

// Where a child's standard input comes from, or where its output or error
// goes.
enum class StreamKind : uint8_t {
  inherit,  // the program's own stream
  null,     // /dev/null
  bytes,    // input: the bytes given; output: captured through a pipe
  file,     // input: read from the path; output: appended to the path
};

struct Stream {
  StreamKind kind = StreamKind::inherit;
  std::string path;                // for StreamKind::file
  std::vector<uint8_t> bytes;      // input bytes, or the captured output
};

struct ProcessSpec {
  std::string command;  // UTF-8
  bool shell = false;   // run as /bin/sh -c command
  bool wait = false;    // wait for the end and give the exit status
  Stream input{StreamKind::inherit};
  Stream output{StreamKind::null};
  Stream error{StreamKind::null};
  // For the program's own helpers (the clipboard tools): the child is
  // killed once it runs longer than this (milliseconds; negative: never).
  int32_t timeout_ms = -1;
};

struct ProcessResult {
  // -1 when the process could not be started (or was killed at its
  // time-out), the exit status when waited for (128 + the signal for a
  // child ended by a signal), else the process id.
  int64_t status = -1;
  bool too_long = false;   // captured output passed the limit; the rest was dropped
  bool timed_out = false;
};

// Starts the process; with spec.wait (forced by any captured or given
// stream) runs the exchange and waits. Captured bytes land in
// spec.output.bytes and spec.error.bytes.
ProcessResult run(ProcessSpec& spec);

// The words of a command, as described above.
std::vector<std::string> split_command(std::string_view command);
// A word quoted so that split_command gives it back whole.
std::string quote_word(std::string_view word);

// The most bytes one captured stream keeps (a series limit); tests lower it.
uint64_t capture_limit();
void set_capture_limit(uint64_t bytes);

// True when an executable of that name is found through PATH.
bool program_exists(std::string_view name);

// Starts a program with its arguments, detached: no stream of the program's
// own is given to it (all three go to /dev/null) and nobody waits for it
// (it is reaped in the background). False when it could not be started.
bool spawn_detached(const std::vector<std::string>& argv);

// --- the call native's side

struct CallFlags {
  bool wait = false, show = false, console = false, shell = false;
};

// Runs `command` (a string!, or a file! taken in its local form as one
// program name) with the native's refinements; `in`, `out`, `err` are null
// when absent (string!, binary! or file!). Captured output and error are
// decoded (a string! gets UTF-8 text with CR LF and lone CR made LF,
// stopping at the first invalid sequence; a binary! the bytes) and inserted
// at the destination's position. Returns -1, the exit status or the process
// id. Captured output beyond the series limit raises script `too-long`.
int64_t call(const Cell* command, CallFlags flags, const Cell* in, const Cell* out,
             const Cell* err);

}  // namespace qel::io
