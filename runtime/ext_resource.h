// The external-resource table: operating-system objects wrapped in values.
//
// Some values wrap an object that the collector cannot free by moving
// memory (an image's native bitmap). Each such object is stored here with its
// kind and addressed by the record's index, which the owning value keeps.
// During a collection the collector marks the records of reachable values
// (`mark`) and then `sweep` releases the objects of the unmarked ones through
// their kind's release function.
//
// Records run on two lists through their links: the free list and the list
// of stored records (newest first). Freed records are handed out again first.
// The table starts with 1,000 records and doubles when it is about to run
// out; indexes already given out stay valid.
#pragma once

#include <cstdint>

namespace qel::ext_resource {

// Releases one object of a kind.
using ReleaseFn = void (*)(void* object);

// Flag bits of a record.
namespace record_flag {
inline constexpr uint32_t kind_mask = 0x000000FF;
inline constexpr uint32_t free = 0x40000000;
inline constexpr uint32_t marked = 0x80000000;
}  // namespace record_flag

inline constexpr int32_t kEnd = -1;          // ends a list
inline constexpr int32_t kMaxKinds = 20;     // room in the handler table
inline constexpr int32_t kInitialRecords = 1000;

// Start-up: an empty table of kInitialRecords free records and no kinds.
// Calling it again starts over (tests).
void init();

// Registers a kind and returns its id (1-based, in registration order).
// More than kMaxKinds kinds end the process with runtime error 98.
int32_t register_kind(const char* name, ReleaseFn release);

// Stores an object of a kind; returns the record's index.
int32_t store(void* object, int32_t kind);

// Frees the record at `index`, first releasing its object through its kind
// when `release` is set. An index that is not a stored record is left alone.
// Returns -1 (the value an owner keeps for "no record").
int32_t free(int32_t index, bool release);

// Releases an object through the release function of the kind in `flags`,
// when the kind has one.
void release(uint32_t flags, void* object);

// Marks the record at `index` for the current collection and, when `object`
// is not null, replaces the record's object. True when the record was not
// marked before.
bool mark(int32_t index, void* object);

// The collector's sweep: releases and frees every stored record that is not
// marked, and clears the marks of the others.
void sweep();

// Inspection for the collector's statistics and for tests.
int32_t capacity();
int32_t stored_count();
uint32_t flags_of(int32_t index);
void* object_of(int32_t index);

}  // namespace qel::ext_resource
