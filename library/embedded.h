// The Qel sources embedded into the executable at build time.
//
// tools/embed_qel.py writes the definition (a generated C++ source in the
// build tree) from the list QEL_LIBRARY_SOURCES of library/CMakeLists.txt;
// start-up evaluates the sources in that order (library/library.cpp).
#pragma once

#include <span>
#include <string_view>

namespace qel::library {

struct EmbeddedSource {
  // The path relative to the source tree ("library/core.qel").
  std::string_view name;
  // The UTF-8 text of the file.
  std::string_view text;
};

// Every embedded source, in the order start-up evaluates them.
std::span<const EmbeddedSource> embedded_sources();

}  // namespace qel::library
