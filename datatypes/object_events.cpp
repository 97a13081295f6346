// Object change notification: event information, the calls of the two
// handlers, and the multi-field assignment of `set` with an object target.
#include "datatypes/object_events.h"

#include <algorithm>

#include "evaluator/interpreter.h"
#include "core/stack.h"
#include "memory/series.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/object_internal.h"
#include "values/ownership.h"
#include "datatypes/word.h"

namespace qel::object {

namespace {

using detail::cached_symbol;

SymbolId s_on_change, s_on_deep_change;

// How deep handler calls are nested right now.
int32_t handler_depth = 0;

// Counts one level of nested handler calls for its scope; past the bound it
// raises internal `limit-hit` naming the handler.
class HandlerDepth {
 public:
  explicit HandlerDepth(const Cell* handler_word) {
    if (handler_depth >= kMaxHandlerDepth) fire(ErrorCode::internal_limit_hit, handler_word);
    ++handler_depth;
  }
  ~HandlerDepth() { --handler_depth; }
  HandlerDepth(const HandlerDepth&) = delete;
  HandlerDepth& operator=(const HandlerDepth&) = delete;
};

// The global words that name the handlers' call frames.
const Cell* handler_word(int32_t which) {
  static Cell words[2];
  if (!words[which].is(TypeId::word))
    words[which] = word::load(which == 0 ? "on-change*" : "on-deep-change*");
  return &words[which];
}

inline Cell* info_cell(Node events, int32_t which) {
  return memory::series(events)->cells() + which;
}

// The second payload word packs the handler's index (upper 16 bits) with
// its local-slot count (lower 16), as the serialised form carries it. The
// index alone does not fit there once an object has 65,536 words (the
// handler of a bigger object was looked up at its index modulo 65,536, and
// index 65,535 read as "no handler"), so the first payload word holds the
// whole index and is the one read.
inline uint32_t pack(int32_t index, int32_t locals) {
  return (static_cast<uint32_t>(index) << 16) | (static_cast<uint32_t>(locals) & 0xFFFFu);
}

inline Cell info(int32_t index, int32_t locals, Node spec) {
  return Cell{static_cast<uint32_t>(TypeId::pair), static_cast<uint32_t>(index), pack(index, locals),
              index < 0 ? 0u : spec};
}

int32_t count_locals_of(const Cell* fn) {
  if (!fn->is(TypeId::function)) return 0;
  Cell spec{static_cast<uint32_t>(TypeId::block), 0, fn->data2, 0};
  return std::max(function::count_locals(&spec, 0, false), 0);
}

// Refreshes the cached local-slot count when the handler's spec changed.
void refresh_count(Node events, int32_t which, int32_t index, const Cell* handler) {
  Cell* c = info_cell(events, which);
  if (c->data3 == handler->data2) return;
  const int32_t locals = count_locals_of(handler);
  *info_cell(events, which) = info(index, locals, handler->data2);
}

}  // namespace

bool is_handler_symbol(uint32_t symbol) {
  const SymbolId s = symbol::resolve(symbol);
  return s == symbol::resolve(cached_symbol(s_on_change, "on-change*")) ||
         s == symbol::resolve(cached_symbol(s_on_deep_change, "on-deep-change*"));
}

Node make_event_info(Node change_spec, int32_t change_index, int32_t change_locals,
                     Node deep_spec, int32_t deep_index, int32_t deep_locals) {
  const Node n = memory::alloc_cells(2);
  SeriesBuffer* s = memory::series(n);
  Cell* c = s->cells();
  c[0] = info(change_index, change_locals, change_spec);
  c[1] = info(deep_index, deep_locals, deep_spec);
  s->tail = s->offset + 2 * sizeof(Cell);
  return n;
}

int32_t handler_index(Node events, int32_t which) {
  if (!events) return -1;
  return static_cast<int32_t>(info_cell(events, which)->data1);
}

Node event_info_from(Node ctx) {
  const SymbolId change = symbol::resolve(cached_symbol(s_on_change, "on-change*"));
  const SymbolId deep = symbol::resolve(cached_symbol(s_on_deep_change, "on-deep-change*"));
  int32_t found[2] = {-1, -1};
  const uint32_t n = context::word_count(ctx);
  for (uint32_t i = 0; i < n; i++) {
    const SymbolId s = symbol::resolve(context::word_cell(ctx, static_cast<int32_t>(i))->symbol());
    if (s == change) found[0] = static_cast<int32_t>(i);
    if (s == deep) found[1] = static_cast<int32_t>(i);
  }
  if (found[0] < 0 && found[1] < 0) return 0;
  Node specs[2] = {0, 0};
  int32_t counts[2] = {0, 0};
  for (int32_t k = 0; k < 2; k++) {
    if (found[k] < 0) continue;
    Cell v = context::values(ctx)[found[k]];
    if (!v.is(TypeId::function) && !v.is(TypeId::routine)) {
      Cell w = *context::word_cell(ctx, found[k]);
      w.header = static_cast<uint32_t>(TypeId::word);
      Cell dt;
      set_datatype(&dt, v.type() == TypeId::none_id ? TypeId::unset : v.type());
      fire(ErrorCode::script_bad_field_set, &w, &dt);
    }
    specs[k] = v.data2;
    counts[k] = count_locals_of(&v);
  }
  return make_event_info(specs[0], found[0], counts[0], specs[1], found[1], counts[1]);
}

bool has_deep_handler(const Cell* obj) {
  const Node ev = obj->data3;
  return ev && info_cell(ev, 1)->data2 < 0xFFFF0000u;
}

void set_up_events(Cell* obj) {
  obj->data3 = event_info_from(obj->data1);
  store_self(obj);
  if (has_deep_handler(obj)) {
    ownership::set_owner(obj, obj, nullptr);
    store_self(obj);
  }
}

// --- the handler calls ----------------------------------------------------------------

void fire_on_set(const Cell* obj_in, const Cell* word, const Cell* old_value,
                 const Cell* new_value) {
  const Node events = obj_in->data3;
  const int32_t index = handler_index(events, 0);
  if (index < 0) return;
  const Cell obj = *obj_in;
  const Node ctx = obj.data1;
  if (static_cast<uint32_t>(index) >= context::word_count(ctx)) return;
  Cell handler = context::values(ctx)[index];
  if (!handler.is(TypeId::function)) fire(ErrorCode::script_invalid_obj_evt, &handler);
  refresh_count(events, 0, index, &handler);
  // The handler always hears of a word of its own object.
  Cell w = *word;
  w.header = static_cast<uint32_t>(TypeId::word);
  if (w.context() != ctx) context::bind_word(ctx, &w);
  HandlerDepth depth(handler_word(0));
  Cell* saved = stack::top;
  Cell* keep = stack::push(&obj);
  const Cell* args[3] = {stack::push(&w), stack::push(old_value), stack::push(new_value)};
  (void)keep;
  interpreter::call_function(&handler, args, 3, handler_word(0), interpreter::CallbackKind::change);
  stack::top = saved;
}

void fire_on_deep_change(const Cell* owner_in, const Cell* word, const Cell* target,
                         const Cell* action, const Cell* value, int32_t index, int32_t part) {
  const Cell owner = *owner_in;
  const Node events = owner.data3;
  if (!events) fire(ErrorCode::script_invalid_obj_evt, &owner);
  const int32_t slot = handler_index(events, 1);
  if (slot < 0) return;
  const Node ctx = owner.data1;
  if (static_cast<uint32_t>(slot) >= context::word_count(ctx)) return;
  Cell handler = context::values(ctx)[slot];
  if (!handler.is(TypeId::function)) return;
  refresh_count(events, 1, slot, &handler);
  HandlerDepth depth(handler_word(1));
  Cell* saved = stack::top;
  Cell idx, count;
  set_integer(&idx, index);
  set_integer(&count, part);
  const Cell* args[7] = {stack::push(&owner),
                         stack::push(word ? word : &none_value),
                         stack::push(target),
                         stack::push(action),
                         stack::push(value ? value : &none_value),
                         stack::push(&idx),
                         stack::push(&count)};
  interpreter::call_function(&handler, args, 7, handler_word(1), interpreter::CallbackKind::deep);
  stack::top = saved;
}

// --- set with an object target ---------------------------------------------------------------

namespace {

// The source value for target field i, or null when the field is left alone.
const Cell* source_value(const Cell* source, bool spread, const Cell* target_word, uint32_t i) {
  if (!spread) return source;
  if (is_object_like(source->type())) {
    const int32_t idx =
        context::find_word(source->data1, target_word->symbol(), context::Case::insensitive);
    return idx < 0 ? nullptr : context::values(source->data1) + idx;
  }
  // A block: the i-th item from its head, none past the tail (read again on
  // every call, since a handler may have changed the block).
  const int32_t at = std::max(source->head(), 0) + static_cast<int32_t>(i);
  if (at >= block::total_cells(source)) return &none_value;
  return block::rs_abs_at(source, at);
}

}  // namespace

void set_words(Cell* target_in, const Cell* value_in, bool only, bool some, bool any) {
  Cell* saved = stack::top;
  // Both stay on the stack while handlers run.
  Cell* target = stack::push(target_in);
  Cell* source = stack::push(value_in);
  const bool spread =
      !only && (source->is(TypeId::block) || is_object_like(source->type()));
  const Node ctx = target->data1;
  const uint32_t n = context::word_count(ctx);
  // A block or a single value fills fields by position, not by name: an event
  // handler of the target takes only a function from it and keeps its own
  // otherwise (none past a block's tail would leave the object refusing every
  // later change). An object source replaces a handler of the same name.
  const bool keep_handlers = target->data3 && !(spread && is_object_like(source->type()));
  auto field_value = [&](const Cell& w, uint32_t i) -> const Cell* {
    const Cell* v = source_value(source, spread, &w, i);
    const bool kept = keep_handlers && is_handler_symbol(w.symbol());
    return v && kept && !v->is(TypeId::function) ? nullptr : v;
  };
  // Without /any no field may receive unset!: every value that a field would
  // take is checked before anything is assigned, the field that would take it
  // named (an object source is matched by name, so a field of the source that
  // the target lacks is never checked nor assigned). /some skips none!, not
  // unset!.
  if (spread && !any) {
    for (uint32_t i = 0; i < n; i++) {
      Cell w = *context::word_cell(ctx, static_cast<int32_t>(i));
      w.header = static_cast<uint32_t>(TypeId::word);
      const Cell* v = field_value(w, i);
      if (v && (v->type() == TypeId::unset || v->type() == TypeId::none_id))
        fire(ErrorCode::script_need_value, &w);
    }
  }
  for (uint32_t i = 0; i < n; i++) {
    Cell w = *context::word_cell(ctx, static_cast<int32_t>(i));
    w.header = static_cast<uint32_t>(TypeId::word);
    const Cell* from = field_value(w, i);
    if (!from) continue;
    Cell v = *from;
    if (v.type() == TypeId::none_id) set_unset(&v);
    // A handler run for an earlier field may have changed the source since
    // the check above.
    if (spread && !any && v.is(TypeId::unset)) fire(ErrorCode::script_need_value, &w);
    if (some && v.is(TypeId::none)) continue;
    v.clear_flag(cell_flag::new_line);
    const Cell obj = *context::owner(ctx);
    if (obj.data3 && !is_handler_symbol(w.symbol())) {
      Cell* mark = stack::top;
      Cell* old = stack::push(context::values(ctx) + i);
      Cell* neu = stack::push(&v);
      context::values(ctx)[i] = v;
      context::word_cell(ctx, static_cast<int32_t>(i))->set_flag(cell_flag::assigned);
      fire_on_set(&obj, &w, old, neu);
      stack::top = mark;
    } else {
      context::values(ctx)[i] = v;
      context::word_cell(ctx, static_cast<int32_t>(i))->set_flag(cell_flag::assigned);
    }
  }
  stack::top = saved;
}

void install_context_hooks() {
  context::fire_on_set = [](Cell* owner, Cell* word, Cell* old_value, Cell* new_value) {
    fire_on_set(owner, word, old_value, new_value);
  };
  context::wants_notice = [](const Cell* owner) {
    return is_object_like(owner->type()) && owner->data3 != 0 && handler_index(owner->data3, 0) >= 0;
  };
}

}  // namespace qel::object
