// The packed-data decompressor: tokens, block rules, and inputs that are
// truncated, lying or random (run under ASan: nothing may be read past the
// input).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "services/decompress.h"

namespace qel {
namespace {

// Writes packed data token by token, the way the packer does.
class Packer {
 public:
  void literal(uint8_t b) {
    put(0, 1);
    put(b, 8);
    produced_++;
  }
  void literals(const std::string& s) {
    for (char c : s) literal(static_cast<uint8_t>(c));
  }
  // A match of n + 3 bytes starting d + 1 bytes back.
  void match(uint32_t n, uint32_t d) {
    put(1, 1);
    if (n < 4) { put(1, 1); put(n, 2); }
    else if (n < 8) { put(0, 1); put(1, 1); put(n - 4, 2); }
    else if (n < 12) { put(0, 2); put(1, 1); put(n - 8, 2); }
    else if (n < 20) { put(0, 3); put(1, 1); put(n - 12, 3); }
    else if (n < 52) { put(0, 4); put(1, 1); put(n - 20, 5); }
    else { put(0, 5); put(n - 52, 9); }
    if (d < 8) {
      put(0, 4);
      put(d, 3);
    } else {
      int bits = 31 - __builtin_clz(d);
      put(static_cast<uint32_t>(bits - 2), 4);
      put(d - (1u << bits), bits);
    }
    produced_ += n + 3;
  }
  // Closes the block, declaring `length` (by default what it produced).
  void end_block(int64_t length = -1) {
    if (count_) bits_.push_back(static_cast<uint8_t>(acc_));
    le32(stream_, static_cast<uint32_t>(length < 0 ? produced_ : length));
    stream_.insert(stream_.end(), bits_.begin(), bits_.end());
    total_ += produced_;
    bits_.clear();
    acc_ = 0;
    count_ = 0;
    produced_ = 0;
  }
  std::vector<uint8_t> packed(int64_t unpacked = -1) const {
    std::vector<uint8_t> out;
    le32(out, static_cast<uint32_t>(stream_.size()));
    le32(out, static_cast<uint32_t>(unpacked < 0 ? total_ : unpacked));
    out.insert(out.end(), stream_.begin(), stream_.end());
    return out;
  }

 private:
  static void le32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; i++) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
  }
  void put(uint32_t v, int n) {
    for (int i = 0; i < n; i++) {
      acc_ |= ((v >> i) & 1u) << count_;
      if (++count_ == 8) {
        bits_.push_back(static_cast<uint8_t>(acc_));
        acc_ = 0;
        count_ = 0;
      }
    }
  }
  std::vector<uint8_t> stream_, bits_;
  uint32_t acc_ = 0;
  int count_ = 0;
  uint32_t produced_ = 0;
  uint64_t total_ = 0;
};

// Decompresses from a heap copy of exactly the input's size, so a read
// past it is caught; null becomes "<null>".
std::string unpack(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> exact(in.begin(), in.end());
  uint32_t len = 0xDEAD;
  uint8_t* out = compress::decompress(exact.data(), exact.size(), &len);
  if (!out) return "<null>";
  std::string s(reinterpret_cast<char*>(out), len);
  compress::free_buffer(out);
  return s;
}

TEST(Decompress, Tokens) {
  struct Case {
    const char* what;
    std::function<void(Packer&)> write;
    std::string expect;
  };
  const Case cases[] = {
      {"literals only", [](Packer& p) { p.literals("hello"); }, "hello"},
      {"N = 0 copies 3 bytes", [](Packer& p) { p.literals("ab"); p.match(0, 1); }, "ababa"},
      {"distance 0 repeats the previous byte", [](Packer& p) { p.literals("x"); p.match(2, 0); }, "xxxxxx"},
      {"long match and far distance",
       [](Packer& p) {
         for (int i = 0; i < 300; i++) p.literal(static_cast<uint8_t>('a' + i % 26));
         p.match(563, 259);
       },
       [] {
         std::string s;
         for (int i = 0; i < 300; i++) s.push_back(static_cast<char>('a' + i % 26));
         for (int i = 0; i < 566; i++) s.push_back(s[s.size() - 260]);
         return s;
       }()},
  };
  for (const Case& c : cases) {
    Packer p;
    c.write(p);
    p.end_block();
    EXPECT_EQ(unpack(p.packed()), c.expect) << c.what;
  }
  // Every length code width round-trips.
  for (uint32_t n : {0u, 3u, 4u, 7u, 8u, 11u, 12u, 19u, 20u, 51u, 52u, 563u}) {
    Packer p;
    p.literals("0123456789");
    p.match(n, 9);
    p.end_block();
    std::string expect = "0123456789";
    for (uint32_t i = 0; i < n + 3; i++) expect.push_back(expect[i]);
    EXPECT_EQ(unpack(p.packed()), expect) << "N = " << n;
  }
}

TEST(Decompress, BlocksStartOnByteBoundariesAndStandAlone) {
  Packer p;
  p.literals("abc");  // 27 bits: the last byte's spare bits are dropped
  p.end_block();
  p.literals("de");
  p.match(0, 1);
  p.end_block();
  EXPECT_EQ(unpack(p.packed()), "abcdeded");
  Packer q;
  q.literals("abc");
  q.end_block();
  q.match(0, 0);  // would reach into the previous block
  q.end_block();
  EXPECT_EQ(unpack(q.packed()), "<null>");
}

TEST(Decompress, BadBlocksGiveNull) {
  auto with_length = [](int64_t declared) {
    Packer p;
    p.literals("a");
    p.end_block(declared);
    return unpack(p.packed(declared));
  };
  EXPECT_EQ(with_length(0), "<null>");
  EXPECT_EQ(with_length(1048577), "<null>");
  Packer run_past;
  run_past.literals("ab");
  run_past.match(5, 0);
  run_past.end_block(4);
  EXPECT_EQ(unpack(run_past.packed(4)), "<null>") << "a match past the block's end";
  Packer before;
  before.literals("a");
  before.match(0, 3);
  before.end_block();
  EXPECT_EQ(unpack(before.packed()), "<null>") << "a match before the block's start";
}

TEST(Decompress, LyingOrTruncatedInputsGiveNull) {
  Packer p;
  for (int i = 0; i < 200; i++) p.literal(static_cast<uint8_t>(i));
  p.match(40, 17);
  p.end_block();
  p.literals("tail");
  p.end_block();
  std::vector<uint8_t> good = p.packed();
  ASSERT_NE(unpack(good), "<null>");
  // Declared sizes that differ from what the blocks give.
  for (int64_t declared : {int64_t{0}, int64_t{246}, int64_t{248}, int64_t{0xFFFFFFFF}}) {
    std::vector<uint8_t> bad = good;
    for (int i = 0; i < 4; i++) bad[4 + i] = static_cast<uint8_t>(declared >> (8 * i));
    EXPECT_EQ(unpack(bad), "<null>") << declared;
  }
  // Every truncation, with the stream length told the truth or not.
  for (size_t cut = 0; cut < good.size(); cut++) {
    std::vector<uint8_t> t(good.begin(), good.begin() + static_cast<ptrdiff_t>(cut));
    EXPECT_EQ(unpack(t), "<null>") << cut;
    if (cut >= 8) {
      uint32_t stream = static_cast<uint32_t>(cut - 8);
      for (int i = 0; i < 4; i++) t[static_cast<size_t>(i)] = static_cast<uint8_t>(stream >> (8 * i));
      EXPECT_EQ(unpack(t), "<null>") << cut;
    }
  }
  EXPECT_EQ(compress::decompress(nullptr, 0, nullptr), nullptr);
}

TEST(Decompress, RandomInputsNeverReadPastTheEnd) {
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; i++) {
    std::vector<uint8_t> in(8 + rng() % 64);
    for (uint8_t& b : in) b = static_cast<uint8_t>(rng());
    uint32_t stream = static_cast<uint32_t>(in.size() - 8);
    for (int k = 0; k < 4; k++) in[static_cast<size_t>(k)] = static_cast<uint8_t>(stream >> (8 * k));
    unpack(in);
  }
}

TEST(Decompress, FullSizeBlocks) {
  Packer p;
  for (int b = 0; b < 2; b++) {
    p.literals("seed");
    uint32_t made = 4;
    while (made + 566 <= 1048576) {
      p.match(563, 3);
      made += 566;
    }
    while (made < 1048576) {
      p.literal('z');
      made++;
    }
    p.end_block();
  }
  std::string out = unpack(p.packed());
  ASSERT_EQ(out.size(), 2u * 1048576);
  EXPECT_EQ(out.substr(0, 8), "seedseed");
  EXPECT_EQ(out.back(), 'z');
}

}  // namespace
}  // namespace qel
