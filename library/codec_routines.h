// The routines of the codec objects in system/codecs and of the JSON
// decoder: the image codecs' encoders and decoder, the QELBIN codec's
// writer and reader, the JSON string unescaper, and the routine each JSON
// and CSV codec function calls first (it binds their code to the start-up
// values of the globals on the first call). They live in object
// fields, so the library's top-level code fetches them with `_boot-value`
// (library/boot_values.cpp looks names up here).
#pragma once

#include <string_view>

#include "library/routines.h"

namespace qel::library {

// The codec routine of that `_boot-value` name, or null.
const RoutineDef* find_codec_routine(std::string_view name);

// The JSON unescaper on a string cell, in place (exposed for unit tests):
// decodes the backslash escapes and \u code units (surrogate pairs joined)
// and sets the tail after the last character written. Raises script
// `invalid-data` with the string for a malformed \u escape or an unpaired
// high surrogate.
void json_unescape(Cell* str);

}  // namespace qel::library
