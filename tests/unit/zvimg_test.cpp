// ZVIMG encoder: the layout of known parts, and a round trip through a decoder written here from
// the format's description (strict: it refuses anything the format does not allow); the in-place
// builder the pipeline uses must give the very same bytes whatever its pieces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "imaging/zvimg.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t MiB = 1048576;

uint32_t get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint64_t get64(const uint8_t* p) { return get32(p) | static_cast<uint64_t>(get32(p + 4)) << 32; }


Bytes encode(const Bytes& raw) {
    auto out = zvimg_encode(raw.data(), raw.size());
    EXPECT_TRUE(out.has_value());
    if (!out) return {};
    return Bytes(out->data(), out->data() + out->size());
}

// The part encoded in place, its raw bytes arriving in pieces of `piece` bytes. `piece_at`, when
// given, collects where each piece was to be read.
Bytes encode_in_place(const Bytes& raw, uint64_t piece, std::vector<const uint8_t*>* piece_at = nullptr) {
    PartBuffer buffer(ZvimgBuilder::buffer_size(raw.size()));
    ZvimgBuilder builder;
    EXPECT_TRUE(builder.start(buffer.data(), raw.size()));
    for (uint64_t at = 0; at < raw.size(); at += piece) {
        const uint64_t n = std::min<uint64_t>(piece, raw.size() - at);
        uint8_t* into = builder.next_piece();
        EXPECT_EQ(reinterpret_cast<uintptr_t>(into) % 4096, 0u);
        EXPECT_LE(into + n, buffer.data() + buffer.capacity());
        if (piece_at) piece_at->push_back(into);
        std::memcpy(into, raw.data() + at, n);
        builder.add(n);
    }
    EXPECT_EQ(builder.added(), raw.size());
    uint64_t begin = 0, length = 0;
    builder.finish(&begin, &length);
    EXPECT_LE(begin + length, buffer.capacity());
    return Bytes(buffer.data() + begin, buffer.data() + begin + length);
}

// Rebuilds the raw part; nothing when the encoding breaks any rule of the format.
std::optional<Bytes> decode(const Bytes& z) {
    if (z.size() < 32 || std::memcmp(z.data(), "ZVIM", 4) != 0 || get32(&z[4]) != 0x04000001) return std::nullopt;
    const uint64_t size = get64(&z[8]);
    const uint32_t blocks = get32(&z[16]);
    if (blocks != (size + MiB - 1) / MiB || get32(&z[20]) != 32 || get32(&z[24]) != 32 + 12ull * blocks ||
        get32(&z[28]) != 0 || z.size() < 32 + 12ull * blocks) {
        return std::nullopt;
    }
    const uint8_t* data = z.data() + 32 + 12ull * blocks;
    const uint64_t data_size = z.size() - (32 + 12ull * blocks);
    uint64_t expected_position = 0;
    Bytes raw;
    for (uint32_t b = 0; b < blocks; ++b) {
        const uint8_t* e = &z[32 + 12ull * b];
        const uint64_t length = std::min<uint64_t>(MiB, size - b * MiB);
        const uint32_t position = get32(e + 4), stored = get32(e + 8);
        if (e[1] || e[2] || e[3]) return std::nullopt;
        switch (e[0]) {
            case 0:
                if (position || stored) return std::nullopt;
                raw.insert(raw.end(), length, 0);
                break;
            case 1:
                if (stored != length || position != expected_position || position + stored > data_size) return std::nullopt;
                raw.insert(raw.end(), data + position, data + position + stored);
                expected_position += stored;
                break;
            case 3:
                if (stored != 1 || position != expected_position || position + 1 > data_size || data[position] == 0) {
                    return std::nullopt;
                }
                raw.insert(raw.end(), length, data[position]);
                expected_position += 1;
                break;
            default:
                return std::nullopt;
        }
    }
    if (expected_position != data_size) return std::nullopt;  // no gaps, nothing trailing
    return raw;
}

Bytes random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(gen());
    return out;
}

struct Entry {
    uint8_t type;
    uint32_t position, length;
};
Entry entry(const Bytes& z, uint32_t b) {
    const uint8_t* e = &z[32 + 12 * b];
    return {e[0], get32(e + 4), get32(e + 8)};
}

TEST(Zvimg, KnownLayouts) {
    // 1 MiB of zeros: header and one zero entry.
    Bytes z = encode(Bytes(MiB, 0));
    ASSERT_EQ(z.size(), 44u);
    EXPECT_EQ(entry(z, 0).type, 0);

    // 3 MiB, the middle MiB 0xFF: one fill byte in the data area.
    Bytes raw(3 * MiB, 0);
    std::memset(raw.data() + MiB, 0xFF, MiB);
    z = encode(raw);
    ASSERT_EQ(z.size(), 32u + 36 + 1);
    EXPECT_EQ(entry(z, 1).type, 3);
    EXPECT_EQ(entry(z, 1).position, 0u);
    EXPECT_EQ(entry(z, 1).length, 1u);
    EXPECT_EQ(z.back(), 0xFF);

    // 1 MiB + 1 of the value 7: two fill blocks, the second one byte long.
    z = encode(Bytes(MiB + 1, 7));
    ASSERT_EQ(z.size(), 32u + 24 + 2);
    EXPECT_EQ(get32(&z[16]), 2u);
    EXPECT_EQ(entry(z, 1).type, 3);
    EXPECT_EQ(entry(z, 1).position, 1u);

    // Raw then fill: the fill byte sits right after the raw block.
    raw = random_bytes(2 * MiB, 1);
    std::memset(raw.data() + MiB, 9, MiB);
    z = encode(raw);
    EXPECT_EQ(entry(z, 0).type, 1);
    EXPECT_EQ(entry(z, 0).length, MiB);
    EXPECT_EQ(entry(z, 1).type, 3);
    EXPECT_EQ(entry(z, 1).position, MiB);

    // A block that differs only in its very last byte is raw.
    raw.assign(MiB, 5);
    raw.back() = 6;
    EXPECT_EQ(entry(encode(raw), 0).type, 1);

    // Empty part: the header alone.
    z = encode({});
    ASSERT_EQ(z.size(), 32u);
    EXPECT_EQ(get32(&z[16]), 0u);
    EXPECT_EQ(get32(&z[20]), 32u);
    EXPECT_EQ(get32(&z[24]), 32u);
}

TEST(Zvimg, RoundTripsThroughAnIndependentDecoder) {
    const size_t lengths[] = {0, 1, 2, 4095, MiB - 1, MiB, MiB + 1, 3 * MiB + 17};
    for (size_t length : lengths) {
        Bytes zeros(length, 0), fill(length, 0xA5), random = random_bytes(length, 7), mixed(length, 0);
        // Mixed: zero, fill and random blocks, and a block that is random only near its end.
        for (size_t i = 0; i < length; ++i) {
            const size_t block = i / MiB;
            if (block % 4 == 1) mixed[i] = 0x11;
            if (block % 4 == 2) mixed[i] = random[i];
            if (block % 4 == 3 && i % MiB > MiB - 300) mixed[i] = random[i];
        }
        if (length > 0) mixed[length / 2] ^= 0x5A;
        for (const Bytes* raw : {&zeros, &fill, &random, &mixed}) {
            Bytes z = encode(*raw);
            const uint64_t blocks = (length + MiB - 1) / MiB;
            EXPECT_EQ(get64(&z[8]), length);
            EXPECT_EQ(get32(&z[24]), 32 + 12 * blocks);
            auto back = decode(z);
            ASSERT_TRUE(back.has_value()) << "length " << length;
            EXPECT_TRUE(*back == *raw) << "length " << length;
            for (uint64_t piece : {MiB, 2 * MiB}) {
                EXPECT_TRUE(encode_in_place(*raw, piece) == z) << "length " << length << ", pieces of " << piece;
            }
        }
    }
}

TEST(Zvimg, InPlaceReadsOfASparsePartLandOnTheSameMemory) {
    // Zero and fill blocks keep at most a byte, so every piece of such a part is read within a
    // page of where the first one was: the part touches one piece of its buffer, not all of it.
    Bytes raw(8 * MiB, 0);
    std::memset(raw.data() + 3 * MiB, 0xEE, MiB);
    std::vector<const uint8_t*> at;
    encode_in_place(raw, MiB, &at);
    ASSERT_EQ(at.size(), 8u);
    for (const uint8_t* p : at) EXPECT_LE(p - at[0], 4096);
    // Raw blocks move the next piece on by what they keep.
    raw = random_bytes(4 * MiB, 9);
    at.clear();
    encode_in_place(raw, MiB, &at);
    ASSERT_EQ(at.size(), 4u);
    EXPECT_EQ(at[3] - at[0], static_cast<ptrdiff_t>(3 * MiB));
}

TEST(Zvimg, PartSizeLimit) {
    EXPECT_TRUE(zvimg_can_encode(4095 * MiB));
    EXPECT_FALSE(zvimg_can_encode(4096 * MiB));
}

}  // namespace
