// Rich text on the text screen: a `rich-text` face keeps its characters in
// `text` and its styling in `data`, a flat style list of ranges (`start x
// length`) each followed by style items (colours, `backdrop` colours,
// `bold` `italic` `underline` `strike`, font names and sizes). The back end
// turns the two into a styled cell run, one screen cell per character, that
// render-face draws instead of the plain text.
//
// The same module answers the text-box metrics behind `size-text`,
// `caret-to-offset`, `offset-to-caret`, `offset-to-char` and the rich-text
// measuring words, by laying the face's text out in cells: a "\n" ends a
// line, and a line also ends where its next character would pass the
// face's width.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "gui/terminal/screen.h"
#include "gui/terminal/support.h"

namespace qel::gui {

// Applies a style list to a run of cells made from `text` (one cell per
// character). A range is cut at the text's end and never touches a cell
// outside the run. Raises script `draw-invalid` at a value the list does
// not allow (a block, an unknown word, `backdrop` without a colour).
void apply_style_block(std::vector<ScreenCell>& run, const Cell* data, int32_t text_length);

// The styled run of a face: null unless its `text` is a non-empty string
// and its `data` a block. Each cell holds its character, the background of
// the face's `color` (when that is a tuple not fully transparent) and the
// styles of the list.
std::unique_ptr<CellRun> make_styled_run(const Cell* face);

// Rebuilds a rich-text widget's styled run (its class data) from its face;
// a face without a run leaves the widget without one, so the plain text is
// drawn. Matches BuildFn, so a widget class can use it as its build
// operation; answers 0.
int32_t build_styled_text(Widget* w);

// Text-box metrics request codes.
namespace metrics {
inline constexpr int32_t caret_to_offset = 0;
inline constexpr int32_t offset_to_caret = 1;
inline constexpr int32_t line_height = 2;
inline constexpr int32_t size = 3;
inline constexpr int32_t line_count = 4;
inline constexpr int32_t offset_to_char = 5;
inline constexpr int32_t caret_to_offset_lower = 6;
}  // namespace metrics

// One line of a text laid out in cells: its characters [start, end) (the
// "\n" that ends it is not counted) and its width in columns.
struct TextLine {
  int32_t start = 0, end = 0, width = 0;
};
// Lays a text out within `width` columns (negative: unlimited). A line
// holds at least one character, so a character wider than the limit gets
// a line of its own. There is always at least one line.
std::vector<TextLine> layout_lines(const TextView& text, int32_t width);

// The answer to a text-box metrics request on a face (its `text` must be a
// string, else none): see the codes above. `arg` is the character index
// (1-based) for codes 0 and 6, the point (column, row) for codes 1 and 5.
// A code outside the table answers none; an argument of the wrong type
// raises script `invalid-arg`.
void text_box_metrics(const Cell* face, const Cell* arg, int32_t type, Cell* out);

}  // namespace qel::gui
