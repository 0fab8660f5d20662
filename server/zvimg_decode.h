// Decoding of ZVIMG parts, the sparse form agents upload disk image parts in: a 32-byte header, a
// table of 1 MiB blocks (zero, raw or filled with one byte value) and their stored bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Decodes the ZVIMG part read from descriptor `in` (`in_size` bytes, read by offset) into `out`,
// an empty file written by offset: stored blocks are copied inside the kernel where the file
// systems allow it, zero blocks are left as holes, and the file is given its full size at the end. The header must name `original_size`. Every header field and table entry is
// checked before anything is written, so a malformed part is refused without reading or writing
// outside it. `buffer` is working space, grown to one block when smaller. Gives up with "stopped"
// once `stopping` is set. Empty text on success, else what is wrong.
std::string decode_zvimg(int in, uint64_t in_size, int out, uint64_t original_size, std::vector<char>& buffer,
                         const std::atomic<bool>& stopping);
