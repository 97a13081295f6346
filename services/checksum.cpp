// Checksums, digests and HMAC (see checksum.h).
//
// CRC-32 runs slicing-by-16 over tables computed at compile time (table 0 is
// the classic byte table); Adler-32 and the internet checksum sum in wide
// registers and fold rarely. Digests go through libcrypto's EVP interface
// with the algorithms fetched once, on first use.
#include "services/checksum.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>

#include "runtime/fatal.h"
#include "runtime/print.h"
#include "runtime/startup_slots.h"
#include "core/errors.h"

namespace qel::crypto {

namespace {

constexpr const char* kMethodNames[kMethodCount] = {"tcp",     "md5",    "sha1",   "crc32", "adler32",
                                                    "sha256",  "sha384", "sha512", "hash"};
SymbolId method_symbols[kMethodCount] = {};

inline uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;  // little-endian on every target we build for
}

// --- CRC-32

constexpr uint32_t kCrcPolynomial = 0xEDB88320u;
constexpr int kCrcSlices = 16;

struct CrcTables {
  uint32_t t[kCrcSlices][256];
};

// Table 0 is the byte table: entry n is n shifted through eight rounds of
// the reflected polynomial. Table k advances a byte k more zero bytes, so
// that sixteen input bytes are folded in with sixteen independent loads.
constexpr CrcTables make_crc_tables() {
  CrcTables tables{};
  for (uint32_t n = 0; n < 256; n++) {
    uint32_t c = n;
    for (int k = 0; k < 8; k++) c = c & 1 ? (c >> 1) ^ kCrcPolynomial : c >> 1;
    tables.t[0][n] = c;
  }
  for (int k = 1; k < kCrcSlices; k++)
    for (uint32_t n = 0; n < 256; n++) {
      const uint32_t prev = tables.t[k - 1][n];
      tables.t[k][n] = (prev >> 8) ^ tables.t[0][prev & 0xFF];
    }
  return tables;
}

constexpr CrcTables kCrc = make_crc_tables();

// --- Adler-32

constexpr uint32_t kAdlerBase = 65521;
// The most bytes that can be summed before b (starting below the base)
// could pass 2^32 - 1: 255 n (n + 1) / 2 + (n + 1) (base - 1) < 2^32.
constexpr size_t kAdlerBlock = 5552;

// --- digests

const EVP_MD* fetched[kCodeSha512 + 1] = {};

const EVP_MD* digest_algorithm(int32_t code) {
  if (code < kCodeMd5 || code > kCodeSha512) {
    Cell c;
    set_integer(&c, code);
    fire(ErrorCode::script_invalid_arg, &c);
  }
  if (!fetched[code]) {
    static constexpr const char* kNames[] = {nullptr, nullptr, "MD5", "SHA1", "SHA256", "SHA384",
                                             "SHA512"};
    fetched[code] = EVP_MD_fetch(nullptr, kNames[code], nullptr);
    // Without its digests the process cannot keep its promises: report it
    // as the failure below the language that it is.
    if (!fetched[code]) runtime::quit(runtime::fatal_code::unknown_error);
  }
  return fetched[code];
}

// A digest context freed on every way out (fire included).
struct DigestContext {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~DigestContext() { EVP_MD_CTX_free(ctx); }
};

void digest_parts(const EVP_MD* md, const uint8_t* a, size_t na, const uint8_t* b, size_t nb,
                  Digest& out) {
  DigestContext c;
  unsigned int size = 0;
  if (!c.ctx || EVP_DigestInit_ex(c.ctx, md, nullptr) != 1 ||
      EVP_DigestUpdate(c.ctx, a, na) != 1 || EVP_DigestUpdate(c.ctx, b, nb) != 1 ||
      EVP_DigestFinal_ex(c.ctx, out.data(), &size) != 1)
    runtime::quit(runtime::fatal_code::unknown_error);
}

}  // namespace

// --- method words

void init() {
  for (int i = 0; i < kMethodCount; i++)
    method_symbols[i] = symbol::resolve(symbol::make(kMethodNames[i]));
}

void init_provider() {}

bool method_of(SymbolId sym, Method* method) {
  if (sym == 0) return false;
  const SymbolId canonical = symbol::resolve(sym);
  for (int i = 0; i < kMethodCount; i++)
    if (method_symbols[i] == canonical) {
      *method = static_cast<Method>(i);
      return true;
    }
  return false;
}

bool known_method_q(SymbolId sym) {
  Method m;
  return method_of(sym, &m);
}

int32_t method_type(Method method) {
  switch (method) {
    case Method::tcp: return kCodeTcp;
    case Method::crc32: return kCodeCrc32;
    case Method::md5: return kCodeMd5;
    case Method::sha1: return kCodeSha1;
    case Method::sha256: return kCodeSha256;
    case Method::sha384: return kCodeSha384;
    case Method::sha512: return kCodeSha512;
    case Method::adler32:
    case Method::hash: return -1;
  }
  return -1;
}

size_t digest_size(int32_t code) {
  switch (code) {
    case kCodeMd5: return 16;
    case kCodeSha1: return 20;
    case kCodeSha256: return 32;
    case kCodeSha384: return 48;
    case kCodeSha512: return 64;
    default: return 0;
  }
}

// --- checksums

uint32_t crc32(const uint8_t* p, size_t n, uint32_t previous) {
  uint32_t crc = ~previous;
  while (n >= kCrcSlices) {
    const uint64_t lo = load64(p) ^ crc;
    const uint64_t hi = load64(p + 8);
    const auto& t = kCrc.t;
    crc = t[15][lo & 0xFF] ^ t[14][(lo >> 8) & 0xFF] ^ t[13][(lo >> 16) & 0xFF] ^
          t[12][(lo >> 24) & 0xFF] ^ t[11][(lo >> 32) & 0xFF] ^ t[10][(lo >> 40) & 0xFF] ^
          t[9][(lo >> 48) & 0xFF] ^ t[8][lo >> 56] ^ t[7][hi & 0xFF] ^ t[6][(hi >> 8) & 0xFF] ^
          t[5][(hi >> 16) & 0xFF] ^ t[4][(hi >> 24) & 0xFF] ^ t[3][(hi >> 32) & 0xFF] ^
          t[2][(hi >> 40) & 0xFF] ^ t[1][(hi >> 48) & 0xFF] ^ t[0][hi >> 56];
    p += kCrcSlices;
    n -= kCrcSlices;
  }
  while (n--) crc = kCrc.t[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

uint32_t adler32(const uint8_t* p, size_t n, uint32_t previous) {
  uint32_t a = previous & 0xFFFF, b = previous >> 16;
  while (n > 0) {
    size_t block = n < kAdlerBlock ? n : kAdlerBlock;
    n -= block;
    while (block >= 16) {
      for (int i = 0; i < 16; i++) {
        a += p[i];
        b += a;
      }
      p += 16;
      block -= 16;
    }
    while (block--) {
      a += *p++;
      b += a;
    }
    a %= kAdlerBase;
    b %= kAdlerBase;
  }
  return b << 16 | a;
}

uint32_t tcp_checksum(const uint8_t* p, size_t n) {
  // The ones'-complement sum does not depend on byte order: sum the words
  // as little-endian, 32 bits at a time (2^16 = 1 modulo 0xFFFF), and swap
  // the two bytes of the folded sum at the end.
  uint64_t sum = 0;
  while (n >= 8) {
    const uint64_t w = load64(p);
    sum += (w & 0xFFFFFFFFu) + (w >> 32);
    p += 8;
    n -= 8;
  }
  while (n >= 2) {
    sum += uint32_t{p[0]} | uint32_t{p[1]} << 8;
    p += 2;
    n -= 2;
  }
  // An odd last byte is the high byte of a big-endian word: the low byte here.
  if (n) sum += p[0];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  const uint32_t folded = static_cast<uint32_t>(sum);
  const uint32_t swapped = (folded >> 8 | folded << 8) & 0xFFFF;
  return ~swapped & 0xFFFF;
}

// --- digests and HMAC

void digest(const uint8_t* bytes, size_t n, int32_t code, Digest& out) {
  out.fill(0);
  digest_parts(digest_algorithm(code), bytes, n, nullptr, 0, out);
}

void hmac(const uint8_t* data, size_t n, const uint8_t* key, size_t key_length, int32_t code,
          Digest& out) {
  const EVP_MD* md = digest_algorithm(code);
  const size_t block = code == kCodeSha384 || code == kCodeSha512 ? 128 : 64;
  const size_t size = digest_size(code);
  // A key longer than the block is replaced by its digest.
  Digest short_key{};
  if (key_length > block) {
    digest_parts(md, key, key_length, nullptr, 0, short_key);
    key = short_key.data();
    key_length = size;
  }
  uint8_t inner_pad[128] = {}, outer_pad[128] = {};
  if (key_length) {
    std::memcpy(inner_pad, key, key_length);
    std::memcpy(outer_pad, key, key_length);
  }
  for (size_t i = 0; i < block; i++) {
    inner_pad[i] ^= 0x36;
    outer_pad[i] ^= 0x5C;
  }
  Digest inner{};
  digest_parts(md, inner_pad, block, data, n, inner);
  out.fill(0);
  digest_parts(md, outer_pad, block, inner.data(), size, out);
}

int32_t hash_unsupported(const uint8_t*, size_t, int32_t) {
  print_line({arg::cstring("** /hash support not yet implemented; algorithm TBD.")});
  return 0;
}

}  // namespace qel::crypto
