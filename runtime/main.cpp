// The process entry of `qel`: everything happens in startup::run.
#include "runtime/startup.h"

// Under AddressSanitizer: an allocation that cannot be satisfied returns null,
// so that the program reports it as Qel does (runtime error 94); and no leak
// check at exit, since the program ends with its series memory in use by
// design (frames are never returned), some of it reachable only through
// memory-mapped tables that the leak checker does not scan.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:detect_leaks=0";
}

int main(int argc, char** argv) { qel::startup::run(argc, argv); }
