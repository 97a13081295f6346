// The path family and paren!: construction, conversion, text forms and
// their action rows, built on block!'s storage and actions.
#include "datatypes/path.h"

#include "core/cycle_guard.h"
#include "core/stack.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"

namespace qel {

namespace path {

Cell* push(const Cell* value) {
  Cell* c = stack::push(value);
  c->set_type(TypeId::path);
  return c;
}

Cell* make_at(Cell* cell, int32_t n) {
  block::make_at(cell, n);
  cell->set_type(TypeId::path);
  return cell;
}

namespace {

// Room for a count given as a number: truncated toward zero, at least 1.
int32_t room(const Cell* spec) {
  if (spec->is(TypeId::integer)) return spec->integer() < 1 ? 1 : spec->integer();
  double d = spec->real();
  if (integer::float_overflow(d)) fire(ErrorCode::script_out_of_range, spec);
  int32_t n = static_cast<int32_t>(d);
  return n < 1 ? 1 : n;
}

// Writes the values with "/" between them, each through `write`.
template <class Write>
int32_t write_values(Cell* value, Cell* buffer, Cell* part, int32_t limit, Write write) {
  Node node = value->node();
  cycle_guard::Scope guard(node);
  Cell blk = *value;
  int32_t head = blk.head() < 0 ? 0 : blk.head();
  for (int32_t i = head; i < block::total_cells(&blk); i++) {
    Cell item = *(memory::series(node)->cells() + i);
    limit = write(&item, limit);
    if (part && limit < 1) break;
    if (i + 1 < block::total_cells(&blk)) limit = string::emit_char(buffer, '/', limit);
  }
  return limit;
}

}  // namespace

Cell* make(Cell* proto, Cell* spec, TypeId type) {
  TypeId st = spec->type();
  if (st == TypeId::block || st == TypeId::paren || st == TypeId::hash || is_any_path(st))
    return block::to(proto, spec, type);
  if (st == TypeId::integer || st == TypeId::float_ || st == TypeId::percent) {
    Cell* result = block::make_at(stack::push_slot(), room(spec));
    result->set_type(type);
    return result;
  }
  Cell dt;
  set_datatype(&dt, type);
  fire(ErrorCode::script_bad_make_arg, &dt, spec);
}

Cell* to(Cell* proto, Cell* spec, TypeId type) {
  TypeId st = spec->type();
  if (st == TypeId::object || st == TypeId::typeset || st == TypeId::map) {
    Cell v = *spec;
    Cell* result = block::make_at(stack::push_slot(), 1);
    block::rs_append(result, &v);
    result->set_type(type);
    return result;
  }
  return block::to(proto, spec, type);
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  if (cycle_guard::detect(value, buffer, limit, cycle_guard::Output::form)) return limit;
  return write_values(value, buffer, part, limit, [&](Cell* item, int32_t lim) {
    return actions::call_form(item, buffer, part, lim);
  });
}

int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  if (cycle_guard::detect(value, buffer, limit, cycle_guard::Output::mold)) return limit;
  return write_values(value, buffer, part, limit, [&](Cell* item, int32_t lim) {
    return actions::call_mold(item, buffer, {.all = all, .flat = flat}, part, lim, indent);
  });
}

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
  return block::copy(value, result, part, deep, types);
}

void register_() {
  static const ActionRow row{
      .make = make,
      .random = unsupported,
      .to = to,
      .form = form,
      .mold = mold,
      .copy = copy,
      .sort = unsupported,
      .trim = unsupported,
  };
  datatype::register_type(TypeId::path, TypeId::block, "path!", row);
}

}  // namespace path

namespace {

// The row of a path! child: path!'s actions with the type's own mold.
constexpr ActionRow path_child_row(action_fn::mold mold) { return ActionRow{.mold = mold}; }

}  // namespace

namespace lit_path {
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  limit = string::emit_char(buffer, '\'', limit);
  return path::mold(value, buffer, only, all, flat, part, limit, indent);
}
void register_() {
  static const ActionRow row = path_child_row(mold);
  datatype::register_type(TypeId::lit_path, TypeId::path, "lit-path!", row);
}
}  // namespace lit_path

namespace get_path {
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  limit = string::emit_char(buffer, ':', limit);
  return path::mold(value, buffer, only, all, flat, part, limit, indent);
}
void register_() {
  static const ActionRow row = path_child_row(mold);
  datatype::register_type(TypeId::get_path, TypeId::path, "get-path!", row);
}
}  // namespace get_path

namespace set_path {
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  limit = path::mold(value, buffer, only, all, flat, part, limit, indent);
  return string::emit_char(buffer, ':', limit);
}
void register_() {
  static const ActionRow row = path_child_row(mold);
  datatype::register_type(TypeId::set_path, TypeId::path, "set-path!", row);
}
}  // namespace set_path

namespace paren {
int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  if (cycle_guard::detect(value, buffer, limit, cycle_guard::Output::mold)) return limit;
  if (!only) limit = string::emit_char(buffer, '(', limit);
  limit = block::mold_each(value, buffer, only, all, flat, part, limit, indent);
  if (!only) limit = string::emit_char(buffer, ')', limit);
  return limit;
}
void register_() {
  // Every block! function but its own mold; trim is not supported.
  static const ActionRow row{.mold = mold, .trim = unsupported};
  datatype::register_type(TypeId::paren, TypeId::block, "paren!", row);
}
}  // namespace paren

}  // namespace qel
