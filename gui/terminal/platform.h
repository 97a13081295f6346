// The text-mode back end's platform routines: what the GUI layer written in
// Qel calls through `system/view/platform`, and the view management behind
// them. A face becomes a widget record (screen.h) when it is first shown
// (`make-view`), its facet changes reach the record through `update-view`
// and `on-change-facet`, and `destroy-view` frees the records of a face
// tree. Face flags become widget flags, `rate` facets become timers of the
// event loop, and `gui-init` starts the back end at every launch.
//
// Without a terminal (standard input or output not a terminal, as in the
// golden tests) views are still made and kept in the screen's records, and
// the blocking event loop returns at once instead of waiting for input that
// cannot come; nothing is written. `gui/screen-text` renders the active
// window into the screen grid and answers it as text, terminal or not.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "gui/terminal/screen.h"
#include "core/cell.h"

namespace qel::gui {

// Face flag bits, from the words of a face's `flags` facet.
namespace face_flag {
inline constexpr uint32_t all_over = 0x1;
inline constexpr uint32_t focusable = 0x2;
inline constexpr uint32_t tri_state = 0x20000;
inline constexpr uint32_t scrollable = 0x40000;
inline constexpr uint32_t password = 0x80000;
inline constexpr uint32_t no_sync = 0x100000;
inline constexpr uint32_t fullscreen = 0x200000;
inline constexpr uint32_t popup = 0x1000000;
inline constexpr uint32_t modal = 0x2000000;
inline constexpr uint32_t resize = 0x4000000;
inline constexpr uint32_t no_buttons = 0x8000000;
inline constexpr uint32_t no_max = 0x10000000;
inline constexpr uint32_t no_min = 0x20000000;
inline constexpr uint32_t no_title = 0x40000000;
inline constexpr uint32_t no_border = 0x80000000;
}  // namespace face_flag

// Change bits of a face's state block: 1 shifted by the facet's position.
namespace change_bit {
inline constexpr int32_t offset = 0x2;
inline constexpr int32_t size = 0x4;
inline constexpr int32_t image = 0x10;
inline constexpr int32_t data = 0x80;
inline constexpr int32_t enabled = 0x100;
inline constexpr int32_t visible = 0x200;
inline constexpr int32_t selected = 0x400;
inline constexpr int32_t flags = 0x800;
inline constexpr int32_t rate = 0x10000;
inline constexpr int32_t para = 0x40000;
}  // namespace change_bit

// The bits of a flags facet: a word gives its bit, a block the union of
// its words' bits, anything else 0. A word outside the table raises script
// `invalid-arg` with the word.
uint32_t get_flags(const Cell* flags);

// The first value of a face's `state` block (null when it has none), as
// it is.
const Cell* get_face_handle(const Cell* face);
// The widget a handle! names (class window, a live widget record), or null.
Widget* handle_widget(const Cell* handle);

// Makes the widget of a face under a parent widget (null: a window or a
// face without a parent view) and answers it.
Widget* os_make_view(Cell* face, Widget* parent);
// Pushes the changes recorded in the face's state block to its widget and
// clears them.
void os_update_view(Cell* face);
// A deep change of a facet (the arguments of `on-change-facet`).
void os_update_facet(Cell* owner, const Cell* word, const Cell* value, const Cell* action, int32_t index,
                     int32_t part);
// Frees the widgets of a face tree; `empty` (a window a blocking event loop
// runs for) ends the innermost loop.
void os_destroy_view(Cell* face, bool empty);
void os_show_window(Widget* w);
void os_redraw(Widget* w);
void os_refresh_window(Widget* w);

// The timer interval of a `rate` value in milliseconds: an integer above 0
// is a frequency, a time above 0 a period. Anything else raises script
// `invalid-facet-type` with the value.
int32_t rate_interval(const Cell* rate);
// Gives a widget the timer of a rate (none: takes its timer away).
void set_rate(Widget* w, const Cell* rate);

// A font's back-end handle is dropped for the change kinds that alter its
// look; a para change marks the face's para bit.
void update_font(Cell* font, int32_t kind);
void update_para(Cell* face);

// The back end's start (run by system/view/platform/init): the platform's
// version facts, the colour level, the screen's records.
void init_backend();

// Renders the active window into the grid, terminal or not, and answers
// its rows as text: blanks at the ends of rows dropped, rows joined by line
// feeds (empty when no window is open).
std::string screen_text();

// `_boot-value` names served here (the routines of system/view/platform
// but the event loop's two, which the loop serves, and `gui-init`): leaves
// the routine in the result slot and answers true; false for any other
// name.
bool platform_boot_value(std::string_view name);

// The routine behind `gui/screen-text`.
void r_screen_text();

}  // namespace qel::gui
