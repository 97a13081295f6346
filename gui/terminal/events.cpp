// The event loop, the timers, the senders, the hand-over to
// system/view/awake and the field readers of the back end's events (see
// events.h).
#include "gui/terminal/events.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include <time.h>

#include "datatypes/event.h"
#include "datatypes/pair.h"
#include "evaluator/interpreter.h"
#include "core/stack.h"
#include "evaluator/trace.h"
#include "core/unwind.h"
#include "gui/terminal/input.h"
#include "gui/terminal/routines.h"
#include "gui/terminal/support.h"
#include "gui/terminal/tty.h"
#include "memory/collector.h"
#include "runtime/print.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "datatypes/error.h"
#include "datatypes/logic.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::gui {

namespace {

constexpr int32_t kPassMs = 33;

LoopState loop;

struct Timer {
  int32_t one_shot = 0;
  int32_t stopped = 0;
  int32_t elapsed = 0;
  int32_t interval = 0;
  Widget* target = nullptr;
  void (*callback)(Widget*) = nullptr;
};
std::vector<std::unique_ptr<Timer>> timers;

// The messages of the dispatches under way, innermost last.
struct ActiveMessage {
  uint32_t id;
  GuiMessage* message;
};
std::vector<ActiveMessage> active_messages;
uint32_t next_message_id = 1;

// The one block every `event/flags` read refills.
Cell flags_block{};
bool collector_hooked = false;

void mark_events() { collector::mark_cell(&flags_block); }

void hook_collector() {
  if (collector_hooked) return;
  set_none(&flags_block);
  collector::add_mark_callback(mark_events);
  collector_hooked = true;
}

int64_t now_ms() {
  struct timespec ts {};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// system/view/<name>, or null.
const Cell* view_field(const char* name) {
  Cell w = word::load("system");
  const Cell* sys = context::get(&w);
  if (!sys || !sys->is(TypeId::object)) return nullptr;
  const Cell* view = face_field(sys, "view");
  if (!view || !view->is(TypeId::object)) return nullptr;
  return face_field(view, name);
}

bool mouse_event_wanted() {
  const Cell* platform = view_field("platform");
  if (!platform || !platform->is(TypeId::object)) return false;
  const Cell* m = face_field(platform, "mouse-event?");
  return m && !is_falsy(m);
}

GuiMessage* message_of(const Cell* event) {
  for (auto it = active_messages.rbegin(); it != active_messages.rend(); ++it)
    if (it->id == event->data2) return it->message;
  return nullptr;
}

// Runs one pass's work under a frame that stops every error and throw;
// true when one was stopped. A stopped error is reported as the console
// reports one (a bad draw block would otherwise end the loop unexplained).
template <class F>
bool guarded(const char* name, F&& body) {
  exits::Mark mark;
  Cell w = word::load(name);
  stack::mark_try_all(&w);
  bool caught = false;
  bool failed = false;
  try {
    body();
    if (exits::pending) caught = true;
  } catch (const NonLocalExit& e) {
    if (e.level > level::error) throw;
    caught = true;
    failed = e.level == level::error;
  }
  exits::pending = 0;
  mark.restore();
  if (failed) print_line({arg::cstring(error::form_report(&unwind::thrown_value).c_str())});
  return caught;
}

struct SpecialKeyWord {
  int32_t code;
  const char* word;
};
constexpr SpecialKeyWord kSpecialKeys[] = {
    {-20, "up"},     {-21, "down"},      {-22, "right"},   {-23, "left"}, {-24, "end"},
    {-25, "home"},   {-26, "insert"},    {-27, "delete"},  {-28, "page-up"},
    {-29, "page-down"}, {-31, "F1"},     {-32, "F2"},      {-33, "F3"},   {-34, "F4"},
    {-35, "F5"},     {-36, "F6"},        {-37, "F7"},      {-38, "F8"},   {-39, "F9"},
    {-40, "F10"},    {-41, "F11"},       {-42, "F12"}};

struct FlagWord {
  const char* name;
  uint32_t bit;
};
constexpr FlagWord kFlagWords[] = {
    {"away", event_flag::away},         {"down", event_flag::down},
    {"mid-down", event_flag::mid_down}, {"alt-down", event_flag::alt_down},
    {"aux-down", event_flag::aux_down}, {"control", event_flag::control},
    {"shift", event_flag::shift},       {"alt", event_flag::alt}};

struct FlagField {
  const char* field;
  uint32_t bit;
};
constexpr FlagField kFlagFields[] = {
    {"away?", event_flag::away},         {"down?", event_flag::down},
    {"mid-down?", event_flag::mid_down}, {"alt-down?", event_flag::alt_down},
    {"aux-down?", event_flag::aux_down}, {"ctrl?", event_flag::control},
    {"shift?", event_flag::shift}};

Cell* push_flags(uint32_t flags) {
  hook_collector();
  if (!flags_block.is(TypeId::block)) block::make_at(&flags_block, 8);
  block::rs_clear(&flags_block);
  for (const FlagWord& f : kFlagWords) {
    if (!(flags & f.bit)) continue;
    Cell w = word::load(f.name);
    block::rs_append(&flags_block, &w);
  }
  return stack::push(&flags_block);
}

}  // namespace

LoopState& loop_state() { return loop; }

void install_dispatch() {
  dispatch_event = dispatch_to_awake;
  event::backend_field_reader = read_event_field;
}

bool dispatch_to_awake(int32_t type, GuiMessage* message, uint32_t flags) {
  const Cell* awake = view_field("awake");
  if (!awake || !(awake->is(TypeId::function) || awake->is(TypeId::routine) || awake->is(TypeId::native)))
    return false;
  const uint32_t id = next_message_id++;
  if (next_message_id == 0) next_message_id = 1;
  active_messages.push_back({id, message});
  Cell* base = stack::top;
  Cell fn = *awake;
  Cell* fn_slot = stack::push(&fn);
  Cell* event = stack::push_slot();
  *event = Cell{static_cast<uint32_t>(TypeId::event), static_cast<uint32_t>(type), id, flags};
  const bool tracing = interpreter::tracing_q;
  interpreter::tracing_q = false;
  bool done = false;
  guarded("awake", [&] {
    const Cell* args[] = {event};
    Cell name = word::load("awake");
    Cell* r = interpreter::passing::call_function(fn_slot, args, 1, &name);
    if (exits::pending) return;
    done = r->is(TypeId::word) && symbol::resolve(r->symbol()) == symbol::resolve(symbol::make("done"));
  });
  interpreter::tracing_q = tracing;
  stack::top = base;
  std::erase_if(active_messages, [id](const ActiveMessage& a) { return a.id == id; });
  return done;
}

bool send_widget_value(int32_t type, Widget* w, int32_t picked) {
  if (!widget_alive(w) || w->has(widget_flag::disabled)) return false;
  GuiMessage message;
  message.widget = w;
  message.code = picked;
  if (w->has_face() && dispatch_event) return dispatch_event(type, &message, 0);
  return false;
}

bool send_mouse_event(int32_t type, Widget* w, float x, float y, uint32_t flags) {
  if (!widget_alive(w) || w->has(widget_flag::disabled)) return false;
  GuiMessage message;
  message.widget = w;
  message.x = x;
  message.y = y;
  if (w->handle_event) w->handle_event(type, &message);
  if (widget_alive(w) && w->has_face() && dispatch_event) return dispatch_event(type, &message, flags);
  return false;
}

// --- timers

void add_timer(Widget* w, int32_t interval_ms) {
  auto t = std::make_unique<Timer>();
  t->interval = interval_ms;
  t->target = w;
  t->callback = timer_fired;
  timers.push_back(std::move(t));
}

void remove_timer(Widget* w) {
  for (auto it = timers.rbegin(); it != timers.rend(); ++it) {
    if ((*it)->target == w) {
      timers.erase(std::next(it).base());
      return;
    }
  }
}

void tick_timers(int32_t ms) {
  // Callbacks may add or remove timers: the count is taken first and each
  // step reads the list again.
  const size_t count = timers.size();
  for (size_t i = 0; i < count && i < timers.size(); i++) {
    Timer* t = timers[i].get();
    t->elapsed += ms;
    if (!t->stopped && t->elapsed >= t->interval) {
      t->stopped = 0;
      t->elapsed = 0;
      if (t->one_shot) t->stopped = 1;
      if (t->callback) t->callback(t->target);
    }
  }
}

void timer_fired(Widget* w) { send_widget_event(event_type::time, w, 0); }

int32_t timer_count() { return static_cast<int32_t>(timers.size()); }

// --- the loop

bool do_events(bool no_wait) {
  hook_collector();
  ScreenState& s = screen();
  // A blocking loop started while one runs (`do-events` in an actor of
  // the only window) is nested too: it must not close the terminal and the
  // windows under the loop that is still running.
  const bool nested = no_wait || s.windows.size() > 1 || loop.depth > 0;
  const int32_t entry_depth = loop.depth;
  if (!no_wait) {
    if (!nested) tty::open();
    // No terminal: nothing to wait on and no one to end the loop.
    if (!tty::active()) return false;
    loop.depth++;
  }
  if (nested) {
    if (!no_wait) input_reset();
  } else {
    enter_full_screen();
    const bool wanted = mouse_event_wanted();
    if (wanted != loop.mouse_tracking) {
      loop.mouse_tracking = wanted;
      if (wanted)
        tty::enable_mouse();
      else
        tty::disable_mouse();
    }
  }
  bool got = false;
  int32_t elapsed = 0;
  for (;;) {
    bool leave_now = false;
    const bool caught = guarded("do-events", [&] {
      got = read_console_input(true) > 0;
      if (no_wait && !got) {
        leave_now = true;
        return;
      }
      int32_t step = elapsed;
      if (elapsed <= kPassMs) {
        tty::wait_input(kPassMs - elapsed);
        step = kPassMs;
      }
      const int64_t start = now_ms();
      tick_timers(step);
      refresh_screen();
      process_input();
      if (loop.click_state == 2 && loop.click_age < 800) loop.click_age += kPassMs;
      elapsed = static_cast<int32_t>(std::clamp<int64_t>(now_ms() - start, 0, 1000000));
    });
    if (leave_now) break;
    if (caught) post_quit_msg();
    if (no_wait || loop.depth <= entry_depth) break;
    // With no window left nothing could end the loop (keys would reach
    // no one): it ends as if its window had closed.
    if (s.windows.empty()) {
      loop.depth = entry_depth;
      break;
    }
  }
  if (nested) {
    read_console_input(false);
    input_reset();
  } else {
    end_inline_view();
    if (loop.mouse_tracking) tty::disable_mouse();
    leave_full_screen();
    tty::show_cursor();
    read_console_input(false);
    tty::close();
    reset();
    input_reset();
    reset_pointer_state();
    loop.click_state = 0;
    loop.click_age = 0;
    loop.mouse_tracking = false;
  }
  return got;
}

void poll_events() {
  if (tty::active()) do_events(true);
}

void post_quit_msg() { loop.depth--; }

// --- the field readers

Cell* read_event_field(const Cell* event, const char* field) {
  GuiMessage* m = message_of(event);
  const uint32_t flags = event->data3;
  auto is = [field](const char* name) { return std::strcmp(field, name) == 0; };
  if (is("face")) {
    if (m && widget_alive(m->widget) && m->widget->has_face()) return stack::push(&m->widget->face);
    return stack::push(&none_value);
  }
  if (is("offset")) {
    if (!m) return pair::push(0, 0);
    return pair::push(static_cast<int32_t>(std::trunc(std::clamp(m->x, -1e9f, 1e9f))),
                      static_cast<int32_t>(std::trunc(std::clamp(m->y, -1e9f, 1e9f))));
  }
  if (is("key")) {
    Cell* out = stack::push_slot();
    set_none(out);
    if (!m) return out;
    if (!(flags & event_flag::special_key)) {
      if (m->code > 0 && m->code <= 0x10FFFF) set_char(out, static_cast<uint32_t>(m->code));
      return out;
    }
    for (const SpecialKeyWord& k : kSpecialKeys)
      if (k.code == m->code) *out = word::load(k.word);
    return out;
  }
  if (is("picked")) {
    Cell* out = stack::push_slot();
    if (event->data1 == static_cast<uint32_t>(event_type::wheel))
      set_float(out, m ? m->amount : 0.0);
    else
      set_integer(out, m ? m->code : 0);
    return out;
  }
  if (is("flags")) return push_flags(flags);
  for (const FlagField& f : kFlagFields) {
    if (!is(f.field)) continue;
    Cell* out = stack::push_slot();
    set_logic(out, (flags & f.bit) != 0);
    return out;
  }
  // window, orientation
  return stack::push(&none_value);
}

// --- routines

namespace {

Cell* arg(int i) { return stack::arguments + i; }
Cell* result() { return stack::arguments; }

void r_do_events() { set_logic(result(), do_events(!is_falsy(arg(0)))); }
void r_poll_events() { poll_events(), set_none(result()); }
void r_post_quit_msg() { post_quit_msg(), set_none(result()); }
void r_process_input() { process_input(), set_none(result()); }
void r_input_reset() { input_reset(), set_none(result()); }
void r_read_console_input() { set_integer(result(), read_console_input(!is_falsy(arg(0)))); }

constexpr library::RoutineDef kRoutines[] = {
    {"gui/do-events", r_do_events,
     R"spec("Run the event loop; true when its last pass read input" no-wait? [logic!] return: [logic!])spec",
     TypeId::logic},
    {"gui/poll-events", r_poll_events, R"spec("One pass of the event loop while a view is up")spec",
     TypeId::none_id},
    {"gui/post-quit-msg", r_post_quit_msg, R"spec("End the innermost event loop")spec", TypeId::none_id},
    {"gui/process-input", r_process_input, R"spec("Translate the buffered input into events")spec",
     TypeId::none_id},
    {"gui/input-reset", r_input_reset, R"spec("Empty the input buffer")spec", TypeId::none_id},
    {"tty/read-console-input", r_read_console_input,
     R"spec("Read the pending terminal input; the number of bytes" process? [logic!] return: [integer!])spec",
     TypeId::integer},
};

constexpr library::RoutineDef kPlatformRoutines[] = {
    {"do-event-loop", r_do_events, R"spec(no-wait? [logic!] return: [logic!])spec", TypeId::logic},
    {"exit-event-loop", r_post_quit_msg, "", TypeId::none_id},
};

// Installed with the program, so that events the screen sends before any
// loop runs reach the language too.
const bool installed = (install_dispatch(), true);

}  // namespace

std::span<const library::RoutineDef> event_routines() { return kRoutines; }

bool event_boot_value(std::string_view name) {
  (void)installed;
  if (!table_boot_value(kPlatformRoutines, name)) return false;
  install_dispatch();
  return true;
}

void reset_events() {
  timers.clear();
  loop = LoopState{};
  active_messages.clear();
  input_reset();
  reset_pointer_state();
}

}  // namespace qel::gui
