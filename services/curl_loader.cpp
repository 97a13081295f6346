// The HTTP client library, loaded on first use.
//
// libcurl and the thirty-odd libraries it needs (TLS, compression, name
// resolution, authentication) took about ten milliseconds of every start
// to map and relocate, though most programs never make a request. The
// executable therefore does not link it: the few entry points that
// services/http.cpp calls are defined here and forward to the library,
// opened with dlopen the first time one of them is called. When it cannot
// be opened, curl_global_init and curl_easy_init fail and the requests
// fail as they do when the client cannot start.
//
// curl_easy_setopt and curl_easy_getinfo take one argument after the
// option, a long, a curl_off_t, a pointer or a function pointer, which on
// x86-64 all travel the same way (one 64-bit integer register or stack
// slot); it is forwarded as it came.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>

#include <cstdarg>
#include <cstdint>

#include "services/lazy_library.h"

namespace qel::http {
namespace {

// The library's functions, named as the library names them.
#define QEL_CURL_FUNCTIONS(X)                                                            \
  X(curl_global_init) X(curl_easy_init) X(curl_easy_setopt) X(curl_easy_perform)         \
  X(curl_easy_getinfo) X(curl_easy_cleanup) X(curl_slist_append) X(curl_slist_free_all)

QEL_LAZY_LIBRARY("libcurl.so.4", QEL_CURL_FUNCTIONS)

}  // namespace
}  // namespace qel::http

using qel::http::api;

extern "C" {

CURLcode curl_global_init(long flags) {
  const auto* a = api();
  return a ? a->curl_global_init(flags) : CURLE_FAILED_INIT;
}

CURL* curl_easy_init(void) {
  const auto* a = api();
  return a ? a->curl_easy_init() : nullptr;
}

// (Only reached with a handle from curl_easy_init, so the library is there.)
CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...) {
  va_list ap;
  va_start(ap, option);
  const uintptr_t value = va_arg(ap, uintptr_t);
  va_end(ap);
  return api()->curl_easy_setopt(handle, option, value);
}

CURLcode curl_easy_perform(CURL* handle) { return api()->curl_easy_perform(handle); }

CURLcode curl_easy_getinfo(CURL* handle, CURLINFO info, ...) {
  va_list ap;
  va_start(ap, info);
  const uintptr_t value = va_arg(ap, uintptr_t);
  va_end(ap);
  return api()->curl_easy_getinfo(handle, info, value);
}

void curl_easy_cleanup(CURL* handle) { api()->curl_easy_cleanup(handle); }

struct curl_slist* curl_slist_append(struct curl_slist* list, const char* text) {
  const auto* a = api();
  return a ? a->curl_slist_append(list, text) : nullptr;
}

void curl_slist_free_all(struct curl_slist* list) {
  if (const auto* a = api()) a->curl_slist_free_all(list);
}

}  // extern "C"
