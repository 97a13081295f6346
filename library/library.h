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
// and keeps the user's expression as the `near` of its errors. Once the
// sources ran, every function! reachable from the global context (through
// objects, maps and blocks, each series once) gets the mark
// (function::mark_library), in each cell that holds it and in its
// context's copy; the helper contexts those functions' bodies use get it on
// every block and paren they hold (function::mark_library_code), so parse
// grammars the library runs are library code too. Functions made later by
// running library code from a marked body (`keep` inside `collect`) get the
// mark; those made from a user's block do not.
//
// With boot data the sources come as the blocks the build loaded
// (services/qelbin_boot.h), each let go once evaluated, unless
// QEL_LIBRARY_DIR asks for the text on disk. Values only C++ can make come
// through `_boot-value 'name` (library/boot_values.cpp), a word start-up
// unsets when it is done. `system/state/callbacks/bits` is mirrored in
// interpreter::callback_bits: `set-quiet` of that field updates the mirror.
// C++ names a library word through word::load: there are no global word
// slots in C++.
#pragma once

namespace qel::library {

// True once the top-level code has run (the program is past start-up).
bool started();

}  // namespace qel::library
