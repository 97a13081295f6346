// Start-up bindings: the code of chosen library functions reads the start-up
// values of the global words it uses (library/startup_binding.cpp).
//
// The JSON and CSV codec functions keep working after a script sets a word
// they read (`back: 1`): start-up keeps a copy of the global values, and the
// first codec call (each begins with `use-startup-values`) binds their
// code, their contexts' rules and helpers, and private copies of the
// library functions they call to private contexts holding those values.
// It is done on first use so that start-up does not pay for it; other
// library code still reads the current globals.
#pragma once

#include <initializer_list>
#include <string_view>

namespace qel::library {

// Keeps a copy of the global words' values: start-up calls it once the
// library is defined.
void keep_startup_values();
// Binds the code of the named global functions, of the object contexts their
// words reach and of private copies of the library functions they call, to
// the values the global words held at the end of start-up. Only the first
// call does anything.
void bind_to_startup_values(std::initializer_list<std::string_view> roots);

}  // namespace qel::library
