// The DEFLATE decompressor (see deflate.h).
//
// Bits are read least significant first from a 64-bit buffer that is
// refilled before every symbol, eight bytes at a time while eight remain and
// byte by byte near the end, where bytes past the input read as zero. Bits
// consumed past the input mean the data ended early: that is a failure
// (kCutShort), as is input that ends between blocks before the final one,
// since output cut off there cannot be told from whole output.
//
// Huffman codes decode through tables indexed by the next bits (reversed
// codes, as they arrive): a root table of 10 bits for literals and lengths
// and 8 bits for distances, each of whose entries either is the symbol or
// links to a subtable for the codes longer than the root. Entries carry what
// the symbol means (a literal, the end of the block, a length or distance
// base with its extra bits), so decoding one symbol is one or two loads.
// Tables are built from the code lengths by counting; a set of lengths that
// over-subscribes the code space, or leaves part of it unused (except a
// lone code of length 1, which the format allows), is refused.
#include <cstring>

#include "services/deflate.h"

namespace qel::deflate {

namespace {

// --- table entries
//
// bits 0-3   bits the entry consumes: its code's whole length (a link: the
//            root's bits)
// bits 4-6   kind
// bits 8-11  extra bits after the code (a link: the subtable's index bits)
// bits 16-31 the value: a literal byte, a length or distance base, a
//            code-length symbol, or a link's subtable offset
enum Kind : uint32_t { kLiteral = 0, kBase = 1, kEnd = 2, kInvalid = 3, kLink = 4 };

constexpr uint32_t make_entry(uint32_t bits, uint32_t kind, uint32_t extra, uint32_t value) {
  return bits | kind << 4 | extra << 8 | value << 16;
}
inline uint32_t bits_of(uint32_t e) { return e & 0x0F; }
inline uint32_t kind_of(uint32_t e) { return (e >> 4) & 0x07; }
inline uint32_t extra_of(uint32_t e) { return (e >> 8) & 0x0F; }
inline uint32_t value_of(uint32_t e) { return e >> 16; }
inline uint64_t low_bits(uint64_t v, uint32_t n) { return v & ((uint64_t{1} << n) - 1); }

constexpr uint32_t kInvalidEntry = make_entry(0, kInvalid, 0, 0);

constexpr int kMaxBits = 15;
constexpr int kLitRoot = 10;
constexpr int kDistRoot = 8;
constexpr int kCodeLengthRoot = 7;
constexpr int kLitSymbols = 288;
constexpr int kDistSymbols = 32;
constexpr int kCodeLengthSymbols = 19;
// Room for the root and a full-size subtable per symbol; building checks it.
constexpr int kLitTableSize = (1 << kLitRoot) + kLitSymbols * (1 << (kMaxBits - kLitRoot));
constexpr int kDistTableSize = (1 << kDistRoot) + kDistSymbols * (1 << (kMaxBits - kDistRoot));
constexpr int kCodeLengthTableSize = 1 << kCodeLengthRoot;

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistanceBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                        33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                        1025, 1537, 2049, 3073, 4097, 6145,  8193,  12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// The order in which a dynamic block lists its code-length code lengths.
constexpr uint8_t kCodeLengthOrder[kCodeLengthSymbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                          11, 4,  12, 3, 13, 2, 14, 1, 15};

// What each symbol of an alphabet means, as an entry without its bit count.
struct Meanings {
  uint32_t lit[kLitSymbols];
  uint32_t dist[kDistSymbols];
  uint32_t code_length[kCodeLengthSymbols];
};
constexpr Meanings make_meanings() {
  Meanings m{};
  for (uint32_t s = 0; s < 256; s++) m.lit[s] = make_entry(0, kLiteral, 0, s);
  m.lit[256] = make_entry(0, kEnd, 0, 0);
  for (uint32_t s = 0; s < 29; s++) m.lit[257 + s] = make_entry(0, kBase, kLengthExtra[s], kLengthBase[s]);
  m.lit[286] = m.lit[287] = kInvalidEntry;
  for (uint32_t s = 0; s < 30; s++) m.dist[s] = make_entry(0, kBase, kDistanceExtra[s], kDistanceBase[s]);
  m.dist[30] = m.dist[31] = kInvalidEntry;
  for (uint32_t s = 0; s < kCodeLengthSymbols; s++) m.code_length[s] = make_entry(0, kLiteral, 0, s);
  return m;
}
constexpr Meanings kMeanings = make_meanings();

constexpr uint32_t reverse(uint32_t code, int length) {
  uint32_t r = 0;
  for (int i = 0; i < length; i++) r |= ((code >> i) & 1) << (length - 1 - i);
  return r;
}

enum class Lone : bool { refused, allowed };

// Builds the decoding table of a code from its lengths (0: the symbol is
// not used). False when the lengths are not a usable code. A code without
// any symbol builds a table of invalid entries.
bool build_table(const uint8_t* lengths, int n, const uint32_t* meaning, int root, uint32_t* table,
                 int capacity, Lone lone) {
  int count[kMaxBits + 1] = {};
  for (int s = 0; s < n; s++) count[lengths[s]]++;
  count[0] = 0;
  int max = 0;
  for (int l = 1; l <= kMaxBits; l++)
    if (count[l]) max = l;
  const int root_size = 1 << root;
  for (int i = 0; i < root_size; i++) table[i] = kInvalidEntry;
  if (max == 0) return true;
  int left = 1;
  for (int l = 1; l <= kMaxBits; l++) {
    left = (left << 1) - count[l];
    if (left < 0) return false;  // over-subscribed
  }
  if (left > 0 && !(lone == Lone::allowed && max == 1)) return false;  // incomplete
  uint32_t next[kMaxBits + 2] = {};
  uint32_t code = 0;
  for (int l = 1; l <= kMaxBits; l++) {
    code = (code + count[l - 1]) << 1;
    next[l] = code;
  }
  // Codes longer than the root: the longest per root prefix sizes its
  // subtable.
  uint8_t longest[1 << kLitRoot] = {};
  uint32_t codes[kLitSymbols];
  for (int s = 0; s < n; s++) {
    const int len = lengths[s];
    if (!len) continue;
    codes[s] = reverse(next[len]++, len);
    if (len > root) {
      uint8_t& m = longest[codes[s] & (root_size - 1)];
      if (len > m) m = static_cast<uint8_t>(len);
    }
  }
  int free = root_size;
  if (max > root) {
    for (int prefix = 0; prefix < root_size; prefix++) {
      if (!longest[prefix]) continue;
      const int sub_bits = longest[prefix] - root;
      if (free + (1 << sub_bits) > capacity) return false;
      table[prefix] = make_entry(static_cast<uint32_t>(root), kLink, static_cast<uint32_t>(sub_bits),
                                 static_cast<uint32_t>(free));
      for (int i = 0; i < 1 << sub_bits; i++) table[free + i] = kInvalidEntry;
      free += 1 << sub_bits;
    }
  }
  for (int s = 0; s < n; s++) {
    const int len = lengths[s];
    if (!len) continue;
    const uint32_t e = meaning[s] | static_cast<uint32_t>(len);
    if (len <= root) {
      for (uint32_t i = codes[s]; i < static_cast<uint32_t>(root_size); i += 1u << len) table[i] = e;
    } else {
      const uint32_t link = table[codes[s] & (root_size - 1)];
      const uint32_t base = value_of(link), size = 1u << extra_of(link);
      for (uint32_t i = codes[s] >> root; i < size; i += 1u << (len - root)) table[base + i] = e;
    }
  }
  return true;
}

// The tables of the fixed codes, built once.
struct FixedTables {
  uint32_t lit[kLitTableSize];
  uint32_t dist[kDistTableSize];
  FixedTables() {
    uint8_t lengths[kLitSymbols];
    for (int s = 0; s < kLitSymbols; s++) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    build_table(lengths, kLitSymbols, kMeanings.lit, kLitRoot, lit, kLitTableSize, Lone::allowed);
    uint8_t dist_lengths[kDistSymbols];
    for (uint8_t& l : dist_lengths) l = 5;
    build_table(dist_lengths, kDistSymbols, kMeanings.dist, kDistRoot, dist, kDistTableSize,
                Lone::allowed);
  }
};

const FixedTables& fixed_tables() {
  static const FixedTables tables;
  return tables;
}

inline uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;  // little-endian
}

// How a run of symbols, or a block, ended.
enum class Step : uint8_t { block_end, input_end, failed };

struct Inflater {
  const uint8_t* in;
  size_t in_length;
  size_t in_pos = 0;  // next byte to load; counts the zero bytes read past the end
  uint64_t buffer = 0;
  uint32_t count = 0;  // bits held
  uint8_t* out;
  size_t capacity;
  size_t produced = 0;  // bytes of output, stored or not
  int32_t status = kDone;

  // Holds at least 56 bits afterwards.
  void refill() {
    if (in_pos + 8 <= in_length) {
      buffer |= load64(in + in_pos) << count;
      in_pos += (63 - count) >> 3;
      count |= 56;
      return;
    }
    while (count <= 56) {
      const uint64_t byte = in_pos < in_length ? in[in_pos] : 0;
      buffer |= byte << count;
      in_pos++;
      count += 8;
    }
  }
  void consume(uint32_t n) {
    buffer >>= n;
    count -= n;
  }
  uint32_t take(uint32_t n) {
    const uint32_t v = static_cast<uint32_t>(low_bits(buffer, n));
    consume(n);
    return v;
  }
  // Bits consumed so far, and whether they went past the input.
  uint64_t consumed() const { return uint64_t{in_pos} * 8 - count; }
  bool overrun() const { return in_pos > in_length && consumed() > uint64_t{in_length} * 8; }
  bool input_left() const { return consumed() < uint64_t{in_length} * 8; }

  Step fail(int32_t s) {
    status = s;
    return Step::failed;
  }

  void put_byte(uint8_t b) {
    if (produced < capacity) out[produced] = b;
    produced++;
  }
  void put_bytes(const uint8_t* src, size_t n) {
    if (produced < capacity) {
      const size_t room = capacity - produced;
      std::memcpy(out + produced, src, n < room ? n : room);
    }
    produced += n;
  }
  // Copies `length` bytes from `distance` back (checked by the caller);
  // the ranges may overlap, repeating the pattern.
  void copy_match(size_t distance, size_t length) {
    if (produced < capacity) {
      uint8_t* to = out + produced;
      const uint8_t* from = to - distance;
      if (length + 8 <= capacity - produced && distance >= 8) {
        // Eight bytes at a time: each chunk reads only bytes already
        // written, and the few written past the match lie inside the room.
        for (size_t i = 0; i < length; i += 8) std::memcpy(to + i, from + i, 8);
      } else if (distance == 1) {
        const size_t room = capacity - produced;
        std::memset(to, *from, length < room ? length : room);
      } else {
        const size_t room = capacity - produced;
        const size_t n = length < room ? length : room;
        for (size_t i = 0; i < n; i++) to[i] = from[i];
      }
    }
    produced += length;
  }

  Step codes(const uint32_t* lit, const uint32_t* dist);
  Step stored();
  Step dynamic();
  void run();
};

// Decodes the symbols of one block until its end.
Step Inflater::codes(const uint32_t* lit, const uint32_t* dist) {
  for (;;) {
    refill();
    uint32_t e = lit[buffer & ((1u << kLitRoot) - 1)];
    if (kind_of(e) == kLink) e = lit[value_of(e) + low_bits(buffer >> kLitRoot, extra_of(e))];
    const uint32_t kind = kind_of(e);
    if (kind == kLiteral) {
      consume(bits_of(e));
      if (overrun()) return Step::input_end;
      put_byte(static_cast<uint8_t>(value_of(e)));
      // A literal takes at most 15 of the 56 bits held: the next symbol
      // needs no refill when it is a literal too.
      e = lit[buffer & ((1u << kLitRoot) - 1)];
      if (kind_of(e) == kLink) e = lit[value_of(e) + low_bits(buffer >> kLitRoot, extra_of(e))];
      if (kind_of(e) == kLiteral) {
        consume(bits_of(e));
        if (overrun()) return Step::input_end;
        put_byte(static_cast<uint8_t>(value_of(e)));
      }
      continue;
    }
    if (kind == kEnd) {
      consume(bits_of(e));
      return overrun() ? Step::input_end : Step::block_end;
    }
    consume(bits_of(e));
    if (kind != kBase) return overrun() ? Step::input_end : fail(kBadBlock);
    const size_t length = value_of(e) + take(extra_of(e));
    uint32_t d = dist[buffer & ((1u << kDistRoot) - 1)];
    if (kind_of(d) == kLink) d = dist[value_of(d) + low_bits(buffer >> kDistRoot, extra_of(d))];
    if (kind_of(d) != kBase) return overrun() ? Step::input_end : fail(kBadBlock);
    consume(bits_of(d));
    const size_t distance = value_of(d) + take(extra_of(d));
    if (overrun()) return Step::input_end;
    if (distance > produced) return fail(kTooFar);
    copy_match(distance, length);
  }
}

// A stored block: LEN bytes copied from the byte boundary on.
Step Inflater::stored() {
  consume(count & 7);
  refill();
  const uint32_t length = take(16);
  take(16);  // NLEN: not compared
  if (overrun()) return Step::input_end;
  // Give the whole bytes still held back to the input.
  const size_t at = in_pos - count / 8;
  if (in_length - at < length) return fail(kStoredTooLong);
  put_bytes(in + at, length);
  in_pos = at + length;
  buffer = 0;
  count = 0;
  return Step::block_end;
}

// A block with its own codes: their lengths, coded, come first.
Step Inflater::dynamic() {
  refill();
  const int lit_count = static_cast<int>(take(5)) + 257;
  const int dist_count = static_cast<int>(take(5)) + 1;
  const int code_length_count = static_cast<int>(take(4)) + 4;
  uint8_t code_lengths[kCodeLengthSymbols] = {};
  for (int i = 0; i < code_length_count; i++) {
    refill();
    code_lengths[kCodeLengthOrder[i]] = static_cast<uint8_t>(take(3));
  }
  if (overrun()) return Step::input_end;
  uint32_t cl_table[kCodeLengthTableSize];
  if (!build_table(code_lengths, kCodeLengthSymbols, kMeanings.code_length, kCodeLengthRoot,
                   cl_table, kCodeLengthTableSize, Lone::refused))
    return fail(kBadBlock);
  uint8_t lengths[kLitSymbols + kDistSymbols] = {};
  const int total = lit_count + dist_count;
  for (int i = 0; i < total;) {
    refill();
    const uint32_t e = cl_table[buffer & (kCodeLengthTableSize - 1)];
    if (kind_of(e) != kLiteral) return overrun() ? Step::input_end : fail(kBadBlock);
    consume(bits_of(e));
    const uint32_t symbol = value_of(e);
    if (symbol < 16) {
      lengths[i++] = static_cast<uint8_t>(symbol);
      continue;
    }
    uint8_t value = 0;
    int repeat;
    if (symbol == 16) {
      if (i == 0) return overrun() ? Step::input_end : fail(kBadBlock);
      value = lengths[i - 1];
      repeat = 3 + static_cast<int>(take(2));
    } else if (symbol == 17) {
      repeat = 3 + static_cast<int>(take(3));
    } else {
      repeat = 11 + static_cast<int>(take(7));
    }
    // Repeats may not run past the lengths the header announced.
    if (repeat > total - i) return overrun() ? Step::input_end : fail(kBadBlock);
    std::memset(lengths + i, value, static_cast<size_t>(repeat));
    i += repeat;
  }
  if (overrun()) return Step::input_end;
  // A literal/length code without the end-of-block symbol could never end.
  if (lengths[256] == 0) return fail(kBadBlock);
  uint32_t lit[kLitTableSize];
  uint32_t dist[kDistTableSize];
  if (!build_table(lengths, lit_count, kMeanings.lit, kLitRoot, lit, kLitTableSize, Lone::allowed) ||
      !build_table(lengths + lit_count, dist_count, kMeanings.dist, kDistRoot, dist, kDistTableSize,
                   Lone::allowed))
    return fail(kBadBlock);
  return codes(lit, dist);
}

void Inflater::run() {
  for (;;) {
    // Input that ends between blocks, or inside one, is cut short.
    if (!input_left()) {
      status = kCutShort;
      return;
    }
    refill();
    const uint32_t final_block = take(1);
    const uint32_t type = take(2);
    if (overrun()) {
      status = kCutShort;
      return;
    }
    Step step;
    switch (type) {
      case 0: step = stored(); break;
      case 1: step = codes(fixed_tables().lit, fixed_tables().dist); break;
      case 2: step = dynamic(); break;
      default: status = kBadBlock; return;
    }
    if (step == Step::input_end) status = kCutShort;
    if (step != Step::block_end) return;
    if (final_block) {
      // Whole bytes after the final block's last one are left over.
      if ((consumed() + 7) / 8 < in_length) status = kLeftOver;
      return;
    }
  }
}

}  // namespace

int32_t decompress(uint8_t* out, size_t* capacity, const uint8_t* in, size_t length) {
  Inflater z{.in = in, .in_length = length, .out = out, .capacity = *capacity};
  z.run();
  if (z.status != kDone) return z.status;
  *capacity = z.produced;
  return z.produced > z.capacity ? kTooSmall : kDone;
}

}  // namespace qel::deflate
