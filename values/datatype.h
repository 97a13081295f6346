// The datatype registry: one record (name, name length, type word) and one
// action row per type id, and the `datatype!` type itself.
//
// Every datatype module describes the 62 actions it implements as one
// `ActionRow`, written as a constexpr value with designated initialisers in
// action order (a slot out of order does not compile):
//
//   constexpr ActionRow logic_row{
//       .make = logic::make, .random = logic::random, .to = logic::to,
//       .form = logic::form, .mold = logic::mold, .compare = logic::compare, ...};
//
// A row names only what the type changes: a slot holds the type's function,
// `unsupported` (the type refuses an action its parent supports), or nothing
// (the default of every slot left out: the parent's function for the same
// action, taken at registration time; a type without a parent supports no
// action it does not name). So a child's row reads as its difference from
// its parent. Registration copies
// the row into the flat `rows` table with inheritance resolved, so that
// dispatch is one indexed load and an indirect call (values/actions.h).
// Parents register before their children (the order lives in
// datatypes/init.cpp).
#pragma once

#include <cstdint>

#include "core/cell.h"
#include "core/types.h"

namespace qel {

// ---------------------------------------------------------------------------
// Signatures of the type functions, one per action.
//
// Conventions shared by every action:
// - Operands arrive as cells. A refinement without arguments arrives as a
//   bool; a refinement with an argument as a pointer to its argument cell,
//   nullptr when the refinement is absent.
// - A function returning Cell* returns the cell that holds its answer; the
//   entry point copies it into frame slot 0 (it may be slot 0 itself).
// - "Frame form" functions take nothing: they read frame slots 0 and 1
//   (stack::arguments[0], [1]) and leave the result in slot 0.
// - form and mold append to `buffer` (a string!) and return the budget they
//   were given less the characters they appended.
// - compare answers 0 (equal), a negative or positive ordering, or
//   kNotComparable (-2).

// The trailing arguments of an eval-path step. The defaults are those of the
// generic eval-path action.
struct PathStep {
  Cell* path = nullptr;        // the whole path (for error messages), or null
  Cell* owner = nullptr;       // the value holding the parent, or null
  Cell* owner_word = nullptr;  // the element that reached the parent, or null
  int32_t index = -1;          // position of the element in the path
  bool case_ = false;          // case-sensitive field and key matching
  bool any = false;            // a missing field reads as unset (with `last`)
  bool last = true;            // the element is the last one of the path
  bool notify = false;         // the parent's owner must be told of a set
};

// /round refinements.
struct RoundFlags {
  bool even = false, down = false, half_down = false, floor = false, ceiling = false,
       half_ceiling = false;
};

// Refinements of find and select (select ignores `tail` and `match`).
struct FindArgs {
  Cell* part = nullptr;
  bool only = false, case_ = false, same = false, any = false;
  Cell* with = nullptr;
  Cell* skip = nullptr;
  bool last = false, reverse = false, tail = false, match = false;
};

struct SortArgs {
  bool case_ = false;
  Cell* skip = nullptr;
  Cell* compare = nullptr;
  Cell* part = nullptr;
  bool all = false, reverse = false, stable = false;
};

struct TrimArgs {
  bool head = false, tail = false, auto_ = false, lines = false, all = false;
  Cell* with = nullptr;
};

struct OpenArgs {
  bool new_ = false, read = false, write = false, seek = false;
  Cell* allow = nullptr;
};

struct ReadArgs {
  Cell* part = nullptr;
  Cell* seek = nullptr;
  bool binary = false, lines = false, info = false;
  Cell* as = nullptr;
};

struct WriteArgs {
  bool binary = false, lines = false, info = false, append = false;
  Cell* part = nullptr;
  Cell* seek = nullptr;
  Cell* allow = nullptr;
  Cell* as = nullptr;
};

namespace action_fn {
using FrameForm = void (*)();
using Unary = Cell* (*)(Cell* value);

using make = Cell* (*)(Cell* proto, Cell* spec, TypeId type);
using random = Cell* (*)(Cell* value, bool seed, bool secure, bool only);
using reflect = Cell* (*)(Cell* value, uint32_t field_symbol);
using to = make;
using form = int32_t (*)(Cell* value, Cell* buffer, Cell* part, int32_t limit);
using mold = int32_t (*)(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
                         int32_t limit, int32_t indent);
using eval_path = Cell* (*)(Cell* parent, Cell* element, Cell* value, const PathStep& step);
using set_path = eval_path;
using compare = int32_t (*)(Cell* value1, Cell* value2, CompareOp op);
using absolute = FrameForm;
using add = FrameForm;
using divide = FrameForm;
using multiply = FrameForm;
using negate = Unary;
using power = FrameForm;
using remainder = FrameForm;
using round = Cell* (*)(Cell* value, Cell* scale, RoundFlags flags);
using subtract = FrameForm;
using even_q = bool (*)(Cell* value);
using odd_q = even_q;
using and_ = FrameForm;
using complement = Unary;
using or_ = FrameForm;
using xor_ = FrameForm;
// append and insert share one signature; `at_tail` is true for append.
using append = Cell* (*)(Cell* series, Cell* value, int32_t part, bool only, int32_t dup,
                         bool at_tail);
using at = FrameForm;
using back = FrameForm;
using change = Cell* (*)(Cell* series, Cell* value, int32_t part, bool only, int32_t dup);
using clear = Unary;
using copy = Cell* (*)(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
using find = Cell* (*)(Cell* series, Cell* value, const FindArgs& args);
using head = FrameForm;
using head_q = FrameForm;
using index_q = FrameForm;
using insert = append;
// Answers the length, or -1 for none.
using length_q = int32_t (*)(Cell* value);
using move = Cell* (*)(Cell* origin, Cell* target, Cell* part);
using next = FrameForm;
using pick = Cell* (*)(Cell* series, int32_t index, Cell* index_cell);
using poke = Cell* (*)(Cell* series, int32_t index, Cell* value, Cell* index_cell);
using put = Cell* (*)(Cell* series, Cell* key, Cell* value, bool case_);
using remove = Cell* (*)(Cell* series, Cell* part, Cell* key);
using reverse = Cell* (*)(Cell* series, Cell* part, Cell* skip);
using select = find;
using sort = Cell* (*)(Cell* series, const SortArgs& args);
using skip = FrameForm;
using swap = Cell* (*)(Cell* series1, Cell* series2);
using tail = FrameForm;
using tail_q = FrameForm;
using take = Cell* (*)(Cell* series, Cell* part, bool deep, bool last);
using trim = Cell* (*)(Cell* series, const TrimArgs& args);
using create = Unary;
using close = Unary;
using delete_ = Unary;
using modify = Cell* (*)(Cell* target, Cell* field, Cell* value, bool case_);
using open = Cell* (*)(Cell* spec, const OpenArgs& args);
using open_q = Unary;
using query = Unary;
using read = Cell* (*)(Cell* source, const ReadArgs& args);
using rename = Cell* (*)(Cell* from, Cell* to);
using update = Unary;
using write = Cell* (*)(Cell* destination, Cell* data, const WriteArgs& args);
}  // namespace action_fn

// ---------------------------------------------------------------------------
// Slots of a registration row.

struct InheritTag {};
struct UnsupportedTag {};
// Slot value: take the parent's function for this action (the default of
// an omitted slot).
inline constexpr InheritTag inherit{};
// Slot value: the action is not supported, whatever the parent does.
inline constexpr UnsupportedTag unsupported{};

template <class F>
struct Slot {
  enum class Kind : uint8_t { unsupported, inherit, own };
  F fn = nullptr;
  Kind kind = Kind::inherit;

  constexpr Slot() = default;
  // (A null function is unsupported too: resolving gives null either way.)
  constexpr Slot(F f) : fn(f), kind(Kind::own) {}
  constexpr Slot(InheritTag) : kind(Kind::inherit) {}
  constexpr Slot(UnsupportedTag) : kind(Kind::unsupported) {}
};

// A type's registration row: one slot per action, in action order.
struct ActionRow {
#define QEL_X(name, text) Slot<action_fn::name> name;
  QEL_ACTION_LIST(QEL_X)
#undef QEL_X
};

// A resolved row: one function per action, null when not supported. Rows
// are 512 bytes so that indexing the table by type id is a shift.
struct alignas(512) ResolvedRow {
#define QEL_X(name, text) action_fn::name name;
  QEL_ACTION_LIST(QEL_X)
#undef QEL_X
};

namespace detail {
#define QEL_X(name, text) +1
inline constexpr int kRowSlots = 0 QEL_ACTION_LIST(QEL_X);
#undef QEL_X
}  // namespace detail
static_assert(detail::kRowSlots == kActionCount, "one slot per action");
static_assert(sizeof(ResolvedRow) == 512, "rows index by shift");

// ---------------------------------------------------------------------------
// The registry.

namespace datatype {

// What the registry keeps of each type.
struct Record {
  const char* name = nullptr;  // with its "!" ("integer!"); owned by the registering module
  int32_t name_length = 0;     // length without the "!"
  Cell word{};                 // the global word! of the name (unset until the words exist)
};

// Indexed by type id; entry 0 is never used.
extern Record records[kMaxTypes];
extern ResolvedRow rows[kMaxTypes];
// The highest type id registered so far (0 before the first registration).
extern int32_t highest_type;

inline const ResolvedRow& row(TypeId t) { return rows[static_cast<uint8_t>(t)]; }
inline const Record& record(TypeId t) { return records[static_cast<uint8_t>(t)]; }
inline bool is_registered(TypeId t) { return records[static_cast<uint8_t>(t)].name != nullptr; }

// Empties both tables and sets `highest_type` to 0 (start-up, and tests).
void reset();

// Registers a type: its record, and its row with inherited slots taken from
// the parent's resolved row (TypeId::none_id for no parent). The parent must
// already be registered. When the global context already exists (a type
// registered after start-up) the type's word is made at once.
void register_type(TypeId id, TypeId parent, const char* name, const ActionRow& row);

// The counted form of registration: `count` is the number of items the
// caller's list holds (type id, parent id, name and the slots: 65). Any other
// count is a build fault: it prints the three "*** Datatype Error" lines and
// ends the process with status 0.
void register_counted(int32_t count, TypeId id, TypeId parent, const char* name,
                      const ActionRow& row);

// Makes the word of every registered type (after the symbol table and the
// global context exist).
void make_type_words();

// The type id a datatype! cell names.
inline TypeId named(const Cell* dt) { return static_cast<TypeId>(dt->data1); }

// Pushes a datatype! for the id on the argument stack.
Cell* push(TypeId t);
// Appends a datatype! for the id at the tail of a block.
Cell* make_in(Node block, TypeId t);

// --- datatype! actions
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
int32_t compare(Cell* value1, Cell* value2, CompareOp op);

// Registers datatype! itself.
void register_self();

}  // namespace datatype
}  // namespace qel
