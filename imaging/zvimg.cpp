// ZVIMG encoder. Two passes: the first classifies every block (stopping at a block's first byte
// that differs), the second writes the header, the table and the stored bytes. Zero and fill
// blocks are only ever read, never copied; raw blocks are copied once.
#include "imaging/zvimg.h"

#include <cstring>
#include <limits>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

struct Entry {
    uint8_t type;
    uint32_t position;
    uint32_t length;
};

void put32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

void put64(uint8_t* out, uint64_t value) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

// True when every byte of p[0..n) equals p[0]. Zero and fill blocks are read at memory speed, and
// a block of varied data is given up on after its first few bytes.
bool uniform(const uint8_t* p, size_t n) {
    const uint8_t first = p[0];
    size_t i = 0;
    // Cheap early exit for the common case of varied data.
    for (size_t head = n < 64 ? n : 64; i < head; ++i) {
        if (p[i] != first) return false;
    }
#if defined(__SSE2__)
    const __m128i pattern = _mm_set1_epi8(static_cast<char>(first));
    const __m128i zero = _mm_setzero_si128();
    for (; i + 256 <= n; i += 256) {
        __m128i acc = zero;
        for (size_t k = 0; k < 256; k += 64) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + k));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + k + 16));
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + k + 32));
            const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + k + 48));
            acc = _mm_or_si128(acc, _mm_or_si128(_mm_or_si128(_mm_xor_si128(a, pattern), _mm_xor_si128(b, pattern)),
                                                 _mm_or_si128(_mm_xor_si128(c, pattern), _mm_xor_si128(d, pattern))));
        }
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(acc, zero)) != 0xFFFF) return false;
    }
#else
    uint64_t pattern;
    std::memset(&pattern, first, sizeof pattern);
    for (; i + 64 <= n; i += 64) {
        uint64_t acc = 0;
        for (size_t k = 0; k < 64; k += 8) {
            uint64_t word;
            std::memcpy(&word, p + i + k, sizeof word);
            acc |= word ^ pattern;
        }
        if (acc) return false;
    }
#endif
    for (; i < n; ++i) {
        if (p[i] != first) return false;
    }
    return true;
}

uint64_t block_count(uint64_t raw_length) { return (raw_length + ZVIMG_BLOCK_SIZE - 1) / ZVIMG_BLOCK_SIZE; }

}  // namespace

bool zvimg_can_encode(uint64_t raw_length) { return raw_length <= std::numeric_limits<uint32_t>::max(); }

uint64_t zvimg_max_encoded_size(uint64_t raw_length) {
    return ZVIMG_HEADER_SIZE + ZVIMG_ENTRY_SIZE * block_count(raw_length) + raw_length;
}

bool zvimg_encode_into(const uint8_t* raw, uint64_t raw_length, PartBuffer& out) {
    if (!zvimg_can_encode(raw_length)) return false;
    const uint64_t blocks = block_count(raw_length);

    std::vector<Entry> table;
    try {
        table.resize(blocks);
    } catch (const std::bad_alloc&) {
        return false;
    }

    uint64_t running = 0;
    for (uint64_t b = 0; b < blocks; ++b) {
        const uint64_t offset = b * ZVIMG_BLOCK_SIZE;
        const uint64_t length = raw_length - offset < ZVIMG_BLOCK_SIZE ? raw_length - offset : ZVIMG_BLOCK_SIZE;
        const uint8_t* block = raw + offset;
        Entry& entry = table[b];
        if (!uniform(block, length)) {
            entry = {ZVIMG_RAW, static_cast<uint32_t>(running), static_cast<uint32_t>(length)};
            running += length;
        } else if (block[0] != 0) {
            entry = {ZVIMG_FILL, static_cast<uint32_t>(running), 1};
            running += 1;
        } else {
            entry = {ZVIMG_ZERO, 0, 0};
        }
    }

    const uint64_t data_offset = ZVIMG_HEADER_SIZE + ZVIMG_ENTRY_SIZE * blocks;
    const uint64_t total = data_offset + running;
    if (total > std::numeric_limits<size_t>::max()) return false;
    if (out.capacity() < total || !out.valid()) {
        PartBuffer fresh(static_cast<size_t>(total));
        if (!fresh.valid()) return false;
        out = std::move(fresh);
    }
    uint8_t* o = out.data();

    std::memcpy(o, "ZVIM", 4);
    put32(o + 4, ZVIMG_FORMAT_WORD);
    put64(o + 8, raw_length);
    put32(o + 16, static_cast<uint32_t>(blocks));
    put32(o + 20, ZVIMG_HEADER_SIZE);
    put32(o + 24, static_cast<uint32_t>(data_offset));
    put32(o + 28, 0);
    uint8_t* e = o + ZVIMG_HEADER_SIZE;
    for (const Entry& entry : table) {
        e[0] = entry.type;
        e[1] = e[2] = e[3] = 0;
        put32(e + 4, entry.position);
        put32(e + 8, entry.length);
        e += ZVIMG_ENTRY_SIZE;
    }

    uint8_t* data = o + data_offset;
    for (uint64_t b = 0; b < blocks; ++b) {
        const Entry& entry = table[b];
        const uint8_t* block = raw + b * ZVIMG_BLOCK_SIZE;
        if (entry.type == ZVIMG_RAW) {
            std::memcpy(data + entry.position, block, entry.length);
        } else if (entry.type == ZVIMG_FILL) {
            data[entry.position] = block[0];
        }
    }
    out.set_size(static_cast<size_t>(total));
    return true;
}

std::optional<PartBuffer> zvimg_encode(const uint8_t* raw, uint64_t raw_length) {
    PartBuffer out;
    if (!zvimg_encode_into(raw, raw_length, out)) return std::nullopt;
    return out;
}
