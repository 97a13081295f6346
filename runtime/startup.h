// The process entry and the start-up sequence.
//
// `startup::run` prepares the process (fault handlers, argument vector),
// moves to a large reserved stack and, on it, inside the root catch, brings
// every subsystem up in a fixed order (`runtime::init`), makes the global
// words, runs the library's top-level code and launches the console. When the console returns the process ends
// with status 0. The sequence is in runtime/startup.cpp; nothing in it may be
// reordered.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel {

namespace runtime {

// The runtime's process-wide record.
struct SystemRecord {
  int argc = 0;
  char** argv = nullptr;  // argc UTF-8 arguments and a null pointer
  // The boot values' source: the QELBIN blob (or boot text) in the image.
  const uint8_t* boot_data = nullptr;
  size_t boot_size = 0;
};
extern SystemRecord system;

// The size reserved for the interpreter's machine stack. Qel's own limits
// (argument stack, call stack, nesting depth) raise their errors long before
// it runs out; should it still overflow, the fault handler (on its alternate
// stack) reports runtime error 19. Under a limit of the address space
// (RLIMIT_AS) it reserves at most a quarter of it. The main thread switches
// to a stack of this size (64 MiB when that cannot be had) and runs the
// interpreter there; builds with AddressSanitizer, which does not follow such
// a switch, start an interpreter thread with that stack instead, the main
// thread only waiting with every signal blocked so that signals from outside
// reach the interpreter thread; failing both, the main thread runs it on its
// own stack. The interpreter resets the floating-point environment (round to
// nearest, exceptions masked).
inline constexpr size_t kInterpreterStack = size_t{512} << 20;

// Before the interpreter starts: installs the fault handlers and
// records the argument vector.
void on_start(int argc, char** argv);

// Brings the subsystems up in their fixed order.
void init();

}  // namespace runtime

namespace startup {

// What runs once start-up is done: the console, or a test driver.
using Launch = void (*)();

// The whole program. `launch` replaces the console's launch (test drivers
// pass their own). Never returns: the process ends through runtime::quit.
[[noreturn]] void run(int argc, char** argv, Launch launch = nullptr);

}  // namespace startup

}  // namespace qel
