// libFuzzer target for the image decoders (services/image_formats.h). The
// first byte picks the decoder (BMP, PNG, GIF, JPEG, TIFF: its value mod 5);
// the rest is the file, in a heap block of exactly its size so that ASan
// sees a read past it. A decoded image is encoded again in every format and
// decoded back; the lossless formats (PNG, BMP, TIFF) must give the same
// pixels. A crash, a sanitizer report, a failed round trip or a hang
// (-timeout) is a fault; a decoder's refusal is an expected outcome.
// Decoding is limited to 1,048,576 pixels so that runs spend their time on
// the formats' structure rather than on large images.
//
// Build and run: see tests/fuzz/README.md.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "services/image_codec.h"
#include "services/image_formats.h"

using namespace qel::image_codec;

namespace {

using Decoder = bool (*)(const uint8_t*, size_t, Raster&);
using Encoder = bool (*)(const uint32_t*, uint32_t, uint32_t, std::vector<uint8_t>&);

constexpr Decoder kDecoders[] = {decode_bmp, decode_png, decode_gif, decode_jpeg, decode_tiff};
struct Lossless {
  Encoder encode;
  Decoder decode;
};
constexpr Lossless kLossless[] = {{encode_png, decode_png}, {encode_bmp, decode_bmp}, {encode_tiff, decode_tiff}};

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const bool limited = (set_decode_pixel_limit(1u << 20), true);
  (void)limited;
  const Decoder decode = kDecoders[data[0] % 5];
  const size_t n = size - 1;
  std::unique_ptr<uint8_t[]> file(new uint8_t[n ? n : 1]);
  std::memcpy(file.get(), data + 1, n);
  Raster r;
  if (!decode(file.get(), n, r)) return 0;
  check(r.width > 0 && r.height > 0 && r.pixels);
  const size_t count = size_t{r.width} * r.height;
  // Every pixel is readable (ASan) and every encoder takes the image.
  uint32_t sum = 0;
  for (size_t i = 0; i < count; i++) sum += r.pixels[i];
  (void)sum;
  if (count <= 65536) {
    for (const Lossless& l : kLossless) {
      std::vector<uint8_t> out;
      check(l.encode(r.pixels, r.width, r.height, out));
      Raster back;
      check(l.decode(out.data(), out.size(), back));
      check(back.width == r.width && back.height == r.height &&
            std::memcmp(back.pixels, r.pixels, count * 4) == 0);
      free_pixels(back.pixels);
    }
    std::vector<uint8_t> out;
    check(encode_gif(r.pixels, r.width, r.height, out));
    // JPEG holds at most 65,500 pixels a side.
    check(encode_jpeg(r.pixels, r.width, r.height, out) || r.width > 65500 || r.height > 65500);
  }
  free_pixels(r.pixels);
  return 0;
}
