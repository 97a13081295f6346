// email!: the bare text, and the user and host parts by path.
#include "datatypes/email.h"

#include "core/stack.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "datatypes/string.h"
#include "values/symbol.h"

namespace qel::email {

int32_t mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, int32_t limit, int32_t) {
  return string::form(value, buffer, part, limit);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  if (element->is(TypeId::integer)) return string::eval_path(parent, element, value, step);
  static const SymbolId user = symbol::make("user");
  static const SymbolId host = symbol::make("host");
  const SymbolId which = element->is(TypeId::word) ? symbol::resolve(element->symbol()) : 0;
  if (which != symbol::resolve(user) && which != symbol::resolve(host)) {
    // The path first, then the element, as the message names them.
    Cell path = step.path ? *step.path : none_value;
    fire(ErrorCode::script_invalid_path, &path, element);
  }
  Cell e = *parent;
  const int32_t len = string::rs_length_q(&e);
  const int32_t at = string::find_char(&e, '@');
  const int32_t split = at < 0 ? len : at;  // characters before the "@"
  const bool is_user = which == symbol::resolve(user);
  int32_t first = is_user ? 0 : (at < 0 ? len : split + 1);
  int32_t count = is_user ? split : len - first;
  if (value) {
    if (!is_user && at < 0) {
      // No "@" yet: the host goes after one, so that reading it gives it back.
      Cell tail = e;
      tail.set_head(e.head() + len);
      Cell sign;
      set_char(&sign, '@');
      string::change(&tail, &sign, 0, false, 1);
      first = len + 1;
      count = 0;
    }
    Cell part = e;
    part.set_head(e.head() + first);
    Cell v = *value;
    string::change(&part, &v, count, false, 1);
    return value;
  }
  Cell* result = stack::push_slot();
  string::make_at_unit(result, static_cast<uint32_t>(count), string::buffer(&e)->unit());
  Cell from = e;
  from.set_head(e.head() + first);
  string::concatenate(result, &from, count, 0, string::Keep::yes, string::Mode::append);
  return result;
}

void register_() {
  static const ActionRow row{
      .random = unsupported,
      .mold = mold,
      .eval_path = eval_path,
      .sort = unsupported,
      .trim = unsupported,
  };
  datatype::register_type(TypeId::email, TypeId::string, "email!", row);
}

}  // namespace qel::email
