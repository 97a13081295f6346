// Empty stand-ins for the start-up functions and hooks of modules not built
// yet (declared in runtime/startup_slots.h). Each is weak: the module's real
// definition replaces it at link time. When a module lands, its owner
// deletes its stand-ins here.
#include "runtime/startup_slots.h"

namespace qel {

// values/ (value model)

// memory/
[[gnu::weak]] void collector::init() {}

// evaluator/
[[gnu::weak]] void words::build() {}
[[gnu::weak]] void words::build_refinements() {}
[[gnu::weak]] void words::build_marker() {}
[[gnu::weak]] void words::make_globals() {}
[[gnu::weak]] void lexer::init() {}

}  // namespace qel
