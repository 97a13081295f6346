// The TIFF library, loaded on first use (services/lazy_library.h).
//
// libtiff brings its compression codecs with it (WebP, Zstandard, LZMA,
// JBIG, LERC and the C++ runtime for the last), which took about four
// milliseconds of every start. The entry points services/image_tiff.cpp
// calls are defined here and forward to the library, opened the first time
// one is called; without it TIFFOpenOptionsAlloc and TIFFClientOpenExt give
// null and TIFF data is refused as data no codec reads. The tag setters and
// getters take their values as a va_list, through the library's own V
// forms.
#include <tiffio.h>

#include <cstdarg>

#include "services/lazy_library.h"

namespace qel::tiff_library {
namespace {

// The library's functions, named as the library names them.
#define QEL_TIFF_FUNCTIONS(X)                                                            \
  X(TIFFOpenOptionsAlloc) X(TIFFOpenOptionsFree) X(TIFFOpenOptionsSetMaxSingleMemAlloc) \
  X(TIFFOpenOptionsSetErrorHandlerExtR) X(TIFFOpenOptionsSetWarningHandlerExtR)          \
  X(TIFFClientOpenExt) X(TIFFClose) X(TIFFScanlineSize) X(TIFFVGetField)                 \
  X(TIFFVGetFieldDefaulted) X(TIFFVSetField) X(TIFFReadScanline) X(TIFFWriteScanline)    \
  X(TIFFRGBAImageOK) X(TIFFReadRGBAImageOriented) X(TIFFIsTiled) X(TIFFDefaultStripSize) \
  X(TIFFWriteDirectory)

QEL_LAZY_LIBRARY("libtiff.so.6", QEL_TIFF_FUNCTIONS)

}  // namespace
}  // namespace qel::tiff_library

using qel::tiff_library::api;

// Called only with options or a handle that the library made, except the
// first two (which report that it is missing).
TIFFOpenOptions* TIFFOpenOptionsAlloc(void) {
  const auto* a = api();
  return a ? a->TIFFOpenOptionsAlloc() : nullptr;
}

TIFF* TIFFClientOpenExt(const char* name, const char* mode, thandle_t handle,
                        TIFFReadWriteProc read, TIFFReadWriteProc write, TIFFSeekProc seek,
                        TIFFCloseProc close, TIFFSizeProc size, TIFFMapFileProc map,
                        TIFFUnmapFileProc unmap, TIFFOpenOptions* options) {
  const auto* a = api();
  return a ? a->TIFFClientOpenExt(name, mode, handle, read, write, seek, close, size, map, unmap,
                                  options)
           : nullptr;
}

void TIFFOpenOptionsFree(TIFFOpenOptions* options) {
  if (options) api()->TIFFOpenOptionsFree(options);
}

void TIFFOpenOptionsSetMaxSingleMemAlloc(TIFFOpenOptions* options, tmsize_t limit) {
  if (options) api()->TIFFOpenOptionsSetMaxSingleMemAlloc(options, limit);
}

void TIFFOpenOptionsSetErrorHandlerExtR(TIFFOpenOptions* options, TIFFErrorHandlerExtR handler,
                                        void* data) {
  if (options) api()->TIFFOpenOptionsSetErrorHandlerExtR(options, handler, data);
}

void TIFFOpenOptionsSetWarningHandlerExtR(TIFFOpenOptions* options, TIFFErrorHandlerExtR handler,
                                          void* data) {
  if (options) api()->TIFFOpenOptionsSetWarningHandlerExtR(options, handler, data);
}

void TIFFClose(TIFF* tif) { api()->TIFFClose(tif); }

tmsize_t TIFFScanlineSize(TIFF* tif) { return api()->TIFFScanlineSize(tif); }

int TIFFGetField(TIFF* tif, uint32_t tag, ...) {
  va_list ap;
  va_start(ap, tag);
  const int r = api()->TIFFVGetField(tif, tag, ap);
  va_end(ap);
  return r;
}

int TIFFGetFieldDefaulted(TIFF* tif, uint32_t tag, ...) {
  va_list ap;
  va_start(ap, tag);
  const int r = api()->TIFFVGetFieldDefaulted(tif, tag, ap);
  va_end(ap);
  return r;
}

int TIFFSetField(TIFF* tif, uint32_t tag, ...) {
  va_list ap;
  va_start(ap, tag);
  const int r = api()->TIFFVSetField(tif, tag, ap);
  va_end(ap);
  return r;
}

int TIFFReadScanline(TIFF* tif, void* buf, uint32_t row, uint16_t sample) {
  return api()->TIFFReadScanline(tif, buf, row, sample);
}

int TIFFWriteScanline(TIFF* tif, void* buf, uint32_t row, uint16_t sample) {
  return api()->TIFFWriteScanline(tif, buf, row, sample);
}

int TIFFRGBAImageOK(TIFF* tif, char message[1024]) {
  return api()->TIFFRGBAImageOK(tif, message);
}

int TIFFReadRGBAImageOriented(TIFF* tif, uint32_t w, uint32_t h, uint32_t* raster,
                              int orientation, int stop) {
  return api()->TIFFReadRGBAImageOriented(tif, w, h, raster, orientation, stop);
}

int TIFFIsTiled(TIFF* tif) { return api()->TIFFIsTiled(tif); }

uint32_t TIFFDefaultStripSize(TIFF* tif, uint32_t request) {
  return api()->TIFFDefaultStripSize(tif, request);
}

int TIFFWriteDirectory(TIFF* tif) { return api()->TIFFWriteDirectory(tif); }
