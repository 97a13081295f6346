// Random numbers behind the `random` action of every datatype: a seedable
// generator whose outputs lie in 0 .. 2^31 - 1, a secure 31-bit source, and a
// uniform draw of an integer from 1 to N without modulo bias.
//
// The generator is Qel's own twister over 624 32-bit words. Its words are
// signed and every right shift is arithmetic, so its sequence is not the
// textbook one for the same seed; the last tempering step always clears bit
// 31, which keeps every output non-negative. A seed leaves the position at
// the start of the seeded words: the first 624 draws after a seed temper
// them directly and the first twist comes with draw 625. The state is
// seeded at compile time as well, so draws before start-up follow the
// start-up seed; the hash tables' seed stays the fixed value of
// memory/hashtable.cpp. The datatypes turn these integers into their own
// values and depend only on this interface.
#pragma once

#include <cstdint>

namespace qel::random {

// The seed the generator starts from.
inline constexpr uint32_t kStartSeed = 19650218;

// Seeds the generator with its start-up seed. Called once at start-up; the
// generator is also seeded with it before anything calls init.
void init();
// Reseeds the generator: the same seed gives the same sequence of draws.
void seed(uint32_t s);
// The next output, 0 .. 2147483647.
int32_t next();
// A secure random integer, 0 .. 2147483647; does not touch the generator.
int32_t secure_int();
// A uniform integer: 1 .. n for n > 0, n .. -1 for n < 0, 0 for n = 0 (no
// draw). Draws from the secure source when `secure` is set, else from the
// generator, rejecting the draws that would bias the result.
int32_t int_uniform(bool secure, int32_t n);

}  // namespace qel::random
