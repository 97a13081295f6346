// Shared libraries opened on first use.
//
// A library the executable links is mapped and relocated at every start,
// with everything it needs, whether the program uses it or not. The
// services whose libraries pull in many others (the HTTP client, TIFF
// images) and the one whose relocations are many (libcrypto: 18,000 of the
// executable's 22,600 when it was linked statically) define the few entry
// points they call themselves (services/curl_loader.cpp, tiff_loader.cpp,
// crypto_loader.cpp) and open the library with dlopen when one is first
// called; mapping libcurl and libtiff with the thirty-odd libraries they
// need cost about 14 ms of every start. Without the library a request or a
// TIFF decode fails as when the library refuses it, and a digest is a
// failure below the language (a runtime error).
#pragma once

#include <dlfcn.h>

namespace qel::lazy_library {

// Opens a library by its name (its SONAME), or null.
inline void* open(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }

// Points `slot` at the library's function `name`; false when it has none.
template <class F>
bool bind(void* lib, const char* name, F& slot) {
  slot = reinterpret_cast<F>(dlsym(lib, name));
  return slot != nullptr;
}

}  // namespace qel::lazy_library

// Inside a loader's namespace: `struct Api`, one pointer per function that
// the X-macro list FUNCTIONS names (named as the library names them), and
// `const Api* api()`, which opens the library `soname` the first time it is
// called and answers null when the library or one of the functions is
// missing.
#define QEL_LAZY_POINTER(name) decltype(&::name) name = nullptr;
#define QEL_LAZY_BIND(name) a.ok = a.ok && ::qel::lazy_library::bind(lib, #name, a.name);
#define QEL_LAZY_LIBRARY(soname, FUNCTIONS)                    \
  struct Api {                                                 \
    FUNCTIONS(QEL_LAZY_POINTER)                                \
    bool ok = false;                                           \
  };                                                           \
  Api load_api() {                                             \
    Api a;                                                     \
    void* lib = ::qel::lazy_library::open(soname);             \
    if (!lib) return a;                                        \
    a.ok = true;                                               \
    FUNCTIONS(QEL_LAZY_BIND)                                   \
    return a;                                                  \
  }                                                            \
  const Api* api() {                                           \
    static const Api a = load_api();                           \
    return a.ok ? &a : nullptr;                                \
  }
