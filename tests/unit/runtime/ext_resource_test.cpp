// The external-resource table: growth, reuse of freed records, marking and
// sweeping, and freeing indexes that are not stored.
#include <gtest/gtest.h>

#include <vector>

#include "runtime/ext_resource.h"

namespace qel {
namespace {

std::vector<void*> released;
void record_release(void* object) { released.push_back(object); }

void* object(intptr_t i) { return reinterpret_cast<void*>(i * 16 + 16); }

class ExtResource : public ::testing::Test {
 protected:
  void SetUp() override {
    ext_resource::init();
    released.clear();
    kind = ext_resource::register_kind("image", record_release);
  }
  int32_t kind = 0;
};

TEST_F(ExtResource, TheThousandthRecordDoublesTheTable) {
  EXPECT_EQ(kind, 1);
  EXPECT_EQ(ext_resource::register_kind("other", nullptr), 2);
  for (int i = 0; i < 999; ++i) EXPECT_EQ(ext_resource::store(object(i), kind), i);
  EXPECT_EQ(ext_resource::capacity(), 1000);
  EXPECT_EQ(ext_resource::store(object(999), kind), 999);
  EXPECT_EQ(ext_resource::capacity(), 2000);
  // Records given out before the growth are intact.
  EXPECT_EQ(ext_resource::object_of(0), object(0));
  EXPECT_EQ(ext_resource::flags_of(500), static_cast<uint32_t>(kind));
  EXPECT_EQ(ext_resource::store(object(1000), kind), 1000);
  EXPECT_EQ(ext_resource::stored_count(), 1001);
}

TEST_F(ExtResource, FreedIndexIsHandedOutAgain) {
  int32_t a = ext_resource::store(object(1), kind);
  int32_t b = ext_resource::store(object(2), kind);
  int32_t c = ext_resource::store(object(3), kind);
  EXPECT_EQ(ext_resource::free(b, true), -1);
  EXPECT_EQ(released, std::vector<void*>{object(2)});
  EXPECT_EQ(ext_resource::store(object(4), kind), b);
  // Freeing the newest (the stored list's head) and the oldest (its end)
  // without release.
  EXPECT_EQ(ext_resource::free(b, false), -1);
  EXPECT_EQ(ext_resource::free(a, false), -1);
  EXPECT_EQ(released.size(), 1u);
  EXPECT_EQ(ext_resource::stored_count(), 1);
  EXPECT_EQ(ext_resource::object_of(c), object(3));
}

// Regression: freeing an index that is not on the stored list walked past
// the list's end.
TEST_F(ExtResource, FreeingAnIndexNotStoredChangesNothing) {
  int32_t a = ext_resource::store(object(1), kind);
  for (int32_t index : {a + 1, 999, 5000, -1}) EXPECT_EQ(ext_resource::free(index, true), -1);
  EXPECT_EQ(ext_resource::free(a, true), -1);
  EXPECT_EQ(ext_resource::free(a, true), -1);  // already free
  EXPECT_EQ(released, std::vector<void*>{object(1)});
  // The free list is intact: two stores give two distinct indexes.
  int32_t x = ext_resource::store(object(5), kind);
  int32_t y = ext_resource::store(object(6), kind);
  EXPECT_EQ(x, a);
  EXPECT_NE(x, y);
  EXPECT_EQ(ext_resource::stored_count(), 2);
}

TEST_F(ExtResource, MarkAndSweep) {
  int32_t keep = ext_resource::store(object(1), kind);
  int32_t drop = ext_resource::store(object(2), kind);
  int32_t keep2 = ext_resource::store(object(3), kind);
  int32_t drop2 = ext_resource::store(object(4), kind);
  EXPECT_TRUE(ext_resource::mark(keep, nullptr));
  EXPECT_FALSE(ext_resource::mark(keep, nullptr));  // already marked
  EXPECT_TRUE(ext_resource::mark(keep2, object(9)));  // replaces the object
  ext_resource::sweep();
  EXPECT_EQ(released, (std::vector<void*>{object(4), object(2)}));
  EXPECT_EQ(ext_resource::stored_count(), 2);
  EXPECT_EQ(ext_resource::object_of(keep2), object(9));
  EXPECT_TRUE(ext_resource::flags_of(drop) & ext_resource::record_flag::free);
  EXPECT_TRUE(ext_resource::flags_of(drop2) & ext_resource::record_flag::free);
  // A sweep with every record marked releases nothing and clears the marks.
  released.clear();
  ext_resource::mark(keep, nullptr);
  ext_resource::mark(keep2, nullptr);
  ext_resource::sweep();
  EXPECT_TRUE(released.empty());
  EXPECT_FALSE(ext_resource::flags_of(keep) & ext_resource::record_flag::marked);
  EXPECT_TRUE(ext_resource::mark(keep, nullptr));
}

}  // namespace
}  // namespace qel
