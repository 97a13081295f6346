// The draw dialect's executor for the text screen (see draw.h): the reader
// that checks each command's arguments, the painting operations, and the
// routines that reach them from Qel.
#include "gui/terminal/draw.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "core/cycle_guard.h"
#include "core/stack.h"
#include "gui/terminal/richtext.h"
#include "text/unicode.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

#if __has_include("gui/terminal/widgets.h")
#include "gui/terminal/widgets.h"
#define QEL_GUI_HAS_WIDGETS 1
#endif

namespace qel::gui {

namespace {

// --- words

#define QEL_DRAW_WORDS(X)                                                                                \
  X(pen, "pen") X(fill_pen, "fill-pen") X(line, "line") X(box, "box") X(triangle, "triangle")            \
  X(polygon, "polygon") X(circle, "circle") X(ellipse, "ellipse") X(text, "text") X(font, "font")        \
  X(anti_alias, "anti-alias") X(arc, "arc") X(curve, "curve") X(spline, "spline") X(image, "image")      \
  X(line_width, "line-width") X(line_join, "line-join") X(line_cap, "line-cap")                          \
  X(line_pattern, "line-pattern") X(shadow, "shadow") X(clip, "clip") X(shape, "shape")                  \
  X(rotate, "rotate") X(scale, "scale") X(translate, "translate") X(skew, "skew")                        \
  X(transform, "transform") X(push, "push") X(matrix, "matrix") X(reset_matrix, "reset-matrix")          \
  X(invert_matrix, "invert-matrix") X(off, "off") X(linear, "linear") X(radial, "radial")                \
  X(diamond, "diamond") X(pattern, "pattern") X(bitmap, "bitmap") X(closed, "closed")                    \
  X(border, "border") X(crop, "crop") X(miter, "miter") X(miter_bevel, "miter-bevel") X(round, "round")  \
  X(bevel, "bevel") X(square, "square") X(flat, "flat") X(inset, "inset") X(replace, "replace")          \
  X(intersect, "intersect") X(union_, "union") X(xor_, "xor") X(exclude, "exclude") X(pad, "pad")        \
  X(repeat, "repeat") X(reflect, "reflect") X(tile, "tile") X(flip_x, "flip-x") X(flip_y, "flip-y")      \
  X(flip_xy, "flip-xy") X(clamp, "clamp") X(move, "move") X(hline, "hline") X(vline, "vline")            \
  X(curv, "curv") X(qcurve, "qcurve") X(qcurv, "qcurv") X(close, "close") X(sweep, "sweep")              \
  X(large, "large")

enum class W : uint8_t {
#define QEL_X(id, name) id,
  QEL_DRAW_WORDS(QEL_X)
#undef QEL_X
      none
};
constexpr size_t kWordCount = static_cast<size_t>(W::none);

// The resolved symbols of the dialect's words, made once.
const std::array<SymbolId, kWordCount>& word_symbols() {
  static const std::array<SymbolId, kWordCount> symbols = [] {
    std::array<SymbolId, kWordCount> s{};
    size_t i = 0;
#define QEL_X(id, name) s[i++] = type_symbol(name);
    QEL_DRAW_WORDS(QEL_X)
#undef QEL_X
    return s;
  }();
  return symbols;
}
#undef QEL_DRAW_WORDS

// The dialect word a word or lit-word names, or W::none.
W word_id(const Cell* v) {
  if (!v || !(v->is(TypeId::word) || v->is(TypeId::lit_word))) return W::none;
  const auto& symbols = word_symbols();
  SymbolId sym = symbol::resolve(v->symbol());
  for (size_t i = 0; i < kWordCount; i++)
    if (symbols[i] == sym) return static_cast<W>(i);
  return W::none;
}

bool is_one_of(const Cell* v, std::initializer_list<W> words) {
  W id = word_id(v);
  return id != W::none && std::find(words.begin(), words.end(), id) != words.end();
}

// The value of a bound word, or null (no evaluation, no error).
const Cell* word_value(const Cell* v) {
  if (!v->is(TypeId::word) || !v->context() || v->word_index() < 0) return nullptr;
  Cell w = *v;
  return context::get(&w);
}

const Cell* value_of_type(const Cell* v, TypeId t) {
  if (v->is(t)) return v;
  const Cell* value = word_value(v);
  return value && value->is(t) ? value : nullptr;
}

bool is_number(const Cell* v) { return v && (v->is(TypeId::integer) || v->is(TypeId::float_)); }
bool is_point(const Cell* v) { return v && (v->is(TypeId::pair) || v->is(TypeId::point2d)); }

int64_t coordinate(double d) {
  if (std::isnan(d)) return 0;
  return static_cast<int64_t>(std::clamp(d, -2147483648.0, 2147483647.0));
}

struct Point {
  int64_t x = 0, y = 0;
};
Point point_of(const Cell* v) {
  if (v->is(TypeId::pair)) return {pair::x(v), pair::y(v)};
  return {coordinate(point2d::x(v)), coordinate(point2d::y(v))};
}
int64_t number_of(const Cell* v) { return v->is(TypeId::integer) ? v->integer() : coordinate(v->real()); }

// --- errors

// Thrown instead of a draw error while `system/view/silent?` is true; the
// executor's entry points stop it.
struct DrawStopped {};

bool silent() {
  Cell w = word::load("system");
  if (!w.context() || w.word_index() < 0) return false;
  const Cell* sys = context::get(&w);
  const Cell* view = face_field(sys, "view");
  const Cell* flag = face_field(view, "silent?");
  return flag && flag->is(TypeId::logic) && flag->logic();
}

[[noreturn]] void draw_error(ErrorCode code, const Cell* position) {
  if (silent()) throw DrawStopped{};
  fire(code, position);
}

// --- the drawing state

struct DrawState {
  DrawContext context;
  bool paint = true;  // false: an image's draw, which checks and paints nothing
  bool pen_on = true;
  uint32_t pen = 0;
  bool fill_on = false;
  uint32_t fill = 0;
  uint32_t text_colour = 0;
  bool font_colour = false;
};

// --- painting; coordinates are grid cells, already offset

bool inside(const DrawState& s, int64_t x, int64_t y) {
  const ClipRect& c = s.context.clip;
  return x >= c.left && x < c.right && y >= c.top && y < c.bottom;
}

void plot(const DrawState& s, int64_t x, int64_t y) {
  if (!inside(s, x, y)) return;
  if (ScreenCell* c = grid_cell(static_cast<int32_t>(x), static_cast<int32_t>(y))) {
    c->code_point = 0x2588;
    c->foreground = s.pen;
    c->attributes &= ~attr::continuation;
  }
}

// Fills cells [x0, x1] of a row with spaces on the fill colour.
void fill_span(const DrawState& s, int64_t x0, int64_t x1, int64_t y) {
  const ClipRect& c = s.context.clip;
  if (y < c.top || y >= c.bottom) return;
  for (int64_t x = std::max<int64_t>(x0, c.left); x <= std::min<int64_t>(x1, c.right - 1); x++)
    if (ScreenCell* cell = grid_cell(static_cast<int32_t>(x), static_cast<int32_t>(y))) {
      cell->code_point = ' ';
      cell->background = s.fill;
      cell->attributes &= ~attr::continuation;
    }
}

// A line by the midpoint rule: along the major axis, the minor coordinate
// of step i is the start's plus round(i * minor / major), halves rounding
// away from the start. Only the steps inside the clip are walked.
void draw_line(const DrawState& s, Point a, Point b) {
  const ClipRect& c = s.context.clip;
  int64_t dx = b.x - a.x, dy = b.y - a.y;
  bool x_major = std::llabs(dx) >= std::llabs(dy);
  int64_t major = x_major ? std::llabs(dx) : std::llabs(dy);
  int64_t minor = x_major ? std::llabs(dy) : std::llabs(dx);
  int64_t s_major = (x_major ? dx : dy) < 0 ? -1 : 1;
  int64_t s_minor = (x_major ? dy : dx) < 0 ? -1 : 1;
  int64_t start = x_major ? a.x : a.y;
  int64_t lo = x_major ? c.left : c.top, hi = (x_major ? c.right : c.bottom) - 1;
  if (lo > hi) return;
  // Steps whose major coordinate lies in [lo, hi].
  int64_t first = s_major > 0 ? lo - start : start - hi;
  int64_t last = s_major > 0 ? hi - start : start - lo;
  first = std::max<int64_t>(first, 0);
  last = std::min(last, major);
  for (int64_t i = first; i <= last; i++) {
    int64_t offset = major == 0 ? 0
                                : static_cast<int64_t>((static_cast<__int128>(2) * i * minor + major) /
                                                       (static_cast<__int128>(2) * major));
    int64_t m = start + s_major * i;
    int64_t n = (x_major ? a.y : a.x) + s_minor * offset;
    if (x_major) plot(s, m, n);
    else plot(s, n, m);
  }
}

void draw_box(const DrawState& s, Point a, Point b) {
  int64_t left = std::min(a.x, b.x), right = std::max(a.x, b.x);
  int64_t top = std::min(a.y, b.y), bottom = std::max(a.y, b.y);
  const ClipRect& c = s.context.clip;
  // The loops below walk only the rows and columns inside both the face
  // and the clip, so a box lying outside them costs nothing.
  left += s.context.x, right += s.context.x, top += s.context.y, bottom += s.context.y;
  int64_t x0 = std::max<int64_t>({left, s.context.x, c.left}), x1 = std::min<int64_t>(right, c.right - 1);
  int64_t y0 = std::max<int64_t>({top, s.context.y, c.top}), y1 = std::min<int64_t>(bottom, c.bottom - 1);
  for (int64_t y = y0; y <= y1; y++)
    for (int64_t x = x0; x <= x1; x++) {
      ScreenCell* cell = grid_cell(static_cast<int32_t>(x), static_cast<int32_t>(y));
      if (!cell) continue;
      if (s.fill_on) {
        cell->code_point = ' ';
        cell->background = s.fill;
        cell->attributes &= ~attr::continuation;
      }
      if (!s.pen_on) continue;
      bool l = x == left, r = x == right, t = y == top, b2 = y == bottom;
      uint32_t ch = t && l    ? 0x250C
                    : t && r  ? 0x2510
                    : b2 && l ? 0x2514
                    : b2 && r ? 0x2518
                    : l || r  ? 0x2502
                    : t || b2 ? 0x2500
                              : 0;
      if (!ch) continue;
      cell->code_point = ch;
      cell->foreground = s.pen;
      cell->attributes &= ~attr::continuation;
    }
}

// x on the edge a-b at row y, by linear interpolation truncated.
int64_t edge_x(Point a, Point b, int64_t y) {
  if (b.y == a.y) return a.x;
  return a.x + static_cast<int64_t>(static_cast<__int128>(b.x - a.x) * (y - a.y) / (b.y - a.y));
}

void draw_triangle(const DrawState& s, Point p[3]) {
  std::sort(p, p + 3, [](const Point& a, const Point& b) { return a.y < b.y; });
  if (s.fill_on) {
    const ClipRect& c = s.context.clip;
    int64_t y0 = std::max<int64_t>(p[0].y, c.top), y1 = std::min<int64_t>(p[2].y - 1, c.bottom - 1);
    for (int64_t y = y0; y <= y1; y++) {
      int64_t x_long = edge_x(p[0], p[2], y);
      int64_t x_short = y < p[1].y ? edge_x(p[0], p[1], y) : edge_x(p[1], p[2], y);
      fill_span(s, std::min(x_long, x_short), std::max(x_long, x_short), y);
    }
  }
  if (s.pen_on) {
    draw_line(s, p[0], p[1]);
    draw_line(s, p[1], p[2]);
    draw_line(s, p[2], p[0]);
  }
}

// An ellipse whose radii reach past kWalkRadius cells, drawn from its
// equation over the visible rows only, so that its cost is the clip's size
// whatever the radii. The cells of a row are those the midpoint walk gives
// it: where the curve is steep (it moves less than a cell across the row)
// the one cell nearest to it at the row's centre line; where it is flat,
// the cells from where it crosses the row's outer edge (y + 1/2 from the
// centre) to just before where it crosses the inner one (y - 1/2). The fill
// takes the cells between the two sides' outlines.
void draw_large_ellipse(const DrawState& s, Point centre, int64_t rx, int64_t ry) {
  const ClipRect& c = s.context.clip;
  // The curve's distance from the vertical axis at height t; 0 above the top.
  auto curve_x = [&](long double t) -> long double {
    const long double q = std::fabs(t) / static_cast<long double>(ry);
    return q < 1 ? static_cast<long double>(rx) * std::sqrt(1 - q * q) : 0;
  };
  // Plots centre.x + sign * x for the x of [lo, hi] that land in the clip.
  auto plot_run = [&](int64_t lo, int64_t hi, int64_t sign, int64_t row) {
    const int64_t a = sign * (c.left - centre.x), b = sign * (c.right - 1 - centre.x);
    for (int64_t x = std::max(lo, std::min(a, b)); x <= std::min(hi, std::max(a, b)); x++)
      plot(s, centre.x + sign * x, row);
  };
  const int64_t first = std::max<int64_t>(c.top, centre.y - ry);
  const int64_t last = std::min<int64_t>(c.bottom - 1, centre.y + ry);
  for (int64_t row = first; row <= last; row++) {
    const long double y = static_cast<long double>(row < centre.y ? centre.y - row : row - centre.y);
    const long double outer = curve_x(y + 0.5L), inner = curve_x(y - 0.5L);
    int64_t lo, hi;
    if (inner - outer < 1) {
      lo = hi = static_cast<int64_t>(std::floor(curve_x(y) + 0.5L));
    } else {
      lo = static_cast<int64_t>(std::ceil(outer));
      hi = static_cast<int64_t>(std::ceil(inner)) - 1;
    }
    if (s.fill_on) fill_span(s, centre.x - hi + 1, centre.x + hi - 1, row);
    if (s.pen_on) {
      plot_run(lo, hi, 1, row);
      plot_run(lo, hi, -1, row);
    }
  }
}

// An ellipse around a centre with radii in cells. Up to kWalkRadius cells
// by the midpoint method: the fill between the symmetric points of each row
// first, then the outline over it.
void draw_ellipse(const DrawState& s, Point centre, int64_t rx, int64_t ry) {
  if (!s.pen_on && !s.fill_on) return;
  if (rx > kWalkRadius || ry > kWalkRadius) return draw_large_ellipse(s, centre, rx, ry);
  std::vector<Point> points;  // one quadrant
  const double rx2 = static_cast<double>(rx) * static_cast<double>(rx);
  const double ry2 = static_cast<double>(ry) * static_cast<double>(ry);
  int64_t x = 0, y = ry;
  double dx = 0, dy = 2 * rx2 * static_cast<double>(y);
  double d1 = ry2 - rx2 * static_cast<double>(ry) + 0.25 * rx2;
  while (dx < dy) {
    points.push_back({x, y});
    x++;
    dx += 2 * ry2;
    if (d1 < 0) {
      d1 += dx + ry2;
    } else {
      y--;
      dy -= 2 * rx2;
      d1 += dx - dy + ry2;
    }
  }
  double xh = static_cast<double>(x) + 0.5, ym = static_cast<double>(y - 1);
  double d2 = ry2 * xh * xh + rx2 * ym * ym - rx2 * ry2;
  while (y >= 0) {
    points.push_back({x, y});
    y--;
    dy -= 2 * rx2;
    if (d2 > 0) {
      d2 += rx2 - dy;
    } else {
      x++;
      dx += 2 * ry2;
      d2 += dx - dy + rx2;
    }
  }
  if (s.fill_on)
    for (const Point& p : points) {
      fill_span(s, centre.x - p.x + 1, centre.x + p.x - 1, centre.y + p.y);
      fill_span(s, centre.x - p.x + 1, centre.x + p.x - 1, centre.y - p.y);
    }
  if (s.pen_on)
    for (const Point& p : points) {
      plot(s, centre.x + p.x, centre.y + p.y);
      plot(s, centre.x - p.x, centre.y + p.y);
      plot(s, centre.x + p.x, centre.y - p.y);
      plot(s, centre.x - p.x, centre.y - p.y);
    }
}

// A grid coordinate for the text drawer, far from int32's ends.
int32_t text_coordinate(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, -(1 << 30), 1 << 30)); }

void draw_string(const DrawState& s, Point at, const Cell* str) {
  TextStyle style;
  style.attributes = s.context.flags | render_flag::escapes;
  style.para = para_flag::wrap;
  style.foreground = s.font_colour ? s.text_colour : s.pen_on ? s.pen : 0;
  TextView view = text_view(str);
  draw_text(&view, text_coordinate(at.x), text_coordinate(at.y), s.context.clip, style);
}

void draw_face_text(const DrawState& s, Point at, const Cell* face) {
  TextStyle style;
  style.attributes = s.context.flags;
  style.para = get_para_flags(face);
  style.foreground = s.font_colour ? s.text_colour : s.pen_on ? s.pen : 0;
  const CellRun* run = nullptr;
  std::unique_ptr<CellRun> made;
  if (Widget* w = face_widget(face)) run = dynamic_cast<const CellRun*>(w->data.get());
  if (!run) {
    made = make_styled_run(face);
    run = made.get();
  }
  if (run && !run->cells.empty()) {
    style.run = &run->cells;
    draw_text(nullptr, text_coordinate(at.x), text_coordinate(at.y), s.context.clip, style);
  } else if (const Cell* text = face_field(face, "text"); text && text->is(TypeId::string)) {
    TextView view = text_view(text);
    draw_text(&view, text_coordinate(at.x), text_coordinate(at.y), s.context.clip, style);
  }
}

// --- the reader

void run_block(DrawState& s, const Cell* block);

// Walks one command block; each read value is checked in place.
class Reader {
 public:
  explicit Reader(const Cell* block) : block_(*block), n_(block::rs_length_q(block)) {}

  bool at_end() const { return i_ >= n_; }
  const Cell* peek() const { return i_ < n_ ? block::rs_head(const_cast<Cell*>(&block_)) + i_ : nullptr; }
  const Cell* take() {
    const Cell* v = peek();
    i_++;
    return v;
  }
  // The position of the next value (the tail when none is left).
  Cell position() const {
    Cell pos = block_;
    pos.set_head(block_.head() + std::min(i_, n_));
    return pos;
  }
  [[noreturn]] void fail() const {
    Cell pos = position();
    draw_error(ErrorCode::script_draw_invalid, &pos);
  }

  Point point() {
    if (!is_point(peek())) fail();
    return point_of(take());
  }
  bool maybe_point(Point* p = nullptr) {
    if (!is_point(peek())) return false;
    Point q = point_of(take());
    if (p) *p = q;
    return true;
  }
  // At least `min` points; returns how many were read.
  int32_t points(int32_t min, std::vector<Point>* out = nullptr) {
    int32_t count = 0;
    while (is_point(peek())) {
      Point p = point_of(take());
      if (out) out->push_back(p);
      count++;
    }
    if (count < min) fail();
    return count;
  }
  int64_t number() {
    if (!is_number(peek())) fail();
    return number_of(take());
  }
  bool maybe_number() {
    if (!is_number(peek())) return false;
    take();
    return true;
  }
  bool maybe_word(std::initializer_list<W> words) {
    if (!peek() || !is_one_of(peek(), words)) return false;
    take();
    return true;
  }
  void word(std::initializer_list<W> words) {
    if (!maybe_word(words)) fail();
  }
  const Cell* colour() {
    const Cell* v = peek();
    const Cell* t = v ? tuple_of(v) : nullptr;
    if (!t) fail();
    take();
    return t;
  }
  bool maybe_colour() {
    const Cell* v = peek();
    if (!v || !tuple_of(v)) return false;
    take();
    return true;
  }
  // A value of a type, or a word holding one.
  const Cell* value(TypeId t) {
    const Cell* v = peek();
    const Cell* found = v ? value_of_type(v, t) : nullptr;
    if (!found) fail();
    take();
    return found;
  }
  Cell block() {
    const Cell* v = peek();
    if (!v || !v->is(TypeId::block)) fail();
    Cell b = *take();
    return b;
  }
  bool maybe_block(Cell* out) {
    const Cell* v = peek();
    if (!v || !v->is(TypeId::block)) return false;
    *out = *take();
    return true;
  }

 private:
  Cell block_;
  int32_t i_ = 0;
  int32_t n_;
};

// `pen` and `fill-pen`: a colour, `off`, or a gradient, pattern or bitmap
// (checked and ignored). Answers the colour, or null.
const Cell* pen_argument(Reader& r, bool* off) {
  *off = false;
  if (r.maybe_word({W::off})) {
    *off = true;
    return nullptr;
  }
  if (r.maybe_word({W::linear, W::radial, W::diamond})) {
    // Points, numbers, colour stops and a spread word, in any order.
    while (is_point(r.peek()) || is_number(r.peek()) || (r.peek() && tuple_of(r.peek())) ||
           is_one_of(r.peek(), {W::pad, W::repeat, W::reflect}))
      r.take();
    return nullptr;
  }
  if (r.maybe_word({W::pattern})) {
    r.point();
    if (r.maybe_point()) r.point();
    r.block();
    return nullptr;
  }
  if (r.maybe_word({W::bitmap})) {
    r.value(TypeId::image);
    if (r.maybe_point()) r.point();
    r.maybe_word({W::tile, W::flip_x, W::flip_y, W::flip_xy, W::clamp});
    return nullptr;
  }
  return r.colour();
}

// A `shape` block: its commands are checked.
void check_shape(const Cell* block) {
  Reader r(block);
  while (!r.at_end()) {
    switch (word_id(r.peek())) {
      case W::move:
        r.take(), r.point();
        break;
      case W::line:
      case W::curve:
      case W::curv:
      case W::qcurve:
      case W::qcurv:
        r.take(), r.points(1);
        break;
      case W::hline:
      case W::vline:
        r.take(), r.number();
        break;
      case W::arc:
        r.take(), r.point();
        for (int k = 0; k < 3 && r.maybe_number(); k++) {
        }
        r.maybe_word({W::sweep});
        r.maybe_word({W::large});
        break;
      case W::close:
        r.take();
        break;
      default:
        r.fail();
    }
  }
}

// The optional `pen` or `fill-pen` of a transformation.
void transform_target(Reader& r) { r.maybe_word({W::pen, W::fill_pen}); }

// A transformation's optional command block, run with the same state.
void nested_commands(DrawState& s, Reader& r) {
  Cell b;
  if (r.maybe_block(&b)) run_block(s, &b);
}

void command(DrawState& s, Reader& r, W id) {
  Point origin{s.context.x, s.context.y};
  auto offset = [origin](Point p) { return Point{p.x + origin.x, p.y + origin.y}; };
  switch (id) {
    case W::pen: {
      bool off = false;
      if (const Cell* c = pen_argument(r, &off)) {
        s.pen = tuple_cell_colour(c);
        s.pen_on = true;
        if (!s.font_colour) s.text_colour = s.pen;
      } else if (off) {
        s.pen_on = false;
      }
      return;
    }
    case W::fill_pen: {
      bool off = false;
      if (const Cell* c = pen_argument(r, &off)) {
        s.fill = tuple_cell_colour(c);
        s.fill_on = true;
      } else if (off) {
        s.fill_on = false;
      }
      return;
    }
    case W::line: {
      std::vector<Point> pts;
      r.points(2, &pts);
      if (!s.paint || !s.pen_on) return;
      for (size_t k = 0; k + 1 < pts.size(); k++) draw_line(s, offset(pts[k]), offset(pts[k + 1]));
      return;
    }
    case W::box: {
      Point a = r.point(), b = r.point();
      r.maybe_number();
      if (s.paint) draw_box(s, a, b);
      return;
    }
    case W::triangle: {
      Point p[3] = {offset(r.point()), offset(r.point()), offset(r.point())};
      if (s.paint) draw_triangle(s, p);
      return;
    }
    case W::polygon:
      r.points(3);
      return;
    case W::circle: {
      Point centre = r.point();
      int64_t radius = r.number();
      r.maybe_number();
      if (radius < 1) return;
      if (s.paint) draw_ellipse(s, offset(centre), 2 * radius, radius);
      return;
    }
    case W::ellipse: {
      Point top_left = r.point();
      Point size = r.point();
      if (size.x < 1 || size.y < 1) return;
      int64_t rx = static_cast<int64_t>((static_cast<double>(size.x) + 0.5) / 2);
      int64_t ry = static_cast<int64_t>((static_cast<double>(size.y) + 0.5) / 2);
      if (s.paint) draw_ellipse(s, offset(Point{top_left.x + rx, top_left.y + ry}), rx, ry);
      return;
    }
    case W::text: {
      Point at = offset(r.point());
      const Cell* v = r.peek();
      if (!v || !(v->is(TypeId::string) || v->is(TypeId::object))) r.fail();
      Cell value = *r.take();
      if (!s.paint) return;
      if (value.is(TypeId::string)) draw_string(s, at, &value);
      else draw_face_text(s, at, &value);
      return;
    }
    case W::font: {
      const Cell* font = r.value(TypeId::object);
      const Cell* colour = face_field(font, "color");
      s.font_colour = colour && colour->is(TypeId::tuple);
      if (s.font_colour) s.text_colour = tuple_cell_colour(colour);
      return;
    }
    case W::anti_alias:
      if (!r.peek() || !r.peek()->is(TypeId::word)) r.fail();
      r.take();
      return;
    case W::arc:
      r.point(), r.point(), r.number(), r.number();
      r.maybe_word({W::closed});
      return;
    case W::curve:
      r.point(), r.point(), r.point();
      r.maybe_point();
      return;
    case W::spline:
      r.points(2);
      r.maybe_word({W::closed});
      return;
    case W::image:
      r.value(TypeId::image);
      for (int k = 0; k < 4 && r.maybe_point(); k++) {
      }
      r.maybe_colour();
      r.maybe_word({W::border});
      if (r.maybe_word({W::crop})) r.point(), r.point();
      return;
    case W::line_width:
      r.number();
      return;
    case W::line_join:
      r.word({W::miter, W::miter_bevel, W::round, W::bevel});
      return;
    case W::line_cap:
      r.word({W::square, W::flat, W::round});
      return;
    case W::line_pattern:
      r.number();
      while (r.maybe_number()) {
      }
      return;
    case W::shadow:
      if (r.maybe_word({W::off})) return;
      r.point();
      for (int k = 0; k < 2 && r.maybe_number(); k++) {
      }
      r.maybe_colour();
      r.maybe_word({W::inset});
      return;
    case W::clip: {
      if (r.maybe_word({W::shape})) {
        Cell shape = r.block();
        check_shape(&shape);
      } else if (r.peek() && r.peek()->is(TypeId::block)) {
        Cell shape = r.block();
        check_shape(&shape);
      } else {
        r.point(), r.point();
      }
      r.maybe_word({W::replace, W::intersect, W::union_, W::xor_, W::exclude});
      nested_commands(s, r);
      return;
    }
    case W::shape: {
      Cell shape = r.block();
      check_shape(&shape);
      return;
    }
    case W::rotate:
      transform_target(r);
      r.number();
      r.maybe_point();
      nested_commands(s, r);
      return;
    case W::scale:
      transform_target(r);
      r.number(), r.number();
      nested_commands(s, r);
      return;
    case W::translate:
      transform_target(r);
      r.point();
      nested_commands(s, r);
      return;
    case W::skew:
      transform_target(r);
      r.number();
      r.maybe_number();
      nested_commands(s, r);
      return;
    case W::transform:
      transform_target(r);
      r.maybe_point();
      r.number(), r.number(), r.number();
      r.point();
      nested_commands(s, r);
      return;
    case W::push: {
      Cell b = r.block();
      run_block(s, &b);
      return;
    }
    case W::matrix: {
      Cell m = r.block();
      Reader numbers(&m);
      while (!numbers.at_end()) numbers.number();
      return;
    }
    case W::reset_matrix:
    case W::invert_matrix:
      transform_target(r);
      return;
    default:
      r.fail();
  }
}

void run_block(DrawState& s, const Cell* block) {
  uint32_t id = cycle_guard::identity(block);
  if (cycle_guard::find(id)) draw_error(ErrorCode::script_draw_infinite, block);
  cycle_guard::Scope guard(id);
  Reader r(block);
  while (!r.at_end()) {
    const Cell* v = r.peek();
    switch (v->type()) {
      case TypeId::word: {
        W cmd = word_id(v);
        if (cmd == W::none || cmd >= W::off) r.fail();
        r.take();
        command(s, r, cmd);
        break;
      }
      case TypeId::set_word: {
        Cell w = *r.take();
        Cell rest = r.position();
        context::set_in(&w, &rest, w.context(), false);
        break;
      }
      case TypeId::block: {
        Cell nested = *r.take();
        run_block(s, &nested);
        break;
      }
      default:
        r.fail();
    }
  }
}

// Runs a block from the top: the stack's top is kept, and a silenced draw
// error ends the run.
void run_top(DrawState& s, const Cell* block) {
  Cell* base = stack::top;
  Cell b = *block;
  try {
    run_block(s, &b);
  } catch (const DrawStopped&) {
  }
  stack::top = base;
}

// --- routines

Cell* arg(int i) { return stack::arguments + i; }
Cell* result() { return stack::arguments; }

void r_os_text_box_metrics() {
  Cell out;
  text_box_metrics(arg(0), arg(1), arg(2)->integer(), &out);
  *result() = out;
}

void r_os_do_draw() {
  do_draw_on_image(arg(1));
  set_none(result());
}

// One character per cell for the dump: a colour's place in the legend
// ("1" to "9"), "." for the default colour, "?" for another.
char legend_mark(uint32_t colour, const std::vector<uint32_t>& legend) {
  if (colour == 0) return '.';
  for (size_t k = 0; k < legend.size() && k < 9; k++)
    if (legend[k] == colour) return static_cast<char>('1' + k);
  return '?';
}

// Draws a block on a grid of its own, as a face at 0x0 of that size, and
// answers the grid as three blocks of lines: the characters, the
// foregrounds and the backgrounds marked by the legend's colours.
void r_draw_dump() {
  int32_t columns = pair::x(arg(0)), rows = pair::y(arg(0));
  if (columns < 1 || rows < 1 || columns > 1000 || rows > 1000) fire(ErrorCode::script_invalid_arg, arg(0));
  std::vector<uint32_t> legend;
  Cell* legend_block = arg(2);
  for (int32_t k = 0; k < block::rs_length_q(legend_block); k++) {
    const Cell* v = block::rs_head(legend_block) + k;
    if (v->is(TypeId::tuple)) legend.push_back(tuple_cell_colour(v));
  }

  // The live grid is put aside for the draw and back on every way out.
  ScreenState& scr = screen();
  struct Swap {
    ScreenState& scr;
    std::vector<ScreenCell> grid;
    int32_t width, height;
    explicit Swap(ScreenState& s) : scr(s), grid(std::move(s.grid)), width(s.width), height(s.height) {}
    ~Swap() {
      scr.grid = std::move(grid);
      scr.width = width;
      scr.height = height;
    }
  } swap(scr);
  scr.grid.assign(static_cast<size_t>(columns) * static_cast<size_t>(rows), ScreenCell{' ', 0, 0, 0});
  scr.width = columns;
  scr.height = rows;

  DrawState s;
  s.context.clip = ClipRect{0, 0, columns, rows};
  Cell cmds = *arg(1);
  run_top(s, &cmds);

  Cell* out = stack::push_slot();
  block::make_at(out, 3);
  for (int part = 0; part < 3; part++) {
    Cell* lines = stack::push_slot();
    block::make_at(lines, rows);
    for (int32_t y = 0; y < rows; y++) {
      std::string line;
      for (int32_t x = 0; x < columns; x++) {
        const ScreenCell& c = scr.grid[static_cast<size_t>(y) * static_cast<size_t>(columns) + static_cast<size_t>(x)];
        if (part == 0) {
          if (c.attributes & attr::continuation) continue;
          uint32_t cp = c.code_point ? c.code_point : ' ';
          // A lone surrogate has no UTF-8 form: one U+FFFD, as the
          // terminal is sent (its bytes read back as three).
          if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
          uint8_t bytes[4];
          int k = unicode::encode_utf8_char(cp, bytes);
          line.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(k));
        } else {
          line += legend_mark(part == 1 ? c.foreground : c.background, legend);
        }
      }
      Cell* str = stack::push_slot();
      string::make_utf8(str, line);
      block::rs_append(lines, str);
      stack::top--;
    }
    block::rs_append(out, lines);
    stack::top--;
  }
  *result() = *out;
}

constexpr library::RoutineDef kRoutines[] = {
    {"gui/OS-text-box-metrics", r_os_text_box_metrics,
     R"spec("Lays a face's text out in cells and answers a metric" face [object!] arg [any-type!] type [integer!])spec",
     TypeId::none_id},
    {"gui/OS-do-draw", r_os_do_draw,
     R"spec("Runs draw commands for an image (checked, nothing painted)" image [image!] cmds [block!])spec",
     TypeId::none_id},
    {"gui/draw-dump", r_draw_dump,
     R"spec("Draws commands on a grid of their own: its characters, foregrounds and backgrounds as lines" size [pair!] cmds [block!] legend [block!] return: [block!])spec",
     TypeId::block},
};

}  // namespace

const Cell* tuple_of(const Cell* v) { return value_of_type(v, TypeId::tuple); }

void run_draw(DrawContext& context, const Cell* block) {
  DrawState s;
  s.context = context;
  run_top(s, block);
}

void do_draw_on_image(const Cell* block) {
  if (block::rs_length_q(block) <= 0) return;
  DrawState s;
  s.paint = false;
  run_top(s, block);
}

void init_draw() {
  run_draw_block = run_draw;
#ifdef QEL_GUI_HAS_WIDGETS
  build_rich_text = build_styled_text;
#endif
}

namespace {
// Render-face runs draw blocks here from the start (both hooks are
// constant-initialised to null before this runs).
const bool hooked = (init_draw(), true);
}  // namespace

std::span<const library::RoutineDef> draw_routines() {
  init_draw();
  return kRoutines;
}

}  // namespace qel::gui
