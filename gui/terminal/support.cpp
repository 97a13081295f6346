// Back-end support: the palette and colour conversions, text measure,
// image cells and the para flags (see support.h).
#include "gui/terminal/support.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstring>
#include <string_view>

#include "datatypes/image.h"
#include "datatypes/pair.h"
#include "datatypes/tuple.h"
#include "gui/terminal/screen.h"
#include "text/char_width.h"
#include "services/image_codec.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel::gui {

namespace {

constexpr std::array<Rgb, 256> make_palette() {
  std::array<Rgb, 256> p{};
  constexpr Rgb system[16] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                              {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
                              {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                              {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
  for (int i = 0; i < 16; i++) p[i] = system[i];
  constexpr uint8_t levels[6] = {0, 95, 135, 175, 215, 255};
  for (int r = 0; r < 6; r++)
    for (int g = 0; g < 6; g++)
      for (int b = 0; b < 6; b++) p[16 + 36 * r + 6 * g + b] = Rgb{levels[r], levels[g], levels[b]};
  for (int i = 0; i < 24; i++) {
    auto v = static_cast<uint8_t>(8 + 10 * i);
    p[232 + i] = Rgb{v, v, v};
  }
  return p;
}

constexpr std::array<Rgb, 256> kPalette = make_palette();

int32_t distance(int32_t r, int32_t g, int32_t b, const Rgb& e) {
  int32_t dr = r - e.r, dg = g - e.g, db = b - e.b;
  return dr * dr + dg * dg + db * db;
}

bool contains_nocase(const char* text, std::string_view what) {
  if (!text) return false;
  std::string_view t(text);
  if (what.size() > t.size()) return false;
  for (size_t i = 0; i + what.size() <= t.size(); i++) {
    size_t k = 0;
    while (k < what.size() &&
           std::tolower(static_cast<unsigned char>(t[i + k])) == std::tolower(static_cast<unsigned char>(what[k])))
      k++;
    if (k == what.size()) return true;
  }
  return false;
}

bool word_is(const Cell* c, const char* name) {
  return is_any_word(c->type()) &&
         symbol::resolve(c->symbol()) == symbol::resolve(symbol::make(name));
}

}  // namespace

// --- colours

const Rgb& palette_entry(int32_t index) { return kPalette[static_cast<size_t>(index & 0xFF)]; }

int32_t tuple_to_color(const Cell* t) {
  const uint8_t* b = tuple::bytes(t);
  uint32_t c = b[0] | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16);
  if (tuple::length(t) > 3) c |= uint32_t{b[3]} << 24;
  return static_cast<int32_t>(c);
}

int32_t font_color(const Cell* font) {
  const Cell* c = face_field(font, "color");
  return c && c->is(TypeId::tuple) ? tuple_to_color(c) : 0;
}

int32_t color_level(int32_t channel) {
  if (channel < 48) return 0;
  if (channel <= 114) return 1;
  return (channel - 35) / 40;
}

uint32_t color_to_256(uint32_t color) {
  if ((color >> 24) == 255) return 0;
  int32_t r = static_cast<int32_t>(color & 0xFF);
  int32_t g = static_cast<int32_t>((color >> 8) & 0xFF);
  int32_t b = static_cast<int32_t>((color >> 16) & 0xFF);
  int32_t cube = 16 + 36 * color_level(r) + 6 * color_level(g) + color_level(b);
  int32_t average = (r + g + b) / 3;
  int32_t grey = 232 + (average > 238 ? 23 : (average - 3) / 10);
  int32_t best = distance(r, g, b, kPalette[static_cast<size_t>(cube)]) <
                         distance(r, g, b, kPalette[static_cast<size_t>(grey)])
                     ? cube
                     : grey;
  return colour::palette(static_cast<uint32_t>(best));
}

uint32_t tuple_cell_colour(const Cell* t) { return color_to_256(static_cast<uint32_t>(tuple_to_color(t))); }

int32_t color_support(const char* colorterm, const char* term) {
  if (contains_nocase(colorterm, "24bit") || contains_nocase(colorterm, "truecolor")) return 4;
  if (contains_nocase(colorterm, "256") || contains_nocase(term, "256")) return 2;
  return 4;
}

// --- text

uint32_t TextView::at(int32_t i) const { return string::get_char(data + (static_cast<size_t>(i) * unit), unit); }

TextView text_view(const Cell* str) {
  TextView v;
  if (!is_any_string(str->type()) || !str->node()) return v;
  SeriesBuffer* s = string::buffer(str);
  int32_t total = string::buffer_length(s);
  int32_t head = std::clamp(str->head(), 0, total);
  v.unit = s->unit();
  v.data = string::char_at(s, head);
  v.length = total - head;
  return v;
}

int32_t char_width(uint32_t cp) { return char_width::get(cp); }

int32_t measure_text(const TextView& text, int32_t limit, int32_t* count, int32_t* lines) {
  int32_t width = 0, widest = 0, n_lines = 1, n = 0, last = 0;
  for (int32_t i = 0; i < text.length && width < limit; i++) {
    uint32_t c = text.at(i);
    if (c == '\n') {
      n_lines++;
      widest = std::max(widest, width);
      width = 0;
      last = 0;
    } else {
      last = char_width(c);
      width += last;
    }
    n++;
  }
  widest = std::max(widest, width);
  // The last character did not fit (a limit below 0 has no character to
  // take back: the count was -1).
  if (widest > limit && n > 0) {
    widest -= last;
    n--;
  }
  if (count) *count = n;
  if (lines) *lines = n_lines;
  return widest;
}

void measure_wrapped(const TextView& text, int32_t limit, int32_t* out_width, int32_t* out_lines) {
  if (limit == 0) limit = INT32_MAX;
  int32_t lines = 1, width = 0, widest = 0;
  int32_t i = 0;
  while (i < text.length) {
    uint32_t c = text.at(i);
    if (c == '\n') {
      lines++;
      widest = std::max(widest, width);
      width = 0;
      i++;
      continue;
    }
    int32_t w = char_width(c);
    width += w;
    if (width > limit) {
      lines++;
      width -= w;
      widest = std::max(widest, width);
      if (width <= 0) break;  // one character wider than the limit
      width = 0;
      continue;  // the same character starts the new line
    }
    i++;
  }
  widest = std::max(widest, width);
  *out_width = widest;
  *out_lines = lines;
}

TextSize get_text_size(const Cell* str) {
  TextSize size;
  size.width = measure_text(text_view(str), INT32_MAX, nullptr, &size.lines);
  return size;
}

// --- faces

Cell* face_field(const Cell* face, const char* name) {
  if (!face || !object::is_object_like(face->type())) return nullptr;
  return object::field(face, name);
}

uint32_t para_object_flags(const Cell* para) {
  uint32_t flags = 0;
  if (const Cell* a = face_field(para, "align")) {
    if (word_is(a, "center")) flags |= para_flag::center;
    else if (word_is(a, "right")) flags |= para_flag::right;
  }
  if (const Cell* v = face_field(para, "v-align")) {
    if (word_is(v, "middle")) flags |= para_flag::middle;
    else if (word_is(v, "bottom")) flags |= para_flag::bottom;
  }
  if (const Cell* w = face_field(para, "wrap?"); w && w->is(TypeId::logic) && w->logic())
    flags |= para_flag::wrap;
  return flags;
}

uint32_t get_para_flags(const Cell* face) {
  const Cell* para = face_field(face, "para");
  return para && para->is(TypeId::object) ? para_object_flags(para) : 0;
}

void pair_to_point2d(Cell* cell) {
  if (cell->is(TypeId::pair)) pair::promote(cell);
}

void image_to_cells(Widget* w, const Cell* img) {
  w->image_cells.clear();
  w->image_cells.shrink_to_fit();
  w->image_cells_columns = 0;
  CellSize size = widget_size(w);
  if (!img->is(TypeId::image) || image::pixel_count(img) == 0 || size.width <= 0 || size.height <= 0)
    return;
  if (!image_codec::size_allowed(static_cast<uint64_t>(size.width), 2 * static_cast<uint64_t>(size.height)))
    return;
  // The scaled copy is a record like any other: the collector frees it once
  // nothing refers to it.
  Node scaled = image_codec::resize(img->node(), size.width, 2 * size.height);
  const uint32_t* px = image_codec::pixels(scaled);
  if (!px) return;
  bool true_colour = screen().colour_mode == 4;
  // A pixel as a cell colour. Alpha plays no part once the upper pixel is
  // shown: only the colour's 24 bits are mapped.
  auto cell_colour = [true_colour](uint32_t p) -> uint32_t {
    if (true_colour) return colour::kTrue | (p & 0xFFFFFF);
    uint32_t tuple_order = ((p >> 16) & 0xFF) | (p & 0xFF00) | ((p & 0xFF) << 16);
    return color_to_256(tuple_order);
  };
  w->image_cells.resize(static_cast<size_t>(size.width) * static_cast<size_t>(size.height));
  w->image_cells_columns = size.width;
  for (int32_t r = 0; r < size.height; r++) {
    const uint32_t* upper = px + static_cast<size_t>(2 * r) * static_cast<size_t>(size.width);
    const uint32_t* lower = upper + size.width;
    for (int32_t c = 0; c < size.width; c++) {
      ScreenCell& cell = w->image_cells[static_cast<size_t>(r) * static_cast<size_t>(size.width) + static_cast<size_t>(c)];
      if ((upper[c] >> 24) == 0) {
        cell = ScreenCell{32, 0, 0, 0};
      } else {
        cell = ScreenCell{0x2584, cell_colour(upper[c]), cell_colour(lower[c]), 0};
      }
    }
  }
}

}  // namespace qel::gui
