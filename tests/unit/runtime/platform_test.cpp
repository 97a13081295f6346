// Platform services: wait lengths, time zones in the date word, the clock,
// the environment and the current directory.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "runtime/platform.h"

namespace qel {
namespace {

TEST(Platform, WaitLengths) {
  struct Case {
    double seconds;
    uint64_t ms;
  } cases[] = {
      {0, 1}, {0.0004, 1}, {0.001, 1}, {1.5, 1500}, {0.0999, 99}, {-5, 1},
      // Regression: values past 24.8 days, infinity and NaN overflowed a
      // 32-bit millisecond count.
      {30.0 * 86400, 30ull * 86400 * 1000}, {1e300, platform::kMaxWaitMs},
      {INFINITY, platform::kMaxWaitMs}, {-INFINITY, 1}, {NAN, 1},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::wait_milliseconds(c.seconds), c.ms) << c.seconds;
  auto start = std::chrono::steady_clock::now();
  platform::wait(0);
  platform::wait(NAN);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2));
}

// Sets TZ for one test and puts it back.
class Zone {
 public:
  explicit Zone(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old, had_ = true;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~Zone() {
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

TEST(Platform, DateWordZone) {
  const std::time_t winter = 1736942400;  // 2025-01-15 12:00 UTC
  const std::time_t summer = 1752580800;  // 2025-07-15 12:00 UTC
  {
    Zone z("America/St_Johns");  // UTC-03:30 in winter, -02:30 in summer
    uint32_t d = platform::get_date_at(winter, false);
    EXPECT_EQ(d >> 17, 2025u);
    EXPECT_EQ((d >> 12) & 0x1F, 1u);
    EXPECT_EQ((d >> 7) & 0x1F, 15u);
    EXPECT_EQ((d >> 2) & 0x1F, 0x13u);  // 3 hours with the sign bit
    EXPECT_EQ(d & 3, 2u);               // 2 quarter hours
    EXPECT_EQ(platform::get_date_at(summer, false) & 0x7F, (0x12u << 2) | 2);
  }
  {
    Zone z("Asia/Kathmandu");  // UTC+05:45
    EXPECT_EQ(platform::get_date_at(winter, false) & 0x7F, (5u << 2) | 3);
  }
  EXPECT_EQ(platform::get_date_at(winter, true) & 0x7F, 0u);
  // Offsets west of UTC keep their minutes and sign.
  EXPECT_EQ(platform::pack_date(2000, 1, 1, -(3 * 3600 + 45 * 60)) & 0x7F, (0x13u << 2) | 3);
  EXPECT_EQ(platform::pack_date(2000, 1, 1, -30 * 60) & 0x7F, (0x10u << 2) | 2);
  EXPECT_EQ(platform::pack_date(2000, 12, 31, 0), (2000u << 17) | (12u << 12) | (31u << 7));
}

TEST(Platform, TimeOfDay) {
  double coarse = platform::get_time(false);
  double precise = platform::get_time(true);
  EXPECT_EQ(coarse, std::floor(coarse));
  EXPECT_GE(coarse, 0);
  EXPECT_LT(precise, 86400);
  // Both read the same clock (allowing a midnight wrap between the reads).
  EXPECT_TRUE(std::fabs(precise - coarse) < 2 || coarse > 86398);
}

TEST(Platform, EnvironmentAndDirectory) {
  const std::string name = "QEL_PLATFORM_TEST_VARIABLE";
  EXPECT_FALSE(platform::get_env(name).has_value());
  const std::string value = "caf\xC3\xA9 = 1";
  EXPECT_TRUE(platform::set_env(name, &value));
  EXPECT_EQ(platform::get_env(name).value_or(""), value);
  EXPECT_TRUE(platform::set_env(name, nullptr));
  EXPECT_FALSE(platform::get_env(name).has_value());

  auto here = platform::get_current_dir();
  ASSERT_TRUE(here.has_value());
  EXPECT_TRUE(platform::set_current_dir("/"));
  EXPECT_EQ(platform::get_current_dir().value_or(""), "/");
  EXPECT_FALSE(platform::set_current_dir("/no/such/directory/here"));
  EXPECT_TRUE(platform::set_current_dir(*here));
}

TEST(Platform, SecureRandomBytesFillTheBuffer) {
  // Two 64-byte draws are equal with probability 2^-512; all zero likewise.
  std::vector<uint8_t> a(64, 0), b(64, 0);
  platform::random_bytes(a.data(), a.size());
  platform::random_bytes(b.data(), b.size());
  EXPECT_NE(a, b);
  EXPECT_NE(a, std::vector<uint8_t>(64, 0));
}

}  // namespace
}  // namespace qel
