// The scans area of zelvo-server: the chunks of a remote scan that agents post to
// /api/remote/scanned_chunk (each chunk's scan results, its region index and the regions' bytes),
// checked against one another and stored under data_dir/scans/<scan id>/<offset>/. Control routes
// list a scan's chunks, hand back any stored region and show the requests that arrived. The upload
// faults a test orders (status, count, drop, delay) apply to these requests as to the image chunks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/http.h"

// One request to /api/remote/scanned_chunk, refused ones included.
struct ScanLogEntry {
    uint64_t seq = 0;
    std::string scan_id;
    std::optional<uint64_t> offset;
    unsigned status = 0;  // 0 while the answer is pending, and when dropped
    bool dropped = false;
};

// The scans' part of the server state; io_context thread only. Stored chunks outlive resets and
// restarts (data_dir/scans); the log does not.
struct ScanState {
    std::vector<ScanLogEntry> scan_log;
    uint64_t next_scan_seq = 1;  // keeps rising across resets
};

// The largest chunk taken: the agent reads at most this much at a time.
constexpr uint64_t MAX_SCAN_CHUNK = 1073741824;

// A chunk as its fields describe it, the texts parsed.
struct ScannedChunk {
    std::string scan_id;
    uint64_t offset = 0;
    uint64_t chunk_size = 0;
    JsonPtr results;
    JsonPtr index;
    std::string_view regions;  // into the request body
};

// Reads and checks the fields of a chunk: the hits lie inside the chunk, every region lies inside
// it with end = start + size, and the regions' sizes add up to the blob. Empty text when usable,
// else the reason to refuse it.
std::string scan_read_chunk(std::string_view scan_id, std::string_view offset, std::string_view chunk_size,
                            std::string_view results, std::string_view index, std::string_view regions,
                            ScannedChunk& chunk);

// The folder a scan id is stored in (the empty id has one of its own); nothing for an id that
// cannot name a folder.
std::optional<std::string> scan_folder_name(std::string_view scan_id);

// Forgets the request log; stored chunks stay.
void scans_reset(class Server& server);
// /api/remote/scanned_chunk, and /control/scan_chunks, scan_region and scan_log.
std::vector<Route> scan_routes();
