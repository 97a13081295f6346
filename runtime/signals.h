// Fatal signals: the program's unhandled-exception filter.
//
// A processor fault (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP) ends the
// process with the runtime error its kind maps to, reported like any other
// runtime error and with its code as exit status. The handler runs on an
// alternate signal stack, so that a machine-stack overflow can still be
// reported, and uses only write(2) and _exit. SIGINT (Ctrl-C outside the
// line editor) ends the process with status 130 and SIGTERM with 143, after
// the pending output and the terminal; SIGHUP, SIGQUIT, SIGABRT and every
// other signal whose default ends the process (SIGUSR1, SIGALRM, SIGXCPU
// ...) keep their usual effect but restore the terminal first. SIGPIPE is
// ignored, so that a write to a pipe whose reader has gone fails and its
// writer reports it; the standard output ends the process then (output.h).
// SIGXFSZ is ignored too: a write past the file size limit fails, and its
// writer reports it, instead of the process ending in the middle of it.
//
// Interrupts can halt instead: while an evaluation at the interactive
// console runs, the console gives a halt (set_interrupt_halt). SIGINT then
// only sets `interrupt_pending`; the interpreter takes it up at the start
// of its next block (take_interrupt), which calls the halt, and a wait in
// progress ends early.
#pragma once

#include <csignal>
#include <cstdint>

namespace qel::runtime {

// Set by SIGINT while a halt is given; cleared by take_interrupt.
extern volatile std::sig_atomic_t interrupt_pending;

// What an interrupt does: call `halt` (which unwinds the evaluation, or
// returns to drop the interrupt) at the interpreter's next step, or, with
// nullptr, end the process (status 130). Clears a pending interrupt.
using InterruptHalt = void (*)();
void set_interrupt_halt(InterruptHalt halt);

// Called by the interpreter when `interrupt_pending` is set: clears it and
// calls the halt given, if one still is.
void take_interrupt();

// Installs the handlers for the whole process. Call once, early.
void install_fault_handlers();

// Gives the calling thread its own alternate signal stack. The alternate
// stack is per thread: every thread that runs Qel code calls this.
void install_alt_stack();

// Tells the handler the low end of the interpreter's machine stack, so that
// a fault there is reported as a stack overflow.
void set_interpreter_stack(uintptr_t low);

// The runtime error code of a signal with its si_code (99 for a signal
// without a mapping). `stack_guard` tells that the fault address
// lies at the low end of the interpreter's stack.
int32_t map_signal(int signal, int si_code, bool stack_guard);

}  // namespace qel::runtime
