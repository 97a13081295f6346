// tag!: the text between angle brackets.
#include "datatypes/tag.h"

#include "core/stack.h"
#include "values/datatype.h"
#include "datatypes/string.h"

namespace qel::tag {

Cell* push(const Cell* value) { return stack::push(value); }

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  string::append_char(string::buffer(buffer), '<');
  limit = string::form(value, buffer, part, limit - 1);
  string::append_char(string::buffer(buffer), '>');
  return limit - 1;
}

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  return form(value, buffer, part, limit);
}

void register_() {
  static const ActionRow row{
      .random = unsupported,
      .form = form,
      .mold = mold,
      .sort = unsupported,
      .trim = unsupported,
  };
  datatype::register_type(TypeId::tag, TypeId::string, "tag!", row);
}

}  // namespace qel::tag
