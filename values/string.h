// string!: storage and character access.
//
// A string value is a cell: data1 = head (index of its first character,
// counted in characters from the start of the buffer's used data), data2 =
// node of the buffer, data3 = node of its conversion buffer (UTF-8/UTF-16
// output scratch; 0 until first used, and 0 in every string a constructor
// makes). file!, url!, tag!, email!, ref! share the representation.
//
// Characters are stored with 1, 2 or 4 bytes each, chosen per buffer (the
// buffer's unit): unit 1 holds 0-0xFF, unit 2 holds 0-0xFFFF, unit 4 any code
// point, all little-endian. A buffer only widens (1->2, 1->4, 2->4), never
// narrows, except that `rs_reset` sets an emptied buffer back to unit 1.
// Appending a code point of 0x80 or more to a unit-1 buffer widens it to 2
// bytes, while writing, inserting or overwriting keeps 1 byte up to 0xFF.
//
// Writers take a SeriesBuffer* and return the buffer to use afterwards
// (widening and growing may replace it; the node always leads to the
// current one). Several values may share one buffer at different heads; a
// head past the tail is legal in a value and is clamped by the routines that
// say so.
//
// Output convention of form and mold: every type's form/mold function
// appends to a shared string! buffer and takes and returns a character
// budget (the limit in, the limit less what it appended out; 2147483647 when
// there is no /part). `emit` and `emit_char` below are the usual way to
// append and account in one step; the entry points cut the buffer to the
// limit at the end (`truncate_buffer`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "memory/series.h"
#include "values/cell.h"

namespace qel::string {

inline constexpr int32_t kNoLimit = 0x7FFFFFFF;

// --- cells and buffers

inline SeriesBuffer* buffer(const Cell* s) { return memory::series(s->node()); }
// log2 of a unit (1 -> 0, 2 -> 1, 4 -> 2).
inline uint32_t unit_shift(uint32_t unit) { return unit >> 1; }
// Characters from the buffer's first used character to the tail.
inline int32_t buffer_length(const SeriesBuffer* s) {
  return static_cast<int32_t>((s->tail - s->offset) >> unit_shift(s->unit()));
}
// The unit a code point needs when appended (0x80 and up is not kept in 1 byte).
inline uint32_t unit_for_append(uint32_t cp) { return cp < 0x80 ? 1 : cp < 0x10000 ? 2 : 4; }
// The unit a code point needs when written in place.
inline uint32_t unit_for_write(uint32_t cp) { return cp <= 0xFF ? 1 : cp < 0x10000 ? 2 : 4; }

// Writes an empty string! of `capacity` bytes, unit 1 (0 counts as 1).
Cell* rs_make_at(Cell* c, uint32_t capacity);
// The same with `capacity` characters of the given unit.
Cell* make_at_unit(Cell* c, uint32_t capacity, uint32_t unit);
// Pushes a copy of a string cell on the argument stack.
Cell* push(const Cell* s);
// Pushes a new empty string! of `capacity` bytes.
Cell* push_new(uint32_t capacity);

// --- positions and lengths

// Characters from the head to the tail; a head past the tail is first
// clamped to the tail in the cell (giving 0).
int32_t rs_length_q(Cell* s);
// Characters of the whole buffer, whatever the head.
int32_t get_rest_length(const Cell* s);
// Address of the head character (a head past the tail is clamped first).
uint8_t* rs_head(Cell* s);
uint8_t* rs_tail(const Cell* s);
// True when the head is at or past the tail.
bool rs_tail_q(const Cell* s);
// The code point at an index counted from the buffer's first character.
uint32_t rs_abs_at(const Cell* s, int32_t index);
// Empties the buffer: unit 1, tail at the offset, head 0.
void rs_reset(Cell* s);
// The code point stored at an address for unit 1, 2 or 4.
uint32_t get_char(const uint8_t* p, uint32_t unit);
// Stores a code point at an address for a unit (the caller checked it fits).
void put_char(uint8_t* p, uint32_t unit, uint32_t cp);
// Index from the head of the first exact occurrence, or -1.
int32_t find_char(const Cell* s, uint32_t cp);
// True when the string from its head begins with the bytes (character by
// byte; a character above 0xFF never matches).
bool starts_with_cstring(const Cell* s, std::string_view bytes);

// --- character writers

// Widens if needed, reserves one unit at the tail and stores the code point.
SeriesBuffer* append_char(SeriesBuffer* s, uint32_t cp);
// Widens if needed and stores the code point at an index (from the buffer's
// first character); the tail does not change.
SeriesBuffer* write_char(SeriesBuffer* s, int32_t index, uint32_t cp);
// Widens and grows as needed and stores the code point at the index; a
// position at or past the tail moves the tail just after it.
SeriesBuffer* overwrite_char(SeriesBuffer* s, int32_t index, uint32_t cp);
// Inserts the code point at the index, moving the rest up by one.
SeriesBuffer* insert_char(SeriesBuffer* s, int32_t index, uint32_t cp);
// Removes one character (nothing at or past the tail).
void remove_char(SeriesBuffer* s, int32_t index);
// Removes n characters at the index (clamped to the tail).
void remove_chars(SeriesBuffer* s, int32_t index, int32_t n);
// Cuts the buffer to n characters when it holds more.
SeriesBuffer* truncate_buffer(SeriesBuffer* s, int32_t n);
// Widens the whole buffer in place from one unit to a wider one.
SeriesBuffer* widen_to(SeriesBuffer* s, uint32_t from, uint32_t to);

// --- text appenders (to a string cell)

// Appends each byte as one code point (Latin-1, not UTF-8).
SeriesBuffer* append_bytes(Cell* s, const char* bytes, size_t n);
inline SeriesBuffer* append_cstring(Cell* s, std::string_view bytes) {
  return append_bytes(s, bytes.data(), bytes.size());
}
// Decodes UTF-8 and appends the code points (an invalid sequence appends
// U+FFFD for its first byte and goes on).
SeriesBuffer* append_utf8(Cell* s, std::string_view utf8);

enum class Mode : int32_t { append = 0, insert = 1, overwrite = 2 };
enum class Keep : uint8_t { no, yes };
// Copies the characters of `src` (a string-like value or a symbol!) from its
// head into `dst`: at the tail (append), or at dst's head + offset (insert:
// moving the rest up; overwrite: past the old tail extends it). At most
// `part` characters when 0 <= part. Units are made equal first: dst widens
// to src's unit; a wider dst widens src in place unless Keep::yes.
void concatenate(Cell* dst, const Cell* src, int32_t part, int32_t offset, Keep keep, Mode mode);

// --- form/mold output

// Appends Latin-1/ASCII text and returns limit less its length.
inline int32_t emit(Cell* buffer, std::string_view text, int32_t limit) {
  append_bytes(buffer, text.data(), text.size());
  return limit - static_cast<int32_t>(text.size());
}
inline int32_t emit_char(Cell* buffer, uint32_t cp, int32_t limit) {
  append_char(memory::series(buffer->node()), cp);
  return limit - 1;
}
// Appends 4 blanks per level; returns the limit left.
int32_t indent(Cell* buffer, int32_t level, int32_t limit);

// --- loading external text

// Decodes external text into a new string! in `out` (or a new stack slot
// when null): encoding 0 is UTF-8, -1 UTF-16LE. Any other encoding prints
// "*** Loading Error: input encoding unsupported" and ends the process with
// status 0.
Cell* load_at(const char* text, size_t n, Cell* out, int32_t encoding);
inline Cell* load(const char* text, size_t n, int32_t encoding) {
  return load_at(text, n, nullptr, encoding);
}
// Loads into a new cell appended to the block.
Cell* load_in(const char* text, size_t n, Node block, int32_t encoding);

// --- comparison

// Compares the characters of two string values from their heads under a
// comparison code: 0 equal, else the difference of the first differing
// characters (or of the lengths). Case is folded except for strict-equal,
// case-sort and the strict parse equality.
int32_t compare_values(Cell* a, Cell* b, CompareOp op);

// --- reading as UTF-8

// Appends the characters of a string value from its head (at most `part`
// when part >= 0) to `out` as UTF-8.
void to_utf8(const Cell* s, std::string& out, int32_t part = -1);

// --- hex text

// Two uppercase hexadecimal digits.
struct Hex2 {
  char chars[2];
};
Hex2 byte_to_hex(uint8_t b);
// Eight uppercase hexadecimal digits (a negative value has leading F's);
// with trim only the significant digits ("00" for 0).
std::string_view int_to_hex(int32_t v, bool trim, char (&out)[8]);

}  // namespace qel::string
