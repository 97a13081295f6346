// What the parse engine (parse/parse.cpp) shares with its matching
// routines (parse/match.cpp): the three kinds of input, the tests
// of one rule value at the input position, the fast runs of repeated
// literals, the searches of `to` and `thru`, and the values `copy`, `set`
// and `keep` take out of the input.
//
// Positions are absolute indexes from the first unit of the input's buffer
// (cells for block input, characters for string input, bytes for binary
// input); `end` is where matching must stop: the tail, or the /part limit
// when it comes first. None of these routines evaluates Qel code, so they
// may hold raw pointers into the input while they run.
#pragma once

#include <cstdint>

#include "core/cell.h"

namespace qel::parse {

enum class InputKind : uint8_t { block, string, binary };

inline InputKind input_kind(const Cell* in) {
  TypeId t = in->type();
  if (t == TypeId::binary) return InputKind::binary;
  if (is_any_string(t)) return InputKind::string;
  return InputKind::block;
}

// Units in the input's whole buffer (from its first unit to the tail).
int32_t input_length(const Cell* in);

// Comparison modes of the engine (`parse/case` selects the second).
inline constexpr int32_t kModeInsensitive = 0;
inline constexpr int32_t kModeSensitive = 2;

// Matches one literal rule value at the input's head, not reaching past
// `end`. Answers the units matched (0 for an empty string) or -1. A value
// that cannot be matched against string or binary input raises script
// `parse-rule`.
int32_t match_literal(Cell* in, int32_t end, Cell* rule, int32_t mode);

// True when a value's type is the datatype, or is in the typeset.
bool type_matches(TypeId t, const Cell* type);

// The match-run fast path of repetitions: counts how many times in a row
// the rule matches from the input's head, at most `max` times (-1: no
// limit), and answers the count with the units consumed in `*units`.
// Answers -1 when the rule has no fast form (the engine then runs the
// repetition step by step): the rule must be `skip` (is_skip), a character,
// a non-empty text or binary, or a bitset for string and binary input, or a
// literal value, datatype or typeset for block input.
int32_t match_run(Cell* in, int32_t end, Cell* rule, bool is_skip, int32_t max, int32_t mode,
                  int32_t* units);

// The search of `to` and `thru` for a literal: answers the index where the
// first match starts, with its length in `*length`, -1 when there is none
// before `end`, or -2 when the value is not searched for this way (the
// engine then tries the rule at each position).
int32_t find_value(Cell* in, int32_t end, Cell* rule, int32_t mode, int32_t* length);

// Scans one token of binary input with the lexer; true when its type is
// the datatype or in the typeset, with the bytes it took in `*consumed`.
bool scan_type(Cell* in, int32_t end, const Cell* type, int32_t* consumed);

// A copy of the input's units [from, to) as a series of the input's type.
void copy_part(Cell* out, const Cell* in, int32_t from, int32_t to);
// The unit at an index as a value: the cell itself (block input), a char!
// (string input) or an integer! byte (binary input).
void unit_value(Cell* out, const Cell* in, int32_t at);

}  // namespace qel::parse
