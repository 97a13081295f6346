// The back end's routine tables: `tty/...` over the terminal layer and
// `gui/...` over the back-end support, and the two objects that hold them
// (see routines.h).
#include "gui/terminal/routines.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "evaluator/interpreter.h"
#include "core/stack.h"
#include "gui/terminal/draw.h"
#include "gui/terminal/events.h"
#include "gui/terminal/platform.h"
#include "gui/terminal/screen.h"
#include "gui/terminal/support.h"
#include "gui/terminal/tty.h"
#include "gui/terminal/widgets.h"
#include "library/routines.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel {

namespace {

Cell* arg(int i) { return stack::arguments + i; }
Cell* result() { return stack::arguments; }
void none_result() { set_none(result()); }

}  // namespace

namespace tty {
namespace {

void r_open() { open(), none_result(); }
void r_close() { close(), none_result(); }
void r_input_is_console_q() { set_logic(result(), input_is_console_q()); }
void r_get_console_size() {
  get_console_size();
  pair::make_at(result(), columns(), rows());
}
void r_update_screen_size() { update_screen_size(), none_result(); }
void r_set_private_mode() { set_private_mode(arg(0)->integer()), none_result(); }
void r_reset_private_mode() { reset_private_mode(arg(0)->integer()), none_result(); }
void r_request_cursor_position() { request_cursor_position(), none_result(); }
void r_enter_alternate_screen() { enter_alternate_screen(), none_result(); }
void r_leave_alternate_screen() { leave_alternate_screen(), none_result(); }
void r_enable_mouse() { enable_mouse(), none_result(); }
void r_disable_mouse() { disable_mouse(), none_result(); }
void r_hide_cursor() { hide_cursor(), none_result(); }
void r_show_cursor() { show_cursor(), none_result(); }
void r_cursor_down() { cursor_down(arg(0)->integer()), none_result(); }
void r_wait_input() { wait_input(arg(0)->integer()), none_result(); }
void r_write() {
  const Cell* data = arg(0);
  if (data->is(TypeId::binary)) {
    SeriesBuffer* s = memory::series(data->node());
    uint32_t length = s->used_bytes();
    uint32_t head = static_cast<uint32_t>(std::clamp<int64_t>(data->head(), 0, length));
    write(std::string_view(reinterpret_cast<const char*>(s->head_ptr()) + head, length - head));
  } else {
    std::string text;
    string::to_utf8(data, text);
    write(text);
  }
  none_result();
}

}  // namespace
}  // namespace tty

namespace gui {
namespace {

void r_tuple_to_color() { set_integer(result(), tuple_to_color(arg(0))); }
void r_font_color() { set_integer(result(), font_color(arg(0))); }
void r_color_level() { set_integer(result(), color_level(std::clamp(arg(0)->integer(), 0, 255))); }
void r_color_to_256() { set_integer(result(), static_cast<int32_t>(color_to_256(static_cast<uint32_t>(arg(0)->integer())))); }
void r_char_width() {
  int32_t cp = arg(0)->integer();  // char! keeps its code point where integer! keeps its value
  set_integer(result(), cp < 0 ? 1 : char_width(static_cast<uint32_t>(cp)));
}
void r_measure_text() {
  int32_t count = 0, lines = 0;
  int32_t width = measure_text(text_view(arg(0)), arg(1)->integer(), &count, &lines);
  Cell* out = stack::push_slot();
  block::make_at(out, 3);
  Cell n;
  for (int32_t v : {width, count, lines}) {
    set_integer(&n, v);
    block::rs_append(out, &n);
  }
  *result() = *out;
}
void r_measure_wrapped() {
  int32_t width = 0, lines = 0;
  measure_wrapped(text_view(arg(0)), std::max(arg(1)->integer(), 0), &width, &lines);
  pair::make_at(result(), width, lines);
}
void r_get_text_size() {
  TextSize size = get_text_size(arg(1));
  point2d::make_at(result(), static_cast<float>(size.width), static_cast<float>(size.lines));
}
void r_get_para_flags() { set_integer(result(), static_cast<int32_t>(get_para_flags(arg(0)))); }
void r_refresh_screen() { refresh_screen(), none_result(); }

// Calls fn with code and gives the view object's auto-sync? the value
// sync? on every way out: a return, an error, a break, a throw of any name
// or a halt all pass through here as they were raised.
void r_call_keeping_sync() {
  struct Restore {
    Cell view, sync;
    ~Restore() {
      if (Cell* field = face_field(&view, "auto-sync?")) *field = sync;
    }
  } restore{*arg(2), *arg(3)};
  Cell fn = *arg(0);
  const Cell* args[] = {arg(1)};
  Cell name = word::load("run-code");
  Cell* base = stack::top;
  Cell answer = *interpreter::call_function(&fn, args, 1, &name);
  stack::top = base;
  *result() = answer;
}

}  // namespace
}  // namespace gui

namespace {

using library::RoutineDef;

constexpr RoutineDef kRoutines[] = {
    {"tty/open", tty::r_open, R"spec("Put the terminal into view mode")spec", TypeId::none_id},
    {"tty/close", tty::r_close, R"spec("Give the terminal its own modes back")spec", TypeId::none_id},
    {"tty/input-is-console?", tty::r_input_is_console_q, R"spec(return: [logic!])spec", TypeId::logic},
    {"tty/get-console-size", tty::r_get_console_size,
     R"spec("Measure the terminal (80x24 when it cannot tell)" return: [pair!])spec", TypeId::pair},
    {"tty/update-screen-size", tty::r_update_screen_size, "", TypeId::none_id},
    {"tty/set-private-mode", tty::r_set_private_mode, R"spec(n [integer!])spec", TypeId::none_id},
    {"tty/reset-private-mode", tty::r_reset_private_mode, R"spec(n [integer!])spec", TypeId::none_id},
    {"tty/request-cursor-position", tty::r_request_cursor_position, "", TypeId::none_id},
    {"tty/enter-alternate-screen", tty::r_enter_alternate_screen, "", TypeId::none_id},
    {"tty/leave-alternate-screen", tty::r_leave_alternate_screen, "", TypeId::none_id},
    {"tty/enable-mouse", tty::r_enable_mouse, "", TypeId::none_id},
    {"tty/disable-mouse", tty::r_disable_mouse, "", TypeId::none_id},
    {"tty/hide-cursor", tty::r_hide_cursor, "", TypeId::none_id},
    {"tty/show-cursor", tty::r_show_cursor, "", TypeId::none_id},
    {"tty/cursor-down", tty::r_cursor_down, R"spec(n [integer!])spec", TypeId::none_id},
    {"tty/wait-input", tty::r_wait_input, R"spec(ms [integer!])spec", TypeId::none_id},
    {"tty/write", tty::r_write, R"spec(data [string! binary!])spec", TypeId::none_id},
    {"gui/tuple-to-color", gui::r_tuple_to_color, R"spec(color [tuple!] return: [integer!])spec",
     TypeId::integer},
    {"gui/font-color", gui::r_font_color, R"spec(font [object!] return: [integer!])spec", TypeId::integer},
    {"gui/color-level", gui::r_color_level, R"spec(channel [integer!] return: [integer!])spec",
     TypeId::integer},
    {"gui/color-to-256", gui::r_color_to_256, R"spec(color [integer!] return: [integer!])spec",
     TypeId::integer},
    {"gui/char-width", gui::r_char_width, R"spec(char [char! integer!] return: [integer!])spec",
     TypeId::integer},
    {"gui/measure-text", gui::r_measure_text,
     R"spec("Width, characters that fit and lines of a text" text [string!] limit [integer!] return: [block!])spec",
     TypeId::block},
    {"gui/measure-wrapped", gui::r_measure_wrapped,
     R"spec("Width and lines of a text wrapped at a width (0: none)" text [string!] limit [integer!] return: [pair!])spec",
     TypeId::pair},
    {"gui/get-text-size", gui::r_get_text_size,
     R"spec(face [object! none!] text [string!] return: [point2D!])spec", TypeId::point2d},
    {"gui/get-para-flags", gui::r_get_para_flags, R"spec(face [object!] return: [integer!])spec",
     TypeId::integer},
    {"gui/refresh-screen", gui::r_refresh_screen, "", TypeId::none_id},
    {"gui/call-keeping-sync", gui::r_call_keeping_sync,
     R"spec("Call fn with code; set view/auto-sync? to sync? however it ends" fn [function!] code [block!] view [object!] sync? [logic!])spec",
     TypeId::none_id},
    {"gui/screen-text", gui::r_screen_text,
     R"spec("The active window drawn into the screen grid, as text" return: [string!])spec", TypeId::string},
};

// An object of the routines whose names begin with `prefix`, each under
// the rest of its name.
void make_routine_object(std::string_view prefix) {
  Cell* obj = stack::push_slot();
  object::make_at(obj, 32);
  auto add = [&](const RoutineDef& def) {
    std::string_view name = def.name;
    if (name.substr(0, prefix.size()) != prefix) return;
    Cell* base = stack::top;
    Cell* value = library::push_routine(def);
    Cell w = word::load(name.substr(prefix.size()));
    context::put_word_value(object::context_of(obj), &w, value);
    stack::top = base;
  };
  for (const RoutineDef& def : kRoutines) add(def);
  for (const RoutineDef& def : gui::event_routines()) add(def);
  for (const RoutineDef& def : gui::draw_routines()) add(def);
  *result() = *obj;
}

}  // namespace

namespace gui {

bool table_boot_value(std::span<const RoutineDef> table, std::string_view name) {
  for (const RoutineDef& def : table) {
    if (name != def.name) continue;
    Cell* base = stack::top;
    Cell* made = library::push_routine(def);
    *result() = *made;
    stack::top = base;
    return true;
  }
  return false;
}

bool boot_value(std::string_view name) {
  if (widget_boot_value(name)) return true;
  if (platform_boot_value(name)) return true;
  Cell* base = stack::top;
  if (name == "tty-routines") {
    make_routine_object("tty/");
  } else if (name == "gui-routines") {
    make_routine_object("gui/");
  } else {
    return event_boot_value(name);
  }
  stack::top = base;
  return true;
}

}  // namespace gui

}  // namespace qel
