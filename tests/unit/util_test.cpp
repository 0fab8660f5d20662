// Text utilities: human-readable sizes, the base64 and hex codecs, host name and time stamp.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "core/util.h"

namespace {

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

// --- format_size -----------------------------------------------------------------------------

TEST(FormatSize, PicksUnitBeforeRounding) {
    struct Case {
        uint64_t bytes;
        const char* text;
    };
    const Case cases[] = {
        {0, "0 B"},
        {1, "1 B"},
        {1023, "1023 B"},
        {1024, "1.0 KB"},
        {1536, "1.5 KB"},
        {1048575, "1024.0 KB"},  // just under 1 MB stays in KB even though it rounds up
        {1048576, "1.0 MB"},
        {1073741823, "1024.0 MB"},
        {1073741824, "1.0 GB"},
        {1099511627776ull, "1.0 TB"},
        {1649267441664ull, "1.5 TB"},
        {1125899906842624ull, "1024.0 TB"},  // no unit above TB
        {std::numeric_limits<uint64_t>::max(), "16777216.0 TB"},
    };
    for (const Case& c : cases) EXPECT_EQ(format_size(c.bytes), c.text) << "bytes=" << c.bytes;
}

// --- base64 ----------------------------------------------------------------------------------

struct Base64Vector {
    const char* plain;
    const char* encoded;
};

// RFC 4648 section 10.
const Base64Vector kRfcVectors[] = {
    {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
};

TEST(Base64, RfcVectorsBothWays) {
    for (const Base64Vector& v : kRfcVectors) {
        std::string plain = v.plain;
        EXPECT_EQ(base64_encode(plain.data(), plain.size()), v.encoded) << "plain=\"" << plain << "\"";
        std::optional<Bytes> decoded = base64_decode(v.encoded);
        ASSERT_TRUE(decoded.has_value()) << "encoded=\"" << v.encoded << "\"";
        EXPECT_EQ(*decoded, bytes_of(plain)) << "encoded=\"" << v.encoded << "\"";
    }
}

TEST(Base64, KeySizedBuffers) {
    // 32-byte keys travel as 44 characters with one pad; 64-byte signatures as 88 with two.
    Bytes key(32);
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0xF0 + i);
    std::string text = base64_encode(key.data(), key.size());
    ASSERT_EQ(text.size(), 44u);
    EXPECT_EQ(text.find('='), 43u);  // exactly one pad, at the very end
    std::optional<Bytes> back = base64_decode(text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, key);

    Bytes signature(64, 0xFF);
    std::string long_text = base64_encode(signature.data(), signature.size());
    ASSERT_EQ(long_text.size(), 88u);
    EXPECT_EQ(long_text.substr(84), "/w==");
    std::optional<Bytes> long_back = base64_decode(long_text);
    ASSERT_TRUE(long_back.has_value());
    EXPECT_EQ(*long_back, signature);
}

TEST(Base64, DecodeRejectsMalformedText) {
    const char* const bad[] = {
        "Z",         "Zg",       "Zg=",       "Zm9vY",    // length not a multiple of 4
        "Zm9-",      "Zm9_",     "Zm 9",      "Zm9\n",    // outside the standard alphabet
        "Zm9v\xC3\xA9Zg",                                  // non-ASCII byte
        "=Zm9",      "Z=m9",     "====",      "Zm9v=g==",  // "=" in the first or second place
        "Zg=A",                                           // a pad followed by data
        "Zg==Zm9v",  "Zm8=Zm9v",                          // padding before the last group
    };
    for (const char* text : bad) {
        EXPECT_FALSE(base64_decode(text).has_value()) << "accepted \"" << text << "\"";
    }
}

TEST(Base64, EmptyTextIsEmptyBuffer) {
    std::optional<Bytes> decoded = base64_decode("");
    ASSERT_TRUE(decoded.has_value());
    EXPECT_TRUE(decoded->empty());
}

TEST(Base64, RoundTripsEveryLengthUpTo100) {
    std::mt19937 random(20240611);
    for (size_t length = 0; length <= 100; ++length) {
        Bytes data(length);
        for (uint8_t& b : data) b = static_cast<uint8_t>(random());
        std::string text = base64_encode(data.data(), data.size());
        EXPECT_EQ(text.size(), (length + 2) / 3 * 4) << "length=" << length;
        std::optional<Bytes> back = base64_decode(text);
        ASSERT_TRUE(back.has_value()) << "length=" << length << " text=" << text;
        EXPECT_EQ(*back, data) << "length=" << length;
    }
}

// --- hex -------------------------------------------------------------------------------------

TEST(Hex, DecodesEitherCase) {
    std::optional<Bytes> decoded = hex_decode("0aFF");
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, (Bytes{0x0A, 0xFF}));

    std::optional<Bytes> mixed = hex_decode("DeadBEEF");
    ASSERT_TRUE(mixed.has_value());
    EXPECT_EQ(*mixed, (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));

    std::optional<Bytes> empty = hex_decode("");
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());
}

TEST(Hex, DecodeRejectsMalformedText) {
    const char* const bad[] = {"a", "0aF", "0g", "g0", "0x0a", " 0", "0a ", "-1", "0a:ff"};
    for (const char* text : bad) {
        EXPECT_FALSE(hex_decode(text).has_value()) << "accepted \"" << text << "\"";
    }
}

TEST(Hex, EncodesEveryByteLowercaseAndRoundTrips) {
    Bytes all(256);
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
    std::string text = hex_encode(all.data(), all.size());
    ASSERT_EQ(text.size(), 512u);
    EXPECT_EQ(text.substr(0, 8), "00010203");
    EXPECT_EQ(text.substr(2 * 0xA9, 2), "a9");
    EXPECT_EQ(text.substr(504), "fcfdfeff");
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos);
    std::optional<Bytes> back = hex_decode(text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, all);

    EXPECT_EQ(hex_encode(nullptr, 0), "");
}

// --- host name and time stamp ----------------------------------------------------------------

TEST(System, HostnameIsNeverEmpty) {
    std::string name;
    bool found = get_hostname(&name);
    EXPECT_FALSE(name.empty());
    if (!found) {
        EXPECT_EQ(name, "Unknown");
    }
}

TEST(System, IsoTimeShape) {
    static const std::regex shape(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d$)");
    std::string stamp = format_iso_time();
    EXPECT_TRUE(std::regex_match(stamp, shape)) << stamp;
}

}  // namespace

// --- UTF-8 ------------------------------------------------------------------------------------

namespace {

TEST(Utf8, ValidityFollowsTheStrictDefinition) {
    struct Case {
        const char* name;
        std::string text;
        bool valid;
    };
    const Case cases[] = {
        {"empty", "", true},
        {"ASCII with NUL", std::string("a\0b", 3), true},
        {"two, three and four bytes", "\xC3\xA9\xE2\x80\x94\xF0\x9F\x98\x80", true},
        {"highest code point", "\xF4\x8F\xBF\xBF", true},
        {"lone 0xFF", "bad\xFFname", false},
        {"stray continuation", "\x80", false},
        {"truncated at the end", "ab\xE2\x80", false},
        {"lead followed by ASCII", "\xC3" "a", false},
        {"overlong slash", "\xC0\xAF", false},
        {"overlong three bytes", "\xE0\x80\xAF", false},
        {"surrogate", "\xED\xA0\x80", false},
        {"above U+10FFFF", "\xF4\x90\x80\x80", false},
        {"five-byte lead", "\xF8\x88\x80\x80\x80", false},
    };
    for (const Case& c : cases) EXPECT_EQ(utf8_valid(c.text), c.valid) << c.name;
}

TEST(Utf8, CutNeverSplitsACharacter) {
    const std::string dash = "\xE2\x80\x94";
    EXPECT_EQ(utf8_cut("abc", 5), "abc");
    EXPECT_EQ(utf8_cut("abc", 2), "ab");
    EXPECT_EQ(utf8_cut("a" + dash + "b", 3), "a");
    EXPECT_EQ(utf8_cut("a" + dash + "b", 4), "a" + dash);
    EXPECT_EQ(utf8_cut(dash, 0), "");
}

}  // namespace

// --- url_split --------------------------------------------------------------------------------

namespace {

TEST(UrlSplit, PartsAndRefusals) {
    struct Case {
        const char* url;
        bool ok;
        const char* scheme;
        const char* host;
        int port;  // -1: none
        const char* rest;
    };
    const Case cases[] = {
        {"https://a.example", true, "https", "a.example", -1, ""},
        {"HTTP://Host:8080/x?y#z", true, "HTTP", "Host", 8080, "/x?y#z"},
        {"wss://[::1]:9000/ws", true, "wss", "::1", 9000, "/ws"},
        {"http://host?q", true, "http", "host", -1, "?q"},
        {"http://user@host:1", true, "http", "user@host", 1, ""},
        {"http://host:0", true, "http", "host", 0, ""},
        {"http://host:65536", false, "", "", -1, ""},
        {"http://host:123456", false, "", "", -1, ""},
        {"http://host:", false, "", "", -1, ""},
        {"http://host:8x", false, "", "", -1, ""},
        {"http://evil:1@good", false, "", "", -1, ""},
        {"http://[::1", false, "", "", -1, ""},
        {"http://[::1]x", false, "", "", -1, ""},
        {"http://", false, "", "", -1, ""},
        {"http:///path", false, "", "", -1, ""},
        {"://host", false, "", "", -1, ""},
        {"host:80", false, "", "", -1, ""},
    };
    for (const Case& c : cases) {
        UrlParts parts;
        ASSERT_EQ(url_split(c.url, &parts), c.ok) << c.url;
        if (!c.ok) continue;
        EXPECT_EQ(parts.scheme, c.scheme) << c.url;
        EXPECT_EQ(parts.host, c.host) << c.url;
        EXPECT_EQ(parts.has_port ? parts.port : -1, c.port) << c.url;
        EXPECT_EQ(parts.rest, c.rest) << c.url;
    }
}

}  // namespace
