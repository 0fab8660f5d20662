// The remote scan job. Sections: request fields and the plan; events; the multipart body and its
// upload with retries; the chunk loop; the job thread; the handlers.
//
// Each scan owns its state (plan, request copy, cancel flag) through a shared pointer held by its
// thread and by the module record while it runs, so the cancel handler never reaches freed state
// and an old scan still ending can neither see nor clear a newer scan's flag.
#include "scan/scan_job.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "core/config.h"
#include "core/json.h"
#include "core/log.h"
#include "core/periods.h"
#include "core/util.h"
#include "disk/disks.h"
#include "net/http_json.h"
#include "net/multipart.h"
#include "net/proto.h"
#include "platform/disks.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "scan/fs_tree.h"
#include "scan/scan_match.h"

namespace {

constexpr uint64_t kMiB = 1048576;
constexpr int kAttempts = 3;
constexpr uint32_t kRetryPauseMs[kAttempts - 1] = {5000, 10000};  // after the first and second failures

// ---- Request fields ------------------------------------------------------------------------------

// A number field: `fallback` when absent, 0 when it holds anything but a number.
double number_field(const cJSON* d, const char* name, double fallback) {
    const cJSON* item = json_item(d, name);
    if (!item) return fallback;
    return cJSON_IsNumber(item) ? item->valuedouble : 0;
}

// A byte count or offset, rounded down; false for a negative, not-a-number or too large value,
// which has no unsigned 64-bit form (converting it would be undefined, or wrap on some systems).
bool to_u64(double value, uint64_t* out) {
    if (!(value >= 0) || value >= 18446744073709551616.0) return false;
    *out = static_cast<uint64_t>(std::floor(value));
    return true;
}

// ---- Job record ----------------------------------------------------------------------------------

struct Job {
    JsonPtr request;                   // deep copy of the request's "d"; read by the scan thread only
    std::atomic<bool> cancel{false};   // this scan's own flag
    std::atomic<bool> finished{false}; // set by the scan thread before it clears the record
};

struct Record {
    std::mutex lock;
    std::shared_ptr<Job> current;  // the running scan; null when none runs
};
Record* const g_record = new Record;  // used by detached scan threads until the process ends

// ---- Events --------------------------------------------------------------------------------------

cJSON* event_data(const ScanPlan& plan) {
    cJSON* d = cJSON_CreateObject();
    if (plan.scan_id) cJSON_AddStringToObject(d, "scan_id", plan.scan_id->c_str());
    return d;
}

void send_error(const ScanPlan* plan, const std::string& text) {
    cJSON* d = plan ? event_data(*plan) : cJSON_CreateObject();
    cJSON_AddStringToObject(d, "error", text.c_str());
    proto_send("remote_scan_error", d);
}

void send_progress(const ScanPlan& plan, uint64_t offset, int chunk_index) {
    cJSON* d = event_data(plan);
    cJSON_AddNumberToObject(d, "offset", static_cast<double>(offset));
    cJSON_AddNumberToObject(d, "total_size", static_cast<double>(plan.length()));
    cJSON_AddNumberToObject(d, "chunk_index", chunk_index);
    proto_send("stream_chunk_progress", d);
}

void send_complete(const ScanPlan& plan, const std::vector<uint64_t>& failed_chunks) {
    cJSON* d = event_data(plan);
    cJSON_AddStringToObject(d, "status", "complete");
    // A chunk given up after its retries leaves a hole the dashboard must be able to see.
    if (!failed_chunks.empty()) {
        cJSON* list = cJSON_AddArrayToObject(d, "failed_chunks");
        for (uint64_t offset : failed_chunks) cJSON_AddItemToArray(list, cJSON_CreateNumber(static_cast<double>(offset)));
    }
    proto_send("stream_chunk_complete", d);
}

// Reads the tree of the volume at byte 0 and sends it when it has any entry. A device that cannot
// be opened here simply has no tree; the chunk reads report it.
void send_tree(const ScanPlan& plan) {
    std::string reason;
    RawFile* file = raw_open(plan.device, false, &reason);
    if (!file) {
        log_write(LOG_WARN, "scan: no directory tree, cannot open %s: %s", plan.device.c_str(), reason.c_str());
        return;
    }
    DirTree tree;
    fs_tree_read(file, plan.total, &tree);
    raw_close(file);
    if (tree.truncated) {
        log_write(LOG_WARN, "scan: directory tree cut short at %zu entries (a size or depth limit was reached)",
                  tree.entries.size());
    }
    if (tree.entries.empty()) return;
    cJSON* d = event_data(plan);
    cJSON* wrapped = cJSON_AddObjectToObject(d, "directory_tree");
    cJSON_AddStringToObject(wrapped, "fs_type", tree.fs_type.c_str());
    cJSON* list = cJSON_AddArrayToObject(wrapped, "entries");
    for (const TreeEntry& entry : tree.entries) {
        cJSON* item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "name", entry.name.c_str());
        cJSON_AddStringToObject(item, "path", entry.path.c_str());
        cJSON_AddNumberToObject(item, "size", static_cast<double>(entry.size));
        cJSON_AddBoolToObject(item, "is_dir", entry.is_dir);
        cJSON_AddNumberToObject(item, "cluster", entry.cluster);
        cJSON_AddItemToArray(list, item);
    }
    const size_t count = tree.entries.size();
    proto_send("directory_tree", d);
    log_write(LOG_INFO, "scan: sent directory tree (%d entries)", static_cast<int>(count));
}

// ---- Upload --------------------------------------------------------------------------------------

// One chunk's upload body, in one block; false when memory cannot be had.
bool build_body(std::string& body, const std::string& boundary, const ScanPlan& plan, uint64_t offset, uint64_t got,
                const std::string& results, const std::string& index, const std::vector<ScanRegion>& regions) {
    try {
        body.clear();
        body.reserve(static_cast<size_t>(scan_region_blob_size(regions)) + results.size() + index.size() + 1024);
        multipart_field(body, boundary, "scan_id", plan.scan_id ? *plan.scan_id : std::string());
        multipart_field(body, boundary, "offset", std::to_string(offset));
        multipart_field(body, boundary, "chunk_size", std::to_string(got));
        multipart_field(body, boundary, "scan_results", results);
        multipart_field(body, boundary, "region_index", index);
        multipart_file_head(body, boundary, "regions", "regions.bin");
        if (!scan_region_blob_append(regions, &body)) return false;
        body += multipart_end(boundary);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// Posts the body until the server takes it, at most three times; false when it was given up.
bool post_chunk(const ScanPlan& plan, const std::string& body, const std::string& boundary) {
    const std::string content_type = "multipart/form-data; boundary=" + boundary;
    for (int attempt = 1;; ++attempt) {
        std::string error;
        if (http_post_json(plan.upload_url, body.data(), body.size(), content_type, &error)) return true;
        const char* shown = error.empty() ? "?" : error.c_str();
        if (attempt == kAttempts) {
            log_write(LOG_ERROR, "scan: chunk upload failed: %s", shown);
            return false;
        }
        log_write(LOG_WARN, "scan: chunk upload failed: %s, retrying...", shown);
        sys_sleep_ms(period_ms(kRetryPauseMs[attempt - 1]));
    }
}

// ---- Chunk loop ----------------------------------------------------------------------------------

enum class ChunkEnd { sent, given_up, failed };

// Matches, encodes and uploads one chunk; `failed` after its remote_scan_error.
ChunkEnd process_chunk(const ScanPlan& plan, const ScanSettings& settings, uint64_t pos, const uint8_t* data,
                       uint64_t got, std::string& body) {
    ScanResult result;
    std::vector<ScanRegion> regions;
    const bool matched = scan_match_chunk(pos, data, got, settings, &result);
    const RegionsLeftOut left_out = scan_select_regions(pos, data, got, result, &regions);
    if (left_out.count > 0) {
        log_write(LOG_WARN, "scan: chunk at %llu: %llu regions (%s) left out of the upload, over the %s cap",
                  static_cast<unsigned long long>(pos), static_cast<unsigned long long>(left_out.count),
                  format_size(left_out.bytes).c_str(), format_size(SCAN_REGION_BLOB_CAP).c_str());
    }
    const std::optional<std::string> results = matched ? scan_results_json(result) : std::nullopt;
    const std::optional<std::string> index = results ? scan_region_index_json(regions) : std::nullopt;
    const std::string boundary = multipart_boundary("----ScanBoundary");
    if (!index || !build_body(body, boundary, plan, pos, got, *results, *index, regions)) {
        // Sending a chunk without all its hits would look like a chunk without them.
        const std::string text = "Not enough memory for the results of the chunk at byte " + std::to_string(pos);
        log_write(LOG_ERROR, "scan: %s", text.c_str());
        send_error(&plan, text);
        return ChunkEnd::failed;
    }
    return post_chunk(plan, body, boundary) ? ChunkEnd::sent : ChunkEnd::given_up;
}

// Fills `into` with up to `want` bytes from `offset`: the count read, short only at the true end.
// False on a read error, with the offset of the byte that could not be read in *at.
bool read_chunk(RawFile* file, uint64_t offset, uint64_t want, uint8_t* into, uint64_t* got, uint64_t* at,
                std::string* reason) {
    *got = 0;
    while (*got < want) {
        const int64_t n = raw_read_at(file, offset + *got, into + *got, static_cast<size_t>(want - *got));
        if (n < 0) {
            *reason = sys_error_text(sys_last_error());
            *at = offset + *got;
            return false;
        }
        if (n == 0) break;
        *got += static_cast<uint64_t>(n);
    }
    return true;
}

// The last event of a scan, sent once its record is cleared.
struct Outcome {
    bool complete = false;
    std::vector<uint64_t> failed_chunks;
};

Outcome run_chunks(Job& job, const ScanPlan& plan, RawFile* file) {
    Outcome outcome;
    if (auto error = scan_check_extent(plan)) {
        log_write(LOG_ERROR, "scan: %s", error->c_str());
        send_error(&plan, *error);
        return outcome;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[static_cast<size_t>(plan.chunk_size)]);
    if (!buffer) {
        const std::string text = "Not enough memory for a chunk of " + format_size(plan.chunk_size);
        log_write(LOG_ERROR, "scan: %s", text.c_str());
        send_error(&plan, text);
        return outcome;
    }
    const ScanSettings settings = scan_settings_read(json_item(job.request.get(), "scan_config"));
    std::string body;  // reused from chunk to chunk
    uint64_t pos = plan.start_offset;
    int chunks = 0;
    while (pos < plan.end) {
        if (job.cancel.load()) break;
        const uint64_t want = std::min<uint64_t>(static_cast<uint64_t>(plan.chunk_size), plan.end - pos);
        uint64_t got = 0, at = 0;
        std::string reason;
        if (!read_chunk(file, pos, want, buffer.get(), &got, &at, &reason)) {
            // Reporting the scan complete would hide that the rest of the range was never looked at.
            log_write(LOG_ERROR, "scan: read error at byte %llu of %s: %s", static_cast<unsigned long long>(at),
                      plan.device.c_str(), reason.c_str());
            send_error(&plan, "Read error at byte " + std::to_string(at));
            return outcome;
        }
        if (got == 0) break;  // the device ended before the size the request gave
        const ChunkEnd end = process_chunk(plan, settings, pos, buffer.get(), got, body);
        if (end == ChunkEnd::failed) return outcome;
        if (end == ChunkEnd::given_up) outcome.failed_chunks.push_back(pos);
        ++chunks;
        send_progress(plan, pos + got, chunks);
        pos += got;
        if (got < want) break;  // the true end
    }
    if (job.cancel.load()) return outcome;
    log_write(LOG_INFO, "scan: complete, %d chunks processed", chunks);
    outcome.complete = true;
    return outcome;
}

// ---- Job thread ----------------------------------------------------------------------------------

// Runs the scan; what to send once the record is cleared (nothing after an error or a cancel).
std::optional<std::pair<ScanPlan, Outcome>> run_scan(Job& job) {
    std::string error;
    std::optional<ScanPlan> plan = scan_make_plan(job.request.get(), [](const std::string& path) {
        std::string reason;
        const uint64_t size = get_disk_size(path, &reason);
        if (size == 0 && !reason.empty()) log_write(LOG_WARN, "scan: cannot size %s: %s", path.c_str(), reason.c_str());
        return size;
    }, &error);
    if (!plan) {
        const char* id = json_string(job.request.get(), "scan_id");
        log_write(LOG_ERROR, "scan: request refused (scan_id=%s): %s", id ? id : "?", error.c_str());
        ScanPlan shown;
        if (id) shown.scan_id = id;
        send_error(&shown, error);
        return std::nullopt;
    }
    log_write(LOG_INFO, "scan: starting %s scan_id=%s chunk=%dMB", format_size(plan->length()).c_str(),
              plan->shown_id(), static_cast<int>(static_cast<uint64_t>(plan->chunk_size) / kMiB));
    send_progress(*plan, plan->start_offset, 0);
    send_tree(*plan);

    std::string reason;
    RawFile* file = raw_open(plan->device, true, &reason);
    if (!file) {
        log_write(LOG_ERROR, "scan: cannot open %s: %s", plan->device.c_str(), reason.c_str());
        send_error(&*plan, "Cannot open disk for scanning");
        return std::nullopt;
    }
    Outcome outcome = run_chunks(job, *plan, file);
    raw_close(file);
    if (!outcome.complete) return std::nullopt;
    return std::make_pair(std::move(*plan), std::move(outcome));
}

void scan_thread(const std::shared_ptr<Job>& job) {
    const auto last = run_scan(*job);
    job->finished.store(true);
    {
        std::lock_guard<std::mutex> guard(g_record->lock);
        if (g_record->current == job) g_record->current.reset();
    }
    // After the record is cleared: a dashboard that starts the next scan as soon as it sees the end
    // of this one must find none running.
    if (last) send_complete(last->first, last->second.failed_chunks);
}

// ---- Handlers ------------------------------------------------------------------------------------

void on_stream_disk_chunks(const cJSON* data) {
    std::lock_guard<std::mutex> guard(g_record->lock);
    if (g_record->current && !g_record->current->finished.load()) {
        log_write(LOG_WARN, "scan: request refused, a scan is running");
        send_error(nullptr, "Remote scan already in progress");
        return;
    }
    auto job = std::make_shared<Job>();
    job->request.reset(cJSON_IsObject(data) ? cJSON_Duplicate(data, true) : cJSON_CreateObject());
    if (!job->request) job->request.reset(cJSON_CreateObject());
    std::string error;
    if (!thread_start_detached([job] { scan_thread(job); }, &error)) {
        log_write(LOG_ERROR, "scan: cannot start the scan thread: %s", error.c_str());
        return;
    }
    g_record->current = job;
}

void on_cancel_remote_scan(const cJSON*) {
    log_write(LOG_INFO, "scan: cancel requested");
    std::lock_guard<std::mutex> guard(g_record->lock);
    if (g_record->current) g_record->current->cancel.store(true);
}

}  // namespace

std::optional<ScanPlan> scan_make_plan(const cJSON* d, const ScanDiskSizer& disk_size, std::string* error) {
    ScanPlan plan;
    if (const char* id = json_string(d, "scan_id")) plan.scan_id = id;
    const cJSON* chunk = json_item(d, "chunk_size");
    const int chunk_size = !chunk ? SCAN_DEFAULT_CHUNK_SIZE : cJSON_IsNumber(chunk) ? chunk->valueint : 0;
    if (chunk_size <= 0 || chunk_size > SCAN_MAX_CHUNK_SIZE) {
        *error = "Invalid chunk_size " + std::to_string(chunk_size) + ": it must be 1 to " +
                 std::to_string(SCAN_MAX_CHUNK_SIZE) + " bytes";
        return std::nullopt;
    }
    plan.chunk_size = chunk_size;
    uint64_t scan_size = 0, total_size = 0;
    if (!to_u64(number_field(d, "start_offset", 0), &plan.start_offset)) {
        *error = "Invalid start_offset: it must be a byte offset of 0 or more";
        return std::nullopt;
    }
    if (!to_u64(number_field(d, "scan_size", 0), &scan_size)) {
        *error = "Invalid scan_size: it must be a byte count of 0 or more";
        return std::nullopt;
    }
    if (!to_u64(number_field(d, "total_size", 0), &total_size)) {
        *error = "Invalid total_size: it must be a byte count of 0 or more";
        return std::nullopt;
    }
    const char* token = json_string(d, "upload_token");
    const char* direct_url = json_string(d, "direct_url");
    const char* server_url = json_string(d, "server_url");
    const std::string base = direct_url ? direct_url : server_url ? server_url : config_server_url();
    plan.upload_url = base + "/api/remote/scanned_chunk?token=" + (token ? token : "");
    if (plan.upload_url.size() > SCAN_MAX_URL) plan.upload_url.resize(SCAN_MAX_URL);

    // An image file or a device named by path takes the place of the disk number.
    const char* disk_path = json_string(d, "disk_path");
    const cJSON* disk_id = json_item(d, "disk_id");
    const int number = !disk_id ? -1 : cJSON_IsNumber(disk_id) ? disk_id->valueint : 0;
    plan.device = disk_path && *disk_path ? std::string(disk_path) : disk_device_path(number);
    plan.total = total_size ? total_size : disk_size(plan.device);
    // Compared without adding, so a huge scan_size cannot wrap past the end.
    plan.end = scan_size == 0 || scan_size > plan.total || plan.start_offset > plan.total - scan_size
                   ? plan.total
                   : plan.start_offset + scan_size;
    return plan;
}

std::optional<std::string> scan_check_extent(const ScanPlan& plan) {
    if (plan.start_offset < plan.end) return std::nullopt;
    return "Start offset " + std::to_string(plan.start_offset) + " is at or past the end of the disk (" +
           std::to_string(plan.total) + " bytes)";
}

void scan_register() {
    proto_on("stream_disk_chunks", on_stream_disk_chunks);
    proto_on("cancel_remote_scan", on_cancel_remote_scan);
}
