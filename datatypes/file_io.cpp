// The file! actions that reach the file system: read, write, query, delete
// and rename. They unpack their refinements and call the file service
// (services/files.h); /as and /allow are reserved and raise internal
// `not-done`, /info is ignored.
#include <cmath>

#include "datatypes/file.h"
#include "evaluator/stack.h"
#include "services/files.h"
#include "values/errors.h"
#include "values/integer.h"
#include "values/logic.h"
#include "values/word.h"

namespace qel::file {

namespace {

// A /part or /seek count: an integer!, or a float! taken toward zero; -1
// when the refinement is absent.
int64_t count_arg(const Cell* arg) {
  if (!arg) return -1;
  if (arg->is(TypeId::integer)) return arg->integer();
  if (arg->is(TypeId::float_)) {
    const double d = arg->real();
    if (std::isnan(d)) return -1;
    return static_cast<int64_t>(integer::from_double_checked(std::trunc(d)));
  }
  Cell v = *arg;
  fire(ErrorCode::script_invalid_arg, &v);
}

// The date! of a file's last change: the time in UTC, zone 0. The date word
// is year << 17 | month << 12 | day << 7 with bit 16 telling that a time is
// present; the stored time is seconds as a double.
Cell* make_date(const files::FileTime& t, Cell* out) {
  const uint32_t word = static_cast<uint32_t>(t.year) << 17 | static_cast<uint32_t>(t.month) << 12 |
                        static_cast<uint32_t>(t.day) << 7 | 0x10000u;
  out->reset_header(TypeId::date);
  out->data1 = word;
  out->set_real(3600.0 * t.hour + 60.0 * t.minute + t.second + 1e-9 * t.nanoseconds);
  return out;
}

}  // namespace

Cell* read(Cell* source, const ReadArgs& args) {
  if (args.as) fire(ErrorCode::internal_not_done);
  const int64_t part = count_arg(args.part);
  const int64_t seek = count_arg(args.seek);
  Cell* out = stack::push_slot();
  set_none(out);
  return files::read(source, part, seek, args.binary, args.lines, out);
}

Cell* write(Cell* destination, Cell* data, const WriteArgs& args) {
  if (args.allow || args.as) fire(ErrorCode::internal_not_done);
  const int64_t seek = count_arg(args.seek);
  if (args.seek && seek < 0) {
    // A negative offset would be taken as no /seek at all, truncating the
    // file the caller meant to write into.
    Cell ref = refinement::load("seek");
    Cell v = *args.seek;
    fire(ErrorCode::script_invalid_refine_arg, &ref, &v);
  }
  files::write(destination, data, args.part, seek, args.binary, args.append, args.lines);
  Cell* out = stack::push_slot();
  set_unset(out);
  return out;
}

Cell* query(Cell* target) {
  Cell* out = stack::push_slot();
  files::FileTime t;
  if (files::query(target, &t))
    make_date(t, out);
  else
    set_none(out);
  return out;
}

Cell* delete_(Cell* file) {
  Cell* out = stack::push_slot();
  set_logic(out, files::delete_(file));
  return out;
}

Cell* rename(Cell* from, Cell* to) {
  if (!is_any_string(to->type())) {
    Cell v = *to;
    fire(ErrorCode::script_invalid_arg, &v);
  }
  Cell* out = stack::push_slot();
  set_logic(out, files::rename(from, to));
  return out;
}

}  // namespace qel::file
