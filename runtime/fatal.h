// Failures below the language and the ways the process ends.
//
// A failure that is not a Qel error (a processor fault, an exhausted heap, a
// throw that nothing catches, a low-level switch without a branch) ends the
// process with a numbered runtime error: a two-line report on the standard
// output and the number as exit status:
//
//   \n*** Runtime Error 94: out of memory\n*** at: 0001A2B4h\n
//
// The address is the place of the failure as an offset into the program
// image (8 hexadecimal digits), so that it reads the same from run to run.
// `quit` with code 0 is also the program's ordinary end; `quit_return` is the
// language's `quit/return`, which never prints a report.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::runtime {

// Runtime error numbers with a name in code. The full list of codes and
// their messages lives in fatal.cpp.
namespace fatal_code {
inline constexpr int32_t access_violation = 1;
inline constexpr int32_t breakpoint = 3;
inline constexpr int32_t single_step = 4;
inline constexpr int32_t integer_divide_by_zero = 13;
inline constexpr int32_t stack_overflow = 19;
inline constexpr int32_t out_of_memory = 94;
inline constexpr int32_t no_catch_for_throw = 95;
inline constexpr int32_t assertion_failed = 98;
inline constexpr int32_t unknown_error = 99;
inline constexpr int32_t no_case_matched = 100;
inline constexpr int32_t no_switch_matched = 101;
}  // namespace fatal_code

// The message of a runtime error code; "unknown error code!" for codes
// without one.
const char* runtime_error_message(int32_t code);

// Ends the process. A non-zero code first prints the runtime-error report
// with `address` as the place; then the output is flushed, the terminal
// restored, every heap block released, and the process exits with the code
// (taken modulo 256 by the system).
[[noreturn]] void quit(int32_t code, uintptr_t address = 0);

// `quit/return`: exits with the given status at once, without a report
// (output flushed, terminal restored, heap blocks released).
[[noreturn]] void quit_return(int32_t status);

// A low-level case or switch over a fixed set of codes met a code outside
// it: runtime error 100 "no value matched in CASE" or 101 "no value matched
// in SWITCH", at the caller's place.
[[noreturn]] void no_case_matched();
[[noreturn]] void no_switch_matched();

// The return address inside the routine that called this function: the
// place an out-of-memory report shows.
[[gnu::noinline]] uintptr_t caller_address();

// The place shown in a report for a machine address: its offset from the
// start of the program image when it lies in the first 4 GiB above it, else
// its low 32 bits.
uint32_t report_address(uintptr_t address);

// Formats the report of `code` at `address` into `out` (at least 160
// bytes) without allocating; returns its length. Used by `quit` and, from
// a signal handler, by the fault handler.
size_t format_report(char* out, int32_t code, uintptr_t address);

// A function that puts the terminal back as it was (the console registers
// one while it changes terminal modes). It runs on every way out, including
// from the fault handler, so it must be async-signal-safe. Null clears it.
using ExitRestore = void (*)();
void set_exit_restore(ExitRestore fn);
// The function registered now, or null (so that a nested owner of the
// terminal can put back the one it found).
ExitRestore current_exit_restore();
// Runs the registered restore function once (later calls do nothing).
void run_exit_restore();

// A failed VERIFY (core/verify.h): names the condition and its place on
// the standard error, then ends with runtime error 98 "assertion failed".
[[noreturn]] void verify_failed(const char* condition, const char* file, int line);

}  // namespace qel::runtime
