// The image codec back end (see services/image_codec.h): records and their
// bitmaps, making, copying and scaling bitmaps, pixel access, and the
// dispatch of decoding and encoding to the format codecs.
#include "services/image_codec.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "datatypes/tuple.h"
#include "memory/collector.h"
#include "memory/series.h"
#include "runtime/ext_resource.h"
#include "runtime/startup_slots.h"
#include "core/verify.h"
#include "services/image_formats.h"
#include "core/errors.h"

namespace qel::image_codec {

namespace {

// What the external-resource table holds for a record.
struct Bitmap {
  uint32_t width;
  uint32_t height;
  uint32_t* pixels;
};

// The fields of a record, in order.
enum Field : uint32_t { flags = 0, view = 1, bitmap = 2, size = 3, resource = 4, cached = 5 };
constexpr uint32_t kRecordBytes = 24;

int32_t kind = 0;
int64_t bitmaps = 0;

uint64_t decode_limit = memory::kMaxSeriesBytes / 4;
uint64_t allocated = 0;

uint64_t bytes_of(uint32_t w, uint32_t h) { return uint64_t{w} * h * 4; }

void release(void* object) {
  auto* b = static_cast<Bitmap*>(object);
  if (!b) return;
  memory::outside_freed(bytes_of(b->width, b->height));
  std::free(b->pixels);
  std::free(b);
  bitmaps--;
}

uint32_t* fields(Node record) {
  return reinterpret_cast<uint32_t*>(memory::series(record)->head_ptr());
}

Bitmap* bitmap_of(Node record) {
  if (!record) return nullptr;
  return static_cast<Bitmap*>(ext_resource::object_of(static_cast<int32_t>(fields(record)[resource])));
}

[[noreturn]] void no_memory() { fire(ErrorCode::internal_no_memory); }

// Pixels for a new bitmap, or internal no-memory.
uint32_t* pixels_or_fire(int32_t w, int32_t h) {
  uint32_t* p = allocate_pixels(static_cast<uint32_t>(w), static_cast<uint32_t>(h));
  if (!p) no_memory();
  return p;
}

inline uint32_t pixel_word(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
  return (a << 24) | (r << 16) | (g << 8) | b;
}

}  // namespace

void init() { kind = ext_resource::register_kind("image", release); }

bool size_allowed(uint64_t width, uint64_t height) {
  return width <= kMaxSide && height <= kMaxSide && width * height * 4 <= memory::kMaxSeriesBytes;
}

void set_decode_pixel_limit(uint64_t pixels) { decode_limit = pixels; }

bool decode_size_allowed(uint64_t width, uint64_t height) {
  return width > 0 && height > 0 && size_allowed(width, height) && width * height <= decode_limit;
}

uint32_t* allocate_pixels(uint32_t width, uint32_t height) {
  if (width == 0 || height == 0 || !size_allowed(width, height)) return nullptr;
  allocated += bytes_of(width, height);
  return static_cast<uint32_t*>(std::malloc(bytes_of(width, height)));
}

uint64_t allocated_bytes() { return allocated; }

void free_pixels(uint32_t* pixels) { std::free(pixels); }

Node make_record(uint32_t width, uint32_t height, uint32_t* pixels) {
  auto* b = static_cast<Bitmap*>(std::malloc(sizeof(Bitmap)));
  if (!b) {
    std::free(pixels);
    no_memory();
  }
  *b = Bitmap{width, height, pixels};
  Node record = memory::alloc_bytes(kRecordBytes);
  SeriesBuffer* s = memory::series(record);
  s->tail = s->offset + kRecordBytes;
  uint32_t* f = fields(record);
  std::memset(f, 0, kRecordBytes);
  f[flags] = record_flag::valid;
  f[size] = size_word(width, height);
  // Stored last: nothing below can fail and leave the entry without its
  // record.
  f[resource] = static_cast<uint32_t>(ext_resource::store(b, kind));
  bitmaps++;
  // The pixels are not series memory: they count towards the next
  // collection as if they were.
  memory::outside_allocated(bytes_of(width, height));
  return record;
}

uint32_t width(Node record) { return record ? size_width(fields(record)[size]) : 0; }
uint32_t height(Node record) { return record ? size_height(fields(record)[size]) : 0; }

uint32_t* pixels(Node record) {
  Bitmap* b = bitmap_of(record);
  return b ? b->pixels : nullptr;
}

void touch(Node record) {
  if (record) fields(record)[flags] |= record_flag::changed;
}

void mark(Node record) {
  if (record) ext_resource::mark(static_cast<int32_t>(fields(record)[resource]), nullptr);
}

int64_t live_bitmaps() { return bitmaps; }

Node make_bitmap(int32_t width, int32_t height, const Cell* rgb, const Cell* alpha,
                 const Cell* colour) {
  if (width <= 0 || height <= 0) return 0;
  if (!size_allowed(static_cast<uint64_t>(width), static_cast<uint64_t>(height))) no_memory();
  uint32_t* px = pixels_or_fire(width, height);
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  if (colour && colour->is(TypeId::tuple)) {
    const uint8_t* t = tuple::bytes(colour);
    uint32_t a = tuple::length(colour) < 4 ? 255 : 255u - t[3];
    std::fill(px, px + count, pixel_word(t[0], t[1], t[2], a));
  } else {
    const uint8_t* rgb_bytes = nullptr;
    size_t rgb_pixels = 0, alpha_pixels = 0;
    const uint8_t* alpha_bytes = nullptr;
    auto bytes_of_binary = [](const Cell* b, size_t& n) -> const uint8_t* {
      SeriesBuffer* s = memory::series(b->node());
      int64_t len = static_cast<int64_t>(s->tail - s->offset) - b->head();
      n = len > 0 ? static_cast<size_t>(len) : 0;
      return s->head_ptr() + (len > 0 ? b->head() : 0);
    };
    if (rgb && rgb->is(TypeId::binary)) {
      rgb_bytes = bytes_of_binary(rgb, rgb_pixels);
      rgb_pixels /= 3;
    }
    if (alpha && alpha->is(TypeId::binary)) alpha_bytes = bytes_of_binary(alpha, alpha_pixels);
    for (size_t i = 0; i < count; i++) {
      uint32_t r = 255, g = 255, b = 255, a = 255;
      if (i < rgb_pixels) {
        r = rgb_bytes[3 * i];
        g = rgb_bytes[3 * i + 1];
        b = rgb_bytes[3 * i + 2];
      }
      if (i < alpha_pixels) a = 255u - alpha_bytes[i];
      px[i] = pixel_word(r, g, b, a);
    }
  }
  return make_record(static_cast<uint32_t>(width), static_cast<uint32_t>(height), px);
}

Node from_memory(int32_t width, int32_t height, int32_t stride, const uint8_t* data) {
  if (width <= 0 || height <= 0) return 0;
  if (!size_allowed(static_cast<uint64_t>(width), static_cast<uint64_t>(height))) no_memory();
  uint32_t* px = pixels_or_fire(width, height);
  const size_t row = static_cast<size_t>(width) * 4;
  const size_t step = stride > 0 ? static_cast<size_t>(stride) : row;
  for (int32_t y = 0; y < height; y++)
    std::memcpy(reinterpret_cast<uint8_t*>(px) + row * static_cast<size_t>(y), data + step * static_cast<size_t>(y), row);
  return make_record(static_cast<uint32_t>(width), static_cast<uint32_t>(height), px);
}

Node copy(Node record) {
  if (!record) return 0;
  return copy_rect(record, 0, 0, static_cast<int32_t>(width(record)), static_cast<int32_t>(height(record)));
}

Node copy_rect(Node record, int32_t x, int32_t y, int32_t w, int32_t h) {
  if (!record || w <= 0 || h <= 0) return 0;
  const int32_t sw = static_cast<int32_t>(width(record));
  VERIFY(x >= 0 && y >= 0 && int64_t{x} + w <= sw && int64_t{y} + h <= int64_t{height(record)});
  uint32_t* px = pixels_or_fire(w, h);
  const uint32_t* src = pixels(record);
  for (int32_t row = 0; row < h; row++)
    std::memcpy(px + static_cast<size_t>(row) * static_cast<size_t>(w),
                src + static_cast<size_t>(y + row) * static_cast<size_t>(sw) + static_cast<size_t>(x),
                static_cast<size_t>(w) * 4);
  return make_record(static_cast<uint32_t>(w), static_cast<uint32_t>(h), px);
}

Node resize(Node record, int32_t w, int32_t h) {
  if (!record || w <= 0 || h <= 0) return 0;
  if (!size_allowed(static_cast<uint64_t>(w), static_cast<uint64_t>(h))) no_memory();
  const uint64_t sw = width(record), sh = height(record);
  uint32_t* px = pixels_or_fire(w, h);
  const uint32_t* src = pixels(record);
  // Each target pixel takes the source pixel under its centre.
  for (int32_t y = 0; y < h; y++) {
    const uint64_t sy = (2 * uint64_t(y) + 1) * sh / (2 * uint64_t(h));
    for (int32_t x = 0; x < w; x++) {
      const uint64_t sx = (2 * uint64_t(x) + 1) * sw / (2 * uint64_t(w));
      px[static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)] = src[sy * sw + sx];
    }
  }
  return make_record(static_cast<uint32_t>(w), static_cast<uint32_t>(h), px);
}

uint32_t get_pixel(Node record, int64_t index) { return pixels(record)[index]; }

void set_pixel(Node record, int64_t index, uint32_t pixel) {
  pixels(record)[index] = pixel;
  touch(record);
}

bool all_opaque(const uint32_t* px, size_t count) {
  for (size_t i = 0; i < count; i++)
    if ((px[i] >> 24) != 255) return false;
  return true;
}

int32_t sniff(const uint8_t* d, size_t n) {
  auto starts = [&](std::initializer_list<uint8_t> sig) {
    return n >= sig.size() && std::equal(sig.begin(), sig.end(), d);
  };
  if (starts({0x89, 0x50, 0x4E, 0x47})) return static_cast<int32_t>(Format::png);
  if (starts({0xFF, 0xD8, 0xFF})) return static_cast<int32_t>(Format::jpeg);
  if (starts({0x42, 0x4D})) return static_cast<int32_t>(Format::bmp);
  if (starts({0x47, 0x49, 0x46, 0x38}) && n >= 6 && (d[4] == 0x37 || d[4] == 0x39) && d[5] == 0x61)
    return static_cast<int32_t>(Format::gif);
  if (starts({0x49, 0x49, 0x2A, 0x00}) || starts({0x4D, 0x4D, 0x00, 0x2A}))
    return static_cast<int32_t>(Format::tiff);
  return -1;
}

Node decode(const uint8_t* data, size_t n) {
  Raster r;
  bool ok = false;
  switch (sniff(data, n)) {
    case static_cast<int32_t>(Format::png): ok = decode_png(data, n, r); break;
    case static_cast<int32_t>(Format::jpeg): ok = decode_jpeg(data, n, r); break;
    case static_cast<int32_t>(Format::bmp): ok = decode_bmp(data, n, r); break;
    case static_cast<int32_t>(Format::gif): ok = decode_gif(data, n, r); break;
    case static_cast<int32_t>(Format::tiff): ok = decode_tiff(data, n, r); break;
    default: return 0;
  }
  if (!ok) return 0;
  return make_record(r.width, r.height, r.pixels);
}

bool encode(Node record, Format format, std::vector<uint8_t>& out) {
  const uint32_t* px = pixels(record);
  const uint32_t w = width(record), h = height(record);
  switch (format) {
    case Format::bmp: return encode_bmp(px, w, h, out);
    case Format::png: return encode_png(px, w, h, out);
    case Format::gif: return encode_gif(px, w, h, out);
    case Format::jpeg: return encode_jpeg(px, w, h, out);
    case Format::tiff: return encode_tiff(px, w, h, out);
  }
  return false;
}

}  // namespace qel::image_codec
