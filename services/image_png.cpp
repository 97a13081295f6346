// PNG files through libpng (see services/image_formats.h).
//
// Every PNG colour type and bit depth is read as 8-bit B, G, R, A: palettes
// and low bit depths are expanded, a tRNS chunk becomes alpha, 16-bit
// samples keep their high byte and grey becomes equal R, G and B; no gamma
// correction is applied. A declared size whose raw rows could not come out
// of the file's bytes (DEFLATE expands at most 1,032 times) is refused
// before the pixels are allocated. libpng reports errors by a long jump, so
// the functions that call setjmp hold no C++ objects with destructors; what
// they allocate lives in a state record that the caller cleans up.
//
// Writing: 8-bit RGB for opaque images, else 8-bit RGBA, not interlaced.
#include <png.h>

#include <csetjmp>
#include <cstring>

#include "services/image_codec.h"
#include "services/image_formats.h"

namespace qel::image_codec {

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

void read_bytes(png_structp png, png_bytep out, size_t len) {
  auto* in = static_cast<Input*>(png_get_io_ptr(png));
  if (len > in->size - in->pos) png_error(png, "truncated");
  if (len) std::memcpy(out, in->data + in->pos, len);
  in->pos += len;
}

void write_bytes(png_structp png, png_bytep data, size_t len) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + len);
}
void flush_nothing(png_structp) {}

// libpng's messages are not ours to print.
void quiet_error(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void quiet_warning(png_structp, png_const_charp) {}

struct ReadState {
  png_structp png = nullptr;
  png_infop info = nullptr;
  uint32_t* pixels = nullptr;
  uint32_t width = 0, height = 0;
};

bool read_png(ReadState& st, Input& in) {
  st.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, quiet_error, quiet_warning);
  if (!st.png) return false;
  st.info = png_create_info_struct(st.png);
  if (!st.info) return false;
  if (setjmp(png_jmpbuf(st.png))) return false;
  png_set_read_fn(st.png, &in, read_bytes);
  png_set_user_limits(st.png, kMaxSide, kMaxSide);
  png_read_info(st.png, st.info);
  const uint32_t w = png_get_image_width(st.png, st.info);
  const uint32_t h = png_get_image_height(st.png, st.info);
  if (!decode_size_allowed(w, h)) return false;
  const uint64_t raw = uint64_t{h} * (png_get_rowbytes(st.png, st.info) + 1);
  if (raw > uint64_t{in.size} * 1032 + 1024) return false;

  const int colour = png_get_color_type(st.png, st.info);
  png_set_expand(st.png);
  png_set_strip_16(st.png);
  if (!(colour & PNG_COLOR_MASK_COLOR)) png_set_gray_to_rgb(st.png);
  if (!(colour & PNG_COLOR_MASK_ALPHA) && !png_get_valid(st.png, st.info, PNG_INFO_tRNS))
    png_set_filler(st.png, 0xFF, PNG_FILLER_AFTER);
  png_set_bgr(st.png);
  const int passes = png_set_interlace_handling(st.png);
  png_read_update_info(st.png, st.info);
  if (png_get_rowbytes(st.png, st.info) != size_t{w} * 4) return false;

  st.pixels = allocate_pixels(w, h);
  if (!st.pixels) return false;
  if (passes > 1) std::memset(st.pixels, 0, size_t{w} * h * 4);
  // Interlaced images fill the rows pass by pass.
  for (int pass = 0; pass < passes; pass++)
    for (uint32_t y = 0; y < h; y++)
      png_read_row(st.png, reinterpret_cast<png_bytep>(st.pixels + size_t{y} * w), nullptr);
  st.width = w;
  st.height = h;
  return true;
}

struct WriteState {
  png_structp png = nullptr;
  png_infop info = nullptr;
};

bool write_png(WriteState& st, const uint32_t* px, uint32_t w, uint32_t h, bool opaque,
               std::vector<uint8_t>* out) {
  st.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, quiet_error, quiet_warning);
  if (!st.png) return false;
  st.info = png_create_info_struct(st.png);
  if (!st.info) return false;
  if (setjmp(png_jmpbuf(st.png))) return false;
  png_set_write_fn(st.png, out, write_bytes, flush_nothing);
  png_set_IHDR(st.png, st.info, w, h, 8, opaque ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_RGB_ALPHA,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(st.png, st.info);
  png_set_bgr(st.png);
  // Writing, the filler is the byte left out of each pixel.
  if (opaque) png_set_filler(st.png, 0, PNG_FILLER_AFTER);
  for (uint32_t y = 0; y < h; y++)
    png_write_row(st.png, reinterpret_cast<png_const_bytep>(px + size_t{y} * w));
  png_write_end(st.png, st.info);
  return true;
}

}  // namespace

bool decode_png(const uint8_t* data, size_t n, Raster& out) {
  Input in{data, n, 0};
  ReadState st;
  const bool ok = read_png(st, in);
  png_destroy_read_struct(st.png ? &st.png : nullptr, st.info ? &st.info : nullptr, nullptr);
  if (!ok) {
    free_pixels(st.pixels);
    return false;
  }
  out = Raster{st.width, st.height, st.pixels};
  return true;
}

bool encode_png(const uint32_t* px, uint32_t w, uint32_t h, std::vector<uint8_t>& out) {
  WriteState st;
  const bool ok = write_png(st, px, w, h, all_opaque(px, size_t{w} * h), &out);
  png_destroy_write_struct(st.png ? &st.png : nullptr, st.info ? &st.info : nullptr);
  return ok;
}

}  // namespace qel::image_codec
