// The scan's signature matcher: settings, the per-chunk search, region selection and the three
// encodings of one chunk's results.
//
// Sections:
//   settings      reading "scan_config"
//   search        box headers, ARW, JPEG, XML and the server's signatures over one chunk
//   regions       choosing the bytes sent with the hits, within the blob cap
//   encodings     scan results text, region index text, region blob
//
// The chunk is 64 MiB by default and every byte of it is looked at only by the JPEG search; all
// other tests run at sector or signature steps. The JPEG search is therefore the one that sets
// the pace: it compares 16 positions at a time where SSE2 is there (every x86-64 processor) and
// hops from one FF byte to the next with memchr elsewhere. Every search is linear in the chunk
// whatever its bytes, so a hostile disk costs time and memory in proportion to its hits only.
#include "scan/scan_match.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "core/json.h"
#include "core/util.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// ---------------------------------------------------------------------------------------------
// settings

uint32_t range_item(const cJSON* item) {
    // Taken by its integer value without a type check: anything but a number reads as 0; the
    // value is then compared as unsigned 32 bits (-1 is the largest size).
    return static_cast<uint32_t>(cJSON_IsNumber(item) ? item->valueint : 0);
}

void read_signatures(const cJSON* defs, std::vector<ScanSignature>* out) {
    if (!cJSON_IsObject(defs)) return;
    for (const cJSON* def = defs->child; def; def = def->next) {
        const char* magic = json_string(def, "magic");
        if (!magic) continue;
        std::optional<Bytes> bytes = hex_decode(magic);
        if (!bytes || bytes->empty()) continue;
        ScanSignature sig;
        // Cut at a whole character: the type goes into JSON text, which must stay valid UTF-8.
        sig.type = utf8_cut(def->string ? def->string : "", SCAN_TYPE_NAME_MAX);
        sig.magic = std::move(*bytes);
        const cJSON* align = json_item(def, "align");
        if (cJSON_IsNumber(align) && align->valueint >= 2) sig.align = static_cast<uint64_t>(align->valueint);
        out->push_back(std::move(sig));
    }
}

// ---------------------------------------------------------------------------------------------
// search

constexpr uint64_t BOX_HEADER_SPAN = 32;  // bytes a box header position needs in the chunk
constexpr uint64_t ARW_SPAN = 2048;       // the TIFF header and the window for the maker's text
constexpr uint64_t ARW_TEXT_LAST = 2044;  // last start of "SONY" / "ILCE" after the header
constexpr uint8_t XML_START[5] = {'<', '?', 'x', 'm', 'l'};
constexpr uint8_t TIFF_LE[4] = {0x49, 0x49, 0x2A, 0x00};

uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// The first position of the chunk at or after 0 whose disk offset is a multiple of `step`.
uint64_t first_aligned(uint64_t chunk_offset, uint64_t step) {
    return (step - chunk_offset % step) % step;
}

// Calls test(p) for p = first, first + step, ... up to `last` inclusive, without letting a
// position sum wrap.
template <typename Test>
void for_each_step(uint64_t first, uint64_t step, uint64_t last, Test&& test) {
    for (uint64_t p = first; p <= last;) {
        test(p);
        if (last - p < step) break;
        p += step;
    }
}

SigHit make_hit(const char* type, size_t type_length) {
    SigHit hit{};
    std::memcpy(hit.type, type, std::min(type_length, SCAN_TYPE_NAME_MAX));
    return hit;
}

// Whether a maker's text ("SONY", "ILCE") starts anywhere in [p, last], asked for rising p. The
// chunk is searched at most once in all: each search starts where the previous ones stopped, and
// none reads past the window it was asked about.
class TextCursor {
public:
    TextCursor(const uint8_t* data, const char* text) : data_(data) { std::memcpy(text_, text, 4); }

    // The caller guarantees last + 4 <= the chunk's length.
    bool any_in(uint64_t p, uint64_t last) {
        if (found_ && at_ >= p) return at_ <= last;
        found_ = false;
        for (uint64_t from = std::max(p, clear_to_); from <= last;) {
            const void* hit = std::memchr(data_ + from, text_[0], last - from + 1);
            if (!hit) break;
            const uint64_t at = static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - data_);
            if (std::memcmp(data_ + at + 1, text_ + 1, 3) == 0) {
                found_ = true;
                at_ = at;
                clear_to_ = at;
                return true;
            }
            from = at + 1;
        }
        clear_to_ = std::max(clear_to_, last + 1);
        return false;
    }

private:
    const uint8_t* data_;
    uint8_t text_[4];
    bool found_ = false;     // at_ holds the first start at or after the last position asked about
    uint64_t at_ = 0;
    uint64_t clear_to_ = 0;  // no start from the last position asked about up to here
};

// The tests made at sector steps: box headers at chunk positions 0, S, 2S, ...; ARW and XML at
// the positions whose disk offset is a multiple of S. They follow the JPEG search block by block,
// so that the cache line each position needs is already in: tested on their own, every position
// waited for memory.
class SectorTests {
public:
    SectorTests(const ScanSettings& s, uint64_t base, const uint8_t* data, uint64_t n)
        : s_(s), base_(base), data_(data), n_(n), aligned_(first_aligned(base, s.sector_size)),
          sony_(data, "SONY"), ilce_(data, "ILCE") {}

    // Tests every position below `limit` not tested yet.
    void run_until(uint64_t limit, ScanResult* r) {
        const uint64_t step = s_.sector_size;
        for (; box_ < limit && box_ + BOX_HEADER_SPAN <= n_; box_ += step) {
            const uint8_t* at = data_ + box_;
            const uint32_t size = be32(at);
            if (std::memcmp(at + 4, "ftyp", 4) == 0 && size >= 16 && size <= 64) {
                r->ftyp.push_back(base_ + box_);
            } else if (std::memcmp(at + 4, "moov", 4) == 0 && size >= s_.moov_min && size <= s_.moov_max) {
                r->moov.push_back(MoovHit{base_ + box_, size});
            }
        }
        for (; aligned_ < limit && aligned_ + sizeof XML_START <= n_; aligned_ += step) {
            const uint8_t* at = data_ + aligned_;
            const uint64_t last = aligned_ + ARW_TEXT_LAST;
            if (s_.arw_enabled && aligned_ + ARW_SPAN <= n_ && std::memcmp(at, TIFF_LE, 4) == 0 &&
                (sony_.any_in(aligned_, last) || ilce_.any_in(aligned_, last))) {
                arw.push_back(base_ + aligned_);
            }
            if (std::memcmp(at, XML_START, 4) == 0 && at[4] == XML_START[4]) xml.push_back(base_ + aligned_);
        }
    }

    std::vector<uint64_t> arw;  // disk offsets of the hits, ascending
    std::vector<uint64_t> xml;

private:
    const ScanSettings& s_;
    uint64_t base_;
    const uint8_t* data_;
    uint64_t n_;
    uint64_t box_ = 0;   // next box header position
    uint64_t aligned_;   // next position on a disk sector boundary
    TextCursor sony_;
    TextCursor ilce_;
};

bool jpeg_marker(uint8_t byte) {
    switch (byte) {
        case 0xC0: case 0xC2: case 0xDB: case 0xE0: case 0xE1: case 0xE2: return true;
        default: return false;
    }
}

// Every q in [from, to) with q + 4 <= n where FF D8 FF and a marker byte start. Searching FF by
// FF and going on at q + 3 after a start finds exactly these: two starts can never overlap, and
// the position after a start's FF D8 is its FF, which is followed by a marker, never by D8.
void match_jpeg(uint64_t base, const uint8_t* data, uint64_t n, uint64_t from, uint64_t to, ScanResult* r) {
    const SigHit jpeg = make_hit("JPEG", 4);
    auto add = [&](uint64_t q) { r->sigs.emplace_back(jpeg).offset = base + q; };
    uint64_t q = from;
#if defined(__SSE2__)
    // 64 positions a round, first sifted for FF D8 alone (two loads a block: in random data about
    // one round in a thousand holds a pair); the rounds that do are checked for the second FF and
    // the marker byte in the vector too, so that dense data costs no branch per candidate.
    // Position q + 63 reads up to byte q + 66.
    auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    auto splat = [](uint8_t byte) { return _mm_set1_epi8(static_cast<char>(byte)); };
    const __m128i ff = splat(0xFF), d8 = splat(0xD8);
    const __m128i not_bit1 = splat(0xFD), c0 = splat(0xC0), db = splat(0xDB), e0 = splat(0xE0), two = splat(2);
    auto pairs = [&](const uint8_t* p) {
        return _mm_and_si128(_mm_cmpeq_epi8(load(p), ff), _mm_cmpeq_epi8(load(p + 1), d8));
    };
    auto starts = [&](const uint8_t* p, __m128i pair) {
        const __m128i marker = load(p + 3);
        const __m128i from_e0 = _mm_sub_epi8(marker, e0);
        const __m128i is_marker = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(_mm_and_si128(marker, not_bit1), c0), _mm_cmpeq_epi8(marker, db)),
            _mm_cmpeq_epi8(_mm_min_epu8(from_e0, two), from_e0));  // C0 or C2, DB, E0 to E2
        const __m128i start = _mm_and_si128(_mm_and_si128(pair, _mm_cmpeq_epi8(load(p + 2), ff)), is_marker);
        return static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(start)));
    };
    for (; q + 64 <= to && q + 67 <= n; q += 64) {
        const uint8_t* p = data + q;
        const __m128i m0 = pairs(p);
        const __m128i m1 = pairs(p + 16);
        const __m128i m2 = pairs(p + 32);
        const __m128i m3 = pairs(p + 48);
        const __m128i any = _mm_or_si128(_mm_or_si128(m0, m1), _mm_or_si128(m2, m3));
        if (_mm_movemask_epi8(any) == 0) continue;
        const uint64_t bits = starts(p, m0) | starts(p + 16, m1) << 16 | starts(p + 32, m2) << 32 |
                              starts(p + 48, m3) << 48;
        for (uint64_t left = bits; left; left &= left - 1) add(q + static_cast<uint64_t>(__builtin_ctzll(left)));
    }
#endif
    const uint64_t end = std::min(to, n - 3);
    while (q < end) {
        const void* found = std::memchr(data + q, 0xFF, end - q);
        if (!found) break;
        q = static_cast<uint64_t>(static_cast<const uint8_t*>(found) - data);
        if (data[q + 1] == 0xD8 && data[q + 2] == 0xFF && jpeg_marker(data[q + 3])) add(q);
        ++q;
    }
}

// Bytes the JPEG search covers before the sector tests catch up: well inside the second-level
// cache, and a multiple of the search's 64-byte rounds.
constexpr uint64_t MATCH_BLOCK = 65536;

// Steps below this hop from one occurrence of the magic's first byte to the next with memchr;
// longer steps visit each position.
constexpr uint64_t SIG_HOP_BELOW = 32;

void match_signature(const ScanSignature& sig, uint64_t base, const uint8_t* data, uint64_t n, ScanResult* r) {
    const uint64_t length = sig.magic.size();
    if (length > n) return;
    const uint8_t* magic = sig.magic.data();
    const uint64_t step = sig.align ? sig.align : length;
    const uint64_t first = sig.align ? first_aligned(base, sig.align) : 0;
    const uint64_t last = n - length;
    const SigHit hit = make_hit(sig.type.data(), sig.type.size());
    auto test = [&](uint64_t p) {
        if (data[p] == magic[0] && std::memcmp(data + p, magic, length) == 0) r->sigs.emplace_back(hit).offset = base + p;
    };
    if (step >= SIG_HOP_BELOW) {
        for_each_step(first, step, last, test);
        return;
    }
    for (uint64_t p = first; p <= last;) {
        const void* found = std::memchr(data + p, magic[0], last - p + 1);
        if (!found) break;
        const uint64_t at = static_cast<uint64_t>(static_cast<const uint8_t*>(found) - data);
        const uint64_t off_grid = (at - first) % step;
        if (off_grid) {
            p = at + (step - off_grid);
            continue;
        }
        test(at);
        p = at + step;
    }
}

// ---------------------------------------------------------------------------------------------
// encodings

constexpr uint64_t EXACT_IN_DOUBLE = 1ull << 53;

// A JSON number of the value converted to double, as every reader of the text will take it:
// integers below 2^53 exactly, larger ones as the double they become.
void append_number(std::string& out, uint64_t value) {
    char text[32];
    if (value < EXACT_IN_DOUBLE) {
        const auto done = std::to_chars(text, text + sizeof text, value);
        out.append(text, done.ptr);
    } else {
        const int length = std::snprintf(text, sizeof text, "%.17g", static_cast<double>(value));
        out.append(text, static_cast<size_t>(length));
    }
}

void append_decimal(std::string& out, uint64_t value) {
    char text[24];
    const auto done = std::to_chars(text, text + sizeof text, value);
    out.append(text, done.ptr);
}

// Quotes, backslashes and control characters escaped; everything else as it is.
void append_json_string(std::string& out, const char* text) {
    static const char hex[] = "0123456789abcdef";
    out += '"';
    for (const char* c = text; *c; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        switch (byte) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out += hex[byte >> 4];
                    out += hex[byte & 15];
                } else {
                    out += *c;
                }
        }
    }
    out += '"';
}

}  // namespace

// -------------------------------------------------------------------------------------------------
// settings

ScanSettings scan_settings_read(const cJSON* scan_config) {
    ScanSettings s;
    if (!cJSON_IsObject(scan_config)) return s;
    // 0 or less would never advance; a step is bounded so position sums stay small.
    const int sector = json_int(scan_config, "sector_size", SCAN_DEFAULT_SECTOR_SIZE);
    s.sector_size = static_cast<uint64_t>(sector <= 0 ? SCAN_DEFAULT_SECTOR_SIZE : std::min(sector, SCAN_MAX_SECTOR_SIZE));
    const cJSON* range = json_item(scan_config, "moov_size_range");
    if (cJSON_IsArray(range) && range->child && range->child->next) {
        s.moov_min = range_item(range->child);
        s.moov_max = range_item(range->child->next);
    }
    s.arw_enabled = !cJSON_IsFalse(json_item(scan_config, "arw_enabled"));
    read_signatures(json_item(scan_config, "generic_sig_defs"), &s.signatures);
    return s;
}

// -------------------------------------------------------------------------------------------------
// search

bool scan_match_chunk(uint64_t chunk_offset, const uint8_t* data, uint64_t length, const ScanSettings& settings,
                      ScanResult* result) {
    result->ftyp.clear();
    result->moov.clear();
    result->sigs.clear();
    if (length < BOX_HEADER_SPAN) return true;
    try {
        SectorTests sectors(settings, chunk_offset, data, length);
        for (uint64_t from = 0; from < length; from += MATCH_BLOCK) {
            const uint64_t to = std::min(length, from + MATCH_BLOCK);
            match_jpeg(chunk_offset, data, length, from, to, result);
            sectors.run_until(to, result);
        }
        // ARW hits open the signature list: the JPEG hits found meanwhile move behind them.
        if (!sectors.arw.empty()) {
            std::vector<SigHit> arw(sectors.arw.size(), make_hit("ARW", 3));
            for (size_t i = 0; i < arw.size(); ++i) arw[i].offset = sectors.arw[i];
            result->sigs.insert(result->sigs.begin(), arw.begin(), arw.end());
        }
        const SigHit xml = make_hit("XML", 3);
        for (uint64_t offset : sectors.xml) result->sigs.emplace_back(xml).offset = offset;
        for (const ScanSignature& sig : settings.signatures) match_signature(sig, chunk_offset, data, length, result);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool scan_match_chunk(uint64_t chunk_offset, const uint8_t* data, uint64_t length, const cJSON* scan_config,
                      ScanResult* result) {
    ScanSettings settings;
    try {
        settings = scan_settings_read(scan_config);
    } catch (const std::bad_alloc&) {
        result->ftyp.clear();
        result->moov.clear();
        result->sigs.clear();
        return false;
    }
    return scan_match_chunk(chunk_offset, data, length, settings, result);
}

// -------------------------------------------------------------------------------------------------
// regions

RegionsLeftOut scan_select_regions(uint64_t chunk_offset, const uint8_t* data, uint64_t length,
                                   const ScanResult& result, std::vector<ScanRegion>* regions) {
    regions->clear();
    RegionsLeftOut left_out;
    uint64_t room = SCAN_REGION_BLOB_CAP;
    // Without the cap a chunk of back-to-back JPEG starts would ask for 512 KiB per 4 bytes: a
    // blob of terabytes. Regions are views into the chunk, so only the kept ones cost memory.
    auto add = [&](uint64_t at, uint64_t size) {
        if (size <= room) {
            try {
                regions->push_back(ScanRegion{chunk_offset + at, chunk_offset + at + size, data + at, size});
                room -= size;
                return;
            } catch (const std::bad_alloc&) {
            }
        }
        ++left_out.count;
        left_out.bytes += size;
    };
    // Positions in the chunk are worked out as o - B and compared with N, so a hit list that does
    // not belong to this chunk selects nothing and no sum wraps.
    auto in_chunk = [&](uint64_t offset) { return offset >= chunk_offset && offset - chunk_offset < length; };
    auto up_to_sig_size = [&](uint64_t at) { return std::min(length - at, SCAN_SIG_REGION_SIZE); };

    for (const MoovHit& hit : result.moov) {
        if (hit.offset < chunk_offset) continue;
        const uint64_t at = hit.offset - chunk_offset;
        if (at <= length && hit.size <= length - at) add(at, hit.size);
    }
    for (const SigHit& hit : result.sigs) {
        if (in_chunk(hit.offset)) add(hit.offset - chunk_offset, up_to_sig_size(hit.offset - chunk_offset));
    }
    if (chunk_offset == 0 && length >= 512) add(0, std::min(length, SCAN_DISK_START_SIZE));
    for (uint64_t offset : result.ftyp) {
        if (in_chunk(offset)) add(offset - chunk_offset, up_to_sig_size(offset - chunk_offset));
    }
    return left_out;
}

// -------------------------------------------------------------------------------------------------
// encodings

std::optional<std::string> scan_results_json(const ScanResult& result) {
    try {
        std::string out;
        out.reserve(64 + result.ftyp.size() * 17 + result.moov.size() * 30 + result.sigs.size() * 30);
        out += "{\"ftyp_list\":[";
        for (size_t i = 0; i < result.ftyp.size(); ++i) {
            if (i) out += ',';
            append_number(out, result.ftyp[i]);
        }
        out += "],\"moov_dict\":{";
        for (size_t i = 0; i < result.moov.size(); ++i) {
            if (i) out += ',';
            out += '"';
            append_decimal(out, result.moov[i].offset);
            out += "\":";
            append_number(out, result.moov[i].size);
        }
        out += "},\"image_sigs\":[";
        for (size_t i = 0; i < result.sigs.size(); ++i) {
            if (i) out += ',';
            out += '[';
            append_number(out, result.sigs[i].offset);
            out += ',';
            char type[sizeof result.sigs[i].type + 1] = {};
            std::memcpy(type, result.sigs[i].type, sizeof result.sigs[i].type);
            append_json_string(out, type);
            out += ']';
        }
        out += "]}";
        return out;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<std::string> scan_region_index_json(const std::vector<ScanRegion>& regions) {
    try {
        std::string out;
        out.reserve(2 + regions.size() * 48);
        out += '[';
        for (size_t i = 0; i < regions.size(); ++i) {
            if (i) out += ',';
            out += "{\"start\":";
            append_number(out, regions[i].start);
            out += ",\"end\":";
            append_number(out, regions[i].end);
            out += ",\"size\":";
            append_number(out, regions[i].size);
            out += '}';
        }
        out += ']';
        return out;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

uint64_t scan_region_blob_size(const std::vector<ScanRegion>& regions) {
    uint64_t total = 0;
    for (const ScanRegion& region : regions) total += region.size;
    return total;
}

bool scan_region_blob_append(const std::vector<ScanRegion>& regions, std::string* out) {
    const size_t before = out->size();
    const uint64_t total = scan_region_blob_size(regions);
    try {
        if (total > out->max_size() - before) return false;
        out->reserve(before + static_cast<size_t>(total));
        for (const ScanRegion& region : regions) {
            out->append(reinterpret_cast<const char*>(region.data), static_cast<size_t>(region.size));
        }
    } catch (const std::exception&) {
        out->resize(before);
        return false;
    }
    return true;
}
