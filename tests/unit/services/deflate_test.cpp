// DEFLATE, zlib and gzip: our output must inflate with the reference codec
// (zlib, the test oracle) and ours must inflate the reference codec's output
// at every level and strategy; crafted streams give each failure status;
// truncated, corrupted and random inputs never fault (run under ASan: the
// output buffers are exactly the capacity given), and measuring then
// decoding agree. The natives are covered by
// tests/golden/services/compress.qel.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "services/checksum.h"
#include "services/deflate.h"

using namespace qel;
using Bytes = std::vector<uint8_t>;

namespace {

using Codec = int32_t (*)(uint8_t*, size_t*, const uint8_t*, size_t);

Bytes bytes(const std::string& s) { return {s.begin(), s.end()}; }

// Runs a codec with exactly `capacity` bytes of heap room (so that ASan
// sees any write past it); answers the status, the size and the output.
struct Outcome {
  int32_t status;
  size_t size;
  Bytes out;
};
Outcome run(Codec codec, const Bytes& in, size_t capacity) {
  std::unique_ptr<uint8_t[]> room(capacity ? new uint8_t[capacity] : nullptr);
  size_t size = capacity;
  const int32_t status = codec(room.get(), &size, in.data(), in.size());
  Outcome r{status, size, {}};
  if (status == deflate::kDone) r.out.assign(room.get(), room.get() + size);
  return r;
}

// Measures, then decodes into exactly the size measured.
Outcome decode(Codec codec, const Bytes& in) {
  Outcome measured = run(codec, in, 0);
  if (measured.status != deflate::kDone && measured.status != deflate::kTooSmall) return measured;
  return run(codec, in, measured.size);
}

Bytes encode(Codec codec, const Bytes& in) {
  Outcome r = run(codec, in, deflate::compress_bound(in.size()));
  EXPECT_EQ(r.status, deflate::kDone);
  return r.out;
}

// The reference codec. windowBits: -15 raw, 15 zlib, 31 gzip.
Bytes ref_compress(const Bytes& in, int level, int strategy, int window_bits) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, window_bits, 8, strategy), Z_OK);
  Bytes out(deflateBound(&z, in.size()) + 64);
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(::deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

bool ref_inflate(const Bytes& in, int window_bits, Bytes* out) {
  z_stream z{};
  if (inflateInit2(&z, window_bits) != Z_OK) return false;
  out->assign(in.size() * 4 + 1024, 0);
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  int status;
  do {
    if (z.total_out == out->size()) out->resize(out->size() * 2);
    z.next_out = out->data() + z.total_out;
    z.avail_out = static_cast<uInt>(out->size() - z.total_out);
    status = inflate(&z, Z_NO_FLUSH);
  } while (status == Z_OK);
  out->resize(z.total_out);
  const bool ok = status == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  return ok;
}

// The inputs every round trip runs over.
std::vector<Bytes> corpora() {
  std::mt19937 g(2024);
  std::vector<Bytes> c;
  c.push_back({});
  c.push_back(bytes("a"));
  c.push_back(bytes("abcabcabcabcabcabcab"));
  std::string text;
  const char* words[] = {"block ", "word ", "series ", "value ", "the ", "of ", "compress ", "\n"};
  while (text.size() < 300000) text += words[g() % 8];
  c.push_back(bytes(text));
  Bytes noise(100000);
  for (auto& b : noise) b = static_cast<uint8_t>(g());
  c.push_back(noise);
  Bytes few(200000);  // a small alphabet: many short matches
  for (auto& b : few) b = static_cast<uint8_t>('a' + g() % 4);
  c.push_back(few);
  c.push_back(Bytes(100000, 'x'));
  Bytes mixed;  // long matches, far matches, literals of both code lengths
  while (mixed.size() < 600000) {
    const size_t n = 1 + g() % 600;
    if (g() % 3 == 0 && mixed.size() > 40000) {
      const size_t from = mixed.size() - 1 - g() % 40000;
      for (size_t i = 0; i < n; i++) mixed.push_back(mixed[from + i]);
    } else {
      for (size_t i = 0; i < n; i++) mixed.push_back(static_cast<uint8_t>(g() % 256));
    }
  }
  c.push_back(mixed);
  return c;
}

// An LSB-first writer for crafting streams.
struct Bits {
  Bytes out;
  uint32_t buffer = 0;
  int count = 0;
  Bits& put(uint32_t v, int n) {
    for (int i = 0; i < n; i++) {
      buffer |= ((v >> i) & 1) << count;
      if (++count == 8) {
        out.push_back(static_cast<uint8_t>(buffer));
        buffer = 0;
        count = 0;
      }
    }
    return *this;
  }
  // A Huffman code, most significant bit first.
  Bits& code(uint32_t v, int n) {
    for (int i = n - 1; i >= 0; i--) put((v >> i) & 1, 1);
    return *this;
  }
  Bytes done() {
    Bytes r = out;
    if (count) r.push_back(static_cast<uint8_t>(buffer));
    return r;
  }
};

// Wraps raw DEFLATE data as a zlib stream with the Adler-32 of `original`.
Bytes as_zlib(const Bytes& raw, const Bytes& original) {
  Bytes z;
  z.reserve(raw.size() + 6);
  z.push_back(0x78);
  z.push_back(0x01);
  z.insert(z.end(), raw.begin(), raw.end());
  const uint32_t a = crypto::adler32(original.data(), original.size());
  for (int i = 3; i >= 0; i--) z.push_back(static_cast<uint8_t>(a >> (8 * i)));
  return z;
}

void put_le32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; i++) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

TEST(ServicesDeflate, EmptyInputIsOneFixedBlock) {
  EXPECT_EQ(encode(deflate::compress, {}), (Bytes{0x03, 0x00}));
}

TEST(ServicesDeflate, RunOfOneByteIsThreeLiteralsThenMatches) {
  // 3 + 4 x 258 bytes: 3 header bits, 3 literals of 8 bits, a match of 258
  // at distance 1 (13 bits: length code 285, distance code 0), then three
  // at distance 258 (20 bits: distance code 16 and 7 extra bits), since only
  // the starts of steps are remembered; the 7-bit end: 107 bits.
  const Bytes run_of_a(3 + 4 * 258, 'a');
  const Bytes packed = encode(deflate::compress, run_of_a);
  EXPECT_EQ(packed.size(), 14u);
  Bytes back;
  ASSERT_TRUE(ref_inflate(packed, -15, &back));
  EXPECT_EQ(back, run_of_a);
}

TEST(ServicesDeflate, TheReferenceCodecInflatesOurOutput) {
  for (const Bytes& in : corpora()) {
    Bytes back;
    ASSERT_TRUE(ref_inflate(encode(deflate::compress, in), -15, &back)) << in.size();
    EXPECT_EQ(back, in);
    ASSERT_TRUE(ref_inflate(encode(deflate::zlib_encode, in), 15, &back)) << in.size();
    EXPECT_EQ(back, in);
    ASSERT_TRUE(ref_inflate(encode(deflate::gzip_encode, in), 31, &back)) << in.size();
    EXPECT_EQ(back, in);
    // And our own decoders agree.
    EXPECT_EQ(decode(deflate::decompress, encode(deflate::compress, in)).out, in);
    EXPECT_EQ(decode(deflate::zlib_decode, encode(deflate::zlib_encode, in)).out, in);
    EXPECT_EQ(decode(deflate::gzip_decode, encode(deflate::gzip_encode, in)).out, in);
  }
}

TEST(ServicesDeflate, WeInflateTheReferenceCodecAtEveryLevelAndStrategy) {
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  for (const Bytes& in : corpora()) {
    for (int level = 0; level <= 9; level++) {
      for (int strategy : strategies) {
        if (strategy != Z_DEFAULT_STRATEGY && in.size() > 300000) continue;
        const Outcome raw = decode(deflate::decompress, ref_compress(in, level, strategy, -15));
        ASSERT_EQ(raw.status, deflate::kDone) << in.size() << " " << level << " " << strategy;
        ASSERT_EQ(raw.out, in) << in.size() << " " << level << " " << strategy;
        if (strategy != Z_DEFAULT_STRATEGY) continue;
        const Outcome z = decode(deflate::zlib_decode, ref_compress(in, level, strategy, 15));
        ASSERT_EQ(z.status, deflate::kDone);
        ASSERT_EQ(z.out, in);
        const Outcome gz = decode(deflate::gzip_decode, ref_compress(in, level, strategy, 31));
        ASSERT_EQ(gz.status, deflate::kDone);
        ASSERT_EQ(gz.out, in);
      }
    }
  }
}

TEST(ServicesDeflate, OutputThatDoesNotFitIsMeasured) {
  const Bytes in = corpora()[3];
  const Bytes packed = encode(deflate::compress, in);
  for (Codec codec : {deflate::compress, deflate::zlib_encode, deflate::gzip_encode}) {
    const size_t needed = encode(codec, in).size();
    const Outcome tight = run(codec, in, needed - 1);
    EXPECT_EQ(tight.status, deflate::kTooSmall);
    EXPECT_EQ(tight.size, needed);
    EXPECT_EQ(run(codec, in, needed).status, deflate::kDone);
  }
  for (size_t capacity : {size_t{0}, size_t{1}, in.size() / 2, in.size() - 1}) {
    const Outcome r = run(deflate::decompress, packed, capacity);
    EXPECT_EQ(r.status, deflate::kTooSmall);
    EXPECT_EQ(r.size, in.size());
  }
  const Bytes gz = encode(deflate::gzip_encode, in);
  const Outcome small = run(deflate::gzip_decode, gz, 100);
  EXPECT_EQ(small.status, deflate::kTooSmall);
  EXPECT_EQ(small.size, in.size());
  // The containers need room for their frames.
  EXPECT_EQ(run(deflate::zlib_encode, in, 5).status, deflate::kBadContainer);
  EXPECT_EQ(run(deflate::zlib_encode, in, 5).size, in.size() + 6);
  EXPECT_EQ(run(deflate::gzip_encode, in, 17).size, in.size() + 18);
}

TEST(ServicesDeflate, RawStreamFailures) {
  // Fixed block whose first symbol is a match: length 3, distance 1.
  const Bytes too_far = Bits().put(1, 1).put(1, 2).code(1, 7).code(0, 5).code(0, 7).done();
  // Fixed block: literal 'a', then length 3 with distance code 30.
  const Bytes bad_distance =
      Bits().put(1, 1).put(1, 2).code(0x30 + 'a', 8).code(1, 7).code(30, 5).code(0, 7).done();
  // Fixed block: the unused length symbol 286.
  const Bytes bad_length = Bits().put(1, 1).put(1, 2).code(0xC0 + 6, 8).done();
  // Dynamic block: 19 code-length codes of length 1 over-subscribe.
  Bits over;
  over.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(15, 4);
  for (int i = 0; i < 19; i++) over.put(1, 3);
  // Dynamic block: a lone code-length code is incomplete.
  Bits lone;
  lone.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(0, 4).put(1, 3).put(0, 3).put(0, 3).put(0, 3);
  // Dynamic blocks whose code-length code is {1: "0", 18: "1"} (lengths 1
  // and 1, listed in the order 16 17 18 0 8 7 9 6 10 5 11 4 12 3 13 2 14 1).
  auto with_ones_and_18 = [] {
    Bits b;
    b.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(14, 4);  // 257 + 1 lengths, 18 code lengths
    const int order[18] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1};
    for (int s : order) b.put(s == 18 || s == 1 ? 1 : 0, 3);
    return b;
  };
  // Two runs of 138 zeros pass the 258 lengths announced.
  Bits past = with_ones_and_18();
  past.code(1, 1).put(127, 7).code(1, 1).put(127, 7);
  // Literals 0 and 1 of length 1, no code for the end of the block (138 +
  // 117 zeros), one distance code.
  Bits no_end = with_ones_and_18();
  no_end.code(0, 1).code(0, 1).code(1, 1).put(127, 7).code(1, 1).put(106, 7).code(0, 1);
  // A stored block of 10 bytes with 3 present.
  const Bytes short_stored = {0x01, 0x0A, 0x00, 0xF5, 0xFF, 'a', 'b', 'c'};
  Bytes left_over = encode(deflate::compress, bytes("abc"));
  left_over.push_back(0);
  struct Case {
    const char* what;
    Bytes data;
    int32_t status;
  } cases[] = {
      {"distance before the start", too_far, deflate::kTooFar},
      {"distance code 30", bad_distance, deflate::kBadBlock},
      {"length symbol 286", bad_length, deflate::kBadBlock},
      {"block type 3", {0x07, 0x00}, deflate::kBadBlock},
      {"over-subscribed code", over.done(), deflate::kBadBlock},
      {"incomplete code-length code", lone.done(), deflate::kBadBlock},
      {"repeat past the lengths", past.done(), deflate::kBadBlock},
      {"no end-of-block code", no_end.done(), deflate::kBadBlock},
      {"stored block past the input", short_stored, deflate::kStoredTooLong},
      {"bytes after the final block", left_over, deflate::kLeftOver},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(run(deflate::decompress, c.data, 0).status, c.status) << c.what;
    EXPECT_EQ(run(deflate::decompress, c.data, 1000).status, c.status) << c.what;
  }
}

TEST(ServicesDeflate, StreamsThatEndEarlyAreRefused) {
  // Every prefix of a stream is refused, measured or decoded: cut short
  // (status 6), or inside a stored block status 3. A prefix used to decode
  // to the part of the data its complete symbols gave, as if whole.
  const Bytes all = corpora()[3];
  const Bytes text(all.begin(), all.begin() + 20000);
  for (const Bytes& packed : {encode(deflate::compress, text), ref_compress(text, 6, Z_DEFAULT_STRATEGY, -15),
                              ref_compress(text, 0, Z_DEFAULT_STRATEGY, -15)}) {
    for (size_t cut = 0; cut < packed.size(); cut += 1 + cut / 64) {
      const Bytes prefix(packed.begin(), packed.begin() + cut);
      for (size_t room : {size_t{0}, text.size()}) {
        const int32_t status = run(deflate::decompress, prefix, room).status;
        if (status != deflate::kStoredTooLong) {
          ASSERT_EQ(status, deflate::kCutShort) << cut;
        }
      }
    }
  }
  // In a container, a cut trailer leaves the data short of their end.
  const Bytes z = encode(deflate::zlib_encode, text);
  EXPECT_EQ(decode(deflate::zlib_decode, Bytes(z.begin(), z.end() - 1)).status, deflate::kCutShort);
  const Bytes gz = encode(deflate::gzip_encode, text);
  EXPECT_EQ(decode(deflate::gzip_decode, Bytes(gz.begin(), gz.end() - 1)).status, deflate::kBadContainer);
}

TEST(ServicesDeflate, ZlibContainer) {
  const Bytes data = bytes("zlib container");
  const Bytes raw = encode(deflate::compress, data);
  const Bytes good = as_zlib(raw, data);
  EXPECT_EQ(decode(deflate::zlib_decode, good).out, data);
  auto with_header = [&](uint8_t cmf, uint8_t flg) {
    Bytes z = good;
    z[0] = cmf;
    z[1] = flg;
    return z;
  };
  Bytes bad_sum = good;
  bad_sum.back() ^= 1;
  struct Case {
    const char* what;
    Bytes data;
  } cases[] = {
      {"header check", with_header(0x78, 0x02)},
      {"preset dictionary", with_header(0x78, 0x20)},  // 0x7820 is a multiple of 31
      {"method 7", with_header(0x77, 0x09)},
      {"window above 32 KB", with_header(0x88, 0x1C)},
      {"checksum", bad_sum},
      {"too short", {0x78, 0x01, 0x03, 0x00, 0x00}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(decode(deflate::zlib_decode, c.data).status, deflate::kBadContainer) << c.what;
}

TEST(ServicesDeflate, GzipContainer) {
  const Bytes data = bytes("gzip member");
  const Bytes raw = encode(deflate::compress, data);
  const uint32_t crc = crypto::crc32(data.data(), data.size());
  // A member with the given header fields (flags, then the fields' bytes).
  auto member = [&](uint8_t flags, const Bytes& fields, uint32_t size, uint32_t sum) {
    Bytes m;
    m.reserve(10 + fields.size() + raw.size() + 8);
    for (uint8_t b : {uint8_t{0x1F}, uint8_t{0x8B}, uint8_t{0x08}, flags, uint8_t{0}, uint8_t{0},
                      uint8_t{0}, uint8_t{0}, uint8_t{0}, uint8_t{3}})
      m.push_back(b);
    m.insert(m.end(), fields.begin(), fields.end());
    m.insert(m.end(), raw.begin(), raw.end());
    put_le32(m, sum);
    put_le32(m, size);
    return m;
  };
  const uint8_t kText = 1, kHcrc = 2, kExtra = 4, kName = 8, kComment = 16;
  Bytes header = {0x1F, 0x8B, 0x08, kHcrc, 0, 0, 0, 0, 0, 3};
  const uint32_t header_crc = crypto::crc32(header.data(), header.size()) & 0xFFFF;
  const Bytes hcrc = {static_cast<uint8_t>(header_crc), static_cast<uint8_t>(header_crc >> 8)};
  const Bytes wrong_hcrc = {static_cast<uint8_t>(header_crc ^ 1), static_cast<uint8_t>(header_crc >> 8)};
  const Bytes plain = member(0, {}, 11, crc);
  const Bytes fields = {3, 0, 'x', 'y', 'z', 'n', 'a', 'm', 'e', 0, 'c', 0};
  struct Case {
    const char* what;
    Bytes data;
    int32_t status;
  } cases[] = {
      {"plain", member(0, {}, 11, crc), deflate::kDone},
      {"text flag", member(kText, {}, 11, crc), deflate::kDone},
      {"extra, name and comment", member(kExtra | kName | kComment, fields, 11, crc), deflate::kDone},
      {"header CRC", member(kHcrc, hcrc, 11, crc), deflate::kDone},
      {"wrong header CRC", member(kHcrc, wrong_hcrc, 11, crc), deflate::kBadContainer},
      {"reserved flag", member(32, {}, 11, crc), deflate::kBadContainer},
      {"extra field too long", member(kExtra, {0xFF, 0x7F}, 11, crc), deflate::kBadContainer},
      // No NUL up to the trailer (which holds none either).
      {"name without its end",
       {0x1F, 0x8B, 0x08, kName, 0, 0, 0, 0, 0, 3, 'n', 'a', 'm', 'e', 0xFF, 0xFF, 0xFF, 0xFF, 1, 1, 1, 1},
       deflate::kBadContainer},
      {"wrong CRC", member(0, {}, 11, crc ^ 1), deflate::kBadContainer},
      {"size too small", member(0, {}, 10, crc), deflate::kBadContainer},
      {"size larger than the data can give", member(0, {}, 0x7FFFFFFF, crc), deflate::kBadContainer},
      {"too short", Bytes(plain.begin(), plain.begin() + 17), deflate::kBadContainer},
  };
  for (const Case& c : cases) {
    const Outcome r = decode(deflate::gzip_decode, c.data);
    EXPECT_EQ(r.status, c.status) << c.what;
    if (c.status == deflate::kDone) {
      EXPECT_EQ(r.out, data) << c.what;
    }
  }
  // A stored size above the room is reported as the room needed.
  const Outcome small = run(deflate::gzip_decode, member(0, {}, 11, crc), 5);
  EXPECT_EQ(small.status, deflate::kTooSmall);
  EXPECT_EQ(small.size, 11u);
  // Data already in gzip form is handed back as it is.
  const Bytes gz = member(0, {}, 11, crc);
  EXPECT_EQ(encode(deflate::gzip_encode, gz), gz);
}

TEST(ServicesDeflate, CorruptAndRandomInputNeverFault) {
  // Measuring and decoding must agree, whatever the input: the natives
  // decode into exactly the size measured.
  std::mt19937 g(99);
  const Bytes all = corpora()[3];
  const Bytes text(all.begin(), all.begin() + 5000);
  const Bytes valid[] = {encode(deflate::compress, text), ref_compress(text, 9, Z_DEFAULT_STRATEGY, -15),
                         ref_compress(text, 1, Z_HUFFMAN_ONLY, -15)};
  for (int i = 0; i < 3000; i++) {
    Bytes in;
    if (i % 3 == 0) {
      in.resize(g() % 300);
      for (auto& b : in) b = static_cast<uint8_t>(g());
    } else {
      in = valid[i % 3];
      for (int flips = 1 + g() % 4; flips > 0; flips--) in[g() % in.size()] ^= static_cast<uint8_t>(1 << (g() % 8));
    }
    const Outcome measured = run(deflate::decompress, in, 0);
    ASSERT_TRUE(measured.status >= 0 && measured.status <= 6);
    if (measured.status != deflate::kDone && measured.status != deflate::kTooSmall) continue;
    const Outcome full = run(deflate::decompress, in, measured.size);
    ASSERT_EQ(full.status, deflate::kDone) << i;
    ASSERT_EQ(full.size, measured.size) << i;
    // A room a little too small is measured the same.
    if (measured.size > 1) {
      ASSERT_EQ(run(deflate::decompress, in, measured.size / 2).size, measured.size);
    }
    run(deflate::zlib_decode, as_zlib(in, text), measured.size);
  }
}
