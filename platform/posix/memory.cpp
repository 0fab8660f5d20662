// POSIX back end of the large-buffer allocator: anonymous mappings advised for transparent huge
// pages, so that touching a fresh part buffer costs a fault per 2 MiB rather than per 4 KiB.
#include "platform/memory.h"

#include <sys/mman.h>
#include <unistd.h>

void* mem_alloc_large(size_t size) {
    if (size == 0) return nullptr;
    void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
    madvise(block, size, MADV_HUGEPAGE);  // advice only: a kernel without THP simply ignores it
#endif
    return block;
}

void mem_free_large(void* block, size_t size) {
    if (block) munmap(block, size);
}

uint64_t mem_physical_total() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    return pages > 0 && page_size > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size) : 0;
}
