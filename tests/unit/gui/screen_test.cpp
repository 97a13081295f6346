// The text-mode back end's screen: faces drawn into the grid (clipping,
// hints, wrapping, wide characters, SGR sequences in text), the flush that
// writes the grid (style sequences only where the style changes, rows that
// keep their length, the caret), the inline drawing around printed text,
// and the widget records (focus, events, freeing).
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "console/line_editor.h"
#include "tests/unit/console_screen.h"
#include "gui/terminal/render.h"
#include "gui/terminal/screen.h"
#include "gui/terminal/support.h"
#include "gui/terminal/tty.h"
#include "tests/unit/gui_fixture.h"
#include "runtime/output.h"
#include "runtime/startup_slots.h"
#include "datatypes/block.h"

namespace qel::gui {
namespace {

class GuiScreen : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing_qel::start_runtime<GuiScreen>(); }
  void SetUp() override {
    testing_qel::clear_stacks();
    tty::testing::set_active(true);
    tty::testing::set_size(20, 5);
    reset();
    screen().colour_mode = 4;
  }
  void TearDown() override {
    reset();
    dispatch_event = nullptr;
    tty::testing::set_active(false);
  }

  // A face with the facets the renderer reads, and its widget at a box
  // under a parent (the window, made active, when the parent is null).
  static Widget* add(Widget* parent, const char* type, int x, int y, int w, int h, const std::string& facets = "",
                     uint32_t flags = 0) {
    Widget* wd = testing_gui::add_widget(parent, type, x, y, w, h, testing_gui::make_face(facets), flags);
    if (!parent) testing_gui::activate_quietly(wd);
    return wd;
  }

  // Renders and writes the active window; the bytes written, without the
  // cursor's show and hide.
  static std::string refresh() {
    std::string out = testing_gui::captured_refresh();
    for (const char* seq : {"\033[?25l", "\033[?25h"})
      for (size_t at; (at = out.find(seq)) != std::string::npos;) out.erase(at, 6);
    return out;
  }

  static std::u32string row(int y) {
    std::u32string s;
    for (int x = 0; x < screen().width; x++) {
      const ScreenCell* c = grid_cell(x, y);
      if (!(c->attributes & attr::continuation)) s += c->code_point ? static_cast<char32_t>(c->code_point) : U'.';
    }
    return s;
  }
};

TEST_F(GuiScreen, FlushWritesStylesOnlyWhereTheyChange) {
  Widget* win = add(nullptr, "window", 0, 0, 10, 5);
  add(win, "base", 0, 0, 4, 1, "text: \"ab\" color: 255.0.0");
  add(win, "base", 0, 1, 3, 1, "text: \"cd\" font: make object! [color: 0.0.255]");
  EXPECT_EQ(refresh(),
            "\r\033[0J"
            "\033[48;5;196mab  \033[49m\r\n"
            "\033[38;5;21mcd\033[39m  ");
  // The next drawing rewinds over this one (no caret: to its first row).
  EXPECT_EQ(screen().lines_to_rewind, 1);
  EXPECT_EQ(refresh().substr(0, 9), "\r\033[1A\033[0J");
}

TEST_F(GuiScreen, StyleChangesAndColourCodes) {
  auto cell = [](uint32_t a, uint32_t fg = 0, uint32_t bg = 0) { return ScreenCell{' ', bg, fg, a}; };
  struct Case {
    ScreenCell from, to;
    const char* bytes;
  } cases[] = {
      {cell(attr::bold), cell(0), "\033[22m"},
      {cell(attr::bold | attr::dim), cell(attr::dim), "\033[22m\033[2m"},  // 22 clears both
      {cell(attr::dim | attr::bold), cell(attr::bold), "\033[22m\033[1m"},
      {cell(0), cell(attr::reverse | attr::underline | attr::italic), "\033[7m\033[3m\033[4m"},
      {cell(attr::strike), cell(attr::strike | attr::masked | attr::continuation), ""},
      {cell(0), cell(0, colour::basic(16), colour::basic(17)), "\033[96m\033[107m"},
      {cell(0), cell(0, colour::basic(1), colour::basic(8)), "\033[31m\033[0m"},
      {cell(0), cell(0, colour::kTrue | 0x102030), "\033[38;2;16;32;48m"},
      {cell(0, colour::palette(9)), cell(0, 0x3000001), "\033[0m"},  // an unknown kind
      {cell(0, colour::palette(9), colour::palette(9)), cell(0), "\033[39m\033[49m"},
  };
  for (const Case& c : cases) {
    std::string out;
    append_style_change(out, c.from, c.to);
    EXPECT_EQ(out, c.bytes);
  }
}

TEST_F(GuiScreen, RowsKeepTheirColumns) {
  // A wide character and its continuation, a control character, an empty
  // cell, a masked cell; a stray continuation and a wide character cut by
  // the last column show as blanks; a lone surrogate (no UTF-8 form) shows
  // as the replacement character.
  ScreenState& s = screen();
  s.width = 6;
  s.height = 2;
  s.grid.assign(12, ScreenCell{});
  *grid_cell(0, 0) = ScreenCell{0x5BBD, 0, 0, 0};
  *grid_cell(1, 0) = ScreenCell{0, 0, 0, attr::continuation};
  *grid_cell(2, 0) = ScreenCell{27, 0, 0, 0};
  *grid_cell(4, 0) = ScreenCell{'a', 0, 0, attr::masked};
  *grid_cell(5, 0) = ScreenCell{'z', 0, 0, 0};
  *grid_cell(0, 1) = ScreenCell{0, 0, 0, attr::continuation};
  *grid_cell(2, 1) = ScreenCell{0xD800, 0, 0, 0};
  *grid_cell(5, 1) = ScreenCell{0x5BBD, 0, 0, 0};
  std::string out;
  output::begin_capture(&out);
  write_grid();
  output::end_capture();
  EXPECT_EQ(out, "\r\033[0J\xE5\xAE\xBD\xE2\x90\x9B *z\r\n  \xEF\xBF\xBD   ");
}

TEST_F(GuiScreen, GridIsCutToTheTerminalAndOnlyGrows) {
  Widget* win = add(nullptr, "window", 0, 0, 30, 8);
  add(win, "base", 0, 0, 30, 8, "text: \"x\"");
  refresh();
  EXPECT_EQ(screen().width, 20);
  EXPECT_EQ(screen().height, 5);
  tty::testing::set_size(10, 3);
  refresh();
  EXPECT_EQ(screen().width, 10);
  EXPECT_EQ(screen().height, 3);
  EXPECT_EQ(screen().grid.size(), 100u);  // the larger array is kept
}

TEST_F(GuiScreen, TheCaretDecidesWhereTheNextDrawingStarts) {
  Widget* win = add(nullptr, "window", 0, 0, 10, 3);
  Widget* field = add(win, "field", 0, 0, 8, 3, "", widget_flag::caret_owner | widget_flag::focusable);
  ASSERT_EQ(screen().focused, field);  // the first focusable widget takes the focus
  screen().caret_column = 2;
  screen().caret_row = 0;
  std::string out = refresh();
  EXPECT_EQ(out.substr(out.size() - 9), "\r\033[2A\033[2C");
  EXPECT_EQ(screen().lines_to_rewind, 0);

  // With the caret on the first row, the end of the view still moves below
  // all of its rows.
  std::string end;
  output::begin_capture(&end);
  end_inline_view();
  output::end_capture();
  EXPECT_EQ(end, "\033[2B\r\n");
}

TEST_F(GuiScreen, FacesDrawTextHintsAndEscapes) {
  Widget* win = add(nullptr, "window", 0, 0, 12, 6);
  Widget* hint = add(win, "field", 0, 0, 6, 1, "text: \"\" options: [hint \"type\"]");
  add(win, "base", 6, 0, 6, 1, "text: \"x\" options: [hint \"type\"]");
  add(win, "base", 0, 1, 3, 2, "text: \"abcdef^/gh\"");
  add(win, "base", 3, 1, 3, 2, "text: \"ab\u5BBD\" para: make object! [align: 'left v-align: 'top wrap?: true]");
  add(win, "base", 6, 1, 6, 1,
      "text: \"^[[1;31mA^[[0mB\" font: make object! [color: 0.0.255]");
  Widget* bar = add(win, "progress", 0, 3, 4, 1, "text: \"^[[1mC\"");
  bar->render = [](int32_t x, int32_t y, Widget* w) { render_face(x, y, w, 0); };
  add(win, "base", 6, 2, 6, 2, "text: \"mid\" para: make object! [align: 'center v-align: 'bottom wrap?: false]");
  refresh();
  EXPECT_EQ(row(0), U"type  x     ");
  EXPECT_EQ(grid_cell(0, 0)->attributes, attr::dim);
  EXPECT_EQ(grid_cell(6, 0)->attributes, 0u);  // a text hides the hint
  EXPECT_EQ(row(1), U"abcab AB    ");  // no wrap: cut at the edge
  EXPECT_EQ(row(2), U"gh \u5BBD       ");  // wrap: the wide character moves whole
  EXPECT_EQ(grid_cell(6, 1)->attributes, attr::bold);
  EXPECT_EQ(grid_cell(6, 1)->foreground, colour::basic(1));
  EXPECT_EQ(grid_cell(7, 1)->attributes, 0u);
  EXPECT_EQ(grid_cell(7, 1)->foreground, 0u);  // 0 is the terminal's colour, not the font's
  EXPECT_EQ(row(3), U"\x1b[1m.. mid  ");  // render flags 0: escapes are text
  (void)hint;
}

TEST_F(GuiScreen, ChildrenAreCutAtTheirParentAndTheScreen) {
  Widget* win = add(nullptr, "window", 0, 0, 10, 3);
  Widget* panel = add(win, "panel", 2, 0, 4, 2, "color: 0.0.0");
  add(panel, "base", 2, 1, 5, 1, "text: \"abcde\" color: 255.0.0");
  refresh();
  EXPECT_EQ(screen().width, 7);  // the child's box grew the window's bounds
  EXPECT_EQ(row(1), U"..  ab.");
  EXPECT_EQ(grid_cell(6, 1)->background, 0u);
  EXPECT_EQ(grid_cell(5, 1)->background, colour::palette(196));
}

TEST_F(GuiScreen, PanesThatHoldEachOtherAreDrawnToALimitedDepth) {
  Widget* win = add(nullptr, "window", 0, 0, 10, 2);
  Widget* a = add(win, "base", 0, 0, 4, 1, "text: \"a\"");
  Widget* b = add(a, "base", 1, 0, 2, 1, "text: \"b\"");
  Cell* pane = face_field(&b->face, "pane");
  block::make_at(pane, 4);
  block::rs_append(pane, &a->face);  // a holds b, b holds a
  refresh();
  EXPECT_EQ(row(0), U"ab  ");
}

TEST_F(GuiScreen, PrintingErasesTheInlineViewAndItComesBackBelow) {
  Widget* win = add(nullptr, "window", 0, 0, 10, 2);
  add(win, "base", 0, 0, 5, 2, "text: \"view^/row2\"");
  console::test_screen::Screen term(20, 6);
  term.set_cursor(1, 0);
  term.feed(refresh());
  EXPECT_EQ(term.text(1), U"view");
  EXPECT_EQ(term.text(2), U"row2");

  std::string out;
  output::begin_capture(&out);
  before_print();
  output::write_utf8("printed\n");
  after_print();
  output::end_capture();
  EXPECT_EQ(out, "\r\033[1A\033[0Jprinted\n\033[6n");
  EXPECT_FALSE(screen().drawn);
  EXPECT_TRUE(screen().redraw);
  term.feed("\r\033[1A\033[0Jprinted\r\n");
  term.feed(refresh());
  EXPECT_EQ(term.text(1), U"printed");
  EXPECT_EQ(term.text(2), U"view");
  EXPECT_EQ(term.text(3), U"row2");
}

TEST_F(GuiScreen, AOneRowViewIsErasedToo) {
  Widget* win = add(nullptr, "window", 0, 0, 10, 1);
  add(win, "base", 0, 0, 5, 1, "text: \"view\"");
  refresh();
  std::string out;
  output::begin_capture(&out);
  erase_inline_view();
  output::end_capture();
  EXPECT_EQ(out, "\r\033[0J");
}

std::vector<std::pair<int32_t, Widget*>> events;
bool record_event(int32_t kind, GuiMessage* message, uint32_t) {
  events.emplace_back(kind, message->widget);
  return false;
}

TEST_F(GuiScreen, FocusEventsAndFreeingWidgets) {
  events.clear();
  dispatch_event = record_event;
  Widget* win = add(nullptr, "window", 0, 0, 10, 3);
  Widget* a = add(win, "field", 0, 0, 4, 1, "", widget_flag::focusable);
  Widget* b = add(win, "field", 2, 0, 4, 1, "", widget_flag::focusable | widget_flag::disabled);
  Widget* c = add(win, "base", 0, 1, 4, 1);
  EXPECT_EQ(screen().focused, a);
  set_focus_widget(window_record_of(b), b);
  // a hears it lost the focus; b, disabled, hears nothing.
  // At creation the window gave its focus to a; then a lost it to b.
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], std::make_pair(event_kind::unfocus, win));
  EXPECT_EQ(events[1], std::make_pair(event_kind::focus, a));
  EXPECT_EQ(events[2], std::make_pair(event_kind::unfocus, a));
  EXPECT_TRUE(b->has(widget_flag::focused));
  EXPECT_FALSE(a->has(widget_flag::focused));

  EXPECT_EQ(find_child_at(win, 3, 0), b);  // the topmost face
  EXPECT_EQ(find_child_at(win, 1, 1), c);
  EXPECT_EQ(find_child_at(win, 9, 2), nullptr);

  Cell face_of_c = c->face;
  EXPECT_EQ(face_widget(&face_of_c), c);
  free_widget(c);
  EXPECT_EQ(face_widget(&face_of_c), nullptr);
  EXPECT_TRUE(face_field(&face_of_c, "state")->is(TypeId::none));

  broadcast_resize(40, 12);
  EXPECT_EQ(events.back(), std::make_pair(event_kind::resize, win));
  reset();
  EXPECT_TRUE(screen().windows.empty());
  EXPECT_EQ(screen().focused, nullptr);
}

}  // namespace
}  // namespace qel::gui
