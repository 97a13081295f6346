// The library's top-level code: start-up's step that defines the standard
// library (routines, functions, `system` and its objects) from the embedded
// Qel sources, in their fixed order.
//
// The sources are the .qel files named in library/CMakeLists.txt
// (QEL_LIBRARY_SOURCES), embedded at build time (library/embedded.h). With
// the environment variable QEL_LIBRARY_DIR set to a source tree, each source
// is read from that tree instead (QEL_LIBRARY_DIR/library/core.qel ...), so
// that an edit shows without a rebuild.
//
// Every function the top-level code defines carries the library mark
// (function_flag::library): the interpreter fires no trace events inside it
// and keeps the user's expression as the `near` of its errors.
#pragma once

namespace qel::library {

// True once the top-level code has run (the program is past start-up).
bool started();

}  // namespace qel::library
