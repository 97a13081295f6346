// The QELBIN encoder (services/qelbin_encoder.h): one value, with everything
// it holds, into a compact or fixed-width buffer.
//
// The encoder only reads values and writes to a byte vector of its own, so
// nothing it does can move a series: pointers into the value's buffers stay
// valid for the whole call. Its state is an object of the call, so an error
// (no-codec, too deep) leaves nothing behind.
#include "services/qelbin_encoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_set>

#include "datatypes/binary.h"
#include "datatypes/date.h"
#include "datatypes/image.h"
#include "datatypes/money.h"
#include "datatypes/pair.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"
#include "datatypes/vector.h"
#include "memory/series.h"
#include "services/image_codec.h"
#include "services/qelbin_format.h"
#include "values/context.h"
#include "datatypes/error.h"
#include "core/errors.h"
#include "datatypes/function.h"
#include "datatypes/native.h"
#include "datatypes/object.h"

namespace qel::qelbin {

namespace detail {

using namespace format;

namespace {

uint32_t log2_unit(uint32_t unit) { return unit == 1 ? 0 : unit == 2 ? 1 : unit == 4 ? 2 : 3; }

// The cells of a block's buffer, from its first used cell.
const Cell* cells_of(Node n) { return memory::series(n)->cells(); }
uint32_t length_of(Node n) { return memory::series(n)->length(); }

}  // namespace

// --- bytes

void Encoder::put32(uint32_t w) {
  const uint8_t b[4] = {static_cast<uint8_t>(w), static_cast<uint8_t>(w >> 8),
                        static_cast<uint8_t>(w >> 16), static_cast<uint8_t>(w >> 24)};
  out_.insert(out_.end(), b, b + 4);
}

void Encoder::uvar(uint32_t u) {
  while (u >= 0x80) {
    put8(static_cast<uint8_t>(u | 0x80));
    u >>= 7;
  }
  put8(static_cast<uint8_t>(u));
}

void Encoder::unsigned_field(uint32_t u) {
  if (compact_) uvar(u);
  else put32(u);
}

void Encoder::signed_field(int32_t i) {
  if (compact_) uvar(zigzag(i));
  else put32(static_cast<uint32_t>(i));
}

void Encoder::raw(const uint8_t* p, size_t n) {
  out_.insert(out_.end(), p, p + n);
  if (!compact_)
    while (out_.size() % 4) put8(0);
}

void Encoder::real(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  const uint32_t low = static_cast<uint32_t>(bits), high = static_cast<uint32_t>(bits >> 32);
  if (compact_) {
    put32(low);
    put32(high);
  } else {
    put32(high);
    put32(low);
  }
}

// The header byte (type and flag) or header word (type, bits and the
// pending new-line bit).
void Encoder::header(TypeId t, bool flag, uint32_t bits) {
  if (compact_) {
    put8(static_cast<uint8_t>(static_cast<uint8_t>(t) | (flag ? byte::flag : 0)));
  } else {
    put32(static_cast<uint32_t>(t) | bits | line_);
    line_ = 0;
  }
}

uint32_t Encoder::symbol(SymbolId sym) {
  auto it = symbol_index_.find(sym);
  if (it != symbol_index_.end()) return it->second;
  const uint32_t index = static_cast<uint32_t>(symbols_.size());
  symbols_.push_back(sym);
  symbol_index_.emplace(sym, index);
  if (!compact_) offsets_.push_back(static_cast<uint32_t>(names_.size()));
  names_ += symbol::name(sym);
  names_ += '\0';
  if (!compact_)
    while (names_.size() % 8) names_ += '\0';
  return index;
}

// --- paths

const uint32_t* Encoder::find(Node key) const {
  if (mode_ == Mode::boot) return nullptr;
  auto it = written_.find(key);
  return it == written_.end() ? nullptr : paths_.data() + it->second;
}

// Enters a container written in full: its path is the path stack and its
// own position; its values count from 0.
void Encoder::begin(Node key) {
  path_stack_.push_back(position_);
  if (mode_ == Mode::codec && !written_.count(key)) {
    written_.emplace(key, static_cast<uint32_t>(paths_.size()));
    paths_.push_back(static_cast<uint32_t>(path_stack_.size()));
    paths_.insert(paths_.end(), path_stack_.begin(), path_stack_.end());
  }
  position_ = 0;
}

void Encoder::end() {
  position_ = path_stack_.back();
  path_stack_.pop_back();
}

void Encoder::path(const uint32_t* p) {
  const uint32_t n = p[0];
  if (compact_) {
    uvar(n);
    for (uint32_t i = 1; i <= n; i++) uvar(p[i]);
  } else {
    put32(fixed::earlier_value);
    put32(n);
    for (uint32_t i = 1; i <= n; i++) put32(p[i]);
  }
}

// --- records

void Encoder::value(const Cell* v) {
  record(v);
  position_++;
}

void Encoder::no_codec(const Cell* v) {
  Cell arg = *v;
  arg.clear_flag(cell_flag::new_line);
  fire(ErrorCode::access_no_codec, &arg);
}

void Encoder::record(const Cell* v) {
  Depth depth(depth_);
  const bool nl = v->has_flag(cell_flag::new_line);
  if (compact_ && nl) put8(byte::new_line);
  line_ = nl ? fixed::new_line : 0;
  const TypeId t = v->type();
  switch (t) {
    case TypeId::none_id:
    case TypeId::unset:
      return header(TypeId::unset, false);
    case TypeId::none:
      return header(TypeId::none, false);
    case TypeId::datatype:
      header(t, false);
      return unsigned_field(v->data1);
    case TypeId::logic:
      if (compact_) return put8(v->logic() ? byte::logic_true : byte::logic_false);
      header(t, false);
      return put32(v->logic() ? 1 : 0);
    case TypeId::char_:
      header(t, false);
      return unsigned_field(v->data3);
    case TypeId::integer:
      if (compact_ && v->integer() >= 0 && v->integer() < 64)
        return put8(static_cast<uint8_t>(byte::small_integer + v->integer()));
      header(t, false);
      return signed_field(v->integer());
    case TypeId::float_:
    case TypeId::time:
    case TypeId::percent:
      return number(v);
    case TypeId::pair:
      header(t, false);
      signed_field(pair::x(v));
      return signed_field(pair::y(v));
    case TypeId::point2d:
    case TypeId::point3d:
      header(t, false);
      put32(v->data1);
      put32(v->data2);
      if (t == TypeId::point3d) put32(v->data3);
      return;
    case TypeId::date: {
      const uint32_t w = date::word(v);
      const bool timed = date::has_time(w);
      header(t, timed);
      put32(w);
      if (timed || !compact_) real(timed ? date::stored(v) : 0.0);
      return;
    }
    case TypeId::typeset: {
      const typeset::Bits b = typeset::get(v);
      if (compact_) {
        uint8_t n = 12;
        while (n > 0 && b.bytes[n - 1] == 0) n--;
        header(t, false);
        put8(n);
        return raw(b.bytes, n);
      }
      header(t, false);
      return raw(b.bytes, 12);
    }
    case TypeId::tuple: {
      const int32_t n = tuple::length(v);
      if (compact_) {
        header(t, n != 3);
        if (n != 3) put8(static_cast<uint8_t>(n));
        return raw(tuple::bytes(v), static_cast<size_t>(n));
      }
      header(t, false, static_cast<uint32_t>(n) << fixed::byte_shift);
      return raw(tuple::bytes(v), 12);
    }
    case TypeId::money: {
      const bool negative = money::sign_q(v) != 0;
      header(t, compact_ && negative, !compact_ && negative ? fixed::negative : 0);
      return raw(reinterpret_cast<const uint8_t*>(v) + 4, 12);
    }
    case TypeId::issue:
      header(t, false);
      return unsigned_field(symbol(v->symbol()));
    case TypeId::word:
    case TypeId::set_word:
    case TypeId::lit_word:
    case TypeId::get_word:
    case TypeId::refinement:
      return word(v);
    case TypeId::context:
      begin(v->data1);
      context_body(v->data1, true);
      return end();
    case TypeId::block:
    case TypeId::paren:
    case TypeId::path:
    case TypeId::lit_path:
    case TypeId::set_path:
    case TypeId::get_path:
    case TypeId::hash:
      return block(v);
    case TypeId::map:
      return map(v);
    case TypeId::string:
    case TypeId::file:
    case TypeId::url:
    case TypeId::tag:
    case TypeId::email:
    case TypeId::ref:
    case TypeId::binary:
    case TypeId::vector:
      return text(v);
    case TypeId::bitset:
      return bitset(v);
    case TypeId::image:
      return image(v);
    case TypeId::object:
      return object(v);
    case TypeId::function:
      return function(v);
    case TypeId::native:
    case TypeId::action:
      return builtin(v);
    case TypeId::op:
      return op(v);
    case TypeId::error:
      return error(v);
    default:
      // routine!, triple!, handle!, port!, event! and the internal types.
      no_codec(v);
  }
}

// float!, time! and percent!: the compact variant writes a value that is a
// whole number (percent!: a whole number of hundredths) as an svarint.
void Encoder::number(const Cell* v) {
  const TypeId t = v->type();
  const double d = v->real();
  if (compact_) {
    const bool negative_zero = d == 0.0 && std::signbit(d);
    if (t == TypeId::percent) {
      if (d >= -21474836.0 && d <= 21474836.0 && !negative_zero) {
        const double r = std::round(d * 100.0);
        if (r / 100.0 == d) {
          header(t, true);
          return uvar(zigzag(static_cast<int32_t>(r)));
        }
      }
    } else if (d >= -2147483000.0 && d <= 2147483000.0 && !negative_zero &&
               std::trunc(d) == d) {
      header(t, true);
      return uvar(zigzag(static_cast<int32_t>(d)));
    }
    header(t, false);
    return real(d);
  }
  // The record starts on a multiple of 8 bytes.
  if (out_.size() % 8 != 0) put32(0);
  header(t, false);
  real(d);
}

// --- words

void Encoder::global_word(const Cell* v) {
  const TypeId t = v->type();
  if (mode_ == Mode::boot) {
    header(t, false);
    unsigned_field(symbol(v->symbol()));
    if (!compact_) {
      put32(0xFFFFFFFFu);
      put32(0xFFFFFFFFu);
    }
    return;
  }
  header(t, false, fixed::global_word);
  unsigned_field(symbol(v->symbol()));
  if (!compact_) put32(v->data3);
}

// Whether the owner of a word's context can be written in full: nothing
// reachable from it through series, objects, functions and errors lacks a
// record. The contexts of library code hold routines (a codec's entry
// points, the collector's switch); a word bound to one is written as a name,
// as a word bound to a context no value owns is. Bindings met on the way are
// not followed: such a word makes the same choice when it is written. The
// answer is kept for the rest of the call.
bool Encoder::writable(Node ctx, const Cell* owner) {
  if (auto it = writable_.find(ctx); it != writable_.end()) return it->second;
  std::unordered_set<Node> seen;
  std::vector<Cell> work{*owner};
  auto cells = [&](const Cell* c, uint32_t n) { work.insert(work.end(), c, c + n); };
  bool ok = true;
  while (ok && !work.empty()) {
    Cell c = work.back();
    work.pop_back();
    TypeId t = c.type();
    if (t == TypeId::op) {
      t = op::wrapped(&c);
      if (t != TypeId::native && t != TypeId::action && t != TypeId::function) ok = false;
      c = op::unwrap(&c);
    }
    if (no_record(t)) {
      ok = false;
    } else if (path_block(t)) {
      if (seen.insert(c.node()).second) cells(cells_of(c.node()), length_of(c.node()));
    } else if (t == TypeId::object || t == TypeId::error || t == TypeId::context) {
      const Node x = c.data1;
      if (seen.insert(x).second && !context::on_stack(context::context_cell(x)))
        cells(context::values(x), context::word_count(x));
    } else if (t == TypeId::function && seen.insert(c.data1).second) {
      // Its context's values live on the stack: the spec and body are all.
      cells(cells_of(c.data2), length_of(c.data2));
      const Cell* body = function::extra(&c, function::kBody);
      if (body->is(TypeId::block)) cells(cells_of(body->node()), length_of(body->node()));
    }
  }
  writable_[ctx] = ok;
  return ok;
}

void Encoder::word(const Cell* v) {
  const TypeId t = v->type();
  const Node ctx = v->context();
  if (!ctx || ctx == context::global || global_words_) return global_word(v);
  const Cell* owner = context::owner(ctx);
  const TypeId ot = owner->type();
  // A context that no value owns cannot be written: the word goes global.
  if (ot == TypeId::unset || ot == TypeId::none || is_any_block(ot)) return global_word(v);
  const int32_t index = v->word_index();
  if (mode_ == Mode::boot) {
    auto it = roots_.find(ctx);
    if (it == roots_.end()) return global_word(v);
    header(t, true);
    unsigned_field(symbol(v->symbol()));
    if (compact_) {
      uvar(it->second);
      uvar(zigzag(index));
    } else {
      put32(it->second);
      put32(static_cast<uint32_t>(index));
    }
    return;
  }
  if (const uint32_t* p = find(ctx)) {
    if (compact_) put8(byte::reference);
    header(t, true, fixed::reference);
    unsigned_field(symbol(v->symbol()));
    signed_field(index);
    return path(p);
  }
  if (ot != TypeId::object && ot != TypeId::function) return global_word(v);
  if (!writable(ctx, owner)) return global_word(v);
  header(t, true);
  unsigned_field(symbol(v->symbol()));
  signed_field(index);
  // The owner in full, its values counted from the word's position.
  const Cell own = *owner;
  begin(ctx);
  if (ot == TypeId::object) {
    header(TypeId::object, own.data3 != 0, own.data3 ? fixed::event_info : 0);
    object_fields(&own);
  } else {
    header(TypeId::function, false);
    function_fields(&own);
  }
  end();
}

// --- series

void Encoder::block(const Cell* v) {
  const TypeId t = v->type();
  const Node node = v->node();
  const int32_t head = std::max(v->head(), 0);
  const uint32_t* p = find(node);
  if (compact_ && p) put8(byte::reference);
  header(t, head != 0, p ? fixed::reference : 0);
  if (!compact_ || head != 0) unsigned_field(static_cast<uint32_t>(head));
  if (p) return path(p);
  begin(node);
  const uint32_t n = length_of(node);
  unsigned_field(n);
  const Cell* c = cells_of(node);
  for (uint32_t i = 0; i < n; i++) value(c + i);
  end();
}

void Encoder::map(const Cell* v) {
  const Node node = v->node();
  const uint32_t* p = find(node);
  if (compact_ && p) put8(byte::reference);
  header(TypeId::map, false, p ? fixed::reference : 0);
  if (p) return path(p);
  begin(node);
  const uint32_t n = length_of(node) & ~1u;
  const Cell* c = cells_of(node);
  uint32_t live = 0;
  for (uint32_t i = 0; i < n; i += 2)
    if (c[i + 1].header != 0) live++;
  unsigned_field(live * 2);
  // A removed entry keeps its pair with a typeless value: it is left out.
  for (uint32_t i = 0; i < n; i += 2) {
    if (c[i + 1].header == 0) continue;
    value(c + i);
    value(c + i + 1);
  }
  end();
}

// string types, binary! and vector!: every unit from the buffer's start.
void Encoder::text(const Cell* v) {
  const TypeId t = v->type();
  const Node node = v->node();
  const SeriesBuffer* s = memory::series(node);
  const uint32_t unit = s->unit();
  const int32_t head = std::max(v->head(), 0);
  const uint32_t* p = find(node);
  if (compact_ && p) put8(byte::reference);
  header(t, head != 0, (p ? fixed::reference : 0) | unit << fixed::byte_shift);
  if (!compact_ || head != 0) unsigned_field(static_cast<uint32_t>(head));
  if (p) return path(p);
  begin(node);
  const uint32_t count = s->length();
  if (compact_) {
    if (t == TypeId::vector) {
      put8(static_cast<uint8_t>((v->data3 & 0xFF) << 2 | log2_unit(unit)));
      uvar(count);
    } else if (t == TypeId::binary) {
      uvar(count);
    } else {
      if (count >= (1u << 30)) fire(ErrorCode::script_too_long);
      uvar(count << 2 | log2_unit(unit));
    }
  } else {
    put32(count);
    if (t == TypeId::vector) put32(v->data3 & 0xFF);
  }
  const SeriesBuffer* b = memory::series(node);
  raw(b->data() + b->offset, size_t{count} * unit);
  end();
}

void Encoder::bitset(const Cell* v) {
  const Node node = v->node();
  const SeriesBuffer* s = memory::series(node);
  const bool complemented = (s->flags & series_flag::complement) != 0;
  const uint32_t* p = find(node);
  if (compact_ && p) put8(byte::reference);
  header(TypeId::bitset, complemented,
         (p ? fixed::reference : 0) | (complemented ? fixed::complement : 0));
  if (p) return path(p);
  begin(node);
  const uint32_t n = s->used_bytes();
  unsigned_field(n);
  raw(memory::series(node)->data() + s->offset, n);
  end();
}

// image!: its size and its pixels in the image module's 4-byte form (B, G,
// R, alpha: the pixel words as they lie in memory).
void Encoder::image(const Cell* v) {
  const Node record = v->node();
  const int32_t head = std::max(v->head(), 0);
  const uint32_t* p = record ? find(record) : nullptr;
  if (compact_ && p) put8(byte::reference);
  header(TypeId::image, head != 0, p ? fixed::reference : 0);
  if (!compact_ || head != 0) unsigned_field(static_cast<uint32_t>(head));
  if (p) return path(p);
  if (record) begin(record);
  const uint32_t* pixels = record ? image_codec::pixels(record) : nullptr;
  // An image without pixels keeps its size (a side of 0) in the cell.
  const uint32_t w = pixels ? image_codec::width(record) : record ? 0 : qel::image::width(v);
  const uint32_t h = pixels ? image_codec::height(record) : record ? 0 : qel::image::height(v);
  if (compact_) {
    uvar(w);
    uvar(h);
  } else {
    put32(image_codec::size_word(w, h));
  }
  raw(reinterpret_cast<const uint8_t*>(pixels), size_t{w} * h * 4);
  if (record) end();
}

// --- contexts, objects, functions

// A context body: flags, words and (for a context whose values do not live
// on the stack and are not all unset) the values, counted from 0. As a
// record of its own it carries the pending new-line mark.
void Encoder::context_body(Node ctx, bool as_record) {
  const Cell* cc = context::context_cell(ctx);
  const uint32_t kind = static_cast<uint32_t>(context::kind(cc));
  const bool on_stack = context::on_stack(cc);
  const bool self = cc->has_flag(cell_flag::self_ctx);
  const uint32_t n = context::word_count(ctx);
  const Cell* vals = on_stack ? nullptr : context::values(ctx);
  const uint32_t room = vals ? memory::series(cc->data2)->length() : 0;
  auto value_of = [&](uint32_t i) -> const Cell* {
    const int32_t k = context::word_cell(ctx, static_cast<int32_t>(i))->word_index();
    const uint32_t slot = k >= 0 && static_cast<uint32_t>(k) < room ? static_cast<uint32_t>(k) : i;
    return slot < room ? vals + slot : nullptr;
  };
  bool values = false;
  for (uint32_t i = 0; i < n && vals && !values; i++) {
    const Cell* c = value_of(i);
    values = c && !c->is(TypeId::unset);
  }
  if (compact_) {
    put8(static_cast<uint8_t>(TypeId::context));
    put8(static_cast<uint8_t>(kind | (on_stack ? ctx::on_stack : 0) | (self ? ctx::self : 0) |
                              (values ? ctx::values : 0)));
  } else {
    put32(static_cast<uint32_t>(TypeId::context) | kind << fixed::ctx_kind_shift |
          (on_stack ? fixed::ctx_on_stack : 0) | (self ? fixed::ctx_self : 0) |
          (values ? fixed::ctx_values : 0) | (as_record ? line_ : 0));
    line_ = 0;
  }
  unsigned_field(n);
  for (uint32_t i = 0; i < n; i++)
    unsigned_field(symbol(context::word_cell(ctx, static_cast<int32_t>(i))->symbol()));
  if (!values) return;
  Cell unset;
  set_unset(&unset);
  for (uint32_t i = 0; i < n; i++) {
    const Cell* c = value_of(i);
    value(c ? c : &unset);
  }
}

void Encoder::object_fields(const Cell* obj) {
  signed_field(object::class_id(obj));
  if (const Node events = object::event_info(obj)) {
    const Cell* e = memory::series(events)->cells();
    signed_field(static_cast<int32_t>(e[0].data2));
    signed_field(static_cast<int32_t>(e[1].data2));
  }
  context_body(obj->data1, false);
}

void Encoder::object(const Cell* v) {
  const Node ctx = v->data1;
  const uint32_t* p = find(ctx);
  const bool events = !p && v->data3 != 0;
  if (compact_ && p) put8(byte::reference);
  header(TypeId::object, events, (p ? fixed::reference : 0) | (events ? fixed::event_info : 0));
  if (p) return path(p);
  begin(ctx);
  object_fields(v);
  end();
}

// Capacities, the context (no values: they live on the stack), then the
// spec (position 0) and the body (position 1) as blocks at head 0.
void Encoder::function_fields(const Cell* fn) {
  const Cell body = *function::extra(fn, function::kBody);
  unsigned_field(length_of(fn->data2));
  unsigned_field(body.is(TypeId::block) ? length_of(body.node()) : 0);
  context_body(fn->data1, false);
  Cell spec;
  set_series(&spec, TypeId::block, fn->data2, 0);
  value(&spec);
  if (body.is(TypeId::block)) {
    Cell b;
    set_series(&b, TypeId::block, body.node(), 0);
    value(&b);
  } else {
    header(TypeId::block, false);
    if (!compact_) unsigned_field(0);
    unsigned_field(0);
    position_++;
  }
}

void Encoder::function(const Cell* v) {
  const Node ctx = v->data1;
  const uint32_t* p = find(ctx);
  if (compact_ && p) put8(byte::reference);
  header(TypeId::function, false, p ? fixed::reference : 0);
  if (p) return path(p);
  begin(ctx);
  function_fields(v);
  end();
}

// native! and action!: the table index, then the spec, which takes the
// built-in's own position.
void Encoder::builtin(const Cell* v) {
  header(v->type(), false);
  unsigned_field(v->data1);
  Cell spec;
  set_series(&spec, TypeId::block, v->data2, 0);
  record(&spec);
}

// op!: its header, then the wrapped value's record at the op's position.
void Encoder::op(const Cell* v) {
  const TypeId wrapped = op::wrapped(v);
  if (wrapped != TypeId::native && wrapped != TypeId::action && wrapped != TypeId::function)
    no_codec(v);
  header(TypeId::op, false, static_cast<uint32_t>(wrapped) << fixed::wrapped_shift);
  const Cell inner = op::unwrap(v);
  record(&inner);
}

// error!: always in full; its fields arg1 ... stack are its values 0-5,
// and files, when it is not none, value 6 (flagged in the header, so that
// data without it reads as before). The words of the call trace (stack) are
// written as names: they are bound where the calls were made, often in
// library contexts that hold values with no record.
void Encoder::error(const Cell* v) {
  const Node ctx = v->data1;
  if (std::find(open_errors_.begin(), open_errors_.end(), ctx) != open_errors_.end())
    fire(ErrorCode::internal_no_cycle);
  const Cell* f = context::values(ctx);
  const uint32_t room = memory::series(context::context_cell(ctx)->data2)->length();
  const uint32_t files = static_cast<uint32_t>(error::kFiles);
  const bool with_files = files < room && !f[files].is(TypeId::none);
  header(TypeId::error, with_files, with_files ? fixed::error_files : 0);
  unsigned_field(static_cast<uint32_t>(error::code_of(v)));
  begin(ctx);
  open_errors_.push_back(ctx);
  Cell none;
  set_none(&none);
  for (uint32_t i = 0; i < (with_files ? 7u : 6u); i++) {
    const uint32_t k = static_cast<uint32_t>(error::kArg1) + i;
    const bool saved = global_words_;
    global_words_ = k == static_cast<uint32_t>(error::kStack) || saved;
    value(k < room ? context::values(ctx) + k : &none);
    global_words_ = saved;
  }
  open_errors_.pop_back();
  end();
}

// --- boot data and the buffer

void Encoder::set_word(const Cell* w, const Cell* v) {
  if (compact_) {
    put8(byte::set_next);
    header(w->type(), false);
    unsigned_field(symbol(w->symbol()));
  } else {
    header(w->type(), false, fixed::global_word);
    put32(symbol(w->symbol()));
    put32(0xFFFFFFFFu);
    put32(0xFFFFFFFFu);
  }
  record(v);
}

std::vector<uint8_t> Encoder::finish(uint32_t record_count, uint8_t version) const {
  std::vector<uint8_t> r;
  auto put = [&r](uint32_t w) {
    for (int i = 0; i < 4; i++) r.push_back(static_cast<uint8_t>(w >> (8 * i)));
  };
  auto var = [&r](uint32_t u) {
    while (u >= 0x80) {
      r.push_back(static_cast<uint8_t>(u | 0x80));
      u >>= 7;
    }
    r.push_back(static_cast<uint8_t>(u));
  };
  const bool symbols = !symbols_.empty();
  r.reserve(out_.size() + names_.size() + symbols_.size() * 4 + 48);
  for (uint8_t b : kMagic) r.push_back(b);
  r.push_back(version);
  r.push_back(static_cast<uint8_t>((compact_ ? flag::compact : 0) | (symbols ? flag::symbols : 0)));
  const uint32_t size = static_cast<uint32_t>(out_.size());
  if (compact_) {
    var(record_count);
    var(size);
    if (symbols) {
      var(static_cast<uint32_t>(symbols_.size()));
      var(static_cast<uint32_t>(names_.size()));
      // Offsets: 0, then the position after each NUL.
      uint32_t offset = 0;
      for (size_t i = 0; i < symbols_.size(); i++) {
        put(offset);
        offset = static_cast<uint32_t>(names_.find('\0', offset)) + 1;
      }
    }
  } else {
    put(record_count);
    put(size);
    if (symbols) {
      put(static_cast<uint32_t>(symbols_.size()));
      put(static_cast<uint32_t>(names_.size()));
      for (uint32_t o : offsets_) put(o);
    }
  }
  if (symbols) r.insert(r.end(), names_.begin(), names_.end());
  r.insert(r.end(), out_.begin(), out_.end());
  return r;
}

}  // namespace detail

Cell* encode(const Cell* value, Cell* out, Variant variant) {
  codec_q = true;
  Cell v = *value;
  // The value's own line break means nothing outside its block.
  v.clear_flag(cell_flag::new_line);
  detail::Encoder e(variant, Mode::codec);
  e.value(&v);
  const std::vector<uint8_t> bytes = e.finish(1, format::kCodecVersion);
  binary::make_from(out, bytes.data(), bytes.size());
  return out;
}

}  // namespace qel::qelbin
