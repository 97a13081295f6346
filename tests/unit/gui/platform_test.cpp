// The back end's view management: face flags to bits, rates to timer
// intervals, a face made into a widget record, facet changes pushed to the
// record, the text list kept in range by deep changes, a face tree's views
// destroyed, and the active window drawn as text without a terminal.
#include <gtest/gtest.h>

#include <string>

#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "gui/terminal/events.h"
#include "gui/terminal/platform.h"
#include "gui/terminal/screen.h"
#include "gui/terminal/support.h"
#include "gui/terminal/tty.h"
#include "tests/unit/qel_fixture.h"
#include "datatypes/block.h"
#include "core/errors.h"

namespace qel::gui {
namespace {

using testing_qel::error_of;
using testing_qel::run;

class GuiPlatform : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing_qel::start_runtime<GuiPlatform>(); }
  void SetUp() override {
    testing_qel::clear_stacks();
    tty::testing::set_active(false);
    tty::testing::set_size(40, 10);
    reset();
    reset_events();
  }
  void TearDown() override {
    reset();
    reset_events();
  }

  // A face with the facets the back end reads.
  static Cell face(const std::string& facets) {
    return run(
        "make object! [type: 'base offset: none size: none text: none image: none color: none data: none "
        "enabled?: true visible?: true selected: none flags: none options: none parent: none pane: none "
        "state: none rate: none para: none font: none draw: none " +
        facets + "]");
  }

  // Shows a face as `show` does: its widget under the parent's, its state
  // block, and a place in the parent's pane.
  static Widget* show(Cell& f, Widget* parent = nullptr) {
    Widget* w = os_make_view(&f, parent);
    Cell* state = face_field(&f, "state");
    block::make_at(state, 4);
    Cell item;
    make_widget_handle(&item, w);
    block::rs_append(state, &item);
    set_integer(&item, 0);
    block::rs_append(state, &item);
    set_none(&item);
    block::rs_append(state, &item);
    set_logic(&item, false);
    block::rs_append(state, &item);
    if (parent) {
      Cell* pane = face_field(&parent->face, "pane");
      if (!pane->is(TypeId::block)) block::make_at(pane, 4);
      block::rs_append(pane, &f);
    } else {
      os_show_window(w);
    }
    return w;
  }

  static void set_changes(const Cell& f, int32_t bits) {
    set_integer(block::rs_head(face_field(&f, "state")) + 1, bits);
  }
};

TEST_F(GuiPlatform, FlagsOfWordsAndBlocks) {
  Cell word = run("'modal");
  Cell list = run("[focusable all-over no-title fullscreen]");
  Cell other = run("3");
  EXPECT_EQ(get_flags(&word), face_flag::modal);
  EXPECT_EQ(get_flags(&list), face_flag::focusable | face_flag::all_over | face_flag::no_title | face_flag::fullscreen);
  EXPECT_EQ(get_flags(&other), 0u);
  EXPECT_EQ(get_flags(nullptr), 0u);
  Cell bad = run("[modal bogus]");
  EXPECT_NE(error_of([&] { get_flags(&bad); }).find("invalid argument: bogus"), std::string::npos);
}

TEST_F(GuiPlatform, RatesBecomeIntervals) {
  struct Case {
    const char* rate;
    int32_t ms;
  };
  for (const Case& c : {Case{"3", 333}, Case{"10", 100}, Case{"1", 1000}, Case{"0:00:00.5", 500},
                        Case{"0:00:02", 2000}, Case{"2000", 0}}) {
    Cell r = run(c.rate);
    EXPECT_EQ(rate_interval(&r), c.ms) << c.rate;
  }
  for (const char* bad : {"0", "-1", "0:00:00", "-0:00:01", "\"x\"", "1.5"}) {
    Cell r = run(bad);
    EXPECT_NE(error_of([&] { rate_interval(&r); }).find("VIEW - invalid rate value:"), std::string::npos) << bad;
  }
}

TEST_F(GuiPlatform, MakeViewFillsTheRecord) {
  Cell win = face("type: 'window offset: 5x5 size: 30x8 flags: [modal fullscreen]");
  Widget* w = show(win);
  EXPECT_EQ(w->left, 0);
  EXPECT_EQ(w->top, 0);
  EXPECT_EQ(w->right, 30);
  EXPECT_TRUE(face_field(&win, "offset")->is(TypeId::pair));
  EXPECT_EQ(pair::x(face_field(&win, "offset")), 0);
  EXPECT_TRUE(w->has(widget_flag::full_screen));
  EXPECT_TRUE(w->has(widget_flag::size_is_pair));
  EXPECT_EQ(face_widget(&win), w);

  Cell plain = face("offset: 1x1 size: 3x1");
  Cell secret = face("type: 'field offset: 2x3 size: 6x1 flags: [focusable password all-over]");
  Cell hidden = face("offset: (4, 2) size: (2.5, 1.0) visible?: false enabled?: none");
  Widget* p = show(plain, w);
  Widget* s = show(secret, w);
  Widget* h = show(hidden, w);
  EXPECT_TRUE(face_field(&plain, "offset")->is(TypeId::point2d));  // a pair offset becomes a point
  EXPECT_EQ(p->flags & (widget_flag::focusable | widget_flag::hidden | widget_flag::disabled), 0u);
  EXPECT_TRUE(s->has(widget_flag::focusable) && s->has(widget_flag::password) && s->has(widget_flag::all_over));
  EXPECT_TRUE(h->has(widget_flag::hidden) && h->has(widget_flag::disabled));
  EXPECT_FALSE(h->has(widget_flag::size_is_pair));
  EXPECT_FLOAT_EQ(h->right, 6.5f);
  // The window's content bounds take in every child; the first focusable
  // child has the focus.
  WindowRecord* r = window_record_of(w);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->right, 8);
  EXPECT_EQ(r->bottom, 4);
  EXPECT_EQ(screen().focused, s);

  // Sizes the screen cannot hold stay within bounds it can.
  Cell odd = face("offset: (1.#NaN, 1.#INF) size: (-1.#INF, 3.0)");
  Widget* o = show(odd, w);
  EXPECT_EQ(o->left, 0);
  EXPECT_EQ(o->top, 1e6f);
  EXPECT_EQ(o->right, -1e6f);

  Cell bad = face("flags: 'sideways");
  EXPECT_NE(error_of([&] { os_make_view(&bad, w); }).find("invalid argument: sideways"), std::string::npos);
  Cell slow = face("rate: 0");
  EXPECT_NE(error_of([&] { os_make_view(&slow, w); }).find("VIEW - invalid rate value: 0"), std::string::npos);
}

TEST_F(GuiPlatform, UpdateViewPushesTheChangesAndClearsThem) {
  Cell win = face("type: 'window size: 20x5");
  Widget* w = show(win);
  Cell f = face("offset: 1x1 size: 4x2 flags: 'all-over");
  Widget* c = show(f, w);
  os_update_view(&f);  // nothing flagged: nothing moves
  EXPECT_EQ(c->left, 1);

  *face_field(&f, "offset") = run("3x2");
  *face_field(&f, "size") = run("(5.0, 1.0)");
  set_logic(face_field(&f, "visible?"), false);
  set_logic(face_field(&f, "enabled?"), false);
  *face_field(&f, "flags") = run("[password]");
  // Only the flagged changes reach the record.
  set_changes(f, change_bit::offset | change_bit::visible | change_bit::flags);
  os_update_view(&f);
  EXPECT_EQ(c->left, 3);
  EXPECT_EQ(c->top, 2);
  EXPECT_EQ(c->right, 7);  // the old width kept
  EXPECT_TRUE(c->has(widget_flag::hidden));
  EXPECT_FALSE(c->has(widget_flag::disabled));
  EXPECT_TRUE(c->has(widget_flag::password));
  EXPECT_FALSE(c->has(widget_flag::all_over));
  EXPECT_EQ(block::rs_head(face_field(&f, "state"))[1].integer(), 0);

  set_changes(f, change_bit::size | change_bit::enabled);
  os_update_view(&f);
  EXPECT_EQ(c->right, 8);
  EXPECT_EQ(c->bottom, 3);
  EXPECT_FALSE(c->has(widget_flag::size_is_pair));
  EXPECT_TRUE(c->has(widget_flag::disabled));

  // A window's selected face takes the focus; none gives it to the window.
  Cell g = face("flags: 'focusable");
  Widget* gw = show(g, w);
  *face_field(&win, "selected") = g;
  set_changes(win, change_bit::selected);
  os_update_view(&win);
  EXPECT_EQ(screen().focused, gw);
  set_none(face_field(&win, "selected"));
  set_changes(win, change_bit::selected);
  os_update_view(&win);
  EXPECT_EQ(screen().focused, w);
}

TEST_F(GuiPlatform, RatesGiveTimersUntilTheViewGoes) {
  Cell win = face("type: 'window size: 20x5");
  Widget* w = show(win);
  Cell f = face("size: 2x1 rate: 10");
  show(f, w);
  EXPECT_EQ(timer_count(), 1);
  set_none(face_field(&f, "rate"));
  set_changes(f, change_bit::rate);
  os_update_view(&f);
  EXPECT_EQ(timer_count(), 0);
  *face_field(&f, "rate") = run("0:00:01");
  set_changes(f, change_bit::rate);
  os_update_view(&f);
  EXPECT_EQ(timer_count(), 1);
  os_destroy_view(&win, true);
  EXPECT_EQ(timer_count(), 0);
}

TEST_F(GuiPlatform, DeepDataChangesKeepATextListInRange) {
  Cell win = face("type: 'window size: 20x5");
  Widget* w = show(win);
  Cell list = face("type: 'text-list size: 10x3 data: [a b c d e f] selected: 6");
  Widget* l = show(list, w);
  Cell data = *face_field(&list, "data");
  Cell remove = run("'remove");
  Cell word = run("'data");
  l->data_word = 4;
  os_update_facet(&list, &word, &data, &remove, 2, 1);
  EXPECT_EQ(l->data_word, 2);
  EXPECT_EQ(face_field(&list, "selected")->integer(), 5);
  l->data_word = 3;
  os_update_facet(&list, &word, &data, &remove, 0, 6);
  EXPECT_EQ(l->data_word, 0);
  EXPECT_EQ(face_field(&list, "selected")->integer(), 0);

  // The language sends the list at the removed position: the selection is
  // kept within the whole list (a removal of the last item took it to 0).
  set_integer(face_field(&list, "selected"), 6);
  Cell at_last = data;
  at_last.set_head(5);
  os_update_facet(&list, &word, &at_last, &remove, 5, 1);
  EXPECT_EQ(face_field(&list, "selected")->integer(), 5);
}

TEST_F(GuiPlatform, DestroyViewFreesTheTreeAndUnlinksFontsAndParas) {
  Cell win = face("type: 'window size: 20x5");
  Widget* w = show(win);
  Cell font = run("make object! [name: none state: [1] parent: none]");
  Cell para = run("make object! [align: none parent: none]");
  Cell panel = face("type: 'panel size: 10x3");
  *face_field(&panel, "font") = font;
  *face_field(&panel, "para") = para;
  Widget* pw = show(panel, w);
  Cell child = face("size: 2x1");
  *face_field(&child, "font") = font;
  show(child, pw);
  *face_field(&font, "parent") = run("[]");
  block::rs_append(face_field(&font, "parent"), &panel);
  block::rs_append(face_field(&font, "parent"), &child);
  *face_field(&para, "parent") = run("[]");
  block::rs_append(face_field(&para, "parent"), &panel);

  loop_state().depth = 1;
  os_destroy_view(&panel, false);
  EXPECT_EQ(loop_state().depth, 1);  // a face leaving its pane ends no loop
  EXPECT_TRUE(face_field(&panel, "state")->is(TypeId::none));
  EXPECT_TRUE(face_field(&child, "state")->is(TypeId::none));
  EXPECT_EQ(block::rs_length_q(face_field(&font, "parent")), 0);
  EXPECT_EQ(block::rs_length_q(face_field(&para, "parent")), 0);
  EXPECT_TRUE(face_field(&font, "state")->is(TypeId::none));  // no face uses it
  EXPECT_EQ(face_widget(&win), w);
  EXPECT_EQ(screen().windows.size(), 1u);

  os_destroy_view(&win, true);
  EXPECT_EQ(loop_state().depth, 0);
  EXPECT_TRUE(screen().windows.empty());
  EXPECT_EQ(screen_text(), "");
}

TEST_F(GuiPlatform, FontAndParaChangeKinds) {
  Cell font = run("make object! [name: none state: [1] parent: none]");
  update_font(&font, 4);
  EXPECT_TRUE(face_field(&font, "state")->is(TypeId::block));
  for (int32_t kind : {0, 3, 5}) {
    *face_field(&font, "state") = run("[1]");
    update_font(&font, kind);
    EXPECT_TRUE(face_field(&font, "state")->is(TypeId::none)) << kind;
  }
  Cell f = face("state: [none 2 none false]");
  update_para(&f);
  EXPECT_EQ(block::rs_head(face_field(&f, "state"))[1].integer(), 2 | change_bit::para);
  Cell bare = face("");
  update_para(&bare);  // no state: nothing to mark
  EXPECT_TRUE(face_field(&bare, "state")->is(TypeId::none));
}

TEST_F(GuiPlatform, ScreenTextDrawsTheActiveWindowWithoutATerminal) {
  ASSERT_FALSE(tty::active());
  Cell win = face("type: 'window size: 20x5");
  Widget* w = show(win);
  Cell a = face("offset: 1x0 size: 5x1 text: \"hello\"");
  Cell b = face("offset: 3x2 size: 4x1 text: \"wide\"");
  show(a, w);
  show(b, w);
  EXPECT_EQ(screen_text(), " hello\n\n   wide");
  // The grid is cut to the terminal's size.
  tty::testing::set_size(4, 2);
  EXPECT_EQ(screen_text(), " hel\n");
}

}  // namespace
}  // namespace qel::gui
