// The imaging job: on the dashboard's request, reads a whole physical disk (or one local file) in
// parts, encodes each part as ZVIMG and uploads it in resumable chunks, with reading, encoding and
// uploading overlapping on three threads joined by two bounded queues.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <ctime>
#include <string>
#include <vector>

#include "imaging/part_buffer.h"

// One part of the image, owned by whichever stage holds it.
struct ImagePart {
    PartBuffer data;             // raw bytes, or the ZVIMG form once encoded
    uint64_t length = 0;         // bytes in data
    int part_number = 0;
    int total_parts = 0;         // the number of the job's last part
    uint64_t original_size = 0;  // raw length of the part
    std::string label;           // "zvimg" once encoded; empty for a raw part
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

// Binds "start_imaging", "upload_local_file" and "cancel_job".
void imaging_register();

// "My Disk #1/2" -> "My_Disk_12": letters, digits, '-', '.', '_' kept, spaces turned into '_',
// everything else dropped, at most 127 characters; "Disk_<id>" when nothing is left.
std::string imaging_clean_disk_name(const char* name, int disk_id);

// A batch id for a new job: the local time of `now` as "%Y%m%d%H%M%S", or of the next second whose
// id this process has not handed out yet.
std::string imaging_new_batch_id(std::time_t now);
