// object!: a value that carries its own context of words and values.
//
// Object cell (type 32; error! 34 and port! 48 share the layout):
//   data1 = the context node (a context of kind object, values/context.h,
//           made with the self flag so that `self` in its body answers the
//           object);
//   data2 = the class id (signed);
//   data3 = the event-information node, or 0 when the object has no change
//           handlers (datatypes/object_events.h).
//
// The context series is [context cell, self slot]: every constructor writes
// a copy of the object cell into the self slot last, so code that holds only
// a context (a bound word, the ownership registry) gets back to the object.
// Value i of the context belongs to word i; a word cell in an object context
// carries cell_flag::assigned once a value was assigned to it since the mark
// was last cleared (`make` clears it after the spec ran; `reflect 'changed`
// lists the marked words). The context cell carries cell_flag::owned while
// the object owns its series (values/ownership.h).
//
// Class ids: objects made at run time take ids from a counter that starts at
// 1,000,000 (the first one handed out is 1,000,001). Ids below that are fixed
// for the library's objects and come from a table (`fixed_class_id`), since
// no compiler assigns them here. `make` gives a new id when it adds words and
// otherwise keeps the prototype's; `copy` and `construct` with a prototype
// keep the prototype's.
//
// `make object!` binds its spec and evaluates it through `eval_block`. From
// a prototype it copies the context once, rebinds each function once and
// deep-copies only the series values; when the spec is an object that adds
// fields, the prototype's functions are rebound again once those are in. A
// function copied from a library prototype keeps the library mark. A field
// set through a path (`o/a: 2`) gets the assigned mark, as a bound set-word.
// `set` of an object refuses unset! in the value each target field would
// take, naming the field: an object source is matched by name, /some skips
// none!, and a value a handler made unset after the check is refused too;
// `on-change*` and `on-deep-change*` take only a function from a block or a
// single value and keep their handler otherwise. Mold and form quote a
// path! field value as they quote a word! (`p: 'a/b`), so the text
// evaluates back to the path.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "core/cell.h"
#include "values/datatype.h"

namespace qel::object {

// --- class ids

inline constexpr int32_t kFirstClassId = 1000000;
// The class id of error! values, of made port! values, and of objects with
// no class (system/words, decoded contexts).
inline constexpr int32_t kErrorClass = 1;
inline constexpr int32_t kPortClass = 2;
inline constexpr int32_t kNoClass = -1;
// The class id of the error catalog's objects.
inline constexpr int32_t kCatalogClass = 3;

// The next run-time class id (the counter plus one, stored).
int32_t next_class_id();
// The fixed class id the library gives one of its objects (by the name the
// table knows it by: "error", "port", "words" ...), or 0 when the table has
// no such name.
int32_t fixed_class_id(std::string_view name);

// --- accessors (object cell or its context node)

inline Node context_of(const Cell* obj) { return obj->data1; }
inline int32_t class_id(const Cell* obj) { return static_cast<int32_t>(obj->data2); }
inline Node event_info(const Cell* obj) { return obj->data3; }
// True for the object-like types (object!, error!, port!).
inline bool is_object_like(TypeId t) {
  return t == TypeId::object || t == TypeId::error || t == TypeId::port;
}

// The word cell at a 0-based index of the context's word list (no check).
Cell* word_at(Node ctx, int32_t index);
// The index of the word's symbol in the object's context (case-insensitive),
// or -1. A word already bound to the context answers its index at once.
int32_t find_word_index(const Cell* obj, const Cell* word);
// The value cell of the word in the object, or the shared none! cell when
// the object lacks it. Valid until the object's context grows or Qel code
// runs.
const Cell* find_value(const Cell* obj, const Cell* word);
// The value of a field by name (case-insensitive), or null.
Cell* field(const Cell* obj, std::string_view name);
// The value at system/<names ...>, each name a field of the object before
// it (`system` itself for no names); null while `system`, a field or an
// object on the way is missing.
Cell* system_field(std::initializer_list<std::string_view> names);
// The first value cell.
Cell* get_values(const Cell* obj);
// The number of words.
uint32_t word_count(const Cell* obj);
// Clears the new-line flag of every cell of a cell series.
void clear_new_lines(Node series);
// Clears the assigned mark of every word of a context.
void clear_assigned(Node ctx);
// True when the word's value is an object! of that class.
bool word_is_class(const Cell* word, int32_t id);
// True when the value at the index of the context is an object! of that
// class.
bool value_is_class(Node ctx, int32_t index, int32_t id);

// Writes a copy of the object cell (flags cleared) into its context's self
// slot.
void store_self(const Cell* obj);

// --- constructors (each pushes the new object and stores its self copy)

// An object! cell for a context, event information and class id.
Cell* push(Node ctx, Node events, int32_t class_id);
// The same without event information; a context whose values series is
// still empty first gets one (unset) value per word.
Cell* push_plain(Node ctx, int32_t class_id);
// An empty object with room for `capacity` words: class id 0, no events.
Cell* make_at(Cell* out, uint32_t capacity);
// Builds the event information of the object on the stack top for its
// handlers at the given field indexes (-1: none) and local-slot counts; with
// an `on-deep-change*` handler the object takes ownership of its series.
void init_events(int32_t change_index, int32_t change_locals, int32_t deep_index,
                 int32_t deep_locals);
// `construct`: an object from an unevaluated spec block. Without a
// prototype (null) a new empty object with a new class id; with one, a deep
// copy of it. Each run of set-words takes the value that follows it (none!
// at the end); unless `only`, the words true/yes/on, false/no/off and none
// become their logic! and none! values. Pushes the object.
// A non-zero `fixed_class` is given to an object made without a prototype
// instead of a new class id.
Cell* construct(const Cell* spec, const Cell* proto, bool only, int32_t fixed_class = 0);
// `make object! spec` from C++ (the spec is bound to the new context and
// evaluated). Pushes the object.
Cell* make_from_block(const Cell* spec);

// Copies an object into `result`: a new context with the same words and a
// byte copy of the values (functions rebound to the copy). `deep` copies the
// series values of the deep-copy list (or, with `types`, the values of those
// types); `new_events` builds fresh event information (else the source's is
// shared). copy/part raises script `invalid-refine-arg`.
Cell* copy_object(const Cell* obj, Cell* result, Cell* part, bool deep, Cell* types,
                  bool new_events);

// Serialises the fields of an object (shared by form, mold and error! mold):
// word, ": " and the molded value per field, separated by a line feed (or a
// blank when flat), with 4 blanks per level before each field when
// indenting. Returns the limit left.
struct FieldsStyle {
  bool only = false;
  bool all = false;
  bool flat = false;
  bool indent = false;
  int32_t level = 0;
  bool leading_newline = false;
};
int32_t serialize(const Cell* obj, Cell* buffer, Cell* part, int32_t limit,
                  const FieldsStyle& style);

// Evaluates a block whole through the interpreter and drops its result
// (the one place objects and errors call the interpreter for a spec).
void eval_block(const Cell* block);

// --- object! actions
Cell* make(Cell* proto, Cell* spec, TypeId type);
Cell* reflect(Cell* value, uint32_t field_symbol);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step);
int32_t compare(Cell* value1, Cell* value2, CompareOp op);
Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
Cell* put(Cell* obj, Cell* key, Cell* value, bool case_);
Cell* select(Cell* obj, Cell* value, const FindArgs& args);
Cell* modify(Cell* obj, Cell* field, Cell* value, bool case_);

// Registers object! (and installs the change-notice hooks of contexts).
void register_();

}  // namespace qel::object
