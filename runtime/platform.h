// Platform services over POSIX: the thin layer through which the runtime
// reaches the operating system for process-wide services (start-up of the
// output, the current directory, environment variables, sleeping, the clock,
// the time zone and secure random bytes). Each operation is a direct wrapper;
// the natives that use them decide what a failure means. Text crossing this
// layer is UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace qel::platform {

// Start-up: the cryptographic provider's start, then the output layer's.
void init();

// The current directory, or nothing when the system cannot tell it (for
// example, it was removed).
std::optional<std::string> get_current_dir();
// Changes the current directory; true on success.
bool set_current_dir(const std::string& path);

// An environment variable, or nothing when it is not set.
std::optional<std::string> get_env(const std::string& name);
// Sets a variable, or removes it when `value` is null; true on success.
bool set_env(const std::string& name, const std::string* value);

// The whole milliseconds a wait of `seconds` sleeps: at least 1 (zero,
// negative and NaN waits included), truncated toward zero, and clamped to
// kMaxWaitMs (about 285,000 years; infinity lands there).
inline constexpr uint64_t kMaxWaitMs = uint64_t{1} << 53;
uint64_t wait_milliseconds(double seconds);
// Sleeps for wait_milliseconds(seconds), in chunks, resuming after signals;
// an interrupt that halts the evaluation (runtime/signals.h) halts it at
// once. The output is flushed first.
void wait(double seconds);

// The time of day in UTC, in seconds; with `precise` the fraction of the
// second is included.
double get_time(bool precise);

// Writes bytes straight to the standard output (no buffer), retrying EINTR
// and short writes; answers 0, or the errno of the write that failed.
// Async-signal-safe: the exit and fault paths use it.
int write_stdout_raw(const char* p, size_t n);

// The packed date word of a day: year << 17 | month << 12 | day << 7 |
// zone. Zone bits 2-6 hold the whole hours of the offset from UTC as a 4-bit
// magnitude with 0x10 set for offsets west of UTC; bits 0-1 the remaining
// minutes in quarter hours.
uint32_t pack_date(int year, int month, int day, long offset_seconds);

// Today as a packed date word, in UTC (zone 0) or in local time with the
// local zone.
uint32_t get_date(bool utc);
// The same for a given moment (tests).
uint32_t get_date_at(std::time_t moment, bool utc);

// Fills the buffer with secure random bytes from the system (getrandom(2);
// /dev/urandom on a kernel without it). A system that gives none ends the
// process with a runtime error.
void random_bytes(uint8_t* buffer, size_t count);

}  // namespace qel::platform
