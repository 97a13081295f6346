// qel-gui-probe: draws a small window with the text-mode back end on its
// terminal and leaves the way its first argument names, for the pty tests
// that every way out of a shown view gives the terminal back as it was.
//
//   qel-gui-probe WAY [full]
//
// WAY: "close" ends the view as the event loop ends it (below the drawing,
// mouse off, cursor shown, modes back), prints "closed" and ends with 0;
// before that it prints a line while the view is shown and draws the view
// again below it. "quit" runs quit/return 3, "error" an uncaught error
// (254), "term" sends itself SIGTERM, "fault" writes through a null pointer
// (runtime error 1). "full" asks for the alternate screen. The window holds
// the text "probe-view" over a coloured background; mouse reports are on.
#include <csignal>
#include <cstdint>
#include <string>

#include "gui/terminal/screen.h"
#include "gui/terminal/tty.h"
#include "runtime/startup.h"
#include "tests/unit/gui_fixture.h"

extern "C" const char* __asan_default_options() { return "detect_leaks=0:handle_segv=0"; }

namespace {

using namespace qel;
using namespace qel::gui;
using testing_qel::run;

std::string way;
bool full = false;

Widget* add(Widget* parent, const char* type, int x, int y, int w, int h, const std::string& facets,
            uint32_t flags = 0) {
  return testing_gui::add_widget(parent, type, x, y, w, h, testing_gui::make_face(facets), flags);
}

void draw() {
  screen().redraw = true;
  refresh_screen();
}

void launch() {
  Widget* win = add(nullptr, "window", 0, 0, 20, 3, "", full ? widget_flag::full_screen : 0);
  add(win, "base", 0, 0, 14, 2, "text: \"probe-view\" color: 0.0.128 font: make object! [color: 255.255.0]");
  tty::open();
  enter_full_screen();
  tty::enable_mouse();
  activate_window(window_record_of(win));
  draw();
  if (way == "close") {
    run("print \"printed while shown\"");
    draw();
    end_inline_view();
    tty::disable_mouse();
    leave_full_screen();
    tty::show_cursor();
    tty::close();
    reset();
    run("print \"closed\"");
  } else if (way == "quit") {
    run("quit/return 3");
  } else if (way == "error") {
    run("1 / 0");
  } else if (way == "term") {
    ::raise(SIGTERM);
  } else if (way == "fault") {
    // A low address other than null: the checked build's null-pointer check
    // would stop the process before the fault handler runs.
    volatile uintptr_t low = 16;
    *reinterpret_cast<volatile int*>(low) = 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) way = argv[1];
  full = argc > 2 && std::string(argv[2]) == "full";
  qel::startup::run(1, argv, launch);
}
