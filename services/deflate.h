// DEFLATE (RFC 1951) and its zlib (RFC 1950) and gzip (RFC 1952)
// containers, behind the `compress` and `decompress` natives.
//
// The compressor is small and fast rather than strong: one final block with
// the fixed Huffman codes, a table of 1,024 buckets of 4 recent positions
// and the first 3-byte match taken greedily. The decompressor accepts every
// block type and both kinds of Huffman codes. Every routine works on memory
// the caller gives it and allocates nothing.
//
// Each routine takes the output, the output's capacity in bytes (in and
// out), the input and its length, and answers a status; the capacity word
// then holds a size as each routine says. Output is stored only below the
// capacity, but counted always, so a routine whose output did not fit tells
// how much room it needed. A capacity of 0 asks the decoders only to
// measure: they run through the whole input without storing anything. The
// natives (natives/services.cpp) measure or size first and make the result
// binary once (room for the compressor's worst case, n + n/8 + 32), with one
// retry when a codec reports it needed more. A gzip member whose stored
// size exceeds what its data could expand to (`expansion_bound`) is refused
// before room is made for it, and `decompress/size` never makes more room
// than that either. The decompressor decodes through lookup tables (10-bit
// and 8-bit roots with subtables) from a 64-bit bit buffer and never reads
// past its input: bits beyond it read as zero and stop decoding once used.
#pragma once

#include <cstddef>
#include <cstdint>

#include "values/symbol.h"

namespace qel::deflate {

// The three containers, in the order of their method words.
enum class Method : uint8_t { zlib, deflate, gzip };

// Statuses. 0 and 1 are common to every routine; the others are the raw
// decoder's, except that the containers use 2 for a bad header or trailer.
inline constexpr int32_t kDone = 0;
inline constexpr int32_t kTooSmall = 1;       // size = the room needed
inline constexpr int32_t kLeftOver = 2;       // raw: input after the final block
inline constexpr int32_t kBadContainer = 2;   // zlib, gzip: header, size or checksum
inline constexpr int32_t kStoredTooLong = 3;  // a stored block longer than the input
inline constexpr int32_t kBadBlock = 4;       // block type 3, or a code that cannot be
inline constexpr int32_t kTooFar = 5;         // a distance before the output's start
inline constexpr int32_t kCutShort = 6;       // the data end before the final block does

// Start-up: interns the method words.
void init();
// The method a symbol names (any letter case), or false.
bool method_of(SymbolId symbol, Method* method);

// The most bytes that compress, zlib_encode or gzip_encode can write for an
// input of n bytes (one pass always fits in this much room).
inline constexpr uint64_t compress_bound(uint64_t n) { return n + n / 8 + 32; }

// The most bytes that n bytes of DEFLATE data can expand to (a 258-byte
// match in two bits); a larger size claimed for them cannot be true.
inline constexpr uint64_t expansion_bound(uint64_t n) { return n * 1032 + 258; }

// Raw DEFLATE of the input: 0, size = bytes written; 1, size = bytes needed.
int32_t compress(uint8_t* out, size_t* capacity, const uint8_t* in, size_t length);
// Inflates raw DEFLATE data: 0 (size = bytes produced), 1 (size = bytes the
// data expands to), or a failure 2-6. Input that ends before the final
// block's end code (empty input too) is 6: what was decoded up to there
// cannot be told from whole data. Bytes after the final block are 2.
int32_t decompress(uint8_t* out, size_t* capacity, const uint8_t* in, size_t length);

// A zlib stream (header 78 01, the DEFLATE data, the Adler-32 of the input
// big-endian): 0; 1 too small; 2 when the capacity is below 6 (size =
// length + 6).
int32_t zlib_encode(uint8_t* out, size_t* capacity, const uint8_t* in, size_t length);
// Checks the zlib header, inflates and checks the Adler-32: 0; 2 for a bad
// header (no preset dictionary) or checksum; the inflater's other statuses.
// When measuring, or when the output did not fit, the checksum is not
// checked (status 1).
int32_t zlib_decode(uint8_t* out, size_t* capacity, const uint8_t* in, size_t length);

// A gzip member (no name, time 0), or the input itself when it is already
// one whole valid gzip member (checked by decoding it into the output, so a
// capacity below its stored size or below compress_bound answers 1 with the
// room needed): 0; 1 too small; 2 when the capacity is below 18 (size =
// length + 18).
int32_t gzip_encode(uint8_t* out, size_t* capacity, const uint8_t* in, size_t length);
// Checks the gzip header (skipping the extra field, name and comment, and
// checking the header CRC when flagged), inflates, and checks the stored
// size and CRC-32: 0 (size = the stored size); 1 when the stored size is
// above the capacity (size = the stored size); 2 for anything wrong.
int32_t gzip_decode(uint8_t* out, size_t* capacity, const uint8_t* in, size_t length);

}  // namespace qel::deflate
