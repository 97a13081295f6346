// The text-mode back end's screen: the widget records it keeps for faces,
// the window records and the focus, the grid of character cells every
// window is drawn into, and the flush that writes the grid to the terminal
// as UTF-8 text with SGR sequences, each only where the style changes.
//
// A window is shown in one of two ways. Full-screen (a window face with the
// `fullscreen` flag): the alternate screen, drawn from the home position.
// Inline: in the normal screen from the cursor's row down, redrawn in place
// by moving the cursor up over the previous drawing; printed text erases the
// drawing first (the print hooks, gui/terminal/tty.h) and the next pass
// draws it again below the text.
//
// Widgets are plain C++ records (not series memory); a face reaches its
// widget through the handle! in the first item of its `state` block, whose
// value is the widget's record in the external-resource table. The
// collector mark registered here keeps every live widget's face and UI text
// alive. Everything runs on the interpreter's one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/cell.h"
#include "values/symbol.h"

namespace qel::gui {

// --- cells

// Attribute bits of a screen cell.
namespace attr {
inline constexpr uint32_t blink = 0x1;
inline constexpr uint32_t bold = 0x2;
inline constexpr uint32_t dim = 0x4;
inline constexpr uint32_t reverse = 0x8;
inline constexpr uint32_t underline = 0x10;
inline constexpr uint32_t strike = 0x40;
inline constexpr uint32_t italic = 0x100;
inline constexpr uint32_t hidden = 0x200;
inline constexpr uint32_t continuation = 0x400;  // second and later columns of a wide character
inline constexpr uint32_t masked = 0x800;        // written as "*"
}  // namespace attr

// A cell colour: the kind in the top byte, the value in the low 24 bits.
// Kind 0 is the terminal's default colour, kind 1 one of the 18 basic slots
// (0-7 normal, 8 writes "0", 9 default, 10-17 bright), kind 2 an index of the
// 256-colour palette, kind 4 a 24-bit colour (red in bits 16-23).
namespace colour {
inline constexpr uint32_t kDefault = 0;
inline constexpr uint32_t kBasic = 0x1000000;
inline constexpr uint32_t kPalette = 0x2000000;
inline constexpr uint32_t kTrue = 0x4000000;
inline constexpr uint32_t kind(uint32_t c) { return c >> 24; }
inline constexpr uint32_t basic(uint32_t slot) { return kBasic | slot; }
inline constexpr uint32_t palette(uint32_t index) { return kPalette | (index & 0xFF); }
}  // namespace colour

// One character cell of the grid (and of the pre-styled cell runs).
struct ScreenCell {
  uint32_t code_point = 0;  // 0 is written as a space
  uint32_t background = 0;
  uint32_t foreground = 0;
  uint32_t attributes = 0;
};

// --- widgets

// Widget flag bits.
namespace widget_flag {
inline constexpr uint32_t size_is_pair = 0x10000;
inline constexpr uint32_t hidden = 0x20000;
inline constexpr uint32_t disabled = 0x40000;
inline constexpr uint32_t all_over = 0x100000;
inline constexpr uint32_t caret_owner = 0x200000;
inline constexpr uint32_t focusable = 0x400000;
inline constexpr uint32_t away = 0x1000000;
inline constexpr uint32_t focused = 0x2000000;
inline constexpr uint32_t password = 0x10000000;
inline constexpr uint32_t full_screen = 0x40000000;
inline constexpr uint32_t caret_host = 0x80000000;
}  // namespace widget_flag

// Event kinds the screen sends.
namespace event_kind {
inline constexpr int32_t focus = 17;
inline constexpr int32_t unfocus = 18;
inline constexpr int32_t resize = 30;
}  // namespace event_kind

struct Widget;

// The native message of one event: valid only while the event is handled.
struct GuiMessage {
  Widget* widget = nullptr;
  float x = 0;  // pointer column relative to the widget (resize: the new columns)
  float y = 0;  // pointer row (resize: the new rows)
  int32_t code = 0;
  float amount = 0;
};

// Class data of a widget; each widget class derives its own.
struct WidgetData {
  virtual ~WidgetData() = default;
};

// The class data of a window widget.
struct WindowRecord : WidgetData {
  // Content bounds, grown to cover every widget created in the window.
  float left = 0, top = 0, right = 0, bottom = 0;
  Widget* window = nullptr;
  Widget* last_focused = nullptr;
  int32_t caret_owners = 0;
};

// A pre-styled run of cells drawn instead of a text (a rich-text face's
// styled text); a cell whose code point is 10 ends a line.
struct CellRun : WidgetData {
  std::vector<ScreenCell> cells;
};

using BuildFn = int32_t (*)(Widget* w);
using RenderFn = void (*)(int32_t x, int32_t y, Widget* w);
using HandleEventFn = int32_t (*)(int32_t kind, GuiMessage* message);

// The back end's record of a face.
struct Widget {
  SymbolId type = 0;  // resolved symbol of the face's type word
  uint32_t flags = 0;
  // Box in the parent's coordinates: offset, and offset + size.
  float left = 0, top = 0, right = 0, bottom = 0;
  Widget* parent = nullptr;
  // Cells made from the face's image (image_cells_columns a row), drawn
  // under the text.
  std::vector<ScreenCell> image_cells;
  int32_t image_cells_columns = 0;
  Cell ui{};  // UI text (a string!) built by the widget texts, or none
  std::unique_ptr<WidgetData> data;
  int32_t data_word = 0;  // a class's plain data word (a text list's first row)
  BuildFn build = nullptr;
  RenderFn render = nullptr;
  HandleEventFn handle_event = nullptr;
  Cell face{};  // the face object (none when the widget has no face)
  int32_t handle = -1;  // the widget's record in the external-resource table

  bool has(uint32_t flag) const { return (flags & flag) != 0; }
  bool has_face() const { return face.is(TypeId::object); }
};

// Size and absolute offset of a widget in whole cells.
struct CellSize {
  int32_t width = 0, height = 0;
};
CellSize widget_size(const Widget* w);
// Sums of left and top over the widget and its ancestors, stopping before
// the window widget.
CellSize absolute_offset(const Widget* w);

// A zero-filled widget under `parent` with the default operations (build
// nothing, render-face with escapes on, handle nothing), registered in the
// external-resource table. The caller fills type, flags, box and face.
Widget* make_widget(Widget* parent);
// Frees a widget: a window's record leaves the window list; its class data
// and cells go with it, and its face's `state` becomes none so that no
// handle names the freed record.
void free_widget(Widget* w);
// Frees a widget and, depth first, the widgets of the faces in its pane.
void free_widget_tree(Widget* w);

// Whether a widget record is alive (made and not freed since).
bool widget_alive(const Widget* w);

// The widget of a face (the handle! first in its `state` block), or null.
Widget* face_widget(const Cell* face);
// A handle! value for a widget (class window).
void make_widget_handle(Cell* out, const Widget* w);
// The window widget a widget belongs to.
Widget* window_of(Widget* w);
// The enclosing window's record, or null.
WindowRecord* window_record_of(Widget* w);

// The topmost visible child under (x, y) in the widget's coordinates: the
// faces of its pane from last to first; null when none holds the point.
Widget* find_child_at(Widget* w, float x, float y);

// What creation does after the class builder ran: grows the window's
// content bounds, counts a caret owner, gives a focusable widget the focus
// when its window has none yet.
void on_widget_created(Widget* w);
// The window class: records the full-screen request, becomes the current
// window (and the focus when nothing has it) and gets a window record
// appended to the window list; it draws nothing.
void make_window_class(Widget* w);

// Moves the focus to a widget of a window: the old widget loses the focus
// flag and gets `unfocus`, the new one gains it and gets `focus`.
void set_focus_widget(WindowRecord* record, Widget* w);
// Makes a window the active one and gives the focus back to its last
// focused widget (else the window); hides the cursor when it has no caret
// owner and the terminal is in view mode.
void activate_window(WindowRecord* record);
// Asks for a redraw when the widget (null: the focused one) is in the
// active window.
void invalidate(Widget* w);

// Sends an event to a widget: its own handle-event operation, then the
// language when it has a face. A disabled widget gets nothing (false).
bool send_widget_event(int32_t kind, Widget* w, uint32_t flags);

// The language's side of an event (system/view/awake), set by the event
// loop; true when the event was handled (`done`). Null: not dispatched.
using DispatchFn = bool (*)(int32_t kind, GuiMessage* message, uint32_t flags);
extern DispatchFn dispatch_event;

// --- the screen and its state

struct ScreenState {
  std::vector<ScreenCell> grid;
  int32_t width = 0, height = 0;                 // the grid's size now
  int32_t capacity_width = 0, capacity_height = 0;  // what the cell array holds
  std::string out;  // the bytes of one refresh
  std::vector<WindowRecord*> windows;  // in creation order
  WindowRecord* active = nullptr;
  Widget* current_window = nullptr;
  Widget* focused = nullptr;
  // Counts the language's focus requests (a window's `selected` set), the
  // ones naming the focused widget too: a click takes the focus only when
  // its actor asked for none.
  uint32_t focus_requests = 0;
  // The pointer routing's state (the input translation keeps it here so
  // that a reset clears it).
  std::vector<Widget*> pressed;
  Widget* hovered = nullptr;
  Widget* captured = nullptr;
  bool redraw = false;
  int32_t lines_to_rewind = 0;
  int32_t caret_column = 0, caret_row = 0;
  int32_t origin_column = 0, origin_row = 0;  // the inline drawing on the terminal
  bool drawn = false;
  bool full_screen_requested = false;
  bool alternate_screen = false;
  // 4: true colour for image cells; 2: the 256-colour palette.
  int32_t colour_mode = 4;
};
ScreenState& screen();

// Sizes the grid to a window's box, cut to the terminal, and renders the
// window's widget tree into it.
void render_window(WindowRecord* record);
// Renders the active window and writes it when a redraw was asked for.
void refresh_screen();
// Writes the grid: the whole output of one refresh in one write.
void write_grid();
// Appends the SGR sequences that change one style into another.
void append_style_change(std::string& out, const ScreenCell& from, const ScreenCell& to);
// Fills a rectangle of the grid with spaces of a background colour.
void fill_rect(int32_t left, int32_t top, int32_t width, int32_t height, uint32_t background);
// The grid cell at (x, y), or null outside it.
ScreenCell* grid_cell(int32_t x, int32_t y);

// Tells every window of a new terminal size (the `resize` event), then
// rewrites the screen at once on the alternate screen.
void broadcast_resize(int32_t columns, int32_t rows);
// Switches to the alternate screen when a full-screen window asked for it;
// back to the normal screen.
void enter_full_screen();
void leave_full_screen();
// Takes the inline drawing off the terminal (before printing).
void erase_inline_view();
// Moves the cursor below the inline drawing (the end of the event loop).
void end_inline_view();
// The end of the event loop: destroys every window and forgets the focus,
// the pointer state, the grid and the drawing.
void reset();

// Registers the collector mark (once); made by the back end's start.
void init_screen();

// Resolved symbols of the face type words the back end knows.
SymbolId type_symbol(const char* name);

}  // namespace qel::gui
