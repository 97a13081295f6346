// Error codes and the one routine that raises a Qel error.
//
// Every script-level failure is raised by `fire` with a catalog code and up
// to three argument cells. `fire` builds the error! value, records where it
// happened and throws it (level::error) to the nearest `try`. Natives and
// actions never format a standard message themselves.
#pragma once

#include <cstdint>
#include <string>

#include "core/cell.h"

namespace qel {

enum class ErrorCode : uint16_t {
#define X(category, name, id, code, tmpl) name = code,
#include "core/error_catalog.def"
#undef X
};

enum class ErrorCategory : uint8_t {
  throw_ = 0,
  note = 1,
  syntax = 2,
  script = 3,
  math = 4,
  access = 5,
  reserved1 = 6,
  reserved2 = 7,
  user = 8,
  internal = 9,
};

inline constexpr ErrorCategory category_of(ErrorCode c) {
  return static_cast<ErrorCategory>(static_cast<uint16_t>(c) / 100);
}

// Raises the error with up to three arguments (null for absent ones).
[[noreturn]] void fire(ErrorCode code, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr,
                       const Cell* arg3 = nullptr);

// Script error `not-related` ("incompatible argument for" action "of" type):
// the action is the word named `action`, or (null) the word of the running
// call.
[[noreturn]] void fire_not_related(const char* action, TypeId type);

// The Qel id word of a code ("no-value"), or nullptr when unknown.
const char* error_id_name(ErrorCode code);
// The catalog template of a code as Qel text.
const char* error_template(ErrorCode code);

// What the evaluator needs of error! values (datatypes/error.h has the rest).
namespace error {
// Stores the word into the error's `where` field when that is still none.
void set_where(Cell* err, const Cell* word);
// Stores the call-stack position (an integer!) into the `stack` field unless
// that holds a block of calls already.
void set_stack_position(Cell* err, int32_t position);
// The report of the error as `form` gives it: "*** Script Error: ...",
// then the Where and Near lines (error::form_report).
std::string report(const Cell* err);
}  // namespace error

}  // namespace qel
