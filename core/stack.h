// The argument stack and the call stack.
//
// Every call, whoever makes it, passes its arguments and receives its result
// through the argument stack: a fixed array of 20,000 cells. The running
// call's frame starts at `arguments` (slot 0, which receives the result) and
// ends before `top`. Each call also records itself on the call stack: a fixed
// array of 12,000 `Frame`s naming the called word, the frame kind, the
// caller's frame base and, for function calls, the function context whose
// values pointer must be restored when the frame goes.
//
// Both arrays are allocated once and never move, so `Cell*` pointers into the
// argument stack stay valid for the whole run (they do not survive a frame
// being popped, of course: the cells are reused).
//
// A function context whose values live on the argument stack keeps, in its
// context cell, the stack index of its values (slot 0 of the running call)
// plus one, 0 when the function is not running (values/context.h).
//
// Overflow of either stack raises internal `stack-overflow` after freeing
// five argument cells and emptying the cycle guard, so the error machinery
// has room and the stacks stay usable.
//
// The routines are defined in evaluator/stack.cpp (they use contexts, words
// and forms); this header is what every layer needs of the stacks.
#pragma once

#include <cstdint>

#include "core/cell.h"

namespace qel::stack {

inline constexpr uint32_t kArgumentCells = 20000;
inline constexpr uint32_t kCallFrames = 12000;

// --- argument stack globals
extern Cell* bottom;     // first cell of the argument stack
extern Cell* arguments;  // slot 0 of the current frame
extern Cell* top;        // next free cell
extern Cell* limit;      // bottom + kArgumentCells

// Frame kinds.
enum class FrameKind : uint8_t {
  context = 1,  // a function call through its word, carrying its context
  native = 2,   // a native or action called from C++
  try_ = 4,     // errors stop here
  try_all = 5,  // errors stop here; other exits that would pass become errors
  catch_ = 6,   // `throw` stops here
  eval = 7,     // a block evaluated by the interpreter
  loop = 8,     // `break` and `continue` stop here
};

// One call-stack record.
struct Frame {
  uint32_t symbol;            // symbol id of the word that named the call
  FrameKind kind;
  bool function_body;         // `return` and `exit` return from this frame
  bool interpreted;           // pushed by the interpreter (`eval_q`)
  uint8_t unused = 0;
  uint32_t caller_base;       // the caller's `arguments`, as an index from `bottom`
  Node word_context;          // binding of the word that named the call, or 0
  Node function_context;      // function context to restore when popped, or 0
  uint32_t saved_values;      // that context's values word when the frame was pushed
};

// --- call stack globals
extern Frame* frame_bottom;  // first frame
extern Frame* frame_top;     // next free frame
extern Frame* frame_limit;   // frame_bottom + kCallFrames
// The frame recorded by `throw` for the "where" of its error, or null.
extern Frame* throw_position;

// Start-up: allocates both stacks (once), empties them, caches the symbols
// of `<body>` and `<anon>` and registers `mark_gc` with the collector. Needs
// the symbol table.
void init();

// The symbols that name anonymous frames (skipped by every call trace).
extern uint32_t body_symbol;
extern uint32_t anon_symbol;

[[noreturn]] void overflow();

// --- slots

// Takes the next free slot (its content is whatever was there).
inline Cell* push_slot() {
  Cell* c = top;
  if (++top >= limit) [[unlikely]]
    overflow();
  return c;
}
// Pushes a copy of a value.
inline Cell* push(const Cell* value) {
  Cell* c = push_slot();
  *c = *value;
  return c;
}
// Drops the n topmost slots, never below `bottom`.
inline void pop(int32_t n) {
  top = (top - bottom >= n) ? top - n : bottom;
}
// Empties the current frame.
inline void reset() { top = arguments; }
// Keeps only slot 0 of the current frame.
inline void keep() { top = arguments + 1; }
// Copies a value into slot 0 of the current frame.
inline Cell* set_last(const Cell* value) { return copy_cell(value, arguments); }
// Keeps only slot 0 and copies the value into it.
inline Cell* set_last_only(const Cell* value) {
  top = arguments + 1;
  return copy_cell(value, arguments);
}
// When the newest value is an error!, makes it slot 0; then keeps only slot 0.
void revert();
// The newest value, or `bottom` when the stack is empty.
inline Cell* get_top() { return top > bottom ? top - 1 : bottom; }
inline TypeId top_type() { return get_top()->type(); }
// Index of a stack cell from `bottom`.
inline uint32_t index_of(const Cell* c) { return static_cast<uint32_t>(c - bottom); }
// Number of cells in use.
inline uint32_t size() { return static_cast<uint32_t>(top - bottom); }

// --- frames

// Pushes a frame named by `word` (any word cell: its symbol and context go
// into the record). The callee's frame starts empty at the current top.
void mark_call_word(const Cell* word, Node function_context);
void mark_native(const Cell* word);
void mark_try(const Cell* word);
void mark_try_all(const Cell* word);
void mark_catch(const Cell* word);
void mark_loop(const Cell* word);
// Points the function context's values at the current `arguments`, then
// pushes a native frame flagged as a function body.
void mark_func(const Cell* word, Node function_context);
void mark_interp_func(const Cell* word);
void mark_interp_native(const Cell* word);
void mark_eval(const Cell* word);
// The same pushers for a frame named by a bare symbol (no binding).
void mark_symbol(uint32_t symbol, FrameKind kind, bool interpreted = false);

// Pops. Each removes the top frame and restores `arguments` to the caller's
// base; they differ in what stays of the callee's values and whether the
// frame's function context gets its values back.
void unwind();              // the callee's slot 0 stays as the caller's newest value
void unwind_last();         // ... and is also copied into the caller's slot 0
void unwind_restore();      // as unwind, restoring the function context
void unwind_last_restore(); // as unwind_last, restoring the function context
void unwind_func();         // restores; the caller's frame is emptied
void unwind_set();          // the caller's frame is emptied
void unwind_ctx();          // restores (context frames only); the callee's values dropped

// Restores a frame's function context values word (when it names one).
void restore_context(const Frame* f);

// Frame flags.
void set_in_func(bool on);
void set_interpreted();
// The frame below the top one: when its function-body flag is already set,
// null; else sets the flag and returns the frame.
Frame* claim_func_flag();
void release_func_flag(Frame* f);
// The top frame (null when there is none) and its resetter.
inline Frame* get_ctop() { return frame_top > frame_bottom ? frame_top - 1 : nullptr; }
void set_ctop(Frame* position);
inline uint32_t frame_count() { return static_cast<uint32_t>(frame_top - frame_bottom); }

// True when an interpreter frame lies at or below `from` (the top frame when
// null); with `only_this`, looks at that one frame only.
bool eval_q(const Frame* from, bool only_this);

// --- inspection

// The word of the innermost named call (starting at `throw_position` when one
// is recorded, which it clears); the word `<not-found>` when there is none.
Cell get_call();
// Appends, for every named frame from the top down, its word and its caller
// base as an integer! (the frame's position) to the block.
void collect_calls(Node block);
// Appends the words of the named frames from the bottom up to (not
// including) `end` to the block: all of them when depth > 1, else only those
// whose word refers to a function!.
void trace_calls(int32_t depth, Node block, const Frame* end);
// Forms the same words into `buffer`, each followed by a blank, with the
// remaining budget; returns it.
int32_t form_calls(int32_t depth, const Frame* end, Cell* buffer, int32_t limit);

// Collector mark callback: the stack cells from bottom to top, and the
// contexts the frames refer to.
void mark_gc();

}  // namespace qel::stack
