// Face rendering: `render_face` draws one face into the screen grid. It
// clips the face's box (to its parent's box, one level, and to the grid),
// fills it with the background colour, lays down the face's image cells,
// its UI text and its text (or its hint, dimmed), and runs its `draw` block
// through the draw executor. The text drawer places characters cell by cell
// with their display widths, wraps or cuts lines, skips what lies outside
// the clip, and, when asked, interprets the SGR sequences in the text.
#pragma once

#include <cstdint>

#include "gui/terminal/screen.h"
#include "gui/terminal/support.h"

namespace qel::gui {

// Render flags (the low bits are cell attributes OR-ed into every text cell).
namespace render_flag {
inline constexpr uint32_t dim = 0x4;         // the hint text
inline constexpr uint32_t reverse = 0x8;     // a focused button
inline constexpr uint32_t masked = 0x800;    // every text cell prints as "*"
inline constexpr uint32_t escapes = 0x1000;  // interpret escape sequences in the text
inline constexpr uint32_t no_text = 0x2000;  // only background, image cells and UI text
inline constexpr uint32_t kAttributes = 0xFFF;
}  // namespace render_flag

// The style of one text drawing.
struct TextStyle {
  uint32_t attributes = 0;  // render flags
  uint32_t para = 0;        // para flags
  uint32_t foreground = 0;
  uint32_t background = 0;
  const std::vector<ScreenCell>* run = nullptr;  // drawn instead of a text when set
};

// A rectangle of grid cells; right and bottom exclusive.
struct ClipRect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// The cells a widget at (x, y) may draw in: its box cut to its parent's box
// (one level, a window's excepted) and to the grid.
ClipRect widget_clip(int32_t x, int32_t y, const Widget* w);

void render_face(int32_t x, int32_t y, Widget* w, uint32_t flags);
// The default render operation of a widget: render_face with escapes on.
void render_default(int32_t x, int32_t y, Widget* w);

// Draws a text (or, with an empty view, the style's cell run) with its
// first character at (x, y).
void draw_text(const TextView* text, int32_t x, int32_t y, const ClipRect& clip, TextStyle& style);

// At an ESC at position i: the characters of the escape sequence it starts,
// applied to the style; 0 when it starts none.
int32_t parse_escape(const TextView& text, int32_t i, TextStyle& style);
// One SGR code applied to a style.
void apply_sgr(TextStyle& style, int32_t code);

// Offsets of a text aligned in a box by para flags.
struct Offset {
  int32_t x = 0, y = 0;
};
Offset align_text(const Cell* text, int32_t width, int32_t height, uint32_t para);

// What the draw executor needs to draw a face's `draw` block.
struct DrawContext {
  Widget* widget = nullptr;
  uint32_t flags = 0;
  int32_t x = 0, y = 0;
  ClipRect clip;
};
// The draw executor, set when it is there; null: `draw` blocks draw nothing.
using DrawBlockFn = void (*)(DrawContext& context, const Cell* block);
extern DrawBlockFn run_draw_block;

}  // namespace qel::gui
