// Action dispatch, the 62 entry points and their explicit-argument variants.
// Comparison and the interpreter's fast paths are in actions_compare.cpp.
#include "values/actions.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "memory/series.h"
#include "runtime/fatal.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel::actions {

PortActorFn port_actor_table = nullptr;

namespace {
Cell no_call_argument(int32_t) { return none_value; }
}  // namespace

CallArgumentFn call_argument = no_call_argument;

// --- errors

void expect_arg(TypeId type, int32_t index) {
  Cell where = stack::get_call();
  Cell dt;
  set_datatype(&dt, type);
  Cell arg = call_argument(index);
  fire(ErrorCode::script_expect_arg, &where, &dt, &arg);
}

void unsupported(TypeId type) { expect_arg(type, 0); }

void no_port_action() { fire(ErrorCode::access_no_port_action); }

void bad_code() {
  runtime::no_switch_matched();
}

action_fn::eval_path lookup_for_path(const Cell* v, const Cell* path, const Cell* element,
                                     int32_t index) {
  if (auto f = datatype::row(v->type()).eval_path) return f;
  Cell dt;
  set_datatype(&dt, v->type());
  if (!path || !path->node()) fire(ErrorCode::script_bad_path_type2, element, &dt);
  // The path up to and including the element whose value failed: the
  // elements before `index` (the position of the element that does not
  // apply), so that x/a/b on an integer x/a names x/a as what returned it.
  // The cut is a plain path whatever the kind of the whole: x/a: 1 on an
  // integer x names x, which returned it, not the set-word x:.
  const SeriesBuffer* src = memory::series(path->node());
  Node n = memory::copy_series(const_cast<SeriesBuffer*>(src));
  SeriesBuffer* cut = memory::series(n);
  const uint64_t keep = uint64_t(std::max(path->head(), 0)) + uint64_t(index);
  if (index >= 1 && keep * sizeof(Cell) < cut->tail - cut->offset)
    cut->tail = cut->offset + static_cast<uint32_t>(keep * sizeof(Cell));
  Cell cut_path;
  set_series(&cut_path, TypeId::path, n, path->head());
  fire(ErrorCode::script_bad_path_type, path, &dt, &cut_path);
}

int32_t index_argument() {
  const Cell* c = stack::arguments + 1;
  switch (c->type()) {
    case TypeId::logic:
      return c->data1 ? 1 : 2;
    case TypeId::char_:
      return static_cast<int32_t>(c->data3);
    case TypeId::integer:
      return c->integer();
    default:
      return 0;
  }
}

// --- explicit-argument variants

namespace {
inline TypeId make_type(const Cell* proto) {
  return proto->is(TypeId::datatype) ? datatype::named(proto) : proto->type();
}
}  // namespace

Cell* call_make(Cell* proto, Cell* spec) {
  TypeId t = make_type(proto);
  return lookup<ActionId::make>(t, proto)(proto, spec, t);
}
Cell* call_to(Cell* proto, Cell* spec) {
  TypeId t = make_type(proto);
  return lookup<ActionId::to>(t, proto)(proto, spec, t);
}
Cell* call_random(Cell* value, bool seed, bool secure, bool only) {
  return lookup_value<ActionId::random>(value)(value, seed, secure, only);
}
Cell* call_reflect(Cell* value, uint32_t field_symbol) {
  return lookup_value<ActionId::reflect>(value)(value, field_symbol);
}
int32_t call_form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  return lookup_value<ActionId::form>(value)(value, buffer, part, limit);
}
int32_t call_mold(Cell* value, Cell* buffer, MoldStyle style, Cell* part, int32_t limit,
                  int32_t indent) {
  return lookup_value<ActionId::mold>(value)(value, buffer, style.only, style.all, style.flat, part,
                                             limit, indent);
}
Cell* call_eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  return lookup_for_path(parent, step.path, element, step.index)(parent, element, value, step);
}
Cell* call_modify(Cell* target, Cell* field, Cell* value, bool case_) {
  return lookup_value<ActionId::modify>(target)(target, field, value, case_);
}
Cell* call_negate(Cell* value) { return lookup_value<ActionId::negate>(value)(value); }
Cell* call_round(Cell* value, Cell* scale, RoundFlags flags) {
  return lookup_value<ActionId::round>(value)(value, scale, flags);
}
bool call_even_q(Cell* value) { return lookup_value<ActionId::even_q>(value)(value); }
bool call_odd_q(Cell* value) { return lookup_value<ActionId::odd_q>(value)(value); }
Cell* call_complement(Cell* value) { return lookup_value<ActionId::complement>(value)(value); }
Cell* call_append(Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
  return lookup_value<ActionId::append>(series)(series, value, part, only, dup, true);
}
Cell* call_change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
  return lookup_value<ActionId::change>(series)(series, value, part, only, dup);
}
Cell* call_clear(Cell* series) { return lookup_value<ActionId::clear>(series)(series); }
Cell* call_copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
  return lookup_value<ActionId::copy>(value)(value, result, part, deep, types);
}
Cell* call_find(Cell* series, Cell* value, const FindArgs& args) {
  return lookup_value<ActionId::find>(series)(series, value, args);
}
Cell* call_insert(Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
  return lookup_value<ActionId::insert>(series)(series, value, part, only, dup, false);
}
int32_t call_length_q(Cell* value) { return lookup_value<ActionId::length_q>(value)(value); }
Cell* call_move(Cell* origin, Cell* target, Cell* part) {
  return lookup_value<ActionId::move>(origin)(origin, target, part);
}
Cell* call_pick(Cell* series, int32_t index, Cell* index_cell) {
  return lookup_value<ActionId::pick>(series)(series, index, index_cell);
}
Cell* call_poke(Cell* series, int32_t index, Cell* value, Cell* index_cell) {
  return lookup_value<ActionId::poke>(series)(series, index, value, index_cell);
}
Cell* call_put(Cell* series, Cell* key, Cell* value, bool case_) {
  return lookup_value<ActionId::put>(series)(series, key, value, case_);
}
Cell* call_remove(Cell* series, Cell* part, Cell* key) {
  return lookup_value<ActionId::remove>(series)(series, part, key);
}
Cell* call_reverse(Cell* series, Cell* part, Cell* skip) {
  return lookup_value<ActionId::reverse>(series)(series, part, skip);
}
Cell* call_select(Cell* series, Cell* value, const FindArgs& args) {
  return lookup_value<ActionId::select>(series)(series, value, args);
}
Cell* call_sort(Cell* series, const SortArgs& args) {
  return lookup_value<ActionId::sort>(series)(series, args);
}
Cell* call_swap(Cell* series1, Cell* series2) {
  return lookup_value<ActionId::swap>(series1)(series1, series2);
}
Cell* call_take(Cell* series, Cell* part, bool deep, bool last) {
  return lookup_value<ActionId::take>(series)(series, part, deep, last);
}
Cell* call_trim(Cell* series, const TrimArgs& args) {
  return lookup_value<ActionId::trim>(series)(series, args);
}
Cell* call_create(Cell* port) { return lookup_value<ActionId::create>(port)(port); }
Cell* call_close(Cell* port) { return lookup_value<ActionId::close>(port)(port); }
Cell* call_delete(Cell* port) { return lookup_value<ActionId::delete_>(port)(port); }
Cell* call_open(Cell* spec, const OpenArgs& args) {
  return lookup_value<ActionId::open>(spec)(spec, args);
}
Cell* call_open_q(Cell* port) { return lookup_value<ActionId::open_q>(port)(port); }
Cell* call_query(Cell* port) { return lookup_value<ActionId::query>(port)(port); }
Cell* call_read(Cell* source, const ReadArgs& args) {
  return lookup_value<ActionId::read>(source)(source, args);
}
Cell* call_rename(Cell* from, Cell* to) { return lookup_value<ActionId::rename>(from)(from, to); }
Cell* call_update(Cell* port) { return lookup_value<ActionId::update>(port)(port); }
Cell* call_write(Cell* destination, Cell* data, const WriteArgs& args) {
  return lookup_value<ActionId::write>(destination)(destination, data, args);
}

// --- entry points

namespace {

inline Cell* slot(int32_t i) { return stack::arguments + i; }
// A refinement's argument cell, or null when it is absent.
inline Cell* arg(Refinements r, int i) { return (r && r[i] >= 0) ? slot(r[i]) : nullptr; }
// A refinement without arguments.
inline bool flag(Refinements r, int i) { return r && r[i] != -1; }
// Puts a type function's answer into slot 0.
inline void result(const Cell* c) {
  if (c) copy_cell(c, slot(0));
}

// Types whose /part operand for append and insert may be a series.
bool part_operand_type(TypeId t) {
  switch (t) {
    case TypeId::path: case TypeId::lit_path: case TypeId::set_path: case TypeId::get_path:
    case TypeId::block: case TypeId::paren: case TypeId::hash: case TypeId::string:
    case TypeId::file: case TypeId::url: case TypeId::tag: case TypeId::email: case TypeId::ref:
    case TypeId::binary: case TypeId::vector: case TypeId::image: case TypeId::map:
      return true;
    default:
      return false;
  }
}

bool positional_type(TypeId t) {
  return is_any_block(t) || is_any_string(t) || t == TypeId::binary || t == TypeId::vector ||
         t == TypeId::image;
}

// Brings an index that lies beyond the tail back to the tail.
void clamp_to_tail(Cell* v) {
  if (!positional_type(v->type()) || !v->node()) return;
  const SeriesBuffer* s = memory::series(v->node());
  const uint32_t unit = s->unit() ? s->unit() : 1;
  const int32_t units = static_cast<int32_t>((s->tail - s->offset) / unit);
  if (v->head() > units) v->set_head(units);
}

[[noreturn]] void bad_part_refine(const Cell* part) {
  Cell w = refinement::load("part");
  fire(ErrorCode::script_invalid_refine_arg, &w, part);
}

enum class Modifier { append, insert, change };

// How far a negative /part count reaches back from a head: -count items, at
// most the head (the count may be the smallest integer, whose negation does
// not fit).
inline int32_t back_count(int32_t count, int32_t head) {
  return static_cast<int32_t>(std::min<int64_t>(-int64_t{count}, head));
}

// The shared /part and /dup handling of append, insert and change.
void modify_series(Refinements r, Modifier which) {
  Cell* target = slot(0);
  Cell* value = slot(1);
  const bool change = which == Modifier::change;
  int32_t count = -1, dup = 1;
  Cell* operand = change ? target : value;
  if (which == Modifier::insert && !target->is(TypeId::port)) clamp_to_tail(target);

  if (Cell* part = arg(r, 0)) {
    bool positional;
    if (!change) {
      if (!part_operand_type(value->type()) || !value->node())
        fire(ErrorCode::script_invalid_part, part);
      positional = true;
    } else {
      positional = !(target->is(TypeId::port) || target->is(TypeId::image));
    }
    if (positional) clamp_to_tail(operand);
    if (part->is(TypeId::integer)) {
      count = part->integer();
    } else {
      if (part->type() != operand->type() || part->node() != operand->node() || !positional ||
          (!change && operand->is(TypeId::port)))
        bad_part_refine(part);
      clamp_to_tail(part);
      count = part->head() - operand->head();
    }
    if (!change) {
      if (count == 0) return;
      if (count < 0) {
        // A /part position before the value's index inserts the values
        // between the two.
        if (operand->head() == 0) return;
        int32_t back = back_count(count, operand->head());
        operand->set_head(operand->head() - back);
        count = back;
      }
    } else if (count < 0) {
      if (positional) {
        int32_t back = back_count(count, operand->head());
        operand->set_head(operand->head() - back);
        count = back;
      } else {
        count = 0;
      }
    }
  }
  if (Cell* d = arg(r, 2)) {
    dup = d->integer();
    if (dup <= 0) return;
  }
  const bool only = flag(r, 1);
  Cell* answer;
  switch (which) {
    case Modifier::append:
      answer = lookup_value<ActionId::append>(target)(target, value, count, only, dup, true);
      break;
    case Modifier::insert:
      answer = lookup_value<ActionId::insert>(target)(target, value, count, only, dup, false);
      break;
    default:
      answer = call_change(target, value, count, only, dup);
      break;
  }
  result(answer);
}

}  // namespace

void make(Refinements) { result(call_make(slot(0), slot(1))); }
void to(Refinements) { result(call_to(slot(0), slot(1))); }
void random(Refinements r) { result(call_random(slot(0), flag(r, 0), flag(r, 1), flag(r, 2))); }
void reflect(Refinements) { result(call_reflect(slot(0), slot(1)->symbol())); }

void form(Refinements r) {
  int32_t limit = string::kNoLimit;
  Cell part;
  Cell* part_arg = nullptr;
  if (Cell* p = arg(r, 0)) {
    part = *p;
    part_arg = &part;
    limit = part.integer();
    if (limit <= 0) {
      string::rs_make_at(slot(0), 1);
      stack::keep();
      return;
    }
  }
  stack::keep();
  Cell* buffer = string::rs_make_at(stack::push_slot(), 16);
  call_form(slot(0), buffer, part_arg, limit);
  if (part_arg) string::truncate_buffer(string::buffer(buffer), part.integer());
  *slot(0) = *buffer;
  stack::keep();
}

void mold(Refinements r) {
  int32_t limit = string::kNoLimit;
  Cell part;
  Cell* part_arg = nullptr;
  if (Cell* p = arg(r, 3)) {
    part = *p;
    part_arg = &part;
    limit = part.integer();
    if (limit <= 0) {
      string::rs_make_at(slot(0), 1);
      stack::keep();
      return;
    }
  }
  const bool only = flag(r, 0), all = flag(r, 1), flat = flag(r, 2);
  stack::keep();
  Cell* buffer = string::rs_make_at(stack::push_slot(), 16);
  call_mold(slot(0), buffer, {.only = only, .all = all, .flat = flat}, part_arg, limit, 0);
  if (part_arg) string::truncate_buffer(string::buffer(buffer), part.integer());
  *slot(0) = *buffer;
  stack::keep();
}

void eval_path(Refinements r) {
  PathStep step;
  result(call_eval_path(slot(0), slot(1), flag(r, 0) ? slot(2) : nullptr, step));
}

void absolute(Refinements) { lookup_top<ActionId::absolute>()(); }
void add(Refinements) { lookup_top<ActionId::add>()(); }
void divide(Refinements) { lookup_top<ActionId::divide>()(); }
void multiply(Refinements) { lookup_top<ActionId::multiply>()(); }
void negate(Refinements) { result(call_negate(slot(0))); }
void power(Refinements) { lookup_top<ActionId::power>()(); }
void remainder(Refinements) { lookup_top<ActionId::remainder>()(); }
void round(Refinements r) {
  RoundFlags f{.even = flag(r, 1), .down = flag(r, 2), .half_down = flag(r, 3),
               .floor = flag(r, 4), .ceiling = flag(r, 5), .half_ceiling = flag(r, 6)};
  result(call_round(slot(0), arg(r, 0), f));
}
void subtract(Refinements) { lookup_top<ActionId::subtract>()(); }
void even_q(Refinements) { logic::box(call_even_q(slot(0))); }
void odd_q(Refinements) { logic::box(call_odd_q(slot(0))); }
void and_(Refinements) { lookup_top<ActionId::and_>()(); }
void complement(Refinements) { result(call_complement(slot(0))); }
void or_(Refinements) { lookup_top<ActionId::or_>()(); }
void xor_(Refinements) { lookup_top<ActionId::xor_>()(); }
void append(Refinements r) { modify_series(r, Modifier::append); }
void at(Refinements) { lookup_top<ActionId::at>()(); }
void back(Refinements) { lookup_top<ActionId::back>()(); }
void change(Refinements r) { modify_series(r, Modifier::change); }
void clear(Refinements) { result(call_clear(slot(0))); }

void copy(Refinements r) {
  Cell* types = arg(r, 2);
  if (types && !types->is(TypeId::datatype) && !types->is(TypeId::typeset)) {
    Cell where = word::load("copy");
    Cell dt;
    set_datatype(&dt, types->type());
    Cell kind = word::load("kind");
    fire(ErrorCode::script_expect_arg, &where, &dt, &kind);
  }
  Cell* dest = stack::push_slot();
  set_unset(dest);
  result(call_copy(slot(0), dest, arg(r, 0), flag(r, 1), types));
}

void find(Refinements r) {
  FindArgs a{.part = arg(r, 0), .only = flag(r, 1), .case_ = flag(r, 2), .same = flag(r, 3),
             .any = flag(r, 4), .with = arg(r, 5), .skip = arg(r, 6), .last = flag(r, 7),
             .reverse = flag(r, 8), .tail = flag(r, 9), .match = flag(r, 10)};
  result(call_find(slot(0), slot(1), a));
}

void head(Refinements) { lookup_top<ActionId::head>()(); }
void head_q(Refinements) { lookup_top<ActionId::head_q>()(); }
void index_q(Refinements) { lookup_top<ActionId::index_q>()(); }
void insert(Refinements r) { modify_series(r, Modifier::insert); }

void length_q(Refinements) {
  int32_t n = call_length_q(slot(0));
  if (n == -1)
    none::push_last();
  else
    set_integer(slot(0), n);
}

void move(Refinements r) { result(call_move(slot(0), slot(1), arg(r, 0))); }
void next(Refinements) { lookup_top<ActionId::next>()(); }
void pick(Refinements) { result(call_pick(slot(0), index_argument(), slot(1))); }
void poke(Refinements) {
  call_poke(slot(0), index_argument(), slot(2), slot(1));
  *slot(0) = *slot(2);
}
void put(Refinements r) { result(call_put(slot(0), slot(1), slot(2), flag(r, 0))); }
void remove(Refinements r) { result(call_remove(slot(0), arg(r, 0), arg(r, 1))); }
void reverse(Refinements r) { result(call_reverse(slot(0), arg(r, 0), arg(r, 1))); }

void select(Refinements r) {
  FindArgs a{.part = arg(r, 0), .only = flag(r, 1), .case_ = flag(r, 2), .same = flag(r, 3),
             .any = flag(r, 4), .with = arg(r, 5), .skip = arg(r, 6), .last = flag(r, 7),
             .reverse = flag(r, 8)};
  result(call_select(slot(0), slot(1), a));
}

void sort(Refinements r) {
  SortArgs a{.case_ = flag(r, 0), .skip = arg(r, 1), .compare = arg(r, 2), .part = arg(r, 3),
             .all = flag(r, 4), .reverse = flag(r, 5), .stable = flag(r, 6)};
  result(call_sort(slot(0), a));
}

void skip(Refinements) { lookup_top<ActionId::skip>()(); }
void swap(Refinements) { result(call_swap(slot(0), slot(1))); }
void tail(Refinements) { lookup_top<ActionId::tail>()(); }
void tail_q(Refinements) { lookup_top<ActionId::tail_q>()(); }
void take(Refinements r) { result(call_take(slot(0), arg(r, 0), flag(r, 1), flag(r, 2))); }

void trim(Refinements r) {
  TrimArgs a{.head = flag(r, 0), .tail = flag(r, 1), .auto_ = flag(r, 2), .lines = flag(r, 3),
             .all = flag(r, 4), .with = arg(r, 5)};
  result(call_trim(slot(0), a));
}

void create(Refinements) { result(call_create(slot(0))); }
void close(Refinements) { result(call_close(slot(0))); }
void delete_(Refinements) { result(call_delete(slot(0))); }
void modify(Refinements r) { result(call_modify(slot(0), slot(1), slot(2), flag(r, 0))); }

void open(Refinements r) {
  OpenArgs a{.new_ = flag(r, 0), .read = flag(r, 1), .write = flag(r, 2), .seek = flag(r, 3),
             .allow = arg(r, 4)};
  result(call_open(slot(0), a));
}

void open_q(Refinements) { result(call_open_q(slot(0))); }
void query(Refinements) { result(call_query(slot(0))); }

void read(Refinements r) {
  ReadArgs a{.part = arg(r, 0), .seek = arg(r, 1), .binary = flag(r, 2), .lines = flag(r, 3),
             .info = flag(r, 4), .as = arg(r, 5)};
  result(call_read(slot(0), a));
}

void rename(Refinements) { result(call_rename(slot(0), slot(1))); }
void update(Refinements) { result(call_update(slot(0))); }

void write(Refinements r) {
  WriteArgs a{.binary = flag(r, 0), .lines = flag(r, 1), .info = flag(r, 2), .append = flag(r, 3),
              .part = arg(r, 4), .seek = arg(r, 5), .allow = arg(r, 6), .as = arg(r, 7)};
  result(call_write(slot(0), slot(1), a));
}

// --- the entry table

EntryFn entries[kActionCount];

void init() {
  static constexpr EntryFn table[kActionCount] = {
      make,     random,  reflect, to,       form,   mold,    eval_path, nullptr, nullptr,
      absolute, add,     divide,  multiply, negate, power,   remainder, round,   subtract,
      even_q,   odd_q,   and_,    complement, or_,  xor_,    append,    at,      back,
      change,   clear,   copy,    find,     head,   head_q,  index_q,   insert,  length_q,
      move,     next,    pick,    poke,     put,    remove,  reverse,   select,  sort,
      skip,     swap,    tail,    tail_q,   take,   trim,    create,    close,   delete_,
      modify,   open,    open_q,  query,    read,   rename,  update,    write,
  };
  for (int i = 0; i < kActionCount; i++) entries[i] = table[i];
}

}  // namespace qel::actions
