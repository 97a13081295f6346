// The draw dialect's executor for the text screen. A face's `draw` block
// (and `draw` on an image) is a block of drawing commands; the executor
// walks it, checks every command's arguments and hands each command to an
// operation. Only a few paint: `line`, `box`, `triangle`, `circle` and
// `ellipse` become cells of the screen grid made of the full block
// character U+2588 (outlines, in the pen colour) and of spaces on the fill
// colour (fills); `text` goes through the text drawer. Every other command
// is checked and ignored, so any valid draw block runs.
//
// All coordinates are relative to the face: the face's cell position is
// added and everything stays inside the face's clip. Sizes are bounded by
// the clip, so a huge line, box, circle or ellipse costs no more than one
// the size of the face.
//
// Bad blocks raise script `draw-invalid` at the offending position, and a
// block that contains itself `draw-infinite`; when `system/view/silent?` is
// true the draw stops there quietly instead. The executor never evaluates
// Qel code.
#pragma once

#include <cstdint>
#include <span>

#include "gui/terminal/render.h"
#include "library/routines.h"

namespace qel::gui {

// Ellipses with radii up to this many cells are walked point by point (the
// midpoint method); larger ones are drawn row by row over the clip.
inline constexpr int64_t kWalkRadius = 65536;

// The value itself when it is a tuple, or the value of a word that holds
// one; otherwise null.
const Cell* tuple_of(const Cell* v);

// Runs a draw block for a face: the drawing state starts with the pen on in
// the terminal's default colour, filling off and no font colour.
void run_draw(DrawContext& context, const Cell* block);

// Runs a draw block for an image: the commands are checked and nothing is
// painted (the text screen cannot paint pixels). A silenced error ends the
// run normally.
void do_draw_on_image(const Cell* block);

// Makes render-face run `draw` blocks through this executor.
void init_draw();

// The `gui/...` routines of the draw executor and the rich text module.
std::span<const library::RoutineDef> draw_routines();

}  // namespace qel::gui
