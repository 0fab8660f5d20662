// Win32 back end of the large-buffer allocator: committed pages straight from VirtualAlloc, kept
// out of the heap so that releasing a part gives its memory back at once.
#include "platform/memory.h"

#include <windows.h>

void* mem_alloc_large(size_t size) {
    if (size == 0) return nullptr;
    return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void mem_free_large(void* block, size_t) {
    if (block) VirtualFree(block, 0, MEM_RELEASE);
}

uint64_t mem_physical_total() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}
