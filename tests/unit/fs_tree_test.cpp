// The FAT32/exFAT tree reader against real images made here with the file systems' own tools (The
// Sleuth Kit's fls as the oracle for what a reader must list), and against small images built in
// memory for the damaged and hostile cases no tool makes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <thread>
#include <tuple>

#include "platform/files.h"
#include "scan/fs_tree.h"
#include "test_support.h"

namespace {

using testing_support::TempDir;
using testing_support::read_file;
using testing_support::split_lines;
using testing_support::write_file;

// ---- Shell tools ----

std::string quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

std::string run_output(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

bool have_tools(std::initializer_list<const char*> tools) {
    for (const char* tool : tools) {
        if (run(std::string("command -v ") + tool) != 0) return false;
    }
    return true;
}

uint32_t le32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(bytes[at + i]);
    return v;
}
uint16_t le16(const std::string& bytes, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
}

// A name as the tree carries it: one '?' per UTF-16 unit outside ASCII.
std::string tree_text(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<uint8_t>(utf8[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else {
            const size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            out += len == 4 ? "??" : "?";
            i += len;
        }
    }
    return out;
}

// fls -r -p -u: every allocated name with its path, minus the Sleuth Kit's own virtual entries.
std::map<std::string, bool> fls_listing(const std::string& image) {
    std::map<std::string, bool> listing;
    for (const std::string& line : split_lines(run_output("fls -r -p -u " + quote(image)))) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos || line.size() < 3) continue;
        const std::string type = line.substr(0, 3);
        const std::string path = line.substr(tab + 1);
        if (type == "v/v" || type == "V/V") continue;
        if (path == "$ALLOC_BITMAP" || path == "$UPCASE_TABLE" || path.find("(Volume Label Entry)") != std::string::npos)
            continue;
        listing["/" + tree_text(path)] = type == "d/d";
    }
    return listing;
}

// A folder of files to put on an image: paths ("/a/b.txt", UTF-8) and contents.
struct Fixture {
    std::map<std::string, std::string> files;
    std::set<std::string> folders;
    std::set<std::string> deleted;  // written, then deleted from the image
};

std::string content_for(const std::string& path, size_t size) {
    std::string data = path + "|";
    uint32_t x = 2166136261u;
    for (char c : path) x = (x ^ static_cast<uint8_t>(c)) * 16777619u;
    while (data.size() < size) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        data += static_cast<char>('a' + x % 26);
    }
    data.resize(size);
    return data;
}

// Long and short names, names outside ASCII, nested and empty folders, a folder of many clusters,
// files of zero bytes and of several clusters.
Fixture camera_card() {
    Fixture f;
    f.folders = {"/DCIM", "/DCIM/100MEDIA", "/DCIM/100MEDIA/Sub folder", "/Empty", "/many names in here"};
    const std::vector<std::pair<std::string, size_t>> files = {
        {"/README.TXT", 700},
        {"/meta.xml", 40},
        {"/MixedCase.Txt", 0},
        {"/Ünïcode café 写真.jpg", 1500},
        {"/A long file name of 20.bin", 9000},
        {"/short.bin", 33},
        {"/DCIM/100MEDIA/DSC00001.JPG", 5000},
        {"/DCIM/100MEDIA/clip with a rather long name 0001.MP4", 20000},
        {"/DCIM/100MEDIA/Sub folder/deep.txt", 10},
    };
    for (const auto& [path, size] : files) f.files[path] = content_for(path, size);
    for (int i = 0; i < 70; ++i) {
        const std::string path = "/many names in here/photo number " + std::to_string(1000 + i) + ".jpeg";
        f.files[path] = content_for(path, 100 + 37 * i);
    }
    for (int i = 0; i < 3; ++i) {
        const std::string path = "/many names in here/removed later " + std::to_string(i) + ".tmp";
        f.files[path] = content_for(path, 50);
        f.deleted.insert(path);
    }
    return f;
}

// Lays the fixture out under `root` on the host.
void stage(const Fixture& fixture, const std::string& root) {
    for (const std::string& folder : fixture.folders) std::filesystem::create_directories(root + folder);
    for (const auto& [path, data] : fixture.files) write_file(root + path, data);
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::vector<std::tuple<std::string, uint64_t, uint32_t, bool>> summary(const DirTree& tree) {
    std::vector<std::tuple<std::string, uint64_t, uint32_t, bool>> out;
    for (const TreeEntry& e : tree.entries) out.emplace_back(e.path, e.size, e.cluster, e.is_dir);
    return out;
}

// The image again as a read-only device of 4096-byte sectors, which takes only whole aligned
// sectors (as a Windows disk does): raw_read_at rounds every read of the walk out to them.
void expect_same_through_4k_device(const std::string& image, const DirTree& from_file) {
    const std::string loop = trimmed(run_output("losetup -f --show -r --sector-size 4096 " + quote(image) + " 2>/dev/null"));
    if (loop.empty()) {
        std::cout << "note: no loop device here; the read through a 4096-byte-sector device was not tried\n";
        return;
    }
    RawFile* disk = raw_open(loop);
    EXPECT_NE(disk, nullptr) << loop;
    if (disk) {
        DirTree tree;
        fs_tree_read(disk, static_cast<uint64_t>(raw_size(disk)), &tree);
        raw_close(disk);
        EXPECT_EQ(tree.fs_type, from_file.fs_type);
        EXPECT_EQ(summary(tree), summary(from_file));
    }
    run("losetup -d " + quote(loop));
}

struct Volume {
    uint64_t cluster_bytes = 0;
    uint64_t cluster2_offset = 0;  // where cluster 2 starts
};

// What every real image must show: the reader lists exactly what fls lists, in depth-first order,
// with the sizes written and a first cluster that holds the start of each file.
void expect_matches_image(const std::string& image, const Fixture& fixture, const Volume& volume,
                          const char* fs_type) {
    RawFile* disk = raw_open(image);
    ASSERT_NE(disk, nullptr);
    DirTree tree;
    const size_t count = fs_tree_read(disk, static_cast<uint64_t>(raw_size(disk)), &tree);
    raw_close(disk);
    EXPECT_EQ(tree.fs_type, fs_type);
    EXPECT_EQ(count, tree.entries.size());
    EXPECT_FALSE(tree.truncated);

    std::map<std::string, bool> listed;
    for (const TreeEntry& e : tree.entries) {
        EXPECT_TRUE(listed.emplace(e.path, e.is_dir).second) << "listed twice: " << e.path;
        EXPECT_EQ(e.path.substr(e.path.rfind('/') + 1), e.name);
    }
    EXPECT_EQ(listed, fls_listing(image));

    // Every written file and folder is there; deleted ones are not.
    for (const std::string& folder : fixture.folders) EXPECT_TRUE(listed.count(tree_text(folder))) << folder;
    for (const std::string& path : fixture.deleted) EXPECT_FALSE(listed.count(tree_text(path))) << path;

    // Depth first: everything between a folder and any of its contents lies inside that folder.
    for (size_t i = 0; i < tree.entries.size(); ++i) {
        const std::string& path = tree.entries[i].path;
        const std::string parent = path.substr(0, path.rfind('/'));
        if (parent.empty()) continue;
        size_t j = i;
        while (j > 0 && tree.entries[j - 1].path != parent) {
            --j;
            EXPECT_EQ(tree.entries[j].path.rfind(parent + "/", 0), 0u) << tree.entries[j].path << " inside " << parent;
        }
        EXPECT_GT(j, 0u) << "parent of " << path << " not listed before it";
    }

    const std::string bytes = read_file(image);
    size_t checked = 0;
    for (const auto& [path, data] : fixture.files) {
        if (fixture.deleted.count(path)) continue;
        auto it = std::find_if(tree.entries.begin(), tree.entries.end(),
                               [&](const TreeEntry& e) { return e.path == tree_text(path); });
        ASSERT_NE(it, tree.entries.end()) << path;
        EXPECT_FALSE(it->is_dir);
        EXPECT_EQ(it->size, data.size()) << path;
        if (data.empty()) continue;
        const uint64_t at = (it->cluster - 2ull) * volume.cluster_bytes + volume.cluster2_offset;
        const size_t head = static_cast<size_t>(std::min<uint64_t>(data.size(), volume.cluster_bytes));
        ASSERT_LE(at + head, bytes.size()) << path;
        EXPECT_EQ(bytes.compare(at, head, data, 0, head), 0) << path << " does not start at cluster " << it->cluster;
        ++checked;
    }
    EXPECT_GT(checked, 70u);
    expect_same_through_4k_device(image, tree);
}

TEST(FsTreeRealImages, Fat32ListsWhatSleuthKitLists) {
    if (!have_tools({"mkfs.fat", "mcopy", "mdel", "fls"})) GTEST_SKIP() << "needs dosfstools, mtools and sleuthkit";
    TempDir dir;
    const Fixture fixture = camera_card();
    stage(fixture, dir.file("stage"));
    const std::string image = dir.file("fat32.img");
    // 512-byte clusters: the smallest FAT32 volume, sparse on the host, and folders of many clusters.
    ASSERT_EQ(run("truncate -s 34M " + quote(image) + " && mkfs.fat -F 32 -s 1 -S 512 " + quote(image)), 0);
    // mtools takes the host's names in the locale's encoding.
    const std::string mtools = "LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 ";
    ASSERT_EQ(run("cd " + quote(dir.file("stage")) + " && " + mtools + "mcopy -s -i " + quote(image) + " ./* ::/"), 0);
    for (const std::string& path : fixture.deleted) ASSERT_EQ(run(mtools + "mdel -i " + quote(image) + " " + quote("::" + path)), 0);

    const std::string boot = read_file(image).substr(0, 512);
    const uint64_t sector = le16(boot, 11);
    Volume volume;
    volume.cluster_bytes = sector * static_cast<uint8_t>(boot[13]);
    volume.cluster2_offset = sector * (le16(boot, 14) + static_cast<uint64_t>(static_cast<uint8_t>(boot[16])) * le32(boot, 36));
    expect_matches_image(image, fixture, volume, "fat32");
}

// A loop device with the image, mounted through exfat-fuse at `mount_point`; undone on destruction.
class FuseMount {
public:
    FuseMount(const std::string& image, const std::string& mount_point) : mount_point_(mount_point) {
        loop_ = trimmed(run_output("losetup -f --show " + quote(image) + " 2>/dev/null"));
        // Where no loop device can be had, the image file itself is mounted.
        const std::string device = loop_.empty() ? image : loop_;
        mounted_ = run("mount.exfat-fuse " + quote(device) + " " + quote(mount_point)) == 0;
    }
    ~FuseMount() {
        unmount();
        if (!loop_.empty()) run("losetup -d " + quote(loop_));
    }
    bool mounted() const { return mounted_; }
    // Unmounting flushes everything written to the image.
    bool unmount() {
        if (!mounted_) return true;
        mounted_ = run("umount " + quote(mount_point_)) != 0 && run("fusermount3 -u " + quote(mount_point_)) != 0;
        return !mounted_;
    }

private:
    std::string mount_point_;
    std::string loop_;
    bool mounted_ = false;
};

TEST(FsTreeRealImages, ExfatListsWhatSleuthKitLists) {
    if (!have_tools({"mkfs.exfat", "mount.exfat-fuse", "fls"})) GTEST_SKIP() << "needs exfatprogs, exfat-fuse and sleuthkit";
    TempDir dir;
    Fixture fixture = camera_card();
    // More files at the top: the root folder then spans several clusters too.
    for (int i = 0; i < 60; ++i) {
        const std::string path = "/top level file " + std::to_string(i) + ".dat";
        fixture.files[path] = content_for(path, 3000 + i);
    }
    const std::string image = dir.file("exfat.img");
    const std::string mount_point = dir.file("mnt");
    std::filesystem::create_directories(mount_point);
    ASSERT_EQ(run("truncate -s 8M " + quote(image) + " && mkfs.exfat -c 4K " + quote(image)), 0);
    {
        FuseMount mount(image, mount_point);
        if (!mount.mounted())
            GTEST_SKIP() << "this machine allows no FUSE mount of an exFAT image (needs root, /dev/fuse, exfat-fuse)";
        stage(fixture, mount_point);
        for (const std::string& path : fixture.deleted) ASSERT_TRUE(std::filesystem::remove(mount_point + path)) << path;
        ASSERT_TRUE(mount.unmount());
    }
    const std::string boot = read_file(image).substr(0, 512);
    const int sector_shift = static_cast<uint8_t>(boot[108]);
    Volume volume;
    volume.cluster_bytes = 1ull << (sector_shift + static_cast<uint8_t>(boot[109]));
    volume.cluster2_offset = static_cast<uint64_t>(le32(boot, 88)) << sector_shift;
    ASSERT_EQ(volume.cluster_bytes, 4096u);
    expect_matches_image(image, fixture, volume, "exfat");
}

// ---- Images built in memory ----

// A disk of `size` bytes whose first bytes are `bytes` and the rest zeros.
struct MemDisk {
    std::vector<uint8_t> bytes;
    uint64_t size = 0;

    FsTreeReader reader() const {
        return [this](uint64_t offset, void* buffer, size_t length) -> int64_t {
            if (offset >= size) return 0;
            const size_t n = static_cast<size_t>(std::min<uint64_t>(length, size - offset));
            auto* out = static_cast<uint8_t*>(buffer);
            std::memset(out, 0, n);
            if (offset < bytes.size()) {
                std::memcpy(out, bytes.data() + offset, std::min<size_t>(n, bytes.size() - offset));
            }
            return static_cast<int64_t>(n);
        };
    }
    uint8_t* at(uint64_t offset, size_t length) {
        if (bytes.size() < offset + length) bytes.resize(offset + length);
        return bytes.data() + offset;
    }
    void put16(uint64_t offset, uint16_t v) { at(offset, 2)[0] = v & 0xFF, at(offset, 2)[1] = v >> 8; }
    void put32(uint64_t offset, uint32_t v) {
        for (int i = 0; i < 4; ++i) at(offset + i, 1)[0] = static_cast<uint8_t>(v >> (8 * i));
    }
    void put64(uint64_t offset, uint64_t v) { put32(offset, static_cast<uint32_t>(v)), put32(offset + 4, v >> 32); }
    DirTree read() const {
        DirTree tree;
        fs_tree_read_from(reader(), size, &tree);
        return tree;
    }
};

std::vector<std::string> paths_of(const DirTree& tree) {
    std::vector<std::string> paths;
    for (const TreeEntry& e : tree.entries) paths.push_back(e.path + (e.is_dir ? "/" : ""));
    return paths;
}

// FAT32 with 512-byte sectors and clusters, one FAT, the root in cluster 2.
class Fat32Image {
public:
    static constexpr uint64_t kSector = 512;
    static constexpr uint32_t kReserved = 32, kFatSectors = 520, kClusters = 66000;

    Fat32Image() {
        disk.size = (kReserved + kFatSectors + kClusters) * kSector;
        uint8_t* b = disk.at(0, 512);
        std::memcpy(b + 3, "MSWIN4.1", 8);
        disk.put16(11, kSector);
        b[13] = 1;
        disk.put16(14, kReserved);
        b[16] = 1;
        disk.put32(36, kFatSectors);
        disk.put32(44, 2);
        b[510] = 0x55, b[511] = 0xAA;
        link(0, 0x0FFFFFF8), link(1, 0x0FFFFFFF), link(2, 0x0FFFFFFF);
    }
    void link(uint32_t cluster, uint32_t next) { disk.put32(kReserved * kSector + 4ull * cluster, next); }
    uint64_t cluster_at(uint32_t cluster) const { return (kReserved + kFatSectors + cluster - 2ull) * kSector; }
    // An 8.3 entry in slot `slot` (0..15) of a folder's cluster.
    void entry(uint32_t folder, int slot, const char* name11, uint8_t attributes, uint32_t first,
               uint32_t size = 0, uint8_t case_flags = 0) {
        const uint64_t e = cluster_at(folder) + 32ull * slot;
        std::memcpy(disk.at(e, 32), name11, 11);
        disk.at(e, 32)[11] = attributes;
        disk.at(e, 32)[12] = case_flags;
        disk.put16(e + 20, static_cast<uint16_t>(first >> 16));
        disk.put16(e + 26, static_cast<uint16_t>(first));
        disk.put32(e + 28, size);
    }
    void folder(uint32_t parent, int slot, const char* name11, uint32_t first) {
        entry(parent, slot, name11, 0x10, first);
        link(first, 0x0FFFFFFF);
    }

    MemDisk disk;
};

TEST(FsTreeFat32, ShortNamesAsWindowsShowsThem) {
    struct Case {
        const char name11[12];
        uint8_t case_flags;
        const char* expected;
    };
    const Case cases[] = {
        {"README  TXT", 0x00, "README.TXT"},
        {"DCIM       ", 0x00, "DCIM"},
        {"META    XML", 0x18, "meta.xml"},  // both lower-case flags
        {"META    XML", 0x08, "meta.XML"},  // the base only
        {"META    XML", 0x10, "META.xml"},  // the extension only
        {"MAKEFILE   ", 0x18, "makefile"},
        {"A1_B    T~X", 0x18, "a1_b.t~x"},  // only letters change case
        {"CAF\x82    TXT", 0x00, "CAF?.TXT"},  // an OEM code page byte is not ASCII
        {"\x05" "BC     JPG", 0x00, "?BC.JPG"},  // 05 stands for a first byte E5
    };
    for (const Case& c : cases) {
        Fat32Image image;
        image.entry(2, 0, c.name11, 0x20, 0, 1, c.case_flags);
        const DirTree tree = image.disk.read();
        ASSERT_EQ(tree.entries.size(), 1u) << c.expected;
        EXPECT_EQ(tree.entries[0].name, c.expected);
        EXPECT_EQ(tree.entries[0].path, std::string("/") + c.expected);
    }
}

// Folders that point back at an ancestor, at themselves, at a folder listed elsewhere, and a
// folder whose cluster chain runs in a circle: each is listed, none is entered twice, and the walk
// ends at once with every real entry listed once.
TEST(FsTreeFat32, LoopingFoldersAreListedButNotEnteredAgain) {
    Fat32Image image;
    image.folder(2, 0, "A          ", 3);
    image.folder(2, 1, "SHARED     ", 6);
    image.entry(6, 0, "INSIDE  TXT", 0x20, 0, 5);
    image.folder(3, 0, "B          ", 4);
    image.entry(4, 0, "UP2ROOT    ", 0x10, 2);
    image.entry(4, 1, "UP2A       ", 0x10, 3);
    image.entry(4, 2, "SELF       ", 0x10, 4);
    image.entry(4, 3, "CROSS      ", 0x10, 6);
    image.entry(4, 4, "FILE    BIN", 0x20, 0, 7);
    for (int i = 5; i < 16; ++i) image.entry(4, i, "\xE5" "ELETED BIN", 0x20, 0, 1);
    // B's chain runs 4 -> 5 -> 4 -> ...; cluster 5 holds the rest of B.
    image.link(4, 5);
    image.link(5, 4);
    image.entry(5, 0, "LAST    BIN", 0x20, 0, 9);
    std::vector<std::string> loops;
    for (int i = 1; i < 16; ++i) {
        // Siblings pointing at the root would multiply the walk by 15 at every level.
        const std::string name = (i < 10 ? "LOOP0" : "LOOP") + std::to_string(i);
        image.entry(5, i, (name + "     ").c_str(), 0x10, 2);
        loops.push_back("/A/B/" + name + "/");
    }

    std::vector<std::string> expected = {"/A/",         "/A/B/",      "/A/B/UP2ROOT/", "/A/B/UP2A/",
                                         "/A/B/SELF/",  "/A/B/CROSS/", "/A/B/CROSS/INSIDE.TXT",
                                         "/A/B/FILE.BIN", "/A/B/LAST.BIN"};
    expected.insert(expected.end(), loops.begin(), loops.end());
    // SHARED's cluster was entered through CROSS already.
    expected.push_back("/SHARED/");
    EXPECT_EQ(paths_of(image.disk.read()), expected);
}

// Folders nested 19 deep, a file in each: folders at depths 0..16 are read, the one at depth 17 is
// listed but not entered.
TEST(FsTreeFat32, FoldersBelowDepthSixteenAreListedButNotEntered) {
    Fat32Image image;
    std::string path;
    std::vector<std::string> expected;
    for (uint32_t depth = 0; depth < 19; ++depth) {
        image.entry(2 + depth, 0, "FILE    TXT", 0x20, 0, depth);
        image.folder(2 + depth, 1, "SUB        ", 3 + depth);
        if (depth <= 16) {
            expected.push_back(path + "/FILE.TXT");
            expected.push_back(path + "/SUB/");
        }
        path += "/SUB";
    }
    const DirTree tree = image.disk.read();
    EXPECT_EQ(paths_of(tree), expected);
    EXPECT_TRUE(tree.truncated);
}

// 300 folders of 2 MiB of deleted entries (their own first cluster, then a shared tail): the walk
// stops reading folders at 512 MiB, and still lists every folder the root holds.
TEST(FsTreeFat32, WalkStopsAtHalfAGibibyteOfFolders) {
    Fat32Image image;
    auto deleted = [&](uint32_t cluster) {
        for (int slot = 0; slot < 16; ++slot) image.entry(cluster, slot, "\xE5" "ELETED BIN", 0x20, 0, 1);
    };
    const uint32_t tail = 400, folders = 300;
    for (uint32_t c = tail; c < tail + 4095; ++c) {
        deleted(c);
        image.link(c, c + 1 < tail + 4095 ? c + 1 : 0x0FFFFFFF);
    }
    for (uint32_t i = 0; i < folders; ++i) {
        const uint32_t root_cluster = 2 + i / 16, last_root_cluster = 2 + (folders - 1) / 16;
        image.link(root_cluster, root_cluster < last_root_cluster ? root_cluster + 1 : 0x0FFFFFFF);
        const std::string name = "F" + std::to_string(1000 + i) + "      ";
        image.entry(root_cluster, static_cast<int>(i % 16), name.c_str(), 0x10, 30 + i);
        deleted(30 + i);
        image.link(30 + i, tail);
    }
    uint64_t bytes_read = 0;
    const FsTreeReader plain = image.disk.reader();
    const FsTreeReader counting = [&](uint64_t offset, void* buffer, size_t length) {
        const int64_t got = plain(offset, buffer, length);
        if (got > 0) bytes_read += static_cast<uint64_t>(got);
        return got;
    };
    DirTree tree;
    fs_tree_read_from(counting, image.disk.size, &tree);
    EXPECT_EQ(tree.entries.size(), folders);
    EXPECT_TRUE(tree.truncated);
    EXPECT_LE(bytes_read, (512u << 20) + (1u << 20));  // the folders, the boot sector and the FAT
    EXPECT_GT(bytes_read, 500u << 20);
}

// 17 folders of 2 MiB (4096 clusters each: one of their own, then a shared tail) holding 65536
// entries each: the tree stops at one million entries.
TEST(FsTreeFat32, TreeIsCappedAtOneMillionEntries) {
    Fat32Image image;
    const uint32_t tail = 100;
    for (uint32_t c = tail; c < tail + 4094; ++c) image.link(c, c + 1);
    image.link(tail + 4094, 0x0FFFFFFF);
    auto fill = [&](uint32_t cluster) {
        for (int slot = 0; slot < 16; ++slot) image.entry(cluster, slot, "PHOTO   JPG", 0x20, 0, 1);
    };
    for (uint32_t c = tail; c < tail + 4095; ++c) fill(c);
    for (uint32_t i = 0; i < 17; ++i) {
        const std::string name = (i < 10 ? "D0" : "D") + std::to_string(i) + "        ";
        // The 17th folder's entry sits in the root's second cluster.
        image.entry(i < 16 ? 2 : 3, static_cast<int>(i % 16), name.c_str(), 0x10, 10 + i);
        fill(10 + i);
        image.link(10 + i, tail);
    }
    image.link(2, 3);
    image.link(3, 0x0FFFFFFF);

    const DirTree tree = image.disk.read();
    EXPECT_EQ(tree.entries.size(), 1000000u);
    EXPECT_TRUE(tree.truncated);
    EXPECT_EQ(tree.entries.front().path, "/D00");
    EXPECT_EQ(tree.entries[65537].path, "/D01");
    EXPECT_EQ(tree.entries.back().path, "/D15/PHOTO.JPG");
}

// exFAT with 512-byte sectors and clusters.
class ExfatImage {
public:
    static constexpr uint64_t kSector = 512;
    static constexpr uint32_t kFatOffset = 24, kFatLength = 16, kHeapOffset = 64, kClusters = 1500;

    ExfatImage() {
        disk.size = (kHeapOffset + kClusters) * kSector;
        uint8_t* b = disk.at(0, 512);
        std::memcpy(b + 3, "EXFAT   ", 8);
        disk.put32(80, kFatOffset);
        disk.put32(84, kFatLength);
        disk.put32(88, kHeapOffset);
        disk.put32(92, kClusters);
        disk.put32(96, 2);
        b[108] = 9, b[109] = 0;
        b[510] = 0x55, b[511] = 0xAA;
        link(0, 0xFFFFFFF8), link(1, 0xFFFFFFFF);
    }
    void link(uint32_t cluster, uint32_t next) { disk.put32(kFatOffset * kSector + 4ull * cluster, next); }
    void chain(const std::vector<uint32_t>& clusters) {
        for (size_t i = 0; i < clusters.size(); ++i) link(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : 0xFFFFFFFF);
    }
    uint64_t cluster_at(uint32_t cluster) const { return (kHeapOffset + cluster - 2ull) * kSector; }

    // File, Stream Extension and File Name entries of one file.
    static std::vector<uint8_t> file_set(const std::string& name, bool is_dir, uint32_t first, uint64_t size,
                                         bool no_fat_chain = false) {
        const size_t names = (name.size() + 14) / 15;
        std::vector<uint8_t> set(32 * (2 + names), 0);
        set[0] = 0x85;
        set[1] = static_cast<uint8_t>(1 + names);
        set[4] = is_dir ? 0x10 : 0x20;
        set[32] = 0xC0;
        set[33] = no_fat_chain ? 0x03 : 0x01;
        set[35] = static_cast<uint8_t>(name.size());
        for (int i = 0; i < 4; ++i) set[32 + 20 + i] = static_cast<uint8_t>(first >> (8 * i));
        for (int i = 0; i < 8; ++i) set[32 + 24 + i] = set[32 + 8 + i] = static_cast<uint8_t>(size >> (8 * i));
        for (size_t i = 0; i < name.size(); ++i) {
            const size_t e = 64 + 32 * (i / 15);
            set[e] = 0xC1;
            set[e + 2 + 2 * (i % 15)] = static_cast<uint8_t>(name[i]);
        }
        return set;
    }
    // Lays a folder's entries across its clusters in order.
    void folder(const std::vector<uint32_t>& clusters, const std::vector<uint8_t>& entries) {
        for (size_t done = 0; done < entries.size(); done += kSector) {
            const size_t n = std::min<size_t>(kSector, entries.size() - done);
            std::memcpy(disk.at(cluster_at(clusters.at(done / kSector)), kSector), entries.data() + done, n);
        }
    }

    MemDisk disk;
};

std::vector<uint8_t> numbered_files(const std::string& prefix, int count) {
    std::vector<uint8_t> out;
    for (int i = 0; i < count; ++i) {
        const auto set = ExfatImage::file_set(prefix + std::to_string(i), false, 0, static_cast<uint64_t>(i));
        out.insert(out.end(), set.begin(), set.end());
    }
    return out;
}

// Folders of several clusters: the root through the FAT, a contiguous folder whose FAT entries
// say nothing, a folder scattered through the FAT, and a FAT chain that runs in a circle.
TEST(FsTreeExfat, FoldersOfSeveralClustersAreReadWhole) {
    ExfatImage image;
    std::vector<uint8_t> root;
    auto add = [&root](const std::vector<uint8_t>& set) { root.insert(root.end(), set.begin(), set.end()); };
    add(ExfatImage::file_set("contiguous", true, 20, 3 * 512, true));
    add(ExfatImage::file_set("scattered", true, 30, 3 * 512));
    add(ExfatImage::file_set("circle", true, 50, 3 * 512));
    add(ExfatImage::file_set("big.mp4", false, 900, 5ull << 30));
    add(numbered_files("root file ", 16));  // 20 sets of 96 bytes: four clusters
    image.chain({2, 9, 5, 7});
    image.folder({2, 9, 5, 7}, root);

    image.folder({20, 21, 22}, numbered_files("c", 14));  // 14 x 96 bytes: three clusters
    image.link(20, 0), image.link(21, 0), image.link(22, 0);
    image.chain({30, 40, 35});
    image.folder({30, 40, 35}, numbered_files("s", 14));
    image.link(50, 51), image.link(51, 50);
    image.folder({50, 51}, numbered_files("o", 10));

    const DirTree tree = image.disk.read();
    EXPECT_EQ(tree.fs_type, "exfat");
    std::vector<std::string> expected = {"/contiguous/"};
    for (int i = 0; i < 14; ++i) expected.push_back("/contiguous/c" + std::to_string(i));
    expected.push_back("/scattered/");
    for (int i = 0; i < 14; ++i) expected.push_back("/scattered/s" + std::to_string(i));
    expected.push_back("/circle/");
    for (int i = 0; i < 10; ++i) expected.push_back("/circle/o" + std::to_string(i));
    expected.push_back("/big.mp4");
    for (int i = 0; i < 16; ++i) expected.push_back("/root file " + std::to_string(i));
    EXPECT_EQ(paths_of(tree), expected);
    const auto big = std::find_if(tree.entries.begin(), tree.entries.end(), [](const TreeEntry& e) { return e.name == "big.mp4"; });
    ASSERT_NE(big, tree.entries.end());
    EXPECT_EQ(big->size, 5ull << 30);
    EXPECT_EQ(big->cluster, 900u);
}

TEST(FsTreeExfat, FolderPointingAtAnAncestorIsNotEnteredAgain) {
    ExfatImage image;
    auto root = ExfatImage::file_set("DCIM", true, 3, 512);
    image.folder({2}, root);
    image.link(2, 0xFFFFFFFF);
    std::vector<uint8_t> dcim;
    for (int i = 0; i < 5; ++i) {
        const auto set = ExfatImage::file_set("up" + std::to_string(i), true, i % 2 ? 2 : 3, 512);
        dcim.insert(dcim.end(), set.begin(), set.end());
    }
    image.folder({3}, dcim);
    const DirTree tree = image.disk.read();
    EXPECT_EQ(paths_of(tree),
              (std::vector<std::string>{"/DCIM/", "/DCIM/up0/", "/DCIM/up1/", "/DCIM/up2/", "/DCIM/up3/", "/DCIM/up4/"}));
}

// Boot sectors no volume of these file systems can have: nothing is read past them.
TEST(FsTreeHostile, ImpossibleGeometryGivesAnEmptyTree) {
    struct Case {
        const char* what;
        uint8_t sector_shift, cluster_shift;
    };
    const Case cases[] = {
        {"64 MiB clusters", 9, 17},
        {"a shift past the width of a number", 9, 200},
        {"64 MiB clusters of 4 KiB sectors", 12, 14},
    };
    for (const Case& c : cases) {
        ExfatImage image;
        image.disk.at(0, 512)[108] = c.sector_shift;
        image.disk.at(0, 512)[109] = c.cluster_shift;
        image.folder({2}, ExfatImage::file_set("a", false, 0, 1));
        const DirTree tree = image.disk.read();
        EXPECT_EQ(tree.fs_type, "") << c.what;
        EXPECT_TRUE(tree.entries.empty()) << c.what;
    }
}

// Walks keep their state to themselves: two at once give what each gives alone.
TEST(FsTreeHostile, WalksRunTogetherIndependently) {
    Fat32Image fat;
    for (int i = 0; i < 16; ++i) fat.entry(2, i, "FAT32   BIN", 0x20, 0, static_cast<uint32_t>(i));
    ExfatImage exfat;
    exfat.chain({2, 3, 4, 5});
    exfat.folder({2, 3, 4, 5}, numbered_files("e", 20));
    const DirTree fat_alone = fat.disk.read(), exfat_alone = exfat.disk.read();
    ASSERT_EQ(fat_alone.entries.size(), 16u);
    ASSERT_EQ(exfat_alone.entries.size(), 20u);
    for (int round = 0; round < 20; ++round) {
        DirTree a, b;
        std::thread other([&] { b = exfat.disk.read(); });
        a = fat.disk.read();
        other.join();
        ASSERT_EQ(paths_of(a), paths_of(fat_alone));
        ASSERT_EQ(paths_of(b), paths_of(exfat_alone));
    }
}

}  // namespace
