// The 62 actions: their generic entry points, their explicit-argument
// variants and the type lookup that connects both to the datatype rows.
//
// Entry points (`actions::make`, `actions::find` ...) are what an action!
// value calls. The caller has opened a frame and placed the arguments in its
// slots (slot 0 = the first argument, which receives the result); the entry
// receives one integer per refinement of the action's spec, in spec order:
// the frame slot of that refinement's first argument, or -1 when absent. The
// entry decodes them, finds the type's function and calls it.
//
// Explicit-argument variants (`actions::call_make` ...) take the type
// function's own arguments and return its answer; C++ code calls these
// directly, without a frame.
//
// Dispatch: the type of the first argument (for make and to, the type a
// datatype! prototype names) selects the row of values/datatype.h; a port!
// whose actor is a native table sends actions from `append` on to that
// table. An unsupported action raises script `expect-arg`.
#pragma once

#include <cstdint>
#include <type_traits>

#include "core/stack.h"
#include "values/datatype.h"

namespace qel::actions {

// Refinement slots of an entry point: refinements[i] is the frame slot of
// refinement i's first argument or -1. Null for actions without refinements.
using Refinements = const int32_t*;
using EntryFn = void (*)(Refinements refinements);

// The entry-point table, indexed by action id - 1. Ids 8 (set-path) and 9
// (compare, called as `actions::compare` with its operands) have no entry.
extern EntryFn entries[kActionCount];
inline EntryFn entry(ActionId a) { return entries[static_cast<int>(a) - 1]; }
// Fills `entries` (start-up, after the datatypes registered).
void init();

// --- lookup

template <ActionId A>
struct Traits;
#define QEL_X(name_, text)                                              \
  template <>                                                           \
  struct Traits<ActionId::name_> {                                      \
    using Fn = action_fn::name_;                                        \
    static constexpr Fn ResolvedRow::*member = &ResolvedRow::name_;    \
  };
QEL_ACTION_LIST(QEL_X)
#undef QEL_X

// A port! whose actor is a native table: the port module installs this hook,
// which answers the table for such a port (slots from `append` on are read)
// or null when the actor is an object.
using PortActorFn = const ResolvedRow* (*)(const Cell* port);
extern PortActorFn port_actor_table;

// The word of argument `index` (0-based) of the innermost call's spec. The
// function-value module installs the real lookup; until then the answer is
// none!.
using CallArgumentFn = Cell (*)(int32_t index);
extern CallArgumentFn call_argument;
// Raises script `expect-arg`: the innermost call's word, a datatype! for
// `type` and the word of argument `index` of the call's spec.
[[noreturn]] void expect_arg(TypeId type, int32_t index);
// Raises script `expect-arg` for an action the type does not support (its
// first argument).
[[noreturn]] void unsupported(TypeId type);
// Raises access `no-port-action`.
[[noreturn]] void no_port_action();

// The function of action A for type t, the first argument being v. Raises
// the dispatch errors instead of returning null.
template <ActionId A>
inline typename Traits<A>::Fn lookup(TypeId t, const Cell* v) {
  if constexpr (static_cast<int>(A) >= static_cast<int>(ActionId::append)) {
    if (v->is(TypeId::port) && port_actor_table) [[unlikely]] {
      if (const ResolvedRow* table = port_actor_table(v)) {
        auto f = table->*Traits<A>::member;
        if (!f) no_port_action();
        return f;
      }
    }
  }
  auto f = datatype::rows[static_cast<uint8_t>(t)].*Traits<A>::member;
  if (!f) [[unlikely]]
    unsupported(t);
  return f;
}
template <ActionId A>
inline typename Traits<A>::Fn lookup_value(const Cell* v) {
  return lookup<A>(v->type(), v);
}
template <ActionId A>
inline typename Traits<A>::Fn lookup_top() {
  return lookup_value<A>(stack::arguments);
}
// The eval-path lookup: no port! rule; a failure names the path (script
// `bad-path-type` with the path cut after the failing element, or
// `bad-path-type2` without a path).
action_fn::eval_path lookup_for_path(const Cell* v, const Cell* path, const Cell* element,
                                     int32_t index);

// The index pick and poke hand to the type, from frame slot 1: a logic!
// gives 1 for true and 2 for false, a char! its code point, an integer! its
// value, anything else 0.
int32_t index_argument();

// --- entry points (frame conventions above)
void make(Refinements r);
void random(Refinements r);  // seed secure only
void reflect(Refinements r);
void to(Refinements r);
void form(Refinements r);  // part
void mold(Refinements r);  // only all flat part
void eval_path(Refinements r);  // set: slot 2 holds the value to store
void absolute(Refinements r);
void add(Refinements r);
void divide(Refinements r);
void multiply(Refinements r);
void negate(Refinements r);
void power(Refinements r);
void remainder(Refinements r);
void round(Refinements r);  // to even down half-down floor ceiling half-ceiling
void subtract(Refinements r);
void even_q(Refinements r);
void odd_q(Refinements r);
void and_(Refinements r);
void complement(Refinements r);
void or_(Refinements r);
void xor_(Refinements r);
void append(Refinements r);  // part only dup
void at(Refinements r);
void back(Refinements r);
void change(Refinements r);  // part only dup
void clear(Refinements r);
void copy(Refinements r);  // part deep types
void find(Refinements r);  // part only case same any with skip last reverse tail match
void head(Refinements r);
void head_q(Refinements r);
void index_q(Refinements r);
void insert(Refinements r);  // part only dup
void length_q(Refinements r);
void move(Refinements r);  // part
void next(Refinements r);
void pick(Refinements r);
void poke(Refinements r);
void put(Refinements r);     // case
void remove(Refinements r);  // part key
void reverse(Refinements r);  // part skip
void select(Refinements r);  // part only case same any with skip last reverse
void sort(Refinements r);    // case skip compare part all reverse stable
void skip(Refinements r);
void swap(Refinements r);
void tail(Refinements r);
void tail_q(Refinements r);
void take(Refinements r);  // part deep last
void trim(Refinements r);  // head tail auto lines all with
void create(Refinements r);
void close(Refinements r);
void delete_(Refinements r);
void modify(Refinements r);  // case
void open(Refinements r);    // new read write seek allow
void open_q(Refinements r);
void query(Refinements r);
void read(Refinements r);  // part seek binary lines info as
void rename(Refinements r);
void update(Refinements r);
void write(Refinements r);  // binary lines info append part seek allow as

// --- explicit-argument variants
Cell* call_make(Cell* proto, Cell* spec);
Cell* call_to(Cell* proto, Cell* spec);
Cell* call_random(Cell* value, bool seed, bool secure, bool only);
Cell* call_reflect(Cell* value, uint32_t field_symbol);
int32_t call_form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
// How `call_mold` writes a value: `only` leaves out a block's outer
// brackets, `all` writes the construction syntax that loads back as the same
// value, `flat` writes no indentation (mold/only, /all, /flat).
struct MoldStyle {
  bool only = false;
  bool all = false;
  bool flat = false;
};
int32_t call_mold(Cell* value, Cell* buffer, MoldStyle style, Cell* part, int32_t limit,
                  int32_t indent);
Cell* call_eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step);
Cell* call_modify(Cell* target, Cell* field, Cell* value, bool case_);
Cell* call_negate(Cell* value);
Cell* call_round(Cell* value, Cell* scale, RoundFlags flags);
bool call_even_q(Cell* value);
bool call_odd_q(Cell* value);
Cell* call_complement(Cell* value);
Cell* call_append(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
Cell* call_change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
Cell* call_clear(Cell* series);
Cell* call_copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
Cell* call_find(Cell* series, Cell* value, const FindArgs& args);
Cell* call_insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
int32_t call_length_q(Cell* value);
Cell* call_move(Cell* origin, Cell* target, Cell* part);
Cell* call_pick(Cell* series, int32_t index, Cell* index_cell);
Cell* call_poke(Cell* series, int32_t index, Cell* value, Cell* index_cell);
Cell* call_put(Cell* series, Cell* key, Cell* value, bool case_);
Cell* call_remove(Cell* series, Cell* part, Cell* key);
Cell* call_reverse(Cell* series, Cell* part, Cell* skip);
Cell* call_select(Cell* series, Cell* value, const FindArgs& args);
Cell* call_sort(Cell* series, const SortArgs& args);
Cell* call_swap(Cell* series1, Cell* series2);
Cell* call_take(Cell* series, Cell* part, bool deep, bool last);
Cell* call_trim(Cell* series, const TrimArgs& args);
Cell* call_create(Cell* port);
Cell* call_close(Cell* port);
Cell* call_delete(Cell* port);
Cell* call_open(Cell* spec, const OpenArgs& args);
Cell* call_open_q(Cell* port);
Cell* call_query(Cell* port);
Cell* call_read(Cell* source, const ReadArgs& args);
Cell* call_rename(Cell* from, Cell* to);
Cell* call_update(Cell* port);
Cell* call_write(Cell* destination, Cell* data, const WriteArgs& args);

// --- comparison

// True when the comparison of a with b under `op` holds (entry 9). An
// ordering comparison of values that a's type cannot order raises script
// `invalid-compare`; for the equality codes (equal, not-equal, strict-equal,
// same, the parse equalities, find) an incomparable pair is unequal. The
// sort codes are not valid here.
bool compare(Cell* a, Cell* b, CompareOp op);
// Compares frame slots 0 and 1 and makes slot 0 the logic! answer.
Cell* compare_to_logic(CompareOp op);
// The raw answer of a's compare function (0, an ordering, or -2), with
// identity shortcuts for logic and function values of the same type.
int32_t compare_values(Cell* a, Cell* b, CompareOp op);

// --- fast paths for the interpreter (no frame, no dispatch when both
// operands are integers, floats or blocks; the generic action otherwise)

// Arithmetic of two integers (add, subtract, multiply: overflow gives the
// exact float!; or, and, xor) or two floats (add, subtract, multiply) into
// `out`; false when the operands need the generic action.
bool fast_math(MathOp op, const Cell* left, const Cell* right, Cell* out);
// The truth of an integer comparison under codes 0-6 into `out`; false when
// the operands are not both integers.
bool fast_compare(CompareOp op, const Cell* left, const Cell* right, bool* out);

// The operator routines: the result (or logic! answer) is pushed on the
// argument stack; a non-fast pair runs the generic action in a native frame
// named by `word`.
Cell* math_op(MathOp op, const Cell* word, const Cell* left, const Cell* right);
Cell* math_op_int(MathOp op, const Cell* word, const Cell* left, int32_t right);
// The left operand is the newest stack value, replaced by the result.
Cell* math_op_top(MathOp op, const Cell* word, const Cell* right);
Cell* math_op_top_int(MathOp op, const Cell* word, int32_t right);
Cell* compare_op(CompareOp op, const Cell* word, const Cell* left, const Cell* right);
Cell* compare_op_int(CompareOp op, const Cell* word, const Cell* left, int32_t right);
Cell* compare_op_top(CompareOp op, const Cell* word, const Cell* right);
Cell* compare_op_top_int(CompareOp op, const Cell* word, int32_t right);
// True when the comparison's truth differs from `expected`; nothing stays
// on the stack.
bool compare_op_test(CompareOp op, const Cell* word, const Cell* left, const Cell* right,
                     bool expected);
bool compare_op_int_test(CompareOp op, const Cell* word, const Cell* left, int32_t right,
                         bool expected);
// Makes frame slot 0 the logic! answer and returns the truth.
bool compare_op_result(CompareOp op, const Cell* word, const Cell* left, const Cell* right);

// pick with a 1-based index from a block's head (none outside); other types
// go through eval-path. The answer is pushed.
Cell* pick_fast(const Cell* series, int32_t index, const Cell* word);

enum class SeriesQuery : int32_t {
  length_q = 1, index_q = 2, head_q = 3, tail_q = 4, next = 5, back = 6, head = 7, tail = 8,
};
// The query answered directly for a block!; other types go through the
// generic action. The answer is pushed.
Cell* series_query_fast(const Cell* series, SeriesQuery query, const Cell* word);

// Ends the process with runtime error 101: an operator or query code that
// the routine does not handle (a fault of the calling code).
[[noreturn]] void bad_code();

// The type function of an arithmetic action (add ... xor~) for a type that
// computes every operator in one routine: `.add = math_action<do_math,
// MathOp::add>` in its row. The routine takes the operator alone and reads
// the frame (`void(MathOp)`), or the two operands, slots 0 and 1, with the
// result written over the first (`void(Cell* left, Cell* right, MathOp)`).
template <auto Math, MathOp Op>
void math_action() {
  if constexpr (std::is_invocable_v<decltype(Math), MathOp>)
    Math(Op);
  else
    Math(stack::arguments, stack::arguments + 1, Op);
}

}  // namespace qel::actions
