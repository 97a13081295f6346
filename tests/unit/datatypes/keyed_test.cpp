// Internals of handle!, hash! and map! that Qel code cannot reach: handles
// of every class and their external resources across collections, the
// hash! index kept as a prefix of its block, and the emptying of a table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datatypes/handle.h"
#include "datatypes/hash.h"
#include "datatypes/map.h"
#include "memory/collector.h"
#include "memory/hashtable.h"
#include "runtime/ext_resource.h"
#include "tests/unit/values_support.h"
#include "datatypes/block.h"
#include "values/context.h"
#include "values/symbol.h"
#include "datatypes/word.h"

namespace qel {
namespace {

using testing_values::molded;

std::vector<void*> released;
void release(void* object) { released.push_back(object); }

class Keyed : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_values::setup();
    saved_active_ = collector::active;
  }
  void TearDown() override { collector::active = saved_active_; }
  bool saved_active_ = false;
};

Cell handle_of(int32_t value, handle::Class cls) {
  Cell h;
  handle::make_at(&h, value, cls);
  return h;
}

TEST_F(Keyed, HandlesMoldTheirClassAndCompareByValue) {
  struct Case {
    int32_t value;
    handle::Class cls;
    std::string all;
  };
  const Case cases[] = {
      {0xABCD, handle::Class::null, "#[handle! 0000ABCDh]"},
      {0xABCD, handle::Class::fd, "#[handle! 0000ABCDh fd]"},
      {1, handle::Class::monitor, "#[handle! 00000001h monitor]"},
      {-1, handle::Class::window, "#[handle! FFFFFFFFh window]"},
      {2, handle::Class::font, "#[handle! 00000002h font]"},
      {3, handle::Class::rich_text, "#[handle! 00000003h rich-text]"},
      {4, static_cast<handle::Class>(9), "#[handle! 00000004h]"},
  };
  for (const Case& c : cases) {
    Cell h = handle_of(c.value, c.cls);
    EXPECT_EQ(molded(h, true), c.all);
    EXPECT_EQ(molded(h), "handle!");
  }
  Cell a = handle_of(5, handle::Class::fd), b = handle_of(5, handle::Class::window);
  Cell lo = handle_of(-7, handle::Class::fd), five;
  set_integer(&five, 5);
  EXPECT_EQ(handle::compare(&a, &b, CompareOp::equal), 0) << "the class is not compared";
  EXPECT_EQ(handle::compare(&lo, &a, CompareOp::lesser), -1) << "values compare signed";
  EXPECT_EQ(handle::compare(&a, &five, CompareOp::equal), 1) << "another type is unequal, not incomparable";
  EXPECT_EQ(handle::value_of(&lo), -7);
  EXPECT_EQ(handle::class_of(&b), handle::Class::window);
}

// A handle keeps its record (and the object it holds) alive; once the last
// handle is gone the collection releases the object.
TEST_F(Keyed, AHandleKeepsItsExternalResource) {
  ext_resource::init();
  released.clear();
  int32_t kind = ext_resource::register_kind("test", release);
  void* object = &released;
  int32_t index = ext_resource::store(object, kind);
  int32_t loose = ext_resource::store(this, kind);
  {
    collector::Root keep(handle_of(index, handle::Class::fd));
    collector::Root null_handle(handle_of(loose, handle::Class::null));
    collector::collect();
    EXPECT_EQ(released, std::vector<void*>{this}) << "a null handle names no record";
    EXPECT_EQ(ext_resource::object_of(index), object);
  }
  collector::collect();
  EXPECT_EQ(released, (std::vector<void*>{this, object}));
  EXPECT_EQ(ext_resource::stored_count(), 0);
  ext_resource::init();
}

// The index covers positions 0 .. indexed_count - 1: appends lie past it
// until a lookup takes them; any other change empties it.
TEST_F(Keyed, TheHashIndexIsAPrefixOfItsBlock) {
  Cell* h = stack::push_slot();
  hash::make_over(h, memory::alloc_cells(4), 0, 4);
  Node table = h->data3;
  Cell v;
  for (int32_t i = 0; i < 101; i++) {
    set_integer(&v, i < 100 ? i : 7);
    block::rs_append(h, &v);
    block::hash_appended(h, 1);
  }
  EXPECT_EQ(hashtable::indexed_count(table), 0);
  set_integer(&v, 7);
  FindArgs args;
  // Many cells to index: the first lookups scan, then one indexes them.
  EXPECT_EQ(block::find_index(h, &v, args), 7);
  EXPECT_EQ(hashtable::indexed_count(table), 0);
  int32_t lookups = 1;
  while (hashtable::indexed_count(table) == 0 && lookups < 10) {
    EXPECT_EQ(block::find_index(h, &v, args), 7);
    lookups++;
  }
  EXPECT_EQ(lookups, 5);
  EXPECT_EQ(hashtable::indexed_count(table), 101);
  EXPECT_EQ(hashtable::record(table)->size, 100) << "equal values share a bucket";
  // A few appended cells are indexed by the next lookup.
  set_integer(&v, 500);
  block::rs_append(h, &v);
  block::hash_appended(h, 1);
  EXPECT_EQ(block::find_index(h, &v, args), 101);
  EXPECT_EQ(hashtable::indexed_count(table), 102);
  set_integer(&v, 7);
  args.last = true;
  EXPECT_EQ(block::find_index(h, &v, args), 100);
  args.last = false;
  int32_t buckets = hashtable::record(table)->n_buckets;

  // Shrinking to a few cells: the emptied index also gets smaller arrays.
  block::rs_clear_from(h, 3);
  block::hash_changed(h);
  EXPECT_EQ(hashtable::indexed_count(table), 0);
  EXPECT_LT(hashtable::record(table)->n_buckets, buckets);
  set_integer(&v, 2);
  EXPECT_EQ(block::find_index(h, &v, args), 2);
  EXPECT_EQ(hashtable::indexed_count(table), 3);
  set_integer(&v, 7);
  EXPECT_EQ(block::find_index(h, &v, args), -1);

  // A hash given a new buffer gets an index of its own.
  Cell other = *h;
  other.set_node(memory::alloc_cells(1));
  block::hash_changed(&other);
  EXPECT_NE(other.data3, table);
  EXPECT_EQ(static_cast<Node>(hashtable::record(other.data3)->blk), other.node());
  stack::top = h;
}

// Keys enter a map prepared: strings copied, words as set-words.
TEST_F(Keyed, MapKeysArePrepared) {
  Cell key;
  string::make_utf8(&key, "k");
  Cell copy = key;
  map::prepare_key(&copy);
  EXPECT_NE(copy.node(), key.node());
  EXPECT_TRUE(copy.is(TypeId::string));
  Cell w = word::load("w");
  map::prepare_key(&w);
  EXPECT_TRUE(w.is(TypeId::set_word));
  Cell blk;
  block::make_at(&blk, 1);
  EXPECT_EQ(testing_values::raised([&] { map::prepare_key(&blk); }),
            testing_values::code(ErrorCode::script_invalid_path));
}

// One step of foreach over a map: key then value, removed pairs skipped,
// words past the last entry set to none.
TEST_F(Keyed, ForeachStepsOverLiveEntries) {
  Cell* pairs = block::push_only(6);
  for (const char* k : {"a", "b", "c"}) {
    Cell key = word::load(k), value;
    set_integer(&value, k[0]);
    block::rs_append(pairs, &key);
    block::rs_append(pairs, &value);
  }
  Cell* m = map::make_at(stack::push_slot(), pairs, 6);
  Cell b = word::load("b");
  map::remove(m, nullptr, &b);
  Cell* words = block::push_only(2);
  Cell k = word::load("k"), v = word::load("v");
  block::rs_append(words, &k);
  block::rs_append(words, &v);
  Cell pos = *m;
  std::string seen;
  while (map::foreach_next(words, &pos, 2)) {
    EXPECT_TRUE(context::get(&k)->is(TypeId::word));
    seen += std::string(symbol::name(context::get(&k)->symbol())) + std::to_string(context::get(&v)->integer());
  }
  EXPECT_EQ(seen, "a97c99");
  EXPECT_TRUE(context::get(&k)->is(TypeId::none));
  Cell* odd = block::push_only(2);
  Cell one;
  set_integer(&one, 1);
  block::rs_append(odd, &k);
  block::rs_append(odd, &one);
  pos = *m;
  EXPECT_EQ(testing_values::raised([&] { map::foreach_next(odd, &pos, 2); }),
            testing_values::code(ErrorCode::script_invalid_arg)) << "words only";
  EXPECT_EQ(testing_values::raised([&] { map::foreach_next(words, &pos, 1); }),
            testing_values::code(ErrorCode::script_invalid_arg)) << "a key and a value";
  stack::top = pairs;
}

}  // namespace
}  // namespace qel
