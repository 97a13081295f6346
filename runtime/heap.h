// Heap blocks: plain memory for the runtime's tables, buffers and conversion
// results, below the language's series memory.
//
// Every block carries a small header and sits on one list of live blocks, in
// order of allocation, so that the runtime can release them all at exit.
// Running out of memory is not recoverable here: it ends the process with
// runtime error 94 "out of memory", showing the place of the allocating
// call. Freeing is linear in the number of live blocks; callers keep few,
// long-lived blocks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::runtime {

// `size` writable bytes, aligned for any scalar type, on the live list.
void* alloc(size_t size);
// As alloc, with the bytes set to 0.
void* alloc_zeroed(size_t size);
// Resizes a block. A null address allocates; a new size of 0 frees the
// block and returns null. The contents up to the smaller size are kept. An
// address that is not on the live list is not touched (the result is null).
void* realloc(void* address, size_t new_size);
// Releases a block. An address that is not on the live list is left alone.
void free(void* address);
// Releases every live block (at exit).
void free_all();

// Number of live blocks (for tests and statistics).
size_t live_blocks();

}  // namespace qel::runtime
