// The per-type hashing of map! and hash! keys (values/hashing.cpp) against
// the comparison of values: keys that compare equal hash alike.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "datatypes/date.h"
#include "memory/hashtable.h"
#include "tests/unit/values_support.h"

namespace qel {
namespace {

// Keys that compare equal hash alike, or a map! keeps both and a lookup of
// one misses the other: -0.0 and 0.0 of every type holding a double or
// 32-bit float coordinates, and tuples that differ by trailing zeros.
TEST(Hashing, EqualKeysHashAlike) {
  testing_values::setup();
  auto real = [](TypeId t, double d) {
    Cell c{static_cast<uint32_t>(t), 0, 0, 0};
    c.set_real(d);
    return c;
  };
  auto point = [](TypeId t, float x, float y, float z) {
    Cell c{static_cast<uint32_t>(t), 0, 0, 0};
    std::memcpy(&c.data1, &x, 4);
    std::memcpy(&c.data2, &y, 4);
    std::memcpy(&c.data3, &z, 4);
    return c;
  };
  auto when = [](int32_t y, int32_t m, int32_t d, uint32_t zone, bool time, double stored) {
    Cell c{};
    date::set_cell(&c, date::pack(y, m, d, zone, time), stored);
    return c;
  };
  auto tuple = [](std::vector<uint8_t> bytes) {
    Cell c{static_cast<uint32_t>(TypeId::tuple) | static_cast<uint32_t>(bytes.size()) << 19, 0, 0, 0};
    std::memcpy(&c.data1, bytes.data(), bytes.size());
    return c;
  };
  struct Row {
    Cell a, b;
    bool alike;
  };
  const Row rows[] = {
      {real(TypeId::float_, -0.0), real(TypeId::float_, 0.0), true},
      {real(TypeId::percent, -0.0), real(TypeId::percent, 0.0), true},
      {real(TypeId::time, -0.0), real(TypeId::time, 0.0), true},
      {point(TypeId::point2d, -0.0f, 0.0f, 0), point(TypeId::point2d, 0.0f, 0.0f, 0), true},
      {point(TypeId::point3d, 1, -0.0f, -0.0f), point(TypeId::point3d, 1, 0.0f, 0.0f), true},
      {tuple({1, 2, 3}), tuple({1, 2, 3, 0}), true},
      {tuple({1, 2, 3}), tuple({1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0}), true},
      // Dates that stand for one instant: 1-Jan-2000/1:00+1:00 and
      // 1-Jan-2000/0:00, the bare 1-Jan-2000, and 1-Jan-2000/0:30+1:00 with
      // 31-Dec-1999/23:30.
      {when(2000, 1, 1, date::make_zone(1, 0, false), true, 0), when(2000, 1, 1, 0, true, 0), true},
      {when(2000, 1, 1, 0, false, 0), when(2000, 1, 1, 0, true, 0), true},
      {when(2000, 1, 1, date::make_zone(1, 0, false), true, -1800), when(1999, 12, 31, 0, true, 84600), true},
      // Values that differ still hash apart.
      {real(TypeId::float_, 1.0), real(TypeId::float_, -1.0), false},
      {point(TypeId::point2d, 1, 2, 0), point(TypeId::point2d, 2, 1, 0), false},
      {tuple({1, 2, 3}), tuple({1, 2, 3, 4}), false},
      {tuple({0, 0, 1}), tuple({0, 0, 0}), false},
      {when(2000, 1, 1, 0, true, 36000), when(2000, 1, 1, 0, true, 39600), false},
      {when(2000, 1, 1, 0, true, 36000), when(2000, 1, 2, 0, true, 36000), false},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(hashtable::hash_value(&r.a, false) == hashtable::hash_value(&r.b, false), r.alike)
        << static_cast<int>(r.a.type()) << " " << std::hex << r.a.data1 << " " << r.a.data3;
  }
}

}  // namespace
}  // namespace qel
