// Terminal input: the byte buffer, its decoder (characters, control
// characters, escape sequences, mouse and cursor reports) and the routing
// of keys and mouse reports to widgets (see input.h).
#include "gui/terminal/input.h"

#include <algorithm>
#include <string>

#include <poll.h>
#include <unistd.h>

#include "gui/terminal/events.h"
#include "gui/terminal/screen.h"
#include "gui/terminal/tty.h"

namespace qel::gui {

namespace {

constexpr uint8_t kEsc = 27;

// The input buffer and the decoder's place in it. Callbacks run while the
// decoder stands in the buffer (actors, nested loops): it keeps indexes
// only, advanced before each callback, and a nested loop that empties the
// buffer ends the outer walk.
std::string buffer;
size_t read_index = 0;
bool incomplete = false;
bool released_last = true;
int32_t x10_button = 0;  // the button of the last X10 press (its release names none)
float last_x = 0, last_y = 0;

InputSink* sink = nullptr;

// --- the routing sink

void route_mouse(int32_t b, int32_t column, int32_t row, bool released);

struct RoutingSink final : InputSink {
  void key(uint32_t character, int32_t special) override { send_key(nullptr, character, special); }
  void mouse(int32_t b, int32_t column, int32_t row, bool released) override {
    route_mouse(b, column, row, released);
  }
  void cursor_report(int32_t row, int32_t column) override {
    screen().origin_row = std::max(row - 1, 0);
    screen().origin_column = std::max(column - 1, 0);
    tty::cursor_report_received();
  }
};
RoutingSink routing_sink;

InputSink& out() { return sink ? *sink : routing_sink; }

// --- decoding

enum class Utf8 { ok, incomplete, invalid };

// Decodes one UTF-8 character at `at`: its code point and length.
Utf8 decode_utf8(size_t at, uint32_t* cp, size_t* length) {
  const auto byte = [](size_t i) { return static_cast<uint8_t>(buffer[i]); };
  uint8_t c = byte(at);
  size_t n;
  uint32_t v;
  uint8_t low = 0x80, high = 0xBF;  // the second byte's range
  if (c < 0x80) {
    *cp = c;
    *length = 1;
    return Utf8::ok;
  }
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, v = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, v = c & 0x0F;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, v = c & 0x07;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return Utf8::invalid;
  }
  for (size_t k = 1; k < n; k++) {
    if (at + k >= buffer.size()) return Utf8::incomplete;
    uint8_t b = byte(at + k);
    if (k == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF)) return Utf8::invalid;
    v = (v << 6) | (b & 0x3F);
  }
  *cp = v;
  *length = n;
  return Utf8::ok;
}

// The special-key code of a control sequence: the byte after "[", the one
// after that (it tells "[1" and "[2" sequences apart), and the final byte.
int32_t translate_csi(uint8_t first, uint8_t second, uint8_t final) {
  switch (final) {
    case 'A': return special_key::up;
    case 'B': return special_key::down;
    case 'C': return special_key::right;
    case 'D': return special_key::left;
    case 'F': return special_key::end;
    case 'H': return special_key::home;
    case 'Z': return special_key::back_tab;
    case '~': break;
    default: return 0;
  }
  switch (first) {
    case '3': return special_key::del;
    case '5': return special_key::page_up;
    case '6': return special_key::page_down;
    case '1':
      switch (second) {
        case '5': return -35;
        case '7': return -36;
        case '8': return -37;
        case '9': return -38;
        default: return 0;
      }
    case '2':
      switch (second) {
        case '0': return -39;
        case '1': return -40;
        case '3': return -41;
        case '4': return -42;
        default: return 0;
      }
    default:
      return 0;
  }
}

// The code of ESC followed by two bytes ("OP" ... "OS" are F1 ... F4).
int32_t translate_pair(uint8_t d, uint8_t e) {
  if (d == 'O' && e >= 'P' && e <= 'S') return special_key::f1 - (e - 'P');
  return 0;
}

void send_special(int32_t code) {
  if (code != 0) out().key(0, code);
}

// One step forward in an escape sequence; false (and incomplete set) when
// the buffer ends first.
bool advance() {
  read_index++;
  if (read_index >= buffer.size()) {
    incomplete = true;
    return false;
  }
  return true;
}

uint8_t at_read() { return static_cast<uint8_t>(buffer[read_index]); }

// A string sequence (device control or operating system command): skipped
// up to its terminator, ESC "\" (or BEL after an operating system command,
// which terminals answer with too).
void skip_string(uint8_t kind) {
  for (;;) {
    if (!advance()) return;
    uint8_t b = at_read();
    if (kind == ']' && b == 7) break;
    if (b == kEsc) {
      if (!advance()) return;
      if (at_read() == '\\') break;
      read_index--;  // look at that byte again: it may be an ESC itself
    }
  }
  read_index++;
}

// An X10 mouse report: "[M" and three bytes, each a value plus 32.
void parse_x10() {
  uint8_t bytes[3];
  for (uint8_t& b : bytes) {
    if (!advance()) return;
    b = at_read();
  }
  read_index++;
  int32_t b = bytes[0] - 32, column = bytes[1] - 32, row = bytes[2] - 32;
  if (b < 0 || column < 1 || row < 1) return;
  if ((b & 0x60) == 0) {
    if ((b & 3) == 3) {
      out().mouse((b & ~3) | x10_button, column, row, true);
      return;
    }
    x10_button = b & 3;
  }
  out().mouse(b, column, row, false);
}

void parse_csi() {
  const size_t open = read_index;  // the "["
  int32_t params[4] = {0, 0, 0, 0};
  int32_t count = 1;
  int32_t value = 0;
  bool digits = false, sgr = false;
  uint8_t final = 0;
  for (;;) {
    if (!advance()) return;
    uint8_t b = at_read();
    if (b == '<') {
      sgr = true;
    } else if (b >= '0' && b <= '9') {
      value = std::min(value * 10 + (b - '0'), 1000000);
      digits = true;
    } else if (b == ';') {
      if (count <= 4) params[count - 1] = value;
      value = 0;
      count++;
    } else if (b >= 64 && b <= 126 && b != '[') {
      final = b;
      break;
    } else if (b == kEsc) {
      read_index++;  // the sequence is abandoned, its ESC with it
      return;
    }
  }
  if (count <= 4) params[count - 1] = value;
  if (final == 'M' && count == 1 && !digits && !sgr) {
    parse_x10();
    return;
  }
  // Past the final byte before anything is sent.
  read_index++;
  if ((final == 'M' || final == 'm') && count == 3) {
    out().mouse(params[0], params[1], params[2], final == 'm');
  } else if (final == 'R' && count == 2) {
    out().cursor_report(params[0], params[1]);
  } else {
    uint8_t first = static_cast<uint8_t>(buffer[open + 1]);
    uint8_t second = open + 2 < buffer.size() ? static_cast<uint8_t>(buffer[open + 2]) : 0;
    send_special(translate_csi(first, second, final));
  }
}

// The read index stands on an ESC that is not the only byte.
void parse_escape() {
  if (!advance()) return;
  uint8_t d = at_read();
  if (d == kEsc) {
    // Escape pressed twice: the first is the Escape key, and the second
    // starts again (it would otherwise wait for a byte that may never come).
    out().key(kEsc, 0);
  } else if (d == 'P' || d == ']') {
    skip_string(d);
  } else if (d == '[') {
    parse_csi();
  } else if (d == 'O') {
    if (!advance()) return;
    uint8_t e = at_read();
    read_index++;
    send_special(translate_pair(d, e));
  } else {
    // ESC and any other byte is an Alt+key, one key that nothing binds:
    // dropped, and only itself (the byte after it is a key of its own).
    read_index++;
  }
}

// --- routing

bool is_ancestor(const Widget* a, const Widget* b) {
  for (const Widget* p = b ? b->parent : nullptr; p; p = p->parent)
    if (p == a) return true;
  return false;
}

bool is_sibling(const Widget* a, const Widget* b) { return a && b && a != b && a->parent == b->parent; }

void route_mouse(int32_t b, int32_t column, int32_t row, bool released) {
  ScreenState& s = screen();
  if (!s.active || !s.active->window) return;
  Widget* root = s.active->window;
  float x = static_cast<float>(column - 1);
  float y = static_cast<float>(row - s.origin_row - 1);
  uint32_t flags = 0;
  if (b & 4) flags |= event_flag::shift;
  if (b & 8) flags |= event_flag::alt;
  if (b & 16) flags |= event_flag::control;
  int32_t d = (b & 3) + ((b & 0x40) >> 4);
  switch (d) {
    case 0:
    case 1:
    case 2:
      if (released != released_last) {
        released_last = released;
        mouse_button(d * 2 + 1 + (released ? 1 : 0), root, x, y, flags);
      } else {
        route_over(event_type::over, root, x, y, flags | event_flag::down, true);
      }
      break;
    case 3:
      route_over(event_type::over, root, x, y, flags, true);
      break;
    case 4:
      route_wheel(1.0f, root, x, y, flags);
      break;
    case 5:
      route_wheel(-1.0f, root, x, y, flags);
      break;
    default:
      break;
  }
}

struct ButtonRoute {
  int32_t click_type = 0;  // the click type sent on the way (click or dbl-click), 0 none
  bool click_consumed = false;
  bool consumed = false;
};

ButtonRoute route_button(int32_t type, Widget* w, float x, float y, uint32_t flags) {
  ButtonRoute r;
  Widget* child = find_child_at(w, x, y);
  if (child) r = route_button(type, child, x - child->left, y - child->top, flags);
  if (!widget_alive(w)) return r;
  if (!r.consumed) r.consumed = send_mouse_event(type, w, x, y, flags);
  if (!widget_alive(w)) return r;
  ScreenState& s = screen();
  if (type == event_type::down) s.pressed.push_back(w);
  if (type == event_type::up && !r.click_consumed &&
      std::find(s.pressed.begin(), s.pressed.end(), w) != s.pressed.end()) {
    LoopState& loop = loop_state();
    // A focus the click's actor asks for stays where the actor put it.
    const uint32_t focus_requests = s.focus_requests;
    int32_t click = event_type::click;
    if (r.click_type == event_type::dbl_click || (loop.click_state == 2 && loop.click_age < 500)) {
      send_mouse_event(event_type::click, w, x, y, flags);
      loop.click_state = 10;
      click = event_type::dbl_click;
    }
    if (widget_alive(w)) r.click_consumed = send_mouse_event(click, w, x, y, flags);
    r.click_type = click;
    if (!child && widget_alive(w) && w->has(widget_flag::focusable) && !w->has(widget_flag::focused) &&
        s.focus_requests == focus_requests)
      set_focus_widget(window_record_of(w), w);
  }
  return r;
}

}  // namespace

void set_input_sink(InputSink* s) { sink = s; }

void append_input(std::string_view bytes) { buffer.append(bytes); }

int32_t read_console_input(bool process) {
  if (tty::take_resized()) tty::update_screen_size();
  if (!tty::active()) return 0;
  int64_t total = 0;
  char chunk[4096];
  // Bounded, so that a terminal that never stops sending cannot hold the
  // loop here.
  for (int round = 0; round < 16; round++) {
    struct pollfd p {};
    p.fd = STDIN_FILENO;
    p.events = POLLIN;
    if (::poll(&p, 1, 0) <= 0 || !(p.revents & POLLIN)) break;
    ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n <= 0) break;
    if (process) buffer.append(chunk, static_cast<size_t>(n));
    total += n;
    if (static_cast<size_t>(n) < sizeof chunk) break;
  }
  return static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
}

void process_input() {
  incomplete = false;
  if (read_index >= buffer.size()) {
    buffer.clear();
    read_index = 0;
    return;
  }
  while (read_index < buffer.size()) {
    const size_t start = read_index;
    uint8_t c = at_read();
    if (c == kEsc && buffer.size() > 1) {
      parse_escape();
    } else if (c < 32 || c == 127) {
      read_index++;
      uint32_t key = c == 8 ? 127 : c == 10 ? 13 : c;
      out().key(key, 0);
    } else {
      uint32_t cp = 0;
      size_t length = 0;
      switch (decode_utf8(read_index, &cp, &length)) {
        case Utf8::ok:
          read_index += length;
          out().key(cp, 0);
          break;
        case Utf8::incomplete:
          incomplete = true;
          break;
        case Utf8::invalid:
          read_index++;  // not a character: dropped
          break;
      }
    }
    if (incomplete) {
      // Kept at the front and parsed again once the rest has arrived;
      // given up when it grows beyond any sequence a terminal sends.
      if (start <= buffer.size()) buffer.erase(0, start);
      read_index = 0;
      if (buffer.size() > static_cast<size_t>(kMaxPending)) buffer.clear();
      return;
    }
  }
  buffer.clear();
  read_index = 0;
}

void input_reset() {
  buffer.clear();
  read_index = 0;
  incomplete = false;
}

std::string_view pending_input() {
  return std::string_view(buffer).substr(std::min(read_index, buffer.size()));
}

bool last_released() { return released_last; }

void reset_pointer_state() {
  released_last = true;
  x10_button = 0;
  last_x = last_y = 0;
}

void send_key(Widget* w, uint32_t character, int32_t special) {
  if (!w) w = screen().focused;
  if (!widget_alive(w) || w->has(widget_flag::disabled)) return;
  uint32_t flags = 0;
  int32_t code = static_cast<int32_t>(character);
  if (special == special_key::back_tab) {
    code = 9;
    flags = event_flag::shift;
  } else if (special != 0) {
    code = special;
    flags = event_flag::special_key;
  }
  if (code == 0) return;
  GuiMessage message;
  message.widget = w;
  message.code = code;
  if (w->has_face() && dispatch_event && dispatch_event(event_type::key_down, &message, flags)) return;
  if (!widget_alive(w)) return;
  if (w->has_face() && dispatch_event && dispatch_event(event_type::key, &message, flags)) return;
  if (!widget_alive(w)) return;
  if (w->handle_event) w->handle_event(event_type::key, &message);
}

void mouse_report(int32_t b, int32_t column, int32_t row, bool released) {
  route_mouse(b, column, row, released);
}

void mouse_button(int32_t type, Widget* root, float x, float y, uint32_t flags) {
  ScreenState& s = screen();
  if (type == event_type::down) s.captured = s.hovered;
  route_button(type, root, x, y, flags);
  if (type != event_type::up) return;
  Widget* captured = s.captured;
  if (widget_alive(captured) && captured->has(widget_flag::away)) {
    captured->flags &= ~widget_flag::away;
    CellSize at = absolute_offset(captured);
    send_mouse_event(event_type::up, captured, x - static_cast<float>(at.width),
                     y - static_cast<float>(at.height), flags);
  }
  s.captured = nullptr;
  s.pressed.clear();
  LoopState& loop = loop_state();
  loop.click_state = loop.click_state == 10 ? 0 : 2;
  loop.click_age = 0;
}

bool route_over(int32_t type, Widget* w, float x, float y, uint32_t flags, bool top) {
  ScreenState& s = screen();
  bool result = false;
  if (!s.hovered) send_mouse_event(type, w, x, y, flags);
  if (!widget_alive(w)) return false;
  if (Widget* child = find_child_at(w, x, y)) {
    result = route_over(type, child, x - child->left, y - child->top, flags, false);
  } else {
    Widget* old = s.hovered;
    if (old != w) {
      if (widget_alive(old)) {
        if (is_ancestor(w, old) || is_sibling(w, old)) {
          if (old == s.captured) old->flags |= widget_flag::away;
          send_mouse_event(type, old, last_x, last_y, flags | event_flag::away);
        }
        if (widget_alive(w) && (is_ancestor(old, w) || is_sibling(old, w))) {
          w->flags &= ~widget_flag::away;
          send_mouse_event(type, w, x, y, flags);
        }
      }
      s.hovered = widget_alive(w) ? w : nullptr;
    }
    last_x = x;
    last_y = y;
  }
  if (widget_alive(w) && w->has(widget_flag::all_over) && !result)
    result = send_mouse_event(type, w, x, y, flags);
  if (top) {
    Widget* captured = s.captured;
    if (widget_alive(captured) && captured->has(widget_flag::away) && captured->has(widget_flag::all_over)) {
      CellSize at = absolute_offset(captured);
      send_mouse_event(type, captured, x - static_cast<float>(at.width), y - static_cast<float>(at.height),
                       flags);
    }
  }
  return result;
}

void route_wheel(float direction, Widget* w, float x, float y, uint32_t flags) {
  struct Walk {
    static bool go(float direction, Widget* w, float x, float y, uint32_t flags) {
      if (Widget* child = find_child_at(w, x, y))
        if (go(direction, child, x - child->left, y - child->top, flags)) return true;
      if (!widget_alive(w) || !w->has_face() || w->has(widget_flag::disabled) || !dispatch_event) return false;
      GuiMessage message;
      message.widget = w;
      message.x = x;
      message.y = y;
      message.amount = direction;
      return dispatch_event(event_type::wheel, &message, flags);
    }
  };
  Walk::go(direction, w, x, y, flags);
}

}  // namespace qel::gui
