// map!: keys and their preparation, making maps, lookups and the setter
// behind paths, put and extend, the text forms, comparison, copying,
// reflection, the foreach step and the literal maker of the lexer.
//
// Raw cell pointers into a map's block are re-read after anything that
// appends to it; nothing here runs Qel code except `foreach_next`, which
// sets words (an object's change handler may run) and re-reads afterwards.
#include "datatypes/map.h"

#include <algorithm>

#include "datatypes/hash.h"
#include "core/cycle_guard.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "memory/hashtable.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "values/symbol.h"

namespace qel::map {

namespace {

inline Node table_of(const Cell* m) { return m->data3; }
inline SeriesBuffer* block_of(const Cell* m) { return memory::series(m->node()); }
inline Cell* cells(const Cell* m) { return block_of(m)->cells(); }
inline int32_t cell_count(const Cell* m) { return static_cast<int32_t>(block_of(m)->length()); }
// A pair whose value cell has no type was removed.
inline bool live_at(const Cell* m, int32_t key_pos) {
  return key_pos + 1 < cell_count(m) && cells(m)[key_pos + 1].header != 0;
}

bool is_word_kind(TypeId t) { return t >= TypeId::word && t <= TypeId::get_word; }
bool copied_key(TypeId t) { return is_any_string(t) || t == TypeId::binary; }

// The key as it goes out of the map: a set-word key as a word, and a copy of
// a series key (the map's own must not change behind its index).
Cell outgoing_key(const Cell* stored, bool words_as_words) {
  Cell k = *stored;
  k.clear_flag(cell_flag::new_line);
  if (words_as_words && k.is(TypeId::set_word)) k.set_type(TypeId::word);
  if (copied_key(k.type())) {
    Cell c;
    series::copy(&k, &c, nullptr, false, nullptr);
    return c;
  }
  return k;
}

enum class Match { equal, strict, same };

CompareOp op_of(Match m) {
  return m == Match::strict ? CompareOp::strict_equal : m == Match::same ? CompareOp::same : CompareOp::equal;
}

Match match_of(bool case_, bool same) { return same ? Match::same : case_ ? Match::strict : Match::equal; }

// The position of the key cell of the entry matching `key`, or -1. Without
// regard to case several stored keys may match ("A" and "a" put with /case):
// a live one is preferred over a removed one.
int32_t lookup(const Cell* m, const Cell* key_in, Match match) {
  Node t = table_of(m);
  Cell key = *key_in;
  if (is_word_kind(key.type())) key.set_type(TypeId::set_word);
  if (match != Match::equal) {
    Cell* c = hashtable::get(t, &key, 0, 1, op_of(match));
    return c ? static_cast<int32_t>(c - cells(m)) : -1;
  }
  int32_t removed = -1, cursor = -1, start = 0, step = 0;
  while (Cell* c = hashtable::find_next(t, &key, &cursor, &start, &step)) {
    int32_t pos = static_cast<int32_t>(c - cells(m));
    if (live_at(m, pos)) return pos;
    if (removed < 0) removed = pos;
  }
  return removed;
}

// Sets the key's value, adding or reviving its entry.
void set_value(Cell* m, const Cell* key, const Cell* value, Match match, const Cell* path) {
  Cell v = *value;
  v.clear_flag(cell_flag::new_line);
  int32_t pos = lookup(m, key, match);
  if (pos < 0) {
    Cell k = *key;
    k.clear_flag(cell_flag::new_line);
    prepare_key(&k, path);
    Cell* slot = reinterpret_cast<Cell*>(memory::reserve_tail(m->node(), 2 * sizeof(Cell)));
    slot[0] = k;
    set_unset(slot + 1);
    pos = cell_count(m) - 2;
    hashtable::put(table_of(m), cells(m) + pos);
  } else if (!live_at(m, pos)) {
    hashtable::record(table_of(m))->size++;
  }
  cells(m)[pos + 1] = v;
}

uint32_t symbol_of(const char* name) { return symbol::resolve(symbol::make(name)); }

[[noreturn]] void bad_to(const Cell* spec) {
  Cell dt;
  set_datatype(&dt, TypeId::map);
  fire(ErrorCode::script_bad_to_arg, &dt, spec);
}

// A new map from the pairs of an any-block from its position.
Cell* from_pairs(Cell* result, const Cell* spec) {
  Cell src = *spec;
  int32_t n = std::max(block::rs_length_q(&src), 0);
  if (n % 2 != 0) fire(ErrorCode::script_invalid_arg, spec);
  Cell copy;
  block::clone_into(&src, &copy, block::Deep::no, block::AnyBlock::no);
  object::clear_new_lines(copy.node());
  return make_at(result, &copy, std::max(n, 2));
}

// The live entries in block order: f(key position).
template <class F>
void each_live(const Cell* m, F f) {
  for (int32_t i = 0; i + 1 < cell_count(m); i += 2)
    if (live_at(m, i)) f(i);
}

bool lexer_map_maker(const Cell* source, uint32_t count, Cell* out) {
  for (uint32_t i = 0; i < count; i += 2)
    if (!valid_key(source[i].type())) return false;
  Node blk = memory::alloc_cells(std::max<uint32_t>(count, 1));
  SeriesBuffer* s = memory::series(blk);
  std::copy(source, source + count, s->cells());
  s->tail = s->offset + count * sizeof(Cell);
  object::clear_new_lines(blk);
  Cell b{static_cast<uint32_t>(TypeId::block), 0, blk, 0};
  make_at(out, &b, std::max<int32_t>(static_cast<int32_t>(count), 2));
  return true;
}

}  // namespace

// --- keys and making ---------------------------------------------------------------

int32_t size(const Cell* m) { return hashtable::record(table_of(m))->size; }

bool valid_key(TypeId t) {
  switch (t) {
    case TypeId::string: case TypeId::file: case TypeId::url: case TypeId::char_:
    case TypeId::integer: case TypeId::float_: case TypeId::word: case TypeId::set_word:
    case TypeId::lit_word: case TypeId::get_word: case TypeId::refinement: case TypeId::issue:
    case TypeId::pair: case TypeId::percent: case TypeId::tuple: case TypeId::binary:
    case TypeId::time: case TypeId::tag: case TypeId::email: case TypeId::date:
    case TypeId::money: case TypeId::ref: case TypeId::point2d: case TypeId::point3d:
      return true;
    default:
      return false;
  }
}

void prepare_key(Cell* key, const Cell* path) {
  TypeId t = key->type();
  if (!valid_key(t)) {
    Cell where = path ? *path : none_value;
    Cell dt;
    set_datatype(&dt, t);
    fire(ErrorCode::script_invalid_path, &where, &dt);
  }
  if (copied_key(t)) {
    uint32_t flags = key->flags();
    Cell src = *key;
    series::copy(&src, key, nullptr, false, nullptr);
    key->header = (key->header & 0xFF) | (flags & ~cell_flag::new_line);
  } else if (is_word_kind(t)) {
    key->set_type(TypeId::set_word);
  }
}

Cell* make_at(Cell* cell, const Cell* block, int32_t size) {
  Cell blk;
  if (block) {
    blk = *block;
    blk.set_head(0);
  } else {
    block::make_at(&blk, std::max(size, 1));
  }
  Node table = hashtable::init(std::max(size, 1), &blk, hashtable::Kind::map, 1);
  *cell = Cell{static_cast<uint32_t>(TypeId::map), 0, blk.node(), table};
  return cell;
}

Cell* push(const Cell* m) { return stack::push(m); }

// --- extend and foreach ----------------------------------------------------------

Cell* extend(Cell* m, const Cell* block_in, bool case_) {
  Cell blk = *block_in;
  int32_t n = std::max(block::rs_length_q(&blk), 0);
  if (n % 2 != 0) fire(ErrorCode::script_invalid_arg, block_in);
  // Room for every pair at once.
  memory::ensure_room(block_of(m), uint64_t(n) * sizeof(Cell));
  int32_t head = std::max(blk.head(), 0);
  // Every key is checked before the first is set: a bad key halfway leaves
  // the map as it was.
  for (int32_t i = 0; i < n; i += 2) {
    Cell key = *block::rs_abs_at(&blk, head + i);
    if (!valid_key(key.type())) prepare_key(&key, nullptr);  // raises
  }
  for (int32_t i = 0; i < n; i += 2) {
    Cell key = *block::rs_abs_at(&blk, head + i);
    Cell value = *block::rs_abs_at(&blk, head + i + 1);
    set_value(m, &key, &value, case_ ? Match::strict : Match::equal, nullptr);
  }
  return m;
}

void extend_native(const int32_t* refinements) {
  Cell* args = stack::arguments;
  bool case_ = refinements && refinements[0] >= 0;
  if (!args[0].is(TypeId::map)) fire(ErrorCode::internal_not_done);
  Cell spec = args[1];
  if (spec.is(TypeId::map)) spec = *reflect(&spec, symbol::make("body"));
  stack::push(&spec);  // keep the pairs while they are set
  extend(args, &spec, case_);
  stack::top = args + 1;
}

bool foreach_next(const Cell* words, Cell* map_pos, int32_t count) {
  Cell w = *words;
  // A map is walked a key and its value at a time.
  if (count != 2) fire(ErrorCode::script_invalid_arg, words);
  int32_t wh = std::max(w.head(), 0);
  for (int32_t k = 0; k < count; k++) {
    const Cell* word = block::rs_abs_at(&w, wh + k);
    if (!is_word_kind(word->type())) fire(ErrorCode::script_invalid_arg, word);
  }
  int32_t i = std::max(map_pos->head(), 0);
  bool any = false;
  for (int32_t k = 0; k < count; k++) {
    // Removed pairs are passed over whole.
    while (i % 2 == 0 && i + 1 < cell_count(map_pos) && !live_at(map_pos, i)) i += 2;
    Cell* v = stack::push_slot();
    if (i < cell_count(map_pos)) {
      // A key goes out as find and words-of give it: a series key as a copy,
      // which the body may change without leaving the map's own key indexed
      // under text it no longer holds.
      if (i % 2 == 0) {
        *v = outgoing_key(&cells(map_pos)[i], true);
      } else {
        *v = cells(map_pos)[i];
        v->clear_flag(cell_flag::new_line);
      }
      i++;
      any = true;
    } else {
      set_none(v);
    }
    Cell word = *block::rs_abs_at(&w, wh + k);
    context::set(&word, v);
    stack::top = v;
  }
  map_pos->set_head(i);
  return any;
}

// --- actions ---------------------------------------------------------------------

Cell* make(Cell*, Cell* spec, TypeId) {
  Cell* result = stack::push_slot();
  set_unset(result);
  switch (spec->type()) {
    case TypeId::block:
    case TypeId::paren:
    case TypeId::hash:
      return from_pairs(result, spec);
    case TypeId::integer:
    case TypeId::float_: {
      int32_t n;
      if (spec->is(TypeId::integer)) {
        n = spec->integer();
      } else {
        if (integer::float_overflow(spec->real())) fire(ErrorCode::script_out_of_range, spec);
        n = static_cast<int32_t>(spec->real());
      }
      if (n < 0) fire(ErrorCode::script_out_of_range, spec);
      int64_t room = n == 0 ? 2 : int64_t{n} * 2;
      if (room > INT32_MAX) fire(ErrorCode::internal_no_memory);
      Cell blk;
      block::make_at(&blk, static_cast<int32_t>(room));
      return make_at(result, &blk, std::max(n, 1));
    }
    case TypeId::map:
      return copy(spec, result, nullptr, false, nullptr);
    default:
      bad_to(spec);
  }
}

Cell* to(Cell* proto, Cell* spec, TypeId type) {
  if (spec->is(TypeId::integer) || spec->is(TypeId::float_)) bad_to(spec);
  return make(proto, spec, type);
}

Cell* reflect(Cell* m, uint32_t field) {
  uint32_t f = symbol::resolve(field);
  bool words = f == symbol_of("words"), values = f == symbol_of("values"), body = f == symbol_of("body");
  if (!words && !values && !body) fire(ErrorCode::internal_not_done);
  Cell src = *m;
  Cell* result = block::push_only(std::max(size(&src) * (body ? 2 : 1), 1));
  each_live(&src, [&](int32_t i) {
    Cell k = outgoing_key(cells(&src) + i, !body);
    Cell v = cells(&src)[i + 1];
    if (body) {
      k.set_flag(cell_flag::new_line);
      block::rs_append(result, &k);
      block::rs_append(result, &v);
    } else {
      block::rs_append(result, words ? &k : &v);
    }
  });
  return result;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  if (cycle_guard::detect(value, buffer, limit, cycle_guard::Output::form)) return limit;
  Cell m = *value;
  cycle_guard::Scope guard(m.node());
  bool first = true;
  for (int32_t i = 0; i + 1 < cell_count(&m); i += 2) {
    if (!live_at(&m, i)) continue;
    if (part && limit <= 0) break;
    if (!first) limit = string::emit_char(buffer, '\n', limit);
    first = false;
    Cell k = cells(&m)[i], v = cells(&m)[i + 1];
    limit = actions::call_mold(&k, buffer, {}, part, limit, 0);
    limit = string::emit_char(buffer, ' ', limit);
    limit = actions::call_mold(&v, buffer, {}, part, limit, 0);
  }
  return limit;
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  if (cycle_guard::detect(value, buffer, limit, cycle_guard::Output::mold)) return limit;
  Cell m = *value;
  if (!only) limit = string::emit(buffer, "#[", limit);
  cycle_guard::Scope guard(m.node());
  bool lines = !flat && !only;
  int32_t level = lines ? indent + 1 : indent;
  bool wrote = false;
  if (size(&m) > 0 && lines) limit = string::emit_char(buffer, '\n', limit);
  for (int32_t i = 0; i + 1 < cell_count(&m); i += 2) {
    if (!live_at(&m, i)) continue;
    if (part && limit <= 0) return limit;
    if (wrote && !lines) limit = string::emit_char(buffer, flat ? ' ' : '\n', limit);
    if (lines) limit = string::indent(buffer, level, limit);
    Cell k = cells(&m)[i], v = cells(&m)[i + 1];
    limit = actions::call_mold(&k, buffer, {.all = all, .flat = flat}, part, limit, level);
    limit = string::emit_char(buffer, ' ', limit);
    limit = actions::call_mold(&v, buffer, {.all = all, .flat = flat}, part, limit, level);
    if (lines) limit = string::emit_char(buffer, '\n', limit);
    wrote = true;
  }
  if (!only) {
    if (wrote && lines && indent >= 1) limit = string::indent(buffer, indent, limit);
    limit = string::emit_char(buffer, ']', limit);
  }
  return limit;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  Match match = step.case_ ? Match::strict : Match::equal;
  if (value) {
    set_value(parent, element, value, match, step.path);
    return value;
  }
  int32_t pos = lookup(parent, element, match);
  Cell* result = stack::push_slot();
  if (pos >= 0 && live_at(parent, pos))
    *result = cells(parent)[pos + 1];
  else
    set_none(result);
  return result;
}

int32_t compare(Cell* value1, Cell* value2, CompareOp op) {
  if (!value2->is(TypeId::map)) return kNotComparable;
  Cell a = *value1, b = *value2;
  if (op == CompareOp::sort || op == CompareOp::case_sort) {
    int64_t d = int64_t{a.node()} - int64_t{b.node()};
    return (d > 0) - (d < 0);
  }
  if (a.node() == b.node() && a.head() == b.head()) return 0;
  if (op == CompareOp::same) return -1;
  if (cycle_guard::find_pair(a.node(), b.node())) return 0;
  int32_t n1 = size(&a), n2 = size(&b);
  if (n1 != n2) {
    switch (op) {
      case CompareOp::equal: case CompareOp::not_equal: case CompareOp::strict_equal:
      case CompareOp::find: case CompareOp::parse_equal: case CompareOp::parse_strict_equal:
        return 1;
      default:
        return n1 < n2 ? -1 : 1;
    }
  }
  if (n1 == 0) return 0;
  cycle_guard::PairScope guard(a.node(), b.node());
  bool strict = op == CompareOp::strict_equal || op == CompareOp::parse_strict_equal;
  for (int32_t i = 0; i + 1 < cell_count(&a); i += 2) {
    if (!live_at(&a, i)) continue;
    Cell key = cells(&a)[i];
    Cell v1 = cells(&a)[i + 1];
    bool matched = false;
    if (strict) {
      int32_t pos = lookup(&b, &key, Match::strict);
      if (pos >= 0 && live_at(&b, pos)) {
        Cell v2 = cells(&b)[pos + 1];
        matched = actions::compare(&v1, &v2, CompareOp::strict_equal);
      }
    } else {
      Cell probe = key;
      int32_t cursor = -1, start = 0, step = 0;
      while (!matched) {
        Cell* c = hashtable::find_next(table_of(&b), &probe, &cursor, &start, &step);
        if (!c) break;
        int32_t pos = static_cast<int32_t>(c - cells(&b));
        if (!live_at(&b, pos)) continue;
        Cell v2 = cells(&b)[pos + 1];
        matched = actions::compare(&v1, &v2, CompareOp::equal);
      }
    }
    if (!matched) return 1;
  }
  return 0;
}

Cell* clear(Cell* value) {
  hashtable::clear(table_of(value));
  return value;
}

Cell* copy(Cell* value, Cell* result, Cell*, bool deep, Cell* types) {
  Cell src = *value;
  Cell blk{static_cast<uint32_t>(TypeId::block), 0, src.node(), 0};
  Cell clone;
  block::clone_into(&blk, &clone, block::Deep::no, block::AnyBlock::no);
  Node table = hashtable::copy(table_of(&src), clone.node());
  *result = Cell{static_cast<uint32_t>(TypeId::map), 0, clone.node(), table};
  if (!deep && !types) return result;
  // Values (never keys) are copied deeply, with the map on the guard so a
  // map inside itself stops with no-cycle.
  if (cycle_guard::find(src.node())) {
    cycle_guard::reset();
    fire(ErrorCode::internal_no_cycle);
  }
  cycle_guard::Scope guard(src.node());
  Node node = clone.node();
  int32_t n = static_cast<int32_t>(memory::series(node)->length());
  if (types) {
    block::deep_copy_cells(node, 1, n, 2, block::Deep::yes, types);
  } else {
    for (int32_t i = 1; i < n; i += 2) {
      Cell item = memory::series(node)->cells()[i];
      if (!block::is_series_type(item.type())) continue;
      Cell copied;
      actions::call_copy(&item, &copied, nullptr, true, nullptr);
      memory::series(node)->cells()[i] = copied;
    }
  }
  return result;
}

Cell* find(Cell* series, Cell* value, const FindArgs& args) {
  Cell* result = stack::push_slot();
  int32_t pos = lookup(series, value, match_of(args.case_, args.same));
  if (pos >= 0 && live_at(series, pos))
    *result = outgoing_key(cells(series) + pos, true);
  else
    set_none(result);
  return result;
}

int32_t length_q(Cell* value) { return size(value); }

Cell* put(Cell* series, Cell* key, Cell* value, bool case_) {
  set_value(series, key, value, case_ ? Match::strict : Match::equal, nullptr);
  return value;
}

Cell* remove(Cell* series, Cell*, Cell* key) {
  if (!key) fire(ErrorCode::script_missing_arg);
  int32_t pos = lookup(series, key, Match::strict);
  if (pos >= 0 && live_at(series, pos)) hashtable::delete_cell(table_of(series), cells(series) + pos);
  return series;
}

Cell* select(Cell* series, Cell* value, const FindArgs& args) {
  Cell* result = stack::push_slot();
  int32_t pos = lookup(series, value, match_of(args.case_, args.same));
  if (pos >= 0 && live_at(series, pos))
    *result = cells(series)[pos + 1];
  else
    set_none(result);
  return result;
}

void register_() {
  static const ActionRow row{
      .make = make,
      .reflect = reflect,
      .to = to,
      .form = form,
      .mold = mold,
      .eval_path = eval_path,
      .compare = compare,
      .clear = clear,
      .copy = copy,
      .find = find,
      .length_q = length_q,
      .put = put,
      .remove = remove,
      .select = select,
  };
  datatype::register_type(TypeId::map, TypeId::none_id, "map!", row);
  hash::install_table_hooks();
  hashtable::prepare_key = [](Cell* key) { prepare_key(key, nullptr); };
  lexer::register_map_maker(lexer_map_maker);
}

}  // namespace qel::map
