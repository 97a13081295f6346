// The hash table through its C++ interface, with cells built here: sizing
// and growth, hash! chains and deletion, skip/last/reverse lookups, map
// pairs, integer and ownership tables with the collector, symbols and
// context words, index maintenance, hashing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "memory/collector.h"
#include "memory/hashtable.h"
#include "memory/series.h"

namespace qel {
namespace {

using hashtable::Direction;
using hashtable::Kind;

Cell text(const std::string& s, uint32_t unit = 1) {
  Node n = memory::alloc_units(s.size(), unit);
  SeriesBuffer* b = memory::series(n);
  for (size_t i = 0; i < s.size(); i++) {
    uint32_t cp = static_cast<uint8_t>(s[i]);
    std::memcpy(b->data() + i * unit, &cp, unit);  // little-endian
  }
  b->tail = static_cast<uint32_t>(s.size() * unit);
  Cell c;
  set_series(&c, TypeId::string, n);
  return c;
}

Cell integer(int32_t v) {
  Cell c;
  set_integer(&c, v);
  return c;
}

// A block cell holding the given cells.
Cell block_of(const std::vector<Cell>& cells) {
  Node n = memory::alloc_cells(cells.size());
  for (const Cell& c : cells) *append_slot(n) = c;
  Cell b;
  set_series(&b, TypeId::block, n);
  return b;
}

Cell* cells(Node table) { return memory::series(static_cast<Node>(hashtable::record(table)->blk))->cells(); }
int32_t position(Node table, const Cell* c) { return c ? static_cast<int32_t>(c - cells(table)) : -1; }

// A bucket's tag (0 empty, 1 deleted, else live) and key slot.
uint32_t tag_of(Node table, int32_t bucket) {
  return reinterpret_cast<const uint32_t*>(
      memory::series(static_cast<Node>(hashtable::record(table)->keys))->head_ptr())[2 * bucket];
}
// The state of a bucket: 0 live, 1 deleted, 2 empty.
uint32_t flag_of(Node table, int32_t bucket) {
  uint32_t t = tag_of(table, bucket);
  return t == 0 ? 2 : t == 1 ? 1 : 0;
}
int32_t slot_of(Node table, int32_t bucket) {
  return reinterpret_cast<const int32_t*>(
      memory::series(static_cast<Node>(hashtable::record(table)->keys))->head_ptr())[2 * bucket + 1];
}
// The live buckets of a table.
std::vector<int32_t> live_buckets(Node table) {
  std::vector<int32_t> out;
  for (int32_t i = 0; i < hashtable::record(table)->n_buckets; i++)
    if (flag_of(table, i) == 0) out.push_back(i);
  return out;
}

class HashTable : public ::testing::Test {
 protected:
  void SetUp() override {
    memory::init();
    saved_active_ = collector::active;
  }
  void TearDown() override {
    collector::active = saved_active_;
    EXPECT_EQ(memory::verify_heap(), nullptr);
  }
  bool saved_active_ = false;
};

TEST_F(HashTable, SizingFollowsTheLoadBound) {
  struct Case {
    int32_t asked;
    Kind kind;
    int32_t buckets;
    int32_t bound;
  };
  const Case cases[] = {
      {0, Kind::map, 8, 6},         {4, Kind::map, 8, 6},          {1000, Kind::map, 2048, 1576},
      {8000, Kind::integer, 16384, 12615}, {4000, Kind::symbol, 16384, 12615},  // symbols double from 4,000
      {3999, Kind::symbol, 8192, 6307},
  };
  for (const Case& c : cases) {
    hashtable::Record* r = hashtable::record(hashtable::init(c.asked, nullptr, c.kind, 1));
    EXPECT_EQ(r->n_buckets, c.buckets) << c.asked;
    EXPECT_EQ(r->upper_bound, c.bound) << c.asked;
    EXPECT_EQ(r->size, 0);
  }
  EXPECT_EQ(hashtable::next_power_of_2(0), 0);
  EXPECT_EQ(hashtable::next_power_of_2(1), 1);
  EXPECT_EQ(hashtable::next_power_of_2(5), 8);
  EXPECT_EQ(hashtable::next_power_of_2(1024), 1024);
}

TEST_F(HashTable, ASmallTableGrowsAtItsSeventhKey) {
  for (int32_t asked : {0, 1, 2, 3, 4}) {
    Node t = hashtable::init(asked, nullptr, Kind::integer, 1);
    for (int32_t k = 1; k <= 6; k++) hashtable::put_int(t, k);
    EXPECT_EQ(hashtable::record(t)->n_buckets, 8);
    hashtable::put_int(t, 7);
    EXPECT_EQ(hashtable::record(t)->n_buckets, 16);
    for (int32_t k = 1; k <= 7; k++) EXPECT_NE(hashtable::get_int(t, k), nullptr);
  }
  // A map grows the same way, through put.
  Cell blk = block_of({});
  Node m = hashtable::init(0, &blk, Kind::map, 1);
  for (int32_t k = 1; k <= 7; k++) {
    *append_slot(blk.node()) = integer(k);
    Cell* key = memory::series(blk.node())->cell_tail() - 1;
    hashtable::put(m, key);
    set_none(append_slot(blk.node()));
    EXPECT_EQ(hashtable::record(m)->n_buckets, k < 7 ? 8 : 16) << k;
  }
}

// Three equal strings share one bucket whose slot names a chain; deleting
// two leaves the bucket live, the third marks it deleted and frees the
// chain's item.
TEST_F(HashTable, EqualKeysOfAHashChainInOneBucket) {
  Cell blk = block_of({text("abc"), integer(1), text("ABC"), text("Abc")});
  Node t = hashtable::init(4, &blk, Kind::hash, 0);
  hashtable::Record* r = hashtable::record(t);
  Cell key = text("aBc");
  int32_t bucket = -1;
  for (int32_t b : live_buckets(t))
    if (slot_of(t, b) < 0) bucket = b;
  ASSERT_GE(bucket, 0);
  Node list = static_cast<Node>(r->chains);
  Node chain;
  std::memcpy(&chain, memory::series(list)->head_ptr() + 4 * (-slot_of(t, bucket) - 1), 4);
  EXPECT_EQ(memory::series(chain)->used_bytes(), 12u);
  EXPECT_EQ(r->size, 2);  // two distinct keys: the strings and 1

  hashtable::delete_cell(t, cells(t) + 0);
  hashtable::delete_cell(t, cells(t) + 2);
  EXPECT_EQ(flag_of(t, bucket), 0u);
  EXPECT_EQ(position(t, hashtable::get(t, &key, 0, 1, CompareOp::equal)), 3);
  hashtable::delete_cell(t, cells(t) + 3);
  EXPECT_EQ(flag_of(t, bucket), 1u) << "the bucket is marked deleted";
  Node freed;
  std::memcpy(&freed, memory::series(list)->head_ptr(), 4);
  EXPECT_EQ(freed, 0u);
  EXPECT_EQ(hashtable::get(t, &key, 0, 1, CompareOp::equal), nullptr);
  EXPECT_EQ(hashtable::record(t)->size, 1);
}

TEST_F(HashTable, SkipLastAndReverseLookups) {
  // 7s at 0, 1, 3, 5, 6, 8; other values elsewhere.
  std::vector<Cell> values;
  for (int32_t v : {7, 7, 0, 7, 0, 7, 7, 0, 7}) values.push_back(integer(v));
  Cell mixed = block_of(values);
  Node tm = hashtable::init(9, &mixed, Kind::hash, 0);
  Cell all = block_of(std::vector<Cell>(9, integer(7)));
  Node ta = hashtable::init(9, &all, Kind::hash, 0);
  Cell seven = integer(7);
  struct Case {
    Node table;
    int32_t from, skip;
    Direction dir;
    int32_t expect;
  };
  const Case cases[] = {
      {ta, 3, 2, Direction::forward, 3}, {ta, 3, 2, Direction::last, 8}, {ta, 3, 2, Direction::reverse, 2},
      {tm, 3, 2, Direction::forward, 3}, {tm, 3, 2, Direction::last, 8}, {tm, 3, 2, Direction::reverse, 0},
      {tm, 2, 2, Direction::forward, 6}, {tm, 4, 1, Direction::forward, 5}, {tm, 4, 3, Direction::last, 6},
      {tm, 9, 1, Direction::forward, -1}, {tm, 0, 1, Direction::reverse, -1}, {tm, 8, 4, Direction::reverse, 3},
  };
  for (const Case& c : cases) {
    Cell* found = hashtable::get(c.table, &seven, c.from, c.skip, CompareOp::equal, c.dir);
    EXPECT_EQ(position(c.table, found), c.expect)
        << "from " << c.from << " skip " << c.skip << " direction " << static_cast<int>(c.dir);
  }
}

// A map built from pairs that repeat a key keeps one pair, with the last
// value, at the first occurrence's place.
TEST_F(HashTable, MapPairsWithARepeatedKeyMerge) {
  Cell blk = block_of({text("a"), integer(1), text("b"), integer(2), text("a"), integer(3), text("b"), integer(4),
                       text("c"), integer(5)});
  Node m = hashtable::init(5, &blk, Kind::map, 1);
  SeriesBuffer* s = memory::series(blk.node());
  ASSERT_EQ(s->length(), 6u);
  EXPECT_EQ(s->cell_at(1)->integer(), 3);
  EXPECT_EQ(s->cell_at(3)->integer(), 4);
  EXPECT_EQ(s->cell_at(5)->integer(), 5);
  EXPECT_EQ(hashtable::record(m)->size, 3);
}

TEST_F(HashTable, MapKeysDifferingInCaseAreStrictlyDistinct) {
  Cell blk = block_of({text("abc"), integer(1), text("ABC"), integer(2)});
  Node m = hashtable::init(2, &blk, Kind::map, 1);
  EXPECT_EQ(hashtable::hash_value(&cells(m)[0], false), hashtable::hash_value(&cells(m)[2], false));
  Cell upper = text("ABC");
  EXPECT_EQ(position(m, hashtable::get(m, &upper, 0, 1, CompareOp::strict_equal)), 2);
  EXPECT_EQ(position(m, hashtable::get(m, &upper, 0, 1, CompareOp::equal)), 0);
  // Removing a pair keeps it indexed with its value marked removed.
  hashtable::delete_cell(m, cells(m) + 2);
  EXPECT_EQ(cells(m)[3].header, 0u);
  EXPECT_EQ(hashtable::record(m)->size, 1);
}

TEST_F(HashTable, AHashOfBlocksSurvivesCompaction) {
  std::vector<Cell> values;
  for (int i = 0; i < 200; i++) {
    memory::alloc_bytes(64);  // garbage between them, so compaction moves them
    values.push_back(block_of({integer(i)}));
  }
  Cell blk = block_of(values);
  Node t = hashtable::init(200, &blk, Kind::hash, 0);
  collector::Root keep(Cell{static_cast<uint32_t>(TypeId::hash), 0, blk.node(), t});
  collector::collect();
  for (int i = 0; i < 200; i++) {
    Cell key = cells(t)[i];
    ASSERT_EQ(position(t, hashtable::get(t, &key, 0, 1, CompareOp::same)), i);
    ASSERT_EQ(memory::series(key.node())->cells()->integer(), i);
  }
}

TEST_F(HashTable, ManyKeysOfEveryIndexedKind) {
  constexpr int kKeys = 20000;
  std::vector<Cell> values;
  for (int i = 0; i < kKeys; i++) values.push_back(text("key" + std::to_string(i), i % 3 == 0 ? 2 : 1));
  Cell hb = block_of(values);
  Node h = hashtable::init(4, &hb, Kind::hash, 0);  // grows by rebuilding
  std::vector<Cell> pairs;
  for (int i = 0; i < kKeys; i++) {
    pairs.push_back(integer(i * 7));
    pairs.push_back(integer(i));
  }
  Cell mb = block_of(pairs);
  Node m = hashtable::init(4, &mb, Kind::map, 1);
  Node ints = hashtable::init(0, nullptr, Kind::integer, 1);
  for (int i = 0; i < kKeys; i++) set_integer(hashtable::put_int(ints, i * 13), i);
  for (int i = 0; i < kKeys; i += 2) hashtable::delete_int(ints, i * 13);
  for (int i = 0; i < kKeys; i++) {
    Cell k = text("KEY" + std::to_string(i), i % 2 ? 4 : 1);
    ASSERT_EQ(position(h, hashtable::get(h, &k, 0, 1, CompareOp::equal)), i);
    Cell mk = integer(i * 7);
    Cell* found = hashtable::get(m, &mk, 0, 1, CompareOp::strict_equal);
    ASSERT_NE(found, nullptr);
    ASSERT_EQ(found[1].integer(), i);
    Cell* v = hashtable::get_int(ints, i * 13);
    if (i % 2) {
      ASSERT_NE(v, nullptr);
      ASSERT_EQ(v->integer(), i);
    } else {
      ASSERT_EQ(v, nullptr);
    }
  }
  EXPECT_EQ(hashtable::record(h)->size, kKeys);
  EXPECT_EQ(hashtable::record(m)->size, kKeys);
  EXPECT_EQ(hashtable::record(ints)->size, kKeys / 2);
}

TEST_F(HashTable, IntegerKeysPutGetDelete) {
  Node t = hashtable::init(0, nullptr, Kind::integer, 2);
  Cell* v = hashtable::put_int(t, 0);
  set_integer(v, 10);
  set_integer(v + 1, 11);
  EXPECT_EQ(hashtable::get_int(t, 0)->integer(), 10);
  EXPECT_EQ(hashtable::get_int(t, 0)[1].integer(), 11);
  EXPECT_EQ(hashtable::get_int(t, -5), nullptr);
  // Putting again resets the values for the caller to write.
  EXPECT_TRUE(hashtable::put_int(t, 0)->is(TypeId::unset));
  EXPECT_NE(hashtable::delete_int(t, 0), nullptr);
  EXPECT_EQ(hashtable::delete_int(t, 0), nullptr);
  EXPECT_EQ(hashtable::get_int(t, 0), nullptr);
  EXPECT_EQ(hashtable::record(t)->size, 0);
}

// Weak tables: an ownership table keeps neither its keys nor its owners,
// and its sweep drops the entries whose key series or owner died; an
// integer table keeps the series its keys name.
Node swept_table;
void sweep_swept_table() {
  if (swept_table) hashtable::sweep(swept_table);
}

TEST_F(HashTable, OwnershipEntriesDieWithTheirSeriesOrOwner) {
  static bool registered = false;
  if (!registered) collector::add_sweep_callback(sweep_swept_table);
  registered = true;
  Node own = hashtable::init(0, nullptr, Kind::ownership, 3);
  collector::Root keep(Cell{static_cast<uint32_t>(TypeId::map), 0, 0, own});
  Node kept_series = memory::alloc_bytes(4), dead_series = memory::alloc_bytes(4), orphan = memory::alloc_bytes(4);
  Node live_owner = memory::alloc_cells(2), dead_owner = memory::alloc_cells(2);
  collector::Root hold_series(kept_series), hold_orphan(orphan), hold_owner(live_owner);
  auto add = [&](Node key, Node owner) {
    Cell* v = hashtable::put_int(own, static_cast<int32_t>(key));
    v[1] = Cell{static_cast<uint32_t>(TypeId::object), owner, 0, 0};
  };
  add(kept_series, live_owner);
  add(dead_series, live_owner);
  add(orphan, dead_owner);
  swept_table = own;
  collector::collect();
  swept_table = 0;
  EXPECT_NE(hashtable::get_int(own, static_cast<int32_t>(kept_series)), nullptr);
  EXPECT_EQ(hashtable::get_int(own, static_cast<int32_t>(dead_series)), nullptr);
  EXPECT_EQ(hashtable::get_int(own, static_cast<int32_t>(orphan)), nullptr);
  EXPECT_FALSE(memory::is_live_node(dead_owner));
  EXPECT_EQ(hashtable::record(own)->size, 1);

  Node ints = hashtable::init(0, nullptr, Kind::integer, 1);
  collector::Root keep_ints(Cell{static_cast<uint32_t>(TypeId::map), 0, 0, ints});
  Node held = memory::alloc_bytes(4);
  hashtable::put_int(ints, static_cast<int32_t>(held));
  collector::collect();
  EXPECT_TRUE(memory::is_live_node(held));
}

TEST_F(HashTable, SymbolsInternWithCanonicalAliases) {
  Cell blk = block_of({});
  Node syms = hashtable::init(4, &blk, Kind::symbol, 0);
  auto intern = [&](const std::string& s, hashtable::Case c = hashtable::Case::sensitive) {
    return hashtable::find_or_add_symbol(syms, reinterpret_cast<const uint8_t*>(s.data()),
                                         static_cast<int32_t>(s.size()), c);
  };
  auto alias = [&](int32_t id) { return static_cast<int32_t>(cells(syms)[id - 1].data1); };
  int32_t print = intern("print");
  EXPECT_EQ(print, 1);
  EXPECT_EQ(intern("print"), print);
  int32_t Print = intern("Print");
  EXPECT_NE(Print, print);
  EXPECT_EQ(alias(Print), print);
  EXPECT_EQ(alias(print), -1);
  size_t before = memory::series(blk.node())->length();
  int32_t nocase = intern("PRINT", hashtable::Case::insensitive);
  EXPECT_TRUE(nocase == print || nocase == Print);
  EXPECT_EQ(memory::series(blk.node())->length(), before) << "a case-insensitive find adds nothing";
  EXPECT_EQ(intern(""), intern(""));
  // Names that differ in a non-ASCII letter's case are unrelated.
  int32_t a1 = intern("\xC3\xA4x"), a2 = intern("\xC3\x84x");
  EXPECT_EQ(alias(a1), -1);
  EXPECT_EQ(alias(a2), -1);
  // Every case variant, interned among many other names (the table grows
  // and reorders its probes), aliases the first spelling, never a variant.
  const char* variants[] = {"pRint", "PRint", "PRINT", "priNT", "PrInT"};
  int v = 0;
  std::vector<int32_t> ids;
  for (int i = 0; i < 30000; i++) {
    ids.push_back(intern("name" + std::to_string(i)));
    if (i % 6000 == 5999) {
      int32_t id = intern(variants[v++]);
      EXPECT_EQ(alias(id), print) << variants[v - 1];
    }
  }
  // The table stays consistent while it grows: every name is found again.
  for (int i = 0; i < 30000; i += 97) ASSERT_EQ(intern("name" + std::to_string(i)), ids[static_cast<size_t>(i)]);
  EXPECT_EQ(hashtable::resolve_in(syms, static_cast<uint32_t>(Print)), static_cast<uint32_t>(print));
}

TEST_F(HashTable, ContextWordsAreFoundByCanonicalSymbol) {
  // Symbols 1 and 2 are case variants (2 aliases 1); 3 is another word.
  static Node syms;
  Cell sb = block_of({});
  syms = hashtable::init(4, &sb, Kind::symbol, 0);
  for (const char* s : {"value", "Value", "other"})
    hashtable::find_or_add_symbol(syms, reinterpret_cast<const uint8_t*>(s), static_cast<int32_t>(std::strlen(s)),
                                  hashtable::Case::sensitive);
  hashtable::ResolveFn saved = hashtable::resolve_symbol;
  hashtable::resolve_symbol = [](uint32_t id) { return hashtable::resolve_in(syms, id); };
  Node ctx = memory::alloc_cells(2);
  Node words = hashtable::init(2, nullptr, Kind::symbol, 0);
  int32_t index = -9;
  EXPECT_EQ(hashtable::find_or_add_word(words, 1, hashtable::Case::insensitive, ctx, &index), -1);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(hashtable::find_or_add_word(words, 3, hashtable::Case::insensitive, ctx, &index), -1);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(hashtable::find_or_add_word(words, 2, hashtable::Case::insensitive, 0, nullptr), 0);
  EXPECT_EQ(hashtable::find_or_add_word(words, 2, hashtable::Case::sensitive, 0, nullptr), -1);
  EXPECT_EQ(hashtable::find_or_add_word(words, 3, hashtable::Case::insensitive, ctx, &index), 1);
  const Cell* w = cells(words) + 1;
  EXPECT_TRUE(w->is(TypeId::word));
  EXPECT_EQ(w->context(), ctx);
  EXPECT_EQ(w->symbol(), 3u);
  EXPECT_EQ(w->word_index(), 1);
  // Many words: the table grows and keeps every index.
  for (uint32_t s = 10; s < 500; s++) hashtable::find_or_add_word(words, s, hashtable::Case::insensitive, ctx, &index);
  for (uint32_t s = 10; s < 500; s++)
    ASSERT_EQ(hashtable::find_or_add_word(words, s, hashtable::Case::insensitive, 0, nullptr), static_cast<int32_t>(s - 8));
  // A cloned word table is independent of its source.
  Cell context_cell{static_cast<uint32_t>(TypeId::context), words, 0, 0};
  Node clone = hashtable::init(0, &context_cell, Kind::symbol, 2);
  hashtable::find_or_add_word(clone, 777, hashtable::Case::insensitive, ctx, &index);
  EXPECT_EQ(hashtable::find_or_add_word(words, 777, hashtable::Case::insensitive, 0, nullptr), -1);
  EXPECT_EQ(hashtable::find_or_add_word(clone, 3, hashtable::Case::insensitive, 0, nullptr), 1);
  hashtable::resolve_symbol = saved;
}

// Moves the block's cells as a hash! modifier would, tells the index, and
// checks that every value is found at its new place.
TEST_F(HashTable, IndexFollowsCellsThatMove) {
  std::vector<int32_t> model = {10, 20, 30, 20, 40, 50, 20, 60};
  std::vector<Cell> values;
  for (int32_t v : model) values.push_back(integer(v));
  Cell blk = block_of(values);
  Node t = hashtable::init(8, &blk, Kind::hash, 0);
  auto check = [&](const char* step) {
    ASSERT_EQ(memory::series(blk.node())->length(), model.size()) << step;
    for (size_t p = 0; p < model.size(); p++) {
      Cell key = integer(model[p]);
      Cell* found = hashtable::get(t, &key, static_cast<int32_t>(p), 1, CompareOp::equal);
      ASSERT_EQ(position(t, found), static_cast<int32_t>(p)) << step << " value " << model[p];
    }
  };
  check("built");
  // Insert 15 at 1.
  append_slot(blk.node());
  Cell* c = cells(t);
  std::memmove(c + 2, c + 1, (model.size() - 1) * sizeof(Cell));
  hashtable::shift_entries(t, 1, 1, static_cast<int32_t>(model.size() - 1), hashtable::IndexMove::move);
  c[1] = integer(15);
  hashtable::put(t, c + 1);
  model.insert(model.begin() + 1, 15);
  check("insert");
  // Remove the two cells at 2 and 3 (30 and a 20).
  c = cells(t);
  std::memmove(c + 2, c + 4, (model.size() - 4) * sizeof(Cell));
  memory::series(blk.node())->tail -= 2 * sizeof(Cell);
  hashtable::shift_entries(t, -2, 4, static_cast<int32_t>(model.size() - 4), hashtable::IndexMove::move);
  model.erase(model.begin() + 2, model.begin() + 4);
  check("remove");
  // Move the first two cells so that they start at 4, then back to 0.
  auto move = [&](int32_t dest, int32_t src, int32_t count) {
    std::vector<int32_t> run(model.begin() + src, model.begin() + src + count);
    model.erase(model.begin() + src, model.begin() + src + count);
    model.insert(model.begin() + dest, run.begin(), run.end());
    for (size_t p = 0; p < model.size(); p++) cells(t)[p] = integer(model[p]);
    hashtable::move_entries(t, dest, src, count);
  };
  move(4, 0, 2);
  check("move forward");
  move(0, 3, 3);
  check("move backward");
  EXPECT_EQ(hashtable::shift_entries(t, 1, 0, 30001, hashtable::IndexMove::move), 1);
}

// A hash! index caught up piece by piece as its block grows (the table
// growing many times on the way, equal values chained across the growths)
// finds every position, and each position's bucket is right: deleting a
// cell takes exactly that position out.
TEST_F(HashTable, AHashIndexCaughtUpInPiecesStaysExact) {
  Cell blk = block_of({});
  Node t = hashtable::init(1, &blk, Kind::hash, 0);
  collector::Root keep(Cell{static_cast<uint32_t>(TypeId::hash), 0, blk.node(), t});
  constexpr int32_t kCells = 30000;
  auto value_at = [](int32_t p) { return p % 3 == 0 ? p / 3 % 1000 : p; };  // a third repeat
  int32_t done = 0, piece = 1;
  while (done < kCells) {
    int32_t upto = std::min(kCells, done + piece);
    for (int32_t p = done; p < upto; p++) *append_slot(blk.node()) = integer(value_at(p));
    hashtable::put_all(t, done, 1);
    done = upto;
    piece = piece * 3 + 1;
  }
  ASSERT_EQ(hashtable::indexed_count(t), kCells);
  for (int32_t p = 0; p < kCells; p++) {
    Cell key = integer(value_at(p));
    ASSERT_EQ(position(t, hashtable::get(t, &key, p, 1, CompareOp::equal)), p) << p;
  }
  // 301 is at 301, 903, 3903 ... 27903; 1001 only at 1001.
  for (int32_t p : {301, 3903, 27903, 1001}) hashtable::delete_cell(t, cells(t) + p);
  Cell k301 = integer(301), k1001 = integer(1001);
  EXPECT_EQ(position(t, hashtable::get(t, &k301, 0, 1, CompareOp::equal)), 903);
  EXPECT_EQ(position(t, hashtable::get(t, &k301, 904, 1, CompareOp::equal)), 6903);
  EXPECT_EQ(position(t, hashtable::get(t, &k301, kCells, 1, CompareOp::equal, Direction::reverse)), 24903);
  EXPECT_EQ(hashtable::get(t, &k1001, 0, 1, CompareOp::equal), nullptr);
}

// Integer keys in runs and in strides of powers of two spread over the
// buckets: the probe from a key's home bucket to where it lies stays short
// (a hash that kept the key's low bits would pile strided keys into a few
// buckets). A run of integer keys of a map fills whole groups of eight
// buckets (one cache line), by design: a group that meets another spills
// into the next lines, so its probes are a little longer.
TEST_F(HashTable, IntegerKeysDoNotCluster) {
  auto probe_lengths = [](Node t, double* mean, int32_t* longest) {
    const hashtable::Record* r = hashtable::record(t);
    const auto* b = reinterpret_cast<const uint32_t*>(memory::series(static_cast<Node>(r->keys))->head_ptr());
    uint32_t mask = static_cast<uint32_t>(r->n_buckets) - 1;
    int64_t total = 0;
    int32_t live = 0;
    *longest = 0;
    for (uint32_t i = 0; i <= mask; i++) {
      uint32_t tag = b[2 * i];
      if (tag < 0x80000000u) continue;
      uint32_t at = tag & mask;
      int32_t steps = 1;
      for (uint32_t step = 1; at != i; step++, steps++) at = (at + step) & mask;
      total += steps;
      live++;
      *longest = std::max(*longest, steps);
    }
    *mean = static_cast<double>(total) / live;
  };
  struct Case {
    const char* name;
    int32_t first, stride;
    double map_mean;  // the bound of a map's mean probe
  };
  for (const Case& c : {Case{"run", 1, 1, 3.0}, Case{"negative run", -50000, 1, 3.0},
                        Case{"stride 1024", 0, 1024, 2.0}, Case{"stride 65536", 7, 65536, 2.0},
                        Case{"stride 3", 0, 3, 2.2}, Case{"stride 9", 5, 9, 2.0}}) {
    // Keys wrap around 32 bits (the largest stride passes it).
    auto key = [&](int32_t i) {
      return static_cast<int32_t>(static_cast<uint32_t>(c.first) + static_cast<uint32_t>(i * int64_t{c.stride}));
    };
    std::vector<Cell> pairs;
    for (int32_t i = 0; i < 40000; i++) {
      pairs.push_back(integer(key(i)));
      pairs.push_back(integer(i));
    }
    Cell blk = block_of(pairs);
    Node m = hashtable::init(0, &blk, Kind::map, 1);  // grown key by key
    Node ints = hashtable::init(0, nullptr, Kind::integer, 1);
    for (int32_t i = 0; i < 40000; i++) hashtable::put_int(ints, key(i));
    for (Node t : {m, ints}) {
      double mean;
      int32_t longest;
      probe_lengths(t, &mean, &longest);
      EXPECT_LT(mean, t == m ? c.map_mean : 2.0) << c.name << " mean " << mean << " longest " << longest;
      EXPECT_LT(longest, 40) << c.name;
      EXPECT_EQ(hashtable::record(t)->size, 40000) << c.name;
    }
  }
}

TEST_F(HashTable, CopiesAndClears) {
  Cell blk = block_of({text("x"), text("X"), integer(3)});
  Node t = hashtable::init(3, &blk, Kind::hash, 0);
  Node copy_blk = memory::copy_series(memory::series(blk.node()));
  Node u = hashtable::copy(t, copy_blk);
  Cell key = text("x");
  hashtable::delete_cell(t, cells(t) + 0);
  hashtable::delete_cell(t, cells(t) + 1);
  EXPECT_EQ(hashtable::get(t, &key, 0, 1, CompareOp::equal), nullptr);
  EXPECT_EQ(position(u, hashtable::get(u, &key, 0, 1, CompareOp::equal)), 0) << "the copy has its own chains";
  hashtable::clear(u);
  EXPECT_EQ(memory::series(copy_blk)->length(), 0u);
  EXPECT_EQ(hashtable::record(u)->size, 0);
  EXPECT_EQ(hashtable::get(u, &key, 0, 1, CompareOp::equal), nullptr);
}

TEST_F(HashTable, Hashing) {
  uint32_t saved = hashtable::seed;
  hashtable::seed = 0;
  EXPECT_EQ(hashtable::murmur3("", 0), 0u);
  EXPECT_EQ(hashtable::murmur3("hello", 5), 0x248BFA47u);
  const char* fox = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(hashtable::murmur3(fox, std::strlen(fox)), 0x2E4FF723u);
  hashtable::seed = 1;
  EXPECT_EQ(hashtable::murmur3("", 0), 0x514E28B7u);
  hashtable::seed = saved;
  EXPECT_EQ(hashtable::mix_int(0), 0u);
  // A text hashes the same in 1-, 2- and 4-byte storage, and folds case
  // unless asked not to.
  Cell a = text("Hello"), b = text("hello", 2), c = text("HELLO", 4);
  EXPECT_EQ(hashtable::hash_value(&a, false), hashtable::hash_value(&b, false));
  EXPECT_EQ(hashtable::hash_value(&a, false), hashtable::hash_value(&c, false));
  EXPECT_NE(hashtable::hash_value(&a, true), hashtable::hash_value(&b, true));
  Cell d = text("hello", 4);
  EXPECT_EQ(hashtable::hash_value(&b, true), hashtable::hash_value(&d, true));
  // A string key limited to a count hashes its first characters only.
  Cell limited = text("hello world");
  limited.header = 56;
  limited.data3 = 5;
  EXPECT_EQ(hashtable::hash_value(&limited, false), hashtable::hash_value(&a, false));
  Cell none, unset;
  set_none(&none);
  set_unset(&unset);
  EXPECT_EQ(hashtable::hash_value(&none, false), 0xFFFFFFFFu);
  EXPECT_EQ(hashtable::hash_value(&unset, false), 0xFFFFFFFEu);
}

}  // namespace
}  // namespace qel
