// block! actions: find, select, put, sort, append/insert, change and the
// set operations.
//
// `find` is a linear scan with a tight loop for integer! values (no action
// dispatch for integer cells). `sort` sorts cells in place with the memory
// sorts, except with a function comparator: the comparator runs Qel code, so
// the cells are sorted through a snapshot and an index array that no
// collection can move, and written back afterwards. When every compared
// value is a text of one type (the common sort of words and lines), the
// records are sorted as keys: each text's first characters packed in 64
// bits, compared as one integer, the characters read only when two keys
// are equal; the same algorithm on the same answers gives the same order.
//
// A comparator's result is read the same way for blocks and strings: true
// is 1 and false -1, an integer is negated, a float above 0.0 gives -1 and
// below 0.0 gives 1, none gives -1. The arguments are pushed b first and a
// second, so a comparator answering `x - y` sorts like one answering `x < y`.
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/stack.h"
#include "memory/collector.h"
#include "memory/hashtable.h"
#include "text/sort.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/logic.h"
#include "values/ownership.h"
#include "datatypes/series.h"
#include "datatypes/string.h"

namespace qel::block {

namespace {

inline Cell* cell_at(Node node, int32_t i) { return memory::series(node)->cells() + i; }

[[noreturn]] void no_memory() { fire(ErrorCode::internal_no_memory); }

using RecordCompare = int32_t (*)(const void* x, const void* y, const void* context);

// Sorts `n` records of `width` bytes in place: stable (the merge sort) or
// not (the quicksort).
void sort_records(void* base, size_t n, size_t width, const void* context, RecordCompare cmp,
                  bool stable) {
  if (stable)
    memory::mergesort(base, n, width, context, cmp);
  else
    memory::qsort(base, n, width, context, cmp);
}

// Whether the typeset's bit for a type is set (most significant bit first
// in each byte).
bool typeset_has(const Cell* ts, TypeId t) {
  uint32_t id = static_cast<uint32_t>(t);
  const uint8_t* bits = reinterpret_cast<const uint8_t*>(&ts->data1);
  return (bits[id >> 3] >> (7 - (id & 7))) & 1;
}

}  // namespace

// --- find, select, put ---------------------------------------------------------

int32_t (*hash_find_index)(Cell* series, Cell* value, const FindArgs& args) = nullptr;

int32_t find_index(Cell* series, Cell* value, const FindArgs& args) {
  if (hash_find_index && series->is(TypeId::hash)) {
    int32_t at = hash_find_index(series, value, args);
    if (at != kScanInstead) return at;
  }
  int32_t total = total_cells(series);
  if (total == 0) return -1;
  int32_t head = series->head();
  if (head < 0) head = 0;
  if (!args.reverse && head >= total) return -1;
  if (head > total) head = total;

  int32_t step = 1;
  if (args.skip) {
    if (!args.skip->is(TypeId::integer)) series::fire_invalid_refine("skip", args.skip);
    step = args.skip->integer();
    if (step < 1) fire(ErrorCode::script_out_of_range, args.skip);
  }

  // The cells searched: /part counts them from the head, backwards (those
  // before the head) for /reverse, forwards for the others.
  bool has_part = args.part != nullptr;
  int64_t n = args.reverse ? head : total - head;
  if (has_part) {
    int64_t count;
    if (args.part->is(TypeId::integer)) {
      count = args.part->integer();
    } else {
      if (args.part->type() != series->type() || args.part->node() != series->node())
        series::fire_invalid_refine("part", args.part);
      // A position limit excludes the cell it stands on, as for every other
      // action's /part.
      count = int64_t{args.part->head()} - head;
    }
    if (count < 1) return -1;
    n = std::min(n, count);
  }

  TypeId vt = value->type();
  bool by_type = !args.only && vt == TypeId::datatype;
  bool by_set = !args.only && vt == TypeId::typeset;
  int32_t k = 0;
  if (!args.only && is_any_block(vt)) {
    k = rs_length_q(value);
    if (k <= 0) return -1;  // an empty sequence matches nothing
  }
  CompareOp op = args.same ? CompareOp::same : args.case_ ? CompareOp::strict_equal : CompareOp::find;

  int64_t start, bound;
  int32_t dir;
  int32_t width = k > 0 ? k : 1;
  if (args.last) {
    start = (has_part ? head + n : total) - width;
    dir = -1;
    bound = head;
  } else if (args.reverse) {
    start = int64_t{head} - width;
    dir = -1;
    bound = head - n;
  } else {
    start = head;
    dir = 1;
    bound = head + n;  // exclusive end of the positions tried
  }
  if (dir < 0 && start < bound) return -1;
  // Records of /skip begin at the head: a backward search starts at the
  // last record that begins at or before its first position, so that it
  // compares the same cells a forward search would.
  if (dir < 0 && step > 1) {
    const int64_t d = start - head;
    start = head + (d >= 0 ? d / step : -((-d + step - 1) / step)) * step;
  }

  Node node = series->node();
  Node vnode = k > 0 ? value->node() : 0;
  int32_t vhead = k > 0 ? value->head() : 0;
  int64_t found = -1;

  if (k == 0 && !by_type && !by_set && vt == TypeId::integer &&
      (op == CompareOp::find || op == CompareOp::strict_equal)) {
    // The common case: integers compared without dispatch.
    uint32_t want = value->data3;
    for (int64_t p = start; dir > 0 ? p < bound : p >= bound; p += int64_t{dir} * step) {
      Cell* c = cell_at(node, static_cast<int32_t>(p));
      bool hit = c->is(TypeId::integer) ? c->data3 == want : actions::compare(c, value, op);
      if (hit) {
        found = p;
        break;
      }
      if (args.match) break;
    }
  } else {
    for (int64_t p = start; dir > 0 ? p < bound : p >= bound; p += int64_t{dir} * step) {
      bool hit;
      if (k > 0) {
        int64_t limit = dir > 0 ? bound : total;
        hit = p + k <= limit && p + k <= total;
        for (int32_t i = 0; hit && i < k; i++) {
          Cell a = *cell_at(node, static_cast<int32_t>(p) + i);
          Cell b = *cell_at(vnode, vhead + i);
          hit = actions::compare(&a, &b, op);
        }
      } else {
        Cell* c = cell_at(node, static_cast<int32_t>(p));
        if (by_type)
          hit = c->type() == datatype::named(value);
        else if (by_set)
          hit = typeset_has(value, c->type());
        else
          hit = actions::compare(c, value, op);
      }
      if (hit) {
        found = p;
        break;
      }
      if (args.match) break;
    }
  }
  if (found < 0) return -1;
  if (args.tail) {
    found += k > 0 ? k : (dir > 0 ? step : 1);
    if (found > total) found = total;
  }
  return static_cast<int32_t>(found);
}

Cell* find(Cell* series, Cell* value, const FindArgs& args) {
  int32_t at = find_index(series, value, args);
  Cell* result = stack::push(series);
  if (at < 0)
    set_none(result);
  else
    result->set_head(at);
  return result;
}

Cell* select(Cell* series, Cell* value, const FindArgs& args) {
  FindArgs a = args;
  a.tail = false;
  a.match = false;
  int32_t at = find_index(series, value, a);
  Cell* result = stack::push_slot();
  set_none(result);
  if (at < 0) return result;
  TypeId vt = value->type();
  int32_t skip = 1;
  if (!args.only && (vt == TypeId::block || vt == TypeId::paren || is_any_path(vt))) skip = rs_length_q(value);
  int64_t pos = int64_t{at} + skip;
  if (pos < total_cells(series)) *result = *cell_at(series->node(), static_cast<int32_t>(pos));
  return result;
}

Cell* put(Cell* series, Cell* key, Cell* value, bool case_) {
  // The key is one value, as it is appended when missing: a block key is not
  // a sequence of items and a datatype key is not a type to match.
  FindArgs args;
  args.only = true;
  args.case_ = case_;
  int32_t at = find_index(series, key, args);
  Cell v = *value;
  if (at < 0) {
    ownership::check(series, OwnerEvent::put, &v, std::max(rs_length_q(series), 0), 1);
    Cell k = *key;
    rs_append(series, &k);
    rs_append(series, &v);
    if (series->is(TypeId::hash)) hash_appended(series, 2);
    return value;
  }
  bool owned = ownership::check(series, OwnerEvent::put, &v, at + 1, 1);
  int32_t total = total_cells(series);
  if (at + 1 < total) {
    Cell* c = cell_at(series->node(), at + 1);
    if (actions::compare_values(c, &v, CompareOp::find) != 0) *c = v;
  } else {
    rs_append(series, &v);
  }
  if (series->is(TypeId::hash)) hash_changed(series);
  if (owned) ownership::check(series, OwnerEvent::put_ed, &v, at + 1, 1);
  return value;
}

// --- sort ----------------------------------------------------------------------

int32_t sort_compare(const Cell* a, const Cell* b, CompareOp op, uint32_t flags) {
  if (flags & 1) std::swap(a, b);
  int32_t cells = 1;
  if (flags & 2) {
    cells = static_cast<int32_t>(flags >> 2);
  } else {
    a += flags >> 2;
    b += flags >> 2;
  }
  for (int32_t i = 0; i < cells; i++) {
    Cell x = a[i], y = b[i];
    action_fn::compare fn = datatype::row(x.type()).compare;
    int32_t r = fn ? fn(&x, &y, op) : kNotComparable;
    if (r == kNotComparable) r = static_cast<int32_t>(x.type()) - static_cast<int32_t>(y.type());
    if (r != 0) return r;
  }
  return 0;
}

namespace {

struct CellSortContext {
  CompareOp op;
  uint32_t flags;
};

int32_t cell_comparator(const void* x, const void* y, const void* context) {
  const auto* c = static_cast<const CellSortContext*>(context);
  return sort_compare(static_cast<const Cell*>(x), static_cast<const Cell*>(y), c->op, c->flags);
}

// Sorting with a Qel function: the records are compared through a snapshot
// block (kept alive by a root) and an index array on the C++ heap, so a
// collection run by the comparator moves nothing the sort holds.
struct CallSortContext {
  Cell* snapshot;   // the records, in their original order
  Cell* function;
  Cell* record_a;   // with /all: blocks that carry whole records
  Cell* record_b;
  int32_t size;     // cells per record
  uint32_t flags;
};

void fill_record(Cell* rec, Node from, int32_t first, int32_t size) {
  rs_clear_from(rec, 0);
  rec->set_head(0);
  for (int32_t i = 0; i < size; i++) {
    Cell c = *cell_at(from, first + i);
    rs_append(rec, &c);
  }
}

int32_t call_comparator(const void* x, const void* y, const void* context) {
  const auto* c = static_cast<const CallSortContext*>(context);
  int32_t ia = *static_cast<const int32_t*>(x) * c->size;
  int32_t ib = *static_cast<const int32_t*>(y) * c->size;
  Node node = c->snapshot->node();
  Cell a, b;
  if (c->flags & 2) {
    fill_record(c->record_a, node, ia, c->size);
    fill_record(c->record_b, node, ib, c->size);
    a = *c->record_a;
    b = *c->record_b;
  } else {
    a = *cell_at(node, ia);
    b = *cell_at(node, ib);
  }
  Cell fn = *c->function;
  Cell* top = stack::top;  // each call leaves its result: drop it again
  Cell* r = (c->flags & 1) ? call_compare_function(&fn, &a, &b) : call_compare_function(&fn, &b, &a);
  Cell answer = *r;
  stack::top = top;
  return series::map_compare_result(&answer);
}

void sort_with_function(Cell* series, int32_t n, int32_t size, Cell* fn, uint32_t flags, bool stable) {
  if (!call_compare_function) fire(ErrorCode::internal_not_done);
  int32_t records = n / size;
  int32_t head = series->head();
  collector::Root snapshot;
  make_at(snapshot.get(), n);
  std::memcpy(first_cell(snapshot.get()), cell_at(series->node(), head), size_t(n) << 4);
  buffer(snapshot.get())->tail += uint32_t(n) << 4;
  collector::Root function(*fn);
  collector::Root rec_a, rec_b;
  make_at(rec_a.get(), size);
  make_at(rec_b.get(), size);
  std::vector<int32_t> order(static_cast<size_t>(records));
  for (int32_t i = 0; i < records; i++) order[size_t(i)] = i;
  CallSortContext ctx{snapshot.get(), function.get(), rec_a.get(), rec_b.get(), size, flags};
  sort_records(order.data(), static_cast<size_t>(records), sizeof(int32_t), &ctx, call_comparator, stable);
  // The comparator may have changed the series: write back only what still
  // fits between its head and its tail.
  if (int64_t{series->head()} + n > total_cells(series) || series->head() < 0) return;
  Cell* out = cell_at(series->node(), series->head());
  Node snap = snapshot->node();
  for (int32_t r = 0; r < records; r++)
    std::memcpy(out + size_t(r) * size, cell_at(snap, order[size_t(r)] * size), size_t(size) << 4);
}

// A record of the text sort: the compared text's prefix key, its characters
// (raw: nothing runs during the sort that could move a buffer), its length
// with the unit's log2 in the top two bits, and the record's index.
struct TextRecord {
  uint64_t key;
  const uint8_t* chars;
  uint32_t length_unit;
  uint32_t index;
};
static_assert(sizeof(TextRecord) == 24);

struct TextSortContext {
  bool fold;
  bool reverse;
};

int32_t text_comparator(const void* x, const void* y, const void* context) {
  const auto* c = static_cast<const TextSortContext*>(context);
  const auto* a = static_cast<const TextRecord*>(x);
  const auto* b = static_cast<const TextRecord*>(y);
  if (c->reverse) std::swap(a, b);
  if (a->key != b->key) return a->key < b->key ? -1 : 1;
  return string::compare_chars(a->chars, 1u << (a->length_unit >> 30), int32_t(a->length_unit & 0x3FFFFFFF),
                               b->chars, 1u << (b->length_unit >> 30), int32_t(b->length_unit & 0x3FFFFFFF),
                               c->fold);
}

// Sorts the records at the head by text keys when the value compared in
// every record is a text of one type that compares as text; answers false
// (having changed nothing) otherwise.
bool sort_texts(Cell* series, int32_t n, int32_t size, uint32_t flags, bool case_, bool stable) {
  if ((flags & 2) && size != 1) return false;
  const int32_t offset = (flags & 2) ? 0 : int32_t(flags >> 2);
  const size_t records = size_t(n / size);
  const Cell* cells = cell_at(series->node(), series->head());
  const TypeId type = cells[offset].type();
  if (!is_any_string(type) || datatype::row(type).compare != string::compare) return false;
  std::vector<TextRecord> recs(records);
  for (size_t r = 0; r < records; r++) {
    const Cell& c = cells[r * size_t(size) + size_t(offset)];
    if (c.type() != type) return false;
    SeriesBuffer* b = buffer(&c);
    const int32_t head = std::max(c.head(), 0);
    const int32_t len = std::max(string::buffer_length(b) - head, 0);
    if (len > 0x3FFFFFFF) return false;
    const uint32_t unit = b->unit();
    const uint8_t* chars = len > 0 ? string::char_at(b, head) : nullptr;
    recs[r] = TextRecord{len > 0 ? string::sort_key(chars, unit, len, !case_) : 0, chars,
                         uint32_t(len) | (string::unit_shift(unit) << 30), uint32_t(r)};
  }
  TextSortContext ctx{!case_, (flags & 1) != 0};
  sort_records(recs.data(), records, sizeof(TextRecord), &ctx, text_comparator, stable);
  std::vector<Cell> before(cells, cells + size_t(n));
  Cell* out = cell_at(series->node(), series->head());
  for (size_t r = 0; r < records; r++)
    std::memcpy(out + r * size_t(size), before.data() + size_t(recs[r].index) * size_t(size),
                size_t(size) << 4);
  return true;
}

}  // namespace

Cell* sort(Cell* series, const SortArgs& args) {
  if (series->head() < 0) series->set_head(0);
  series::SortPlan plan;
  if (!series::sort_begin(series, args, rs_length_q(series), &plan)) return series;
  if (plan.n > 0) {
    if (plan.function) {
      sort_with_function(series, plan.n, plan.size, plan.function, plan.flags, args.stable);
    } else if (!sort_texts(series, plan.n, plan.size, plan.flags, args.case_, args.stable)) {
      CellSortContext ctx{args.case_ ? CompareOp::case_sort : CompareOp::sort, plan.flags};
      Cell* base = cell_at(series->node(), series->head());
      size_t records = static_cast<size_t>(plan.n / plan.size), width = size_t(plan.size) << 4;
      sort_records(base, records, width, &ctx, cell_comparator, args.stable);
    }
    if (series->is(TypeId::hash)) hash_changed(series);
  }
  series::sort_end(series, plan);
  return series;
}

// --- append, insert, change ---------------------------------------------------

namespace {

// The cells to insert: a private copy when they come from the target's own
// buffer (which moves or shifts while the target changes). The copy is a
// block held by a root: an owner's handler runs before the cells are
// written, and may remove from the target the only other references to the
// series and objects in them.
struct Source {
  const Cell* cells;
  int32_t count;
  collector::Root copy;
  bool copied = false;
  Cell single;
};

// Copies the source's `count` cells of `value` from its head into the
// private block.
void copy_source(Source& src, const Cell* value) {
  make_at(src.copy.get(), src.count);
  const Cell* from = first_cell(value) + (value->head() > 0 ? value->head() : 0);
  std::memcpy(first_cell(src.copy.get()), from, size_t(src.count) << 4);
  buffer(src.copy.get())->tail += uint32_t(src.count) << 4;
  src.copied = true;
  src.cells = first_cell(src.copy.get());
}

void take_source(Source& src, Cell* target, Cell* value, bool only) {
  if (is_any_block(value->type()) && !only) {
    int32_t n = rs_length_q(value);
    src.count = n > 0 ? n : 0;
    if (value->node() == target->node())
      copy_source(src, value);
    else
      src.cells = first_cell(value) + (value->head() > 0 ? value->head() : 0);
  } else {
    src.single = *value;
    src.cells = &src.single;
    src.count = 1;
  }
}

// Re-reads the source's cells after the target may have moved or a
// collection may have run: a copy or a source in another buffer is read
// through its node.
const Cell* source_cells(Source& src, const Cell* value) {
  if (src.cells == &src.single) return src.cells;
  if (src.copied) return first_cell(src.copy.get());
  return first_cell(value) + (value->head() > 0 ? value->head() : 0);
}

// Writes `count` cells then repeats them until `total` cells are written.
void write_repeated(Cell* at, const Cell* cells, int32_t count, int64_t total) {
  std::memcpy(at, cells, size_t(count) << 4);
  int64_t done = count;
  while (done < total) {
    int64_t chunk = std::min(done, total - done);
    std::memcpy(at + done, at, size_t(chunk) << 4);
    done += chunk;
  }
}

}  // namespace

Cell* append(Cell* series, Cell* value, int32_t part, bool only, int32_t dup, bool at_tail) {
  if (at_tail && dup == 1 && (only || !is_any_block(value->type()))) {
    // One value at the tail: the common case, amortised by doubling.
    Cell v = *value;
    bool owned = ownership::check(series, OwnerEvent::append, &v, total_cells(series), 1);
    SeriesBuffer* s = buffer(series);
    if (uint64_t{s->tail} + 16 > s->size) s = memory::expand_series(s, uint64_t{s->tail - s->offset + 16} * 2);
    *reinterpret_cast<Cell*>(s->tail_ptr()) = v;
    s->tail += 16;
    if (series->is(TypeId::hash)) hash_appended(series, 1);
    if (owned) ownership::check(series, OwnerEvent::appended, &v, total_cells(series) - 1, 1);
    series->set_head(0);
    return series;
  }
  Source src;
  take_source(src, series, value, only);
  if (src.count == 0) return series;
  int32_t count = src.count;
  if (part >= 0 && part < count) count = part;
  if (dup < 1) dup = 1;
  int64_t total = int64_t{count} * dup;
  if (total > INT32_MAX) no_memory();

  int32_t cells = total_cells(series);
  if (series->head() > cells) series->set_head(cells);
  bool owned = at_tail ? ownership::check(series, OwnerEvent::append, value, cells, static_cast<int32_t>(total))
                       : ownership::check(series, OwnerEvent::insert, value, series->head(), static_cast<int32_t>(total));
  if (owned) {
    // The handler may have changed the target or the value.
    cells = total_cells(series);
    if (series->head() > cells) series->set_head(cells);
    if (src.cells != &src.single && !src.copied) {
      int32_t n = std::max(rs_length_q(value), 0);
      count = std::min(count, n);
      total = int64_t{count} * dup;
    }
  }
  int32_t head = std::max(series->head(), 0);
  bool tail_insert = at_tail || head >= cells;
  int32_t at = tail_insert ? cells : head;

  SeriesBuffer* s = buffer(series);
  uint64_t need = uint64_t{s->tail} + (uint64_t(total) << 4);
  if (need > 0x7FFFFFF0u) no_memory();
  if (need > s->size) {
    uint64_t used = uint64_t{s->tail - s->offset} + (uint64_t(total) << 4);
    s = memory::expand_series(s, dup < 5 ? used * 2 : used);
  }
  Cell* p = s->cells() + at;
  if (!tail_insert) std::memmove(p + total, p, size_t(cells - at) << 4);
  if (total > 0) write_repeated(p, source_cells(src, value), count, total);
  s->tail += static_cast<uint32_t>(total) << 4;
  if (series->is(TypeId::hash)) {
    if (tail_insert)
      hash_appended(series, static_cast<int32_t>(total));
    else
      hash_changed(series);
  }
  if (owned)
    ownership::check(series, at_tail ? OwnerEvent::appended : OwnerEvent::inserted, value, at,
                     static_cast<int32_t>(total));
  if (at_tail) {
    series->set_head(0);
  } else {
    int64_t h = int64_t{head} + total;
    int32_t t = total_cells(series);
    series->set_head(h > t ? t : static_cast<int32_t>(h));
  }
  return series;
}

Cell* change(Cell* series, Cell* value, int32_t part, bool only, int32_t dup) {
  int32_t cells = total_cells(series);
  if (series->head() > cells) series->set_head(cells);
  if (series->head() < 0) series->set_head(0);
  int32_t rest = cells - series->head();
  Source src;
  take_source(src, series, value, only);
  if (dup < 1) dup = 1;
  int64_t written = int64_t{src.count} * dup;
  if (written > INT32_MAX) no_memory();
  int64_t replaced = part >= 0 ? std::min<int64_t>(part, rest) : std::min<int64_t>(written, rest);
  bool owned = ownership::check(series, OwnerEvent::change, value, series->head(),
                                static_cast<int32_t>(part >= 0 ? std::min<int64_t>(part, rest) : replaced));
  if (owned) {
    cells = total_cells(series);
    if (series->head() > cells) series->set_head(cells);
    if (series->head() < 0) series->set_head(0);
    rest = cells - series->head();
    replaced = std::min<int64_t>(replaced, rest);
    if (src.cells != &src.single && !src.copied) {
      src.count = std::min(src.count, std::max(rs_length_q(value), 0));
      written = int64_t{src.count} * dup;
    }
  }
  // A source in the target's buffer is already copied; take a private copy
  // of one in another buffer too before the target moves anything (no Qel
  // code runs from here on, so plain memory will do).
  std::vector<Cell> own;
  if (src.cells != &src.single && !src.copied) {
    const Cell* from = source_cells(src, value);
    own.assign(from, from + src.count);
    src.cells = own.data();
  } else {
    src.cells = source_cells(src, value);
  }
  int32_t head = series->head();
  int64_t new_cells = int64_t{cells} + written - replaced;
  if ((uint64_t(new_cells) << 4) + buffer(series)->offset > 0x7FFFFFF0u) no_memory();
  SeriesBuffer* s = buffer(series);
  if ((uint64_t(new_cells) << 4) + s->offset > s->size) s = memory::expand_series(s, (uint64_t(new_cells) << 4) * 2);
  Cell* base = s->cells();
  if (written != replaced) {
    std::memmove(base + head + written, base + head + replaced, size_t(cells - head - replaced) << 4);
  }
  s->tail = s->offset + (static_cast<uint32_t>(new_cells) << 4);
  if (written > 0) write_repeated(base + head, src.cells, src.count, written);
  if (series->is(TypeId::hash)) hash_changed(series);
  if (owned) ownership::check(series, OwnerEvent::changed, value, head, static_cast<int32_t>(written));
  int64_t h = int64_t{head} + written;
  series->set_head(h > new_cells ? static_cast<int32_t>(new_cells) : static_cast<int32_t>(h));
  return series;
}

// --- set operations --------------------------------------------------------------

namespace {

// Membership in a series through a hash table over it (built once per
// pass); a value that is itself a block is searched for with find/only.
class Members {
 public:
  Members(Cell* series, bool case_) : series_(series), case_(case_) {
    table_ = hashtable::init(std::max(rs_length_q(series), 1), series, hashtable::Kind::hash, 0);
  }
  bool holds(const Cell* value) const {
    Cell v = *value;
    if (is_any_block(v.type())) {
      FindArgs args;
      args.only = true;
      args.case_ = case_;
      return find_index(series_, &v, args) >= 0;
    }
    CompareOp op = case_ ? CompareOp::strict_equal : CompareOp::equal;
    return hashtable::get(table_, &v, std::max(series_->head(), 0), 1, op) != nullptr;
  }
  // Indexes the cell just appended at the tail of the series.
  void added() {
    hashtable::put(table_, rs_tail(series_) - 1);
  }

 private:
  Cell* series_;
  bool case_;
  Node table_;
};

// Appends the records of `from` whose first cell passes `keep` and is not in
// the result yet.
template <class Keep>
void set_pass(Cell* result, Members& in_result, Cell* from, int32_t r, Keep keep) {
  Node node = from->node();
  int32_t head = std::max(from->head(), 0);
  // 64-bit positions: a record size near the largest integer must not wrap.
  for (int64_t i = head; i < total_cells(from); i += r) {
    Cell first = *cell_at(node, static_cast<int32_t>(i));
    if (!keep(&first)) continue;
    if (in_result.holds(&first)) continue;
    const int64_t end = std::min<int64_t>(i + r, total_cells(from));
    for (int64_t j = i; j < end; j++) {
      Cell c = *cell_at(node, static_cast<int32_t>(j));
      rs_append(result, &c);
      in_result.added();
    }
  }
}

}  // namespace

Cell* do_set_op(bool case_, Cell* skip, MathOp op) {
  Cell* a1 = stack::arguments;
  Cell* a2 = stack::arguments + 1;
  int32_t r = 1;
  if (skip) {
    r = skip->is(TypeId::integer) ? skip->integer() : 0;
    if (r < 1) series::fire_invalid_refine("skip", skip);
  }
  bool two = op != MathOp::unique;
  rs_head(a1);
  if (two) rs_head(a2);
  int64_t cap = std::max(rs_length_q(a1), 0);
  if (op == MathOp::union_) cap += std::max(rs_length_q(a2), 0);
  if (cap < 1) cap = 1;
  if (cap > INT32_MAX) no_memory();
  Cell* result = push_only(static_cast<int32_t>(cap));
  Members in_result(result, case_);
  auto all = [](Cell*) { return true; };
  switch (op) {
    case MathOp::unique:
      set_pass(result, in_result, a1, r, all);
      break;
    case MathOp::union_:
      set_pass(result, in_result, a1, r, all);
      set_pass(result, in_result, a2, r, all);
      break;
    case MathOp::intersect: {
      Members in2(a2, case_);
      set_pass(result, in_result, a1, r, [&](Cell* c) { return in2.holds(c); });
      break;
    }
    case MathOp::exclude: {
      Members in2(a2, case_);
      set_pass(result, in_result, a1, r, [&](Cell* c) { return !in2.holds(c); });
      break;
    }
    case MathOp::difference: {
      Members in2(a2, case_);
      set_pass(result, in_result, a1, r, [&](Cell* c) { return !in2.holds(c); });
      Members in1(a1, case_);
      set_pass(result, in_result, a2, r, [&](Cell* c) { return !in1.holds(c); });
      break;
    }
    default:
      actions::bad_code();
  }
  Cell* target = (op == MathOp::union_ || op == MathOp::difference) ? a2 : a1;
  target->set_node(result->node());
  target->set_head(0);
  stack::pop(1);
  if (target->is(TypeId::hash)) hash_changed(target);
  return target;
}

}  // namespace qel::block
