// The text-mode widget classes. `make_widget_class` gives a new widget the
// class operations of its face's type: build (rebuild the UI text), render
// (draw at an absolute cell position) and handle-event (the built-in
// reaction to an event, run before the face's actors see it), with the
// class data the class keeps. Types without a class keep the defaults of
// the screen (render the face with escapes on, build nothing, handle
// nothing): `area`, `text`, `toggle`, `panel` and the others.
//
// The classes:
//   window     draws nothing; its data is the window record (screen.h).
//   field      a one-row editor with a caret; keys insert, delete and move.
//   button     reversed while focused; space clicks it.
//   base       plain, or a caret host placing the caret for a named face.
//   progress   "[####    ]" made by TUI-helpers/make-progress-ui.
//   group-box  a box-drawing border with the text as its title.
//   check      a ballot box and the text, by TUI-helpers/make-checkbox-ui.
//   radio      a circle and the text, by TUI-helpers/make-radio-ui.
//   text-list  one row an item, the selection reversed, by
//              TUI-helpers/make-text-list-ui; up, down and clicks select.
//   rich-text  a styled cell run, built by the rich-text layout's builder.
//
// The widget texts come from the Qel object `TUI-helpers` (gui/
// requesters.qel), whose renderers are called with the face as their one
// argument. Three of its fields are the routines served here through
// `_boot-value`: `focused?`, `widget-data` and `set-face-ui`. While
// make-view runs the face's state does not name its widget yet; those
// routines then find the widget whose text is being made.
//
// A handler runs before the face's actors for mouse events and after them
// for keys; it sends `select` (25) and `change` (26) through the event
// loop's `send_widget_value`. A field edited from the keyboard sends
// `change` after each edit, so its `data` follows its text; its caret past
// the end of a text changed from the language goes back to its end. A
// click below a text list's last item selects nothing, and a list whose
// data shrank under its scrolled rows returns to its last page. Handlers
// that run Qel code keep the face on the argument stack and check
// afterwards that the face still has the widget (an actor may have closed
// the window).
#pragma once

#include <cstdint>
#include <string_view>

#include "gui/terminal/screen.h"

namespace qel::gui {

// Event kinds the widget classes send besides the event loop's own
// (events.h): a text list's new selection, and a changed value.
namespace widget_event {
inline constexpr int32_t select = 25;
inline constexpr int32_t change = 26;
}  // namespace widget_event

// Key codes of the special keys the classes read (a key event's code).
namespace key_code {
inline constexpr int32_t up = -20;
inline constexpr int32_t down = -21;
inline constexpr int32_t right = -22;
inline constexpr int32_t left = -23;
}  // namespace key_code

// The class data of a field: the caret as characters and columns before
// it, and the display columns of the whole text.
struct FieldState : WidgetData {
  int32_t caret_index = 0;
  int32_t caret_column = 0;
  int32_t text_width = 0;
};

// Gives a widget the class of its type word (its type, flags, box and face
// are filled): the operations, the class data, and one run of the build
// operation when the class has one. Called by the platform's make-view
// before the creation steps of the screen (on_widget_created).
void make_widget_class(Widget* w);

// The rich-text class's build operation, which fills the widget's styled
// cell run; set by the rich-text layout. Null: a rich-text face draws its
// plain text.
extern BuildFn build_rich_text;

// `_boot-value` names served here: `focused?`, `widget-data` and
// `set-face-ui`, each a routine! over a face's widget. Leaves it in the
// result slot and answers true; false for any other name.
bool widget_boot_value(std::string_view name);

}  // namespace qel::gui
