// The external-resource table: records on a free list and a stored list.
#include "runtime/ext_resource.h"

#include "runtime/fatal.h"
#include "runtime/heap.h"

namespace qel::ext_resource {

namespace {

struct Record {
  uint32_t flags;
  int32_t link;  // next record in its list, or kEnd
  void* object;
};

struct Handler {
  const char* name;
  ReleaseFn release;
};

Handler handlers[kMaxKinds];
int32_t kind_count = 0;

Record* records = nullptr;
int32_t record_capacity = 0;
int32_t free_head = kEnd;
int32_t stored_head = kEnd;
int32_t stored = 0;

// Makes records [from, to) free and chained, the last one ending the list.
void chain_free(int32_t from, int32_t to) {
  for (int32_t i = from; i < to; ++i) {
    records[i].flags = record_flag::free;
    records[i].object = nullptr;
    records[i].link = i + 1 < to ? i + 1 : kEnd;
  }
}

// Doubles the table; the new records follow the free head.
void grow() {
  int32_t old = record_capacity;
  if (old > (1 << 29)) runtime::quit(runtime::fatal_code::out_of_memory, runtime::caller_address());
  records = static_cast<Record*>(runtime::realloc(records, sizeof(Record) * static_cast<size_t>(old) * 2));
  record_capacity = old * 2;
  chain_free(old, record_capacity);
  if (free_head == kEnd)
    free_head = old;
  else
    records[free_head].link = old;
}

bool valid(int32_t index) { return index >= 0 && index < record_capacity; }

void make_free(int32_t index) {
  records[index].flags = record_flag::free;
  records[index].object = nullptr;
  records[index].link = free_head;
  free_head = index;
}

}  // namespace

void init() {
  runtime::free(records);
  kind_count = 0;
  record_capacity = kInitialRecords;
  records = static_cast<Record*>(runtime::alloc(sizeof(Record) * kInitialRecords));
  chain_free(0, record_capacity);
  free_head = 0;
  stored_head = kEnd;
  stored = 0;
}

int32_t register_kind(const char* name, ReleaseFn release_fn) {
  if (kind_count >= kMaxKinds) runtime::quit(runtime::fatal_code::assertion_failed, runtime::caller_address());
  handlers[kind_count] = Handler{name, release_fn};
  return ++kind_count;
}

int32_t store(void* object, int32_t kind) {
  // The last free record is never handed out before the table has grown,
  // so the free list is never empty.
  if (free_head == kEnd || records[free_head].link == kEnd) grow();
  int32_t index = free_head;
  Record& r = records[index];
  free_head = r.link;
  r.flags = static_cast<uint32_t>(kind) & record_flag::kind_mask;
  r.object = object;
  r.link = stored_head;
  stored_head = index;
  ++stored;
  return index;
}

int32_t free(int32_t index, bool release_object) {
  if (!valid(index) || (records[index].flags & record_flag::free)) return kEnd;
  // Find the predecessor on the stored list. The walk stops at the end of
  // the list: an index that is not on it is left alone.
  int32_t prev = kEnd;
  int32_t cur = stored_head;
  while (cur != kEnd && cur != index) {
    prev = cur;
    cur = records[cur].link;
  }
  if (cur == kEnd) return kEnd;
  if (release_object) release(records[index].flags, records[index].object);
  if (prev == kEnd)
    stored_head = records[index].link;
  else
    records[prev].link = records[index].link;
  make_free(index);
  --stored;
  return kEnd;
}

void release(uint32_t flags, void* object) {
  int32_t kind = static_cast<int32_t>(flags & record_flag::kind_mask);
  if (kind > 0 && kind <= kind_count && handlers[kind - 1].release) handlers[kind - 1].release(object);
}

bool mark(int32_t index, void* object) {
  if (!valid(index) || (records[index].flags & record_flag::free)) return false;
  Record& r = records[index];
  bool first = (r.flags & record_flag::marked) == 0;
  r.flags |= record_flag::marked;
  if (object) r.object = object;
  return first;
}

void sweep() {
  int32_t kept = kEnd;
  int32_t cur = stored_head;
  while (cur != kEnd) {
    int32_t next = records[cur].link;
    if (records[cur].flags & record_flag::marked) {
      records[cur].flags &= ~record_flag::marked;
      kept = cur;
    } else {
      release(records[cur].flags, records[cur].object);
      if (kept == kEnd)
        stored_head = next;
      else
        records[kept].link = next;
      make_free(cur);
      --stored;
    }
    cur = next;
  }
}

int32_t capacity() { return record_capacity; }
int32_t stored_count() { return stored; }
uint32_t flags_of(int32_t index) { return valid(index) ? records[index].flags : 0; }
void* object_of(int32_t index) { return valid(index) ? records[index].object : nullptr; }

}  // namespace qel::ext_resource
