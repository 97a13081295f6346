// The key decoder (terminal bytes to key codes) and the key reader over a
// scripted terminal: VT sequences, UTF-8 with invalid input, the lone Esc,
// and the cursor position query that must not lose typed-ahead keys.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "console/keys.h"
#include "console/terminal.h"

namespace qel::console {
namespace {

// Decodes a byte string; a final incomplete sequence is flushed as the
// reader does when the input pauses. Cursor reports show as -1000 - column,
// paste marks as -2000 (start) and -2001 (end).
std::vector<int32_t> decode(const std::string& bytes, bool flush = true) {
  KeyDecoder d;
  std::vector<int32_t> keys;
  auto take = [&](std::optional<InputEvent> e) {
    if (!e) return;
    switch (e->kind) {
      case InputEvent::Kind::key:
        keys.push_back(e->key);
        break;
      case InputEvent::Kind::cursor_report:
        keys.push_back(-1000 - e->column);
        break;
      case InputEvent::Kind::paste_start:
        keys.push_back(-2000);
        break;
      case InputEvent::Kind::paste_end:
        keys.push_back(-2001);
        break;
    }
  };
  for (unsigned char b : bytes) {
    take(d.feed(b));
    while (auto held = d.take_held()) take(d.feed(*held));
  }
  if (flush) take(d.flush_pending());
  return keys;
}

TEST(ConsoleKeys, SequencesAndCharacters) {
  struct Case {
    const char* bytes;
    std::vector<int32_t> keys;
  };
  const Case cases[] = {
      {"a", {'a'}},
      {"\r", {key::enter}},
      {"\x03\x04\x7f\x08\t", {3, 4, 127, 8, 9}},
      {"\x1b[A\x1b[B\x1b[C\x1b[D", {key::up, key::down, key::right, key::left}},
      {"\x1bOA\x1bOH\x1bOF", {key::up, key::home, key::end}},
      {"\x1b[H\x1b[F\x1b[1~\x1b[4~\x1b[7~\x1b[8~",
       {key::home, key::end, key::home, key::end, key::home, key::end}},
      {"\x1b[2~\x1b[3~\x1b[5~\x1b[6~", {key::insert, key::delete_, key::page_up, key::page_down}},
      // Modifiers are ignored: Ctrl-Right is Right.
      {"\x1b[1;5C\x1b[3;2~", {key::right, key::delete_}},
      // Keys without a meaning here are 0.
      {"\x1b[15~\x1bOP\x1b[Z", {0, 0, 0}},
      // A cursor position report; paste marks (-2000, -2001).
      {"\x1b[12;34R", {-1034}},
      {"\x1b[200~a\x1b[201~\x1b[202~", {-2000, 'a', -2001, 0}},
      // UTF-8: two, three and four bytes.
      {"\xc3\xa9\xe4\xb8\x80\xf0\x9f\x98\x80", {0xE9, 0x4E00, 0x1F600}},
      // Invalid input becomes U+FFFD, one per bad sequence, and the next
      // character survives.
      {"\x80" "a", {0xFFFD, 'a'}},
      {"\xc3" "a", {0xFFFD, 'a'}},
      {"\xe4\xb8" "\xc3\xa9", {0xFFFD, 0xE9}},
      {"\xc0\xaf\xff", {0xFFFD, 0xFFFD, 0xFFFD}},
      {"\xe0\x80\xaf", {0xFFFD}},          // overlong
      {"\xed\xa0\x80", {0xFFFD}},          // surrogate
      {"\xf4\x90\x80\x80", {0xFFFD}},      // above U+10FFFF
      {"\xe4\xb8", {0xFFFD}},              // cut by the end of input
      // Esc alone, and twice; ESC and a key in the same burst is one
      // Alt+key (a character, a control key, a cut or invalid UTF-8 one).
      {"\x1b", {key::escape}},
      {"\x1b\x1b[A", {key::escape, key::up}},
      {"\x1bxy", {key::alt + 'x', 'y'}},
      {"\x1b\r\x1b\x7f", {key::alt + key::enter, key::alt + 127}},
      {"\x1b\xc3\xa9" "a", {key::alt + 0xE9, 'a'}},
      {"\x1b\xc3" "a", {key::alt + 0xFFFD, 'a'}},
      {"\x1b\xc3", {key::alt + 0xFFFD}},
      // A control byte inside a sequence ends it and still counts.
      {"\x1b[1\x03", {0, 3}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(decode(c.bytes), c.keys) << testing::PrintToString(std::string(c.bytes));
}

TEST(ConsoleKeys, LoneEscapeWaitsForMore) {
  KeyDecoder d;
  EXPECT_FALSE(d.feed(0x1B));
  EXPECT_TRUE(d.escape_pending());
  EXPECT_EQ(d.flush_pending()->key, key::escape);
  EXPECT_FALSE(d.pending());
}

// A terminal whose input is a script of chunks; a missing chunk is a
// timeout, and the end of the script closes the input.
class ScriptedTerminal : public Terminal {
 public:
  std::deque<std::string> chunks;
  std::string written;
  // Answer cursor queries with this column (0: never answer).
  int32_t answer_column = 0;
  std::string answer_after;

  bool enter_raw() override { return true; }
  void leave_raw() override {}
  ReadStatus read(uint8_t* buffer, size_t capacity, size_t& got, int32_t) override {
    got = 0;
    if (chunks.empty()) return ReadStatus::closed;
    std::string c = chunks.front();
    chunks.pop_front();
    if (c.empty()) return ReadStatus::timeout;
    got = std::min(capacity, c.size());
    std::copy(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(got), buffer);
    return ReadStatus::data;
  }
  void write(std::string_view bytes) override {
    written += bytes;
    if (bytes == "\x1b[6n" && answer_column > 0)
      chunks.push_back(answer_after + "\x1b[5;" + std::to_string(answer_column) + "R");
  }
  std::optional<ScreenSize> size() override { return ScreenSize{80, 24}; }
  bool take_resized() override { return false; }
};

TEST(ConsoleKeys, ReaderKeepsKeysTypedAheadOfTheCursorAnswer) {
  ScriptedTerminal t;
  t.chunks = {"ab"};
  t.answer_column = 7;
  t.answer_after = "c\r";
  KeyReader r(t);
  EXPECT_EQ(r.next().key, 'a');
  EXPECT_EQ(r.query_column(), 7);
  EXPECT_EQ(t.written, "\x1b[6n");
  std::string keys;
  for (int i = 0; i < 3; ++i) keys += static_cast<char>(r.next().key);
  EXPECT_EQ(keys, "bc\r");
  EXPECT_EQ(r.next().kind, KeyReader::Next::Kind::closed);
}

TEST(ConsoleKeys, ReaderGivesUpOnATerminalThatNeverAnswers) {
  ScriptedTerminal t;
  t.chunks = std::deque<std::string>(20, "");
  KeyReader r(t);
  EXPECT_EQ(r.query_column(), std::nullopt);
  // Not asked again.
  t.written.clear();
  EXPECT_EQ(r.query_column(), std::nullopt);
  EXPECT_EQ(t.written, "");
}

TEST(ConsoleKeys, ReaderTurnsAPausedEscapeIntoTheEscKey) {
  ScriptedTerminal t;
  t.chunks = {"\x1b", "", "\x1b", "[A"};
  KeyReader r(t);
  EXPECT_EQ(r.next().key, key::escape);
  EXPECT_EQ(r.next().key, key::up);
}

// The keys the reader gives until the input closes, "p" before each pasted
// one.
std::string read_all(KeyReader& r) {
  std::string out;
  for (;;) {
    KeyReader::Next n = r.next();
    if (n.kind == KeyReader::Next::Kind::closed) return out;
    if (n.pasted) out += 'p';
    out += static_cast<char>(n.key);
  }
}

TEST(ConsoleKeys, ReaderMarksPastedKeys) {
  struct Case {
    std::deque<std::string> chunks;  // "" is a read that timed out
    const char* keys;
  };
  const Case cases[] = {
      // The paste spans reads; CR LF in it is one line end, a lone LF stays.
      {{"a\x1b[200~b\t\r", "\nc\n\x03\x1b[201~\t"}, "a" "pbp\tp\r" "pcp\np\x03\t"},
      // Marks cut across reads.
      {{"\x1b[20", "0~x\x1b[2", "01~y"}, "pxy"},
      // An end mark that never comes: once the input has been idle long
      // enough the paste is over, and Ctrl-C is a key again.
      {{"\x1b[200~x", "", "\x03"}, "px\x03"},
      // A short pause (the wait after an ESC) does not end it.
      {{"\x1b[200~x\x1b", "", "y"}, "pxp\x1bpy"},
  };
  for (const Case& c : cases) {
    ScriptedTerminal t;
    t.chunks = c.chunks;
    KeyReader r(t);
    EXPECT_EQ(read_all(r), c.keys) << testing::PrintToString(c.chunks);
  }
}

}  // namespace
}  // namespace qel::console
