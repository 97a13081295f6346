// error!: the value of every script-level failure, the error catalog and
// the error report.
//
// An error! cell is an object! cell (datatypes/object.h) with type 34, class id
// object::kErrorClass and no event information. Its context is a copy of the
// standard error prototype, whose fields, in order, are `code` (category
// index x 100 + the id's position), `type` (the category word), `id` (the id
// word), `arg1` `arg2` `arg3`, `near` (the code being evaluated when the
// error was made), `where` (the word of the call that raised it), `stack`
// (first the call-stack position as an integer!, later a block of call
// words) and `files`.
//
// The catalog is an object with one field per category, in the fixed order
// throw note syntax script math access reserved1 reserved2 user internal;
// each category is an object whose fields are `code` (index x 100), `type`
// (the report text) and then one field per id holding its message template:
// a string!, a block! of strings and argument words, or a word! naming a
// field of the error. Start-up builds it from a Qel boot text generated from
// core/error_catalog.def (`catalog_text`), so the catalog's content lives
// once, in that table; the library's `system/catalog/errors` and
// `system/standard/error` are the objects `catalog()` and `prototype()`
// answer.
//
// Raising goes through `fire` (core/errors.h), which builds the error with
// `create`. `form_report` is the one place the report text is made: the
// console, the uncaught-error exit and the golden harness all print it.
// Arguments of syntax errors are formed, all others molded flat, each cut
// at 80 characters; the Near text is cut at 40. A template that names a
// field holding neither text nor a block writes that value as an argument,
// and forming leaves the error unchanged; `mold/flat` writes no
// indentation. `fire` below the value model (memory tests, the catalog's
// own loading) throws the bare code as an integer!.
#pragma once

#include <cstdint>
#include <string>

#include "core/cell.h"
#include "values/datatype.h"
#include "core/errors.h"
#include "values/symbol.h"

namespace qel::error {

// Fields of an error's context, in the prototype's order.
enum Field : int32_t {
  kCode = 0,
  kType = 1,
  kId = 2,
  kArg1 = 3,
  kArg2 = 4,
  kArg3 = 5,
  kNear = 6,
  kWhere = 7,
  kStack = 8,
  kFiles = 9,
  kFieldCount = 10,
};
inline constexpr int32_t kStackIndex = kStack;
inline constexpr int32_t kCategoryCount = 10;

// --- the catalog

// Builds the catalog and the error prototype from the boot text (once; needs
// the lexer). Called at start-up; the first error made builds it when start-
// up did not. A program with boot data (services/qelbin_boot.h) takes them
// from it instead, at the boot-data step: until then this does nothing.
void init();
// The boot-data step: adopts the catalog and the prototype decoded from the
// boot data (null: builds them from the boot text after all).
void adopt(const Cell* catalog, const Cell* prototype);
// Installs the lookup that names a call's arguments in `expect-arg` errors.
void install_call_argument();
// True once the catalog exists. `available` first tries to build it (false
// while it is being built: an error raised then has no error! to become).
bool ready();
bool available();
// The Qel boot text the catalog is loaded from: one `category: [code: ...
// type: "..." id: template ...]` entry per category.
std::string catalog_text();
// The catalog object (system/catalog/errors) and the error prototype
// (system/standard/error).
const Cell* catalog();
const Cell* prototype();
// The context of the catalog's categories object and of one category.
Node categories_context();
Node category_context(int32_t category);
// The category word at an index and the id word at an id index (the id's
// position in its category + 2), each a word! bound to its catalog object.
Cell category_word(int32_t category);
Cell id_word(int32_t category, int32_t id_index);

// --- making and reading errors

// Pushes a new error! for a catalog code and up to three arguments (null:
// none); `near` is the interpreter's position.
Cell* create(ErrorCode code, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr,
             const Cell* arg3 = nullptr);
// The same from a category word and an id word (`make error!` of the block
// [category id]).
Cell* create_from_words(const Cell* category, const Cell* id, const Cell* arg1,
                        const Cell* arg2, const Cell* arg3);
// A field of an error value.
Cell* field(const Cell* err, Field f);
// The error's code field (-1 when it holds no integer).
int32_t code_of(const Cell* err);
// The symbols of the type and id words (0 when they hold no word).
SymbolId get_type(const Cell* err);
SymbolId get_id(const Cell* err);
// Stores the value into `where` when `where` is still none.
void store_where(Cell* err, const Cell* value);
// Stores the call-stack position into `stack` unless it holds a block.
void store_stack_position(Cell* err, int32_t position);
// Turns an integer `stack` field into the block of call words (depth from
// system/state/stack-trace, 1 when that is not a positive integer) and
// copies system/state/source-files into `files` when not empty.
void capture_stack(Cell* err);

// The report: "*** " category text ": " message, then the Where and Near
// lines, the Stack line when system/state/stack-trace is positive and the
// Files line when the error holds files (no line end after the last line).
// Any value that is not an error! reports as "*** " and its form.
std::string form_report(const Cell* err);
// Makes the error of a code and prints its report (followed by a line end)
// instead of raising it.
void create_and_print(ErrorCode code, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr,
                      const Cell* arg3 = nullptr);

// --- error! actions
Cell* make(Cell* proto, Cell* spec, TypeId type);
int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit);
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step);
int32_t compare(Cell* value1, Cell* value2, CompareOp op);
// Registers error! (after object!).
void register_();

}  // namespace qel::error
