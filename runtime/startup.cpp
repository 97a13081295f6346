// The start-up sequence, in its fixed order. Each step calls the init of the
// module that owns it (runtime/startup_slots.h lists the ones outside
// runtime/). Later steps use tables, words and values that earlier steps
// made: never reorder.
#include "runtime/startup.h"
#include <cstdio>
#include <cstdlib>
#include "values/datatype.h"

#include <cfenv>
#include <csignal>
#include <new>

#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <ucontext.h>

#include "memory/series.h"
#include "runtime/ext_resource.h"
#include "runtime/fatal.h"
#include "runtime/platform.h"
#include "runtime/print.h"
#include "runtime/signals.h"
#include "runtime/startup_slots.h"
#include "core/unwind.h"
#include "datatypes/error.h"
#include "core/errors.h"
#include "natives/natives.h"

namespace qel {

namespace runtime {

SystemRecord system;

void on_start(int argc, char** argv) {
  install_fault_handlers();
  // The argument vector is UTF-8 already.
  system.argc = argc;
  system.argv = argv;
}

void init() {
  word::set_recording(true);
  print_hook::init();
  print_hook::add(natives::print_string, nullptr);
  platform::init();
  random::init();
  memory::init();
  ext_resource::init();
  // Case mapping before anything that builds the symbol table.
  unicode::init();
  values::init();
  if (std::getenv("QEL_DUMP_ROWS")) {
    for (int t = 1; t <= datatype::highest_type; t++) {
      if (!datatype::records[t].name) continue;
      const ResolvedRow& r = datatype::rows[t];
#define QEL_X(n, text) std::fprintf(stderr, "%s %s %zx\n", datatype::records[t].name, #n, (size_t)(reinterpret_cast<uintptr_t>(r.n) ? reinterpret_cast<uintptr_t>(r.n) - reinterpret_cast<uintptr_t>(&datatype::reset) : 0));
      QEL_ACTION_LIST(QEL_X)
#undef QEL_X
    }
  }
  words::build();
  words::build_refinements();
  words::build_marker();
  natives::init();
  parse::init();
  ownership::init();
  crypto::init();
  deflate::init();
  io::init_call();
  lexer::init();
  error::init();
  qelbin::decode_boot_data();
  interpreter::init();
  collector::init();
}

}  // namespace runtime

namespace startup {

namespace {

// Tells the fault handler where the calling thread's stack ends, so that
// running off it reports a stack overflow.
void record_stack_bounds() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* low = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attr, &low, &size) == 0)
    runtime::set_interpreter_stack(reinterpret_cast<uintptr_t>(low));
  pthread_attr_destroy(&attr);
}

// The catalog code of the error in flight: an error! value, or the bare
// code that errors raised below the value model carry.
ErrorCode thrown_error_code() {
  const Cell& v = unwind::thrown_value;
  int32_t code = v.is(TypeId::integer) ? v.integer() : v.is(TypeId::error) ? error::code_of(&v) : -1;
  return static_cast<ErrorCode>(code < 0 ? 0 : code);
}

// Everything after the process is prepared, on the interpreter's stack.
[[noreturn]] void run_sequence(Launch launch) {
  // Round to nearest, every floating-point exception masked.
  std::fesetenv(FE_DFL_ENV);
  // The root catch: every later exit ends here at the latest.
  try {
    cycle_guard::init();
    runtime::init();
    words::make_globals();
    word::set_recording(false);
    library::run_top_level();
    if (launch)
      launch();
    else
      cli_console::launch();
  } catch (const NonLocalExit& e) {
    // Memory refused before Qel can report errors (while the program
    // starts) ends the process as out of memory, like a refused heap block.
    if (e.level == level::error && thrown_error_code() == ErrorCode::internal_no_memory)
      runtime::quit(runtime::fatal_code::out_of_memory, reinterpret_cast<uintptr_t>(&run_sequence));
    unwind::root_handler(e.level);
  } catch (const std::bad_alloc&) {
    runtime::quit(runtime::fatal_code::out_of_memory, reinterpret_cast<uintptr_t>(&run_sequence));
  } catch (...) {
    runtime::quit(runtime::fatal_code::unknown_error, reinterpret_cast<uintptr_t>(&run_sequence));
  }
  runtime::quit(0);
}

Launch pending_launch = nullptr;

void* interpreter_thread(void*) {
  runtime::install_alt_stack();
  record_stack_bounds();
  run_sequence(pending_launch);
}

// Whether a stack of `stack_size` bytes may be reserved: under a limit of
// the address space (RLIMIT_AS) a stack takes at most a quarter of it, so
// that what the program allocates still fits.
bool stack_fits(size_t stack_size) {
  struct rlimit lim {};
  return !(getrlimit(RLIMIT_AS, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY &&
           stack_size > lim.rlim_cur / 4);
}

bool start_thread(pthread_t& thread, size_t stack_size) {
  if (!stack_fits(stack_size)) return false;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  bool ok = pthread_attr_setstacksize(&attr, stack_size) == 0 &&
            pthread_attr_setguardsize(&attr, 64 * 1024) == 0 &&
            pthread_create(&thread, &attr, interpreter_thread, nullptr) == 0;
  pthread_attr_destroy(&attr);
  return ok;
}

// Runs the sequence on the main thread over a stack of its own, reserved
// like a thread's (pages come as they are touched, a guard below): no second
// thread to create and then wait for, which on a loaded machine costs a
// wait for the scheduler of about as long as the whole start-up. Returns
// only when the stack cannot be had. Under AddressSanitizer the thread is
// kept: it does not follow a stack switched this way.
bool run_on_own_stack(size_t stack_size) {
#if defined(__SANITIZE_ADDRESS__)
  (void)stack_size;
  return false;
#else
  // The guard at the low end (as a thread's).
  constexpr size_t kStackGuard = 64 * 1024;
  static ucontext_t interpreter_context;
  if (!stack_fits(stack_size)) return false;
  void* p = ::mmap(nullptr, stack_size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (p == MAP_FAILED) return false;
  auto* low = static_cast<uint8_t*>(p);
  if (::mprotect(low, kStackGuard, PROT_NONE) != 0 || getcontext(&interpreter_context) != 0) {
    ::munmap(p, stack_size);
    return false;
  }
  interpreter_context.uc_stack.ss_sp = low + kStackGuard;
  interpreter_context.uc_stack.ss_size = stack_size - kStackGuard;
  interpreter_context.uc_link = nullptr;
  makecontext(&interpreter_context, [] { run_sequence(pending_launch); }, 0);
  runtime::set_interpreter_stack(reinterpret_cast<uintptr_t>(low + kStackGuard));
  setcontext(&interpreter_context);
  // setcontext returns only when it failed.
  runtime::set_interpreter_stack(0);
  ::munmap(p, stack_size);
  return false;
#endif
}

}  // namespace

void run(int argc, char** argv, Launch launch) {
  runtime::on_start(argc, argv);
  runtime::install_alt_stack();
  pending_launch = launch;
  run_on_own_stack(runtime::kInterpreterStack);
  run_on_own_stack(size_t{64} << 20);
  pthread_t thread;
  // Should the system refuse the large stack, a smaller one still serves;
  // failing that (or under AddressSanitizer) an interpreter thread is tried,
  // then the main thread runs the interpreter on its own stack.
  if (!start_thread(thread, runtime::kInterpreterStack) && !start_thread(thread, size_t{64} << 20)) {
    record_stack_bounds();
    run_sequence(launch);
  }
  // The main thread only waits: signals from outside go to the interpreter
  // thread, which ends the process.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  pthread_join(thread, nullptr);
  runtime::quit(0);
}

}  // namespace startup

}  // namespace qel
