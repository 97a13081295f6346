// string!: the text type, and the common implementation of the other text
// types (file!, url!, tag!, email!, ref!), which share its representation and
// most of its actions; binary! and vector! inherit several of them too.
//
// A string value is a cell: data1 = head (index of its first character,
// counted in characters from the start of the buffer's used data), data2 =
// node of the buffer, data3 = node of its conversion buffer (UTF-8/UTF-16
// output scratch; 0 until first used, and 0 in every string a constructor
// makes).
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
// say so. An overwrite far past a buffer's end grows it to fit, and an
// insert at a position beyond the tail inserts at the tail.
//
// Output convention of form and mold: every type's form/mold function
// appends to a shared string! buffer and takes and returns a character
// budget (the limit in, the limit less what it appended out; 2147483647 when
// there is no /part). `emit` and `emit_char` below are the usual way to
// append and account in one step; the entry points cut the buffer to the
// limit at the end (`truncate_buffer`). Appending a value whose form fails
// part way (a block nested too deep) removes the text formed so far before
// the error goes on. Without /case a sort of 1-byte characters folds only
// A-Z, to lower case ("_" sorts before "a"); wider strings fold through the
// whole case table (`fold`), to upper case.
//
// The code is split by responsibility:
//   string.cpp         storage, character access, appenders, loaders,
//                      comparison and the action row;
//   string_mold.cpp    make, to, form, mold and the escapes;
//   string_search.cpp  compare, find, select, sort, paths, set operations
//                      and the matching tests of parse;
//   string_modify.cpp  append, insert, change, swap, take, trim.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "memory/series.h"
#include "core/cell.h"
#include "text/case_map.h"
#include "values/datatype.h"

namespace qel::string {

inline constexpr int32_t kNoLimit = 0x7FFFFFFF;

// --- cells and buffers

inline SeriesBuffer* buffer(const Cell* s) { return memory::series(s->node()); }
// log2 of a unit (1 -> 0, 2 -> 1, 4 -> 2; 8 -> 3 for 64-bit vector!
// elements).
inline uint32_t unit_shift(uint32_t unit) { return static_cast<uint32_t>(std::countr_zero(unit)); }
// Characters from the buffer's first used character to the tail.
inline int32_t buffer_length(const SeriesBuffer* s) {
  return static_cast<int32_t>((s->tail - s->offset) >> unit_shift(s->unit()));
}
// Address of the character at an index counted from the buffer's first
// used character (no bound check).
inline uint8_t* char_at(SeriesBuffer* s, int32_t index) {
  return s->data() + s->offset + (static_cast<uint32_t>(index) << unit_shift(s->unit()));
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
// Writes a new string! holding the UTF-8 text (for C++ callers and tests).
Cell* make_utf8(Cell* c, std::string_view utf8);

// --- positions and lengths

// Characters from the head to the tail; a head past the tail is first
// clamped to the tail in the cell (giving 0).
int32_t rs_length_q(Cell* s);
// Characters from the head to the tail without touching the cell (0 for a
// head past the tail).
inline int32_t rest_length(const Cell* s) {
  int32_t n = buffer_length(buffer(s)) - s->head();
  return n > 0 ? n : 0;
}
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
// True when the code point equals the character at the head, head + step,
// head + 2 x step ... (folded to upper case unless `case_sensitive`).
bool has_char(const Cell* s, uint32_t cp, int32_t step, bool case_sensitive);
// True when the string from its head begins with the bytes (character by
// byte; a character above 0xFF never matches).
bool starts_with_cstring(const Cell* s, std::string_view bytes);

// Case folding of searches and comparisons: the upper case through the
// case tables.
uint32_t fold(uint32_t cp);
// The folded value of every code point 0-0xFF (unit-1 fast paths).
extern const uint32_t* const fold_table_1;

// --- character writers

// Widens if needed, reserves one unit at the tail and stores the code point.
SeriesBuffer* append_char(SeriesBuffer* s, uint32_t cp);
// Widens if needed and stores the code point at an index (from the buffer's
// first character); the tail does not change.
SeriesBuffer* write_char(SeriesBuffer* s, int32_t index, uint32_t cp);
// Widens and grows as needed and stores the code point at the index; a
// position at or past the tail moves the tail just after it (characters
// skipped between the old tail and the index read as NUL).
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
// Makes sure the buffer has room for `chars` more characters of `unit`
// after its tail, widening it to `unit` first when that is wider, in one
// pass (grow and widen at once). Returns the buffer to use.
SeriesBuffer* reserve(SeriesBuffer* s, uint32_t unit, uint64_t chars);

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
// A new string! pushed on the argument stack holding the UTF-8 text; text
// that is not valid UTF-8 raises access `invalid-utf8` with a binary! of the
// bytes left undecoded.
Cell* load_utf8_checked(const uint8_t* text, size_t n);

// --- comparison

enum class Match : uint8_t { no, prefix };
// Compares the characters of two text values (or symbol! cells) from their
// heads under a comparison code: 0 equal, -1 or 1 by the first differing
// characters, then by the lengths. Case is folded except for strict-equal,
// case-sort and the strict parse equality. With Match::prefix, b must be a
// prefix of a (parse). "" equals "" whatever the buffers.
int32_t compare_values(Cell* a, Cell* b, CompareOp op, Match match = Match::no);

// The order of sort and sort/case over raw characters: `la` characters of
// unit `ua` at `a` against `lb` of unit `ub` at `b`, folded (`fold`) or not;
// -1, 0 or 1 as compare_values gives for the sort and case-sort codes.
int32_t compare_chars(const uint8_t* a, uint32_t ua, int32_t la, const uint8_t* b, uint32_t ub,
                      int32_t lb, bool fold);
// A prefix key of a text for sorting: its first four characters (folded
// unless `fold` is false), 16 bits each, in order. Two texts whose keys
// differ compare as their keys do (compare_chars); equal keys settle
// nothing. A character past the text is 0 and one of the text is its code
// + 1; a code from 0xFFFE up is 0xFFFF and ends the key (zeros after).
uint64_t sort_key(const uint8_t* p, uint32_t unit, int32_t len, bool fold);

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

// --- making, forming and molding (string_mold.cpp)

Cell* make(Cell* proto, Cell* spec, TypeId type);
Cell* to(Cell* proto, Cell* spec, TypeId type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
// Appends one character in molded form: "^(1E)", "^(85)", with `all` every
// code point above 0x7F as "^(hex)"; the control characters, the double
// quote and the caret as a caret escape; 0x7F as "^~"; else the character.
void escape_char(Cell* buffer, uint32_t cp, bool all);
// Adds the number of double quotes and of line feeds in [start, end) of
// units `unit` to the counters.
void count_quotes_and_lines(const uint8_t* start, const uint8_t* end, uint32_t unit,
                            int32_t* quotes, int32_t* lines);
// True when, counting "{" as +1 and "}" as -1 from `start` (an opening
// brace), the count comes back to 0 before `end`.
bool braces_balanced(const uint8_t* start, const uint8_t* end, uint32_t unit);

// --- comparing, searching and ordering (string_search.cpp)

int32_t compare(Cell* value1, Cell* value2, CompareOp op);
// The buffer index (from its first character) where `find` with these
// arguments matches, and the length of the match; -1 when nothing matches.
// Nothing is pushed.
int32_t find_index(Cell* series, Cell* value, const FindArgs& args, int32_t* match_length);
Cell* find(Cell* series, Cell* value, const FindArgs& args);
Cell* select(Cell* series, Cell* value, const FindArgs& args);
Cell* sort(Cell* series, const SortArgs& args);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step);
// unique, union, intersect, exclude, difference (MathOp 8-12) on frame
// slots 0 and 1; answers the argument cell that holds the result.
Cell* do_set_op(bool case_, Cell* skip, MathOp op);
// parse's tests at the head of a string: a value matching there, a tag
// framed by "<" and ">" there, the head character in a bitset.
bool match_head(Cell* s, Cell* value, CompareOp op);
bool tag_frame(Cell* s, Cell* tag, CompareOp op);
bool match_bitset(Cell* s, const Cell* bitset);
// Bit `cp` of a bitset! (most significant bit first in each byte); a code
// point at or past its bit count gives the set's complement flag.
bool bitset_has(const Cell* bitset, uint32_t cp);

// --- modifying (string_modify.cpp)

// append (at_tail: the series at its head) and insert (the series just past
// the inserted text).
Cell* append(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool at_tail);
Cell* change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
Cell* swap(Cell* series1, Cell* series2);
Cell* take(Cell* series, Cell* part, bool deep, bool last);
Cell* trim(Cell* series, const TrimArgs& args);
// Removes every character of a set from the head to the tail: TAB, LF, CR
// and space without `with`; a char! or integer! gives one code point, a
// string! or binary! its characters (bytes).
void trim_with(Cell* series, const Cell* with);
void trim_lines(Cell* series);
// Which white space trim takes away: `both` is plain trim (both ends and the
// line spaces around each line feed), `head` and `tail` one end only, and
// `head_and_tail` both ends with the inside left as it is.
enum class Ends : uint8_t { both, head, tail, head_and_tail };
void trim_spaces(Cell* series, Ends ends);
// The white space of trim: 1-32, 0x85, 0xA0 and the Unicode spaces.
bool is_white(uint32_t cp);

// Registers string! (after series!).
void register_();

// Changes the case of a char! or any-string cell in place; the cell keeps its
// type and position. For a string the head is clamped to the tail and the
// characters from it change: all of them, or by `part` (null or none: all),
// an integer! count (a negative count changes nothing) or a position in the
// same series (same type and node; otherwise script error
// `invalid-refine-arg`), up to it. Answers the number of characters changed
// (0 for a char!), which the caller reports to the string's owner.
int32_t change_case(Cell* target, const Cell* part, unicode::Case c);

}  // namespace qel::string
