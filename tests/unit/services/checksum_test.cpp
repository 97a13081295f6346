// Checksums, digests and HMAC: published known answers (RFC 1321, FIPS 180,
// RFC 2202, RFC 4231, RFC 1071), the block-size edges of HMAC keys, and
// multi-megabyte inputs against straightforward one-pass computations
// (split at odd places, started at odd addresses). The method words and the
// `checksum` native are covered by tests/golden/services/checksum.qel.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "services/checksum.h"

using namespace qel;

namespace {

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::string hex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

std::string digest_hex(int32_t code, const std::vector<uint8_t>& data) {
  crypto::Digest d;
  crypto::digest(data.data(), data.size(), code, d);
  return hex(d.data(), crypto::digest_size(code));
}

std::string hmac_hex(int32_t code, const std::vector<uint8_t>& key, const std::vector<uint8_t>& data) {
  crypto::Digest d;
  crypto::hmac(data.data(), data.size(), key.data(), key.size(), code, d);
  return hex(d.data(), crypto::digest_size(code));
}

// The plain definitions, one byte at a time.
uint32_t crc32_bitwise(const std::vector<uint8_t>& v) {
  uint32_t c = 0xFFFFFFFF;
  for (uint8_t b : v) {
    c ^= b;
    for (int k = 0; k < 8; k++) c = c & 1 ? (c >> 1) ^ 0xEDB88320 : c >> 1;
  }
  return ~c;
}
uint32_t adler32_plain(const std::vector<uint8_t>& v) {
  uint32_t a = 1, b = 0;
  for (uint8_t x : v) {
    a = (a + x) % 65521;
    b = (b + a) % 65521;
  }
  return b << 16 | a;
}
uint32_t tcp_plain(const std::vector<uint8_t>& v) {
  uint64_t sum = 0;
  for (size_t i = 0; i < v.size(); i += 2)
    sum += uint32_t{v[i]} << 8 | (i + 1 < v.size() ? v[i + 1] : 0);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return ~static_cast<uint32_t>(sum) & 0xFFFF;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 g(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(g());
  return v;
}

}  // namespace

TEST(ServicesChecksum, KnownAnswers) {
  struct Case {
    std::string data;
    uint32_t crc, adler;
  } cases[] = {
      {"", 0, 1},
      {"a", 0xE8B7BE43, 0x00620062},
      {"123456789", 0xCBF43926, 0x091E01DE},
      {"Wikipedia", 0xADAAC02E, 0x11E60398},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339, 0x5BDC0FDA},
  };
  for (const Case& c : cases) {
    const auto v = bytes(c.data);
    EXPECT_EQ(crypto::crc32(v.data(), v.size()), c.crc) << c.data;
    EXPECT_EQ(crypto::adler32(v.data(), v.size()), c.adler) << c.data;
  }
  // As an integer! the CRC of the nine digits reads -873187034.
  const auto digits = bytes("123456789");
  EXPECT_EQ(static_cast<int32_t>(crypto::crc32(digits.data(), digits.size())), -873187034);
}

TEST(ServicesChecksum, InternetChecksum) {
  struct Case {
    std::vector<uint8_t> data;
    uint32_t sum;
  } cases[] = {
      {{}, 0xFFFF},
      {{0x01, 0x02, 0x03}, 0xFBFD},  // 0x0102 + 0x0300, complemented
      {{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}, 0x220D},  // RFC 1071's example
      {{0xFF, 0xFF}, 0x0000},
      {{0x80}, 0x7FFF},
      // Carries that fold more than once.
      {std::vector<uint8_t>(20, 0xFF), 0x0000},
      {{0xFF, 0xFE, 0x00, 0x03, 0x12}, 0xEDFD},
  };
  for (const Case& c : cases) EXPECT_EQ(crypto::tcp_checksum(c.data.data(), c.data.size()), c.sum);
}

TEST(ServicesChecksum, LargeInputsMatchTheOnePassDefinitions) {
  const auto v = random_bytes(5 * 1024 * 1024 + 13, 7);
  EXPECT_EQ(crypto::crc32(v.data(), v.size()), crc32_bitwise(v));
  EXPECT_EQ(crypto::adler32(v.data(), v.size()), adler32_plain(v));
  EXPECT_EQ(crypto::tcp_checksum(v.data(), v.size()), tcp_plain(v));
  // All 0xFF bytes push Adler-32's sums to their largest between folds.
  const std::vector<uint8_t> ones(3 * 1024 * 1024 + 5, 0xFF);
  EXPECT_EQ(crypto::adler32(ones.data(), ones.size()), adler32_plain(ones));
  EXPECT_EQ(crypto::tcp_checksum(ones.data(), ones.size()), tcp_plain(ones));
  // Odd starting addresses and lengths, and continuation across a split.
  for (size_t start : {1u, 3u, 7u}) {
    const std::vector<uint8_t> part(v.begin() + start, v.begin() + start + 100003);
    EXPECT_EQ(crypto::crc32(v.data() + start, part.size()), crc32_bitwise(part));
    EXPECT_EQ(crypto::adler32(v.data() + start, part.size()), adler32_plain(part));
    EXPECT_EQ(crypto::tcp_checksum(v.data() + start, part.size()), tcp_plain(part));
    const size_t cut = 4099 + start;
    EXPECT_EQ(crypto::crc32(v.data() + start + cut, part.size() - cut,
                            crypto::crc32(v.data() + start, cut)),
              crc32_bitwise(part));
    EXPECT_EQ(crypto::adler32(v.data() + start + cut, part.size() - cut,
                              crypto::adler32(v.data() + start, cut)),
              adler32_plain(part));
  }
}

TEST(ServicesChecksum, Digests) {
  const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  struct Case {
    int32_t code;
    std::string data, digest;
  } cases[] = {
      {crypto::kCodeMd5, "", "d41d8cd98f00b204e9800998ecf8427e"},
      {crypto::kCodeMd5, "a", "0cc175b9c0f1b6a831c399e269772661"},
      {crypto::kCodeMd5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {crypto::kCodeMd5, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {crypto::kCodeMd5, "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {crypto::kCodeSha1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {crypto::kCodeSha1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {crypto::kCodeSha1, two_blocks, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {crypto::kCodeSha1, std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {crypto::kCodeSha256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {crypto::kCodeSha256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {crypto::kCodeSha256, two_blocks,
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {crypto::kCodeSha256, std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {crypto::kCodeSha384, "",
       "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b"},
      {crypto::kCodeSha384, "abc",
       "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
      {crypto::kCodeSha512, "",
       "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
       "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
      {crypto::kCodeSha512, "abc",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
       "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
  };
  for (const Case& c : cases) EXPECT_EQ(digest_hex(c.code, bytes(c.data)), c.digest) << c.code;
  EXPECT_EQ(crypto::digest_size(crypto::kCodeCrc32), 0u);
  EXPECT_EQ(crypto::digest_size(7), 0u);
}

TEST(ServicesChecksum, HmacVectors) {
  const std::string larger_key_data = "Test Using Larger Than Block-Size Key - Hash Key First";
  struct Case {
    int32_t code;
    std::vector<uint8_t> key, data;
    std::string mac;
  } cases[] = {
      // RFC 2202: MD5 and SHA-1 (80-byte keys are longer than the block).
      {crypto::kCodeMd5, std::vector<uint8_t>(16, 0x0B), bytes("Hi There"),
       "9294727a3638bb1c13f48ef8158bfc9d"},
      {crypto::kCodeMd5, bytes("Jefe"), bytes("what do ya want for nothing?"),
       "750c783e6ab0b503eaa86e310a5db738"},
      {crypto::kCodeMd5, std::vector<uint8_t>(16, 0xAA), std::vector<uint8_t>(50, 0xDD),
       "56be34521d144c88dbb8c733f0e8b3f6"},
      {crypto::kCodeMd5, std::vector<uint8_t>(80, 0xAA), bytes(larger_key_data),
       "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
      {crypto::kCodeMd5, std::vector<uint8_t>(80, 0xAA),
       bytes("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
       "6f630fad67cda0ee1fb1f562db3aa53e"},
      {crypto::kCodeSha1, std::vector<uint8_t>(20, 0x0B), bytes("Hi There"),
       "b617318655057264e28bc0b6fb378c8ef146be00"},
      {crypto::kCodeSha1, bytes("Jefe"), bytes("what do ya want for nothing?"),
       "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {crypto::kCodeSha1, std::vector<uint8_t>(80, 0xAA), bytes(larger_key_data),
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      // RFC 4231: SHA-256, SHA-384, SHA-512 (131-byte keys pass both block sizes).
      {crypto::kCodeSha256, std::vector<uint8_t>(20, 0x0B), bytes("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {crypto::kCodeSha384, bytes("Jefe"), bytes("what do ya want for nothing?"),
       "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649"},
      {crypto::kCodeSha512, std::vector<uint8_t>(20, 0xAA), std::vector<uint8_t>(50, 0xDD),
       "fa73b0089d56a284efb0f0756c890be9b1b5dbdd8ee81a3655f83e33b2279d39"
       "bf3e848279a722c806b485a47e67c807b946a337bee8942674278859e13292fb"},
      {crypto::kCodeSha256, std::vector<uint8_t>(131, 0xAA), bytes(larger_key_data),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {crypto::kCodeSha384, std::vector<uint8_t>(131, 0xAA), bytes(larger_key_data),
       "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df163f44952"},
      {crypto::kCodeSha512, std::vector<uint8_t>(131, 0xAA), bytes(larger_key_data),
       "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f352"
       "6b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0aec8b915a985d786598"},
  };
  for (const Case& c : cases) EXPECT_EQ(hmac_hex(c.code, c.key, c.data), c.mac) << c.code;
}

TEST(ServicesChecksum, HmacKeysAtTheBlockSize) {
  // A key of exactly the block size is used as it is; one byte more is
  // digested first. The expected values come from an independent HMAC.
  auto key = [](size_t n) {
    std::vector<uint8_t> k(n);
    for (size_t i = 0; i < n; i++) k[i] = static_cast<uint8_t>(i * 7 + 1);
    return k;
  };
  const auto data = bytes("block-size key");
  EXPECT_EQ(hmac_hex(crypto::kCodeSha256, key(64), data),
            "e623737a099bed08c24e25a22842f56340d9fc331874e94cbe83e8c4fdcc19ca");
  EXPECT_EQ(hmac_hex(crypto::kCodeSha256, key(65), data),
            "e63fbb0bff88e190ceff8a7b2fbda2268cc683e46d6b3520ec8ac149574af4bc");
  EXPECT_EQ(hmac_hex(crypto::kCodeSha512, key(128), data),
            "23ccfc1b30815b9c6468534d246870e9b7becc4a02a2ce215ebc1328652475d2"
            "90b26ac8563f8e4aafd8a99087f134f38bafca26a2c031cc01f9363879fabe0d");
  EXPECT_EQ(hmac_hex(crypto::kCodeSha512, key(129), data),
            "5cb8f8cd8af47ef88b2e6baa680f932d96dab13b371863c129a71f60951ed8c0"
            "ecbaaa53950b214959afb0f2cf52b5fa38886c0ea99e9133739857e47383f577");
  EXPECT_EQ(hmac_hex(crypto::kCodeSha1, key(0), data), "d84567b8347e473334fc85e86287ea24ee0c4358");
}
