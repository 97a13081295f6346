// series!: position routines and the shared series actions.
//
// Every modifier tells the owner of the series before it changes anything
// (ownership::check) and, when there was an owner, again afterwards. The
// owner's handler may run Qel code and change the same series, so after a
// notice that reached an owner a modifier re-reads the head, the length and
// the buffer, and clamps its counts to what is there now.
#include "datatypes/series.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/stack.h"
#include "text/random.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "values/datatype.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "values/ownership.h"
#include "datatypes/string.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel::series {

VectorHooks vector_hooks;
uint32_t (*seed_hash)(const uint8_t* bytes, uint32_t length) = nullptr;

namespace {

uint8_t* item_ptr(SeriesBuffer* b, int32_t i) { return b->head_ptr() + (size_t(i) << unit_shift(b)); }

// Writes the item at `p` of series `s` as a value into `out`.
void item_value(const Cell* s, const uint8_t* p, Cell* out) {
  TypeId t = s->type();
  SeriesBuffer* b = buffer(s);
  if (is_any_block(t)) {
    *out = *reinterpret_cast<const Cell*>(p);
  } else if (t == TypeId::binary) {
    set_integer(out, *p);
  } else if (t == TypeId::vector && vector_hooks.get) {
    vector_hooks.get(s, p, out);
  } else {
    set_char(out, string::get_char(p, b->unit()));
  }
}

// Same type over the same buffer: a /part given as a position.
bool same_series(const Cell* a, const Cell* b) { return a->type() == b->type() && a->node() == b->node(); }

// A swap buffer for records of any size.
struct Scratch {
  explicit Scratch(size_t n) : bytes(n) {}
  std::vector<uint8_t> bytes;
  uint8_t* data() { return bytes.data(); }
};

}  // namespace

bool rs_skip(Cell* s, int32_t n) {
  int64_t p = int64_t{s->head()} + n;
  int64_t len = get_length(s);
  if (p <= len) s->set_head(static_cast<int32_t>(p));
  return p >= len;
}

int32_t get_rest_length(Cell* s, Whole whole) {
  int32_t len = get_length(s);
  int32_t base = whole == Whole::yes ? 0 : std::max(s->head(), 0);
  if (len >= base) return len - base;
  s->set_head(len);
  return 0;
}

int32_t clip_position(const Cell* s, const Cell* index, int32_t adjust) {
  if (!index->is(TypeId::integer)) fire(ErrorCode::script_invalid_arg, index);
  int64_t n = index->integer();
  if (adjust == 1 && n <= 0) adjust = 0;
  int64_t p = int64_t{s->head()} + n - adjust;
  int64_t len = get_length(s);
  if (p < 0) p = 0;
  if (p > len) p = len;
  return static_cast<int32_t>(p);
}

void fire_invalid_refine(const char* name, const Cell* value) {
  Cell ref = refinement::load(name);
  fire(ErrorCode::script_invalid_refine_arg, &ref, value);
}

int32_t part_count(const Cell* s, const Cell* part) {
  if (part->is(TypeId::integer)) return part->integer();
  if (!same_series(s, part)) fire_invalid_refine("part", part);
  return part->head() - s->head();
}

// --- navigation -----------------------------------------------------------

void at() {
  Cell* s = stack::arguments;
  s->set_head(clip_position(s, s + 1, 1));
}
void skip() {
  Cell* s = stack::arguments;
  s->set_head(clip_position(s, s + 1, 0));
}
void back() {
  Cell* s = stack::arguments;
  if (s->head() >= 1) s->set_head(s->head() - 1);
}
void next() { rs_skip(stack::arguments, 1); }
void head() { stack::arguments->set_head(0); }
void tail() { stack::arguments->set_head(get_length(stack::arguments)); }
void head_q() { set_logic(stack::arguments, stack::arguments->head() == 0); }
void tail_q() { set_logic(stack::arguments, rs_tail_q(stack::arguments)); }
void index_q() { set_integer(stack::arguments, stack::arguments->head() + 1); }
int32_t length_q(Cell* s) { return get_rest_length(s, Whole::no); }

// --- pick and poke ---------------------------------------------------------

Cell* pick(Cell* s, int32_t i, Cell*) {
  int64_t p = i > 0 ? int64_t{s->head()} + i - 1 : int64_t{s->head()} + i;
  if (i == 0 || p < 0 || p >= get_length(s)) return const_cast<Cell*>(&none_value);
  SeriesBuffer* b = buffer(s);
  uint8_t* item = b->head_ptr() + (size_t(p) << unit_shift(b));
  if (is_any_block(s->type()) || s->is(TypeId::map)) return reinterpret_cast<Cell*>(item);
  Cell* out = stack::push_slot();
  item_value(s, item, out);
  return out;
}

Cell* poke(Cell* s, int32_t i, Cell* value, Cell*) {
  int64_t p = i > 0 ? int64_t{s->head()} + i - 1 : int64_t{s->head()} + i;
  if (i == 0 || p < 0 || p >= get_length(s)) {
    Cell index;
    set_integer(&index, i);
    fire(ErrorCode::script_out_of_range, &index);
  }
  TypeId t = s->type();
  // Refuse what the series cannot hold before anyone is told of a change.
  if (is_any_string(t) && !value->is(TypeId::char_)) fire(ErrorCode::script_invalid_arg, value);
  // A byte takes an integer from -128 to 255 (as append and insert take it) or
  // a char up to 255: keeping only the low bits of anything larger stored a
  // different number than the one given.
  if (t == TypeId::binary &&
      !(value->is(TypeId::char_) ? value->data3 <= 255
                                 : value->is(TypeId::integer) && value->integer() >= -128 &&
                                       value->integer() <= 255))
    fire(ErrorCode::script_invalid_arg, value);
  Cell v = *value;
  bool owned = ownership::check(s, OwnerEvent::poke, &v, static_cast<int32_t>(p), 1);
  if (owned && p >= get_length(s)) return value;  // the handler shortened the series
  SeriesBuffer* b = buffer(s);
  uint8_t* item = b->head_ptr() + (size_t(p) << unit_shift(b));
  if (is_any_block(t)) {
    *reinterpret_cast<Cell*>(item) = v;
    if (t == TypeId::hash) block::hash_changed(s);
  } else if (t == TypeId::vector) {
    if (!vector_hooks.set) fire(ErrorCode::internal_not_done);
    vector_hooks.set(s, item, &v);
  } else if (t == TypeId::binary) {
    *item = static_cast<uint8_t>(v.is(TypeId::char_) ? v.data3 : static_cast<uint32_t>(v.integer()));
  } else {
    string::write_char(buffer(s), static_cast<int32_t>(p), v.data3);
  }
  if (owned) ownership::check(s, OwnerEvent::poked, &v, static_cast<int32_t>(p), 0);
  return value;
}

// --- clear, remove, reverse ---------------------------------------------

Cell* clear(Cell* s) {
  int32_t count = get_length(s) - s->head();
  if (count < 1) return s;
  bool owned = ownership::check(s, OwnerEvent::clear, &none_value, s->head(), count);
  if (owned && s->head() >= get_length(s)) {
    ownership::check(s, OwnerEvent::cleared, &none_value, s->head(), 0);
    return s;
  }
  SeriesBuffer* b = buffer(s);
  b->tail = b->offset + (uint32_t(std::max(s->head(), 0)) << unit_shift(b));
  if (s->is(TypeId::hash)) block::hash_changed(s);
  if (owned) ownership::check(s, OwnerEvent::cleared, &none_value, s->head(), 0);
  return s;
}

Cell* remove(Cell* s, Cell* part, Cell* key) {
  int32_t count = 1;
  if (part) {
    count = part_count(s, part);
    if (count < 1) return s;
  }
  if (key) {
    // A key is one value: a block key is not a sequence of its items.
    FindArgs args;
    args.only = true;
    args.case_ = true;
    Cell* found = actions::call_find(s, key, args);
    if (found->is(TypeId::none)) {
      set_none(s);
      return s;
    }
    s->set_head(found->head());
    if (count < 0x7FFFFFFF) count = count + 1;  // the largest /part already reaches the tail
  }
  int32_t head = s->head();
  if (head < 0 || head >= get_length(s)) return s;
  bool owned = ownership::check(s, OwnerEvent::remove, &none_value, head, count);
  int32_t len = get_length(s);
  head = s->head();
  if (owned && (head < 0 || head >= len)) {
    ownership::check(s, OwnerEvent::removed, &none_value, head, 0);
    return s;
  }
  SeriesBuffer* b = buffer(s);
  uint32_t sh = unit_shift(b);
  if (int64_t{head} + count >= len) {
    b->tail = b->offset + (uint32_t(head) << sh);
  } else {
    uint8_t* at = b->head_ptr() + (size_t(head) << sh);
    size_t moved = size_t(len - head - count) << sh;
    std::memmove(at, at + (size_t(count) << sh), moved);
    b->tail -= uint32_t(count) << sh;
  }
  if (s->is(TypeId::hash)) block::hash_changed(s);
  if (owned) ownership::check(s, OwnerEvent::removed, &none_value, head, 0);
  return s;
}

Cell* reverse(Cell* s, Cell* part, Cell* skip_size) {
  if (rs_tail_q(s)) return s;
  int32_t count = get_length(s) - s->head();
  if (part) {
    count = part_count(s, part);
    if (count < 1) return s;
  }
  int32_t size = 1;
  if (skip_size) {
    if (!skip_size->is(TypeId::integer)) fire_invalid_refine("skip", skip_size);
    size = skip_size->integer();
    if (size < 1) fire(ErrorCode::script_out_of_range, skip_size);
    if (size == count) return s;
    if (count < size || count % size != 0) fire_invalid_refine("skip", skip_size);
  }
  bool owned = ownership::check(s, OwnerEvent::reverse, &none_value, s->head(), count);
  int32_t head = s->head();
  int32_t len = get_length(s);
  if (head >= 0 && head < len) {
    int64_t end = std::min<int64_t>(int64_t{head} + count, len);
    SeriesBuffer* b = buffer(s);
    uint32_t sh = unit_shift(b);
    size_t rec = size_t(size) << sh;
    uint8_t* lo = b->head_ptr() + (size_t(head) << sh);
    uint8_t* hi = b->head_ptr() + (size_t(end) << sh) - rec;
    Scratch tmp(rec);
    while (lo + rec <= hi) {
      std::memcpy(tmp.data(), lo, rec);
      std::memcpy(lo, hi, rec);
      std::memcpy(hi, tmp.data(), rec);
      lo += rec;
      hi -= rec;
    }
    if (s->is(TypeId::hash)) block::hash_changed(s);
  }
  if (owned) ownership::check(s, OwnerEvent::reversed, &none_value, s->head(), 0);
  return s;
}

// --- take and copy -------------------------------------------------------

namespace {

// What take removes: d, the signed distance its /part gives, and the count
// of items (0 when nothing is left from the head).
struct TakePlan {
  int32_t d = 1;
  int32_t count = 0;
};

TakePlan take_plan(const Cell* s, const Cell* part, bool last) {
  TakePlan plan;
  int32_t head = std::max(s->head(), 0);
  int32_t rest = get_length(s) - head;
  // A head past the tail (the series shrank under it) has nothing left
  // from it, whatever the /part: the items before it are not where it
  // thinks they are.
  if (rest < 0 || (rest < 1 && !part)) return plan;
  if (part) {
    if (part->is(TypeId::integer)) {
      plan.d = part->integer();
    } else {
      if (!same_series(s, part)) fire_invalid_refine("part", part);
      if (part->head() < head)
        plan.d = 0;
      else
        plan.d = last ? head + rest - part->head() : part->head() - head;
    }
  }
  // At the tail only a /part reaching back (a count of 0 or less, without
  // /last) has items to take: those before the head, as copy/part takes them.
  if (rest < 1 && (plan.d > 0 || last || head < 1)) {
    plan.d = 1;
    return plan;
  }
  int32_t count = plan.d;
  if (plan.d < 0) {
    rest = head;
    count = last ? 1 : (plan.d == INT32_MIN ? INT32_MAX : -plan.d);
  }
  count = std::min(count, rest);
  plan.count = count == 0 ? 1 : count;
  return plan;
}

// The index of the first item taken, or -1 when the plan takes none.
int64_t take_from(const TakePlan& plan, int32_t count, int32_t head, int32_t len, bool last) {
  if (count <= 0) return -1;
  if (plan.d <= 0) return last || count > head ? -1 : head - count;
  return last ? len - count : head;
}

}  // namespace

bool take_span(const Cell* s, const Cell* part, bool last, int32_t* from, int32_t* count) {
  TakePlan plan = take_plan(s, part, last);
  int64_t first = take_from(plan, plan.count, std::max(s->head(), 0), get_length(s), last);
  if (first < 0) return false;
  *from = static_cast<int32_t>(first);
  *count = plan.count;
  return true;
}

Cell* take(Cell* s, Cell* part, bool, bool last) {
  if (s->head() < 0) s->set_head(0);
  const TakePlan plan = take_plan(s, part, last);
  if (plan.count < 1) {
    set_none(s);
    return s;
  }
  int32_t head = s->head();
  const int32_t d = plan.d;
  int32_t count = plan.count;

  bool owned = ownership::check(s, OwnerEvent::take, &none_value, head, d);
  if (owned) {
    // The handler may have changed the series: take from what is there now.
    head = std::min(std::max(s->head(), 0), get_length(s));
    int32_t avail = d <= 0 ? head : get_length(s) - head;
    count = std::max(std::min(count, avail), 0);
  }

  SeriesBuffer* b = buffer(s);
  uint32_t sh = unit_shift(b);
  TypeId type = s->type();
  uint32_t extra = (type == TypeId::vector) ? s->data3 : 0;
  // The taken items always go to a fresh buffer: a value handed out must not
  // share storage with the next take.
  Node node = memory::alloc_series(count > 0 ? count : 1, b->unit());
  b = buffer(s);
  SeriesBuffer* nb = memory::series(node);
  nb->flags = (b->flags & ~series_flag::owned) | (nb->flags & (series_flag::live | series_flag::framed));
  int32_t len = get_length(s);
  const int64_t from = take_from(plan, count, head, len, last);
  const bool cut_tail = d > 0 && last;
  if (from >= 0 && count > 0) {
    size_t bytes = size_t(count) << sh;
    uint8_t* src = b->head_ptr() + (size_t(from) << sh);
    std::memcpy(nb->data(), src, bytes);
    nb->tail = nb->offset + uint32_t(bytes);
    if (cut_tail) {
      b->tail -= uint32_t(bytes);
    } else {
      size_t after = size_t(len - from - count) << sh;
      std::memmove(src, src + bytes, after);
      b->tail -= uint32_t(bytes);
    }
    if (type == TypeId::hash) block::hash_changed(s);
  }
  Cell* result = stack::push_slot();
  *result = Cell{static_cast<uint32_t>(type), 0, node, extra};
  if (type == TypeId::hash) block::hash_changed(result);
  if (owned) ownership::check(s, OwnerEvent::taken, &none_value, s->head(), 0);
  return result;
}

Cell* copy(Cell* s, Cell* result, Cell* part, bool, Cell*) {
  Cell src = *s;
  if (src.head() < 0) src.set_head(0);
  int32_t len = get_length(&src);
  int64_t start = src.head();
  int64_t count = std::max<int64_t>(0, int64_t{len} - src.head());
  if (part) {
    if (part->is(TypeId::integer)) {
      count = part->integer();
    } else if (part->is(TypeId::pair)) {
      int64_t x = static_cast<int32_t>(part->data2), y = static_cast<int32_t>(part->data3);
      start = x < 0 ? src.head() + x : src.head() + x - 1;
      if (start < 0) start = 0;
      count = y >= x ? y - x : 0;
    } else {
      if (!same_series(&src, part)) fire_invalid_refine("part", part);
      count = int64_t{part->head()} - src.head();
    }
  }
  if (count < 0) {
    count = -count;
    start -= count;
    if (start < 0) {
      start = 0;
      count = std::max(src.head(), 0);
    }
  }
  if (start > len) {
    start = len;
    count = 0;
  }
  if (start + count > len) count = len - start;
  if (result != s) set_unset(result);
  SeriesBuffer* b = buffer(&src);
  uint32_t sh = unit_shift(b);
  Node node = memory::alloc_series(count > 0 ? uint64_t(count) : (16u >> sh), b->unit());
  b = buffer(&src);
  SeriesBuffer* nb = memory::series(node);
  nb->flags = (b->flags & ~(series_flag::owned | series_flag::heap | series_flag::big | series_flag::mark)) |
              series_flag::live | series_flag::framed;
  size_t bytes = size_t(count) << sh;
  std::memcpy(nb->data(), b->head_ptr() + (size_t(start) << sh), bytes);
  nb->tail = nb->offset + uint32_t(bytes);
  uint32_t header = static_cast<uint32_t>(src.type()) | (src.header & cell_flag::new_line);
  *result = Cell{header, 0, node, src.is(TypeId::vector) ? src.data3 : 0u};
  return result;
}

// --- move -------------------------------------------------------------------

Cell* move(Cell* origin, Cell* target, Cell* part) {
  // An image is a series of pixels, not of units the others can share:
  // refused as a target as it is as an origin.
  if (!block::is_series_type(target->type()) || target->is(TypeId::image)) {
    Cell call = stack::get_call();
    Cell type, arg;
    set_datatype(&type, target->type());
    arg = word::load("target");
    fire(ErrorCode::script_expect_arg, &call, &type, &arg);
  }
  if (rs_tail_q(origin)) return target;
  if (origin->head() < 0) origin->set_head(0);
  if (target->head() < 0) target->set_head(0);
  int32_t count = 1;
  if (part) {
    if (!part->is(TypeId::integer)) fire_invalid_refine("part", part);
    count = part->integer();
    if (count < 1) return target;
  }
  count = std::min(count, get_length(origin) - origin->head());
  TypeId to = origin->type(), tt = target->type();

  if (origin->node() == target->node()) {
    int32_t len = get_length(origin);
    int32_t src = origin->head();
    int32_t dst = target->head();
    if (dst == src) return target;
    if (dst > src && dst < len && len - dst < count) return origin;
    if (dst > len) dst = len;
    bool owned = ownership::check(target, OwnerEvent::move, origin, src, count);
    if (owned) {
      len = get_length(origin);
      src = origin->head();
      dst = std::min(target->head(), len);
      if (src < 0 || src >= len) {
        ownership::check(target, OwnerEvent::moved, &none_value, target->head(), count);
        return target;
      }
      count = std::min(count, len - src);
    }
    // Where the moved run starts afterwards: forward, it ends at the
    // target's position (or at the tail); backward, it starts there.
    int32_t newpos = dst > src ? (dst == len ? len - count : dst + 1 - count) : dst;
    newpos = std::max(0, std::min(newpos, len - count));
    SeriesBuffer* b = buffer(origin);
    uint32_t sh = unit_shift(b);
    size_t bytes = size_t(count) << sh;
    Scratch saved(bytes);
    uint8_t* base = b->head_ptr();
    std::memcpy(saved.data(), base + (size_t(src) << sh), bytes);
    if (newpos > src) {
      std::memmove(base + (size_t(src) << sh), base + (size_t(src + count) << sh), size_t(newpos - src) << sh);
    } else if (newpos < src) {
      std::memmove(base + (size_t(newpos + count) << sh), base + (size_t(newpos) << sh), size_t(src - newpos) << sh);
    }
    std::memcpy(base + (size_t(newpos) << sh), saved.data(), bytes);
    if (to == TypeId::hash) block::hash_changed(origin);
    if (owned) ownership::check(target, OwnerEvent::moved, &none_value, target->head() - count, count);
    return target;
  }

  if (is_any_block(to) != is_any_block(tt)) {
    Cell a, b;
    set_datatype(&a, to);
    set_datatype(&b, tt);
    fire(ErrorCode::script_move_bad, &a, &b);
  }
  // Text of 4-byte units takes a vector's elements as they are: each must be
  // a code point, or the text would hold characters nothing can encode.
  if (is_any_string(tt) && !is_any_string(to) && buffer(target)->unit() == 4 &&
      buffer(origin)->unit() == 4) {
    const auto* units = reinterpret_cast<const uint32_t*>(buffer(origin)->head_ptr()) + origin->head();
    for (int32_t i = 0; i < count; i++) {
      if (units[i] > 0x10FFFF) {
        Cell a, b;
        set_datatype(&a, to);
        set_datatype(&b, tt);
        fire(ErrorCode::script_move_bad, &a, &b);
      }
    }
  }
  // The target's owner hears of the move, the origin's of the removal.
  bool owned = ownership::check(target, OwnerEvent::move, origin, origin->head(), count);
  bool origin_owned = ownership::check(origin, OwnerEvent::remove, &none_value, origin->head(), count);
  auto after = [&](int32_t moved) {
    if (owned) ownership::check(target, OwnerEvent::moved, &none_value, target->head(), moved);
    if (origin_owned) ownership::check(origin, OwnerEvent::removed, &none_value, origin->head(), 0);
    return target;
  };
  if (owned || origin_owned) {
    count = std::min(count, get_length(origin) - origin->head());
    if (count < 1) return after(0);
  }
  uint32_t uo = buffer(origin)->unit(), ut = buffer(target)->unit();
  if (uo != ut) {
    if (to == TypeId::binary || tt == TypeId::binary || to == TypeId::vector || tt == TypeId::vector) {
      Cell a, b;
      set_datatype(&a, to);
      set_datatype(&b, tt);
      fire(ErrorCode::script_move_bad, &a, &b);
    }
    // Two strings of different widths: the characters are converted.
    string::concatenate(target, origin, count, 0, string::Keep::no, string::Mode::insert);
    string::remove_chars(buffer(origin), origin->head(), count);
  } else {
    uint32_t sh = unit_shift(buffer(origin));
    size_t bytes = size_t(count) << sh;
    SeriesBuffer* tb = buffer(target);
    if (uint64_t{tb->size} < uint64_t{tb->tail} + bytes)
      tb = memory::expand_series(tb, (uint64_t{tb->tail - tb->offset} + bytes) * 2);
    int32_t tlen = get_length(target);
    int32_t th = std::min(std::max(target->head(), 0), tlen);
    uint8_t* at = tb->head_ptr() + (size_t(th) << sh);
    std::memmove(at + bytes, at, size_t(tlen - th) << sh);
    SeriesBuffer* ob = buffer(origin);
    uint8_t* src = ob->head_ptr() + (size_t(origin->head()) << sh);
    std::memcpy(at, src, bytes);
    tb->tail += uint32_t(bytes);
    int32_t olen = get_length(origin);
    std::memmove(src, src + bytes, size_t(olen - origin->head() - count) << sh);
    ob->tail -= uint32_t(bytes);
    if (to == TypeId::hash) block::hash_changed(origin);
    if (tt == TypeId::hash) block::hash_changed(target);
  }
  return after(count);
}

// --- random, reflect, modify ---------------------------------------------

namespace {

uint32_t byte_hash(const uint8_t* p, uint32_t n) {
  uint32_t h = 2166136261u;
  for (uint32_t i = 0; i < n; i++) h = (h ^ p[i]) * 16777619u;
  return h;
}

}  // namespace

Cell* random(Cell* s, bool seed, bool secure, bool only) {
  if (seed) {
    SeriesBuffer* b = buffer(s);
    int32_t h = std::min(std::max(s->head(), 0), get_length(s));
    const uint8_t* p = b->head_ptr() + (size_t(h) << unit_shift(b));
    uint32_t n = static_cast<uint32_t>(b->tail_ptr() - p);
    qel::random::seed(seed_hash ? seed_hash(p, n) : byte_hash(p, n));
    set_unset(s);
    return s;
  }
  if (s->head() < 0) s->set_head(0);
  int32_t rest = get_length(s) - s->head();
  bool owned = ownership::check(s, OwnerEvent::random, &none_value, s->head(), rest);
  rest = get_length(s) - s->head();
  if (only) {
    if (rest <= 0) {
      set_none(s);
      return s;
    }
    int32_t k = qel::random::int_uniform(secure, rest);
    SeriesBuffer* b = buffer(s);
    Cell v;
    item_value(s, item_ptr(b, s->head() + k - 1), &v);
    *s = v;
    return s;
  }
  if (rest > 0 && s->head() >= 0) {
    uint32_t sh = unit_shift(buffer(s));
    size_t unit = size_t(1) << sh;
    uint8_t tmp[16];
    int32_t h = s->head();
    for (int32_t i = 0; i < rest; i++) {
      int32_t k = qel::random::int_uniform(secure, rest - i);
      if (k == 1) continue;
      uint8_t* a = buffer(s)->head_ptr() + (size_t(h + i) << sh);
      uint8_t* c = a + (size_t(k - 1) << sh);
      std::memcpy(tmp, a, unit);
      std::memcpy(a, c, unit);
      std::memcpy(c, tmp, unit);
    }
    if (s->is(TypeId::hash)) block::hash_changed(s);
  }
  if (owned) ownership::check(s, OwnerEvent::randomized, &none_value, s->head(), rest);
  return s;
}

namespace {
bool is_owned_symbol(uint32_t sym) {
  static uint32_t owned = 0;
  if (!owned) owned = symbol::make("owned");
  return symbol::resolve(sym) == symbol::resolve(owned);
}
}  // namespace

Cell* reflect(Cell* s, uint32_t field_symbol) {
  if (!is_owned_symbol(field_symbol)) fire(ErrorCode::internal_not_done);
  const Cell* owner = ownership::find_owner(s->node());
  if (owner)
    *s = *owner;
  else
    set_none(s);
  return s;
}

Cell* modify(Cell* s, Cell* field, Cell* value, bool) {
  if (!is_any_word(field->type()) || !is_owned_symbol(field->symbol())) return value;
  if (value->is(TypeId::none)) {
    ownership::unbind(s);
  } else if (value->is(TypeId::block) && block::rs_length_q(value) >= 2) {
    const Cell* items = block::first_cell(value) + value->head();
    ownership::set_owner(s, items, items + 1);
  }
  return value;
}

void register_() {
  static const ActionRow row{
      .random = random,
      .reflect = reflect,
      .at = at,
      .back = back,
      .clear = clear,
      .copy = copy,
      .head = head,
      .head_q = head_q,
      .index_q = index_q,
      .length_q = length_q,
      .move = move,
      .next = next,
      .pick = pick,
      .poke = poke,
      .remove = remove,
      .reverse = reverse,
      .skip = skip,
      .tail = tail,
      .tail_q = tail_q,
      .take = take,
      .modify = modify,
  };
  datatype::register_type(TypeId::series, TypeId::none_id, "series!", row);
}

namespace {

// The count /part gives a sort (see sort_begin).
int32_t sort_part(Cell* s, const Cell* part, int32_t n) {
  // A head past the tail (the series shrank under it) has nothing to sort:
  // the values a negative /part would reach back to are not all there.
  if (n < 0) return n;
  int32_t m;
  if (part->is(TypeId::integer)) {
    m = part->integer();
  } else {
    if (part->type() != s->type() || part->node() != s->node())
      fire_invalid_refine("part", part);
    m = part->head() - s->head();
  }
  if (m >= n) return n;
  if (m >= 0) return m;
  const int64_t h = int64_t{s->head()} + m;
  if (h < 0) {
    s->set_head(0);
    return 0;
  }
  s->set_head(static_cast<int32_t>(h));
  return -m;
}

}  // namespace

bool sort_begin(Cell* s, const SortArgs& args, int32_t n, SortPlan* plan) {
  if (args.part) n = sort_part(s, args.part, n);
  if (n <= 0) return false;
  int32_t size = 1;
  if (args.skip) {
    size = args.skip->is(TypeId::integer) ? args.skip->integer() : 0;
    if (size < 1 || size > n || n % size != 0) fire_invalid_refine("skip", args.skip);
  }
  if (args.all && !args.skip) fire(ErrorCode::script_bad_refines);
  uint32_t flags = args.reverse ? 1u : 0u;
  Cell* fn = nullptr;
  if (args.compare) {
    const TypeId ct = args.compare->type();
    if (is_any_function(ct)) {
      fn = args.compare;
    } else if (ct == TypeId::integer) {
      if (!args.skip || args.all) fire(ErrorCode::script_bad_refines);
      const int32_t o = args.compare->integer();
      if (o < 1 || o > size) fire(ErrorCode::script_out_of_range, args.compare);
      flags |= static_cast<uint32_t>(o - 1) << 2;
    } else {
      fire_invalid_refine("compare", args.compare);
    }
  }
  if (args.all) flags |= 2u | (static_cast<uint32_t>(size) << 2);
  plan->size = size;
  plan->flags = flags;
  plan->function = fn;
  plan->owned = ownership::check(s, OwnerEvent::sort, &none_value, s->head(), n);
  if (plan->owned) {
    // The handler may have shortened the series.
    n = std::min(n, get_length(s) - s->head());
    if (n < 0) n = 0;
    n -= n % size;
  }
  plan->n = n;
  return true;
}

void sort_end(Cell* s, const SortPlan& plan) {
  if (plan.owned) ownership::check(s, OwnerEvent::sorted, &none_value, s->head(), plan.n);
}

int32_t map_compare_result(const Cell* r) {
  switch (r->type()) {
    case TypeId::logic:
      return r->logic() ? 1 : -1;
    case TypeId::integer: {
      int32_t v = r->integer();
      return v > 0 ? -1 : v < 0 ? 1 : 0;
    }
    case TypeId::float_:
    case TypeId::percent: {
      double d = r->real();
      return d > 0.0 ? -1 : d < 0.0 ? 1 : 0;
    }
    case TypeId::none:
      return -1;
    default:
      return 1;
  }
}

}  // namespace qel::series
