// Shared libraries opened on first use.
//
// A library the executable links is mapped and relocated at every start,
// with everything it needs, whether the program uses it or not. The
// services whose libraries pull in many others (the HTTP client, TIFF
// images) define the few entry points they call themselves
// (services/curl_loader.cpp, services/tiff_loader.cpp) and open the library
// with dlopen when one is first called.
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
