// The text-mode back end's support operations: colours mapped to the
// 256-colour palette, the colour level chosen from COLORTERM and TERM,
// text measured in terminal columns (wide and zero-width characters, with
// and without wrapping), para flags and image cells.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "datatypes/image.h"
#include "gui/terminal/screen.h"
#include "gui/terminal/support.h"
#include "memory/collector.h"
#include "tests/unit/qel_fixture.h"
#include "services/image_codec.h"
#include "datatypes/string.h"

namespace qel::gui {
namespace {

using testing_qel::run;

class GuiSupport : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing_qel::start_runtime<GuiSupport>(); }
  void SetUp() override { testing_qel::clear_stacks(); }
  static Cell str(const std::u32string& s) {
    Cell c;
    string::make_at_unit(&c, static_cast<uint32_t>(s.size() + 1), 4);
    for (char32_t ch : s) string::append_char(string::buffer(&c), ch);
    return c;
  }
};

TEST_F(GuiSupport, ColoursMapToTheNearestCubeOrGreyEntry) {
  struct Case {
    const char* tuple;
    uint32_t cell;
  } cases[] = {
      {"255.0.0", colour::palette(196)},
      {"128.128.128", colour::palette(244)},  // the grey entry is exact, the cube's 135 is not
      {"0.0.0", colour::palette(16)},
      {"255.255.255", colour::palette(231)},  // the cube entry is exact
      {"0.0.255.0", colour::palette(21)},
      {"255.0.0.255", 0},  // fully transparent: the terminal's default
  };
  for (const Case& c : cases) {
    Cell t = run(c.tuple);
    EXPECT_EQ(tuple_cell_colour(&t), c.cell) << c.tuple;
  }
  Cell three = run("1.2.3");
  Cell four = run("1.2.3.4");
  EXPECT_EQ(tuple_to_color(&three), 0x030201);
  EXPECT_EQ(tuple_to_color(&four), 0x04030201);
  for (auto [channel, level] : {std::pair{47, 0}, {48, 1}, {114, 1}, {115, 2}, {255, 5}})
    EXPECT_EQ(color_level(channel), level) << channel;
  EXPECT_EQ(palette_entry(244).r, 128);
  EXPECT_EQ(palette_entry(102).g, 135);
}

TEST_F(GuiSupport, ColourLevelComesFromColortermAndTerm) {
  struct Case {
    const char* colorterm;
    const char* term;
    int32_t level;
  } cases[] = {
      {nullptr, nullptr, 4},          {nullptr, "xterm-256color", 2}, {"truecolor", "xterm-256color", 4},
      {"24BIT", nullptr, 4},          {"256", "xterm", 2},            {"yes", "xterm", 4},
      {"TrueColor", "screen-256", 4},
  };
  for (const Case& c : cases)
    EXPECT_EQ(color_support(c.colorterm, c.term), c.level)
        << (c.colorterm ? c.colorterm : "-") << " " << (c.term ? c.term : "-");
}

TEST_F(GuiSupport, MeasureTextCountsColumnsLinesAndWhatFits) {
  struct Case {
    std::u32string text;
    int32_t limit, width, count, lines;
  } cases[] = {
      {U"ab\nabcd", INT32_MAX, 4, 7, 2},
      {U"abcdef", 4, 4, 4, 1},
      {U"ab\u5BBDc", 3, 2, 2, 1},      // the wide character does not fit
      {U"\u5BBD\u5BBD", INT32_MAX, 4, 2, 1},
      {U"e\u0301x", INT32_MAX, 2, 3, 1},  // a combining mark takes no column
      {U"", INT32_MAX, 0, 0, 1},
      // A limit below 0 fits nothing (it counted -1 characters).
      {U"abc", 0, 0, 0, 1},
      {U"abc", -1, 0, 0, 1},
      {U"", INT32_MIN, 0, 0, 1},
  };
  for (const Case& c : cases) {
    Cell s = str(c.text);
    int32_t count = -1, lines = -1;
    EXPECT_EQ(measure_text(text_view(&s), c.limit, &count, &lines), c.width);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(lines, c.lines);
  }
  Cell two = str(U"ab\n\u5BBD");
  TextSize size = get_text_size(&two);
  EXPECT_EQ(size.width, 2);
  EXPECT_EQ(size.lines, 2);
}

TEST_F(GuiSupport, MeasureWrappedBreaksLinesAtTheLimit) {
  struct Case {
    std::u32string text;
    int32_t limit, width, lines;
  } cases[] = {
      {U"abcdef", 4, 4, 2},
      {U"\u5BBD", 1, 0, 2},          // wider than the limit: stops at once
      {U"a\u5BBD\u5BBD", 4, 3, 2},  // the second wide character moves whole
      {U"ab\ncdefg", 3, 3, 3},
      {U"abcdef", 0, 6, 1},          // 0: no limit
  };
  for (const Case& c : cases) {
    Cell s = str(c.text);
    int32_t width = -1, lines = -1;
    measure_wrapped(text_view(&s), c.limit, &width, &lines);
    EXPECT_EQ(width, c.width);
    EXPECT_EQ(lines, c.lines);
  }
}

TEST_F(GuiSupport, ParaFlagsReadAlignVerticalAlignAndWrap) {
  struct Case {
    const char* face;
    uint32_t flags;
  } cases[] = {
      {"make object! [para: make object! [align: 'center v-align: 'middle wrap?: true]]", 2 | 4 | 32},
      {"make object! [para: make object! [align: 'right v-align: 'bottom wrap?: false]]", 1 | 8},
      {"make object! [para: make object! [align: \"center\" v-align: 3 wrap?: none]]", 0},
      {"make object! [para: none]", 0},
  };
  for (const Case& c : cases) {
    Cell face = run(c.face);
    EXPECT_EQ(get_para_flags(&face), c.flags) << c.face;
  }
}

TEST_F(GuiSupport, ImagesBecomeHalfBlockCells) {
  // 1 x 2 pixels (B, G, R, A in memory): red over blue, both opaque; and a
  // transparent 2 x 2 image.
  const uint8_t red_blue[] = {0, 0, 255, 255, 255, 0, 0, 255};
  Cell img;
  image::make_at(&img, image_codec::from_memory(1, 2, 0, red_blue));
  Widget* w = make_widget(nullptr);
  w->right = 1;
  w->bottom = 1;
  screen().colour_mode = 2;
  image_to_cells(w, &img);
  ASSERT_EQ(w->image_cells.size(), 1u);
  EXPECT_EQ(w->image_cells[0].code_point, 0x2584u);
  EXPECT_EQ(w->image_cells[0].background, colour::palette(196));
  EXPECT_EQ(w->image_cells[0].foreground, colour::palette(21));
  screen().colour_mode = 4;
  image_to_cells(w, &img);
  EXPECT_EQ(w->image_cells[0].background, colour::kTrue | 0xFF0000);
  EXPECT_EQ(w->image_cells[0].foreground, colour::kTrue | 0x0000FF);

  std::vector<uint8_t> clear(16, 0);
  Cell transparent;
  image::make_at(&transparent, image_codec::from_memory(2, 2, 0, clear.data()));
  w->right = 2;
  image_to_cells(w, &transparent);
  ASSERT_EQ(w->image_cells.size(), 2u);
  for (const ScreenCell& c : w->image_cells) EXPECT_EQ(c.code_point, 32u);
  Cell none;
  set_none(&none);
  image_to_cells(w, &none);
  EXPECT_TRUE(w->image_cells.empty());
  free_widget(w);
  collector::collect();  // the bitmaps go with their records
}

}  // namespace
}  // namespace qel::gui
