// The random generator (see random.h), the secure source and uniform draws.
#include "text/random.h"

#include "runtime/startup_slots.h"
#include "runtime/platform.h"

namespace qel::random {

namespace {

constexpr int kWords = 624;
constexpr int kMiddle = 397;
constexpr uint32_t kSeedMultiplier = 1812433253u;  // 0x6C078965
constexpr uint32_t kTwist = 0x9908B0DFu;
constexpr uint32_t kUpper = 0x80000000u;
constexpr uint32_t kLower = 0x7FFFFFFFu;
constexpr uint32_t kTemperB = 0x9D2C5680u;
constexpr uint32_t kTemperC = 0xEFC60000u;

// Arithmetic right shift of a word taken as signed (C++20 defines >> on a
// negative int32_t as arithmetic).
constexpr uint32_t sar(uint32_t v, int n) {
  return static_cast<uint32_t>(static_cast<int32_t>(v) >> n);
}

struct State {
  uint32_t words[kWords];
  int position;
};

// Seeding: word 0 is the seed, each next word mixes the previous one; the
// multiplication wraps at 32 bits.
constexpr void seed_state(State& s, uint32_t value) {
  s.words[0] = value;
  for (int i = 1; i < kWords; i++) {
    const uint32_t prev = s.words[i - 1];
    s.words[i] = kSeedMultiplier * (prev ^ sar(prev, 30)) + static_cast<uint32_t>(i);
  }
  s.position = 0;
}

constexpr State seeded(uint32_t value) {
  State s{};
  seed_state(s, value);
  return s;
}

// Seeded at compile time, so draws before start-up's init already follow
// the start-up seed.
State state = seeded(kStartSeed);

void twist(State& s) {
  for (int k = 0; k < kWords; k++) {
    const uint32_t y = (s.words[k] & kUpper) | (s.words[(k + 1) % kWords] & kLower);
    uint32_t w = s.words[(k + kMiddle) % kWords] ^ sar(y, 1);
    if (y & 1) w ^= kTwist;
    s.words[k] = w;
  }
  s.position = 0;
}

}  // namespace

void init() { seed_state(state, kStartSeed); }

void seed(uint32_t s) { seed_state(state, s); }

int32_t next() {
  if (state.position == kWords) twist(state);
  uint32_t y = state.words[state.position++];
  y ^= sar(y, 11);
  y ^= (y << 7) & kTemperB;
  y ^= (y << 15) & kTemperC;
  y ^= sar(y, 18);
  return static_cast<int32_t>(y);
}

int32_t secure_int() {
  uint8_t b[4];
  platform::random_bytes(b, sizeof b);
  const uint32_t v = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
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
