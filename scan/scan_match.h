// The scan's signature matcher: finds the traces of media files in one chunk of a raw disk (MP4
// "ftyp" and "moov" box headers, Sony ARW, JPEG, XML and the server's own byte signatures), picks
// the byte regions of the chunk worth sending with the hits, and writes the hits and the regions
// in the forms the upload carries: the scan results text, the region index text and the region
// blob. Pure computation on a buffer already in memory: it opens nothing, sends nothing and keeps
// no state between calls.
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

constexpr int SCAN_DEFAULT_SECTOR_SIZE = 512;
// The largest step the matcher takes: a chunk is never larger, so a larger step would test the
// same single position, and every position sum stays far from any integer's limit.
constexpr int SCAN_MAX_SECTOR_SIZE = 1 << 30;
constexpr uint32_t SCAN_DEFAULT_MOOV_MIN = 1000;
constexpr uint32_t SCAN_DEFAULT_MOOV_MAX = 52428800;
// Signature types are reported in a 16-byte field: at most 15 bytes of text.
constexpr size_t SCAN_TYPE_NAME_MAX = 15;

constexpr uint64_t SCAN_SIG_REGION_SIZE = 524288;      // bytes sent from each signature and ftyp
constexpr uint64_t SCAN_DISK_START_SIZE = 4194304;     // bytes sent from the start of the disk
constexpr uint64_t SCAN_REGION_BLOB_CAP = 268435456;   // bytes of regions one chunk may send

// One server-defined signature, decoded.
struct ScanSignature {
    std::string type;             // the definition's key, cut to SCAN_TYPE_NAME_MAX bytes
    std::vector<uint8_t> magic;   // at least one byte
    uint64_t align = 0;           // 0: none (tested every magic length from the chunk's start)
};

// The settings of one scan, read from the request's "scan_config".
struct ScanSettings {
    uint64_t sector_size = SCAN_DEFAULT_SECTOR_SIZE;  // 1 .. SCAN_MAX_SECTOR_SIZE
    uint32_t moov_min = SCAN_DEFAULT_MOOV_MIN;        // both inclusive
    uint32_t moov_max = SCAN_DEFAULT_MOOV_MAX;
    bool arw_enabled = true;
    std::vector<ScanSignature> signatures;            // in the order they were defined
};

struct MoovHit {
    uint64_t offset;  // disk offset of the box header
    uint32_t size;    // box size as read from the header
};

struct SigHit {
    uint64_t offset;   // disk offset where the signature starts
    char type[16];     // "ARW", "JPEG", "XML" or a signature's type; NUL-terminated
};

// The hits of one chunk, each list in the order the matcher finds them (see scan_match_chunk).
struct ScanResult {
    std::vector<uint64_t> ftyp;  // disk offsets of "ftyp" box headers
    std::vector<MoovHit> moov;
    std::vector<SigHit> sigs;    // ARW, then JPEG, then XML, then each signature in turn
};

// A range of the chunk sent with the hits. `data` points into the chunk buffer, which must
// outlive the region list.
struct ScanRegion {
    uint64_t start;       // disk offset
    uint64_t end;         // start + size
    const uint8_t* data;  // the region's first byte in the chunk
    uint64_t size;
};

// Regions scan_select_regions did not keep: those that would have taken the chunk's blob past
// SCAN_REGION_BLOB_CAP, and any the list could not hold for want of memory. Their hits stay in
// the scan results.
struct RegionsLeftOut {
    uint64_t count = 0;
    uint64_t bytes = 0;
};

// Reads "sector_size", "moov_size_range", "arw_enabled" and "generic_sig_defs" from `scan_config`
// (null or not an object: every default). A malformed value falls back to its default, an
// unusable signature definition is skipped; a "sector_size" of 0 or less is taken as absent and
// one above SCAN_MAX_SECTOR_SIZE as that bound.
ScanSettings scan_settings_read(const cJSON* scan_config);

// Empties `result` and fills it with the hits of the chunk data[0 .. length), whose first byte is
// at disk offset `chunk_offset`. False when a list could not grow for want of memory: `result`
// then holds what was found up to there.
bool scan_match_chunk(uint64_t chunk_offset, const uint8_t* data, uint64_t length,
                      const ScanSettings& settings, ScanResult* result);
bool scan_match_chunk(uint64_t chunk_offset, const uint8_t* data, uint64_t length,
                      const cJSON* scan_config, ScanResult* result);

// Empties `regions` and fills it from the hits of `result` for the same chunk: each "moov" box
// that ends inside the chunk, up to 512 KiB from each signature hit, the first 4 MiB of the disk
// when the chunk starts it, and up to 512 KiB from each "ftyp" header, in that order. A region
// that would take the blob past SCAN_REGION_BLOB_CAP is left out (a later, smaller one may still
// fit); the caller learns what was left out.
RegionsLeftOut scan_select_regions(uint64_t chunk_offset, const uint8_t* data, uint64_t length,
                                   const ScanResult& result, std::vector<ScanRegion>* regions);

// {"ftyp_list":[...],"moov_dict":{"<offset>":size,...},"image_sigs":[[offset,"type"],...]};
// nothing when memory cannot be had.
std::optional<std::string> scan_results_json(const ScanResult& result);

// [{"start":s,"end":e,"size":n},...]; nothing when memory cannot be had.
std::optional<std::string> scan_region_index_json(const std::vector<ScanRegion>& regions);

// The sum of the region sizes: the length of the blob.
uint64_t scan_region_blob_size(const std::vector<ScanRegion>& regions);

// Appends the bytes of every region, back to back in region order, to `out`. False (with `out`
// as it was) when memory cannot be had.
bool scan_region_blob_append(const std::vector<ScanRegion>& regions, std::string* out);
