// port!: making ports from specs and schemes, their text form, native actor
// tables behind handles, and the forwarding of actions to actor objects.
#include "datatypes/port.h"

#include <algorithm>

#include "datatypes/handle.h"
#include "core/cycle_guard.h"
#include "evaluator/interpreter.h"
#include "core/stack.h"
#include "runtime/ext_resource.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::port {

namespace {

// --- words

// The word of each action (by action id), made on first use.
Cell action_words[kActionCount + 1];

const Cell* action_word(ActionId a) {
  Cell& w = action_words[static_cast<int>(a)];
  if (!w.is(TypeId::word)) w = word::load(action_name(a));
  return &w;
}

// The value of a global word, or null when it is not set.
const Cell* global(std::string_view name) {
  Cell w = word::load(name);
  const Cell* v = context::get(&w);
  return v && !v->is(TypeId::unset) ? v : nullptr;
}

// A field of an object held in a field of `system` (system/standard/port
// ...), or null when any step is missing.
const Cell* system_field(std::string_view object_name, std::string_view field) {
  const Cell* sys = global("system");
  if (!sys || !sys->is(TypeId::object)) return nullptr;
  const Cell* obj = object::field(sys, object_name);
  if (!obj || !obj->is(TypeId::object)) return nullptr;
  return object::field(obj, field);
}

bool same_word(const Cell* a, const Cell* b) {
  return symbol::resolve(a->symbol()) == symbol::resolve(b->symbol());
}

// --- native actor tables

// The tables handed out as handles. Native schemes are few and their tables
// static, so a small fixed list serves; a handle counts as a native actor
// only when its record holds one of these.
constexpr int32_t kMaxNativeTables = 64;
const ResolvedRow* native_tables[kMaxNativeTables];
int32_t native_table_count = 0;

// --- the values an actor function is called with

// The frame of an actor call: the port, then the action's arguments and
// one flag (plus its argument) per refinement.
struct ActorArgs {
  static constexpr int32_t kMax = 20;
  Cell cells[kMax];
  int32_t count = 0;

  explicit ActorArgs(const Cell* port) { add(*port); }
  void add(const Cell& c) { cells[count++] = c; }
  void flag(bool on) {
    Cell c;
    set_logic(&c, on);
    add(c);
  }
  // A refinement with an argument: its flag and the argument or none.
  void refinement(const Cell* arg) {
    flag(arg != nullptr);
    add(arg ? *arg : none_value);
  }
  // A counted refinement (the /part of append, insert and change, /dup):
  // given when `given`, with the count as an integer!.
  void counted(bool given, int32_t n) {
    flag(given);
    Cell c;
    if (given)
      set_integer(&c, n);
    else
      set_none(&c);
    add(c);
  }
};

// Raises expect-arg, as a call from code does, when a value given to the
// actor function is not of a type its spec allows: the arguments of a
// refinement are checked when the refinement is given. Slots the action
// does not fill (none, past `count`) are left as they are.
void check_types(const Cell* fn, const Cell* name, const interpreter::CacheInfo& ci,
                 const Cell* values, int32_t count) {
  bool on = true;
  for (int32_t i = 1; i <= std::min(ci.count, count); i++) {
    const interpreter::Descriptor d = interpreter::descriptor(ci, i);
    const Cell& v = values[i - 1];
    if (d.kind == interpreter::ArgKind::refinement) {
      on = v.is(TypeId::logic) && v.logic();
      continue;
    }
    if (!on || (d.types >> static_cast<uint8_t>(v.type()) & 1)) continue;
    Cell where = *name;
    Cell dt;
    set_datatype(&dt, v.type());
    Cell arg = memory::series(interpreter::words_of(fn))->cells()[i - 1];
    arg.reset_header(TypeId::word);
    fire(ErrorCode::script_expect_arg, &where, &dt, &arg);
  }
}

// Calls a function! with the given frame values (see call_actor). Pushes
// the result and returns it.
Cell* call_with(const Cell* fn, const Cell* name, const Cell* values, int32_t count) {
  Cell word = *name;
  word.reset_header(TypeId::word);
  Cell* fn_slot = stack::push(fn);
  Cell* base = stack::top;
  const interpreter::CacheInfo ci = interpreter::spec_cache(fn_slot);
  check_types(fn_slot, &word, ci, values, count);
  stack::mark_call_word(&word, 0);
  for (int32_t i = 1; i <= ci.count; i++) {
    if (i <= count)
      stack::push(values + i - 1);
    else if (interpreter::descriptor(ci, i).kind == interpreter::ArgKind::refinement)
      set_logic(stack::push_slot(), false);
    else
      set_none(stack::push_slot());
  }
  function::init_locals(ci.locals);
  interpreter::eval_function(fn_slot, &word, interpreter::CallbackKind::port);
  stack::unwind();
  *fn_slot = *base;
  stack::top = fn_slot + 1;
  return fn_slot;
}

// Forwards an action to the port's actor (args.cells[0] is the port).
Cell* forward(ActionId a, const ActorArgs& args) {
  const Cell actor = actor_of(&args.cells[0]);
  return call_actor(&actor, action_word(a), args.cells, args.count);
}

Cell* forward_port(ActionId a, const Cell* port) { return forward(a, ActorArgs(port)); }

// The actions whose type functions read the frame: the port in slot 0 and,
// with `with_arg`, the argument in slot 1; the answer goes to slot 0.
void forward_frame(ActionId a, bool with_arg) {
  Cell* saved = stack::top;
  ActorArgs args(stack::arguments);
  if (with_arg) args.add(stack::arguments[1]);
  const Cell answer = *forward(a, args);
  stack::arguments[0] = answer;
  stack::top = saved;
}

// --- the forwarded actions

Cell* append(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool at_tail) {
  ActorArgs args(series);
  args.add(*value);
  args.counted(part >= 0, part);
  args.flag(only);
  args.counted(dup > 1, dup);
  return forward(at_tail ? ActionId::append : ActionId::insert, args);
}

Cell* change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
  ActorArgs args(series);
  args.add(*value);
  args.counted(part >= 0, part);
  args.flag(only);
  args.counted(dup > 1, dup);
  return forward(ActionId::change, args);
}

void at() { forward_frame(ActionId::at, true); }
void back() { forward_frame(ActionId::back, false); }
void head() { forward_frame(ActionId::head, false); }
void head_q() { forward_frame(ActionId::head_q, false); }
void index_q() { forward_frame(ActionId::index_q, false); }
void next() { forward_frame(ActionId::next, false); }
void skip() { forward_frame(ActionId::skip, true); }
void tail() { forward_frame(ActionId::tail, false); }
void tail_q() { forward_frame(ActionId::tail_q, false); }

Cell* clear(Cell* port) { return forward_port(ActionId::clear, port); }
Cell* create(Cell* port) { return forward_port(ActionId::create, port); }
Cell* close(Cell* port) { return forward_port(ActionId::close, port); }
Cell* delete_(Cell* port) { return forward_port(ActionId::delete_, port); }
Cell* query(Cell* port) { return forward_port(ActionId::query, port); }
Cell* update(Cell* port) { return forward_port(ActionId::update, port); }

Cell* copy(Cell* value, Cell*, Cell* part, bool deep, Cell* types) {
  ActorArgs args(value);
  args.refinement(part);
  args.flag(deep);
  args.refinement(types);
  return forward(ActionId::copy, args);
}

// find and select share their refinements; find adds /tail and /match.
Cell* search(ActionId a, Cell* series, Cell* value, const FindArgs& f) {
  ActorArgs args(series);
  args.add(*value);
  args.refinement(f.part);
  args.flag(f.only);
  args.flag(f.case_);
  args.flag(f.same);
  args.flag(f.any);
  args.refinement(f.with);
  args.refinement(f.skip);
  args.flag(f.last);
  args.flag(f.reverse);
  if (a == ActionId::find) {
    args.flag(f.tail);
    args.flag(f.match);
  }
  return forward(a, args);
}
Cell* find(Cell* series, Cell* value, const FindArgs& f) {
  return search(ActionId::find, series, value, f);
}
Cell* select(Cell* series, Cell* value, const FindArgs& f) {
  return search(ActionId::select, series, value, f);
}

// The integer the actor answers; any other answer counts as none.
int32_t length_q(Cell* port) {
  const Cell* r = forward_port(ActionId::length_q, port);
  return r->is(TypeId::integer) ? r->integer() : -1;
}

Cell* move(Cell* origin, Cell* target, Cell* part) {
  ActorArgs args(origin);
  args.add(*target);
  args.refinement(part);
  return forward(ActionId::move, args);
}

Cell* pick(Cell* series, int32_t, Cell* index) {
  ActorArgs args(series);
  args.add(*index);
  return forward(ActionId::pick, args);
}

Cell* poke(Cell* series, int32_t, Cell* value, Cell* index) {
  ActorArgs args(series);
  args.add(*index);
  args.add(*value);
  return forward(ActionId::poke, args);
}

Cell* put(Cell* series, Cell* key, Cell* value, bool case_) {
  ActorArgs args(series);
  args.add(*key);
  args.add(*value);
  args.flag(case_);
  return forward(ActionId::put, args);
}

Cell* remove(Cell* series, Cell* part, Cell* key) {
  ActorArgs args(series);
  args.refinement(part);
  args.refinement(key);
  return forward(ActionId::remove, args);
}

Cell* reverse(Cell* series, Cell* part, Cell* skip_size) {
  ActorArgs args(series);
  args.refinement(part);
  args.refinement(skip_size);
  return forward(ActionId::reverse, args);
}

Cell* sort(Cell* series, const SortArgs& s) {
  ActorArgs args(series);
  args.flag(s.case_);
  args.refinement(s.skip);
  args.refinement(s.compare);
  args.refinement(s.part);
  args.flag(s.all);
  args.flag(s.reverse);
  args.flag(s.stable);
  return forward(ActionId::sort, args);
}

Cell* swap(Cell* series1, Cell* series2) {
  ActorArgs args(series1);
  args.add(*series2);
  return forward(ActionId::swap, args);
}

Cell* take(Cell* series, Cell* part, bool deep, bool last) {
  ActorArgs args(series);
  args.refinement(part);
  args.flag(deep);
  args.flag(last);
  return forward(ActionId::take, args);
}

Cell* trim(Cell* series, const TrimArgs& t) {
  ActorArgs args(series);
  args.flag(t.head);
  args.flag(t.tail);
  args.flag(t.auto_);
  args.flag(t.lines);
  args.flag(t.all);
  args.refinement(t.with);
  return forward(ActionId::trim, args);
}

Cell* modify(Cell* target, Cell* field, Cell* value, bool case_) {
  ActorArgs args(target);
  args.add(*field);
  args.add(*value);
  args.flag(case_);
  return forward(ActionId::modify, args);
}

Cell* rename(Cell* from, Cell* to) {
  ActorArgs args(from);
  args.add(*to);
  return forward(ActionId::rename, args);
}

// open with its five refinements as given.
Cell* open_port(const Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow) {
  ActorArgs args(port);
  args.flag(new_);
  args.flag(read);
  args.flag(write);
  args.flag(seek);
  args.refinement(allow);
  return forward(ActionId::open, args);
}

// copy with /part only.
Cell* copy_part(const Cell* port, Cell* part) {
  ActorArgs args(port);
  args.refinement(part);
  args.flag(false);
  args.refinement(nullptr);
  return forward(ActionId::copy, args);
}

}  // namespace

// --- native actors --------------------------------------------------------------

Cell* push_native_actor(const ResolvedRow* table) {
  bool known = false;
  for (int32_t i = 0; i < native_table_count; i++) known = known || native_tables[i] == table;
  if (!known) {
    if (native_table_count == kMaxNativeTables) {
      Cell n;
      set_integer(&n, kMaxNativeTables);
      fire(ErrorCode::internal_limit_hit, &n);
    }
    native_tables[native_table_count++] = table;
  }
  // The record has no kind: the table is static and nothing is released.
  const int32_t index = ext_resource::store(const_cast<ResolvedRow*>(table), 0);
  return handle::push(index, handle::Class::port_actor);
}

const ResolvedRow* native_table(const Cell* port) {
  if (!object::is_object_like(port->type()) || object::word_count(port) < 3) return nullptr;
  const Cell* actor = object::get_values(port) + 2;
  if (!actor->is(TypeId::handle) || handle::class_of(actor) != handle::Class::port_actor)
    return nullptr;
  const int32_t index = handle::value_of(actor);
  if (ext_resource::flags_of(index) & ext_resource::record_flag::free) return nullptr;
  const void* table = ext_resource::object_of(index);
  for (int32_t i = 0; i < native_table_count; i++)
    if (native_tables[i] == table) return native_tables[i];
  return nullptr;
}

// --- calling the actor ----------------------------------------------------------

Cell actor_of(const Cell* port) {
  if (object::word_count(port) >= 3) {
    const Cell actor = object::get_values(port)[2];
    if (actor.is(TypeId::object)) return actor;
  }
  fire(ErrorCode::access_invalid_port);
}

Cell* call_actor(const Cell* actor, const Cell* action, const Cell* values, int32_t count) {
  const Cell* found = object::find_value(actor, action);
  if (!found->is(TypeId::function)) fire(ErrorCode::access_no_port_action);
  const Cell fn = *found;
  return call_with(&fn, action, values, count);
}

// --- make ---------------------------------------------------------------------------

Cell* make(Cell*, Cell* spec, TypeId) {
  const Cell given = *spec;
  Cell* spec_obj;
  if (given.is(TypeId::object)) {
    spec_obj = stack::push_slot();
    set_none(spec_obj);
    object::copy_object(&given, spec_obj, nullptr, false, nullptr, true);
  } else {
    // Any other spec fills in a copy of the URL template.
    Cell proto;
    const Cell* parts = system_field("standard", "url-parts");
    if (parts && parts->is(TypeId::object))
      proto = *parts;
    else
      set_datatype(&proto, TypeId::object);
    Cell s = given;
    spec_obj = object::make(&proto, &s, TypeId::object);
  }
  if (object::word_count(spec_obj) == 0 || !object::get_values(spec_obj)[0].is(TypeId::word))
    fire(ErrorCode::access_no_scheme, &given);
  const Cell name = object::get_values(spec_obj)[0];

  // The scheme: the value after its name in system/schemes.
  Cell scheme = none_value;
  const Cell* sys = global("system");
  const Cell* list = sys && sys->is(TypeId::object) ? object::field(sys, "schemes") : nullptr;
  if (list && is_any_block(list->type()) && list->node()) {
    const int32_t end = block::total_cells(list);
    for (int32_t i = std::max(list->head(), 0); i + 1 < end; i++) {
      const Cell* c = block::rs_abs_at(list, i);
      if (is_any_word(c->type()) && !c->is(TypeId::refinement) && !c->is(TypeId::issue) &&
          same_word(c, &name)) {
        scheme = *block::rs_abs_at(list, i + 1);
        break;
      }
    }
  }
  if (!scheme.is(TypeId::object)) fire(ErrorCode::access_unknown_scheme, &given);
  const Cell* actor = object::field(&scheme, "actor");
  if (!actor || !(actor->is(TypeId::object) || actor->is(TypeId::handle)))
    fire(ErrorCode::access_invalid_actor);
  const Cell actor_value = *actor;
  const Cell* scheme_name = object::field(&scheme, "name");
  const Cell name_value = scheme_name ? *scheme_name : none_value;

  // The port: a copy of the template with its first three fields set.
  const Cell* tmpl = system_field("standard", "port");
  if (!tmpl || !tmpl->is(TypeId::object)) fire(ErrorCode::access_invalid_port);
  Cell* port = stack::push_slot();
  set_none(port);
  object::copy_object(tmpl, port, nullptr, false, nullptr, true);
  Cell* f_spec = object::field(port, "spec");
  Cell* f_scheme = object::field(port, "scheme");
  Cell* f_actor = object::field(port, "actor");
  if (!f_spec || !f_scheme || !f_actor) fire(ErrorCode::access_invalid_port);
  *f_spec = *spec_obj;
  *f_scheme = name_value;
  *f_actor = actor_value;
  port->set_type(TypeId::port);
  port->data2 = static_cast<uint32_t>(object::kPortClass);
  object::store_self(port);
  return port;
}

Cell* from_url(const Cell* url) {
  const Cell u = *url;
  Cell* spec = nullptr;
  const Cell* parser = global("url-parser");
  if (parser && parser->is(TypeId::object)) {
    const Cell* fn = object::field(parser, "parse-url");
    if (fn && fn->is(TypeId::function)) {
      const Cell f = *fn;
      Cell args[2] = {u, false_value};
      const Cell name = word::load("parse-url");
      spec = call_with(&f, &name, args, 2);
    }
  }
  if (!spec || !spec->is(TypeId::object)) fire(ErrorCode::script_invalid_arg, &u);
  Cell dt;
  set_datatype(&dt, TypeId::port);
  return make(&dt, spec, TypeId::port);
}

// --- text ---------------------------------------------------------------------------

int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  if (cycle_guard::detect(value, buffer, limit, cycle_guard::Output::mold)) return limit;
  limit = string::emit(buffer, "make port! [", limit);
  object::FieldsStyle style;
  style.all = all;
  style.flat = flat;
  style.indent = true;
  style.level = indent + 1;
  style.leading_newline = true;
  limit = object::serialize(value, buffer, part, limit, style);
  if (!flat && indent >= 1) limit = string::indent(buffer, indent, limit);
  return string::emit_char(buffer, ']', limit);
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  return actions::call_mold(value, buffer, {}, part, limit, 0);
}

// Ports compare as objects do; object!'s own compare only meets object!
// operands, which would make a port unequal to itself.
int32_t compare(Cell* value1, Cell* value2, CompareOp op) {
  if (!value2->is(TypeId::port)) return kNotComparable;
  Cell a = *value1, b = *value2;
  a.set_type(TypeId::object);
  b.set_type(TypeId::object);
  return datatype::row(TypeId::object).compare(&a, &b, op);
}

// --- read, write and open -----------------------------------------------------------

// read is open (only /seek reported), copy (with /part), close; the copy is
// the result.
Cell* read(Cell* source, const ReadArgs& a) {
  const Cell port = *source;
  open_port(&port, false, false, false, a.seek != nullptr, nullptr);
  Cell* result = copy_part(&port, a.part);
  forward_port(ActionId::close, &port);
  return result;
}

// write is open/write (and /seek), insert of the data (an integer! /part as
// its count), copy (with /part), close; the copy is the result.
Cell* write(Cell* destination, Cell* data, const WriteArgs& a) {
  const Cell port = *destination;
  const int32_t part = a.part && a.part->is(TypeId::integer) ? a.part->integer() : -1;
  open_port(&port, false, false, true, a.seek != nullptr, nullptr);
  {
    ActorArgs args(&port);
    args.add(*data);
    args.counted(part >= 0, part);
    args.flag(false);
    args.counted(false, 0);
    forward(ActionId::insert, args);
  }
  Cell* result = copy_part(&port, a.part);
  forward_port(ActionId::close, &port);
  return result;
}

Cell* open(Cell* spec, const OpenArgs& a) {
  return open_port(spec, a.new_, a.read, a.write, a.seek, a.allow);
}

// --- registration ------------------------------------------------------------------

void register_() {
  static const ActionRow row{
      .make = make,
      .form = form,
      .mold = mold,
      .compare = compare,
      .append = append,
      .at = at,
      .back = back,
      .change = change,
      .clear = clear,
      .copy = copy,
      .find = find,
      .head = head,
      .head_q = head_q,
      .index_q = index_q,
      .insert = append,
      .length_q = length_q,
      .move = move,
      .next = next,
      .pick = pick,
      .poke = poke,
      .put = put,
      .remove = remove,
      .reverse = reverse,
      .select = select,
      .sort = sort,
      .skip = skip,
      .swap = swap,
      .tail = tail,
      .tail_q = tail_q,
      .take = take,
      .trim = trim,
      .create = create,
      .close = close,
      .delete_ = delete_,
      .modify = modify,
      .open = open,
      .query = query,
      .read = read,
      .rename = rename,
      .update = update,
      .write = write,
  };
  datatype::register_type(TypeId::port, TypeId::object, "port!", row);
  actions::port_actor_table = native_table;
}

}  // namespace qel::port
