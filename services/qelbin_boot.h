// Boot data: the values start-up needs before the library runs, kept in the
// executable as QELBIN (compact, not packed, version 1).
//
// The build makes it: tools/qel_boot_encoder.cpp (linked without boot data,
// so start-up takes the boot texts: natives/boot.cpp and the error
// catalog's text) runs start-up up to the boot values, then writes them with
// `build` into a generated source that defines `embedded`. The executable and
// the test drivers link that source; anything else gets the empty default
// and keeps to the boot texts.
//
// Its records, in order:
//   - one word-setting record per global word that has a value once the
//     boot values are made (datatypes, standard typesets, logic and none
//     words, natives, actions, operators), in the global context's order;
//   - the root values: the error catalog, the standard error prototype, and
//     a block of the library's sources, each a file name (string!) followed
//     by the block the lexer makes of its text, in the order of
//     library::embedded_sources().
// `routine` (a routine! has no record) is set from C++ after decoding.
// With boot data, `error::init` waits and the boot step adopts the decoded
// catalog, and library::run_top_level takes each source's block from here.
// The global context holds no word that only the catalog's text named (the
// catalog's field names are words of its objects).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/cell.h"

namespace qel::qelbin::boot {

// The boot data linked into the program (empty when none is).
std::span<const uint8_t> embedded();
inline bool present() { return !embedded().empty(); }

// The root values, by position after the word-setting records.
enum Root : uint32_t { kCatalog = 0, kPrototype = 1, kSources = 2, kRootCount = 3 };

// After start-up decoded the boot data: the root value, or null (no boot
// data, or a layout this program does not know).
const Cell* root(Root r);

// Takes the loaded block of library source `index` when the boot data holds
// it under that file name: writes it into `out` and lets go of it, so that
// it can be collected once evaluated. False when the boot data has no such
// source (the caller loads the text).
bool take_source(size_t index, std::string_view name, Cell* out);

// The build's side: the boot values of a start-up that took the boot texts,
// as a QELBIN buffer.
std::vector<uint8_t> build();

}  // namespace qel::qelbin::boot

namespace qel::boot_text {
// The boot texts (natives/boot.cpp): the global words of the boot
// values, made from their texts when the program has no boot data.
void define_words();
// `routine`, the placeholder for user routines (it has no record).
void define_routine();
}  // namespace qel::boot_text
