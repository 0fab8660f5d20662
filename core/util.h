// Text utilities shared by every module: sizes for people, base64, hex, the host name, a local
// time stamp and a sleep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Whether `text` is well-formed UTF-8: no stray continuation bytes, no truncated, overlong or
// surrogate sequences, nothing above U+10FFFF. Text frames must be, or the server drops the link.
bool utf8_valid(std::string_view text);

// At most `limit` bytes of `text`, never ending inside a UTF-8 sequence.
std::string utf8_cut(std::string_view text, size_t limit);

// The whole characters of `text` that fit `units` UTF-16 units with a terminator (characters
// beyond U+FFFF take two); a sequence cut short at the end is dropped.
std::string utf8_fit_units(std::string_view text, size_t units);

// Equal but for the letter case of ASCII letters.
bool equals_ignoring_case(std::string_view a, std::string_view b);

// The parts of "scheme://host[:port][rest]". The authority ends at the first "/", "?" or "#";
// a bracketed IPv6 literal comes out without its brackets.
struct UrlParts {
    std::string scheme;    // as written
    std::string host;      // as written, never empty; may hold characters a caller refuses
    bool ipv6 = false;     // the host was written in brackets
    bool has_port = false;
    uint16_t port = 0;     // when has_port: 0 to 65535, one to five digits as written
    std::string rest;      // path, query and fragment: empty or starting with "/", "?" or "#"
};
// False when there is no "://", no host, a bracket without its partner, or a port that is not
// one to five digits up to 65535 ending the authority.
bool url_split(std::string_view url, UrlParts* out);

// "1023 B", "1.0 KB" ... "16777216.0 TB": the unit is chosen before rounding.
std::string format_size(uint64_t bytes);

// Standard alphabet with "=" padding and no line breaks.
std::string base64_encode(const void* data, size_t length);
// Strict decoding; nothing on any malformed input.
std::optional<Bytes> base64_decode(std::string_view text);

// Lowercase, high nibble first.
std::string hex_encode(const void* data, size_t length);
// Upper or lower case digits; nothing on an odd length or a non-digit.
std::optional<Bytes> hex_decode(std::string_view text);

// The computer's name; "Unknown" (and false) when it cannot be read.
bool get_hostname(std::string* out);

// Local time as "%Y-%m-%dT%H:%M:%S".
std::string format_iso_time();

void sleep_ms(uint32_t milliseconds);
