// ZVIMG parts decoded from one file into another, after every field has been checked.

#include "server/zvimg_decode.h"

#include <algorithm>
#include <cstring>

#include <unistd.h>

#include "server/files.h"

namespace {

constexpr uint64_t ZVIMG_BLOCK = 1 << 20;
constexpr uint32_t ZVIMG_FORMAT = 0x04000001;
constexpr uint64_t ZVIMG_HEADER = 32;
constexpr uint64_t ZVIMG_ENTRY = 12;
enum : uint8_t { BLOCK_ZERO = 0, BLOCK_RAW = 1, BLOCK_FILL = 3 };

uint32_t le32(const unsigned char* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint64_t le64(const unsigned char* p) { return uint64_t{le32(p)} | uint64_t{le32(p + 4)} << 32; }

}  // namespace

std::string decode_zvimg(int in, uint64_t in_size, int out, uint64_t original_size, std::vector<char>& buffer,
                         const std::atomic<bool>& stopping) {
    if (buffer.size() < ZVIMG_BLOCK) buffer.resize(ZVIMG_BLOCK);
    unsigned char header[ZVIMG_HEADER];
    if (in_size < ZVIMG_HEADER) return "shorter than the 32-byte header";
    if (read_some(in, reinterpret_cast<char*>(header), sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
        return "cannot read the header: " + errno_text();
    }
    if (std::memcmp(header, "ZVIM", 4) != 0) return "bad magic";
    if (le32(header + 4) != ZVIMG_FORMAT) return "bad format word";
    const uint64_t size = le64(header + 8);
    const uint64_t count = le32(header + 16);
    if (size != original_size) {
        return "header size " + std::to_string(size) + " differs from original_size " + std::to_string(original_size);
    }
    if (count != size / ZVIMG_BLOCK + (size % ZVIMG_BLOCK != 0)) return "block count does not match the size";
    if (le32(header + 20) != ZVIMG_HEADER) return "bad table offset";
    const uint64_t data_offset = ZVIMG_HEADER + ZVIMG_ENTRY * count;
    if (le32(header + 24) != data_offset) return "bad data offset";
    if (le32(header + 28) != 0) return "reserved header word not zero";
    if (data_offset > in_size) return "block table runs past the end";

    // Bounded by the file's own size, checked just above.
    std::vector<unsigned char> table(ZVIMG_ENTRY * count);
    if (read_some(in, reinterpret_cast<char*>(table.data()), table.size(), ZVIMG_HEADER) !=
        static_cast<ssize_t>(table.size())) {
        return "cannot read the block table: " + errno_text();
    }
    const uint64_t data_size = in_size - data_offset;
    uint64_t stored = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const unsigned char* entry = table.data() + ZVIMG_ENTRY * i;
        const uint64_t length = std::min(ZVIMG_BLOCK, size - i * ZVIMG_BLOCK);
        const uint64_t position = le32(entry + 4);
        const uint64_t stored_length = le32(entry + 8);
        const std::string where = "block " + std::to_string(i) + ": ";
        if (entry[1] != 0 || entry[2] != 0 || entry[3] != 0) return where + "reserved bytes not zero";
        switch (entry[0]) {
        case BLOCK_ZERO:
            if (position != 0 || stored_length != 0) return where + "zero block with stored data";
            break;
        case BLOCK_RAW:
            if (stored_length != length) return where + "raw block length differs from the block's";
            break;
        case BLOCK_FILL:
            if (stored_length != 1) return where + "fill block length is not 1";
            break;
        default:
            return where + "invalid type " + std::to_string(entry[0]);
        }
        if (position + stored_length > data_size) return where + "data beyond the end of the part";
        stored += stored_length;
    }
    if (stored != data_size) return "data area length differs from the block table's sum";

    for (uint64_t i = 0; i < count; ++i) {
        if (stopping) return "stopped";
        const unsigned char* entry = table.data() + ZVIMG_ENTRY * i;
        const size_t length = static_cast<size_t>(std::min(ZVIMG_BLOCK, size - i * ZVIMG_BLOCK));
        const uint64_t position = data_offset + le32(entry + 4);
        const uint64_t at = i * ZVIMG_BLOCK;
        if (entry[0] == BLOCK_RAW) {
            if (!copy_range(in, position, out, at, length, buffer)) {
                return "cannot copy block " + std::to_string(i) + ": " + errno_text();
            }
        } else if (entry[0] == BLOCK_FILL) {
            char fill = 0;
            if (read_some(in, &fill, 1, position) != 1) {
                return "cannot read block " + std::to_string(i) + ": " + errno_text();
            }
            std::memset(buffer.data(), fill, length);
            if (!write_all_at(out, buffer.data(), length, at)) {
                return "cannot write the decoded part: " + errno_text();
            }
        }
    }
    if (::ftruncate(out, static_cast<off_t>(size)) != 0) return "cannot write the decoded part: " + errno_text();
    return "";
}
