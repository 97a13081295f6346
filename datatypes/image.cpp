// image! (see datatypes/image.h): positions, pixels and planes, make and
// to, form and mold, paths, comparison, the series actions, copy and change,
// and decoding and encoding through the image codec back end.
#include "datatypes/image.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/pair.h"
#include "datatypes/tuple.h"
#include "core/stack.h"
#include "memory/collector.h"
#include "memory/series.h"
#include "runtime/print.h"
#include "core/verify.h"
#include "services/files.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "values/ownership.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::image {

namespace {

using image_codec::size_word;

inline Cell* none_cell() { return const_cast<Cell*>(&none_value); }

// An image! cell over a record with a given size word (kept when the record
// is 0: an image made with one side 0 keeps its other side).
Cell* write_image(Cell* cell, Node record, uint32_t size, int32_t head = 0) {
  *cell = Cell{static_cast<uint32_t>(TypeId::image), static_cast<uint32_t>(head), record, size};
  return cell;
}

uint32_t* pixels_of(const Cell* img) { return image_codec::pixels(img->node()); }

// The colour of a pixel word as R.G.B.T.
void tuple_of(uint32_t px, Cell* out) {
  const uint8_t b[4] = {uint8_t(px >> 16), uint8_t(px >> 8), uint8_t(px), uint8_t(255 - (px >> 24))};
  tuple::make_at(out, b, 4);
}

// The pixel word of a colour: alpha 255 for a tuple of 3 bytes, else 255
// minus the fourth byte.
uint32_t pixel_of(const Cell* t) {
  const uint8_t* b = tuple::bytes(t);
  const uint32_t a = tuple::length(t) < 4 ? 255 : 255u - b[3];
  return a << 24 | uint32_t(b[0]) << 16 | uint32_t(b[1]) << 8 | b[2];
}

int32_t head_of(const Cell* img) {
  const int64_t total = pixel_count(img);
  return static_cast<int32_t>(std::clamp<int64_t>(img->head(), 0, total));
}

[[noreturn]] void bad_media() { fire(ErrorCode::access_bad_media); }

[[noreturn]] void invalid_type(const Cell* value) {
  Cell dt;
  set_datatype(&dt, value->type());
  fire(ErrorCode::script_invalid_type, &dt);
}

// The bytes of a binary! from its head, and how many.
const uint8_t* binary_bytes(const Cell* bin, size_t& n) {
  n = static_cast<size_t>(binary::rs_length(bin));
  return binary::rs_head(bin);
}

bool is_word(const Cell* c, const char* name) {
  return is_any_word(c->type()) && symbol::resolve(c->symbol()) == symbol::resolve(symbol::make(name));
}

}  // namespace

Cell* make_at(Cell* cell, Node record) {
  return write_image(cell, record,
                     size_word(image_codec::width(record), image_codec::height(record)));
}

// --- decoding and encoding

bool known_format_q(const Cell* bin) {
  size_t n;
  const uint8_t* d = binary_bytes(bin, n);
  return image_codec::sniff(d, n) >= 0;
}

Cell* load_binary(const Cell* bin) {
  size_t n;
  const uint8_t* d = binary_bytes(bin, n);
  if (image_codec::sniff(d, n) < 0) return stack::push(&none_value);
  Node record = image_codec::decode(d, n);
  if (!record) bad_media();
  return make_at(stack::push_slot(), record);
}

Cell* load_file(Cell* out, const Cell* file) {
  set_unset(out);
  Cell bytes;
  set_none(&bytes);
  {
    collector::Root keep(*file);
    files::read(file, -1, -1, true, false, &bytes);
  }
  if (!bytes.is(TypeId::binary)) fire(ErrorCode::access_cannot_open, file);
  size_t n;
  const uint8_t* d = binary_bytes(&bytes, n);
  if (image_codec::sniff(d, n) < 0) fire(ErrorCode::access_cannot_open, file);
  collector::Root keep(bytes);
  Node record = image_codec::decode(d, n);
  if (!record) bad_media();
  return make_at(out, record);
}

Cell* decode(const Cell* value) {
  if (value->is(TypeId::binary)) return load_binary(value);
  Cell file = *value;
  // Only a file! names a file; anything else cannot be opened.
  if (!file.is(TypeId::file)) fire(ErrorCode::access_cannot_open, &file);
  return load_file(stack::push_slot(), &file);
}

Cell* encode(const Cell* img, Cell* dest, int32_t format) {
  if (img->data3 == 0) bad_media();
  if (format < 0 || format > static_cast<int32_t>(image_codec::Format::tiff)) {
    print_line({arg::cstring("Cannot find image encoder")});
    return nullptr;
  }
  if (!dest) dest = stack::push_slot();
  std::vector<uint8_t> bytes;
  if (img->node() &&
      !image_codec::encode(img->node(), static_cast<image_codec::Format>(format), bytes))
    bad_media();
  return binary::make_from(dest, bytes.data(), bytes.size());
}

// --- planes

Cell* to_binary(const Cell* img, Plane plane) {
  const int64_t count = pixel_count(img);
  const uint32_t per = plane == Plane::alpha ? 1 : plane == Plane::rgb ? 3 : 4;
  Cell* out = stack::push_slot();
  binary::make_at(out, static_cast<uint32_t>(count * per));
  if (count == 0) return out;
  SeriesBuffer* s = memory::series(out->node());
  uint8_t* o = s->head_ptr();
  const uint32_t* px = pixels_of(img);
  switch (plane) {
    case Plane::alpha:
      for (int64_t i = 0; i < count; i++) o[i] = uint8_t(255 - (px[i] >> 24));
      break;
    case Plane::rgb:
      for (int64_t i = 0; i < count; i++) {
        o[3 * i] = uint8_t(px[i] >> 16);
        o[3 * i + 1] = uint8_t(px[i] >> 8);
        o[3 * i + 2] = uint8_t(px[i]);
      }
      break;
    case Plane::argb:
      std::memcpy(o, px, static_cast<size_t>(count) * 4);
      break;
  }
  s->tail = s->offset + static_cast<uint32_t>(count * per);
  return out;
}

const Cell* from_binary(const Cell* img, const Cell* value, Plane plane) {
  const bool told = ownership::check(img, OwnerEvent::poke, value, head_of(img), 1);
  const int64_t count = pixel_count(img);
  uint32_t* px = pixels_of(img);
  if (value->is(TypeId::binary)) {
    size_t n;
    const uint8_t* d = binary_bytes(value, n);
    switch (plane) {
      case Plane::argb:
        if (count) std::memcpy(px, d, std::min<size_t>(n, static_cast<size_t>(count) * 4));
        break;
      case Plane::rgb: {
        const int64_t k = std::min<int64_t>(count, static_cast<int64_t>(n / 3));
        for (int64_t i = 0; i < k; i++)
          px[i] = (px[i] & 0xFF000000u) | uint32_t(d[3 * i]) << 16 | uint32_t(d[3 * i + 1]) << 8 |
                  d[3 * i + 2];
        break;
      }
      case Plane::alpha: {
        const int64_t k = std::min<int64_t>(count, static_cast<int64_t>(n));
        for (int64_t i = 0; i < k; i++) px[i] = (px[i] & 0x00FFFFFFu) | uint32_t(255 - d[i]) << 24;
        break;
      }
    }
  } else if (value->is(TypeId::tuple) || value->is(TypeId::integer)) {
    uint8_t b[4] = {0, 0, 0, 0};
    if (value->is(TypeId::tuple)) {
      std::memcpy(b, tuple::bytes(value), tuple::length(value) < 4 ? 3 : 4);
    } else {
      const uint32_t v = static_cast<uint32_t>(value->integer());
      for (int i = 0; i < 4; i++) b[i] = uint8_t(v >> (8 * i));
    }
    const uint32_t rgb = uint32_t(b[0]) << 16 | uint32_t(b[1]) << 8 | b[2];
    for (int64_t i = 0; i < count; i++) {
      switch (plane) {
        case Plane::argb: px[i] = uint32_t(255 - b[3]) << 24 | rgb; break;
        case Plane::rgb: px[i] = (px[i] & 0xFF000000u) | rgb; break;
        case Plane::alpha: px[i] = (px[i] & 0x00FFFFFFu) | uint32_t(255 - b[0]) << 24; break;
      }
    }
  } else {
    fire(ErrorCode::script_invalid_arg, value);
  }
  image_codec::touch(img->node());
  if (told) ownership::check(img, OwnerEvent::poked, value, head_of(img), 1);
  return value;
}

// --- positions

int64_t index(const Cell* img, const Cell* position, bool one_based, bool* out_of_range) {
  const int64_t w = width(img), h = height(img);
  const int64_t total = pixel_count(img);
  bool flag = false;
  int64_t n;
  if (position->is(TypeId::integer)) {
    n = position->integer();
  } else if (position->is(TypeId::pair)) {
    const int64_t x = pair::x(position), y = pair::y(position);
    if (one_based) {
      n = y > 0 ? (y - 1) * w + x : y * w + x;
      flag = x < 1 || x > w || y < 1 || y > h;
    } else {
      n = y * w + x;
      flag = x < 0 || x >= w || y < 0 || y >= h;
    }
  } else {
    fire(ErrorCode::script_invalid_arg, position);
  }
  int64_t result = img->head() + (one_based && n >= 1 ? n - 1 : n);
  if (result < 0) {
    result = 0;
    flag = true;
  } else if (result >= total) {
    result = total;
    flag = true;
  }
  if (out_of_range) *out_of_range = flag;
  return result;
}

Cell* pixel_tuple(const Cell* img, int64_t at) {
  if (at < 0 || at >= pixel_count(img)) return stack::push(&none_value);
  Cell* out = stack::push_slot();
  tuple_of(image_codec::get_pixel(img->node(), at), out);
  return out;
}

Cell* resize(const Cell* img, int32_t w, int32_t h) {
  Node record = image_codec::resize(img->node(), w, h);
  return make_at(stack::push_slot(), record);
}

// --- make and to

Cell* make(Cell* proto, Cell* spec, TypeId type) {
  Node record = 0;
  int32_t w = 0, h = 0;
  // Transparency bytes that follow a colour (make_bitmap fills every pixel
  // with the colour alone).
  bool colour_alpha = false;
  Cell transparency;
  if (spec->is(TypeId::pair)) {
    w = std::max(0, pair::x(spec));
    h = std::max(0, pair::y(spec));
    record = image_codec::make_bitmap(w, h, nullptr, nullptr, nullptr);
  } else if (spec->is(TypeId::block)) {
    SeriesBuffer* s = memory::series(spec->node());
    const int32_t n = std::max<int32_t>(0, static_cast<int32_t>(s->used_bytes() / sizeof(Cell)) - spec->head());
    if (n == 0) {
      if (!proto->is(TypeId::image)) fire(ErrorCode::script_invalid_arg, spec);
      Cell src = *proto;
      return copy(&src, proto, nullptr, false, nullptr);
    }
    // Copies: the cells are read before anything is allocated.
    Cell items[3];
    for (int32_t i = 0; i < std::min(n, 3); i++) items[i] = s->cells()[spec->head() + i];
    if (!items[0].is(TypeId::pair)) fire(ErrorCode::script_invalid_arg, &items[0]);
    const Cell* rgb = nullptr;
    const Cell* alpha = nullptr;
    const Cell* colour = nullptr;
    if (n > 1) {
      if (items[1].is(TypeId::binary))
        rgb = &items[1];
      else if (items[1].is(TypeId::tuple))
        colour = &items[1];
      else
        fire(ErrorCode::script_invalid_arg, &items[1]);
    }
    if (n > 2) {
      if (!items[2].is(TypeId::binary)) fire(ErrorCode::script_invalid_arg, &items[2]);
      alpha = &items[2];
    }
    w = std::max(0, pair::x(&items[0]));
    h = std::max(0, pair::y(&items[0]));
    record = image_codec::make_bitmap(w, h, rgb, alpha, colour);
    if (colour != nullptr && alpha != nullptr) {
      colour_alpha = true;
      transparency = *alpha;
    }
  } else {
    return to(proto, spec, type);
  }
  // A side beyond 65,535 cannot be made (make_bitmap raised no-memory).
  Cell* result = write_image(proto, record, size_word(static_cast<uint32_t>(w), static_cast<uint32_t>(h)));
  // One colour fills every pixel; transparency bytes given after it still
  // apply, pixel by pixel, as they do after RGB data.
  if (colour_alpha && record != 0) from_binary(result, &transparency, Plane::alpha);
  return result;
}

FaceToImageFn face_to_image = nullptr;

Cell* to(Cell* proto, Cell* spec, TypeId) {
  if (spec->is(TypeId::image)) {
    Cell src = *spec;
    return copy(&src, proto, nullptr, false, nullptr);
  }
  // A face is rendered by the GUI back end.
  if (spec->is(TypeId::object) && face_to_image) {
    Cell face = *spec;
    if (face_to_image(&face, proto)) return proto;
  }
  Cell dt;
  set_datatype(&dt, TypeId::image);
  fire(ErrorCode::script_bad_to_arg, &dt, spec);
}

// --- form and mold

namespace {

// The text of both: "make image! [WxH #{RGB...} #{T...}]" from the head.
int32_t write_text(Cell* img, Cell* buffer, bool only, bool flat, Cell* part, int32_t limit,
                   int32_t level) {
  if (!only) limit = string::emit(buffer, "make image! [", limit);
  limit = string::emit(buffer, std::to_string(width(img)) + "x" + std::to_string(height(img)), limit);
  if (!img->node()) {
    limit = string::emit(buffer, " #{}", limit);
    return only ? limit : string::emit_char(buffer, ']', limit);
  }
  const Node record = img->node();
  const int64_t total = pixel_count(img);
  const int64_t from = head_of(img);
  const int64_t count = total - from;
  const bool long_text = !flat && count * 3 >= 31;
  auto line_break = [&](int32_t lv) {
    limit = string::emit_char(buffer, '\n', limit);
    limit = string::indent(buffer, lv, limit);
  };
  // One plane: each pixel's bytes in hexadecimal, a new line every ten
  // pixels; false when the /part budget ran out.
  auto plane = [&](bool transparency, bool opening_break) {
    limit = string::emit(buffer, " #{", limit);
    if (opening_break) line_break(level);
    bool just_broken = opening_break;
    for (int64_t i = 0; i < count; i++) {
      if (part && limit <= 0) return false;
      // Re-read: the record's bitmap stays, but keep to the node.
      const uint32_t px = image_codec::get_pixel(record, from + i);
      char hex[7];
      int k = 0;
      auto put = [&](uint8_t byte) {
        const string::Hex2 h2 = string::byte_to_hex(byte);
        hex[k++] = h2.chars[0];
        hex[k++] = h2.chars[1];
      };
      if (transparency) {
        put(uint8_t(255 - (px >> 24)));
      } else {
        put(uint8_t(px >> 16));
        put(uint8_t(px >> 8));
        put(uint8_t(px));
      }
      limit = string::emit(buffer, std::string_view(hex, static_cast<size_t>(k)), limit);
      just_broken = false;
      if (!flat && (i + 1) % 10 == 0 && i + 1 < count) {
        line_break(level);
        just_broken = true;
      }
    }
    if (transparency) {
      if (!flat) line_break(level - 1);
    } else if (long_text && !just_broken) {
      line_break(level - 1);
    }
    limit = string::emit_char(buffer, '}', limit);
    return true;
  };
  if (!plane(false, long_text)) return limit;
  const uint32_t* px = image_codec::pixels(record);
  bool any_alpha = false;
  for (int64_t i = from; i < total && !any_alpha; i++) any_alpha = (px[i] >> 24) != 255;
  if (any_alpha && !plane(true, !flat)) return limit;
  return only ? limit : string::emit_char(buffer, ']', limit);
}

}  // namespace

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  return write_text(value, buffer, false, false, part, limit, 0);
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  return write_text(value, buffer, only, flat, part, limit, indent + 1);
}

// --- paths

Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  const Cell* path = step.path ? step.path : element;
  if (element->is(TypeId::integer) || element->is(TypeId::pair)) {
    if (!value) return pick(parent, 0, element);
    return poke(parent, 0, value, element);
  }
  if (element->is(TypeId::word)) {
    if (is_word(element, "size")) {
      if (value) fire(ErrorCode::script_invalid_path, path, element);
      return pair::push(width(parent), height(parent));
    }
    Plane plane;
    if (is_word(element, "argb"))
      plane = Plane::argb;
    else if (is_word(element, "rgb"))
      plane = Plane::rgb;
    else if (is_word(element, "alpha"))
      plane = Plane::alpha;
    else
      fire(ErrorCode::script_invalid_path, path, element);
    if (!value) return to_binary(parent, plane);
    return const_cast<Cell*>(from_binary(parent, value, plane));
  }
  fire(ErrorCode::script_invalid_path, path, element);
}

// --- compare

int32_t compare(Cell* a, Cell* b, CompareOp op) {
  if (!b->is(TypeId::image)) return kNotComparable;
  // (Images without pixels have no record: their sizes tell them apart.)
  const bool same = a->node() == b->node() && a->head() == b->head() && a->data3 == b->data3;
  const int32_t code = static_cast<int32_t>(op);
  if (code == 9) return same ? 0 : -1;
  if ((code == 0 || code == 1 || code == 2) && same) return 0;
  if (code > 2 && code != 7 && code != 8 && code != 12) return kNotComparable;
  const int64_t ca = pixel_count(a), cb = pixel_count(b);
  if (ca != cb) return ca < cb ? -1 : 1;
  // Images without pixels differ by their shapes (5x0 is not 0x0).
  if (ca == 0) {
    if (width(a) != width(b)) return width(a) < width(b) ? -1 : 1;
    if (height(a) != height(b)) return height(a) < height(b) ? -1 : 1;
    return 0;
  }
  // Equal counts: the pixel data byte by byte (all of it: the two shapes may
  // differ), then the widths, so that 2x8 and 8x2 images never compare equal.
  const int r = std::memcmp(pixels_of(a), pixels_of(b), static_cast<size_t>(ca) * 4);
  if (r != 0) return r < 0 ? -1 : 1;
  if (width(a) != width(b)) return width(a) < width(b) ? -1 : 1;
  return 0;
}

// --- series actions (frame form: slot 0 the image, slot 1 the argument)

void at() {
  Cell* img = stack::arguments;
  img->set_head(static_cast<int32_t>(index(img, stack::arguments + 1, true, nullptr)));
}

void skip() {
  Cell* img = stack::arguments;
  img->set_head(static_cast<int32_t>(index(img, stack::arguments + 1, false, nullptr)));
}

void next() {
  Cell* img = stack::arguments;
  const int64_t total = pixel_count(img);
  if (img->head() < total) img->set_head(std::max(0, img->head()) + 1);
}

void tail() {
  Cell* img = stack::arguments;
  img->set_head(static_cast<int32_t>(pixel_count(img)));
}

void tail_q() {
  Cell* img = stack::arguments;
  set_logic(img, img->head() >= pixel_count(img));
}

int32_t length_q(Cell* value) { return static_cast<int32_t>(pixel_count(value)); }

Cell* pick(Cell* value, int32_t, Cell* index_cell) {
  bool out = false;
  const int64_t at = index(value, index_cell, true, &out);
  if (out || at >= pixel_count(value)) return none_cell();
  return pixel_tuple(value, at);
}

Cell* poke(Cell* value, int32_t, Cell* new_value, Cell* index_cell) {
  bool out = false;
  const int64_t at = index(value, index_cell, true, &out);
  if (out || at >= pixel_count(value)) fire(ErrorCode::script_out_of_range, index_cell);
  if (!new_value->is(TypeId::tuple)) fire(ErrorCode::script_invalid_arg, new_value);
  const Cell img = *value;
  const Cell colour = *new_value;
  const bool told = ownership::check(&img, OwnerEvent::poke, &colour, static_cast<int32_t>(at), 1);
  // A handler may have run: the record stays, its pixels do not move.
  image_codec::set_pixel(img.node(), at, pixel_of(&colour));
  if (told) ownership::check(&img, OwnerEvent::poked, &colour, static_cast<int32_t>(at), 1);
  return new_value;
}

// --- change

Cell* change(Cell* series, Cell* value, int32_t part, bool, int32_t dup) {
  if (part != -1 || dup > 1) fire(ErrorCode::internal_not_done);
  const int64_t total = pixel_count(series);
  const int32_t at = head_of(series);
  if (value->is(TypeId::tuple)) {
    if (at >= total) return series;
    const Cell img = *series;
    const Cell colour = *value;
    const bool told = ownership::check(&img, OwnerEvent::change, &colour, at, 1);
    image_codec::set_pixel(img.node(), at, pixel_of(&colour));
    if (told) ownership::check(&img, OwnerEvent::changed, &colour, at, 1);
    series->set_head(at + 1);
    return series;
  }
  if (!value->is(TypeId::image)) invalid_type(value);
  if (at >= total || !value->node()) return series;
  const int64_t w = width(series), h = height(series);
  const int64_t x0 = at % w, y0 = at / w;
  const int64_t sw = width(value), sh = height(value);
  const int64_t rows = std::min(sh, h - y0), cols = std::min(sw, w - x0);
  if (rows <= 0 || cols <= 0) return series;
  // The source is taken whole from its first pixel; a copy first when both
  // share the bitmap, so that rows written do not feed rows still to read.
  const uint32_t* src = image_codec::pixels(value->node());
  std::vector<uint32_t> own;
  if (value->node() == series->node()) {
    own.assign(src, src + sw * sh);
    src = own.data();
  }
  uint32_t* dst = pixels_of(series);
  for (int64_t r = 0; r < rows; r++)
    std::memcpy(dst + (y0 + r) * w + x0, src + r * sw, static_cast<size_t>(cols) * 4);
  image_codec::touch(series->node());
  series->set_head(static_cast<int32_t>((y0 + rows - 1) * w + std::min(x0 + cols, w)));
  const Cell img = *series;
  const Cell pasted = *value;
  ownership::check(&img, OwnerEvent::changed, &pasted, at, static_cast<int32_t>(rows * cols));
  return series;
}

// --- copy

Cell* copy(Cell* value, Cell* result, Cell* part, bool, Cell*) {
  const int64_t w = width(value), h = height(value);
  if (w == 0 || h == 0 || !value->node()) return write_image(result, 0, 0);
  const Node record = value->node();
  const int64_t at = head_of(value);
  const int64_t x = at % w, y = at / w;
  int64_t rx = 0, ry = 0, rw = 0, rh = 0;
  if (!part) {
    if (at == 0) return make_at(result, image_codec::copy(record));
    rx = x;
    ry = y;
    rw = w - x;
    rh = h - y;
  } else if (part->is(TypeId::integer)) {
    fire(ErrorCode::internal_not_done);
  } else if (part->is(TypeId::pair)) {
    const int64_t dx = pair::x(part), dy = pair::y(part);
    if (dx > 0 && dy > 0 && at < w * h) {
      rx = x;
      ry = y;
      rw = std::min(dx, w - x);
      rh = std::min(dy, h - y);
    } else if (dx < 0 && dy < 0 && at > 0) {
      // The rectangle ends at the position: its column (0 counting as the
      // width) and its row are exclusive bounds.
      const int64_t col = x == 0 ? w : x;
      rx = std::max<int64_t>(0, col + dx);
      ry = std::max<int64_t>(0, y + dy);
      rw = col - rx;
      rh = y - ry;
    }
  } else if (part->is(TypeId::image) && part->node() == record) {
    const int64_t other = std::clamp<int64_t>(part->head(), 0, w * h);
    const int64_t first = std::min(at, other), last = std::max(at, other);
    const int64_t x1 = first % w, y1 = first / w;
    const int64_t x2 = last % w, y2 = last / w;
    rx = x1;
    ry = y1;
    // As above, a column of 0 counts as the width.
    rw = (x2 == 0 ? w : x2) - x1;
    rh = y2 - y1;
  } else {
    series::fire_invalid_refine("part", part);
  }
  if (rw < 1 || rh < 1) return write_image(result, 0, 0);
  return make_at(result, image_codec::copy_rect(record, static_cast<int32_t>(rx), static_cast<int32_t>(ry),
                                                 static_cast<int32_t>(rw), static_cast<int32_t>(rh)));
}

// --- registration

namespace {

void mark(const Cell* c) {
  if (!c->node()) return;
  if (collector::mark_series(c->node())) image_codec::mark(c->node());
}

}  // namespace

void register_() {
  static constexpr ActionRow row{
      .make = make,
      .random = unsupported,
      .reflect = unsupported,
      .to = to,
      .form = form,
      .mold = mold,
      .eval_path = eval_path,
      .compare = compare,
      .at = at,
      .change = change,
      .clear = unsupported,
      .copy = copy,
      .length_q = length_q,
      .move = unsupported,
      .next = next,
      .pick = pick,
      .poke = poke,
      .remove = unsupported,
      .reverse = unsupported,
      .skip = skip,
      .tail = tail,
      .tail_q = tail_q,
      .take = unsupported,
  };
  datatype::register_type(TypeId::image, TypeId::series, "image!", row);
  collector::set_type_marker(TypeId::image, mark);
  // The external-resource table's sweep frees the bitmaps of dead records;
  // handle!, registered earlier, installs it with the collector.
  VERIFY(datatype::is_registered(TypeId::handle));
}

}  // namespace qel::image
