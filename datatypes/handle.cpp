// handle!: making handle cells, their text forms and comparison, and the
// collector's marking of the external resources they carry.
#include "datatypes/handle.h"

#include <iterator>
#include <string_view>

#include "core/stack.h"
#include "memory/collector.h"
#include "runtime/ext_resource.h"
#include "values/datatype.h"
#include "datatypes/string.h"

namespace qel::handle {

namespace {

// The names mold/all shows, by class; the null class shows none.
constexpr std::string_view kClassNames[] = {"", "fd", "monitor", "window", "font", "rich-text",
                                            "port-actor"};

std::string_view class_name(const Cell* h) {
  uint32_t c = h->data1;
  return c < std::size(kClassNames) ? kClassNames[c] : std::string_view{};
}

// While a handle is reachable, the record of its object stays in the
// external-resource table.
void mark(const Cell* h) {
  if (class_of(h) != Class::null) ext_resource::mark(value_of(h), nullptr);
}

}  // namespace

Cell* make_at(Cell* cell, int32_t value, Class cls) {
  *cell = Cell{static_cast<uint32_t>(TypeId::handle), static_cast<uint32_t>(cls), 0xFFFFFFFFu,
               static_cast<uint32_t>(value)};
  return cell;
}

Cell* box(int32_t value, Class cls) {
  stack::top = stack::arguments + 1;
  return make_at(stack::arguments, value, cls);
}

Cell* push(int32_t value, Class cls) { return make_at(stack::push_slot(), value, cls); }

Cell* push_null() { return push(0, Class::null); }

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  char digits[8];
  limit = string::emit(buffer, string::int_to_hex(value_of(value), false, digits), limit);
  return string::emit_char(buffer, 'h', limit);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell* part, int32_t limit, int32_t) {
  if (!all) return string::emit(buffer, "handle!", limit);
  limit = string::emit(buffer, "#[handle! ", limit);
  limit = form(value, buffer, part, limit);
  std::string_view name = class_name(value);
  if (!name.empty()) {
    limit = string::emit_char(buffer, ' ', limit);
    limit = string::emit(buffer, name, limit);
  }
  return string::emit_char(buffer, ']', limit);
}

int32_t compare(Cell* value1, Cell* value2, CompareOp) {
  if (!value2->is(TypeId::handle)) return 1;
  int32_t a = value_of(value1), b = value_of(value2);
  return (a > b) - (a < b);
}

void register_() {
  static constexpr ActionRow row{
      .make = unsupported,
      .random = unsupported,
      .to = unsupported,
      .form = form,
      .mold = mold,
      .compare = compare,
      .absolute = unsupported,
      .add = unsupported,
      .divide = unsupported,
      .multiply = unsupported,
      .negate = unsupported,
      .power = unsupported,
      .remainder = unsupported,
      .round = unsupported,
      .subtract = unsupported,
      .even_q = unsupported,
      .odd_q = unsupported,
      .and_ = unsupported,
      .complement = unsupported,
      .or_ = unsupported,
      .xor_ = unsupported,
  };
  datatype::register_type(TypeId::handle, TypeId::integer, "handle!", row);
  collector::set_type_marker(TypeId::handle, mark);
  // The table's objects die with the last value that carries their record.
  static bool sweeping = false;
  if (!sweeping) {
    sweeping = true;
    collector::add_sweep_callback(ext_resource::sweep);
  }
}

}  // namespace qel::handle
