// object!: class ids, accessors, construction (make, construct, copy) and
// the self slot. The other actions (reflect, form, mold, paths, put, select,
// modify, compare) are in object_actions.cpp; change notices in
// object_events.cpp.
#include "datatypes/object.h"

#include <algorithm>

#include "core/cycle_guard.h"
#include "evaluator/interpreter.h"
#include "core/stack.h"
#include "memory/series.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/object_events.h"
#include "datatypes/object_internal.h"
#include "values/ownership.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::object {

namespace {

int32_t class_counter = kFirstClassId;

// The library's objects whose class ids are fixed (no compiler numbers them
// here): the name the library knows the object by and its id.
struct FixedClass {
  std::string_view name;
  int32_t id;
};
constexpr FixedClass kFixedClasses[] = {
    {"error", kErrorClass},  // system/standard/error and every error!
    {"port", kPortClass},    // system/standard/port and every made port!
    {"words", kNoClass},     // system/words: the global context
    {"errors", kCatalogClass},  // system/catalog/errors and its categories
};

// The function-value header flags a rebound copy keeps.
constexpr uint32_t kFunctionFlags =
    function_flag::no_trace | function_flag::trace | function_flag::library;

}  // namespace

// --- class ids -----------------------------------------------------------------

int32_t next_class_id() { return ++class_counter; }

int32_t fixed_class_id(std::string_view name) {
  for (const FixedClass& f : kFixedClasses)
    if (f.name == name) return f.id;
  return 0;
}

// --- internal helpers (object_internal.h) ----------------------------------------

namespace detail {

SymbolId cached_symbol(SymbolId& slot, std::string_view name) {
  if (!slot) slot = symbol::make(name);
  return slot;
}

bool same_symbol(SymbolId a, SymbolId b) { return symbol::resolve(a) == symbol::resolve(b); }

bool copied_deep(TypeId t) {
  switch (t) {
    case TypeId::block:
    case TypeId::paren:
    case TypeId::string:
    case TypeId::file:
    case TypeId::url:
    case TypeId::path:
    case TypeId::lit_path:
    case TypeId::set_path:
    case TypeId::get_path:
    case TypeId::tag:
    case TypeId::email:
    case TypeId::ref:
      return true;
    default:
      return false;
  }
}

bool carried_by_make(TypeId t) {
  return copied_deep(t) || t == TypeId::hash || t == TypeId::vector || t == TypeId::binary ||
         t == TypeId::image;
}

void rebind_function(Node ctx, int32_t index) {
  Cell fn = context::values(ctx)[index];
  Cell body = *function::extra(&fn, function::kBody);
  if (!body.is(TypeId::block)) fire(ErrorCode::script_bad_func_def, &fn);
  Cell spec{static_cast<uint32_t>(TypeId::block), 0, fn.data2, 0};
  Cell* saved = stack::top;
  Cell* made = function::push(&spec, &body, 0, ctx, fn.header & kFunctionFlags);
  // The body copy was bound to the new function's context; bind it to the
  // object first and then to the function again, so arguments and locals
  // keep the upper hand over fields of the same name.
  Cell* copy = function::extra(made, function::kBody);
  context::bind(copy, ctx, context::SelfRef::yes);
  context::bind(function::extra(made, function::kBody), made->data1, context::SelfRef::no);
  set_unset(function::extra(made, function::kEntry));
  // A library function's copy is library code too (its blocks are new
  // series, which carry no mark yet): an error inside it stays near the
  // user's expression.
  if (fn.header & function_flag::library) function::mark_library(made);
  context::values(ctx)[index] = *made;
  stack::top = saved;
}

void carry_series(Node ctx, bool (*which)(TypeId), bool rebind, Functions functions) {
  const uint32_t n = context::word_count(ctx);
  for (uint32_t i = 0; i < n; i++) {
    Cell v = context::values(ctx)[i];
    if (v.is(TypeId::function)) {
      if (functions == Functions::rebind) rebind_function(ctx, static_cast<int32_t>(i));
      continue;
    }
    if (!which(v.type())) continue;
    Cell copied;
    actions::call_copy(&v, &copied, nullptr, true, nullptr);
    if (rebind && is_any_block(copied.type())) context::bind(&copied, ctx, context::SelfRef::yes);
    context::values(ctx)[i] = copied;
  }
}

}  // namespace detail

// --- accessors -------------------------------------------------------------------

Cell* word_at(Node ctx, int32_t index) { return context::word_cell(ctx, index); }

int32_t find_word_index(const Cell* obj, const Cell* word) {
  const Node ctx = obj->data1;
  const int32_t idx = word->word_index();
  if (word->context() == ctx && idx >= 0 && static_cast<uint32_t>(idx) < context::word_count(ctx))
    return idx;
  return context::find_word(ctx, word->symbol(), context::Case::insensitive);
}

const Cell* find_value(const Cell* obj, const Cell* word) {
  const int32_t idx = find_word_index(obj, word);
  if (idx < 0) return &none_value;
  return context::values(obj->data1) + idx;
}

Cell* field(const Cell* obj, std::string_view name) {
  const SymbolId sym = symbol::make(name);
  const int32_t idx = context::find_word(obj->data1, sym, context::Case::insensitive);
  return idx < 0 ? nullptr : context::values(obj->data1) + idx;
}

Cell* system_field(std::initializer_list<std::string_view> names) {
  static Cell system_word{};
  if (!system_word.is(TypeId::word)) system_word = word::load("system");
  if (!system_word.context()) return nullptr;
  Cell* v = context::get(&system_word);
  if (!v->is(TypeId::object)) return nullptr;
  for (std::string_view name : names) {
    if (!v || !v->is(TypeId::object)) return nullptr;
    v = field(v, name);
  }
  return v;
}

Cell* get_values(const Cell* obj) { return context::values(obj->data1); }

uint32_t word_count(const Cell* obj) { return context::word_count(obj->data1); }

void clear_new_lines(Node series) {
  SeriesBuffer* s = memory::series(series);
  for (Cell* c = s->cells(); c < s->cell_tail(); ++c) c->clear_flag(cell_flag::new_line);
}

void clear_assigned(Node ctx) {
  const uint32_t n = context::word_count(ctx);
  for (uint32_t i = 0; i < n; i++)
    context::word_cell(ctx, static_cast<int32_t>(i))->clear_flag(cell_flag::assigned);
}

bool word_is_class(const Cell* word, int32_t id) {
  const Cell* v = context::get(word);
  return v->is(TypeId::object) && class_id(v) == id;
}

bool value_is_class(Node ctx, int32_t index, int32_t id) {
  const Cell* v = context::values(ctx) + index;
  return v->is(TypeId::object) && class_id(v) == id;
}

void store_self(const Cell* obj) {
  Cell self = *obj;
  self.header = static_cast<uint32_t>(obj->type());
  *context::owner(obj->data1) = self;
}

// --- constructors ------------------------------------------------------------------

Cell* push(Node ctx, Node events, int32_t id) {
  Cell* slot = stack::push_slot();
  *slot = Cell{static_cast<uint32_t>(TypeId::object), ctx, static_cast<uint32_t>(id), events};
  store_self(slot);
  return slot;
}

Cell* push_plain(Node ctx, int32_t id) {
  const Node values = context::context_cell(ctx)->data2;
  while (memory::series(values)->length() < context::word_count(ctx)) set_unset(append_slot(values));
  return push(ctx, 0, id);
}

Cell* make_at(Cell* out, uint32_t capacity) {
  Node ctx = context::create(capacity, context::OnStack::no, context::SelfRef::yes, 0,
                             context::Kind::object);
  *out = Cell{static_cast<uint32_t>(TypeId::object), ctx, 0, 0};
  store_self(out);
  return out;
}

void init_events(int32_t change_index, int32_t change_locals, int32_t deep_index,
                 int32_t deep_locals) {
  Cell* obj = stack::get_top();
  const Node ctx = obj->data1;
  auto spec_of = [&](int32_t index) -> Node {
    if (index < 0) return 0;
    const Cell* v = context::values(ctx) + index;
    return is_any_function(v->type()) ? v->data2 : 0;
  };
  obj->data3 = make_event_info(spec_of(change_index), change_index, change_locals,
                               spec_of(deep_index), deep_index, deep_locals);
  store_self(obj);
  if (deep_index >= 0) ownership::set_owner(obj, obj, nullptr);
  store_self(obj);
}

Cell* construct(const Cell* spec, const Cell* proto, bool only, int32_t fixed_class) {
  Cell* result = stack::push_slot();
  set_unset(result);
  if (proto) {
    copy_object(proto, result, nullptr, true, nullptr, true);
  } else {
    make_at(result, 4);
    result->data2 = static_cast<uint32_t>(fixed_class ? fixed_class : next_class_id());
  }
  const Node ctx = result->data1;
  static SymbolId s_true, s_yes, s_on, s_false, s_no, s_off, s_none;
  const int32_t end = block::total_cells(spec);
  int32_t i = std::max(spec->head(), 0);
  while (i < end) {
    if (!block::rs_abs_at(spec, i)->is(TypeId::set_word)) {
      i++;
      continue;
    }
    int32_t j = i;
    while (j < end && block::rs_abs_at(spec, j)->is(TypeId::set_word)) j++;
    Cell value = j < end ? *block::rs_abs_at(spec, j) : none_value;
    value.clear_flag(cell_flag::new_line);
    if (!only && value.is(TypeId::word)) {
      const SymbolId s = symbol::resolve(value.symbol());
      using detail::cached_symbol;
      if (s == symbol::resolve(cached_symbol(s_true, "true")) ||
          s == symbol::resolve(cached_symbol(s_yes, "yes")) ||
          s == symbol::resolve(cached_symbol(s_on, "on")))
        value = true_value;
      else if (s == symbol::resolve(cached_symbol(s_false, "false")) ||
               s == symbol::resolve(cached_symbol(s_no, "no")) ||
               s == symbol::resolve(cached_symbol(s_off, "off")))
        value = false_value;
      else if (s == symbol::resolve(cached_symbol(s_none, "none")))
        value = none_value;
    }
    for (int32_t k = i; k < j; k++) {
      Cell w = *block::rs_abs_at(spec, k);
      const int32_t idx = context::add_word(ctx, &w);
      context::values(ctx)[idx] = value;
    }
    i = j + 1;
  }
  store_self(result);
  return result;
}

Cell* make_from_block(const Cell* spec) {
  Cell dt;
  set_datatype(&dt, TypeId::object);
  Cell s = *spec;
  return make(&dt, &s, TypeId::object);
}

Cell* copy_object(const Cell* obj, Cell* result, Cell* part, bool deep, Cell* types,
                  bool new_events) {
  if (part) {
    static Cell part_refinement{};
    if (!part_refinement.is(TypeId::refinement)) part_refinement = refinement::load("part");
    fire(ErrorCode::script_invalid_refine_arg, &part_refinement, part);
  }
  const Node source = obj->data1;
  const uint32_t n = context::word_count(source);
  const Node ctx = context::create(n, context::OnStack::no, context::SelfRef::yes, source,
                                   context::Kind::object);
  {
    const Cell* from = context::values(source);
    Cell* to = context::values(ctx);
    for (uint32_t i = 0; i < n; i++) to[i] = from[i];
  }
  *result = Cell{static_cast<uint32_t>(obj->type()), ctx, obj->data2, new_events ? 0u : obj->data3};
  store_self(result);
  if (deep && !types) {
    detail::carry_series(ctx, detail::copied_deep, false, detail::Functions::rebind);
  } else {
    for (uint32_t i = 0; i < n; i++)
      if (context::values(ctx)[i].is(TypeId::function))
        detail::rebind_function(ctx, static_cast<int32_t>(i));
    if (types) {
      if (deep) {
        if (cycle_guard::find(source)) {
          cycle_guard::reset();
          fire(ErrorCode::internal_no_cycle);
        }
        cycle_guard::Scope guard(source);
        block::deep_copy_cells(context::context_cell(ctx)->data2, 0, static_cast<int32_t>(n), 1,
                               block::Deep::yes, types);
      } else {
        block::deep_copy_cells(context::context_cell(ctx)->data2, 0, static_cast<int32_t>(n), 1,
                               block::Deep::no, types);
      }
    }
  }
  if (new_events) set_up_events(result);
  store_self(result);
  return result;
}

void eval_block(const Cell* block) {
  Cell* saved = stack::top;
  interpreter::eval(block, interpreter::Chain::no);
  stack::top = saved;
}

// --- make ----------------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, TypeId) {
  Cell* result = stack::push_slot();
  set_unset(result);
  const bool from_object = is_object_like(proto->type());
  if (from_object) {
    copy_object(proto, result, nullptr, false, nullptr, false);
    result->set_type(TypeId::object);
  } else {
    make_at(result, 4);
  }
  const Node ctx = result->data1;
  const int32_t proto_class = from_object ? class_id(proto) : 0;
  bool grew = false;
  if (is_object_like(spec->type())) {
    const uint32_t before = context::word_count(ctx);
    const Node from = spec->data1;
    const uint32_t n = context::word_count(from);
    for (uint32_t i = 0; i < n; i++) {
      Cell w = *context::word_cell(from, static_cast<int32_t>(i));
      Cell v = context::values(from)[i];
      context::put_word_value(ctx, &w, &v);
    }
    grew = context::word_count(ctx) > before;
    // The copy rebound the prototype's functions before the spec's words
    // were in. The spec object's functions are rebound here; when the spec
    // added words, the prototype's are rebound again so that their bodies
    // see the new fields. Every series value is carried.
    if (grew && from_object) {
      detail::carry_series(ctx, detail::carried_by_make, true, detail::Functions::rebind);
    } else {
      for (uint32_t i = 0; i < n; i++) {
        if (!context::values(from)[i].is(TypeId::function)) continue;
        Cell w = *context::word_cell(from, static_cast<int32_t>(i));
        detail::rebind_function(ctx, context::find_word(ctx, w.symbol(), context::Case::insensitive));
      }
      detail::carry_series(ctx, detail::carried_by_make, true, detail::Functions::keep);
    }
    result->data2 = static_cast<uint32_t>(grew || !from_object ? next_class_id() : proto_class);
  } else if (spec->is(TypeId::block)) {
    grew = context::collect_set_words(ctx, spec);
    context::bind(spec, ctx, context::SelfRef::yes);
    // The copy rebound the prototype's functions already: only its series
    // values are carried over here.
    if (from_object)
      detail::carry_series(ctx, detail::carried_by_make, true, detail::Functions::keep);
    store_self(result);
    eval_block(spec);
    // The spec may have run a collection: the result slot stays, the rest is
    // read again through it.
    clear_assigned(result->data1);
    clear_new_lines(context::context_cell(result->data1)->data2);
    result->data2 = static_cast<uint32_t>(grew || !from_object ? next_class_id() : proto_class);
  } else {
    fire(ErrorCode::syntax_malconstruct, spec);
  }
  result->data3 = 0;
  set_up_events(result);
  store_self(result);
  stack::top = result + 1;
  return result;
}

}  // namespace qel::object
