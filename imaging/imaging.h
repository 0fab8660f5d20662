// The imaging job: on the dashboard's request, reads a whole physical disk (or one local file) in
// parts, encodes each part as ZVIMG and uploads it in resumable chunks, with reading, encoding and
// uploading overlapping on three threads joined by two bounded queues.
#pragma once

#include <cstddef>
#include <memory>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "imaging/part_buffer.h"
#include "imaging/zvimg.h"

// One part of the image, owned by whichever stage holds it.
struct ImagePart {
    PartBuffer data;             // raw bytes, or the ZVIMG form once encoded
    uint64_t begin = 0;          // where the part's bytes start in data
    uint64_t length = 0;         // their count
    std::optional<ZvimgBuilder> encoding;  // the encoding the reader began, for the encoder to end
    int part_number = 0;
    int total_parts = 0;         // the number of the job's last part
    uint64_t original_size = 0;  // raw length of the part
    std::string label;           // "zvimg" once encoded; empty for a raw part

    const uint8_t* bytes() const { return data.data() + begin; }
};
using ImagePartPtr = std::unique_ptr<ImagePart>;

// Bounded hand-over between two stages. A null part is the end marker: the producer pushes it
// once, and the consumer that pops it stops.
class PartQueue {
public:
    explicit PartQueue(size_t capacity) : slots_(capacity) {}
    void push(ImagePartPtr part);  // waits while the queue is full
    ImagePartPtr pop();            // waits while it is empty

private:
    std::mutex lock_;
    std::condition_variable not_full_;
    std::condition_variable not_empty_;
    std::vector<ImagePartPtr> slots_;
    size_t count_ = 0;
    size_t read_ = 0;
    size_t write_ = 0;
};

// What one job does, made from its request before anything is read: where from, how much, in
// which parts, and where to.
struct ImagingPlan {
    std::string source;        // device or file path
    bool from_file = false;    // the request named a file
    uint64_t source_size = 0;  // bytes, as the source reported when planned
    uint64_t start_offset = 0; // first byte read
    uint64_t amount = 0;       // bytes to read from there
    uint64_t part_size = 0;    // bytes per part (the last one may be shorter)
    int first_part = 1;        // number of the first part read
    int part_count = 0;        // at least 1
    std::string batch_id;
    std::string disk_name;     // cleaned, as sent and used in part file names
    std::string base_url;      // the upload endpoints hang below it
    std::string token;
    std::optional<std::string> existing_disk_id;

    int last_part() const { return first_part + part_count - 1; }
};

// The plan for a "start_imaging" or "upload_local_file" request (its "d"); the source is sized
// here. Nothing for a request the job cannot serve, with the job_error text in *error.
std::optional<ImagingPlan> imaging_make_plan(const cJSON* request, std::string* error);

// Binds "start_imaging", "upload_local_file" and "cancel_job".
void imaging_register();

// "My Disk #1/2" -> "My_Disk_12": letters, digits, '-', '.', '_' kept, spaces turned into '_',
// everything else dropped, at most 127 characters; "Disk_<id>" when nothing is left.
std::string imaging_clean_disk_name(const char* name, int disk_id);

// A batch id for a new job: the local time of `now` as "%Y%m%d%H%M%S", or of the next second whose
// id this process has not handed out yet.
std::string imaging_new_batch_id(std::time_t now);
