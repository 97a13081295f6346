// The natives table and the support routines natives share.
//
// A native is a C++ function with the signature of an action entry point:
// its arguments are in slots 0, 1 ... of the current frame (evaluator/
// stack.h), in spec order, followed by the arguments of the refinements in
// use; `refinements[i]` is the slot of refinement i's first argument (for a
// refinement without arguments, the slot it would have), or -1 when the
// refinement is absent. The result goes to slot 0. Errors are raised with
// `fire`; natives that evaluate code use interpreter::passing and return at
// once while `exits::pending` is set.
//
// Each group of natives (natives/control.cpp, natives/eval.cpp ...) has one
// table of definitions: index, Qel name, entry and spec text. Start-up puts
// every entry in the table by index (`init`; the table, which native!
// values index, is declared in datatypes/native.h), and once the lexer runs makes
// the native! values from the spec texts and sets their global words
// (`define_words`).
//
// Writing a native:
//   void natives::if_(const int32_t*) {
//     if (is_falsy(stack::arguments)) { set_none(stack::arguments); return; }
//     Cell body = stack::arguments[1];
//     interpreter::passing::eval(&body, interpreter::Chain::yes);
//   }
// and its line in the group's table:
//   {1, "if", natives::if_, R"(["If condition is true, evaluate block" cond [any-type!] then-blk [block!]])"},
#pragma once

#include <cstdint>
#include <span>

#include "datatypes/native.h"
#include "values/actions.h"
#include "core/cell.h"

namespace qel::natives {

// One native of a group's table.
struct Definition {
  int32_t index;
  const char* name;
  Entry fn;
  const char* spec;  // the spec block as Qel text
};

// The groups' tables.
std::span<const Definition> control_natives();
std::span<const Definition> eval_natives();
std::span<const Definition> word_natives();
std::span<const Definition> compare_natives();
std::span<const Definition> output_natives();
std::span<const Definition> system_natives();
std::span<const Definition> math_natives();
std::span<const Definition> services_natives();
std::span<const Definition> io_natives();
std::span<const Definition> parse_natives();

// Start-up: fills the table (entries without a native raise internal
// not-done when called).
void init();
// Makes the native! values from their spec texts and sets their global
// words (needs the lexer).
void define_words();

// Raises internal `not-done`: the entry of table slots without a native.
void not_done(const int32_t* refinements);

// --- support routines

// An integer! argument, or a float! truncated toward zero; a float outside
// the 32-bit range or not a number raises script `type-limit` (integer!).
int32_t get_integer_arg(const Cell* value);
// An integer! converted, or a float!'s payload.
double get_float_arg(const Cell* value);
// The worker of max (true) and min (false) on slots 0 and 1: the result
// replaces slot 0. A NaN number wins; pairs, points and tuples are taken
// component by component; other values by their ordering.
void max_min(bool max);
// True while the series position is before its tail.
bool series_more_q(const Cell* series);
// Assigns `count` words of a block, one value each when the value is a
// block-like series (unless `only`), else the whole value to every word.
void set_many(const Cell* words, const Cell* value, int32_t count, bool any, bool only, bool some);

// The print buffer of print and prin: a block the natives reduce into.
extern Node print_buffer;
// True when the last print or prin ended its output with a line end.
extern bool last_lf_q;

// The first printer of print-hook list 1 (runtime/print.h), which start-up
// adds: writes a string! value from its head to its tail (any unit size),
// then a line end when `newline` is set.
void print_string(const Cell* value, bool newline);

}  // namespace qel::natives
