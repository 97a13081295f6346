// The interim random generator: std::mt19937 cut to 31 bits, getrandom(2)
// for the secure source, and rejection sampling for uniform integers.
#include "services/random.h"

#include <sys/random.h>

#include <random>

namespace qel::random {

namespace {
constexpr uint32_t kStartSeed = 19650218;
std::mt19937& generator() {
  static std::mt19937 g(kStartSeed);
  return g;
}
}  // namespace

void init() { generator().seed(kStartSeed); }

void seed(uint32_t s) { generator().seed(s); }

int32_t next() { return static_cast<int32_t>(generator()() & 0x7FFFFFFFu); }

int32_t secure_int() {
  uint32_t v = 0;
  unsigned char* p = reinterpret_cast<unsigned char*>(&v);
  size_t got = 0;
  while (got < sizeof v) {
    ssize_t n = getrandom(p + got, sizeof v - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  return static_cast<int32_t>(v & 0x7FFFFFFFu);
}

int32_t int_uniform(bool secure, int32_t n) {
  auto draw = [secure] { return secure ? secure_int() : next(); };
  if (n == 0) return 0;
  if (n == INT32_MIN) return -1 - draw();
  const bool negative = n < 0;
  const int32_t m = negative ? -n : n;
  const int32_t limit = (INT32_MAX / m) * m;
  int32_t r;
  do r = draw();
  while (r >= limit);
  const int32_t v = r % m + 1;
  return negative ? -v : v;
}

}  // namespace qel::random
