// QELBIN: Qel's own binary serialisation of values.
//
// A QELBIN buffer is an 8-byte header ("QELBIN", a version byte, a flags
// byte), an optional symbol table and a stream of records, one per value;
// series, contexts, objects and functions nest further records inside their
// own. A series, context, object or function met a second time is written as
// a reference path to its first occurrence (the positions of its enclosing
// values, from the top-level record inward), so shared series and cycles
// survive the round trip. Two variants share the record structure: the
// compact one (variable-length integers, flags in a header byte) and the
// fixed-width one (every field a 32-bit little-endian word). The layouts
// are written out at the top of services/qelbin_format.h.
//
// Two users:
//   - the `qelbin` codec of system/codecs (load/as, save/as, the .qelbin
//     suffix) encodes one value and decodes a buffer into a block: codec
//     mode;
//   - start-up decodes the executable's boot data (compact, built by
//     tools/qel_boot_encoder.cpp) into the root block: boot mode
//     (services/qelbin_boot.cpp).
//
// Failures: every malformed record raises script `qb-invalid-record` with
// the byte position (counted from the start of the given data, plus 1);
// a value of a type with no record (routine!, triple!, handle!, port!,
// event!) raises access `no-codec`. Decoding never reads past the buffer,
// and nesting deeper than kMaxDepth raises internal `too-deep` both ways.
//
// A word bound to an object or function carries its owner, whole the first
// time and as a path afterwards; a word whose owner reaches a value with no
// record (the library's contexts hold routines), or bound to a context no
// value owns, is written as a plain word (Encoder::writable). The decoder
// appends a container before its contents, so a path inside it can lead
// back to it; paths count from the first value of the decode. It checks
// counts against the bytes left before it makes anything and refuses money
// digits that are not decimal, dates with no such day or a local time
// outside the day, characters above U+10FFFF, symbol names that are not
// UTF-8, vector element types and widths the type has not, empty or
// repeated names in a context, a referenced series whose buffer is of
// another kind than its record's, a function whose context does not begin
// with its spec's words, an op! whose function is no fit operator, and
// error codes the catalog has not. An error met inside itself raises
// internal `no-cycle` (errors are always written whole); a bare context! is
// written as a context record; the value encoded loses its own new-line
// mark; an object with event information rebuilds it from its handler
// fields; image pixels are the codec's pixel words. An error record may
// carry the files field as a seventh record, flagged in its header
// (compact: bit 6, fixed: bit 24), and the words of its call trace are
// written as global words.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/cell.h"

namespace qel::qelbin {

// `qelbin/codec?`: true in codec mode. The boot loader clears it; the codec
// routines and both encoders set it.
extern bool codec_q;

enum class Mode : uint8_t { boot, codec };

// The deepest nesting of records either way (a machine-stack bound).
inline constexpr int32_t kMaxDepth = 5000;

// The smallest buffer the codec's decode routine accepts is 11 bytes.
inline constexpr size_t kMinCodecBytes = 11;

// --- decoding

// Decodes `length` bytes of QELBIN data and appends the values of its
// top-level records to the block in `target` (its buffer). `source` is the
// value that held the data: script `invalid-data` names it when the magic
// is wrong, the data is too short or unpacking fails (codec mode; boot mode
// prints its message and ends the process with status 0 instead).
// Errors leave the values decoded so far in the target.
void decode(const uint8_t* data, size_t length, Cell* target, Mode mode, const Cell* source);

// The codec's decode routine: `bytes` is a binary! (from its head) read
// from `source` (the routine's argument, which `invalid-data` names); the
// result (the one value, or a block when the data held several) is written
// into `out`. Script `invalid-data` for fewer than kMinCodecBytes bytes.
Cell* decode_payload(const Cell* bytes, const Cell* source, Cell* out);

// --- encoding

enum class Variant : uint8_t { fixed, compact };

// Writes one value, with everything it holds, as a new binary! into `out`
// (`qelbin/encode-cp` for the compact variant, `qelbin/encode` for the
// fixed one). `out` may be the value's own cell.
Cell* encode(const Cell* value, Cell* out, Variant variant);

}  // namespace qel::qelbin
