// Fatal signals mapped to runtime errors. Everything reached from the
// handler is async-signal-safe: write(2), _exit, and formatting into a
// local buffer.
#include "runtime/signals.h"

#include <atomic>
#include <csignal>

#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include "runtime/fatal.h"
#include "runtime/output.h"
#include "runtime/platform.h"

namespace qel::runtime {

volatile std::sig_atomic_t interrupt_pending = 0;

namespace {

std::atomic<uintptr_t> stack_low{0};
std::atomic<InterruptHalt> interrupt_halt{nullptr};

// How far around the low end of the interpreter's stack a fault counts as
// running off the stack (the guard pages, and a large frame that skipped
// past them).
constexpr uintptr_t kGuardReach = 1u << 20;

bool in_stack_guard(const void* address) {
  auto a = reinterpret_cast<uintptr_t>(address);
  uintptr_t low = stack_low.load(std::memory_order_relaxed);
  if (low == 0) return false;
  return a + kGuardReach >= low && a < low + kGuardReach;
}

uintptr_t fault_pc(void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
  if (!uc) return 0;
#if defined(__x86_64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.pc);
#else
  return 0;
#endif
}

void on_fault(int signal, siginfo_t* info, void* context) {
  bool guard = signal == SIGSEGV && in_stack_guard(info->si_addr);
  int32_t code = map_signal(signal, info->si_code, guard);
  output::flush_from_signal();
  run_exit_restore();
  char report[160];
  size_t n = format_report(report, code, fault_pc(context));
  platform::write_stdout_raw(report, n);
  ::_exit(code);
}

// Ends the process with 128 + the signal (130 for SIGINT, 143 for
// SIGTERM), as a shell reports a program that a signal ended.
[[noreturn]] void end_by(int signal) {
  output::flush_from_signal();
  run_exit_restore();
  ::_exit(128 + signal);
}

// SIGINT: a halt when one is given, else the end of the process.
void on_interrupt(int) {
  if (interrupt_halt.load()) {
    interrupt_pending = 1;
    return;
  }
  end_by(SIGINT);
}

void on_terminate(int) { end_by(SIGTERM); }

// Signals that end the process as usual, after the terminal is restored.
void on_termination(int signal) {
  output::flush_from_signal();
  run_exit_restore();
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(signal, &dfl, nullptr);
  ::raise(signal);
}

}  // namespace

int32_t map_signal(int signal, int si_code, bool stack_guard) {
  switch (signal) {
    case SIGSEGV:
      if (stack_guard) return 19;  // stack error or overflow
      switch (si_code) {
        case SEGV_MAPERR:
        case SEGV_ACCERR:
          return 1;  // access violation
#ifdef SEGV_BNDERR
        case SEGV_BNDERR:
          return 5;  // bounds exceeded
#endif
        default:
          return 32;  // segmentation fault
      }
    case SIGBUS:
      switch (si_code) {
        case BUS_ADRALN: return 2;      // invalid alignment
        case BUS_ADRERR: return 27;     // non-existent physical address
        case BUS_OBJERR: return 28;     // object specific hardware error
#ifdef BUS_MCEERR_AR
        case BUS_MCEERR_AR: return 29;  // hardware memory error consumed AR
        case BUS_MCEERR_AO: return 30;  // hardware memory error consumed AO
#endif
        default: return 34;             // Bus error
      }
    case SIGILL:
      switch (si_code) {
        case ILL_ILLOPN: return 23;  // illegal operand
        case ILL_ILLADR: return 24;  // illegal addressing mode
        case ILL_ILLTRP: return 25;  // illegal trap
        case ILL_PRVOPC: return 15;  // privileged instruction
        case ILL_PRVREG: return 31;  // privileged register
        case ILL_COPROC: return 26;  // coprocessor error
        case ILL_BADSTK: return 19;  // stack error or overflow
        default: return 17;          // illegal instruction
      }
    case SIGFPE:
      switch (si_code) {
        case FPE_INTDIV: return 13;  // integer divide by zero
        case FPE_INTOVF: return 14;  // integer overflow
        case FPE_FLTDIV: return 7;   // float divide by zero
        case FPE_FLTOVF: return 10;  // float overflow
        case FPE_FLTUND: return 12;  // float underflow
        case FPE_FLTRES: return 8;   // float inexact result
        case FPE_FLTINV: return 9;   // float invalid operation
        case FPE_FLTSUB: return 5;   // bounds exceeded
        default: return 33;          // FPU error
      }
    case SIGTRAP:
      return si_code == TRAP_TRACE ? 4 : 3;  // single step : breakpoint
    default:
      return 99;  // unknown error
  }
}

void install_fault_handlers() {
  struct sigaction sa {};
  sa.sa_sigaction = on_fault;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (int s : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP}) ::sigaction(s, &sa, nullptr);

  struct sigaction ending {};
  ending.sa_flags = SA_ONSTACK;
  sigemptyset(&ending.sa_mask);
  // No SA_RESTART for an interrupt: a wait it breaks returns, so that a
  // halt is not held up until the wait is over.
  ending.sa_handler = on_interrupt;
  ::sigaction(SIGINT, &ending, nullptr);
  ending.sa_handler = on_terminate;
  ::sigaction(SIGTERM, &ending, nullptr);
  // Every other signal whose default ends the process ends it as usual.
  ending.sa_handler = on_termination;
  for (int s : {SIGHUP, SIGQUIT, SIGABRT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU,
                SIGSYS, SIGIO, SIGSTKFLT})
    ::sigaction(s, &ending, nullptr);

  // A write to a pipe whose reader has gone fails with EPIPE instead of
  // ending the process: writing to a file that is a pipe then raises the
  // writer's own Qel error and the program goes on. The standard output
  // takes that case up itself (output.h). Children get the default back
  // when they are spawned.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
  // A write past the file size limit fails with EFBIG instead, and the
  // writer reports it (a whole-file write then leaves the old file).
  ::sigaction(SIGXFSZ, &ignore, nullptr);
}

void set_interrupt_halt(InterruptHalt halt) {
  interrupt_halt.store(halt);
  interrupt_pending = 0;
}

void take_interrupt() {
  interrupt_pending = 0;
  if (InterruptHalt halt = interrupt_halt.load()) halt();
}

void install_alt_stack() {
  long min = ::sysconf(_SC_SIGSTKSZ);
  size_t size = 256 * 1024;
  if (min > 0 && static_cast<size_t>(min) > size) size = static_cast<size_t>(min);
  // Mapped outside the heap-block list: it must outlive free_all at exit.
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return;
  stack_t ss{};
  ss.ss_sp = p;
  ss.ss_size = size;
  ss.ss_flags = 0;
  if (::sigaltstack(&ss, nullptr) != 0) ::munmap(p, size);
}

void set_interpreter_stack(uintptr_t low) { stack_low.store(low); }

}  // namespace qel::runtime
