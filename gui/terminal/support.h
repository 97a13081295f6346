// Back-end support shared by the renderer, the widget classes, text layout
// and the platform routines: colours from tuples to the xterm 256-colour
// palette, text measured in terminal columns with and without wrapping,
// images turned into half-block character cells, and the para flags and
// font colour of a face.
//
// Colours inside the back end are 32-bit words. One taken from a tuple! has
// R in bits 0-7, G in 8-15, B in 16-23 and the tuple's fourth byte (its
// transparency, 255 fully transparent) in 24-31, 0 for a 3-byte tuple.
// Image pixels have B in bits 0-7, G in 8-15, R in 16-23 and alpha in 24-31
// (255 opaque).
#pragma once

#include <cstdint>

#include "core/cell.h"

namespace qel::gui {

struct Widget;

// --- colours

// The xterm 256-colour palette: R, G, B of each entry.
struct Rgb {
  uint8_t r, g, b;
};
const Rgb& palette_entry(int32_t index);

int32_t tuple_to_color(const Cell* tuple);
// tuple_to_color of a font's `color` when it is a tuple, else 0.
int32_t font_color(const Cell* font);
// The cube level 0-5 of a channel.
int32_t color_level(int32_t channel);
// The nearest cube or grey entry of the palette, marked as a palette cell
// colour; 0 (the default colour) for a fully transparent colour.
uint32_t color_to_256(uint32_t color);
// The cell colour of a tuple (a palette entry, or the default colour for a
// fully transparent one).
uint32_t tuple_cell_colour(const Cell* tuple);

// The colour level the terminal supports, from COLORTERM and TERM: 4 (24-bit)
// when COLORTERM names "24bit" or "truecolor" (any letter case), else 2 (256
// colours) when either holds "256", else 4. Null means unset.
int32_t color_support(const char* colorterm, const char* term);

// --- text

// A read-only view of the characters of a string! from its head.
struct TextView {
  const uint8_t* data = nullptr;
  uint32_t unit = 1;
  int32_t length = 0;
  uint32_t at(int32_t i) const;
};
TextView text_view(const Cell* str);

int32_t char_width(uint32_t cp);

// Width (widest line) of a text in columns, up to `limit` columns on a line;
// `count` gets the characters that fit, `lines` the lines seen.
int32_t measure_text(const TextView& text, int32_t limit, int32_t* count, int32_t* lines);
// Width and lines of a text wrapped at `limit` columns (0: no limit).
void measure_wrapped(const TextView& text, int32_t limit, int32_t* width, int32_t* lines);
// Width (widest line) and line count of a string, without limit.
struct TextSize {
  int32_t width = 0, lines = 0;
};
TextSize get_text_size(const Cell* str);

// --- faces

// Para flags of a face's `para`: align left 0, right 1, center 2; v-align
// middle 4, bottom 8; wrap? 32.
namespace para_flag {
inline constexpr uint32_t right = 0x1;
inline constexpr uint32_t center = 0x2;
inline constexpr uint32_t middle = 0x4;
inline constexpr uint32_t bottom = 0x8;
inline constexpr uint32_t wrap = 0x20;
}  // namespace para_flag
uint32_t get_para_flags(const Cell* face);
// Same, from a para object itself.
uint32_t para_object_flags(const Cell* para);

// A field of an object (a face, a font, a para), or null.
Cell* face_field(const Cell* face, const char* name);

// Turns a pair! cell into a point2D! cell in place.
void pair_to_point2d(Cell* cell);

// Rebuilds a widget's image cells from an image!: the image scaled to the
// widget's columns x twice its rows, two pixels a cell as a lower half block
// (upper pixel the background, lower the foreground); a cell whose upper
// pixel is fully transparent is a blank.
void image_to_cells(Widget* w, const Cell* image);

}  // namespace qel::gui
