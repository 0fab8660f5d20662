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

// The first start of the 4-byte `text` at or after `from` that fits the chunk; `n` when none.
uint64_t find_text4(const uint8_t* data, uint64_t n, uint64_t from, const uint8_t* text) {
    while (from + 4 <= n) {
        const void* found = std::memchr(data + from, text[0], n - 3 - from);
        if (!found) break;
        const uint64_t at = static_cast<uint64_t>(static_cast<const uint8_t*>(found) - data);
        if (std::memcmp(data + at + 1, text + 1, 3) == 0) return at;
        from = at + 1;
    }
    return n;
}

// The next occurrence of a maker's text at or after a rising position. Each search starts past
// the last one found, so the ARW test reads the chunk about once whatever its sector step,
// instead of a 2 KiB window per candidate header.
class TextCursor {
public:
    TextCursor(const uint8_t* data, uint64_t n, const char* text) : data_(data), n_(n) {
        std::memcpy(text_, text, 4);
    }
    uint64_t first_from(uint64_t p) {
        if (!known_ || at_ < p) {
            at_ = find_text4(data_, n_, p, text_);
            known_ = true;
        }
        return at_;
    }

private:
    const uint8_t* data_;
    uint64_t n_;
    uint8_t text_[4];
    bool known_ = false;
    uint64_t at_ = 0;  // first occurrence at or after the last position searched from; n_ when none
};

void match_boxes(const ScanSettings& s, uint64_t base, const uint8_t* data, uint64_t n, ScanResult* r) {
    for_each_step(0, s.sector_size, n - BOX_HEADER_SPAN, [&](uint64_t p) {
        const uint8_t* at = data + p;
        const uint32_t size = be32(at);
        if (std::memcmp(at + 4, "ftyp", 4) == 0 && size >= 16 && size <= 64) {
            r->ftyp.push_back(base + p);
        } else if (std::memcmp(at + 4, "moov", 4) == 0 && size >= s.moov_min && size <= s.moov_max) {
            r->moov.push_back(MoovHit{base + p, size});
        }
    });
}

void match_arw(const ScanSettings& s, uint64_t base, const uint8_t* data, uint64_t n, ScanResult* r) {
    if (n < ARW_SPAN) return;
    TextCursor sony(data, n, "SONY");
    TextCursor ilce(data, n, "ILCE");
    const SigHit arw = make_hit("ARW", 3);
    for_each_step(first_aligned(base, s.sector_size), s.sector_size, n - ARW_SPAN, [&](uint64_t p) {
        if (std::memcmp(data + p, TIFF_LE, 4) != 0) return;
        if (std::min(sony.first_from(p), ilce.first_from(p)) - p > ARW_TEXT_LAST) return;
        r->sigs.emplace_back(arw).offset = base + p;
    });
}

bool jpeg_marker(uint8_t byte) {
    switch (byte) {
        case 0xC0: case 0xC2: case 0xDB: case 0xE0: case 0xE1: case 0xE2: return true;
        default: return false;
    }
}

// Every q with q + 4 <= n where FF D8 FF and a marker byte start. Searching FF by FF and going on
// at q + 3 after a start finds exactly these: two starts can never overlap, and the position
// after a start's FF D8 is its FF, which is followed by a marker, never by D8.
void match_jpeg(uint64_t base, const uint8_t* data, uint64_t n, ScanResult* r) {
    const SigHit jpeg = make_hit("JPEG", 4);
    auto test = [&](uint64_t q) {
        if (jpeg_marker(data[q + 3])) r->sigs.emplace_back(jpeg).offset = base + q;
    };
    uint64_t q = 0;
#if defined(__SSE2__)
    // 64 positions a round; position q + 63 reads up to byte q + 66.
    const __m128i ff = _mm_set1_epi8(static_cast<char>(0xFF));
    const __m128i d8 = _mm_set1_epi8(static_cast<char>(0xD8));
    auto starts = [&](const uint8_t* p) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
        return _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(a, ff), _mm_cmpeq_epi8(b, d8)), _mm_cmpeq_epi8(c, ff));
    };
    for (; q + 67 <= n; q += 64) {
        const __m128i m0 = starts(data + q);
        const __m128i m1 = starts(data + q + 16);
        const __m128i m2 = starts(data + q + 32);
        const __m128i m3 = starts(data + q + 48);
        const __m128i any = _mm_or_si128(_mm_or_si128(m0, m1), _mm_or_si128(m2, m3));
        if (_mm_movemask_epi8(any) == 0) continue;
        const uint64_t bits = static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(m0))) |
                              static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(m1))) << 16 |
                              static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(m2))) << 32 |
                              static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(m3))) << 48;
        for (uint64_t left = bits; left; left &= left - 1) test(q + static_cast<uint64_t>(__builtin_ctzll(left)));
    }
#endif
    while (q + 4 <= n) {
        const void* found = std::memchr(data + q, 0xFF, n - 3 - q);
        if (!found) break;
        q = static_cast<uint64_t>(static_cast<const uint8_t*>(found) - data);
        if (data[q + 1] == 0xD8 && data[q + 2] == 0xFF) test(q);
        ++q;
    }
}

void match_xml(const ScanSettings& s, uint64_t base, const uint8_t* data, uint64_t n, ScanResult* r) {
    const SigHit xml = make_hit("XML", 3);
    for_each_step(first_aligned(base, s.sector_size), s.sector_size, n - sizeof XML_START, [&](uint64_t p) {
        if (std::memcmp(data + p, XML_START, sizeof XML_START) == 0) r->sigs.emplace_back(xml).offset = base + p;
    });
}

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
        match_boxes(settings, chunk_offset, data, length, result);
        if (settings.arw_enabled) match_arw(settings, chunk_offset, data, length, result);
        match_jpeg(chunk_offset, data, length, result);
        match_xml(settings, chunk_offset, data, length, result);
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
