// The text-mode back end's input and event loop: the decoder (characters,
// control characters, key sequences, SGR and X10 mouse reports, cursor
// reports, string sequences, sequences cut by the end of a read, bytes
// that are not UTF-8), the routing of keys and mouse reports to widgets
// (key-down/key/own handling, down/up/click/dbl-click, hover and away,
// wheel), the hand-over to system/view/awake with the event field readers,
// the timers, and the loop's refusal to wait without a terminal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "datatypes/event.h"
#include "evaluator/interpreter.h"
#include "gui/terminal/events.h"
#include "gui/terminal/input.h"
#include "gui/terminal/screen.h"
#include "gui/terminal/support.h"
#include "gui/terminal/tty.h"
#include "tests/unit/gui_fixture.h"
#include "runtime/output.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel::gui {
namespace {

// Writes what the decoder finds as text: "k:<code>" for a character,
// "s:<code>" for a special key, "m:<b>,<col>,<row>,<p|r>", "c:<row>,<col>".
struct Recorder final : InputSink {
  std::string log;
  void sep() {
    if (!log.empty()) log += ' ';
  }
  void key(uint32_t character, int32_t special) override {
    sep();
    log += special ? "s:" + std::to_string(special) : "k:" + std::to_string(character);
  }
  void mouse(int32_t b, int32_t column, int32_t row, bool released) override {
    sep();
    log += "m:" + std::to_string(b) + "," + std::to_string(column) + "," + std::to_string(row) +
           (released ? ",r" : ",p");
  }
  void cursor_report(int32_t row, int32_t column) override {
    sep();
    log += "c:" + std::to_string(row) + "," + std::to_string(column);
  }
};

class GuiInputDecoder : public ::testing::Test {
 protected:
  void SetUp() override {
    input_reset();
    set_input_sink(&rec);
  }
  void TearDown() override {
    set_input_sink(nullptr);
    input_reset();
  }
  std::string feed(std::string_view bytes) {
    rec.log.clear();
    append_input(bytes);
    process_input();
    return rec.log;
  }
  Recorder rec;
};

TEST_F(GuiInputDecoder, BytesToKeysAndReports) {
  struct Case {
    std::string bytes;
    const char* expected;
  };
  const Case cases[] = {
      {"a", "k:97"},
      {"\xc3\xa9", "k:233"},             // é
      {"\xf0\x9f\x98\x80", "k:128512"},  // an astral character is one key
      {"\x08", "k:127"},                 // backspace
      {"\n", "k:13"},
      {"\r", "k:13"},
      {"\t", "k:9"},
      {"\x7f", "k:127"},
      {std::string(1, '\0'), "k:0"},     // dropped later by send_key
      {"\x1b", "k:27"},                  // a lone ESC is the Escape key
      {"\x1b[A", "s:-20"},
      {"\x1b[B\x1b[C\x1b[D", "s:-21 s:-22 s:-23"},
      {"\x1b[F\x1b[H", "s:-24 s:-25"},
      {"\x1b[1;5A", "s:-20"},            // modifiers are not read
      {"\x1b[Z", "s:10"},                // back-tab
      {"\x1b[3~\x1b[5~\x1b[6~", "s:-27 s:-28 s:-29"},
      {"\x1b[15~\x1b[17~\x1b[18~\x1b[19~", "s:-35 s:-36 s:-37 s:-38"},
      {"\x1b[20~\x1b[21~\x1b[23~\x1b[24~", "s:-39 s:-40 s:-41 s:-42"},
      {"\x1bOP\x1bOQ\x1bOR\x1bOS", "s:-31 s:-32 s:-33 s:-34"},
      {"\x1b[2~\x1b[1~\x1b[4~\x1b[99~\x1b[Q", ""},  // not in the table: dropped
      {"\x1b" "ab", "k:98"},             // Alt+a: dropped, and only itself
      {"\x1b\r\x1b" "1x", "k:120"},       // Alt+Enter, Alt+1
      {"\x1b\x1b[A", "k:27 s:-20"},       // Escape pressed before a key sequence
      {"ab\x1b[Cc", "k:97 k:98 s:-22 k:99"},
      {"\x1b[1;2R", "c:1,2"},            // a cursor report, not a key
      {"\x1b[<0;10;5M", "m:0,10,5,p"},
      {"\x1b[<0;10;5m", "m:0,10,5,r"},
      {"\x1b[<64;1;1M\x1b[<65;1;1M", "m:64,1,1,p m:65,1,1,p"},
      {"\x1b[<35;3;4M", "m:35,3,4,p"},
      {"\x1b[32;3;4M", "m:32,3,4,p"},    // the "<" mark is not required
      {"\x1b[1;2;3;4;5;6M", ""},         // six parameters: not a mouse report
      {"\x1b[M \x2a\x25", "m:0,10,5,p"},  // X10: each byte is its value plus 32
      {"\x1b[M#\x2a\x25", "m:0,10,5,r"},  // X10 release of the last button
      {"\x1b[MC\x2b\x25", "m:35,11,5,p"},  // X10 motion without a button
      {"\x1b]11;rgb:0/0/0\x1b\\x", "k:120"},  // operating system command skipped
      {"\x1b]0;title\x07y", "k:121"},          // ... ended by BEL as well
      {"\x1bP1$r0m\x1b\\", ""},                // device control string skipped
      {"\x1b[1\x1b[A", "k:91 k:65"},           // a new ESC abandons the sequence
  };
  for (const Case& c : cases) {
    input_reset();
    EXPECT_EQ(feed(c.bytes), c.expected) << testing::PrintToString(c.bytes);
    EXPECT_EQ(pending_input(), "") << testing::PrintToString(c.bytes);
  }
}

TEST_F(GuiInputDecoder, BytesThatAreNotUtf8AreDropped) {
  struct Case {
    std::string bytes;
    const char* expected;
  };
  const Case cases[] = {
      {"\xff" "a", "k:97"},
      {"\x80\xbf" "b", "k:98"},          // continuation bytes alone
      {"\xc3(", "k:40"},                 // a lead byte without its continuation
      {"\xc0\xaf", ""},                  // overlong
      {"\xed\xa0\x80" "c", "k:99"},      // an encoded surrogate
      {"\xf5\x80\x80\x80", ""},          // beyond U+10FFFF
  };
  for (const Case& c : cases) {
    input_reset();
    EXPECT_EQ(feed(c.bytes), c.expected) << testing::PrintToString(c.bytes);
    EXPECT_EQ(pending_input(), "");
  }
}

TEST_F(GuiInputDecoder, SequencesCutByTheEndOfARead) {
  struct Case {
    std::vector<std::string> reads;
    std::vector<const char*> expected;  // what each pass sends
  };
  const Case cases[] = {
      {{"\x1b[", "A"}, {"", "s:-20"}},
      {{"\x1b[1", "5~"}, {"", "s:-35"}},
      {{"x\xc3", "\xa9"}, {"k:120", "k:233"}},
      {{"\xf0\x9f", "\x98", "\x80"}, {"", "", "k:128512"}},
      {{"\x1b[<0;1", "0;5M"}, {"", "m:0,10,5,p"}},
      {{"\x1b[M ", "\x2a\x25"}, {"", "m:0,10,5,p"}},
      {{"\x1b]11;rgb", ":0/0/0\x1b", "\\z"}, {"", "", "k:122"}},
      // An ESC ending a longer read waits; alone in the next pass it is
      // the Escape key.
      {{"a\x1b", ""}, {"k:97", "k:27"}},
      {{"\x1bO", "P"}, {"", "s:-31"}},
      // Escape pressed twice: no waiting for a third byte.
      {{"\x1b\x1b", ""}, {"k:27", "k:27"}},
  };
  for (const Case& c : cases) {
    input_reset();
    for (size_t i = 0; i < c.reads.size(); i++)
      EXPECT_EQ(feed(c.reads[i]), c.expected[i]) << testing::PrintToString(c.reads) << " pass " << i;
    EXPECT_EQ(pending_input(), "");
  }
}

TEST_F(GuiInputDecoder, AnUnfinishedSequenceCannotGrowWithoutEnd) {
  EXPECT_EQ(feed("\x1b]"), "");
  EXPECT_EQ(feed(std::string(kMaxPending, 'x')), "");
  EXPECT_EQ(pending_input(), "");
  EXPECT_EQ(feed("z"), "k:122");
}

TEST_F(GuiInputDecoder, NoTerminalMeansNoInput) {
  tty::testing::set_active(false);
  EXPECT_EQ(read_console_input(true), 0);
  EXPECT_EQ(pending_input(), "");
}

// --- routing, dispatch and the loop, with widgets and faces

struct Sent {
  int32_t type;
  Widget* widget;
  uint32_t flags;
  int32_t code;
  float x, y;
};
std::vector<Sent> sent;
int32_t done_for = -1;  // the event type a stand-in dispatch answers `done` to

bool record_dispatch(int32_t type, GuiMessage* m, uint32_t flags) {
  sent.push_back({type, m->widget, flags, m->code, m->x, m->y});
  return type == done_for;
}

std::vector<std::pair<int32_t, Widget*>> handled;
int32_t record_handling(int32_t type, GuiMessage* m) {
  handled.emplace_back(type, m->widget);
  return 0;
}

using testing_qel::run;

class GuiEvents : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testing_qel::start_runtime<GuiEvents>();
    const bool was = word::recording_q();
    word::set_recording(true);
    event::register_();
    word::set_recording(was);
  }
  void SetUp() override {
    testing_qel::clear_stacks();
    tty::testing::set_active(false);
    reset();
    reset_events();
    sent.clear();
    handled.clear();
    done_for = -1;
    dispatch_event = record_dispatch;
  }
  void TearDown() override {
    reset();
    reset_events();
    dispatch_event = nullptr;
    tty::testing::set_active(false);
  }

  static std::string text_of(const std::string& code) {
    Cell v = run(code);
    std::string s;
    string::to_utf8(&v, s);
    return s;
  }

  // A widget with a face at a box under a parent (a window when null).
  static Widget* add(Widget* parent, int x, int y, int w, int h, uint32_t flags = 0) {
    Cell face = run("make object! [type: 'base pane: none state: none options: none]");
    Widget* wd = testing_gui::new_widget(parent, "base", x, y, w, h, face, flags);
    wd->handle_event = record_handling;
    testing_gui::attach(wd);
    if (!parent) activate_window(window_record_of(wd));
    return wd;
  }

  // The types sent, in order.
  static std::vector<int32_t> types() {
    std::vector<int32_t> t;
    for (const Sent& s : sent) t.push_back(s.type);
    return t;
  }
  static void press(int column, int row) { mouse_report(0, column, row, false); }
  static void release(int column, int row) { mouse_report(0, column, row, true); }
};

using namespace event_type;

TEST_F(GuiEvents, KeysGoToTheFocusedWidget) {
  Widget* win = add(nullptr, 0, 0, 10, 3);
  Widget* field = add(win, 0, 0, 5, 1, widget_flag::focusable);
  ASSERT_EQ(screen().focused, field);
  sent.clear();
  handled.clear();
  send_key(nullptr, 'a', 0);
  // key-down, key, then the widget's own handling.
  ASSERT_EQ(types(), (std::vector<int32_t>{key_down, key}));
  EXPECT_EQ(sent[0].code, 'a');
  EXPECT_EQ(sent[0].flags, 0u);
  ASSERT_EQ(handled.size(), 1u);
  EXPECT_EQ(handled[0], std::make_pair(key, field));

  struct Case {
    uint32_t character;
    int32_t special;
    int32_t code;
    uint32_t flags;
  };
  const Case cases[] = {
      {0, special_key::back_tab, 9, event_flag::shift},
      {0, special_key::up, special_key::up, event_flag::special_key},
      {0, special_key::f12, special_key::f12, event_flag::special_key},
  };
  for (const Case& c : cases) {
    sent.clear();
    send_key(nullptr, c.character, c.special);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].code, c.code);
    EXPECT_EQ(sent[1].flags, c.flags);
  }
  // A character 0 sends nothing; `done` for key-down stops the key and the
  // widget's own handling.
  sent.clear();
  handled.clear();
  send_key(nullptr, 0, 0);
  EXPECT_TRUE(sent.empty());
  done_for = key_down;
  send_key(nullptr, 'b', 0);
  EXPECT_EQ(types(), (std::vector<int32_t>{key_down}));
  EXPECT_TRUE(handled.empty());
  // A disabled widget gets nothing.
  sent.clear();
  field->flags |= widget_flag::disabled;
  send_key(nullptr, 'c', 0);
  EXPECT_TRUE(sent.empty());
}

TEST_F(GuiEvents, ClicksAndDoubleClicks) {
  Widget* win = add(nullptr, 0, 0, 10, 3);
  Widget* button = add(win, 2, 1, 4, 1);
  EXPECT_TRUE(last_released());
  mouse_report(35, 3, 2, false);  // the pointer comes over the button
  sent.clear();
  // down, up, click; the window hears what the button did not consume,
  // the deepest widget first at each step.
  press(3, 2);
  release(3, 2);
  std::vector<std::pair<int32_t, Widget*>> got;
  for (const Sent& s : sent) got.emplace_back(s.type, s.widget);
  EXPECT_EQ(got, (std::vector<std::pair<int32_t, Widget*>>{
                     {down, button}, {down, win}, {up, button}, {click, button}, {up, win}, {click, win}}));
  EXPECT_FLOAT_EQ(sent[0].x, 0);  // column 3 is the button's first
  EXPECT_FLOAT_EQ(sent[0].y, 0);
  // Within 500 ms: click and dbl-click; right after: a click again.
  auto clicks = [&] {
    sent.clear();
    press(3, 2);
    release(3, 2);
    std::vector<int32_t> t;
    for (const Sent& s : sent)
      if (s.widget == button && (s.type == click || s.type == dbl_click)) t.push_back(s.type);
    return t;
  };
  EXPECT_EQ(clicks(), (std::vector<int32_t>{click, dbl_click}));
  EXPECT_EQ(clicks(), (std::vector<int32_t>{click}));
  // Too late for a double click.
  loop_state().click_age = 500;
  EXPECT_EQ(clicks(), (std::vector<int32_t>{click}));
  // A consumed down stops at the button.
  done_for = down;
  sent.clear();
  press(3, 2);
  EXPECT_EQ(sent.size(), 1u);
  release(3, 2);
}

TEST_F(GuiEvents, HoverAwayAndWheel) {
  Widget* win = add(nullptr, 0, 0, 10, 4);
  Widget* panel = add(win, 0, 0, 8, 3);
  Widget* child = add(panel, 1, 1, 2, 1);
  mouse_report(35, 2, 2, false);  // over the child
  EXPECT_EQ(screen().hovered, child);
  sent.clear();
  mouse_report(35, 6, 2, false);  // the panel's empty area
  EXPECT_EQ(screen().hovered, panel);
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent[0].widget, child);
  EXPECT_EQ(sent[0].type, over);
  EXPECT_TRUE(sent[0].flags & event_flag::away);
  // Wheel codes 64 and 65 reach the deepest widget; 66 and 67 nothing.
  sent.clear();
  mouse_report(66, 2, 2, false);
  mouse_report(67, 2, 2, false);
  EXPECT_TRUE(sent.empty());
  mouse_report(64, 2, 2, false);
  ASSERT_EQ(sent.size(), 3u);  // child, panel, window: nothing consumed it
  EXPECT_EQ(sent[0].widget, child);
  EXPECT_EQ(sent[0].type, wheel);
  done_for = wheel;
  sent.clear();
  mouse_report(65, 2, 2, false);
  EXPECT_EQ(sent.size(), 1u);
  // Modifier bits become flags.
  done_for = -1;
  sent.clear();
  mouse_report(35 | 4 | 16, 2, 2, false);
  for (const Sent& s : sent) EXPECT_EQ(s.flags & (event_flag::shift | event_flag::control),
                                       event_flag::shift | event_flag::control);
}

TEST_F(GuiEvents, TimersFireOncePerIntervalAndSkipDisabledTargets) {
  Widget* win = add(nullptr, 0, 0, 10, 3);
  Widget* w = add(win, 0, 0, 2, 1);
  add_timer(w, 100);
  sent.clear();
  for (int pass = 1; pass <= 8; pass++) tick_timers(33);
  // After 132 ms and again 132 ms later.
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].type, time);
  w->flags |= widget_flag::disabled;
  sent.clear();
  for (int pass = 1; pass <= 4; pass++) tick_timers(33);
  EXPECT_TRUE(sent.empty());
  remove_timer(w);
  EXPECT_EQ(timer_count(), 0);
  // A freed target: the timer fires and sends nothing.
  w->flags &= ~widget_flag::disabled;
  add_timer(w, 10);
  free_widget(w);
  tick_timers(33);
  EXPECT_TRUE(sent.empty());
}

TEST_F(GuiEvents, TheLoopNeverWaitsWithoutATerminal) {
  EXPECT_FALSE(do_events(true));
  EXPECT_FALSE(do_events(false));
  EXPECT_EQ(loop_state().depth, 0);
  poll_events();
}

bool quit_on_time(int32_t type, GuiMessage* m, uint32_t flags) {
  record_dispatch(type, m, flags);
  if (type == time) post_quit_msg();
  return false;
}

TEST_F(GuiEvents, ANestedLoopRunsUntilItsQuitAndLeavesTheOuterOneAlone) {
  Widget* win = add(nullptr, 0, 0, 10, 3);
  Widget* w = add(win, 0, 0, 2, 1);
  tty::testing::set_active(true);
  tty::testing::set_size(20, 5);
  add_timer(w, 60);
  std::string out;
  output::begin_capture(&out);
  // A no-wait pass without input returns at once: no timers.
  EXPECT_FALSE(do_events(true));
  EXPECT_TRUE(sent.empty());
  // A blocking loop inside a running one (an actor's `do-events`): its
  // passes tick the timer, whose event ends it after the second pass.
  dispatch_event = quit_on_time;
  loop_state().depth = 1;
  do_events(false);
  output::end_capture();
  EXPECT_EQ(types(), (std::vector<int32_t>{time}));
  EXPECT_EQ(loop_state().depth, 1);
  // The outer loop's window and terminal are still there.
  EXPECT_EQ(screen().windows.size(), 1u);
  EXPECT_TRUE(tty::active());
}

Widget* slow_widget = nullptr;
bool slow_then_quit(int32_t type, GuiMessage* m, uint32_t flags) {
  record_dispatch(type, m, flags);
  if (type != time) return false;
  if (m->widget == slow_widget) {
    if (sent.size() == 1) ::usleep(120 * 1000);
  } else {
    post_quit_msg();
  }
  return false;
}

TEST_F(GuiEvents, ASlowPassAdvancesTheTimersByItsLength) {
  Widget* win = add(nullptr, 0, 0, 10, 3);
  Widget* a = add(win, 0, 0, 2, 1);
  Widget* b = add(win, 3, 0, 2, 1);
  tty::testing::set_active(true);
  tty::testing::set_size(20, 5);
  slow_widget = a;
  add_timer(a, 33);
  add_timer(b, 90);
  dispatch_event = slow_then_quit;
  loop_state().depth = 1;
  std::string out;
  output::begin_capture(&out);
  do_events(false);
  output::end_capture();
  // The first pass took over 100 ms: the second advanced both timers by
  // that much, so b fired then (a fixed 33 ms would have taken a third).
  std::vector<Widget*> fired;
  for (const Sent& e : sent) fired.push_back(e.widget);
  EXPECT_EQ(fired, (std::vector<Widget*>{a, a, b}));
}

TEST_F(GuiEvents, ALoopWithoutWindowsEndsAtOnce) {
  tty::testing::set_active(true);
  std::string out;
  output::begin_capture(&out);
  do_events(false);
  output::end_capture();
  EXPECT_EQ(loop_state().depth, 0);
  EXPECT_FALSE(tty::active());  // the outermost loop gave the terminal back
}

TEST_F(GuiEvents, AwakeReadsTheFieldsOfTheBackEndsEvents) {
  install_dispatch();
  Widget* win = add(nullptr, 0, 0, 10, 3);
  Widget* w = add(win, 0, 0, 2, 1);
  // The unit tests run without the library: a system object of our own
  // holds the awake function.
  run("system: make object! [view: make object! [awake: none]]");
  run("ge-log: copy [] ge-kept: none ge-face: none "
      "system/view/awake: func [e /with f][ge-kept: e "
      "append ge-log reduce [e/type e/key e/offset e/flags e/shift? e/ctrl? e/picked same? e/face ge-face] "
      "if e/type = 'key [return 'done] if e/type = 'time [1 / 0] none]");
  Cell set_face = run("func [f][ge-face: f]");
  const Cell* args[] = {&w->face};
  interpreter::call_function(&set_face, args, 1, nullptr);
  GuiMessage m;
  m.widget = w;
  m.code = 'x';
  m.x = 2.7f;
  m.y = -1.5f;
  // `done` is handled; offsets are truncated toward zero.
  EXPECT_TRUE(dispatch_to_awake(key, &m, event_flag::shift | event_flag::control));
  EXPECT_EQ(text_of("mold ge-log"), "[key #\"x\" 2x-1 [control shift] true true 120 true]");
  m.code = special_key::page_down;
  EXPECT_FALSE(dispatch_to_awake(key_down, &m, event_flag::special_key));
  m.code = -30;  // not a key of the table
  dispatch_to_awake(key_down, &m, event_flag::special_key);
  m.amount = -1.0f;
  dispatch_to_awake(wheel, &m, 0);
  EXPECT_EQ(text_of("mold skip ge-log 8"),
            "[key-down page-down 2x-1 [] false false -29 true "
            "key-down none 2x-1 [] false false -30 true "
            "wheel none 2x-1 [] false false -1.0 true]");
  // Two reads of the flags share one block.
  EXPECT_EQ(text_of("mold same? ge-log/4 ge-log/12"), "true");
  // An event kept after its dispatch reads as one without data.
  EXPECT_EQ(text_of("mold reduce [ge-kept/type ge-kept/face ge-kept/offset ge-kept/key ge-kept/picked]"),
            "[wheel none 0x0 none 0.0]");
  // An error inside awake ends that dispatch only.
  EXPECT_FALSE(dispatch_to_awake(time, &m, 0));
  EXPECT_EQ(text_of("mold length? ge-log"), "40");
  run("system: none");
}

}  // namespace
}  // namespace qel::gui
