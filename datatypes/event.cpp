// event! (see datatypes/event.h): making, the fields through paths and
// pick, form, mold and compare, and the type's three routines.
#include "datatypes/event.h"

#include <array>
#include <iterator>

#include "datatypes/pair.h"
#include "core/stack.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::event {

namespace {

// Type words by code (index 0 unused).
constexpr const char* kTypes[] = {
    nullptr,     "down",     "up",        "mid-down",  "mid-up",    "alt-down", "alt-up",
    "aux-down",  "aux-up",   "click",     "dbl-click", "wheel",     "over",     "key",
    "key-down",  "key-up",   "ime",       "focus",     "unfocus",   "enter",    "zoom",
    "pan",       "rotate",   "two-tap",   "press-tap", "select",    "change",   "menu",
    "close",     "move",     "resize",    "moving",    "resizing",  "time",     "drawing",
    "scroll",    "minimize", "maximize",  "restore"};
constexpr int32_t kTypeCount = static_cast<int32_t>(std::size(kTypes));

// Flag words in the order the flags block lists them.
struct FlagWord {
  const char* name;
  uint32_t bit;
};
constexpr FlagWord kFlags[] = {
    {"away", flag::away},       {"down", flag::down},        {"mid-down", flag::mid_down},
    {"alt-down", flag::alt_down}, {"aux-down", flag::aux_down}, {"control", flag::control},
    {"shift", flag::shift},     {"alt", flag::alt},          {"command", flag::command}};

// Field words by index (index 0 unused).
enum Field : int32_t {
  type = 1, face, window, offset, key, picked, flags, away_q, down_q, mid_down_q, alt_down_q,
  aux_down_q, ctrl_q, shift_q, orientation
};
constexpr const char* kFields[] = {nullptr,    "type",       "face",      "window",     "offset",
                                   "key",      "picked",     "flags",     "away?",      "down?",
                                   "mid-down?", "alt-down?", "aux-down?", "ctrl?",      "shift?",
                                   "orientation"};
constexpr int32_t kFieldCount = static_cast<int32_t>(std::size(kFields));
// The bit each flag test reads (index by field).
constexpr uint32_t kFieldBits[] = {0, 0, 0, 0, 0, 0, 0, 0, flag::away, flag::down, flag::mid_down,
                                   flag::alt_down, flag::aux_down, flag::control, flag::shift, 0};

// Canonical symbols of the names, made at registration.
std::array<SymbolId, kTypeCount> type_symbols{};
std::array<SymbolId, kFieldCount> field_symbols{};
std::array<SymbolId, std::size(kFlags) + 1> flag_symbols{};  // index 0 unused

SymbolId canonical(const char* name) { return symbol::resolve(symbol::make(name)); }

template <size_t N>
int32_t lookup(const Cell* word, const std::array<SymbolId, N>& symbols) {
  if (!is_any_word(word->type())) return 0;
  const SymbolId s = symbol::resolve(word->symbol());
  for (size_t i = 1; i < N; i++)
    if (symbols[i] == s) return static_cast<int32_t>(i);
  return 0;
}

int32_t field_of(const Cell* word) { return lookup(word, field_symbols); }

// The made event's data block cell i, or null.
const Cell* data_cell(const Cell* e, int32_t i) {
  if (!e->has_flag(kMade) || !e->data2) return nullptr;
  return memory::series(e->data2)->cells() + i;
}

// Pushes the block of flag words whose bits are set.
Cell* push_flags(const Cell* e) {
  Cell* out = block::push_only(static_cast<int32_t>(std::size(kFlags)));
  for (const FlagWord& f : kFlags) {
    if (!(e->data3 & f.bit)) continue;
    Cell w = word::load(f.name);
    block::rs_append(out, &w);
  }
  return out;
}

// Pushes the value of a field.
Cell* read_field(const Cell* e, int32_t field) {
  const Cell* d = nullptr;
  if (!e->has_flag(kMade) && field != type && backend_field_reader)
    return backend_field_reader(e, kFields[field]);
  switch (field) {
    case type: {
      const int32_t code = static_cast<int32_t>(e->data1);
      if (code < 1 || code >= kTypeCount) return stack::push(&none_value);
      return word::push_symbol(symbol::make(kTypes[code]));
    }
    case face:
    case window:
      d = data_cell(e, field == face ? 0 : 1);
      return stack::push(d ? d : &none_value);
    case offset:
      d = data_cell(e, 2);
      return d ? stack::push(d) : pair::push(0, 0);
    case key: {
      const uint32_t cp = e->data3 & kKeyMask;
      Cell* out = stack::push_slot();
      if (cp == 0)
        set_none(out);
      else
        set_char(out, cp);
      return out;
    }
    case picked: {
      d = data_cell(e, 3);
      if (d) return stack::push(d);
      Cell* out = stack::push_slot();
      set_integer(out, 0);
      return out;
    }
    case flags:
      return push_flags(e);
    case orientation:
      return stack::push(&none_value);
    default: {
      Cell* out = stack::push_slot();
      set_logic(out, (e->data3 & kFieldBits[field]) != 0);
      return out;
    }
  }
}

// A word's or get-word's value when it is bound, else the value itself.
Cell resolved(const Cell* v) {
  if ((v->is(TypeId::word) || v->is(TypeId::get_word)) && v->context()) return *context::get(v);
  return *v;
}

}  // namespace

BackendFieldReader backend_field_reader = nullptr;

int32_t type_code(const Cell* word) { return lookup(word, type_symbols); }

Cell* push(const Cell* e) { return stack::push(e); }

Cell* make(Cell* proto, Cell* spec, TypeId) {
  Cell made{static_cast<uint32_t>(TypeId::event) | kMade, 0, 0, 0};
  if (spec->is(TypeId::block)) {
    Cell data[4];
    set_none(&data[0]);
    set_none(&data[1]);
    pair::make_at(&data[2], 0, 0);
    set_integer(&data[3], 0);
    bool any_data = false;
    const int32_t n = block::total_cells(spec);
    for (int32_t i = spec->head() < 0 ? 0 : spec->head(); i < n;) {
      const Cell k = *block::rs_abs_at(spec, i);
      if (!k.is(TypeId::set_word) || i + 1 >= n) {
        i++;
        continue;
      }
      const Cell v = resolved(block::rs_abs_at(spec, i + 1));
      i += 2;
      switch (field_of(&k)) {
        case type:
          if (v.is(TypeId::word) || v.is(TypeId::lit_word)) {
            const int32_t code = type_code(&v);
            if (code == 0) fire(ErrorCode::script_not_event_type, &v);
            made.data1 = static_cast<uint32_t>(code);
          }
          break;
        case key:
          if (v.is(TypeId::char_)) made.data3 |= v.data3 & kKeyMask;
          break;
        case flags:
          if (v.is(TypeId::block)) {
            const int32_t m = block::total_cells(&v);
            for (int32_t j = v.head() < 0 ? 0 : v.head(); j < m; j++) {
              const Cell* f = block::rs_abs_at(&v, j);
              if (!f->is(TypeId::word)) continue;
              const int32_t at = lookup(f, flag_symbols);
              if (at > 0) made.data3 |= kFlags[at - 1].bit;
            }
          }
          break;
        case face:
        case window:
          if (v.is(TypeId::object)) {
            data[field_of(&k) == face ? 0 : 1] = v;
            any_data = true;
          }
          break;
        case offset:
          if (v.is(TypeId::pair) || v.is(TypeId::point2d)) {
            data[2] = v;
            any_data = true;
          }
          break;
        case picked:
          if (v.is(TypeId::integer)) {
            data[3] = v;
            any_data = true;
          }
          break;
        default:
          break;
      }
    }
    if (any_data) {
      Cell blk;
      block::make_at(&blk, 4);
      for (Cell& c : data) block::rs_append(&blk, &c);
      made.data2 = blk.node();
    }
  }
  *proto = made;
  return proto;
}

int32_t form(Cell*, Cell* buffer, Cell*, int32_t limit) { return string::emit(buffer, "event", limit); }

int32_t mold(Cell*, Cell* buffer, bool, bool, bool, Cell*, int32_t limit, int32_t) {
  return string::emit(buffer, "event", limit);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  const Cell* path = step.path ? step.path : element;
  const int32_t field = field_of(element);
  if (!value) {
    if (field == 0) fire(ErrorCode::script_invalid_path, path, element);
    return read_field(parent, field);
  }
  if (field == type && (value->is(TypeId::word) || value->is(TypeId::lit_word))) {
    const int32_t code = type_code(value);
    if (code == 0) fire(ErrorCode::script_not_event_type, value);
    parent->data1 = static_cast<uint32_t>(code);
    return value;
  }
  fire(ErrorCode::script_bad_path_set, path, element);
}

int32_t compare(Cell*, Cell* b, CompareOp op) {
  if (!b->is(TypeId::event)) return kNotComparable;
  switch (static_cast<int32_t>(op)) {
    case 0: case 1: case 2: case 7: case 8: case 9: case 12:
      return 0;
    default:
      return kNotComparable;
  }
}

// The index is a field word, or the number the action hands over (true is
// 1, false 2, a character its code), as for the other field-bearing types.
Cell* pick(Cell* value, int32_t index, Cell* index_cell) {
  int32_t field = 0;
  if (is_any_word(index_cell->type())) {
    field = field_of(index_cell);
    if (field == 0) fire(ErrorCode::script_cannot_use, index_cell, value);
  } else if (index >= 1 && index < kFieldCount) {
    field = index;
  } else {
    fire(ErrorCode::script_out_of_range, index_cell);
  }
  return read_field(value, field);
}

bool find_flag_q(const Cell* facet, const Cell* flag_word) {
  if (!is_any_word(flag_word->type())) return false;
  const SymbolId want = symbol::resolve(flag_word->symbol());
  if (facet->is(TypeId::word)) return symbol::resolve(facet->symbol()) == want;
  if (!facet->is(TypeId::block)) return false;
  const int32_t n = block::total_cells(facet);
  for (int32_t i = facet->head() < 0 ? 0 : facet->head(); i < n; i++) {
    const Cell* c = block::rs_abs_at(facet, i);
    if ((c->is(TypeId::word) || c->is(TypeId::lit_word)) && symbol::resolve(c->symbol()) == want)
      return true;
  }
  return false;
}

void register_() {
  if (datatype::is_registered(TypeId::event)) return;
  for (int32_t i = 1; i < kTypeCount; i++) type_symbols[static_cast<size_t>(i)] = canonical(kTypes[i]);
  for (int32_t i = 1; i < kFieldCount; i++) field_symbols[static_cast<size_t>(i)] = canonical(kFields[i]);
  for (size_t i = 0; i < std::size(kFlags); i++) flag_symbols[i + 1] = canonical(kFlags[i].name);
  static constexpr ActionRow row{.make = make,
                                 .form = form,
                                 .mold = mold,
                                 .eval_path = eval_path,
                                 .compare = compare,
                                 .pick = pick};
  datatype::register_type(TypeId::event, TypeId::none_id, "event!", row);
}

}  // namespace qel::event
