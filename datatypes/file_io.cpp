// The file! actions that reach the file system: read, write, query, delete
// and rename. They unpack their refinements and call the file service
// (services/files.h); /as and /allow are reserved and raise internal
// `not-done`, /info is ignored.
#include <cmath>

#include "datatypes/date.h"
#include "datatypes/file.h"
#include "core/stack.h"
#include "services/files.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/word.h"

namespace qel::file {

namespace {

// A /part or /seek count: an integer!, or a float! taken toward zero; -1
// when the refinement is absent. Offsets are 64-bit: a float! reaches the
// bytes past 2 GiB that no integer! can name (size? gives such sizes as
// floats); beyond 64 bits, and NaN, it is refused as an integer! would be.
int64_t count_arg(const Cell* arg) {
  if (!arg) return -1;
  if (arg->is(TypeId::integer)) return arg->integer();
  if (arg->is(TypeId::float_)) {
    const double d = std::trunc(arg->real());
    if (!(std::fabs(d) < 0x1p63)) integer::from_double_checked(d);  // raises type-limit
    return static_cast<int64_t>(d);
  }
  Cell v = *arg;
  fire(ErrorCode::script_invalid_arg, &v);
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
    date::make_from_os_time(out, t.year, t.month, t.day, t.hour, t.minute, t.second,
                            t.nanoseconds);
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
