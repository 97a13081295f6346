// The POSIX terminal, the key reader and the line-editing driver.
#include "console/terminal.h"

#include <cerrno>
#include <csignal>

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "runtime/fatal.h"
#include "runtime/output.h"
#include "runtime/platform.h"

namespace qel::console {

namespace {

// The modes found before raw mode; `raw_on` tells the restore function
// whether there is anything to put back. Both are read from signal handlers.
struct termios saved_modes;
volatile sig_atomic_t raw_on = 0;
volatile sig_atomic_t resized = 0;
// The restore function registered before raw mode (a shown GUI view's),
// put back when the line is done and run after ours on a way out.
runtime::ExitRestore outer_restore = nullptr;

void on_resize(int) { resized = 1; }

// Bracketed-paste mode lasts as long as raw mode.
constexpr char kPasteOn[] = "\x1b[?2004h";
constexpr char kPasteOff[] = "\x1b[?2004l";

void put_back_modes() {
  if (raw_on) {
    platform::write_stdout_raw(kPasteOff, sizeof kPasteOff - 1);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_modes);
    raw_on = 0;
  }
}

void end_raw_registration() {
  runtime::set_exit_restore(outer_restore);
  outer_restore = nullptr;
}

}  // namespace

void restore_terminal() {
  put_back_modes();
  if (runtime::ExitRestore outer = outer_restore) {
    outer_restore = nullptr;
    outer();
  }
}

bool PosixTerminal::available() { return ::isatty(STDIN_FILENO) == 1 && ::isatty(STDOUT_FILENO) == 1; }

PosixTerminal::PosixTerminal() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction sa {};
  sa.sa_handler = on_resize;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGWINCH, &sa, nullptr);
}

bool PosixTerminal::enter_raw() {
  if (raw_on) return true;
  struct termios modes;
  if (::tcgetattr(STDIN_FILENO, &modes) != 0) return false;
  saved_modes = modes;
  modes.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
  modes.c_cflag |= CS8;
  modes.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN | ISIG);
  modes.c_cc[VMIN] = 1;
  modes.c_cc[VTIME] = 0;
  // Registered before the change, so that no moment in raw mode lacks it.
  raw_on = 1;
  if (runtime::ExitRestore current = runtime::current_exit_restore(); current != restore_terminal)
    outer_restore = current;
  runtime::set_exit_restore(restore_terminal);
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &modes) != 0) {
    raw_on = 0;
    end_raw_registration();
    return false;
  }
  platform::write_stdout_raw(kPasteOn, sizeof kPasteOn - 1);
  return true;
}

void PosixTerminal::leave_raw() {
  put_back_modes();
  end_raw_registration();
}

Terminal::ReadStatus PosixTerminal::read(uint8_t* buffer, size_t capacity, size_t& got,
                                         int32_t timeout_ms) {
  got = 0;
  struct pollfd p {};
  p.fd = STDIN_FILENO;
  p.events = POLLIN;
  int r = ::poll(&p, 1, timeout_ms);
  if (r < 0) return errno == EINTR ? ReadStatus::interrupted : ReadStatus::closed;
  if (r == 0) return ReadStatus::timeout;
  ssize_t n = ::read(STDIN_FILENO, buffer, capacity);
  if (n < 0) return errno == EINTR || errno == EAGAIN ? ReadStatus::interrupted : ReadStatus::closed;
  if (n == 0) return ReadStatus::closed;
  got = static_cast<size_t>(n);
  return ReadStatus::data;
}

void PosixTerminal::write(std::string_view bytes) {
  output::write_utf8(bytes);
  output::flush();
}

std::optional<ScreenSize> PosixTerminal::size() {
  struct winsize ws {};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0 || ws.ws_col == 0) return std::nullopt;
  return ScreenSize{ws.ws_col, ws.ws_row > 0 ? ws.ws_row : 24};
}

bool PosixTerminal::take_resized() {
  if (!resized) return false;
  resized = 0;
  return true;
}

// --- the key reader

void KeyReader::queue(InputEvent e) {
  switch (e.kind) {
    case InputEvent::Kind::paste_start:
      pasting_ = true;
      paste_after_cr_ = false;
      paste_idle_ms_ = 0;
      return;
    case InputEvent::Kind::paste_end:
      pasting_ = false;
      return;
    case InputEvent::Kind::key:
      if (!pasting_) break;
      // CR LF in pasted text is one line end.
      if (e.key == key::line_feed && paste_after_cr_) {
        paste_after_cr_ = false;
        return;
      }
      paste_after_cr_ = e.key == key::enter;
      e.pasted = true;
      break;
    case InputEvent::Kind::cursor_report:
      break;
  }
  events_.push_back(e);
}

void KeyReader::decode(uint8_t byte) {
  if (std::optional<InputEvent> e = decoder_.feed(byte)) queue(*e);
  // A byte that ended one sequence and starts the next is fed again.
  while (std::optional<uint8_t> held = decoder_.take_held())
    if (std::optional<InputEvent> e = decoder_.feed(*held)) queue(*e);
}

KeyReader::Fill KeyReader::fill(int32_t timeout_ms) {
  uint8_t buffer[4096];
  size_t got = 0;
  // A sequence begun waits only a moment for its end: a lone ESC is the
  // Esc key. A paste waits no longer than its idle limit.
  int32_t wait = timeout_ms;
  if (pasting_) {
    int32_t left = kPasteWaitMs - paste_idle_ms_;
    if (wait < 0 || wait > left) wait = left;
  }
  if (decoder_.pending()) wait = kEscapeWaitMs;
  switch (terminal_.read(buffer, sizeof buffer, got, wait)) {
    case Terminal::ReadStatus::data:
      paste_idle_ms_ = 0;
      for (size_t i = 0; i < got; ++i) decode(buffer[i]);
      return Fill::events;
    case Terminal::ReadStatus::timeout:
      if (pasting_ && (paste_idle_ms_ += wait) >= kPasteWaitMs) pasting_ = false;
      if (decoder_.pending()) {
        if (std::optional<InputEvent> e = decoder_.flush_pending()) queue(*e);
        return Fill::events;
      }
      return Fill::timeout;
    case Terminal::ReadStatus::interrupted:
      return Fill::interrupted;
    case Terminal::ReadStatus::closed:
      if (std::optional<InputEvent> e = decoder_.flush_pending()) queue(*e);
      return events_.empty() ? Fill::closed : Fill::events;
  }
  return Fill::closed;
}

KeyReader::Next KeyReader::next() {
  for (;;) {
    while (!events_.empty()) {
      InputEvent e = events_.front();
      events_.pop_front();
      // A late answer to a cursor query is dropped.
      if (e.kind == InputEvent::Kind::key) return Next{Next::Kind::key, e.key, e.pasted};
    }
    if (terminal_.take_resized()) return Next{Next::Kind::resized, 0};
    if (fill(-1) == Fill::closed) return Next{Next::Kind::closed, 0};
  }
}

std::optional<int32_t> KeyReader::query_column() {
  if (!query_works_) return std::nullopt;
  // Keys already queued stay ahead of whatever arrives with the answer.
  size_t keep = events_.size();
  terminal_.write("\x1b[6n");
  int32_t waited = 0;
  constexpr int32_t kStep = 50;
  while (waited < kQueryWaitMs) {
    for (size_t i = keep; i < events_.size(); ++i) {
      if (events_[i].kind == InputEvent::Kind::cursor_report) {
        int32_t column = events_[i].column;
        events_.erase(events_.begin() + static_cast<std::ptrdiff_t>(i));
        return column;
      }
    }
    Fill f = fill(kStep);
    if (f == Fill::closed) return std::nullopt;
    if (f == Fill::timeout) waited += kStep;
  }
  query_works_ = false;
  return std::nullopt;
}

// --- the driver

std::optional<EditEnd> edit_line(Terminal& terminal, KeyReader& keys, LineEditor& editor,
                                 Text prompt, bool hidden, History* history) {
  output::flush();
  terminal.enter_raw();
  ScreenSize size = terminal.size().value_or(ScreenSize{});
  int32_t column = keys.query_column().value_or(1) - 1;
  // In the last column the terminal may be waiting to wrap (output filled
  // the row): whether it is cannot be told, so the line starts on a new row.
  if (column > 0 && column >= size.width - 1) {
    terminal.write("\r\n");
    column = 0;
  }
  editor.begin(std::move(prompt), hidden, history, size, column);
  terminal.write(editor.take_output());
  std::optional<EditEnd> end;
  for (;;) {
    KeyReader::Next next = keys.next();
    if (next.kind == KeyReader::Next::Kind::closed) break;
    if (next.kind == KeyReader::Next::Kind::resized) {
      editor.resize(terminal.size().value_or(size));
    } else {
      end = editor.handle_key(next.key, next.pasted);
    }
    terminal.write(editor.take_output());
    if (end) break;
  }
  terminal.leave_raw();
  return end;
}

}  // namespace qel::console
