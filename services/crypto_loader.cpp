// libcrypto, loaded on first use (services/lazy_library.h).
//
// The digests and the fallback random generator are the only users of
// libcrypto. Linked in, statically or not, it cost every start its
// relocations (about 18,000 of them, a few milliseconds on a machine where
// page faults are dear) whether a script took a checksum or not. The entry
// points services/checksum.cpp calls are defined here and forward to the
// library, opened the first time one is called; without it EVP_MD_fetch and
// EVP_MD_CTX_new give null and RAND_bytes fails, which the callers report
// as they report a library that refuses.
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "services/lazy_library.h"

namespace qel::crypto_library {
namespace {

// The library's functions, named as the library names them.
#define QEL_CRYPTO_FUNCTIONS(X)                                                             \
  X(EVP_MD_fetch) X(EVP_MD_CTX_new) X(EVP_MD_CTX_free) X(EVP_DigestInit_ex) X(EVP_DigestUpdate) \
  X(EVP_DigestFinal_ex) X(RAND_bytes)

QEL_LAZY_LIBRARY("libcrypto.so.3", QEL_CRYPTO_FUNCTIONS)

}  // namespace
}  // namespace qel::crypto_library

using qel::crypto_library::api;

// The first three report a missing library; the others are called only with
// a context or a digest the library made.
EVP_MD* EVP_MD_fetch(OSSL_LIB_CTX* ctx, const char* algorithm, const char* properties) {
  const auto* a = api();
  return a ? a->EVP_MD_fetch(ctx, algorithm, properties) : nullptr;
}

EVP_MD_CTX* EVP_MD_CTX_new(void) {
  const auto* a = api();
  return a ? a->EVP_MD_CTX_new() : nullptr;
}

int RAND_bytes(unsigned char* buf, int num) {
  const auto* a = api();
  return a ? a->RAND_bytes(buf, num) : 0;
}

void EVP_MD_CTX_free(EVP_MD_CTX* ctx) {
  if (ctx) api()->EVP_MD_CTX_free(ctx);
}

int EVP_DigestInit_ex(EVP_MD_CTX* ctx, const EVP_MD* type, ENGINE* impl) {
  return api()->EVP_DigestInit_ex(ctx, type, impl);
}

int EVP_DigestUpdate(EVP_MD_CTX* ctx, const void* d, size_t cnt) {
  return api()->EVP_DigestUpdate(ctx, d, cnt);
}

int EVP_DigestFinal_ex(EVP_MD_CTX* ctx, unsigned char* md, unsigned int* s) {
  return api()->EVP_DigestFinal_ex(ctx, md, s);
}
