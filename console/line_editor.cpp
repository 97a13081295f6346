// The line editor's state machine: key bindings, editing, history,
// completion, and the drawing of the prompt and the line.
#include "console/line_editor.h"

#include <algorithm>

#include "console/keys.h"
#include "text/char_width.h"
#include "runtime/output.h"

namespace qel::console {

namespace {

struct Binding {
  int32_t key;
  Command command;
};

constexpr Binding kBindings[] = {
    {key::ctrl_b, Command::cursor_left},      {key::left, Command::cursor_left},
    {key::ctrl_f, Command::cursor_right},     {key::right, Command::cursor_right},
    {key::backspace, Command::delete_back},   {key::delete_char, Command::delete_back},
    {key::enter, Command::accept},            {key::line_feed, Command::accept},
    {key::ctrl_n, Command::history_newer},    {key::down, Command::history_newer},
    {key::ctrl_p, Command::history_older},    {key::up, Command::history_older},
    {key::ctrl_a, Command::line_start},       {key::home, Command::line_start},
    {key::ctrl_e, Command::line_end},         {key::end, Command::line_end},
    {key::delete_, Command::delete_forward},  {key::ctrl_k, Command::kill_to_end},
    {key::ctrl_d, Command::delete_or_end},    {key::ctrl_c, Command::interrupt},
    {key::escape, Command::escape},           {key::tab, Command::complete},
};

constexpr char32_t kTab = 9;
constexpr char32_t kEscape = 27;
constexpr char32_t kReplacement = 0xFFFD;
// A tab shows as this many blanks.
constexpr int32_t kTabCells = 4;

bool is_control(char32_t c) { return c < 32 || (c >= 127 && c < 160); }

// A lone surrogate (a file name's byte that is not UTF-8, kept as
// U+DC80..U+DCFF) has no UTF-8 form: its bytes would reach the terminal as
// invalid UTF-8, drawn as up to three cells where the editor counts one.
bool is_surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

void append_utf8(std::string& out, char32_t c) {
  char bytes[4];
  out.append(bytes, output::encode_utf8(c, bytes));
}

void append_csi(std::string& out, int64_t n, char final_byte) {
  out += "\x1b[";
  out += std::to_string(n);
  out += final_byte;
}

}  // namespace

Command command_of(int32_t key, bool pasted) {
  bool character = key > 31 && key < key::alt;
  if (pasted) {
    if (key == key::tab) return Command::insert;
    if (key == key::enter || key == key::line_feed) return Command::accept;
    return character && !is_control(static_cast<char32_t>(key)) ? Command::insert
                                                                 : Command::ignore;
  }
  for (const Binding& b : kBindings)
    if (b.key == key) return b.command;
  return character ? Command::insert : Command::ignore;
}

int32_t LineEditor::cell_width(char32_t c) {
  // Pictographs are drawn two cells wide whatever the width table says.
  if (c >= 0x1F300 && c <= 0x1F5FF) return 2;
  return char_width::get(c);
}

void LineEditor::begin(Text prompt, bool hidden, History* history, ScreenSize size,
                       int32_t start_column) {
  prompt_ = std::move(prompt);
  hidden_ = hidden;
  history_ = history;
  history_index_ = -1;
  history_added_ = false;
  width_ = size.width > 0 ? size.width : 80;
  start_column_ = std::clamp(start_column, 0, width_ - 1);
  line_.clear();
  cursor_ = 0;
  if (!saved_line_.empty()) {
    line_ = saved_line_;
    cursor_ = std::min(saved_cursor_, line_.size());
  }
  first_refresh_ = true;
  refresh(true);
}

std::string LineEditor::take_output() {
  std::string out;
  out.swap(out_);
  return out;
}

LineEditor::TermCursor LineEditor::lay_out(const char32_t* text, size_t count, TermCursor at,
                                           bool prompt, std::string* out) const {
  int64_t o = at.offset;
  bool pending = at.pending_wrap;
  auto cell = [&](char32_t shown, int32_t w) {
    // A wide character never starts in the last column: the terminal moves
    // it to the next row and leaves that column empty.
    if (w == 2 && o % width_ == width_ - 1) ++o;
    if (out) append_utf8(*out, shown);
    o += w;
    if (w > 0) pending = o % width_ == 0;
  };
  for (size_t i = 0; i < count; ++i) {
    char32_t c = text[i];
    if (!prompt && hidden_) {
      cell('*', 1);
    } else if (c == kTab) {
      for (int32_t k = 0; k < kTabCells; ++k) cell(' ', 1);
    } else if (prompt && c == kEscape && i + 1 < count && text[i + 1] == ']') {
      // A command to the terminal in a prompt (a window title) takes no
      // room either: ESC ], its text, then BEL or ESC \. One the prompt
      // leaves open is ended with BEL, or the terminal would swallow all
      // that follows as its text.
      if (out) *out += "\x1b]";
      ++i;
      while (i + 1 < count && !is_control(text[i + 1]) && !is_surrogate(text[i + 1])) {
        ++i;
        if (out) append_utf8(*out, text[i]);
      }
      if (i + 2 < count && text[i + 1] == kEscape && text[i + 2] == '\\') {
        i += 2;
        if (out) *out += "\x1b\\";
      } else {
        if (i + 1 < count && text[i + 1] == 7) ++i;
        if (out) *out += '\a';
      }
    } else if (prompt && c == kEscape && i + 1 < count && !is_control(text[i + 1])) {
      // (An ESC that ends the prompt, or that a control character follows,
      // begins no sequence: it shows as U+FFFD below. Sent alone, it took
      // the first character typed after the prompt into a sequence.)
      // A control sequence in a prompt (colours) takes no room: ESC, then
      // "[" or "(" with its digits and ";", then the final character. After
      // "[" every parameter and intermediate character counts as such
      // (":" of "38:5:1m", "?" of "?25h"): the terminal reads them so.
      if (out) append_utf8(*out, c);
      if (i + 1 < count && (text[i + 1] == '[' || text[i + 1] == '(')) {
        ++i;
        if (out) append_utf8(*out, text[i]);
        const bool csi = text[i] == '[';
        auto parameter = [csi](char32_t p) {
          return csi ? p >= 0x20 && p <= 0x3F : (p >= '0' && p <= '9') || p == ';';
        };
        while (i + 1 < count && parameter(text[i + 1])) {
          ++i;
          if (out) append_utf8(*out, text[i]);
        }
      }
      if (i + 1 < count) {
        ++i;
        if (out) append_utf8(*out, text[i]);
      }
    } else if (prompt && c == '\n') {
      // A prompt of several lines: the next row starts at column 0 (a
      // pending wrap has already reached it).
      if (out) *out += "\r\n";
      if (!pending) o = (o / width_ + 1) * width_;
      pending = false;
    } else if (is_control(c) || is_surrogate(c)) {
      // Control characters would act on the terminal, and a lone surrogate
      // has no UTF-8 form: both show as U+FFFD.
      cell(kReplacement, 1);
    } else {
      cell(c, cell_width(c));
    }
  }
  return TermCursor{o, pending};
}

void LineEditor::move_to(int64_t row, int64_t column) {
  int64_t term_row = term_.offset / width_;
  int64_t term_column = term_.offset % width_;
  if (term_.pending_wrap) {
    term_row -= 1;
    term_column = width_ - 1;
  }
  if (!term_.pending_wrap && row == term_row && column == term_column) return;
  bool at_column_zero = false;
  if (row > term_row) {
    // Line feeds rather than "cursor down": at the bottom of the screen
    // they scroll, which makes the rows a wrapped line needs.
    out_ += '\r';
    out_.append(static_cast<size_t>(row - term_row), '\n');
    at_column_zero = true;
  } else if (row < term_row) {
    append_csi(out_, term_row - row, 'A');
  }
  if (row != term_row || term_.pending_wrap) {
    if (!at_column_zero) out_ += '\r';
    if (column > 0) append_csi(out_, column, 'C');
  } else if (column > term_column) {
    append_csi(out_, column - term_column, 'C');
  } else {
    append_csi(out_, term_column - column, 'D');
  }
  term_ = TermCursor{row * width_ + column, false};
}

void LineEditor::place_cursor(int64_t target, int64_t /*total*/) {
  int64_t row = target / width_;
  int64_t column = target % width_;
  // On a wide character that starts on the next row, the cursor goes there.
  if (!hidden_ && cursor_ < line_.size() && line_[cursor_] != kTab &&
      !is_control(line_[cursor_]) && cell_width(line_[cursor_]) == 2 && column == width_ - 1) {
    row += 1;
    column = 0;
  }
  move_to(row, column);
}

void LineEditor::refresh(bool redraw) {
  if (first_refresh_) {
    // The terminal's cursor stands where the prompt begins.
    first_refresh_ = false;
    term_ = TermCursor{start_column_, false};
    redraw = true;
  } else if (redraw) {
    move_to(0, start_column_);
    out_ += "\x1b[J";
  }
  std::string* out = redraw ? &out_ : nullptr;
  TermCursor at = lay_out(prompt_.data(), prompt_.size(), TermCursor{start_column_, false}, true, out);
  at = lay_out(line_.data(), cursor_, at, false, out);
  cursor_offset_ = at.offset;
  TermCursor end = lay_out(line_.data() + cursor_, line_.size() - cursor_, at, false, out);
  total_ = end.offset;
  if (redraw) term_ = end;
  place_cursor(cursor_offset_, total_);
}

void LineEditor::resize(ScreenSize size) {
  // Back to the start with the old geometry, then draw with the new one.
  move_to(0, start_column_);
  width_ = size.width > 0 ? size.width : 80;
  start_column_ = std::min(start_column_, width_ - 1);
  term_ = TermCursor{start_column_, false};
  out_ += "\x1b[J";
  first_refresh_ = true;
  refresh(true);
}

std::optional<EditEnd> LineEditor::finish_with_quit() {
  // (One character appended, not assigned from a literal: GCC 12 warns
  // falsely of an overlapping copy in the inlined assignment.)
  line_.clear();
  line_.push_back(U'q');
  cursor_ = line_.size();
  return finish(EditEnd::quit);
}

std::optional<EditEnd> LineEditor::finish(EditEnd end) {
  // The cursor goes to the start of the row after the input, so that what
  // follows is written below it.
  int64_t last_row = total_ / width_;
  if (total_ > 0 && total_ % width_ == 0) last_row -= 1;
  move_to(last_row, 0);
  out_ += "\r\n";
  term_ = TermCursor{(last_row + 1) * width_, false};
  return end;
}

void LineEditor::insert_char(char32_t c) {
  if (cursor_ == line_.size()) {
    // At the end of the line only the new character is written: the
    // terminal's cursor stands at the end already.
    line_.push_back(c);
    ++cursor_;
    term_ = lay_out(&c, 1, term_, false, &out_);
    // Nothing before it moved: the new end is where the terminal stands
    // (a long paste costs no new measure of the whole line per key).
    cursor_offset_ = total_ = term_.offset;
    place_cursor(cursor_offset_, total_);
  } else {
    line_.insert(cursor_, 1, c);
    ++cursor_;
    refresh(true);
  }
}

void LineEditor::fetch_history(int32_t index) {
  // Completion runs code that may have shortened the history meanwhile.
  size_t i = static_cast<size_t>(index);
  line_ = i < history_->size() ? history_->entry(i) : Text();
  cursor_ = line_.size();
}

std::optional<EditEnd> LineEditor::handle_key(int32_t key, bool pasted) {
  Command command = command_of(key, pasted);
  switch (command) {
    case Command::complete:
      // Hidden input is never completed: a completion would change the
      // secret unseen, and a listing would hand it, in clear, to the next
      // line as the text to edit.
      if (complete_ && !hidden_) {
        std::optional<Completion> c = complete_(line_, cursor_);
        if (c && c->others.empty()) {
          line_ = std::move(c->line);
          cursor_ = std::min(c->cursor, line_.size());
          refresh(true);
          return std::nullopt;
        }
        if (c) {
          // Several candidates: list them after the prompt and end the line
          // empty; the completed text comes back as the next line.
          saved_line_ = std::move(c->line);
          saved_cursor_ = c->cursor;
          line_.clear();
          for (const Text& other : c->others) {
            line_ += other;
            line_ += U' ';
          }
          cursor_ = line_.size();
          refresh(true);
          line_.clear();
          cursor_ = 0;
          return finish(EditEnd::listed);
        }
      }
      insert_char(kTab);
      return std::nullopt;
    case Command::insert:
      insert_char(static_cast<char32_t>(key));
      return std::nullopt;
    case Command::cursor_left:
      if (cursor_ > 0) {
        --cursor_;
        refresh(false);
      }
      return std::nullopt;
    case Command::cursor_right:
      if (cursor_ < line_.size()) {
        ++cursor_;
        refresh(false);
      }
      return std::nullopt;
    case Command::delete_back:
      if (cursor_ > 0) {
        char32_t gone = line_[cursor_ - 1];
        --cursor_;
        line_.erase(cursor_, 1);
        // At the end only the cursor moves back and what lay after it is
        // cleared (a zero-width mark sits on the character before it, so
        // that one needs a full drawing).
        bool at_end = cursor_ == line_.size() &&
                      (hidden_ || gone == kTab || is_control(gone) || cell_width(gone) > 0);
        refresh(!at_end);
        if (at_end) out_ += "\x1b[J";
      }
      return std::nullopt;
    case Command::accept:
      if (history_ && !hidden_ && !line_.empty() &&
          (history_->size() == 0 || history_->entry(0) != line_)) {
        history_->add(line_);
        history_added_ = true;
      }
      saved_line_.clear();
      return finish(EditEnd::accepted);
    case Command::history_newer:
      if (history_index_ < 0) {
        line_.clear();
        cursor_ = 0;
      } else {
        fetch_history(history_index_);
        --history_index_;
      }
      refresh(true);
      return std::nullopt;
    case Command::history_older: {
      int32_t count =
          history_ ? static_cast<int32_t>(std::min<size_t>(history_->size(), INT32_MAX)) : 0;
      if (history_index_ < count - 1) {
        ++history_index_;
        fetch_history(history_index_);
      } else {
        line_.clear();
        cursor_ = 0;
      }
      refresh(true);
      return std::nullopt;
    }
    case Command::line_start:
      cursor_ = 0;
      refresh(false);
      return std::nullopt;
    case Command::line_end:
      cursor_ = line_.size();
      refresh(false);
      return std::nullopt;
    case Command::delete_forward:
      if (cursor_ < line_.size()) {
        line_.erase(cursor_, 1);
        refresh(true);
      }
      return std::nullopt;
    case Command::kill_to_end:
      if (cursor_ < line_.size()) {
        line_.erase(cursor_);
        refresh(true);
      }
      return std::nullopt;
    case Command::delete_or_end:
      if (cursor_ < line_.size()) {
        line_.erase(cursor_, 1);
        refresh(true);
        return std::nullopt;
      }
      if (cursor_ > 0) return std::nullopt;
      // Ctrl-D on an empty line: the quit alias "q".
      return finish_with_quit();
    case Command::interrupt:
      return finish_with_quit();
    case Command::escape:
      saved_line_.clear();
      line_.push_back(kEscape);
      return finish(EditEnd::escape);
    case Command::ignore:
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace qel::console
