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

struct Api {
  CURLcode (*global_init)(long) = nullptr;
  CURL* (*easy_init)() = nullptr;
  CURLcode (*easy_setopt)(CURL*, CURLoption, ...) = nullptr;
  CURLcode (*easy_perform)(CURL*) = nullptr;
  CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...) = nullptr;
  void (*easy_cleanup)(CURL*) = nullptr;
  curl_slist* (*slist_append)(curl_slist*, const char*) = nullptr;
  void (*slist_free_all)(curl_slist*) = nullptr;
  bool ok = false;
};

Api load() {
  Api a;
  void* lib = lazy_library::open("libcurl.so.4");
  if (!lib) return a;
  using lazy_library::bind;
  a.ok = bind(lib, "curl_global_init", a.global_init) && bind(lib, "curl_easy_init", a.easy_init) &&
         bind(lib, "curl_easy_setopt", a.easy_setopt) &&
         bind(lib, "curl_easy_perform", a.easy_perform) &&
         bind(lib, "curl_easy_getinfo", a.easy_getinfo) &&
         bind(lib, "curl_easy_cleanup", a.easy_cleanup) &&
         bind(lib, "curl_slist_append", a.slist_append) &&
         bind(lib, "curl_slist_free_all", a.slist_free_all);
  return a;
}

// The library's entry points, or null when it could not be loaded.
const Api* api() {
  static const Api a = load();
  return a.ok ? &a : nullptr;
}

}  // namespace
}  // namespace qel::http

using qel::http::api;

extern "C" {

CURLcode curl_global_init(long flags) {
  const auto* a = api();
  return a ? a->global_init(flags) : CURLE_FAILED_INIT;
}

CURL* curl_easy_init(void) {
  const auto* a = api();
  return a ? a->easy_init() : nullptr;
}

// (Only reached with a handle from curl_easy_init, so the library is there.)
CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...) {
  va_list ap;
  va_start(ap, option);
  const uintptr_t value = va_arg(ap, uintptr_t);
  va_end(ap);
  return api()->easy_setopt(handle, option, value);
}

CURLcode curl_easy_perform(CURL* handle) { return api()->easy_perform(handle); }

CURLcode curl_easy_getinfo(CURL* handle, CURLINFO info, ...) {
  va_list ap;
  va_start(ap, info);
  const uintptr_t value = va_arg(ap, uintptr_t);
  va_end(ap);
  return api()->easy_getinfo(handle, info, value);
}

void curl_easy_cleanup(CURL* handle) { api()->easy_cleanup(handle); }

struct curl_slist* curl_slist_append(struct curl_slist* list, const char* text) {
  const auto* a = api();
  return a ? a->slist_append(list, text) : nullptr;
}

void curl_slist_free_all(struct curl_slist* list) {
  if (const auto* a = api()) a->slist_free_all(list);
}

}  // extern "C"
