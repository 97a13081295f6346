// JPEG files through libjpeg-turbo (see services/image_formats.h).
//
// Grey, YCbCr and RGB files decode straight into B, G, R, A pixels (alpha
// 255); CMYK and YCCK files through CMYK, inverted when an Adobe marker says
// the values are stored inverted. A file that ends early, or whose scan data
// a marker cuts short, is a failure (the library would otherwise fill the
// rest with grey), and so is a progressive
// file of more than 500 scans (each scan costs a pass over the image) or one
// that needs more than 1 GiB of working memory.
// libjpeg reports errors by a long jump, so the functions that call setjmp
// hold no C++ objects with destructors.
//
// Writing: baseline YCbCr at quality 90; alpha is left out. The format holds
// at most 65,500 pixels a side: a larger image fails to encode.
#include <cstdio>  // jpeglib.h needs FILE

#include <jpeglib.h>
#include <jerror.h>

#include <csetjmp>
#include <cstdlib>

#include "services/image_codec.h"
#include "services/image_formats.h"

namespace qel::image_codec {

namespace {

constexpr int kMaxScans = 500;

struct Error {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};

[[noreturn]] void fail(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<Error*>(cinfo->err)->jump, 1); }
void quiet(j_common_ptr) {}
// Warnings pass, except those that say the data ended early: the file
// itself, or a scan's data, cut off by a marker (a file of a few hundred
// bytes whose header claims 20000x20000 pixels would otherwise decode into
// gigabytes of grey).
void warning(j_common_ptr cinfo, int level) {
  const int code = cinfo->err->msg_code;
  if (level < 0 && (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER)) fail(cinfo);
}
void progress(j_common_ptr cinfo) {
  if (cinfo->is_decompressor &&
      reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxScans)
    fail(cinfo);
}

struct ReadState {
  jpeg_decompress_struct cinfo;
  Error err;
  jpeg_progress_mgr monitor;
  bool made = false;
  uint8_t* row = nullptr;  // CMYK scanline
  uint32_t* pixels = nullptr;
  uint32_t width = 0, height = 0;
};

bool read_jpeg(ReadState& st, const uint8_t* data, size_t n, uint64_t memory_limit) {
  st.cinfo.err = jpeg_std_error(&st.err.mgr);
  st.err.mgr.error_exit = fail;
  st.err.mgr.output_message = quiet;
  st.err.mgr.emit_message = warning;
  if (setjmp(st.err.jump)) return false;
  jpeg_create_decompress(&st.cinfo);
  st.made = true;
  st.monitor.progress_monitor = progress;
  st.cinfo.progress = &st.monitor;
  st.cinfo.mem->max_memory_to_use = static_cast<long>(memory_limit);
  jpeg_mem_src(&st.cinfo, data, static_cast<unsigned long>(n));
  if (jpeg_read_header(&st.cinfo, TRUE) != JPEG_HEADER_OK) return false;
  const uint32_t w = st.cinfo.image_width, h = st.cinfo.image_height;
  if (!decode_size_allowed(w, h)) return false;
  const bool cmyk = st.cinfo.jpeg_color_space == JCS_CMYK || st.cinfo.jpeg_color_space == JCS_YCCK;
  st.cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
  jpeg_start_decompress(&st.cinfo);
  if (st.cinfo.output_width != w || st.cinfo.output_height != h) return false;
  st.pixels = allocate_pixels(w, h);
  if (!st.pixels) return false;
  if (cmyk) {
    st.row = static_cast<uint8_t*>(std::malloc(size_t{w} * 4));
    if (!st.row) return false;
  }
  const bool inverted = st.cinfo.saw_Adobe_marker;
  while (st.cinfo.output_scanline < h) {
    const uint32_t y = st.cinfo.output_scanline;
    uint32_t* out = st.pixels + size_t{y} * w;
    JSAMPROW row = cmyk ? st.row : reinterpret_cast<JSAMPROW>(out);
    if (jpeg_read_scanlines(&st.cinfo, &row, 1) != 1) return false;
    if (!cmyk) continue;
    for (uint32_t x = 0; x < w; x++) {
      uint32_t c = st.row[4 * x], m = st.row[4 * x + 1], yl = st.row[4 * x + 2], k = st.row[4 * x + 3];
      if (!inverted) {
        c = 255 - c;
        m = 255 - m;
        yl = 255 - yl;
        k = 255 - k;
      }
      out[x] = 0xFF000000u | (c * k / 255) << 16 | (m * k / 255) << 8 | (yl * k / 255);
    }
  }
  st.width = w;
  st.height = h;
  return true;
}

struct WriteState {
  jpeg_compress_struct cinfo;
  Error err;
  bool made = false;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
};

bool write_jpeg(WriteState& st, const uint32_t* px, uint32_t w, uint32_t h) {
  st.cinfo.err = jpeg_std_error(&st.err.mgr);
  st.err.mgr.error_exit = fail;
  st.err.mgr.output_message = quiet;
  if (setjmp(st.err.jump)) return false;
  jpeg_create_compress(&st.cinfo);
  st.made = true;
  jpeg_mem_dest(&st.cinfo, &st.buffer, &st.size);
  st.cinfo.image_width = w;
  st.cinfo.image_height = h;
  st.cinfo.input_components = 4;
  st.cinfo.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&st.cinfo);
  jpeg_set_quality(&st.cinfo, 90, TRUE);
  jpeg_start_compress(&st.cinfo, TRUE);
  while (st.cinfo.next_scanline < h) {
    JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<uint32_t*>(px + size_t{st.cinfo.next_scanline} * w));
    jpeg_write_scanlines(&st.cinfo, &row, 1);
  }
  jpeg_finish_compress(&st.cinfo);
  return true;
}

}  // namespace

bool decode_jpeg(const uint8_t* data, size_t n, Raster& out) {
  auto* st = new ReadState();
  // Working memory: the coefficients of a progressive file take about six
  // bytes a pixel.
  const bool ok = read_jpeg(*st, data, n, 1ull << 30);
  if (st->made) jpeg_destroy_decompress(&st->cinfo);
  std::free(st->row);
  if (ok) {
    out = Raster{st->width, st->height, st->pixels};
  } else {
    free_pixels(st->pixels);
  }
  delete st;
  return ok;
}

bool encode_jpeg(const uint32_t* px, uint32_t w, uint32_t h, std::vector<uint8_t>& out) {
  auto* st = new WriteState();
  const bool ok = write_jpeg(*st, px, w, h);
  if (st->made) jpeg_destroy_compress(&st->cinfo);
  if (ok) out.insert(out.end(), st->buffer, st->buffer + st->size);
  std::free(st->buffer);
  delete st;
  return ok;
}

}  // namespace qel::image_codec
