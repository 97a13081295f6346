// Unicode codecs and string widening.
//
// Strings keep their characters as code points in units of one size per
// buffer: 1 byte while every code point is at most 0xFF, 2 bytes (native
// little-endian) while every code point is at most 0xFFFF, 4 bytes otherwise.
// The unit is the low bits of the buffer's flags (memory/series.h). This
// module converts between that form and external text: UTF-8 decoding (a
// table-driven automaton for scanning and a checked decoder that raises
// `invalid-utf8`), UTF-8 encoding, loading UTF-8 and UTF-16LE into strings,
// encoding strings to UTF-8 and UTF-16LE, and widening a buffer in place.
//
// UTF-8 rules: one rule decodes text for the lexer, `to string!`, `load`
// and `read` (decode_utf8_sequence): overlong forms, U+DC00-U+DCFF, U+FFFE
// and values above 0x10FFFF are malformed; the other surrogates are taken
// as the code points they encode. The scanning automaton is stricter: it
// rejects every surrogate.
//
// The string-cell functions take a string cell (head index in characters,
// buffer node, conversion buffer node: see core/cell.h). The results of
// `to_utf8`, `to_utf8_part`, `to_utf16` and `to_utf16_part` live in the
// string's conversion buffer, a byte series made on first use and kept in the
// cell; they stay valid until the next conversion of the same string or until
// the next safe point. The collector marks the conversion buffer with the
// string.
//
// Buffers only widen. Every routine that may widen or grow a buffer returns
// the buffer to use afterwards (the node already leads to it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "memory/series.h"
#include "core/cell.h"

namespace qel::unicode {

// What to do with line breaks. Loading: `convert` turns CR LF and a lone CR
// into LF. Encoding: `convert` writes each LF as CR LF.
enum class LineBreaks : uint8_t { keep, convert };
// What the UTF-8 loader takes: `strict` follows the one rule (below);
// `written` also takes the 3-byte forms the encoder gives U+DC00-U+DCFF and
// U+FFFE (ED B0..B3 xx and EF BF BE), so text written from any string reads
// back as that string.
enum class Accept : uint8_t { strict, written };
// Whether an encoder writes a terminating NUL after the text.
enum class Terminate : uint8_t { no, nul };

inline constexpr uint8_t kCR = 0x0D;
inline constexpr uint8_t kLF = 0x0A;
inline constexpr uint32_t kMaxCodePoint = 0x10FFFF;

// --- units -------------------------------------------------------------

// The smallest unit (1, 2 or 4 bytes) that holds a code point.
inline constexpr uint32_t unit_for(uint32_t cp) { return cp <= 0xFF ? 1 : cp <= 0xFFFF ? 2 : 4; }

// Reads the unit at p. Units may sit at any byte address.
inline uint32_t read_unit(const uint8_t* p, uint32_t unit) {
  if (unit == 1) return *p;
  if (unit == 2) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
  }
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// Writes a code point as one unit at p (the caller has checked that it fits).
inline void write_unit(uint8_t* p, uint32_t unit, uint32_t cp) {
  if (unit == 1) {
    *p = static_cast<uint8_t>(cp);
  } else if (unit == 2) {
    uint16_t v = static_cast<uint16_t>(cp);
    std::memcpy(p, &v, 2);
  } else {
    std::memcpy(p, &cp, 4);
  }
}

// --- decoding UTF-8 ----------------------------------------------------

// Decodes one sequence at p with the automaton and returns the address after
// it; never reads at or past `end` (p < end). On a rejected sequence *cp is
// -1 and the result is just past the bytes accepted so far (at least p + 1);
// a sequence cut off by `end` is rejected and the result is `end`.
const uint8_t* fast_decode_utf8_char(const uint8_t* p, const uint8_t* end, int32_t* cp);

// Number of sequences from start to end, stepping with the automaton (a
// rejected sequence counts as one).
uint32_t count_utf8_chars(const uint8_t* start, const uint8_t* end);

// The address after at most n sequences from start, never past end.
const uint8_t* skip_utf8_chars(const uint8_t* start, const uint8_t* end, uint32_t n);

// Sequence length announced by a lead byte: 4 for 0xF0 and up, 3 for 0xE0
// and up, 2 for 0xC0 and up, 0 for any other byte.
inline constexpr int utf8_lead_length(uint8_t b) {
  return (b & 0xF0) == 0xF0 ? 4 : (b & 0xE0) == 0xE0 ? 3 : (b & 0xC0) == 0xC0 ? 2 : 0;
}

// True for the code points a mold writes as escapes, never as raw UTF-8:
// the surrogates, which as lone code points have no proper UTF-8 (and
// U+DC00-U+DCFF none that loads), and U+FFFE, whose UTF-8 is refused.
inline constexpr bool molds_as_escape(uint32_t cp) { return (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE; }

// What decode_utf8_sequence answers instead of a code point.
inline constexpr int32_t kUtf8Malformed = -1;
inline constexpr int32_t kUtf8CutOff = -2;

// Decodes one sequence from the `avail` bytes at p (at least 1) by the one
// rule above and returns its code point, with its length in *len. A
// sequence that cannot become valid whatever follows is kUtf8Malformed
// (*len is 1); one that is valid so far but needs more than `avail` bytes is
// kUtf8CutOff (*len is 0).
int32_t decode_utf8_sequence(const uint8_t* p, uint32_t avail, uint32_t* len);

// Decodes one code point from p. *count holds the bytes available on entry
// (at least 1) and the bytes consumed on return. Returns -1 (consumed 0) when
// the sequence is valid so far but cut off by the count. A malformed sequence
// raises access error `invalid-utf8` with a binary! of the next bytes (at
// most 4, never more than are available).
int32_t decode_utf8_char_checked(const uint8_t* p, uint32_t* count);

// Length of the longest prefix of [p, p + n) that is valid UTF-8 under the
// automaton's strict rules.
size_t utf8_valid_prefix(const uint8_t* p, size_t n);

// --- encoding UTF-8 ----------------------------------------------------

// Bytes of the UTF-8 form of a code point (1 to 4); above 0x10FFFF raises
// script error `invalid-char` with the value.
int utf8_char_length(uint32_t cp);

// UTF-8 byte count of the code points of [start, end) read as units of
// `unit` bytes; the same error above 0x10FFFF.
uint64_t utf8_size(const uint8_t* start, const uint8_t* end, uint32_t unit);

// Writes the 1-4 bytes of a code point and returns their number; the same
// error above 0x10FFFF.
int encode_utf8_char(uint32_t cp, uint8_t* dst);

// Writes as many leading bytes of the sequence as `room` allows (a cut
// sequence is possible) and returns how many it wrote; the same error above
// 0x10FFFF.
int encode_utf8_char_bounded(uint32_t cp, uint8_t* dst, uint32_t room);

// Encodes `count` units as UTF-8 at dst and returns the byte count. The
// caller provides room for max_utf8_bytes(count, unit, lb) bytes. The same
// error above 0x10FFFF.
size_t encode_units_utf8(const uint8_t* units, size_t count, uint32_t unit, uint8_t* dst,
                         LineBreaks lb = LineBreaks::keep);

// Room that encode_units_utf8 may need for `count` units.
inline constexpr uint64_t max_utf8_bytes(uint64_t count, uint32_t unit, LineBreaks lb) {
  (void)lb;  // CR LF takes 2 bytes, never more than any unit's worst case
  uint64_t per = unit == 1 ? 2 : unit == 2 ? 3 : 4;
  return per * count;
}

// Appends the UTF-8 form of `count` units to `out`. The same error above
// 0x10FFFF.
void append_utf8(std::string& out, const uint8_t* units, size_t count, uint32_t unit,
                 LineBreaks lb = LineBreaks::keep);

// The UTF-8 form of a string from its head, at most `limit` characters
// (negative: all).
std::string to_utf8_string(const Cell* str, int32_t limit = -1, LineBreaks lb = LineBreaks::keep);

// The UTF-8 form of a string from its head in its conversion buffer,
// NUL-terminated. *length holds the character limit on entry (-1: all) and
// the byte count (without the NUL) on return.
const char* to_utf8(Cell* str, int32_t* length);
// As to_utf8; with LineBreaks::convert each LF is written as CR LF.
const char* to_utf8_part(Cell* str, int32_t* length, LineBreaks lb);

// Writes the UTF-8 form of a string from its head at dst (the caller
// guarantees room), at most `limit` characters (negative: all), optionally
// followed by a NUL. Returns the byte count without the NUL.
uint32_t encode_utf8_into(const Cell* str, uint8_t* dst, int32_t limit, Terminate nul);

// As encode_utf8_into but writes at most `room` bytes (the last sequence may
// be cut); a limit of 0 or less means all characters. The NUL, when asked,
// follows the bytes written and counts in `room`. Returns the byte count
// without the NUL.
uint32_t encode_utf8_bounded(const Cell* str, uint8_t* dst, uint32_t room, int32_t limit,
                             Terminate nul);

// --- UTF-16LE ------------------------------------------------------------

// Writes a code point as UTF-16LE: below 0x10000 one unit (returns 1), up to
// 0x10FFFF a surrogate pair (returns 2), above that nothing (returns 0).
int encode_utf16_char(uint32_t cp, uint8_t* dst);

// The UTF-16LE form of a string from its head in its conversion buffer,
// ending with a 2-byte NUL, each LF written as CR LF. The number of units
// (without the NUL) goes to *units when not null. Null when a code point
// exceeds 0x10FFFF.
const uint8_t* to_utf16(Cell* str, int32_t* units = nullptr);
// As to_utf16: *length holds the character limit on entry (-1: all) and the
// units written on return (characters plus inserted CRs and second
// surrogates).
const uint8_t* to_utf16_part(Cell* str, int32_t* length, LineBreaks lb);

// --- loading text into strings -------------------------------------------

// Decodes n bytes of UTF-8 into the buffer of `target` (its content from its
// offset is replaced) or, when target is 0, into a new string, and returns
// the node. A leading byte-order mark EF BB BF is skipped. With
// LineBreaks::convert, CR LF and a lone CR become LF. A sequence cut off at
// the end stops the load: the remaining byte count goes to *unconsumed (when
// not null; 0 when everything was consumed). A malformed sequence raises
// `invalid-utf8` (see Accept). The buffer widens as the code points require.
Node load_utf8(const uint8_t* src, uint32_t n, Node target, uint32_t* unconsumed,
               LineBreaks lb, Accept accept = Accept::strict);
// load_utf8 into the buffer of a string cell, line breaks kept.
Node load_utf8_into(const uint8_t* src, uint32_t n, Cell* str, uint32_t* unconsumed);
// load_utf8 into a new string, line breaks kept.
Node load_utf8_string(const uint8_t* src, uint32_t n);

// Decodes n UTF-16LE units into the buffer of `str` (its content replaced)
// or, when str is null, into a new string, and returns the node. A null
// source reads the units from str's conversion buffer. The unit is chosen by
// a scan: 4 when any unit is a surrogate, 2 when any is above 0xFF, else 1.
// Surrogate pairs combine; a lone surrogate is kept as its own code point.
// With LineBreaks::convert, CR LF and a lone CR become LF. The buffer gets
// the series_flag::utf16 flag.
Node load_utf16le(const uint8_t* src, uint32_t n, Cell* str, LineBreaks lb);

// --- widening ------------------------------------------------------------

// Converts a string buffer to a wider unit in place, keeping its characters,
// with room for at least max(characters + 1, room_units) units of the new
// size (expanding the buffer when needed). Returns the buffer to use (the
// node already leads to it). `to` must be wider than the current unit.
SeriesBuffer* widen(SeriesBuffer* s, uint32_t to, uint64_t room_units = 0);
inline SeriesBuffer* widen_1_to_2(SeriesBuffer* s) { return widen(s, 2); }
inline SeriesBuffer* widen_1_to_4(SeriesBuffer* s) { return widen(s, 4); }
inline SeriesBuffer* widen_2_to_4(SeriesBuffer* s) { return widen(s, 4); }

// Widens the buffer when its unit cannot hold cp; returns the buffer to use.
inline SeriesBuffer* widen_for(SeriesBuffer* s, uint32_t cp) {
  uint32_t need = unit_for(cp);
  return need > s->unit() ? widen(s, need) : s;
}

}  // namespace qel::unicode
