// TIFF files through libtiff, read from and written to memory (see
// services/image_formats.h).
//
// Reading takes the first directory. Strips of 8-bit RGB or RGBA samples
// (contiguous, any compression) are read row by row as they are; every
// other layout goes through libtiff's RGBA reader, whose output is
// premultiplied whatever the file holds (it premultiplies unassociated
// alpha and passes associated alpha on as it is), so every partly
// transparent pixel is turned back into plain alpha. libtiff's messages
// are silenced and none of its single allocations may exceed 256 MiB.
//
// Writing: 8-bit RGB for opaque images, else RGBA with unassociated alpha,
// LZW-compressed strips.
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "memory/series.h"
#include "services/image_codec.h"
#include "services/image_formats.h"

namespace qel::image_codec {

namespace {

// The memory a TIFF is read from or written to.
struct Stream {
  const uint8_t* data = nullptr;   // reading
  std::vector<uint8_t>* out = nullptr;  // writing
  uint64_t size = 0;
  uint64_t pos = 0;
};

tmsize_t read_proc(thandle_t h, void* buf, tmsize_t len) {
  auto* s = static_cast<Stream*>(h);
  if (!s->data || len <= 0 || s->pos >= s->size) return 0;
  const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(len), s->size - s->pos);
  std::memcpy(buf, s->data + s->pos, n);
  s->pos += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t write_proc(thandle_t h, void* buf, tmsize_t len) {
  auto* s = static_cast<Stream*>(h);
  if (!s->out || len < 0) return -1;
  const uint64_t end = s->pos + static_cast<uint64_t>(len);
  if (end > memory::kMaxSeriesBytes) return -1;
  if (end > s->out->size()) s->out->resize(end);
  std::memcpy(s->out->data() + s->pos, buf, static_cast<size_t>(len));
  s->pos = end;
  s->size = std::max<uint64_t>(s->size, end);
  return len;
}

toff_t seek_proc(thandle_t h, toff_t off, int whence) {
  auto* s = static_cast<Stream*>(h);
  uint64_t base = whence == SEEK_CUR ? s->pos : whence == SEEK_END ? s->size : 0;
  const uint64_t target = base + off;
  if (target < base || target > (uint64_t{1} << 40)) return static_cast<toff_t>(-1);
  s->pos = target;
  return target;
}

int close_proc(thandle_t) { return 0; }
toff_t size_proc(thandle_t h) { return static_cast<Stream*>(h)->size; }
// The bytes being read are handed to libtiff as a mapped file (it only
// reads them): libtiff 4.5 refuses the uncompressed tiles of a file it
// reads through read_proc whenever the caller's buffer is larger than a
// tile, which its RGBA reader's is ("Invalid tile byte count"), so such
// files failed to decode.
int map_proc(thandle_t h, void** base, toff_t* size) {
  auto* s = static_cast<Stream*>(h);
  if (!s->data) return 0;
  *base = const_cast<uint8_t*>(s->data);
  *size = s->size;
  return 1;
}
void unmap_proc(thandle_t, void*, toff_t) {}

int quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

TIFF* open(Stream& s, const char* mode) {
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (!options) return nullptr;
  TIFFOpenOptionsSetMaxSingleMemAlloc(options, 256 << 20);
  TIFFOpenOptionsSetErrorHandlerExtR(options, quiet, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options, quiet, nullptr);
  TIFF* tif = TIFFClientOpenExt("image", mode, &s, read_proc, write_proc, seek_proc, close_proc,
                                size_proc, map_proc, unmap_proc, options);
  TIFFOpenOptionsFree(options);
  return tif;
}

// 8-bit RGB or RGBA strips, read a row at a time. The file's orientation
// is turned into the top-left one as libtiff's RGBA reader turns it: rows
// stored from the bottom are flipped, rows stored from the right mirrored
// (the four orientations with rows and columns swapped count as the four
// without).
bool read_rows(TIFF* tif, uint32_t w, uint32_t h, uint16_t samples, uint32_t* px) {
  const tmsize_t line = TIFFScanlineSize(tif);
  if (line < static_cast<tmsize_t>(size_t{w} * samples)) return false;
  uint16_t orientation = ORIENTATION_TOPLEFT;
  TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &orientation);
  const uint16_t o4 = orientation >= 5 && orientation <= 8 ? uint16_t(orientation - 4) : orientation;
  const bool from_right = o4 == ORIENTATION_TOPRIGHT || o4 == ORIENTATION_BOTRIGHT;
  const bool from_bottom = o4 == ORIENTATION_BOTRIGHT || o4 == ORIENTATION_BOTLEFT;
  std::vector<uint8_t> row(static_cast<size_t>(line));
  for (uint32_t y = 0; y < h; y++) {
    if (TIFFReadScanline(tif, row.data(), y, 0) < 0) return false;
    uint32_t* o = px + size_t{from_bottom ? h - 1 - y : y} * w;
    for (uint32_t x = 0; x < w; x++) {
      const uint8_t* p = row.data() + size_t{x} * samples;
      const uint32_t a = samples == 4 ? p[3] : 255;
      o[from_right ? w - 1 - x : x] = a << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    }
  }
  return true;
}

// Any layout libtiff's RGBA reader knows.
bool read_rgba(TIFF* tif, uint32_t w, uint32_t h, uint32_t* px) {
  char message[1024];
  if (!TIFFRGBAImageOK(tif, message)) return false;
  if (!TIFFReadRGBAImageOriented(tif, w, h, px, ORIENTATION_TOPLEFT, 1)) return false;
  const size_t count = size_t{w} * h;
  for (size_t i = 0; i < count; i++) {
    // The reader's words hold R in bits 0-7 and B in bits 16-23.
    const uint32_t v = px[i];
    uint32_t r = v & 0xFF, g = (v >> 8) & 0xFF, b = (v >> 16) & 0xFF;
    const uint32_t a = v >> 24;
    if (a > 0 && a < 255) {
      r = std::min<uint32_t>(255, (r * 255 + a / 2) / a);
      g = std::min<uint32_t>(255, (g * 255 + a / 2) / a);
      b = std::min<uint32_t>(255, (b * 255 + a / 2) / a);
    }
    px[i] = a << 24 | r << 16 | g << 8 | b;
  }
  return true;
}

bool read_tiff(TIFF* tif, Raster& out) {
  uint32_t w = 0, h = 0;
  if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h))
    return false;
  if (!decode_size_allowed(w, h)) return false;
  uint16_t bits = 0, samples = 0, photometric = 0, planar = 0, extra_count = 0;
  uint16_t* extra = nullptr;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
  if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) photometric = 0xFFFF;
  const bool unassociated = extra_count > 0 && extra && extra[0] == EXTRASAMPLE_UNASSALPHA;
  const bool plain = !TIFFIsTiled(tif) && bits == 8 && planar == PLANARCONFIG_CONTIG &&
                     photometric == PHOTOMETRIC_RGB &&
                     (samples == 3 || (samples == 4 && unassociated));
  uint32_t* px = allocate_pixels(w, h);
  if (!px) return false;
  const bool ok = plain ? read_rows(tif, w, h, samples, px) : read_rgba(tif, w, h, px);
  if (!ok) {
    free_pixels(px);
    return false;
  }
  out = Raster{w, h, px};
  return true;
}

bool write_tiff(TIFF* tif, const uint32_t* px, uint32_t w, uint32_t h) {
  const bool opaque = all_opaque(px, size_t{w} * h);
  const uint16_t samples = opaque ? 3 : 4;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  if (!opaque) {
    const uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
  }
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
  std::vector<uint8_t> row(size_t{w} * samples);
  for (uint32_t y = 0; y < h; y++) {
    const uint32_t* s = px + size_t{y} * w;
    for (uint32_t x = 0; x < w; x++) {
      uint8_t* o = row.data() + size_t{x} * samples;
      o[0] = uint8_t(s[x] >> 16);
      o[1] = uint8_t(s[x] >> 8);
      o[2] = uint8_t(s[x]);
      if (samples == 4) o[3] = uint8_t(s[x] >> 24);
    }
    if (TIFFWriteScanline(tif, row.data(), y, 0) < 0) return false;
  }
  return TIFFWriteDirectory(tif) != 0;
}

}  // namespace

bool decode_tiff(const uint8_t* data, size_t n, Raster& out) {
  Stream s;
  s.data = data;
  s.size = n;
  TIFF* tif = open(s, "r");
  if (!tif) return false;
  const bool ok = read_tiff(tif, out);
  TIFFClose(tif);
  return ok;
}

bool encode_tiff(const uint32_t* px, uint32_t w, uint32_t h, std::vector<uint8_t>& out) {
  const size_t start = out.size();
  std::vector<uint8_t> file;
  Stream s;
  s.out = &file;
  TIFF* tif = open(s, "w");
  if (!tif) return false;
  const bool ok = write_tiff(tif, px, w, h);
  TIFFClose(tif);
  if (!ok) return false;
  out.resize(start);
  out.insert(out.end(), file.begin(), file.end());
  return true;
}

}  // namespace qel::image_codec
