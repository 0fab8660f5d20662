// ZVIMG encoder, in two forms that share the block rule and the header: a pure one into a fresh
// buffer (classify every block, then write), and the builder that encodes a part in place as its
// pieces are read. A block is classified by comparing its bytes with its first one, stopping at
// the first that differs; zero and fill blocks are only ever read, raw blocks are moved at most
// once.
#include "imaging/zvimg.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

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

uint64_t head_size(uint64_t blocks) { return ZVIMG_HEADER_SIZE + ZVIMG_ENTRY_SIZE * blocks; }

constexpr uint64_t kPage = 4096;
uint64_t page_up(uint64_t n) { return (n + kPage - 1) / kPage * kPage; }

using Entry = ZvimgBuilder::Entry;

// The entry of one block whose stored bytes would begin at `running`.
Entry classify(const uint8_t* block, uint64_t length, uint64_t running) {
    if (!uniform(block, length)) {
        return {ZVIMG_RAW, static_cast<uint32_t>(running), static_cast<uint32_t>(length)};
    }
    if (block[0] != 0) return {ZVIMG_FILL, static_cast<uint32_t>(running), 1};
    return {ZVIMG_ZERO, 0, 0};
}

// Header and table, head_size(table.size()) bytes at `out`.
void write_head(uint8_t* out, uint64_t raw_length, const std::vector<Entry>& table) {
    const uint64_t blocks = table.size();
    std::memcpy(out, "ZVIM", 4);
    put32(out + 4, ZVIMG_FORMAT_WORD);
    put64(out + 8, raw_length);
    put32(out + 16, static_cast<uint32_t>(blocks));
    put32(out + 20, ZVIMG_HEADER_SIZE);
    put32(out + 24, static_cast<uint32_t>(head_size(blocks)));
    put32(out + 28, 0);
    uint8_t* e = out + ZVIMG_HEADER_SIZE;
    for (const Entry& entry : table) {
        e[0] = entry.type;
        e[1] = e[2] = e[3] = 0;
        put32(e + 4, entry.position);
        put32(e + 8, entry.length);
        e += ZVIMG_ENTRY_SIZE;
    }
}

// Stores one block's kept bytes at `data` + its position. The block may lie in the same buffer
// at or after that place (the builder), so bytes are moved, not copied.
void store(uint8_t* data, const Entry& entry, const uint8_t* block) {
    if (entry.type == ZVIMG_RAW) {
        if (data + entry.position != block) std::memmove(data + entry.position, block, entry.length);
    } else if (entry.type == ZVIMG_FILL) {
        data[entry.position] = block[0];
    }
}

}  // namespace

bool zvimg_can_encode(uint64_t raw_length) { return raw_length <= std::numeric_limits<uint32_t>::max(); }

uint64_t zvimg_max_encoded_size(uint64_t raw_length) { return head_size(block_count(raw_length)) + raw_length; }

std::optional<PartBuffer> zvimg_encode(const uint8_t* raw, uint64_t raw_length) {
    if (!zvimg_can_encode(raw_length)) return std::nullopt;
    const uint64_t blocks = block_count(raw_length);
    std::vector<Entry> table;
    try {
        table.reserve(blocks);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    uint64_t running = 0;
    for (uint64_t b = 0; b < blocks; ++b) {
        const uint64_t offset = b * ZVIMG_BLOCK_SIZE;
        table.push_back(classify(raw + offset, std::min(raw_length - offset, ZVIMG_BLOCK_SIZE), running));
        running += table.back().length;
    }
    const uint64_t total = head_size(blocks) + running;
    if (total > std::numeric_limits<size_t>::max()) return std::nullopt;
    PartBuffer out(static_cast<size_t>(total));
    if (!out.valid()) return std::nullopt;
    write_head(out.data(), raw_length, table);
    uint8_t* data = out.data() + head_size(blocks);
    for (uint64_t b = 0; b < blocks; ++b) store(data, table[b], raw + b * ZVIMG_BLOCK_SIZE);
    out.set_size(static_cast<size_t>(total));
    return out;
}

uint64_t ZvimgBuilder::buffer_size(uint64_t raw_length) {
    return page_up(head_size(block_count(raw_length))) + raw_length + kPage;
}

bool ZvimgBuilder::start(uint8_t* buffer, uint64_t raw_length) {
    if (!zvimg_can_encode(raw_length)) return false;
    try {
        table_.clear();
        table_.reserve(block_count(raw_length));
    } catch (const std::bad_alloc&) {
        return false;
    }
    buffer_ = buffer;
    raw_length_ = raw_length;
    room_ = page_up(head_size(block_count(raw_length)));
    added_ = 0;
    running_ = 0;
    return true;
}

uint8_t* ZvimgBuilder::next_piece() const { return buffer_ + page_up(room_ + running_); }

void ZvimgBuilder::add(uint64_t length) {
    const uint8_t* piece = next_piece();
    uint8_t* data = buffer_ + room_;
    // Every store lands at or before the block it comes from and ends within it, so blocks not yet
    // sorted are never overwritten.
    for (uint64_t done = 0; done < length;) {
        const uint64_t block = std::min({ZVIMG_BLOCK_SIZE, length - done, raw_length_ - added_});
        if (block == 0) break;
        const Entry entry = classify(piece + done, block, running_);
        store(data, entry, piece + done);
        table_.push_back(entry);
        running_ += entry.length;
        added_ += block;
        done += block;
    }
}

void ZvimgBuilder::finish(uint64_t* begin, uint64_t* length) {
    const uint64_t head = head_size(table_.size());
    write_head(buffer_ + room_ - head, raw_length_, table_);
    *begin = room_ - head;
    *length = head + running_;
}
