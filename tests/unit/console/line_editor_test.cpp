// The line editor's state machine, fed with terminal bytes, its output
// drawn on a model screen: editing keys, history, hidden input, completion,
// the ways a line ends, and the layout of long lines (wrapping by display
// width, wide characters at the row's end, scrolling) checked after every
// key against an independent layout.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "console/keys.h"
#include "console/line_editor.h"
#include "runtime/output.h"
#include "tests/unit/console_screen.h"

namespace qel::console {
namespace {

using test_screen::Screen;

// An editor on a model screen; `type` feeds bytes through the decoder.
struct Session {
  LineEditor editor;
  Screen screen;
  std::vector<Text> history;
  VectorHistory history_view{history};
  std::optional<EditEnd> end;
  std::string last_output;

  int width;

  Session(int w, int height) : screen(w, height), width(w) {}

  void begin(const Text& prompt, bool hidden = false, int start = 0) {
    end.reset();
    editor.begin(prompt, hidden, &history_view, ScreenSize{width, 24}, start);
    flush();
  }
  void flush() {
    last_output = editor.take_output();
    screen.feed(last_output);
  }
  void key(int32_t k, bool pasted = false) {
    ASSERT_FALSE(end) << "key after the end of the line";
    end = editor.handle_key(k, pasted);
    flush();
  }
  void type(const std::string& bytes) {
    KeyDecoder d;
    for (unsigned char b : bytes) {
      std::optional<InputEvent> e = d.feed(b);
      if (e) key(e->key);
      while (auto held = d.take_held())
        if ((e = d.feed(*held))) key(e->key);
    }
    if (auto e = d.flush_pending()) key(e->key);
  }
  std::string line() const {
    std::string s;
    for (char32_t c : editor.line()) {
      char b[4];
      s.append(b, output::encode_utf8(c, b));
    }
    return s;
  }
};

std::u32string u(const std::string& s) {
  Text t;
  append_utf8_lossy(reinterpret_cast<const uint8_t*>(s.data()), s.size(), t);
  return t;
}

const std::string kLeft = "\x1b[D", kRight = "\x1b[C", kUp = "\x1b[A", kDown = "\x1b[B";
const std::string kHome = "\x1b[H", kEnd = "\x1b[F", kDelete = "\x1b[3~";

TEST(ConsoleEditor, EditingKeys) {
  struct Case {
    std::string keys;
    std::string line;
    size_t cursor;
  };
  const Case cases[] = {
      {"hello", "hello", 5},
      {"hello" + kLeft + kLeft + "X", "helXlo", 4},
      {"hello" + kHome + "A", "Ahello", 1},
      {"hello" + kHome + kEnd + "!", "hello!", 6},
      {"hello" + kLeft + "\x7f", "helo", 3},
      {"hello\x08\x08", "hel", 3},
      {"hello" + kHome + kDelete, "ello", 0},
      {"hello" + kDelete, "hello", 5},
      {"hello" + kHome + kRight + kRight + "\x0b", "he", 2},  // Ctrl-K
      {"hello\x01" "\x04", "ello", 0},                           // Ctrl-A, Ctrl-D
      {"hello\x04", "hello", 5},                                 // Ctrl-D at the end: nothing
      {"ab\x02\x02\x02" "c\x06\x06\x06" "d", "cabd", 4},         // Ctrl-B, Ctrl-F past the ends
      {"ab\x01\x05" "c", "abc", 3},                              // Ctrl-A, Ctrl-E
      {"a\x7f\x7f" "b", "b", 1},                                 // Backspace at 0: nothing
      {"a\x1b[2~\x1b[5~\x1b[6~\x1b[15~\x07\x1a" "b", "ab", 2},   // ignored keys
      {"a\x1bx\x1b\r\x1b\xc3\xa9\x1b\x7f" "b", "ab", 2},        // Alt+x, Enter, é, Backspace
      {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9", 3},
  };
  for (const Case& c : cases) {
    Session s(80, 24);
    s.begin(U">> ");
    s.type(c.keys);
    EXPECT_EQ(s.line(), c.line) << testing::PrintToString(c.keys);
    EXPECT_EQ(s.editor.cursor(), c.cursor) << testing::PrintToString(c.keys);
    EXPECT_EQ(s.screen.text(0), U">> " + u(c.line));
    EXPECT_EQ(s.screen.column(), 3 + static_cast<int>(c.cursor));
    EXPECT_FALSE(s.end);
  }
}

TEST(ConsoleEditor, HowALineEnds) {
  struct Case {
    std::string keys;
    EditEnd end;
    std::string line;
  };
  const Case cases[] = {
      {"1 + 2\r", EditEnd::accepted, "1 + 2"},
      {"1 + 2\n", EditEnd::accepted, "1 + 2"},
      {"abc\x03", EditEnd::quit, "q"},       // Ctrl-C, whatever was typed
      {"\x04", EditEnd::quit, "q"},          // Ctrl-D on an empty line
      {"ab\x1b", EditEnd::escape, "ab\x1b"}, // Esc keeps the line and appends 27
  };
  for (const Case& c : cases) {
    Session s(80, 24);
    s.begin(U">> ");
    s.type(c.keys);
    ASSERT_TRUE(s.end) << testing::PrintToString(c.keys);
    EXPECT_EQ(*s.end, c.end);
    EXPECT_EQ(s.line(), c.line);
    // The cursor waits at the start of the row below the input.
    EXPECT_EQ(s.screen.row(), 1);
    EXPECT_EQ(s.screen.column(), 0);
  }
}

// Pasted keys are text: Tab never completes, control keys and Alt+keys do
// nothing, and only a line break ends the line.
TEST(ConsoleEditor, PastedKeysAreText) {
  Session s(80, 24);
  s.editor.set_completion([](const Text& line, size_t) -> std::optional<Completion> {
    if (line == U"pri") return Completion{U"print", 5, {}};
    return std::nullopt;
  });
  s.begin(U">> ");
  for (int32_t k : {int32_t{'p'}, int32_t{'r'}, int32_t{'i'}, key::tab, key::ctrl_c, key::escape,
                    key::ctrl_d, key::left, key::ctrl_a, key::backspace, key::delete_char, 0x85,
                    key::alt + 'x', int32_t{'x'}})
    s.key(k, true);
  ASSERT_FALSE(s.end);
  EXPECT_EQ(s.line(), "pri\tx");
  EXPECT_EQ(s.screen.text(0), U">> pri    x");
  for (int32_t end : {key::enter, key::line_feed}) {
    s.begin(U">> ");
    s.key('y', true);
    s.key(end, true);
    ASSERT_TRUE(s.end);
    EXPECT_EQ(*s.end, EditEnd::accepted);
    EXPECT_EQ(s.line(), "y");
  }
}

TEST(ConsoleEditor, HistoryWalk) {
  Session s(80, 24);
  auto enter = [&](const std::string& keys) {
    s.begin(U">> ");
    s.type(keys);
    EXPECT_TRUE(s.end);
    return s.editor.history_added();
  };
  EXPECT_TRUE(enter("one\r"));
  EXPECT_TRUE(enter("two\r"));
  EXPECT_FALSE(enter("two\r"));  // the same line twice is stored once
  EXPECT_FALSE(enter("\r"));     // an empty line stores nothing
  EXPECT_TRUE(enter("three\r"));
  ASSERT_EQ(s.history, (std::vector<Text>{U"three", U"two", U"one"}));

  s.begin(U">> ");
  const struct {
    std::string key;
    std::string line;
  } walk[] = {
      {kUp, "three"}, {kUp, "two"}, {kDown, "two"}, {kDown, "three"}, {kDown, ""},
      {kUp, "three"}, {kUp, "two"}, {kUp, "one"},   {kUp, ""},        // past the oldest
      {"\x10", ""},   {"\x0e", "one"}, {"\x0e", "two"},                 // Ctrl-P, Ctrl-N
  };
  for (const auto& step : walk) {
    s.type(step.key);
    EXPECT_EQ(s.line(), step.line);
    EXPECT_EQ(s.screen.text(s.screen.row()), step.line.empty() ? U">>" : U">> " + u(step.line));
    EXPECT_EQ(s.editor.cursor(), s.editor.line().size());
  }
  // A recalled line is edited and entered as a new entry.
  s.type("!\r");
  EXPECT_EQ(s.history.front(), U"two!");
  EXPECT_EQ(s.history.size(), 4u);
}

// The console copied every history entry for each line, so a session's
// lines grew slower as its history grew: the editor reads only the
// entries the keys walk to.
TEST(ConsoleEditor, AHistoryIsReadOnlyWhereTheKeysWalk) {
  struct Counted final : History {
    mutable std::vector<size_t> read;
    size_t added = 0;
    size_t size() const override { return 1000000; }
    Text entry(size_t index) const override {
      read.push_back(index);
      return U"e" + Text(index % 10 + 1, U'x');
    }
    void add(const Text&) override { ++added; }
  } history;
  LineEditor editor;
  editor.begin(U">> ", false, &history, ScreenSize{80, 24}, 0);
  for (int32_t k : {int32_t{'a'}, int32_t{'b'}, key::up, key::up, key::down, int32_t{'y'}, key::enter})
    editor.handle_key(k);
  EXPECT_EQ(editor.line(), U"exxy");
  // Up, Up, Down, and the newest entry against the line entered.
  EXPECT_EQ(history.read, (std::vector<size_t>{0, 1, 1, 0}));
  EXPECT_EQ(history.added, 1u);
}

TEST(ConsoleEditor, HiddenInputShowsStarsAndStaysOutOfHistory) {
  Session s(80, 24);
  s.begin(U"pw: ", true);
  s.type("s\xc3\xa9\xe4\xb8\x80" "t");
  EXPECT_EQ(s.screen.text(0), U"pw: ****");
  s.type(kLeft + "\x7f");
  EXPECT_EQ(s.screen.text(0), U"pw: ***");
  s.type("\r");
  EXPECT_EQ(s.line(), "s\xc3\xa9t");
  EXPECT_TRUE(s.history.empty());
}

TEST(ConsoleEditor, TypingAtTheEndWritesOnlyTheNewCharacters) {
  Session s(20, 10);
  s.begin(U">> ");
  for (int i = 0; i < 60; ++i) {
    s.type("x");
    // The character itself; where it fills the row, the move to the next.
    std::string expected = (3 + i + 1) % 20 == 0 ? "x\r\n" : "x";
    ASSERT_EQ(s.last_output, expected) << i;
  }
  s.type("\xe4\xb8\x80");
  EXPECT_EQ(s.last_output, "\xe4\xb8\x80");
  // Moving the cursor writes only the move.
  s.type(kLeft);
  EXPECT_EQ(s.last_output, "\x1b[2D");
  // Backspace at the end moves back and clears.
  s.type(kEnd + "\x7f");
  EXPECT_EQ(s.last_output, "\x1b[2D\x1b[J");
  EXPECT_EQ(s.screen.text(3), U"xxx");
}

// A long paste into one line: each key at the end costs the same, however
// long the line already is.
TEST(ConsoleEditor, APasteIntoOneLineStaysLinear) {
  LineEditor editor;
  editor.begin(U">> ", false, nullptr, ScreenSize{80, 24}, 0);
  for (int i = 0; i < 200000; ++i) editor.handle_key('x');
  EXPECT_EQ(editor.line().size(), 200000u);
  // The prompt, the characters, and a CR LF at each row end.
  EXPECT_EQ(editor.take_output().size(), 3u + 200000u + 2 * (200003 / 80));
}

TEST(ConsoleEditor, ColourSequencesInThePromptTakeNoRoom) {
  Session s(80, 24);
  s.begin(U"\x1b[1;32m>>\x1b[0m ");
  s.type("ab");
  EXPECT_EQ(s.screen.text(0), U">> ab");
  EXPECT_EQ(s.screen.column(), 5);
}

// An ESC that begins no sequence (at the prompt's end, or before a control
// character) shows as U+FFFD: sent alone it made the first character typed
// after it part of a sequence, unseen.
TEST(ConsoleEditor, AnEscapeThatBeginsNoSequenceShowsAsOneCharacter) {
  for (const Text& prompt : {Text(U">\x1b"), Text(U">\x1b\x01")}) {
    Session s(80, 24);
    s.begin(prompt);
    EXPECT_EQ(s.last_output.find('\x1b'), std::string::npos) << testing::PrintToString(s.last_output);
    s.type("ab");
    Text shown = U">\xFFFD";
    if (prompt.size() == 3) shown += U'\xFFFD';
    EXPECT_EQ(s.screen.text(0), shown + U"ab");
    EXPECT_EQ(s.screen.column(), static_cast<int>(shown.size()) + 2);
  }
}

// A window title in the prompt (ESC ] ... BEL or ESC \) goes out whole and
// takes no room. Its BEL was shown as U+FFFD, which left the terminal
// taking everything after it as the title's text; one the prompt leaves
// open is ended with BEL.
TEST(ConsoleEditor, ATitleSequenceInThePromptTakesNoRoom) {
  const struct {
    Text prompt;
    std::string sequence;
    std::u32string shown;
  } cases[] = {
      {U"\x1b]0;T\x07>> ", "\x1b]0;T\x07", U">> aXb"},
      {U"\x1b]2;T\x1b\\>> ", "\x1b]2;T\x1b\\", U">> aXb"},
      {U"\x1b[1m\x1b]0;T\x07\x1b[0m>> ", "\x1b]0;T\x07", U">> aXb"},
      {U">> \x1b]0;T", "\x1b]0;T\x07", U">> aXb"},
      // Another control character ends it too, and shows as U+FFFD.
      {U"\x1b]0;T\x01> ", "\x1b]0;T\x07", U"\xFFFD> aXb"},
  };
  for (const auto& c : cases) {
    LineEditor editor;
    Screen screen(80, 24);
    auto feed = [&](bool first) {
      std::string out = editor.take_output();
      size_t at = out.find(c.sequence);
      if (first) {
        EXPECT_NE(at, std::string::npos) << testing::PrintToString(out);
      }
      if (at != std::string::npos) out.erase(at, c.sequence.size());
      EXPECT_EQ(out.find("\x1b]"), std::string::npos) << testing::PrintToString(out);
      screen.feed(out);
    };
    editor.begin(c.prompt, false, nullptr, ScreenSize{80, 24}, 0);
    feed(true);
    for (int32_t k : {int32_t{'a'}, int32_t{'b'}, key::left, int32_t{'X'}}) {
      editor.handle_key(k);
      feed(false);
    }
    EXPECT_EQ(screen.text(0), c.shown);
    EXPECT_EQ(screen.column(), 5) << testing::PrintToString(c.sequence);
  }
}

// Control sequences whose parameters hold more than digits and ";" (a
// colour given with ":", a private mode with "?", an intermediate blank)
// take no room either: their parameters were counted as shown characters,
// so the cursor stood that many columns to the right.
TEST(ConsoleEditor, EveryParameterOfAPromptSequenceTakesNoRoom) {
  for (const std::string sequence : {"\x1b[38:5:196m", "\x1b[?25h", "\x1b[2 q", "\x1b[>4;1m"}) {
    LineEditor editor;
    Screen screen(20, 24);
    auto feed = [&] {
      std::string out = editor.take_output();
      for (size_t at; (at = out.find(sequence)) != std::string::npos;) out.erase(at, sequence.size());
      screen.feed(out);
    };
    editor.begin(u(sequence + ">> "), false, nullptr, ScreenSize{20, 24}, 0);
    feed();
    // A line that wraps, then the cursor to its start and back to its end.
    for (char ch : std::string("abcdefghijklmnopqrstuvwxyz")) {
      editor.handle_key(ch);
      feed();
    }
    editor.handle_key(key::home);
    feed();
    EXPECT_EQ(screen.row(), 0) << testing::PrintToString(sequence);
    EXPECT_EQ(screen.column(), 3) << testing::PrintToString(sequence);
    editor.handle_key(key::end);
    feed();
    EXPECT_EQ(screen.text(0), U">> abcdefghijklmnopq") << testing::PrintToString(sequence);
    EXPECT_EQ(screen.text(1), U"rstuvwxyz") << testing::PrintToString(sequence);
    EXPECT_EQ(screen.row(), 1) << testing::PrintToString(sequence);
    EXPECT_EQ(screen.column(), 9) << testing::PrintToString(sequence);
  }
}

// A lone surrogate (a file name's byte that is not UTF-8, as completion
// and history give it) reached the terminal as three invalid bytes, drawn
// as up to three cells where the editor counted one.
TEST(ConsoleEditor, ALoneSurrogateShowsAsOneReplacementCharacter) {
  Session s(80, 24);
  s.history = {Text(U"%zq") + char32_t(0xDCFF) + U"x.txt"};
  s.begin(Text(U"a") + char32_t(0xD800) + U"> ");
  EXPECT_EQ(s.last_output.find("\xED"), std::string::npos);
  s.type(kUp);
  EXPECT_EQ(s.last_output.find("\xED"), std::string::npos);
  EXPECT_NE(s.last_output.find("%zq\xEF\xBF\xBDx.txt"), std::string::npos);
  EXPECT_EQ(s.screen.text(0), U"a\uFFFD> %zq\uFFFDx.txt");
  EXPECT_EQ(s.screen.column(), 13);
  // The line keeps the character itself: the name still names the file.
  EXPECT_EQ(s.editor.line(), s.history.front());
}

TEST(ConsoleEditor, CompletionHook) {
  Session s(80, 24);
  s.editor.set_completion([](const Text& line, size_t cursor) -> std::optional<Completion> {
    if (line == U"pri") return Completion{U"print", 5, {}};
    if (line == U"ap") return Completion{U"ap", cursor, {U"append", U"apply"}};
    return std::nullopt;
  });
  s.begin(U">> ");
  s.type("pri\t");
  EXPECT_EQ(s.line(), "print");
  EXPECT_EQ(s.screen.text(0), U">> print");
  s.type("\r");

  // Several candidates: listed after the prompt; the line ends empty and
  // comes back in the next one.
  s.begin(U">> ");
  s.type("ap\t");
  ASSERT_TRUE(s.end);
  EXPECT_EQ(*s.end, EditEnd::listed);
  EXPECT_EQ(s.line(), "");
  EXPECT_EQ(s.screen.text(1), U">> append apply");
  s.begin(U">> ");
  EXPECT_EQ(s.line(), "ap");
  EXPECT_EQ(s.screen.text(2), U">> ap");

  // No candidate: Tab is a character (shown as four blanks).
  s.type("x\t" "y");
  EXPECT_EQ(s.line(), "apx\ty");
  EXPECT_EQ(s.screen.text(2), U">> apx    y");
  s.type("\r");

  // Hidden input is not completed: Tab is a character there. (A listing
  // ended the hidden line and showed its text in clear in the next one.)
  for (const char* secret : {"ap", "pri"}) {
    s.begin(U"pw: ", true);
    s.type(std::string(secret) + "\t");
    EXPECT_FALSE(s.end) << secret;
    EXPECT_EQ(s.line(), std::string(secret) + "\t");
    s.type("\r");
    ASSERT_TRUE(s.end);
    s.begin(U">> ");
    EXPECT_EQ(s.line(), "") << secret;
    s.type("\r");
  }
}

// The layout every drawing must produce: the prompt and the line from the
// start column, wrapped at the width, a wide character never in the last
// column; answers the rows and the cursor's place.
struct Layout {
  std::vector<Text> rows;
  int cursor_row = 0;
  int cursor_column = 0;
};

Layout expected_layout(const Text& prefix, const Text& prompt, const Text& line, size_t cursor,
                       int width) {
  Layout l;
  l.rows.push_back(prefix);
  int row = 0, column = static_cast<int>(prefix.size());
  auto place = [&](char32_t c, int w, bool cursor_here) {
    if (column == width || (w == 2 && column == width - 1)) {
      ++row;
      column = 0;
      l.rows.emplace_back();
    }
    if (cursor_here) l.cursor_row = row, l.cursor_column = column;
    if (w == 0) return;
    l.rows[row] += c;
    column += w;
  };
  for (char32_t c : prompt) place(c, 1, false);
  for (size_t i = 0; i < line.size(); ++i) {
    char32_t c = line[i];
    if (c == U'\t') {
      for (int k = 0; k < 4; ++k) place(U' ', 1, i == cursor && k == 0);
    } else {
      place(c, LineEditor::cell_width(c), i == cursor);
    }
  }
  if (cursor == line.size()) {
    if (column == width) {
      ++row;
      column = 0;
      l.rows.emplace_back();
    }
    l.cursor_row = row, l.cursor_column = column;
  }
  for (Text& r : l.rows)
    while (!r.empty() && r.back() == U' ') r.pop_back();
  return l;
}

TEST(ConsoleEditor, LongLinesWrapByDisplayWidth) {
  const std::string inserts[] = {"a", "b", "\xe4\xb8\x80", "\xf0\x9f\x98\x80", "\t", "\xcc\x81"};
  const std::string moves[] = {kLeft, kRight, kHome, kEnd, "\x7f", kDelete, "\x0b"};
  std::mt19937 random(1234);
  for (int width : {7, 10, 13}) {
    for (int start : {0, 2}) {
      Session s(width, 60);
      Text prefix(static_cast<size_t>(start), U'x');
      s.screen.feed(std::string(static_cast<size_t>(start), 'x'));
      s.begin(U">> ", false, start);
      for (int step = 0; step < 400; ++step) {
        bool insert = random() % 3 != 0;
        s.type(insert ? inserts[random() % 6] : moves[random() % 7]);
        if (s.editor.line().size() > 40) s.type("\x01\x0b");  // keep it to a few rows
        Layout want = expected_layout(prefix, U">> ", s.editor.line(), s.editor.cursor(), width);
        for (size_t r = 0; r < want.rows.size(); ++r)
          ASSERT_EQ(s.screen.text(static_cast<int>(r)), want.rows[r])
              << "width " << width << " step " << step << " row " << r;
        ASSERT_EQ(s.screen.text(static_cast<int>(want.rows.size())), U"") << "step " << step;
        ASSERT_EQ(s.screen.row(), want.cursor_row) << "width " << width << " step " << step;
        ASSERT_EQ(s.screen.column(), want.cursor_column) << "width " << width << " step " << step;
      }
    }
  }
}

TEST(ConsoleEditor, ScrollsAtTheBottomOfTheScreen) {
  Session s(10, 3);
  s.screen.set_cursor(2, 0);
  s.begin(U">> ");
  s.type(std::string(25, 'y'));
  EXPECT_EQ(s.screen.scrolled(), 2);
  EXPECT_EQ(s.screen.text(0), U">> yyyyyyy");
  EXPECT_EQ(s.screen.text(2), U"yyyyyyyy");
  s.type(kHome + "z");
  EXPECT_EQ(s.screen.text(0), U">> zyyyyyy");
  EXPECT_EQ(s.screen.text(2), U"yyyyyyyyy");
  EXPECT_EQ(s.screen.row(), 0);
  EXPECT_EQ(s.screen.column(), 4);
}

TEST(ConsoleEditor, ResizeDrawsTheLineAgain) {
  Session s(20, 10);
  s.begin(U">> ");
  s.type("abcdefghij");
  s.screen.set_width(8);
  s.editor.resize(ScreenSize{8, 10});
  s.flush();
  EXPECT_EQ(s.screen.text(0), U">> abcde");
  EXPECT_EQ(s.screen.text(1), U"fghij");
}

}  // namespace
}  // namespace qel::console
