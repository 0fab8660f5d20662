// Text utilities: format_size, base64 and hex codecs, host name, ISO time, sleep.
#include "core/util.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "platform/system.h"

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a base64 alphabet character, or -1.
int base64_value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool utf8_valid(std::string_view text) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        uint32_t min;
        uint32_t code;
        if ((c & 0xE0) == 0xC0) length = 2, min = 0x80, code = c & 0x1F;
        else if ((c & 0xF0) == 0xE0) length = 3, min = 0x800, code = c & 0x0F;
        else if ((c & 0xF8) == 0xF0) length = 4, min = 0x10000, code = c & 0x07;
        else return false;
        if (i + length > n) return false;
        for (size_t k = 1; k < length; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

namespace {

// Bytes of the longest run of whole characters from the start of `text` within `budget`, each
// character costing its bytes, or its UTF-16 units when `units` is set. A byte that starts no
// sequence counts as a character of its own.
size_t utf8_prefix(std::string_view text, size_t budget, bool units) {
    size_t used = 0;
    size_t i = 0;
    while (i < text.size()) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 1;
        size_t cost = !units ? length : length == 4 ? 2 : 1;
        if (i + length > text.size() || used + cost > budget) break;
        used += cost;
        i += length;
    }
    return i;
}

}  // namespace

std::string utf8_cut(std::string_view text, size_t limit) {
    if (text.size() <= limit) return std::string(text);
    return std::string(text.substr(0, utf8_prefix(text, limit, false)));
}

std::string utf8_fit_units(std::string_view text, size_t units) {
    if (units == 0) return {};
    return std::string(text.substr(0, utf8_prefix(text, units - 1, true)));
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool url_split(std::string_view url, UrlParts* out) {
    size_t separator = url.find("://");
    if (separator == std::string_view::npos || separator == 0) return false;
    UrlParts parts;
    parts.scheme = std::string(url.substr(0, separator));
    size_t start = separator + 3;
    size_t end = std::min(url.find_first_of("/?#", start), url.size());
    std::string_view authority = url.substr(start, end - start);
    std::string_view after_host;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string_view::npos) return false;
        parts.host = std::string(authority.substr(1, close - 1));
        parts.ipv6 = true;
        after_host = authority.substr(close + 1);
    } else {
        size_t colon = std::min(authority.find(':'), authority.size());
        parts.host = std::string(authority.substr(0, colon));
        after_host = authority.substr(colon);
    }
    if (parts.host.empty()) return false;
    if (!after_host.empty()) {
        if (after_host[0] != ':') return false;
        std::string_view digits = after_host.substr(1);
        if (digits.empty() || digits.size() > 5) return false;
        uint32_t port = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return false;
            port = port * 10 + static_cast<uint32_t>(c - '0');
        }
        if (port > 65535) return false;
        parts.has_port = true;
        parts.port = static_cast<uint16_t>(port);
    }
    parts.rest = std::string(url.substr(end));
    *out = std::move(parts);
    return true;
}

std::string format_size(uint64_t bytes) {
    char buffer[64];
    if (bytes < 1024) {
        std::snprintf(buffer, sizeof buffer, "%llu B", static_cast<unsigned long long>(bytes));
        return buffer;
    }
    static const char* const units[] = {"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    for (int i = 0; i < 4; ++i) {
        value /= 1024.0;
        if (value < 1024.0 || i == 3) {
            std::snprintf(buffer, sizeof buffer, "%.1f %s", value, units[i]);
            return buffer;
        }
    }
    return buffer;  // not reached: the last unit always prints
}

std::string base64_encode(const void* data, size_t length) {
    const auto* in = static_cast<const uint8_t*>(data);
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += kBase64[(v >> 6) & 63];
        out += kBase64[v & 63];
    }
    size_t rest = length - i;
    if (rest > 0) {
        uint32_t v = uint32_t{in[i]} << 16;
        if (rest == 2) v |= uint32_t{in[i + 1]} << 8;
        out += kBase64[(v >> 18) & 63];
        out += kBase64[(v >> 12) & 63];
        out += rest == 2 ? kBase64[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<Bytes> base64_decode(std::string_view text) {
    size_t length = text.size();
    if (length % 4 != 0) return std::nullopt;
    if (length == 0) return Bytes{};
    size_t padding = (text[length - 1] == '=') + (length > 1 && text[length - 2] == '=');
    size_t out_length = length / 4 * 3 - padding;
    Bytes out(out_length);
    size_t pos = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k) {
            char c = text[i + k];
            int digit = base64_value(c);
            if (digit < 0) {
                // "=" stands for zero bits, but only in the third and fourth place of the last
                // group, and a pad in the third place needs one in the fourth.
                if (c != '=' || k < 2 || i + 4 != length || (k == 2 && text[i + 3] != '=')) return std::nullopt;
                digit = 0;
            }
            v = (v << 6) | static_cast<uint32_t>(digit);
        }
        for (int shift = 16; shift >= 0 && pos < out_length; shift -= 8) {
            out[pos++] = static_cast<uint8_t>(v >> shift);
        }
    }
    return out;
}

std::string hex_encode(const void* data, size_t length) {
    static constexpr char digits[] = "0123456789abcdef";
    const auto* in = static_cast<const uint8_t*>(data);
    std::string out(length * 2, '\0');
    for (size_t i = 0; i < length; ++i) {
        out[2 * i] = digits[in[i] >> 4];
        out[2 * i + 1] = digits[in[i] & 15];
    }
    return out;
}

std::optional<Bytes> hex_decode(std::string_view text) {
    if (text.size() % 2 != 0) return std::nullopt;
    Bytes out(text.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        int hi = hex_value(text[2 * i]);
        int lo = hex_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return out;
}

bool get_hostname(std::string* out) {
    if (sys_hostname(out) && !out->empty()) return true;
    *out = "Unknown";
    return false;
}

std::string format_iso_time() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    sys_localtime(now, &tm);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &tm);
    return buffer;
}

void sleep_ms(uint32_t milliseconds) { sys_sleep_ms(milliseconds); }
