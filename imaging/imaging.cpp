// The imaging job. Sections: the part queue; request fields and names; the job record; the
// encoder and uploader stages; the job thread (preparing, reading, finishing); the handlers.
//
// Every job owns its state (context, queues, buffers and cancel flag) through a shared pointer
// held by each of its threads, so a stage that is still winding down never touches freed state,
// and an old job that is still stopping can neither see nor clear a newer job's cancel flag.
#include "imaging/imaging.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <cmath>
#include <ctime>
#include <future>
#include <optional>
#include <set>
#include <thread>

#include "core/config.h"
#include "core/json.h"
#include "core/log.h"
#include "core/util.h"
#include "disk/disks.h"
#include "imaging/chunk_upload.h"
#include "imaging/zvimg.h"
#include "net/proto.h"
#include "platform/disks.h"
#include "platform/files.h"
#include "platform/system.h"

// ---- Part queue ---------------------------------------------------------------------------------

void PartQueue::push(ImagePartPtr part) {
    std::unique_lock<std::mutex> guard(lock_);
    not_full_.wait(guard, [this] { return count_ < slots_.size(); });
    slots_[write_] = std::move(part);
    write_ = (write_ + 1) % slots_.size();
    ++count_;
    not_empty_.notify_one();
}

ImagePartPtr PartQueue::pop() {
    std::unique_lock<std::mutex> guard(lock_);
    not_empty_.wait(guard, [this] { return count_ > 0; });
    ImagePartPtr part = std::move(slots_[read_]);
    read_ = (read_ + 1) % slots_.size();
    --count_;
    not_full_.notify_one();
    return part;
}

namespace {

constexpr uint64_t kMiB = 1048576;
constexpr double kGiB = 1073741824.0;
constexpr size_t kReadPiece = 67108864;  // largest single read
constexpr size_t kMaxDiskName = 127;
constexpr size_t kMaxDiskId = 63;
constexpr auto kWorkerWait = std::chrono::milliseconds(660000);

// ---- Request fields -------------------------------------------------------------------------------

int int_field(const cJSON* d, const char* name, int fallback) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(d, name);
    return cJSON_IsNumber(item) ? item->valueint : fallback;
}

double number_field(const cJSON* d, const char* name, double fallback) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(d, name);
    return cJSON_IsNumber(item) ? item->valuedouble : fallback;
}

const char* string_field(const cJSON* d, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(d, name);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

// A batch id a resuming dashboard may hand back: the characters of our own ids and a little more.
bool valid_batch_id(const std::string& id) {
    if (id.empty() || id.size() > 63) return false;
    for (char c : id) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
    }
    return true;
}

int percent(uint64_t done, uint64_t total) { return total ? static_cast<int>(done * 100 / total) : 0; }

// ---- Job record ---------------------------------------------------------------------------------

struct Job {
    JsonPtr request;                  // deep copy of the request's "d"
    std::atomic<bool> cancel{false};  // this job's own flag
    std::atomic<bool> finished{false};

    // Context, fixed before the worker threads start.
    std::string base_url;
    std::string token;
    std::string batch_id;
    std::string disk_name;
    std::optional<std::string> existing_disk_id;

    std::mutex lock;                        // guards the three members below
    std::optional<std::string> first_error;
    int parts_uploaded = 0;
    std::string server_disk_id;             // "disk_id" of the first upload answer that had one

    PartQueue read_queue{2};
    PartQueue upload_queue{3};
    // Reading, the two queues, encoding (raw and encoded) and uploading hold at most eight part
    // buffers at once; all of them are reused from part to part.
    PartBufferPool pool{8};
    size_t buffer_capacity = 0;

    std::optional<std::string> error_text() {
        std::lock_guard<std::mutex> guard(lock);
        return first_error;
    }
    int uploaded() {
        std::lock_guard<std::mutex> guard(lock);
        return parts_uploaded;
    }
};

struct Record {
    std::mutex lock;
    std::shared_ptr<Job> current;  // the running job; null when none runs
    std::set<std::string> batch_ids;  // every batch id this process generated
};
Record* const g_record = new Record;  // used by detached job threads until the process ends

void send_job_error(const std::string& text) {
    cJSON* d = cJSON_CreateObject();
    cJSON_AddStringToObject(d, "error", text.c_str());
    proto_send("job_error", d);
}

std::string speed_text(uint64_t bytes_per_second) { return format_size(bytes_per_second) + "/s"; }

// The "disk_id" of an upload answer as text: a string, or an integer written out.
std::string answer_disk_id(const cJSON* answer) {
    const cJSON* id = cJSON_GetObjectItemCaseSensitive(answer, "disk_id");
    std::string text;
    if (cJSON_IsString(id)) {
        text = id->valuestring;
    } else if (cJSON_IsNumber(id) && std::trunc(id->valuedouble) == id->valuedouble &&
               std::fabs(id->valuedouble) < 9007199254740992.0) {
        text = std::to_string(static_cast<long long>(id->valuedouble));
    }
    return text.size() > kMaxDiskId ? text.substr(0, kMaxDiskId) : text;
}

// ---- Stages -------------------------------------------------------------------------------------

// Gives back the part in hand and every part still coming, up to the end marker.
void discard_rest(ImagePartPtr part, PartQueue& queue, PartBufferPool& pool) {
    for (; part; part = queue.pop()) pool.give(std::move(part->data));
}

void encoder_stage(const std::shared_ptr<Job>& job) {
    while (ImagePartPtr part = job->read_queue.pop()) {
        if (job->cancel.load()) {
            discard_rest(std::move(part), job->read_queue, job->pool);
            break;
        }
        PartBuffer encoded = job->pool.take(job->buffer_capacity);
        if (zvimg_encode_into(part->data.data(), part->length, encoded)) {
            const uint64_t raw = part->length;
            const uint64_t size = encoded.size();
            const double saved = raw ? (1.0 - static_cast<double>(size) / static_cast<double>(raw)) * 100.0 : 0.0;
            log_write(LOG_INFO, "  Part %d: zvimg %s -> %s (%.1f%% saved)", part->part_number,
                      format_size(raw).c_str(), format_size(size).c_str(), saved);
            job->pool.give(std::move(part->data));
            part->data = std::move(encoded);
            part->length = size;
            part->label = "zvimg";
        } else {
            log_write(LOG_WARN, "  Part %d: zvimg encode failed, sending raw", part->part_number);
            job->pool.give(std::move(encoded));
        }
        job->upload_queue.push(std::move(part));
    }
    job->upload_queue.push(nullptr);
}

void uploader_stage(const std::shared_ptr<Job>& job) {
    while (ImagePartPtr part = job->upload_queue.pop()) {
        if (job->cancel.load()) {
            discard_rest(std::move(part), job->upload_queue, job->pool);
            return;
        }
        const std::string size = format_size(part->length);
        log_write(LOG_INFO, "  Uploading part %d/%d (%s)...", part->part_number, part->total_parts, size.c_str());
        cJSON* d = cJSON_CreateObject();
        cJSON_AddStringToObject(d, "phase", "uploading");
        cJSON_AddNumberToObject(d, "part", part->part_number);
        cJSON_AddNumberToObject(d, "total_parts", part->total_parts);
        cJSON_AddNumberToObject(d, "parts_uploaded", job->uploaded());
        cJSON_AddStringToObject(d, "size", size.c_str());
        proto_send("imaging_progress", d);

        PartUpload upload;
        upload.base_url = job->base_url;
        upload.token = job->token;
        upload.data = part->data.data();
        upload.length = part->length;
        upload.batch_id = job->batch_id;
        upload.part_number = part->part_number;
        upload.total_parts = part->total_parts;
        upload.compression_label = part->label.empty() ? nullptr : &part->label;
        upload.original_size = part->original_size;
        upload.disk_name = job->disk_name;
        upload.existing_disk_id = job->existing_disk_id ? &*job->existing_disk_id : nullptr;
        upload.cancel = &job->cancel;
        std::string error;
        JsonPtr answer = upload_part_chunked(upload, &error);

        if (answer) {
            const std::string disk_id = answer_disk_id(answer.get());
            bool first_id = false;
            {
                std::lock_guard<std::mutex> guard(job->lock);
                ++job->parts_uploaded;
                if (job->server_disk_id.empty() && !disk_id.empty()) {
                    job->server_disk_id = disk_id;
                    first_id = true;
                }
            }
            if (first_id) log_write(LOG_INFO, "imaging: server disk id %s", disk_id.c_str());
            log_write(LOG_INFO, "  Upload OK part %d", part->part_number);
            job->pool.give(std::move(part->data));
            continue;
        }
        log_write(LOG_ERROR, "  Upload FAILED part %d: %s", part->part_number,
                  error.empty() ? "unknown" : error.c_str());
        send_job_error(error.empty() ? std::string("Upload failed \xE2\x80\x94 check network connection") : error);
        {
            std::lock_guard<std::mutex> guard(job->lock);
            if (!job->first_error) job->first_error = error.empty() ? std::string("Upload failed") : error;
        }
        discard_rest(std::move(part), job->upload_queue, job->pool);
        return;
    }
}

// Waits for a worker to end. Uploads of queued parts over a slow line may take long, and the
// worker still uses the job's state, so the wait goes on until it ends; it is only reported.
void wait_worker(std::thread& worker, std::future<void>& done, const char* name) {
    while (done.wait_for(kWorkerWait) != std::future_status::ready) {
        log_write(LOG_WARN, "imaging: still waiting for the %s", name);
    }
    worker.join();
}

// ---- Job thread ---------------------------------------------------------------------------------

struct Source {
    std::string path;
    uint64_t size = 0;
};

// Steps up to the reading: fields, names, source and size, guards. False after the job_error.
bool prepare(Job& job, Source* source, uint64_t* start_offset, uint64_t* amount, uint64_t* part_size,
             int* start_part, int* part_count) {
    const cJSON* d = job.request.get();
    const int disk_id = int_field(d, "disk_id", -1);
    const int part_size_mb = int_field(d, "part_size_mb", 500);
    const char* direct_url = string_field(d, "direct_url");
    const char* server_url = string_field(d, "server_url");
    const char* token = string_field(d, "token");
    const char* existing = string_field(d, "existing_disk_id");
    const char* file_path = string_field(d, "file_path");
    const char* batch_id = string_field(d, "batch_id");
    *start_part = int_field(d, "start_part_number", 1);
    const double start_offset_gb = number_field(d, "start_offset_gb", 0);
    const double image_size_gb = number_field(d, "image_size_gb", 0);

    job.base_url = direct_url ? direct_url : server_url ? server_url : config_server_url();
    job.token = token ? token : "";
    if (existing) job.existing_disk_id = existing;
    job.disk_name = imaging_clean_disk_name(string_field(d, "disk_name"), disk_id);

    const bool from_file = file_path && *file_path;
    if (!from_file) {
        source->path = disk_device_path(disk_id);
        source->size = get_disk_size(source->path);
        log_write(LOG_INFO, "imaging: %s (%s)%s", source->path.c_str(), format_size(source->size).c_str(), "");
        if (source->size == 0) {
            send_job_error("Could not determine disk size. Check permissions.");
            return false;
        }
    } else {
        source->path = file_path;
        RawFile* file = raw_open(source->path);
        const int64_t size = file ? raw_size(file) : -1;
        raw_close(file);
        source->size = size > 0 ? static_cast<uint64_t>(size) : 0;
        log_write(LOG_INFO, "imaging: %s (%s)%s", source->path.c_str(), format_size(source->size).c_str(), " [file]");
        if (source->size == 0) {
            send_job_error("File not found or empty.");
            return false;
        }
    }

    // Requests the reader cannot serve end here, before anything is read or sent.
    if (part_size_mb <= 0) {
        send_job_error("Invalid part size: part_size_mb must be at least 1");
        return false;
    }
    *part_size = static_cast<uint64_t>(part_size_mb) * kMiB;
    if (!zvimg_can_encode(*part_size)) {
        send_job_error("Invalid part size: part_size_mb must be at most 4095");
        return false;
    }
    if (!(start_offset_gb >= 0) || !(image_size_gb >= 0)) {
        send_job_error("Invalid start offset or image size");
        return false;
    }
    const double offset = std::floor(start_offset_gb * kGiB);
    if (offset >= static_cast<double>(source->size)) {
        send_job_error("Start offset is beyond the end of the source (" + format_size(source->size) + ")");
        return false;
    }
    *start_offset = static_cast<uint64_t>(offset);
    *amount = source->size - *start_offset;
    const double wanted = std::floor(image_size_gb * kGiB);
    if (wanted > 0 && wanted < static_cast<double>(*amount)) *amount = static_cast<uint64_t>(wanted);
    uint64_t count = (*amount + *part_size - 1) / *part_size;
    if (count == 0) count = 1;
    if (*start_part < 0 || count > static_cast<uint64_t>(INT_MAX - *start_part)) {
        send_job_error("Invalid start part number or too many parts");
        return false;
    }
    *part_count = static_cast<int>(count);

    if (batch_id) {
        if (!valid_batch_id(batch_id)) {
            send_job_error("Invalid batch_id");
            return false;
        }
        job.batch_id = batch_id;
    } else {
        job.batch_id = imaging_new_batch_id(std::time(nullptr));
    }
    return true;
}

void run_job(const std::shared_ptr<Job>& job) {
    Source source;
    uint64_t start_offset = 0, amount = 0, part_size = 0;
    int start_part = 1, part_count = 0;
    if (!prepare(*job, &source, &start_offset, &amount, &part_size, &start_part, &part_count)) return;
    const int last_part = start_part + part_count - 1;
    log_write(LOG_INFO, "imaging: %s in %d parts (part_size=%dMB, ZVIMG)", format_size(amount).c_str(), part_count,
              static_cast<int>(part_size / kMiB));

    job->buffer_capacity = static_cast<size_t>(zvimg_max_encoded_size(part_size));
    std::packaged_task<void()> encode_task([job] { encoder_stage(job); });
    std::packaged_task<void()> upload_task([job] { uploader_stage(job); });
    std::future<void> encoder_done = encode_task.get_future();
    std::future<void> uploader_done = upload_task.get_future();
    std::thread encoder(std::move(encode_task));
    std::thread uploader(std::move(upload_task));
    auto finish_pipeline = [&] {
        wait_worker(encoder, encoder_done, "encoder");
        wait_worker(uploader, uploader_done, "uploads");
    };

    RawFile* file = raw_open(source.path, true);
    if (!file) {
        send_job_error("Cannot open disk for reading");
        job->read_queue.push(nullptr);
        finish_pipeline();
        return;
    }

    const uint64_t start = sys_ticks_ms();
    uint64_t total_read = 0;
    uint64_t position = start_offset;
    bool failed = false;  // the job ends without its completion events
    for (int i = 0; i < part_count; ++i) {
        const int part_number = start_part + i;
        if (job->cancel.load()) {
            log_write(LOG_INFO, "imaging: cancelled by user");
            cJSON* d = cJSON_CreateObject();
            cJSON_AddBoolToObject(d, "cancelled", true);
            proto_send("imaging_progress", d);
            break;
        }
        if (auto error = job->error_text()) {
            log_write(LOG_ERROR, "imaging: upload error: %s", error->c_str());
            send_job_error(*error);
            failed = true;
            break;
        }
        cJSON* d = cJSON_CreateObject();
        cJSON_AddStringToObject(d, "phase", "reading");
        cJSON_AddNumberToObject(d, "part", part_number);
        cJSON_AddNumberToObject(d, "total_parts", last_part);
        cJSON_AddNumberToObject(d, "progress", percent(static_cast<uint64_t>(i), static_cast<uint64_t>(part_count)));
        proto_send("imaging_progress", d);

        const uint64_t left = amount - total_read;
        const uint64_t want = part_size < left ? part_size : left;
        if (want == 0) break;
        auto part = std::make_unique<ImagePart>();
        part->data = job->pool.take(job->buffer_capacity);
        if (!part->data.valid()) {
            // Stopping quietly would leave the image short while reporting it complete.
            log_write(LOG_ERROR, "imaging: malloc failed");
            send_job_error("Not enough memory to read part " + std::to_string(part_number));
            failed = true;
            break;
        }
        uint64_t got = 0;
        bool read_error = false;
        while (got < want) {
            const size_t piece = static_cast<size_t>(want - got < kReadPiece ? want - got : kReadPiece);
            const int64_t n = raw_read_at(file, position + got, part->data.data() + got, piece);
            if (n < 0) {
                read_error = true;
                break;
            }
            if (n == 0) break;
            got += static_cast<uint64_t>(n);
        }
        if (read_error) {
            // Going on would shift every later byte of the image; the image cannot be completed.
            log_write(LOG_ERROR, "imaging: read error at byte %llu", static_cast<unsigned long long>(position + got));
            send_job_error("Read error at byte " + std::to_string(position + got) + " of " + source.path);
            job->pool.give(std::move(part->data));
            failed = true;
            break;
        }
        if (got < want) {
            // A file that shrank or a device shorter than it said: the image would be short while
            // the job reported it complete.
            const std::string text = "Source ended at byte " + std::to_string(position + got) + " of " +
                                     source.path + ", expected " + std::to_string(start_offset + amount);
            log_write(LOG_ERROR, "imaging: %s", text.c_str());
            send_job_error(text);
            job->pool.give(std::move(part->data));
            failed = true;
            break;
        }
        position += got;
        total_read += got;

        const uint64_t elapsed = sys_ticks_ms() - start;
        const uint64_t speed = elapsed ? static_cast<uint64_t>(static_cast<double>(total_read) /
                                                               (static_cast<double>(elapsed) / 1000.0))
                                       : 0;
        const int u = job->uploaded();
        d = cJSON_CreateObject();
        cJSON_AddStringToObject(d, "phase", "pipeline");
        cJSON_AddNumberToObject(d, "part", part_number);
        cJSON_AddNumberToObject(d, "total_parts", last_part);
        cJSON_AddNumberToObject(d, "parts_uploaded", u);
        cJSON_AddNumberToObject(d, "progress", percent(static_cast<uint64_t>(u > i ? u : i),
                                                       static_cast<uint64_t>(part_count)));
        cJSON_AddStringToObject(d, "speed", speed_text(speed).c_str());
        proto_send("imaging_progress", d);

        part->length = got;
        part->data.set_size(static_cast<size_t>(got));
        part->original_size = got;
        part->part_number = part_number;
        part->total_parts = last_part;
        job->read_queue.push(std::move(part));
    }

    job->read_queue.push(nullptr);
    raw_close(file);
    log_write(LOG_INFO, "imaging: all parts read, waiting for pipeline...");
    finish_pipeline();

    if (!failed && !job->cancel.load() && !job->error_text()) {
        const double seconds = static_cast<double>(sys_ticks_ms() - start) / 1000.0;
        const uint64_t average =
            seconds > 0 ? static_cast<uint64_t>(static_cast<double>(amount) / seconds) : amount;
        const int uploaded = job->uploaded();
        log_write(LOG_INFO, "imaging: complete! %d parts in %.0fs (%s)", uploaded, seconds,
                  speed_text(average).c_str());
        cJSON* d = cJSON_CreateObject();
        cJSON_AddStringToObject(d, "phase", "pipeline");
        cJSON_AddNumberToObject(d, "part", last_part);
        cJSON_AddNumberToObject(d, "total_parts", last_part);
        cJSON_AddNumberToObject(d, "parts_uploaded", uploaded);
        cJSON_AddNumberToObject(d, "progress", 100);
        cJSON_AddStringToObject(d, "speed", speed_text(average).c_str());
        proto_send("imaging_progress", d);
        d = cJSON_CreateObject();
        cJSON_AddStringToObject(d, "batch_id", job->batch_id.c_str());
        cJSON_AddNumberToObject(d, "total_parts", part_count);
        proto_send("job_complete", d);
    }
}

void job_thread(std::shared_ptr<Job> job) {
    run_job(job);
    job->finished.store(true);
    std::lock_guard<std::mutex> guard(g_record->lock);
    if (g_record->current == job) g_record->current.reset();
}

// ---- Handlers -----------------------------------------------------------------------------------

void on_start_imaging(const cJSON* data) {
    std::lock_guard<std::mutex> guard(g_record->lock);
    const std::shared_ptr<Job>& running = g_record->current;
    if (running && !running->finished.load() && !running->cancel.load()) {
        log_write(LOG_INFO, "imaging: job already running, re-sending progress to browser");
        cJSON* d = cJSON_CreateObject();
        cJSON_AddStringToObject(d, "phase", "pipeline");
        cJSON_AddStringToObject(d, "status", "Job in progress (reconnected)");
        cJSON_AddNumberToObject(d, "progress", -1);
        proto_send("imaging_progress", d);
        return;
    }
    auto job = std::make_shared<Job>();
    job->request.reset(data && cJSON_IsObject(data) ? cJSON_Duplicate(data, true) : cJSON_CreateObject());
    if (!job->request) job->request.reset(cJSON_CreateObject());
    g_record->current = job;
    std::thread(job_thread, job).detach();
    log_write(LOG_INFO, "imaging: job started");
}

void on_cancel_job(const cJSON*) {
    log_write(LOG_INFO, "imaging: cancel requested");
    std::lock_guard<std::mutex> guard(g_record->lock);
    if (g_record->current) g_record->current->cancel.store(true);
}

}  // namespace

std::string imaging_clean_disk_name(const char* name, int disk_id) {
    std::string out;
    for (const char* p = name ? name : ""; *p && out.size() < kMaxDiskName; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_') {
            out += static_cast<char>(c);
        } else if (c == ' ') {
            out += '_';
        }
    }
    return out.empty() ? "Disk_" + std::to_string(disk_id) : out;
}

std::string imaging_new_batch_id(std::time_t now) {
    std::lock_guard<std::mutex> guard(g_record->lock);
    // Two jobs within one second, or a clock set back, must not share a batch id: the server would
    // take the second job's parts for the first one's. Each id is a second no earlier job took.
    for (std::time_t second = now;; ++second) {
        std::tm local{};
        sys_localtime(second, &local);
        char text[32];
        std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
        if (g_record->batch_ids.insert(text).second) return text;
    }
}

void imaging_register() {
    proto_on("start_imaging", on_start_imaging);
    proto_on("upload_local_file", on_start_imaging);
    proto_on("cancel_job", on_cancel_job);
}
