// Heap blocks, catch levels and the numeric helpers of the runtime.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "runtime/heap.h"
#include "text/numeric.h"
#include "core/unwind.h"

namespace qel {
namespace {

class HeapBlocks : public ::testing::Test {
 protected:
  void SetUp() override { runtime::free_all(); }
  void TearDown() override { runtime::free_all(); }
};

TEST_F(HeapBlocks, ListKeepsEveryLiveBlock) {
  void* a = runtime::alloc(10);
  void* b = runtime::alloc_zeroed(100);
  void* c = runtime::alloc(0);
  EXPECT_EQ(runtime::live_blocks(), 3u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(static_cast<char*>(b)[i], 0);
  // Freeing the first, then the last, then the only block left.
  runtime::free(a);
  runtime::free(c);
  EXPECT_EQ(runtime::live_blocks(), 1u);
  runtime::free(b);
  EXPECT_EQ(runtime::live_blocks(), 0u);
  // A new block after the list emptied is linked correctly.
  void* d = runtime::alloc(4);
  EXPECT_EQ(runtime::live_blocks(), 1u);
  runtime::free(d);
}

TEST_F(HeapBlocks, FreeIgnoresForeignAndRepeatedAddresses) {
  int local = 0;
  void* a = runtime::alloc(8);
  runtime::free(&local + 8);
  runtime::free(nullptr);
  EXPECT_EQ(runtime::live_blocks(), 1u);
  runtime::free(a);
  runtime::free(a);
  EXPECT_EQ(runtime::live_blocks(), 0u);
}

TEST_F(HeapBlocks, ReallocKeepsContentsAndListPlace) {
  void* p = runtime::realloc(nullptr, 4);  // null allocates
  std::memcpy(p, "abc", 4);
  void* first = runtime::alloc(8);
  void* middle = runtime::alloc(8);
  void* last = runtime::alloc(8);
  middle = runtime::realloc(middle, 1 << 20);
  p = runtime::realloc(p, 1 << 16);
  EXPECT_STREQ(static_cast<char*>(p), "abc");
  EXPECT_EQ(runtime::live_blocks(), 4u);
  // Every block is still reachable through the list: freeing each leaves it
  // consistent down to empty.
  for (void* q : {middle, p, last, first}) runtime::free(q);
  EXPECT_EQ(runtime::live_blocks(), 0u);
  // Size 0 frees and returns null.
  void* r = runtime::alloc(8);
  EXPECT_EQ(runtime::realloc(r, 0), nullptr);
  EXPECT_EQ(runtime::live_blocks(), 0u);
}

TEST(CatchLevels, StopAtTheFirstSiteNotBelowTheLevel) {
  // A throw of 0x7FFFFFF7 passes a site of level 0x7FFFFFF6 and stops at one
  // of level 0x7FFFFFF8.
  bool inner_saw = false;
  uint32_t caught = unwind::catch_level(0x7FFFFFF8, [&] {
    unwind::catch_level(0x7FFFFFF6, [&] { unwind::throw_level(0x7FFFFFF7); });
    inner_saw = true;
  });
  EXPECT_EQ(caught, 0x7FFFFFF7u);
  EXPECT_FALSE(inner_saw);
  EXPECT_EQ(unwind::thrown, 0x7FFFFFF7u);
  // The comparison is unsigned: the root level stops everything, and a
  // level above 0x7FFFFFFF is not stopped by the error level.
  EXPECT_EQ(unwind::catch_level(level::root, [] { unwind::throw_level(level::silent_exit); }),
            level::silent_exit);
  EXPECT_EQ(unwind::catch_level(level::root, [] {
              unwind::catch_level(level::error, [] { unwind::throw_level(0x80000000u); });
            }),
            0x80000000u);
  // An exit at exactly the site's level stops there; a normal return gives 0.
  EXPECT_EQ(unwind::catch_level(level::lexer, [] { unwind::throw_level(level::lexer); }), level::lexer);
  EXPECT_EQ(unwind::catch_level(level::lexer, [] {}), 0u);
}

TEST(Numeric, NormalizeDegrees) {
  constexpr double kPi = 3.141592653589793;
  struct Case {
    double degrees;
    runtime::AngleUse use;
    double expected_degrees;
  } cases[] = {
      {190, runtime::AngleUse::sine, -10},    {100, runtime::AngleUse::tangent, -80},
      {450, runtime::AngleUse::cosine, 90},   {-190, runtime::AngleUse::sine, 10},
      {-100, runtime::AngleUse::tangent, 80}, {270, runtime::AngleUse::cosine, -90},
      {30, runtime::AngleUse::sine, 30},      {-720, runtime::AngleUse::cosine, 0},
  };
  for (const Case& c : cases)
    EXPECT_DOUBLE_EQ(runtime::normalize_degrees(c.degrees, c.use), c.expected_degrees * kPi / 180)
        << c.degrees;
  EXPECT_TRUE(std::isnan(runtime::normalize_degrees(INFINITY, runtime::AngleUse::sine)));
  EXPECT_EQ(runtime::align_up(17, 16), 32u);
  EXPECT_EQ(runtime::align_up(32, 16), 32u);
}

}  // namespace
}  // namespace qel
