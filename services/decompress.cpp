// The packed-data decompressor.
#include "services/decompress.h"

#include <cstdlib>
#include <memory>

namespace qel::compress {

namespace {

constexpr uint32_t kMaxBlock = 0x100000;
// The most output one input byte can give: the longest match (566 bytes) in
// the fewest bits (22) is about 206 bytes per byte; a declared size above
// this many times the stream cannot be true.
constexpr uint64_t kMaxRatio = 208;

inline uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// An LSB-first bit reader over [data + pos, data + end) that reports running
// out instead of reading past the end.
struct Bits {
  const uint8_t* data;
  size_t pos;
  size_t end;
  uint64_t acc = 0;
  int count = 0;
  bool failed = false;

  uint32_t get(int n) {
    while (count < n) {
      if (pos >= end) {
        failed = true;
        return 0;
      }
      acc |= uint64_t{data[pos++]} << count;
      count += 8;
    }
    uint32_t v = static_cast<uint32_t>(acc & ((uint64_t{1} << n) - 1));
    acc >>= n;
    count -= n;
    return v;
  }
};

uint32_t length_code(Bits& b) {
  if (b.get(1)) return b.get(2);
  if (b.get(1)) return 4 + b.get(2);
  if (b.get(1)) return 8 + b.get(2);
  if (b.get(1)) return 12 + b.get(3);
  if (b.get(1)) return 20 + b.get(5);
  return 52 + b.get(9);
}

uint32_t distance_code(Bits& b) {
  int n = 2 + static_cast<int>(b.get(4));
  if (n == 2) return b.get(3);
  return (uint32_t{1} << n) + b.get(n);
}

}  // namespace

uint8_t* decompress(const uint8_t* packed, size_t packed_length, uint32_t* out_length, uint32_t max_size) {
  if (!packed || packed_length < 8) return nullptr;
  uint32_t stream_length = le32(packed);
  uint32_t unpacked = le32(packed + 4);
  if (stream_length > packed_length - 8) return nullptr;
  if (unpacked > max_size || unpacked > uint64_t{stream_length} * kMaxRatio) return nullptr;
  std::unique_ptr<uint8_t, decltype(&std::free)> out(static_cast<uint8_t*>(std::malloc(unpacked ? unpacked : 1)),
                                                      &std::free);
  if (!out) return nullptr;
  const uint8_t* stream = packed + 8;
  size_t pos = 0;
  uint64_t produced = 0;
  while (pos < stream_length) {
    if (stream_length - pos < 4) return nullptr;
    uint32_t block_length = le32(stream + pos);
    pos += 4;
    if (block_length < 1 || block_length > kMaxBlock) return nullptr;
    if (produced + block_length > unpacked) return nullptr;
    uint8_t* block = out.get() + produced;
    Bits bits{stream, pos, stream_length};
    uint32_t i = 0;
    while (i < block_length) {
      if (bits.get(1) == 0) {
        uint32_t byte = bits.get(8);
        if (bits.failed) return nullptr;
        block[i++] = static_cast<uint8_t>(byte);
        continue;
      }
      uint32_t n = length_code(bits);
      uint32_t d = distance_code(bits);
      if (bits.failed) return nullptr;
      if (d >= i || uint64_t{i} + n + 3 > block_length) return nullptr;
      uint32_t from = i - d - 1;
      for (uint32_t k = 0; k < n + 3; k++) block[i++] = block[from + k];
    }
    if (bits.failed) return nullptr;
    pos = bits.pos;
    produced += block_length;
  }
  if (produced != unpacked) return nullptr;
  if (out_length) *out_length = static_cast<uint32_t>(produced);
  return out.release();
}

void free_buffer(uint8_t* block) { std::free(block); }

}  // namespace qel::compress
