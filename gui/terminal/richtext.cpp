// Rich text on the text screen and the text-box metrics (see richtext.h).
#include "gui/terminal/richtext.h"

#include <algorithm>
#include <cmath>

#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "gui/terminal/draw.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/object.h"

namespace qel::gui {

namespace {

// The style words of a style list, resolved once.
struct StyleWords {
  SymbolId backdrop = type_symbol("backdrop");
  SymbolId bold = type_symbol("bold");
  SymbolId italic = type_symbol("italic");
  SymbolId underline = type_symbol("underline");
  SymbolId strike = type_symbol("strike");
};
const StyleWords& style_words() {
  static const StyleWords words;
  return words;
}

[[noreturn]] void invalid_at(const Cell* list, int32_t index) {
  Cell pos = *list;
  pos.set_head(list->head() + index);
  fire(ErrorCode::script_draw_invalid, &pos);
}

// A planar value's coordinates, truncated toward zero and kept in range.
int64_t coordinate(double d) {
  if (std::isnan(d)) return 0;
  return static_cast<int64_t>(std::clamp(d, -2147483648.0, 2147483647.0));
}

}  // namespace

void apply_style_block(std::vector<ScreenCell>& run, const Cell* data, int32_t text_length) {
  const StyleWords& sw = style_words();
  const int64_t cells = static_cast<int64_t>(run.size());
  int64_t start = 0, length = 0;
  // Every range operation stays inside the run.
  auto each = [&](auto&& f) {
    int64_t from = std::max<int64_t>(start, 0);
    int64_t to = std::min(start + length, cells);
    for (int64_t i = from; i < to; i++) f(run[static_cast<size_t>(i)]);
  };
  int32_t n = block::rs_length_q(data);
  for (int32_t i = 0; i < n; i++) {
    const Cell* v = block::rs_head(const_cast<Cell*>(data)) + i;
    switch (v->type()) {
      case TypeId::pair:
        start = static_cast<int64_t>(pair::x(v)) - 1;
        length = std::min<int64_t>(pair::y(v), static_cast<int64_t>(text_length) - start);
        continue;
      case TypeId::tuple: {
        uint32_t fg = tuple_cell_colour(v);
        each([fg](ScreenCell& c) { c.foreground = fg; });
        continue;
      }
      case TypeId::string:
      case TypeId::integer:
      case TypeId::float_:
        continue;  // font name and size: the text screen has one font
      case TypeId::word: {
        SymbolId sym = symbol::resolve(v->symbol());
        if (sym == sw.backdrop) {
          const Cell* colour = i + 1 < n ? tuple_of(v + 1) : nullptr;
          if (!colour) invalid_at(data, i + 1);
          uint32_t bg = tuple_cell_colour(colour);
          each([bg](ScreenCell& c) { c.background = bg; });
          i++;
          continue;
        }
        uint32_t attribute = sym == sw.bold        ? attr::bold
                             : sym == sw.italic    ? attr::italic
                             : sym == sw.underline ? attr::underline
                             : sym == sw.strike    ? attr::strike
                                                   : 0;
        if (!attribute) break;
        if (attribute == attr::underline || attribute == attr::strike) {
          // A line colour and a line style may follow; the text screen
          // has neither.
          if (i + 1 < n && v[1].is(TypeId::tuple)) i++, v++;
          if (i + 1 < n && v[1].is(TypeId::lit_word)) i++;
        }
        each([attribute](ScreenCell& c) { c.attributes |= attribute; });
        continue;
      }
      default:
        break;
    }
    invalid_at(data, i);
  }
}

std::unique_ptr<CellRun> make_styled_run(const Cell* face) {
  const Cell* text = face_field(face, "text");
  const Cell* data = face_field(face, "data");
  if (!text || !text->is(TypeId::string) || !data || !data->is(TypeId::block)) return nullptr;
  TextView view = text_view(text);
  if (view.length == 0) return nullptr;
  uint32_t background = 0;
  if (const Cell* c = face_field(face, "color"); c && c->is(TypeId::tuple)) background = tuple_cell_colour(c);
  auto run = std::make_unique<CellRun>();
  run->cells.resize(static_cast<size_t>(view.length));
  for (int32_t i = 0; i < view.length; i++)
    run->cells[static_cast<size_t>(i)] = ScreenCell{view.at(i), background, 0, 0};
  Cell list = *data;
  apply_style_block(run->cells, &list, view.length);
  return run;
}

int32_t build_styled_text(Widget* w) {
  if (!w->has_face()) return 0;
  // The run always matches the text now: a run kept from a longer text
  // would draw characters the text no longer has.
  Cell face = w->face;
  std::unique_ptr<CellRun> run = make_styled_run(&face);
  w->data = std::move(run);
  return 0;
}

// --- text-box metrics

std::vector<TextLine> layout_lines(const TextView& text, int32_t width) {
  std::vector<TextLine> lines;
  TextLine line;
  for (int32_t i = 0; i < text.length; i++) {
    uint32_t c = text.at(i);
    if (c == '\n') {
      line.end = i;
      lines.push_back(line);
      line = TextLine{i + 1, i + 1, 0};
      continue;
    }
    int32_t w = char_width(c);
    if (width >= 0 && line.end > line.start && line.width + w > width) {
      lines.push_back(line);
      line = TextLine{i, i, 0};
    }
    line.width += w;
    line.end = i + 1;
  }
  lines.push_back(line);
  return lines;
}

namespace {

// Where (column, row) falls in a layout: the line and, along it, the
// characters before the point. `under` counts a character as before the
// point only when it ends at or before the column (the character under the
// point); otherwise a character the column has reached or passed counts.
struct Hit {
  const TextLine* line;
  int32_t count;
};
Hit hit_test(const TextView& text, const std::vector<TextLine>& lines, int64_t column, int64_t row, bool under) {
  size_t r = static_cast<size_t>(std::clamp<int64_t>(row, 0, static_cast<int64_t>(lines.size()) - 1));
  const TextLine& line = lines[r];
  int64_t x = 0;
  int32_t count = 0;
  for (int32_t i = line.start; i < line.end; i++) {
    int32_t w = char_width(text.at(i));
    if (under ? x + w > column : x >= column) break;
    x += w;
    count++;
  }
  return Hit{&line, count};
}

}  // namespace

void text_box_metrics(const Cell* face, const Cell* arg, int32_t type, Cell* out) {
  const Cell* text = face_field(face, "text");
  if (!text || !text->is(TypeId::string)) return set_none(out);
  TextView view = text_view(text);
  int32_t width = -1, height = -1;
  if (const Cell* size = face_field(face, "size")) {
    if (size->is(TypeId::pair)) {
      width = std::max(pair::x(size), 0);
      height = std::max(pair::y(size), 0);
    } else if (size->is(TypeId::point2d)) {
      width = static_cast<int32_t>(std::max<int64_t>(coordinate(point2d::x(size)), 0));
      height = static_cast<int32_t>(std::max<int64_t>(coordinate(point2d::y(size)), 0));
    }
  }
  auto need = [arg](bool ok) {
    if (!ok) fire(ErrorCode::script_invalid_arg, arg);
  };
  switch (type) {
    case metrics::line_height:
      set_float(out, 1.0);
      return;
    case metrics::size: {
      std::vector<TextLine> lines = layout_lines(view, width);
      int32_t widest = 0;
      for (const TextLine& l : lines) widest = std::max(widest, l.width);
      int32_t rows = static_cast<int32_t>(lines.size());
      if (height >= 0) rows = std::min(rows, height);
      point2d::make_at(out, static_cast<float>(widest), static_cast<float>(rows));
      return;
    }
    case metrics::line_count:
      set_integer(out, static_cast<int32_t>(layout_lines(view, width).size()));
      return;
    case metrics::caret_to_offset:
    case metrics::caret_to_offset_lower: {
      need(arg->is(TypeId::integer));
      std::vector<TextLine> lines = layout_lines(view, width);
      // The character's 0-based index, kept within the text (the caret
      // after the last character counts as its end).
      int32_t index = std::clamp(arg->integer(), 1, view.length + 1) - 1;
      size_t r = 0;
      while (r + 1 < lines.size() && lines[r + 1].start <= index) r++;
      const TextLine& line = lines[r];
      int32_t column = 0;
      for (int32_t i = line.start; i < std::min(index, line.end); i++) column += char_width(view.at(i));
      if (type == metrics::caret_to_offset_lower) {
        if (index < line.end) column += char_width(view.at(index));
        point2d::make_at(out, static_cast<float>(column), static_cast<float>(r + 1));
      } else {
        point2d::make_at(out, static_cast<float>(column), static_cast<float>(r));
      }
      return;
    }
    case metrics::offset_to_caret:
    case metrics::offset_to_char: {
      int64_t column = 0, row = 0;
      if (arg->is(TypeId::pair)) {
        column = pair::x(arg), row = pair::y(arg);
      } else {
        need(arg->is(TypeId::point2d));
        column = coordinate(point2d::x(arg)), row = coordinate(point2d::y(arg));
      }
      std::vector<TextLine> lines = layout_lines(view, width);
      bool under = type == metrics::offset_to_char;
      Hit hit = hit_test(view, lines, column, row, under);
      int32_t index = hit.line->start + hit.count + 1;
      // Past the end of the last line there is no character: the last one.
      if (under) index = std::min(index, view.length);
      set_integer(out, index);
      return;
    }
    default:
      set_none(out);
  }
}

}  // namespace qel::gui
