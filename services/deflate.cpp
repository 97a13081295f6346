// The DEFLATE compressor, the zlib and gzip containers and the method words
// (see deflate.h; the decompressor is in inflate.cpp).
//
// The compressor writes one final block with the fixed Huffman codes. At
// each step it hashes the 3 bytes at the position into one of 1,024 buckets
// of 4 earlier step starts and takes the first of them, in slot order, that
// lies less than 32 KB back and starts with the same 3 bytes; the match is
// then extended up to 258 bytes. No longer match is looked for. The step's
// start is stored in its bucket afterwards, in a slot chosen by the 3 bytes
// where the next step begins (positions inside a match are not stored).
#include "services/deflate.h"

#include <algorithm>
#include <cstring>

#include "runtime/startup_slots.h"
#include "services/checksum.h"

namespace qel::deflate {

namespace {

constexpr const char* kMethodNames[] = {"zlib", "deflate", "gzip"};
SymbolId method_symbols[3] = {};

// --- fixed Huffman codes, written least significant bit first

constexpr uint32_t reverse_bits(uint32_t code, int length) {
  uint32_t r = 0;
  for (int i = 0; i < length; i++) r |= ((code >> i) & 1) << (length - 1 - i);
  return r;
}

struct Code {
  uint16_t bits;  // the code, bit-reversed for the LSB-first writer
  uint8_t length;
};

// The fixed literal/length code of RFC 1951: 0-143 in 8 bits from 0x30,
// 144-255 in 9 bits from 0x190, 256-279 in 7 bits from 0, 280-287 in 8
// bits from 0xC0.
struct FixedCodes {
  Code symbol[288];
};
constexpr FixedCodes make_fixed_codes() {
  FixedCodes t{};
  for (uint32_t s = 0; s < 288; s++) {
    uint32_t code, length;
    if (s < 144) code = 0x30 + s, length = 8;
    else if (s < 256) code = 0x190 + (s - 144), length = 9;
    else if (s < 280) code = s - 256, length = 7;
    else code = 0xC0 + (s - 280), length = 8;
    t.symbol[s] = {static_cast<uint16_t>(reverse_bits(code, length)), static_cast<uint8_t>(length)};
  }
  return t;
}
constexpr FixedCodes kFixed = make_fixed_codes();

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistanceBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                        33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                        1025, 1537, 2049, 3073, 4097, 6145,  8193,  12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Each match length 3-258 as the bits that write it: the length code
// followed by its extra bits, in one field.
struct LengthCodes {
  uint32_t bits[259];
  uint8_t count[259];
};
constexpr LengthCodes make_length_codes() {
  LengthCodes t{};
  for (int code = 0; code < 29; code++) {
    const int extra = kLengthExtra[code];
    const Code c = kFixed.symbol[257 + code];
    const int last = code == 27 ? 257 : code == 28 ? 258 : kLengthBase[code] + (1 << extra) - 1;
    for (int len = kLengthBase[code]; len <= last; len++) {
      t.bits[len] = c.bits | static_cast<uint32_t>(len - kLengthBase[code]) << c.length;
      t.count[len] = static_cast<uint8_t>(c.length + extra);
    }
  }
  return t;
}
constexpr LengthCodes kLengths = make_length_codes();

// The distance code of a distance: distances 1-256 by d - 1, larger ones by
// 256 + ((d - 1) >> 7).
struct DistanceCodes {
  uint8_t code[512];
};
constexpr DistanceCodes make_distance_codes() {
  DistanceCodes t{};
  for (int code = 0; code < 30; code++) {
    const int first = kDistanceBase[code];
    const int last = first + (1 << kDistanceExtra[code]) - 1;
    for (int d = first; d <= last; d++) {
      if (d <= 256) t.code[d - 1] = static_cast<uint8_t>(code);
      else t.code[256 + ((d - 1) >> 7)] = static_cast<uint8_t>(code);
    }
  }
  return t;
}
constexpr DistanceCodes kDistances = make_distance_codes();

// The 5-bit distance codes, reversed for the writer.
struct DistanceBits {
  uint8_t bits[30];
};
constexpr DistanceBits make_distance_bits() {
  DistanceBits t{};
  for (uint32_t c = 0; c < 30; c++) t.bits[c] = static_cast<uint8_t>(reverse_bits(c, 5));
  return t;
}
constexpr DistanceBits kDistanceBits = make_distance_bits();

// --- the bit writer

// Bits are appended least significant first; whole bytes go out four at a
// time. A byte is stored only below the output's end, but the position
// always advances, so it ends at the size the output needed.
struct BitWriter {
  uint8_t* out;
  size_t capacity;
  size_t position = 0;
  uint64_t buffer = 0;
  int count = 0;

  // At most 32 bits at a time.
  void put(uint32_t bits, int n) {
    buffer |= static_cast<uint64_t>(bits) << count;
    count += n;
    if (count >= 32) {
      if (position + 4 <= capacity) {
        const uint32_t word = static_cast<uint32_t>(buffer);
        const uint8_t bytes[4] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                                  static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
        std::memcpy(out + position, bytes, 4);
      } else {
        for (int i = 0; i < 4; i++)
          if (position + i < capacity) out[position + i] = static_cast<uint8_t>(buffer >> (8 * i));
      }
      position += 4;
      buffer >>= 32;
      count -= 32;
    }
  }
  // Pads the last byte with zero bits and writes what is left.
  void finish() {
    while (count > 0) {
      if (position < capacity) out[position] = static_cast<uint8_t>(buffer);
      position++;
      buffer >>= 8;
      count -= 8;
    }
    count = 0;
  }
};

// --- matching

constexpr int kBuckets = 1024;
constexpr int kSlots = 4;
constexpr size_t kWindow = 32768;
constexpr int kMinMatch = 3;
constexpr int kMaxMatch = 258;

// The 3 bytes at p as one 24-bit value, bytes past the end counting as 0.
inline uint32_t three_bytes(const uint8_t* in, size_t n, size_t p) {
  if (p + 3 <= n) return uint32_t{in[p]} << 16 | uint32_t{in[p + 1]} << 8 | in[p + 2];
  uint32_t v = 0;
  for (size_t i = 0; i < 3; i++) v = v << 8 | (p + i < n ? in[p + i] : 0);
  return v;
}

inline uint32_t bucket_of(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x & (kBuckets - 1);
}

// How far the bytes at a and b agree, at most `limit` (a < b).
inline size_t match_length(const uint8_t* a, const uint8_t* b, size_t limit) {
  size_t n = 0;
  while (n + 8 <= limit) {
    uint64_t x, y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y) return n + static_cast<size_t>(__builtin_ctzll(x ^ y) >> 3);
    n += 8;
  }
  while (n < limit && a[n] == b[n]) n++;
  return n;
}

inline void put_be32(uint8_t* out, size_t capacity, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++)
    if (at + i < capacity) out[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

inline void put_le32(uint8_t* out, size_t capacity, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++)
    if (at + i < capacity) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

void init() {
  for (int i = 0; i < 3; i++) method_symbols[i] = symbol::resolve(symbol::make(kMethodNames[i]));
}

bool method_of(SymbolId sym, Method* method) {
  if (sym == 0) return false;
  const SymbolId canonical = symbol::resolve(sym);
  for (int i = 0; i < 3; i++)
    if (method_symbols[i] == canonical) {
      *method = static_cast<Method>(i);
      return true;
    }
  return false;
}

int32_t compress(uint8_t* out, size_t* capacity, const uint8_t* in, size_t n) {
  // Each slot holds an earlier step start plus 1; 0 is empty.
  uint32_t table[kBuckets][kSlots] = {};
  BitWriter w{out, *capacity};
  w.put(1 | 1 << 1, 3);  // BFINAL 1, BTYPE 01 (fixed codes)
  size_t p = 0;
  uint32_t here = n ? three_bytes(in, n, 0) : 0;
  while (p < n) {
    const size_t start = p;
    const uint32_t bucket = bucket_of(here);
    size_t length = 0, distance = 0;
    if (p >= kMinMatch && n - p >= kMinMatch) {
      for (int s = 0; s < kSlots; s++) {
        const uint32_t slot = table[bucket][s];
        if (slot == 0) continue;
        const size_t q = slot - 1;
        if (q >= p || p - q >= kWindow) continue;
        if (three_bytes(in, n, q) != here) continue;
        const size_t limit = n - p < kMaxMatch ? n - p : kMaxMatch;
        length = kMinMatch + match_length(in + q + kMinMatch, in + p + kMinMatch, limit - kMinMatch);
        distance = p - q;
        break;
      }
    }
    if (length) {
      w.put(kLengths.bits[length], kLengths.count[length]);
      const uint32_t d = static_cast<uint32_t>(distance);
      const int code = kDistances.code[d <= 256 ? d - 1 : 256 + ((d - 1) >> 7)];
      // The 5-bit distance code, reversed, then its extra bits.
      const uint32_t bits = kDistanceBits.bits[code] | (d - kDistanceBase[code]) << 5;
      w.put(bits, 5 + kDistanceExtra[code]);
      p += length;
    } else {
      const Code c = kFixed.symbol[in[p]];
      w.put(c.bits, c.length);
      p++;
    }
    here = three_bytes(in, n, p);
    const uint32_t slot = ((here >> 14) - here) & (kSlots - 1);
    table[bucket][slot] = static_cast<uint32_t>(start + 1);
  }
  w.put(kFixed.symbol[256].bits, kFixed.symbol[256].length);
  w.finish();
  *capacity = w.position;
  return w.position > w.capacity ? kTooSmall : kDone;
}

// --- zlib

int32_t zlib_encode(uint8_t* out, size_t* capacity, const uint8_t* in, size_t n) {
  const size_t room = *capacity;
  if (room < 6) {
    *capacity = n + 6;
    return kBadContainer;
  }
  out[0] = 0x78;  // deflate with a 32 KB window
  out[1] = 0x01;  // fastest level; (0x78 << 8 | 0x01) is a multiple of 31
  size_t data = room - 6;
  const int32_t status = compress(out + 2, &data, in, n);
  const size_t size = data + 6;
  put_be32(out, room, 2 + data, crypto::adler32(in, n));
  *capacity = size;
  return status == kDone ? kDone : kTooSmall;
}

int32_t zlib_decode(uint8_t* out, size_t* capacity, const uint8_t* in, size_t n) {
  if (n < 6) return kBadContainer;
  const uint32_t cmf = in[0], flg = in[1];
  if ((cmf << 8 | flg) % 31 != 0 || (cmf & 0x0F) != 8 || (cmf >> 4) >= 8 || (flg & 0x20))
    return kBadContainer;
  const int32_t status = decompress(out, capacity, in + 2, n - 6);
  if (status != kDone) return status;
  const uint8_t* t = in + n - 4;
  const uint32_t stored = uint32_t{t[0]} << 24 | uint32_t{t[1]} << 16 | uint32_t{t[2]} << 8 | t[3];
  return crypto::adler32(out, *capacity) == stored ? kDone : kBadContainer;
}

// --- gzip

namespace {
constexpr uint8_t kGzipId1 = 0x1F, kGzipId2 = 0x8B, kGzipDeflate = 8;
constexpr uint8_t kFlagHcrc = 0x02, kFlagExtra = 0x04, kFlagName = 0x08, kFlagComment = 0x10;
constexpr size_t kGzipHeader = 10, kGzipTrailer = 8;
}  // namespace

namespace {

inline uint32_t get_le32(const uint8_t* p) {
  return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Where a gzip member's DEFLATE data start, after its header (the extra
// field, name and comment skipped, the header CRC checked when flagged); 0
// when the header is not a gzip one or does not fit before the trailer.
size_t gzip_data_start(const uint8_t* in, size_t n) {
  if (n <= kGzipHeader + kGzipTrailer - 1) return 0;
  const uint8_t flags = in[3];
  if (in[0] != kGzipId1 || in[1] != kGzipId2 || in[2] != kGzipDeflate || flags >= 32) return 0;
  const size_t end = n - kGzipTrailer;  // where the header and data must end
  size_t p = kGzipHeader;
  if (flags & kFlagExtra) {
    if (p + 2 > end) return 0;
    const size_t extra = in[p] | size_t{in[p + 1]} << 8;
    p += 2;
    if (extra > end - p) return 0;
    p += extra;
  }
  for (uint8_t field : {kFlagName, kFlagComment}) {
    if (!(flags & field)) continue;
    const void* nul = p < end ? std::memchr(in + p, 0, end - p) : nullptr;
    if (!nul) return 0;
    p = static_cast<size_t>(static_cast<const uint8_t*>(nul) - in) + 1;
  }
  if (flags & kFlagHcrc) {
    if (p + 2 > end) return 0;
    const uint32_t stored = in[p] | uint32_t{in[p + 1]} << 8;
    if ((crypto::crc32(in, p) & 0xFFFF) != stored) return 0;
    p += 2;
  }
  return p;
}

}  // namespace

int32_t gzip_encode(uint8_t* out, size_t* capacity, const uint8_t* in, size_t n) {
  const size_t room = *capacity;
  if (const size_t p = gzip_data_start(in, n)) {
    // Possibly one whole gzip member, handed back as it is if so: its data
    // must expand to the stored size (measured first, so that a false size
    // asks for no room) and end at the trailer, and their CRC-32, which
    // needs the output, must match. Anything else is data to compress.
    const size_t end = n - kGzipTrailer;
    const uint32_t size = get_le32(in + end + 4);
    size_t measured = 0;
    const int32_t status = decompress(nullptr, &measured, in + p, end - p);
    if ((status == kDone || status == kTooSmall) && measured == size) {
      const size_t need = std::max({size_t{size}, n, static_cast<size_t>(compress_bound(n))});
      if (room < need) {
        *capacity = need;
        return kTooSmall;
      }
      size_t produced = room;
      if (gzip_decode(out, &produced, in, n) == kDone) {
        std::memmove(out, in, n);
        *capacity = n;
        return kDone;
      }
    }
  }
  if (room < kGzipHeader + kGzipTrailer) {
    *capacity = n + kGzipHeader + kGzipTrailer;
    return kBadContainer;
  }
  // ID1 ID2 CM FLG, MTIME 0, XFL 4 (fastest), OS 4.
  const uint8_t header[kGzipHeader] = {kGzipId1, kGzipId2, kGzipDeflate, 0, 0, 0, 0, 0, 4, 4};
  std::memcpy(out, header, kGzipHeader);
  size_t data = room - kGzipHeader - kGzipTrailer;
  const int32_t status = compress(out + kGzipHeader, &data, in, n);
  const size_t at = kGzipHeader + data;
  put_le32(out, room, at, crypto::crc32(in, n));
  put_le32(out, room, at + 4, static_cast<uint32_t>(n));
  *capacity = at + kGzipTrailer;
  return status == kDone ? kDone : kTooSmall;
}

int32_t gzip_decode(uint8_t* out, size_t* capacity, const uint8_t* in, size_t n) {
  const size_t p = gzip_data_start(in, n);
  if (!p) return kBadContainer;
  const size_t end = n - kGzipTrailer;
  const uint32_t crc = get_le32(in + end);
  const uint32_t size = get_le32(in + end + 4);
  // A stored size that the data could never produce is refused before
  // anyone makes room for it.
  if (size > expansion_bound(end - p)) return kBadContainer;
  if (size > *capacity) {
    *capacity = size;
    return kTooSmall;
  }
  size_t produced = *capacity;
  const int32_t status = decompress(out, &produced, in + p, end - p);
  if (status != kDone || produced != size || crypto::crc32(out, produced) != crc)
    return kBadContainer;
  *capacity = size;
  return kDone;
}

}  // namespace qel::deflate
