// native!, action! and op!: making, reflection, form, mold and compare.
#include "datatypes/native.h"

#include "core/stack.h"
#include "values/actions.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"
#include "values/symbol.h"

namespace qel {

namespace {

// The highest index a native! value may name (the natives table's size) and
// the number of actions.
constexpr int32_t kMaxNativeIndex = 120;

SymbolId sym_spec = 0, sym_body = 0, sym_local = 0, sym_extern = 0;

void init_symbols() {
  if (sym_spec) return;
  sym_spec = symbol::make("spec");
  sym_body = symbol::make("body");
  sym_local = symbol::make("local");
  sym_extern = symbol::make("extern");
}

bool is_sym(const Cell* w, SymbolId s) {
  return symbol::resolve(w->symbol()) == symbol::resolve(s);
}

[[noreturn]] void cannot_make(TypeId type, const Cell* spec) {
  Cell dt;
  set_datatype(&dt, type);
  fire(ErrorCode::script_bad_make_arg, &dt, spec);
}

// make native! and make action!: [spec-block index].
Cell* make_builtin(Cell* spec, TypeId type, int32_t max_index) {
  if (!spec->is(TypeId::block)) cannot_make(type, spec);
  SeriesBuffer* s = memory::series(spec->node());
  int32_t total = static_cast<int32_t>(s->length());
  int32_t head = spec->head();
  if (head < 0 || total - head != 2) cannot_make(type, spec);
  Cell fspec = s->cells()[head];
  Cell index = s->cells()[head + 1];
  if (!fspec.is(TypeId::block) || !index.is(TypeId::integer)) cannot_make(type, spec);
  if (index.integer() < 1 || index.integer() > max_index) cannot_make(type, spec);
  Cell* out = stack::push_slot();
  set_unset(out);
  return native::make_value(out, type, &fspec, index.integer());
}

int32_t mold_builtin(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part,
                     int32_t limit, int32_t indent, const char* opening) {
  limit = string::emit(buffer, opening, limit);
  Cell spec;
  set_series(&spec, TypeId::block, value->data2, 0);
  limit = actions::call_mold(&spec, buffer, {.only = only, .all = all, .flat = flat},
                             part, limit, indent);
  return string::emit(buffer, "]", limit);
}

}  // namespace

namespace native {

Cell* make_value(Cell* out, TypeId t, const Cell* spec, int32_t index) {
  Cell s = *spec;
  s.set_head(0);
  Node ctx =
      context::make(&s, context::OnStack::yes, context::SelfRef::no, context::Kind::function);
  Node companion_node = memory::alloc_cells(2);
  SeriesBuffer* b = memory::series(companion_node);
  b->cells()[kContext] = *context::context_cell(ctx);
  set_unset(b->cells() + kCache);
  b->tail = b->offset + 2 * sizeof(Cell);
  *out = Cell{static_cast<uint32_t>(t), static_cast<uint32_t>(index), spec->node(), companion_node};
  return out;
}

Cell* make(Cell*, Cell* spec, TypeId) {
  return make_builtin(spec, TypeId::native, kMaxNativeIndex);
}

Cell* reflect(Cell* value, uint32_t field) {
  init_symbols();
  SymbolId f = symbol::resolve(field);
  Cell* out = stack::push_slot();
  if (f == symbol::resolve(sym_spec)) {
    set_series(out, TypeId::block, value->data2, 0);
  } else if (f == symbol::resolve(sym_body)) {
    TypeId t = value->is(TypeId::op) ? op::wrapped(value) : value->type();
    if (t == TypeId::function || t == TypeId::routine)
      *out = *function::extra(value, function::kBody);
    else
      set_integer(out, static_cast<int32_t>(value->data1));
  } else {
    fire(ErrorCode::internal_not_done);
  }
  return out;
}

int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) {
  return string::emit(buffer, "?native?", limit);
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  return mold_builtin(value, buffer, only, all, flat, part, limit, indent, "make native! [");
}

// Built-ins of one type compare by their entry's index (action! and op!
// inherit it).
int32_t compare(Cell* value1, Cell* value2, CompareOp op) {
  if (value2->type() != value1->type()) return kNotComparable;
  return compare_by_identity(static_cast<int32_t>(value1->data1), static_cast<int32_t>(value2->data1),
                             op);
}

void register_() {
  constexpr ActionRow row{
      .make = native::make,
      .reflect = native::reflect,
      .form = native::form,
      .mold = native::mold,
      .compare = native::compare,
  };
  datatype::register_type(TypeId::native, TypeId::none_id, "native!", row);
}

}  // namespace native

namespace action {

Cell* make(Cell*, Cell* spec, TypeId) { return make_builtin(spec, TypeId::action, kActionCount); }

int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) {
  return string::emit(buffer, "?action?", limit);
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  return mold_builtin(value, buffer, only, all, flat, part, limit, indent, "make action! [");
}

void register_() {
  constexpr ActionRow row{
      .make = action::make,
      .form = action::form,
      .mold = action::mold,
  };
  datatype::register_type(TypeId::action, TypeId::native, "action!", row);
}

}  // namespace action

namespace op {

bool fit_spec(const Cell* spec) {
  init_symbols();
  SeriesBuffer* s = memory::series(spec->node());
  int32_t n = static_cast<int32_t>(s->length());
  int32_t count = 0;
  bool seen_word = false;
  for (int32_t i = 0; i < n; i++) {
    const Cell& c = s->cells()[i];
    switch (c.type()) {
      case TypeId::word:
        count++;
        seen_word = true;
        break;
      case TypeId::lit_word:
      case TypeId::get_word:
        if (!seen_word) return false;
        count++;
        break;
      case TypeId::set_word:
        return count == 2;
      case TypeId::refinement:
        if (is_sym(&c, sym_local) || is_sym(&c, sym_extern)) return count == 2;
        return false;
      default:
        break;
    }
  }
  return count == 2;
}

bool plain_spec(const Cell* spec) {
  SeriesBuffer* s = memory::series(spec->node());
  int32_t n = static_cast<int32_t>(s->length());
  int32_t words = 0;
  for (int32_t i = 0; i < n; i++) {
    TypeId t = s->cells()[i].type();
    if (t == TypeId::word) words++;
    if (t == TypeId::lit_word || t == TypeId::get_word || t == TypeId::refinement) return false;
  }
  return words == 2;
}

Cell* make(Cell*, Cell* spec, TypeId) {
  TypeId t = spec->type();
  if (t != TypeId::native && t != TypeId::action && t != TypeId::function && t != TypeId::routine) {
    Cell dt;
    set_datatype(&dt, t);
    fire(ErrorCode::script_invalid_type, &dt);
  }
  Cell fspec;
  set_series(&fspec, TypeId::block, spec->data2, 0);
  if (!fit_spec(&fspec)) fire(ErrorCode::script_bad_op_spec);
  Cell* out = stack::push(spec);
  if (t == TypeId::function || t == TypeId::routine) *function::extra(spec, function::kOp) = *spec;
  out->header = (static_cast<uint32_t>(t) << 16) | static_cast<uint32_t>(TypeId::op);
  if (plain_spec(&fspec)) out->header |= kPlain;
  return out;
}

int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) {
  return string::emit(buffer, "?op?", limit);
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  limit = string::emit(buffer, "make op! ", limit);
  bool fn = wrapped(value) == TypeId::function;
  limit = string::emit(buffer, fn ? "func " : "[", limit);
  Cell spec;
  set_series(&spec, TypeId::block, value->data2, 0);
  // The spec of a wrapped function is always a block, as in the function's
  // own mold, so that the text reads back as make op! func [spec][body].
  limit = actions::call_mold(&spec, buffer, {.only = fn ? false : only, .all = all, .flat = flat},
                             part, limit, indent);
  if (fn) {
    Cell body = *function::extra(value, function::kBody);
    if (body.is(TypeId::block))
      limit = actions::call_mold(&body, buffer, {.all = all, .flat = flat}, part, limit, indent);
    return limit;
  }
  return string::emit(buffer, "]", limit);
}

void register_() {
  constexpr ActionRow row{
      .make = op::make,
      .form = op::form,
      .mold = op::mold,
  };
  datatype::register_type(TypeId::op, TypeId::native, "op!", row);
}

}  // namespace op
}  // namespace qel
