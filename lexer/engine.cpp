// The lexer's scan engine: the run records and their buffers, the token
// loop, nesting of series through marker cells, events, lexer errors and the
// entry points (`scan`, `load_string`, `transcode`, `load_first_value`,
// `load_first_of`).
//
// The token loop feeds one byte at a time through the class and transition
// tables until a terminal state names the token class, then hands the token
// to its scanner (structure: brackets, braces, paths, comments) or loader
// (values). Lexer errors travel as a NonLocalExit of level::lexer, which the
// loop stops; syntax errors leave through `fire` (level::error) and pass
// through every run, whose RAII guard gives its buffers back.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lexer/engine.h"
#include "core/stack.h"
#include "memory/collector.h"
#include "memory/series.h"
#include "core/unwind.h"
#include "core/errors.h"
#include "datatypes/word.h"

namespace qel::lexer {

CellStack cell_stack;
ClassRow class_rows[kTokenClassCount];

namespace {

constexpr uint32_t kInitialCells = 1000;
constexpr uint32_t kScratchSize = 100000;

// The chain of active runs (innermost last).
LexerState* innermost = nullptr;

// The shared UTF-8 scratch buffer, used as a stack by nested runs.
uint8_t* scratch = nullptr;
uint32_t scratch_top = 0;

bool initialised = false;

[[noreturn]] void out_of_memory() { fire(ErrorCode::internal_no_memory); }

void mark_runs() {
  if (!innermost) return;
  collector::mark_cells(cell_stack.cells, cell_stack.cells + innermost->tail);
  for (LexerState* s = innermost; s; s = s->back) {
    collector::mark_cell(&s->input_series);
    if (s->callback) s->callback->mark();
  }
}

// UTF-8 room for one run: taken from the shared buffer when it fits, else a
// heap block of its own. Given back when the run ends, however it ends.
class ScratchBlock {
 public:
  explicit ScratchBlock(uint64_t size) {
    if (size <= kScratchSize - scratch_top) {
      data_ = scratch + scratch_top;
      taken_ = static_cast<uint32_t>(size);
      scratch_top += taken_;
    } else {
      if (size > 0xFFFFFFF0u) out_of_memory();
      data_ = static_cast<uint8_t*>(std::malloc(size));
      if (!data_) out_of_memory();
      heap_ = true;
    }
  }
  ~ScratchBlock() {
    if (heap_) std::free(data_);
    else scratch_top -= taken_;
  }
  ScratchBlock(const ScratchBlock&) = delete;
  ScratchBlock& operator=(const ScratchBlock&) = delete;
  uint8_t* data() { return data_; }

 private:
  uint8_t* data_ = nullptr;
  uint32_t taken_ = 0;
  bool heap_ = false;
};

// Links a run at the end of the chain and unlinks it on every exit path.
class RunGuard {
 public:
  explicit RunGuard(LexerState& s) : s_(s) {
    s.back = innermost;
    if (innermost) innermost->next = &s;
    s.buffer = s.head = s.tail = innermost ? innermost->tail : 0;
    innermost = &s;
  }
  ~RunGuard() {
    innermost = s_.back;
    if (innermost) innermost->next = nullptr;
  }
  RunGuard(const RunGuard&) = delete;
  RunGuard& operator=(const RunGuard&) = delete;

 private:
  LexerState& s_;
};

bool is_lexer_exit(const NonLocalExit& e) { return e.level == level::lexer; }

[[noreturn]] void lexer_throw() { throw NonLocalExit{level::lexer}; }

// Byte position from a character offset (string input) or byte offset.
uint32_t byte_pos(LexerState& s, uint32_t offset) {
  if (!s.string_input || s.direct) return std::min(offset, s.input_end);
  uint32_t pos = 0, count = 0;
  while (pos < s.input_end && count < offset) {
    pos++;
    while (pos < s.input_end && (s.text[pos] & 0xC0) == 0x80) pos++;
    count++;
  }
  return pos;
}

// The near text of an error: up to 30 bytes of whole characters from `pos`,
// stopping before a line feed.
void near_text(LexerState& s, uint32_t pos, Cell* out) {
  uint32_t end = pos;
  while (end < s.input_end && end - pos < 30 && s.text[end] != '\n') {
    uint32_t len = 1;
    if (decode_utf8(s.text, end, s.input_end, &len) < 0) len = 1;
    if (end + len - pos > 30) break;
    end += len;
  }
  make_text_value(out, TypeId::string, s.text + pos, end - pos, true);
}

void line_text(int32_t line, Cell* out) {
  char buf[32];
  int n = std::snprintf(buf, sizeof buf, "(line %d)", line);
  make_text_value(out, TypeId::string, reinterpret_cast<const uint8_t*>(buf),
                  static_cast<uint32_t>(n), true);
}

// Drops the path markers (and their cells) at the top of the nesting.
void drop_open_paths(LexerState& s) {
  while (Cell* m = open_marker(s)) {
    if (!is_any_path(marker_type(m))) break;
    uint32_t mi = s.head - 1;
    s.head = mi - m->data1;
    s.tail = mi;
  }
  Cell* m = open_marker(s);
  s.entry = (m && is_any_path(marker_type(m))) ? 59 : 0;
}

// Grows the cell stack so that one more cell fits.
void grow_stack() {
  uint64_t cap = uint64_t{cell_stack.capacity} * 2;
  if (cap < kInitialCells) cap = kInitialCells;
  if (cap > 0x7FFFFFF) out_of_memory();
  void* p = std::realloc(static_cast<void*>(cell_stack.cells), cap * sizeof(Cell));
  if (!p) out_of_memory();
  cell_stack.cells = static_cast<Cell*>(p);
  cell_stack.capacity = static_cast<uint32_t>(cap);
}

// `lexer/point-ahead?`: a "(" that opens a point literal. The blanks skipped
// are those of a point's body (tab, space, carriage return).
bool point_ahead(const LexerState& s, uint32_t paren) {
  uint32_t p = paren + 1;
  if (s.input_end - p <= 3) return false;
  for (; p < s.input_end; p++) {
    uint8_t b = s.text[p];
    if (b == '\t' || b == ' ' || b == '\r' || b == '#' || b == '+' || b == '-' || b == '.' ||
        (b >= '0' && b <= '9'))
      continue;
    switch (b) {
      case 'A': case 'E': case 'F': case 'I': case 'N':
      case 'a': case 'e': case 'f': case 'i': case 'n':
        continue;
      default:
        return b == ',';
    }
  }
  return true;
}

// --- scanners of the structural classes

// A NUL byte reads as the end of the input. Before the real end it ends the
// text only when nothing but NULs and white space follow it (padding); a NUL
// with more text after it is an invalid character, so that the rest is not
// dropped without a word.
void scan_eof(LexerState& s, uint32_t, uint32_t end, uint32_t) {
  for (uint32_t p = end; p < s.input_end; p++) {
    int cls = kClassTable[s.text[p]] & 0xFF;
    if (cls != c_end && cls != c_blank && cls != c_line && cls != c_control) {
      s.input = end + 1;
      throw_error(s, end, end + 1, -1);
    }
  }
  s.input = s.input_end;
}

void scan_error(LexerState& s, uint32_t start, uint32_t end, uint32_t) {
  int32_t kind = -1;
  if (s.exit < kStateCount && kTypeTable[s.exit] != 0) kind = kTypeTable[s.exit];
  uint32_t pos = start;
  if (s.entry == 4) pos = s.mstr_start;
  TypeId t = static_cast<TypeId>(kind > 0 ? kind : 0);
  if (t == TypeId::block || t == TypeId::paren || is_any_path(t)) {
    if (Cell* m = open_marker(s)) pos = m->data3;
  }
  if (s.entry == 4) {
    // The braced string is abandoned with its token.
    s.entry = 0;
    s.mstr_nest = 0;
    s.mstr_flags = 0;
  }
  throw_error(s, pos, end, kind);
}

void scan_open(LexerState& s, uint32_t start, uint32_t end, uint32_t) {
  bool paren = s.text[end] == '(';
  if (paren && point_ahead(s, end)) {
    s.point_nlines = s.nlines;
    s.type = 0;
    s.entry = 35;
    s.input = end + 1;
    return;
  }
  s.input = end + 1;
  open_series(s, paren ? TypeId::paren : TypeId::block, start, end);
}

void scan_block_close(LexerState& s, uint32_t start, uint32_t end, uint32_t) {
  s.input = end + 1;
  close_series(s, start, end, TypeId::block, false);
}

void scan_paren_close(LexerState& s, uint32_t start, uint32_t end, uint32_t) {
  s.input = end + 1;
  close_series(s, start, end, TypeId::paren, false);
}

void scan_map_open(LexerState& s, uint32_t start, uint32_t end, uint32_t) {
  s.input = end + 1;
  if (s.text[start] != '#') throw_error(s, start, end, TypeId::map);
  open_series(s, TypeId::map, start, end);
}

void scan_mstring_open(LexerState& s, uint32_t start, uint32_t end, uint32_t flags) {
  s.input = end + 1;
  if (s.mstr_nest == 0) {
    s.mstr_start = end;
    s.mstr_flags = 0;
    if (s.nlines > 0) s.mstr_flags |= flag::multiline;
    fire_event(s, Event::open, static_cast<int32_t>(TypeId::string), nullptr, end, end + 1);
  }
  (void)start;
  s.mstr_nest++;
  s.mstr_flags |= flags;
  s.entry = 4;
  s.type = 0;
}

void scan_mstring_close(LexerState& s, uint32_t start, uint32_t end, uint32_t flags) {
  s.input = end + 1;
  s.mstr_nest--;
  if (s.mstr_nest > 0) {
    s.mstr_flags |= flags;
    s.type = 0;
    if (end + 1 >= s.input_end) {
      uint32_t from = s.mstr_start;
      s.entry = 0;
      s.mstr_nest = 0;
      throw_error(s, from, s.input_end, TypeId::string);
    }
    return;
  }
  uint32_t open = s.mstr_start;
  uint32_t all_flags = flags | s.mstr_flags;
  s.mstr_start = 0;
  s.mstr_flags = 0;
  s.mstr_nest = 0;
  s.entry = 0;
  s.type = static_cast<int32_t>(TypeId::string);
  fire_event(s, Event::close, s.type, nullptr, open, end + 1);
  Loader loader = class_rows[t_string].loader;
  // The loader sees the text between the outer braces.
  if (!s.checks) return;
  bool loading = s.load;
  bool ok = true;
  if (!loading || (s.callback && (s.events & static_cast<uint32_t>(Event::scan)))) {
    loader(s, open, end, all_flags, Check::only);
    ok = fire_event(s, Event::scan, s.type, nullptr, open, end + 1);
  }
  if (loading && ok) {
    loader(s, open, end, all_flags, Check::load);
    s.input = end + 1;
    if (s.callback && !fire_event(s, Event::load, s.type, cell_at(s.tail - 1), open, end + 1))
      s.tail--;
  }
  s.input = end + 1;
  (void)start;
}

void scan_path(LexerState& s, uint32_t start, uint32_t end, uint32_t flags) {
  // The token is the first element and its "/".
  TypeId type = TypeId::path;
  uint32_t first = start;
  if (s.text[start] == '\'') type = TypeId::lit_path, first++;
  else if (s.text[start] == ':') type = TypeId::get_path, first++;
  bool opened = open_series(s, type, start, end);
  if (opened) s.nlines = 0;
  s.type = static_cast<int32_t>(TypeId::word);
  s.scanned = static_cast<int32_t>(TypeId::word);
  if (first >= end) throw_error(s, start, end, TypeId::path);
  if (s.checks) {
    uint32_t f = flags & ~flag::colon;
    bool ok = true;
    if (s.callback) {
      load_word(s, first, end, f, Check::only);
      ok = fire_event(s, Event::scan, s.type, nullptr, first, end);
    }
    if (ok && s.load) {
      load_word(s, first, end, f, Check::load);
      if (s.callback && !fire_event(s, Event::load, s.type, cell_at(s.tail - 1), first, end))
        s.tail--;
    }
  }
  // Without a path (a callback vetoed it) the rest scans as separate values.
  s.entry = opened ? 59 : 0;
  s.input = end + 1;
  s.type = 0;
}

void scan_comment(LexerState& s, uint32_t start, uint32_t end, uint32_t) {
  s.input = end;
  s.type = 0;
  if (s.callback)
    fire_event(s, Event::scan, -static_cast<int32_t>(t_comment), nullptr, start, end);
}

void scan_comma(LexerState& s, uint32_t start, uint32_t end, uint32_t) {
  s.input = end + 1;
  Cell* m = open_marker(s);
  if (m && marker_type(m) == TypeId::paren) {
    m->data2 += 0x10000;
    return;
  }
  throw_error(s, start, end, TypeId::point2d);
}

}  // namespace

// --- shared operations

Cell* alloc_slot(LexerState& s) {
  if (s.tail >= cell_stack.capacity) grow_stack();
  Cell* c = cell_at(s.tail++);
  set_unset(c);
  if (s.nlines > 0) c->set_flag(cell_flag::new_line);
  return c;
}

uint32_t char_offset(LexerState& s, uint32_t pos) {
  if (!s.string_input || s.direct) return pos;
  uint32_t at = s.char_cache_at, count = s.char_cache_count;
  if (pos >= at) {
    for (uint32_t p = at; p < pos; p++)
      if ((s.text[p] & 0xC0) != 0x80) count++;
  } else {
    for (uint32_t p = pos; p < at; p++)
      if ((s.text[p] & 0xC0) != 0x80) count--;
  }
  s.char_cache_at = pos;
  s.char_cache_count = count;
  return count;
}

bool fire_event(LexerState& s, Event event, int32_t type, const Cell* value, uint32_t start,
                uint32_t end) {
  if (!s.callback || !(s.events & static_cast<uint32_t>(event))) return true;
  EventInfo info{};
  info.event = event;
  info.type = type;
  info.line = s.line;
  uint32_t at = (event == Event::open || (event == Event::prescan && type <= 0)) ? start : end;
  info.token_start = char_offset(s, std::min(start, s.input_end));
  info.token_end = char_offset(s, std::min(end, s.input_end));
  info.input = char_offset(s, std::min(at, s.input_end));
  Cell copy{};
  if (value) {
    copy = *value;
    info.value = &copy;
  }
  uint32_t before = info.input;
  bool result = s.callback->on_event(info);
  if (info.input != before) s.resume = byte_pos(s, info.input);
  return result;
}

SyntaxRaiser raise_syntax = nullptr;

namespace {
[[noreturn]] void raise(ErrorCode code, const Cell* a, const Cell* b, const Cell* c = nullptr) {
  if (raise_syntax) raise_syntax(code, a, b, c);
  fire(code, a, b, c);
}
}  // namespace

void throw_error(LexerState& s, uint32_t start, uint32_t end, int32_t kind) {
  if (!s.load) {
    s.type = static_cast<int32_t>(TypeId::error);
    lexer_throw();
  }
  start = std::min(start, s.input_end);
  uint32_t pos = start;
  if (Cell* m = open_marker(s)) {
    if (is_any_path(marker_type(m))) pos = m->data3;
  }
  if (s.callback && (s.events & static_cast<uint32_t>(Event::error))) {
    int32_t t = kind >= 1                     ? kind
                : s.closing != 0              ? s.closing
                : s.type > 0                  ? s.type
                : s.scanned > 0               ? s.scanned
                                              : static_cast<int32_t>(TypeId::error);
    Cell* m = open_marker(s);
    if (m && is_any_path(marker_type(m))) drop_open_paths(s);
    bool raise = fire_event(s, Event::error, t, nullptr, pos, std::max(end, pos));
    if (!raise) {
      s.closing = 0;
      lexer_throw();
    }
  }
  if (s.closing != 0 && is_any_path(static_cast<TypeId>(s.closing))) kind = -1;
  if (kind == 0) kind = -1;

  // Raise the syntax error. The open series are abandoned first so that the
  // run's cells need not be well formed any more; the top-level values
  // completed before them are counted (a run loading into a block keeps
  // them there).
  uint32_t first_marker = s.tail;  // with nothing open, every value is complete
  for (uint32_t h = s.head; h > s.buffer;) {
    first_marker = h - 1;
    h = first_marker - cell_at(first_marker)->data1;
  }
  s.completed = first_marker - s.buffer;
  s.head = s.buffer;
  s.tail = first_marker;  // (kept marked while the error is raised)
  Cell line_cell, near_cell;
  line_text(s.line, &line_cell);
  near_text(s, pos, &near_cell);
  if (kind == -1) raise(ErrorCode::syntax_bad_char, &line_cell, &near_cell);
  if (kind == -2) raise(ErrorCode::syntax_malconstruct, &line_cell, &near_cell);
  if (kind == -3 || kind == -4) {
    TypeId closing = static_cast<TypeId>(s.closing);
    uint8_t at = s.input < s.input_end ? s.text[s.input] : 0;
    uint32_t ch;
    if (closing == TypeId::paren || closing == TypeId::point2d || closing == TypeId::point3d)
      ch = at == ')' ? '(' : ')';
    else
      ch = at == ']' ? '[' : ']';
    Cell char_cell;
    set_char(&char_cell, ch);
    raise(ErrorCode::syntax_missing, &line_cell, &char_cell, &near_cell);
  }
  Cell type_cell;
  TypeId named = static_cast<TypeId>(kind);
  if (!type_name(named)) named = TypeId::error;
  set_datatype(&type_cell, named);
  raise(ErrorCode::syntax_invalid, &line_cell, &type_cell, &near_cell);
}

bool open_series(LexerState& s, TypeId type, uint32_t start, uint32_t end) {
  if (Cell* m = open_marker(s)) {
    if (marker_type(m) == TypeId::paren && marker_commas(m) > 0)
      throw_error(s, start, end, TypeId::point2d);
  }
  if (!fire_event(s, Event::open, static_cast<int32_t>(type), nullptr, start, end + 1))
    return false;
  uint32_t index = s.tail;
  Cell* m = alloc_slot(s);
  m->header = (m->header & cell_flag::new_line) | static_cast<uint32_t>(TypeId::triple);
  m->data1 = index - s.head;
  m->data2 = static_cast<uint32_t>(type);
  m->data3 = start;
  s.head = s.tail;
  s.entry = 0;
  return true;
}

namespace {

MapMaker map_maker = nullptr;

bool closer_matches(TypeId open, TypeId closer) {
  if (open == closer) return true;
  if (open == TypeId::map && closer == TypeId::block) return true;
  if (closer == TypeId::set_path) return open == TypeId::path;
  if (is_any_path(open) && is_any_path(closer)) return open == closer;
  return false;
}

}  // namespace

void close_series(LexerState& s, uint32_t start, uint32_t end, TypeId type, bool forced) {
  Cell* m = open_marker(s);
  if (!m) {
    s.closing = static_cast<int32_t>(type);
    s.input = end;  // the report names the closer found here
    throw_error(s, start, end, -3);
  }
  TypeId open = marker_type(m);
  if (!forced && !closer_matches(open, type)) {
    s.closing = static_cast<int32_t>(open);
    s.input = end;
    throw_error(s, start, end, -3);
  }
  uint32_t opened_at = m->data3;
  if (!forced) {
    int32_t t = static_cast<int32_t>(open == TypeId::map ? TypeId::map : type);
    if (!fire_event(s, Event::close, t, nullptr, opened_at, end + 1)) {
      s.entry = 0;
      return;
    }
  }
  TypeId result = forced ? open : type;
  if (open == TypeId::map) result = TypeId::map;
  uint32_t mi = s.head - 1;
  m = cell_at(mi);
  uint32_t enclosing = mi - m->data1;
  uint32_t count = s.tail - s.head;
  if (marker_type(m) == TypeId::paren && marker_commas(m) > 0) {
    // A point built from expressions needs the point datatype's loader.
    s.closing = 0;
    throw_error(s, start, end, TypeId::point2d);
  }
  if (s.load) {
    Cell made;
    if (result == TypeId::map) {
      if (count % 2 != 0 || !map_maker ||
          !map_maker(cell_at(s.head), count, &made))
        throw_error(s, opened_at, end, TypeId::map);
    } else {
      make_cell_series(&made, result, cell_at(s.head), count);
    }
    m = cell_at(mi);
    uint32_t keep = m->header & cell_flag::new_line;
    *m = made;
    m->header = (m->header & ~cell_flag::new_line) | keep;
    s.tail = mi + 1;
  } else {
    s.tail = mi;
  }
  s.head = enclosing;
  s.type = static_cast<int32_t>(result);
  Cell* outer = open_marker(s);
  s.entry = (outer && is_any_path(marker_type(outer))) ? 59 : 0;
}

void close_path(LexerState& s) {
  Cell* open = open_marker(s);
  if (!open || !is_any_path(marker_type(open))) {
    s.entry = 0;  // the path was never opened (a callback vetoed it)
    return;
  }
  uint32_t p = s.input;
  if (p >= s.input_end) {
    close_series(s, p, p, TypeId::path, true);
    return;
  }
  uint8_t b = s.text[p];
  int cls = kClassTable[b] & 0xFF;
  if (cls == c_slash) {
    if (p + 1 >= s.input_end) throw_error(s, p, p + 1, TypeId::path);
    s.input = p + 1;
    return;
  }
  if (cls == c_colon) {
    if (p + 1 < s.input_end && s.text[p + 1] == '/') throw_error(s, p, p + 1, TypeId::path);
    s.input = p + 1;
    Cell* m = open_marker(s);
    TypeId open = marker_type(m);
    if (open != TypeId::path) throw_error(s, p, p + 1, TypeId::path);
    close_series(s, p, p, TypeId::set_path, false);
    return;
  }
  switch (cls) {
    case c_blank: case c_line: case c_block_open: case c_block_close: case c_paren_open:
    case c_paren_close: case c_brace_open: case c_dquote: case c_less: case c_semicolon:
    case c_word_char: case c_invalid: case c_end: {
      Cell* m = open_marker(s);
      close_series(s, p, p, marker_type(m), false);
      return;
    }
    default:
      throw_error(s, p, p + 1, TypeId::path);
  }
}

bool ends_inside(const LexerState& s, int cls, uint32_t start, uint32_t end) {
  switch (cls) {
    case t_block_open: case t_block_close: case t_paren_open: case t_paren_close:
    case t_mstring_open: case t_mstring_close: case t_map_open: case t_construct:
    case t_string: case t_char: case t_binary: case t_point: case t_tag: case t_percent:
      return true;
    case t_file:
      return end > start + 1 && s.text[start + 1] == '"';
    default:
      return false;
  }
}

// --- the token loop

namespace {

void run_scanner(LexerState& s, int cls, uint32_t start, uint32_t end, uint32_t flags) {
  class_rows[cls].scanner(s, start, end, flags);
}

void handle_value_token(LexerState& s, int cls, uint32_t start, uint32_t end, uint32_t flags) {
  Loader loader = class_rows[cls].loader;
  bool scan_event = s.callback && (s.events & static_cast<uint32_t>(Event::scan));
  if (!s.checks) {
    // Prescan: the type comes from the tables; only words refine it.
    if (cls == t_word || cls == t_issue) loader(s, start, end, flags, Check::only);
    s.input = ends_inside(s, cls, start, end) ? end + 1 : std::max(s.input, end);
    if (scan_event) fire_event(s, Event::scan, s.type, nullptr, start, end);
    return;
  }
  bool ok = true;
  if (!s.load || scan_event) {
    loader(s, start, end, flags, Check::only);
    int32_t t = s.type;
    uint32_t from = cls == t_point ? start - 1 : start;
    if (scan_event) ok = fire_event(s, Event::scan, t, nullptr, from, s.input);
  }
  if (s.load && ok) {
    uint32_t before = s.tail;
    loader(s, start, end, flags, Check::load);
    if (s.callback && s.tail > before &&
        !fire_event(s, Event::load, static_cast<int32_t>(cell_at(s.tail - 1)->type()),
                    cell_at(s.tail - 1), start, s.input))
      s.tail--;
  }
}

void scan_tokens(LexerState& s) {
  const uint8_t* text = s.text;
  uint32_t last_begin = UINT32_MAX;
  for (;;) {
    if (s.input >= s.input_end) break;
    // A token vetoed or dropped without a byte consumed (a NUL taken as the
    // end of input, an empty error token) must not be met again.
    if (s.input == last_begin && s.resume == UINT32_MAX) s.input++;
    if (s.input >= s.input_end) break;
    last_begin = s.input;
    s.resume = UINT32_MAX;
    uint32_t p = s.input;
    const uint32_t end = s.input_end;
    int state = s.entry, prev = state;
    uint32_t flags = 0, start = p;
    // Line feeds before the token (`leading`) give its value the new-line
    // marker; those inside it (a raw string, a tag, a binary written over
    // several lines) only advance the line count.
    int32_t lines = 0, leading = 0;
    if (state == 0) {
      // Leading blanks: the table would keep state 0 for each of them.
      for (; p < end; p++) {
        uint8_t b = text[p];
        if (b == '\n') lines++;
        else if (b != ' ' && b != '\t' && b != '\r') break;
      }
      start = p;
      leading = lines;
    }
    for (; p < end; p++) {
      uint32_t c = kClassTable[text[p]];
      flags |= c;
      int cls = static_cast<int>(c & 0xFF);
      prev = state;
      state = kTransitions[state * kClassCount + cls];
      if (state >= kTerminalBase) break;
      lines += line_increment(cls);
      if (skips(state)) {
        start = p + 1;
        leading = lines;
      }
    }
    if (p >= end && state < kTerminalBase) {
      prev = state;
      state = kTransitions[state * kClassCount + c_end];
      flags |= flag::end;
    }
    flags &= ~0xFFu;
    int cls = state - kTerminalBase;
    s.token_start = start;
    s.input = s.token_end = p;
    s.nlines = leading;
    s.line += lines;
    s.exit = prev;
    s.scanned = -1;
    s.type = kTypeTable[state];

    if (cls == t_word && text[start] >= 0x80) {
      uint32_t first = skip_unicode_spaces(s, start, p, TypeId::word);
      if (first >= p) {
        if (p >= end) {
          cls = t_eof;
          s.type = 0;
        } else {
          continue;
        }
      }
      start = first;
      s.token_start = start;
    }

    if (s.callback && (s.events & static_cast<uint32_t>(Event::prescan)) && s.entry != 4 &&
        !(cls == t_paren_open && point_ahead(s, p))) {
      int32_t t = s.type != 0 ? s.type : -cls;
      uint32_t from = start, to = p;
      if (cls == t_point) from = start > 0 ? start - 1 : 0, to = p + 1;
      if (!fire_event(s, Event::prescan, t, nullptr, from, to)) {
        s.input = ends_inside(s, cls, start, p) ? p + 1 : p;
        if (s.resume != UINT32_MAX) s.input = s.resume;
        continue;
      }
    }

    try {
      if (cls == t_rawstring || (cls == t_error && s.exit >= 10 && s.exit <= 12)) {
        // Raw strings end at a "}" followed by as many "%" as opened them,
        // which the tables alone cannot count.
        uint32_t real = rawstring_end(s, start);
        for (uint32_t q = p; q < real; q++) s.line += text[q] == '\n';
        p = real;
        cls = t_rawstring;
        s.type = static_cast<int32_t>(TypeId::string);
        s.input = s.token_end = p;
      }
      if (cls <= t_comma) {
        run_scanner(s, cls, start, p, flags);
      } else {
        handle_value_token(s, cls, start, p, flags);
      }
    } catch (const NonLocalExit& e) {
      if (!is_lexer_exit(e)) throw;
      s.closing = 0;
      if (s.entry == 59) drop_open_paths(s);
      if (s.entry == 35) s.entry = 0;
      s.input = std::max(ends_inside(s, cls, start, p) ? p + 1 : p, s.input);
      if (s.input > s.input_end) s.input = s.input_end;
      if (s.input == start && s.input < s.input_end) s.input++;  // always move on
      // A check of one token (/scan, /next) or a prescan ends at a bad
      // token: its answer is error!, not the type of a later token.
      if ((s.one && !s.load) || !s.checks) return;
      if (s.resume != UINT32_MAX) s.input = s.resume;
      s.prev_type = s.type;
      continue;
    }

    if (s.entry == 59 && cls != t_path && cls != t_error) {
      try {
        close_path(s);
      } catch (const NonLocalExit& e) {
        if (!is_lexer_exit(e)) throw;
        drop_open_paths(s);
        if ((s.one && !s.load) || !s.checks) return;
      }
    }
    if (s.resume != UINT32_MAX) s.input = s.resume;

    if ((s.one || !s.checks) && s.type > 0 && s.entry != 59 && s.entry != 4 && s.entry != 35) {
      uint32_t n = s.tail - s.buffer;
      if (n == 0 || (n == 1 && !is_marker(cell_at(s.buffer)))) return;
    }
    s.prev_type = s.type;
  }

  if (s.entry == 4 && s.mstr_nest > 0) {
    uint32_t from = s.mstr_start;
    s.entry = 0;
    s.mstr_nest = 0;
    try {
      throw_error(s, from, s.input_end, TypeId::string);
    } catch (const NonLocalExit& e) {
      if (!is_lexer_exit(e)) throw;
    }
  }
}

// Puts the run's top-level values where the caller wants them.
void deliver(LexerState& s, Cell* dst, const ScanOptions& o) {
  uint32_t n = s.tail - s.buffer;
  const Cell* first = cell_at(s.buffer);
  if (o.one && !o.block) {
    if (n > 0) *dst = *first;
    else set_none(dst);
    return;
  }
  if (o.one) n = std::min<uint32_t>(n, 1);
  if (o.into && is_any_block(o.into->type())) {
    Node node = o.into->node();
    for (uint32_t i = 0; i < n; i++) {
      Cell v = *cell_at(s.buffer + i);
      *append_slot(node) = v;
    }
    *dst = *o.into;
    return;
  }
  make_cell_series(dst, TypeId::block, first, n);
}

bool all_ascii(const uint8_t* p, uint32_t n);

ScanResult run(Cell* dst, const uint8_t* text, uint32_t length, const ScanOptions& o,
               bool string_input, bool direct) {
  init();
  word_cache_generation++;
  LexerState s;
  RunGuard guard(s);
  s.text = text;
  s.input_end = length;
  s.one = o.one;
  s.load = o.load && o.output;
  s.checks = o.load;
  s.callback = o.callback;
  s.events = o.callback ? o.callback->events() : 0;
  if (o.input_series) s.input_series = *o.input_series;
  else set_none(&s.input_series);
  s.string_input = string_input;
  // ASCII text counts characters as it counts bytes (the callback's positions
  // need no walk over the text, which made closing deep nesting quadratic).
  s.direct = direct || (string_input && all_ascii(text, length));

  ScanResult result{0, 0, false};
  bool absorbed = false;
  try {
    scan_tokens(s);
    // A series left open at the end of the input.
    if (Cell* m = open_marker(s)) {
      if (!s.checks && is_any_path(marker_type(m))) {
        s.type = static_cast<int32_t>(marker_type(m));
      } else {
        uint32_t at = m->data3;
        if (is_any_path(marker_type(m))) {
          throw_error(s, at, s.input_end, TypeId::path);
        }
        s.closing = static_cast<int32_t>(marker_type(m));
        s.input = s.input_end;
        throw_error(s, at, s.input_end, -4);
      }
    }
  } catch (const NonLocalExit& e) {
    if (!is_lexer_exit(e)) {
      // A syntax error: a run loading into a block leaves there the values
      // it completed before the error (load/trap gives them with the error).
      if (s.load && o.into && is_any_block(o.into->type()) && s.completed > 0 &&
          e.level == level::error) {
        s.tail = s.buffer + s.completed;
        Cell kept;
        deliver(s, &kept, o);
      }
      s.tail = s.buffer;
      throw;
    }
    absorbed = s.load;
    s.tail = s.buffer;
  }
  result.type = s.type;
  result.consumed = char_offset(s, std::min(s.input, s.input_end));
  result.absorbed = absorbed;
  if (!s.load) {
    set_none(dst);
    return result;
  }
  if (absorbed) {
    set_none(dst);
    return result;
  }
  deliver(s, dst, o);
  return result;
}

bool all_ascii(const uint8_t* p, uint32_t n) {
  uint64_t acc = 0;
  uint32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    acc |= w;
  }
  for (; i < n; i++) acc |= p[i];
  return (acc & 0x8080808080808080ull) == 0;
}

// Encodes `count` characters of `unit` bytes as UTF-8; returns the byte length.
uint32_t encode_utf8(const uint8_t* src, uint32_t count, uint32_t unit, uint8_t* out) {
  uint8_t* o = out;
  for (uint32_t i = 0; i < count; i++) {
    uint32_t cp;
    if (unit == 1) cp = src[i];
    else if (unit == 2) {
      uint16_t v;
      std::memcpy(&v, src + 2 * i, 2);
      cp = v;
    } else {
      std::memcpy(&cp, src + 4 * i, 4);
    }
    if (cp < 0x80) {
      *o++ = static_cast<uint8_t>(cp);
    } else if (cp < 0x800) {
      *o++ = static_cast<uint8_t>(0xC0 | (cp >> 6));
      *o++ = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *o++ = static_cast<uint8_t>(0xE0 | (cp >> 12));
      *o++ = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
      *o++ = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    } else {
      if (cp > 0x10FFFF) cp = 0xFFFD;
      *o++ = static_cast<uint8_t>(0xF0 | (cp >> 18));
      *o++ = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
      *o++ = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
      *o++ = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    }
  }
  return static_cast<uint32_t>(o - out);
}

// Characters from a series cell's head to its tail.
uint32_t series_rest(const Cell* c) {
  SeriesBuffer* b = memory::series(c->node());
  uint32_t len = b->length();
  uint32_t head = static_cast<uint32_t>(std::max(c->head(), 0));
  return head < len ? len - head : 0;
}

}  // namespace

// The type of the one value a text holds, or none_id when it holds another
// count of values or an invalid one (words ask this to mold their spelling).
TypeId scan_type(std::string_view text) {
  Cell out;
  ScanOptions o;
  o.one = true;
  o.output = false;
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  uint32_t len = static_cast<uint32_t>(text.size());
  ScanResult r = scan(&out, p, len, o);
  if (r.type <= 0 || r.type == static_cast<int32_t>(TypeId::error) || r.consumed != len)
    return TypeId::none_id;
  return static_cast<TypeId>(r.type);
}

// --- entry points

void init() {
  if (initialised) return;
  initialised = true;
  grow_stack();
  scratch = static_cast<uint8_t*>(std::malloc(kScratchSize));
  if (!scratch) out_of_memory();
  class_rows[t_eof].scanner = scan_eof;
  class_rows[t_error].scanner = scan_error;
  class_rows[t_block_open].scanner = scan_open;
  class_rows[t_block_close].scanner = scan_block_close;
  class_rows[t_paren_open].scanner = scan_open;
  class_rows[t_paren_close].scanner = scan_paren_close;
  class_rows[t_mstring_open].scanner = scan_mstring_open;
  class_rows[t_mstring_close].scanner = scan_mstring_close;
  class_rows[t_map_open].scanner = scan_map_open;
  class_rows[t_path].scanner = scan_path;
  class_rows[t_construct].scanner = scan_construct;
  class_rows[t_comment].scanner = scan_comment;
  class_rows[t_comma].scanner = scan_comma;
  install_builtin_handlers();
  collector::add_mark_callback(mark_runs);
  word::scan_hook = scan_type;
}

void register_map_maker(MapMaker maker) { map_maker = maker; }

bool idle() { return innermost == nullptr && scratch_top == 0; }

ScanResult scan(Cell* dst, const uint8_t* src, uint32_t length, const ScanOptions& options) {
  bool string_input = options.input_series && is_any_string(options.input_series->type());
  if (options.callback) {
    // A callback may run Qel code, which may move series: scan a copy.
    ScratchBlock copy(uint64_t{length} + 1);
    if (length) std::memcpy(copy.data(), src, length);
    copy.data()[length] = 0;
    return run(dst, copy.data(), length, options, string_input, false);
  }
  return run(dst, src, length, options, string_input, string_input);
}

ScanResult load_string(Cell* dst, const Cell* string, int32_t length, const ScanOptions& options) {
  init();
  uint32_t rest = series_rest(string);
  uint32_t count = length < 0 ? rest : std::min<uint32_t>(rest, static_cast<uint32_t>(length));
  SeriesBuffer* b = memory::series(string->node());
  uint32_t unit = b->unit();
  const uint8_t* src = b->head_ptr() + uint64_t{static_cast<uint32_t>(string->head())} * unit;
  ScanOptions o = options;
  Cell series_cell = *string;
  if (!o.input_series) o.input_series = &series_cell;
  if (unit == 1 && !o.callback && all_ascii(src, count)) {
    return run(dst, src, count, o, true, true);
  }
  uint64_t worst = uint64_t{count} * (unit == 1 ? 2 : unit == 2 ? 3 : 4) + 1;
  ScratchBlock block(worst);
  uint32_t len = encode_utf8(src, count, unit, block.data());
  block.data()[len] = 0;
  return run(dst, block.data(), len, o, true, false);
}

void transcode(Cell* result, const Cell* src, const TranscodeOptions& t) {
  init();
  bool binary = src->is(TypeId::binary);
  int64_t limit = -1;
  if (t.part) {
    if (t.part->is(TypeId::integer)) {
      limit = t.part->integer();
    } else if (t.part->type() == src->type() && t.part->node() == src->node()) {
      limit = int64_t{t.part->head()} - src->head();
    } else {
      fire(ErrorCode::script_not_same_type);
    }
    if (limit < 0) limit = 0;
  }
  uint32_t rest = series_rest(src);
  // A /part length is clamped to what is left from the head.
  uint32_t count = limit < 0 ? rest : static_cast<uint32_t>(std::min<int64_t>(limit, rest));

  ScanOptions o;
  o.one = t.next || t.one || t.scan;
  o.load = !t.prescan;
  o.output = !t.scan;
  o.callback = t.trace;
  o.input_series = src;
  o.into = t.into;

  bool scan_only = t.prescan || t.scan;
  bool pair = t.next && (!t.one || t.scan);
  Cell out;
  set_none(&out);
  collector::Root keep;
  ScanResult r{0, 0, false};
  uint32_t skipped = 0;
  if (scan_only && count == 0) {
    set_none(result);
    return;
  }
  if (binary) {
    SeriesBuffer* b = memory::series(src->node());
    const uint8_t* p = b->head_ptr() + static_cast<uint32_t>(std::max(src->head(), 0));
    if (count >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
      p += 3;
      count -= 3;
      skipped = 3;
    }
    r = scan(keep.get(), p, count, o);
  } else {
    r = load_string(keep.get(), src, static_cast<int32_t>(count), o);
  }
  out = *keep;
  if (scan_only) {
    if (r.type == 0) set_none(&out);
    else set_datatype(&out, static_cast<TypeId>(r.type));
  }
  if (pair) {
    Cell rest_cell = *src;
    rest_cell.set_head(src->head() + static_cast<int32_t>(r.consumed + skipped));
    Cell two[2] = {out, rest_cell};
    make_cell_series(&out, TypeId::block, two, 2);
  }
  if (t.into && !scan_only && !o.one) *result = *t.into;
  else *result = out;
}

const Cell* load_first_value(Cell* dst, const Cell* text) {
  ScanOptions o;
  o.one = true;
  o.block = true;
  load_string(dst, text, -1, o);
  SeriesBuffer* b = memory::series(dst->node());
  if (b->length() == 0) return nullptr;
  return b->cells();
}

bool load_first_of(Cell* out, const Cell* text, TypeId type) {
  Cell* loaded = stack::push_slot();
  set_none(loaded);
  const Cell* first = load_first_value(loaded, text);
  const bool found = first != nullptr && first->is(type);
  if (found) {
    *out = *first;
    out->clear_flag(cell_flag::new_line);
  }
  stack::pop(1);
  return found;
}

}  // namespace qel::lexer
