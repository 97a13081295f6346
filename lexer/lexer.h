// The lexer: UTF-8 text to Qel values.
//
// A table-driven scan (lexer/tables.h) cuts the input into tokens;
// each token class has a loader that checks the token and builds its value
// (lexer/loaders.cpp, lexer/numbers.cpp). Values collect on
// a lexer-owned cell stack, where blocks, parens, maps and paths nest through
// marker cells until their closer turns them into a series.
//
// Every entry point raises syntax errors as Qel errors (`fire`) unless an
// event callback absorbs them. The lexer's buffers are given back on every
// exit path, errors included, and the collector marks what a run holds, so a
// callback may evaluate Qel code (and start a nested run) safely.
#pragma once

#include <cstdint>

#include "core/cell.h"

namespace qel::lexer {

// Lexer events and their bits in an event mask.
enum class Event : uint32_t { prescan = 1, scan = 2, load = 4, open = 8, close = 16, error = 32 };
inline constexpr uint32_t kAllEvents = 63;

// What a callback receives for one event. Positions count characters for
// string input and bytes for binary input, from the start of the scanned
// text (0-based; add the series head and 1 for Qel's positions).
struct EventInfo {
  Event event;
  // A datatype id (> 0), 0 for none, or minus the token class for a token
  // without a datatype (the position in system/lexer/exit-states).
  int32_t type;
  int32_t line;
  // The input position handed to the callback: the token start for `open` and
  // for `prescan` of a token without a datatype, else the token end. A
  // callback that changes it moves the scan to that position.
  uint32_t input;
  uint32_t token_start;
  uint32_t token_end;
  // For `load`: a copy of the loaded value; otherwise null.
  const Cell* value;
};

// The receiver of lexer events (the `transcode/trace` native wraps a Qel
// function in one; the console's delimiter check is another).
class EventSink {
 public:
  virtual ~EventSink() = default;
  // The events this sink takes (bits of Event).
  virtual uint32_t events() const { return kAllEvents; }
  // Handles one event; the result is the truth of the callback's answer:
  // false vetoes a token (prescan), skips its load (scan), drops its value
  // (load), skips an open or close, or drops a bad token (error); true on an
  // error lets the syntax error be raised.
  virtual bool on_event(EventInfo& info) = 0;
  // Marks the values the sink holds; called by the collector during a run.
  virtual void mark() {}
};

struct ScanOptions {
  bool one = false;     // stop after the first complete top-level value
  bool load = true;     // false for transcode/prescan: token types from the tables only
  bool output = true;   // false for transcode/scan: tokens checked, nothing built
  bool block = false;   // with `one`: wrap the value in a block
  EventSink* callback = nullptr;
  // The series handed to the callback's events (string! or binary!); none
  // when absent. Its type decides whether positions count characters.
  const Cell* input_series = nullptr;
  // A block to append the top-level values to, instead of a new block.
  const Cell* into = nullptr;
};

struct ScanResult {
  // Type of the last token handled: a datatype id (error! for an invalid
  // token in /scan and /prescan), or 0.
  int32_t type;
  // Characters (string input) or bytes (binary input) consumed.
  uint32_t consumed;
  // True when a syntax error at the end was absorbed by the callback (the
  // output is then none).
  bool absorbed;
};

// Scans `length` bytes of UTF-8 at `src`. `dst` receives a new block! of all
// top-level values (or `into` with them appended), or with `one` the first
// value (none when there is none), or a block holding it with `block`.
// `dst` must be a cell the collector sees (a stack slot or a root).
ScanResult scan(Cell* dst, const uint8_t* src, uint32_t length, const ScanOptions& options);

// The same for a string! (any unit size) from its head: `length` characters,
// or -1 for all up to the tail.
ScanResult load_string(Cell* dst, const Cell* string, int32_t length, const ScanOptions& options);

// `transcode src /next /one /prescan /scan /part length /into dst /trace cb`
// as a C++ function: `src` is a string! or binary!; `part` is null, an
// integer! count or a position in the same series (else script error
// `not-same-type`); `into` a block or null. `result` receives what the native
// returns.
struct TranscodeOptions {
  bool next = false;
  bool one = false;
  bool prescan = false;
  bool scan = false;
  const Cell* part = nullptr;
  const Cell* into = nullptr;
  EventSink* trace = nullptr;
};
void transcode(Cell* result, const Cell* src, const TranscodeOptions& options);

// Loads the text of a string-like cell into `dst` as a block holding its first
// value; returns that value's cell inside the block, or null when the text
// holds none. Syntax errors are raised.
const Cell* load_first_value(Cell* dst, const Cell* text);
// The conversions from text (to date!, time!, tuple!, pair!, the points):
// loads the text's first value into `out` (its new-line marker cleared) when
// it is of `type`; false, with `out` untouched, when the text holds no value
// or another one first. Syntax errors are raised.
bool load_first_of(Cell* out, const Cell* text, TypeId type);

// Number scanning for conversions of text (to integer!, to float!). `text`
// points at `count` characters of `unit` bytes each (1, 2 or 4); `*error`
// receives 0 on success or a negative code.
//  scan_integer: optional sign, digits, "'" skipped; another character gives
//    -1 and the value so far; a 32-bit overflow gives -2 and 0.
//  scan_float_text: a number token of at most 312 characters ("," read as
//    "."); failure gives -1 and NaN.
int32_t scan_integer(const void* text, int32_t count, int unit, int32_t* error);
double scan_float_text(const void* text, int32_t count, int unit, int32_t* error);

// True when the bytes form a valid float text (at most 312 bytes).
bool float_syntax_q(const uint8_t* text, uint32_t len);

// Start-up: allocates the cell stack and scratch buffer, installs the loaders
// and registers the collector's mark callback. Safe to call more than once.
void init();

// --- loaders of datatypes that register after the lexer

// Token classes whose values belong to datatypes with their own modules. Each
// module installs its loader at start-up with `register_loader`; until then
// such a token is a syntax error naming its type.
enum class LateClass : uint8_t {
  tuple = 25,
  date = 26,
  pair = 27,
  point = 28,  // "(x, y)" and "(x, y, z)"
  time = 29,
  money = 30,
};

// Flags OR-ed together over the bytes of a token (bits above the class byte).
namespace flag {
inline constexpr uint32_t multiline = 0x20000;  // a braced string whose "{" followed a line feed
inline constexpr uint32_t percent = 0x40000;
inline constexpr uint32_t greater = 0x80000;
inline constexpr uint32_t less = 0x100000;
inline constexpr uint32_t sign = 0x200000;
inline constexpr uint32_t end = 0x400000;
inline constexpr uint32_t sharp = 0x800000;
inline constexpr uint32_t exponent = 0x1000000;
inline constexpr uint32_t quote = 0x2000000;
inline constexpr uint32_t colon = 0x4000000;
inline constexpr uint32_t comma = 0x8000000;
inline constexpr uint32_t dot = 0x10000000;
inline constexpr uint32_t caret = 0x20000000;
inline constexpr uint32_t wide = 0x40000000;   // a two- or three-byte UTF-8 sequence
inline constexpr uint32_t wider = 0x80000000;  // a four-byte UTF-8 sequence
}  // namespace flag

// A loader receives the token's UTF-8 bytes [text, text + len), its flag word
// (the flags above) and whether to build the value. It returns true when the
// token is valid, after writing the value into `out` when `build` is set; false
// makes the token a syntax error naming the class's type. It must not
// evaluate Qel code.
struct LateToken {
  const uint8_t* text;
  uint32_t len;
  uint32_t flags;
  int32_t nlines;
};
using LateLoader = bool (*)(const LateToken& token, bool build, Cell* out);
void register_loader(LateClass cls, LateLoader loader);

// Makes a map! from the values between "#[" and "]" (an even count of keys
// and values); returns false when a key is not valid (the lexer then raises
// the `map!` syntax error). Installed by the map! module.
using MapMaker = bool (*)(const Cell* cells, uint32_t count, Cell* out);
void register_map_maker(MapMaker maker);

}  // namespace qel::lexer
