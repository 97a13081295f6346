// The library's routines: library words whose bodies are C++ functions
// (the low-level dialect's routines of Qel) bound to their words at start-up
// with the specs Qel gives them.
//
// Three groups live in library/routines.cpp (the base routines: exit, quiet
// setters, shifts, directories, tuples, UTF-8 counting, the data stack, the
// clipboard, standard output), library/predicates.cpp (the type predicates)
// and library/boot_values.cpp (`_boot-value`, through which the library's
// top-level code reaches values only C++ can make: the global-words object,
// the error catalog, the collector routines, the build facts).
//
// Adding a routine: write `void name()` reading its arguments from
// stack::arguments[0], [1] ... (already type-checked against the spec) and
// leaving its result in stack::arguments[0]; add one row, name, entry and
// spec text, to the table of its group. A routine that lives in an object
// field rather than in a global word is a `_boot-value` row instead, which
// the .qel source stores where it belongs.
#pragma once

#include <cstdint>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::library {

// One routine of a table: its word, its C++ body, its spec (Qel text of the
// spec block's contents) and its return type (TypeId::none_id: none).
struct RoutineDef {
  const char* name;
  void (*fn)();
  const char* spec;
  TypeId returns;
};

// Makes the routine! value of a definition on the argument stack and answers
// it.
Cell* push_routine(const RoutineDef& def);
// Makes each routine of the table and binds it to its global word.
void define_global_routines(const RoutineDef* defs, int32_t count);

// The base routines and the type predicates, bound to their global words.
void define_base_routines();
void define_predicates();
// `_boot-value`, bound to its global word for the top-level code; unset
// again when the top-level code is done.
void define_boot_value();
void remove_boot_value();

// system/state/callbacks/bits is mirrored in the interpreter's callback
// bits: set-quiet of that field updates the mirror. Start-up names the
// callbacks object's context once `system` is built.
void watch_callbacks(Node callbacks_context);

}  // namespace qel::library
