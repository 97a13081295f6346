// Fatal signals: the program's unhandled-exception filter.
//
// A processor fault (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP) ends the
// process with the runtime error its kind maps to, reported like any other
// runtime error and with its code as exit status; SIGINT (Ctrl-C outside the
// line editor) ends it silently with status 0. The handler runs on an
// alternate signal stack, so that a machine-stack overflow can still be
// reported, and uses only write(2) and _exit. SIGTERM, SIGHUP, SIGQUIT,
// SIGABRT and every other signal whose default ends the process (SIGUSR1,
// SIGALRM, SIGXCPU ...) keep their usual effect but restore the terminal
// first. SIGPIPE is
// ignored, so that a write to a pipe whose reader has gone fails and its
// writer reports it; the standard output ends the process then (output.h).
#pragma once

#include <cstdint>

namespace qel::runtime {

// Installs the handlers for the whole process. Call once, early.
void install_fault_handlers();

// Gives the calling thread its own alternate signal stack. The alternate
// stack is per thread: every thread that runs Qel code calls this.
void install_alt_stack();

// Tells the handler the low end of the interpreter's machine stack, so that
// a fault there is reported as a stack overflow.
void set_interpreter_stack(uintptr_t low);

// The runtime error code of a signal with its si_code (0 for SIGINT, 99 for
// a signal without a mapping). `stack_guard` tells that the fault address
// lies at the low end of the interpreter's stack.
int32_t map_signal(int signal, int si_code, bool stack_guard);

}  // namespace qel::runtime
