// Item arrays over byte series, and the heap-backed integer map.
#include <gtest/gtest.h>

#include "memory/intmap.h"
#include "memory/items.h"
#include "memory/series.h"

namespace qel {
namespace {

TEST(MemoryItems, FindTruncateLengthAndRemove) {
  memory::init();
  Node a = array::make(0, 4);
  EXPECT_EQ(array::find(a, 7), -1);
  for (uint32_t v : {7u, 9u, 7u}) array::append(a, v);
  EXPECT_EQ(array::length_q(a), 3u) << "12 bytes of 4-byte items";
  EXPECT_EQ(array::find(a, 7), 0);
  EXPECT_EQ(array::find(a, 9), 4);
  EXPECT_EQ(array::pick(a, 2), 9u);
  array::poke(a, 3, 5);
  EXPECT_EQ(array::remove_value(a, 42), -1);
  EXPECT_EQ(array::length_q(a), 3u);
  EXPECT_EQ(array::remove_value(a, 9), 4);
  EXPECT_EQ(array::length_q(a), 2u);
  EXPECT_EQ(array::pick(a, 2), 5u);
  Node b = array::copy(a);
  array::truncate_at(a, 1);
  EXPECT_EQ(array::length_q(a), 0u);
  EXPECT_EQ(array::length_q(b), 2u);
  for (int i = 0; i < 1000; i++) array::append(b, static_cast<uint32_t>(i));
  EXPECT_EQ(array::pick(b, 1002), 999u);
  Node bytes = array::make(2, 1);
  array::append_bytes(bytes, "abc", 3);
  array::append_byte(bytes, 'd');
  EXPECT_EQ(array::length_q(bytes), 4u);
  EXPECT_EQ(array::head(bytes)[3], 'd');
  array::remove_at(bytes, 1, 100);
  EXPECT_EQ(array::length_q(bytes), 1u);
}

TEST(MemoryIntMap, PutFindGetAndGrowth) {
  int_map::IntMap* m = int_map::init(0);
  EXPECT_EQ(m->n_buckets, 8);
  for (uint32_t k = 0; k < 6; k++) EXPECT_EQ(int_map::put(m, k, k + 100), 0);
  EXPECT_EQ(m->n_buckets, 8);
  EXPECT_EQ(int_map::put(m, 6, 106), 0);
  EXPECT_EQ(m->n_buckets, 16) << "doubles when the seventh key goes in";
  EXPECT_EQ(int_map::put(m, 0, 7), 1) << "key 0 is an ordinary key";
  EXPECT_EQ(*int_map::get(m, 0), 7u);
  EXPECT_EQ(int_map::get(m, 99), nullptr);
  EXPECT_EQ(int_map::find(m, 99), -1);
  for (uint32_t k = 1000; k < 50000; k++) int_map::put(m, k * 2654435761u, k);
  for (uint32_t k = 1000; k < 50000; k++) ASSERT_EQ(*int_map::get(m, k * 2654435761u), k);
  EXPECT_EQ(*int_map::get(m, 5), 105u);
  int_map::free(m);
  int_map::free(nullptr);
}

}  // namespace
}  // namespace qel
