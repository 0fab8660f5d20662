// Directory tree reader for exFAT and FAT32 volumes at byte 0 of a raw disk.
//
// Sections: little-endian fields and name text; the walk's state; exFAT; FAT32; entry points.
//
// Everything a walk needs lives in one Walk made by fs_tree_read_from and dropped when it returns:
// no state is shared between calls.
#include "scan/fs_tree.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/files.h"

namespace {

constexpr int kMaxDepth = 17;                       // folders at depths 0..16 are read
constexpr size_t kNameMax = 255;                    // bytes of a name
constexpr size_t kPathMax = 511;                    // bytes of a path
constexpr uint32_t kMaxChainClusters = 4096;        // clusters of one FAT32 folder
constexpr size_t kMaxDirBytes = 4u << 20;           // bytes of one FAT32 folder
constexpr uint64_t kMaxFatBytes = 64ull << 20;      // FAT32's table loaded at most

// ---- Little-endian fields and name text ----

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return static_cast<uint32_t>(le16(p)) | static_cast<uint32_t>(le16(p + 2)) << 16; }
uint64_t le64(const uint8_t* p) { return static_cast<uint64_t>(le32(p)) | static_cast<uint64_t>(le32(p + 4)) << 32; }

// Names are 8-bit text: ASCII as it is, anything else '?'.
char name_char(uint32_t unit) { return unit < 0x80 ? static_cast<char>(unit) : '?'; }

// ---- The walk's state ----

struct ExfatGeometry {
    uint64_t cluster_bytes = 0;  // bytes per cluster
    uint64_t heap_offset = 0;    // byte offset of cluster 2
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
    const FsTreeReader* read = nullptr;  // the disk
    std::vector<TreeEntry>* entries = nullptr;  // the caller's tree, filled in place
    ExfatGeometry exfat;
    Fat32Geometry fat32;
    std::vector<uint8_t> fat;  // FAT32's table as far as it was loaded; empty without one
};

// Exactly `length` bytes at `offset`, or false.
bool read_exact(const Walk& walk, uint64_t offset, void* buffer, size_t length) {
    const int64_t got = (*walk.read)(offset, buffer, length);
    return got >= 0 && static_cast<uint64_t>(got) == length;
}

// Appends an entry and returns its path.
std::string add_entry(Walk& walk, const std::string& name, const std::string& parent_path, uint64_t size,
                      uint32_t cluster, bool is_dir) {
    TreeEntry entry;
    entry.name = name.substr(0, kNameMax);
    entry.path = (parent_path + "/" + name).substr(0, kPathMax);
    entry.size = size;
    entry.cluster = cluster;
    entry.is_dir = is_dir;
    walk.entries->push_back(entry);
    return entry.path;
}

// ---- exFAT ----

void exfat_walk_dir(Walk& walk, uint32_t cluster, const std::string& parent_path, int depth);

// One file's entry set as far as it has been read.
struct ExfatFile {
    std::string name;
    bool is_dir = false;
    bool stream_seen = false;
    uint32_t cluster = 0;
    uint64_t size = 0;
};

void exfat_finish(Walk& walk, ExfatFile& file, const std::string& parent_path, int depth) {
    if (file.name.empty() || !file.stream_seen) return;
    // A copy: the list may move as the folder's contents are added.
    const std::string path = add_entry(walk, file.name, parent_path, file.size, file.cluster, file.is_dir);
    if (file.is_dir && file.cluster >= 2) exfat_walk_dir(walk, file.cluster, path, depth + 1);
}

void exfat_walk_dir(Walk& walk, uint32_t cluster, const std::string& parent_path, int depth) {
    if (depth >= kMaxDepth) return;
    const ExfatGeometry& g = walk.exfat;
    std::vector<uint8_t> data;
    try {
        data.resize(g.cluster_bytes);
    } catch (const std::bad_alloc&) {
        return;
    }
    const uint64_t at = (static_cast<uint64_t>(cluster) - 2) * g.cluster_bytes + g.heap_offset;
    if (!read_exact(walk, at, data.data(), data.size()) || data.size() < 32) return;

    ExfatFile file;
    bool in_names = false;  // the previous entry was a File Name entry
    for (size_t pos = 0; pos + 32 <= data.size(); pos += 32) {
        const uint8_t* e = data.data() + pos;
        const uint8_t type = e[0];
        if (in_names && type != 0xC1) exfat_finish(walk, file, parent_path, depth);
        in_names = false;
        if (type == 0x00) return;
        if (type == 0x85) {
            file = ExfatFile{};
            file.is_dir = (le16(e + 4) & 0x10) != 0;
        } else if (type == 0xC0) {
            file.cluster = le32(e + 20);
            file.size = le64(e + 24);
            file.stream_seen = true;
        } else if (type == 0xC1) {
            for (int i = 0; i < 15 && file.name.size() < kNameMax; ++i) {
                const uint16_t unit = le16(e + 2 + 2 * i);
                if (unit == 0) break;
                file.name += name_char(unit);
            }
            in_names = true;
        }
    }
    if (in_names) exfat_finish(walk, file, parent_path, depth);
}

bool exfat_recognise(Walk& walk, const uint8_t* boot) {
    if (std::memcmp(boot + 3, "EXFAT   ", 8) != 0) return false;
    const uint8_t sector_shift = boot[108];
    const uint8_t cluster_shift = boot[109];
    const uint32_t cluster_count = le32(boot + 92);
    if (sector_shift < 9 || sector_shift > 12 || cluster_count == 0) return false;
    ExfatGeometry& g = walk.exfat;
    const uint64_t sector_bytes = 1ull << sector_shift;
    g.cluster_bytes = sector_bytes << cluster_shift;
    g.heap_offset = static_cast<uint64_t>(le32(boot + 88)) * sector_bytes;
    g.cluster_count = cluster_count;
    g.root_cluster = le32(boot + 96);
    return true;
}

// ---- FAT32 ----

// The next cluster of a chain, or 0 at its end.
uint32_t fat32_next(const Walk& walk, uint32_t cluster) {
    const uint64_t at = 4ull * cluster;
    if (walk.fat.size() < at + 4) return 0;
    const uint32_t value = le32(walk.fat.data() + at);
    if ((value & 0x0FFFFFFE) == 0) return 0;
    const uint32_t next = value & 0x0FFFFFFF;
    return next > walk.fat32.cluster_count + 1 ? 0 : next;
}

// The folder's clusters back to back, within the chain limits; empty when nothing could be read.
std::vector<uint8_t> fat32_read_chain(const Walk& walk, uint32_t cluster) {
    const Fat32Geometry& g = walk.fat32;
    std::vector<uint8_t> data;
    for (uint32_t count = 0; cluster != 0 && count < kMaxChainClusters; ++count) {
        const size_t old_size = data.size();
        try {
            data.resize(old_size + g.cluster_bytes);
        } catch (const std::bad_alloc&) {
            data.resize(old_size);
            break;
        }
        const uint64_t at = (static_cast<uint64_t>(cluster) - 2) * g.cluster_bytes + g.data_offset;
        if (!read_exact(walk, at, data.data() + old_size, g.cluster_bytes)) {
            data.resize(old_size);
            break;
        }
        if (data.size() > kMaxDirBytes) break;
        cluster = fat32_next(walk, cluster);
    }
    return data;
}

// The 8.3 name: base and extension without their padding, joined by a dot when there is an
// extension.
std::string fat32_short_name(const uint8_t* e) {
    auto part = [](const uint8_t* bytes, size_t width) {
        std::string text(reinterpret_cast<const char*>(bytes), width);
        text = text.substr(0, text.find('\0'));
        while (!text.empty() && text.back() == ' ') text.pop_back();
        return text;
    };
    const std::string base = part(e, 8);
    const std::string ext = part(e + 8, 3);
    return ext.empty() ? base : base + "." + ext;
}

void fat32_walk_dir(Walk& walk, uint32_t cluster, const std::string& parent_path, int depth) {
    if (depth >= kMaxDepth) return;
    if (cluster < 2 || cluster > walk.fat32.cluster_count + 1) return;
    const std::vector<uint8_t> data = fat32_read_chain(walk, cluster);
    if (data.size() < 32) return;

    char long_name[kNameMax + 1] = {};  // pending long name; set characters are never NUL
    for (size_t pos = 0; pos + 32 <= data.size(); pos += 32) {
        const uint8_t* e = data.data() + pos;
        const uint8_t attributes = e[11];
        if (e[0] == 0x00) return;
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
        const std::string name = long_name[0] != '\0' ? std::string(long_name) : fat32_short_name(e);
        std::memset(long_name, 0, sizeof long_name);
        if (name == "." || name == "..") continue;
        const uint32_t first = static_cast<uint32_t>(le16(e + 20)) << 16 | le16(e + 26);
        const bool is_dir = (attributes & 0x10) != 0;
        const std::string path = add_entry(walk, name, parent_path, le32(e + 28), first, is_dir);
        if (is_dir && first >= 2) fat32_walk_dir(walk, first, path, depth + 1);
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
    const uint64_t fat_bytes = std::min<uint64_t>(static_cast<uint64_t>(fat_sectors) * sector_bytes, kMaxFatBytes);
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
    tree->fs_type.clear();
    tree->entries.clear();
    Walk walk;
    walk.read = &read;
    walk.entries = &tree->entries;
    uint8_t boot[512];
    if (!read_exact(walk, 0, boot, sizeof boot)) return 0;
    if (exfat_recognise(walk, boot)) {
        tree->fs_type = "exfat";
        exfat_walk_dir(walk, walk.exfat.root_cluster, "", 0);
    } else if (fat32_recognise(walk, boot, disk_size)) {
        tree->fs_type = "fat32";
        fat32_walk_dir(walk, walk.fat32.root_cluster, "", 0);
    }
    return tree->entries.size();
}

size_t fs_tree_read(RawFile* disk, uint64_t disk_size, DirTree* tree) {
    const FsTreeReader read = [disk](uint64_t offset, void* buffer, size_t length) {
        return raw_read_at(disk, offset, buffer, length);
    };
    return fs_tree_read_from(read, disk_size, tree);
}
