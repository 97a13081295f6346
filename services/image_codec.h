// The image codec back end: the pixels of every image! value and every
// conversion between them and image files.
//
// An image! cell holds the node of an image record: a 24-byte byte series of
// six 32-bit fields (flags, two reserved words, the size word with the
// width in bits 0-15 and the height in bits 16-31, the index of the
// record's entry in the external-resource table, a reserved word). The
// pixels live outside the series memory, in a bitmap (plain heap memory,
// width x height pixel words in row order) that the external-resource table
// holds under the kind "image": the image! marker marks the entry while a
// value refers to the record, and the table's sweep frees the bitmaps of
// dead records. A pixel word has blue in bits 0-7, green in 8-15, red in
// 16-23 and alpha in 24-31 (255 opaque, not premultiplied); in memory a
// pixel is the bytes B, G, R, A.
//
// Bitmaps are bounded: each side at most 65,535 and at most
// memory::kMaxSeriesBytes bytes of pixels (so every pixel plane fits in a
// binary!). Decoders check the size a file declares against these bounds
// (and against a lower decoding limit, for fuzzing) before they allocate.
// Bitmap memory counts towards the collector's budget as series memory
// does (memory::outside_allocated): a bitmap's bytes bring the next
// collection nearer, and live bitmaps raise the budget after it.
//
// The formats: PNG, JPEG, GIF and TIFF through libpng, libjpeg-turbo,
// giflib and libtiff; BMP is our own (services/image_bmp.cpp). Every decoder
// reads only within the bytes it is given and reports a corrupt or
// truncated file as a failure (the image! layer raises access bad-media).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/cell.h"

namespace qel::image_codec {

// The format codes of the encoders.
enum class Format : int32_t { bmp = 0, png = 1, gif = 2, jpeg = 3, tiff = 4 };

inline constexpr uint32_t kMaxSide = 65535;

// Flags of a record (field 0).
namespace record_flag {
inline constexpr uint32_t valid = 0x01;    // the record has a bitmap
inline constexpr uint32_t changed = 0x02;  // pixels were written since the record was made
}  // namespace record_flag

// The size word of a width and a height (each at most kMaxSide).
inline uint32_t size_word(uint32_t width, uint32_t height) { return (width & 0xFFFF) | (height << 16); }
inline uint32_t size_width(uint32_t size) { return size & 0xFFFF; }
inline uint32_t size_height(uint32_t size) { return size >> 16; }

// Start-up (just before image! registers): registers the external-resource
// kind "image" (again after the table was started over, in tests).
void init();

// --- pixel memory

// True when a bitmap of that size may be made (both sides within kMaxSide,
// the bytes within memory::kMaxSeriesBytes).
bool size_allowed(uint64_t width, uint64_t height);
// The decoders' limit on width x height (by default what size_allowed
// lets through); the fuzz targets lower it so that they do not spend their
// memory on large declared sizes.
void set_decode_pixel_limit(uint64_t pixels);
bool decode_size_allowed(uint64_t width, uint64_t height);
// width x height pixel words, uninitialised; null when the size is not
// allowed or the memory cannot be had. Free with free_pixels unless handed
// to make_record.
uint32_t* allocate_pixels(uint32_t width, uint32_t height);
void free_pixels(uint32_t* pixels);
// The bytes allocate_pixels has handed out so far (for tests).
uint64_t allocated_bytes();

// --- records

// A new record over `pixels` (which it takes over) of that size (both
// sides above 0); its entry is stored in the external-resource table.
Node make_record(uint32_t width, uint32_t height, uint32_t* pixels);
uint32_t width(Node record);
uint32_t height(Node record);
// The pixel words of a record (row order, width x height); null for node 0.
uint32_t* pixels(Node record);
// Sets the record's changed flag.
void touch(Node record);
// The collector's hook for a record: marks its external-resource entry.
void mark(Node record);

// Bitmaps in use (for tests of the external-resource sweep).
int64_t live_bitmaps();

// --- making bitmaps (answer 0 when a side is 0; sizes beyond the bounds
// or memory that cannot be had raise internal no-memory)

// width x height pixels from a colour (a tuple! of 3 or more bytes: R, G,
// B and, when there, the transparency), else from RGB data (a binary!, in
// whole triplets) and transparency data (a binary!, a byte per pixel);
// pixels the data does not reach are opaque white.
Node make_bitmap(int32_t width, int32_t height, const Cell* rgb, const Cell* alpha,
                 const Cell* colour);
// From pixel words in memory, `stride` bytes a row (0: width x 4).
Node from_memory(int32_t width, int32_t height, int32_t stride, const uint8_t* data);
// A copy of the whole bitmap, of a rectangle within it (clipped by the
// caller), or scaled to a new size by nearest neighbour.
Node copy(Node record);
Node copy_rect(Node record, int32_t x, int32_t y, int32_t w, int32_t h);
Node resize(Node record, int32_t w, int32_t h);

// --- pixels (the index is checked by the caller)
uint32_t get_pixel(Node record, int64_t index);
void set_pixel(Node record, int64_t index, uint32_t pixel);

// --- files

// The format whose signature the bytes begin with, or -1.
int32_t sniff(const uint8_t* data, size_t n);
// Decodes an image file held in memory: the record of its first frame, or
// 0 when the bytes are no image of a known format or do not decode.
Node decode(const uint8_t* data, size_t n);
// Encodes a record (non-zero) in a format; false when the encoder failed.
bool encode(Node record, Format format, std::vector<uint8_t>& out);

}  // namespace qel::image_codec
