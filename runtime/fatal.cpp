// Runtime errors: the message table, the report and the ways out.
#include "runtime/fatal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/heap.h"
#include "runtime/output.h"
#include "runtime/print.h"

// Start of the program image, provided by the linker.
extern "C" char __executable_start[];

namespace qel::runtime {

namespace {

struct RuntimeErrorRow {
  int32_t code;
  const char* message;
};

// Messages are exact, including the cut "operan" of code 6.
constexpr RuntimeErrorRow kRuntimeErrors[] = {
    {1, "access violation"},
    {2, "invalid alignment"},
    {3, "breakpoint"},
    {4, "single step"},
    {5, "bounds exceeded"},
    {6, "float denormal operan"},
    {7, "float divide by zero"},
    {8, "float inexact result"},
    {9, "float invalid operation"},
    {10, "float overflow"},
    {11, "float stack check"},
    {12, "float underflow"},
    {13, "integer divide by zero"},
    {14, "integer overflow"},
    {15, "privileged instruction"},
    {16, "invalid virtual address"},
    {17, "illegal instruction"},
    {18, "non-continuable exception"},
    {19, "stack error or overflow"},
    {20, "invalid disposition"},
    {21, "guard page"},
    {22, "invalid handle"},
    {23, "illegal operand"},
    {24, "illegal addressing mode"},
    {25, "illegal trap"},
    {26, "coprocessor error"},
    {27, "non-existent physical address"},
    {28, "object specific hardware error"},
    {29, "hardware memory error consumed AR"},
    {30, "hardware memory error consumed AO"},
    {31, "privileged register"},
    {32, "segmentation fault"},
    {33, "FPU error"},
    {34, "Bus error"},
    {94, "out of memory"},
    {95, "no CATCH for THROW"},
    {98, "assertion failed"},
    {99, "unknown error"},
    {100, "no value matched in CASE"},
    {101, "no value matched in SWITCH"},
};

std::atomic<ExitRestore> exit_restore{nullptr};

// Appends a NUL-terminated text; returns the new end.
char* put_text(char* p, const char* text) {
  while (*text) *p++ = *text++;
  return p;
}

char* put_decimal(char* p, int32_t value) {
  uint32_t magnitude = static_cast<uint32_t>(value);
  if (value < 0) {
    *p++ = '-';
    magnitude = 0u - magnitude;
  }
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude);
  while (n) *p++ = digits[--n];
  return p;
}

char* put_hex8(char* p, uint32_t value) {
  for (int shift = 28; shift >= 0; shift -= 4) *p++ = "0123456789ABCDEF"[(value >> shift) & 0xF];
  return p;
}

// What every way out does before the process ends.
void leave() {
  output::end_capture();
  output::flush();
  free_all();
}

}  // namespace

const char* runtime_error_message(int32_t code) {
  for (const RuntimeErrorRow& r : kRuntimeErrors)
    if (r.code == code) return r.message;
  return "unknown error code!";
}

uint32_t report_address(uintptr_t address) {
  auto base = reinterpret_cast<uintptr_t>(__executable_start);
  if (address >= base && address - base <= 0xFFFFFFFFu) return static_cast<uint32_t>(address - base);
  return static_cast<uint32_t>(address);
}

size_t format_report(char* out, int32_t code, uintptr_t address) {
  char* p = out;
  p = put_text(p, "\n*** Runtime Error ");
  p = put_decimal(p, code);
  p = put_text(p, ": ");
  p = put_text(p, runtime_error_message(code));
  p = put_text(p, "\n*** at: ");
  p = put_hex8(p, report_address(address));
  p = put_text(p, "h\n");
  *p = 0;
  return static_cast<size_t>(p - out);
}

void quit(int32_t code, uintptr_t address) {
  // A capture belongs to a test that is over now: the report goes to the
  // real output. Pending output goes out, then the terminal is restored, so
  // that the report reads right.
  output::end_capture();
  output::flush();
  run_exit_restore();
  if (code != 0) {
    char report[160];
    format_report(report, code, address);
    print({arg::cstring(report)});
  }
  leave();
  std::exit(code);
}

void quit_return(int32_t status) {
  output::end_capture();
  output::flush();
  run_exit_restore();
  leave();
  std::exit(status);
}

[[gnu::noinline]] void no_case_matched() {
  quit(fatal_code::no_case_matched, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

[[gnu::noinline]] void no_switch_matched() {
  quit(fatal_code::no_switch_matched, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

void verify_failed(const char* condition, const char* file, int line) {
  output::flush();  // what was printed before comes first
  std::fprintf(stderr, "VERIFY failed: %s (%s:%d)\n", condition, file, line);
  quit(fatal_code::assertion_failed, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

uintptr_t caller_address() { return reinterpret_cast<uintptr_t>(__builtin_return_address(0)); }

void set_exit_restore(ExitRestore fn) { exit_restore.store(fn); }

ExitRestore current_exit_restore() { return exit_restore.load(); }

void run_exit_restore() {
  if (ExitRestore fn = exit_restore.exchange(nullptr)) fn();
}

}  // namespace qel::runtime
