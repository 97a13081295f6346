// The packed-data decompressor: the block-wise LZ77 format in which packed
// payloads (compressed QELBIN data) are stored. Only decoding is needed; the
// packer belongs to the tool that makes the data.
//
// Layout, little-endian: the stream length (bytes of block stream after the
// 8-byte header), the unpacked size, then blocks: a 32-bit output length L
// (1 to 1,048,576) followed by an LSB-first bit stream of tokens that starts
// on a byte boundary. A token is a 0 bit and a literal byte, or a 1 bit, a
// length code (N: the match copies N + 3 bytes) and a distance code (the
// copy starts D + 1 bytes back within the same block).
//
// The decoder trusts nothing: every read is bounded by the input, the
// declared size is capped and must be what the blocks produce, and any
// violation gives null (the caller raises `invalid-data`).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::compress {

// The largest unpacked size accepted.
inline constexpr uint32_t kMaxUnpacked = 256u * 1024 * 1024;

// Unpacks `packed_length` bytes of packed data into a new heap block and
// writes the unpacked length (when out_length is not null). Returns null on
// any error, leaving nothing allocated. Release the result with free_buffer.
uint8_t* decompress(const uint8_t* packed, size_t packed_length, uint32_t* out_length,
                    uint32_t max_size = kMaxUnpacked);

// Releases a block returned by decompress.
void free_buffer(uint8_t* block);

}  // namespace qel::compress
