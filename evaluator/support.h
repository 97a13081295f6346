// Support routines for C++ code that calls natives or reaches arguments
// directly (library routines, services): type checks of arguments against
// typesets, the integer conversion of size arguments, and the word of an
// argument of the call being run.
//
// Natives called by the interpreter need none of this: the interpreter has
// checked their arguments against their spec (evaluator/interpreter.h).
// Errors are raised with `fire` (core/errors.h); these helpers raise the
// standard script error `expect-arg` naming the current call, the value's
// datatype and the argument, as the catalog's template reads: "... does not
// allow ... for its ... argument".
#pragma once

#include <cstdint>

#include "core/cell.h"

namespace qel {

namespace typecheck {

// Raises `expect-arg` unless the value's type is in the typeset! (or is the
// type a datatype! names). `argnum` is the argument's 0-based position among
// the current call's spec words. Returns the value.
const Cell* value(const Cell* types, int32_t argnum, const Cell* value);
// The same on a slot of the current frame; nothing for a negative slot (an
// absent refinement's argument).
void argument_at(int32_t slot, const Cell* types, int32_t argnum);
// Checks only when the refinement (a logic! or the slot index cell of a
// present refinement) is true.
const Cell* optional(const Cell* refinement, const Cell* types, int32_t argnum, const Cell* value);
// Raises `expect-arg` with unset! for an unset value.
const Cell* needs_value(int32_t argnum, const Cell* value);
// An integer!, or a float! truncated toward zero; a float above
// 2147483647.0, below -2147483648.0 or NaN raises script `out-of-range`.
int32_t get_integer(const Cell* value);

}  // namespace typecheck

namespace call {

// The word of the current call's argument `n` (0-based among the spec's
// words, lit-words, get-words and refinements), or the word <anon>.
Cell argument_word(int32_t n);

}  // namespace call

}  // namespace qel
