// The interpreter: evaluates blocks of values over the argument stack and
// the call stack (core/stack.h).
//
// Evaluation is strictly left to right; infix operators (op!) have no
// precedence, so 1 + 2 * 3 is 9. An argument is a full expression, except
// that the right operand of an infix operator consumes no further operator.
//
// Results. Every routine that evaluates leaves its result as one new value
// at the argument-stack top it started from (the caller's newest value);
// with Chain::yes the result is also copied into slot 0 of the current
// frame. The routines taking a `code` cell and positions read the code as
// (node, index) through that cell on every step, so the code block may move
// (a collection at a safe point) or change while it runs; `code` itself must
// stay where it is (a local copy, a stack slot).
//
// Exits. Routines in `interpreter::passing` pass break, continue, return and
// exit on as the pending signal of core/unwind.h: when one returns with
// `exits::pending` set, the caller must return at once without touching the
// stacks. The routines directly in `interpreter` are for everybody else:
// they raise a pending exit as its NonLocalExit. Errors and throws are
// always exceptions.
// The `passing` routines that answer a position are [[nodiscard]]: a
// caller that has no use for the position writes `(void)` and still tests
// `exits::pending` before it touches the stacks.
//
// Function values are called with their arguments fetched by the spec cache:
// a block of descriptors made once per function value from its spec, kept in
// the value's companion block (function! extras cell 1, native!/action!
// companion cell 1) and never rebuilt. A descriptor holds a 64-bit type
// mask, so a type check is one bit test. A native or action called
// otherwise than through a word holding it (a path into a block, `apply`,
// `do` of the value, a C++ callback) names its frame with the built-in's
// own word (builtin_name, datatypes/native.h), so its errors name it.
//
// Safety of running code: the code each nested evaluation runs is kept in
// a slot per nesting level that the collector marks, and a path (or
// set-path) stays on the stack while its parens, arguments or value run, so
// code that drops the block, paren or path it is running is not freed under
// it. Blocks and parens are evaluated without a call frame; their nesting
// depth is bounded (`stack-overflow`). A set-path refuses an unset value
// with `need-value` naming the set-path, as a set-word does (`set/any` of a
// path still stores unset). Library blocks (series_flag::library) fire no
// trace events and leave the position cell at the user's expression.
//
// Fast paths, all skipped while tracing and all giving what the general
// path gives: a literal or plain word and the operators after it handled in
// place; `if`, `unless` and `either` called by their boot words read in
// place; calls by word of functions whose arguments are all evaluated ones
// on a short path; global words read through context::global_cells; pure
// expressions (values of literals and words joined by the fast integer
// operators) computed without the position cell or frames, a block found
// impure marked `series_flag::impure`; loop bodies of pure expressions
// prepared once per loop (PureBody); and function bodies and call branches
// compiled into steps at their first call, compared with the code, words
// and values they were made from before each run (`run_epoch` counts the
// general evaluations that could have changed them). Whatever no longer
// fits goes on the general way from that point.
#pragma once

#include <cstdint>

#include "evaluator/trace.h"
#include "core/unwind.h"
#include "memory/series.h"
#include "core/cell.h"

namespace qel::interpreter {

// The position cell: the block or paren being evaluated, its head index set
// to the expression being evaluated. An error takes its `near` from it; the
// collector marks it.
extern Cell position;
// The position of the last `throw` that found a catch: a named catch that
// is not the one thrown to throws on from there, so that an error for a
// throw no catch takes is near the `throw`, not near the catch. Marked.
extern Cell throw_near;

enum class Chain : bool { no, yes };

// Argument modes of eval_code (`apply`).
namespace mode {
inline constexpr uint32_t normal = 0;
// apply/all: every argument and refinement (as a logic!) in spec order.
inline constexpr uint32_t apply_all = 1;
// apply: the fixed arguments, then refinement!, truth expression, arguments.
inline constexpr uint32_t apply = 2;
// apply/safer: arguments are single values, an inactive refinement's
// arguments are skipped.
inline constexpr uint32_t safer = 4;
}  // namespace mode

// How eval_path treats the path.
// (get_any: `get/any`, a missing or unset object field at the end reads as unset.)
enum class PathMode : uint8_t { eval, get, get_any, set };

// The state `do`, `get` and `set` keep between the steps of a path whose
// walk stopped at a paren! element (the caller evaluates the paren and calls
// again).
struct PathResume {
  int32_t count = 0;  // elements done + 1; 0 when not in use
  int32_t kind = 0;   // 0 nothing, 1 on the stack, 2 in the parent series, 3 in the parent object, 4 elsewhere
  int32_t index = 0;
  Cell value{};
  Cell parent{};
};

namespace passing {

// Evaluates a block! or paren! from its head to its tail in a <body> frame;
// the result is the value of the last expression (unset when empty).
void eval(const Cell* block, Chain chain);
// Evaluates one expression at `pc` (an absolute cell index) and answers the
// position after it.
[[nodiscard]] int32_t eval_next(const Cell* block, int32_t pc, int32_t end, Chain chain);
// One expression from the block's head: the result is pushed and the new
// head index answered; at the tail the result is unset and the head index
// answered unchanged.
[[nodiscard]] int32_t do_next(const Cell* block);
// Evaluates the value at pc and, unless `prefix`, the infix operators that
// follow; the result is pushed. `passive`: a function value met literally in
// the code is taken as a value, not called.
[[nodiscard]] int32_t eval_expression(const Cell& code, int32_t pc, int32_t end, bool prefix, bool passive);
// Calls a function value (any function type), fetching its arguments from
// the code at pc and its refinements from `path` (elements from index
// `path_pos`, or none when `path` is null); `call_word` names the call
// (null: <anon>); `owner` is the object a method was found in (or null).
// With `infix`, the left operand is the newest stack value.
[[nodiscard]] int32_t eval_code(const Cell* fn, const Cell& code, int32_t pc, int32_t end, const Cell* path,
                  int32_t path_pos, const Cell* call_word, const Cell* owner, uint32_t mode,
                  bool infix);
// Runs a function!'s body (or a routine!'s C++ routine) whose arguments and
// locals are already in the current frame; the result goes to slot 0.
void eval_function(Cell* fn, const Cell* call_word, CallbackKind kind);
// Evaluates a path value at code[pc] (or a path given alone: code = the
// path, pc = -1) and any arguments a function reached through it takes from
// the code; answers the position after them. The result is pushed. With
// PathMode::set the value to store is slot 0 of the current frame.
[[nodiscard]] int32_t eval_path(const Cell& path, const Cell& code, int32_t pc, int32_t end, PathMode mode,
                  bool case_, PathResume* resume);
// Calls a function value with argument values (taken as they are), no
// refinements; the result is pushed and returned. `name` names the frame
// (null: <anon>).
Cell* call_function(const Cell* fn, const Cell* const* args, int32_t count, const Cell* name,
                    CallbackKind kind = CallbackKind::none);

}  // namespace passing

// Sets a word to a value as a set-word does (a direct store for a running
// function's argument or a global value; context::set otherwise, with its
// errors and an object's change notices).
void set_word(Cell* word, const Cell* value);

// Notes the global words that hold a datatype or typeset once the library
// is defined: a spec word a script has since set to another value still
// names the type it named then.
void note_type_words();
// True for a word that held a datatype or typeset when start-up ended.
bool start_type_word(const Cell& word);

// A loop body made only of pure expressions (values of literals and words
// combined by the fast integer operators, and set-words of them), prepared
// once for the iterations of one loop call. While such a body runs, nothing
// else does: no code can change the block or a word's binding, and nothing
// allocates, so no collection moves a value cell. The prepared form keeps
// the cells' addresses and each operator's kind; each run still reads and
// checks the operands' values.
struct PureBody {
  static constexpr int kMaxCode = 48;
  static constexpr int kMaxExprs = 8;
  // One step: `code` says what it does (see the interpreter's PureCode),
  // with an integer literal `imm` or a value cell.
  struct Instr {
    uint8_t code;
    int32_t imm;
    const Cell* cell;
  };
  struct Expr {
    Cell* target;  // the set-word's value cell, or null
    int32_t pc;    // where the expression starts in the block
  };
  Instr code[kMaxCode];
  Expr exprs[kMaxExprs];
  int32_t expr_count = 0;
  Cell* written = nullptr;  // the value cell of the loop's own word, when given
};
// Prepares a block when the whole of it is pure right now,
// no trace runs and no set-word of it (nor `written`, a loop's own word, when
// given; its value cell is kept in `written`) writes an operator's word.
// False when it is not.
bool prepare_pure_body(const Cell& block, const Cell* written, PureBody* body);
// Runs a prepared body: -1 when every expression was done (the last value in
// `result`), else the position of the expression whose operands no longer
// allow it (nothing of it done), where the general evaluation goes on.
int32_t run_pure_body(const PureBody& body, Cell* result);

// --- The same, raising a pending exit as an exception.

void eval(const Cell* block, Chain chain);
int32_t eval_next(const Cell* block, int32_t pc, int32_t end, Chain chain);
int32_t do_next(const Cell* block);
int32_t eval_expression(const Cell& code, int32_t pc, int32_t end, bool prefix, bool passive);
void eval_function(Cell* fn, const Cell* call_word, CallbackKind kind);
int32_t eval_path(const Cell& path, const Cell& code, int32_t pc, int32_t end, PathMode mode,
                  bool case_, PathResume* resume);
Cell* call_function(const Cell* fn, const Cell* const* args, int32_t count, const Cell* name,
                    CallbackKind kind = CallbackKind::none);

// --- The spec cache.

// Kinds of argument descriptors.
enum class ArgKind : uint32_t { normal = 0, quoted = 1, literal = 2, refinement = 3 };

// One descriptor: the argument's allowed types (bit t for type id t), its
// kind, and for a refinement its ordinal among the refinements (1, 2 ...).
struct Descriptor {
  uint64_t types;
  ArgKind kind;
  int32_t ordinal;
};

// The cache of a function value (built on first use): the number of
// descriptors (arguments and refinements in spec order, /local excluded),
// the number of refinements, and the call slots /local adds. The descriptors
// are kept after the fixed cells of the value's companion block (function!
// extras, native! and action! companion), whose cell 1 holds the counts.
struct CacheInfo {
  Node node;       // the companion block
  int32_t base;    // descriptor i is its cell base + i
  int32_t count;
  int32_t refinements;
  int32_t locals;
  bool plain;      // every argument before the first refinement is an evaluated one
  int32_t head = 0;  // with plain (short paths only): the number of those arguments
};
CacheInfo spec_cache(const Cell* fn);
// Descriptor i (1-based) of a cache (read again after anything that may
// allocate or evaluate).
inline Descriptor descriptor(const CacheInfo& ci, int32_t i) {
  const Cell* d = memory::series(ci.node)->cells() + ci.base + i;
  uint32_t k = d->data3;
  return {static_cast<uint64_t>(d->data1) | (static_cast<uint64_t>(d->data2) << 32),
          static_cast<ArgKind>(k & 3), static_cast<int32_t>(k >> 8)};
}
// The word block of a function value's context (argument and refinement
// words in spec order).
Node words_of(const Cell* fn);

// The symbol id of the frame word <body> and its word cell.
const Cell* body_word();
const Cell* anon_word();

// Start-up: the position cell, the trace callback root, the frame words.
void init();
// After the boot natives are defined: the interpreter evaluates the boot
// if, unless and either itself.
void note_boot_natives();

}  // namespace qel::interpreter
