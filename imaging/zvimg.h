// ZVIMG: the sparse container every image part travels in. The part is cut into 1 MiB blocks; a
// block of zero bytes is stored as a table entry only, a block of one repeated byte as that byte,
// any other block as it is. Little-endian: a 32-byte header, 12 bytes of table per block, then the
// stored bytes of the raw and fill blocks in block order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

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

// Encodes `raw` into `out`, reusing its memory when it is large enough and allocating a new
// buffer otherwise; out.size() is then the encoded length. False (with `out` left as it was) when
// the length cannot be encoded or memory cannot be had. `raw` is never touched.
bool zvimg_encode_into(const uint8_t* raw, uint64_t raw_length, PartBuffer& out);

// The same into a newly allocated buffer; nothing on failure.
std::optional<PartBuffer> zvimg_encode(const uint8_t* raw, uint64_t raw_length);
