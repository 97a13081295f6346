// The fast paths of the JSON and CSV codecs: C++ readers and writers for the
// common cases of load-json, to-json, load-csv and to-csv.
//
// Each gives exactly the value or text the Qel code of library/json.qel and
// library/csv.qel gives, or declines (answers none) and leaves the work to
// that code: for text that is not well formed (so that errors are reported
// by the grammar, with the same messages), for values or options it does not
// handle, for nesting deeper than the grammar accepts. They evaluate no Qel
// code, so no collection runs while they hold cells.
#pragma once

#include "core/cell.h"

namespace qel::library::codec_fast {

// Reads the whole string as one JSON value: into `out` a block holding the
// value, or none when declining.
void json_decode(const Cell* text, Cell* out);

// Writes a value as JSON text (`indent` a string! for one line per member,
// else none; `ascii` escapes everything outside printable ASCII): into
// `out` the string!, or none when declining.
void json_encode(const Cell* value, const Cell* indent, bool ascii, Cell* out);

// Reads CSV text as a block of lines, each a block of field strings, with
// the one-character delimiter and quote: into `out` the block, or none when
// declining (a field quoted and then continued, lines of unequal length).
void csv_decode(const Cell* text, uint32_t delimiter, uint32_t quote, Cell* out);

// Writes a block of lines (each a block of fields, all of one length) as CSV
// text with the one-character delimiter and quote: into `out` the string!,
// or none when declining (a line that is not a block, unequal lines, a field
// whose text it does not make).
void csv_encode(const Cell* lines, uint32_t delimiter, uint32_t quote, Cell* out);

}  // namespace qel::library::codec_fast
