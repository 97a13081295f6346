// The terminal layer of the text-mode back end: owns the terminal while a
// view is up. It puts the terminal into view mode and back (termios), writes
// the fixed control sequences (DEC private modes, the cursor position
// request), measures the terminal (TIOCGWINSZ; SIGWINCH notes a change),
// keeps the screen face of `system/view/screens` in step with the size, and
// provides the print hooks through which `print`, while a view is shown,
// takes the inline drawing off the terminal and has it drawn again below.
//
// View mode is the terminal's raw form for a view: no echo,
// no line buffering, no signals from Ctrl-C or Ctrl-Z (they arrive as
// keys), no CR/LF translation of input, reads that never block (the event
// loop polls), and output without the newline-to-CR-LF translation (the
// grid writes its own CR LF). VT sequences and UTF-8 need no switch on a
// POSIX terminal. Printing puts the output translation back for its
// duration. While view mode is on an exit-restore function is registered
// with the runtime, so that every way out (quit, an uncaught error, a fatal
// signal) leaves the alternate screen, turns mouse reports off, shows the
// cursor, moves below the drawing and restores the modes.
#pragma once

#include <cstdint>
#include <string_view>

namespace qel::tty {

// Whether the terminal is in view mode (tty::open ... tty::close).
bool active();
// The last measured size (-1 before the first measure).
int32_t columns();
int32_t rows();

// Writes bytes and sends them at once.
void write(std::string_view bytes);

// The control sequences.
void set_private_mode(int32_t n);    // ESC [ ? n h
void reset_private_mode(int32_t n);  // ESC [ ? n l
void request_cursor_position();      // ESC [ 6 n
void enter_alternate_screen();       // mode 1049 set, then clear
void leave_alternate_screen();
void enable_mouse();   // modes 1000, 1003, 1015, 1006 set
void disable_mouse();  // and reset, in the same order
void hide_cursor();    // only when shown
void show_cursor();    // only when hidden
void cursor_down(int32_t n);  // only when n > 0

// Enters view mode when it is off and standard input and output are
// terminals; then, unless a window asked for full screen, asks where the
// cursor stands (the inline view is drawn from its row down).
void open();
// Leaves view mode.
void close();

bool input_is_console_q();
// Saves the terminal's modes and sets view mode; puts them back.
void set_console_modes();
void restore_console_modes();
// Output translation as it was before view mode (for printing), and as
// view mode wants it.
void plain_output_mode();
void vt_output_mode();

// Measures the terminal: 0, or -1 (and 80 x 24) when it cannot tell.
int32_t get_console_size();
// Measures, sets the size of the screen face, and tells the open windows.
void update_screen_size();
// True once after each change of the terminal's size (SIGWINCH), while in
// view mode.
bool take_resized();

// Waits at most `ms` milliseconds for input (a signal ends the wait too).
void wait_input(int32_t ms);

// The input translation calls this when the answer to a cursor position
// request has arrived.
void cursor_report_received();

// Tests: view mode as a flag only, without touching the terminal; a
// terminal size to report.
namespace testing {
void set_active(bool on);
void set_size(int32_t columns, int32_t rows);
}  // namespace testing

}  // namespace qel::tty
