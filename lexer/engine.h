// The lexer's internal interface, shared by the scan engine
// (engine.cpp), the token loaders (loaders.cpp) and the number
// scanners (numbers.cpp). Not for use outside the lexer: the public
// entry points are in lexer/lexer.h.
//
// A run's state (`LexerState`) holds positions as indices: byte offsets into
// the run's input text and cell indices into the shared cell stack. The input
// text is either a scratch copy owned by the run or, when no callback can run
// Qel code during the scan, the bytes of the input series themselves (nothing
// can move them then). The cell stack is one growable array shared by every
// active run; a nested run (started from an event callback) appends after the
// enclosing run's tail.
#pragma once

#include <cstdint>
#include <string_view>

#include "lexer/lexer.h"
#include "lexer/tables.h"
#include "core/cell.h"
#include "core/errors.h"

namespace qel::lexer {

// Loaders either only check a token or build its value.
enum class Check : uint8_t { only, load };

struct LexerState {
  LexerState* back = nullptr;  // the enclosing run
  LexerState* next = nullptr;  // a run started from inside this one

  // Cell stack indices: this run's first cell, the first cell of the series
  // being built (just after its marker), and the next free cell.
  uint32_t buffer = 0;
  uint32_t head = 0;
  uint32_t tail = 0;
  // After a syntax error: how many top-level values the run had completed
  // (they stay in the cell stack from `buffer` while the error is raised).
  uint32_t completed = 0;

  // The UTF-8 input: text[0 .. input_end). `input` is the current position,
  // `token_end` the end of the last token.
  const uint8_t* text = nullptr;
  uint32_t input_end = 0;
  uint32_t input = 0;
  uint32_t token_end = 0;
  uint32_t token_start = 0;

  int32_t line = 1;     // line of the last token (first line is 1)
  int32_t nlines = 0;   // line feeds since the previous token ended
  int32_t scanned = -1; // a type a loader sets for error reports (-1 before each token)
  int32_t type = 0;     // type of the last token
  int entry = 0;        // state the next scan starts in: 0, 4, 35 or 59
  int exit = 0;         // last scanning state before the terminal state
  int32_t closing = 0;  // type of the series whose closer an error report names
  int32_t prev_type = 0;

  uint32_t mstr_start = 0;  // open braced string: its "{"
  int32_t mstr_nest = 0;    // brace depth
  uint32_t mstr_flags = 0;  // flags gathered over its tokens
  int32_t point_nlines = 0;

  EventSink* callback = nullptr;
  uint32_t events = 0;
  Cell input_series{};       // given to the callback; marked while the run lives
  bool string_input = false; // positions for events and `consumed` count characters
  bool direct = false;       // text is the input series' own bytes (ASCII, 1-byte units)
  bool load = true;          // values are built (neither prescan nor scan)
  bool checks = true;        // tokens are checked by their loaders (not prescan)
  bool one = false;

  uint32_t char_cache_at = 0;     // last byte position converted to a character offset
  uint32_t char_cache_count = 0;  // and that offset
  uint32_t resume = UINT32_MAX;   // where a callback moved the input, or none
};

// --- the shared cell stack

struct CellStack {
  Cell* cells = nullptr;
  uint32_t capacity = 0;
};
extern CellStack cell_stack;

inline Cell* cell_at(uint32_t index) { return cell_stack.cells + index; }

// Appends an unset cell at tail (growing the stack) and returns it; it carries
// the new-line flag when line feeds preceded the token. Pointers into the stack
// are valid until the next append.
Cell* alloc_slot(LexerState& s);

// Marker cells (triple!): data1 = cells between the enclosing series' head
// and the marker, data2 = the opened type in the low 16 bits and a comma count
// in the high 16 bits, data3 = byte offset of the opening delimiter.
inline bool is_marker(const Cell* c) { return c->is(TypeId::triple); }
inline TypeId marker_type(const Cell* c) { return static_cast<TypeId>(c->data2 & 0xFFFF); }
inline uint32_t marker_commas(const Cell* c) { return c->data2 >> 16; }
// The marker of the series being built, or null at the top level.
inline Cell* open_marker(const LexerState& s) {
  return s.head > s.buffer ? cell_at(s.head - 1) : nullptr;
}

// --- engine operations used by the scanners and loaders

// Raises the lexer error of a kind: a datatype id (syntax error `invalid`
// naming it), -1 `bad-char`, -2 `malconstruct`, -3/-4 `missing`. When not
// loading it only marks the token as error!. Throws in every case.
[[noreturn]] void throw_error(LexerState& s, uint32_t start, uint32_t end, int32_t kind);
[[noreturn]] inline void throw_error(LexerState& s, uint32_t start, uint32_t end, TypeId kind) {
  throw_error(s, start, end, static_cast<int32_t>(kind));
}

// Tests replace this to see the arguments of the syntax errors the lexer
// raises (it must not return); null means `fire`.
using SyntaxRaiser = void (*)(ErrorCode code, const Cell* arg1, const Cell* arg2, const Cell* arg3);
extern SyntaxRaiser raise_syntax;

// Fires an event at the callback (when it takes that event); false vetoes.
bool fire_event(LexerState& s, Event event, int32_t type, const Cell* value, uint32_t start,
                uint32_t end);

// Opens a series (false when a callback vetoed it: nothing is opened).
bool open_series(LexerState& s, TypeId type, uint32_t start, uint32_t end);
// Closes the series being built with a closer of `type`; `forced` skips the
// close event and takes the marker's type.
void close_series(LexerState& s, uint32_t start, uint32_t end, TypeId type, bool forced);
// Looks at the byte after a path element and closes or continues the path.
void close_path(LexerState& s);

// Byte offset -> character offset of the input (bytes for binary input).
uint32_t char_offset(LexerState& s, uint32_t byte_pos);

// The type of the single value a UTF-8 text holds, or none_id (installed as
// the words' scan hook).
TypeId scan_type(std::string_view text);

// True when no run is active and the scratch buffer is wholly free (tests).
bool idle();

// --- token handlers (loaders.cpp, numbers.cpp)

// Scanners handle the structural classes 1-13; loaders the value classes
// 14-36, either checking or building.
using Scanner = void (*)(LexerState& s, uint32_t start, uint32_t end, uint32_t flags);
using Loader = void (*)(LexerState& s, uint32_t start, uint32_t end, uint32_t flags, Check mode);

struct ClassRow {
  Scanner scanner;
  Loader loader;
};
// Indexed by token class; filled by `init`.
extern ClassRow class_rows[kTokenClassCount];
void install_builtin_handlers();
// Generation of the loaders' word cache; a new run increments it.
extern uint32_t word_cache_generation;

// True when the byte at `pos` ends its token as part of it (a closing quote,
// bracket, brace or ">"), so scanning resumes one byte later.
bool ends_inside(const LexerState& s, int cls, uint32_t start, uint32_t end);

// Construction syntax "#(...)" (a scanner: it builds its value when loading).
void scan_construct(LexerState& s, uint32_t start, uint32_t end, uint32_t flags);
// The end of a raw string token starting at `start` (one past its closing
// "%" run); raises the `string!` lexer error when it has none.
uint32_t rawstring_end(LexerState& s, uint32_t start);

// The loaders shared by other loaders and by the engine.
void load_word(LexerState& s, uint32_t start, uint32_t end, uint32_t flags, Check mode);
void load_integer(LexerState& s, uint32_t start, uint32_t end, uint32_t flags, Check mode);
void load_float(LexerState& s, uint32_t start, uint32_t end, uint32_t flags, Check mode);
void load_percent(LexerState& s, uint32_t start, uint32_t end, uint32_t flags, Check mode);
void load_float_special(LexerState& s, uint32_t start, uint32_t end, uint32_t flags, Check mode);
void load_hex(LexerState& s, uint32_t start, uint32_t end, uint32_t flags, Check mode);

// Unicode spaces inside words: the first position at or after `start` that
// does not begin a Unicode space, and the first that does (or `end`).
uint32_t skip_unicode_spaces(LexerState& s, uint32_t start, uint32_t end, TypeId kind);
uint32_t find_unicode_space(LexerState& s, uint32_t start, uint32_t end, TypeId kind);

// --- value builders

// Makes `dst` a new string-like value of `type` from UTF-8 text. Invalid UTF-8
// returns false (the caller raises its error); with `lenient` every invalid
// byte becomes U+FFFD instead.
bool make_text_value(Cell* dst, TypeId type, const uint8_t* utf8, uint32_t len, bool lenient);
// Makes `dst` a new series of cells of `type` holding copies of n cells.
void make_cell_series(Cell* dst, TypeId type, const Cell* cells, uint32_t n);

// Decodes one UTF-8 sequence at text[pos..end) by the runtime's one rule
// (unicode::decode_utf8_sequence): the code point, or -1 when malformed or
// cut off by `end`. `len` receives the sequence length (1 when invalid).
int32_t decode_utf8(const uint8_t* text, uint32_t pos, uint32_t end, uint32_t* len);

// Converts text to a double with correct rounding; false when the text is not
// a number or the result overflows.
bool text_to_double(const char* text, uint32_t len, double* out);

}  // namespace qel::lexer
