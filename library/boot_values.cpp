// `_boot-value name`: the values the library's top-level code takes from
// C++ while it builds `system` and its objects, where the compiled library
// had them as boot data or made them in the low-level dialect: the global-
// words object, the error catalog and prototype, the word lists of the
// catalog, the collector routines, the hooks of change handlers, the command
// line and the build facts.
//
// The word `_boot-value` exists only while the top-level code runs; start-
// up unsets it afterwards, so scripts cannot reach these values but through
// the objects that hold them.
#include <string>
#include <string_view>
#include <vector>

#include "datatypes/event.h"
#include "datatypes/float.h"
#include "datatypes/handle.h"
#include "core/cycle_guard.h"
#include "core/stack.h"
#include "gui/terminal/routines.h"
#include "library/codec_routines.h"
#include "library/library.h"
#include "library/routines.h"
#include "memory/collector.h"
#include "runtime/startup.h"
#include "services/cmdline.h"
#include "services/files.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "datatypes/error.h"
#include "core/errors.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "values/symbol.h"
#include "datatypes/word.h"

#ifndef QEL_BUILD_DATE
#define QEL_BUILD_DATE ""
#endif
#ifndef QEL_GIT_COMMIT
#define QEL_GIT_COMMIT ""
#endif
#ifndef QEL_BUILD_TYPE
#define QEL_BUILD_TYPE ""
#endif

namespace qel::library {

namespace {

Cell* result() { return stack::arguments; }

// --- routines that live in object fields

// system/state/GC: the collector's switch and counters. Nodes are reclaimed
// by every collection, so both counters are the collector's cycle count.
void gc_active_q() { set_logic(result(), collector::active); }
void gc_series_cycles() { set_integer(result(), static_cast<int32_t>(collector::cycles)); }
void gc_nodes_cycles() { set_integer(result(), static_cast<int32_t>(collector::cycles)); }

// The body of system/state/interpreted?: library code answers as compiled
// code does. While start-up runs only library code runs; afterwards every
// call comes, at its root, from code the interpreter runs for the user.
void interpreted_q() { set_logic(result(), started() && stack::eval_q(nullptr, false)); }

// The hooks of system/options/float/on-change*: the float former's flags.
void float_pretty_print() {
  float_::pretty_print = !is_falsy(stack::arguments);
  set_unset(result());
}
void float_full_support() {
  float_::full_support = !is_falsy(stack::arguments);
  set_unset(result());
}

// The lists of a body for collect's rebinding walk: the body and every
// block, paren, path and hash! reachable from it, each buffer once, at the
// lowest position the body reaches it by (block::walk_lists: a body nested
// a million deep, holding itself or sharing its lists takes time in
// proportion to its cells). Nothing is evaluated on the way.
void body_lists() {
  const std::vector<Cell> lists = block::walk_lists(*result(), [](Cell*) {});
  Cell* out = stack::push_slot();
  block::make_at(out, static_cast<int32_t>(lists.size()));
  for (const Cell& list : lists) block::rs_append(out, &list);
  *result() = *out;
  stack::top = out;
}

// save's text: the value molded (/only, /all as asked) as text that loads
// back as it, so a value inside itself raises no-cycle instead of being
// written as a marker that loads as something else.
void mold_data() {
  Cell* base = stack::top;
  const bool only = !is_falsy(stack::arguments + 1), all = !is_falsy(stack::arguments + 2);
  Cell* buffer = string::rs_make_at(stack::push_slot(), 16);
  {
    cycle_guard::Refuse refuse;
    actions::call_mold(stack::arguments, buffer, only, all, false, nullptr, string::kNoLimit, 0);
  }
  *result() = *buffer;
  stack::top = base;
}

constexpr RoutineDef kFieldRoutines[] = {
    {"mold-data", mold_data,
     R"spec(value [any-type!] only [logic!] all [logic!] return: [string!])spec", TypeId::string},
    {"body-lists", body_lists, R"spec(body [block!] return: [block!])spec", TypeId::block},
    {"gc-active?", gc_active_q, R"spec(return: [logic!])spec", TypeId::logic},
    {"gc-series-cycles", gc_series_cycles, R"spec(return: [integer!])spec", TypeId::integer},
    {"gc-nodes-cycles", gc_nodes_cycles, R"spec(return: [integer!])spec", TypeId::integer},
    {"interpreted?", interpreted_q, R"spec(return: [logic!])spec", TypeId::logic},
    {"float-pretty-print", float_pretty_print, R"spec(flag [any-type!])spec", TypeId::none_id},
    {"float-full-support", float_full_support, R"spec(flag [any-type!])spec", TypeId::none_id},
};

// --- values

// system/words: an object of the global context itself, with no class and
// no event information, stored as the global context's own object.
void make_words() {
  Cell obj = *object::push(context::global, 0, object::kNoClass);
  *result() = obj;
}

// A block of the global words whose values are of the type.
void words_of_type(TypeId type) {
  Cell* out = stack::push_slot();
  block::make_at(out, 64);
  Node ctx = context::global;
  uint32_t n = context::word_count(ctx);
  for (uint32_t i = 0; i < n; i++) {
    const Cell* v = word::get_in(ctx, static_cast<int32_t>(i));
    if (!v->is(type)) continue;
    Cell w = *context::word_cell(ctx, static_cast<int32_t>(i));
    w.header = static_cast<uint32_t>(TypeId::word);
    block::rs_append(out, &w);
  }
  *result() = *out;
}

// The command line rebuilt from argv (services/cmdline.h): the text
// extract-boot-args splits back into the arguments.
void command_line() {
  if (runtime::system.argc == 0)
    set_none(result());
  else
    files::os_text(result(), cmdline::command_line());
}

void text_or_none(std::string_view text) {
  if (text.empty())
    set_none(result());
  else
    string::make_utf8(result(), text);
}

// The routines of event!, made when the type is registered.
void event_q() { set_logic(stack::arguments, stack::arguments->is(TypeId::event)); }
// The text-mode back end sends nothing to the system.
void send_event_os() { set_logic(stack::arguments, false); }
void find_flag_q_routine() {
  const bool found = event::find_flag_q(stack::arguments, stack::arguments + 1);
  set_logic(stack::arguments, found);
}

constexpr library::RoutineDef kEventRoutines[] = {
    {"event?", event_q, R"spec(value [any-type!] return: [logic!])spec", TypeId::logic},
    {"send-event-os", send_event_os, R"spec(event [event!] queued? [logic!] return: [logic!])spec",
     TypeId::logic},
    {"find-flag?", find_flag_q_routine, R"spec(facet [any-type!] flag [any-type!] return: [logic!])spec",
     TypeId::logic},
};


// Registers event! (its word and routines are made now, so they are
// recorded) and answers the datatype.
void register_event() {
  const bool was = word::recording_q();
  word::set_recording(true);
  const bool fresh = !datatype::is_registered(TypeId::event);
  event::register_();
  if (fresh)
    define_global_routines(kEventRoutines, static_cast<int32_t>(std::size(kEventRoutines)));
  word::set_recording(was);
  set_datatype(result(), TypeId::event);
}

struct ValueDef {
  const char* name;
  void (*make)();
};

const ValueDef kValues[] = {
    {"words", make_words},
    {"errors", [] { *result() = *error::catalog(); }},
    {"error-prototype", [] { *result() = *error::prototype(); }},
    {"datatypes", [] { words_of_type(TypeId::datatype); }},
    {"actions", [] { words_of_type(TypeId::action); }},
    {"natives", [] { words_of_type(TypeId::native); }},
    {"args", command_line},
    {"build-date", [] { text_or_none(QEL_BUILD_DATE); }},
    {"git-commit", [] { text_or_none(QEL_GIT_COMMIT); }},
    {"build-type", [] { text_or_none(QEL_BUILD_TYPE); }},
    {"null-handle", [] { handle::make_at(result(), 0, handle::Class::null); }},
    {"register-event", register_event},
};

void boot_value() {
  std::string_view name = word::spelling(stack::arguments);
  Cell* base = stack::top;
  for (const ValueDef& v : kValues) {
    if (name == v.name) {
      v.make();
      stack::top = base;
      return;
    }
  }
  for (const RoutineDef& r : kFieldRoutines) {
    if (name == r.name) {
      Cell* made = push_routine(r);
      *result() = *made;
      stack::top = base;
      return;
    }
  }
  if (gui::boot_value(name)) return;
  if (const RoutineDef* r = find_codec_routine(name)) {
    Cell* made = push_routine(*r);
    *result() = *made;
    stack::top = base;
    return;
  }
  Cell bad = *stack::arguments;
  fire(ErrorCode::script_invalid_arg, &bad);
}

constexpr RoutineDef kBootValue = {"_boot-value", boot_value, R"spec(name [word!])spec", TypeId::none_id};

}  // namespace

void define_boot_value() { define_global_routines(&kBootValue, 1); }

void remove_boot_value() {
  Cell w = word::load(kBootValue.name);
  Cell unset;
  set_unset(&unset);
  context::set_in(&w, &unset, w.context(), false);
}

}  // namespace qel::library
