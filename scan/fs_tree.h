// The directory tree of the exFAT or FAT32 volume that begins at byte 0 of a disk, read straight
// from the raw disk (no partition table, nothing mounted): one flat list of every file and folder
// with its size and first cluster, for the remote scan to send before it reads the disk chunk by
// chunk. Only reads; a disk without such a volume gives an empty tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct RawFile;

struct TreeEntry {
    std::string name;      // the long name when there is one, else the 8.3 name; at most 255 bytes,
                           // ASCII with '?' for every other character
    std::string path;      // parent's path + "/" + name (a top-level entry is "/name"); at most 511 bytes
    uint64_t size = 0;     // bytes, as the directory entry gives it (0 for FAT32 folders)
    uint32_t cluster = 0;  // first cluster of the file or folder
    bool is_dir = false;
};

struct DirTree {
    std::string fs_type;             // "exfat", "fat32", or "" when no volume was recognised
    std::vector<TreeEntry> entries;  // depth first: each folder is followed at once by its contents
    bool truncated = false;          // a limit left something out: the entry cap, the depth, a folder's
                                     // size or the bytes one walk may read
};

// Reads up to `length` bytes at the absolute `offset`, as raw_read_at does: the count read, -1 on
// error.
using FsTreeReader = std::function<int64_t(uint64_t offset, void* buffer, size_t length)>;

// Clears `tree`, then fills it from the volume at byte 0 of `disk`, whose length the caller gives
// (FAT32's cluster count is worked out from it). Returns the number of entries, at most a million.
// Every call keeps its state to itself, so several may run at once on different disks.
size_t fs_tree_read(RawFile* disk, uint64_t disk_size, DirTree* tree);

// The same over any reader: a memory image in tests and the fuzzer.
size_t fs_tree_read_from(const FsTreeReader& read, uint64_t disk_size, DirTree* tree);
