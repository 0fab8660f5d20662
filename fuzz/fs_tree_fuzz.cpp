// libFuzzer target for the directory tree reader: the input is the start of a 40 MiB disk whose
// remaining bytes are zeros (large enough for FAT32's cluster count), read from memory.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "scan/fs_tree.h"

namespace {
constexpr uint64_t kDiskBytes = 40ull << 20;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const FsTreeReader read = [data, size](uint64_t offset, void* buffer, size_t length) -> int64_t {
        if (offset >= kDiskBytes) return 0;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length, kDiskBytes - offset));
        auto* out = static_cast<uint8_t*>(buffer);
        const size_t have = offset < size ? std::min<size_t>(n, size - static_cast<size_t>(offset)) : 0;
        if (have > 0) std::memcpy(out, data + offset, have);
        std::memset(out + have, 0, n - have);
        return static_cast<int64_t>(n);
    };
    DirTree tree;
    const size_t count = fs_tree_read_from(read, kDiskBytes, &tree);
    // What the reader promises whatever the disk holds.
    if (count != tree.entries.size() || count > 1000000) __builtin_trap();
    for (const TreeEntry& e : tree.entries) {
        if (e.name.size() > 255 || e.path.size() > 511 || e.path.empty() || e.path[0] != '/') __builtin_trap();
        for (char c : e.path) {
            if (static_cast<unsigned char>(c) >= 0x80) __builtin_trap();  // names are ASCII and '?'
        }
    }
    return 0;
}
