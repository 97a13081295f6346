// typeset!: building typesets from specs, their text, comparison, the logic
// and set operations, and the table of standard typesets.
#include "datatypes/typeset.h"

#include "core/stack.h"
#include "memory/series.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "core/errors.h"
#include "datatypes/string.h"

namespace qel::typeset {

namespace {

using T = TypeId;

constexpr Bits kInternal = of({T::unset});
constexpr Bits kExternal = of({T::event});
constexpr Bits kNumber = of({T::integer, T::float_, T::percent});
constexpr Bits kPlanar = of({T::pair, T::point2d});
constexpr Bits kAnyPoint = of({T::point2d, T::point3d});
constexpr Bits kScalar =
    kNumber | kAnyPoint | of({T::money, T::char_, T::pair, T::tuple, T::time, T::date});
constexpr Bits kAnyWord = of({T::word, T::set_word, T::lit_word, T::get_word});
constexpr Bits kAllWord = kAnyWord | of({T::refinement, T::issue});
constexpr Bits kAnyList = of({T::block, T::paren, T::hash});
constexpr Bits kAnyPath = of({T::path, T::lit_path, T::set_path, T::get_path});
constexpr Bits kAnyBlock = kAnyPath | kAnyList;
constexpr Bits kAnyFunction = of({T::native, T::action, T::op, T::function, T::routine});
constexpr Bits kAnyObject = of({T::object, T::error, T::port});
constexpr Bits kAnyString = of({T::string, T::file, T::url, T::tag, T::email, T::ref});
constexpr Bits kSeries = of({T::binary, T::image, T::vector}) | kAnyBlock | kAnyString;
constexpr Bits kImmediate =
    kScalar | kAllWord | of({T::none, T::logic, T::datatype, T::typeset, T::handle, T::date});
constexpr Bits kDefaultTypes =
    kSeries | kImmediate | kAnyObject | kExternal | kAnyFunction | of({T::map, T::bitset});
constexpr Bits kAnyType = kDefaultTypes | kInternal;

constexpr Standard kStandard[] = {
    {"internal!", kInternal},    {"external!", kExternal},    {"number!", kNumber},
    {"planar!", kPlanar},        {"any-point!", kAnyPoint},   {"scalar!", kScalar},
    {"any-word!", kAnyWord},     {"all-word!", kAllWord},     {"any-list!", kAnyList},
    {"any-path!", kAnyPath},     {"any-block!", kAnyBlock},   {"any-function!", kAnyFunction},
    {"any-object!", kAnyObject}, {"any-string!", kAnyString}, {"series!", kSeries},
    {"immediate!", kImmediate},  {"default!", kDefaultTypes}, {"any-type!", kAnyType},
};
static_assert(std::size(kStandard) == 18);

[[noreturn]] void invalid_arg(const Cell* value) { fire(ErrorCode::script_invalid_arg, value); }

// A word's value, for the spec walkers.
const Cell* word_value(const Cell* word) {
  if (word->context() == kNoNode) fire(ErrorCode::script_not_defined, word);
  return context::get(word);
}

TypeId id_at(int32_t i) { return static_cast<TypeId>(i); }

void frame_math(MathOp op) { do_math(stack::arguments, stack::arguments + 1, op); }

}  // namespace

std::span<const Standard> standard_typesets() { return kStandard; }

int32_t count(const Cell* ts) {
  const Bits b = get(ts);
  int32_t n = 0;
  for (int32_t i = 1; i <= datatype::highest_type; ++i) n += b.has(id_at(i));
  return n;
}

Cell* make_in(Node block, uint32_t w1, uint32_t w2, uint32_t w3) {
  Cell* c = append_slot(block);
  *c = Cell{static_cast<uint32_t>(TypeId::typeset), w1, w2, w3};
  return c;
}

Cell* make_default_in(Node block) { return make_at(append_slot(block), kDefault); }

Cell* make_from_block_in(Node block, Cell* spec) {
  Bits b;
  const int32_t n = block::rs_length_q(spec);
  for (int32_t i = 0; i < n; ++i) {
    const Cell* given = block::rs_abs_at(spec, spec->head() + i);
    const Cell* v = given->is(TypeId::word) ? word_value(given) : given;
    switch (v->type()) {
      case TypeId::datatype: b.set(datatype::named(v)); break;
      case TypeId::typeset: b = b | get(v); break;
      case TypeId::word: b.set(TypeId::object); break;
      case TypeId::block: break;
      default: fire(ErrorCode::script_invalid_type_spec, given);
    }
  }
  return make_at(append_slot(block), b);
}

void add(Cell* ts, const Cell* given) {
  const Cell* value = given->is(TypeId::word) ? word_value(given) : given;
  switch (value->type()) {
    case TypeId::typeset: make_at(ts, get(ts) | get(value)); break;
    case TypeId::datatype: {
      Bits b = get(ts);
      b.set(datatype::named(value));
      make_at(ts, b);
      break;
    }
    // A word is named as written: its value may be unset, which the error
    // could not show.
    default: invalid_arg(given);
  }
}

Cell* to_block(const Cell* ts, Cell* out) {
  const Bits b = get(ts);
  block::make_at(out, 4);
  for (int32_t i = 1; i <= datatype::highest_type; ++i)
    if (b.has(id_at(i)) && datatype::records[i].name != nullptr)
      block::rs_append(out, &datatype::records[i].word);
  return out;
}

int32_t write(const Cell* ts, Cell* buffer, bool only, bool part, int32_t limit) {
  const Bits b = get(ts);
  if (!only) limit = string::emit(buffer, "make typeset! [", limit);
  bool wrote = false;
  for (int32_t i = 1; i <= datatype::highest_type; ++i) {
    // Ids without a registered type (event! before the library registers
    // it) have no name to write.
    const datatype::Record& r = datatype::records[i];
    if (!b.has(id_at(i)) || r.name == nullptr) continue;
    if (part && limit < 0) break;
    limit = string::emit(buffer, std::string_view(r.name, r.name_length + 1), limit);
    limit = string::emit(buffer, " ", limit);
    wrote = true;
  }
  if (wrote) {
    SeriesBuffer* s = memory::series(buffer->node());
    string::truncate_buffer(s, string::buffer_length(s) - 1);
    ++limit;
  }
  if (!only) limit = string::emit(buffer, "]", limit);
  return limit;
}

void do_math(Cell* left, const Cell* right, MathOp op) {
  if (op == MathOp::unique) return;
  Bits r;
  if (right->is(TypeId::typeset))
    r = get(right);
  else if (right->is(TypeId::datatype))
    r.set(datatype::named(right));
  else
    invalid_arg(right);
  const Bits l = get(left);
  switch (op) {
    case MathOp::or_:
    case MathOp::union_: make_at(left, l | r); break;
    case MathOp::and_:
    case MathOp::intersect: make_at(left, l & r); break;
    case MathOp::xor_:
    case MathOp::difference: make_at(left, l ^ r); break;
    case MathOp::exclude: make_at(left, l & ~r); break;
    default: fire(ErrorCode::script_invalid_arg, right);
  }
}

Cell* make(Cell* proto, Cell* spec, TypeId) {
  if (spec->is(TypeId::typeset)) return spec;
  if (!spec->is(TypeId::block)) {
    Cell dt;
    set_datatype(&dt, TypeId::typeset);
    fire(ErrorCode::script_bad_to_arg, &dt, spec);
  }
  Cell ts;
  make_at(&ts, Bits{});
  const int32_t n = block::rs_length_q(spec);
  for (int32_t i = 0; i < n; ++i) add(&ts, block::rs_abs_at(spec, spec->head() + i));
  *proto = ts;
  return proto;
}

int32_t form(Cell* value, Cell* buffer, Cell* part, int32_t limit) {
  return write(value, buffer, false, part != nullptr, limit);
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool, bool, Cell* part, int32_t limit, int32_t) {
  return write(value, buffer, only, part != nullptr, limit);
}

int32_t compare(Cell* a, Cell* b, CompareOp op) {
  if (!b->is(TypeId::typeset)) return kNotComparable;
  switch (op) {
    case CompareOp::lesser:
    case CompareOp::lesser_or_equal:
    case CompareOp::greater:
    case CompareOp::greater_or_equal: return kNotComparable;
    case CompareOp::sort:
    case CompareOp::case_sort: {
      const int32_t x = count(a), y = count(b);
      return (x > y) - (x < y);
    }
    default: return get(a) == get(b) ? 0 : 1;
  }
}

void and_() { frame_math(MathOp::and_); }
void or_() { frame_math(MathOp::or_); }
void xor_() { frame_math(MathOp::xor_); }

Cell* complement(Cell* value) { return make_at(value, ~get(value)); }

Cell* find(Cell* ts, Cell* value, const FindArgs&) {
  if (!value->is(TypeId::datatype)) invalid_arg(value);
  set_logic(ts, has(ts, datatype::named(value)));
  return ts;
}

void register_() {
  static constexpr ActionRow row{
      .make = make,
      .to = make,
      .form = form,
      .mold = mold,
      .compare = compare,
      .and_ = and_,
      .complement = complement,
      .or_ = or_,
      .xor_ = xor_,
      .find = find,
  };
  datatype::register_type(TypeId::typeset, TypeId::none_id, "typeset!", row);
  block::typeset_to_block = [](const Cell* ts, Cell* result) { to_block(ts, result); };
}

}  // namespace qel::typeset
