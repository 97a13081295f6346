// The natives table: filling it from the groups' tables, making the native!
// values from their spec texts, and the support routines natives share.
#include "natives/natives.h"

#include <cstring>

#include "datatypes/image.h"
#include "lexer/lexer.h"
#include "core/stack.h"
#include "memory/collector.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/series.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::natives {

Entry table[kTableSize];
Node print_buffer = 0;
bool last_lf_q = false;

namespace {

std::span<const Definition> (*const kGroups[])() = {
    control_natives, eval_natives, word_natives, compare_natives, output_natives, system_natives,
    math_natives, services_natives, parse_natives, io_natives};

bool marks_registered = false;
void mark_print_buffer() {
  if (print_buffer) collector::mark_node(print_buffer);
}

}  // namespace

void not_done(const int32_t*) { fire(ErrorCode::internal_not_done); }

void init() {
  for (Entry& e : table) e = not_done;
  for (auto group : kGroups)
    for (const Definition& d : group())
      if (d.index >= 1 && d.index <= kTableSize) table[d.index - 1] = d.fn;
  print_buffer = memory::alloc_cells(32);
  last_lf_q = false;
  if (!marks_registered) {
    collector::add_mark_callback(mark_print_buffer);
    marks_registered = true;
  }
}

void define_words() {
  for (auto group : kGroups) {
    for (const Definition& d : group()) {
      Cell* spec = stack::push_slot();
      set_none(spec);
      lexer::ScanOptions options;
      lexer::scan(spec, reinterpret_cast<const uint8_t*>(d.spec),
                  static_cast<uint32_t>(std::strlen(d.spec)), options);
      Cell* value = stack::push_slot();
      set_unset(value);
      native::make_value(value, TypeId::native, spec, d.index);
      Cell w = word::load(d.name);
      context::set(&w, value);
      stack::pop(2);
    }
  }
}

const char* spec_text(int32_t index) {
  for (auto group : kGroups)
    for (const Definition& d : group())
      if (d.index == index) return d.spec;
  return nullptr;
}

const char* builtin_name(TypeId t, int32_t index) {
  if (t == TypeId::native) {
    for (auto group : kGroups)
      for (const Definition& d : group())
        if (d.index == index) return d.name;
    return nullptr;
  }
  if (t != TypeId::action || !action_spec_text(index)) return nullptr;
  return action_name(static_cast<ActionId>(index));
}

// --- support routines

int32_t get_integer_arg(const Cell* value) {
  if (value->is(TypeId::integer)) return value->integer();
  return integer::from_double_checked(value->real());
}

double get_float_arg(const Cell* value) {
  if (value->is(TypeId::integer)) return static_cast<double>(value->integer());
  return value->real();
}

bool series_more_q(const Cell* series) {
  // An image's pixels are not in its buffer (the record).
  if (series->is(TypeId::image)) return image::more_q(series);
  SeriesBuffer* s = memory::series(series->node());
  int32_t head = series->head();
  if (head < 0) return false;
  return (static_cast<uint64_t>(head) << series::unit_shift(s)) + s->offset < s->tail;
}

void set_many(const Cell* words_in, const Cell* value_in, int32_t count, bool any, bool only,
              bool some) {
  Cell words = *words_in;
  Cell value = *value_in;
  Cell* keep = stack::push(&words);
  // A map's block also holds the pairs it removed (with typeless values):
  // the words take the live pairs only.
  if (value.is(TypeId::map) && !only) {
    value = *actions::call_reflect(&value, symbol::make("body"));
    object::clear_new_lines(value.node());
  }
  stack::push(&value);
  auto word_at = [&](int32_t i) -> Cell {
    return memory::series(words.node())->cells()[words.head() + i];
  };
  bool per_word = !only && (is_any_block(value.type()) || value.is(TypeId::map));
  auto value_at = [&](int32_t i, Cell* out) {
    SeriesBuffer* s = memory::series(value.node());
    int32_t at = value.head() + i;
    if (at >= 0 && static_cast<uint32_t>(at) < s->length())
      *out = s->cells()[at];
    else
      set_none(out);
  };
  auto check_word = [](const Cell& w) {
    TypeId t = w.type();
    if (t != TypeId::word && t != TypeId::set_word && t != TypeId::get_word &&
        t != TypeId::lit_word)
      fire(ErrorCode::script_invalid_arg, &w);
  };
  if (per_word) {
    for (int32_t i = 0; i < count; i++) {
      check_word(word_at(i));
      if (!any) {
        Cell v;
        value_at(i, &v);
        if (v.is(TypeId::unset)) {
          Cell w = word_at(i);
          fire(ErrorCode::script_need_value, &w);
        }
      }
    }
  }
  for (int32_t i = 0; i < count; i++) {
    Cell v;
    if (per_word)
      value_at(i, &v);
    else
      v = value;
    if (some && v.is(TypeId::none)) continue;
    Cell w = word_at(i);
    check_word(w);
    Cell* slot = stack::push(&v);
    context::set(&w, slot);
    stack::top = slot;
  }
  stack::top = keep;
}

}  // namespace qel::natives
