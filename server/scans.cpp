// Routes of the scans area. Sections: checking a chunk; storing it; the agent's route; the control
// routes.
//
// Under data_dir/scans/<scan folder>/<offset>/: chunk.json ({"scan_id","offset","chunk_size"}),
// scan_results.json, region_index.json and regions.bin, each written whole. A chunk sent again
// (a retry after an answer that was lost) replaces what was stored for its offset.

#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "server/files.h"
#include "server/multipart.h"
#include "server/scans.h"
#include "server/server.h"
#include "server/uploads.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* NO_ID_FOLDER = "_no_scan_id";  // valid ids start with a letter or digit
constexpr size_t MAX_SCAN_ID = 64;

// ---- Checking ----------------------------------------------------------------------------------

// A whole number in 0 .. 2^53, the range where JSON numbers are exact.
std::optional<uint64_t> exact_number(const cJSON* item) {
    if (!cJSON_IsNumber(item)) return std::nullopt;
    const double value = item->valuedouble;
    if (!(value >= 0) || value > 9007199254740992.0 || std::trunc(value) != value) return std::nullopt;
    return static_cast<uint64_t>(value);
}

// Every hit of the scan results lies in [offset, end).
std::string check_results(const cJSON* results, uint64_t offset, uint64_t end) {
    const auto inside = [&](std::optional<uint64_t> at) { return at && *at >= offset && *at < end; };
    const cJSON* ftyp = cJSON_GetObjectItemCaseSensitive(results, "ftyp_list");
    const cJSON* moov = cJSON_GetObjectItemCaseSensitive(results, "moov_dict");
    const cJSON* sigs = cJSON_GetObjectItemCaseSensitive(results, "image_sigs");
    if (!cJSON_IsArray(ftyp) || !cJSON_IsObject(moov) || !cJSON_IsArray(sigs)) {
        return "scan_results needs ftyp_list, moov_dict and image_sigs";
    }
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, ftyp) {
        if (!inside(exact_number(item))) return "ftyp offset outside the chunk";
    }
    cJSON_ArrayForEach(item, moov) {
        if (!inside(parse_decimal<uint64_t>(item->string)) || !exact_number(item)) return "moov entry outside the chunk";
    }
    cJSON_ArrayForEach(item, sigs) {
        if (cJSON_GetArraySize(item) != 2 || !inside(exact_number(cJSON_GetArrayItem(item, 0))) ||
            !cJSON_IsString(cJSON_GetArrayItem(item, 1))) {
            return "image_sigs entry malformed or outside the chunk";
        }
    }
    return "";
}

// Every region lies in [offset, end) with end = start + size, and the sizes add up to the blob.
std::string check_index(const cJSON* index, uint64_t offset, uint64_t end, uint64_t blob) {
    if (!cJSON_IsArray(index)) return "region_index is not an array";
    uint64_t total = 0;
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, index) {
        const auto start = exact_number(cJSON_GetObjectItemCaseSensitive(item, "start"));
        const auto stop = exact_number(cJSON_GetObjectItemCaseSensitive(item, "end"));
        const auto size = exact_number(cJSON_GetObjectItemCaseSensitive(item, "size"));
        if (!start || !stop || !size) return "region without start, end and size";
        if (*stop != *start + *size) return "region end is not start + size";
        if (*start < offset || *stop > end) return "region outside the chunk";
        total += *size;  // each at most the chunk size: no overflow
    }
    if (total != blob) {
        return "region sizes add up to " + std::to_string(total) + ", regions hold " + std::to_string(blob) + " bytes";
    }
    return "";
}

// ---- Storing -----------------------------------------------------------------------------------

fs::path scans_dir(const Server& server) { return fs::path(server.state().data_dir) / "scans"; }

std::string store_chunk(const Server& server, const std::string& folder, const ScannedChunk& chunk) {
    const fs::path dir = scans_dir(server) / folder / std::to_string(chunk.offset);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) return "cannot make " + dir.string() + ": " + ec.message();
    JsonPtr meta(cJSON_CreateObject());
    cJSON_AddStringToObject(meta.get(), "scan_id", chunk.scan_id.c_str());
    cJSON_AddNumberToObject(meta.get(), "offset", static_cast<double>(chunk.offset));
    cJSON_AddNumberToObject(meta.get(), "chunk_size", static_cast<double>(chunk.chunk_size));
    // The record last: a chunk is listed only once all of it is stored.
    if (!write_file(dir / "scan_results.json", json_print(chunk.results.get())) ||
        !write_file(dir / "region_index.json", json_print(chunk.index.get())) ||
        !write_file(dir / "regions.bin", chunk.regions) || !write_file(dir / "chunk.json", json_print(meta.get()))) {
        return "cannot store the chunk under " + dir.string() + ": " + errno_text();
    }
    return "";
}

std::optional<std::string> read_whole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---- The agent's route -------------------------------------------------------------------------

// Answers request `seq` (`shown` in the log line), after the delay a test ordered.
void answer_scan(Server& server, uint64_t seq, std::string shown, Reply reply, HttpResponse response) {
    auto finish = [&server, seq, shown = std::move(shown), reply = std::move(reply)](HttpResponse response) {
        auto& log = server.state().scan_log;
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

void post_scanned_chunk(Server& server, const HttpRequest& request, Reply reply) {
    ServerState& state = server.state();
    ScanLogEntry entry;
    entry.seq = state.next_scan_seq++;
    const auto boundary = form_boundary(request.content_type);
    std::vector<FormField> fields;
    const std::string form_error = boundary ? parse_form_data(request.body, *boundary, fields)
                                            : "expected multipart/form-data with a boundary";
    if (const FormField* field = find_field(fields, "scan_id")) entry.scan_id = field->value;
    if (const FormField* field = find_field(fields, "offset")) entry.offset = parse_decimal<uint64_t>(field->value);
    std::string shown = "scan: chunk seq=" + std::to_string(entry.seq) +
                        " scan=" + json_safe(entry.scan_id.substr(0, MAX_SCAN_ID)) +
                        " offset=" + (entry.offset ? std::to_string(*entry.offset) : "?");
    // Logged on arrival, so a test can see a chunk whose answer is still held back.
    const uint64_t seq = entry.seq;
    state.scan_log.push_back(std::move(entry));
    server.notify_waiters();

    const auto answer = [&](HttpResponse response) {
        answer_scan(server, seq, std::move(shown), std::move(reply), std::move(response));
    };
    if (auto fault = upload_ordered_fault(server)) return answer(std::move(*fault));
    const auto token = request.query.find("token");
    if (token == request.query.end() || token->second.empty()) return answer(json_error(401, "missing token"));
    if (!form_error.empty()) return answer(json_error(400, form_error));
    for (const char* name : {"scan_id", "offset", "chunk_size", "scan_results", "region_index", "regions"}) {
        if (!find_field(fields, name)) return answer(json_error(400, std::string("missing field ") + name));
    }
    const auto value = [&](const char* name) -> const std::string& { return find_field(fields, name)->value; };
    ScannedChunk chunk;
    if (std::string error = scan_read_chunk(value("scan_id"), value("offset"), value("chunk_size"),
                                            value("scan_results"), value("region_index"), value("regions"), chunk);
        !error.empty()) {
        return answer(json_error(400, error));
    }
    const std::string folder = *scan_folder_name(chunk.scan_id);
    if (std::string error = store_chunk(server, folder, chunk); !error.empty()) {
        print_line("scan: " + error);
        return answer(json_error(500, "cannot store the chunk"));
    }
    JsonPtr body(cJSON_CreateObject());
    cJSON_AddStringToObject(body.get(), "status", "ok");
    cJSON_AddStringToObject(body.get(), "scan_id", json_safe(chunk.scan_id).c_str());
    cJSON_AddNumberToObject(body.get(), "offset", static_cast<double>(chunk.offset));
    cJSON_AddNumberToObject(body.get(), "regions", cJSON_GetArraySize(chunk.index.get()));
    answer(json_response(200, body.get()));
}

// ---- Control routes ----------------------------------------------------------------------------

std::optional<fs::path> scan_path(const Server& server, const HttpRequest& request) {
    const auto id = request.query.find("scan_id");
    const auto folder = scan_folder_name(id == request.query.end() ? std::string_view() : id->second);
    if (!folder) return std::nullopt;
    return scans_dir(server) / *folder;
}

// {"chunks":[{"offset","chunk_size","scan_results","region_index","regions_size"}, ...]} in offset order.
void get_scan_chunks(Server& server, const HttpRequest& request, Reply reply) {
    const auto dir = scan_path(server, request);
    if (!dir) return reply(invalid("scan_id"));
    std::vector<uint64_t> offsets;
    std::error_code ec;
    for (fs::directory_iterator it(*dir, ec), end; !ec && it != end; it.increment(ec)) {
        const auto offset = parse_decimal<uint64_t>(it->path().filename().string());
        if (offset && fs::exists(it->path() / "chunk.json")) offsets.push_back(*offset);
    }
    std::sort(offsets.begin(), offsets.end());
    JsonPtr body(cJSON_CreateObject());
    cJSON* list = cJSON_AddArrayToObject(body.get(), "chunks");
    for (const uint64_t offset : offsets) {
        const fs::path chunk_dir = *dir / std::to_string(offset);
        JsonPtr meta = read_json_file(chunk_dir / "chunk.json");
        JsonPtr results = read_json_file(chunk_dir / "scan_results.json");
        JsonPtr index = read_json_file(chunk_dir / "region_index.json");
        if (!meta || !results || !index) return reply(json_error(500, "unreadable chunk " + chunk_dir.string()));
        cJSON* item = cJSON_CreateObject();
        cJSON_AddNumberToObject(item, "offset", static_cast<double>(offset));
        cJSON_AddItemToObject(item, "chunk_size",
                              cJSON_Duplicate(cJSON_GetObjectItemCaseSensitive(meta.get(), "chunk_size"), true));
        cJSON_AddItemToObject(item, "scan_results", results.release());
        cJSON_AddItemToObject(item, "region_index", index.release());
        cJSON_AddNumberToObject(item, "regions_size",
                                static_cast<double>(fs::file_size(chunk_dir / "regions.bin", ec)));
        cJSON_AddItemToArray(list, item);
    }
    reply(json_response(200, body.get()));
}

// The bytes of region `index` of the chunk at `offset`.
void get_scan_region(Server& server, const HttpRequest& request, Reply reply) {
    const auto dir = scan_path(server, request);
    if (!dir) return reply(invalid("scan_id"));
    const auto offset = query_int(request, "offset", -1);
    const auto number = query_int(request, "index", -1);
    if (!offset || *offset < 0) return reply(invalid("offset"));
    if (!number || *number < 0) return reply(invalid("index"));
    const fs::path chunk_dir = *dir / std::to_string(*offset);
    JsonPtr index = read_json_file(chunk_dir / "region_index.json");
    if (!index) return reply(json_error(404, "unknown chunk"));
    if (*number >= cJSON_GetArraySize(index.get())) return reply(json_error(404, "unknown region"));
    uint64_t skip = 0;
    for (int i = 0; i < *number; ++i) {
        skip += *exact_number(cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(index.get(), i), "size"));
    }
    const uint64_t size = *exact_number(
        cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(index.get(), static_cast<int>(*number)), "size"));
    const auto blob = read_whole(chunk_dir / "regions.bin");
    if (!blob || blob->size() < skip + size) return reply(json_error(500, "regions.bin shorter than its index"));
    HttpResponse response;
    response.content_type = "application/octet-stream";
    response.body = blob->substr(static_cast<size_t>(skip), static_cast<size_t>(size));
    reply(std::move(response));
}

void get_scan_log(Server& server, const HttpRequest& request, Reply reply) {
    const auto since = query_int(request, "since", 1);
    if (!since) return reply(invalid("since"));
    JsonPtr body(cJSON_CreateObject());
    cJSON* list = cJSON_AddArrayToObject(body.get(), "requests");
    for (const auto& entry : server.state().scan_log) {
        if (static_cast<int64_t>(entry.seq) < *since) continue;
        cJSON* item = cJSON_CreateObject();
        cJSON_AddNumberToObject(item, "seq", static_cast<double>(entry.seq));
        cJSON_AddStringToObject(item, "scan_id", json_safe(entry.scan_id).c_str());
        if (entry.offset) cJSON_AddNumberToObject(item, "offset", static_cast<double>(*entry.offset));
        cJSON_AddNumberToObject(item, "status", entry.status);
        cJSON_AddBoolToObject(item, "dropped", entry.dropped);
        cJSON_AddItemToArray(list, item);
    }
    cJSON_AddNumberToObject(body.get(), "next", static_cast<double>(server.state().next_scan_seq));
    reply(json_response(200, body.get()));
}

}  // namespace

std::optional<std::string> scan_folder_name(std::string_view scan_id) {
    if (scan_id.empty()) return NO_ID_FOLDER;
    if (scan_id.size() > MAX_SCAN_ID) return std::nullopt;
    const auto alnum = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
    if (!alnum(scan_id.front())) return std::nullopt;
    if (!std::all_of(scan_id.begin(), scan_id.end(), [&](char c) { return alnum(c) || c == '.' || c == '_' || c == '-'; })) {
        return std::nullopt;
    }
    return std::string(scan_id);
}

std::string scan_read_chunk(std::string_view scan_id, std::string_view offset, std::string_view chunk_size,
                            std::string_view results, std::string_view index, std::string_view regions,
                            ScannedChunk& chunk) {
    if (!scan_folder_name(scan_id)) return "invalid scan_id";
    chunk.scan_id = scan_id;
    const auto at = parse_decimal<uint64_t>(offset);
    const auto size = parse_decimal<uint64_t>(chunk_size);
    if (!at || *at > (uint64_t{1} << 53)) return "invalid offset";
    if (!size || *size == 0 || *size > MAX_SCAN_CHUNK) return "invalid chunk_size";
    chunk.offset = *at;
    chunk.chunk_size = *size;
    const uint64_t end = *at + *size;
    chunk.results = json_parse(std::string(results));
    if (!cJSON_IsObject(chunk.results.get())) return "scan_results is not a JSON object";
    if (std::string error = check_results(chunk.results.get(), *at, end); !error.empty()) return error;
    chunk.index = json_parse(std::string(index));
    if (std::string error = check_index(chunk.index.get(), *at, end, regions.size()); !error.empty()) return error;
    chunk.regions = regions;
    return "";
}

void scans_reset(Server& server) { server.state().scan_log.clear(); }

std::vector<Route> scan_routes() {
    return {
        {"POST", "/api/remote/scanned_chunk", post_scanned_chunk},
        {"GET", "/control/scan_chunks", get_scan_chunks},
        {"GET", "/control/scan_region", get_scan_region},
        {"GET", "/control/scan_log", get_scan_log},
    };
}
