// Aligned reads of devices that take whole sectors only: the span arithmetic, and the read loop
// against a strict in-memory device that refuses anything unaligned, as a disk does.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"

namespace {

TEST(RawSpan, CoversTheRequestWithWholeSectors) {
    struct Case {
        const char* name;
        uint64_t offset, length;
        uint32_t sector;
        int64_t device_size;
        RawSpan span;  // offset, length, skip, count
    };
    const int64_t unknown = -1;
    const Case cases[] = {
        {"aligned", 4096, 8192, 512, unknown, {4096, 8192, 0, 8192}},
        {"one byte into a sector", 513, 10, 512, unknown, {512, 512, 1, 10}},
        {"last byte of a sector", 511, 1, 512, unknown, {0, 512, 511, 1}},
        {"crosses a boundary", 511, 2, 512, unknown, {0, 1024, 511, 2}},
        {"ends on a boundary", 100, 412, 512, unknown, {0, 512, 100, 412}},
        {"ends one past a boundary", 100, 413, 512, unknown, {0, 1024, 100, 413}},
        {"0.1 GiB start, 4K sectors", 107374182, 67108864, 4096, unknown,
         {107372544, 67112960, 1638, 67108864}},
        {"zero length", 1000, 0, 512, unknown, {0, 0, 0, 0}},
        {"cut at the device end", 1000, 5000, 512, 4096, {512, 3584, 488, 3096}},
        {"device end inside a sector", 1000, 5000, 512, 1100, {512, 1024, 488, 100}},
        {"starts at the device end", 4096, 10, 512, 4096, {0, 0, 0, 0}},
        {"starts beyond the device end", 9000, 10, 512, 4096, {0, 0, 0, 0}},
        {"plain file: no rounding", 12345, 678, 1, unknown, {12345, 678, 0, 678}},
        {"near the top of the range", UINT64_MAX - 1000, 1000, 512, unknown,
         {UINT64_MAX - 1023, 512, 23, 489}},  // cut where a rounded-up end still fits
    };
    for (const Case& c : cases) {
        RawSpan got = raw_span(c.offset, c.length, c.sector, c.device_size);
        EXPECT_EQ(got.offset, c.span.offset) << c.name;
        EXPECT_EQ(got.length, c.span.length) << c.name;
        EXPECT_EQ(got.skip, c.span.skip) << c.name;
        EXPECT_EQ(got.count, c.span.count) << c.name;
    }
}

// A device of `size` bytes that fails, like a disk, any read whose offset, length or buffer is not
// a multiple of its sector; it counts the reads it served.
struct StrictDevice {
    std::string bytes;
    uint32_t sector;
    int reads = 0;
    int refused = 0;

    int64_t read(uint64_t offset, void* buffer, size_t length) {
        if (offset % sector || length % sector || reinterpret_cast<uintptr_t>(buffer) % sector) {
            ++refused;
            return -1;
        }
        ++reads;
        if (offset >= bytes.size()) return 0;
        size_t count = std::min<size_t>(length, bytes.size() - offset);
        std::memcpy(buffer, bytes.data() + offset, count);
        return static_cast<int64_t>(count);
    }
};

struct AlignedBuffer {
    // aligned_alloc wants a size that is a multiple of the alignment.
    explicit AlignedBuffer(size_t size)
        : data(static_cast<char*>(std::aligned_alloc(4096, (size + 4095) / 4096 * 4096))) {}
    ~AlignedBuffer() { std::free(data); }
    char* data;
};

TEST(RawReadSpans, HandsBackExactlyTheRequestedBytes) {
    const uint32_t sector = 512;
    StrictDevice device{std::string(), sector};
    for (size_t i = 0; i < 64 * 1024; ++i) device.bytes += static_cast<char>((i * 131 + i / 251) & 0xff);
    const int64_t size = static_cast<int64_t>(device.bytes.size());
    AlignedBuffer bounce(2048);  // smaller than most requests: several rounds through it
    AlignedBuffer out(80 * 1024);

    struct Case {
        const char* name;
        uint64_t offset;
        size_t length;
        size_t buffer_shift;  // 0: an aligned buffer; otherwise the buffer starts this far in
        int64_t result;
    };
    const Case cases[] = {
        {"aligned everything", 1024, 8192, 0, 8192},
        {"unaligned start", 1000, 8192, 0, 8192},
        {"unaligned end", 1024, 8000, 0, 8000},
        {"inside one sector", 700, 20, 0, 20},
        {"unaligned buffer", 1024, 8192, 3, 8192},
        {"all unaligned", 777, 9999, 5, 9999},
        {"zero length", 4096, 0, 0, 0},
        {"runs past the end", static_cast<uint64_t>(size) - 700, 5000, 0, 700},
        {"at the end", static_cast<uint64_t>(size), 100, 0, 0},
        {"whole device", 0, static_cast<size_t>(size), 0, size},
    };
    for (const Case& c : cases) {
        std::memset(out.data, 0x5a, 80 * 1024);
        char* target = out.data + c.buffer_shift;
        auto read = [&](uint64_t at, void* into, size_t count) { return device.read(at, into, count); };
        int64_t got = raw_read_spans(c.offset, target, c.length, sector, size, bounce.data, 2048, read);
        EXPECT_EQ(got, c.result) << c.name;
        EXPECT_EQ(device.refused, 0) << c.name;
        if (got > 0) {
            EXPECT_EQ(std::string(target, static_cast<size_t>(got)),
                      device.bytes.substr(c.offset, static_cast<size_t>(got)))
                << c.name;
        }
        // Nothing written outside the requested range.
        EXPECT_EQ(target[std::max<int64_t>(got, 0)], '\x5a') << c.name;
        if (c.buffer_shift) {
            EXPECT_EQ(out.data[c.buffer_shift - 1], '\x5a') << c.name;
        }
    }
}

TEST(RawReadSpans, ReportsErrorsAndKeepsWhatWasRead) {
    const uint32_t sector = 4096;
    AlignedBuffer bounce(4096);
    AlignedBuffer out(64 * 1024);
    int calls = 0;
    // The second read fails: the first span's bytes are handed back.
    auto failing_second = [&](uint64_t, void* into, size_t count) -> int64_t {
        if (++calls > 1) return -1;
        std::memset(into, 'a', count);
        return static_cast<int64_t>(count);
    };
    EXPECT_EQ(raw_read_spans(100, out.data, 20000, sector, -1, bounce.data, 4096, failing_second), 3996);
    auto failing = [](uint64_t, void*, size_t) -> int64_t { return -1; };
    EXPECT_EQ(raw_read_spans(100, out.data, 20000, sector, -1, bounce.data, 4096, failing), -1);
    EXPECT_EQ(raw_read_spans(0, out.data, 8192, sector, -1, bounce.data, 4096, failing), -1);
}

}  // namespace
