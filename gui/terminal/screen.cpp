// The screen: widget records, windows and focus, the grid and its flush
// (see screen.h).
#include "gui/terminal/screen.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include "datatypes/handle.h"
#include "gui/terminal/render.h"
#include "gui/terminal/support.h"
#include "gui/terminal/tty.h"
#include "memory/collector.h"
#include "runtime/ext_resource.h"
#include "runtime/output.h"
#include "datatypes/block.h"

namespace qel::gui {

DispatchFn dispatch_event = nullptr;

namespace {

ScreenState state;
std::unordered_set<Widget*> live;
int32_t widget_kind = 0;
bool mark_registered = false;

void mark_widgets() {
  for (Widget* w : live) {
    collector::mark_cell(&w->face);
    collector::mark_cell(&w->ui);
    // A widget is freed with its view, never by the collector: its record
    // stays even while no handle! names it yet (a class builder running Qel
    // code before make-view has answered).
    ext_resource::mark(w->handle, nullptr);
  }
}

int32_t build_nothing(Widget*) { return 0; }
int32_t handle_nothing(int32_t, GuiMessage*) { return 0; }
void render_nothing(int32_t, int32_t, Widget*) {}

bool alive(const Widget* w) { return w && live.count(const_cast<Widget*>(w)) != 0; }

// The widgets of the faces in a widget's pane, in block order.
template <class F>
void for_each_child(Widget* w, F&& f) {
  if (!w->has_face()) return;
  const Cell* pane = face_field(&w->face, "pane");
  if (!pane || !pane->is(TypeId::block)) return;
  // Read again on every step: a callback may change the block.
  for (int32_t i = 0;; i++) {
    const Cell* p = face_field(&w->face, "pane");
    if (!p || !p->is(TypeId::block) || i >= block::rs_length_q(p)) return;
    Widget* child = face_widget(block::rs_head(const_cast<Cell*>(p)) + i);
    if (child && child != w) f(child);
  }
}

// The face's state block no longer names a freed widget.
void forget_handle(Widget* w) {
  if (!w->has_face()) return;
  Cell* st = face_field(&w->face, "state");
  if (!st || !st->is(TypeId::block) || block::rs_length_q(st) < 1) return;
  const Cell* h = block::rs_head(st);
  if (h->is(TypeId::handle) && handle::value_of(h) == w->handle) set_none(st);
}

void drop_references(Widget* w) {
  ScreenState& s = state;
  if (s.focused == w) s.focused = nullptr;
  if (s.hovered == w) s.hovered = nullptr;
  if (s.captured == w) s.captured = nullptr;
  if (s.current_window == w) s.current_window = nullptr;
  std::erase(s.pressed, w);
  for (WindowRecord* r : s.windows)
    if (r->last_focused == w) r->last_focused = nullptr;
}

void remove_window(WindowRecord* record) {
  ScreenState& s = state;
  std::erase(s.windows, record);
  if (s.active == record) s.active = nullptr;
  if (!s.windows.empty()) activate_window(s.windows.back());
}

void put_int(std::string& out, int32_t v) {
  char buf[16];
  int n = std::snprintf(buf, sizeof buf, "%d", v);
  out.append(buf, static_cast<size_t>(n));
}

// The SGR code of a colour.
void append_colour(std::string& out, uint32_t c, bool foreground) {
  static constexpr const char* kBasic[18][2] = {
      {"40", "30"},   {"41", "31"},   {"42", "32"},   {"43", "33"},   {"44", "34"},  {"45", "35"},
      {"46", "36"},   {"47", "37"},   {"0", "0"},     {"49", "39"},   {"100", "90"}, {"101", "91"},
      {"102", "92"},  {"103", "93"},  {"104", "94"},  {"105", "95"},  {"106", "96"}, {"107", "97"}};
  out += "\033[";
  uint32_t v = c & 0xFFFFFF;
  switch (colour::kind(c)) {
    case 0:
      out += foreground ? "39" : "49";
      break;
    case 1:
      out += v < 18 ? kBasic[v][foreground ? 1 : 0] : "0";
      break;
    case 2:
      out += foreground ? "38;5;" : "48;5;";
      put_int(out, static_cast<int32_t>(v & 0xFF));
      break;
    case 4:
      out += foreground ? "38;2;" : "48;2;";
      put_int(out, static_cast<int32_t>((v >> 16) & 0xFF));
      out += ';';
      put_int(out, static_cast<int32_t>((v >> 8) & 0xFF));
      out += ';';
      put_int(out, static_cast<int32_t>(v & 0xFF));
      break;
    default:
      out += '0';
      break;
  }
  out += 'm';
}

// The character a cell shows. Control characters would be taken by the
// terminal as commands: they show as their pictures (U+2400 ...). A lone
// surrogate (a string may hold one) has no UTF-8 form: its bytes would
// reach the terminal as invalid UTF-8, drawn as several cells.
uint32_t shown_char(uint32_t cp) {
  if (cp == 0) return ' ';
  if (cp < 32) return 0x2400 + cp;
  if (cp == 127) return 0x2421;
  if (cp >= 128 && cp < 160) return 0xFFFD;
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0xFFFD;
  return cp;
}

void append_char(std::string& out, uint32_t cp) {
  char b[4];
  out.append(b, output::encode_utf8(cp, b));
}

// Renders a widget and, below it, the widgets of its pane. The depth is
// bounded: faces may hold each other in their panes.
void render_tree(Widget* w, int32_t depth) {
  if (depth > 1000 || w->has(widget_flag::hidden)) return;
  CellSize at = absolute_offset(w);
  if (w->render) w->render(at.width, at.height, w);
  for_each_child(w, [depth](Widget* child) { render_tree(child, depth + 1); });
}

}  // namespace

ScreenState& screen() { return state; }

SymbolId type_symbol(const char* name) { return symbol::resolve(symbol::make(name)); }

void init_screen() {
  if (!mark_registered) {
    collector::add_mark_callback(mark_widgets);
    mark_registered = true;
  }
  if (!widget_kind) widget_kind = ext_resource::register_kind("gui-widget", nullptr);
}

// --- widgets

CellSize widget_size(const Widget* w) {
  return CellSize{static_cast<int32_t>(w->right - w->left), static_cast<int32_t>(w->bottom - w->top)};
}

CellSize absolute_offset(const Widget* w) {
  float x = 0, y = 0;
  for (const Widget* p = w; p && p->parent; p = p->parent) {
    x += p->left;
    y += p->top;
  }
  return CellSize{static_cast<int32_t>(x), static_cast<int32_t>(y)};
}

Widget* make_widget(Widget* parent) {
  init_screen();
  auto* w = new Widget;
  w->parent = parent;
  w->build = build_nothing;
  w->render = render_default;
  w->handle_event = handle_nothing;
  set_none(&w->face);
  set_none(&w->ui);
  w->handle = ext_resource::store(w, widget_kind);
  live.insert(w);
  return w;
}

void free_widget(Widget* w) {
  if (!alive(w)) return;
  if (auto* record = dynamic_cast<WindowRecord*>(w->data.get())) remove_window(record);
  drop_references(w);
  forget_handle(w);
  live.erase(w);
  ext_resource::free(w->handle, false);
  delete w;
}

void free_widget_tree(Widget* w) {
  if (!alive(w)) return;
  std::vector<Widget*> children;
  for_each_child(w, [&](Widget* child) {
    if (child->parent == w) children.push_back(child);
  });
  for (Widget* c : children) free_widget_tree(c);
  free_widget(w);
}

bool widget_alive(const Widget* w) { return alive(w); }

Widget* face_widget(const Cell* face) {
  if (!face || !face->is(TypeId::object)) return nullptr;
  Cell* st = face_field(face, "state");
  if (!st || !st->is(TypeId::block) || block::rs_length_q(st) < 1) return nullptr;
  const Cell* h = block::rs_head(st);
  if (!h->is(TypeId::handle) || handle::class_of(h) != handle::Class::window || !widget_kind)
    return nullptr;
  int32_t index = handle::value_of(h);
  if (index < 0 || index >= ext_resource::capacity()) return nullptr;
  uint32_t flags = ext_resource::flags_of(index);
  if (flags & ext_resource::record_flag::free) return nullptr;
  if (static_cast<int32_t>(flags & ext_resource::record_flag::kind_mask) != widget_kind) return nullptr;
  auto* w = static_cast<Widget*>(ext_resource::object_of(index));
  return alive(w) ? w : nullptr;
}

void make_widget_handle(Cell* out, const Widget* w) { handle::make_at(out, w->handle, handle::Class::window); }

Widget* window_of(Widget* w) {
  while (w && w->parent) w = w->parent;
  return w;
}

WindowRecord* window_record_of(Widget* w) {
  Widget* win = window_of(w);
  return win ? dynamic_cast<WindowRecord*>(win->data.get()) : nullptr;
}

Widget* find_child_at(Widget* w, float x, float y) {
  if (!w->has_face()) return nullptr;
  const Cell* pane = face_field(&w->face, "pane");
  if (!pane || !pane->is(TypeId::block)) return nullptr;
  const Cell* first = block::rs_head(const_cast<Cell*>(pane));
  for (int32_t i = block::rs_length_q(pane) - 1; i >= 0; i--) {
    Widget* c = face_widget(first + i);
    if (!c || c == w || c->has(widget_flag::hidden)) continue;
    if (c->left <= x && x < c->right && c->top <= y && y < c->bottom) return c;
  }
  return nullptr;
}

void on_widget_created(Widget* w) {
  if (!w->parent) return;
  WindowRecord* r = window_record_of(w);
  if (!r) return;
  r->left = std::min(r->left, w->left);
  r->top = std::min(r->top, w->top);
  r->right = std::max(r->right, w->right);
  r->bottom = std::max(r->bottom, w->bottom);
  if (w->has(widget_flag::caret_owner)) r->caret_owners++;
  if (!r->last_focused && w->has(widget_flag::focusable) && r->window == state.current_window)
    set_focus_widget(r, w);
}

void make_window_class(Widget* w) {
  if (w->has(widget_flag::full_screen)) state.full_screen_requested = true;
  state.current_window = w;
  if (!state.focused) state.focused = w;
  auto record = std::make_unique<WindowRecord>();
  record->window = w;
  state.windows.push_back(record.get());
  w->data = std::move(record);
  w->render = render_nothing;
}

bool send_widget_event(int32_t kind, Widget* w, uint32_t flags) {
  if (!alive(w) || w->has(widget_flag::disabled)) return false;
  GuiMessage message;
  message.widget = w;
  if (w->handle_event) w->handle_event(kind, &message);
  if (alive(w) && w->has_face() && dispatch_event) return dispatch_event(kind, &message, flags);
  return false;
}

void set_focus_widget(WindowRecord* record, Widget* w) {
  Widget* old = state.focused;
  if (old == w) return;
  if (old) old->flags &= ~widget_flag::focused;
  if (record) record->last_focused = w;
  state.focused = w;
  if (w) w->flags |= widget_flag::focused;
  // Handlers may close windows: each event checks its widget is still there.
  if (old) send_widget_event(event_kind::unfocus, old, 0);
  if (w) send_widget_event(event_kind::focus, w, 0);
}

void activate_window(WindowRecord* record) {
  state.active = record;
  state.pressed.clear();
  if (!record) return;
  Widget* target = record->last_focused ? record->last_focused : record->window;
  if (state.focused && state.focused != target) state.focused->flags &= ~widget_flag::focused;
  state.focused = target;
  if (target) target->flags |= widget_flag::focused;
  if (record->caret_owners == 0 && tty::active()) tty::hide_cursor();
}

void invalidate(Widget* w) {
  if (!w) w = state.focused;
  if (!alive(w)) return;
  WindowRecord* r = window_record_of(w);
  if (r && r == state.active) state.redraw = true;
}

// --- the grid

ScreenCell* grid_cell(int32_t x, int32_t y) {
  if (x < 0 || y < 0 || x >= state.width || y >= state.height) return nullptr;
  return &state.grid[static_cast<size_t>(y) * static_cast<size_t>(state.width) + static_cast<size_t>(x)];
}

void fill_rect(int32_t left, int32_t top, int32_t width, int32_t height, uint32_t background) {
  int32_t right = std::min(left + width, state.width), bottom = std::min(top + height, state.height);
  for (int32_t y = std::max(top, 0); y < bottom; y++)
    for (int32_t x = std::max(left, 0); x < right; x++) {
      ScreenCell* c = grid_cell(x, y);
      c->code_point = ' ';
      c->background = background;
    }
}

void append_style_change(std::string& out, const ScreenCell& from, const ScreenCell& to) {
  constexpr uint32_t kStyle = ~(attr::continuation | attr::masked);
  uint32_t a = from.attributes & kStyle, b = to.attributes & kStyle;
  // Bold and dim go off together: whichever stays on is set again.
  if (((a & attr::dim) && !(b & attr::dim)) || ((a & attr::bold) && !(b & attr::bold))) {
    out += "\033[22m";
    a &= ~(attr::dim | attr::bold);
  }
  struct Sgr {
    uint32_t bit;
    const char* on;
    const char* off;
  };
  static constexpr Sgr kOrder[] = {
      {attr::dim, "\033[2m", "\033[22m"},     {attr::reverse, "\033[7m", "\033[27m"},
      {attr::bold, "\033[1m", "\033[22m"},    {attr::italic, "\033[3m", "\033[23m"},
      {attr::strike, "\033[9m", "\033[29m"},  {attr::underline, "\033[4m", "\033[24m"},
      {attr::blink, "\033[5m", "\033[25m"},   {attr::hidden, "\033[8m", "\033[28m"}};
  for (const Sgr& s : kOrder)
    if ((a ^ b) & s.bit) out += (b & s.bit) ? s.on : s.off;
  if (from.foreground != to.foreground) append_colour(out, to.foreground, true);
  if (from.background != to.background) append_colour(out, to.background, false);
}

void write_grid() {
  ScreenState& s = state;
  s.redraw = false;
  if (s.width < 1 || s.height < 1) return;
  std::string& out = s.out;
  if (s.alternate_screen) {
    out += "\033[H";
  } else {
    out += '\r';
    if (s.lines_to_rewind > 0) {
      out += "\033[";
      put_int(out, s.lines_to_rewind);
      out += 'A';
    }
    out += "\033[0J";
  }
  ScreenCell style;
  for (int32_t y = 0; y < s.height; y++) {
    int32_t covered = 0;  // columns still covered by the last wide character
    for (int32_t x = 0; x < s.width; x++) {
      const ScreenCell& c = *grid_cell(x, y);
      if (covered > 0) {
        covered--;
        continue;
      }
      append_style_change(out, style, c);
      style.background = c.background;
      style.foreground = c.foreground;
      style.attributes = c.attributes;
      uint32_t cp = c.attributes & attr::masked ? '*' : shown_char(c.code_point);
      int32_t w = char_width(cp);
      // Every cell writes exactly its columns, so rows keep their length:
      // a stray continuation cell, a zero-width character alone in a cell
      // and a wide character cut by the last column show as a blank.
      if ((c.attributes & attr::continuation) || w == 0 || x + w > s.width) {
        cp = ' ';
        w = 1;
      }
      append_char(out, cp);
      covered = w - 1;
    }
    if (y < s.height - 1) {
      if (style.background != colour::kDefault) {
        out += "\033[49m";
        style.background = colour::kDefault;
      }
      out += "\r\n";
    }
  }
  append_style_change(out, style, ScreenCell{});
  Widget* f = s.focused;
  if (f && f->has(widget_flag::caret_owner) && s.caret_column >= 0 && s.caret_row >= 0) {
    out += '\r';
    int32_t up = s.height - s.caret_row - 1;
    if (up > 0) {
      out += "\033[";
      put_int(out, up);
      out += 'A';
    }
    if (s.caret_column > 0) {
      out += "\033[";
      put_int(out, s.caret_column);
      out += 'C';
    }
    s.lines_to_rewind = s.caret_row;
  } else {
    s.lines_to_rewind = s.height - 1;
  }
  tty::write(out);
  out.clear();
  s.drawn = true;
}

void render_window(WindowRecord* r) {
  ScreenState& s = state;
  int32_t width = std::clamp(static_cast<int32_t>(r->right - r->left), 0, std::max(tty::columns(), 0));
  int32_t height = std::clamp(static_cast<int32_t>(r->bottom - r->top), 0, std::max(tty::rows(), 0));
  if (width > s.capacity_width || height > s.capacity_height) {
    s.capacity_width = std::max(width, s.capacity_width);
    s.capacity_height = std::max(height, s.capacity_height);
    s.grid.assign(static_cast<size_t>(s.capacity_width) * static_cast<size_t>(s.capacity_height), ScreenCell{});
  }
  s.width = width;
  s.height = height;
  std::fill_n(s.grid.begin(), static_cast<size_t>(width) * static_cast<size_t>(height), ScreenCell{});
  render_tree(r->window, 0);
}

void refresh_screen() {
  ScreenState& s = state;
  if (s.alternate_screen) {
    s.origin_column = 0;
    s.origin_row = 0;
  } else if (s.origin_row + s.height > tty::rows()) {
    s.origin_row = std::max(0, tty::rows() - s.height);
  }
  if (!s.redraw || !tty::active() || !s.active || !s.active->window) return;
  render_window(s.active);
  bool caret = s.focused && s.focused->has(widget_flag::caret_owner);
  if (!caret) tty::hide_cursor();
  std::fflush(nullptr);
  write_grid();
  if (caret) tty::show_cursor();
  std::fflush(nullptr);
}

void broadcast_resize(int32_t columns, int32_t rows) {
  std::vector<WindowRecord*> windows = state.windows;
  for (WindowRecord* r : windows) {
    if (std::find(state.windows.begin(), state.windows.end(), r) == state.windows.end()) continue;
    Widget* w = r->window;
    if (!alive(w)) continue;
    GuiMessage message;
    message.widget = w;
    message.x = static_cast<float>(columns);
    message.y = static_cast<float>(rows);
    if (w->handle_event) w->handle_event(event_kind::resize, &message);
    if (alive(w) && w->has_face() && dispatch_event) dispatch_event(event_kind::resize, &message, 0);
  }
  state.redraw = true;
  if (state.alternate_screen) refresh_screen();
}

void enter_full_screen() {
  if (state.full_screen_requested && !state.alternate_screen) {
    tty::enter_alternate_screen();
    state.alternate_screen = true;
  }
}

void leave_full_screen() {
  if (!state.alternate_screen) return;
  tty::leave_alternate_screen();
  state.alternate_screen = false;
}

void erase_inline_view() {
  if (!state.drawn) return;
  std::string out = "\r";
  if (state.lines_to_rewind > 0) {
    out += "\033[";
    put_int(out, state.lines_to_rewind);
    out += 'A';
  }
  // Erased even when the drawing is one row high.
  out += "\033[0J";
  tty::write(out);
  state.lines_to_rewind = 0;
}

void end_inline_view() {
  if (!state.drawn || state.alternate_screen) return;
  tty::cursor_down(state.height - 1 - state.lines_to_rewind);
  tty::write("\r\n");
  state.lines_to_rewind = 0;
  state.drawn = false;
}

void reset() {
  ScreenState& s = state;
  std::vector<WindowRecord*> windows = s.windows;
  for (WindowRecord* r : windows)
    if (std::find(s.windows.begin(), s.windows.end(), r) != s.windows.end()) free_widget_tree(r->window);
  s.width = s.height = 0;
  s.capacity_width = s.capacity_height = 0;
  s.lines_to_rewind = 0;
  s.redraw = false;
  s.drawn = false;
  s.full_screen_requested = false;
  s.caret_column = s.caret_row = 0;
  s.origin_column = s.origin_row = 0;
  s.active = nullptr;
  s.current_window = nullptr;
  s.focused = nullptr;
  s.hovered = nullptr;
  s.captured = nullptr;
  s.windows.clear();
  s.pressed.clear();
  s.out.clear();
  s.grid.clear();
  s.grid.shrink_to_fit();
}

}  // namespace qel::gui
