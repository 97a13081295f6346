// The text-mode widget classes and the widget routines of TUI-helpers (see
// widgets.h).
//
// Handlers that run Qel code (the widget texts, the events they send to the
// language) keep the face on the argument stack meanwhile and check after
// each call that the face still has the widget: an actor may close its
// window, which frees the widget and leaves the face without a state.
#include "gui/terminal/widgets.h"

#include <algorithm>
#include <cmath>

#include "datatypes/map.h"
#include "evaluator/interpreter.h"
#include "core/stack.h"
#include "gui/terminal/events.h"
#include "gui/terminal/render.h"
#include "gui/terminal/routines.h"
#include "gui/terminal/support.h"
#include "library/routines.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel::gui {

BuildFn build_rich_text = nullptr;

namespace {

// Gives the argument stack its top back on every way out.
struct StackTopGuard {
  Cell* top = stack::top;
  ~StackTopGuard() { stack::top = top; }
};

// Whether the face (held by the caller) still has the widget `w`; false once
// the widget was freed.
bool still_has(const Cell* face, const Widget* w) { return face_widget(face) == w; }

bool is_word(const Cell* c, SymbolId sym) {
  return c && is_any_word(c->type()) && symbol::resolve(c->symbol()) == sym;
}

// The value after the word `key` in an options block (the first match at
// any position), or null.
const Cell* option(const Cell* options, SymbolId key) {
  if (!options || !options->is(TypeId::block)) return nullptr;
  const Cell* first = block::rs_head(const_cast<Cell*>(options));
  int32_t n = block::rs_length_q(options);
  for (int32_t i = 0; i + 1 < n; i++)
    if (is_word(first + i, key)) return first + i + 1;
  return nullptr;
}

// The value of a word bound to the global context or an object, or null:
// a function's words may have no values when it is not running, and
// drawing must raise no error.
const Cell* word_value(const Cell* w) {
  if (!is_any_word(w->type()) || !w->context() || w->word_index() < 0) return nullptr;
  if (context::kind(context::context_cell(w->context())) == context::Kind::function) return nullptr;
  return context::get(w);
}

// --- the widget texts written in Qel

// The widget whose text is being made. While make-view runs, its face does
// not name it yet (the face's state is set from make-view's answer): the
// routines of TUI-helpers find it here, so that a text made at creation
// sees the widget's focus and data.
Widget* building = nullptr;

// The widget of a face: the one its state names, else the one being built
// for it.
Widget* widget_of(const Cell* face) {
  if (Widget* w = face_widget(face)) return w;
  if (building && widget_alive(building) && face->is(TypeId::object) && building->has_face() &&
      object::context_of(face) == object::context_of(&building->face))
    return building;
  return nullptr;
}

// Calls TUI-helpers/<name> with the widget's face and leaves the result in
// `out`; false (and `out` none) when there is no such function.
bool call_helper(const char* name, Widget* w, Cell* out) {
  set_none(out);
  if (!w->has_face()) return false;
  Cell helpers_word = word::load("TUI-helpers");
  const Cell* helpers = word_value(&helpers_word);
  if (!helpers || !helpers->is(TypeId::object)) return false;
  const Cell* found = object::field(helpers, name);
  if (!found || !is_any_function(found->type())) return false;
  StackTopGuard guard;
  Cell fn = *found;
  Cell* face = stack::push(&w->face);
  Cell call_word = word::load(name);
  const Cell* args[] = {face};
  struct Building {
    Widget* saved = building;
    ~Building() { building = saved; }
  } restore;
  building = w;
  *out = *interpreter::call_function(&fn, args, 1, &call_word);
  return true;
}

int32_t build_progress(Widget* w) {
  Cell result;
  call_helper("make-progress-ui", w, &result);
  return 0;
}

// The rows of a text list: the items of its data (a block, hash or map).
int32_t row_count(const Cell* face) {
  const Cell* data = face_field(face, "data");
  if (!data) return 0;
  if (data->is(TypeId::block) || data->is(TypeId::hash)) return std::max(block::rs_length_q(data), 0);
  if (data->is(TypeId::map)) return map::size(data);
  return 0;
}

// A list whose data shrank under its scrolled rows would show none: its
// first row comes back to where the last page begins. The rows then move
// just enough to show the selected item (one the language set may lie
// outside them).
int32_t build_text_list(Widget* w) {
  int32_t count = row_count(&w->face);
  int32_t height = widget_size(w).height;
  int32_t last_top = std::max(0, count - height);
  w->data_word = std::clamp(w->data_word, 0, last_top);
  const Cell* selected = face_field(&w->face, "selected");
  if (selected && selected->is(TypeId::integer) && selected->integer() >= 1 && selected->integer() <= count &&
      height > 0) {
    int32_t row = selected->integer() - 1;
    if (row < w->data_word) w->data_word = row;
    if (row >= w->data_word + height) w->data_word = row - height + 1;
  }
  Cell result;
  call_helper("make-text-list-ui", w, &result);
  return 0;
}

// Check boxes and radio buttons draw their text as the UI text. (A
// reaction to a change the text made may have closed the window.)
void store_ui(Widget* w, const Cell* ui) {
  if (widget_alive(w) && ui->is(TypeId::string)) w->ui = *ui;
}

int32_t build_check(Widget* w) {
  Cell result;
  if (call_helper("make-checkbox-ui", w, &result)) store_ui(w, &result);
  return 0;
}

int32_t build_radio(Widget* w) {
  Cell result;
  if (call_helper("make-radio-ui", w, &result)) store_ui(w, &result);
  return 0;
}

// --- field

FieldState* field_state(Widget* w) { return dynamic_cast<FieldState*>(w->data.get()); }

// Display columns of a whole text.
int32_t text_columns(const TextView& text) {
  int32_t width = 0;
  for (int32_t i = 0; i < text.length; i++) width += char_width(text.at(i));
  return width;
}

// The caret measured again on the text, which may have been changed from
// the language to one of other widths: at its end when it was past it.
void sync_caret(FieldState* fs, const TextView& text) {
  if (fs->caret_index > text.length || fs->caret_index < 0) fs->caret_index = text.length;
  fs->caret_column = 0;
  for (int32_t i = 0; i < fs->caret_index; i++) fs->caret_column += char_width(text.at(i));
  fs->text_width = text_columns(text);
}

void render_field(int32_t x, int32_t y, Widget* w) {
  w->bottom = w->top + 1;
  render_face(x, y, w, w->has(widget_flag::password) ? render_flag::escapes | render_flag::masked : render_flag::escapes);
  if (w->has(widget_flag::focused))
    if (FieldState* fs = field_state(w)) {
      if (const Cell* text = face_field(&w->face, "text"); text && text->is(TypeId::string))
        sync_caret(fs, text_view(text));
      screen().caret_column = x + fs->caret_column;
      screen().caret_row = y;
    }
}

// The face's text as a string!, made an empty one when it is not.
Cell* field_text(Widget* w) {
  Cell* text = face_field(&w->face, "text");
  if (!text) return nullptr;
  if (!text->is(TypeId::string)) {
    Cell made;
    string::rs_make_at(&made, 10);
    *face_field(&w->face, "text") = made;
    text = face_field(&w->face, "text");
  }
  return text;
}

// Answers whether the text changed.
bool field_key(Widget* w, FieldState* fs, int32_t k) {
  Cell* text = field_text(w);
  if (!text) return false;
  TextView view = text_view(text);
  sync_caret(fs, view);
  SeriesBuffer* buffer = string::buffer(text);
  int32_t head = std::clamp(text->head(), 0, string::buffer_length(buffer));
  switch (k) {
    case 8:
    case 127:  // backspace
      if (fs->caret_index > 0) {
        fs->caret_index--;
        int32_t cw = char_width(view.at(fs->caret_index));
        string::remove_char(buffer, head + fs->caret_index);
        fs->caret_column -= cw;
        fs->text_width -= cw;
        return true;
      }
      return false;
    case 2:
    case key_code::left:
      if (fs->caret_index > 0) {
        fs->caret_index--;
        fs->caret_column -= char_width(view.at(fs->caret_index));
      }
      return false;
    case 6:
    case key_code::right:
      if (fs->caret_index < view.length) {
        fs->caret_column += char_width(view.at(fs->caret_index));
        fs->caret_index++;
      }
      return false;
    default:
      break;
  }
  // Characters; other control codes and special keys do nothing.
  if (k < 32 || k > 0x10FFFF || (k >= 0xD800 && k <= 0xDFFF)) return false;
  uint32_t cp = static_cast<uint32_t>(k);
  int32_t cw = char_width(cp);
  if (fs->text_width + cw > widget_size(w).width) return false;  // full: dropped
  string::insert_char(buffer, head + fs->caret_index, cp);
  fs->caret_index++;
  fs->caret_column += cw;
  fs->text_width += cw;
  return true;
}

int32_t field_event(int32_t kind, GuiMessage* m) {
  Widget* w = m->widget;
  FieldState* fs = field_state(w);
  if (!fs || !w->has_face()) return 0;
  if (kind == event_type::click) {
    const Cell* text = face_field(&w->face, "text");
    int32_t count = 0;
    int32_t column = 0;
    if (text && text->is(TypeId::string)) {
      double x = std::trunc(static_cast<double>(m->x));
      int32_t limit = static_cast<int32_t>(std::clamp(x, 0.0, 1e9));
      column = measure_text(text_view(text), limit, &count, nullptr);
    }
    fs->caret_column = column;
    fs->caret_index = count;
  } else if (kind == event_type::key) {
    int32_t k = m->code;
    if (!field_text(w)) return 0;
    if (k == 0 || k == 9 || k == 13) return 0;  // tab and enter are the event loop's
    bool changed = field_key(w, fs, k);
    invalidate(w);
    // An edited text is told as a `change`, so that the field's data
    // follows it (the field-sync event function) and on-change actors run.
    if (changed) {
      StackTopGuard guard;
      stack::push(&w->face);  // the face lives while the actors run
      send_widget_value(widget_event::change, w, fs->caret_index);
    }
    return 0;
  } else {
    return 0;
  }
  invalidate(w);
  return 0;
}

void make_field(Widget* w) {
  w->flags |= widget_flag::caret_owner;
  auto fs = std::make_unique<FieldState>();
  if (const Cell* text = face_field(&w->face, "text"); text && text->is(TypeId::string)) {
    int32_t count = 0;
    int32_t width = measure_text(text_view(text), widget_size(w).width, &count, nullptr);
    fs->caret_index = count;
    fs->caret_column = fs->text_width = width;
  }
  w->data = std::move(fs);
  w->render = render_field;
  w->handle_event = field_event;
}

// --- button

void render_button(int32_t x, int32_t y, Widget* w) {
  render_face(x, y, w, render_flag::escapes | (w->has(widget_flag::focused) ? render_flag::reverse : 0));
}

int32_t button_event(int32_t kind, GuiMessage* m) {
  if (kind != event_type::key) return 0;
  Widget* w = m->widget;
  int32_t k = m->code;
  StackTopGuard guard;
  const Cell* face = stack::push(&w->face);
  if (k == 32) send_mouse_event(event_type::click, w, 0, 0, 0);
  if (k != 0 && still_has(face, w)) invalidate(w);
  return 0;
}

// --- base

// The face a base names with a `caret` option: options of an even length
// whose pairs hold `caret` and the face (or a word holding it).
const Cell* caret_face(const Widget* w) {
  static const SymbolId caret = type_symbol("caret");
  const Cell* options = face_field(&w->face, "options");
  if (!options || !options->is(TypeId::block)) return nullptr;
  int32_t n = block::rs_length_q(options);
  if (n <= 0 || n % 2 != 0) return nullptr;
  const Cell* first = block::rs_head(const_cast<Cell*>(options));
  const Cell* named = nullptr;
  for (int32_t i = 0; i < n; i += 2) {
    if (!is_word(first + i, caret)) continue;
    const Cell* v = first + i + 1;
    if (is_any_word(v->type())) v = word_value(v);
    if (v && v->is(TypeId::object)) named = v;
  }
  return named;
}

void render_base(int32_t x, int32_t y, Widget* w) {
  if (!w->has(widget_flag::caret_host)) {
    render_face(x, y, w, render_flag::escapes);
    return;
  }
  const Cell* named = caret_face(w);
  Widget* owner = named ? face_widget(named) : nullptr;
  if (owner && owner->has(widget_flag::focused)) {
    screen().caret_column = x;
    screen().caret_row = y;
  }
}

void make_base(Widget* w) {
  w->render = render_base;
  const Cell* named = caret_face(w);
  if (!named) return;
  w->flags |= widget_flag::caret_host;
  Widget* owner = face_widget(named);
  if (!owner) return;
  if (!owner->has(widget_flag::caret_owner)) {
    owner->flags |= widget_flag::caret_owner;
    // Counted as a caret owner of its window, as if made one.
    if (WindowRecord* r = window_record_of(owner)) r->caret_owners++;
  }
  if (owner->has(widget_flag::focused)) {
    CellSize at = absolute_offset(w);
    screen().caret_column = at.width;
    screen().caret_row = at.height;
  }
}

// --- group box

void render_group_box(int32_t x, int32_t y, Widget* w) {
  render_face(x, y, w, render_flag::no_text);
  static const SymbolId corners_key = type_symbol("border-corners");
  static const SymbolId colour_key = type_symbol("border-color");
  static const SymbolId round = type_symbol("round");
  bool rounded = false;
  bool coloured = false;
  uint32_t border = 0;
  if (const Cell* options = face_field(&w->face, "options"); options && options->is(TypeId::block)) {
    rounded = is_word(option(options, corners_key), round);
    if (const Cell* c = option(options, colour_key); c && c->is(TypeId::tuple)) {
      coloured = true;
      border = tuple_cell_colour(c);
    }
  }
  ClipRect clip = widget_clip(x, y, w);
  CellSize size = widget_size(w);
  if (clip.right <= clip.left || clip.bottom <= clip.top || size.width < 1 || size.height < 1) return;
  int32_t right = x + size.width - 1, bottom = y + size.height - 1;
  auto put = [&](int32_t cx, int32_t cy, uint32_t cp) {
    if (cx < clip.left || cx >= clip.right || cy < clip.top || cy >= clip.bottom) return;
    if (ScreenCell* c = grid_cell(cx, cy)) {
      c->code_point = cp;
      c->attributes &= ~attr::continuation;
      if (coloured) c->foreground = border;
    }
  };
  for (int32_t cx = x + 1; cx < right; cx++) {
    put(cx, y, 0x2500);
    put(cx, bottom, 0x2500);
  }
  for (int32_t cy = y + 1; cy < bottom; cy++) {
    put(x, cy, 0x2502);
    put(right, cy, 0x2502);
  }
  put(x, y, rounded ? 0x256D : 0x250C);
  put(right, y, rounded ? 0x256E : 0x2510);
  put(x, bottom, rounded ? 0x2570 : 0x2514);
  put(right, bottom, rounded ? 0x256F : 0x2518);

  const Cell* text = face_field(&w->face, "text");
  if (!text || !text->is(TypeId::string)) return;
  TextStyle style;
  style.attributes = render_flag::escapes;
  if (const Cell* font = face_field(&w->face, "font"); font && font->is(TypeId::object))
    if (const Cell* fc = face_field(font, "color"); fc && fc->is(TypeId::tuple)) style.foreground = tuple_cell_colour(fc);
  TextView title = text_view(text);
  draw_text(&title, x + 1, y, clip, style);
}

// --- progress, check and radio

void render_progress(int32_t x, int32_t y, Widget* w) { render_face(x, y, w, 0); }

void render_choice(int32_t x, int32_t y, Widget* w) {
  uint32_t flags = render_flag::escapes | render_flag::no_text;
  if (w->has(widget_flag::focused)) flags |= render_flag::reverse;
  render_face(x, y, w, flags);
}

// Check boxes and radio buttons: space or a click sets the data and sends
// `change` (but for a radio button's click); focus only redraws.
int32_t choice_event(int32_t kind, GuiMessage* m, bool radio) {
  Widget* w = m->widget;
  if (kind == event_type::focus) {
    invalidate(w);
    return 0;
  }
  bool acts = kind == event_type::click || (kind == event_type::key && m->code == 32);
  if (!acts || !w->has_face()) return 0;
  StackTopGuard guard;
  const Cell* face = stack::push(&w->face);  // the face lives while the texts run
  Cell* data = face_field(face, "data");
  if (!data) return 0;
  bool on;
  if (radio) on = true;
  else if (data->is(TypeId::none)) on = true;
  else if (data->is(TypeId::logic)) on = !data->logic();
  else on = false;
  set_logic(data, on);
  if (w->build) w->build(w);
  if (!still_has(face, w)) return 0;
  invalidate(w);
  // A radio button's click becomes `change` in the radio event function:
  // sending one here as well ran the actor twice.
  if (!(radio && kind == event_type::click)) send_widget_value(widget_event::change, w, on ? 1 : 0);
  return 0;
}

int32_t check_event(int32_t kind, GuiMessage* m) { return choice_event(kind, m, false); }
int32_t radio_event(int32_t kind, GuiMessage* m) { return choice_event(kind, m, true); }

// --- text list

// The `selected` facet as an integer, made one (0) when it is not.
int32_t selected_of(Widget* w) {
  Cell* s = face_field(&w->face, "selected");
  if (!s) return 0;
  if (!s->is(TypeId::integer)) set_integer(s, 0);
  return s->integer();
}

int32_t text_list_event(int32_t kind, GuiMessage* m) {
  Widget* w = m->widget;
  if (!w->has_face()) return 0;
  if (kind == event_type::focus) {
    StackTopGuard guard;
    const Cell* face = stack::push(&w->face);
    if (w->build) w->build(w);
    if (still_has(face, w)) invalidate(w);
    return 0;
  }
  int32_t count = row_count(&w->face);
  int32_t height = widget_size(w).height;
  const Cell* selected_facet = face_field(&w->face, "selected");
  int32_t old = selected_facet && selected_facet->is(TypeId::integer) ? selected_facet->integer() : 0;
  int32_t selected = old;
  if (kind == event_type::key) {
    if (m->code == key_code::up) {
      if (selected > 1) selected--;
      if (selected - 1 < w->data_word && w->data_word > 0) w->data_word--;
    } else if (m->code == key_code::down) {
      if (selected < count) selected++;
      if (w->data_word < selected - height) w->data_word++;
    } else {
      return 0;
    }
  } else if (kind == event_type::click) {
    double row = std::trunc(static_cast<double>(m->y));
    if (row < 0 || row > 1e6) return 0;
    int32_t picked = w->data_word + static_cast<int32_t>(row) + 1;
    // A click below the last item selects nothing.
    if (picked > count) return 0;
    selected = picked;
    old = selected_of(w);
  } else {
    return 0;
  }
  if (selected == old) return 0;

  StackTopGuard guard;
  Cell* face = stack::push(&w->face);  // the face lives while actors run
  bool handled = send_widget_value(widget_event::select, w, selected);
  if (!still_has(face, w)) return 0;
  Cell* now = face_field(face, "selected");
  if (!now || (now->is(TypeId::integer) ? now->integer() : 0) != old) return 0;
  set_integer(now, selected);
  if (w->build) w->build(w);
  if (!still_has(face, w)) return 0;
  invalidate(w);
  if (!handled) send_widget_value(widget_event::change, w, selected);
  return 0;
}

// --- rich text

void render_rich_text(int32_t x, int32_t y, Widget* w) { render_face(x, y, w, 0); }

// --- TUI-helpers routines

Cell* arg(int i) { return stack::arguments + i; }

void r_focused_q() {
  Widget* w = widget_of(arg(0));
  set_logic(stack::arguments, w && w->has(widget_flag::focused));
}

void r_widget_data() {
  Widget* w = widget_of(arg(0));
  set_integer(stack::arguments, w ? w->data_word : 0);
}

void r_set_face_ui() {
  if (Widget* w = widget_of(arg(0))) w->ui = *arg(1);
  set_none(stack::arguments);
}

constexpr library::RoutineDef kRoutines[] = {
    {"focused?", r_focused_q,
     R"spec("Whether the face's widget has the focus" face [object!] return: [logic!])spec", TypeId::logic},
    {"widget-data", r_widget_data,
     R"spec("The data word of the face's widget (0 without one)" face [object!] return: [integer!])spec",
     TypeId::integer},
    {"set-face-ui", r_set_face_ui,
     R"spec("Set the text the face's widget draws" face [object!] ui [string!])spec", TypeId::none_id},
};

}  // namespace

void make_widget_class(Widget* w) {
  static const SymbolId window = type_symbol("window");
  static const SymbolId field = type_symbol("field");
  static const SymbolId button = type_symbol("button");
  static const SymbolId base = type_symbol("base");
  static const SymbolId progress = type_symbol("progress");
  static const SymbolId group_box = type_symbol("group-box");
  static const SymbolId check = type_symbol("check");
  static const SymbolId radio = type_symbol("radio");
  static const SymbolId text_list = type_symbol("text-list");
  static const SymbolId rich_text = type_symbol("rich-text");
  SymbolId t = w->type;
  if (t == window) {
    make_window_class(w);
  } else if (t == field) {
    make_field(w);
  } else if (t == button) {
    w->render = render_button;
    w->handle_event = button_event;
  } else if (t == base) {
    make_base(w);
  } else if (t == progress) {
    w->build = build_progress;
    w->render = render_progress;
    w->build(w);
  } else if (t == group_box) {
    w->render = render_group_box;
  } else if (t == check || t == radio) {
    w->build = t == check ? build_check : build_radio;
    w->render = render_choice;
    w->handle_event = t == check ? check_event : radio_event;
    w->build(w);
  } else if (t == text_list) {
    w->data_word = 0;
    w->build = build_text_list;
    w->handle_event = text_list_event;
    w->build(w);
  } else if (t == rich_text) {
    w->render = render_rich_text;
    if (build_rich_text) {
      w->build = build_rich_text;
      w->build(w);
    }
  }
}

bool widget_boot_value(std::string_view name) { return table_boot_value(kRoutines, name); }

}  // namespace qel::gui
