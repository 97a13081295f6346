// BMP files, our own codec (see services/image_formats.h).
//
// Reading takes the file header and any of the usual bitmap headers (the
// 12-byte core header, the 16- to 64-byte OS/2 forms and the 40- to 124-byte
// info headers), 1, 2, 4 and 8 bits through a palette, 16 and 32 bits with
// or without bit masks, 24 bits, and the RLE8 and RLE4 compressions; rows
// may run bottom-up (positive height) or top-down. 32-bit pixels carry
// alpha only when the header gives an alpha mask; pixels that an RLE stream
// skips are transparent black. Every read is checked against the data; an
// uncompressed file must hold all its rows and an RLE file may declare at
// most 65,536 pixels a byte, both checked before the pixels are allocated.
//
// Writing: opaque images as 24-bit rows under a 40-byte info header, others
// as 32-bit rows with red, green, blue and alpha masks under a 108-byte
// header; rows bottom-up.
#include <cstring>

#include "services/image_codec.h"
#include "services/image_formats.h"

namespace qel::image_codec {

namespace {

uint32_t u16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t u32(const uint8_t* p) { return u16(p) | u16(p + 2) << 16; }

enum Compression : uint32_t { rgb = 0, rle8 = 1, rle4 = 2, bitfields = 3, alpha_bitfields = 6 };

// A channel mask: where its bits start and how many there are.
struct Channel {
  uint32_t mask = 0, shift = 0, bits = 0;
  explicit Channel(uint32_t m = 0) : mask(m) {
    if (!m) return;
    while (!((m >> shift) & 1)) shift++;
    while (bits < 32 - shift && ((m >> (shift + bits)) & 1)) bits++;
  }
  // The channel of a pixel value scaled to 0..255; `absent` when no mask.
  uint32_t get(uint32_t v, uint32_t absent) const {
    if (!mask) return absent;
    uint64_t c = (v & mask) >> shift;
    uint64_t max = (uint64_t{1} << bits) - 1;
    if (c > max) c = max;  // a mask with gaps
    return static_cast<uint32_t>((c * 255 + max / 2) / max);
  }
};

struct Header {
  int64_t width = 0, height = 0;
  uint32_t bpp = 0, compression = rgb, colours = 0;
  bool top_down = false, core = false;
  Channel r, g, b, a;
  uint32_t header_size = 0;
};

inline uint32_t word(uint32_t r, uint32_t g, uint32_t b, uint32_t a) {
  return (a << 24) | (r << 16) | (g << 8) | b;
}

bool read_header(const uint8_t* d, size_t n, Header& h, size_t& palette_at) {
  if (n < 18) return false;
  h.header_size = u32(d + 14);
  const uint32_t hs = h.header_size;
  if (hs < 12 || hs > n - 14) return false;
  const uint8_t* p = d + 14;
  if (hs == 12) {
    h.core = true;
    h.width = u16(p + 4);
    h.height = static_cast<int16_t>(u16(p + 6));
    h.bpp = u16(p + 10);
  } else {
    if (hs < 16) return false;
    h.width = static_cast<int32_t>(u32(p + 4));
    h.height = static_cast<int32_t>(u32(p + 8));
    h.bpp = u16(p + 14);
    if (hs >= 20) h.compression = u32(p + 16);
    if (hs >= 36) h.colours = u32(p + 32);
    // The OS/2 forms number their compressions differently; only theirs
    // that agree with ours (none, RLE8, RLE4) are taken.
    if (hs == 64 || (hs > 16 && hs < 40)) {
      if (h.compression > rle4) return false;
    }
  }
  if (h.height < 0) {
    h.top_down = true;
    h.height = -h.height;
  }
  palette_at = 14 + size_t{hs};
  if (h.compression == bitfields || h.compression == alpha_bitfields) {
    uint32_t masks[4] = {0, 0, 0, 0};
    const uint32_t wanted = h.compression == alpha_bitfields ? 4 : 3;
    if (hs >= 52) {
      for (uint32_t i = 0; i < 4 && 40 + 4 * i + 4 <= hs; i++) masks[i] = u32(p + 40 + 4 * i);
    } else {
      // The masks follow a 40-byte header.
      if (palette_at + 4 * wanted > n) return false;
      for (uint32_t i = 0; i < wanted; i++) masks[i] = u32(d + palette_at + 4 * i);
      palette_at += 4 * wanted;
    }
    h.r = Channel(masks[0]);
    h.g = Channel(masks[1]);
    h.b = Channel(masks[2]);
    h.a = Channel(masks[3]);
    if (h.bpp != 16 && h.bpp != 32) return false;
  } else if (h.bpp == 16) {
    h.r = Channel(0x7C00);
    h.g = Channel(0x03E0);
    h.b = Channel(0x001F);
  } else if (h.bpp == 32) {
    h.r = Channel(0x00FF0000);
    h.g = Channel(0x0000FF00);
    h.b = Channel(0x000000FF);
    if (hs >= 56) h.a = Channel(u32(p + 52));
  }
  switch (h.compression) {
    case rgb: case bitfields: case alpha_bitfields:
      if (h.bpp != 1 && h.bpp != 2 && h.bpp != 4 && h.bpp != 8 && h.bpp != 16 && h.bpp != 24 &&
          h.bpp != 32)
        return false;
      break;
    case rle8:
      if (h.bpp != 8) return false;
      break;
    case rle4:
      if (h.bpp != 4) return false;
      break;
    default:
      return false;
  }
  return h.width > 0 && h.height > 0 && decode_size_allowed(uint64_t(h.width), uint64_t(h.height));
}

// The RLE8 and RLE4 streams: runs and literal sequences of palette indexes,
// with end-of-line, end-of-bitmap and delta codes.
bool decode_rle(const uint8_t* d, size_t n, size_t pos, const Header& h, const uint32_t* palette,
                uint32_t colours, uint32_t* px) {
  const uint32_t w = static_cast<uint32_t>(h.width), ht = static_cast<uint32_t>(h.height);
  std::memset(px, 0, size_t{w} * ht * 4);
  const bool four = h.compression == rle4;
  // 64-bit: a long stream of deltas must not wrap the cursor around.
  uint64_t x = 0, y = 0;
  auto put = [&](uint32_t index) {
    if (x < w && y < ht) {
      const uint64_t row = h.top_down ? y : ht - 1 - y;
      px[row * w + x] = index < colours ? palette[index] : word(0, 0, 0, 255);
    }
    x++;
  };
  for (;;) {
    if (pos + 2 > n) return false;
    const uint32_t count = d[pos], value = d[pos + 1];
    pos += 2;
    if (count > 0) {
      for (uint32_t i = 0; i < count && x < w; i++)
        put(four ? ((i & 1) ? value & 0x0F : value >> 4) : value);
      continue;
    }
    switch (value) {
      case 0:  // end of line
        x = 0;
        if (++y >= ht) return true;
        break;
      case 1:  // end of bitmap
        return true;
      case 2:  // delta
        if (pos + 2 > n) return false;
        x += d[pos];
        y += d[pos + 1];
        pos += 2;
        if (y >= ht) return true;
        break;
      default: {  // literal run of `value` indexes, padded to 16 bits
        const size_t bytes = four ? (value + 1) / 2 : value;
        if (pos + bytes > n) return false;
        for (uint32_t i = 0; i < value; i++) {
          const uint8_t byte = d[pos + (four ? i / 2 : i)];
          put(four ? ((i & 1) ? byte & 0x0F : byte >> 4) : byte);
        }
        pos += bytes + (bytes & 1);
      }
    }
  }
}

void put16(std::vector<uint8_t>& o, uint32_t v) {
  o.push_back(uint8_t(v));
  o.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& o, uint32_t v) {
  put16(o, v & 0xFFFF);
  put16(o, v >> 16);
}

}  // namespace

bool decode_bmp(const uint8_t* d, size_t n, Raster& out) {
  Header h;
  size_t palette_at = 0;
  if (!read_header(d, n, h, palette_at)) return false;
  const uint32_t w = static_cast<uint32_t>(h.width), ht = static_cast<uint32_t>(h.height);

  uint32_t palette[256];
  uint32_t colours = 0;
  if (h.bpp <= 8) {
    const uint32_t entry = h.core ? 3 : 4;
    colours = h.colours == 0 || h.colours > (1u << h.bpp) ? 1u << h.bpp : h.colours;
    // A palette cut short by the pixel data or the file keeps what is there.
    const size_t pixel_offset = u32(d + 10);
    size_t end = pixel_offset > palette_at && pixel_offset <= n ? pixel_offset : n;
    const size_t room = end > palette_at ? (end - palette_at) / entry : 0;
    if (room < colours) colours = static_cast<uint32_t>(room);
    for (uint32_t i = 0; i < colours; i++) {
      const uint8_t* e = d + palette_at + size_t{i} * entry;
      palette[i] = word(e[2], e[1], e[0], 255);
    }
  }
  const size_t offset = u32(d + 10);
  if (offset >= n) return false;

  // An uncompressed file must hold all its rows: checked before room is
  // made for the pixels.
  const uint64_t stride = (uint64_t{w} * h.bpp + 31) / 32 * 4;
  const bool rle = h.compression == rle8 || h.compression == rle4;
  if (!rle && stride * ht > n - offset) return false;
  // RLE data may skip pixels, but not without bound: at most 65,536 pixels
  // a byte of the file (a delta code of 4 bytes skips at most 255 rows).
  if (rle && uint64_t{w} * ht > uint64_t{n} * 65536) return false;
  uint32_t* px = allocate_pixels(w, ht);
  if (!px) return false;
  if (rle) {
    if (!decode_rle(d, n, offset, h, palette, colours, px)) {
      free_pixels(px);
      return false;
    }
    out = Raster{w, ht, px};
    return true;
  }

  for (uint32_t row = 0; row < ht; row++) {
    const uint8_t* s = d + offset + stride * row;
    uint32_t* o = px + size_t{h.top_down ? row : ht - 1 - row} * w;
    switch (h.bpp) {
      case 1: case 2: case 4: case 8: {
        const uint32_t per_byte = 8 / h.bpp, mask = (1u << h.bpp) - 1;
        for (uint32_t x = 0; x < w; x++) {
          const uint32_t shift = 8 - h.bpp * (x % per_byte + 1);
          const uint32_t index = (s[x / per_byte] >> shift) & mask;
          o[x] = index < colours ? palette[index] : word(0, 0, 0, 255);
        }
        break;
      }
      case 16:
        for (uint32_t x = 0; x < w; x++) {
          const uint32_t v = u16(s + 2 * x);
          o[x] = word(h.r.get(v, 0), h.g.get(v, 0), h.b.get(v, 0), h.a.get(v, 255));
        }
        break;
      case 24:
        for (uint32_t x = 0; x < w; x++) o[x] = word(s[3 * x + 2], s[3 * x + 1], s[3 * x], 255);
        break;
      case 32:
        for (uint32_t x = 0; x < w; x++) {
          const uint32_t v = u32(s + 4 * x);
          o[x] = word(h.r.get(v, 0), h.g.get(v, 0), h.b.get(v, 0), h.a.get(v, 255));
        }
        break;
    }
  }
  out = Raster{w, ht, px};
  return true;
}

bool encode_bmp(const uint32_t* px, uint32_t w, uint32_t h, std::vector<uint8_t>& out) {
  const bool opaque = all_opaque(px, size_t{w} * h);
  const uint32_t header = opaque ? 40 : 108;
  const uint32_t stride = opaque ? (w * 3 + 3) / 4 * 4 : w * 4;
  const uint32_t image = stride * h;
  const uint32_t offset = 14 + header;
  out.reserve(out.size() + offset + image);
  out.push_back('B');
  out.push_back('M');
  put32(out, offset + image);
  put32(out, 0);
  put32(out, offset);
  put32(out, header);
  put32(out, w);
  put32(out, h);  // positive: rows bottom-up
  put16(out, 1);
  put16(out, opaque ? 24 : 32);
  put32(out, opaque ? rgb : bitfields);
  put32(out, image);
  put32(out, 2835);  // 72 dots per inch
  put32(out, 2835);
  put32(out, 0);
  put32(out, 0);
  if (!opaque) {
    put32(out, 0x00FF0000);
    put32(out, 0x0000FF00);
    put32(out, 0x000000FF);
    put32(out, 0xFF000000);
    put32(out, 0x73524742);  // "sRGB"
    out.insert(out.end(), 36 + 12, 0);  // end points and gamma
  }
  for (uint32_t row = h; row-- > 0;) {
    const uint32_t* s = px + size_t{row} * w;
    if (opaque) {
      for (uint32_t x = 0; x < w; x++) {
        out.push_back(uint8_t(s[x]));
        out.push_back(uint8_t(s[x] >> 8));
        out.push_back(uint8_t(s[x] >> 16));
      }
      out.insert(out.end(), stride - w * 3, 0);
    } else {
      for (uint32_t x = 0; x < w; x++) put32(out, s[x]);
    }
  }
  return true;
}

}  // namespace qel::image_codec
