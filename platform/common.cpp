// Pieces of the platform layer that are the same on every system.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/process.h"

std::string fs_join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    char last = dir.back();
    if (last == fs_separator() || last == '/') return dir + name;
    return dir + fs_separator() + name;
}

RawSpan raw_span(uint64_t offset, uint64_t length, uint32_t sector, int64_t device_size) {
    RawSpan span;
    const uint64_t unit = sector > 0 ? sector : 1;
    uint64_t count = length;
    if (device_size >= 0) {
        const uint64_t end = static_cast<uint64_t>(device_size);
        count = offset >= end ? 0 : std::min(count, end - offset);
    }
    // Keep the rounded-up end representable.
    const uint64_t last = std::numeric_limits<uint64_t>::max() / unit * unit;
    count = offset >= last ? 0 : std::min(count, last - offset);
    if (count == 0) return span;
    span.offset = offset / unit * unit;
    span.skip = offset - span.offset;
    const uint64_t end = offset + count;
    span.length = (end + unit - 1) / unit * unit - span.offset;
    span.count = count;
    return span;
}

int64_t raw_read_spans(uint64_t offset, void* buffer, size_t length, uint32_t sector, int64_t device_size,
                       void* bounce, size_t bounce_size, const RawSectorRead& read) {
    if (sector == 0) sector = 1;
    auto* out = static_cast<char*>(buffer);
    auto* staging = static_cast<char*>(bounce);
    size_t done = 0;
    auto result = [&](int64_t failed) { return done > 0 ? static_cast<int64_t>(done) : failed; };
    while (done < length) {
        const RawSpan span = raw_span(offset + done, length - done, sector, device_size);
        if (span.count == 0) break;
        char* target = out + done;
        if (span.skip == 0 && span.count >= sector && reinterpret_cast<uintptr_t>(target) % sector == 0) {
            // Whole sectors into the caller's buffer: no copy.
            const size_t whole = static_cast<size_t>(span.count / sector * sector);
            const int64_t got = read(span.offset, target, whole);
            if (got < 0) return result(-1);
            done += static_cast<size_t>(got);
            if (static_cast<size_t>(got) < whole) break;
            continue;
        }
        // A partial sector at either end, or an unaligned buffer: through the bounce buffer.
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(span.length, bounce_size));
        const int64_t got = read(span.offset, staging, piece);
        if (got < 0) return result(-1);
        if (static_cast<uint64_t>(got) <= span.skip) break;
        const size_t take = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(got) - span.skip, span.count));
        std::memcpy(target, staging + span.skip, take);
        done += take;
        if (static_cast<size_t>(got) < piece) break;
    }
    return static_cast<int64_t>(done);
}

std::string sys_call_error(const char* call, unsigned long code) {
    return std::string(call) + " failed: " + sys_error_text(code);
}

void http_finish(const HttpRequest& request, bool truncated, HttpResponse* response) {
    // HEAD answers, 1xx, 204 and 304 carry no body whatever their Content-Length says.
    std::string method = request.method;
    for (char& c : method) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    bool expects_body = method != "head" && response->status >= 200 && response->status != 204 && response->status != 304;
    if (!truncated && expects_body && response->content_length >= 0 &&
        response->received < static_cast<uint64_t>(response->content_length)) {
        response->error = "body ended after " + std::to_string(response->received) + " of " +
                          std::to_string(response->content_length) + " bytes";
        response->failed_step = HttpStep::read;
        response->os_error = 12030;  // ERROR_WINHTTP_CONNECTION_ERROR: the connection ended early
        return;
    }
    response->ok = true;
}

// Days to calendar date after H. Hinnant's civil_from_days: exact for every day of the proleptic
// Gregorian calendar, with integer arithmetic only (the crash handlers call it).
CrashTime proc_crash_time(int64_t seconds) {
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    int64_t doe = days - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    CrashTime t{};
    t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t.year = static_cast<int>(yoe + era * 400 + (t.month <= 2 ? 1 : 0));
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    return t;
}

namespace {

struct LineOut {
    char* out;
    size_t capacity;
    size_t length = 0;

    void put(char c) {
        if (length + 1 < capacity) out[length++] = c;
    }
    void put(const char* text) {
        while (*text) put(*text++);
    }
    void number(int value, int digits) {
        char d[12];
        unsigned v = value < 0 ? 0u : static_cast<unsigned>(value);
        for (int i = digits - 1; i >= 0; --i, v /= 10) d[i] = static_cast<char>('0' + v % 10);
        for (int i = 0; i < digits; ++i) put(d[i]);
    }
};

bool starts(const char* text, const char* word) {
    while (*word && *text == *word) ++text, ++word;
    return *word == 0;
}

}  // namespace

size_t proc_format_crash_line(char* out, size_t capacity, const char* line, const CrashTime& time, uint32_t code,
                              const char* address) {
    if (capacity == 0) return 0;
    LineOut o{out, capacity};
    while (*line) {
        if (starts(line, "{time}")) {
            o.number(time.year, 4);
            o.put('-');
            o.number(time.month, 2);
            o.put('-');
            o.number(time.day, 2);
            o.put('T');
            o.number(time.hour, 2);
            o.put(':');
            o.number(time.minute, 2);
            o.put(':');
            o.number(time.second, 2);
            line += 6;
        } else if (starts(line, "{code}")) {
            static const char hex[] = "0123456789ABCDEF";
            for (int shift = 28; shift >= 0; shift -= 4) o.put(hex[(code >> shift) & 0xF]);
            line += 6;
        } else if (starts(line, "{address}")) {
            o.put(address);
            line += 9;
        } else {
            o.put(*line++);
        }
    }
    out[o.length] = 0;
    return o.length;
}
