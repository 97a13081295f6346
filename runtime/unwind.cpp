// Non-local exits: the thrown value and the throw routine.
#include "runtime/unwind.h"

namespace qel::unwind {

Cell thrown_value{static_cast<uint32_t>(TypeId::unset), 0, 0, 0};
uint32_t thrown = 0;

void throw_level(uint32_t lvl) { throw NonLocalExit{lvl}; }

}  // namespace qel::unwind
