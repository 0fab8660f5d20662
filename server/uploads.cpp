// Routes of the uploads area: the chunk POSTs and resume queries of agents, and the control
// routes that show what arrived and order faults for the chunk requests.

#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <filesystem>

#include "server/files.h"
#include "server/multipart.h"
#include "server/server.h"
#include "server/uploads.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t MAX_PAD_BYTES = 16 * 1024 * 1024;

// Empty text when the fields make a usable chunk, else the reason to refuse it.
// `whole`: the chunk's bytes must be there too; else only the fields that come before them.
std::string read_chunk(const std::vector<FormField>& fields, ChunkUpload& chunk, bool whole = true) {
    for (const char* name : {"batch_id", "part_number", "total_parts", "chunk_index", "total_chunks", "filename",
                             "disk_name", "chunk"}) {
        if (!whole && std::string_view(name) == "chunk") continue;
        if (!find_field(fields, name)) return std::string("missing field ") + name;
    }
    const auto text = [&](const char* name) { return std::string(find_field(fields, name)->value); };
    struct Number {
        const char* name;
        int64_t* target;
        int64_t low;
        int64_t high;
    };
    chunk.batch_id = text("batch_id");
    if (!valid_batch_id(chunk.batch_id)) return "invalid batch_id";
    for (const Number& number : {Number{"part_number", &chunk.part_number, 0, MAX_PART_NUMBER},
                                 Number{"total_parts", &chunk.total_parts, 0, MAX_PART_NUMBER},
                                 Number{"total_chunks", &chunk.total_chunks, 1, MAX_CHUNKS},
                                 Number{"chunk_index", &chunk.chunk_index, 0, MAX_CHUNKS - 1}}) {
        const auto value = parse_decimal<int64_t>(find_field(fields, number.name)->value);
        if (!value || *value < number.low || *value > number.high) return std::string("invalid ") + number.name;
        *number.target = *value;
    }
    // total_parts names the batch's last part, so no part lies beyond it.
    if (chunk.part_number > chunk.total_parts) return "part_number above total_parts";
    if (chunk.chunk_index >= chunk.total_chunks) return "chunk_index not below total_chunks";
    chunk.filename = text("filename");
    if (!valid_part_filename(chunk.filename)) return "invalid filename";
    chunk.disk_name = text("disk_name");
    if (const FormField* id = find_field(fields, "existing_disk_id")) chunk.existing_disk_id = id->value;
    if (chunk.disk_name.size() > MAX_TEXT_FIELD || chunk.existing_disk_id.size() > MAX_TEXT_FIELD) {
        return "disk_name or existing_disk_id too long";
    }
    const FormField* compressed = find_field(fields, "compressed");
    const FormField* original = find_field(fields, "original_size");
    if (compressed) {
        chunk.compressed = compressed->value;
        if (chunk.compressed != ZVIMG) return "unsupported compression";
        if (!original) return "missing field original_size";
        const auto size = parse_decimal<uint64_t>(original->value);
        if (!size) return "invalid original_size";
        chunk.original_size = *size;
    } else if (original) {
        return "original_size without compressed";
    }
    return "";
}

// A chunk request's body on its way in: the form is read as it arrives, and the file field goes
// straight to where the chunk will be kept when the fields before it allow, else to a file of
// its own.
class ChunkReader : public BodyReader {
public:
    ChunkReader(Server& server, const std::string& content_type)
        : boundary_(form_boundary(content_type)),
          incoming_(server),
          form_(boundary_.value_or(""), "chunk", [this](std::string_view bytes) {
              if (!bytes.empty()) return incoming_.write(bytes);
              ChunkUpload chunk;
              if (read_chunk(form_.fields(), chunk, false).empty()) incoming_.begin(chunk);
          }) {}

    void feed(std::string_view piece) override {
        if (boundary_) form_.feed(piece);
    }
    std::string finish() { return boundary_ ? form_.finish() : "expected multipart/form-data with a boundary"; }
    const std::vector<FormField>& fields() const { return form_.fields(); }
    IncomingChunk& incoming() { return incoming_; }

private:
    std::optional<std::string> boundary_;
    IncomingChunk incoming_;
    FormReader form_;
};

std::shared_ptr<BodyReader> open_chunk_body(Server& server, const HttpRequest& head) {
    // A body to be recorded is read whole.
    if (server.state().upload_faults.record_raw) return nullptr;
    return std::make_shared<ChunkReader>(server, head.content_type);
}

// Counts one use of a fault armed for `count` requests (-1: until disarmed); false when unarmed.
bool take(int& count) {
    if (count == 0) return false;
    if (count > 0) --count;
    return true;
}

void record_raw(const Server& server, uint64_t seq, const HttpRequest& request) {
    const fs::path dir = raw_record_dir(server);
    std::error_code ec;
    fs::create_directories(dir, ec);
    const std::string name = std::to_string(seq);
    if (ec || !write_file(dir / (name + ".body"), request.body) ||
        !write_file(dir / (name + ".type"), request.content_type)) {
        print_line("upload: cannot record request " + name);
    }
}

bool has_token(const HttpRequest& request) {
    const auto token = request.query.find("token");
    return token != request.query.end() && !token->second.empty();
}

// The answer a chunk POST gets from the faults a test ordered; nothing when none is due.
std::optional<HttpResponse> ordered_fault(UploadFaults& faults) {
    if (take(faults.after)) return std::nullopt;
    if (take(faults.drop_count)) {
        HttpResponse dropped;
        dropped.drop = true;
        return dropped;
    }
    if (faults.status == 0 || !take(faults.status_count)) return std::nullopt;
    HttpResponse failed = json_error(faults.status, "fault ordered by a test");
    if (faults.body) {
        failed.body = *faults.body;
        failed.content_type = "text/plain; charset=utf-8";
    }
    if (faults.status_count == 0) faults.status = 0;
    return failed;
}

// Answers a chunk POST logged as `seq` (`shown` in the log line), after the delay a test ordered.
void answer_chunk(Server& server, uint64_t seq, std::string shown, Reply reply, HttpResponse response) {
    auto finish = [&server, seq, shown = std::move(shown), reply = std::move(reply)](HttpResponse response) {
        auto& log = server.state().upload_log;
        for (auto it = log.rbegin(); it != log.rend(); ++it) {
            if (it->seq != seq) continue;
            it->status = response.drop ? 0 : response.status;
            it->dropped = response.drop;
            break;
        }
        print_line(upload_answer_line(shown, response));
        server.notify_waiters();
        reply(std::move(response));
    };
    upload_answer_after_delay(server, std::move(response), std::move(finish));
}

void post_upload_chunk(Server& server, const HttpRequest& request, Reply reply) {
    ServerState& state = server.state();
    UploadLogEntry entry;
    entry.seq = state.next_upload_seq++;
    entry.connection = request.connection;
    entry.chunk = true;
    // A body streamed before the recording was ordered is not there to record.
    if (state.upload_faults.record_raw && !request.streamed) record_raw(server, entry.seq, request);

    // Read before any answer is chosen, so that the log names even refused chunks.
    auto reader = std::static_pointer_cast<ChunkReader>(request.streamed);
    if (!reader) {
        reader = std::make_shared<ChunkReader>(server, request.content_type);
        reader->feed(request.body);
    }
    const std::string form_error = reader->finish();
    const std::vector<FormField>& fields = reader->fields();
    if (const FormField* field = find_field(fields, "batch_id")) entry.batch_id = field->value;
    if (const FormField* field = find_field(fields, "part_number")) {
        entry.part_number = parse_decimal<int64_t>(field->value);
    }
    if (const FormField* field = find_field(fields, "chunk_index")) {
        entry.chunk_index = parse_decimal<int64_t>(field->value);
    }
    std::string shown = "upload: chunk seq=" + std::to_string(entry.seq) +
                        " batch=" + json_safe(entry.batch_id.substr(0, MAX_NAME)) +
                        " part=" + (entry.part_number ? std::to_string(*entry.part_number) : "?") +
                        " chunk=" + (entry.chunk_index ? std::to_string(*entry.chunk_index) : "?");
    // Logged on arrival, so a test can see a chunk whose answer is still held back.
    const uint64_t seq = entry.seq;
    state.upload_log.push_back(std::move(entry));
    server.notify_waiters();

    const bool close = take(state.upload_faults.close_after);
    const auto answer = [&](HttpResponse response) {
        response.close_after = close;
        answer_chunk(server, seq, std::move(shown), std::move(reply), std::move(response));
    };
    if (auto fault = ordered_fault(state.upload_faults)) return answer(std::move(*fault));
    if (!has_token(request)) return answer(json_error(401, "missing token"));
    if (!form_error.empty()) return answer(json_error(400, form_error));
    ChunkUpload chunk;
    if (const std::string error = read_chunk(fields, chunk); !error.empty()) return answer(json_error(400, error));
    chunk.incoming = &reader->incoming();
    answer(store_chunk(server, chunk));
}

void get_upload_chunk_status(Server& server, const HttpRequest& request, Reply reply) {
    ServerState& state = server.state();
    UploadLogEntry entry;
    entry.seq = state.next_upload_seq++;
    entry.connection = request.connection;
    const auto batch_id = request.query.find("batch_id");
    const auto part_number = request.query.find("part_number");
    if (batch_id != request.query.end()) entry.batch_id = batch_id->second;
    if (part_number != request.query.end()) entry.part_number = parse_decimal<int64_t>(part_number->second);

    const auto answer = [&](HttpResponse response) {
        entry.status = response.status;
        print_line("upload: status seq=" + std::to_string(entry.seq) + " batch=" +
                   json_safe(entry.batch_id.substr(0, MAX_NAME)) +
                   " part=" + (entry.part_number ? std::to_string(*entry.part_number) : "?") + " -> " +
                   std::to_string(response.status));
        state.upload_log.push_back(std::move(entry));
        server.notify_waiters();
        reply(std::move(response));
    };
    if (!has_token(request)) return answer(json_error(401, "missing token"));
    if (batch_id == request.query.end() || batch_id->second.empty()) return answer(json_error(400, "missing batch_id"));
    if (!entry.part_number) return answer(json_error(400, "invalid part_number"));

    JsonPtr body(cJSON_CreateObject());
    cJSON* list = cJSON_AddArrayToObject(body.get(), "received_chunks");
    // An unknown batch or part simply has nothing yet. A failed part holds nothing worth keeping:
    // the agent sends it again and the first chunk starts it anew. The shape of the part is named
    // so that an agent can tell held chunks of another part size from its own.
    if (const auto batch = state.batches.find(batch_id->second); batch != state.batches.end()) {
        if (const auto part = batch->second.parts.find(*entry.part_number); part != batch->second.parts.end()) {
            const UploadPart& held = part->second;
            if (held.state != PartState::error) {
                for (const int64_t index : held.received) {
                    cJSON_AddItemToArray(list, cJSON_CreateNumber(static_cast<double>(index)));
                }
            }
            cJSON_AddNumberToObject(body.get(), "total_chunks", static_cast<double>(held.total_chunks));
            if (!held.compressed.empty()) {
                cJSON_AddNumberToObject(body.get(), "original_size", static_cast<double>(held.original_size));
            }
        }
    }
    answer(json_response(200, body.get()));
}

// Uploads: what arrived, and faults to order for the chunk requests.

JsonPtr batch_json(const UploadBatch& batch) {
    JsonPtr body(cJSON_CreateObject());
    cJSON_AddStringToObject(body.get(), "batch_id", batch.id.c_str());
    cJSON_AddNumberToObject(body.get(), "total_parts", static_cast<double>(batch.total_parts));
    cJSON_AddNumberToObject(body.get(), "first_part",
                            batch.parts.empty() ? 0.0 : static_cast<double>(batch.parts.begin()->first));
    if (batch.existing_disk_id.empty()) {
        cJSON_AddNumberToObject(body.get(), "disk_id", static_cast<double>(batch.disk_id));
    } else {
        cJSON_AddStringToObject(body.get(), "disk_id", json_safe(batch.existing_disk_id).c_str());
    }
    const bool complete = batch_complete(batch);
    cJSON_AddBoolToObject(body.get(), "complete", complete);
    cJSON_AddNumberToObject(body.get(), "image_size", complete ? static_cast<double>(batch.image_size) : 0.0);
    if (complete) cJSON_AddStringToObject(body.get(), "image_sha256", batch.image_sha256.c_str());
    if (batch.image_state == ImageState::error) {
        cJSON_AddStringToObject(body.get(), "image_error", batch.image_error.c_str());
    }
    cJSON* parts = cJSON_AddArrayToObject(body.get(), "parts");
    for (const auto& [number, part] : batch.parts) {
        cJSON* item = cJSON_CreateObject();
        cJSON_AddNumberToObject(item, "part_number", static_cast<double>(number));
        cJSON_AddStringToObject(item, "filename", part.filename.c_str());
        cJSON_AddStringToObject(item, "compressed", part.compressed.c_str());
        cJSON_AddNumberToObject(item, "original_size", static_cast<double>(part.original_size));
        cJSON_AddNumberToObject(item, "total_chunks", static_cast<double>(part.total_chunks));
        cJSON* received = cJSON_AddArrayToObject(item, "received_chunks");
        for (const int64_t index : part.received) {
            cJSON_AddItemToArray(received, cJSON_CreateNumber(static_cast<double>(index)));
        }
        cJSON_AddStringToObject(item, "disk_name", json_safe(part.disk_name).c_str());
        cJSON_AddStringToObject(item, "state", part_state_name(part.state));
        if (part.state == PartState::error) cJSON_AddStringToObject(item, "error", json_safe(part.error).c_str());
        cJSON_AddNumberToObject(item, "size", static_cast<double>(part.size));
        cJSON_AddItemToArray(parts, item);
    }
    return body;
}

void get_batch(Server& server, const HttpRequest& request, Reply reply) {
    const auto id = request.query.find("batch_id");
    if (id == request.query.end() || id->second.empty()) return reply(invalid("batch_id"));
    const auto wait = query_int(request, "wait_complete", 0);
    if (!wait || (*wait != 0 && *wait != 1)) return reply(invalid("wait_complete"));
    const auto timeout = query_timeout(request);
    if (!timeout) return reply(invalid("timeout_ms"));

    // Without waiting, an unknown batch is 404; a wait also covers a batch whose first chunk is
    // still to come. A part in error ends the wait, since the image can no longer be made.
    auto check = [&server, id = id->second, wait = *wait == 1]() -> std::optional<HttpResponse> {
        const auto& batches = server.state().batches;
        const auto found = batches.find(id);
        if (found == batches.end()) return wait ? std::nullopt : std::optional(json_error(404, "unknown batch"));
        const UploadBatch& batch = found->second;
        const bool failed = batch.image_state == ImageState::error ||
                            std::any_of(batch.parts.begin(), batch.parts.end(),
                                        [](const auto& part) { return part.second.state == PartState::error; });
        if (wait && !batch_complete(batch) && !failed) return std::nullopt;
        return json_response(200, batch_json(batch).get());
    };
    server.wait_until(std::move(check), *timeout, std::move(reply));
}

void get_upload_log(Server& server, const HttpRequest& request, Reply reply) {
    const auto since = query_int(request, "since", 1);
    if (!since) return reply(invalid("since"));
    JsonPtr body(cJSON_CreateObject());
    cJSON* list = cJSON_AddArrayToObject(body.get(), "requests");
    for (const auto& entry : server.state().upload_log) {
        if (static_cast<int64_t>(entry.seq) < *since) continue;
        cJSON* item = cJSON_CreateObject();
        cJSON_AddNumberToObject(item, "seq", static_cast<double>(entry.seq));
        cJSON_AddNumberToObject(item, "connection", static_cast<double>(entry.connection));
        cJSON_AddStringToObject(item, "kind", entry.chunk ? "chunk" : "status");
        cJSON_AddStringToObject(item, "batch_id", json_safe(entry.batch_id).c_str());
        if (entry.part_number) cJSON_AddNumberToObject(item, "part_number", static_cast<double>(*entry.part_number));
        if (entry.chunk && entry.chunk_index) {
            cJSON_AddNumberToObject(item, "chunk_index", static_cast<double>(*entry.chunk_index));
        }
        cJSON_AddNumberToObject(item, "status", entry.status);
        cJSON_AddBoolToObject(item, "dropped", entry.dropped);
        cJSON_AddItemToArray(list, item);
    }
    cJSON_AddNumberToObject(body.get(), "next", static_cast<double>(server.state().next_upload_seq));
    reply(json_response(200, body.get()));
}

// Each member present sets its fault and leaves the others as they are; {} or "reset" disarms all.
// "after" holds back the status and drop faults for that many more chunk POSTs.
void post_upload_fault(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));
    // A misspelt member would otherwise arm nothing, silently.
    static const std::set<std::string> known = {"reset", "status", "count", "body", "drop",
                                                "after", "delay_ms", "pad", "record_raw", "close_after"};
    for (const cJSON* member = body->child; member; member = member->next) {
        if (!known.contains(member->string)) return reply(invalid(member->string));
    }
    UploadFaults faults = server.state().upload_faults;
    const cJSON* reset = cJSON_GetObjectItemCaseSensitive(body.get(), "reset");
    if (reset && !cJSON_IsBool(reset)) return reply(invalid("reset"));
    if (cJSON_IsTrue(reset) || !body->child) faults = {};

    const auto count = body_int(body.get(), "count", 1);
    if (!count || *count < -1 || *count > 1000000) return reply(invalid("count"));
    if (cJSON_GetObjectItemCaseSensitive(body.get(), "status")) {
        const auto status = body_int(body.get(), "status", 0);
        if (!status || (*status != 0 && (*status < 200 || *status > 599))) return reply(invalid("status"));
        const cJSON* text = cJSON_GetObjectItemCaseSensitive(body.get(), "body");
        if (text && !cJSON_IsString(text)) return reply(invalid("body"));
        const bool disarm = *status == 0 || *count == 0;
        faults.status = disarm ? 0 : static_cast<unsigned>(*status);
        faults.status_count = disarm ? 0 : static_cast<int>(*count);
        faults.body = text ? std::optional<std::string>(text->valuestring) : std::nullopt;
    }
    if (cJSON_GetObjectItemCaseSensitive(body.get(), "drop")) {
        const auto drop = body_int(body.get(), "drop", 0);
        if (!drop || *drop < -1 || *drop > 1000000) return reply(invalid("drop"));
        faults.drop_count = static_cast<int>(*drop);
    }
    if (cJSON_GetObjectItemCaseSensitive(body.get(), "after")) {
        const auto after = body_int(body.get(), "after", 0);
        if (!after || *after < 0 || *after > 1000000) return reply(invalid("after"));
        faults.after = static_cast<int>(*after);
    }
    if (cJSON_GetObjectItemCaseSensitive(body.get(), "close_after")) {
        const auto close = body_int(body.get(), "close_after", 0);
        if (!close || *close < -1 || *close > 1000000) return reply(invalid("close_after"));
        faults.close_after = static_cast<int>(*close);
    }
    if (cJSON_GetObjectItemCaseSensitive(body.get(), "delay_ms")) {
        const auto delay = body_int(body.get(), "delay_ms", 0);
        if (!delay || *delay < 0 || *delay > MAX_WAIT_MS) return reply(invalid("delay_ms"));
        faults.delay_ms = static_cast<unsigned>(*delay);
    }
    if (cJSON_GetObjectItemCaseSensitive(body.get(), "pad")) {
        const auto pad = body_int(body.get(), "pad", 0);
        if (!pad || *pad < 0 || *pad > MAX_PAD_BYTES) return reply(invalid("pad"));
        faults.pad = static_cast<size_t>(*pad);
    }
    if (const cJSON* record = cJSON_GetObjectItemCaseSensitive(body.get(), "record_raw")) {
        if (!cJSON_IsBool(record)) return reply(invalid("record_raw"));
        faults.record_raw = cJSON_IsTrue(record);
    }
    server.state().upload_faults = std::move(faults);
    reply(json_ok());
}

}  // namespace

std::string upload_answer_line(const std::string& shown, const HttpResponse& response) {
    std::string line = shown + " -> " + (response.drop ? "dropped" : std::to_string(response.status));
    if (response.status >= 400 && !response.drop) {
        std::string reason = json_safe(response.body.substr(0, 200));
        std::replace_if(reason.begin(), reason.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
        line += " " + reason;
    }
    return line;
}

void upload_answer_after_delay(Server& server, HttpResponse response, std::function<void(HttpResponse)> finish) {
    const unsigned delay = server.state().upload_faults.delay_ms;
    if (delay == 0) return finish(std::move(response));
    auto timer = std::make_shared<boost::asio::steady_timer>(server.io(), std::chrono::milliseconds(delay));
    timer->async_wait([timer, finish = std::move(finish), response = std::move(response)](
                          const boost::system::error_code&) mutable { finish(std::move(response)); });
}

std::optional<HttpResponse> upload_ordered_fault(Server& server) { return ordered_fault(server.state().upload_faults); }

void uploads_reset(Server& server) {
    ServerState& state = server.state();
    state.upload_log.clear();
    state.upload_faults = {};
}

std::vector<Route> upload_routes() {
    return {
        {"POST", "/upload_chunk", post_upload_chunk, open_chunk_body},
        {"GET", "/upload_chunk_status", get_upload_chunk_status},
        {"GET", "/control/batch", get_batch},
        {"GET", "/control/upload_log", get_upload_log},
        {"POST", "/control/upload_fault", post_upload_fault},
    };
}
