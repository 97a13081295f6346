// Face rendering and text drawing (see render.h).
#include "gui/terminal/render.h"

#include <algorithm>

#include "datatypes/block.h"
#include "datatypes/object.h"

namespace qel::gui {

DrawBlockFn run_draw_block = nullptr;

namespace {

constexpr uint32_t kEsc = 27;

bool is_rich_text(const Widget* w) {
  static const SymbolId rich = type_symbol("rich-text");
  return w->type == rich;
}

bool is_window(const Widget* w) {
  static const SymbolId window = type_symbol("window");
  return w->type == window;
}

// The value after `hint` in an options block, or null.
const Cell* hint_of(const Cell* options) {
  if (!options || !options->is(TypeId::block)) return nullptr;
  static const SymbolId hint = type_symbol("hint");
  const Cell* first = block::rs_head(const_cast<Cell*>(options));
  int32_t n = block::rs_length_q(options);
  for (int32_t i = 0; i + 1 < n; i++)
    if (is_any_word(first[i].type()) && symbol::resolve(first[i].symbol()) == hint) return first + i + 1;
  return nullptr;
}

// A source of characters: a text, or a run of pre-styled cells.
struct Source {
  const TextView* text;
  const std::vector<ScreenCell>* run;
  int32_t length() const { return text ? text->length : run ? static_cast<int32_t>(run->size()) : 0; }
  uint32_t at(int32_t i) const { return text ? text->at(i) : (*run)[static_cast<size_t>(i)].code_point; }
};

// Draws image cells at their places, clipped.
void draw_image_cells(const Widget* w, int32_t x, int32_t y, const ClipRect& clip) {
  int32_t columns = w->image_cells_columns;
  if (columns <= 0) return;
  int32_t n = static_cast<int32_t>(w->image_cells.size());
  for (int32_t i = 0; i < n; i++) {
    int32_t cx = x + i % columns, cy = y + i / columns;
    if (cx < clip.left || cx >= clip.right || cy < clip.top || cy >= clip.bottom) continue;
    if (ScreenCell* c = grid_cell(cx, cy)) *c = w->image_cells[static_cast<size_t>(i)];
  }
}

}  // namespace

void render_default(int32_t x, int32_t y, Widget* w) { render_face(x, y, w, render_flag::escapes); }

void apply_sgr(TextStyle& s, int32_t code) {
  static constexpr uint32_t kSet[10] = {0,          attr::bold,  attr::dim,     attr::italic, attr::underline,
                                        attr::blink, 0,          attr::reverse, attr::hidden, attr::strike};
  if (code == 0) {
    // Masking belongs to the face, not to the text: it stays.
    s.foreground = s.background = 0;
    s.attributes &= render_flag::masked | ~render_flag::kAttributes;
  } else if (code >= 1 && code <= 9) {
    s.attributes |= kSet[code];
  } else if (code >= 21 && code <= 29) {
    s.attributes &= ~kSet[code - 20];
  } else if (code >= 30 && code <= 37) {
    s.foreground = colour::basic(static_cast<uint32_t>(code - 30));
  } else if (code == 39) {
    s.foreground = colour::basic(9);
  } else if (code >= 40 && code <= 47) {
    s.background = colour::basic(static_cast<uint32_t>(code - 40));
  } else if (code == 49) {
    s.background = colour::basic(9);
  } else if (code >= 90 && code <= 97) {
    s.foreground = colour::basic(static_cast<uint32_t>(code - 80));
  } else if (code >= 100 && code <= 107) {
    s.background = colour::basic(static_cast<uint32_t>(code - 90));
  }
}

int32_t parse_escape(const TextView& text, int32_t i, TextStyle& style) {
  if (i + 1 >= text.length || text.at(i + 1) != '[') return 0;
  constexpr int32_t kMaxParams = 16;
  int32_t params[kMaxParams];
  int32_t count = 0, value = 0;
  int32_t k = i + 2;
  for (; k < text.length; k++) {
    uint32_t c = text.at(k);
    if (c >= '0' && c <= '9') {
      value = std::min(value * 10 + static_cast<int32_t>(c - '0'), 99999);
      continue;
    }
    if (c == ';') {
      if (count < kMaxParams) params[count++] = value;
      value = 0;
      continue;
    }
    if (c == 'm') {
      if (count < kMaxParams) params[count++] = value;
      // Codes in order; 38;5;n and 48;5;n set palette colours, 38;2;r;g;b
      // and 48;2;r;g;b are read over and have no effect here.
      for (int32_t p = 0; p < count; p++) {
        int32_t code = params[p];
        if ((code == 38 || code == 48) && p + 1 < count && params[p + 1] == 5 && p + 2 < count) {
          uint32_t colour = colour::palette(static_cast<uint32_t>(params[p + 2]));
          (code == 38 ? style.foreground : style.background) = colour;
          p += 2;
        } else if ((code == 38 || code == 48) && p + 1 < count && params[p + 1] == 2) {
          p += std::min(4, count - 1 - p);
        } else if (code != 38 && code != 48) {
          apply_sgr(style, code);
        }
      }
      return k - i + 1;
    }
    switch (c) {
      case 'A': case 'B': case 'C': case 'D': case 'H': case 'f': case 'J': case 'K': case 's': case 'u':
        return k - i + 1;  // read over, no effect
      default:
        return k - i;  // the sequence ends before this character
    }
  }
  return k - i;  // cut off by the end of the text
}

void draw_text(const TextView* text, int32_t x, int32_t y, const ClipRect& clip, TextStyle& style) {
  Source src{text && text->length > 0 ? text : nullptr, text ? nullptr : style.run};
  if (text && text->length == 0) return;
  if (!src.text && !src.run) return;
  bool wrap = (style.para & para_flag::wrap) != 0;
  bool escapes = src.text && (style.attributes & render_flag::escapes);
  int32_t n = src.length();
  int32_t i = 0;
  int32_t column = x, row = y;

  // Lines above the clip are walked over as drawing would walk them,
  // without writing cells.
  while (i < n && row < clip.bottom) {
    uint32_t c = src.at(i);
    if (c == '\n') {
      column = x;
      row++;
      i++;
      continue;
    }
    if (escapes && c == kEsc) {
      TextStyle scratch = style;
      if (int32_t used = parse_escape(*src.text, i, scratch)) {
        // Only the foreground and the attributes reach the text's cells.
        style.foreground = scratch.foreground;
        style.attributes = scratch.attributes;
        i += used;
        continue;
      }
    }
    int32_t w = char_width(c);
    if (column < clip.left) {  // left of the clip: only the column moves
      column += w;
      i++;
      continue;
    }
    if (column + w <= clip.right) {
      if (ScreenCell* cell = row >= clip.top ? grid_cell(column, row) : nullptr) {
        cell->code_point = c;
        uint32_t attributes = style.attributes & render_flag::kAttributes;
        if (src.run) {
          const ScreenCell& rc = (*src.run)[static_cast<size_t>(i)];
          cell->foreground = rc.foreground ? rc.foreground : style.foreground;
          cell->background = rc.background;
          attributes |= rc.attributes;
        } else {
          cell->foreground = style.foreground;
        }
        cell->attributes = attributes & ~attr::continuation;
        for (int32_t k = 1; k < w; k++)
          if (ScreenCell* tail = grid_cell(column + k, row)) {
            tail->code_point = 0;
            tail->attributes = attr::continuation;
            tail->background = cell->background;
          }
      }
      column += w;
      i++;
      if (column >= clip.right) {
        if (!wrap) {
          while (i < n && src.at(i) != '\n') i++;
          continue;
        }
        // A line break right at the edge moves down once, not twice.
        if (i < n && src.at(i) == '\n') continue;
        column = x;
        row++;
      }
      continue;
    }
    // The character does not fit before the right edge.
    if (!wrap) {
      while (i < n && src.at(i) != '\n') i++;
      continue;
    }
    if (column == x) {  // wider than the whole line: left out
      i++;
      continue;
    }
    column = x;
    row++;
  }
}

Offset align_text(const Cell* text, int32_t width, int32_t height, uint32_t para) {
  Offset o;
  if (para == 0) return o;
  TextSize size = get_text_size(text);
  if (size.width < width) {
    if (para & para_flag::center) o.x = (width - size.width) / 2;
    else if (para & para_flag::right) o.x = width - size.width;
  }
  if (size.lines < height) {
    if (para & para_flag::middle) o.y = (height - size.lines) / 2;
    else if (para & para_flag::bottom) o.y = height - size.lines;
  }
  return o;
}

ClipRect widget_clip(int32_t x, int32_t y, const Widget* w) {
  CellSize size = widget_size(w);
  ClipRect clip{x, y, x + size.width, y + size.height};
  if (w->parent && !is_window(w->parent)) {
    int32_t px = x - static_cast<int32_t>(w->left), py = y - static_cast<int32_t>(w->top);
    CellSize ps = widget_size(w->parent);
    clip.left = std::max(clip.left, px);
    clip.top = std::max(clip.top, py);
    clip.right = std::min(clip.right, px + ps.width);
    clip.bottom = std::min(clip.bottom, py + ps.height);
  }
  const ScreenState& s = screen();
  clip.right = std::min(clip.right, s.width);
  clip.bottom = std::min(clip.bottom, s.height);
  clip.left = std::max(clip.left, 0);
  clip.top = std::max(clip.top, 0);
  return clip;
}

void render_face(int32_t x, int32_t y, Widget* w, uint32_t flags) {
  if (!w->has_face()) return;
  const Cell* face = &w->face;
  TextStyle style;
  style.attributes = flags;
  if (const Cell* c = face_field(face, "color"); c && c->is(TypeId::tuple)) style.background = tuple_cell_colour(c);
  if (const Cell* f = face_field(face, "font"); f && f->is(TypeId::object)) {
    // A font without a colour keeps the terminal's own foreground.
    if (const Cell* fc = face_field(f, "color"); fc && fc->is(TypeId::tuple)) style.foreground = tuple_cell_colour(fc);
  }
  if (const Cell* p = face_field(face, "para"); p && p->is(TypeId::object)) style.para = para_object_flags(p);

  ClipRect clip = widget_clip(x, y, w);
  if (clip.right - clip.left < 1 || clip.bottom - clip.top < 1) return;

  fill_rect(clip.left, clip.top, clip.right - clip.left, clip.bottom - clip.top, style.background);
  draw_image_cells(w, x, y, clip);

  if (w->ui.is(TypeId::string)) {
    TextView ui = text_view(&w->ui);
    TextStyle ui_style = style;
    draw_text(&ui, x, y, clip, ui_style);
  }

  if (!(flags & render_flag::no_text)) {
    const Cell* text = face_field(face, "text");
    const std::vector<ScreenCell>* run = nullptr;
    if (is_rich_text(w))
      if (auto* r = dynamic_cast<CellRun*>(w->data.get())) run = &r->cells;
    Cell chosen;
    set_none(&chosen);
    if (text && text->is(TypeId::string) && text_view(text).length > 0) {
      chosen = *text;
    } else if (const Cell* h = hint_of(face_field(face, "options")); h && h->is(TypeId::string)) {
      chosen = *h;
      style.attributes |= render_flag::dim;
    }
    if (chosen.is(TypeId::string)) {
      CellSize size = widget_size(w);
      Offset o = align_text(&chosen, size.width, size.height, style.para);
      TextStyle text_style = style;
      if (run && !run->empty()) {
        text_style.run = run;
        draw_text(nullptr, x + o.x, y + o.y, clip, text_style);
      } else {
        TextView view = text_view(&chosen);
        draw_text(&view, x + o.x, y + o.y, clip, text_style);
      }
    }
  }

  if (const Cell* d = face_field(face, "draw"); d && d->is(TypeId::block) && block::rs_length_q(d) > 0 && run_draw_block) {
    DrawContext context{w, flags, x, y, clip};
    Cell block = *d;
    run_draw_block(context, &block);
  }
}

}  // namespace qel::gui
