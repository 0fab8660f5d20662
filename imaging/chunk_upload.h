// The upload client: sends one image part to the server as 4 MiB multipart chunks, asking first
// which chunks the server already holds (those are skipped), and retrying failed ones.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "platform/http.h"

constexpr size_t UPLOAD_CHUNK_SIZE = 4194304;

// Number of chunks for a part of that length: at least 1 (an empty part is sent as one empty chunk).
int upload_chunk_count(uint64_t length);

// Longest part file name, in bytes.
constexpr size_t UPLOAD_MAX_FILENAME = 127;

// "Disk_2.part007.zvimg": the name base ("part" when the disk name is empty), the part number and
// the extension the compression label implies. A base too long for UPLOAD_MAX_FILENAME is
// shortened on a UTF-8 character boundary.
std::string upload_part_filename(const std::string& disk_name, int part_number, const std::string* label);

// "----ChunkBoundary" followed by 8 + 4 hex digits of a fresh GUID.
std::string upload_new_boundary();

struct ChunkFields {
    std::string batch_id;
    int part_number = 0;
    int total_parts = 0;
    int chunk_index = 0;
    int total_chunks = 0;
    std::string filename;
    std::string disk_name;
    const std::string* compression_label = nullptr;  // "compressed" and "original_size" only with one
    uint64_t original_size = 0;
    std::string existing_disk_id;  // sent only when non-empty
};

// A chunk's body is sent in three pieces: the head (the text fields and the file field's header),
// the chunk's bytes where they lie in the part, and the tail (the closing boundary).
// Both throw std::bad_alloc when memory cannot be had.
std::string upload_chunk_head(const std::string& boundary, const ChunkFields& fields);
std::string upload_chunk_tail(const std::string& boundary);

// The whole multipart body of one chunk, the three pieces in one; nothing when memory cannot be
// had.
std::optional<std::string> upload_chunk_body(const std::string& boundary, const ChunkFields& fields,
                                             const uint8_t* chunk, size_t chunk_length);

// The flags for an answer of the chunk-status query: "received_chunks" entries that are whole
// numbers from 0 to total_chunks - 1 mark their chunk; anything else is ignored. When the answer
// tells the part's "total_chunks" or "original_size" and either differs from this part's chunk
// count or raw size, the server's record belongs to another part: no flag is set, and *mismatch
// (when given) says why.
std::vector<uint8_t> chunk_flags_from_answer(const cJSON* answer, int total_chunks, uint64_t original_size,
                                             std::string* mismatch = nullptr);

// Asks {base_url}/upload_chunk_status which chunks of the part it holds: one flag per chunk,
// 1 where the server has it. Nothing when the server could not be asked or gave no JSON; the
// caller then sends every chunk. The query goes over `client` when one is given.
std::optional<std::vector<uint8_t>> get_uploaded_chunks(const std::string& base_url, const std::string& token,
                                                        const std::string& batch_id, int part_number,
                                                        int total_chunks, uint64_t original_size,
                                                        HttpClient* client = nullptr);

struct PartUpload {
    std::string base_url;
    std::string token;
    const uint8_t* data = nullptr;  // the part as it is sent (encoded or raw); not owned
    uint64_t length = 0;
    std::string batch_id;
    int part_number = 0;
    int total_parts = 0;
    const std::string* compression_label = nullptr;
    uint64_t original_size = 0;
    std::string disk_name;
    const std::string* existing_disk_id = nullptr;  // null when the request carried none
    const std::atomic<bool>* cancel = nullptr;      // the job's flag, looked at before every chunk
    // The uploader's client, whose connection serves every chunk and part of a job; when null the
    // part makes one of its own. Used only by the calling thread.
    HttpClient* client = nullptr;
};

// The pause after a chunk's failed attempt (1 or 2) before the next: 3 s, then 6 s. The wait
// itself goes through period_ms, so a test configuration may shorten it.
uint32_t upload_retry_pause_ms(int attempt);

// The answer to the last chunk sent, or {"status":"ok"} (plus "disk_id" when an existing disk id
// was given) when the server already held every chunk. Nothing on failure, with *error set to
// "Upload cancelled", "Failed to build chunk body", "Chunk N: <error>" (refusals, not retried) or
// "Chunk N failed after 3 retries: <error>".
// A chunk whose kept-alive connection the server had closed before answering is sent again at
// once on a new one; that costs none of its three attempts, and happens once per chunk at most.
JsonPtr upload_part_chunked(const PartUpload& part, std::string* error);
