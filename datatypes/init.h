// Start-up of the value model: the datatype registry (every type, parents
// first), the action entries, the root block, the symbol table, the global
// context, the type words, the argument and call stacks and the cycle guard.
#pragma once

namespace qel::values {

// Brings the value model up, in this order: the memory manager (when not yet
// up), the registry with every datatype registered in the fixed order, the
// action entries, the root block, the symbol table, the global context, the
// type words, the stacks. Runs once; a second call does nothing.
void init();

// Tests: true once init ran.
bool initialised();

}  // namespace qel::values
