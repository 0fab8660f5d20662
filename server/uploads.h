// The uploads area of zelvo-server: disk image parts that agents post in chunks to /upload_chunk,
// the resume query /upload_chunk_status, and what the server makes of the chunks: each part is
// reassembled, decoded when it is ZVIMG, and the parts of a batch are joined into one image with
// its SHA-256. Control routes show what arrived and order faults for the chunk requests.
//
// The pieces: multipart.h reads the request bodies, zvimg_decode.h decodes parts, upload_store.cpp
// keeps parts and images under data_dir/uploads, uploads.cpp holds the routes.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "server/files.h"
#include "server/http.h"

class Server;

enum class PartState { receiving, decoding, complete, error };

struct UploadPart {
    int64_t part_number = 0;
    std::string filename;  // the part file in the batch folder, as the agent named it
    int64_t total_chunks = 0;
    std::string compressed;      // empty: the part is the raw bytes
    uint64_t original_size = 0;  // raw length the agent declared with "compressed"; 0 without
    std::string disk_name;
    std::string existing_disk_id;
    int64_t total_parts = 0;     // as the part's first chunk said
    std::set<int64_t> received;  // chunk indices stored
    PartState state = PartState::receiving;
    std::string error;        // why the part is in error
    uint64_t size = 0;        // decoded length, once complete
    uint64_t generation = 0;  // counts restarts, so a late decode of earlier chunks is ignored
    // Length of chunk 0 when the part has more chunks: chunk k is written into the part file at
    // k * stride as it arrives. 0 while unknown.
    uint64_t stride = 0;
};

enum class ImageState { none, building, complete, error };

struct ImageBuild;

// One upload job of an agent: parts from the lowest part number seen up to total_parts, which
// together make the image.
struct UploadBatch {
    std::string id;
    int64_t total_parts = 0;       // the last part number, as the latest chunk said
    std::string existing_disk_id;  // given by the agent; the disk id when not empty
    int64_t disk_id = 0;           // assigned by the server when no existing id came
    std::map<int64_t, UploadPart> parts;
    ImageState image_state = ImageState::none;
    std::pair<int64_t, int64_t> image_range;  // the parts the image is (being) built from
    uint64_t image_size = 0;
    std::string image_sha256;  // hex, once complete
    std::string image_error;
    // The image is built while the parts come in: each part is appended, and hashed, as soon as it
    // and every part before it are complete. The parts appended so far, with their generations,
    // and the file and hash they went into, which only the worker touches.
    std::vector<std::pair<int64_t, uint64_t>> image_built;
    std::shared_ptr<ImageBuild> image_build;
};

// One request to /upload_chunk or /upload_chunk_status, refused ones included.
struct UploadLogEntry {
    uint64_t seq = 0;
    uint64_t connection = 0;  // the HTTP connection it came on
    bool chunk = false;  // false: a status query
    std::string batch_id;
    std::optional<int64_t> part_number;
    std::optional<int64_t> chunk_index;
    unsigned status = 0;  // 0 while the answer is pending, and when dropped
    bool dropped = false;
};

// Misbehaviour ordered for chunk POSTs. Counts of -1 last until disarmed.
struct UploadFaults {
    int after = 0;        // chunk POSTs still served normally before the status and drop faults apply
    unsigned status = 0;  // answer with this status instead of storing
    int status_count = 0;
    std::optional<std::string> body;  // the faulty answer's body; a JSON error when unset
    int drop_count = 0;               // close the connection without answering nor storing
    size_t pad = 0;                   // bytes of "pad" added to every successful chunk answer
    unsigned delay_ms = 0;            // every chunk answer is held back this long
    bool record_raw = false;          // keep every chunk request's body under uploads/raw/
    int close_after = 0;              // chunk POSTs whose connection is closed once they are answered
};

// The uploads' part of the server state; io_context thread only. Batches outlive resets and
// restarts (data_dir/uploads); the log and faults do not.
struct UploadState {
    std::map<std::string, UploadBatch> batches;  // by batch id
    int64_t next_disk_id = 1;
    uint64_t next_upload_seq = 1;  // keeps rising across resets
    uint64_t next_discard = 1;     // names what is moved into a batch's .discard/
    uint64_t next_staged = 1;      // names the files of chunks on their way in
    // Chunks being written into their part file by requests still arriving: batch, part, chunk.
    std::set<std::tuple<std::string, int64_t, int64_t>> placing;
    std::vector<UploadLogEntry> upload_log;
    UploadFaults upload_faults;
};

// ---- what a field may hold ----

constexpr size_t MAX_NAME = 127;
constexpr size_t MAX_TEXT_FIELD = 1024;
constexpr int64_t MAX_PART_NUMBER = 2147483647;
// 256 GiB in 4 MiB chunks: far beyond any part the agent makes, small enough to list.
constexpr int64_t MAX_CHUNKS = 65536;
constexpr const char* ZVIMG = "zvimg";

// Decimal digits only: no sign, no spaces.
template <class Int>
std::optional<Int> parse_decimal(std::string_view text) {
    Int value = 0;
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// A batch id usable as a folder of data_dir/uploads.
bool valid_batch_id(std::string_view id);
// A part file name usable in a batch folder: every name the agent makes, nothing that leaves the
// folder or takes one of the server's own names there.
bool valid_part_filename(std::string_view name);

// ---- storage (upload_store.cpp) ----

class IncomingChunk;

// One chunk as its fields describe it.
struct ChunkUpload {
    std::string batch_id;
    int64_t part_number = 0;
    int64_t total_parts = 0;
    int64_t chunk_index = 0;
    int64_t total_chunks = 0;
    std::string filename;
    std::string disk_name;
    std::string compressed;
    uint64_t original_size = 0;
    std::string existing_disk_id;
    IncomingChunk* incoming = nullptr;  // the chunk's bytes
};

// The bytes of one chunk request's file field, written as they arrive, before anything is known
// about the request. A chunk its part is waiting for goes straight into the part file at its place
// (chunk_index * stride), where nothing else is written; any other goes to a file of its own under
// data_dir/.incoming/. store_chunk keeps the bytes or moves the file into its part; any other end
// leaves the placed bytes as unreceived space and deletes the staged file.
class IncomingChunk {
public:
    explicit IncomingChunk(Server& server);
    ~IncomingChunk();
    IncomingChunk(const IncomingChunk&) = delete;
    IncomingChunk& operator=(const IncomingChunk&) = delete;

    // Called when the file field begins, with the chunk as the fields before it describe it.
    void begin(const ChunkUpload& chunk);
    // A failure is kept for finish().
    void write(std::string_view bytes);
    // Ends the bytes; false when they could not be written whole.
    bool finish();
    uint64_t size() const { return size_; }

    // For store_chunk: whether the bytes lie in the part file (batch, part, chunk and generation as
    // given), and else the staged file, which it may move away.
    bool placed(const ChunkUpload& chunk, uint64_t generation) const;
    bool to_staging();  // moves placed bytes into the staged file; call before finish()
    const std::filesystem::path& staged_path() const { return staged_path_; }
    void staged_taken() { staged_path_.clear(); }

private:
    struct Place {
        std::tuple<std::string, int64_t, int64_t> key;  // batch, part, chunk
        uint64_t generation = 0;
        uint64_t offset = 0;
        uint64_t limit = 0;  // the most bytes the chunk may take there
        File file;           // the part file
    };
    void release();

    Server& server_;
    std::optional<Place> place_;
    std::filesystem::path staged_path_;
    File staged_;
    bool staged_open_ = false;
    bool finished_ = false;
    bool failed_ = false;
    uint64_t size_ = 0;
    std::vector<char> buffer_;  // for moving placed bytes
};


// Stores one chunk; the part is reassembled and decoded on the worker once all its chunks are in.
// A chunk that does not fit the chunks held for its part, or comes for a failed part, starts the
// part anew. The answer for the agent.
HttpResponse store_chunk(Server& server, const ChunkUpload& chunk);
// Recovers the batches stored under data_dir/uploads and resumes their unfinished work. Throws
// std::runtime_error when the folder cannot be made or listed.
void uploads_load(Server& server);
// "receiving", "decoding", "complete" or "error".
const char* part_state_name(PartState state);
// The batch's image is built from exactly the parts it now spans.
bool batch_complete(const UploadBatch& batch);
// Where recorded request bodies go.
std::filesystem::path raw_record_dir(const Server& server);

// ---- routes (uploads.cpp) ----

// The line printed for an answer to an upload request shown as `shown`: its status, or "dropped",
// and for a failure the start of its body on the same line.
std::string upload_answer_line(const std::string& shown, const HttpResponse& response);

// Hands the answer to `finish` after the ordered "delay_ms" of the upload faults, at once without one.
void upload_answer_after_delay(Server& server, HttpResponse response, std::function<void(HttpResponse)> finish);

// The answer the faults a test ordered give the next chunk POST, image or scan; nothing when none
// is due.
std::optional<HttpResponse> upload_ordered_fault(Server& server);
// Forgets the request log and the ordered faults; batches stay.
void uploads_reset(Server& server);
// /upload_chunk, /upload_chunk_status, and /control/batch, upload_log and upload_fault.
std::vector<Route> upload_routes();
