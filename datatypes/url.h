// url!: a string with its own literal syntax and text form, and the
// percent-encoding of URLs (the `dehex` and `enhex` natives, the lexer's URL
// loader). url! inherits string!'s storage and series actions; file!
// inherits url!'s construction and path steps.
//
// The loader decodes a literal's %XX escapes, except those of the reserved
// characters a URL may hold as they are (`:/?#@!$&'*+,=`) and a %25 ahead of
// two hex digits: their meaning is an escape's (`decode-url
// http://us%40er@host` has the user "us@er"), so the text keeps them. `mold`
// writes an escape in the text as it is (another "%" as %25) and the text
// before the first ":" as the loader read it, so a loaded URL molds back to
// itself; a text made by `to url!` holding "%41" loads back as "A".
#pragma once

#include <cstdint>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::url {

// Appends to `target` the source text with its %XX escapes decoded (UTF-8
// sequences of escapes become one character; a "%" that does not start a
// complete escape is kept as it is). A malformed UTF-8 sequence of escapes
// raises access `invalid-utf8`.
void dehex(const Cell* source, Cell* target);

// Which characters `enhex` keeps: the strict set (letters, digits and
// "-._~") for a string!, the lenient set (also !#$&'()*+,/:=?@) otherwise.
enum class Escape : uint8_t { strict = 254, lenient = 255 };
// True when the ASCII character is kept by the lenient set.
bool lenient_keeps(uint32_t c);
// Appends to `target` the UTF-8 bytes of the source, each kept byte as
// itself and every other as "%" and two upper-case hex digits.
void enhex(const Cell* source, Cell* target, Escape mode);

// --- actions (file! inherits make, to and eval-path)
Cell* make(Cell* proto, Cell* spec, TypeId type);
Cell* to(Cell* proto, Cell* spec, TypeId type);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step);
// Reading and writing an http or https URL go through the HTTP client
// (services/http.h): read is a GET, write a POST of the data or the request
// a block [method headers body] describes; a failed request raises access
// `no-connect`. Opening a URL, and reading or writing other schemes, go
// through a port made from the URL (port::from_url).
Cell* open(Cell* spec, const OpenArgs& args);
Cell* read(Cell* source, const ReadArgs& args);
Cell* write(Cell* destination, Cell* data, const WriteArgs& args);

void register_();

}  // namespace qel::url
