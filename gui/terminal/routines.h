// The text-mode back end's routines for the GUI layer written in Qel: the
// terminal layer (`tty/...`) and the back-end support (`gui/...`), each a
// C++ function bound to a routine! with the spec Qel gives it.
//
// They live in two objects that the GUI layer's top-level code fetches with
// `_boot-value 'tty-routines` and `_boot-value 'gui-routines` and keeps under
// the words `tty` and `gui`, so that its code calls them as `tty/open` and
// `gui/measure-text`.
#pragma once

#include <span>
#include <string_view>

#include "library/routines.h"

namespace qel::gui {

// `_boot-value` names served here: leaves the object in the result slot and
// answers true; false for any other name.
bool boot_value(std::string_view name);

// The routine of `table` named `name`, made and left in the result slot:
// true; false when the table has none of that name.
bool table_boot_value(std::span<const library::RoutineDef> table, std::string_view name);

}  // namespace qel::gui
