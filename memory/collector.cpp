// The collector: marking from the roots through the type markers with an
// explicit mark stack, the sweep callbacks for weak tables, then compaction
// of the series frames, the big-buffer sweep and the return of dead nodes
// (memory/series.cpp does those three).
#include "memory/collector.h"

#include <chrono>
#include <vector>

#include "memory/hashtable.h"
#include "memory/series.h"
#include "memory/series_gc.h"
#include "runtime/startup_slots.h"
#include "core/unwind.h"
#include "core/errors.h"

namespace qel::collector {

bool active = false;
bool requested = false;
uint64_t cycles = 0;
Root* root_chain = nullptr;
LastCollection last{};

namespace {

constexpr int kMaxCallbacks = 100;
MarkCallback callbacks[kMaxCallbacks];
int callback_count = 0;
constexpr int kMaxSweeps = 16;
SweepCallback sweeps[kMaxSweeps];
int sweep_count = 0;

bool in_collection = false;
uint64_t made_at_collection = 0;  // memory::buffers_made() when the last collection ended

// Block nodes whose cells are still to be marked.
std::vector<Node> mark_stack;

TypeMarker markers[256];

inline SeriesBuffer* buffer_of(Node n) { return memory::node_table[n]; }

void mark_word(const Cell* c) { mark_context(c->data1); }
void mark_block_value(const Cell* c) { mark_block(c->data2); }
void mark_text(const Cell* c) {
  mark_series(c->data2);
  mark_series(c->data3);
}
void mark_buffer(const Cell* c) { mark_series(c->data2); }
void mark_symbol(const Cell* c) {
  mark_series(c->data3);
  mark_series(c->data2);
}
void mark_object(const Cell* c) {
  mark_context(c->data1);
  mark_series(c->data3);
}
void mark_context_cell(const Cell* c) {
  hashtable::mark(c->data1);
  if (!c->has_flag(cell_flag::on_stack)) mark_block(c->data2);
}
void mark_keyed(const Cell* c) {
  mark_block(c->data2);
  hashtable::mark(c->data3);
}
void mark_function(const Cell* c) {
  mark_context(c->data1);
  mark_block(c->data2);
  mark_block(c->data3);
}
void mark_native(const Cell* c) {
  mark_block(c->data2);
  mark_block(c->data3);
}
void mark_op(const Cell* c) {
  mark_native(c);
  uint32_t wrapped = (c->header >> 16) & 0xFF;
  if (wrapped == static_cast<uint32_t>(TypeId::function) || wrapped == static_cast<uint32_t>(TypeId::routine))
    mark_context(c->data1);
}
void mark_event(const Cell* c) {
  if (c->has_flag(0x1000)) mark_block(c->data2);
}

struct DefaultMarkers {
  DefaultMarkers() {
    auto set = [](TypeId t, TypeMarker m) { markers[static_cast<uint8_t>(t)] = m; };
    for (TypeId t : {TypeId::word, TypeId::set_word, TypeId::lit_word, TypeId::get_word,
                     TypeId::refinement, TypeId::issue})
      set(t, mark_word);
    for (TypeId t : {TypeId::block, TypeId::paren, TypeId::path, TypeId::lit_path, TypeId::set_path,
                     TypeId::get_path})
      set(t, mark_block_value);
    for (TypeId t : {TypeId::string, TypeId::file, TypeId::url, TypeId::tag, TypeId::email, TypeId::ref})
      set(t, mark_text);
    for (TypeId t : {TypeId::bitset, TypeId::vector, TypeId::binary, TypeId::image}) set(t, mark_buffer);
    set(TypeId::symbol, mark_symbol);
    for (TypeId t : {TypeId::object, TypeId::error, TypeId::port}) set(t, mark_object);
    set(TypeId::context, mark_context_cell);
    set(TypeId::hash, mark_keyed);
    set(TypeId::map, mark_keyed);
    set(TypeId::function, mark_function);
    set(TypeId::routine, mark_function);
    set(TypeId::native, mark_native);
    set(TypeId::action, mark_native);
    set(TypeId::op, mark_op);
    set(TypeId::event, mark_event);
  }
};
const DefaultMarkers default_markers;

inline void mark_one(const Cell* c) {
  if (TypeMarker m = markers[c->header & 0xFF]) m(c);
}

void drain() {
  while (!mark_stack.empty()) {
    Node n = mark_stack.back();
    mark_stack.pop_back();
    SeriesBuffer* s = buffer_of(n);
    const Cell* c = s->cells();
    const Cell* end = s->cell_tail();
    for (; c < end; ++c) mark_one(c);
  }
}

void mark_roots() {
  mark_block(memory::root_block);
  drain();
  for (Root* r = root_chain; r; r = r->prev()) {
    mark_one(r->get());
    drain();
  }
  mark_one(&unwind::thrown_value);
  drain();
  for (int i = 0; i < callback_count; i++) {
    if (!callbacks[i]) continue;
    callbacks[i]();
    drain();
  }
}

struct InCollection {
  InCollection() { in_collection = true; }
  ~InCollection() {
    in_collection = false;
    mark_stack.clear();
  }
};

}  // namespace

bool mark_series(Node n) {
  if (!memory::gc::node_in_use(n)) return false;
  SeriesBuffer* s = buffer_of(n);
  if (s->flags & series_flag::mark) return false;
  s->flags |= series_flag::mark;
  return true;
}

void mark_block(Node n) {
  if (mark_series(n) && buffer_of(n)->unit() == sizeof(Cell)) mark_stack.push_back(n);
}

void mark_context(Node n) { mark_block(n); }
void mark_node(Node n) { mark_block(n); }

void mark_cells(const Cell* first, const Cell* end) {
  for (; first < end; ++first) mark_one(first);
}

void mark_cell(const Cell* c) { mark_one(c); }

bool is_marked(Node n) {
  return memory::gc::node_in_use(n) && (buffer_of(n)->flags & series_flag::mark) != 0;
}

void unmark_series(Node n) {
  if (memory::gc::node_in_use(n)) buffer_of(n)->flags &= ~series_flag::mark;
}

void set_type_marker(TypeId type, TypeMarker marker) { markers[static_cast<uint8_t>(type)] = marker; }
TypeMarker type_marker(TypeId type) { return markers[static_cast<uint8_t>(type)]; }

void collect() {
  if (in_collection) return;
  memory::init();
  auto started = std::chrono::steady_clock::now();
  uint64_t nodes_before = memory::stats().live_nodes;
  {
    InCollection guard;
    mark_roots();
    for (int i = 0; i < sweep_count; i++) sweeps[i]();
    uint64_t live = memory::gc::compact_frames();
    live += memory::gc::sweep_big_buffers();
    memory::gc::finish(live);
    last.live_bytes = live;
  }
  requested = false;
  made_at_collection = memory::buffers_made();
  cycles++;
  last.freed_nodes = nodes_before - memory::stats().live_nodes;
  last.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

bool collecting() { return in_collection; }

bool stress_entry_due() { return memory::buffers_made() != made_at_collection; }

void init() {
  memory::init();
  cycles = 0;
  requested = false;
  active = true;
}

void add_mark_callback(MarkCallback cb) {
  for (int i = 0; i < callback_count; i++) {
    if (!callbacks[i]) {
      callbacks[i] = cb;
      return;
    }
  }
  // A callback that found no slot would leave its values unmarked and let
  // them be freed under it: refuse loudly instead.
  if (callback_count == kMaxCallbacks) fire(ErrorCode::internal_limit_hit);
  callbacks[callback_count++] = cb;
}

void remove_mark_callback(MarkCallback cb) {
  for (int i = 0; i < callback_count; i++)
    if (callbacks[i] == cb) callbacks[i] = nullptr;
}

void add_sweep_callback(SweepCallback cb) {
  if (sweep_count == kMaxSweeps) fire(ErrorCode::internal_limit_hit);
  sweeps[sweep_count++] = cb;
}

Root::Root(const Cell& c) : cell_(c), prev_(root_chain) { root_chain = this; }
Root::Root(Node n)
    : cell_{static_cast<uint32_t>(TypeId::block), 0, n, 0}, prev_(root_chain) {
  root_chain = this;
}
Root::Root() : cell_{static_cast<uint32_t>(TypeId::unset), 0, 0, 0}, prev_(root_chain) { root_chain = this; }
Root::~Root() { root_chain = prev_; }

}  // namespace qel::collector
