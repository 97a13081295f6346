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
      .random = unsupported,
      .mold = mold,
      .eval_path = unsupported,
      .append = unsupported,
      .sort = unsupported,
      .trim = unsupported,
  };
  datatype::register_type(TypeId::ref, TypeId::string, "ref!", row);
}

}  // namespace qel::ref
