// Checksums, digests and HMAC, the computations behind the `checksum` native.
//
// CRC-32 (the reflected polynomial 0xEDB88320 of gzip and zip), Adler-32, the
// 16-bit internet checksum and HMAC are our own code; the digests (MD5,
// SHA-1, SHA-256, SHA-384, SHA-512) come from libcrypto. CRC-32 also serves the gzip container and
// Adler-32 the zlib container (services/deflate.h).
//
// A libcrypto failure is a failure below the language (runtime error 99),
// never a digest of whatever bytes the buffer held.
//
// Method words are interned at start-up (`init`) in a fixed order and
// compared by their canonical symbol id, so `MD5` and `md5` name the same
// method.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "values/symbol.h"

namespace qel::crypto {

// The checksum methods, in the order their words are interned.
enum class Method : uint8_t { tcp, md5, sha1, crc32, adler32, sha256, sha384, sha512, hash };
inline constexpr int kMethodCount = 9;

// The type codes of the methods that digest and HMAC take (crc32 and tcp
// have codes but no digest; adler32 and hash have none).
inline constexpr int32_t kCodeTcp = 0;
inline constexpr int32_t kCodeCrc32 = 1;
inline constexpr int32_t kCodeMd5 = 2;
inline constexpr int32_t kCodeSha1 = 3;
inline constexpr int32_t kCodeSha256 = 4;
inline constexpr int32_t kCodeSha384 = 5;
inline constexpr int32_t kCodeSha512 = 6;

// The largest digest, in bytes (SHA-512).
inline constexpr size_t kMaxDigest = 64;
using Digest = std::array<uint8_t, kMaxDigest>;

// Start-up: interns the nine method words.
void init();
// Start-up, from the platform: nothing to acquire. libcrypto's digests are fetched on first use, so that start-up
// does not pay for loading its providers.
void init_provider();

// The method a symbol names (any letter case), or false.
bool method_of(SymbolId symbol, Method* method);
// True for any of the nine method words.
bool known_method_q(SymbolId symbol);
// The type code of a method (md5 2 ... sha512 6, tcp 0, crc32 1), -1 for
// adler32 and hash.
int32_t method_type(Method method);
// The digest size in bytes of a code: 16, 20, 32, 48 or 64 for codes 2-6,
// 0 for any other code.
size_t digest_size(int32_t code);

// CRC-32 of n bytes, continuing from the CRC of the bytes before them (0
// for none): crc32(b, n2, crc32(a, n1)) is the CRC of a followed by b.
uint32_t crc32(const uint8_t* bytes, size_t n, uint32_t previous = 0);
// Adler-32 of n bytes, continuing from a previous value (1 for none).
uint32_t adler32(const uint8_t* bytes, size_t n, uint32_t previous = 1);
// The internet checksum (the ones' complement of the ones'-complement sum
// of big-endian 16-bit words; an odd last byte is a high byte): 0-65535,
// 65535 for no bytes.
uint32_t tcp_checksum(const uint8_t* bytes, size_t n);

// The digest of n bytes for codes 2-6 into `out` (its first digest_size
// bytes); another code raises script `invalid-arg` with the code.
void digest(const uint8_t* bytes, size_t n, int32_t code, Digest& out);
// HMAC of the data under the key with the digest of a code (2-6), into the
// first digest_size(code) bytes of `out`.
void hmac(const uint8_t* data, size_t n, const uint8_t* key, size_t key_length, int32_t code,
          Digest& out);
// The method `hash` with a table size: it has no algorithm yet. Prints a
// notice and answers 0.
int32_t hash_unsupported(const uint8_t* data, size_t n, int32_t size);

}  // namespace qel::crypto
