// The imaging job. Sections: the part queue; the plan (request fields, names, source and size,
// batch ids); the job record; the progress sender; the encoder and uploader stages; the reader;
// the job thread (start of the pipeline, finishing); the handlers.
//
// Every job owns its state (plan, queues, buffers and cancel flag) through a shared pointer held by
// each of its threads, so a stage that is still winding down never touches freed state, and an old
// job that is still stopping can neither see nor clear a newer job's cancel flag.
#include "imaging/imaging.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <functional>
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
#include "platform/error.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/thread.h"

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

// A batch id a resuming dashboard may hand back: the characters of our own ids and a little more.
bool valid_batch_id(const std::string& id) {
    if (id.empty() || id.size() > 63) return false;
    for (char c : id) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (!((u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || c == '-' || c == '_')) {
            return false;
        }
    }
    return true;
}

// The source and its size, from "file_path" or the disk number. False with the job_error text.
bool plan_source(const cJSON* d, int disk_id, ImagingPlan& plan, std::string* error) {
    const char* file_path = json_string(d, "file_path");
    plan.from_file = file_path && *file_path;
    plan.source = plan.from_file ? std::string(file_path) : disk_device_path(disk_id);
    std::string reason;
    plan.source_size = get_disk_size(plan.source, &reason);
    log_write(LOG_INFO, "imaging: %s (%s)%s", plan.source.c_str(), format_size(plan.source_size).c_str(),
              plan.from_file ? " [file]" : "");
    if (plan.source_size > 0) return true;
    if (!reason.empty()) log_write(LOG_WARN, "imaging: cannot size %s: %s", plan.source.c_str(), reason.c_str());
    *error = plan.from_file ? "File not found or empty." : "Could not determine disk size. Check permissions.";
    return false;
}

// Offsets, part size and count. False with the job_error text for requests the reader cannot
// serve, before anything is read or sent.
bool plan_extent(const cJSON* d, ImagingPlan& plan, std::string* error) {
    const int part_size_mb = json_int(d, "part_size_mb", 500);
    const double start_offset_gb = json_number(d, "start_offset_gb", 0);
    const double image_size_gb = json_number(d, "image_size_gb", 0);
    plan.first_part = json_int(d, "start_part_number", 1);
    if (part_size_mb <= 0) {
        *error = "Invalid part size: part_size_mb must be at least 1";
        return false;
    }
    plan.part_size = static_cast<uint64_t>(part_size_mb) * kMiB;
    if (!zvimg_can_encode(plan.part_size)) {
        *error = "Invalid part size: part_size_mb must be at most 4095";
        return false;
    }
    if (!(start_offset_gb >= 0) || !(image_size_gb >= 0)) {
        *error = "Invalid start offset or image size";
        return false;
    }
    const double offset = std::floor(start_offset_gb * kGiB);
    if (offset >= static_cast<double>(plan.source_size)) {
        *error = "Start offset is beyond the end of the source (" + format_size(plan.source_size) + ")";
        return false;
    }
    plan.start_offset = static_cast<uint64_t>(offset);
    plan.amount = plan.source_size - plan.start_offset;
    const double wanted = std::floor(image_size_gb * kGiB);
    if (wanted > 0 && wanted < static_cast<double>(plan.amount)) plan.amount = static_cast<uint64_t>(wanted);
    const uint64_t count = std::max<uint64_t>(1, (plan.amount + plan.part_size - 1) / plan.part_size);
    if (plan.first_part < 0 || count > static_cast<uint64_t>(INT_MAX - plan.first_part)) {
        *error = "Invalid start part number or too many parts";
        return false;
    }
    plan.part_count = static_cast<int>(count);
    return true;
}

// ---- Job record ---------------------------------------------------------------------------------

struct Job {
    JsonPtr request;                  // deep copy of the request's "d"; read by the job thread only
    ImagingPlan plan;                 // made by the job thread before the workers start, then fixed
    std::atomic<bool> cancel{false};  // this job's own flag
    std::atomic<bool> finished{false};

    std::mutex lock;                        // guards the three members below
    std::optional<std::string> first_error;
    int parts_uploaded = 0;
    std::string server_disk_id;             // "disk_id" of the first upload answer that had one

    PartQueue read_queue{2};
    PartQueue upload_queue{3};
    // Every part is read, encoded and sent from one buffer of this size, taken from the shared
    // pool: its byte budget, not only the queues, bounds what the parts in flight hold.
    size_t buffer_capacity = 0;  // fixed before the workers start

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
    std::shared_ptr<Job> current;     // the running job; null when none runs
    std::set<std::string> batch_ids;  // every batch id this process generated
};
Record* const g_record = new Record;  // used by detached job threads until the process ends

void send_job_error(const std::string& text) {
    cJSON* d = cJSON_CreateObject();
    cJSON_AddStringToObject(d, "error", text.c_str());
    proto_send("job_error", d);
}

// ---- Progress -----------------------------------------------------------------------------------

int percent(uint64_t done, uint64_t total) { return total ? static_cast<int>(done * 100 / total) : 0; }

std::string speed_text(uint64_t bytes_per_second) { return format_size(bytes_per_second) + "/s"; }

// Every "imaging_progress" of a job, from the reader and from the uploader. "total_parts" is the
// number of the job's last part.
struct Progress {
    const ImagingPlan& plan;

    void reading(int index) const {
        cJSON* d = begin("reading", plan.first_part + index);
        cJSON_AddNumberToObject(d, "progress", percent(static_cast<uint64_t>(index), count()));
        proto_send("imaging_progress", d);
    }
    // After part `index` was read.
    void read(int index, int uploaded, uint64_t speed) const {
        const uint64_t done = static_cast<uint64_t>(uploaded > index ? uploaded : index);
        pipeline(plan.first_part + index, uploaded, percent(done, count()), speed);
    }
    // The job completed: every part uploaded.
    void complete(int uploaded, uint64_t speed) const { pipeline(plan.last_part(), uploaded, 100, speed); }
    void uploading(int part, int uploaded, uint64_t length) const {
        cJSON* d = begin("uploading", part);
        cJSON_AddNumberToObject(d, "parts_uploaded", uploaded);
        cJSON_AddStringToObject(d, "size", format_size(length).c_str());
        proto_send("imaging_progress", d);
    }
    static void cancelled() {
        cJSON* d = cJSON_CreateObject();
        cJSON_AddBoolToObject(d, "cancelled", true);
        proto_send("imaging_progress", d);
    }
    static void reconnected() {
        cJSON* d = cJSON_CreateObject();
        cJSON_AddStringToObject(d, "phase", "pipeline");
        cJSON_AddStringToObject(d, "status", "Job in progress (reconnected)");
        cJSON_AddNumberToObject(d, "progress", -1);
        proto_send("imaging_progress", d);
    }

private:
    void pipeline(int part, int uploaded, int progress, uint64_t speed) const {
        cJSON* d = begin("pipeline", part);
        cJSON_AddNumberToObject(d, "parts_uploaded", uploaded);
        cJSON_AddNumberToObject(d, "progress", progress);
        cJSON_AddStringToObject(d, "speed", speed_text(speed).c_str());
        proto_send("imaging_progress", d);
    }
    uint64_t count() const { return static_cast<uint64_t>(plan.part_count); }
    cJSON* begin(const char* phase, int part) const {
        cJSON* d = cJSON_CreateObject();
        cJSON_AddStringToObject(d, "phase", phase);
        cJSON_AddNumberToObject(d, "part", part);
        cJSON_AddNumberToObject(d, "total_parts", plan.last_part());
        return d;
    }
};

// ---- Stages -------------------------------------------------------------------------------------

// Gives back the part in hand and every part still coming, up to the end marker.
void discard_rest(ImagePartPtr part, PartQueue& queue) {
    for (; part; part = queue.pop()) part_buffer_pool().give(std::move(part->data));
}

// Ends the ZVIMG form the reader built in the part's buffer; a part the reader could not begin
// encoding travels raw.
void encode_part(ImagePart& part) {
    if (!part.encoding) {
        log_write(LOG_WARN, "  Part %d: zvimg encode failed, sending raw", part.part_number);
        return;
    }
    uint64_t begin = 0, size = 0;
    part.encoding->finish(&begin, &size);
    part.encoding.reset();
    const uint64_t raw = part.length;
    const double saved = raw ? (1.0 - static_cast<double>(size) / static_cast<double>(raw)) * 100.0 : 0.0;
    log_write(LOG_INFO, "  Part %d: zvimg %s -> %s (%.1f%% saved)", part.part_number, format_size(raw).c_str(),
              format_size(size).c_str(), saved);
    part.begin = begin;
    part.length = size;
    part.label = "zvimg";
}

void encoder_stage(const std::shared_ptr<Job>& job) {
    while (ImagePartPtr part = job->read_queue.pop()) {
        if (job->cancel.load()) {
            discard_rest(std::move(part), job->read_queue);
            break;
        }
        encode_part(*part);
        job->upload_queue.push(std::move(part));
    }
    job->upload_queue.push(nullptr);
}

// The "disk_id" of an upload answer as text: a string, or an integer written out.
std::string answer_disk_id(const cJSON* answer) {
    const cJSON* id = json_item(answer, "disk_id");
    std::string text;
    if (cJSON_IsString(id)) {
        text = id->valuestring;
    } else if (cJSON_IsNumber(id) && std::trunc(id->valuedouble) == id->valuedouble &&
               std::fabs(id->valuedouble) < 9007199254740992.0) {
        text = std::to_string(static_cast<long long>(id->valuedouble));
    }
    return text.size() > kMaxDiskId ? text.substr(0, kMaxDiskId) : text;
}

void record_uploaded(Job& job, const cJSON* answer) {
    const std::string disk_id = answer_disk_id(answer);
    bool first_id = false;
    {
        std::lock_guard<std::mutex> guard(job.lock);
        ++job.parts_uploaded;
        if (job.server_disk_id.empty() && !disk_id.empty()) {
            job.server_disk_id = disk_id;
            first_id = true;
        }
    }
    if (first_id) log_write(LOG_INFO, "imaging: server disk id %s", disk_id.c_str());
}

// Uploads one part over the uploader's client; the error text when it could not be.
std::optional<std::string> upload_part(Job& job, const ImagePart& part, HttpClient& client) {
    const ImagingPlan& plan = job.plan;
    PartUpload upload;
    upload.base_url = plan.base_url;
    upload.token = plan.token;
    upload.data = part.bytes();
    upload.length = part.length;
    upload.batch_id = plan.batch_id;
    upload.part_number = part.part_number;
    upload.total_parts = part.total_parts;
    upload.compression_label = part.label.empty() ? nullptr : &part.label;
    upload.original_size = part.original_size;
    upload.disk_name = plan.disk_name;
    upload.existing_disk_id = plan.existing_disk_id ? &*plan.existing_disk_id : nullptr;
    upload.cancel = &job.cancel;
    upload.client = &client;
    std::string error;
    JsonPtr answer = upload_part_chunked(upload, &error);
    if (!answer) return error;
    record_uploaded(job, answer.get());
    return std::nullopt;
}

void uploader_stage(const std::shared_ptr<Job>& job) {
    const Progress progress{job->plan};
    HttpClient client;  // one kept-alive connection for every chunk of every part
    while (ImagePartPtr part = job->upload_queue.pop()) {
        if (job->cancel.load()) {
            discard_rest(std::move(part), job->upload_queue);
            return;
        }
        log_write(LOG_INFO, "  Uploading part %d/%d (%s)...", part->part_number, part->total_parts,
                  format_size(part->length).c_str());
        progress.uploading(part->part_number, job->uploaded(), part->length);
        const std::optional<std::string> error = upload_part(*job, *part, client);
        if (!error) {
            log_write(LOG_INFO, "  Upload OK part %d", part->part_number);
            part_buffer_pool().give(std::move(part->data));
            continue;
        }
        log_write(LOG_ERROR, "  Upload FAILED part %d: %s", part->part_number,
                  error->empty() ? "unknown" : error->c_str());
        send_job_error(error->empty() ? std::string("Upload failed \xE2\x80\x94 check network connection") : *error);
        {
            std::lock_guard<std::mutex> guard(job->lock);
            if (!job->first_error) job->first_error = error->empty() ? std::string("Upload failed") : *error;
        }
        discard_rest(std::move(part), job->upload_queue);
        return;
    }
}

// A worker thread and the sign that its stage has returned.
struct Worker {
    std::optional<std::thread> thread;
    std::future<void> done;
};

// Starts a stage on a thread of its own; false (with the reason) when it could not be started.
bool start_worker(Worker& worker, std::function<void()> stage, std::string* error) {
    auto done = std::make_shared<std::promise<void>>();
    worker.done = done->get_future();
    worker.thread = thread_spawn(
        [stage = std::move(stage), done] {
            stage();
            done->set_value();
        },
        error);
    return worker.thread.has_value();
}

// Waits for a worker to end. Uploads of queued parts over a slow line may take long, and the
// worker still uses the job's state, so the wait goes on until it ends; it is only reported.
void wait_worker(Worker& worker, const char* name) {
    if (!worker.thread) return;
    while (worker.done.wait_for(kWorkerWait) != std::future_status::ready) {
        log_write(LOG_WARN, "imaging: still waiting for the %s", name);
    }
    worker.thread->join();
}

// ---- Reader -------------------------------------------------------------------------------------

enum class ReadEnd { done, cancelled, failed };

// Fills `into` with `want` bytes from `offset`. Returns the count read: less than `want` when the
// source ended, with *error set when a read failed.
uint64_t read_span(RawFile* file, uint64_t offset, size_t want, uint8_t* into, std::string* error) {
    uint64_t got = 0;
    while (got < want) {
        const int64_t n = raw_read_at(file, offset + got, into + got, static_cast<size_t>(want - got));
        if (n < 0) {
            *error = sys_error_text(sys_last_error());
            break;
        }
        if (n == 0) break;
        got += static_cast<uint64_t>(n);
    }
    return got;
}

// Reads `want` bytes from `offset` into the part in pieces of at most 64 MiB (whole blocks), each
// one sorted into the part's ZVIMG form as soon as it is in when the part is being encoded.
uint64_t read_into_part(RawFile* file, uint64_t offset, uint64_t want, ImagePart& part, std::string* error) {
    uint64_t got = 0;
    while (got < want) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(want - got, kReadPiece));
        uint8_t* into = part.encoding ? part.encoding->next_piece() : part.data.data() + got;
        const uint64_t n = read_span(file, offset + got, piece, into, error);
        got += n;
        if (n < piece) break;
        if (part.encoding) part.encoding->add(n);
    }
    return got;
}

// Reads part `index`; nothing after the job_error.
ImagePartPtr read_part(Job& job, RawFile* file, int index, uint64_t position, uint64_t want) {
    const ImagingPlan& plan = job.plan;
    const int part_number = plan.first_part + index;
    auto part = std::make_unique<ImagePart>();
    // Waits while the parts in flight hold the pool's budget; never for fewer than one part per
    // stage (reading, encoding, uploading).
    part->data = part_buffer_pool().take(job.buffer_capacity, 3);
    if (!part->data.valid()) {
        // Stopping quietly would leave the image short while reporting it complete.
        log_write(LOG_ERROR, "imaging: malloc failed");
        send_job_error("Not enough memory to read part " + std::to_string(part_number));
        return nullptr;
    }
    part->encoding.emplace();
    if (!part->encoding->start(part->data.data(), want)) part->encoding.reset();
    std::string reason;
    const uint64_t got = read_into_part(file, position, want, *part, &reason);
    if (got < want) {
        // Going on would shift every later byte of the image; and a file that shrank or a device
        // shorter than it said would leave the image short while the job reported it complete.
        const std::string where = std::to_string(position + got) + " of " + plan.source;
        const std::string text = reason.empty() ? "Source ended at byte " + where + ", expected " +
                                                      std::to_string(plan.start_offset + plan.amount)
                                                : "Read error at byte " + where + ": " + reason;
        log_write(LOG_ERROR, "imaging: %s", text.c_str());
        send_job_error(text);
        part_buffer_pool().give(std::move(part->data));
        return nullptr;
    }
    part->length = got;
    part->original_size = got;
    part->part_number = part_number;
    part->total_parts = plan.last_part();
    return part;
}

// Reads every part of the plan into the read queue, unless a cancel or an error stops it.
ReadEnd read_parts(Job& job, RawFile* file, uint64_t start_ticks) {
    const ImagingPlan& plan = job.plan;
    const Progress progress{plan};
    uint64_t total_read = 0;
    for (int i = 0; i < plan.part_count; ++i) {
        if (job.cancel.load()) {
            log_write(LOG_INFO, "imaging: cancelled by user");
            Progress::cancelled();
            return ReadEnd::cancelled;
        }
        if (auto error = job.error_text()) {
            log_write(LOG_ERROR, "imaging: upload error: %s", error->c_str());
            send_job_error(*error);
            return ReadEnd::failed;
        }
        progress.reading(i);
        const uint64_t want = std::min(plan.part_size, plan.amount - total_read);
        if (want == 0) break;
        ImagePartPtr part = read_part(job, file, i, plan.start_offset + total_read, want);
        if (!part) return ReadEnd::failed;
        total_read += want;
        const uint64_t elapsed = sys_ticks_ms() - start_ticks;
        const uint64_t speed =
            elapsed ? static_cast<uint64_t>(static_cast<double>(total_read) / (static_cast<double>(elapsed) / 1000.0))
                    : 0;
        progress.read(i, job.uploaded(), speed);
        job.read_queue.push(std::move(part));  // waits while two parts wait for the encoder
    }
    return ReadEnd::done;
}

// ---- Job thread ---------------------------------------------------------------------------------

void send_completion(Job& job, uint64_t start_ticks) {
    const ImagingPlan& plan = job.plan;
    const double seconds = static_cast<double>(sys_ticks_ms() - start_ticks) / 1000.0;
    const uint64_t average =
        seconds > 0 ? static_cast<uint64_t>(static_cast<double>(plan.amount) / seconds) : plan.amount;
    const int uploaded = job.uploaded();
    log_write(LOG_INFO, "imaging: complete! %d parts in %.0fs (%s)", uploaded, seconds, speed_text(average).c_str());
    Progress{plan}.complete(uploaded, average);
    cJSON* d = cJSON_CreateObject();
    cJSON_AddStringToObject(d, "batch_id", plan.batch_id.c_str());
    cJSON_AddNumberToObject(d, "total_parts", plan.part_count);
    proto_send("job_complete", d);
}

// Starts the encoder and the uploader. When either cannot be started, the one that runs is ended
// through its queue and waited for, so nothing it uses is released under it.
bool start_pipeline(const std::shared_ptr<Job>& job, Worker& encoder, Worker& uploader) {
    std::string error;
    if (start_worker(encoder, [job] { encoder_stage(job); }, &error)) {
        if (start_worker(uploader, [job] { uploader_stage(job); }, &error)) return true;
        job->read_queue.push(nullptr);  // the encoder passes the end marker on and returns
        wait_worker(encoder, "encoder");
    }
    log_write(LOG_ERROR, "imaging: cannot start the pipeline: %s", error.c_str());
    send_job_error("Could not start the imaging pipeline: " + error);
    return false;
}

// What a job sends last. It goes out only once the job's record is cleared: a dashboard that
// starts the next job as soon as it sees the end of this one must find no job running.
using FinalEvent = std::function<void()>;

FinalEvent run_job(const std::shared_ptr<Job>& job) {
    std::string error;
    std::optional<ImagingPlan> plan = imaging_make_plan(job->request.get(), &error);
    if (!plan) {
        log_write(LOG_WARN, "imaging: job refused: %s", error.c_str());
        return [error] { send_job_error(error); };
    }
    job->plan = std::move(*plan);
    const ImagingPlan& p = job->plan;
    log_write(LOG_INFO, "imaging: %s in %d parts (part_size=%dMB, ZVIMG)", format_size(p.amount).c_str(),
              p.part_count, static_cast<int>(p.part_size / kMiB));
    job->buffer_capacity = static_cast<size_t>(ZvimgBuilder::buffer_size(p.part_size));

    Worker encoder, uploader;
    if (!start_pipeline(job, encoder, uploader)) return nullptr;
    std::string reason;
    RawFile* file = raw_open(p.source, true, &reason);
    ReadEnd end = ReadEnd::failed;
    const uint64_t start_ticks = sys_ticks_ms();
    if (!file) {
        log_write(LOG_ERROR, "imaging: cannot open %s for reading: %s", p.source.c_str(), reason.c_str());
        send_job_error("Cannot open disk for reading: " + reason);
    } else {
        end = read_parts(*job, file, start_ticks);
        raw_close(file);
        log_write(LOG_INFO, "imaging: all parts read, waiting for pipeline...");
    }
    job->read_queue.push(nullptr);
    wait_worker(encoder, "encoder");
    wait_worker(uploader, "uploads");
    if (end != ReadEnd::done || job->cancel.load() || job->error_text()) return nullptr;
    return [job, start_ticks] { send_completion(*job, start_ticks); };
}

void job_thread(const std::shared_ptr<Job>& job) {
    const FinalEvent last = run_job(job);
    job->finished.store(true);
    {
        std::lock_guard<std::mutex> guard(g_record->lock);
        if (g_record->current == job) g_record->current.reset();
    }
    if (last) last();
}

// ---- Handlers -----------------------------------------------------------------------------------

void on_start_imaging(const cJSON* data) {
    std::lock_guard<std::mutex> guard(g_record->lock);
    const std::shared_ptr<Job>& running = g_record->current;
    if (running && !running->finished.load() && !running->cancel.load()) {
        log_write(LOG_INFO, "imaging: job already running, re-sending progress to browser");
        Progress::reconnected();
        return;
    }
    auto job = std::make_shared<Job>();
    job->request.reset(cJSON_IsObject(data) ? cJSON_Duplicate(data, true) : cJSON_CreateObject());
    if (!job->request) job->request.reset(cJSON_CreateObject());
    std::string error;
    if (!thread_start_detached([job] { job_thread(job); }, &error)) {
        log_write(LOG_ERROR, "imaging: cannot start the job thread: %s", error.c_str());
        send_job_error("Could not start the imaging job: " + error);
        return;
    }
    g_record->current = job;
    log_write(LOG_INFO, "imaging: job started");
}

void on_cancel_job(const cJSON*) {
    log_write(LOG_INFO, "imaging: cancel requested");
    std::lock_guard<std::mutex> guard(g_record->lock);
    if (g_record->current) g_record->current->cancel.store(true);
}

}  // namespace

std::optional<ImagingPlan> imaging_make_plan(const cJSON* d, std::string* error) {
    ImagingPlan plan;
    const int disk_id = json_int(d, "disk_id", -1);
    const char* direct_url = json_string(d, "direct_url");
    const char* server_url = json_string(d, "server_url");
    const char* token = json_string(d, "token");
    const char* existing = json_string(d, "existing_disk_id");
    plan.base_url = direct_url ? direct_url : server_url ? server_url : config_server_url();
    plan.token = token ? token : "";
    if (existing) plan.existing_disk_id = existing;
    plan.disk_name = imaging_clean_disk_name(json_string(d, "disk_name"), disk_id);
    if (!plan_source(d, disk_id, plan, error) || !plan_extent(d, plan, error)) return std::nullopt;

    if (const char* batch_id = json_string(d, "batch_id")) {
        if (!valid_batch_id(batch_id)) {
            *error = "Invalid batch_id";
            return std::nullopt;
        }
        plan.batch_id = batch_id;
    } else {
        plan.batch_id = imaging_new_batch_id(std::time(nullptr));
    }
    return plan;
}

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
