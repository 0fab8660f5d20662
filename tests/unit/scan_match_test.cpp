// Scan matcher: the settings it reads, its hits on small fixtures, a differential run against a
// plain byte-by-byte matcher written here, region selection with its blob cap, and the encodings.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/json.h"
#include "scan/scan_match.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1048576;

void put(Bytes& buffer, uint64_t at, const Bytes& bytes) { std::memcpy(buffer.data() + at, bytes.data(), bytes.size()); }

Bytes box(uint32_t size, const char* type) {
    Bytes b(8);
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(size >> (24 - 8 * i));
    std::memcpy(&b[4], type, 4);
    return b;
}

// Every hit as one line, in result order: "ftyp 4096", "moov 0 1000", "JPEG 3".
std::vector<std::string> hits(const ScanResult& r) {
    std::vector<std::string> out;
    for (uint64_t o : r.ftyp) out.push_back("ftyp " + std::to_string(o));
    for (const MoovHit& h : r.moov) out.push_back("moov " + std::to_string(h.offset) + " " + std::to_string(h.size));
    for (const SigHit& h : r.sigs) out.push_back(std::string(h.type, strnlen(h.type, sizeof h.type)) + " " + std::to_string(h.offset));
    return out;
}

ScanResult match(uint64_t chunk_offset, const Bytes& data, const char* config_json) {
    JsonPtr config = config_json ? json_parse(config_json) : nullptr;
    EXPECT_TRUE(!config_json || config) << config_json;
    ScanResult r;
    EXPECT_TRUE(scan_match_chunk(chunk_offset, data.data(), data.size(), config.get(), &r));
    return r;
}

// ---------------------------------------------------------------------------------------------
// settings

TEST(ScanSettings, ReadsEachKeyAndFallsBackOnMalformedValues) {
    struct Case {
        const char* config;
        uint64_t sector;
        uint32_t moov_min, moov_max;
        bool arw;
    };
    const Case cases[] = {
        {"{}", 512, 1000, 52428800, true},
        {R"({"sector_size":4096})", 4096, 1000, 52428800, true},
        {R"({"SECTOR_SIZE":4096})", 4096, 1000, 52428800, true},  // members are matched ignoring case
        {R"({"sector_size":"4096"})", 512, 1000, 52428800, true},
        {R"({"sector_size":0})", 512, 1000, 52428800, true},
        {R"({"sector_size":-1})", 512, 1000, 52428800, true},
        {R"({"sector_size":-4096})", 512, 1000, 52428800, true},
        {R"({"sector_size":-1e300})", 512, 1000, 52428800, true},
        {R"({"sector_size":1073741824})", 1073741824, 1000, 52428800, true},
        {R"({"sector_size":2147483647})", 1073741824, 1000, 52428800, true},
        {R"({"sector_size":1e300})", 1073741824, 1000, 52428800, true},
        {R"({"moov_size_range":[10,20]})", 512, 10, 20, true},
        {R"({"moov_size_range":[10,20,30]})", 512, 10, 20, true},
        {R"({"moov_size_range":[10]})", 512, 1000, 52428800, true},
        {R"({"moov_size_range":{"a":1,"b":2}})", 512, 1000, 52428800, true},
        {R"({"moov_size_range":["x",7]})", 512, 0, 7, true},
        {R"({"moov_size_range":[5,-1]})", 512, 5, 4294967295u, true},
        {R"({"arw_enabled":false})", 512, 1000, 52428800, false},
        {R"({"arw_enabled":0})", 512, 1000, 52428800, true},
        {R"({"arw_enabled":"false"})", 512, 1000, 52428800, true},
        {R"({"arw_enabled":null})", 512, 1000, 52428800, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        JsonPtr config = json_parse(c.config);
        ASSERT_TRUE(config);
        const ScanSettings s = scan_settings_read(config.get());
        EXPECT_EQ(s.sector_size, c.sector);
        EXPECT_EQ(s.moov_min, c.moov_min);
        EXPECT_EQ(s.moov_max, c.moov_max);
        EXPECT_EQ(s.arw_enabled, c.arw);
    }
    const ScanSettings none = scan_settings_read(nullptr);
    EXPECT_EQ(none.sector_size, 512u);
    EXPECT_TRUE(none.arw_enabled);
    EXPECT_TRUE(none.signatures.empty());
}

TEST(ScanSettings, KeepsUsableSignaturesInOrderAndSkipsTheRest) {
    JsonPtr config = json_parse(R"({"generic_sig_defs":{
        "odd":{"magic":"ABC"}, "nonhex":{"magic":"zz"}, "empty":{"magic":""}, "number":{"magic":12},
        "notobject":"00",
        "PNG":{"magic":"89504e47","align":4096},
        "low":{"magic":"0102","align":1}, "text":{"magic":"0102","align":"8"}, "frac":{"magic":"aB","align":2.5},
        "abcdefghijklmnopqrst":{"magic":"00"},
        "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9":{"magic":"00"}}})");
    ASSERT_TRUE(config);
    const ScanSettings s = scan_settings_read(config.get());
    struct Want {
        const char* type;
        Bytes magic;
        uint64_t align;
    };
    const std::vector<Want> want = {
        {"PNG", {0x89, 0x50, 0x4E, 0x47}, 4096},
        {"low", {0x01, 0x02}, 0},
        {"text", {0x01, 0x02}, 0},
        {"frac", {0xAB}, 2},
        {"abcdefghijklmno", {0x00}, 0},
        // Eight two-byte characters: the cut keeps seven whole ones rather than half of the eighth.
        {"\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9", {0x00}, 0},
    };
    ASSERT_EQ(s.signatures.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(s.signatures[i].type, want[i].type);
        EXPECT_EQ(s.signatures[i].magic, want[i].magic);
        EXPECT_EQ(s.signatures[i].align, want[i].align);
    }
}

// ---------------------------------------------------------------------------------------------
// hits on small fixtures

struct Placed {
    uint64_t at;
    Bytes bytes;
};

struct HitCase {
    const char* name;
    uint64_t length;
    uint64_t chunk_offset;
    const char* config;  // null: no scan_config
    std::vector<Placed> placed;
    std::vector<std::string> expected;
};

Bytes text(const char* t) { return Bytes(t, t + std::strlen(t)); }
Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
const Bytes TIFF_LE = {0x49, 0x49, 0x2A, 0x00};

TEST(ScanMatch, FindsWhatTheFixturesHold) {
    const std::vector<HitCase> cases = {
        {"31 bytes are not scanned", 31, 0, nullptr, {{0, {0xFF, 0xD8, 0xFF, 0xE0}}}, {}},
        {"32 bytes are", 32, 0, nullptr, {{0, {0xFF, 0xD8, 0xFF, 0xE0}}}, {"JPEG 0"}},
        {"JPEG at the last position", 40, 0, nullptr, {{36, {0xFF, 0xD8, 0xFF, 0xDB}}}, {"JPEG 36"}},
        {"JPEG markers", 64, 100, nullptr,
         {{0, {0xFF, 0xD8, 0xFF, 0xC0}}, {4, {0xFF, 0xD8, 0xFF, 0xC2}}, {8, {0xFF, 0xD8, 0xFF, 0xDB}},
          {12, {0xFF, 0xD8, 0xFF, 0xE1}}, {16, {0xFF, 0xD8, 0xFF, 0xE2}}, {20, {0xFF, 0xD8, 0xFF, 0xC4}},
          {24, {0xFF, 0xD8, 0xFE, 0xE0}}, {28, {0xFF, 0xFF, 0xD8, 0xFF, 0xE0}}},
         {"JPEG 100", "JPEG 104", "JPEG 108", "JPEG 112", "JPEG 116", "JPEG 129"}},
        {"ftyp sizes 16..64", 4 * KiB, 0, nullptr,
         {{0, box(15, "ftyp")}, {512, box(16, "ftyp")}, {1024, box(64, "ftyp")}, {1536, box(65, "ftyp")}},
         {"ftyp 512", "ftyp 1024"}},
        {"moov at the bounds", 4 * KiB, 0, R"({"moov_size_range":[100,200]})",
         {{0, box(99, "moov")}, {512, box(100, "moov")}, {1024, box(200, "moov")}, {1536, box(201, "moov")}},
         {"moov 512 100", "moov 1024 200"}},
        {"box headers at buffer steps, not disk steps", 2 * KiB, 7, nullptr,
         {{1024, box(32, "ftyp")}, {512, box(5000, "moov")}, {520, box(5000, "moov")}, {3, {0xFF, 0xD8, 0xFF, 0xE0}}},
         {"ftyp 1031", "moov 519 5000", "JPEG 10"}},
        {"box header needs 32 bytes", 544, 0, nullptr, {{512, box(32, "ftyp")}}, {"ftyp 512"}},
        {"box header short of 32 bytes", 543, 0, nullptr, {{512, box(32, "ftyp")}}, {}},
        {"ARW with ILCE 2000 further on", 8 * KiB, 0, nullptr, {{1024, TIFF_LE}, {3024, text("ILCE")}}, {"ARW 1024"}},
        {"ARW with SONY 2044 further on", 8 * KiB, 0, nullptr, {{1024, TIFF_LE}, {3068, text("SONY")}}, {"ARW 1024"}},
        {"ARW text 2045 further on", 8 * KiB, 0, nullptr, {{1024, TIFF_LE}, {3069, text("SONY")}}, {}},
        {"ARW text before the header", 8 * KiB, 0, nullptr, {{1020, text("SONY")}, {1024, TIFF_LE}}, {}},
        {"big-endian TIFF is not ARW", 8 * KiB, 0, nullptr, {{1024, {0x4D, 0x4D, 0x00, 0x2A}}, {1100, text("SONY")}}, {}},
        {"ARW at disk sector steps", 8 * KiB, 1000, nullptr,
         {{24, cat(TIFF_LE, text("SONY"))}, {536, cat(TIFF_LE, text("SONY"))}}, {"ARW 1024", "ARW 1536"}},
        {"ARW needs 2048 bytes", 3072, 0, nullptr, {{1024, cat(TIFF_LE, text("SONY"))}}, {"ARW 1024"}},
        {"ARW short of 2048 bytes", 3071, 0, nullptr, {{1024, cat(TIFF_LE, text("SONY"))}}, {}},
        {"one text serves two headers", 8 * KiB, 0, nullptr,
         {{0, TIFF_LE}, {512, TIFF_LE}, {2500, text("ILCE")}}, {"ARW 512"}},
        {"arw_enabled 0 leaves ARW on", 8 * KiB, 0, R"({"arw_enabled":0})",
         {{1024, cat(TIFF_LE, text("SONY"))}, {2048, text("<?xml")}}, {"ARW 1024", "XML 2048"}},
        {"arw_enabled false turns only ARW off", 8 * KiB, 0, R"({"arw_enabled":false})",
         {{1024, cat(TIFF_LE, text("SONY"))}, {2048, text("<?xml")}, {0, box(16, "ftyp")}, {100, {0xFF, 0xD8, 0xFF, 0xE0}}},
         {"ftyp 0", "JPEG 100", "XML 2048"}},
        {"XML at disk sector steps", 2 * KiB, 4096 + 100, nullptr,
         {{0, text("<?xml")}, {412, text("<?xml")}, {924, text("<?XML")}, {1436, text("<?xml")}},
         {"XML 4608", "XML 5632"}},
        {"two-byte magic, no align: every second byte from the chunk's start", 64, 1001,
         R"({"generic_sig_defs":{"AB":{"magic":"abcd"}}})",
         {{0, {0xAB, 0xCD}}, {2, {0xAB, 0xCD}}, {4, {0xAB, 0xCD}}, {9, {0xAB, 0xCD}}, {62, {0xAB, 0xCD}}},
         {"AB 1001", "AB 1003", "AB 1005", "AB 1063"}},
        {"align 4096 tests disk offsets that are multiples of 4096", 16 * KiB, 4096 - 10,
         R"({"generic_sig_defs":{"PNG":{"magic":"89504E47","align":4096}}})",
         {{10, {0x89, 0x50, 0x4E, 0x47}}, {522, {0x89, 0x50, 0x4E, 0x47}}, {4106, {0x89, 0x50, 0x4E, 0x47}},
          {0, {0x89, 0x50, 0x4E, 0x47}}},
         {"PNG 4096", "PNG 8192"}},
        {"unusable definitions do not disturb the others", 64, 0,
         R"({"generic_sig_defs":{"odd":{"magic":"ABC"},"bad":{"magic":"zz"},"empty":{"magic":""},"ok":{"magic":"01"}}})",
         {{40, {0x01}}}, {"ok 40"}},
        {"a long key is cut to 15 characters", 64, 0,
         R"({"generic_sig_defs":{"abcdefghijklmnopqrst":{"magic":"5a5a"}}})", {{8, {0x5A, 0x5A}}},
         {"abcdefghijklmno 8"}},
        {"groups in order: ARW, JPEG, XML, then each definition", 8 * KiB, 0,
         R"({"generic_sig_defs":{"B":{"magic":"4242","align":512},"A":{"magic":"4141","align":512}}})",
         {{512, text("AA")}, {1024, text("BB")}, {1536, text("<?xml")}, {2048, cat(TIFF_LE, text("ILCE"))},
          {3000, {0xFF, 0xD8, 0xFF, 0xE0}}},
         {"ARW 2048", "JPEG 3000", "XML 1536", "B 1024", "A 512"}},
        {"zero sector size is taken as 512", 2 * KiB, 0, R"({"sector_size":0})",
         {{512, box(2000, "moov")}, {1, box(2000, "moov")}}, {"moov 512 2000"}},
        {"negative sector size is taken as 512", 2 * KiB, 100, R"({"sector_size":-512})",
         {{512, box(2000, "moov")}, {412, text("<?xml")}, {1, box(2000, "moov")}}, {"moov 612 2000", "XML 512"}},
        {"a sector size past the bound steps by 1 GiB", 8 * KiB, 3 * 1024 * MiB - 4096, R"({"sector_size":1e12})",
         {{0, box(32, "ftyp")}, {4096, text("<?xml")}}, {"ftyp 3221221376", "XML 3221225472"}},
    };
    for (const HitCase& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes data(c.length, 0x11);
        for (const Placed& p : c.placed) put(data, p.at, p.bytes);
        EXPECT_EQ(hits(match(c.chunk_offset, data, c.config)), c.expected);
    }
}

TEST(ScanMatch, EmptiesTheResultFirst) {
    Bytes data(1024, 0);
    put(data, 0, {0xFF, 0xD8, 0xFF, 0xE0});
    put(data, 512, box(32, "ftyp"));
    ScanResult r;
    r.ftyp = {1, 2};
    r.moov = {{3, 4}};
    r.sigs = {SigHit{5, "X"}};
    ASSERT_TRUE(scan_match_chunk(0, data.data(), data.size(), static_cast<const cJSON*>(nullptr), &r));
    EXPECT_EQ(hits(r), (std::vector<std::string>{"ftyp 512", "JPEG 0"}));
    ASSERT_TRUE(scan_match_chunk(0, data.data(), 20, static_cast<const cJSON*>(nullptr), &r));
    EXPECT_TRUE(hits(r).empty());
}

// ---------------------------------------------------------------------------------------------
// differential run against the plain algorithm

bool jpeg_marker(uint8_t b) { return b == 0xC0 || b == 0xC2 || b == 0xDB || b == 0xE0 || b == 0xE1 || b == 0xE2; }
uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// The algorithm as written, one position at a time.
ScanResult reference_match(uint64_t B, const Bytes& d, const ScanSettings& s) {
    ScanResult r;
    const uint64_t N = d.size(), S = s.sector_size;
    if (N < 32) return r;
    auto add = [&](uint64_t offset, const std::string& type) {
        SigHit h{offset, {}};
        std::strncpy(h.type, type.c_str(), 15);
        r.sigs.push_back(h);
    };
    for (uint64_t p = 0; p + 32 <= N; p += S) {
        const uint32_t size = be32(&d[p]);
        if (std::memcmp(&d[p + 4], "ftyp", 4) == 0 && size >= 16 && size <= 64) {
            r.ftyp.push_back(B + p);
        } else if (std::memcmp(&d[p + 4], "moov", 4) == 0 && size >= s.moov_min && size <= s.moov_max) {
            r.moov.push_back({B + p, size});
        }
    }
    const uint64_t first = (S - B % S) % S;
    if (s.arw_enabled) {
        for (uint64_t p = first; p + 2048 <= N; p += S) {
            if (d[p] != 0x49 || d[p + 1] != 0x49 || d[p + 2] != 0x2A || d[p + 3] != 0x00) continue;
            for (uint64_t k = p; k <= p + 2044; ++k) {
                if (std::memcmp(&d[k], "SONY", 4) == 0 || std::memcmp(&d[k], "ILCE", 4) == 0) {
                    add(B + p, "ARW");
                    break;
                }
            }
        }
    }
    uint64_t q = 0;
    while (q + 4 <= N) {
        while (q + 4 <= N && d[q] != 0xFF) ++q;
        if (q + 4 > N) break;
        if (d[q + 1] == 0xD8 && d[q + 2] == 0xFF && jpeg_marker(d[q + 3])) {
            add(B + q, "JPEG");
            q += 3;
        } else {
            q += 1;
        }
    }
    for (uint64_t p = first; p + 5 <= N; p += S) {
        if (std::memcmp(&d[p], "<?xml", 5) == 0) add(B + p, "XML");
    }
    for (const ScanSignature& sig : s.signatures) {
        const uint64_t L = sig.magic.size();
        const uint64_t start = sig.align ? (sig.align - B % sig.align) % sig.align : 0;
        const uint64_t step = sig.align ? sig.align : L;
        for (uint64_t p = start; p + L <= N; p += step) {
            if (std::memcmp(&d[p], sig.magic.data(), L) == 0) add(B + p, sig.type);
        }
    }
    return r;
}

// The regions as written; one that would take their sum past the cap is counted instead.
std::vector<ScanRegion> reference_regions(uint64_t B, const Bytes& d, const ScanResult& r, uint64_t* left_out) {
    std::vector<ScanRegion> out;
    const uint64_t N = d.size(), E = B + N;
    uint64_t sum = 0;
    *left_out = 0;
    auto add = [&](uint64_t start, uint64_t size) {
        if (sum + size > SCAN_REGION_BLOB_CAP) {
            ++*left_out;
            return;
        }
        sum += size;
        out.push_back({start, start + size, d.data() + (start - B), size});
    };
    for (const MoovHit& h : r.moov) {
        if (h.offset >= B && (h.offset - B) + h.size <= N) add(h.offset, h.size);
    }
    for (const SigHit& h : r.sigs) {
        if (h.offset >= B && h.offset < E) add(h.offset, std::min<uint64_t>(E - h.offset, 524288));
    }
    if (B == 0 && N >= 512) add(0, std::min<uint64_t>(N, 4194304));
    for (uint64_t o : r.ftyp) {
        if (o >= B && o < E) add(o, std::min<uint64_t>(E - o, 524288));
    }
    return out;
}

bool same_regions(const std::vector<ScanRegion>& a, const std::vector<ScanRegion>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].start != b[i].start || a[i].end != b[i].end || a[i].data != b[i].data || a[i].size != b[i].size) {
            return false;
        }
    }
    return true;
}

TEST(ScanMatch, AgreesWithThePlainAlgorithmOnRandomChunks) {
    std::mt19937_64 rng(20261211);
    auto below = [&](uint64_t n) { return n ? rng() % n : 0; };
    const uint64_t sectors[] = {512, 512, 4096, 1, 3, 520, 2048};
    const uint64_t aligns[] = {0, 0, 2, 3, 8, 512, 4096, 31, 32, 33};
    // Bytes that make up the signatures, so that random data is full of near misses.
    const Bytes alphabet = {0xFF, 0xD8, 0xC0, 0xC2, 0xC4, 0xDB, 0xE0, 0xE1, 0xE2, 0x49, 0x2A, 0x00,
                            'S', 'O', 'N', 'Y', 'I', 'L', 'C', 'E', '<', '?', 'x', 'm', 'l'};
    int total_hits = 0;
    for (int round = 0; round < 400; ++round) {
        ScanSettings s;
        s.sector_size = sectors[below(std::size(sectors))];
        s.moov_min = static_cast<uint32_t>(below(3000));
        s.moov_max = s.moov_min + static_cast<uint32_t>(below(100000));
        s.arw_enabled = below(4) != 0;
        for (uint64_t k = below(4); k > 0; --k) {
            ScanSignature sig;
            sig.type = "sig" + std::to_string(k);
            sig.magic.resize(1 + below(5));
            for (uint8_t& b : sig.magic) b = alphabet[below(alphabet.size())];
            sig.align = aligns[below(std::size(aligns))];
            s.signatures.push_back(sig);
        }
        // Chunk offsets mostly off any sector boundary, sometimes on one, sometimes 0.
        const uint64_t pick = below(8);
        const uint64_t B = pick == 0 ? 0 : pick == 1 ? below(1ull << 30) * 4096 : below(1ull << 40);
        // Now and then a long chunk of back-to-back JPEG starts at a random phase, which puts a
        // start on every stretch of four positions however the search cuts the chunk up.
        const bool starts = round % 9 == 4;
        const uint64_t N = round % 50 == 0 ? below(100) : starts ? 60000 + below(100000)
                         : round % 7 == 0 ? 20000 + below(50000) : below(6000);

        Bytes d(N);
        const bool dense = below(2) == 0;
        const uint64_t phase = below(4);
        for (uint64_t i = 0; i < N; ++i) {
            const uint8_t start[4] = {0xFF, 0xD8, 0xFF, alphabet[below(alphabet.size())]};
            d[i] = starts ? start[(i + phase) % 4] : dense ? alphabet[below(alphabet.size())] : static_cast<uint8_t>(rng());
        }
        // Signatures at random positions, on chunk steps and on disk steps.
        const std::vector<Bytes> seeds = {
            {0xFF, 0xD8, 0xFF, 0xE0}, {0xFF, 0xD8, 0xFF, 0xDB}, {0xFF, 0xD8, 0xFF, 0xC4}, {0xFF, 0xD8, 0xFF, 0xD8, 0xFF, 0xE1},
            box(static_cast<uint32_t>(10 + below(60)), "ftyp"), box(s.moov_min, "moov"), box(s.moov_max, "moov"),
            box(static_cast<uint32_t>(below(200000)), "moov"), cat(TIFF_LE, text("SONY")), TIFF_LE, text("ILCE"),
            text("SONY"), text("<?xml")};
        const uint64_t count = N ? below(N / 64 + 4) : 0;
        for (uint64_t i = 0; i < count; ++i) {
            Bytes seed = below(4) == 0 && !s.signatures.empty() ? s.signatures[below(s.signatures.size())].magic
                                                                   : seeds[below(seeds.size())];
            uint64_t at = below(N);
            const uint64_t where = below(3);
            if (where == 1) at -= at % s.sector_size;
            if (where == 2) at = (at - at % s.sector_size) + (s.sector_size - B % s.sector_size) % s.sector_size;
            if (at + seed.size() <= N) put(d, at, seed);
        }
        // ARW headers on disk sector steps with the maker's text about the window's last start.
        const uint64_t first = (s.sector_size - B % s.sector_size) % s.sector_size;
        for (uint64_t i = N > 4096 ? below(4) : 0; i > 0; --i) {
            const uint64_t at = first + below((N - 4096) / s.sector_size) * s.sector_size;
            if (at + 2050 > N) continue;
            put(d, at, TIFF_LE);
            put(d, at + 2042 + below(5), below(2) ? text("SONY") : text("ILCE"));
        }

        SCOPED_TRACE("round " + std::to_string(round) + " B=" + std::to_string(B) + " N=" + std::to_string(N) +
                     " S=" + std::to_string(s.sector_size));
        ScanResult got;
        ASSERT_TRUE(scan_match_chunk(B, d.data(), d.size(), s, &got));
        const ScanResult want = reference_match(B, d, s);
        ASSERT_EQ(hits(got), hits(want));
        total_hits += static_cast<int>(hits(got).size());

        std::vector<ScanRegion> regions;
        const RegionsLeftOut left_out = scan_select_regions(B, d.data(), d.size(), got, &regions);
        uint64_t want_left_out = 0;
        EXPECT_TRUE(same_regions(regions, reference_regions(B, d, want, &want_left_out)));
        EXPECT_EQ(left_out.count, want_left_out);
    }
    // The run is only worth something if the fixtures actually hit.
    EXPECT_GT(total_hits, 2000);
}

// ---------------------------------------------------------------------------------------------
// regions

TEST(ScanRegions, FollowTheHitsInOrder) {
    const uint64_t B = 8 * MiB + 100;
    Bytes data(1 * MiB, 0);
    put(data, 0, box(4000, "moov"));                  // whole box
    put(data, 1 * MiB - 512, box(1000, "moov"));      // runs past the chunk: listed, no region
    put(data, 512, box(32, "ftyp"));
    put(data, 1 * MiB - 1024, box(32, "ftyp"));       // cut at the chunk's end
    put(data, 700, {0xFF, 0xD8, 0xFF, 0xE0});
    put(data, 1 * MiB - 4, {0xFF, 0xD8, 0xFF, 0xE1});  // cut to 4 bytes
    ScanResult r;
    ASSERT_TRUE(scan_match_chunk(B, data.data(), data.size(), static_cast<const cJSON*>(nullptr), &r));
    ASSERT_EQ(r.moov.size(), 2u);
    // A hit outside the chunk (a result handed over from another chunk) selects nothing.
    r.sigs.push_back(SigHit{B - 1, "X"});
    r.sigs.push_back(SigHit{B + data.size(), "X"});
    std::vector<ScanRegion> regions;
    const RegionsLeftOut left_out = scan_select_regions(B, data.data(), data.size(), r, &regions);
    EXPECT_EQ(left_out.count, 0u);
    struct Want {
        uint64_t at, size;
    };
    const std::vector<Want> want = {{0, 4000}, {700, 512 * KiB}, {1 * MiB - 4, 4}, {512, 512 * KiB}, {1 * MiB - 1024, 1024}};
    ASSERT_EQ(regions.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(regions[i].start, B + want[i].at);
        EXPECT_EQ(regions[i].size, want[i].size);
        EXPECT_EQ(regions[i].end, regions[i].start + regions[i].size);
        EXPECT_EQ(regions[i].data, data.data() + want[i].at);
    }
}

TEST(ScanRegions, OnlyTheChunkAtDiskOffsetZeroCarriesTheDiskStart) {
    struct Case {
        uint64_t chunk_offset, length;
        std::vector<std::pair<uint64_t, uint64_t>> regions;  // start, size
    };
    const Case cases[] = {
        {0, 511, {}},
        {0, 512, {{0, 512}}},
        {0, 6 * MiB, {{0, 4 * MiB}}},
        {512, 6 * MiB, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.chunk_offset) + "+" + std::to_string(c.length));
        Bytes data(c.length, 0x22);
        ScanResult r;
        ASSERT_TRUE(scan_match_chunk(c.chunk_offset, data.data(), data.size(), static_cast<const cJSON*>(nullptr), &r));
        std::vector<ScanRegion> regions;
        scan_select_regions(c.chunk_offset, data.data(), data.size(), r, &regions);
        std::vector<std::pair<uint64_t, uint64_t>> got;
        for (const ScanRegion& region : regions) got.emplace_back(region.start, region.size);
        EXPECT_EQ(got, c.regions);
    }
}

// 600 JPEG starts in the first few KiB of a 1 MiB chunk ask for 600 regions of 512 KiB, 300 MiB in
// all: the first 512 fill the cap exactly, the rest are left out but stay in the hits.
TEST(ScanRegions, TheBlobOfOneChunkIsCapped) {
    const uint64_t B = 5 * MiB;
    Bytes data(1 * MiB, 0);
    for (uint64_t i = 0; i < 600; ++i) put(data, 4 * i, {0xFF, 0xD8, 0xFF, 0xE0});
    ScanResult r;
    ASSERT_TRUE(scan_match_chunk(B, data.data(), data.size(), static_cast<const cJSON*>(nullptr), &r));
    ASSERT_EQ(r.sigs.size(), 600u);
    std::vector<ScanRegion> regions;
    const RegionsLeftOut left_out = scan_select_regions(B, data.data(), data.size(), r, &regions);
    EXPECT_EQ(regions.size(), 512u);
    EXPECT_EQ(left_out.count, 88u);
    EXPECT_EQ(left_out.bytes, 88 * 512 * KiB);
    EXPECT_EQ(scan_region_blob_size(regions), SCAN_REGION_BLOB_CAP);
    for (size_t i = 0; i < regions.size(); ++i) EXPECT_EQ(regions[i].start, B + 4 * i);

    // The index lists exactly the kept regions; the results still hold every hit.
    std::optional<std::string> index = scan_region_index_json(regions);
    ASSERT_TRUE(index);
    JsonPtr parsed = json_parse(*index);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(cJSON_GetArraySize(parsed.get()), 512);
    std::optional<std::string> results = scan_results_json(r);
    ASSERT_TRUE(results);
    parsed = json_parse(*results);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(parsed.get(), "image_sigs")), 600);
}

// A region too large for what is left of the cap is left out; smaller ones after it still go.
TEST(ScanRegions, ASmallerRegionAfterTheCapStillFits) {
    const uint64_t B = 0;
    Bytes data(2 * MiB, 0);
    for (uint64_t i = 0; i < 511; ++i) put(data, 4 * i, {0xFF, 0xD8, 0xFF, 0xE0});
    put(data, 2 * MiB - 100 * KiB, {0xFF, 0xD8, 0xFF, 0xE0});  // 100 KiB region
    ScanResult r;
    ASSERT_TRUE(scan_match_chunk(B, data.data(), data.size(), static_cast<const cJSON*>(nullptr), &r));
    std::vector<ScanRegion> regions;
    const RegionsLeftOut left_out = scan_select_regions(B, data.data(), data.size(), r, &regions);
    // 511 x 512 KiB + 100 KiB fit; the 2 MiB disk start that follows does not.
    EXPECT_EQ(regions.size(), 512u);
    EXPECT_EQ(regions.back().size, 100 * KiB);
    EXPECT_EQ(left_out.count, 1u);
    EXPECT_EQ(left_out.bytes, 2 * MiB);
    EXPECT_LE(scan_region_blob_size(regions), SCAN_REGION_BLOB_CAP);
}

// A chunk of nothing but FF D8 FF E0: a hit every 4 bytes. The hits are all there; the regions
// stop at the cap instead of asking for half a MiB per hit.
TEST(ScanRegions, AChunkOfJpegStartsStaysBounded) {
    const uint64_t N = 4 * MiB;
    Bytes data(N);
    for (uint64_t i = 0; i < N; i += 4) put(data, i, {0xFF, 0xD8, 0xFF, 0xE0});
    ScanResult r;
    ASSERT_TRUE(scan_match_chunk(0, data.data(), N, static_cast<const cJSON*>(nullptr), &r));
    ASSERT_EQ(r.sigs.size(), N / 4);
    EXPECT_EQ(r.sigs.back().offset, N - 4);
    std::vector<ScanRegion> regions;
    const RegionsLeftOut left_out = scan_select_regions(0, data.data(), N, r, &regions);
    EXPECT_EQ(regions.size(), 512u);
    EXPECT_EQ(left_out.count, N / 4 - 512 + 1);  // the rest of the hits and the disk start
    EXPECT_EQ(scan_region_blob_size(regions), SCAN_REGION_BLOB_CAP);
    std::optional<std::string> results = scan_results_json(r);
    ASSERT_TRUE(results);
    EXPECT_LT(results->size(), 20 * (N / 4));  // [offset,"JPEG"], at most 7 digits here
}

// ---------------------------------------------------------------------------------------------
// encodings

TEST(ScanEncodings, WriteTheResultsAndRegions) {
    ScanResult r;
    r.ftyp = {4096, 1ull << 40};
    r.moov = {{8192, 1000}, {(1ull << 60) + 1, 4294967295u}};
    r.sigs = {SigHit{3, "JPEG"}, SigHit{(1ull << 53) + 1, "a\"b\\c\n\x01"}};
    std::optional<std::string> results = scan_results_json(r);
    ASSERT_TRUE(results);
    EXPECT_EQ(*results,
              R"({"ftyp_list":[4096,1099511627776],"moov_dict":{"8192":1000,"1152921504606846977":4294967295},)"
              R"("image_sigs":[[3,"JPEG"],[9007199254740992,"a\"b\\c\n\u0001"]]})");
    JsonPtr parsed = json_parse(*results);
    ASSERT_TRUE(parsed);
    const cJSON* sigs = cJSON_GetObjectItem(parsed.get(), "image_sigs");
    EXPECT_STREQ(cJSON_GetArrayItem(cJSON_GetArrayItem(sigs, 1), 1)->valuestring, "a\"b\\c\n\x01");
    // Past 2^53 a number is the double the offset becomes, as any reader takes it.
    EXPECT_EQ(cJSON_GetArrayItem(cJSON_GetArrayItem(sigs, 1), 0)->valuedouble, static_cast<double>((1ull << 53) + 1));

    ScanResult empty;
    EXPECT_EQ(scan_results_json(empty), std::optional<std::string>(R"({"ftyp_list":[],"moov_dict":{},"image_sigs":[]})"));
    EXPECT_EQ(scan_region_index_json({}), std::optional<std::string>("[]"));
    std::string blob = "x";
    EXPECT_TRUE(scan_region_blob_append({}, &blob));
    EXPECT_EQ(blob, "x");

    const Bytes chunk = text("0123456789abcdef");
    const std::vector<ScanRegion> regions = {{1002, 1006, chunk.data() + 2, 4}, {1000, 1016, chunk.data(), 16},
                                             {1015, 1016, chunk.data() + 15, 1}};
    EXPECT_EQ(scan_region_index_json(regions),
              std::optional<std::string>(R"([{"start":1002,"end":1006,"size":4},{"start":1000,"end":1016,"size":16},)"
                                         R"({"start":1015,"end":1016,"size":1}])"));
    EXPECT_EQ(scan_region_blob_size(regions), 21u);
    blob = "head";
    ASSERT_TRUE(scan_region_blob_append(regions, &blob));
    EXPECT_EQ(blob, "head2345" "0123456789abcdef" "f");
}

}  // namespace
