// The platform routines and view management of the text-mode back end (see
// platform.h).
#include "gui/terminal/platform.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include <unistd.h>

#include "datatypes/handle.h"
#include "datatypes/image.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/tuple.h"
#include "evaluator/interpreter.h"
#include "core/stack.h"
#include "gui/terminal/draw.h"
#include "gui/terminal/events.h"
#include "gui/terminal/render.h"
#include "gui/terminal/richtext.h"
#include "gui/terminal/routines.h"
#include "gui/terminal/support.h"
#include "gui/terminal/tty.h"
#include "gui/terminal/widgets.h"
#include "library/routines.h"
#include "runtime/ext_resource.h"
#include "runtime/output.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/object.h"
#include "values/ownership.h"
#include "datatypes/string.h"
#include "datatypes/time.h"
#include "datatypes/word.h"

namespace qel::gui {

namespace {

// The external-resource kind of widget records, learnt from the first
// widget made here.
int32_t widget_kind = 0;

Cell* arg(int i) { return stack::arguments + i; }
Cell* result() { return stack::arguments; }
void none_result() { set_none(result()); }

SymbolId symbol_of(const Cell* c) { return symbol::resolve(c->symbol()); }

bool is_word(const Cell* c, SymbolId sym) { return c && is_any_word(c->type()) && symbol_of(c) == sym; }

bool is_true(const Cell* c) { return c && c->is(TypeId::logic) && c->logic(); }

// The type word of a face, resolved (0 when it has none).
SymbolId face_type(const Cell* face) {
  const Cell* t = face_field(face, "type");
  return t && is_any_word(t->type()) ? symbol_of(t) : 0;
}

struct Types {
  SymbolId window = type_symbol("window");
  SymbolId screen = type_symbol("screen");
  SymbolId field = type_symbol("field");
  SymbolId area = type_symbol("area");
  SymbolId text_list = type_symbol("text-list");
  SymbolId drop_list = type_symbol("drop-list");
  SymbolId drop_down = type_symbol("drop-down");
  SymbolId rich_text = type_symbol("rich-text");
  SymbolId data = type_symbol("data");
  SymbolId remove = type_symbol("remove");
  SymbolId take = type_symbol("take");
  SymbolId clear = type_symbol("clear");
  SymbolId move = type_symbol("move");
};
const Types& types() {
  static const Types t;
  return t;
}

// system/view/<name>, or null before the view object exists.
Cell* view_field(const char* name) {
  Cell w = word::load("system");
  const Cell* sys = context::get(&w);
  if (!sys || !sys->is(TypeId::object)) return nullptr;
  return face_field(face_field(sys, "view"), name);
}

// A global word's value, or null when it has none.
const Cell* global_value(const char* name) {
  Cell w = word::load(name);
  const Cell* v = context::get(&w);
  return v && !v->is(TypeId::unset) ? v : nullptr;
}

// The function `name` of the TUI-helpers object, or null.
const Cell* tui_helper(const char* name) {
  const Cell* helpers = global_value("TUI-helpers");
  const Cell* fn = face_field(helpers, name);
  return fn && is_any_function(fn->type()) ? fn : nullptr;
}

// Keeps system/view/auto-sync? off for a scope.
class AutoSyncOff {
 public:
  AutoSyncOff() {
    if (Cell* c = view_field("auto-sync?")) {
      saved_ = *c;
      had_ = true;
      set_logic(c, false);
    }
  }
  ~AutoSyncOff() {
    if (!had_) return;
    if (Cell* c = view_field("auto-sync?")) *c = saved_;
  }
  AutoSyncOff(const AutoSyncOff&) = delete;
  AutoSyncOff& operator=(const AutoSyncOff&) = delete;

 private:
  Cell saved_{};
  bool had_ = false;
};

// The face's state block when it is one.
Cell* state_block(const Cell* face) {
  Cell* st = face_field(face, "state");
  return st && st->is(TypeId::block) ? st : nullptr;
}

// Widget flags that follow the face flags.
uint32_t widget_flags_of(uint32_t flags) {
  uint32_t w = 0;
  if (flags & face_flag::focusable) w |= widget_flag::focusable;
  if (flags & face_flag::all_over) w |= widget_flag::all_over;
  if (flags & face_flag::password) w |= widget_flag::password;
  if (flags & face_flag::fullscreen) w |= widget_flag::full_screen;
  return w;
}

// A coordinate the screen can take: boxes become whole cells through
// int32_t, so NaN is 0 and the rest stays within a million cells.
float cell_coordinate(float v) {
  constexpr float kLimit = 1e6f;
  return std::isnan(v) ? 0.0f : std::clamp(v, -kLimit, kLimit);
}

// The x and y of a pair! or point2D! (0, 0 for anything else).
void planar(const Cell* c, float* x, float* y) {
  *x = *y = 0;
  if (!c) return;
  if (c->is(TypeId::pair)) {
    *x = static_cast<float>(pair::x(c));
    *y = static_cast<float>(pair::y(c));
  } else if (c->is(TypeId::point2d)) {
    *x = point2d::x(c);
    *y = point2d::y(c);
  }
  *x = cell_coordinate(*x);
  *y = cell_coordinate(*y);
}

void remove_timer_of(Widget* w) { remove_timer(w); }

// Takes a face out of the `parent` list of its font or para.
void unlink_from(const Cell* face, const char* facet) {
  const Cell* sub = face_field(face, facet);
  if (!sub || !sub->is(TypeId::object)) return;
  Cell* users = face_field(sub, "parent");
  if (!users || !users->is(TypeId::block)) return;
  Cell* first = block::rs_abs_at(users, 0);
  int32_t n = block::total_cells(users);
  for (int32_t i = 0; i < n; i++) {
    if (first[i].is(TypeId::object) && object::context_of(first + i) == object::context_of(face)) {
      std::copy(first + i + 1, first + n, first + i);
      block::rs_clear_from(users, n - 1);
      break;
    }
  }
  // A font no face uses any more lets its back-end handle go.
  if (std::string_view(facet) == "font" && block::total_cells(users) == 0)
    if (Cell* st = face_field(sub, "state")) set_none(st);
}

// Frees the widgets of a face and, depth first, of the faces of its pane.
void free_face_tree(Cell face, int32_t depth) {
  if (depth > 1000 || !face.is(TypeId::object)) return;
  if (Cell* pane = face_field(&face, "pane"); pane && pane->is(TypeId::block)) {
    // A copy: the pane may change while its faces go.
    std::vector<Cell> children(block::rs_head(pane), block::rs_head(pane) + block::rs_length_q(pane));
    for (const Cell& c : children) free_face_tree(c, depth + 1);
  }
  Widget* w = face_widget(&face);
  if (w) {
    const Cell* rate = face_field(&face, "rate");
    if (rate && !rate->is(TypeId::none)) remove_timer_of(w);
  }
  unlink_from(&face, "font");
  unlink_from(&face, "para");
  if (w) free_widget(w);
  if (Cell* st = face_field(&face, "state")) set_none(st);
}

// `to image!` of a face: the text back end cannot capture a face as
// pixels, so a face gives none; any other object is not its business.
bool face_to_image(const Cell* face, Cell* out) {
  for (const char* name : {"type", "offset", "size", "parent", "pane", "state", "para", "font", "actors"})
    if (!face_field(face, name)) return false;
  set_none(out);
  return true;
}

}  // namespace

// --- flags and handles

uint32_t get_flags(const Cell* flags) {
  struct Entry {
    const char* name;
    uint32_t bit;
  };
  static constexpr Entry kTable[] = {
      {"all-over", face_flag::all_over},     {"focusable", face_flag::focusable},
      {"resize", face_flag::resize},         {"no-title", face_flag::no_title},
      {"no-border", face_flag::no_border},   {"no-min", face_flag::no_min},
      {"no-max", face_flag::no_max},         {"no-buttons", face_flag::no_buttons},
      {"modal", face_flag::modal},           {"popup", face_flag::popup},
      {"tri-state", face_flag::tri_state},   {"scrollable", face_flag::scrollable},
      {"password", face_flag::password},     {"no-sync", face_flag::no_sync},
      {"fullscreen", face_flag::fullscreen},
  };
  static const std::vector<SymbolId> symbols = [] {
    std::vector<SymbolId> s;
    for (const Entry& e : kTable) s.push_back(type_symbol(e.name));
    return s;
  }();
  auto bit_of = [](const Cell* word) -> uint32_t {
    SymbolId sym = symbol_of(word);
    for (size_t i = 0; i < symbols.size(); i++)
      if (symbols[i] == sym) return kTable[i].bit;
    Cell bad = *word;
    fire(ErrorCode::script_invalid_arg, &bad);
  };
  if (!flags) return 0;
  if (flags->is(TypeId::word)) return bit_of(flags);
  if (!flags->is(TypeId::block)) return 0;
  uint32_t bits = 0;
  const Cell* first = block::rs_head(const_cast<Cell*>(flags));
  for (int32_t i = 0, n = block::rs_length_q(flags); i < n; i++)
    if (is_any_word(first[i].type())) bits |= bit_of(first + i);
  return bits;
}

const Cell* get_face_handle(const Cell* face) {
  Cell* st = state_block(face);
  if (!st || block::rs_length_q(st) < 1) return nullptr;
  return block::rs_head(st);
}

Widget* handle_widget(const Cell* handle) {
  if (!handle || !handle->is(TypeId::handle) || handle::class_of(handle) != handle::Class::window) return nullptr;
  // The records live in the external-resource table under the widgets'
  // kind, learnt from the first widget made here.
  int32_t index = handle::value_of(handle);
  if (widget_kind == 0 || index < 0 || index >= ext_resource::capacity()) return nullptr;
  uint32_t flags = ext_resource::flags_of(index);
  if ((flags & ext_resource::record_flag::free) ||
      static_cast<int32_t>(flags & ext_resource::record_flag::kind_mask) != widget_kind)
    return nullptr;
  return static_cast<Widget*>(ext_resource::object_of(index));
}

// --- rates

int32_t rate_interval(const Cell* rate) {
  if (rate->is(TypeId::integer) && rate->integer() > 0) return 1000 / rate->integer();
  if (rate->is(TypeId::time) && time::get(rate) > 0) {
    double ms = std::trunc(time::get(rate) * 1000.0);
    return ms >= 2147483647.0 ? INT32_MAX : static_cast<int32_t>(ms);
  }
  Cell bad = *rate;
  fire(ErrorCode::script_invalid_facet_type, &bad);
}

void set_rate(Widget* w, const Cell* rate) {
  if (rate->is(TypeId::none)) {
    remove_timer_of(w);
    return;
  }
  int32_t interval = rate_interval(rate);
  add_timer(w, interval);
}

// --- views

Widget* os_make_view(Cell* face, Widget* parent) {
  init_screen();
  uint32_t flags = widget_flags_of(get_flags(face_field(face, "flags")));
  float x = 0, y = 0, width = 0, height = 0;
  if (Cell* offset = face_field(face, "offset")) {
    pair_to_point2d(offset);
    planar(offset, &x, &y);
  }
  if (const Cell* size = face_field(face, "size")) {
    if (size->is(TypeId::pair)) flags |= widget_flag::size_is_pair;
    planar(size, &width, &height);
  }
  if (!is_true(face_field(face, "enabled?"))) flags |= widget_flag::disabled;
  if (!is_true(face_field(face, "visible?"))) flags |= widget_flag::hidden;
  // A bad rate is refused before anything is made.
  if (const Cell* rate = face_field(face, "rate"); rate && !rate->is(TypeId::none)) rate_interval(rate);
  SymbolId type = face_type(face);
  if (type == types().window) {
    x = y = 0;
    if (Cell* offset = face_field(face, "offset")) pair::make_at(offset, 0, 0);
  }
  Widget* w = make_widget(parent);
  widget_kind = static_cast<int32_t>(ext_resource::flags_of(w->handle) & ext_resource::record_flag::kind_mask);
  w->flags = flags;
  w->left = x;
  w->top = y;
  w->right = x + width;
  w->bottom = y + height;
  w->face = *face;
  w->type = type;
  make_widget_class(w);
  if (parent) {
    on_widget_created(w);
    const Cell* image = face_field(&w->face, "image");
    if (image && image->is(TypeId::image)) image_to_cells(w, image);
  }
  const Cell* rate = face_field(&w->face, "rate");
  if (rate && !rate->is(TypeId::none)) {
    Cell r = *rate;
    set_rate(w, &r);
  }
  return w;
}

void os_update_view(Cell* face) {
  Cell* st = state_block(face);
  if (!st) return;
  int32_t n = block::rs_length_q(st);
  Widget* w = n >= 1 ? handle_widget(block::rs_head(st)) : nullptr;
  if (!w) w = face_widget(face);
  int32_t changes = n >= 2 && block::rs_head(st)[1].is(TypeId::integer) ? block::rs_head(st)[1].integer() : 0;
  if (w) {
    if (changes & change_bit::rate) {
      remove_timer_of(w);
      const Cell* rate = face_field(face, "rate");
      if (rate && !rate->is(TypeId::none)) {
        Cell r = *rate;
        set_rate(w, &r);
      }
    }
    if (changes & change_bit::offset) {
      float x, y;
      planar(face_field(face, "offset"), &x, &y);
      float width = w->right - w->left, height = w->bottom - w->top;
      w->left = x;
      w->top = y;
      w->right = x + width;
      w->bottom = y + height;
    }
    if (changes & change_bit::size) {
      float width, height;
      const Cell* size = face_field(face, "size");
      planar(size, &width, &height);
      w->right = w->left + width;
      w->bottom = w->top + height;
      if (size && size->is(TypeId::pair)) w->flags |= widget_flag::size_is_pair;
      else w->flags &= ~widget_flag::size_is_pair;
    }
    if (changes & change_bit::selected) {
      SymbolId type = face_type(face);
      if (type == types().window) {
        const Cell* selected = face_field(face, "selected");
        Widget* target = nullptr;
        if (selected && selected->is(TypeId::object)) target = face_widget(selected);
        else if (selected && selected->is(TypeId::none)) target = w;
        if (target) {
          screen().focus_requests++;
          set_focus_widget(screen().active, target);
        }
      }
    }
    if (changes & change_bit::enabled) {
      if (is_true(face_field(face, "enabled?"))) w->flags &= ~widget_flag::disabled;
      else w->flags |= widget_flag::disabled;
    }
    if (changes & change_bit::visible) {
      if (is_true(face_field(face, "visible?"))) w->flags &= ~widget_flag::hidden;
      else w->flags |= widget_flag::hidden;
    }
    if (changes & change_bit::flags) {
      uint32_t f = widget_flags_of(get_flags(face_field(face, "flags")));
      constexpr uint32_t kFollow = widget_flag::all_over | widget_flag::password;
      w->flags = (w->flags & ~kFollow) | (f & kFollow);
    }
    if (changes & change_bit::image) {
      const Cell* image = face_field(face, "image");
      Cell none;
      set_none(&none);
      image_to_cells(w, image ? image : &none);
    }
    {
      AutoSyncOff off;
      if (w->build) w->build(w);
    }
    invalidate(w);
  }
  // A build operation runs Qel code: the state is read again.
  st = state_block(face);
  if (st && block::rs_length_q(st) >= 2) set_integer(block::rs_head(st) + 1, 0);
}

void os_update_facet(Cell* owner, const Cell* word, const Cell* value, const Cell* action, int32_t index,
                     int32_t part) {
  Widget* w = face_widget(owner);
  if (w && is_word(word, types().data)) {
    SymbolId type = face_type(owner);
    const Types& t = types();
    if (type == t.text_list && value->is(TypeId::block) && is_any_word(action->type())) {
      SymbolId a = symbol_of(action);
      if (a == t.remove || a == t.take || a == t.clear || a == t.move) {
        // The list's length, not the length after the changed position (a
        // removal near the tail took the selection back to 0).
        const Cell* data = face_field(owner, "data");
        int32_t length = data && data->is(TypeId::block) ? block::rs_length_q(data) : block::rs_length_q(value);
        if (index < w->data_word) w->data_word = std::max(index, 0);
        if (index == 0 && part >= length) w->data_word = 0;
        if (Cell* selected = face_field(owner, "selected"); selected && selected->is(TypeId::integer))
          set_integer(selected, std::min(selected->integer(), std::max(length - part, 0)));
      }
    } else if ((type == t.drop_list || type == t.drop_down) && part == 0) {
      return;
    }
  }
  os_update_view(owner);
}

void os_destroy_view(Cell* face, bool empty) {
  free_face_tree(*face, 0);
  // Only a window a blocking loop runs for ends that loop: faces leaving a
  // pane, and windows shown without waiting, leave it running.
  if (empty) post_quit_msg();
  if (!screen().windows.empty()) invalidate(nullptr);
}

void os_show_window(Widget* w) {
  if (WindowRecord* r = dynamic_cast<WindowRecord*>(w->data.get())) activate_window(r);
  invalidate(w);
}

void os_redraw(Widget* w) { invalidate(w); }
void os_refresh_window(Widget* w) { invalidate(w); }

void update_font(Cell* font, int32_t kind) {
  if ((kind >= 0 && kind <= 3) || kind == 5)
    if (Cell* st = face_field(font, "state")) set_none(st);
}

void update_para(Cell* face) {
  Cell* st = state_block(face);
  if (!st || block::rs_length_q(st) < 2) return;
  Cell* flags = block::rs_head(st) + 1;
  if (flags->is(TypeId::integer)) set_integer(flags, flags->integer() | change_bit::para);
}

// --- start and the screen's text

void init_backend() {
  if (Cell* platform = view_field("platform")) {
    static constexpr uint8_t kVersion[] = {10, 10, 10};
    if (Cell* v = face_field(platform, "version")) tuple::make_at(v, kVersion, 3);
    if (Cell* b = face_field(platform, "build")) set_integer(b, 1000);
    if (Cell* p = face_field(platform, "product")) set_integer(p, 0);
  }
  int32_t level = 0;
  if (const Cell* fn = tui_helper("check-color-support")) {
    Cell* base = stack::top;
    Cell name = word::load("check-color-support");
    Cell* r = interpreter::call_function(fn, nullptr, 0, &name);
    if (r && r->is(TypeId::integer)) level = r->integer();
    stack::top = base;
  }
  if (level != 2 && level != 4) level = color_support(std::getenv("COLORTERM"), std::getenv("TERM"));
  screen().colour_mode = level;
  init_screen();
  image::face_to_image = face_to_image;
}

std::string screen_text() {
  ScreenState& s = screen();
  if (!s.active || !s.active->window) return {};
  if (tty::columns() < 0) tty::get_console_size();
  render_window(s.active);
  std::string text;
  for (int32_t y = 0; y < s.height; y++) {
    std::string row;
    for (int32_t x = 0; x < s.width; x++) {
      const ScreenCell& c = *grid_cell(x, y);
      if (c.attributes & attr::continuation) continue;
      uint32_t cp = c.attributes & attr::masked ? '*' : c.code_point == 0 ? ' ' : c.code_point;
      if (cp < 32 || cp == 127) cp = ' ';
      // A lone surrogate has no UTF-8 form: the terminal is sent U+FFFD
      // for it, and so is this text (its bytes read back as three).
      if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
      char b[4];
      row.append(b, output::encode_utf8(cp, b));
    }
    while (!row.empty() && row.back() == ' ') row.pop_back();
    if (y > 0) text += '\n';
    text += row;
  }
  return text;
}

// --- the routines

namespace {

Widget* face_arg_widget(int i) { return face_widget(arg(i)); }

void r_make_null_handle() { handle::make_at(result(), 0, handle::Class::null); }
void r_fetch_all_screens() { none_result(); }
void r_get_screen_size() {
  tty::get_console_size();
  pair::make_at(result(), tty::columns(), tty::rows());
}
void r_size_text() {
  const Cell* value = arg(1);
  const Cell* text = nullptr;
  if (value->is(TypeId::string)) {
    text = value;
  } else if (value->is(TypeId::none)) {
    text = face_field(arg(0), "text");
  } else {
    Cell dt;
    set_datatype(&dt, value->type());
    fire(ErrorCode::script_invalid_type, &dt);
  }
  if (!text || !text->is(TypeId::string)) return none_result();
  TextSize size = get_text_size(text);
  point2d::make_at(result(), static_cast<float>(size.width), static_cast<float>(size.lines));
}
void r_on_change_facet() {
  os_update_facet(arg(0), arg(1), arg(2), arg(3), arg(5)->integer(), arg(6)->integer());
  none_result();
}
void r_update_text() { none_result(); }
void r_update_font() { update_font(arg(0), arg(1)->integer()), none_result(); }
void r_update_para() { update_para(arg(0)), none_result(); }
void r_destroy_view() { os_destroy_view(arg(0), arg(1)->logic()), none_result(); }
void r_detach_image() { ownership::unbind(arg(0)), none_result(); }
void r_update_view() {
  Cell* face = arg(0);
  if (face->is(TypeId::block)) {
    // Every value must be a face before any is updated.
    std::vector<Cell> faces(block::rs_head(face), block::rs_head(face) + block::rs_length_q(face));
    for (const Cell& f : faces)
      if (!f.is(TypeId::object)) {
        Cell dt;
        set_datatype(&dt, f.type());
        fire(ErrorCode::script_invalid_type, &dt);
      }
    for (Cell& f : faces)
      if (state_block(&f)) os_update_view(&f);
  } else if (face->is(TypeId::object)) {
    if (face_type(face) != types().screen) os_update_view(face);
  } else {
    Cell dt;
    set_datatype(&dt, face->type());
    fire(ErrorCode::script_invalid_type, &dt);
  }
  none_result();
}
void r_refresh_window() {
  if (Widget* w = handle_widget(arg(0))) os_refresh_window(w);
  none_result();
}
void r_redraw() {
  if (Widget* w = face_arg_widget(0)) os_redraw(w);
  none_result();
}
void r_show_window() {
  if (Widget* w = handle_widget(arg(0))) os_show_window(w);
  none_result();
}
void r_make_view() {
  Widget* parent = handle_widget(arg(1));
  Widget* w = os_make_view(arg(0), parent);
  make_widget_handle(result(), w);
}
void r_draw_image() {
  Cell* img = arg(0);
  if (image::width(img) > 0 && image::height(img) > 0) {
    do_draw_on_image(arg(1));
    ownership::check(img, OwnerEvent::poked, nullptr, 0, static_cast<int32_t>(image::pixel_count(img)));
  }
  none_result();
}
void r_draw_face() {
  get_flags(face_field(arg(0), "flags"));
  none_result();
}
void r_request_font() {}  // the font is its own answer (slot 0 holds it)
// Calls a requester of the widget texts with five arguments.
void call_requester(const char* name, const Cell* title, const Cell* place, const Cell* filter) {
  const Cell* fn = tui_helper(name);
  if (!fn) return none_result();
  Cell args[5] = {*title, *place, *filter, *arg(3), *arg(4)};
  const Cell* list[5] = {args, args + 1, args + 2, args + 3, args + 4};
  Cell word = word::load(name);
  Cell* base = stack::top;
  Cell* r = interpreter::call_function(fn, list, 5, &word);
  Cell answer = *r;
  stack::top = base;
  *result() = answer;
}
void r_request_file() {
  Cell none;
  set_none(&none);
  Cell name = *arg(1);
  call_requester("request-file", &none, &name, &none);
}
void r_request_dir() {
  Cell none;
  set_none(&none);
  call_requester("request-dir", &none, &none, &none);
}
void r_text_box_metrics() {
  Cell* box = arg(0);
  if (face_type(box) != types().rich_text) {
    // An object without a type field is named whole in the error.
    const Cell* type_field = face_field(box, "type");
    Cell t = type_field ? *type_field : *box;
    fire(ErrorCode::script_face_type, &t);
  }
  const Cell* text = face_field(box, "text");
  if (!text || !text->is(TypeId::string)) return none_result();
  Cell box_copy = *box, arg0 = *arg(1);
  int32_t type = arg(2)->integer();
  Cell* base = stack::top;
  Cell* out = stack::push_slot();
  set_none(out);
  text_box_metrics(&box_copy, &arg0, type, out);
  Cell answer = *out;
  stack::top = base;
  *result() = answer;
}
void r_nothing() { none_result(); }
void r_support_dark_mode_q() { set_logic(result(), false); }
void r_gui_init() { init_backend(), none_result(); }
using library::RoutineDef;

constexpr RoutineDef kRoutines[] = {
    {"make-null-handle", r_make_null_handle, "", TypeId::handle},
    {"fetch-all-screens", r_fetch_all_screens, "", TypeId::none_id},
    {"get-screen-size", r_get_screen_size, "id [integer!]", TypeId::pair},
    {"size-text", r_size_text, "face [object!] value [any-type!]", TypeId::none_id},
    {"on-change-facet", r_on_change_facet,
     "owner [object!] word [any-word!] value [any-type!] action [word!] new [any-type!] index [integer!] "
     "part [integer!]",
     TypeId::none_id},
    {"update-text", r_update_text, "face [object!]", TypeId::none_id},
    {"update-font", r_update_font, "font [object!] flags [integer!]", TypeId::none_id},
    {"update-para", r_update_para, "face [object!] flags [integer!]", TypeId::none_id},
    {"destroy-view", r_destroy_view, "face [object!] empty? [logic!]", TypeId::none_id},
    {"detach-image", r_detach_image, "img [image!]", TypeId::none_id},
    {"update-view", r_update_view, "face [any-type!]", TypeId::none_id},
    {"refresh-window", r_refresh_window, "h [handle!]", TypeId::none_id},
    {"redraw", r_redraw, "face [object!]", TypeId::none_id},
    {"show-window", r_show_window, "id [handle!]", TypeId::none_id},
    {"make-view", r_make_view, "face [object!] parent [handle!]", TypeId::handle},
    {"draw-image", r_draw_image, "image [image!] cmds [block!]", TypeId::none_id},
    {"draw-face", r_draw_face, "face [object!] cmds [block!]", TypeId::none_id},
    {"request-font", r_request_font, "font [object!] selected [any-type!] mono? [logic!]", TypeId::none_id},
    {"request-file", r_request_file,
     "title [any-type!] name [any-type!] filter [any-type!] save? [logic!] multi? [logic!]", TypeId::none_id},
    {"request-dir", r_request_dir,
     "title [any-type!] dir [any-type!] filter [any-type!] keep? [logic!] multi? [logic!]", TypeId::none_id},
    {"text-box-metrics", r_text_box_metrics, "box [object!] arg0 [any-type!] type [integer!]", TypeId::none_id},
    {"update-scroller", r_nothing, "scroller [object!] flags [integer!]", TypeId::none_id},
    {"set-dark-mode", r_nothing, "face [object!] dark? [logic!]", TypeId::none_id},
    {"support-dark-mode?", r_support_dark_mode_q, "return: [logic!]", TypeId::logic},
    {"toggle-GPU", r_nothing, "", TypeId::none_id},
    {"gui-init", r_gui_init, "", TypeId::none_id},
};

}  // namespace

bool platform_boot_value(std::string_view name) { return table_boot_value(kRoutines, name); }

void r_screen_text() {
  std::string text = screen_text();
  string::make_utf8(result(), text);
}

}  // namespace qel::gui
