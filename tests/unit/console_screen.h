// A small terminal screen for the console tests: it interprets the bytes
// the line editor writes (UTF-8 text, CR, LF, and the cursor and erase
// sequences the editor uses) the way a VT terminal does, including the
// pending wrap after the last column, wide characters that do not fit in the
// last column, and scrolling at the bottom.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "console/line_editor.h"
#include "console/stdin_reader.h"

namespace qel::console::test_screen {

class Screen {
 public:
  Screen(int width, int height) : width_(width), height_(height), cells_(height, Row(width, U' ')) {}

  int row() const { return row_; }
  int column() const { return column_; }
  int scrolled() const { return scrolled_; }
  // A narrower or wider screen (rows are cut or padded, not reflowed).
  void set_width(int width) {
    width_ = width;
    for (Row& r : cells_) r.resize(static_cast<size_t>(width), U' ');
    column_ = std::min(column_, width - 1);
  }
  void set_cursor(int row, int column) {
    row_ = row;
    column_ = column;
  }

  // The text of a row, trailing blanks cut; a wide character's second
  // cell is not shown.
  std::u32string text(int row) const {
    std::u32string s;
    for (char32_t c : cells_[row])
      if (c != kWideTail) s += c;
    while (!s.empty() && s.back() == U' ') s.pop_back();
    return s;
  }

  void feed(std::string_view bytes) {
    Text decoded;
    append_utf8_lossy(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), decoded);
    for (size_t i = 0; i < decoded.size(); ++i) {
      char32_t c = decoded[i];
      if (c == 0x1B && i + 1 < decoded.size() && decoded[i + 1] == '[') {
        i += 2;
        int n = 0;
        bool any = false;
        while (i < decoded.size() && ((decoded[i] >= '0' && decoded[i] <= '9') || decoded[i] == ';')) {
          if (decoded[i] != ';') n = n * 10 + static_cast<int>(decoded[i] - '0');
          any = true;
          ++i;
        }
        if (i < decoded.size()) csi(static_cast<char>(decoded[i]), any ? n : -1);
      } else if (c == '\r') {
        column_ = 0;
        pending_ = false;
      } else if (c == '\n') {
        line_feed();
      } else {
        put(c);
      }
    }
  }

 private:
  using Row = std::u32string;
  static constexpr char32_t kWideTail = 0xE000;

  void line_feed() {
    pending_ = false;
    if (row_ == height_ - 1) {
      cells_.erase(cells_.begin());
      cells_.push_back(Row(width_, U' '));
      ++scrolled_;
    } else {
      ++row_;
    }
  }

  void put(char32_t c) {
    int w = LineEditor::cell_width(c);
    if (w == 0) return;
    if (pending_ || (w == 2 && column_ == width_ - 1)) {
      column_ = 0;
      line_feed();
    }
    cells_[row_][column_] = c;
    if (w == 2) cells_[row_][column_ + 1] = kWideTail;
    column_ += w;
    if (column_ >= width_) {
      column_ = width_ - 1;
      pending_ = true;
    }
  }

  void csi(char final_byte, int n) {
    int count = n < 1 ? 1 : n;
    pending_ = false;
    switch (final_byte) {
      case 'A':
        row_ = std::max(0, row_ - count);
        break;
      case 'B':
        row_ = std::min(height_ - 1, row_ + count);
        break;
      case 'C':
        column_ = std::min(width_ - 1, column_ + count);
        break;
      case 'D':
        column_ = std::max(0, column_ - count);
        break;
      case 'J':
        for (int c = column_; c < width_; ++c) cells_[row_][c] = U' ';
        for (int r = row_ + 1; r < height_; ++r) cells_[r] = Row(width_, U' ');
        break;
      case 'K':
        for (int c = column_; c < width_; ++c) cells_[row_][c] = U' ';
        break;
      default:
        break;
    }
  }

  int width_;
  int height_;
  std::vector<Row> cells_;
  int row_ = 0;
  int column_ = 0;
  bool pending_ = false;
  int scrolled_ = 0;
};

}  // namespace qel::console::test_screen
