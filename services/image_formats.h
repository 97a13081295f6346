// The format codecs behind services/image_codec.h: one decoder and one
// encoder per file format, over plain pixel words (B, G, R, A in memory,
// alpha not premultiplied, rows top to bottom).
//
// A decoder reads only within the `n` bytes it is given, checks the size
// the file declares with image_codec::decode_size_allowed before it makes
// room, allocates the pixels with image_codec::allocate_pixels and hands
// them over in `out`; on any failure (unknown or corrupt data, a truncated
// file, a size beyond the bounds) it frees what it made and answers false.
// An encoder appends the file's bytes to `out` and answers false only when
// its library fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qel::image_codec {

struct Raster {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t* pixels = nullptr;
};

bool decode_bmp(const uint8_t* data, size_t n, Raster& out);
bool decode_png(const uint8_t* data, size_t n, Raster& out);
bool decode_jpeg(const uint8_t* data, size_t n, Raster& out);
bool decode_gif(const uint8_t* data, size_t n, Raster& out);
bool decode_tiff(const uint8_t* data, size_t n, Raster& out);

bool encode_bmp(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out);
bool encode_png(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out);
bool encode_jpeg(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out);
bool encode_gif(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out);
bool encode_tiff(const uint32_t* pixels, uint32_t width, uint32_t height, std::vector<uint8_t>& out);

// True when every pixel is opaque (the encoders then leave alpha out).
bool all_opaque(const uint32_t* pixels, size_t count);

}  // namespace qel::image_codec
