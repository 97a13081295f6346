// qel-probe: a test-only program that runs the real start-up sequence and,
// in place of the console, does one thing that ends the process in a known
// way, so that tests can check exit statuses and reports.
//
//   qel-probe normal            start-up, then an ordinary end
//   qel-probe quit CODE         runtime error CODE (report at a fixed place)
//   qel-probe quit-return N     the language's quit/return N
//   qel-probe throw LEVEL       an exit of LEVEL (hex) that nothing catches
//   qel-probe oom               a heap block that cannot be allocated
//   qel-probe bad-alloc         operator new failing
//   qel-probe segv              a real access violation
//   qel-probe fpe               a real integer division by zero
//   qel-probe stack-overflow    unbounded recursion on the machine stack
//   qel-probe sigint            Ctrl-C
//   qel-probe verify N          VERIFY(N == 1) (debug builds)
//   qel-probe no-switch         a low-level switch without a matching branch
//   qel-probe print TEXT        prints TEXT without a line end, then ends
//   qel-probe print-segv TEXT   prints TEXT, then faults
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include <sys/mman.h>

#include "runtime/fatal.h"
#include "runtime/heap.h"
#include "runtime/output.h"
#include "runtime/startup.h"
#include "core/unwind.h"
#include "core/verify.h"

extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:detect_leaks=0";
}

namespace {

int probe_argc;
char** probe_argv;

const char* arg(int i) { return i < probe_argc ? probe_argv[i] : ""; }

__attribute__((no_sanitize("address", "undefined"))) void fault_access() {
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *static_cast<volatile int*>(page) = 1;
}

__attribute__((no_sanitize("undefined"))) int divide(int a, int b) {
  volatile int x = a, y = b;
  return x / y;
}

__attribute__((no_sanitize("address"))) int recurse(int depth) {
  volatile char pad[256];
  pad[0] = static_cast<char>(depth);
  if (depth < 0) return 0;
  return recurse(depth + 1) + pad[0];
}

void act() {
  std::string what = arg(1);
  if (what == "normal") return;
  if (what == "quit") qel::runtime::quit(std::atoi(arg(2)), 0x12345678);
  if (what == "quit-return") qel::runtime::quit_return(std::atoi(arg(2)));
  if (what == "throw") qel::unwind::throw_level(static_cast<uint32_t>(std::strtoul(arg(2), nullptr, 16)));
  if (what == "oom") qel::runtime::alloc(SIZE_MAX / 2);
  if (what == "bad-alloc") throw std::bad_alloc();
  if (what == "segv") fault_access();
  if (what == "fpe") std::exit(divide(1, 0));
  if (what == "stack-overflow") std::exit(recurse(0));
  if (what == "sigint") std::raise(SIGINT);
  if (what == "verify") {
    VERIFY(std::atoi(arg(2)) == 1);
    return;
  }
  if (what == "no-switch") qel::runtime::no_switch_matched();
  if (what == "print" || what == "print-segv") {
    qel::output::write_utf8(arg(2));
    if (what == "print-segv") fault_access();
    return;
  }
  std::exit(200);  // an unknown request
}

}  // namespace

int main(int argc, char** argv) {
  probe_argc = argc;
  probe_argv = argv;
  qel::startup::run(argc, argv, act);
}
