// The text-mode back end's routines for the GUI layer written in Qel: the
// terminal layer (`tty/...`) and the back-end support (`gui/...`), each a
// C++ function bound to a routine! with the spec Qel gives it.
//
// They live in two objects that the GUI layer's top-level code fetches with
// `_boot-value 'tty-routines` and `_boot-value 'gui-routines` and keeps under
// the words `tty` and `gui`, so that its code calls them as `tty/open` and
// `gui/measure-text`.
#pragma once

#include <string_view>

namespace qel::gui {

// `_boot-value` names served here: leaves the object in the result slot and
// answers true; false for any other name.
bool boot_value(std::string_view name);

}  // namespace qel::gui
