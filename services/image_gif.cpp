// GIF files through giflib (see services/image_formats.h).
//
// Reading takes the first image of the file at its own size (the logical
// screen around it is not composed), through its local colour table or
// else the global one; the transparent index of the graphic control
// extension before it makes its pixels transparent, and an index beyond the
// colour table reads as opaque black. Interlaced rows are put in place. A
// frame larger than the file's bytes could describe (an LZW code of at
// least 3 bits stands for at most 4,096 pixels) is refused before its
// pixels are allocated.
//
// Writing: one image with one colour table. An image of at most 256
// colours (255 when some pixel is transparent, that is has alpha below
// 128) keeps its colours exactly; more colours are reduced by giflib's
// median cut. Transparent pixels take the table's last index, which the
// graphic control extension names.
#include <gif_lib.h>

#include <cstring>
#include <unordered_map>

#include "services/image_codec.h"
#include "services/image_formats.h"

namespace qel::image_codec {

namespace {

struct Input {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

int read_bytes(GifFileType* gif, GifByteType* out, int len) {
  auto* in = static_cast<Input*>(gif->UserData);
  size_t n = len > 0 ? static_cast<size_t>(len) : 0;
  if (n > in->size - in->pos) n = in->size - in->pos;
  if (n) std::memcpy(out, in->data + in->pos, n);
  in->pos += n;
  return static_cast<int>(n);
}

int write_bytes(GifFileType* gif, const GifByteType* data, int len) {
  auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
  out->insert(out->end(), data, data + len);
  return len;
}

uint64_t in_size(GifFileType* gif) { return static_cast<Input*>(gif->UserData)->size; }

// Reads up to the first image descriptor, noting the transparent index of
// the graphic control extension met on the way (-1: none).
bool find_image(GifFileType* gif, int& transparent) {
  transparent = -1;
  for (;;) {
    GifRecordType type;
    if (DGifGetRecordType(gif, &type) == GIF_ERROR) return false;
    if (type == IMAGE_DESC_RECORD_TYPE) return true;
    if (type != EXTENSION_RECORD_TYPE) return false;
    int code = 0;
    GifByteType* ext = nullptr;
    if (DGifGetExtension(gif, &code, &ext) == GIF_ERROR) return false;
    if (code == GRAPHICS_EXT_FUNC_CODE && ext && ext[0] >= 4)
      transparent = (ext[1] & 1) ? ext[4] : -1;
    while (ext)
      if (DGifGetExtensionNext(gif, &ext) == GIF_ERROR) return false;
  }
}

bool read_gif(GifFileType* gif, Raster& out) {
  int transparent;
  if (!find_image(gif, transparent) || DGifGetImageDesc(gif) == GIF_ERROR) return false;
  const GifImageDesc& d = gif->Image;
  const ColorMapObject* map = d.ColorMap ? d.ColorMap : gif->SColorMap;
  if (!map || d.Width <= 0 || d.Height <= 0) return false;
  const uint32_t w = static_cast<uint32_t>(d.Width), h = static_cast<uint32_t>(d.Height);
  if (!decode_size_allowed(w, h)) return false;
  // Refused before room is made when the file is too short to hold that
  // many pixels: an LZW code of at least 3 bits stands for at most 4,096.
  if (uint64_t{w} * h > (in_size(gif) + 1) * 4096 * 8 / 3) return false;
  uint32_t palette[256];
  for (int i = 0; i < 256; i++) {
    if (i < map->ColorCount) {
      const GifColorType& c = map->Colors[i];
      palette[i] = 0xFF000000u | uint32_t(c.Red) << 16 | uint32_t(c.Green) << 8 | c.Blue;
    } else {
      palette[i] = 0xFF000000u;
    }
  }
  if (transparent >= 0) palette[transparent] &= 0x00FFFFFFu;
  std::vector<GifPixelType> line(w);
  uint32_t* px = allocate_pixels(w, h);
  if (!px) return false;
  auto read_row = [&](uint32_t y) {
    if (DGifGetLine(gif, line.data(), static_cast<int>(w)) == GIF_ERROR) return false;
    uint32_t* o = px + size_t{y} * w;
    for (uint32_t x = 0; x < w; x++) o[x] = palette[line[x]];
    return true;
  };
  bool ok = true;
  if (d.Interlace) {
    static constexpr uint32_t kStart[] = {0, 4, 2, 1}, kStep[] = {8, 8, 4, 2};
    for (int pass = 0; pass < 4 && ok; pass++)
      for (uint32_t y = kStart[pass]; y < h && ok; y += kStep[pass]) ok = read_row(y);
  } else {
    for (uint32_t y = 0; y < h && ok; y++) ok = read_row(y);
  }
  if (!ok) {
    free_pixels(px);
    return false;
  }
  out = Raster{w, h, px};
  return true;
}

inline uint32_t rgb_of(uint32_t p) { return p & 0x00FFFFFFu; }
inline bool clear(uint32_t p) { return (p >> 24) < 128; }

// The indexes of the pixels and the colour table, exact when the colours
// fit; false when giflib's quantiser fails.
bool index_pixels(const uint32_t* px, size_t count, uint32_t w, uint32_t h,
                  std::vector<GifPixelType>& indexes, std::vector<GifColorType>& table,
                  int& transparent) {
  bool any_clear = false;
  for (size_t i = 0; i < count && !any_clear; i++) any_clear = clear(px[i]);
  const size_t room = any_clear ? 255 : 256;
  std::unordered_map<uint32_t, GifPixelType> seen;
  bool exact = true;
  for (size_t i = 0; i < count && exact; i++) {
    if (clear(px[i])) continue;
    if (seen.count(rgb_of(px[i]))) continue;
    if (seen.size() == room) {
      exact = false;
    } else {
      const auto index = static_cast<GifPixelType>(seen.size());
      seen.emplace(rgb_of(px[i]), index);
      table.push_back(GifColorType{uint8_t(px[i] >> 16), uint8_t(px[i] >> 8), uint8_t(px[i])});
    }
  }
  indexes.resize(count);
  if (exact) {
    for (size_t i = 0; i < count; i++)
      indexes[i] = clear(px[i]) ? GifPixelType(room) : seen[rgb_of(px[i])];
  } else {
    std::vector<GifByteType> r(count), g(count), b(count);
    for (size_t i = 0; i < count; i++) {
      r[i] = uint8_t(px[i] >> 16);
      g[i] = uint8_t(px[i] >> 8);
      b[i] = uint8_t(px[i]);
    }
    int size = static_cast<int>(room);
    table.assign(256, GifColorType{0, 0, 0});
    if (GifQuantizeBuffer(w, h, &size, r.data(), g.data(), b.data(), indexes.data(), table.data()) ==
        GIF_ERROR)
      return false;
    table.resize(static_cast<size_t>(size));
    for (size_t i = 0; i < count; i++)
      if (clear(px[i])) indexes[i] = GifPixelType(room);
  }
  transparent = any_clear ? static_cast<int>(room) : -1;
  if (any_clear) table.resize(256, GifColorType{0, 0, 0});
  return true;
}

bool write_gif(GifFileType* gif, const uint32_t* px, uint32_t w, uint32_t h) {
  const size_t count = size_t{w} * h;
  std::vector<GifPixelType> indexes;
  std::vector<GifColorType> table;
  int transparent = -1;
  if (!index_pixels(px, count, w, h, indexes, table, transparent)) return false;
  int entries = 2;
  while (entries < static_cast<int>(table.size())) entries *= 2;
  table.resize(static_cast<size_t>(entries), GifColorType{0, 0, 0});
  ColorMapObject* map = GifMakeMapObject(entries, table.data());
  if (!map) return false;
  EGifSetGifVersion(gif, true);
  bool ok = EGifPutScreenDesc(gif, static_cast<int>(w), static_cast<int>(h), 8, 0, map) != GIF_ERROR;
  if (ok && transparent >= 0) {
    const GifByteType control[4] = {1, 0, 0, static_cast<GifByteType>(transparent)};
    ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control) != GIF_ERROR;
  }
  ok = ok && EGifPutImageDesc(gif, 0, 0, static_cast<int>(w), static_cast<int>(h), false, nullptr) !=
                 GIF_ERROR;
  for (uint32_t y = 0; y < h && ok; y++)
    ok = EGifPutLine(gif, indexes.data() + size_t{y} * w, static_cast<int>(w)) != GIF_ERROR;
  GifFreeMapObject(map);
  return ok;
}

}  // namespace

bool decode_gif(const uint8_t* data, size_t n, Raster& out) {
  Input in{data, n, 0};
  int error = 0;
  GifFileType* gif = DGifOpen(&in, read_bytes, &error);
  if (!gif) return false;
  const bool ok = read_gif(gif, out);
  DGifCloseFile(gif, &error);
  return ok;
}

bool encode_gif(const uint32_t* px, uint32_t w, uint32_t h, std::vector<uint8_t>& out) {
  int error = 0;
  GifFileType* gif = EGifOpen(&out, write_bytes, &error);
  if (!gif) return false;
  const bool ok = write_gif(gif, px, w, h);
  const bool closed = EGifCloseFile(gif, &error) != GIF_ERROR;
  return ok && closed;
}

}  // namespace qel::image_codec
