// HTTP routes. The /control/ routes let tests steer the server and see what agents sent; the
// linking page confirms a PC's pairing code; /download/ serves files; agents upload disk images
// to /upload_chunk (handled in uploads.cpp). New routes are added to the table in make_routes().

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "server/server.h"

namespace {

constexpr int64_t DEFAULT_WAIT_MS = 10000;
constexpr int64_t MAX_WAIT_MS = 120000;
// Control frames carry at most 125 bytes, two of which hold the code.
constexpr size_t MAX_CLOSE_REASON = 123;
constexpr int64_t MAX_PAD_BYTES = 16 * 1024 * 1024;

// An empty body stands for {}, so POSTs without arguments need none. Trailing text after the
// value is refused, unlike plain cJSON_Parse.
JsonPtr parse_body(const HttpRequest& request) {
    if (request.body.find_first_not_of(" \t\r\n") == std::string::npos) return JsonPtr(cJSON_CreateObject());
    const char* end = nullptr;
    JsonPtr body(cJSON_ParseWithLengthOpts(request.body.data(), request.body.size(), &end, false));
    const size_t used = body ? static_cast<size_t>(end - request.body.data()) : 0;
    if (body && request.body.find_first_not_of(" \t\r\n", used) != std::string::npos) return nullptr;
    return body;
}

// Integer member of a body; `fallback` when absent, nothing when present but not an integer.
std::optional<int64_t> body_int(const cJSON* body, const char* name, int64_t fallback) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(body, name);
    if (!item) return fallback;
    if (!cJSON_IsNumber(item) || std::trunc(item->valuedouble) != item->valuedouble ||
        std::fabs(item->valuedouble) > 9007199254740992.0) {
        return std::nullopt;
    }
    return static_cast<int64_t>(item->valuedouble);
}

std::optional<int64_t> query_int(const HttpRequest& request, const char* name, int64_t fallback) {
    const auto found = request.query.find(name);
    if (found == request.query.end()) return fallback;
    const std::string& text = found->second;
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::optional<std::chrono::milliseconds> query_timeout(const HttpRequest& request) {
    const auto timeout = query_int(request, "timeout_ms", DEFAULT_WAIT_MS);
    if (!timeout || *timeout < 0) return std::nullopt;
    return std::chrono::milliseconds(std::min(*timeout, MAX_WAIT_MS));
}

HttpResponse invalid(const std::string& name) { return json_error(400, "invalid " + name); }

// The connection named by the body's "conn" (default: the current one), or the response that
// explains why there is none.
std::shared_ptr<AgentLink> target_link(Server& server, const cJSON* body, HttpResponse* failure) {
    const auto conn = body_int(body, "conn", 0);
    if (!conn || *conn < 0) {
        *failure = invalid("conn");
        return nullptr;
    }
    auto link = server.find_link(static_cast<uint64_t>(*conn));
    if (!link) *failure = json_error(409, *conn == 0 ? "no agent connected" : "connection not open");
    return link;
}

AgentLink::Done answer_when_done(Reply reply) {
    return [reply = std::move(reply)](const std::string& error) {
        reply(error.empty() ? json_ok() : json_error(409, error));
    };
}

void get_connections(Server& server, const HttpRequest&, Reply reply) {
    JsonPtr body(cJSON_CreateObject());
    cJSON* list = cJSON_AddArrayToObject(body.get(), "connections");
    for (const auto& connection : server.state().connections) {
        cJSON* item = cJSON_CreateObject();
        cJSON_AddNumberToObject(item, "id", static_cast<double>(connection.id));
        cJSON_AddBoolToObject(item, "open", connection.open);
        cJSON_AddStringToObject(item, "remote", connection.remote.c_str());
        cJSON_AddBoolToObject(item, "tls", connection.tls);
        if (connection.close_code >= 0) cJSON_AddNumberToObject(item, "close_code", connection.close_code);
        cJSON_AddBoolToObject(item, "authenticated", connection.authenticated);
        if (connection.authenticated) {
            cJSON_AddNumberToObject(item, "user_id", static_cast<double>(connection.user_id));
            cJSON_AddStringToObject(item, "username", json_safe(connection.username).c_str());
        }
        cJSON_AddItemToArray(list, item);
    }
    cJSON_AddNumberToObject(body.get(), "current", static_cast<double>(server.current_connection()));
    reply(json_response(200, body.get()));
}

void post_send(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));

    std::string payload;
    const cJSON* text = cJSON_GetObjectItemCaseSensitive(body.get(), "text");
    const cJSON* event = cJSON_GetObjectItemCaseSensitive(body.get(), "e");
    if (cJSON_IsString(text)) {
        payload = text->valuestring;
    } else if (cJSON_IsString(event)) {
        // "e" comes first: the agent may rely on the order the server always uses.
        JsonPtr envelope(cJSON_CreateObject());
        cJSON_AddStringToObject(envelope.get(), "e", event->valuestring);
        const cJSON* data = cJSON_GetObjectItemCaseSensitive(body.get(), "d");
        cJSON_AddItemToObject(envelope.get(), "d", data ? cJSON_Duplicate(data, true) : cJSON_CreateObject());
        payload = json_print(envelope.get());
    } else {
        return reply(json_error(400, "expected \"text\" or \"e\" as a string"));
    }

    const auto fragment = body_int(body.get(), "fragment", 0);
    if (!fragment || *fragment < 0) return reply(invalid("fragment"));
    const cJSON* binary = cJSON_GetObjectItemCaseSensitive(body.get(), "binary");
    if (binary && !cJSON_IsBool(binary)) return reply(invalid("binary"));

    HttpResponse failure;
    auto link = target_link(server, body.get(), &failure);
    if (!link) return reply(failure);
    link->send(std::move(payload), cJSON_IsTrue(binary), static_cast<size_t>(*fragment),
               answer_when_done(std::move(reply)));
}

void get_received(Server& server, const HttpRequest& request, Reply reply) {
    const auto since = query_int(request, "since", 1);
    if (!since) return reply(invalid("since"));
    JsonPtr body(cJSON_CreateObject());
    cJSON* list = cJSON_AddArrayToObject(body.get(), "messages");
    for (const auto& message : server.state().received) {
        if (static_cast<int64_t>(message.seq) >= *since) cJSON_AddItemToArray(list, message_json(message).release());
    }
    // Every message below next_seq has been returned or forgotten, whatever `since` was.
    cJSON_AddNumberToObject(body.get(), "next", static_cast<double>(server.state().next_seq));
    reply(json_response(200, body.get()));
}

void get_wait(Server& server, const HttpRequest& request, Reply reply) {
    const auto event = request.query.find("event");
    if (event == request.query.end() || event->second.empty()) return reply(invalid("event"));
    const auto since = query_int(request, "since", 1);
    if (!since) return reply(invalid("since"));
    const auto timeout = query_timeout(request);
    if (!timeout) return reply(invalid("timeout_ms"));

    // Each message is parsed once: `next` moves past the messages already looked at.
    auto check = [&server, name = event->second, next = *since]() mutable -> std::optional<HttpResponse> {
        for (const auto& message : server.state().received) {
            if (static_cast<int64_t>(message.seq) < next) continue;
            next = static_cast<int64_t>(message.seq) + 1;
            JsonPtr parsed = json_parse(message.text);
            const cJSON* e = cJSON_GetObjectItemCaseSensitive(parsed.get(), "e");
            if (cJSON_IsString(e) && name == e->valuestring) return json_response(200, message_json(message).get());
        }
        return std::nullopt;
    };
    server.wait_until(std::move(check), *timeout, std::move(reply));
}

void get_wait_connection(Server& server, const HttpRequest& request, Reply reply) {
    const auto since_id = query_int(request, "since_id", 0);
    if (!since_id) return reply(invalid("since_id"));
    const auto timeout = query_timeout(request);
    if (!timeout) return reply(invalid("timeout_ms"));

    auto check = [&server, since_id = *since_id]() -> std::optional<HttpResponse> {
        for (const auto& connection : server.state().connections) {
            if (static_cast<int64_t>(connection.id) <= since_id || !connection.open) continue;
            JsonPtr body(cJSON_CreateObject());
            cJSON_AddNumberToObject(body.get(), "id", static_cast<double>(connection.id));
            return json_response(200, body.get());
        }
        return std::nullopt;
    };
    server.wait_until(std::move(check), *timeout, std::move(reply));
}

void post_close(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));
    // Any 16-bit code may be sent, so the agent's handling of invalid ones can be tried too;
    // 0 sends a close frame with no code.
    const auto code = body_int(body.get(), "code", 1000);
    if (!code || *code < 0 || *code > 65535) return reply(invalid("code"));
    const cJSON* reason = cJSON_GetObjectItemCaseSensitive(body.get(), "reason");
    if (reason && (!cJSON_IsString(reason) || std::string(reason->valuestring).size() > MAX_CLOSE_REASON)) {
        return reply(invalid("reason"));
    }
    HttpResponse failure;
    auto link = target_link(server, body.get(), &failure);
    if (!link) return reply(failure);
    link->close(static_cast<uint16_t>(*code), reason ? reason->valuestring : "", answer_when_done(std::move(reply)));
}

void post_drop(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));
    HttpResponse failure;
    auto link = target_link(server, body.get(), &failure);
    if (!link) return reply(failure);
    link->drop();
    reply(json_ok());
}

void post_refuse(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));
    const auto status = body_int(body.get(), "status", -1);
    if (!status || (*status != 0 && (*status < 200 || *status > 599))) return reply(invalid("status"));
    const auto count = body_int(body.get(), "count", 1);
    if (!count || *count < -1 || *count > 1000000) return reply(invalid("count"));
    ServerState& state = server.state();
    const bool disarm = *status == 0 || *count == 0;
    state.refuse_status = disarm ? 0 : static_cast<unsigned>(*status);
    state.refuse_count = disarm ? 0 : static_cast<int>(*count);
    reply(json_ok());
}

void post_reset(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));
    // Sequence numbers keep rising, so a "since" taken before the reset stays meaningful.
    ServerState& state = server.state();
    state.received.clear();
    state.refuse_status = 0;
    state.refuse_count = 0;
    // Accounts and devices stay: they stand for what a real server would remember.
    state.auth_fail_error.clear();
    state.auth_fail_count = 0;
    state.update_offer.reset();
    // Uploaded batches stay, like accounts; only the record of requests and the faults go.
    state.upload_log.clear();
    state.upload_faults = {};
    reply(json_ok());
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
                                                "after", "delay_ms", "pad", "record_raw"};
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

void post_upload_chunk(Server& server, const HttpRequest& request, Reply reply) {
    server.upload_chunk(request, std::move(reply));
}

void get_upload_chunk_status(Server& server, const HttpRequest& request, Reply reply) {
    server.upload_chunk_status(request, std::move(reply));
}

// The linking page, where the user confirms the code the agent opened it with.

constexpr const char* HTML = "text/html; charset=utf-8";

std::string html_escape(const std::string& text) {
    std::string out;
    for (const char c : json_safe(text)) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

// A whole page with nothing fetched from elsewhere; `body` is HTML already.
HttpResponse html_page(unsigned status, const std::string& title, const std::string& body) {
    HttpResponse response;
    response.status = status;
    response.content_type = HTML;
    response.body = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                    "<title>" + html_escape(title) + " - Zelvo</title><style>"
                    "body{font-family:system-ui,sans-serif;background:#f3f4f6;margin:0;padding:3em 1em}"
                    "main{max-width:28em;margin:auto;background:#fff;padding:2em;border-radius:8px;"
                    "box-shadow:0 1px 4px rgba(0,0,0,.15)}"
                    "h1{font-size:1.4em;margin-top:0}.code{font:bold 2em monospace;letter-spacing:.2em}"
                    "dt{color:#555;font-size:.9em}dd{margin:0 0 .8em;font-family:monospace}"
                    "input{font-size:1em;padding:.4em;width:100%;box-sizing:border-box;margin:.3em 0 1em}"
                    "button{font-size:1em;padding:.6em 1.4em;background:#2563eb;color:#fff;border:0;border-radius:4px}"
                    "</style></head><body><main><h1>" + html_escape(title) + "</h1>\n" + body +
                    "</main></body></html>\n";
    return response;
}

HttpResponse unknown_code_page() {
    return html_page(404, "Unknown or expired code",
                     "<p>This pairing code is unknown or has expired. Choose <b>Login with Browser</b> in the "
                     "Zelvo tray menu again to get a new one.</p>\n");
}

void get_link_page(Server& server, const HttpRequest& request, Reply reply) {
    const auto code = request.query.find("code");
    const auto& pairings = server.state().pairings;
    const auto found = code == request.query.end() ? pairings.end() : pairings.find(code->second);
    if (found == pairings.end()) return reply(unknown_code_page());
    const Pairing& pairing = found->second;
    reply(html_page(200, "Link this PC to your account",
                    "<p>Check that this code matches the one your PC shows:</p>\n"
                    "<p class=\"code\">" + html_escape(pairing.code) + "</p>\n"
                    "<dl><dt>PC name</dt><dd>" + html_escape(pairing.hostname) + "</dd>"
                    "<dt>Machine ID</dt><dd>" + html_escape(pairing.machine_id) + "</dd></dl>\n"
                    "<form method=\"post\" action=\"/link_service/confirm\">"
                    "<input type=\"hidden\" name=\"code\" value=\"" + html_escape(pairing.code) + "\">"
                    "<label for=\"username\">User name</label>"
                    "<input id=\"username\" name=\"username\" value=\"demo\" required>"
                    "<button type=\"submit\">Link this PC</button></form>\n"));
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

void post_link_confirm(Server& server, const HttpRequest& request, Reply reply) {
    const auto form = parse_form(request.body);
    PairConfirmation confirmation;
    if (const auto code = form.find("code"); code != form.end()) confirmation.code = code->second;
    if (const auto name = form.find("username"); name != form.end()) {
        confirmation.username = trimmed(name->second);
        if (confirmation.username->empty()) {
            return reply(html_page(400, "User name missing", "<p>Go back and enter a user name.</p>\n"));
        }
    }
    server.confirm_pairing(confirmation, [reply = std::move(reply)](unsigned status, const std::string& error,
                                                                    const Account& account) {
        if (status == 200) {
            return reply(html_page(200, "PC linked",
                                   "<p>This PC is now linked to <b>" + html_escape(account.username) +
                                       "</b> (user ID " + std::to_string(account.user_id) +
                                       ").</p>\n<p>You can close this page.</p>\n"));
        }
        if (status == 404) return reply(unknown_code_page());
        reply(html_page(status, "The PC could not be linked", "<p>" + html_escape(error) + ".</p>\n"));
    });
}

// The control twin of the linking page's button.
void post_pair_confirm(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));
    PairConfirmation confirmation;
    const cJSON* code = cJSON_GetObjectItemCaseSensitive(body.get(), "code");
    if (!cJSON_IsString(code)) return reply(invalid("code"));
    confirmation.code = code->valuestring;
    const cJSON* username = cJSON_GetObjectItemCaseSensitive(body.get(), "username");
    if (username && !cJSON_IsString(username)) return reply(invalid("username"));
    if (username) confirmation.username = username->valuestring;
    const auto user_id = body_int(body.get(), "user_id", 0);
    if (!user_id) return reply(invalid("user_id"));
    if (cJSON_GetObjectItemCaseSensitive(body.get(), "user_id")) confirmation.user_id = *user_id;
    const cJSON* omit = cJSON_GetObjectItemCaseSensitive(body.get(), "omit");
    if (omit && !cJSON_IsArray(omit)) return reply(invalid("omit"));
    const cJSON* member = nullptr;
    cJSON_ArrayForEach(member, omit) {
        const std::string name = cJSON_IsString(member) ? member->valuestring : "";
        if (name == "username") {
            confirmation.omit_username = true;
        } else if (name == "user_id") {
            confirmation.omit_user_id = true;
        } else {
            return reply(invalid("omit"));
        }
    }
    server.confirm_pairing(confirmation, [reply = std::move(reply)](unsigned status, const std::string& error,
                                                                    const Account& account) {
        if (status != 200) return reply(json_error(status, error));
        JsonPtr answer(cJSON_CreateObject());
        cJSON_AddNumberToObject(answer.get(), "user_id", static_cast<double>(account.user_id));
        cJSON_AddStringToObject(answer.get(), "username", account.username.c_str());
        reply(json_response(200, answer.get()));
    });
}

void get_pairings(Server& server, const HttpRequest&, Reply reply) {
    JsonPtr body(cJSON_CreateObject());
    cJSON* list = cJSON_AddArrayToObject(body.get(), "pairings");
    for (const auto& [code, pairing] : server.state().pairings) {
        const Connection* connection = server.find_connection(pairing.conn);
        cJSON* item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "code", code.c_str());
        cJSON_AddNumberToObject(item, "conn", static_cast<double>(pairing.conn));
        cJSON_AddBoolToObject(item, "open", connection && connection->open);
        cJSON_AddStringToObject(item, "public_key", pairing.public_key.c_str());
        cJSON_AddStringToObject(item, "platform", json_safe(pairing.platform).c_str());
        cJSON_AddStringToObject(item, "version", json_safe(pairing.version).c_str());
        cJSON_AddStringToObject(item, "build", json_safe(pairing.build).c_str());
        cJSON_AddStringToObject(item, "machine_id", json_safe(pairing.machine_id).c_str());
        cJSON_AddStringToObject(item, "hostname", json_safe(pairing.hostname).c_str());
        cJSON_AddItemToArray(list, item);
    }
    reply(json_response(200, body.get()));
}

void get_devices(Server& server, const HttpRequest&, Reply reply) {
    const ServerState& state = server.state();
    JsonPtr body(cJSON_CreateObject());
    cJSON* devices = cJSON_AddArrayToObject(body.get(), "devices");
    for (const auto& device : state.devices) {
        const Account* account = find_account(state, device.user_id);
        cJSON* item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "public_key", device.public_key.c_str());
        cJSON_AddNumberToObject(item, "user_id", static_cast<double>(device.user_id));
        cJSON_AddStringToObject(item, "username", account ? account->username.c_str() : "");
        cJSON_AddStringToObject(item, "machine_id", json_safe(device.machine_id).c_str());
        cJSON_AddStringToObject(item, "hostname", json_safe(device.hostname).c_str());
        cJSON_AddBoolToObject(item, "revoked", device.revoked);
        cJSON_AddItemToArray(devices, item);
    }
    cJSON* accounts = cJSON_AddArrayToObject(body.get(), "accounts");
    for (const auto& account : state.accounts) {
        cJSON* item = cJSON_CreateObject();
        cJSON_AddNumberToObject(item, "user_id", static_cast<double>(account.user_id));
        cJSON_AddStringToObject(item, "username", account.username.c_str());
        cJSON_AddItemToArray(accounts, item);
    }
    reply(json_response(200, body.get()));
}

void post_revoke(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));
    const cJSON* key = cJSON_GetObjectItemCaseSensitive(body.get(), "public_key");
    if (!cJSON_IsString(key)) return reply(invalid("public_key"));
    // Keys are stored as the agent sends them: base64 of the 32 bytes, with padding.
    for (auto& device : server.state().devices) {
        if (device.public_key != key->valuestring) continue;
        device.revoked = true;
        if (!server.save_devices()) return reply(json_error(500, "cannot save devices"));
        return reply(json_ok());
    }
    reply(json_error(404, "unknown device"));
}

void post_auth_fail(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));
    const cJSON* error = cJSON_GetObjectItemCaseSensitive(body.get(), "error");
    if (error && !cJSON_IsString(error)) return reply(invalid("error"));
    const auto count = body_int(body.get(), "count", 1);
    if (!count || *count < -1 || *count > 1000000) return reply(invalid("count"));
    ServerState& state = server.state();
    const bool disarm = !error || *count == 0;
    state.auth_fail_error = disarm ? "" : error->valuestring;
    state.auth_fail_count = disarm ? 0 : static_cast<int>(*count);
    reply(json_ok());
}

void post_update_offer(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));
    UpdateOffer offer;
    // Any of the members may be left out, or empty, to see what the agent makes of that.
    for (auto [name, target] : {std::pair{"latest_version", &offer.latest_version},
                                std::pair{"download_url", &offer.download_url},
                                std::pair{"filename", &offer.filename}}) {
        const cJSON* item = cJSON_GetObjectItemCaseSensitive(body.get(), name);
        if (item && !cJSON_IsString(item)) return reply(invalid(name));
        if (item) *target = item->valuestring;
    }
    auto& state = server.state();
    if (offer.latest_version || offer.download_url || offer.filename) {
        state.update_offer = std::move(offer);
    } else {
        state.update_offer.reset();
    }
    reply(json_ok());
}

// Files under data_dir/download/, with faults to order: another status, or a body cut short.

std::string decode_path(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned value = 0;
        if (text[i] == '%' && i + 2 < text.size() &&
            std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16).ptr == text.data() + i + 3) {
            out += static_cast<char>(value);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

void get_download(Server& server, const HttpRequest& request, Reply reply) {
    constexpr std::string_view prefix = "/download/";
    const std::string name = decode_path(request.path.substr(prefix.size()));
    // Only the folder's own files: no way up or sideways, nothing hidden.
    if (name.empty() || name.front() == '.' || name.find_first_of(std::string("/\\\0", 3)) != std::string::npos ||
        name.find("..") != std::string::npos) {
        return reply(json_error(404, "not found"));
    }
    const auto status = query_int(request, "status", 200);
    if (!status || *status < 200 || *status > 599) return reply(invalid("status"));
    const auto truncate = query_int(request, "truncate", -1);
    if (!truncate || *truncate < -1) return reply(invalid("truncate"));

    const auto path = std::filesystem::path(server.state().data_dir) / "download" / name;
    std::error_code ec;
    std::ifstream file(path, std::ios::binary);
    if (!std::filesystem::is_regular_file(path, ec) || !file) return reply(json_error(404, "not found"));
    std::ostringstream content;
    content << file.rdbuf();
    HttpResponse response;
    response.status = static_cast<unsigned>(*status);
    response.content_type = "application/octet-stream";
    response.body = std::move(content).str();
    if (*truncate >= 0) response.cut_after = static_cast<size_t>(*truncate);
    reply(std::move(response));
}

}  // namespace

std::vector<Route> make_routes() {
    return {
        {"GET", "/control/connections", get_connections},
        {"POST", "/control/send", post_send},
        {"GET", "/control/received", get_received},
        {"GET", "/control/wait", get_wait},
        {"GET", "/control/wait_connection", get_wait_connection},
        {"POST", "/control/close", post_close},
        {"POST", "/control/drop", post_drop},
        {"POST", "/control/refuse", post_refuse},
        {"POST", "/control/reset", post_reset},
        {"POST", "/control/pair_confirm", post_pair_confirm},
        {"GET", "/control/pairings", get_pairings},
        {"GET", "/control/devices", get_devices},
        {"POST", "/control/revoke", post_revoke},
        {"POST", "/control/auth_fail", post_auth_fail},
        {"POST", "/control/update_offer", post_update_offer},
        {"GET", "/control/batch", get_batch},
        {"GET", "/control/upload_log", get_upload_log},
        {"POST", "/control/upload_fault", post_upload_fault},
        {"GET", "/link_service", get_link_page},
        {"POST", "/link_service/confirm", post_link_confirm},
        {"GET", "/download/*", get_download},
        {"POST", "/upload_chunk", post_upload_chunk},
        {"GET", "/upload_chunk_status", get_upload_chunk_status},
    };
}
