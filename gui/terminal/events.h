// The text-mode back end's event loop and its hand-over of events to the
// language: the loop (`do_events`) in passes of 33 ms (read the terminal,
// wait, tick the timers, rewrite the screen, translate the input), its
// nesting counter, the millisecond timers behind `rate` facets, the
// senders that give an event to a widget's own handling and to
// `system/view/awake`, and the readers through which an event! made here
// answers `event/face`, `event/key`, `event/offset` and the rest.
//
// An event made here is the cell {event!, type code, message id, flags}:
// the message (GuiMessage, screen.h) lives on the machine stack of the
// sender for the duration of the dispatch, registered under a fresh id.
// An event! kept by an actor and read after its dispatch ended finds no
// message under its id and reads as an event without data (face none,
// offset 0x0, key none, picked 0).
//
// With no terminal (tests, pipes) a blocking loop returns at once and a
// no-wait pass finds no input, so nothing here ever waits without a
// terminal to wait on.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "gui/terminal/screen.h"
#include "library/routines.h"

namespace qel::gui {

// Event type codes the back end sends (the event! table).
namespace event_type {
inline constexpr int32_t down = 1;
inline constexpr int32_t up = 2;
inline constexpr int32_t mid_down = 3;
inline constexpr int32_t mid_up = 4;
inline constexpr int32_t alt_down = 5;
inline constexpr int32_t alt_up = 6;
inline constexpr int32_t click = 9;
inline constexpr int32_t dbl_click = 10;
inline constexpr int32_t wheel = 11;
inline constexpr int32_t over = 12;
inline constexpr int32_t key = 13;
inline constexpr int32_t key_down = 14;
inline constexpr int32_t focus = 17;
inline constexpr int32_t unfocus = 18;
inline constexpr int32_t resize = 30;
inline constexpr int32_t time = 33;
}  // namespace event_type

// Flag bits of an event.
namespace event_flag {
inline constexpr uint32_t special_key = 0x1;
inline constexpr uint32_t aux_down = 0x400000;
inline constexpr uint32_t alt_down = 0x800000;
inline constexpr uint32_t mid_down = 0x1000000;
inline constexpr uint32_t down = 0x2000000;
inline constexpr uint32_t away = 0x4000000;
inline constexpr uint32_t control = 0x10000000;
inline constexpr uint32_t shift = 0x20000000;
inline constexpr uint32_t alt = 0x40000000;
}  // namespace event_flag

// The loop's state.
struct LoopState {
  int32_t depth = 0;          // blocking loops running
  bool mouse_tracking = false;
  int32_t click_state = 0;    // 0 idle, 2 a second click may follow, 10 a double click ended
  int32_t click_age = 0;      // ms since the last release while click_state is 2 (stops at 800)
};
LoopState& loop_state();

// Runs the event loop; true when the last pass read terminal input.
bool do_events(bool no_wait);
// One no-wait pass while the terminal layer is in view mode (after `wait`).
void poll_events();
// Ends the innermost blocking loop.
void post_quit_msg();

// Builds the event and calls system/view/awake with it; true when awake
// answered the word `done`. Errors and throws inside stop here.
bool dispatch_to_awake(int32_t type, GuiMessage* message, uint32_t flags);
// Points the screen's dispatch hook at dispatch_to_awake.
void install_dispatch();

// Senders (a disabled widget gets nothing and they answer false).
bool send_widget_value(int32_t type, Widget* w, int32_t picked);
bool send_mouse_event(int32_t type, Widget* w, float x, float y, uint32_t flags);

// Timers.
void add_timer(Widget* w, int32_t interval_ms);
void remove_timer(Widget* w);
void tick_timers(int32_t ms);
void timer_fired(Widget* w);
int32_t timer_count();

// The back end's part of the event! path reader: the value of a field of
// an event made here, pushed.
Cell* read_event_field(const Cell* event, const char* field);

// Forgets timers, loop state and the input (tests).
void reset_events();

// The routine rows of the loop and the input, served in the `gui` and
// `tty` routine objects (routines.cpp).
std::span<const library::RoutineDef> event_routines();
// `_boot-value` names of the platform's loop entries (`do-event-loop`,
// `exit-event-loop`): leaves the routine in the result slot and answers
// true; false for any other name.
bool event_boot_value(std::string_view name);

}  // namespace qel::gui
