// The text-mode widget classes: each class drawn into the screen grid and
// read back as text lines, and the keys and clicks that change a widget's
// state and the events it sends on. The library is loaded, so the widget
// texts come from the real TUI-helpers; the language's side of events is a
// recorder standing in for system/view/awake.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/stack.h"
#include "gui/terminal/events.h"
#include "gui/terminal/render.h"
#include "gui/terminal/screen.h"
#include "gui/terminal/support.h"
#include "gui/terminal/tty.h"
#include "gui/terminal/widgets.h"
#include "tests/unit/gui_fixture.h"
#include "memory/collector.h"
#include "runtime/ext_resource.h"
#include "runtime/output.h"
#include "runtime/startup.h"
#include "runtime/startup_slots.h"
#include "datatypes/block.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel::gui {
namespace {

struct Sent {
  int32_t kind;
  int32_t code;
};
std::vector<Sent> sent;
bool answer_done = false;  // the recorder's answer to `select`
bool free_on_event = false;  // the recorder closes the widget, as an actor may

bool record_event(int32_t kind, GuiMessage* m, uint32_t) {
  if (kind != event_type::focus && kind != event_type::unfocus) sent.push_back({kind, m->code});
  if (free_on_event) free_widget(m->widget);
  return kind == widget_event::select && answer_done;
}

class GuiWidgets : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static bool done = false;
    if (!done) {
      exits::uncaught_errors_end_process = false;
      runtime::init();
      words::make_globals();
      word::set_recording(false);
      library::run_top_level();
      done = true;
    }
  }
  void SetUp() override {
    testing_qel::clear_stacks();
    tty::testing::set_active(true);
    tty::testing::set_size(30, 10);
    reset();
    // Changes made by the widget texts stay in the faces: no show.
    run("system/view/auto-sync?: false");
    sent.clear();
    answer_done = false;
    free_on_event = false;
    saved_dispatch = dispatch_event;
    dispatch_event = record_event;
  }
  void TearDown() override {
    reset();
    dispatch_event = saved_dispatch;
    tty::testing::set_active(false);
  }

  DispatchFn saved_dispatch = nullptr;

  // Evaluates Qel source; the result is returned, not kept on the stack.
  static Cell run(const std::string& text) {
    Cell* base = stack::top;
    Cell result = testing_qel::run(text);
    stack::top = base;
    return result;
  }

  // A face made from `facets`, kept in the global word `name`, and its
  // widget under a parent (a window when the parent is null), given its
  // class as the platform's make-view does.
  static Widget* add(Widget* parent, const char* name, const char* type, int x, int y, int w, int h,
                     const std::string& facets = "", uint32_t flags = 0) {
    std::string n = name;
    run(n + ": make face! [type: '" + type + " offset: " + std::to_string(x) + "x" + std::to_string(y) +
        " size: " + std::to_string(w) + "x" + std::to_string(h) + " " + facets + "]");
    Widget* wd = testing_gui::new_widget(parent, type, x, y, w, h, run(n), flags);
    Cell zero;
    set_integer(&zero, 0);
    block::rs_append(face_field(&wd->face, "state"), &zero);
    if (parent) {
      Cell* pane = face_field(&parent->face, "pane");
      if (!pane->is(TypeId::block)) block::make_at(pane, 4);
      block::rs_append(pane, &wd->face);
      *face_field(&wd->face, "parent") = parent->face;
    }
    make_widget_class(wd);
    if (parent) {
      on_widget_created(wd);
    } else {
      testing_gui::activate_quietly(wd);
    }
    return wd;
  }

  static void refresh() { testing_gui::captured_refresh(); }

  // Row y of the grid from column x, `n` cells, as UTF-8 ("." for an empty
  // cell).
  static std::string row(int y, int x = 0, int n = -1) {
    std::string s;
    if (n < 0) n = screen().width - x;
    for (int i = x; i < x + n; i++) {
      const ScreenCell* c = grid_cell(i, y);
      if (!c || (c->attributes & attr::continuation)) continue;
      char b[4];
      s.append(b, output::encode_utf8(c->code_point ? c->code_point : '.', b));
    }
    return s;
  }

  static std::string text_of(const char* expr) {
    Cell v = run(expr);
    if (!v.is(TypeId::string)) return "<not a string>";
    std::string out;
    string::to_utf8(&v, out);
    return out;
  }

  static void key(Widget* w, int32_t code) {
    GuiMessage m;
    m.widget = w;
    m.code = code;
    w->handle_event(event_type::key, &m);
  }
  static void click(Widget* w, float x, float y) {
    GuiMessage m;
    m.widget = w;
    m.x = x;
    m.y = y;
    w->handle_event(event_type::click, &m);
  }
  static void type(Widget* w, const std::u32string& keys) {
    for (char32_t k : keys) key(w, static_cast<int32_t>(k));
  }
  static FieldState& caret(Widget* w) { return *dynamic_cast<FieldState*>(w->data.get()); }
};

TEST_F(GuiWidgets, EachClassDrawsItsText) {
  Widget* win = add(nullptr, "win", "window", 0, 0, 30, 10);
  Widget* f1 = add(win, "f1", "field", 0, 0, 6, 3, "text: \"abc\"");
  add(win, "pw", "field", 7, 0, 6, 1, "text: \"abc\"", widget_flag::password);
  add(win, "pr", "progress", 14, 0, 12, 1, "data: 0.5");
  add(win, "ck", "check", 0, 1, 8, 1, "text: \"On\" data: true");
  add(win, "rd", "radio", 9, 1, 8, 1, "text: \"Off\"");
  add(win, "gb", "group-box", 0, 2, 8, 3, "text: \"T\" options: [border-corners round]");
  add(win, "gs", "group-box", 9, 2, 4, 3);
  add(win, "tl", "text-list", 14, 2, 6, 2, "data: [\"a\" b 3]");
  refresh();
  // A field is one row high, whatever its size says; a password field's
  // cells print as "*".
  EXPECT_EQ(row(0), "abc   .abc   .[#####     ]");
  EXPECT_EQ(widget_size(f1).height, 1);
  EXPECT_TRUE(grid_cell(7, 0)->attributes & attr::masked);
  EXPECT_EQ(row(1, 0, 17), "🞕 On    .○ Off   ");
  EXPECT_EQ(row(2, 0, 20), "╭T─────╮.┌──┐.a     ");
  EXPECT_EQ(row(3, 0, 20), "│      │.│  │.b     ");
  EXPECT_EQ(row(4, 0, 13), "╰──────╯.└──┘");
  // The text list shows what fits; the texts went to the faces.
  EXPECT_EQ(text_of("tl/text"), "a\nb\n3\n");
  EXPECT_EQ(text_of("pr/text"), "[#####     ]");
}

TEST_F(GuiWidgets, FocusShowsInReverseAndPlacesTheCaret) {
  Widget* win = add(nullptr, "win", "window", 0, 0, 20, 4);
  Widget* b = add(win, "b", "button", 0, 0, 4, 1, "text: \"Go\"", widget_flag::focusable);
  Widget* f = add(win, "f", "field", 0, 1, 8, 1, "text: \"hey\"", widget_flag::focusable);
  Widget* c = add(win, "c", "check", 0, 2, 6, 1, "text: \"x\"", widget_flag::focusable);
  refresh();
  EXPECT_TRUE(grid_cell(0, 0)->attributes & attr::reverse);  // the first focusable took the focus
  EXPECT_FALSE(grid_cell(0, 2)->attributes & attr::reverse);
  set_focus_widget(window_record_of(f), f);
  refresh();
  EXPECT_FALSE(grid_cell(0, 0)->attributes & attr::reverse);
  EXPECT_EQ(screen().caret_column, 3);
  EXPECT_EQ(screen().caret_row, 1);
  set_focus_widget(window_record_of(c), c);
  refresh();
  EXPECT_TRUE(grid_cell(0, 2)->attributes & attr::reverse);
  (void)b;
}

TEST_F(GuiWidgets, GroupBoxBorderColourAndClip) {
  Widget* win = add(nullptr, "win", "window", 0, 0, 10, 5);
  Widget* p = add(win, "p", "panel", 1, 1, 4, 3);
  add(p, "g", "group-box", 0, 0, 6, 3, "options: [border-color 255.0.0] text: \"abcdef\"");
  refresh();
  // Cut to the panel's four columns: the right edge and the title's tail
  // fall outside.
  EXPECT_EQ(row(1, 0, 6), ".┌abc.");
  EXPECT_EQ(row(2, 0, 6), ".│   .");
  Cell red = run("255.0.0");
  EXPECT_EQ(grid_cell(1, 1)->foreground, tuple_cell_colour(&red));
  EXPECT_EQ(grid_cell(2, 2)->foreground, 0u);  // the interior keeps its colour
}

TEST_F(GuiWidgets, FieldKeysEditTheTextWithinItsWidth) {
  Widget* win = add(nullptr, "win", "window", 0, 0, 20, 3);
  Widget* f = add(win, "f", "field", 0, 0, 4, 1, "", widget_flag::focusable);
  type(f, U"ab\u4E00c");  // the wide character takes two of the four columns
  EXPECT_EQ(text_of("f/text"), "ab\u4E00");
  EXPECT_EQ(caret(f).text_width, 4);
  key(f, 8);  // backspace makes room again
  type(f, U"c");
  EXPECT_EQ(text_of("f/text"), "abc");
  EXPECT_EQ(caret(f).caret_column, 3);

  // Left and right stop at the ends; a character goes in at the caret.
  for (int i = 0; i < 5; i++) key(f, key_code::left);
  EXPECT_EQ(caret(f).caret_index, 0);
  key(f, 127);  // nothing before the caret
  type(f, U"X");
  EXPECT_EQ(text_of("f/text"), "Xabc");
  for (int i = 0; i < 5; i++) key(f, 6);
  EXPECT_EQ(caret(f).caret_index, 4);
  EXPECT_EQ(caret(f).caret_column, 4);
  // Tab, enter, line feed and special keys change nothing.
  for (int32_t k : {0, 9, 13, 10, 1, -24}) key(f, k);
  EXPECT_EQ(text_of("f/text"), "Xabc");

  // A click puts the caret under it.
  click(f, 2.7f, 0);
  EXPECT_EQ(caret(f).caret_index, 2);
  EXPECT_EQ(caret(f).caret_column, 2);

  // Each edit of the text is sent as a change, so that the field's data
  // follows it (typing "12" left the data none); moving the caret and a
  // character dropped from a full field send nothing.
  sent.clear();
  key(f, key_code::left);
  EXPECT_TRUE(sent.empty());
  key(f, 8);
  type(f, U"zz");
  EXPECT_EQ(text_of("f/text"), "zabc");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].kind, widget_event::change);
  EXPECT_EQ(sent[1].kind, widget_event::change);
}

TEST_F(GuiWidgets, FieldCaretFollowsATextChangedFromTheLanguage) {
  Widget* win = add(nullptr, "win", "window", 0, 0, 20, 3);
  Widget* f = add(win, "f", "field", 0, 0, 10, 1, "text: \"abcdef\"");
  EXPECT_EQ(caret(f).caret_index, 6);
  run("f/text: \"xy\"");
  // The caret was past the new text's end: it goes to the end.
  key(f, 8);
  EXPECT_EQ(text_of("f/text"), "x");
  EXPECT_EQ(caret(f).caret_index, 1);
  run("f/text: none");
  type(f, U"q");
  EXPECT_EQ(text_of("f/text"), "q");
}

// A text changed from the language to one of other widths left the caret's
// column and the text's width as they were: the caret was drawn off its
// character (left of the field after a few backspaces) and typing went on
// past the field's width.
TEST_F(GuiWidgets, FieldCaretColumnsFollowATextChangedFromTheLanguage) {
  Widget* win = add(nullptr, "win", "window", 0, 0, 20, 3);
  Widget* f = add(win, "f", "field", 2, 1, 10, 1, "text: \"abcd\"", widget_flag::focusable);
  set_focus_widget(window_record_of(f), f);
  run("f/text: \"\u4E00\u4E00\u4E00\u4E00\"");
  refresh();
  EXPECT_EQ(screen().caret_column, 2 + 8);
  type(f, U"xyz");  // two columns are left
  EXPECT_EQ(text_of("f/text"), "\u4E00\u4E00\u4E00\u4E00xy");
  EXPECT_EQ(caret(f).text_width, 10);
  for (int i = 0; i < 6; i++) key(f, 8);
  EXPECT_EQ(text_of("f/text"), "");
  EXPECT_EQ(caret(f).caret_column, 0);
  refresh();
  EXPECT_EQ(screen().caret_column, 2);
}

TEST_F(GuiWidgets, ButtonSpaceClicksAsTheMouseDoes) {
  Widget* win = add(nullptr, "win", "window", 0, 0, 20, 3);
  Widget* b = add(win, "b", "button", 0, 0, 4, 1, "text: \"Go\"");
  key(b, 'x');
  EXPECT_TRUE(sent.empty());
  key(b, 32);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].kind, event_type::click);
}

TEST_F(GuiWidgets, CheckAndRadioChangeTheirData) {
  Widget* win = add(nullptr, "win", "window", 0, 0, 20, 4);
  Widget* c = add(win, "c", "check", 0, 0, 8, 1, "text: \"A\"");
  Widget* r1 = add(win, "r1", "radio", 0, 1, 8, 1, "text: \"1\" data: true");
  Widget* r2 = add(win, "r2", "radio", 0, 2, 8, 1, "text: \"2\"");
  Widget* c2 = add(win, "c2", "check", 0, 3, 8, 1, "text: \"B\" data: true");

  click(c, 0, 0);  // none: true
  EXPECT_EQ(text_of("mold c/data"), "true");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].kind, widget_event::change);
  key(c, 32);  // and back
  EXPECT_EQ(text_of("mold c/data"), "false");
  key(c, 'a');  // other keys do nothing
  EXPECT_EQ(sent.size(), 2u);
  refresh();
  EXPECT_EQ(row(0, 0, 3), "☐ A");

  // A radio button set clears the other radio buttons, not the checks.
  key(r2, 32);
  EXPECT_EQ(text_of("mold reduce [r1/data r2/data c2/data]"), "[false true true]");
  refresh();
  EXPECT_EQ(row(2, 0, 3), "◉ 2");
  EXPECT_EQ(row(1, 0, 3), "○ 1");
  (void)r1;
  (void)c2;
}

TEST_F(GuiWidgets, TextListMovesAndScrollsTheSelection) {
  Widget* win = add(nullptr, "win", "window", 0, 0, 20, 4);
  Widget* t = add(win, "t", "text-list", 0, 0, 6, 3, "data: [a b c d e]", widget_flag::focusable);
  // It took the focus at creation; the focus rebuilds its rows with the
  // first one selected.
  EXPECT_EQ(text_of("mold t/selected"), "1");
  refresh();
  EXPECT_TRUE(grid_cell(0, 0)->attributes & attr::reverse);
  EXPECT_FALSE(grid_cell(0, 1)->attributes & attr::reverse);

  for (int i = 0; i < 3; i++) key(t, key_code::down);
  EXPECT_EQ(text_of("mold t/selected"), "4");
  EXPECT_EQ(t->data_word, 1);  // scrolled by one to keep row 4 in view
  ASSERT_EQ(sent.size(), 6u);
  EXPECT_EQ(sent[4].kind, widget_event::select);
  EXPECT_EQ(sent[4].code, 4);
  EXPECT_EQ(sent[5].kind, widget_event::change);
  refresh();
  EXPECT_EQ(row(0, 0, 1), "b");
  EXPECT_TRUE(grid_cell(0, 2)->attributes & attr::reverse);

  key(t, key_code::down);
  sent.clear();
  key(t, key_code::down);  // at the last row: nothing, no event
  EXPECT_EQ(text_of("mold t/selected"), "5");
  EXPECT_TRUE(sent.empty());

  // A click selects the row under it, counted from the first one shown
  // (c d e are shown).
  EXPECT_EQ(t->data_word, 2);
  click(t, 1, 0);
  EXPECT_EQ(text_of("mold t/selected"), "3");
  click(t, 1, 7);  // below the last item: nothing
  EXPECT_EQ(text_of("mold t/selected"), "3");
  // Up above the first row shown scrolls back.
  key(t, key_code::up);
  EXPECT_EQ(t->data_word, 1);
  key(t, key_code::up);
  EXPECT_EQ(t->data_word, 0);
  EXPECT_EQ(text_of("mold t/selected"), "1");
}

// Regression: while make-view runs, the face does not name its widget yet;
// a text list taking the focus at creation was drawn as not focused, with
// no selection, until another focus came.
TEST_F(GuiWidgets, AListFocusedAtCreationShowsItsSelection) {
  Widget* win = add(nullptr, "win", "window", 0, 0, 20, 4);
  run("t: make face! [type: 'text-list size: 6x3 data: [a b c]]");
  Widget* t = make_widget(win);
  t->type = type_symbol("text-list");
  t->flags = widget_flag::focusable;
  t->right = 6;
  t->bottom = 3;
  t->face = run("t");
  Cell* pane = face_field(&win->face, "pane");
  block::make_at(pane, 4);
  block::rs_append(pane, &t->face);
  make_widget_class(t);
  on_widget_created(t);
  EXPECT_EQ(text_of("mold t/selected"), "1");
  EXPECT_EQ(text_of("t/text"), "\033[7ma\n\033[27mb\nc\n");
}

TEST_F(GuiWidgets, TextListSelectAnsweredDoneSendsNoChange) {
  Widget* win = add(nullptr, "win", "window", 0, 0, 20, 4);
  Widget* t = add(win, "t", "text-list", 0, 0, 6, 3, "data: [a b] selected: 1");
  answer_done = true;
  key(t, key_code::down);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].kind, widget_event::select);
  EXPECT_EQ(text_of("mold t/selected"), "2");
}

// Regression: a widget freed by the actor of an event it sent was used
// after the event.
TEST_F(GuiWidgets, AWidgetClosedByItsActorIsLeftAlone) {
  Widget* win = add(nullptr, "win", "window", 0, 0, 20, 4);
  Widget* t = add(win, "t", "text-list", 0, 0, 6, 3, "data: [a b] selected: 1");
  Widget* b = add(win, "b", "button", 0, 3, 4, 1, "text: \"Go\"");
  free_on_event = true;
  key(t, key_code::down);
  ASSERT_EQ(sent.size(), 1u);  // select only: the list is gone
  EXPECT_EQ(text_of("mold t/selected"), "1");
  key(b, 32);
  EXPECT_EQ(sent.size(), 2u);
}

// Regression: a widget no handle! named yet (its class builder runs Qel
// code before make-view answers) lost its record to a collection, and the
// next widget made took the record over.
TEST_F(GuiWidgets, ACollectionKeepsTheRecordsOfWidgets) {
  Widget* win = add(nullptr, "win", "window", 0, 0, 20, 4);
  Widget* w = make_widget(win);
  collector::collect();
  EXPECT_FALSE(ext_resource::flags_of(w->handle) & ext_resource::record_flag::free);
  EXPECT_EQ(ext_resource::object_of(w->handle), w);
  free_widget(w);
}

TEST_F(GuiWidgets, TextListRowsFromTheScrolledItem) {
  Widget* win = add(nullptr, "win", "window", 0, 0, 20, 4);
  Widget* t = add(win, "t", "text-list", 0, 0, 6, 3, "data: [a b c d e f] selected: 5", widget_flag::focusable);
  t->data_word = 3;
  t->build(t);
  // Rows 4 to 6; the selection (5) is the second shown.
  EXPECT_EQ(text_of("t/text"), "d\n\033[7me\n\033[27mf\n");
  // Data that shrank under the scrolled rows: back to its last page.
  run("t/data: [x y z w]");
  t->build(t);
  EXPECT_EQ(t->data_word, 1);
  EXPECT_EQ(text_of("t/text"), "y\nz\n\033[7mw\n\033[27m");
  // Without the focus no row is marked.
  Widget* other = add(win, "o", "button", 0, 3, 2, 1);
  set_focus_widget(window_record_of(other), other);
  t->build(t);
  EXPECT_EQ(text_of("t/text"), "y\nz\nw\n");
}

TEST_F(GuiWidgets, BaseNamingACaretFacePlacesTheCaret) {
  Widget* win = add(nullptr, "win", "window", 0, 0, 20, 4);
  Widget* f = add(win, "f", "field", 0, 0, 5, 1, "", widget_flag::focusable);
  Widget* host = add(win, "host", "base", 6, 2, 3, 1, "color: 255.0.0 options: [caret f]");
  Widget* odd = add(win, "odd", "base", 10, 2, 3, 1, "color: 255.0.0 options: [caret f x]");
  EXPECT_TRUE(host->has(widget_flag::caret_host));
  EXPECT_FALSE(odd->has(widget_flag::caret_host));
  EXPECT_EQ(screen().caret_column, 6);
  EXPECT_EQ(screen().caret_row, 2);
  refresh();
  // The host draws nothing and keeps the caret; the other base draws.
  EXPECT_EQ(grid_cell(6, 2)->background, 0u);
  EXPECT_NE(grid_cell(10, 2)->background, 0u);
  EXPECT_EQ(screen().caret_column, 6);
  (void)f;
}

}  // namespace
}  // namespace qel::gui
