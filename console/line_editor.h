// The line editor's state machine: one line of input edited in place on a
// terminal, with a prompt, a cursor, history, hidden input and completion.
//
// It is a plain object that knows nothing of the terminal: keys go in
// (console/keys.h), and the bytes that draw the result come out (UTF-8 text
// and VT cursor sequences), so tests drive it without a terminal. The driver
// that reads keys from a real terminal is console/terminal.h's `edit_line`.
//
// Geometry. Positions are offsets in cells counted from column 0 of the row
// where the prompt starts: an offset o lies on row o / width, column
// o % width. The editor keeps track of where the terminal's cursor stands,
// including the terminal's pending wrap (after a character is written in
// the last column the cursor stays there until the next character), and
// moves it with relative sequences only, so it needs no absolute screen
// row: only the start column (from the cursor position query) and the
// width. A wide character that would start in the last column goes to the
// next row, leaving that column empty, as terminals draw it.
//
// Drawing. Typing at the end of the line writes only the new character;
// moving the cursor writes only the move; anything else draws the prompt and
// the line again from the start and clears what lay below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qel::console {

// A line of text as code points.
using Text = std::u32string;

// What completion makes of a line. `line` is the completed line with the
// cursor at `cursor`; `others` lists further candidates when the completion
// is not unique (the editor then shows them and ends the line empty, and
// `line` comes back as the next line's text).
struct Completion {
  Text line;
  size_t cursor = 0;
  std::vector<Text> others;
};

// The completion hook: the line and the cursor; nothing when there is no
// candidate (Tab is then an ordinary character).
using CompletionHook = std::function<std::optional<Completion>(const Text& line, size_t cursor)>;

// What a key does. Keys map to commands through one table (`command_of`).
enum class Command : uint8_t {
  ignore,
  cursor_left,
  cursor_right,
  delete_back,
  accept,
  history_newer,
  history_older,
  line_start,
  line_end,
  delete_forward,
  kill_to_end,
  delete_or_end,
  interrupt,
  escape,
  complete,
  insert,
};

// The command bound to a key: the binding table, then any character key
// above 31 inserts itself; everything else is ignored. A pasted key is
// text: Tab inserts itself, CR and LF end the line, and other control keys
// (DEL and C1 characters too) are ignored.
Command command_of(int32_t key, bool pasted = false);

// How a line ended.
enum class EditEnd : uint8_t {
  accepted,  // Enter: the line as typed (and possibly a history entry)
  escape,    // Esc: the line with the character 27 appended
  quit,      // Ctrl-C, or Ctrl-D on an empty line: the line is "q"
  listed,    // completion listed its candidates: the line is empty
};

// The history a line browses and adds to, newest first. The editor reads
// only the entries the keys walk to, so a long history costs nothing per
// line.
class History {
 public:
  virtual ~History() = default;
  virtual size_t size() const = 0;
  // The entry at an index below size().
  virtual Text entry(size_t index) const = 0;
  // Puts an entered line at the head.
  virtual void add(const Text& line) = 0;
};

// A history held in a vector.
class VectorHistory final : public History {
 public:
  explicit VectorHistory(std::vector<Text>& entries) : entries_(entries) {}
  size_t size() const override { return entries_.size(); }
  Text entry(size_t index) const override { return entries_[index]; }
  void add(const Text& line) override { entries_.insert(entries_.begin(), line); }

 private:
  std::vector<Text>& entries_;
};

// Terminal size in cells.
struct ScreenSize {
  int32_t width = 80;
  int32_t height = 24;
};

class LineEditor {
 public:
  // Starts a line: the prompt, whether to echo "*", the history to browse
  // and to add to (newest first; may be null), the screen size and the
  // column the cursor stands in. Text saved by a completion listing comes
  // back as the line. Draws the prompt and the line.
  void begin(Text prompt, bool hidden, History* history, ScreenSize size, int32_t start_column);

  // Handles one key (typed, or part of a paste); answers how the line ended
  // once it has. After the end the cursor stands at the start of the row
  // after the input.
  std::optional<EditEnd> handle_key(int32_t key, bool pasted = false);

  // The screen size changed: the line is drawn again.
  void resize(ScreenSize size);

  // The bytes to write to the terminal since the last call.
  std::string take_output();

  const Text& line() const { return line_; }
  size_t cursor() const { return cursor_; }
  // Whether the line that ended was added to the history.
  bool history_added() const { return history_added_; }

  void set_completion(CompletionHook hook) { complete_ = std::move(hook); }

  // The number of cells a code point takes on screen (0, 1 or 2).
  static int32_t cell_width(char32_t c);

 private:
  // The terminal's cursor: an offset and whether a wrap is pending (the
  // last character written filled the row).
  struct TermCursor {
    int64_t offset = 0;
    bool pending_wrap = false;
  };

  void refresh(bool redraw);
  void place_cursor(int64_t target, int64_t total);
  void move_to(int64_t row, int64_t column);
  // Lays out text from a position, appending what draws it to `out` when
  // it is not null; answers the position after it.
  TermCursor lay_out(const char32_t* text, size_t count, TermCursor at, bool prompt,
                     std::string* out) const;
  std::optional<EditEnd> finish(EditEnd end);
  // Ends the line as the quit alias "q" (Ctrl-D on an empty line, Ctrl-C).
  std::optional<EditEnd> finish_with_quit();
  void insert_char(char32_t c);
  void fetch_history(int32_t index);

  Text prompt_;
  Text line_;
  size_t cursor_ = 0;
  bool hidden_ = false;
  History* history_ = nullptr;
  int32_t history_index_ = -1;
  bool history_added_ = false;
  // Text put back into the next line after a completion listing.
  Text saved_line_;
  size_t saved_cursor_ = 0;
  CompletionHook complete_;

  int32_t width_ = 80;
  int32_t start_column_ = 0;
  bool first_refresh_ = true;
  TermCursor term_;
  // The offsets of the cursor and of the end of the input, as last drawn.
  int64_t cursor_offset_ = 0;
  int64_t total_ = 0;
  std::string out_;
};

}  // namespace qel::console
