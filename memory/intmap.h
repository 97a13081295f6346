// A small map from 32-bit keys to 32-bit values whose record and arrays are
// C heap blocks, never series: for code that must not allocate series or
// must run while series move (the ownership registry's helpers, the
// text-mode back end). It shares the hash table's design: power-of-two
// buckets, two flag bits each, triangular probing, a 0.77 load bound, and
// the MurmurHash3 finaliser of the key as hash.
#pragma once

#include <cstdint>

namespace qel::int_map {

struct IntMap {
  int32_t size;        // live keys
  uint32_t* flags;     // 2 bits per bucket (2 empty, 1 deleted), 16 per word
  uint32_t* pairs;     // n_buckets pairs: key, value
  int32_t n_occupied;  // buckets not empty
  int32_t n_buckets;   // a power of two, at least 4
  int32_t upper_bound; // occupancy at which the map grows
};

// A map for about `expected` keys (at least 4).
IntMap* init(int32_t expected);
// Sets the key's value: 1 when the key was present (its value replaced),
// 0 when it was added.
int32_t put(IntMap* map, uint32_t key, uint32_t value);
// The key's bucket, or -1.
int32_t find(const IntMap* map, uint32_t key);
// The address of the key's value word, or null.
uint32_t* get(IntMap* map, uint32_t key);
// Releases the map (null is ignored).
void free(IntMap* map);

}  // namespace qel::int_map
