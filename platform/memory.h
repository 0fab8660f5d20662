// Large buffers for whole image parts (hundreds of MiB each). Fresh memory costs a page fault per
// page on first touch; these come from the system's page allocator directly, advised for huge
// pages where the system has them, so that filling one runs near copy speed.
#pragma once

#include <cstddef>
#include <cstdint>

// Zero-filled, page-aligned memory of at least `size` bytes; null when it cannot be had (also for
// a size of 0).
void* mem_alloc_large(size_t size);
// Releases what mem_alloc_large gave, with the same size. Null is ignored.
void mem_free_large(void* block, size_t size);

// The computer's physical memory in bytes; 0 when it cannot be told.
uint64_t mem_physical_total();
