// Heap blocks over malloc, linked in one list of live blocks.
#include "runtime/heap.h"

#include <cstdlib>
#include <cstring>

#include "runtime/fatal.h"

namespace qel::runtime {

namespace {

// The header before every block; 32 bytes keep the caller's bytes 16-aligned.
struct alignas(16) BlockHeader {
  BlockHeader* prev;
  BlockHeader* next;
  size_t size;
  size_t unused;
};
static_assert(sizeof(BlockHeader) == 32);

struct {
  BlockHeader* first = nullptr;
  BlockHeader* last = nullptr;
  size_t count = 0;
} heap_list;

BlockHeader* header_of(void* address) { return static_cast<BlockHeader*>(address) - 1; }

void link_last(BlockHeader* b) {
  b->prev = heap_list.last;
  b->next = nullptr;
  if (heap_list.last)
    heap_list.last->next = b;
  else
    heap_list.first = b;
  heap_list.last = b;
  ++heap_list.count;
}

void unlink(BlockHeader* b) {
  if (b->prev)
    b->prev->next = b->next;
  else
    heap_list.first = b->next;
  if (b->next)
    b->next->prev = b->prev;
  else
    heap_list.last = b->prev;
  --heap_list.count;
}

// True when `b` is on the live list. Recent blocks are freed most often, so
// the walk starts at the newest.
bool on_list(const BlockHeader* b) {
  for (const BlockHeader* p = heap_list.last; p; p = p->prev)
    if (p == b) return true;
  return false;
}

bool total_size(size_t size, size_t& total) {
  return !__builtin_add_overflow(size, sizeof(BlockHeader), &total);
}

}  // namespace

void* alloc(size_t size) {
  size_t total;
  void* raw = total_size(size, total) ? std::malloc(total) : nullptr;
  if (!raw) quit(fatal_code::out_of_memory, caller_address());
  auto* b = static_cast<BlockHeader*>(raw);
  b->size = size;
  b->unused = 0;
  link_last(b);
  return b + 1;
}

void* alloc_zeroed(size_t size) {
  size_t total;
  void* raw = total_size(size, total) ? std::calloc(1, total) : nullptr;
  if (!raw) quit(fatal_code::out_of_memory, caller_address());
  auto* b = static_cast<BlockHeader*>(raw);
  b->size = size;
  link_last(b);
  return b + 1;
}

void* realloc(void* address, size_t new_size) {
  if (!address) return alloc(new_size);
  if (new_size == 0) {
    free(address);
    return nullptr;
  }
  BlockHeader* old = header_of(address);
  if (!on_list(old)) return nullptr;
  size_t total;
  void* raw = total_size(new_size, total) ? std::realloc(old, total) : nullptr;
  if (!raw) quit(fatal_code::out_of_memory, caller_address());
  auto* b = static_cast<BlockHeader*>(raw);
  b->size = new_size;
  // The block keeps its place in the list (its header moved with it); its
  // neighbours point at it anew.
  if (b->prev)
    b->prev->next = b;
  else
    heap_list.first = b;
  if (b->next)
    b->next->prev = b;
  else
    heap_list.last = b;
  return b + 1;
}

void free(void* address) {
  if (!address) return;
  BlockHeader* b = header_of(address);
  if (!on_list(b)) return;
  unlink(b);
  std::free(b);
}

void free_all() {
  BlockHeader* b = heap_list.first;
  while (b) {
    BlockHeader* next = b->next;
    std::free(b);
    b = next;
  }
  heap_list.first = heap_list.last = nullptr;
  heap_list.count = 0;
}

size_t live_blocks() { return heap_list.count; }

}  // namespace qel::runtime
