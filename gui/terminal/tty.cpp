// The terminal layer: view mode, control sequences, the terminal's size,
// the print hooks and the restore on every way out (see tty.h).
#include "gui/terminal/tty.h"

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "datatypes/pair.h"
#include "gui/terminal/screen.h"
#include "gui/terminal/support.h"
#include "runtime/fatal.h"
#include "runtime/output.h"
#include "runtime/platform.h"
#include "runtime/startup_slots.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "datatypes/word.h"

namespace qel::tty {

namespace {

// Read by the exit-restore function, which may run in a signal handler.
volatile sig_atomic_t view_mode = 0;
volatile sig_atomic_t modes_saved = 0;
volatile sig_atomic_t cursor_hidden = 0;
volatile sig_atomic_t mouse_on = 0;
volatile sig_atomic_t reports_pending = 0;
volatile sig_atomic_t resized = 0;
struct termios saved_modes;
struct termios view_modes;

int32_t screen_columns = -1;
int32_t screen_rows = -1;
bool fake_size = false;
int32_t fake_columns = 80, fake_rows = 24;

struct sigaction previous_winch;
bool winch_installed = false;

void on_winch(int signal) {
  resized = 1;
  // The line editor keeps its own flag: pass the signal on.
  if (!(previous_winch.sa_flags & SA_SIGINFO) && previous_winch.sa_handler != SIG_DFL &&
      previous_winch.sa_handler != SIG_IGN && previous_winch.sa_handler != nullptr)
    previous_winch.sa_handler(signal);
}

void install_winch() {
  if (winch_installed) return;
  struct sigaction sa {};
  sa.sa_handler = on_winch;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  if (::sigaction(SIGWINCH, &sa, &previous_winch) == 0) winch_installed = true;
}

void remove_winch() {
  if (!winch_installed) return;
  ::sigaction(SIGWINCH, &previous_winch, nullptr);
  winch_installed = false;
}

// --- for the exit restore: no allocation, no locks, write(2) only

struct Bytes {
  char data[256];
  size_t n = 0;
  void put(const char* s) {
    while (*s && n < sizeof data) data[n++] = *s++;
  }
  void put_int(int32_t v) {
    char digits[12];
    int k = 0;
    uint32_t u = v < 0 ? 0 : static_cast<uint32_t>(v);
    do {
      digits[k++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u && k < 12);
    while (k && n < sizeof data) data[n++] = digits[--k];
  }
};

void write_raw(const char* p, size_t n) { platform::write_stdout_raw(p, n); }

// Reads and drops the answer to a cursor position request still on its
// way (it would otherwise reach the shell as typed text), waiting at most
// 100 ms for it.
void drain_cursor_reports() {
  for (int waited = 0; reports_pending > 0 && waited < 100; waited += 10) {
    struct pollfd p {};
    p.fd = STDIN_FILENO;
    p.events = POLLIN;
    if (::poll(&p, 1, 10) <= 0) continue;
    char buf[64];
    ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; i++)
      if (buf[i] == 'R' && reports_pending > 0) reports_pending = reports_pending - 1;
  }
  ::tcflush(STDIN_FILENO, TCIFLUSH);
}

// Every way out of the process while a view is up: the terminal as it was.
void restore_on_exit() {
  if (!view_mode) return;
  gui::ScreenState& s = gui::screen();
  Bytes b;
  if (s.alternate_screen) {
    b.put("\033[?1049l");
  } else if (s.drawn) {
    int32_t down = s.height - 1 - s.lines_to_rewind;
    if (down > 0) {
      b.put("\033[");
      b.put_int(down);
      b.put("B");
    }
    b.put("\r\n");
  }
  if (mouse_on) b.put("\033[?1000l\033[?1003l\033[?1015l\033[?1006l");
  b.put("\033[0m");
  if (cursor_hidden) b.put("\033[?25h");
  write_raw(b.data, b.n);
  drain_cursor_reports();
  if (modes_saved) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_modes);
  view_mode = 0;
}

void write_mode(int32_t n, char final) {
  char buf[32];
  int len = std::snprintf(buf, sizeof buf, "\033[?%d%c", n, final);
  write(std::string_view(buf, static_cast<size_t>(len)));
}

// The screen face's size (the first face of system/view/screens), when
// the GUI layer has made it.
void set_screen_face_size(int32_t cols, int32_t rows_) {
  Cell w = word::load("system");
  const Cell* sys = context::get(&w);
  if (!sys || !sys->is(TypeId::object)) return;
  const Cell* view = gui::face_field(sys, "view");
  const Cell* screens = gui::face_field(view, "screens");
  if (!screens || !screens->is(TypeId::block) || block::rs_length_q(screens) < 1) return;
  const Cell* first = block::rs_head(const_cast<Cell*>(screens));
  if (Cell* size = gui::face_field(first, "size")) pair::make_at(size, cols, rows_);
}

}  // namespace

bool active() { return view_mode != 0; }
int32_t columns() { return screen_columns; }
int32_t rows() { return screen_rows; }

void write(std::string_view bytes) {
  output::write_utf8(bytes);
  output::flush();
}

void set_private_mode(int32_t n) { write_mode(n, 'h'); }
void reset_private_mode(int32_t n) { write_mode(n, 'l'); }

void request_cursor_position() {
  reports_pending = reports_pending + 1;
  write("\033[6n");
}

void enter_alternate_screen() {
  set_private_mode(1049);
  write("\033[2J");
}
void leave_alternate_screen() { reset_private_mode(1049); }

void enable_mouse() {
  for (int32_t m : {1000, 1003, 1015, 1006}) set_private_mode(m);
  mouse_on = 1;
}
void disable_mouse() {
  for (int32_t m : {1000, 1003, 1015, 1006}) reset_private_mode(m);
  mouse_on = 0;
}

void hide_cursor() {
  if (cursor_hidden) return;
  reset_private_mode(25);
  cursor_hidden = 1;
}
void show_cursor() {
  if (!cursor_hidden) return;
  set_private_mode(25);
  cursor_hidden = 0;
}

void cursor_down(int32_t n) {
  if (n <= 0) return;
  char buf[24];
  int len = std::snprintf(buf, sizeof buf, "\033[%dB", n);
  write(std::string_view(buf, static_cast<size_t>(len)));
}

bool input_is_console_q() { return ::isatty(STDIN_FILENO) == 1; }

void open() {
  if (!view_mode && input_is_console_q() && ::isatty(STDOUT_FILENO) == 1) {
    set_console_modes();
    update_screen_size();
    install_winch();
    view_mode = 1;
  }
  // Drawn inline, a view starts at the cursor's row.
  if (view_mode && !gui::screen().full_screen_requested) request_cursor_position();
}

void close() {
  if (!view_mode) return;
  // An answer to a cursor position request still on its way would reach
  // the shell (or the next prompt) as typed text once the modes are back.
  if (reports_pending > 0) drain_cursor_reports();
  restore_console_modes();
  remove_winch();
  view_mode = 0;
}

void set_console_modes() {
  struct termios modes;
  if (::tcgetattr(STDIN_FILENO, &modes) != 0) return;
  saved_modes = modes;
  modes.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
  modes.c_cflag |= CS8;
  modes.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
  modes.c_oflag &= ~static_cast<tcflag_t>(ONLCR);
  modes.c_cc[VMIN] = 0;
  modes.c_cc[VTIME] = 0;
  view_modes = modes;
  // Registered before the change, so that no moment in view mode lacks it.
  modes_saved = 1;
  runtime::set_exit_restore(restore_on_exit);
  ::tcsetattr(STDIN_FILENO, TCSANOW, &view_modes);
}

void restore_console_modes() {
  if (!modes_saved) return;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_modes);
  modes_saved = 0;
  runtime::set_exit_restore(nullptr);
}

void plain_output_mode() {
  if (!modes_saved) return;
  struct termios modes = view_modes;
  modes.c_oflag = saved_modes.c_oflag;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &modes);
}

void vt_output_mode() {
  if (!modes_saved) return;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &view_modes);
  // A line read meanwhile (`ask` in an actor) may have registered its own
  // restore and cleared it again.
  runtime::set_exit_restore(restore_on_exit);
}

int32_t get_console_size() {
  screen_columns = 80;
  screen_rows = 24;
  if (fake_size) {
    screen_columns = fake_columns;
    screen_rows = fake_rows;
    return 0;
  }
  struct winsize ws {};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0) return -1;
  if (ws.ws_col == 0 || ws.ws_row == 0) return -1;
  screen_columns = ws.ws_col;
  screen_rows = ws.ws_row;
  return 0;
}

void update_screen_size() {
  get_console_size();
  set_screen_face_size(screen_columns, screen_rows);
  if (view_mode) gui::broadcast_resize(screen_columns, screen_rows);
}

bool take_resized() {
  if (!resized) return false;
  resized = 0;
  return true;
}

void wait_input(int32_t ms) {
  struct pollfd p {};
  p.fd = STDIN_FILENO;
  p.events = POLLIN;
  ::poll(&p, 1, ms < 0 ? 0 : ms);
}

void cursor_report_received() {
  if (reports_pending > 0) reports_pending = reports_pending - 1;
}

namespace testing {
void set_active(bool on) { view_mode = on ? 1 : 0; }
void set_size(int32_t cols, int32_t rows_) {
  fake_size = true;
  fake_columns = cols;
  fake_rows = rows_;
  screen_columns = cols;
  screen_rows = rows_;
}
}  // namespace testing

}  // namespace qel::tty

namespace qel::gui {

// The print hooks: printed text goes where the inline drawing began, with
// the terminal's own line ends, and the drawing comes back below it.
void before_print() {
  if (!tty::active()) return;
  erase_inline_view();
  screen().drawn = false;
  output::flush();
  std::fflush(nullptr);
  tty::plain_output_mode();
}

void after_print() {
  if (!tty::active()) return;
  output::flush();
  tty::vt_output_mode();
  screen().redraw = true;
  tty::request_cursor_position();
}

}  // namespace qel::gui
