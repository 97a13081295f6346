// Series allocation: sizes, the size ceiling, expansion, copying, big and
// heap-backed buffers.
#include <gtest/gtest.h>

#include <cstring>

#include "memory/collector.h"
#include "memory/series.h"
#include "core/unwind.h"

namespace qel {
namespace {

class MemorySeries : public ::testing::Test {
 protected:
  void SetUp() override { memory::init(); }
  void TearDown() override { EXPECT_EQ(memory::verify_heap(), nullptr); }
};

TEST_F(MemorySeries, SizesAreRoundedTo16AndStartEmpty) {
  struct Case {
    const char* what;
    Node node;
    uint32_t size;
    uint32_t unit;
  };
  const Case cases[] = {
      {"bytes 0", memory::alloc_bytes(0), 16, 1},
      {"bytes 1", memory::alloc_bytes(1), 16, 1},
      {"bytes 17", memory::alloc_bytes(17), 32, 1},
      {"units 0 of 1", memory::alloc_units(0, 1), 16, 1},
      {"units 0 of 2", memory::alloc_units(0, 2), 16, 2},
      {"units 0 of 4", memory::alloc_units(0, 4), 16, 4},
      {"units 5 of 2", memory::alloc_units(5, 2), 16, 2},
      {"cells 3", memory::alloc_cells(3), 48, 16},
      {"cells 0", memory::alloc_cells(0), 16, 16},
  };
  for (const Case& c : cases) {
    SeriesBuffer* s = memory::series(c.node);
    EXPECT_EQ(s->size, c.size) << c.what;
    EXPECT_EQ(s->unit(), c.unit) << c.what;
    EXPECT_EQ(s->offset, 0u) << c.what;
    EXPECT_EQ(s->tail, 0u) << c.what;
    EXPECT_EQ(s->node, c.node) << c.what;
    EXPECT_TRUE(s->flags & series_flag::live) << c.what;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(s->data()) % 8, 0u) << c.what;
  }
}

TEST_F(MemorySeries, UnsetCellsAndFilledBytes) {
  SeriesBuffer* s = memory::series(memory::alloc_unset_cells(3));
  for (uint32_t i = 0; i < s->size / 16; i++) EXPECT_TRUE(reinterpret_cast<Cell*>(s->data())[i].is(TypeId::unset));
  EXPECT_EQ(s->tail, 0u);
  s = memory::series(memory::alloc_bytes_filled(20, 0x5A));
  for (uint32_t i = 0; i < s->size; i++) ASSERT_EQ(s->data()[i], 0x5A);
}

// A request whose byte size wraps 32 bits (or passes the series ceiling)
// raises no-memory instead of handing out a short buffer.
TEST_F(MemorySeries, HugeRequestsRaiseNoMemory) {
  EXPECT_THROW(memory::alloc_cells(200'000'000), NonLocalExit);
  EXPECT_THROW(memory::alloc_series(uint64_t{1} << 60, 16), NonLocalExit);
  EXPECT_THROW(memory::alloc_bytes(uint64_t{1} << 32), NonLocalExit);
  EXPECT_THROW(memory::alloc_series_heap(300'000'000, 16), NonLocalExit);
  SeriesBuffer* s = memory::series(memory::alloc_bytes(16));
  EXPECT_THROW(memory::expand_series(s, uint64_t{3} << 30), NonLocalExit);
  EXPECT_EQ(memory::verify_heap(), nullptr);
}

TEST_F(MemorySeries, ExpandWithZeroDoublesAndKeepsHeadRelativeContent) {
  Node n = memory::alloc_bytes(32);
  SeriesBuffer* s = memory::series(n);
  for (int i = 0; i < 32; i++) s->data()[i] = static_cast<uint8_t>(i);
  s->offset = 4;
  s->tail = 20;
  SeriesBuffer* old = s;
  SeriesBuffer* e = memory::expand_series(s, 0);
  EXPECT_EQ(e, memory::series(n));
  EXPECT_EQ(e->size, 64u);
  EXPECT_EQ(e->offset, 0u);
  EXPECT_EQ(e->used_bytes(), 16u);
  for (int i = 0; i < 28; i++) ASSERT_EQ(e->data()[i], i + 4);
  EXPECT_EQ(old->node, 0u);
  EXPECT_FALSE(old->flags & series_flag::live);

  e = memory::expand_series_filled(e, 128, 0xEE);
  EXPECT_EQ(e->data()[27], 31);
  for (uint32_t i = 64; i < 128; i++) ASSERT_EQ(e->data()[i], 0xEE);
}

TEST_F(MemorySeries, ReserveTailGrowsAndAppendSlotMakesUnsetCells) {
  Node n = memory::alloc_bytes(0);
  for (int i = 0; i < 1000; i++) *memory::reserve_tail(n, 1) = static_cast<uint8_t>(i);
  SeriesBuffer* s = memory::series(n);
  ASSERT_EQ(s->used_bytes(), 1000u);
  for (int i = 0; i < 1000; i++) ASSERT_EQ(s->head_ptr()[i], static_cast<uint8_t>(i));
  Node b = memory::alloc_cells(1);
  for (int i = 0; i < 100; i++) set_integer(append_slot(b), i);
  s = memory::series(b);
  ASSERT_EQ(s->length(), 100u);
  EXPECT_EQ(s->cell_at(99)->integer(), 99);
  EXPECT_TRUE(append_slot(b)->is(TypeId::unset));
}

TEST_F(MemorySeries, CopyKeepsFlagsAndContent) {
  Node n = memory::alloc_units(10, 2);
  memory::set_series_flags(n, series_flag::complement);
  SeriesBuffer* s = memory::series(n);
  std::memcpy(s->data(), "abcdefgh", 8);
  s->offset = 2;
  s->tail = 8;
  Node c = memory::copy_series(s);
  SeriesBuffer* d = memory::series(c);
  EXPECT_EQ(d->unit(), 2u);
  EXPECT_TRUE(d->flags & series_flag::complement);
  EXPECT_EQ(d->used_bytes(), 6u);
  EXPECT_EQ(std::memcmp(d->head_ptr(), "cdefgh", 6), 0);
}

TEST_F(MemorySeries, BigBuffersLiveInTheirOwnFrames) {
  // The footprint (data + header + spare) decides: at 2 MB it is big.
  uint32_t fits = memory::kBigThreshold - memory::kBufferOverhead - 16;
  Node small = memory::alloc_bytes(fits);
  Node big = memory::alloc_bytes(fits + 16);
  EXPECT_FALSE(memory::series(small)->flags & series_flag::big);
  EXPECT_TRUE(memory::series(big)->flags & series_flag::big);
  // Growing a framed buffer past the threshold makes it big.
  SeriesBuffer* g = memory::expand_series(memory::series(small), 0);
  EXPECT_TRUE(g->flags & series_flag::big);
}

TEST_F(MemorySeries, HeapBackedSeriesStayHeapBackedWhenTheyGrow) {
  Node n = memory::alloc_series_heap(2, 16);
  for (int i = 0; i < 50; i++) set_integer(append_slot(n), i);
  SeriesBuffer* s = memory::series(n);
  EXPECT_TRUE(s->flags & series_flag::heap);
  EXPECT_EQ(s->length(), 50u);
  EXPECT_EQ(s->cell_at(49)->integer(), 49);
  collector::collect();
  EXPECT_EQ(memory::series(n), s);
  EXPECT_EQ(s->cell_at(0)->integer(), 0);
}

TEST(MemoryNodeTable, ReservationLeavesALimitedAddressSpaceToTheFrames) {
  struct Row {
    uint64_t limit, nodes;
  };
  const Row rows[] = {
      {0, uint64_t{1} << 32},                   // no limit: every 32-bit node
      {uint64_t{1} << 40, uint64_t{1} << 32},   // a limit above what all nodes take
      {300'000 * 1024ull, uint64_t{1} << 21},   // ulimit -v 300000: 16 MiB of 293 MiB
      {uint64_t{128} << 20, uint64_t{1} << 20}, // exactly a sixteenth
      {100'000, uint64_t{1} << 16},             // far too little: the smallest table
  };
  for (const Row& r : rows) {
    EXPECT_EQ(memory::node_table_wish(r.limit), r.nodes) << r.limit;
    if (r.limit && r.nodes > (uint64_t{1} << 16)) {
      EXPECT_LE(r.nodes * 8, r.limit / 16) << r.limit;
    }
  }
}

TEST_F(MemorySeries, RootBlockExistsAndIsHeapBacked) {
  ASSERT_NE(memory::root_block, kNoNode);
  EXPECT_TRUE(memory::series(memory::root_block)->flags & series_flag::heap);
  EXPECT_EQ(memory::series(memory::root_block)->unit(), 16u);
}

}  // namespace
}  // namespace qel
