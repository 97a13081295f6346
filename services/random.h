// Random numbers behind the `random` action of every datatype: a seedable
// generator whose outputs lie in 0 .. 2^31 - 1, a secure 31-bit source, and a
// uniform draw of an integer from 1 to N without modulo bias.
//
// This is a small interim generator (a standard Mersenne Twister whose
// outputs are cut to 31 bits); the datatypes depend only on this interface.
#pragma once

#include <cstdint>

namespace qel::random {

// Seeds the generator with its start-up seed. Called once at start-up; the
// generator also seeds itself on first use.
void init();
// Reseeds the generator: the same seed gives the same sequence of draws.
void seed(uint32_t s);
// The next output, 0 .. 2147483647.
int32_t next();
// A secure random integer, 0 .. 2147483647; does not touch the generator.
int32_t secure_int();
// A uniform integer: 1 .. n for n > 0, n .. -1 for n < 0, 0 for n = 0 (no draw).
int32_t int_uniform(bool secure, int32_t n);

}  // namespace qel::random
