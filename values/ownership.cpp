// Ownership tracking: the registry of series owned by objects and the hook
// every series modifier calls.
//
// The registry maps a key node (a series buffer's node; a context node for
// an object) to an entry: the owner object's context node and the word of
// the owner's field through which the value is owned. Entries live in a C
// heap array (never series: the registry is weak and must not keep what it
// records alive), indexed through an integer map from key to entry number +
// 1; a map value of 0 is a deleted key. After marking, a sweep callback
// drops the entries whose series or owner died, clears the owned flag of
// series whose owner died, and unbinds a field word whose context died.
//
// An owned series buffer carries series_flag::owned, so `check` on an
// unowned series costs one flag test and no lookup.
//
// An owned series leads to its owner (`reflect s 'owned` answers it and
// every change of the series calls it), so the owner lives as long as the
// series does: the markers of the series types are wrapped to mark the
// owner of an owned buffer too. Without that, what a change notified (and
// what reflect answered) would depend on whether a collection had run
// since the owner's last holder let go of it.
#include "values/ownership.h"

#include "core/cycle_guard.h"
#include "memory/collector.h"
#include "memory/intmap.h"
#include "memory/series.h"
#include "runtime/heap.h"
#include "runtime/startup_slots.h"
#include "values/context.h"
#include "datatypes/object.h"
#include "datatypes/object_events.h"
#include "datatypes/word.h"

namespace qel {

const char* owner_event_name(OwnerEvent e) {
  static constexpr const char* kNames[] = {
#define QEL_X(name, text) text,
      QEL_OWNER_EVENT_LIST(QEL_X)
#undef QEL_X
  };
  return kNames[static_cast<int>(e)];
}

namespace ownership {

namespace {

struct Entry {
  Node key;        // 0: a free entry
  Node owner_ctx;  // the owner object's context
  Cell word;       // the owner's field word (none when not given)
};

int_map::IntMap* map = nullptr;
Entry* entries = nullptr;
uint32_t capacity = 0;
uint32_t used = 0;       // entries handed out (live or free)
uint32_t live = 0;       // live entries
uint32_t dead_keys = 0;  // keys in the map whose value is 0
uint32_t free_head = 0;  // first free entry + 1 (chained through owner_ctx), 0: none
bool sweep_registered = false;

constexpr int kEventCount = static_cast<int>(OwnerEvent::lowercase) + 1;
Cell event_words[kEventCount];
collector::TypeMarker plain_markers[256];

inline bool is_block_like(TypeId t) { return is_any_block(t); }
inline bool is_keyed_series(TypeId t) {
  return is_any_block(t) || is_any_string(t) || t == TypeId::binary || t == TypeId::vector ||
         t == TypeId::image || t == TypeId::bitset;
}

void ensure_init() {
  if (!map) map = int_map::init(1000);
}

Entry* lookup(Node key) {
  if (!map || !key) return nullptr;
  uint32_t* v = int_map::get(map, key);
  if (!v || *v == 0) return nullptr;
  return entries + (*v - 1);
}

void add(Node key, Node owner_ctx, const Cell* word) {
  ensure_init();
  uint32_t index;
  if (free_head) {
    index = free_head - 1;
    free_head = entries[index].owner_ctx;
  } else {
    if (used == capacity) {
      uint32_t grown = capacity ? capacity * 2 : 256;
      entries = static_cast<Entry*>(runtime::realloc(entries, grown * sizeof(Entry)));
      capacity = grown;
    }
    index = used++;
  }
  Entry& e = entries[index];
  e.key = key;
  e.owner_ctx = owner_ctx;
  if (word) {
    e.word = *word;
    e.word.clear_flag(cell_flag::new_line);
  } else {
    set_none(&e.word);
  }
  uint32_t* v = int_map::get(map, key);
  if (v && *v == 0) dead_keys--;
  int_map::put(map, key, index + 1);
  live++;
}

// Rebuilds the map without its deleted keys once they outnumber the live
// ones (the integer map has no removal of its own).
void compact_map() {
  if (dead_keys < 64 || dead_keys < live) return;
  int_map::free(map);
  map = int_map::init(static_cast<int32_t>(live < 1000 ? 1000 : live));
  for (uint32_t i = 0; i < used; i++)
    if (entries[i].key) int_map::put(map, entries[i].key, i + 1);
  dead_keys = 0;
}

void remove(Node key) {
  uint32_t* v = map ? int_map::get(map, key) : nullptr;
  if (!v || *v == 0) return;
  const uint32_t index = *v - 1;
  *v = 0;
  dead_keys++;
  Entry& e = entries[index];
  e.key = 0;
  set_none(&e.word);
  e.owner_ctx = free_head;
  free_head = index + 1;
  live--;
}

const Cell* event_word(OwnerEvent e) {
  Cell& w = event_words[static_cast<int>(e)];
  if (!w.is(TypeId::word)) w = word::load(owner_event_name(e));
  return &w;
}

// Drops the entries whose series or owner died (after marking, before
// anything moves).
void sweep() {
  if (!map) return;
  for (uint32_t i = 0; i < used; i++) {
    Entry& e = entries[i];
    if (!e.key) continue;
    const bool key_alive = collector::is_marked(e.key);
    if (!key_alive || !collector::is_marked(e.owner_ctx)) {
      if (key_alive) memory::series(e.key)->flags &= ~series_flag::owned;
      remove(e.key);
      continue;
    }
    if (is_any_word(e.word.type()) && e.word.context() && !collector::is_marked(e.word.context())) {
      e.word.data1 = 0;
      e.word.data3 = static_cast<uint32_t>(-1);
    }
  }
  compact_map();
}

void record(const Cell* v, Node owner_ctx, const Cell* word) {
  const TypeId t = v->type();
  if (is_keyed_series(t)) {
    const Node key = v->data2;
    if (!key) return;
    SeriesBuffer* s = memory::series(key);
    if (!(s->flags & series_flag::owned) || !lookup(key)) {
      s->flags |= series_flag::owned;
      add(key, owner_ctx, word);
    }
    if (!is_block_like(t) || t == TypeId::bitset || cycle_guard::find(key)) return;
    cycle_guard::Scope guard(key);
    for (int32_t i = v->head() < 0 ? 0 : v->head();; i++) {
      SeriesBuffer* b = memory::series(key);
      if (i >= static_cast<int32_t>(b->length())) break;
      Cell item = b->cells()[i];
      record(&item, owner_ctx, word);
    }
    return;
  }
  if (object::is_object_like(t)) {
    const Node ctx = v->data1;
    if (context::context_cell(ctx)->has_flag(cell_flag::owned) || cycle_guard::find(ctx)) return;
    cycle_guard::Scope guard(ctx);
    const uint32_t n = context::word_count(ctx);
    for (uint32_t i = 0; i < n; i++) {
      Cell item = context::values(ctx)[i];
      if (object::is_object_like(item.type()) && item.data1 == owner_ctx) continue;
      Cell w = *context::word_cell(ctx, static_cast<int32_t>(i));
      w.header = static_cast<uint32_t>(TypeId::word);
      record(&item, owner_ctx, &w);
    }
  }
}

void unbind_value(const Cell* v) {
  const TypeId t = v->type();
  if (is_keyed_series(t)) {
    const Node key = v->data2;
    if (!key) return;
    memory::series(key)->flags &= ~series_flag::owned;
    if (!lookup(key)) return;
    remove(key);
    if (!is_block_like(t)) return;
    // The guard bounds the nesting depth (cycles end on their own: the entry
    // is gone on the second visit).
    cycle_guard::Scope guard(key);
    for (int32_t i = v->head() < 0 ? 0 : v->head();; i++) {
      SeriesBuffer* b = memory::series(key);
      if (i >= static_cast<int32_t>(b->length())) break;
      Cell item = b->cells()[i];
      unbind_value(&item);
    }
    return;
  }
  if (object::is_object_like(t)) {
    const Node ctx = v->data1;
    if (cycle_guard::find(ctx) || context::context_cell(ctx)->has_flag(cell_flag::owned)) return;
    cycle_guard::Scope guard(ctx);
    const uint32_t n = context::word_count(ctx);
    for (uint32_t i = 0; i < n; i++) {
      Cell item = context::values(ctx)[i];
      unbind_value(&item);
    }
  }
}

}  // namespace

// Marks a value of a keyed series type as its type's marker does, then the
// owner of its buffer when it has one.
void mark_owned(const Cell* v) {
  plain_markers[static_cast<uint8_t>(v->type())](v);
  const Node key = v->data2;
  if (!collector::is_marked(key) || !(memory::series(key)->flags & series_flag::owned)) return;
  if (const Entry* e = lookup(key)) collector::mark_context(e->owner_ctx);
}

void init() {
  ensure_init();
  for (Cell& w : event_words) set_unset(&w);
  if (!sweep_registered) {
    collector::add_sweep_callback(sweep);
    sweep_registered = true;
    for (int t = 0; t < 256; t++) {
      const TypeId type = static_cast<TypeId>(t);
      collector::TypeMarker m = collector::type_marker(type);
      if (!m || !is_keyed_series(type) || m == mark_owned) continue;
      plain_markers[t] = m;
      collector::set_type_marker(type, mark_owned);
    }
  }
}

bool check_owner(const Cell* value, OwnerEvent event, const Cell* argument, int32_t index,
                 int32_t part) {
  const TypeId t = value->type();
  Node key;
  if (is_keyed_series(t)) {
    key = value->data2;
    if (!key || !(memory::series(key)->flags & series_flag::owned)) [[likely]]
      return false;
  } else if (object::is_object_like(t)) {
    if (live == 0) return false;
    key = value->data1;
  } else {
    return false;
  }
  const Entry* e = lookup(key);
  if (!e) return false;
  const Cell owner = *context::owner(e->owner_ctx);
  if (!object::is_object_like(owner.type()) || owner.data3 == 0) return false;
  const Cell word = e->word;
  const Cell target = *value;
  object::fire_on_deep_change(&owner, &word, &target, event_word(event), argument, index, part);
  return true;
}

const Cell* find_owner(Node key) {
  const Entry* e = lookup(key);
  if (!e) return nullptr;
  const Cell* owner = context::owner(e->owner_ctx);
  return object::is_object_like(owner->type()) ? owner : nullptr;
}

void set_owner(const Cell* value, const Cell* owner, const Cell* field) {
  if (!object::is_object_like(owner->type())) return;
  const Cell o = *owner;
  Cell w;
  if (field) {
    w = *field;
    if (is_any_word(w.type())) w.set_type(TypeId::word);
  } else {
    set_none(&w);
  }
  record(value, o.data1, &w);
  context::context_cell(o.data1)->set_flag(cell_flag::owned);
}

void unbind(const Cell* value) { unbind_value(value); }

int32_t entry_count() { return static_cast<int32_t>(live); }

}  // namespace ownership
}  // namespace qel
