// Rich text on the text screen and the draw executor: text laid out in
// cells and the text-box metrics read from it, styled cell runs built from
// a rich-text face's style list, and draw blocks run by render-face inside
// the face's origin and clip, refused when they are bad, nested too deep or
// hold themselves, and painting nothing for an image.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "core/cycle_guard.h"
#include "core/stack.h"
#include "gui/terminal/draw.h"
#include "gui/terminal/render.h"
#include "gui/terminal/richtext.h"
#include "gui/terminal/screen.h"
#include "gui/terminal/support.h"
#include "gui/terminal/tty.h"
#include "tests/unit/gui_fixture.h"
#include "datatypes/string.h"

namespace qel::gui {
namespace {

using testing_qel::error_of;
using testing_qel::run;

class GuiDraw : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing_qel::start_runtime<GuiDraw>(); }
  void SetUp() override {
    testing_qel::clear_stacks();
    cycle_guard::reset();
    tty::testing::set_active(true);
    tty::testing::set_size(20, 6);
    reset();
  }
  void TearDown() override {
    reset();
    tty::testing::set_active(false);
  }

  static Cell face(const std::string& facets) {
    return run("make object! [type: 'rich-text size: none text: none color: none data: none para: none " + facets +
               "]");
  }

  // A window with a face covering its 20x6 cells.
  static Widget* add_window() {
    Widget* win = add_face(nullptr, 0, 0, 20, 6, "");
    add_face(win, 0, 0, 20, 6, "");
    return win;
  }

  // A face of the given facets and its widget at a box under a parent (an
  // active window when the parent is null).
  static Widget* add_face(Widget* parent, int x, int y, int w, int h, const std::string& facets) {
    Cell f = testing_gui::make_face("type: 'base " + facets);
    Widget* wd = testing_gui::add_widget(parent, parent ? "base" : "window", x, y, w, h, f);
    if (!parent) testing_gui::activate_quietly(wd);
    return wd;
  }

  static std::string render() { return testing_gui::captured_refresh(); }

  static std::u32string row(int y) {
    std::u32string s;
    for (int x = 0; x < screen().width; x++) {
      const ScreenCell* c = grid_cell(x, y);
      s += c->code_point && c->code_point != ' ' ? static_cast<char32_t>(c->code_point) : U'.';
    }
    return s;
  }
};

TEST_F(GuiDraw, LinesWrapAtTheWidthAndEndAtNewlines) {
  struct Case {
    const char* text;
    int32_t width;
    std::vector<TextLine> lines;
  } cases[] = {
      {"", 5, {{0, 0, 0}}},
      {"ab\nc", -1, {{0, 2, 2}, {3, 4, 1}}},
      {"ab\n", -1, {{0, 2, 2}, {3, 3, 0}}},
      {"abcde", 2, {{0, 2, 2}, {2, 4, 2}, {4, 5, 1}}},
      // A wide character that would pass the width starts the next line;
      // one wider than the whole width still gets a line of its own.
      {"a\xE4\xB8\x80", 2, {{0, 1, 1}, {1, 2, 2}}},
      {"\xE4\xB8\x80x", 1, {{0, 1, 2}, {1, 2, 1}}},
  };
  for (const Case& c : cases) {
    Cell* s = stack::push_slot();
    string::make_utf8(s, c.text);
    std::vector<TextLine> got = layout_lines(text_view(s), c.width);
    ASSERT_EQ(got.size(), c.lines.size()) << c.text;
    for (size_t i = 0; i < got.size(); i++) {
      EXPECT_EQ(got[i].start, c.lines[i].start) << c.text << " line " << i;
      EXPECT_EQ(got[i].end, c.lines[i].end) << c.text << " line " << i;
      EXPECT_EQ(got[i].width, c.lines[i].width) << c.text << " line " << i;
    }
  }
}

TEST_F(GuiDraw, TextBoxMetrics) {
  // "abcd" wraps at 3 columns: "abc" / "d", then "\n" and "xy".
  Cell f = face("size: 3x5 text: \"abcd^/xy\"");
  Cell out;
  auto metric = [&](const char* arg, int32_t type) {
    Cell a = run(arg);
    text_box_metrics(&f, &a, type, &out);
    return out;
  };
  auto point = [](const Cell& c) { return std::make_pair(point2d::x(&c), point2d::y(&c)); };
  using P = std::pair<float, float>;
  EXPECT_EQ(point(metric("0", metrics::size)), P(3, 3));
  EXPECT_EQ(metric("0", metrics::line_count).integer(), 3);
  EXPECT_EQ(metric("1", metrics::line_height).real(), 1.0);
  EXPECT_EQ(point(metric("1", metrics::caret_to_offset)), P(0, 0));
  EXPECT_EQ(point(metric("3", metrics::caret_to_offset)), P(2, 0));
  EXPECT_EQ(point(metric("4", metrics::caret_to_offset)), P(0, 1));
  EXPECT_EQ(point(metric("7", metrics::caret_to_offset)), P(1, 2));
  EXPECT_EQ(point(metric("3", metrics::caret_to_offset_lower)), P(3, 1));
  EXPECT_EQ(point(metric("99", metrics::caret_to_offset)), P(2, 2));
  EXPECT_EQ(metric("1x0", metrics::offset_to_caret).integer(), 2);
  EXPECT_EQ(metric("(1.7, 2)", metrics::offset_to_caret).integer(), 7);
  EXPECT_EQ(metric("9x2", metrics::offset_to_caret).integer(), 8);
  EXPECT_EQ(metric("5x9", metrics::offset_to_caret).integer(), 8);
  EXPECT_EQ(metric("1x2", metrics::offset_to_char).integer(), 7);
  EXPECT_EQ(metric("0x1", metrics::offset_to_char).integer(), 4);
  // Past the end of the last line: the last character.
  EXPECT_EQ(metric("9x2", metrics::offset_to_char).integer(), 7);
  EXPECT_TRUE(metric("0", 7).is(TypeId::none));
  EXPECT_NE(error_of([&] { metric("\"x\"", metrics::caret_to_offset); }).find("Script Error"), std::string::npos);

  // Two characters, a newline and one: 2 wide and 2 high; a face whose
  // height is smaller cuts the height; a text that is not a string: none.
  Cell g = face("size: 10x5 text: \"ab^/c\"");
  Cell zero = run("0");
  text_box_metrics(&g, &zero, metrics::size, &out);
  EXPECT_EQ(point(out), P(2, 2));
  g = face("size: 10x1 text: \"ab^/c\"");
  text_box_metrics(&g, &zero, metrics::size, &out);
  EXPECT_EQ(point(out), P(2, 1));
  g = face("text: 12");
  text_box_metrics(&g, &zero, metrics::size, &out);
  EXPECT_TRUE(out.is(TypeId::none));
}

TEST_F(GuiDraw, StyledRunFromTheStyleList) {
  Cell f = face("text: \"abcdefg\" color: 0.0.255 data: [1x5 bold 3x2 255.0.0 6x9 underline 0.0.0 'dash italic "
                "\"Mono\" 12 1.5 7x1 backdrop 0.255.0]");
  std::unique_ptr<CellRun> run_ = make_styled_run(&f);
  ASSERT_TRUE(run_);
  const auto& c = run_->cells;
  ASSERT_EQ(c.size(), 7u);
  uint32_t blue = tuple_cell_colour(face_field(&f, "color")), red = colour::palette(196);
  for (size_t i = 0; i < 7; i++) {
    EXPECT_EQ(c[i].code_point, static_cast<uint32_t>('a' + i));
    EXPECT_EQ(c[i].background, i == 6 ? colour::palette(46) : blue) << i;
    EXPECT_EQ(c[i].foreground, i == 2 || i == 3 ? red : 0u) << i;
    // The range 6x9 is cut at the text's end.
    uint32_t expected = (i < 5 ? attr::bold : 0) | (i >= 5 ? attr::underline | attr::italic : 0);
    EXPECT_EQ(c[i].attributes, expected) << i;
  }

  // No run for an empty text or a style list that is not a block.
  EXPECT_FALSE(make_styled_run(&(f = face("text: \"\" data: [1x1 bold]"))));
  EXPECT_FALSE(make_styled_run(&(f = face("text: \"ab\" data: none"))));
  // Ranges before the text and a negative length touch nothing.
  f = face("text: \"ab\" data: [-1x3 bold 2x-3 italic]");
  run_ = make_styled_run(&f);
  EXPECT_EQ(run_->cells[0].attributes, attr::bold);
  EXPECT_EQ(run_->cells[1].attributes, 0u);

  for (const char* data : {"[1x1 [bold]]", "[1x1 blink]", "[1x1 backdrop]", "[1x1 backdrop bold]"}) {
    f = face(std::string("text: \"ab\" data: ") + data);
    std::string report = error_of([&] { make_styled_run(&f); });
    EXPECT_NE(report.find("DRAW - invalid input at:"), std::string::npos) << data;
  }
}

TEST_F(GuiDraw, BuildingKeepsTheRunInStepWithTheText) {
  Widget* win = add_window();
  Widget* w = add_face(win, 0, 0, 10, 1, "text: \"abcdef\" data: [1x6 bold]");
  w->type = type_symbol("rich-text");
  build_styled_text(w);
  auto* run_ = dynamic_cast<CellRun*>(w->data.get());
  ASSERT_TRUE(run_);
  EXPECT_EQ(run_->cells.size(), 6u);
  // A shorter text gets a run of its own length, never the old cells.
  Cell* text = face_field(&w->face, "text");
  string::make_utf8(text, "ab");
  build_styled_text(w);
  run_ = dynamic_cast<CellRun*>(w->data.get());
  ASSERT_TRUE(run_);
  EXPECT_EQ(run_->cells.size(), 2u);
  render();
  EXPECT_EQ(row(0).substr(0, 4), U"ab..");
  EXPECT_EQ(grid_cell(0, 0)->attributes & attr::bold, attr::bold);
  // Without a style list the run goes and the plain text is drawn.
  set_none(face_field(&w->face, "data"));
  build_styled_text(w);
  EXPECT_FALSE(w->data);
}

TEST_F(GuiDraw, RenderFaceDrawsInsideTheFaceOriginAndClip) {
  ASSERT_EQ(run_draw_block, &run_draw);
  Widget* win = add_window();
  Widget* panel = add_face(win, 2, 1, 6, 3, "");
  // The child sticks out of its parent: its drawing is cut at the parent.
  add_face(panel, 1, 0, 10, 4, "draw: [box 0x0 9x3 line 0x1 20x1]");
  render();
  EXPECT_EQ(row(0), U"....................");
  EXPECT_EQ(row(1), U"...┌────............");
  EXPECT_EQ(row(2), U"...█████............");
  EXPECT_EQ(row(3), U"...│................");
  EXPECT_EQ(row(4), U"....................");
}

TEST_F(GuiDraw, BadBlocksAreRefusedWithoutHarm) {
  DrawContext context;
  context.clip = ClipRect{0, 0, 20, 6};
  auto draw = [&](const std::string& code) {
    Cell b = run(code);
    return error_of([&] { run_draw(context, &b); });
  };
  EXPECT_EQ(draw("[line 0x0 3x0 box 0x0 2x2 text 0x0 \"x\"]"), "");
  EXPECT_NE(draw("[line 0x0 3x0 nope]").find("DRAW - invalid input at: [nope]"), std::string::npos);
  // Nesting deeper than the cycle guard holds is an error, not a crash,
  // and leaves the guard empty.
  std::string deep;
  for (int i = 0; i < 5000; i++) deep += "[";
  for (int i = 0; i < 5000; i++) deep += "]";
  EXPECT_NE(draw(deep), "");
  EXPECT_EQ(cycle_guard::depth(), 0u);
  EXPECT_NE(draw("b: [pen 1.1.1] append/only b b b").find("DRAW - infinite recursion"), std::string::npos);
  EXPECT_EQ(cycle_guard::depth(), 0u);
  // A face with a bad style list drawn as text raises the style list's error.
  EXPECT_NE(draw("reduce ['text 0x0 make object! [text: \"ab\" data: [1x1 [x]] para: none color: none]]")
                .find("DRAW - invalid input"),
            std::string::npos);
}

TEST_F(GuiDraw, ImageDrawsCheckAndPaintNothing) {
  Widget* win = add_window();
  (void)win;
  render();
  std::u32string before = row(0);
  Cell b = run("[fill-pen 1.1.1 box 0x0 5x5 line 0x0 9x0 circle 3x3 2 text 0x0 \"zz\"]");
  do_draw_on_image(&b);
  EXPECT_EQ(row(0), before);
  Cell bad = run("[box 0x0]");
  EXPECT_NE(error_of([&] { do_draw_on_image(&bad); }).find("DRAW - invalid input"), std::string::npos);
}

}  // namespace
}  // namespace qel::gui
