// The collector. Placeholder until the mark-and-compact collector lands:
// it keeps the interface (roots, callbacks, safe points) and counts cycles.
#include "memory/collector.h"

#include <cstdlib>

namespace qel::collector {

bool active = false;
bool requested = false;
uint64_t cycles = 0;
Root* root_chain = nullptr;

static MarkCallback callbacks[100];
static int callback_count = 0;
static bool in_collection = false;

void collect() {
  in_collection = true;
  requested = false;
  cycles++;
  in_collection = false;
}

bool collecting() { return in_collection; }

void add_mark_callback(MarkCallback cb) {
  if (callback_count < 100) callbacks[callback_count++] = cb;
}

void mark_cells(const Cell*, const Cell*) {}
void mark_cell(const Cell*) {}
void mark_node(Node) {}

Root::Root(const Cell& c) : cell_(c), prev_(root_chain) { root_chain = this; }
Root::Root() : cell_{static_cast<uint32_t>(TypeId::unset), 0, 0, 0}, prev_(root_chain) { root_chain = this; }
Root::~Root() { root_chain = prev_; }

}  // namespace qel::collector
