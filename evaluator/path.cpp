// Path evaluation: walks a path's elements from its head word, asking each
// value's datatype for the next element (the eval-path action) and calling a
// function met on the way with the remaining elements as its refinements.
// A set through a path changes the copy of a scalar the walk holds (time!,
// date!, pair!, tuple!, the points, money!, event!); the walk then stores it
// back into the head word, or through the parent's own eval-path set, so an
// object's `on-change*` (or a block's owner) hears of the change once, from
// the container. The scalar modules notify nobody themselves.
#include <vector>

#include "evaluator/interpreter_internal.h"
#include "core/stack.h"
#include "values/actions.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/logic.h"

namespace qel::interpreter::passing {

namespace {

inline bool is_function_type(TypeId t) {
  return t == TypeId::function || t == TypeId::native || t == TypeId::action ||
         t == TypeId::routine;
}

inline SeriesBuffer* buf(const Cell& c) { return memory::series(c.node()); }
inline int32_t tail_of(const Cell& c) {
  SeriesBuffer* s = buf(c);
  return static_cast<int32_t>((s->tail - s->offset) >> 4);
}

// Values whose fields live in the cell itself (a set through a path changes
// the copy the walk holds, which must then be stored where it came from).
inline bool held_in_cell(TypeId t) {
  switch (t) {
    case TypeId::time:
    case TypeId::date:
    case TypeId::pair:
    case TypeId::tuple:
    case TypeId::point2d:
    case TypeId::point3d:
    case TypeId::money:
    case TypeId::event:
      return true;
    default:
      return false;
  }
}

}  // namespace

int32_t eval_path(const Cell& path_in, const Cell& code, int32_t pc, int32_t end, PathMode mode,
                  bool case_, PathResume*) {
  Cell path = path_in;
  Cell* start = stack::top;
  // The value to store (set mode) is slot 0 of the caller's frame.
  Cell* store = stack::arguments;
  int32_t head = path.head() < 0 ? 0 : path.head();
  if (head >= tail_of(path)) fire(ErrorCode::script_empty_path);
  // The path stays on the stack (in the slot of the result) while its parens,
  // trace events and a called function's arguments run: the code holding it
  // may drop it meanwhile.
  stack::push(&path);
  if (tracing_q) {
    fire_event(Event::enter, &path, head, nullptr, nullptr);
    fire_event(Event::fetch, &path, head, nullptr, buf(path)->cells() + head);
  }
  Cell first = buf(path)->cells()[head];
  if (!first.is(TypeId::word)) fire(ErrorCode::script_word_first, &path);
  // Arguments of a function reached through the path come from the code
  // after the path; a path evaluated on its own has none.
  const Cell& args_code = pc >= 0 ? code : path;
  int32_t args_pc = pc >= 0 ? pc + 1 : tail_of(path);
  int32_t args_end = pc >= 0 ? end : tail_of(path);

  Cell value = *context::get(&first);
  if (is_function_type(value.type())) {
    if (mode == PathMode::set) fire(ErrorCode::script_invalid_path_set, &path);
    if (mode == PathMode::get || mode == PathMode::get_any)
      fire(ErrorCode::script_invalid_path_get, &path);
    // (A call whose refinements its site has resolved, or can, and whose
    // arguments are all evaluated ones takes the short path.)
    int32_t npc = mode == PathMode::eval
                      ? call_refined(&value, first, path, head + 1, args_code, args_pc, args_end)
                      : -1;
    if (npc < 0)
      npc = passing::eval_code(&value, args_code, args_pc, args_end, &path, head + 1, &first,
                               nullptr, mode::normal, false);
    if (exits::pending) return npc;
    *start = stack::top[-1];
    stack::top = start + 1;
    if (tracing_q) fire_event(Event::exit, &path, -1, nullptr, start);
    return pc >= 0 ? npc : pc + 1;
  }
  if (value.is(TypeId::unset)) fire(ErrorCode::script_unset_path, &path, &first);

  // The commonest path, a word and one integer or word applied to a block,
  // object or map (a lookup that runs no code): done at once, without the
  // slots a longer walk keeps. A function it reaches is called by the
  // general walk below.
  if (mode == PathMode::eval && !tracing_q && head + 2 == tail_of(path)) {
    const TypeId vt = value.type();
    const Cell e = buf(path)->cells()[head + 1];
    if ((vt == TypeId::block || vt == TypeId::object || vt == TypeId::map) &&
        (e.is(TypeId::integer) || e.is(TypeId::word))) {
      Cell* target = stack::push(&value);
      Cell* reached_by = stack::push(&first);
      Cell* applied = stack::push(&e);
      PathStep step;
      step.path = &path;
      step.owner_word = reached_by;
      step.index = 1;
      step.case_ = case_;
      const Cell next =
          *actions::lookup_for_path(target, &path, applied, 1)(target, applied, nullptr, step);
      if (!is_function_type(next.type())) {
        stack::top = start;
        stack::push(&next);
        return pc + 1;
      }
      // A function reached (a method of an object): called at once, as the
      // walk below would call it, its owner kept on the stack for the call.
      Cell fn = next;
      const Cell word = e.is(TypeId::word) ? e : first;
      stack::top = start + 1;
      Cell* keep_owner = stack::push(&value);
      // (A function! is called as through a word holding it: the path has
      // no refinements left, and its word names the frame either way.)
      int32_t npc = fn.is(TypeId::function)
                        ? call_by_word(&fn, word, args_code, args_pc, args_end)
                        : passing::eval_code(&fn, args_code, args_pc, args_end, &path, head + 2,
                                             &word, keep_owner, mode::normal, false);
      if (exits::pending) return npc;
      *start = stack::top[-1];
      stack::top = start + 1;
      if (tracing_q) fire_event(Event::exit, &path, -1, nullptr, start);
      return pc >= 0 ? npc : pc + 1;
    }
  }

  // Slots: the current value, its parent, the element that reached it, the
  // element being applied (kept on the stack for the collector).
  Cell* cur = stack::push(&value);
  Cell* parent = stack::push(&none_value);
  Cell* parent_word = stack::push(&first);
  // Set mode: a value held in a cell (a date, a time, a pair ...) is changed
  // in a copy, so a change is stored back through the values it was taken
  // from: `held` are those held in cells since the last value that is not
  // (`anchor`, reached by `anchor_field`) or since the head word's value,
  // each with the field applied to it (x/time/hour: 3 stores the time into
  // the date, and the date into x). Their values and fields hold no series,
  // so they need not be on the stack.
  Cell* anchor = stack::push(&none_value);
  Cell* anchor_field = stack::push(&none_value);
  Cell* element = stack::push(&none_value);
  struct Held {
    Cell value, field;
  };
  std::vector<Held> held;
  bool held_from_head = true;
  for (int32_t k = head + 1; k < tail_of(path); k++) {
    Cell e = buf(path)->cells()[k];
    if (tracing_q) fire_event(Event::fetch, &path, k, nullptr, &e);
    if (e.is(TypeId::get_word)) {
      e = *context::get(&e);
    } else if (e.is(TypeId::paren)) {
      passing::eval(&e, Chain::no);
      if (exits::pending) return pc;
      e = stack::top[-1];
      stack::top = element + 1;
    }
    if (e.is(TypeId::unset)) {
      // The report names the element as written (the paren or get-word
      // that gave no value), not the unset value itself.
      Cell written = buf(path)->cells()[k];
      fire(ErrorCode::script_unset_path, &path, &written);
    }
    *element = e;
    bool last = k + 1 >= tail_of(path);
    PathStep step;
    step.path = &path;
    step.owner = parent->is(TypeId::none) ? nullptr : parent;
    step.owner_word = parent_word;
    step.index = k - head;
    step.case_ = case_;
    step.last = last;
    step.notify = mode == PathMode::set;
    step.any = mode == PathMode::get_any;
    Cell* to_store = (mode == PathMode::set && last) ? store : nullptr;
    action_fn::eval_path f = actions::lookup_for_path(cur, &path, element, k - head);
    Cell* r = f(cur, element, to_store, step);
    Cell next = *r;
    if (to_store && held_in_cell(cur->type())) {
      // Store the changed value back: through the values held in cells it
      // was taken from, then into the head word, or through the anchor's own
      // set (which tells the anchor's owner).
      PathStep back;
      back.path = &path;
      back.index = k - 1 - head;
      back.case_ = case_;
      back.notify = true;
      Cell changed = *cur;
      for (size_t i = held.size(); i-- > 0; back.index--) {
        Cell outer = held[i].value;
        actions::call_eval_path(&outer, &held[i].field, &changed, back);
        changed = outer;
      }
      if (held_from_head)
        *context::get(&first) = changed;
      else
        actions::call_eval_path(anchor, anchor_field, &changed, back);
    }
    stack::top = element + 1;
    if (mode == PathMode::eval && is_function_type(next.type())) {
      Cell owner = *cur;
      Cell word = e.is(TypeId::word) ? e : *parent_word;
      stack::top = start + 1;
      Cell* keep_owner = stack::push(&owner);
      // (A function! is named by the word that reached it either way: its
      // refinements may take the short path.)
      int32_t npc = next.is(TypeId::function)
                        ? call_refined(&next, word, path, k + 1, args_code, args_pc, args_end)
                        : -1;
      if (npc < 0)
        npc = passing::eval_code(&next, args_code, args_pc, args_end, &path, k + 1, &word,
                                 keep_owner, mode::normal, false);
      if (exits::pending) return npc;
      // The result sits above the kept path and owner: move it down to `start`.
      *start = stack::top[-1];
      stack::top = start + 1;
      if (tracing_q) fire_event(Event::exit, &path, -1, nullptr, start);
      return pc >= 0 ? npc : pc + 1;
    }
    if (mode == PathMode::set) {
      const TypeId t = cur->type();
      if (held_in_cell(t) && t != TypeId::event &&
          (element->is(TypeId::word) || element->is(TypeId::integer))) {
        held.push_back({*cur, *element});
      } else {
        held.clear();
        held_from_head = false;
        *anchor = *cur;
        *anchor_field = *element;
      }
    }
    *parent = *cur;
    *parent_word = *element;
    *cur = next;
  }
  Cell result = *cur;
  stack::top = start;
  stack::push(&result);
  if (tracing_q) fire_event(Event::exit, &path, -1, nullptr, start);
  return pc + 1;
}

}  // namespace qel::interpreter::passing
