// Terminal input for the text-mode back end: the bytes the terminal sends
// while a view is up (typed characters as UTF-8, control characters, escape
// sequences for cursor, editing and function keys, SGR and X10 mouse
// reports, answers to the cursor position request) are read into a byte
// buffer, cut into keys and reports, and routed: keys to the focused
// widget (`key-down`, then `key`, then the widget's own key handling),
// mouse reports to the deepest widget under the pointer with hover,
// capture, click and double-click logic.
//
// The event loop (events.h) reads once per pass and translates right after
// its wait. A sequence or a UTF-8 character cut off by the end of what has
// arrived stays at the front of the buffer and is parsed again once the
// rest is there. Bytes that cannot start or continue a UTF-8 character are
// dropped, and an unfinished sequence that grows past kMaxPending bytes is
// dropped too, so that a terminal sending garbage can neither fill memory
// nor stall the input for good.
//
// The decoder reports what it finds to an InputSink; the default sink is
// the routing to widgets, and tests install their own to watch the
// decoder alone. An Alt+key (ESC and a byte that starts no sequence) is
// dropped alone. A clicked widget takes the focus after its click unless
// the click's actor asked for a focus (`set-focus`), which then stays.
#pragma once

#include <cstdint>
#include <string_view>

namespace qel::gui {

struct Widget;

// Special-key codes (negative key codes of key events).
namespace special_key {
inline constexpr int32_t up = -20;
inline constexpr int32_t down = -21;
inline constexpr int32_t right = -22;
inline constexpr int32_t left = -23;
inline constexpr int32_t end = -24;
inline constexpr int32_t home = -25;
inline constexpr int32_t insert = -26;
inline constexpr int32_t del = -27;
inline constexpr int32_t page_up = -28;
inline constexpr int32_t page_down = -29;
inline constexpr int32_t f1 = -31;  // F1 ... F12 are -31 ... -42
inline constexpr int32_t f12 = -42;
// Back-tab: sent as Tab with the shift flag.
inline constexpr int32_t back_tab = 10;
}  // namespace special_key

// Where decoded input goes.
struct InputSink {
  virtual ~InputSink() = default;
  // A character (special 0) or a special-key code (character 0).
  virtual void key(uint32_t character, int32_t special) = 0;
  // A mouse report: the button code b, 1-based column and row, and
  // whether it reports a release.
  virtual void mouse(int32_t b, int32_t column, int32_t row, bool released) = 0;
  // A cursor position report, 1-based.
  virtual void cursor_report(int32_t row, int32_t column) = 0;
};

// Routes to widgets (the default); null puts the default back.
void set_input_sink(InputSink* sink);

// Longest unfinished sequence kept while waiting for its rest.
inline constexpr int32_t kMaxPending = 4096;

// Appends bytes to the input buffer (what reading the terminal does).
void append_input(std::string_view bytes);
// Reads every byte the terminal has ready, without blocking, into the
// input buffer; answers how many bytes were read (0 when none, when the
// terminal layer is not in view mode, or on failure). With process? false
// they are read and dropped. A change of the terminal's size noticed since
// the last call updates the screen's size first.
int32_t read_console_input(bool process);
// Translates the buffered bytes into keys and reports.
void process_input();
// Empties the buffer.
void input_reset();
// Bytes buffered and not yet translated (tests).
std::string_view pending_input();

// Sends a key to a widget (null: the focused one): `key-down`, then `key`
// unless the first was handled, then the widget's own key handling unless
// that was handled too. Special 10 is Tab with the shift flag; any other
// special code is sent with the special-key flag.
void send_key(Widget* w, uint32_t character, int32_t special);

// Mouse routing over the widget tree.
void mouse_report(int32_t b, int32_t column, int32_t row, bool released);
void mouse_button(int32_t type, Widget* root, float x, float y, uint32_t flags);
bool route_over(int32_t type, Widget* w, float x, float y, uint32_t flags, bool top);
void route_wheel(float direction, Widget* w, float x, float y, uint32_t flags);

// Whether the last mouse button report was a release (starts true).
bool last_released();
// Forgets the button state (a window shown, the outermost loop ended).
void reset_pointer_state();

}  // namespace qel::gui
