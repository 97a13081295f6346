// Non-local exits: the thrown value, the throw routine and the root handler
// (the Qel-level exits are evaluator/unwind.cpp).
#include "core/unwind.h"

#include "runtime/fatal.h"

namespace qel::unwind {

Cell thrown_value{static_cast<uint32_t>(TypeId::unset), 0, 0, 0};
uint32_t thrown = 0;

void throw_level(uint32_t lvl) { throw NonLocalExit{lvl}; }

void root_handler(uint32_t lvl) {
  thrown = lvl;
  if (lvl == level::silent_exit) runtime::quit(0);
  runtime::quit(runtime::fatal_code::no_catch_for_throw,
                reinterpret_cast<uintptr_t>(&root_handler));
}

}  // namespace qel::unwind
