// hash!: making and converting hashes, the mold prefix, copying with the
// index, and the index upkeep and lookup behind block!'s find, select and
// put (see datatypes/hash.h for the scheme).
#include "datatypes/hash.h"

#include <algorithm>
#include <iterator>

#include "core/stack.h"
#include "memory/hashtable.h"
#include "values/actions.h"
#include "datatypes/block.h"
#include "core/errors.h"
#include "datatypes/integer.h"
#include "datatypes/series.h"
#include "datatypes/string.h"

namespace qel::hash {

namespace {

using hashtable::Direction;

// A table made for the block, with nothing indexed yet.
Node new_table(Node block, int32_t size) {
  Cell at_tail{static_cast<uint32_t>(TypeId::block), 0, block, 0};
  at_tail.set_head(static_cast<int32_t>(memory::series(block)->length()));
  // Indexing starts at the head given, which stands at the tail.
  return hashtable::init(std::max(size, 1), &at_tail, hashtable::Kind::hash, 0);
}

// True when the cell's table indexes the cell's own block (a hash! that got
// a new buffer, or was made without an index, has none that fits).
bool table_fits(const Cell* h) {
  Node t = h->data3;
  if (t == kNoNode || !memory::is_live_node(t)) return false;
  const hashtable::Record* r = hashtable::record(t);
  return r->kind == static_cast<int32_t>(hashtable::Kind::hash) && static_cast<Node>(r->blk) == h->node();
}

void attach(Cell* h) { h->data3 = new_table(h->node(), std::max(block::total_cells(h), 1)); }

// Indexing a cell costs a few times what comparing it in a scan does. So a
// lookup that finds many cells past the indexed prefix scans instead, until
// the cells scanned since the last change reach kIndexCost times the cells
// to index: a hash that changes between every lookup then costs what a block
// does, and one looked up often is indexed after a few scans. A handful of
// small catch-ups (the cells appended since the last lookup) are always
// made at once.
constexpr int64_t kIndexCost = 4;
constexpr int32_t kSmallCatchUp = 64;

// Cells scanned since the last change, for the few tables used last.
struct Budget {
  Node table;
  int64_t scanned;
};
Budget budgets[8];
uint32_t next_budget = 0;

Budget& budget_of(Node t) {
  for (Budget& b : budgets)
    if (b.table == t) return b;
  Budget& b = budgets[next_budget++ % std::size(budgets)];
  b = Budget{t, 0};
  return b;
}

void forget_budget(Node t) {
  for (Budget& b : budgets)
    if (b.table == t) b.scanned = 0;
}

// Indexes the cells past the indexed prefix, or answers false when a scan
// is cheaper for now.
bool catch_up(const Cell* h) {
  Node t = h->data3;
  int32_t total = block::total_cells(h);
  int32_t done = hashtable::indexed_count(t);
  if (done > total) {
    hashtable::reset_index(t, total);
    done = 0;
  }
  int32_t pending = total - done;
  if (pending == 0) return true;
  if (pending > kSmallCatchUp) {
    Budget& b = budget_of(t);
    if (b.scanned < kIndexCost * pending) {
      b.scanned += total;
      return false;
    }
  }
  hashtable::put_all(t, done, 1);
  return true;
}

// Value types whose equality under find, /case and /same agrees with their
// hash, so that the table finds every match a scan would.
bool served(TypeId t) {
  switch (t) {
    case TypeId::none: case TypeId::unset: case TypeId::logic: case TypeId::integer:
    case TypeId::char_: case TypeId::word: case TypeId::set_word: case TypeId::lit_word:
    case TypeId::get_word: case TypeId::refinement: case TypeId::issue: case TypeId::string:
    case TypeId::file: case TypeId::url: case TypeId::tag: case TypeId::email: case TypeId::ref:
    case TypeId::binary: case TypeId::float_: case TypeId::percent: case TypeId::time:
    case TypeId::handle:
      return true;
    default:
      return false;
  }
}

bool word_family(TypeId t) { return t >= TypeId::word && t <= TypeId::refinement; }

// The best matching position for the key, also under the spellings that
// the operation counts as equal: the word kinds and refinement! are one
// another's equals for find, and so are the two zeros of a double.
int32_t best_match(const Cell* h, const Cell* value, int32_t from, int32_t step, CompareOp op,
                   Direction dir) {
  Node t = h->data3;
  int32_t best = -1;
  auto try_key = [&](const Cell& key) {
    Cell* c = hashtable::get(t, &key, from, step, op, dir);
    if (!c) return;
    int32_t p = static_cast<int32_t>(c - block::first_cell(h));
    if (best < 0 || (dir == Direction::forward ? p < best : p > best)) best = p;
  };
  Cell key = *value;
  TypeId vt = key.type();
  if (op == CompareOp::find && word_family(vt)) {
    for (TypeId w : {TypeId::word, TypeId::set_word, TypeId::lit_word, TypeId::get_word, TypeId::refinement}) {
      key.set_type(w);
      try_key(key);
    }
  } else if ((vt == TypeId::float_ || vt == TypeId::percent || vt == TypeId::time) && key.real() == 0.0 &&
             op != CompareOp::same) {
    key.set_real(0.0);
    try_key(key);
    key.set_real(-0.0);
    try_key(key);
  } else {
    try_key(key);
  }
  return best;
}

}  // namespace

Cell* make_over(Cell* cell, Node block, int32_t head, int32_t size) {
  *cell = Cell{static_cast<uint32_t>(TypeId::hash), static_cast<uint32_t>(head), block, 0};
  cell->data3 = new_table(block, size);
  return cell;
}

// --- index upkeep ------------------------------------------------------------------

void resync(const Cell* series) {
  // The one cell a hash! without a fitting index reaches is the value in
  // hand (a hash handed out by `take`, or one given a new buffer): it gets
  // its own index here.
  Cell* h = const_cast<Cell*>(series);
  if (!table_fits(h)) {
    attach(h);
    return;
  }
  hashtable::reset_index(h->data3, block::total_cells(h));
  forget_budget(h->data3);
}

void appended(const Cell* series, int32_t) {
  // Cells added at the tail lie past the indexed prefix: the next lookup
  // indexes them.
  if (!table_fits(series)) resync(series);
}

int32_t find_index(Cell* series, Cell* value, const FindArgs& args) {
  if (!table_fits(series)) return block::kScanInstead;
  if (args.match || !served(value->type())) return block::kScanInstead;
  int32_t total = block::total_cells(series);
  if (total == 0) return -1;
  int32_t head = std::max(series->head(), 0);
  if (!args.reverse && head >= total) return -1;
  head = std::min(head, total);

  int32_t step = 1;
  if (args.skip) {
    // The scan raises the errors of a bad skip.
    if (!args.skip->is(TypeId::integer) || args.skip->integer() < 1) return block::kScanInstead;
    step = args.skip->integer();
    // Backward record starts are counted from the head: the scan finds them.
    if (step > 1 && (args.last || args.reverse)) return block::kScanInstead;
  }
  // The cells searched, as the scan counts them: before the head for
  // /reverse, from the head for the others.
  int64_t n = args.reverse ? head : total - head;
  if (args.part) {
    if (!args.part->is(TypeId::integer)) return block::kScanInstead;
    if (args.part->integer() < 1) return -1;
    n = std::min<int64_t>(n, args.part->integer());
  }
  CompareOp op = args.same ? CompareOp::same : args.case_ ? CompareOp::strict_equal : CompareOp::find;

  Direction dir = Direction::forward;
  int64_t from = head;
  int64_t lowest = head, highest = int64_t{head} + n - 1;  // the positions a match may take
  if (args.last || args.reverse) {
    // Backward from `highest`: positions highest, highest - step ... down to 0.
    if (args.reverse) {
      lowest = head - n;
      highest = int64_t{head} - 1;
    }
    if (highest < lowest) return -1;
    dir = Direction::reverse;
    from = highest + 1;
  }
  if (!catch_up(series)) return block::kScanInstead;
  int32_t found = best_match(series, value, static_cast<int32_t>(from), step, op, dir);
  if (found < lowest || found > highest) return -1;
  if (args.tail) found = std::min(found + (dir == Direction::forward ? step : 1), total);
  return found;
}

// --- actions ---------------------------------------------------------------------

Cell* make(Cell* proto, Cell* spec, TypeId type) {
  TypeId st = spec->type();
  if (st == TypeId::integer || st == TypeId::float_) {
    int32_t n;
    if (st == TypeId::integer) {
      n = spec->integer();
    } else {
      if (integer::float_overflow(spec->real())) fire(ErrorCode::script_out_of_range, spec);
      n = static_cast<int32_t>(spec->real());
    }
    // A negative size is refused, as make map! refuses it.
    if (n < 0) fire(ErrorCode::script_out_of_range, spec);
    n = std::max(n, 1);
    Cell* result = stack::push_slot();
    return make_over(result, memory::alloc_cells(static_cast<uint64_t>(n)), 0, n);
  }
  if (st == TypeId::block) {
    Cell* result = stack::push_slot();
    block::clone_into(spec, result, block::Deep::no, block::AnyBlock::no);
    return make_over(result, result->node(), 0, std::max(block::total_cells(result), 1));
  }
  if (st == TypeId::hash) {
    Cell* result = stack::push_slot();
    set_unset(result);
    return copy(spec, result, nullptr, false, nullptr);
  }
  return to(proto, spec, type);
}

Cell* to(Cell* proto, Cell* spec, TypeId) {
  if (spec->is(TypeId::hash)) {
    Cell* result = stack::push_slot();
    set_unset(result);
    return copy(spec, result, nullptr, false, nullptr);
  }
  Cell* result = block::to(proto, spec, TypeId::block);
  uint32_t flags = result->flags();
  make_over(result, result->node(), result->head(), std::max(block::total_cells(result), 1));
  result->header |= flags;
  return result;
}

int32_t mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* part, int32_t limit,
             int32_t indent) {
  if (!only) limit = string::emit(buffer, "make hash! ", limit);
  return block::mold(value, buffer, only, all, flat, part, limit, indent);
}

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
  Cell src = *value;
  bool whole = src.head() == 0 && !part && !deep && !types;
  block::copy(&src, result, part, deep, types);
  result->set_type(TypeId::hash);
  if (whole && table_fits(&src) && hashtable::indexed_count(src.data3) <= block::total_cells(result)) {
    // The same cells at the same positions: the index is copied, not rebuilt.
    result->data3 = hashtable::copy(src.data3, result->node());
  } else {
    result->data3 = new_table(result->node(), std::max(block::total_cells(result), 1));
  }
  return result;
}

Cell* sort(Cell* series, const SortArgs& args) {
  Cell* result = block::sort(series, args);
  resync(series);
  return result;
}

Cell* trim(Cell* series, const TrimArgs& args) {
  Cell* result = block::trim(series, args);
  resync(series);
  return result;
}

void install_table_hooks() {
  hashtable::compare = [](const Cell* stored, const Cell* key, CompareOp op) {
    Cell a = *stored, b = *key;
    return actions::compare(&a, &b, op);
  };
  hashtable::fold_case = string::fold;
  // random/seed of a series seeds with the hash of its bytes.
  series::seed_hash = [](const uint8_t* bytes, uint32_t length) { return hashtable::murmur3(bytes, length); };
}

void register_() {
  static const ActionRow row{
      .make = make,
      .random = unsupported,
      .to = to,
      .mold = mold,
      .copy = copy,
      .sort = sort,
      .trim = trim,
  };
  datatype::register_type(TypeId::hash, TypeId::block, "hash!", row);
  install_table_hooks();
  block::hash_resync = resync;
  block::hash_append_resync = appended;
  block::hash_find_index = find_index;
}

}  // namespace qel::hash
