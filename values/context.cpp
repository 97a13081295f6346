// Contexts: creation, word lookup, the global context, get/set and binding.
//
// Word lookup goes through each context's word table (a hash table keyed by
// the canonical symbol id): one integer probe, no string comparison.
#include "values/context.h"

#include <algorithm>

#include "core/stack.h"
#include "memory/series.h"
#include "datatypes/block.h"
#include "values/datatype.h"
#include "core/errors.h"
#include "memory/root.h"

namespace qel::context {

Node global = 0;
Node global_values = 0;
Cell* global_cells = nullptr;
uint32_t global_count = 0;

void refresh_global_values() {
  SeriesBuffer* vs = memory::series(global_values);
  global_cells = vs->cells();
  global_count = vs->length();
}
SymbolId self_symbol = 0;
FireOnSet fire_on_set = nullptr;
WantsNotice wants_notice = nullptr;

namespace {

inline Cell* words(Node ctx) { return memory::series(words_node(ctx))->cells(); }

inline hashtable::Case table_case(Case c) {
  return c == Case::sensitive ? hashtable::Case::sensitive : hashtable::Case::insensitive;
}

// Appends a word cell for the symbol (sharing `index` when given, else at
// its own position) and, when the context has a values series, an unset!
// value. Returns the word's index.
int32_t append_word(Node ctx, SymbolId sym, int32_t index) {
  int32_t position = -1;
  hashtable::find_or_add_word(word_table(ctx), sym, hashtable::Case::sensitive, ctx, &position);
  if (index < 0) index = position;
  words(ctx)[position].data3 = static_cast<uint32_t>(index);
  Cell* cc = context_cell(ctx);
  if (!on_stack(cc) && cc->data2) {
    append_slot(cc->data2);
    if (ctx == global) refresh_global_values();
  }
  return index;
}

}  // namespace

// --- the context series

uint32_t word_count(Node ctx) { return memory::series(words_node(ctx))->length(); }

Cell* word_cell(Node ctx, int32_t index) { return words(ctx) + index; }

Cell* values(Node ctx) {
  const Cell* cc = context_cell(ctx);
  if (on_stack(cc)) return cc->data2 ? stack::bottom + (cc->data2 - 1) : nullptr;
  return cc->data2 ? memory::series(cc->data2)->cells() : nullptr;
}

namespace {
// The number of value cells reachable from `values(ctx)`.
uint32_t value_room(Node ctx, const Cell* vals) {
  const Cell* cc = context_cell(ctx);
  if (on_stack(cc)) return vals < stack::top ? static_cast<uint32_t>(stack::top - vals) : 0;
  return memory::series(cc->data2)->length();
}
}  // namespace

// --- making

Node create(uint32_t slots, OnStack stack_values, SelfRef self, Node source, Kind k) {
  if (slots == 0) slots = 1;
  Node ctx = memory::alloc_cells(2);
  Node table;
  uint32_t count = 0;
  if (source) {
    table = hashtable::init(0, context_cell(source), hashtable::Kind::symbol, 2);
    Node wn = static_cast<Node>(hashtable::record(table)->blk);
    count = memory::series(wn)->length();
    Cell* w = memory::series(wn)->cells();
    for (uint32_t i = 0; i < count; i++) w[i].data1 = ctx;
  } else {
    table = hashtable::init(static_cast<int32_t>(slots), nullptr, hashtable::Kind::symbol, 0);
  }
  Node vn = 0;
  if (stack_values == OnStack::no) {
    vn = memory::alloc_unset_cells(std::max(slots, count));
    SeriesBuffer* vb = memory::series(vn);
    vb->tail = vb->offset + count * sizeof(Cell);
  }
  SeriesBuffer* cb = memory::series(ctx);
  Cell* cells = reinterpret_cast<Cell*>(cb->data() + cb->offset);
  uint32_t header = static_cast<uint32_t>(TypeId::context) |
                    (static_cast<uint32_t>(k) << kKindShift) |
                    (stack_values == OnStack::yes ? cell_flag::on_stack : 0u) |
                    (self == SelfRef::yes ? cell_flag::self_ctx : 0u);
  cells[0] = Cell{header, table, vn, 0};
  set_unset(cells + 1);
  cb->tail = cb->offset + 2 * sizeof(Cell);
  return ctx;
}

Node make(const Cell* spec, OnStack stack_values, SelfRef self, Kind k) {
  const SeriesBuffer* sb = memory::series(spec->node());
  const int32_t total = static_cast<int32_t>(sb->length());
  const int32_t n = std::max(total - spec->head(), 0);
  Node ctx = create(static_cast<uint32_t>(n), stack_values, self, 0, k);
  for (int32_t i = 0; i < n; i++) {
    const Cell* c = memory::series(spec->node())->cells() + spec->head() + i;
    TypeId t = c->type();
    if (t == TypeId::word || t == TypeId::lit_word || t == TypeId::get_word ||
        t == TypeId::refinement) {
      SymbolId sym = c->symbol();
      if (find_word(ctx, sym, Case::insensitive) < 0) append_word(ctx, sym, -1);
    }
  }
  return ctx;
}

Node clone(Cell* value, Kind k) {
  Node src = value->data1;
  const Cell* sc = context_cell(src);
  Node ctx = create(word_count(src), on_stack(sc) ? OnStack::yes : OnStack::no,
                    sc->has_flag(cell_flag::self_ctx) ? SelfRef::yes : SelfRef::no, src, k);
  value->data1 = ctx;
  return ctx;
}

// --- words

int32_t find_word(Node ctx, SymbolId sym, Case c) {
  int32_t pos = hashtable::find_or_add_word(word_table(ctx), sym, table_case(c), 0, nullptr);
  return pos >= 0 ? words(ctx)[pos].word_index() : -1;
}

int32_t find_or_add_index(Node ctx, SymbolId sym, Case c, int32_t* added) {
  int32_t idx = find_word(ctx, sym, c);
  if (idx >= 0) return idx;
  *added = append_word(ctx, sym, -1);
  return -1;
}

int32_t add_word(Node ctx, const Cell* word) {
  int32_t idx = find_word(ctx, word->symbol(), Case::insensitive);
  return idx >= 0 ? idx : append_word(ctx, word->symbol(), -1);
}

void add_word_value(Node ctx, const Cell* word, const Cell* value) {
  if (find_word(ctx, word->symbol(), Case::insensitive) >= 0) return;
  int32_t idx = append_word(ctx, word->symbol(), -1);
  if (Cell* v = values(ctx); v && !on_stack(context_cell(ctx))) v[idx] = *value;
}

void put_word_value(Node ctx, const Cell* word, const Cell* value) {
  int32_t idx = add_word(ctx, word);
  Cell* v = values(ctx);
  if (v && static_cast<uint32_t>(idx) < value_room(ctx, v)) v[idx] = *value;
}

bool collect_set_words(Node ctx, const Cell* block) {
  const uint32_t before = word_count(ctx);
  const int32_t total = static_cast<int32_t>(memory::series(block->node())->length());
  for (int32_t i = std::max(block->head(), 0); i < total; i++) {
    Cell w = memory::series(block->node())->cells()[i];
    if (w.is(TypeId::set_word)) add_word(ctx, &w);
  }
  return word_count(ctx) > before;
}

// --- the global context

void init() {
  if (global) return;
  global = create(4000, OnStack::no, SelfRef::no, 0, Kind::global);
  global_values = context_cell(global)->data2;
  refresh_global_values();
  memory::watched = {global_values, refresh_global_values};
  Cell keep;
  set_series(&keep, TypeId::block, global);
  root::append(keep);
  self_symbol = symbol::make("self");
}

Cell add_global_word(SymbolId sym, Case c, KeepSpelling keep) {
  int32_t idx = find_word(global, sym, c);
  if (idx >= 0) {
    Cell w{static_cast<uint32_t>(TypeId::word), global, sym, static_cast<uint32_t>(idx)};
    if (keep == KeepSpelling::no) w.data2 = word_cell(global, idx)->symbol();
    return w;
  }
  // A new case variant shares the value slot of the variant added first.
  int32_t shared = -1;
  if (symbol::resolve(sym) != sym) shared = find_word(global, sym, Case::insensitive);
  idx = append_word(global, sym, shared);
  return Cell{static_cast<uint32_t>(TypeId::word), global, sym, static_cast<uint32_t>(idx)};
}

Cell add_global_symbol(SymbolId sym) {
  return add_global_word(sym, Case::sensitive, KeepSpelling::yes);
}

Cell resolve_word(Node ctx, SymbolId sym) {
  if (ctx && ctx != global) {
    int32_t idx = find_word(ctx, sym, Case::sensitive);
    if (idx >= 0) return Cell{static_cast<uint32_t>(TypeId::word), ctx, sym, static_cast<uint32_t>(idx)};
  }
  return add_global_word(sym, Case::sensitive, KeepSpelling::yes);
}

Cell* lookup_value(SymbolId sym, Node ctx) {
  if (!ctx || on_stack(context_cell(ctx))) ctx = global;
  int32_t idx = find_word(ctx, sym, Case::insensitive);
  Cell* v = values(ctx);
  return (idx >= 0 && v) ? v + idx : nullptr;
}

// --- get and set

Cell* get_in(const Cell* word, Node ctx) {
  if (!ctx) fire(ErrorCode::script_not_defined, word);
  const int32_t idx = word->word_index();
  if (idx >= 0) {
    Cell* v = values(ctx);
    if (!v || static_cast<uint32_t>(idx) >= value_room(ctx, v))
      fire(ErrorCode::script_not_in_context, word);
    return v + idx;
  }
  if (symbol::resolve(word->symbol()) == self_symbol) return owner(ctx);
  fire(ErrorCode::script_no_value, word);
}

Cell* set_in(Cell* word, const Cell* value, Node ctx, bool notify) {
  if (!ctx) fire(ErrorCode::script_not_defined, word);
  int32_t idx = word->word_index();
  if (idx < 0) {
    idx = find_word(ctx, word->symbol(), Case::sensitive);
    if (idx < 0) idx = append_word(ctx, word->symbol(), -1);
    word->data3 = static_cast<uint32_t>(idx);
  }
  Cell* v = values(ctx);
  // A word added to a running function's context has no cell in its frame:
  // it is treated as not bound rather than written outside the frame.
  if (!v || static_cast<uint32_t>(idx) >= value_room(ctx, v))
    fire(ErrorCode::script_not_defined, word);
  Cell* slot = v + idx;
  const Cell* cc = context_cell(ctx);
  if (!on_stack(cc) && kind(cc) == Kind::object) {
    word_cell(ctx, idx)->set_flag(cell_flag::assigned);
    Cell* own = owner(ctx);
    if (notify && fire_on_set && wants_notice && wants_notice(own)) {
      Cell* saved_top = stack::top;
      Cell* old = stack::push(slot);
      Cell* neu = stack::push(value);
      *slot = *value;
      Cell w = *word;
      fire_on_set(owner(ctx), &w, old, neu);
      stack::top = saved_top;
      return values(ctx) + idx;
    }
  }
  return copy_cell(value, slot);
}

// --- binding

int32_t bind_word(Node ctx, Cell* word) {
  int32_t idx = find_word(ctx, word->symbol(), Case::insensitive);
  if (idx >= 0) {
    word->data1 = ctx;
    word->data3 = static_cast<uint32_t>(idx);
  }
  return idx;
}

namespace {
// The words a bind has looked up, by symbol (a word repeats often in a body):
// entries of earlier binds are told apart by their generation.
struct BindMemo {
  uint32_t generation;
  SymbolId symbol;
  int32_t index;
};
constexpr uint32_t kBindMemoSize = 256;
BindMemo bind_memo[kBindMemoSize];
uint32_t bind_generation = 0;
}  // namespace

Cell* bind(Cell* block, Node ctx, SelfRef self) {
  if (++bind_generation == 0) {
    for (BindMemo& m : bind_memo) m.generation = 0;
    bind_generation = 1;
  }
  const uint32_t generation = bind_generation;
  // The context gains no word while it binds, so a symbol's index (or its
  // absence) found once holds for the whole walk.
  auto bind_memoized = [&](Cell* c) {
    const SymbolId sym = c->symbol();
    BindMemo& m = bind_memo[sym % kBindMemoSize];
    if (m.generation != generation || m.symbol != sym) m = {generation, sym, bind_word(ctx, c)};
    if (m.index >= 0) {
      c->data1 = ctx;
      c->data3 = static_cast<uint32_t>(m.index);
    }
  };
  // Each list once (shared lists, as a block reduced from itself again and
  // again, were bound once per path to them: exponential).
  block::walk_lists(*block, [&](Cell* c) {
    switch (c->type()) {
      case TypeId::word:
        if (self == SelfRef::yes && symbol::resolve(c->symbol()) == self_symbol) {
          c->data1 = ctx;
          c->data3 = static_cast<uint32_t>(-1);
          break;
        }
        [[fallthrough]];
      case TypeId::set_word:
      case TypeId::lit_word:
      case TypeId::get_word:
      case TypeId::refinement:
        bind_memoized(c);
        break;
      default:
        break;
    }
  });
  return block;
}

void register_() {
  static constexpr ActionRow context_row{};
  datatype::register_type(TypeId::context, TypeId::none_id, "context!", context_row);
}

}  // namespace qel::context
