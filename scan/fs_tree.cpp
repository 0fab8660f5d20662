// Directory tree reader for exFAT and FAT32 volumes at byte 0 of a raw disk.
//
// The walk reads through an FsTreeReader only (fs_tree_disk.cpp puts a raw disk behind one), so
// the fuzzer builds this file alone.
//
// Sections: limits; little-endian fields and name text; the walk's state; reading a folder's
// cluster chain; exFAT; FAT32; entry points.
//
// Everything a walk needs lives in one Walk made by fs_tree_read_from and dropped when it returns:
// no state is shared between calls.
//
// The disk may be damaged or built to do harm, so every loop is bounded by what it has done, not
// by what the disk says: a folder is read as its cluster chain up to 4096 clusters or 4 MiB and
// never past a cluster it already holds; a folder already entered (an ancestor, itself, or one
// cross-linked with a folder listed before) is listed again but not entered; the tree stops at a
// million entries and the walk at 512 MiB of folder data read. A folder's bytes are parsed into
// its entries and released before its subfolders are walked, so memory stays at one folder's
// bytes plus the entries on the current path.
#include "scan/fs_tree.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_set>

namespace {

// ---- Limits ----

constexpr int kMaxDepth = 17;                       // folders at depths 0..16 are read
constexpr size_t kNameMax = 255;                    // bytes of a name
constexpr size_t kPathMax = 511;                    // bytes of a path
constexpr uint32_t kMaxChainClusters = 4096;        // clusters of one folder
constexpr size_t kMaxDirBytes = 4u << 20;           // bytes of one folder (the cluster that passes it is kept)
constexpr uint64_t kMaxFatBytes = 64ull << 20;      // FAT32's table loaded at most
constexpr size_t kMaxEntries = 1000000;             // entries of one tree
constexpr uint64_t kMaxWalkDirBytes = 512ull << 20; // folder bytes read by one walk
constexpr int kMaxExfatClusterShift = 25;           // exFAT clusters are at most 32 MiB
constexpr size_t kExfatFatBlock = 4096;             // exFAT's table is read in blocks of this size

// ---- Little-endian fields and name text ----

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return static_cast<uint32_t>(le16(p)) | static_cast<uint32_t>(le16(p + 2)) << 16; }
uint64_t le64(const uint8_t* p) { return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32; }

// Names are 8-bit text: ASCII as it is, anything else '?' (which also keeps them valid UTF-8).
char name_char(uint32_t unit) { return unit < 0x80 ? static_cast<char>(unit) : '?'; }

// ---- The walk's state ----

struct ExfatGeometry {
    uint64_t cluster_bytes = 0;  // bytes per cluster, at most 32 MiB
    uint64_t heap_offset = 0;    // byte offset of cluster 2
    uint64_t fat_offset = 0;     // byte offset of the FAT
    uint64_t fat_bytes = 0;      // length of the FAT in bytes
    uint32_t cluster_count = 0;  // clusters in the heap
    uint32_t root_cluster = 0;   // first cluster of the root folder
};

struct Fat32Geometry {
    uint64_t cluster_bytes = 0;  // bytes per cluster
    uint64_t fat_offset = 0;     // byte offset of the first FAT
    uint64_t data_offset = 0;    // byte offset of cluster 2
    uint32_t cluster_count = 0;  // data clusters, from the disk size the caller gave
    uint32_t root_cluster = 0;   // first cluster of the root folder
};

struct Walk {
    const FsTreeReader* read = nullptr;         // the disk
    DirTree* tree = nullptr;                    // the caller's tree, filled in place
    ExfatGeometry exfat;
    Fat32Geometry fat32;
    std::vector<uint8_t> fat;                   // FAT32's table as far as it was loaded; empty without one
    std::vector<uint8_t> exfat_fat_block;       // the exFAT FAT block read last
    uint64_t exfat_fat_block_at = UINT64_MAX;   // its byte offset in the FAT
    std::unordered_set<uint32_t> entered;       // first clusters of the folders entered so far
    uint64_t dir_bytes_read = 0;                // folder bytes read so far, against kMaxWalkDirBytes
};

// Exactly `length` bytes at `offset`, or false.
bool read_exact(const Walk& walk, uint64_t offset, void* buffer, size_t length) {
    const int64_t got = (*walk.read)(offset, buffer, length);
    return got >= 0 && static_cast<uint64_t>(got) == length;
}

bool tree_full(const Walk& walk) { return walk.tree->entries.size() >= kMaxEntries; }

// One file or folder found in a folder, before it is listed.
struct Found {
    std::string name;
    uint64_t size = 0;
    uint32_t cluster = 0;
    bool is_dir = false;
    bool contiguous = false;  // exFAT: the folder's clusters follow one another, the FAT says nothing
};

// Appends a found file or folder; false, and the tree marked truncated, when the tree is full.
bool add_entry(Walk& walk, Found&& file, const std::string& parent_path) {
    if (tree_full(walk)) {
        walk.tree->truncated = true;
        return false;
    }
    TreeEntry& entry = walk.tree->entries.emplace_back();
    entry.path.reserve(std::min(parent_path.size() + 1 + file.name.size(), kPathMax));
    entry.path.append(parent_path).append("/").append(file.name);
    if (entry.path.size() > kPathMax) entry.path.resize(kPathMax);
    if (file.name.size() > kNameMax) file.name.resize(kNameMax);
    entry.name = std::move(file.name);
    entry.size = file.size;
    entry.cluster = file.cluster;
    entry.is_dir = file.is_dir;
    return true;
}

// Whether a folder at `depth` with this first cluster may be entered; marks it entered.
bool may_enter(Walk& walk, uint32_t cluster, uint32_t cluster_count, int depth) {
    if (depth >= kMaxDepth) {
        walk.tree->truncated = true;
        return false;
    }
    if (cluster < 2 || cluster > static_cast<uint64_t>(cluster_count) + 1) return false;
    return walk.entered.insert(cluster).second;
}

// ---- Reading a folder's cluster chain ----

struct Chain {
    uint32_t first = 0;
    uint64_t cluster_bytes = 0;
    uint64_t cluster2_offset = 0;  // byte offset of cluster 2
    uint32_t cluster_count = 0;
    uint32_t max_clusters = kMaxChainClusters;
    uint32_t (*next)(Walk&, uint32_t) = nullptr;  // the next cluster, or 0 at the end of the chain
};

// A slot whose first byte is 0 ends a folder on both file systems: nothing after it is read.
bool has_end_mark(const uint8_t* bytes, size_t length) {
    for (size_t pos = 0; pos + 32 <= length; pos += 32) {
        if (bytes[pos] == 0x00) return true;
    }
    return false;
}

// The folder's clusters back to back; empty when nothing could be read.
std::vector<uint8_t> read_chain(Walk& walk, const Chain& chain) {
    std::vector<uint8_t> data;
    std::unordered_set<uint32_t> held;
    uint32_t cluster = chain.first;
    for (uint32_t count = 0; cluster != 0; ++count) {
        if (count >= chain.max_clusters || data.size() > kMaxDirBytes) {
            if (chain.max_clusters == kMaxChainClusters || data.size() > kMaxDirBytes) walk.tree->truncated = true;
            break;
        }
        if (cluster < 2 || cluster > static_cast<uint64_t>(chain.cluster_count) + 1) break;
        if (!held.insert(cluster).second) break;  // the chain runs in a circle
        if (walk.dir_bytes_read + chain.cluster_bytes > kMaxWalkDirBytes) {
            walk.tree->truncated = true;
            break;
        }
        const size_t old_size = data.size();
        try {
            data.resize(old_size + chain.cluster_bytes);
        } catch (const std::bad_alloc&) {
            data.resize(old_size);
            break;
        }
        walk.dir_bytes_read += chain.cluster_bytes;
        const uint64_t at = (static_cast<uint64_t>(cluster) - 2) * chain.cluster_bytes + chain.cluster2_offset;
        if (!read_exact(walk, at, data.data() + old_size, chain.cluster_bytes)) {
            data.resize(old_size);
            break;
        }
        if (has_end_mark(data.data() + old_size, chain.cluster_bytes)) break;
        cluster = chain.next(walk, cluster);
    }
    return data;
}

// ---- exFAT ----

void exfat_walk_dir(Walk& walk, const Found& folder, const std::string& path, int depth);

uint32_t exfat_next_contiguous(Walk&, uint32_t cluster) { return cluster + 1; }

uint32_t exfat_next_in_fat(Walk& walk, uint32_t cluster) {
    const ExfatGeometry& g = walk.exfat;
    const uint64_t at = 4ull * cluster;
    if (at + 4 > g.fat_bytes) return 0;
    const uint64_t block_at = at / kExfatFatBlock * kExfatFatBlock;
    if (walk.exfat_fat_block_at != block_at) {
        const size_t length = static_cast<size_t>(std::min<uint64_t>(kExfatFatBlock, g.fat_bytes - block_at));
        walk.exfat_fat_block.resize(length);
        walk.exfat_fat_block_at = UINT64_MAX;
        if (!read_exact(walk, g.fat_offset + block_at, walk.exfat_fat_block.data(), length)) return 0;
        walk.exfat_fat_block_at = block_at;
    }
    const uint32_t next = le32(walk.exfat_fat_block.data() + (at - block_at));
    // Free (0), reserved (1), bad (FFFFFFF7) and end (FFFFFFFF) all end the chain.
    return next < 2 || next > static_cast<uint64_t>(g.cluster_count) + 1 ? 0 : next;
}

// The files of one exFAT folder: a File entry, its Stream Extension, then its File Name entries;
// the name is complete where the run of File Name entries ends.
std::vector<Found> exfat_parse(const std::vector<uint8_t>& data) {
    std::vector<Found> found;
    Found file;
    bool stream_seen = false;
    bool in_names = false;  // the previous entry was a File Name entry
    auto finish = [&] {
        if (!file.name.empty() && stream_seen) found.push_back(file);
        stream_seen = false;  // one entry per file, however its names run
    };
    for (size_t pos = 0; pos + 32 <= data.size(); pos += 32) {
        const uint8_t* e = data.data() + pos;
        const uint8_t type = e[0];
        if (in_names && type != 0xC1) finish();
        in_names = false;
        if (type == 0x00) break;
        if (type == 0x85) {
            file = Found{};
            stream_seen = false;
            file.is_dir = (le16(e + 4) & 0x10) != 0;
        } else if (type == 0xC0) {
            file.contiguous = (e[1] & 0x02) != 0;
            file.cluster = le32(e + 20);
            file.size = le64(e + 24);
            stream_seen = true;
        } else if (type == 0xC1) {
            for (int i = 0; i < 15 && file.name.size() < kNameMax; ++i) {
                const uint16_t unit = le16(e + 2 + 2 * i);
                if (unit == 0) break;
                file.name += name_char(unit);
            }
            in_names = true;
        }
    }
    if (in_names) finish();
    return found;
}

// `folder` is the root (no name) or a folder found in its parent.
void exfat_walk_dir(Walk& walk, const Found& folder, const std::string& path, int depth) {
    const ExfatGeometry& g = walk.exfat;
    if (!may_enter(walk, folder.cluster, g.cluster_count, depth)) return;
    Chain chain;
    chain.first = folder.cluster;
    chain.cluster_bytes = g.cluster_bytes;
    chain.cluster2_offset = g.heap_offset;
    chain.cluster_count = g.cluster_count;
    chain.next = folder.contiguous ? exfat_next_contiguous : exfat_next_in_fat;
    if (depth > 0) {
        // The stream's length bounds the chain; a length of 0 still reads the first cluster.
        const uint64_t clusters = (folder.size + g.cluster_bytes - 1) / g.cluster_bytes;
        chain.max_clusters = static_cast<uint32_t>(std::clamp<uint64_t>(clusters, 1, kMaxChainClusters));
    }
    std::vector<Found> found;
    {
        const std::vector<uint8_t> data = read_chain(walk, chain);
        found = exfat_parse(data);
    }
    for (Found& file : found) {
        const Found folder_found{std::string(), file.size, file.cluster, file.is_dir, file.contiguous};
        if (!add_entry(walk, std::move(file), path)) return;
        if (folder_found.is_dir && folder_found.cluster >= 2) {
            // A copy: the list moves as the folder's contents are added.
            const std::string child = walk.tree->entries.back().path;
            exfat_walk_dir(walk, folder_found, child, depth + 1);
        }
    }
}

bool exfat_recognise(Walk& walk, const uint8_t* boot) {
    if (std::memcmp(boot + 3, "EXFAT   ", 8) != 0) return false;
    const uint8_t sector_shift = boot[108];
    const uint8_t cluster_shift = boot[109];
    const uint32_t cluster_count = le32(boot + 92);
    if (sector_shift < 9 || sector_shift > 12 || cluster_count == 0) return false;
    // Larger clusters are not exFAT, and would have a folder read allocate gigabytes.
    if (sector_shift + cluster_shift > kMaxExfatClusterShift) return false;
    ExfatGeometry& g = walk.exfat;
    const uint64_t sector_bytes = 1ull << sector_shift;
    g.cluster_bytes = sector_bytes << cluster_shift;
    g.heap_offset = static_cast<uint64_t>(le32(boot + 88)) * sector_bytes;
    g.fat_offset = static_cast<uint64_t>(le32(boot + 80)) * sector_bytes;
    g.fat_bytes = static_cast<uint64_t>(le32(boot + 84)) * sector_bytes;
    g.cluster_count = cluster_count;
    g.root_cluster = le32(boot + 96);
    return true;
}

// ---- FAT32 ----

uint32_t fat32_next(Walk& walk, uint32_t cluster) {
    const uint64_t at = 4ull * cluster;
    if (walk.fat.size() < at + 4) return 0;
    const uint32_t value = le32(walk.fat.data() + at);
    if ((value & 0x0FFFFFFE) == 0) return 0;
    const uint32_t next = value & 0x0FFFFFFF;
    return next > static_cast<uint64_t>(walk.fat32.cluster_count) + 1 ? 0 : next;
}

// The 8.3 name as Windows shows it: base and extension without their padding, each in lower case
// when its flag in byte 12 says so (bit 3 the base, bit 4 the extension), joined by a dot when
// there is an extension.
std::string fat32_short_name(const uint8_t* e) {
    auto part = [](const uint8_t* bytes, size_t width, bool lower) {
        std::string text;
        for (size_t i = 0; i < width && bytes[i] != 0; ++i) {
            uint8_t c = bytes[i];
            if (i == 0 && c == 0x05) c = 0xE5;  // 05 stands for a first byte E5, which marks deleted entries
            if (lower && c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c - 'A' + 'a');
            text += name_char(c);
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        return text;
    };
    const std::string base = part(e, 8, (e[12] & 0x08) != 0);
    const std::string ext = part(e + 8, 3, (e[12] & 0x10) != 0);
    return ext.empty() ? base : base + "." + ext;
}

// The files and folders of one FAT32 folder, with their long names where they have one.
std::vector<Found> fat32_parse(const std::vector<uint8_t>& data) {
    std::vector<Found> found;
    char long_name[kNameMax + 1] = {};  // pending long name; set characters are never NUL
    for (size_t pos = 0; pos + 32 <= data.size(); pos += 32) {
        const uint8_t* e = data.data() + pos;
        const uint8_t attributes = e[11];
        if (e[0] == 0x00) break;
        if (e[0] == 0xE5) continue;
        if (attributes == 0x0F) {
            const int sequence = e[0] & 0x1F;
            if (sequence < 1 || sequence > 20) continue;
            static constexpr int kUnits[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
            for (int i = 0; i < 13; ++i) {
                const uint16_t unit = le16(e + kUnits[i]);
                if (unit == 0x0000 || unit == 0xFFFF) break;
                const int at = (sequence - 1) * 13 + i;
                if (at < static_cast<int>(kNameMax)) long_name[at] = name_char(unit);
            }
            continue;
        }
        if (attributes & 0x08) {
            std::memset(long_name, 0, sizeof long_name);
            continue;
        }
        Found file;
        file.name = long_name[0] != '\0' ? std::string(long_name) : fat32_short_name(e);
        std::memset(long_name, 0, sizeof long_name);
        if (file.name == "." || file.name == "..") continue;
        file.cluster = static_cast<uint32_t>(le16(e + 20)) << 16 | le16(e + 26);
        file.size = le32(e + 28);
        file.is_dir = (attributes & 0x10) != 0;
        found.push_back(std::move(file));
    }
    return found;
}

void fat32_walk_dir(Walk& walk, uint32_t cluster, const std::string& path, int depth) {
    const Fat32Geometry& g = walk.fat32;
    if (!may_enter(walk, cluster, g.cluster_count, depth)) return;
    Chain chain;
    chain.first = cluster;
    chain.cluster_bytes = g.cluster_bytes;
    chain.cluster2_offset = g.data_offset;
    chain.cluster_count = g.cluster_count;
    chain.next = fat32_next;
    std::vector<Found> found;
    {
        const std::vector<uint8_t> data = read_chain(walk, chain);
        found = fat32_parse(data);
    }
    for (Found& file : found) {
        const bool enter = file.is_dir && file.cluster >= 2;
        const uint32_t first = file.cluster;
        if (!add_entry(walk, std::move(file), path)) return;
        if (enter) {
            const std::string child = walk.tree->entries.back().path;  // a copy: the list moves
            fat32_walk_dir(walk, first, child, depth + 1);
        }
    }
}

bool fat32_recognise(Walk& walk, const uint8_t* boot, uint64_t disk_size) {
    if (boot[510] != 0x55 || boot[511] != 0xAA) return false;
    const uint16_t sector_bytes = le16(boot + 11);
    const uint8_t cluster_sectors = boot[13];
    const uint16_t reserved = le16(boot + 14);
    const uint8_t fat_count = boot[16];
    const uint16_t root_entries = le16(boot + 17);
    const uint32_t fat_sectors = le32(boot + 36);
    if (sector_bytes < 512 || cluster_sectors == 0 || fat_sectors == 0 || root_entries != 0) return false;
    const uint32_t fat_area = static_cast<uint32_t>(fat_count) * fat_sectors;
    const uint32_t cluster_count =
        static_cast<uint32_t>((disk_size / sector_bytes - reserved - fat_area) / cluster_sectors);
    if (cluster_count <= 65525) return false;
    Fat32Geometry& g = walk.fat32;
    g.cluster_bytes = static_cast<uint64_t>(sector_bytes) * cluster_sectors;
    g.fat_offset = static_cast<uint64_t>(reserved) * sector_bytes;
    g.data_offset = static_cast<uint64_t>(sector_bytes) * (static_cast<uint64_t>(fat_count) * fat_sectors + reserved);
    g.cluster_count = cluster_count;
    g.root_cluster = le32(boot + 44);
    // A table said to run past the end of the disk is loaded as far as the disk goes.
    uint64_t fat_bytes = std::min<uint64_t>(static_cast<uint64_t>(fat_sectors) * sector_bytes, kMaxFatBytes);
    fat_bytes = g.fat_offset >= disk_size ? 0 : std::min(fat_bytes, disk_size - g.fat_offset);
    try {
        walk.fat.resize(fat_bytes);
        if (!read_exact(walk, g.fat_offset, walk.fat.data(), walk.fat.size())) walk.fat.clear();
    } catch (const std::bad_alloc&) {
        walk.fat.clear();
    }
    return true;
}

}  // namespace

// ---- Entry points ----

size_t fs_tree_read_from(const FsTreeReader& read, uint64_t disk_size, DirTree* tree) {
    *tree = DirTree{};
    Walk walk;
    walk.read = &read;
    walk.tree = tree;
    uint8_t boot[512];
    if (!read_exact(walk, 0, boot, sizeof boot)) return 0;
    if (exfat_recognise(walk, boot)) {
        tree->fs_type = "exfat";
        Found root;
        root.cluster = walk.exfat.root_cluster;  // always through the FAT
        exfat_walk_dir(walk, root, "", 0);
    } else if (fat32_recognise(walk, boot, disk_size)) {
        tree->fs_type = "fat32";
        fat32_walk_dir(walk, walk.fat32.root_cluster, "", 0);
    }
    return tree->entries.size();
}
