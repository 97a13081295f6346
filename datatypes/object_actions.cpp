// object! actions other than making: reflect, form and mold (the field
// serialiser error! shares), path access, put, select, modify, compare, and
// the object! row.
#include <algorithm>

#include "core/cycle_guard.h"
#include "core/stack.h"
#include "memory/series.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/object_events.h"
#include "datatypes/object_internal.h"
#include "values/ownership.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel::object {

namespace {

using detail::cached_symbol;
using detail::same_symbol;

SymbolId s_changed, s_class, s_words, s_values, s_body, s_owner, s_events, s_owned;

bool is_field_word(TypeId t) {
  return t == TypeId::word || t == TypeId::set_word || t == TypeId::get_word ||
         t == TypeId::lit_word;
}

// Pushes a new block of the context's word cells, each a word! bound to the
// context, without the assigned marks.
Cell* push_words(Node ctx, TypeId as, uint32_t flags) {
  const uint32_t n = context::word_count(ctx);
  Cell* blk = block::push_only(static_cast<int32_t>(n));
  for (uint32_t i = 0; i < n; i++) {
    Cell w = *context::word_cell(ctx, static_cast<int32_t>(i));
    w.header = static_cast<uint32_t>(as) | flags;
    block::rs_append(blk, &w);
  }
  return blk;
}

// Mold comparison kind of a value for object comparison: values of one kind
// are compared with the operator, values of different kinds by type id.
int kind_of(TypeId t) {
  if (is_any_word(t) && t != TypeId::issue) return 1000;
  if (t == TypeId::integer || t == TypeId::float_ || t == TypeId::percent) return 1001;
  return static_cast<int>(t);
}

}  // namespace

// --- reflect -----------------------------------------------------------------------

Cell* reflect(Cell* value, uint32_t field_symbol) {
  const Node ctx = value->data1;
  const SymbolId f = field_symbol;
  if (same_symbol(f, cached_symbol(s_changed, "changed"))) {
    const uint32_t n = context::word_count(ctx);
    Cell* blk = block::push_only(1);
    for (uint32_t i = 0; i < n; i++) {
      Cell w = *context::word_cell(ctx, static_cast<int32_t>(i));
      if (!w.has_flag(cell_flag::assigned)) continue;
      w.header = static_cast<uint32_t>(TypeId::word);
      block::rs_append(blk, &w);
    }
    return blk;
  }
  if (same_symbol(f, cached_symbol(s_class, "class"))) {
    Cell* r = stack::push_slot();
    set_integer(r, class_id(value));
    return r;
  }
  if (same_symbol(f, cached_symbol(s_words, "words")))
    return push_words(ctx, TypeId::word, 0);
  if (same_symbol(f, cached_symbol(s_values, "values"))) {
    const uint32_t n = context::word_count(ctx);
    Cell* blk = block::push_only(static_cast<int32_t>(n));
    for (uint32_t i = 0; i < n; i++) {
      Cell v = context::values(ctx)[i];
      if (v.type() == TypeId::none_id) set_unset(&v);
      block::rs_append(blk, &v);
    }
    return blk;
  }
  if (same_symbol(f, cached_symbol(s_body, "body"))) {
    const uint32_t n = context::word_count(ctx);
    Cell* blk = block::push_only(static_cast<int32_t>(n * 2));
    for (uint32_t i = 0; i < n; i++) {
      Cell w = *context::word_cell(ctx, static_cast<int32_t>(i));
      w.header = static_cast<uint32_t>(TypeId::set_word) | cell_flag::new_line;
      block::rs_append(blk, &w);
      Cell v = context::values(ctx)[i];
      if (v.type() == TypeId::none_id) set_unset(&v);
      if (v.is(TypeId::word)) v.set_type(TypeId::lit_word);
      if (v.is(TypeId::path)) v.set_type(TypeId::lit_path);
      block::rs_append(blk, &v);
    }
    return blk;
  }
  if (same_symbol(f, cached_symbol(s_owner, "owner"))) {
    Cell* r = stack::push_slot();
    set_logic(r, context::context_cell(ctx)->has_flag(cell_flag::owned));
    return r;
  }
  if (same_symbol(f, cached_symbol(s_events, "events?"))) {
    Cell* r = stack::push_slot();
    set_logic(r, event_info(value) != 0);
    return r;
  }
  fire(ErrorCode::internal_not_done);
}

// --- form and mold -------------------------------------------------------------------

int32_t serialize(const Cell* obj, Cell* buffer, Cell* part, int32_t limit,
                  const FieldsStyle& style) {
  const Node ctx = obj->data1;
  const uint32_t n = context::word_count(ctx);
  if (n == 0) return limit;
  bool indent = style.indent;
  uint32_t separator = '\n';
  if (style.flat) {
    separator = ' ';
    indent = false;
  } else if (style.leading_newline) {
    if (style.only)
      indent = false;
    else
      limit = string::emit_char(buffer, '\n', limit);
  }
  // The last field written: handler fields that are left out do not get a
  // separator written before them (a flat mold ended in "a: 1 ]").
  auto left_out = [&](uint32_t i) {
    return !style.all && is_handler_symbol(context::word_cell(ctx, static_cast<int32_t>(i))->symbol());
  };
  uint32_t last = n - 1;
  while (last > 0 && left_out(last)) last--;
  cycle_guard::Scope guard(ctx);
  for (uint32_t i = 0; i < n; i++) {
    if (limit < 1) break;
    if (left_out(i)) continue;
    Cell w = *context::word_cell(ctx, static_cast<int32_t>(i));
    if (indent) limit = string::indent(buffer, style.level, limit);
    w.header = static_cast<uint32_t>(TypeId::word);
    limit = word::form(&w, buffer, nullptr, limit);
    limit = string::emit(buffer, ": ", limit);
    Cell* slot = context::values(ctx) + i;
    if (slot->type() == TypeId::none_id) set_unset(slot);
    Cell v = *slot;
    // A word or a path value gets a quote, so that evaluating the mold gives
    // the value back and not what it names (as body-of makes them lit-words
    // and lit-paths).
    if (v.is(TypeId::word) || v.is(TypeId::path)) limit = string::emit_char(buffer, '\'', limit);
    limit = actions::call_mold(&v, buffer, {.all = style.all, .flat = style.flat},
                               part, limit, style.level);
    if (i < last || indent) limit = string::emit_char(buffer, separator, limit);
  }
  return limit;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  if (cycle_guard::detect(value, buffer, limit, cycle_guard::Output::form)) return limit;
  return serialize(value, buffer, part, limit, FieldsStyle{});
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  if (cycle_guard::detect(value, buffer, limit, cycle_guard::Output::mold)) return limit;
  if (!only) limit = string::emit(buffer, "make object! [", limit);
  FieldsStyle style;
  style.only = only;
  style.all = all;
  style.flat = flat;
  style.indent = true;
  style.level = indent + 1;
  style.leading_newline = true;
  limit = serialize(value, buffer, part, limit, style);
  if (!flat && indent >= 1) limit = string::indent(buffer, indent, limit);
  if (!only) limit = string::emit_char(buffer, ']', limit);
  return limit;
}

// --- paths, put, select --------------------------------------------------------------

Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  const Cell* path = step.path ? step.path : &none_value;
  if (!is_field_word(element->type())) fire(ErrorCode::script_invalid_path, path, element);
  const int32_t idx = find_word_index(parent, element);
  auto absent = [&]() -> Cell* {
    if (step.last) fire(ErrorCode::script_invalid_path, path, element);
    fire(ErrorCode::script_unset_path, path, element);
  };
  if (idx < 0) return absent();
  const Node ctx = parent->data1;
  if (!value) {
    Cell* v = context::values(ctx) + idx;
    if (v->type() == TypeId::unset || v->type() == TypeId::none_id) {
      // (`get/any` reads a field that holds no value as unset.)
      if (step.any && step.last) return stack::push(&unset_value);
      return absent();
    }
    return v;
  }
  // A set: the field is marked assigned, as a set-word would mark it, and the
  // object's on-change* handler hears of it.
  Cell obj = *parent;
  context::word_cell(ctx, idx)->set_flag(cell_flag::assigned);
  if (event_info(&obj) == 0) {
    context::values(ctx)[idx] = *value;
    return value;
  }
  Cell* saved = stack::top;
  Cell* keep = stack::push(&obj);
  Cell* old = stack::push(context::values(ctx) + idx);
  Cell* neu = stack::push(value);
  context::values(ctx)[idx] = *value;
  Cell w = *element;
  fire_on_set(keep, &w, old, neu);
  stack::top = saved;
  return value;
}

Cell* put(Cell* obj, Cell* key, Cell* value, bool case_) {
  if (!key->is(TypeId::word)) {
    Cell dt;
    set_datatype(&dt, key->type());
    fire(ErrorCode::script_invalid_key_type, &dt);
  }
  PathStep step;
  step.last = false;
  step.case_ = case_;
  step.notify = true;
  Cell k = *key;
  eval_path(obj, &k, value, step);
  return value;
}

Cell* select(Cell* obj, Cell* value, const FindArgs&) {
  if (!is_field_word(value->type())) {
    Cell dt;
    set_datatype(&dt, value->type());
    fire(ErrorCode::script_invalid_type, &dt);
  }
  Cell* r = stack::push(find_value(obj, value));
  if (r->type() == TypeId::none_id) set_unset(r);
  return r;
}

Cell* modify(Cell* obj, Cell* field, Cell* value, bool) {
  if (!is_any_word(field->type())) return value;
  const SymbolId f = field->symbol();
  if (same_symbol(f, cached_symbol(s_changed, "changed"))) {
    if (!value->is(TypeId::none)) fire(ErrorCode::script_invalid_arg, value);
    clear_assigned(obj->data1);
  } else if (same_symbol(f, cached_symbol(s_owner, "owner"))) {
    ownership::set_owner(obj, obj, nullptr);
  } else if (same_symbol(f, cached_symbol(s_owned, "owned"))) {
    if (value->is(TypeId::none)) {
      ownership::unbind(obj);
    } else if (value->is(TypeId::block) && block::rs_length_q(value) >= 2) {
      const Cell* items = block::first_cell(value) + std::max(value->head(), 0);
      if (is_object_like(items[0].type())) ownership::set_owner(obj, items, items + 1);
    }
  }
  return value;
}

// --- compare and copy ------------------------------------------------------------------

int32_t compare(Cell* value1, Cell* value2, CompareOp op) {
  if (!value2->is(TypeId::object)) return kNotComparable;
  const Node c1 = value1->data1;
  const Node c2 = value2->data1;
  if (c1 == c2) return 0;
  if (op == CompareOp::same) return -1;
  if (cycle_guard::find_pair(c1, c2)) return 0;
  const uint32_t n1 = context::word_count(c1);
  const uint32_t n2 = context::word_count(c2);
  if (n1 != n2) return n1 > n2 ? 1 : -1;
  if (n1 == 0) return 0;
  cycle_guard::PairScope guard(c1, c2);
  for (uint32_t i = 0; i < n1; i++) {
    const SymbolId s1 = symbol::resolve(context::word_cell(c1, static_cast<int32_t>(i))->symbol());
    const SymbolId s2 = symbol::resolve(context::word_cell(c2, static_cast<int32_t>(i))->symbol());
    if (s1 != s2) return s1 < s2 ? -1 : 1;
    Cell a = context::values(c1)[i];
    Cell b = context::values(c2)[i];
    if (a.type() == TypeId::none_id) set_unset(&a);
    if (b.type() == TypeId::none_id) set_unset(&b);
    const int ka = kind_of(a.type());
    const int kb = kind_of(b.type());
    if (ka != kb) return a.type() < b.type() ? -1 : 1;
    const int32_t r = actions::compare_values(&a, &b, op);
    if (r != 0) return r;
  }
  return 0;
}

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
  return copy_object(value, result, part, deep, types, true);
}

// --- registration ----------------------------------------------------------------------

void register_() {
  // Not constexpr: `make` lives in another source file.
  static const ActionRow row{
      .make = make,
      .reflect = reflect,
      .form = form,
      .mold = mold,
      .eval_path = eval_path,
      .compare = compare,
      .copy = copy,
      .put = put,
      .select = select,
      .modify = modify,
  };
  datatype::register_type(TypeId::object, TypeId::none_id, "object!", row);
  install_context_hooks();
}

}  // namespace qel::object
