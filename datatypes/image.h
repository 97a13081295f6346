// image!: a rectangle of 32-bit pixels treated as a series of pixels in row
// order. pick and poke read and write single pixels as tuple! colours
// R.G.B.T (T the transparency, 255 minus alpha; a 3-byte tuple is opaque),
// paths give the size and the pixel planes as binary! data, copy cuts
// rectangles, and the codec routines of system/codecs convert images to and
// from PNG, JPEG, BMP, GIF and TIFF files through `encode` and `decode`.
//
// Cell: data1 = the head, a 0-based pixel position (0 .. width x height);
// data2 = the node of the image record (services/image_codec.h), 0 for an
// image without pixels; data3 = the size word, width in bits 0-15 and height
// in bits 16-31. The pixels live in the record's bitmap, outside the series
// memory; the image! marker marks the record's external resource, so a
// bitmap lives as long as a value refers to its record.
//
// Pixel planes as binary! data: rgb (3 bytes a pixel: R, G, B), alpha (a
// byte a pixel: the transparency) and argb (4 bytes a pixel as they lie in
// memory: B, G, R, alpha, not inverted).
//
// An image without pixels (a side 0) has no record but keeps its size word
// (`make image! 0x3` is 0x3, length 0). Decoding is eager: the whole first
// frame (GIF: the first image at its own size) becomes the bitmap, so a
// corrupt or truncated file is found at once; each format's decoder says
// its limits (services/image_*.cpp). Comparing two images of one pixel
// count compares all their pixels and then their widths. `poke` and the
// plane setters tell an owner `poke` before and `poked` after the change;
// `change` at the tail changes nothing; `make image! [size colour
// transparency]` applies the transparency bytes pixel by pixel.
#pragma once

#include <cstdint>

#include "services/image_codec.h"
#include "core/cell.h"
#include "values/datatype.h"

namespace qel::image {

enum class Plane : int32_t { alpha = 0, rgb = 1, argb = 2 };

inline int32_t width(const Cell* img) { return static_cast<int32_t>(img->data3 & 0xFFFF); }
inline int32_t height(const Cell* img) { return static_cast<int32_t>(img->data3 >> 16); }
// Pixels of the image (width x height; 0 without a record).
inline int64_t pixel_count(const Cell* img) {
  return img->node() ? int64_t{width(img)} * height(img) : 0;
}

// Writes an image! over a record (index 0, the record's size) into a cell;
// record 0 makes an image without pixels of size 0x0.
Cell* make_at(Cell* cell, Node record);

// True when the bytes of a binary! from its head begin with the signature
// of a PNG, JPEG, BMP, GIF or TIFF file.
bool known_format_q(const Cell* bin);
// Decodes a binary! into a new image! pushed on the stack; the none value
// when no known signature matches; access bad-media when the data is
// corrupt or truncated.
Cell* load_binary(const Cell* bin);
// Decodes an image file into `out`: access cannot-open with the file when
// it cannot be read or is no image of a known format, bad-media when it is
// corrupt.
Cell* load_file(Cell* out, const Cell* file);
// A binary! (see load_binary) or a file! into a new image! (or none) pushed
// on the stack; any other value is access cannot-open.
Cell* decode(const Cell* value);
// Encodes an image into a new binary! (in `dest`, or a new stack slot when
// null) in the format of a code (image_codec::Format). A 0x0 image, or an
// encoder that fails, raises access bad-media; a code outside 0-4 prints
// "Cannot find image encoder" and answers null.
Cell* encode(const Cell* img, Cell* dest, int32_t format);

// A new binary! of a plane of every pixel, pushed on the stack.
Cell* to_binary(const Cell* img, Plane plane);
// Sets a plane of every pixel from a binary!, a tuple! or an integer!;
// script invalid-arg for any other value. Answers the value.
const Cell* from_binary(const Cell* img, const Cell* value, Plane plane);

// The absolute pixel index of a position (an integer! or pair!) relative to
// the image's head, one-based (pick, poke, at) or zero-based (skip), clamped
// to 0 .. width x height; `*out_of_range` (when given) is set when it had to
// be clamped or, for a pair, when it lies outside the rectangle.
int64_t index(const Cell* img, const Cell* position, bool one_based, bool* out_of_range);
// The pixel at an absolute index as a tuple! pushed on the stack, or the
// none value at or past the end.
Cell* pixel_tuple(const Cell* img, int64_t index);
// A new image! scaled to the size (nearest neighbour), pushed on the stack.
Cell* resize(const Cell* img, int32_t w, int32_t h);

// --- the type's actions
Cell* make(Cell* proto, Cell* spec, TypeId type);
Cell* to(Cell* proto, Cell* spec, TypeId type);

// The GUI back end's rendering of a face for `to image!`: answers false
// when the object is not a face, else leaves the result (an image!, or none
// when the back end makes no image) in `out`. Null until the back end sets
// it.
using FaceToImageFn = bool (*)(const Cell* face, Cell* out);
extern FaceToImageFn face_to_image;
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step);
int32_t compare(Cell* a, Cell* b, CompareOp op);
void at();
Cell* change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
int32_t length_q(Cell* value);
void next();
Cell* pick(Cell* value, int32_t index, Cell* index_cell);
Cell* poke(Cell* value, int32_t index, Cell* new_value, Cell* index_cell);
void skip();
void tail();
void tail_q();

// True while a series position lies before the image's last pixel (the
// loops' test).
inline bool more_q(const Cell* img) { return img->head() >= 0 && img->head() < pixel_count(img); }

// Registers image! (parent series!) and its collector marker.
void register_();

}  // namespace qel::image
