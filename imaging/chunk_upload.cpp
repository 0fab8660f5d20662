// The upload client: the multipart body of a chunk, its POST with retries, part file names, the
// chunk-status query with its resume flags, and the upload of a whole part.
//
// Each chunk is one multipart/form-data POST with the text fields that name batch, part and
// chunk, then the chunk's bytes. The server is asked first which chunks of the part it holds;
// those are skipped when its record is of this very part. A chunk that fails is sent twice more,
// after 3 s and 6 s, unless the server refused it (401, 403, 404), which ends the part at once.
// All requests of a part, and of every part the caller hands the same client, go over one
// kept-alive connection; a chunk's bytes go out from the part itself, between a head and a tail.
#include "imaging/chunk_upload.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/log.h"
#include "core/periods.h"
#include "net/http_json.h"
#include "net/multipart.h"
#include "platform/http.h"
#include "platform/system.h"

namespace {

constexpr int kAttempts = 3;
constexpr uint32_t kRetryPauseMs = 3000;  // times the attempt that failed

bool is_refusal(const std::string& error) {
    return error.find("HTTP 401") != std::string::npos || error.find("HTTP 403") != std::string::npos ||
           error.find("HTTP 404") != std::string::npos;
}

ChunkFields part_fields(const PartUpload& part, int chunks) {
    ChunkFields fields;
    fields.batch_id = part.batch_id;
    fields.part_number = part.part_number;
    fields.total_parts = part.total_parts;
    fields.total_chunks = chunks;
    fields.filename = upload_part_filename(part.disk_name, part.part_number, part.compression_label);
    fields.disk_name = part.disk_name;
    fields.compression_label = part.compression_label;
    fields.original_size = part.original_size;
    if (part.existing_disk_id) fields.existing_disk_id = *part.existing_disk_id;
    return fields;
}

// Posts chunk `index` (the same body on every attempt) until it is taken, refused or has failed
// three times; nothing on failure, with the part's error text.
JsonPtr post_chunk(HttpClient& client, const std::string& url, const std::vector<HttpBodyPiece>& body,
                   const std::string& content_type, int index, std::string* error) {
    bool reopened = false;  // the one free re-send after a kept-alive connection the server closed
    for (int attempt = 1;; ++attempt) {
        std::string post_error;
        bool lost_connection = false;
        JsonPtr answer = http_post_json(client, url, body, content_type, &post_error, &lost_connection);
        if (answer) return answer;
        if (lost_connection && !reopened) {
            // The server closed the idle connection just as it was used; nothing of this attempt
            // reached it, so it is no attempt.
            log_write(LOG_DEBUG, "upload: chunk %d: kept-alive connection closed by the server (%s), reopening",
                      index, post_error.c_str());
            reopened = true;
            --attempt;
            continue;
        }
        if (is_refusal(post_error)) {
            *error = "Chunk " + std::to_string(index) + ": " + post_error;
            return nullptr;
        }
        const std::string shown = post_error.empty() ? std::string("unknown") : post_error;
        if (attempt == kAttempts) {
            *error = "Chunk " + std::to_string(index) + " failed after " + std::to_string(kAttempts) +
                     " retries: " + shown;
            return nullptr;
        }
        const uint32_t pause = upload_retry_pause_ms(attempt);
        log_write(LOG_WARN, "upload: chunk %d error: %s, retrying in %ds", index, shown.c_str(),
                  static_cast<int>(pause / 1000));
        sys_sleep_ms(period_ms(pause));
    }
}

}  // namespace

uint32_t upload_retry_pause_ms(int attempt) { return kRetryPauseMs * static_cast<uint32_t>(attempt); }

int upload_chunk_count(uint64_t length) {
    const uint64_t count = (length + UPLOAD_CHUNK_SIZE - 1) / UPLOAD_CHUNK_SIZE;
    return count ? static_cast<int>(count) : 1;
}

std::string upload_part_filename(const std::string& disk_name, int part_number, const std::string* label) {
    const char* extension = ".img";
    if (label && *label == "zvimg") {
        extension = ".zvimg";
    } else if (label && !label->empty()) {
        extension = ".img.gz";
    }
    char number[24];
    std::snprintf(number, sizeof number, ".part%03d", part_number);
    const std::string suffix = std::string(number) + extension;
    // The server keeps names within UPLOAD_MAX_FILENAME bytes: the base gives way, never the part
    // number or the extension, and is cut only between characters.
    std::string base = disk_name.empty() ? std::string("part") : disk_name;
    size_t room = UPLOAD_MAX_FILENAME - suffix.size();
    if (base.size() > room) {
        while (room > 0 && (static_cast<unsigned char>(base[room]) & 0xC0) == 0x80) --room;
        base.resize(room);
    }
    return base + suffix;
}

std::vector<uint8_t> chunk_flags_from_answer(const cJSON* answer, int total_chunks, uint64_t original_size,
                                             std::string* mismatch) {
    std::vector<uint8_t> flags(static_cast<size_t>(total_chunks > 0 ? total_chunks : 0), 0);
    // A batch id given back with another part size names parts the server holds in another cut:
    // skipping by that list would leave holes in the image.
    const cJSON* held_chunks = json_item(answer, "total_chunks");
    const cJSON* held_size = json_item(answer, "original_size");
    std::string differs;
    if (held_chunks && (!cJSON_IsNumber(held_chunks) || held_chunks->valuedouble != total_chunks)) {
        differs = "total_chunks " + json_print(held_chunks) + ", expected " + std::to_string(total_chunks);
    } else if (held_size &&
               (!cJSON_IsNumber(held_size) || held_size->valuedouble != static_cast<double>(original_size))) {
        differs = "original_size " + json_print(held_size) + ", expected " + std::to_string(original_size);
    }
    if (!differs.empty()) {
        if (mismatch) *mismatch = differs;
        return flags;
    }
    const cJSON* received = json_item(answer, "received_chunks");
    if (!cJSON_IsArray(received)) return flags;
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, received) {
        // Only whole numbers count: anything else must not make a chunk look present.
        if (!cJSON_IsNumber(item) || std::trunc(item->valuedouble) != item->valuedouble) continue;
        const double index = item->valuedouble;
        if (index >= 0 && index < total_chunks) flags[static_cast<size_t>(index)] = 1;
    }
    return flags;
}

std::optional<std::vector<uint8_t>> get_uploaded_chunks(const std::string& base_url, const std::string& token,
                                                        const std::string& batch_id, int part_number,
                                                        int total_chunks, uint64_t original_size,
                                                        HttpClient* client) {
    if (total_chunks < 0) return std::nullopt;
    const std::string url = base_url + "/upload_chunk_status?token=" + token + "&batch_id=" + batch_id +
                            "&part_number=" + std::to_string(part_number);
    std::string error;
    JsonPtr answer =
        client ? http_get_json(*client, url, 10000, 15000, &error) : http_get_json(url, 10000, 15000, &error);
    if (!answer) {
        log_write(LOG_DEBUG, "upload: status query for part %d failed: %s", part_number, error.c_str());
        return std::nullopt;
    }
    std::string mismatch;
    std::vector<uint8_t> flags = chunk_flags_from_answer(answer.get(), total_chunks, original_size, &mismatch);
    if (!mismatch.empty()) {
        log_write(LOG_WARN, "upload: server holds part %d of batch %s as another part (%s), sending every chunk",
                  part_number, batch_id.c_str(), mismatch.c_str());
    }
    int count = 0;
    for (uint8_t flag : flags) count += flag;
    if (count > 0) {
        log_write(LOG_INFO, "upload: resume \xE2\x80\x94 %d/%d chunks already on server, skipping", count, total_chunks);
    }
    return flags;
}

std::string upload_new_boundary() { return multipart_boundary("----ChunkBoundary"); }

std::string upload_chunk_head(const std::string& boundary, const ChunkFields& fields) {
    std::string head;
    head.reserve(1024);
    multipart_field(head, boundary, "batch_id", fields.batch_id);
    multipart_field(head, boundary, "part_number", std::to_string(fields.part_number));
    multipart_field(head, boundary, "total_parts", std::to_string(fields.total_parts));
    multipart_field(head, boundary, "chunk_index", std::to_string(fields.chunk_index));
    multipart_field(head, boundary, "total_chunks", std::to_string(fields.total_chunks));
    multipart_field(head, boundary, "filename", fields.filename);
    multipart_field(head, boundary, "disk_name", fields.disk_name);
    if (fields.compression_label && !fields.compression_label->empty()) {
        multipart_field(head, boundary, "compressed", *fields.compression_label);
        multipart_field(head, boundary, "original_size", std::to_string(fields.original_size));
    }
    if (!fields.existing_disk_id.empty()) multipart_field(head, boundary, "existing_disk_id", fields.existing_disk_id);
    char name[16];
    std::snprintf(name, sizeof name, "chunk%04d", fields.chunk_index);
    multipart_file_head(head, boundary, "chunk", name);
    return head;
}

std::string upload_chunk_tail(const std::string& boundary) { return multipart_end(boundary); }

std::optional<std::string> upload_chunk_body(const std::string& boundary, const ChunkFields& fields,
                                             const uint8_t* chunk, size_t chunk_length) {
    try {
        std::string body = upload_chunk_head(boundary, fields);
        if (chunk_length) body.append(reinterpret_cast<const char*>(chunk), chunk_length);
        body += upload_chunk_tail(boundary);
        return body;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

JsonPtr upload_part_chunked(const PartUpload& part, std::string* error) {
    auto fail = [error](std::string text) {
        if (error) *error = std::move(text);
        return nullptr;
    };
    std::optional<HttpClient> own;
    HttpClient& client = part.client ? *part.client : own.emplace();
    const int chunks = upload_chunk_count(part.length);
    ChunkFields fields = part_fields(part, chunks);
    const std::string url = part.base_url + "/upload_chunk?token=" + part.token;
    const auto held = get_uploaded_chunks(part.base_url, part.token, part.batch_id, part.part_number, chunks,
                                          part.original_size, &client);

    JsonPtr last;
    for (int k = 0; k < chunks; ++k) {
        if (part.cancel && part.cancel->load()) return fail("Upload cancelled");
        if (held && (*held)[static_cast<size_t>(k)]) continue;

        const uint64_t start = static_cast<uint64_t>(k) * UPLOAD_CHUNK_SIZE;
        const size_t length = static_cast<size_t>(std::min<uint64_t>(UPLOAD_CHUNK_SIZE, part.length - start));
        fields.chunk_index = k;
        const std::string boundary = upload_new_boundary();
        std::string head, tail;
        try {
            head = upload_chunk_head(boundary, fields);
            tail = upload_chunk_tail(boundary);
        } catch (const std::bad_alloc&) {
            return fail("Failed to build chunk body");
        }
        const std::vector<HttpBodyPiece> body = {
            {head.data(), head.size()},
            {part.data ? part.data + start : nullptr, part.data ? length : 0},
            {tail.data(), tail.size()},
        };
        std::string post_error;
        JsonPtr answer = post_chunk(client, url, body, "multipart/form-data; boundary=" + boundary, k, &post_error);
        if (!answer) return fail(std::move(post_error));
        last = std::move(answer);
    }
    if (last) return last;

    JsonPtr made(cJSON_CreateObject());
    cJSON_AddStringToObject(made.get(), "status", "ok");
    if (part.existing_disk_id) cJSON_AddStringToObject(made.get(), "disk_id", part.existing_disk_id->c_str());
    return made;
}
