// The remote scan job: on the dashboard's request ("stream_disk_chunks") reads a disk, or a disk
// image file, in place: sends its directory tree, then reads the asked byte range chunk by chunk,
// runs the signature matcher on each chunk and posts the hits with the chosen regions of its bytes
// to the server, with a progress event per chunk. "cancel_remote_scan" stops it between chunks.
// One scan runs at a time, on a thread of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <cjson/cJSON.h>

constexpr int SCAN_DEFAULT_CHUNK_SIZE = 67108864;
// The largest chunk a request may ask for: one buffer of this size is held for the whole scan.
constexpr int SCAN_MAX_CHUNK_SIZE = 1073741824;
constexpr size_t SCAN_MAX_URL = 511;

// What one scan does, made from its request before anything is read.
struct ScanPlan {
    std::optional<std::string> scan_id;  // echoed in events only when the request had one
    int chunk_size = SCAN_DEFAULT_CHUNK_SIZE;
    uint64_t start_offset = 0;
    uint64_t total = 0;    // size of the whole disk
    uint64_t end = 0;      // one past the last byte scanned
    std::string device;    // "disk_path", or the device of "disk_id"
    std::string upload_url;

    // Bytes to scan; 0 when the start lies at or past the end.
    uint64_t length() const { return end > start_offset ? end - start_offset : 0; }
    const char* shown_id() const { return scan_id ? scan_id->c_str() : "?"; }
};

// Sizes a device or file: 0 when unknown.
using ScanDiskSizer = std::function<uint64_t(const std::string& path)>;

// The plan of a "stream_disk_chunks" request (its "d"). `disk_size` is asked only when the request
// gives no "total_size" (or 0). Nothing for a request that cannot be served as it stands (a
// chunk size out of range, a negative or huge offset or size), with the remote_scan_error text.
std::optional<ScanPlan> scan_make_plan(const cJSON* request, const ScanDiskSizer& disk_size, std::string* error);

// The error text for a plan whose start lies at or past the end of the disk; nothing when the
// range holds at least one byte.
std::optional<std::string> scan_check_extent(const ScanPlan& plan);

// Binds "stream_disk_chunks" and "cancel_remote_scan".
void scan_register();
