// Word, context and object natives: get, set, unset, value?, bind, in,
// context?, construct and extend.
#include "datatypes/map.h"
#include "evaluator/interpreter.h"
#include "natives/natives.h"
#include "core/stack.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/object_events.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::natives {

namespace {

inline bool present(const int32_t* refinements, int i) {
  return refinements && refinements[i] >= 0;
}

// The value cell of a word when it has one (unresolved words and contexts
// without values answer null).
Cell* value_of(const Cell* w) {
  Node ctx = w->context();
  if (!ctx || w->word_index() < 0) return nullptr;
  Cell* values = context::values(ctx);
  if (!values) return nullptr;
  return values + w->word_index();
}

void get(const int32_t* refinements) {
  Cell* args = stack::arguments;
  bool any = present(refinements, 0);
  bool case_ = present(refinements, 1);
  TypeId t = args->type();
  if (is_any_word(t)) {
    Cell w = *args;
    Cell v = *context::get(&w);
    if (!any && v.is(TypeId::unset)) fire(ErrorCode::script_no_value, &w);
    *args = v;
  } else if (is_any_path(t)) {
    Cell path = *args;
    (void)interpreter::passing::eval_path(path, path, -1, 0,
                                    any ? interpreter::PathMode::get_any
                                        : interpreter::PathMode::get,
                                    case_,
                                    nullptr);
    if (exits::pending) return;
    *args = stack::top[-1];
  } else if (t == TypeId::object) {
    Cell* r = actions::call_reflect(args, symbol::make("values"));
    *args = *r;
  }
  stack::top = args + 1;
}

void set(const int32_t* refinements) {
  Cell* args = stack::arguments;
  bool any = present(refinements, 0);
  bool case_ = present(refinements, 1);
  bool only = present(refinements, 2);
  bool some = present(refinements, 3);
  if (!any && args[1].is(TypeId::unset)) fire(ErrorCode::script_need_value, args);
  TypeId t = args->type();
  if (is_any_word(t)) {
    context::set(args, args + 1);
  } else if (is_any_path(t)) {
    Cell path = args[0];
    Cell* base = stack::top;
    stack::mark_native(interpreter::body_word());
    stack::push(args + 1);
    (void)interpreter::passing::eval_path(path, path, -1, 0, interpreter::PathMode::set, case_,
                                    nullptr);
    if (exits::pending) return;
    stack::top = base + 1;
    stack::unwind();
  } else if (t == TypeId::block) {
    set_many(args, args + 1, block::rs_length_q(args), any, only, some);
  } else if (t == TypeId::object) {
    object::set_words(args, args + 1, only, some, any);
  } else {
    fire(ErrorCode::internal_not_done);
  }
  *args = args[1];
  stack::top = args + 1;
}

void unset(const int32_t*) {
  Cell* args = stack::arguments;
  Cell none = unset_value;
  if (args->is(TypeId::word)) {
    context::set(args, &none);
  } else if (args->is(TypeId::block)) {
    Cell blk = *args;
    for (int32_t i = blk.head() < 0 ? 0 : blk.head(); i < block::total_cells(&blk); i++) {
      Cell w = *block::rs_abs_at(&blk, i);
      if (w.is(TypeId::word)) context::set(&w, &none);
    }
  }
  set_unset(args);
  stack::top = args + 1;
}

void value_q(const int32_t*) {
  Cell* args = stack::arguments;
  bool v;
  if (is_any_word(args->type()) && !args->is(TypeId::refinement) && !args->is(TypeId::issue)) {
    Cell* p = value_of(args);
    v = p && !p->is(TypeId::unset);
  } else {
    v = !args->is(TypeId::unset);
  }
  set_logic(args, v);
  stack::top = args + 1;
}

// The context a bind or in target refers to.
Node target_context(const Cell* target) {
  TypeId t = target->type();
  if (is_any_word(t)) return target->context();
  if (t == TypeId::op) t = static_cast<TypeId>((target->header >> 16) & 0xFF);
  // A native's or action's companion block starts with its context cell, so
  // it serves as the context of the spec's words.
  if (t == TypeId::native || t == TypeId::action) return target->data3;
  return target->data1;
}

void bind(const int32_t* refinements) {
  Cell* args = stack::arguments;
  Node ctx = target_context(args + 1);
  if (!ctx) fire(ErrorCode::script_not_in_context, args + 1);
  if (args->is(TypeId::block)) {
    if (present(refinements, 0)) {
      Cell* copy = stack::push_slot();
      block::clone_into(args, copy, block::Deep::yes, block::AnyBlock::yes);
      *args = *copy;
    }
    context::SelfRef self = args[1].is(TypeId::object) ? context::SelfRef::yes : context::SelfRef::no;
    context::bind(args, ctx, self);
  } else {
    context::bind_word(ctx, args);
  }
  stack::top = args + 1;
}

void in(const int32_t*) {
  Cell* args = stack::arguments;
  Node ctx = target_context(args);
  Cell w = args[1];
  if (w.is(TypeId::refinement)) w.reset_header(TypeId::word);
  if (!ctx || context::bind_word(ctx, &w) < 0) {
    set_none(args);
  } else {
    *args = w;
  }
  stack::top = args + 1;
}

void context_q(const int32_t*) {
  Cell* args = stack::arguments;
  Node ctx = args->context();
  if (!ctx) {
    set_none(args);
  } else {
    Cell owner = *context::owner(ctx);
    if (owner.is(TypeId::unset)) set_none(&owner);
    *args = owner;
  }
  stack::top = args + 1;
}

void construct(const int32_t* refinements) {
  Cell* args = stack::arguments;
  const Cell* proto = present(refinements, 0) ? args + refinements[0] : nullptr;
  Cell spec = args[0];
  Cell made = *object::construct(&spec, proto, present(refinements, 1));
  *args = made;
  stack::top = args + 1;
}

constexpr Definition kWords[] = {
    {21, "get", get, R"spec("Returns the value a word refers to"
        word [any-word! any-path! object!]
        /any "If word has no value, return UNSET rather than causing an error"
        /case "Use case-sensitive comparison (path only)"
        return: [any-type!])spec"},
    {22, "set", set, R"spec("Sets the value(s) one or more words refer to"
        word [any-word! block! object! any-path!] "Word, object, map path or block of words to set"
        value [any-type!] "Value or block of values to assign to words"
        /any "Allow UNSET as a value rather than causing an error"
        /case "Use case-sensitive comparison (path only)"
        /only "Block or object value argument is set as a single value"
        /some "None values in a block or object value argument, are not set"
        return: [any-type!])spec"},
    {38, "bind", bind, R"spec("Bind words to a context; returns rebound words"
        word [block! any-word!] context [any-word! any-object! function!]
        /copy "Deep copy blocks before binding" return: [block! any-word!])spec"},
    {39, "in", in, R"spec("Returns the given word bound to the object's context"
        object [any-object! any-function!] word [any-word! refinement!])spec"},
    {68, "construct", construct, R"spec("Makes a new object from an unevaluated spec; standard logic words are evaluated"
        block [block!] /with "Use a prototype object" object [object!] "Prototype object"
        /only "Don't evaluate standard logic words")spec"},
    {69, "value?", value_q, R"spec("Returns TRUE if the word has a value" value return: [logic!])spec"},
    {83, "extend", map::extend_native, R"spec("Extend an object or map value with list of key and value pairs"
        obj [object! map!] spec [block! hash! map!] /case "Use case-sensitive comparison")spec"},
    {88, "unset", unset, R"spec("Unsets the value of a word in its current context" word [word! block!] "Word or block of words")spec"},
    {92, "context?", context_q, R"spec("Returns the context to which a word is bound"
        word [any-word!] "Word to check" return: [object! function! none!])spec"},
};

}  // namespace

std::span<const Definition> word_natives() { return kWords; }

}  // namespace qel::natives
