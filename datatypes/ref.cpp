// ref!: the text after an "@".
#include "datatypes/ref.h"

#include "values/datatype.h"
#include "datatypes/string.h"

namespace qel::ref {

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  string::append_char(string::buffer(buffer), '@');
  return string::form(value, buffer, part, limit - 1);
}

void register_() {
  static const ActionRow row{
      .make = inherit,
      .reflect = inherit,
      .to = inherit,
      .form = inherit,
      .mold = mold,
      .compare = inherit,
      .at = inherit,
      .back = inherit,
      .change = inherit,
      .clear = inherit,
      .copy = inherit,
      .find = inherit,
      .head = inherit,
      .head_q = inherit,
      .index_q = inherit,
      .insert = inherit,
      .length_q = inherit,
      .move = inherit,
      .next = inherit,
      .pick = inherit,
      .poke = inherit,
      .remove = inherit,
      .reverse = inherit,
      .select = inherit,
      .skip = inherit,
      .swap = inherit,
      .tail = inherit,
      .tail_q = inherit,
      .take = inherit,
      .modify = inherit,
  };
  datatype::register_type(TypeId::ref, TypeId::string, "ref!", row);
}

}  // namespace qel::ref
