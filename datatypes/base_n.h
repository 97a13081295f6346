// The base-N text encodings of bytes behind `enbase` and `debase`: bases 2,
// 16, 58 and 64 (64, the RFC 4648 standard alphabet with "=" padding, is
// the default of the natives).
//
// Encoders write characters into an area the caller sized (`encoded_size`)
// and return its end. Decoders read the characters of a text of any unit
// (1, 2 or 4 bytes per character) and give a new binary!, or nothing when
// the text is not valid; a ";" starts a comment that runs to the next line
// feed. A character above 127 never decodes as a digit and is never used to
// index a table: base 58 ends the text there, the other bases fail.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/cell.h"

namespace qel::base_n {

// Room `enbase` reserves for n input bytes in a base; -1 when the size does
// not fit 32 signed bits (the native raises `too-long`), 0 for an unknown
// base.
int64_t encoded_size(int64_t n, int32_t base);

uint8_t* encode_base2(uint8_t* out, const uint8_t* bytes, size_t n);
uint8_t* encode_base16(uint8_t* out, const uint8_t* bytes, size_t n);
// At most 2 x n characters.
uint8_t* encode_base58(uint8_t* out, const uint8_t* bytes, size_t n);
uint8_t* encode_base64(uint8_t* out, const uint8_t* bytes, size_t n);

// A new binary! node, or 0 when the text does not decode.
Node decode_base2(const uint8_t* text, int32_t count, uint32_t unit);
Node decode_base16(const uint8_t* text, int32_t count, uint32_t unit);
Node decode_base58(const uint8_t* text, int32_t count, uint32_t unit);
Node decode_base64(const uint8_t* text, int32_t count, uint32_t unit);

// The natives' whole work. `enbase`: a text value is encoded as its UTF-8
// bytes, a binary! from its head; the result is a new string! in `out`. A
// base other than 2, 16, 58 and 64 raises script `invalid-arg` with the base
// cell; a size beyond 32 bits raises `too-long`. `debase`: the text from its
// head decoded into a binary! in `out`, or none when it does not decode.
Cell* enbase(const Cell* value, const Cell* base, Cell* out);
Cell* debase(const Cell* value, const Cell* base, Cell* out);

}  // namespace qel::base_n
