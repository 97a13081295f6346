// The hash table: records, probing, the five kinds, growth and rehashing,
// hash! chains and index maintenance, symbols and context words, and the
// collector's marking and sweeping of tables.
//
// Allocation never collects, so a Record* or array pointer stays valid while
// other series are allocated; only the series that grows moves. Anything that
// calls the comparison hook (which may one day run Qel code) re-reads the
// backing block afterwards, and rebuilds hold the collector off.
#include "memory/hashtable.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "memory/collector.h"
#include "memory/series.h"

namespace qel::hashtable {

CompareFn compare = default_compare;
FoldFn fold_case = [](uint32_t cp) -> uint32_t { return cp >= 'a' && cp <= 'z' ? cp - 32 : cp; };
ResolveFn resolve_symbol = [](uint32_t symbol) { return symbol; };
HashFn hash_other = nullptr;
PrepareKeyFn prepare_key = nullptr;
uint32_t seed = 0x51ED270B;

namespace {

constexpr double kLoad = 0.77;
constexpr int32_t kShiftLimit = 30000;

// --- arrays of a record ----------------------------------------------------

// A bucket: its state and hash bits, and its key slot, side by side, so a
// probe reads one array and compares the cell of a key only when the hash
// bits agree. tag 0 is empty, 1 deleted; a live bucket holds the key's
// hash with the top bit set (the low 31 bits of the hash: every bucket
// index fits in them, so a table grows without reading a key).
struct Bucket {
  uint32_t tag;
  int32_t slot;
};
static_assert(sizeof(Bucket) == 8, "a bucket is 8 bytes");
constexpr uint32_t kEmpty = 0;
constexpr uint32_t kDeleted = 1;
constexpr uint32_t kLive = 0x80000000u;
inline uint32_t tag_of(uint32_t hash) { return hash | kLive; }
inline bool is_live(uint32_t tag) { return tag >= kLive; }

inline SeriesBuffer* buf(int32_t node) { return memory::series(static_cast<Node>(node)); }
inline Bucket* buckets(const Record* r) { return reinterpret_cast<Bucket*>(buf(r->keys)->head_ptr()); }
inline Cell* block_cells(const Record* r) { return buf(r->blk)->cells(); }
inline int32_t block_length(const Record* r) { return static_cast<int32_t>(buf(r->blk)->length()); }

// A bucket array of `count` buckets, all empty.
Node new_buckets(int32_t count) {
  uint32_t bytes = static_cast<uint32_t>(count) * sizeof(Bucket);
  Node n = memory::alloc_bytes_filled(bytes, 0);
  memory::series(n)->tail = bytes;
  return n;
}

void reset_buckets(Record* r) {
  SeriesBuffer* s = buf(r->keys);
  std::memset(s->data(), 0, s->size);
}

// Starts the probes of the next few hashes' buckets on their way into the
// cache (bulk indexing works on several keys at once).
inline void prefetch(const Bucket* b) { __builtin_prefetch(b, 1); }

int32_t bound_for(int32_t buckets) { return static_cast<int32_t>(buckets * kLoad); }

// --- hash! positions --------------------------------------------------------

// The bucket + 1 of a position (0: not indexed).
int32_t index_of(const Record* r, int32_t pos) {
  SeriesBuffer* s = buf(r->indexes);
  if (pos < 0 || static_cast<uint64_t>(pos) * 4 >= s->tail) return 0;
  return reinterpret_cast<int32_t*>(s->head_ptr())[pos] + 1;
}

// Records the bucket of a position, growing the array (new items -1).
void set_index(Record* r, int32_t pos, int32_t bucket) {
  SeriesBuffer* s = buf(r->indexes);
  uint64_t need = (static_cast<uint64_t>(pos) + 1) * 4;
  if (need > s->tail) {
    uint32_t old_tail = s->tail;
    if (need > s->size) {
      s = memory::ensure_room(s, need - s->tail);
      old_tail = s->tail;
    }
    std::memset(s->data() + old_tail, 0xFF, need - old_tail);
    s->tail = static_cast<uint32_t>(need);
  }
  reinterpret_cast<int32_t*>(s->head_ptr())[pos] = bucket;
}

void reset_indexes(Record* r) {
  SeriesBuffer* s = buf(r->indexes);
  std::memset(s->data(), 0xFF, s->size);
  s->tail = s->offset;
}

// Chain k (1-based) of the chains list.
SeriesBuffer* chain(const Record* r, int32_t k) {
  Node n = reinterpret_cast<Node*>(buf(r->chains)->head_ptr())[k - 1];
  return memory::series(n);
}
inline int32_t* chain_items(SeriesBuffer* c) { return reinterpret_cast<int32_t*>(c->head_ptr()); }
inline int32_t chain_count(SeriesBuffer* c) { return static_cast<int32_t>(c->used_bytes() / 4); }

// The position of the first cell of a bucket's slot.
int32_t first_position(const Record* r, int32_t slot) {
  if (slot >= 0) return slot;
  return chain_items(chain(r, -slot))[0];
}

void append_int(Node series, int32_t v) {
  std::memcpy(memory::reserve_tail(series, 4), &v, 4);
}

// --- types ----------------------------------------------------------------

bool identity_keyed(TypeId t) {
  switch (t) {
    case TypeId::block: case TypeId::paren: case TypeId::native: case TypeId::action:
    case TypeId::op: case TypeId::function: case TypeId::path: case TypeId::lit_path:
    case TypeId::set_path: case TypeId::get_path: case TypeId::object: case TypeId::error:
    case TypeId::hash: case TypeId::map: case TypeId::port: case TypeId::image:
    case TypeId::event:
      return true;
    default:
      return false;
  }
}

inline uint8_t ascii_lower(uint8_t b) { return b >= 'A' && b <= 'Z' ? b | 0x60 : b; }

}  // namespace

// --- MurmurHash3 x86_32 -------------------------------------------------------

uint32_t murmur3_bytes(const uint8_t* p, size_t len, bool lower) {
  uint32_t h = seed;
  size_t blocks = len / 4;
  for (size_t i = 0; i < blocks; i++) {
    uint8_t b[4];
    for (int j = 0; j < 4; j++) b[j] = lower ? ascii_lower(p[4 * i + j]) : p[4 * i + j];
    h = mix_block(h, uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24);
  }
  const uint8_t* tail = p + blocks * 4;
  uint32_t k = 0;
  switch (len & 3) {
    case 3: k ^= uint32_t{lower ? ascii_lower(tail[2]) : tail[2]} << 16; [[fallthrough]];
    case 2: k ^= uint32_t{lower ? ascii_lower(tail[1]) : tail[1]} << 8; [[fallthrough]];
    case 1:
      k ^= lower ? ascii_lower(tail[0]) : tail[0];
      k *= 0xcc9e2d51;
      k = rotl(k, 15);
      k *= 0x1b873593;
      h ^= k;
  }
  h ^= static_cast<uint32_t>(len);
  return mix_int(h);
}

// A symbol's name: the bytes of its name series (data3).
bool symbol_name(const Cell* sym, const uint8_t** bytes, uint32_t* len) {
  if (!memory::is_live_node(sym->data3)) return false;
  SeriesBuffer* s = memory::series(sym->data3);
  *bytes = s->head_ptr();
  *len = s->used_bytes();
  return true;
}

namespace {

// The first empty bucket of a hash's probe (for placing into fresh arrays).
uint32_t first_empty(const Bucket* bk, uint32_t mask, uint32_t h) {
  uint32_t i = h & mask;
  for (uint32_t step = 1; bk[i].tag != kEmpty; step++) i = (i + step) & mask;
  return i;
}

// Moves every live bucket to a fresh array of `count` buckets by its hash
// bits (no key is read); calls moved(slot, new bucket) for each.
template <typename Moved>
void move_buckets(Record* r, int32_t count, Moved moved) {
  Node nk = new_buckets(count);
  const Bucket* old = buckets(r);
  Bucket* bk = reinterpret_cast<Bucket*>(memory::series(nk)->head_ptr());
  uint32_t mask = static_cast<uint32_t>(count) - 1;
  int32_t placed = 0;
  for (int32_t j = 0; j < r->n_buckets; j++) {
    if (!is_live(old[j].tag)) continue;
    uint32_t i = first_empty(bk, mask, old[j].tag);
    bk[i] = old[j];
    moved(old[j].slot, static_cast<int32_t>(i));
    placed++;
  }
  r->keys = static_cast<int32_t>(nk);
  r->n_buckets = count;
  r->upper_bound = static_cast<int32_t>(count * kLoad + 0.5);
  r->n_occupied = placed;
}

// Moves every live key to a fresh array of `request` buckets (rounded to a
// power of two). Kinds map and symbol; hash! uses grow_hash.
void resize(Record* r, int32_t request) {
  int32_t b = std::max(next_power_of_2(request), 4);
  int32_t bound = static_cast<int32_t>(b * kLoad + 0.5);
  if (r->size >= bound) return;
  move_buckets(r, b, [](int32_t, int32_t) {});
}

int32_t grow_request(const Record* r) {
  return r->size * 2 < r->n_buckets ? r->n_buckets - 1 : r->n_buckets + 1;
}

// --- integer kinds ------------------------------------------------------------

inline int32_t entry_size(const Record* r) { return r->indexes; }
inline Cell* entry_at(const Record* r, int32_t offset) {
  return reinterpret_cast<Cell*>(buf(r->blk)->head_ptr() + offset);
}

// The bucket of a live key, or -1.
int32_t find_int(const Record* r, int32_t key) {
  const Bucket* bk = buckets(r);
  uint32_t mask = static_cast<uint32_t>(r->n_buckets) - 1;
  uint32_t h = mix_int(static_cast<uint32_t>(key)), tag = tag_of(h);
  uint32_t i = h & mask, i0 = i;
  for (uint32_t step = 1;; step++) {
    uint32_t t = bk[i].tag;
    if (t == kEmpty) return -1;
    if (t == tag && static_cast<int32_t>(entry_at(r, bk[i].slot)->data1) == key) return static_cast<int32_t>(i);
    i = (i + step) & mask;
    if (i == i0) return -1;
  }
}

void rebuild_int(Node table, int32_t request) {
  collector::Hold hold;
  Record* r = record(table);
  int32_t b = std::max(next_power_of_2(request), 4);
  int32_t esize = entry_size(r);
  Node old_blk = static_cast<Node>(r->blk);
  Node nk = new_buckets(b);
  Node nb = memory::alloc_cells(static_cast<uint64_t>(std::max(r->size, 1)) * (esize / sizeof(Cell)));
  Bucket* bk = reinterpret_cast<Bucket*>(memory::series(nk)->head_ptr());
  SeriesBuffer* ob = memory::series(old_blk);
  uint32_t mask = static_cast<uint32_t>(b) - 1;
  int32_t count = 0;
  for (uint32_t off = ob->offset; off + esize <= ob->tail; off += esize) {
    const Cell* e = reinterpret_cast<const Cell*>(ob->data() + off);
    if (!e->is(TypeId::unset)) continue;
    uint8_t* dst = memory::reserve_tail(nb, static_cast<uint64_t>(esize));
    std::memcpy(dst, e, esize);
    uint32_t h = mix_int(e->data1);
    uint32_t i = first_empty(bk, mask, h);
    bk[i] = Bucket{tag_of(h), static_cast<int32_t>(dst - memory::series(nb)->head_ptr())};
    count++;
  }
  r->keys = static_cast<int32_t>(nk);
  r->blk = static_cast<int32_t>(nb);
  r->n_buckets = b;
  r->upper_bound = static_cast<int32_t>(b * kLoad + 0.5);
  r->size = r->n_occupied = count;
}

// --- hash! deletion and position remapping -------------------------------------

// Takes one position out of a hash! index.
void delete_position(Record* r, int32_t pos) {
  int32_t b = index_of(r, pos) - 1;
  if (b < 0) return;
  set_index(r, pos, -1);
  Bucket* bk = buckets(r);
  int32_t slot = bk[b].slot;
  if (slot < 0) {
    SeriesBuffer* c = chain(r, -slot);
    int32_t* items = chain_items(c);
    int32_t n = chain_count(c);
    int32_t at = static_cast<int32_t>(std::find(items, items + n, pos) - items);
    if (at == n) return;
    std::memmove(items + at, items + at + 1, static_cast<size_t>(n - at - 1) * 4);
    c->tail -= 4;
    if (n > 1) return;
    reinterpret_cast<Node*>(buf(r->chains)->head_ptr())[-slot - 1] = 0;
  } else if (slot != pos) {
    return;
  }
  bk[b] = Bucket{kDeleted, 0};
  r->size--;
}

// Renames the positions in [lo, hi) through `to` in the key slots and
// chains, each bucket and chain once; the position -> bucket array is left
// to the caller.
template <typename Map>
void remap_slots(Record* r, int32_t lo, int32_t hi, Map to) {
  Bucket* bk = buckets(r);
  // One flag per chain of the list: each chain is renamed once.
  std::vector<bool> done_chains(buf(r->chains)->used_bytes() / 4);
  for (int32_t p = lo; p < hi; p++) {
    int32_t b = index_of(r, p) - 1;
    if (b < 0) continue;
    int32_t slot = bk[b].slot;
    if (slot >= 0) {
      if (slot == p) bk[b].slot = to(p);
      continue;
    }
    if (done_chains[static_cast<size_t>(-slot - 1)]) continue;
    done_chains[static_cast<size_t>(-slot - 1)] = true;
    SeriesBuffer* c = chain(r, -slot);
    int32_t* items = chain_items(c);
    for (int32_t i = 0, n = chain_count(c); i < n; i++)
      if (items[i] >= lo && items[i] < hi) items[i] = to(items[i]);
  }
}

// The position -> bucket array, made to cover `covered` positions.
int32_t* index_items(Record* r, int32_t covered) {
  if (covered > 0 && static_cast<uint64_t>(covered) * 4 > buf(r->indexes)->tail) set_index(r, covered - 1, -1);
  return reinterpret_cast<int32_t*>(buf(r->indexes)->head_ptr());
}

// Moves a hash! index to a fresh array of `request` buckets (rounded to a
// power of two) by the stored hash bits, and points the positions of each
// moved bucket at its new place: linear in the table, reading no cell.
void grow_hash(Record* r, int32_t request) {
  int32_t count = std::max(next_power_of_2(request), 4);
  if (r->size >= static_cast<int32_t>(count * kLoad + 0.5)) count *= 2;
  int32_t* index = reinterpret_cast<int32_t*>(buf(r->indexes)->head_ptr());
  int32_t indexed = static_cast<int32_t>(buf(r->indexes)->used_bytes() / 4);
  const Record* rr = r;
  move_buckets(r, count, [&](int32_t slot, int32_t to) {
    if (slot >= 0) {
      if (slot < indexed) index[slot] = to;
      return;
    }
    SeriesBuffer* c = chain(rr, -slot);
    const int32_t* items = chain_items(c);
    for (int32_t k = 0, n = chain_count(c); k < n; k++)
      if (items[k] >= 0 && items[k] < indexed) index[items[k]] = to;
  });
}

// Indexes one cell of the backing block whose hash is `h` (kinds hash and
// map; the table has room).
Cell* insert_hashed(Node table, Cell* cell, uint32_t h) {
  Record* r = record(table);
  Kind kind = static_cast<Kind>(r->kind);
  if (kind == Kind::hash && r->node_stamp == 0 && identity_keyed(cell->type())) r->node_stamp = 1;
  int32_t pos = static_cast<int32_t>(cell - block_cells(r));
  uint32_t tag = tag_of(h);
  uint32_t mask = static_cast<uint32_t>(r->n_buckets) - 1;
  uint32_t i = h & mask, i0 = i;
  int32_t deleted = -1, target = -1;
  bool match = false;
  for (uint32_t step = 1;; step++) {
    uint32_t t = buckets(r)[i].tag;
    if (t == kEmpty) {
      target = deleted >= 0 ? deleted : static_cast<int32_t>(i);
      break;
    }
    if (t == kDeleted) {
      if (deleted < 0) deleted = static_cast<int32_t>(i);
    } else if (t == tag && kind == Kind::hash) {
      int32_t slot = buckets(r)[i].slot;
      const Cell* first = block_cells(r) + first_position(r, slot);
      if (first->type() == cell->type() && compare(first, cell, CompareOp::equal)) {
        r = record(table);  // the comparison may have run Qel code
        slot = buckets(r)[i].slot;
        if (slot >= 0) {
          Node c = memory::alloc_bytes(16);
          append_int(c, slot);
          std::memcpy(memory::reserve_tail(static_cast<Node>(r->chains), 4), &c, 4);
          slot = -static_cast<int32_t>(buf(r->chains)->used_bytes() / 4);
          buckets(r)[i].slot = slot;
        }
        Node c = reinterpret_cast<Node*>(buf(r->chains)->head_ptr())[-slot - 1];
        append_int(c, pos);
        set_index(r, pos, static_cast<int32_t>(i));
        return cell;
      }
    } else if (t == tag && kind == Kind::map) {
      const Cell* stored = block_cells(r) + buckets(r)[i].slot;
      if (stored->type() == cell->type() && compare(stored, cell, CompareOp::strict_equal)) {
        target = static_cast<int32_t>(i);
        match = true;
        break;
      }
    }
    r = record(table);
    i = (i + step) & mask;
    if (i == i0) {
      target = deleted;
      break;
    }
  }
  r = record(table);
  if (target < 0) {
    // A full circle without a free bucket cannot happen below the load
    // bound; grow and try again rather than lose the key.
    if (kind == Kind::hash)
      grow_hash(r, r->n_buckets + 1);
    else
      resize(r, r->n_buckets + 1);
    return insert_hashed(table, cell, h);
  }
  if (!match) {
    Bucket& b = buckets(r)[target];
    if (b.tag == kEmpty) r->n_occupied++;
    b = Bucket{tag, pos};
    r->size++;
  }
  if (kind == Kind::hash) set_index(r, pos, target);
  return cell;
}

}  // namespace

// --- public ------------------------------------------------------------------------

Record* record(Node table) { return reinterpret_cast<Record*>(memory::series(table)->head_ptr()); }

uint32_t resolve_in(Node symbol_table, uint32_t symbol) {
  if (!symbol) return symbol;
  Record* r = record(symbol_table);
  if (static_cast<int32_t>(symbol) > block_length(r)) return symbol;
  int32_t alias = static_cast<int32_t>(block_cells(r)[symbol - 1].data1);
  return alias > 0 ? static_cast<uint32_t>(alias) : symbol;
}

uint32_t mix_int(uint32_t v) {
  v ^= v >> 16;
  v *= 0x85ebca6b;
  v ^= v >> 13;
  v *= 0xc2b2ae35;
  v ^= v >> 16;
  return v;
}

uint32_t murmur3(const void* bytes, size_t length) {
  return murmur3_bytes(static_cast<const uint8_t*>(bytes), length, false);
}

int32_t next_power_of_2(int32_t n) {
  int32_t v = n - 1;
  v |= v >> 1;
  v |= v >> 2;
  v |= v >> 4;
  v |= v >> 8;
  v |= v >> 16;
  return v + 1;
}

Node init(int32_t size, const Cell* block, Kind kind, int32_t value_cells) {
  if (kind == Kind::symbol && value_cells == 2 && block) {
    // A clone of a context's word table: the record whole, and its own word
    // block and buckets.
    Record* src = record(block->data1);
    Node table = memory::alloc_bytes(sizeof(Record));
    Node nb = memory::copy_series(buf(src->blk));
    Node nk = memory::copy_series(buf(src->keys));
    memory::series(table)->tail = sizeof(Record);
    Record* r = record(table);
    *r = *record(block->data1);
    r->blk = static_cast<int32_t>(nb);
    r->keys = static_cast<int32_t>(nk);
    return table;
  }
  int64_t n = std::max(size, 0);
  if (kind == Kind::symbol && n >= 4000) n *= 2;
  if (n < 4) n = 4;
  int32_t buckets = next_power_of_2(static_cast<int32_t>(std::min<double>(n / kLoad, 1 << 30)));
  Node table = memory::alloc_bytes(sizeof(Record));
  memory::series(table)->tail = sizeof(Record);
  Record fields{};
  fields.keys = static_cast<int32_t>(new_buckets(buckets));
  if (kind == Kind::hash) {
    fields.indexes = static_cast<int32_t>(memory::alloc_bytes_filled(static_cast<uint64_t>(n) * 4, 0xFF));
    fields.chains = static_cast<int32_t>(memory::alloc_bytes(16));
  } else if (kind == Kind::integer || kind == Kind::ownership) {
    fields.indexes = 16 * (std::max(value_cells, 0) + 1);
  }
  bool integer_kind = kind == Kind::integer || kind == Kind::ownership;
  if (block && !integer_kind) {
    fields.blk = static_cast<int32_t>(block->node());
  } else {
    uint64_t cells = integer_kind ? static_cast<uint64_t>(n) * (std::max(value_cells, 0) + 1) : n;
    fields.blk = static_cast<int32_t>(memory::alloc_cells(cells));
  }
  fields.n_buckets = buckets;
  fields.upper_bound = bound_for(buckets);
  fields.kind = static_cast<int32_t>(kind);
  *record(table) = fields;
  if (block && !integer_kind && block_length(record(table)) > block->head()) {
    // Keep the new table alive while indexing may compare (and one day run
    // Qel code), as a hash! over its block.
    collector::Root keep(Cell{static_cast<uint32_t>(TypeId::hash), 0, static_cast<uint32_t>(fields.blk), table});
    put_all(table, block->head(), kind == Kind::map ? 2 : 1);
  }
  return table;
}

Cell* put(Node table, Cell* cell) {
  Record* r = record(table);
  Kind kind = static_cast<Kind>(r->kind);
  if (r->n_occupied >= r->upper_bound) {
    if (kind == Kind::hash)
      grow_hash(r, grow_request(r));
    else
      resize(r, kind == Kind::map ? r->n_buckets + 1 : grow_request(r));
  }
  return insert_hashed(table, cell, hash_value(cell, false));
}

void put_all(Node table, int32_t from, int32_t step) {
  if (step < 1) step = 1;
  Kind kind = static_cast<Kind>(record(table)->kind);
  if (kind != Kind::map) {
    int32_t first = std::max(from, 0);
    int32_t len = block_length(record(table));
    if (first >= len) return;
    // Room for every key at once, so the table grows once, not at every
    // doubling on the way.
    Record* r = record(table);
    int32_t want = r->n_occupied + (len - first + step - 1) / step;
    if (want > r->upper_bound) {
      int32_t count = next_power_of_2(static_cast<int32_t>(std::min<double>(want / kLoad + 1, 1 << 30)));
      if (kind == Kind::hash)
        grow_hash(r, count);
      else
        resize(r, count);
    }
    // The position -> bucket array made long enough at once, too.
    if (kind == Kind::hash) index_items(record(table), len);
    // The hashes of a batch of cells are taken first and their buckets
    // fetched ahead: a large table is out of the cache, and waiting on one
    // bucket at a time was most of the cost.
    constexpr int32_t kBatch = 16;
    uint32_t hashes[kBatch];
    for (int32_t p = first; p < block_length(record(table)); p += kBatch * step) {
      r = record(table);
      int32_t n = 0;
      uint32_t mask = static_cast<uint32_t>(r->n_buckets) - 1;
      const Cell* cells = block_cells(r);
      for (int32_t q = p; n < kBatch && q < block_length(r); q += step, n++) {
        hashes[n] = hash_value(cells + q, false);
        prefetch(buckets(r) + (hashes[n] & mask));
      }
      for (int32_t k = 0; k < n; k++) {
        r = record(table);
        int32_t q = p + k * step;
        if (q >= block_length(r)) return;
        if (r->n_occupied >= r->upper_bound) {
          if (kind == Kind::hash)
            grow_hash(r, grow_request(r));
          else
            resize(r, grow_request(r));
        }
        insert_hashed(table, block_cells(r) + q, hashes[k]);
      }
    }
    return;
  }
  // Map pairs: a repeated key gives its value to the first pair and its own
  // pair leaves the block. The pairs kept move down over the ones left out
  // (`w`, the next place to keep one), and the block is cut once at the end:
  // taking each repeated pair out at once moved the rest of the block every
  // time, quadratic in the number of repeats.
  const int32_t len = block_length(record(table));
  int32_t w = std::max(from, 0);
  for (int32_t p = w; p < len; p += 2) {
    Cell* found = get(table, block_cells(record(table)) + p, 0, 1, CompareOp::strict_equal);
    Cell* c = block_cells(record(table)) + p;
    const int32_t n = std::min(2, len - p);
    if (found) {
      if (n == 2) found[1] = c[1];
      continue;
    }
    if (w != p) std::memmove(block_cells(record(table)) + w, c, static_cast<size_t>(n) * sizeof(Cell));
    put(table, block_cells(record(table)) + w);
    if (prepare_key) prepare_key(block_cells(record(table)) + w);
    w += n;
  }
  if (w < len) buf(record(table)->blk)->tail -= static_cast<uint32_t>(len - w) * sizeof(Cell);
}

Cell* get(Node table, const Cell* key_in, int32_t from, int32_t skip, CompareOp op, Direction direction) {
  refresh(table);
  Record* r = record(table);
  Kind kind = static_cast<Kind>(r->kind);
  Cell key = *key_in;
  // Map keys of the word family are stored as set-words.
  if (kind == Kind::map && key.type() >= TypeId::word && key.type() <= TypeId::get_word)
    key.set_type(TypeId::set_word);
  bool limited = (key.header & 0xFF) == kLimitedKey;
  if (skip == 0) skip = 1;
  bool forward = direction == Direction::forward;
  uint32_t h = hash_value(&key, false), tag = tag_of(h);
  uint32_t mask = static_cast<uint32_t>(r->n_buckets) - 1;
  uint32_t i = h & mask, i0 = i;
  for (uint32_t step = 1;; step++) {
    r = record(table);
    Bucket bucket = buckets(r)[i];
    if (bucket.tag == kEmpty) return nullptr;
    if (bucket.tag == tag) {
      int32_t slot = bucket.slot;
      if (kind != Kind::hash) {
        Cell* stored = block_cells(r) + slot;
        if ((limited || stored->type() == key.type()) && compare(stored, &key, op))
          return block_cells(record(table)) + slot;
      } else {
        Cell* first = block_cells(r) + first_position(r, slot);
        if (first->type() == key.type() && compare(first, &key, CompareOp::equal)) {
          // The bucket's positions are re-read at each step: comparing may
          // run code that moves series.
          auto position_at = [&](int32_t k) {
            const Record* rr = record(table);
            int32_t sl = buckets(rr)[i].slot;
            if (sl >= 0) return k == 0 ? sl : -1;
            SeriesBuffer* c = chain(rr, -sl);
            return k < chain_count(c) ? chain_items(c)[k] : -1;
          };
          int32_t best = forward ? INT32_MAX : -1;
          for (int32_t k = 0, p; (p = position_at(k)) >= 0; k++) {
            bool in_range = direction == Direction::reverse ? p < from : p >= from;
            if (!in_range) continue;
            int32_t d = forward ? p - from : from - p - 1;
            int64_t rem = int64_t{d} % skip;
            if (rem < 0) rem += skip < 0 ? -int64_t{skip} : skip;
            if (rem != 0) continue;
            if (forward ? p >= best : p <= best) continue;
            if (!compare(block_cells(record(table)) + p, &key, op)) continue;
            best = p;
          }
          if (best != INT32_MAX && best >= 0) return block_cells(record(table)) + best;
        }
      }
    }
    i = (i + step) & mask;
    if (i == i0) return nullptr;
  }
}

Cell* find_next(Node table, const Cell* key, int32_t* cursor, int32_t* start, int32_t* step) {
  Record* r = record(table);
  uint32_t mask = static_cast<uint32_t>(r->n_buckets) - 1;
  uint32_t h = hash_value(key, false), tag = tag_of(h);
  uint32_t i;
  if (*cursor < 0) {
    i = h & mask;
    *start = static_cast<int32_t>(i);
    *step = 0;
  } else {
    (*step)++;
    i = (static_cast<uint32_t>(*cursor) + static_cast<uint32_t>(*step)) & mask;
    if (i == static_cast<uint32_t>(*start)) return nullptr;
  }
  for (;;) {
    r = record(table);
    Bucket bucket = buckets(r)[i];
    if (bucket.tag == kEmpty) return nullptr;
    if (bucket.tag == tag) {
      int32_t pos = first_position(r, bucket.slot);
      Cell* c = block_cells(r) + pos;
      if (c->type() == key->type() && compare(c, key, CompareOp::equal)) {
        *cursor = static_cast<int32_t>(i);
        return block_cells(record(table)) + pos;
      }
    }
    (*step)++;
    i = (i + static_cast<uint32_t>(*step)) & mask;
    if (i == static_cast<uint32_t>(*start)) return nullptr;
  }
}

void delete_cell(Node table, Cell* cell) {
  Record* r = record(table);
  int32_t pos = static_cast<int32_t>(cell - block_cells(r));
  if (r->kind == static_cast<int32_t>(Kind::hash)) {
    delete_position(r, pos);
  } else if (r->kind == static_cast<int32_t>(Kind::map)) {
    if (pos + 1 < block_length(r) && cell[1].header != 0) {
      cell[1].header = 0;
      r->size--;
    }
  }
}

void delete_range(Node table, int32_t position, int32_t count) {
  Record* r = record(table);
  int32_t len = block_length(r);
  if (position < 0) position = 0;
  count = std::min(count, len - position);
  if (count <= 0) return;
  if (position == 0 && count == len) {
    r->size = r->n_occupied = 0;
    reset_buckets(r);
    reset_indexes(r);
    buf(r->chains)->tail = buf(r->chains)->offset;
    return;
  }
  for (int32_t p = position; p < position + count; p++) delete_position(r, p);
}

int32_t shift_entries(Node table, int32_t offset, int32_t position, int32_t count, IndexMove move) {
  if (count > kShiftLimit) return 1;
  Record* r = record(table);
  if (offset == 0 || count <= 0 || position < 0 || position + offset < 0) return 0;
  if (move == IndexMove::move && offset < 0)
    for (int32_t p = std::max(position + offset, 0); p < position; p++) delete_position(r, p);
  remap_slots(r, position, position + count, [offset](int32_t p) { return p + offset; });
  if (move == IndexMove::move) {
    int32_t end = position + count;
    int32_t* items = index_items(r, std::max(end, end + offset));
    std::memmove(items + position + offset, items + position, static_cast<size_t>(count) * 4);
    if (offset > 0)
      std::memset(items + position, 0xFF, static_cast<size_t>(offset) * 4);
    else
      std::memset(items + end + offset, 0xFF, static_cast<size_t>(-offset) * 4);
  }
  return 0;
}

void move_entries(Node table, int32_t dest, int32_t src, int32_t count) {
  if (count <= 0 || dest == src || (dest > src && dest < src + count)) return;
  Record* r = record(table);
  int32_t lo = std::min(dest, src), hi = std::max(dest, src) + count;
  auto to = [=](int32_t p) {
    if (p >= src && p < src + count) return p - src + dest;
    return dest < src ? p + count : p - count;
  };
  remap_slots(r, lo, hi, to);
  int32_t* items = index_items(r, hi);
  std::vector<int32_t> old(items + lo, items + hi);
  for (int32_t p = lo; p < hi; p++) items[to(p)] = old[static_cast<size_t>(p - lo)];
}

void rebuild(Node table, int32_t n) {
  collector::Hold hold;
  Record* r = record(table);
  int32_t b = next_power_of_2(static_cast<int32_t>(std::min(n * 1.5, double{1 << 30})));
  b = std::max(b, 4);
  Node nk = new_buckets(b);
  r = record(table);
  r->keys = static_cast<int32_t>(nk);
  r->n_buckets = b;
  r->upper_bound = bound_for(b);
  r->size = r->n_occupied = r->node_stamp = 0;
  buf(r->chains)->tail = buf(r->chains)->offset;
  reset_indexes(r);
  put_all(table, 0, 1);
}

void reset_index(Node table, int32_t expected) {
  Record* r = record(table);
  int64_t n = std::max(expected, 4);
  int32_t want = next_power_of_2(static_cast<int32_t>(std::min<double>(n / kLoad, 1 << 30)));
  if (r->n_buckets > 4 * want) {
    Node nk = new_buckets(want);
    r = record(table);
    r->keys = static_cast<int32_t>(nk);
    r->n_buckets = want;
    r->upper_bound = bound_for(want);
  } else {
    reset_buckets(r);
  }
  r->size = r->n_occupied = r->node_stamp = 0;
  // Items past the tail are never read, so emptying is moving the tail.
  buf(r->indexes)->tail = buf(r->indexes)->offset;
  buf(r->chains)->tail = buf(r->chains)->offset;
}

int32_t indexed_count(Node table) {
  const SeriesBuffer* s = buf(record(table)->indexes);
  return static_cast<int32_t>((s->tail - s->offset) / 4);
}

void clear(Node table) {
  Record* r = record(table);
  r->size = r->n_occupied = 0;
  SeriesBuffer* b = buf(r->blk);
  b->tail = b->offset;
  reset_buckets(r);
  if (r->kind == static_cast<int32_t>(Kind::hash)) {
    reset_indexes(r);
    buf(r->chains)->tail = buf(r->chains)->offset;
  }
}

Node copy(Node table, Node blk) {
  Record* src = record(table);
  Record fields = *src;
  fields.blk = static_cast<int32_t>(blk);
  fields.keys = static_cast<int32_t>(memory::copy_series(buf(src->keys)));
  if (src->kind == static_cast<int32_t>(Kind::hash)) {
    fields.indexes = static_cast<int32_t>(memory::copy_series(buf(src->indexes)));
    // Each chain is duplicated so later changes to either index leave the
    // other alone.
    Node list = memory::copy_series(buf(src->chains));
    SeriesBuffer* l = memory::series(list);
    for (uint32_t at = l->offset; at < l->tail; at += 4) {
      Node c;
      std::memcpy(&c, memory::series(list)->data() + at, 4);
      if (!c) continue;
      Node dup = memory::copy_series(memory::series(c));
      std::memcpy(memory::series(list)->data() + at, &dup, 4);
    }
    fields.chains = static_cast<int32_t>(list);
  }
  Node out = memory::alloc_bytes(sizeof(Record));
  memory::series(out)->tail = sizeof(Record);
  *record(out) = fields;
  return out;
}

Cell* put_int(Node table, int32_t key) {
  refresh(table);
  Record* r = record(table);
  if (r->n_occupied >= r->upper_bound) {
    rebuild_int(table, grow_request(r));
    r = record(table);
  }
  uint32_t mask = static_cast<uint32_t>(r->n_buckets) - 1;
  uint32_t h = mix_int(static_cast<uint32_t>(key)), tag = tag_of(h);
  uint32_t i = h & mask, i0 = i;
  int32_t deleted = -1, target = -1;
  bool found = false;
  for (uint32_t step = 1;; step++) {
    const Bucket& b = buckets(r)[i];
    if (b.tag == kEmpty) {
      target = deleted >= 0 ? deleted : static_cast<int32_t>(i);
      break;
    }
    if (b.tag == kDeleted) {
      if (deleted < 0) deleted = static_cast<int32_t>(i);
    } else if (b.tag == tag && static_cast<int32_t>(entry_at(r, b.slot)->data1) == key) {
      target = static_cast<int32_t>(i);
      found = true;
      break;
    }
    i = (i + step) & mask;
    if (i == i0) {
      target = deleted;
      break;
    }
  }
  if (target < 0) {
    rebuild_int(table, r->n_buckets + 1);
    return put_int(table, key);
  }
  int32_t esize = entry_size(r);
  if (!found) {
    if (buckets(r)[target].tag == kEmpty) {
      uint8_t* e = memory::reserve_tail(static_cast<Node>(r->blk), static_cast<uint64_t>(esize));
      buckets(r)[target].slot = static_cast<int32_t>(e - buf(r->blk)->head_ptr());
      r->n_occupied++;
    }
    buckets(r)[target].tag = tag;
    r->size++;
  }
  Cell* e = entry_at(r, buckets(r)[target].slot);
  for (int32_t c = 0; c < esize / 16; c++) set_unset(e + c);
  e->data1 = static_cast<uint32_t>(key);
  return e + 1;
}

Cell* get_int(Node table, int32_t key) {
  refresh(table);
  Record* r = record(table);
  int32_t b = find_int(r, key);
  return b < 0 ? nullptr : entry_at(r, buckets(r)[b].slot) + 1;
}

Cell* delete_int(Node table, int32_t key) {
  refresh(table);
  Record* r = record(table);
  int32_t b = find_int(r, key);
  if (b < 0) return nullptr;
  buckets(r)[b].tag = kDeleted;
  r->size--;
  Cell* e = entry_at(r, buckets(r)[b].slot);
  e->header = 0;
  return e + 1;
}

int32_t find_or_add_symbol(Node table, const uint8_t* bytes, int32_t length, Case c) {
  Record* r = record(table);
  if (r->n_occupied >= r->upper_bound) resize(r, 16 * grow_request(r));
  uint32_t len = static_cast<uint32_t>(std::max(length, 0));
  uint32_t h = murmur3_bytes(bytes, len, true), tag = tag_of(h);
  auto same_name = [&](const Cell* sym, bool nocase) {
    const uint8_t* name;
    uint32_t n;
    if (!symbol_name(sym, &name, &n) || n != len) return false;
    if (!nocase) return std::memcmp(name, bytes, len) == 0;
    for (uint32_t k = 0; k < len; k++)
      if (ascii_lower(name[k]) != ascii_lower(bytes[k])) return false;
    return true;
  };
  // Walks the probe; returns the id of a match (or 0) and the empty bucket
  // that ended the walk.
  auto walk = [&](bool nocase, int32_t* empty) -> int32_t {
    uint32_t mask = static_cast<uint32_t>(r->n_buckets) - 1;
    uint32_t i = h & mask, i0 = i;
    const Bucket* bk = buckets(r);
    const Cell* cells = block_cells(r);
    for (uint32_t step = 1;; step++) {
      uint32_t t = bk[i].tag;
      if (t == kEmpty) {
        *empty = static_cast<int32_t>(i);
        return 0;
      }
      if (t == tag && same_name(cells + bk[i].slot, nocase)) return bk[i].slot + 1;
      i = (i + step) & mask;
      if (i == i0) return 0;
    }
  };
  int32_t empty = -1;
  if (int32_t id = walk(c == Case::insensitive, &empty)) return id;
  int32_t alias = -1;
  if (c == Case::sensitive) {
    int32_t unused;
    if (int32_t id = walk(true, &unused)) {
      // The alias is always the canonical id: a variant met first may itself
      // be an alias (after a resize the probe order changes).
      int32_t its = static_cast<int32_t>(block_cells(r)[id - 1].data1);
      alias = its > 0 ? its : id;
    }
  }
  if (empty < 0) {
    resize(r, r->n_buckets + 1);
    return find_or_add_symbol(table, bytes, length, c);
  }
  Node name = memory::alloc_bytes(uint64_t{len} + 1);
  SeriesBuffer* ns = memory::series(name);
  if (len) std::memcpy(ns->data(), bytes, len);
  ns->data()[len] = 0;
  ns->tail = len;
  Cell* cell = append_slot(static_cast<Node>(r->blk));
  int32_t pos = static_cast<int32_t>(cell - block_cells(r));
  cell->data1 = static_cast<uint32_t>(alias);
  cell->data2 = 0;
  cell->data3 = name;
  cell->header = static_cast<uint32_t>(TypeId::symbol);
  buckets(r)[empty] = Bucket{tag, pos};
  r->size++;
  r->n_occupied++;
  return pos + 1;
}

int32_t find_or_add_word(Node table, uint32_t symbol, Case c, Node context, int32_t* out_index) {
  Record* r = record(table);
  if (context && r->n_occupied >= r->upper_bound) resize(r, 16 * grow_request(r));
  uint32_t canonical = resolve_symbol(symbol);
  uint32_t mask = static_cast<uint32_t>(r->n_buckets) - 1;
  uint32_t h = mix_int(canonical), tag = tag_of(h);
  uint32_t i = h & mask, i0 = i;
  const Bucket* bk = buckets(r);
  const Cell* words = block_cells(r);
  int32_t empty = -1, found = -1;
  for (uint32_t step = 1;; step++) {
    uint32_t t = bk[i].tag;
    if (t == kEmpty) {
      empty = static_cast<int32_t>(i);
      break;
    }
    if (t == tag) {
      uint32_t s = words[bk[i].slot].symbol();
      if (s == symbol || (c == Case::insensitive && resolve_symbol(s) == canonical)) {
        found = bk[i].slot;
        break;
      }
    }
    i = (i + step) & mask;
    if (i == i0) break;
  }
  if (!context) return found;
  if (found >= 0) {
    if (out_index) *out_index = found;
    return found;
  }
  if (empty < 0) {
    resize(r, r->n_buckets + 1);
    return find_or_add_word(table, symbol, c, context, out_index);
  }
  int32_t n = block_length(r);
  Cell* w = append_slot(static_cast<Node>(r->blk));
  *w = Cell{static_cast<uint32_t>(TypeId::word), context, symbol, static_cast<uint32_t>(n)};
  buckets(r)[empty] = Bucket{tag, n};
  r->size++;
  r->n_occupied++;
  if (out_index) *out_index = n;
  return -1;
}

void mark(Node table) {
  if (!collector::mark_series(table)) return;
  Record* r = record(table);
  collector::mark_series(static_cast<Node>(r->keys));
  switch (static_cast<Kind>(r->kind)) {
    case Kind::hash: {
      collector::mark_series(static_cast<Node>(r->indexes));
      if (collector::mark_series(static_cast<Node>(r->chains))) {
        SeriesBuffer* l = buf(r->chains);
        for (uint32_t at = l->offset; at + 4 <= l->tail; at += 4) {
          Node c;
          std::memcpy(&c, l->data() + at, 4);
          collector::mark_series(c);
        }
      }
      collector::mark_block(static_cast<Node>(r->blk));
      break;
    }
    case Kind::map:
    case Kind::symbol:
      collector::mark_block(static_cast<Node>(r->blk));
      break;
    case Kind::integer: {
      SeriesBuffer* e = buf(r->blk);
      int32_t esize = entry_size(r);
      for (uint32_t off = e->offset; off + esize <= e->tail; off += esize) {
        const Cell* k = reinterpret_cast<const Cell*>(e->data() + off);
        if (k->is(TypeId::unset)) collector::mark_block(k->data1);
      }
      collector::mark_block(static_cast<Node>(r->blk));
      break;
    }
    case Kind::ownership:
      collector::mark_series(static_cast<Node>(r->blk));
      break;
  }
}

void sweep(Node table) {
  Record* r = record(table);
  if (r->kind < static_cast<int32_t>(Kind::integer)) return;
  SeriesBuffer* e = buf(r->blk);
  int32_t esize = entry_size(r);
  bool ownership = r->kind == static_cast<int32_t>(Kind::ownership);
  for (uint32_t off = e->offset; off + esize <= e->tail; off += esize) {
    Cell* k = reinterpret_cast<Cell*>(e->data() + off);
    if (!k->is(TypeId::unset)) continue;
    bool dead = !collector::is_marked(k->data1);
    if (!dead && ownership && esize >= 48) dead = !collector::is_marked(k[2].data1);
    if (!dead) continue;
    delete_int(table, static_cast<int32_t>(k->data1));
    k->header = 0;
    k->data1 = 0;
  }
}

}  // namespace qel::hashtable
