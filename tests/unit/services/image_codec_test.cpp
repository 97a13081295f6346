// The format codecs below image!: round trips per format, damaged files
// (every truncation and random byte changes, which must fail or decode
// without reading past the data), sizes declared beyond what a file can
// hold (refused before the pixels are allocated), and the bitmaps of
// records released by the collector.
#include <gtest/gtest.h>
#include <png.h>

#include <csetjmp>
#include <cstdlib>
#include <random>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/image.h"
#include "datatypes/tuple.h"
#include "memory/collector.h"
#include "runtime/ext_resource.h"
#include "services/image_codec.h"
#include "services/image_formats.h"
#include "tests/unit/values_support.h"

namespace qel::image_codec {
namespace {

using Decoder = bool (*)(const uint8_t*, size_t, Raster&);
using Encoder = bool (*)(const uint32_t*, uint32_t, uint32_t, std::vector<uint8_t>&);

struct Codec {
  const char* name;
  Decoder decode;
  Encoder encode;
};
const Codec kLossless[] = {{"png", decode_png, encode_png},
                           {"bmp", decode_bmp, encode_bmp},
                           {"tiff", decode_tiff, encode_tiff},
                           {"gif", decode_gif, encode_gif}};
const Codec kAll[] = {{"png", decode_png, encode_png},   {"bmp", decode_bmp, encode_bmp},
                      {"tiff", decode_tiff, encode_tiff}, {"gif", decode_gif, encode_gif},
                      {"jpeg", decode_jpeg, encode_jpeg}};

// A w x h test picture: a few colours (GIF keeps them exactly), each alpha
// 0 or 255 when `binary_alpha`, else a spread of alphas.
std::vector<uint32_t> picture(uint32_t w, uint32_t h, bool alpha, bool binary_alpha) {
  std::vector<uint32_t> px(size_t{w} * h);
  for (uint32_t y = 0; y < h; y++)
    for (uint32_t x = 0; x < w; x++) {
      uint32_t a = 255;
      if (alpha) a = binary_alpha ? ((x + y) % 3 == 0 ? 0 : 255) : (x * 37 + y * 11) & 0xFF;
      px[size_t{y} * w + x] = a << 24 | ((x * 40) & 0xFF) << 16 | ((y * 60) & 0xFF) << 8 | ((x ^ y) * 8);
    }
  return px;
}

// Decodes and frees; the pixels in `out` when asked.
bool decodes(const Codec& c, const std::vector<uint8_t>& file, std::vector<uint32_t>* out = nullptr,
             size_t n = SIZE_MAX) {
  Raster r;
  if (!c.decode(file.data(), std::min(n, file.size()), r)) return false;
  if (out) out->assign(r.pixels, r.pixels + size_t{r.width} * r.height);
  free_pixels(r.pixels);
  return true;
}

TEST(ImageCodec, LosslessFormatsGiveThePixelsBack) {
  for (const Codec& c : kLossless) {
    for (bool alpha : {false, true}) {
      // Odd sizes: rows that need padding in BMP, an interlaced-free PNG.
      const uint32_t w = 13, h = 7;
      std::vector<uint32_t> px = picture(w, h, alpha, std::string(c.name) == "gif");
      if (alpha && std::string(c.name) == "gif") {
        // GIF keeps the colour of an opaque pixel; a transparent one reads
        // back as the table's last colour.
        for (uint32_t& p : px)
          if ((p >> 24) == 0) p = 0;
      }
      std::vector<uint8_t> file;
      ASSERT_TRUE(c.encode(px.data(), w, h, file)) << c.name;
      std::vector<uint32_t> back;
      Raster r;
      ASSERT_TRUE(c.decode(file.data(), file.size(), r)) << c.name;
      EXPECT_EQ(r.width, w);
      EXPECT_EQ(r.height, h);
      back.assign(r.pixels, r.pixels + size_t{w} * h);
      free_pixels(r.pixels);
      EXPECT_EQ(back, px) << c.name << (alpha ? " with alpha" : " opaque");
    }
  }
}

TEST(ImageCodec, GifReducesManyColoursAndJpegComesClose) {
  const uint32_t w = 64, h = 64;
  std::vector<uint32_t> px(size_t{w} * h);
  for (uint32_t i = 0; i < px.size(); i++) px[i] = 0xFF000000u | (i * 2654435761u & 0xFFFFFF);
  std::vector<uint8_t> gif;
  ASSERT_TRUE(encode_gif(px.data(), w, h, gif));
  EXPECT_TRUE(decodes({"gif", decode_gif, encode_gif}, gif));

  // A smooth gradient survives JPEG within a few levels.
  for (uint32_t y = 0; y < h; y++)
    for (uint32_t x = 0; x < w; x++) px[size_t{y} * w + x] = 0x80000000u | (x * 4) << 16 | (y * 4) << 8 | 100;
  std::vector<uint8_t> jpeg;
  ASSERT_TRUE(encode_jpeg(px.data(), w, h, jpeg));
  std::vector<uint32_t> back;
  ASSERT_TRUE(decodes({"jpeg", decode_jpeg, encode_jpeg}, jpeg, &back));
  int worst = 0;
  for (size_t i = 0; i < px.size(); i++) {
    EXPECT_EQ(back[i] >> 24, 255u) << "JPEG has no alpha";
    for (int s = 0; s < 24; s += 8)
      worst = std::max(worst, std::abs(int((back[i] >> s) & 0xFF) - int((px[i] >> s) & 0xFF)));
  }
  EXPECT_LE(worst, 12);
}

// PNG files our encoder does not write: interlaced rows, 16-bit grey,
// palettes with a tRNS chunk, 2-bit grey. Each decodes to the colours its
// samples give.
struct PngSpec {
  int colour, depth, interlace;
};
std::vector<uint8_t> write_png_file(const PngSpec& spec, uint32_t w, uint32_t h) {
  std::vector<uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(
      png, &out,
      [](png_structp p, png_bytep d, size_t n) {
        auto* o = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(p));
        o->insert(o->end(), d, d + n);
      },
      nullptr);
  png_set_IHDR(png, info, w, h, spec.depth, spec.colour, spec.interlace, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (spec.colour == PNG_COLOR_TYPE_PALETTE) {
    png_color palette[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {9, 9, 9}};
    png_set_PLTE(png, info, palette, 4);
    png_byte trans[2] = {255, 0};  // index 1 fully transparent
    png_set_tRNS(png, info, trans, 2, nullptr);
  }
  png_write_info(png, info);
  if (spec.depth == 16) png_set_swap(png);  // rows below are little-endian
  const int passes = png_set_interlace_handling(png);
  std::vector<uint8_t> row(size_t{w} * 8);
  for (int pass = 0; pass < passes; pass++)
    for (uint32_t y = 0; y < h; y++) {
      std::fill(row.begin(), row.end(), 0);
      for (uint32_t x = 0; x < w; x++) {
        const uint32_t v = (x + 2 * y) % 4;
        switch (spec.colour) {
          case PNG_COLOR_TYPE_RGB: row[3 * x] = uint8_t(x * 20); row[3 * x + 1] = uint8_t(y * 20); row[3 * x + 2] = 7; break;
          case PNG_COLOR_TYPE_PALETTE: row[x / 4] |= uint8_t(v << (6 - 2 * (x % 4))); break;
          case PNG_COLOR_TYPE_GRAY:
            if (spec.depth == 16) { row[2 * x] = 0x34; row[2 * x + 1] = uint8_t(v * 80); }
            else row[x / 4] |= uint8_t(v << (6 - 2 * (x % 4)));
            break;
        }
      }
      png_write_row(png, row.data());
    }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

TEST(ImageCodec, PngColourTypesDepthsAndInterlacing) {
  const uint32_t w = 11, h = 9;
  const Codec png{"png", decode_png, encode_png};
  struct Case {
    PngSpec spec;
    uint32_t (*expect)(uint32_t x, uint32_t y);
  };
  const Case cases[] = {
      {{PNG_COLOR_TYPE_RGB, 8, PNG_INTERLACE_ADAM7},
       [](uint32_t x, uint32_t y) { return 0xFF000000u | (x * 20) << 16 | (y * 20) << 8 | 7u; }},
      {{PNG_COLOR_TYPE_PALETTE, 2, PNG_INTERLACE_NONE},
       [](uint32_t x, uint32_t y) {
         const uint32_t colours[4] = {0xFFFF0000u, 0x0000FF00u, 0xFF0000FFu, 0xFF090909u};
         return colours[(x + 2 * y) % 4];
       }},
      {{PNG_COLOR_TYPE_GRAY, 16, PNG_INTERLACE_ADAM7},
       [](uint32_t x, uint32_t y) {
         const uint32_t g = ((x + 2 * y) % 4) * 80;  // the high byte of each sample
         return 0xFF000000u | g << 16 | g << 8 | g;
       }},
      {{PNG_COLOR_TYPE_GRAY, 2, PNG_INTERLACE_NONE},
       [](uint32_t x, uint32_t y) {
         const uint32_t g = ((x + 2 * y) % 4) * 85;
         return 0xFF000000u | g << 16 | g << 8 | g;
       }},
  };
  for (const Case& c : cases) {
    std::vector<uint32_t> back;
    ASSERT_TRUE(decodes(png, write_png_file(c.spec, w, h), &back)) << c.spec.colour << "/" << c.spec.depth;
    for (uint32_t y = 0; y < h; y++)
      for (uint32_t x = 0; x < w; x++)
        ASSERT_EQ(back[size_t{y} * w + x], c.expect(x, y))
            << "colour " << c.spec.colour << " depth " << c.spec.depth << " at " << x << "," << y;
  }
}

// BMP forms our encoder does not write, made by hand: the file header, a
// bitmap header of `header` bytes, then `extra` (masks, palette) and the
// pixel data.
std::vector<uint8_t> bmp_file(uint32_t header, int32_t w, int32_t h, uint32_t bpp, uint32_t compression,
                              const std::vector<uint8_t>& extra, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> f(14 + header, 0);
  f[0] = 'B';
  f[1] = 'M';
  const uint32_t offset = 14 + header + static_cast<uint32_t>(extra.size());
  for (int i = 0; i < 4; i++) f[10 + i] = uint8_t(offset >> (8 * i));
  auto le = [&](size_t at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++) f[at + static_cast<size_t>(i)] = uint8_t(v >> (8 * i));
  };
  le(14, header, 4);
  if (header == 12) {
    le(18, static_cast<uint32_t>(w), 2);
    le(20, static_cast<uint32_t>(h), 2);
    le(22, 1, 2);
    le(24, bpp, 2);
  } else {
    le(18, static_cast<uint32_t>(w), 4);
    le(22, static_cast<uint32_t>(h), 4);
    le(26, 1, 2);
    le(28, bpp, 2);
    le(30, compression, 4);
  }
  f.insert(f.end(), extra.begin(), extra.end());
  f.insert(f.end(), data.begin(), data.end());
  return f;
}

TEST(ImageCodec, BmpBitDepthsHeadersAndCompressions) {
  const Codec bmp{"bmp", decode_bmp, encode_bmp};
  const std::vector<uint8_t> two_colours = {0, 0, 0, 0, 255, 255, 255, 0};  // black, white
  constexpr uint32_t K = 0xFF000000u, W = 0xFFFFFFFFu, R = 0xFFFF0000u, G = 0xFF00FF00u, B = 0xFF0000FFu;
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
    uint32_t w, h;
    std::vector<uint32_t> expect;  // rows top to bottom
  };
  const Case cases[] = {
      // Rows bottom-up, each padded to 4 bytes: 101 then 010.
      {"1-bit", bmp_file(40, 3, 2, 1, 0, two_colours, {0x40, 0, 0, 0, 0xA0, 0, 0, 0}), 3, 2, {W, K, W, K, W, K}},
      // 16 bits, 5-5-5, top-down: red, green / blue, white.
      {"16-bit top-down", bmp_file(40, 2, -2, 16, 0, {}, {0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00, 0xFF, 0x7F}), 2, 2,
       {R, G, B, W}},
      // The 12-byte core header with 24-bit rows (B, G, R), padded.
      {"core 24-bit", bmp_file(12, 1, 2, 24, 0, {}, {255, 0, 0, 0, 0, 0, 255, 0}), 1, 2, {R, B}},
      // 32 bits with masks after a 40-byte header: alpha in the high byte.
      {"32-bit masks", bmp_file(40, 1, 1, 32, 6, {0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0xFF, 0, 0, 0, 0, 0, 0, 0xFF},
                                 {0x30, 0x20, 0x10, 0x80}), 1, 1, {0x80102030u}},
      // RLE8 bottom-up: a run of 2 of index 1, end of line; a delta of one
      // column on the top row, a run of one index 1, end of bitmap. The
      // skipped pixel is transparent black.
      {"rle8", bmp_file(40, 2, 2, 8, 1, two_colours, {2, 1, 0, 0, 0, 2, 1, 0, 1, 1, 0, 0, 0, 1}), 2, 2,
       {0, W, W, W}},
      // RLE4: a run of 3 alternating indexes 1, 0, 1, then end of bitmap.
      {"rle4", bmp_file(40, 3, 1, 4, 2, two_colours, {3, 0x10, 0, 1}), 3, 1, {W, K, W}},
  };
  for (const Case& c : cases) {
    std::vector<uint32_t> back;
    ASSERT_TRUE(decodes(bmp, c.file, &back)) << c.what;
    EXPECT_EQ(back, c.expect) << c.what;
  }
  // Refused: an unknown compression, a bit depth without meaning, RLE8 over
  // 4-bit pixels, a header longer than the file.
  const std::vector<std::vector<uint8_t>> bad = {
      bmp_file(40, 1, 1, 24, 4, {}, {0, 0, 0, 0}), bmp_file(40, 1, 1, 7, 0, {}, {0, 0, 0, 0}),
      bmp_file(40, 1, 1, 4, 1, two_colours, {0, 1}), {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 200, 0, 0, 0}};
  for (const auto& f : bad) EXPECT_FALSE(decodes(bmp, f));
}

void put16(std::vector<uint8_t>& o, size_t at, uint32_t v) {
  o[at] = uint8_t(v);
  o[at + 1] = uint8_t(v >> 8);
}
void put32(std::vector<uint8_t>& o, size_t at, uint32_t v) {
  put16(o, at, v & 0xFFFF);
  put16(o, at + 2, v >> 16);
}
void put32be(std::vector<uint8_t>& o, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) o[at + static_cast<size_t>(i)] = uint8_t(v >> (24 - 8 * i));
}

// An uncompressed little-endian TIFF of one strip, made by hand: RGB, with
// one extra sample of kind `extra` (1 premultiplied alpha, 2 plain alpha)
// unless it is 0, `bits` bits a sample, rows stored in `orientation`, and
// `data` the strip.
std::vector<uint8_t> tiff_file(uint32_t w, uint32_t h, uint16_t bits, uint16_t extra,
                               const std::vector<uint8_t>& data, uint16_t orientation = 1) {
  struct Entry {
    uint16_t tag, type;
    uint32_t count, value;
  };
  const uint32_t samples = extra ? 4 : 3;
  std::vector<Entry> e = {{256, 4, 1, w},       {257, 4, 1, h},           {258, 3, samples, 0},
                          {259, 3, 1, 1},       {262, 3, 1, 2},           {273, 4, 1, 0},
                          {274, 3, 1, orientation}, {277, 3, 1, samples}, {278, 4, 1, h},
                          {279, 4, 1, uint32_t(data.size())}, {284, 3, 1, 1}};
  if (extra) e.push_back({338, 3, 1, extra});
  const uint32_t entries = static_cast<uint32_t>(e.size());
  const uint32_t ifd = 8, bits_at = ifd + 2 + 12 * entries + 4, strip_at = bits_at + 8;
  e[2].value = bits_at;
  e[5].value = strip_at;
  std::vector<uint8_t> f(strip_at, 0);
  f[0] = f[1] = 'I';
  f[2] = 42;
  f[4] = uint8_t(ifd);
  f[ifd] = uint8_t(entries);
  for (uint32_t i = 0; i < entries; i++) {
    uint8_t* p = f.data() + ifd + 2 + 12 * i;
    p[0] = uint8_t(e[i].tag);
    p[1] = uint8_t(e[i].tag >> 8);
    p[2] = uint8_t(e[i].type);
    for (int k = 0; k < 4; k++) {
      p[4 + k] = uint8_t(e[i].count >> (8 * k));
      p[8 + k] = uint8_t(e[i].value >> (8 * k));
    }
  }
  for (uint32_t s = 0; s < samples; s++) f[bits_at + 2 * s] = uint8_t(bits);
  f.insert(f.end(), data.begin(), data.end());
  return f;
}

// An uncompressed little-endian tiled TIFF of 8-bit RGB, made by hand: a
// w x h picture in tiles of 16 x 16, each tile filled with red 100 x its
// column and green 100 x its row (blue 7).
std::vector<uint8_t> tiled_tiff_file(uint32_t w, uint32_t h) {
  const uint32_t across = (w + 15) / 16, down = (h + 15) / 16, tiles = across * down, tile_bytes = 16 * 16 * 3;
  const uint32_t entries = 11, ifd = 8, bits_at = ifd + 2 + 12 * entries + 4, offsets_at = bits_at + 8,
                 counts_at = offsets_at + 4 * tiles, data_at = counts_at + 4 * tiles;
  const uint32_t e[entries][4] = {{256, 4, 1, w},      {257, 4, 1, h},          {258, 3, 3, bits_at},
                                  {259, 3, 1, 1},      {262, 3, 1, 2},          {277, 3, 1, 3},
                                  {284, 3, 1, 1},      {322, 4, 1, 16},         {323, 4, 1, 16},
                                  {324, 4, tiles, offsets_at}, {325, 4, tiles, counts_at}};
  std::vector<uint8_t> f(data_at + tiles * tile_bytes, 0);
  f[0] = f[1] = 'I';
  f[2] = 42;
  f[4] = uint8_t(ifd);
  f[ifd] = uint8_t(entries);
  for (uint32_t i = 0; i < entries; i++) {
    put16(f, ifd + 2 + 12 * i, e[i][0]);
    put16(f, ifd + 4 + 12 * i, e[i][1]);
    put32(f, ifd + 6 + 12 * i, e[i][2]);
    put32(f, ifd + 10 + 12 * i, e[i][3]);
  }
  for (uint32_t k = 0; k < 3; k++) put16(f, bits_at + 2 * k, 8);
  for (uint32_t t = 0; t < tiles; t++) {
    put32(f, offsets_at + 4 * t, data_at + t * tile_bytes);
    put32(f, counts_at + 4 * t, tile_bytes);
    for (uint32_t i = 0; i < 16 * 16; i++) {
      uint8_t* p = f.data() + data_at + t * tile_bytes + 3 * i;
      p[0] = uint8_t(100 * (t % across));
      p[1] = uint8_t(100 * (t / across));
      p[2] = 7;
    }
  }
  return f;
}

// Each byte of `v` as a 16-bit sample of the same value.
std::vector<uint8_t> wide(const std::vector<uint8_t>& v) {
  std::vector<uint8_t> o;
  for (uint8_t b : v) o.insert(o.end(), {b, b});
  return o;
}

// TIFF alpha, premultiplied in the file or not, 8 or 16 bits a sample: a
// pixel comes back in plain alpha, its colour as it was before any
// premultiplying (a premultiplied file came back with the darkened colour
// it stores: 100.50.20 for 200.100.40 at half alpha).
TEST(ImageCodec, TiffAlphaComesBackPlain) {
  const Codec tiff{"tiff", decode_tiff, encode_tiff};
  const uint8_t a = 128;
  auto pre = [&](uint32_t c) { return uint8_t((c * a + 127) / 255); };
  struct Case {
    const char* what;
    std::vector<uint8_t> file;
  };
  const Case cases[] = {
      {"8-bit premultiplied", tiff_file(2, 1, 8, 1, {pre(200), pre(100), pre(40), a, 10, 20, 30, 255})},
      {"16-bit premultiplied", tiff_file(2, 1, 16, 1, wide({pre(200), pre(100), pre(40), a, 10, 20, 30, 255}))},
      {"8-bit plain", tiff_file(2, 1, 8, 2, {200, 100, 40, a, 10, 20, 30, 255})},
      {"16-bit plain", tiff_file(2, 1, 16, 2, wide({200, 100, 40, a, 10, 20, 30, 255}))},
  };
  for (const Case& c : cases) {
    std::vector<uint32_t> back;
    ASSERT_TRUE(decodes(tiff, c.file, &back)) << c.what;
    ASSERT_EQ(back.size(), 2u) << c.what;
    EXPECT_EQ(back[0] >> 24, a) << c.what;
    const uint32_t want[3] = {200, 100, 40};
    for (int k = 0; k < 3; k++) {
      const int got = static_cast<int>((back[0] >> (16 - 8 * k)) & 0xFF);
      EXPECT_LE(std::abs(got - static_cast<int>(want[k])), 1) << c.what << " channel " << k << ": " << got;
    }
    EXPECT_EQ(back[1], 0xFF0A141Eu) << c.what;
  }
}

// A tiled TIFF decodes (libtiff refused its uncompressed tiles when it read
// them through our read callback: "Invalid tile byte count"), and every
// cut or damage of one stays within its bytes.
TEST(ImageCodec, TiledTiffDecodes) {
  const Codec tiff{"tiff", decode_tiff, encode_tiff};
  const uint32_t w = 20, h = 20;
  const std::vector<uint8_t> file = tiled_tiff_file(w, h);
  std::vector<uint32_t> back;
  ASSERT_TRUE(decodes(tiff, file, &back));
  for (uint32_t y = 0; y < h; y++)
    for (uint32_t x = 0; x < w; x++)
      ASSERT_EQ(back[size_t{y} * w + x], 0xFF000007u | (x / 16 * 100) << 16 | (y / 16 * 100) << 8)
          << x << "," << y;
  std::mt19937 rng(7);
  for (size_t cut = 0; cut < file.size(); cut += 1 + cut / 16) {
    std::vector<uint8_t> part(file.begin(), file.begin() + static_cast<long>(cut));
    part.shrink_to_fit();
    decodes(tiff, part);
  }
  for (int round = 0; round < 300; round++) {
    // The header, the tags and the tile tables: the first 260 bytes.
    std::vector<uint8_t> bad = file;
    const int changes = 1 + static_cast<int>(rng() % 8);
    for (int k = 0; k < changes; k++) bad[rng() % 260] = static_cast<uint8_t>(rng());
    decodes(tiff, bad);
  }
}

// A TIFF's rows stored from the bottom or from the right come out upright
// whether its samples are read as they are (8 bits) or through libtiff's
// RGBA reader (16 bits); the 8-bit ones came out as stored, upside down or
// mirrored. The file holds red, green / blue, white in its own order.
TEST(ImageCodec, TiffOrientationsComeOutUpright) {
  const Codec tiff{"tiff", decode_tiff, encode_tiff};
  constexpr uint32_t R = 0xFFFF0000u, G = 0xFF00FF00u, B = 0xFF0000FFu, W = 0xFFFFFFFFu;
  const std::vector<uint8_t> rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};
  struct Case {
    uint16_t orientation;
    std::vector<uint32_t> expect;
  };
  const Case cases[] = {{1, {R, G, B, W}}, {2, {G, R, W, B}}, {3, {W, B, G, R}}, {4, {B, W, R, G}},
                        {5, {R, G, B, W}}, {8, {B, W, R, G}}};
  for (const Case& c : cases) {
    for (uint16_t bits : {8, 16}) {
      std::vector<uint32_t> back;
      const auto file = tiff_file(2, 2, bits, 0, bits == 8 ? rgb : wide(rgb), c.orientation);
      ASSERT_TRUE(decodes(tiff, file, &back)) << "orientation " << c.orientation << ", " << bits << " bits";
      EXPECT_EQ(back, c.expect) << "orientation " << c.orientation << ", " << bits << " bits";
    }
  }
  // Plain alpha at 8 bits keeps its exact values, flipped too.
  std::vector<uint32_t> back;
  ASSERT_TRUE(decodes(tiff, tiff_file(2, 1, 8, 2, {1, 2, 3, 4, 5, 6, 7, 8}, 2), &back));
  EXPECT_EQ(back, (std::vector<uint32_t>{0x08050607u, 0x04010203u}));
}

// Truncated files fail (a file cut before its last row cannot give all its
// pixels); every cut and random damage stays within the data.
TEST(ImageCodec, DamagedFilesFailOrDecodeWithinTheirBytes) {
  std::mt19937 rng(12345);
  for (const Codec& c : kAll) {
    const uint32_t w = 40, h = 30;
    std::vector<uint32_t> px = picture(w, h, true, false);
    std::vector<uint8_t> file;
    ASSERT_TRUE(c.encode(px.data(), w, h, file)) << c.name;
    for (size_t cut = 0; cut < file.size(); cut += 1 + cut / 16) {
      // Each cut in a buffer of its own size, so that ASan sees a read past
      // it.
      std::vector<uint8_t> part(file.begin(), file.begin() + static_cast<long>(cut));
      part.shrink_to_fit();
      decodes(c, part);
    }
    std::vector<uint8_t> most(file.begin(), file.begin() + static_cast<long>(file.size() * 2 / 3));
    EXPECT_FALSE(decodes(c, most)) << c.name << " truncated to two thirds";
    for (int round = 0; round < 300; round++) {
      std::vector<uint8_t> bad = file;
      const int changes = 1 + static_cast<int>(rng() % 8);
      for (int k = 0; k < changes; k++) bad[rng() % bad.size()] = static_cast<uint8_t>(rng());
      decodes(c, bad);
    }
  }
}

// Sizes a file declares beyond what it could hold are refused before any
// room is made for the pixels.
TEST(ImageCodec, HugeDeclaredSizesAreRefusedBeforeAllocating) {
  const uint32_t px[4] = {0xFF000000u, 0xFF00FF00u, 0xFFFF0000u, 0xFF0000FFu};
  struct Case {
    const char* what;
    Encoder encode;
    Decoder decode;
    void (*patch)(std::vector<uint8_t>&, uint32_t side);
  };
  const Case cases[] = {
      {"bmp", encode_bmp, decode_bmp,
       [](std::vector<uint8_t>& f, uint32_t side) {
         put32(f, 18, side);
         put32(f, 22, side);
       }},
      {"png", encode_png, decode_png,
       [](std::vector<uint8_t>& f, uint32_t side) {
         // IHDR's width and height; its CRC is then wrong, which libpng
         // only reports after the size checks, so fix it up.
         put32be(f, 16, side);
         put32be(f, 20, side);
         uint32_t crc = 0xFFFFFFFFu;
         for (size_t i = 12; i < 29; i++) {
           crc ^= f[i];
           for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
         }
         put32be(f, 29, ~crc);
       }},
      {"gif", encode_gif, decode_gif,
       [](std::vector<uint8_t>& f, uint32_t side) {
         // The logical screen and the image descriptor (after the header,
         // the screen descriptor and the global colour table).
         put16(f, 6, side);
         put16(f, 8, side);
         const size_t at = 13 + 3 * (size_t{2} << (f[10] & 7));
         ASSERT_EQ(f[at], 0x2C);
         put16(f, at + 5, side);
         put16(f, at + 7, side);
       }},
  };
  for (const Case& c : cases) {
    for (uint32_t side : {20000u, 65535u}) {
      std::vector<uint8_t> file;
      ASSERT_TRUE(c.encode(px, 2, 2, file)) << c.what;
      c.patch(file, side);
      const uint64_t before = allocated_bytes();
      Raster r;
      EXPECT_FALSE(c.decode(file.data(), file.size(), r)) << c.what << " " << side;
      EXPECT_EQ(allocated_bytes(), before) << c.what << " allocated for " << side;
    }
  }
}

TEST(ImageCodec, SignaturesNameTheFormats) {
  struct Case {
    std::vector<uint8_t> bytes;
    int32_t format;
  };
  const Case cases[] = {
      {{0x89, 'P', 'N', 'G'}, 1},   {{0xFF, 0xD8, 0xFF}, 3},      {{'B', 'M'}, 0},
      {{'G', 'I', 'F', '8', '9', 'a'}, 2}, {{'G', 'I', 'F', '8', '7', 'a'}, 2},
      {{'G', 'I', 'F', '8', '8', 'a'}, -1}, {{'I', 'I', 42, 0}, 4},  {{'M', 'M', 0, 42}, 4},
      {{'I', 'I', 0, 42}, -1},       {{0xFF, 0xD8}, -1},           {{}, -1}};
  for (const Case& c : cases) EXPECT_EQ(sniff(c.bytes.data(), c.bytes.size()), c.format);
}

// Records: the colour and data forms of a new bitmap, and bitmaps released
// once no value refers to their record.
class ImageRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_values::setup();
    // Another test may have started the table over: begin with a table of
    // our own, once the bitmaps of earlier dead records are released.
    collector::collect();
    ext_resource::init();
    init();
  }
};

TEST_F(ImageRecords, NewBitmapsFromColoursAndData) {
  Cell red, clear;
  const uint8_t r[3] = {255, 0, 0}, c[4] = {255, 0, 0, 255};
  tuple::make_at(&red, r, 3);
  tuple::make_at(&clear, c, 4);
  Node a = make_bitmap(2, 1, nullptr, nullptr, &red);
  Node b = make_bitmap(2, 1, nullptr, nullptr, &clear);
  EXPECT_EQ(get_pixel(a, 1), 0xFFFF0000u);
  EXPECT_EQ(get_pixel(b, 0), 0x00FF0000u);
  EXPECT_EQ(make_bitmap(0, 5, nullptr, nullptr, &red), 0u);

  Cell rgb;
  const uint8_t seven[7] = {1, 2, 3, 4, 5, 6, 7};
  binary::make_from(&rgb, seven, 7);
  Node d = make_bitmap(3, 1, &rgb, nullptr, nullptr);
  EXPECT_EQ(get_pixel(d, 0), 0xFF010203u);
  EXPECT_EQ(get_pixel(d, 1), 0xFF040506u);
  EXPECT_EQ(get_pixel(d, 2), 0xFFFFFFFFu) << "a pixel the data does not reach is opaque white";

  EXPECT_EQ(testing_values::raised([&] { make_bitmap(70000, 1, nullptr, nullptr, &red); }),
            testing_values::code(ErrorCode::internal_no_memory));
}

TEST_F(ImageRecords, TheCollectorReleasesTheBitmapsOfDeadImages) {
  const int64_t before = live_bitmaps();
  Cell kept;
  image::make_at(&kept, make_bitmap(4, 4, nullptr, nullptr, nullptr));
  collector::Root root(kept);
  for (int i = 0; i < 10; i++) make_bitmap(8, 8, nullptr, nullptr, nullptr);
  EXPECT_EQ(live_bitmaps(), before + 11);
  collector::collect();
  EXPECT_EQ(live_bitmaps(), before + 1) << "the rooted image keeps its bitmap";
  collector::collect();
  EXPECT_EQ(live_bitmaps(), before + 1) << "marked again on every collection";
  EXPECT_EQ(get_pixel(kept.node(), 15), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace qel::image_codec
