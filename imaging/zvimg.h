// ZVIMG: the sparse container every image part travels in. The part is cut into 1 MiB blocks; a
// block of zero bytes is stored as a table entry only, a block of one repeated byte as that byte,
// any other block as it is. Little-endian: a 32-byte header, 12 bytes of table per block, then the
// stored bytes of the raw and fill blocks in block order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "imaging/part_buffer.h"

constexpr uint64_t ZVIMG_BLOCK_SIZE = 1048576;
constexpr uint32_t ZVIMG_HEADER_SIZE = 32;
constexpr uint32_t ZVIMG_ENTRY_SIZE = 12;
constexpr uint32_t ZVIMG_FORMAT_WORD = 0x04000001;

enum ZvimgBlockType : uint8_t { ZVIMG_ZERO = 0, ZVIMG_RAW = 1, ZVIMG_FILL = 3 };

// Whether a raw part of this length can be encoded: block count, data positions and stored
// lengths are 32-bit, so the data area (at most the raw length) must stay below 4 GiB.
bool zvimg_can_encode(uint64_t raw_length);

// The largest encoding of a raw part of this length (every block stored raw).
uint64_t zvimg_max_encoded_size(uint64_t raw_length);

// Encodes `raw` into a newly allocated buffer of exactly the encoded length; nothing when the
// length cannot be encoded or memory cannot be had. `raw` is never touched.
std::optional<PartBuffer> zvimg_encode(const uint8_t* raw, uint64_t raw_length);

// Builds a part's ZVIMG form in the very buffer its raw bytes are read into, piece by piece. Each
// piece is read where next_piece() points; add() sorts its blocks into the table and moves the
// bytes a raw block keeps down behind the data before it. A zero or fill block keeps at most one
// byte, so the next piece lands on the same memory again: a sparse part touches little more than
// one piece of its buffer, and no part needs a second buffer. finish() puts the header and the
// table in front of the data area.
class ZvimgBuilder {
public:
    // Bytes the buffer of a raw part of this length needs: page-aligned room for the header and
    // the table, the raw length, and a page of slack that keeps every piece page-aligned.
    static uint64_t buffer_size(uint64_t raw_length);

    // Starts a part of `raw_length` bytes in `buffer` (page-aligned, at least buffer_size bytes).
    // False when the length cannot be encoded or the table cannot be had.
    bool start(uint8_t* buffer, uint64_t raw_length);
    // Where the next piece is to be read: page-aligned, with room for the rest of the part.
    uint8_t* next_piece() const;
    // Takes the next `length` raw bytes, read at next_piece(): whole blocks, except that the piece
    // that ends the part may end in a shorter block.
    void add(uint64_t length);
    uint64_t added() const { return added_; }
    // Once every raw byte was added: writes header and table; the encoded part is the `*length`
    // bytes from `*begin` in the buffer.
    void finish(uint64_t* begin, uint64_t* length);

    struct Entry {
        uint8_t type;
        uint32_t position;  // in the data area
        uint32_t length;    // stored bytes
    };

private:
    uint8_t* buffer_ = nullptr;
    uint64_t raw_length_ = 0;
    uint64_t room_ = 0;     // offset of the data area
    uint64_t added_ = 0;    // raw bytes taken
    uint64_t running_ = 0;  // bytes in the data area
    std::vector<Entry> table_;
};
