// triple!: form, mold and registration (see triple.h).
#include "datatypes/triple.h"

#include "values/datatype.h"
#include "datatypes/integer.h"
#include "datatypes/string.h"

namespace qel::triple {

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  // The budget goes down by what is written: the 14 characters of the
  // opening, the three numbers, two blanks and the closing bracket.
  limit = string::emit(buffer, "make triple! [", limit);
  limit = string::emit(buffer, integer::form_signed(first(value)).view(), limit);
  limit = string::emit_char(buffer, ' ', limit);
  limit = string::emit(buffer, integer::form_signed(second(value)).view(), limit);
  limit = string::emit_char(buffer, ' ', limit);
  limit = string::emit(buffer, integer::form_signed(third(value)).view(), limit);
  return string::emit_char(buffer, ']', limit);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

int32_t compare(Cell* a, Cell* b, CompareOp) {
  if (!b->is(TypeId::triple)) return kNotComparable;
  const int32_t x[3] = {first(a), second(a), third(a)};
  const int32_t y[3] = {first(b), second(b), third(b)};
  for (int i = 0; i < 3; i++)
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  return 0;
}

void register_() {
  static constexpr ActionRow row{.form = form, .mold = mold, .compare = compare};
  datatype::register_type(TypeId::triple, TypeId::none_id, "triple!", row);
}

}  // namespace qel::triple
