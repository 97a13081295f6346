// Error raising: `fire` makes the error! of a catalog code (datatypes/error.h)
// and hands it to the evaluator's unwinder, which records where it happened
// and throws it to the nearest `try`.
#include "core/errors.h"

#include "evaluator/interpreter.h"
#include "core/stack.h"
#include "evaluator/trace.h"
#include "core/unwind.h"
#include "datatypes/error.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel {

namespace {
struct CatalogRow {
  ErrorCode code;
  const char* id;
  const char* tmpl;
};
constexpr CatalogRow kCatalog[] = {
#define X(category, name, id, code, tmpl) {ErrorCode::name, id, tmpl},
#include "core/error_catalog.def"
#undef X
};
}  // namespace

const char* error_id_name(ErrorCode code) {
  for (const auto& r : kCatalog)
    if (r.code == code) return r.id;
  return nullptr;
}

const char* error_template(ErrorCode code) {
  for (const auto& r : kCatalog)
    if (r.code == code) return r.tmpl;
  return nullptr;
}

namespace error {

void set_where(Cell* err, const Cell* word) { store_where(err, word); }

void set_stack_position(Cell* err, int32_t position) { store_stack_position(err, position); }

std::string report(const Cell* err) { return form_report(err); }

}  // namespace error

void fire(ErrorCode code, const Cell* arg1, const Cell* arg2, const Cell* arg3) {
  // Below the value model (memory set-up, its tests) there is no error! to
  // make: the exit carries the bare code.
  if (!stack::bottom || !symbol::ready() || !error::available()) {
    set_integer(&unwind::thrown_value, static_cast<int32_t>(code));
    unwind::throw_level(level::error);
  }
  // The error stays on the argument stack (a collector root) while a trace
  // callback may run; the stack is then left as the raiser had it, and the
  // unwinder keeps the error in unwind::thrown_value.
  Cell* const top = stack::top;
  Cell* err = error::create(code, arg1, arg2, arg3);
  if (interpreter::tracing_q) interpreter::fire_error(err);
  Cell e = *err;
  stack::top = top;
  stack::throw_error(&e);
}

void fire_not_related(const char* action, TypeId type) {
  const Cell called = action ? word::load(action) : stack::get_call();
  Cell dt;
  set_datatype(&dt, type);
  fire(ErrorCode::script_not_related, &called, &dt);
}

}  // namespace qel
