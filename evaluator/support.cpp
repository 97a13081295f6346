// Support routines for C++ callers: argument type checks and the words they
// name in their errors.
#include "evaluator/support.h"

#include "datatypes/typeset.h"
#include "core/stack.h"
#include "memory/series.h"
#include "values/context.h"
#include "values/datatype.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/word.h"

namespace qel {

namespace call {

Cell argument_word(int32_t n) {
  Cell anon = word::load("<anon>");
  Cell call = stack::get_call();
  if (!call.context() || call.word_index() < 0) return anon;
  Cell* values = context::values(call.context());
  if (!values) return anon;
  const Cell fn = values[call.word_index()];
  if (!is_any_function(fn.type())) return anon;
  SeriesBuffer* s = memory::series(fn.data2);
  int32_t count = static_cast<int32_t>((s->tail - s->offset) >> 4);
  for (int32_t i = 0, k = 0; i < count; i++) {
    Cell w = s->cells()[i];
    TypeId t = w.type();
    if (t != TypeId::word && t != TypeId::lit_word && t != TypeId::get_word &&
        t != TypeId::refinement)
      continue;
    if (k++ == n) {
      w.reset_header(TypeId::word);
      return w;
    }
  }
  return anon;
}

}  // namespace call

namespace typecheck {

namespace {

bool allows(const Cell* types, TypeId t) {
  if (types->is(TypeId::datatype)) return datatype::named(types) == t;
  return typeset::has(types, t);
}

[[noreturn]] void refuse(int32_t argnum, TypeId t) {
  Cell where = stack::get_call();
  Cell dt;
  set_datatype(&dt, t);
  Cell arg = call::argument_word(argnum);
  fire(ErrorCode::script_expect_arg, &where, &dt, &arg);
}

}  // namespace

const Cell* value(const Cell* types, int32_t argnum, const Cell* v) {
  if (!allows(types, v->type())) refuse(argnum, v->type());
  return v;
}

void argument_at(int32_t slot, const Cell* types, int32_t argnum) {
  if (slot < 0) return;
  value(types, argnum, stack::arguments + slot);
}

const Cell* optional(const Cell* refinement, const Cell* types, int32_t argnum, const Cell* v) {
  bool on = refinement->is(TypeId::logic)
                ? refinement->logic()
                : refinement->is(TypeId::integer) && refinement->integer() >= 0;
  if (on) value(types, argnum, v);
  return v;
}

const Cell* needs_value(int32_t argnum, const Cell* v) {
  if (v->is(TypeId::unset)) refuse(argnum, TypeId::unset);
  return v;
}

int32_t get_integer(const Cell* v) {
  if (v->is(TypeId::integer)) return v->integer();
  double d = v->real();
  if (integer::float_overflow(d)) fire(ErrorCode::script_out_of_range, v);
  return static_cast<int32_t>(d);
}

}  // namespace typecheck
}  // namespace qel
