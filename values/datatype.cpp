// The datatype registry (records and resolved action rows) and datatype!.
#include "values/datatype.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/stack.h"
#include "runtime/fatal.h"
#include "runtime/output.h"
#include "values/context.h"
#include "datatypes/string.h"
#include "datatypes/word.h"

namespace qel::datatype {

Record records[kMaxTypes];
ResolvedRow rows[kMaxTypes];
int32_t highest_type = 0;

void reset() {
  for (auto& r : records) r = Record{};
  for (auto& r : rows) r = ResolvedRow{};
  highest_type = 0;
}

namespace {

template <class F>
F resolve_slot(const Slot<F>& slot, F parent_fn, bool has_parent) {
  if (slot.kind == Slot<F>::Kind::inherit) return has_parent ? parent_fn : nullptr;
  return slot.fn;
}

// A registration list of the wrong length is a build fault: the registry
// says so and the process ends (with status 0, as the runtime always did).
[[noreturn]] void bad_count(int32_t type, int32_t found) {
  char line[96];
  int n = std::snprintf(line, sizeof line,
                        "*** Datatype Error: invalid actions count for type: %d\n", type);
  output::write_utf8(line, static_cast<size_t>(n));
  n = std::snprintf(line, sizeof line, "*** Found: %d\n", found);
  output::write_utf8(line, static_cast<size_t>(n));
  n = std::snprintf(line, sizeof line, "*** Expected: %d\n", kActionCount);
  output::write_utf8(line, static_cast<size_t>(n));
  runtime::quit(0);
}

}  // namespace

void register_counted(int32_t count, TypeId id, TypeId parent, const char* name,
                      const ActionRow& row) {
  const int t = static_cast<uint8_t>(id);
  if (t > highest_type) highest_type = t;
  Record& rec = records[t];
  rec.name = name;
  rec.name_length = static_cast<int32_t>(std::strlen(name)) - 1;
  if (context::global) rec.word = word::load(name);

  const int32_t n = count - 3;
  if (n != kActionCount) bad_count(t, n);

  const int p = static_cast<uint8_t>(parent);
  const bool has_parent = p != 0;
  const ResolvedRow& from = rows[p];
  ResolvedRow& to = rows[t];
#define QEL_X(name_, text) to.name_ = resolve_slot(row.name_, from.name_, has_parent);
  QEL_ACTION_LIST(QEL_X)
#undef QEL_X
}

void register_type(TypeId id, TypeId parent, const char* name, const ActionRow& row) {
  register_counted(3 + kActionCount, id, parent, name, row);
}

void make_type_words() {
  for (int t = 1; t <= highest_type; t++)
    if (records[t].name) records[t].word = word::load(records[t].name);
}

Cell* push(TypeId t) {
  Cell* c = stack::push_slot();
  set_datatype(c, t);
  return c;
}

Cell* make_in(Node block, TypeId t) {
  Cell* c = append_slot(block);
  set_datatype(c, t);
  return c;
}

namespace {
// The name of a type, with or without its "!". A type not registered yet
// (its record is still empty) answers with the name of its fixed id.
std::string_view name_text(TypeId t, bool bang) {
  const Record& r = record(t);
  if (r.name) return std::string_view(r.name, r.name_length + (bang ? 1 : 0));
  const char* n = type_name(t);
  if (!n) return {};
  const size_t len = std::strlen(n);
  return std::string_view(n, bang ? len : len - 1);
}
}  // namespace

int32_t form(Cell* value, Cell* buffer, Cell*, int32_t limit) {
  return string::emit(buffer, name_text(named(value), false), limit);
}

int32_t mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, int32_t limit, int32_t) {
  if (all) limit = string::emit(buffer, "#(", limit);
  limit = string::emit(buffer, name_text(named(value), true), limit);
  if (all) limit = string::emit(buffer, ")", limit);
  return limit;
}

int32_t compare(Cell* value1, Cell* value2, CompareOp op) {
  switch (op) {
    case CompareOp::equal:
    case CompareOp::not_equal:
    case CompareOp::strict_equal:
    case CompareOp::same:
    case CompareOp::find:
      return (value2->is(TypeId::datatype) && value2->data1 == value1->data1) ? 0 : 1;
    default:
      return kNotComparable;
  }
}

void register_self() {
  static constexpr ActionRow datatype_row{
      .form = form,
      .mold = mold,
      .compare = compare,
  };
  register_type(TypeId::datatype, TypeId::none_id, "datatype!", datatype_row);
}

}  // namespace qel::datatype
