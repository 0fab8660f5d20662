// The ZVIMG decoder against parts made here from the format's description (not by the agent's
// encoder): every block type and size, and every malformed header and table entry.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "server/zvimg_decode.h"

namespace {

constexpr size_t MIB = 1 << 20;
using Bytes = std::string;

void put32(Bytes& out, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>(value >> (8 * i));
}

void put64(Bytes& out, size_t at, uint64_t value) {
    put32(out, at, static_cast<uint32_t>(value));
    put32(out, at + 4, static_cast<uint32_t>(value >> 32));
}

// A part as the format lays it out: zero blocks store nothing, blocks of one other byte value store
// that byte, any other block is stored whole.
Bytes encode(const Bytes& raw) {
    const size_t count = (raw.size() + MIB - 1) / MIB;
    Bytes out(32 + 12 * count, '\0');
    std::memcpy(out.data(), "ZVIM", 4);
    put32(out, 4, 0x04000001);
    put64(out, 8, raw.size());
    put32(out, 16, static_cast<uint32_t>(count));
    put32(out, 20, 32);
    put32(out, 24, static_cast<uint32_t>(32 + 12 * count));
    Bytes data;
    for (size_t i = 0; i < count; ++i) {
        const Bytes block = raw.substr(i * MIB, MIB);
        const bool same = block.find_first_not_of(block[0]) == Bytes::npos;
        const size_t entry = 32 + 12 * i;
        if (same && block[0] == 0) continue;  // type 0, all fields zero
        out[entry] = same ? 3 : 1;
        put32(out, entry + 4, static_cast<uint32_t>(data.size()));
        put32(out, entry + 8, same ? 1 : static_cast<uint32_t>(block.size()));
        data += same ? block.substr(0, 1) : block;
    }
    return out + data;
}

Bytes random_bytes(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    Bytes out(size, '\0');
    for (auto& c : out) c = static_cast<char>(generator());
    return out;
}

// An anonymous in-memory file.
class MemFile {
public:
    explicit MemFile(const Bytes& content = {}) : fd_(memfd_create("zvimg", MFD_CLOEXEC)) {
        EXPECT_GE(fd_, 0);
        EXPECT_EQ(write(fd_, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    }
    ~MemFile() { close(fd_); }
    int fd() const { return fd_; }
    Bytes content() const {
        Bytes out(static_cast<size_t>(lseek(fd_, 0, SEEK_END)), '\0');
        EXPECT_EQ(pread(fd_, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
        return out;
    }

private:
    int fd_;
};

struct Decoded {
    std::string error;
    Bytes out;
};

Decoded decode(const Bytes& part, uint64_t original_size, bool stop = false) {
    MemFile in(part), out;
    std::vector<char> buffer;  // the decoder grows it
    const std::atomic<bool> stopping{stop};
    Decoded result;
    result.error = decode_zvimg(in.fd(), part.size(), out.fd(), original_size, buffer, stopping);
    result.out = out.content();
    return result;
}

TEST(ZvimgDecode, RebuildsEveryBlockTypeAndSize) {
    const Bytes raw_block = random_bytes(MIB, 1);
    const struct {
        const char* name;
        Bytes raw;
        size_t encoded_size;  // checks that the part holds the blocks meant
    } cases[] = {
        {"empty part", "", 32},
        {"one zero block", Bytes(MIB, '\0'), 44},
        {"zero, fill 0xFF, zero", Bytes(MIB, '\0') + Bytes(MIB, '\xff') + Bytes(MIB, '\0'), 32 + 36 + 1},
        {"fill blocks, the last one byte long", Bytes(MIB + 1, '\x07'), 32 + 24 + 2},
        {"raw then fill", raw_block + Bytes(MIB, 'A'), 32 + 24 + MIB + 1},
        {"fill then raw", Bytes(MIB, 'A') + raw_block, 32 + 24 + 1 + MIB},
        {"short raw last block", Bytes(MIB, '\0') + random_bytes(1234, 2), 32 + 24 + 1234},
        {"one zero byte", Bytes(1, '\0'), 44},
        {"two different bytes", Bytes("\x01\x02", 2), 44 + 2},
    };
    for (const auto& c : cases) {
        const Bytes part = encode(c.raw);
        ASSERT_EQ(part.size(), c.encoded_size) << c.name;
        const Decoded decoded = decode(part, c.raw.size());
        EXPECT_EQ(decoded.error, "") << c.name;
        EXPECT_TRUE(decoded.out == c.raw) << c.name << ": " << decoded.out.size() << " bytes";
    }
}

TEST(ZvimgDecode, RefusesMalformedPartsWithoutWritingAnything) {
    // Zero, fill and a 100-byte raw block: entries at 32, 44 and 56, data area at 68.
    const Bytes raw = Bytes(MIB, '\0') + Bytes(MIB, '\x07') + random_bytes(100, 3);
    const Bytes good = encode(raw);
    ASSERT_EQ(good.size(), 32u + 36 + 1 + 100);
    const auto patched = [&good](size_t at, uint32_t value, size_t width = 4) {
        Bytes out = good;
        for (size_t i = 0; i < width; ++i) out[at + i] = static_cast<char>(value >> (8 * i));
        return out;
    };
    const auto entry = [&good](size_t at, uint8_t type, uint32_t position, uint32_t length) {
        Bytes out = good;
        out[at] = static_cast<char>(type);
        put32(out, at + 4, position);
        put32(out, at + 8, length);
        return out;
    };
    Bytes huge(32, '\0');  // a table of 2^28 entries in a 32-byte file
    std::memcpy(huge.data(), "ZVIM", 4);
    put32(huge, 4, 0x04000001);
    put64(huge, 8, uint64_t{1} << 48);
    put32(huge, 16, 1u << 28);
    put32(huge, 20, 32);
    put32(huge, 24, 32 + 12 * (1u << 28));

    const struct {
        const char* name;
        Bytes part;
        uint64_t original_size;
        const char* error_part;
    } cases[] = {
        {"short header", good.substr(0, 20), raw.size(), "header"},
        {"magic", "ZVIX" + good.substr(4), raw.size(), "bad magic"},
        {"format word", patched(4, 0x04000002), raw.size(), "format word"},
        {"size differs from original_size", good, raw.size() + 1, "differs from original_size"},
        {"block count", patched(16, 2), raw.size(), "block count"},
        {"table offset", patched(20, 36), raw.size(), "table offset"},
        {"data offset", patched(24, 69), raw.size(), "data offset"},
        {"reserved word", patched(28, 1), raw.size(), "reserved header word"},
        {"table past the end", huge, uint64_t{1} << 48, "past the end"},
        {"type 2", patched(56, 2, 1), raw.size(), "invalid type 2"},
        {"entry reserved byte", patched(45, 1, 1), raw.size(), "reserved bytes"},
        {"zero block with data", entry(32, 0, 0, 5), raw.size(), "zero block"},
        {"zero block with a position", entry(32, 0, 7, 0), raw.size(), "zero block"},
        {"fill length 2", entry(44, 3, 0, 2), raw.size(), "fill block"},
        {"fill length 0", entry(44, 3, 0, 0), raw.size(), "fill block"},
        {"raw length", entry(56, 1, 1, 99), raw.size(), "raw block"},
        {"position beyond the end", entry(56, 1, 0xFFFFFFF0, 100), raw.size(), "beyond the end"},
        {"position overlapping the end", entry(56, 1, 2, 100), raw.size(), "beyond the end"},
        {"truncated data", good.substr(0, good.size() - 1), raw.size(), "beyond the end"},
        {"trailing byte", good + '\0', raw.size(), "data area"},
    };
    for (const auto& c : cases) {
        const Decoded decoded = decode(c.part, c.original_size);
        EXPECT_NE(decoded.error.find(c.error_part), std::string::npos) << c.name << ": " << decoded.error;
        EXPECT_EQ(decoded.out.size(), 0u) << c.name;
    }
}

TEST(ZvimgDecode, GivesUpWhenTheServerStops) {
    const Bytes raw = random_bytes(2 * MIB, 4);
    EXPECT_EQ(decode(encode(raw), raw.size(), true).error, "stopped");
}

}  // namespace
