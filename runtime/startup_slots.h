// The functions of other modules that start-up calls, and the hooks the
// runtime calls into modules built later.
//
// This header is start-up's contract with the rest of the program: each
// declaration names the function a module defines in its own source, which
// should include this header so that the compiler checks the signature.
// Until a module exists, runtime/startup_slots.cpp holds an empty stand-in
// for its functions. The stand-ins are weak definitions in a library linked
// after qelcore, so a module's real definition always wins; when a module
// lands, its owner deletes the stand-in all the same.
//
// The order in which start-up calls them lives in runtime/startup.cpp and
// never changes: later steps use tables, words and values that earlier steps
// made.
#pragma once

namespace qel {

// --- values/ (the value model)
namespace word {
// While on, every word start-up creates is also kept in the root block, so
// that the collector keeps it before the library holds it.
void set_recording(bool on);
}  // namespace word
namespace values {
// The value model: the datatype registry with every datatype registered,
// parents first, in the fixed order (the image codec starts just before
// image! registers), the action entries, the root block, the global
// context, the symbol table, the type words and the two stacks.
void init();
}  // namespace values
namespace ownership {
void init();
}  // namespace ownership
namespace error {
// The error catalog and the standard error prototype, loaded from their boot
// text with the lexer, before the first error can be raised.
void init();
}  // namespace error

// --- memory/
namespace unicode {
// The case-mapping tables. Runs before the symbol table is made.
void init();
}  // namespace unicode
namespace collector {
void init();
}  // namespace collector

// --- evaluator/
namespace cycle_guard {
// The guard stack of series being molded, formed, compared or copied.
void init();
}  // namespace cycle_guard
namespace words {
// The fixed words, refinements and marker text the runtime uses.
void build();
void build_refinements();
void build_marker();
// The global words that C++ code names, made once the boot values exist.
void make_globals();
}  // namespace words
namespace natives {
void init();
}  // namespace natives
namespace parse {
void init();
}  // namespace parse
namespace lexer {
void init();
}  // namespace lexer
namespace interpreter {
void init();
}  // namespace interpreter

// --- services/
namespace crypto {
// The system's source of secure random bytes and digests.
void init_provider();
// The checksum method words.
void init();
}  // namespace crypto
namespace random {
// The generator's state, seeded with its fixed seed.
void init();
}  // namespace random
namespace deflate {
void init();
}  // namespace deflate
namespace io {
// The buffer that collects the output of child processes.
void init_call();
}  // namespace io
namespace image_codec {
// The image codec back end; the value model calls it just before image!
// registers.
void init();
}  // namespace image_codec
namespace qelbin {
// The boot values: symbols, the words of datatypes, actions and natives, and
// the literals of the library (from the boot text until QELBIN exists).
void decode_boot_data();
}  // namespace qelbin

// --- library/
namespace library {
// The library's top-level code: defines its functions and routines, builds
// `system` and the library's objects, fills `system/options` from the
// command line, registers event! and starts the GUI platform layer.
void run_top_level();
}  // namespace library

// --- console/
namespace cli_console {
// Reads the console settings, then runs the script named on the command
// line or the interactive loop; returns when the console ends.
void launch();
}  // namespace cli_console

// --- gui/
namespace gui {
// Called before and after every print, so that a full-screen view can give
// the terminal back while something prints and take it again afterwards.
void before_print();
void after_print();
// One pass of the GUI event loop while a view is up (after `wait`).
void poll_events();
}  // namespace gui

}  // namespace qel
