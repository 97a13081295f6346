// Start-up of the value model, and the one list that fixes the order in
// which the datatypes register (parents before children).
#include "datatypes/init.h"

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/char.h"
#include "datatypes/date.h"
#include "datatypes/email.h"
#include "datatypes/file.h"
#include "datatypes/float.h"
#include "datatypes/handle.h"
#include "datatypes/hash.h"
#include "datatypes/image.h"
#include "datatypes/issue.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/pair.h"
#include "datatypes/path.h"
#include "datatypes/point.h"
#include "datatypes/port.h"
#include "datatypes/ref.h"
#include "datatypes/tag.h"
#include "datatypes/triple.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"
#include "datatypes/url.h"
#include "datatypes/vector.h"
#include "core/cycle_guard.h"
#include "core/stack.h"
#include "memory/series.h"
#include "runtime/startup_slots.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "values/datatype.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/native.h"
#include "datatypes/integer.h"
#include "datatypes/logic.h"
#include "datatypes/object.h"
#include "memory/root.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "values/symbol.h"
#include "datatypes/time.h"
#include "datatypes/word.h"

namespace qel::values {

namespace {

bool done = false;

using RegisterFn = void (*)();

// Every datatype in registration order. A module adds its register
// function at its place here; types whose module does not exist yet are
// null and skipped. url! registers before file!, its child.
constexpr struct {
  TypeId type;
  RegisterFn fn;
} kRegistrationOrder[] = {
    {TypeId::datatype, datatype::register_self},
    {TypeId::unset, unset::register_},
    {TypeId::none, none::register_},
    {TypeId::logic, logic::register_},
    {TypeId::series, series::register_},
    {TypeId::block, block::register_},
    {TypeId::string, string::register_},
    {TypeId::binary, binary::register_},
    {TypeId::integer, integer::register_},
    {TypeId::symbol, symbol::register_},
    {TypeId::context, context::register_},
    {TypeId::word, word::register_},
    {TypeId::lit_word, lit_word::register_},
    {TypeId::set_word, set_word::register_},
    {TypeId::get_word, get_word::register_},
    {TypeId::refinement, refinement::register_},
    {TypeId::char_, char_::register_},
    {TypeId::native, native::register_},
    {TypeId::action, action::register_},
    {TypeId::op, op::register_},
    {TypeId::path, path::register_},
    {TypeId::lit_path, lit_path::register_},
    {TypeId::set_path, set_path::register_},
    {TypeId::get_path, get_path::register_},
    {TypeId::function, function::register_},
    {TypeId::routine, routine::register_},
    {TypeId::paren, paren::register_},
    {TypeId::issue, issue::register_},
    {TypeId::url, url::register_},
    {TypeId::file, file::register_},
    {TypeId::object, object::register_},
    {TypeId::bitset, bitset::register_},
    {TypeId::triple, triple::register_},
    {TypeId::float_, float_::register_},
    {TypeId::typeset, typeset::register_},
    {TypeId::error, error::register_},
    {TypeId::vector, vector::register_},
    {TypeId::map, map::register_},
    {TypeId::hash, hash::register_},
    {TypeId::pair, pair::register_},
    {TypeId::percent, percent::register_},
    {TypeId::tuple, tuple::register_},
    {TypeId::time, time::register_},
    {TypeId::tag, tag::register_},
    {TypeId::email, email::register_},
    {TypeId::handle, handle::register_},
    {TypeId::date, date::register_},
    {TypeId::port, port::register_},
    {TypeId::money, money::register_},
    {TypeId::ref, ref::register_},
    {TypeId::point2d, point2d::register_},
    {TypeId::point3d, point3d::register_},
    {TypeId::image, image::register_},
};

}  // namespace

void init() {
  if (done) return;
  done = true;
  memory::init();
  datatype::reset();
  for (const auto& entry : kRegistrationOrder) {
    // The image codec back end starts just before image! registers.
    if (entry.type == TypeId::image) image_codec::init();
    if (entry.fn) entry.fn();
  }
  actions::init();
  root::init();
  symbol::init();
  context::init();
  datatype::make_type_words();
  stack::init();
  cycle_guard::reset();
}

bool initialised() { return done; }

}  // namespace qel::values
