// HTTP routes. The /control/ routes let tests steer the server and see what agents sent; new
// routes are added to the table in make_routes().

#include <algorithm>
#include <charconv>
#include <cmath>

#include "server/server.h"

namespace {

constexpr int64_t DEFAULT_WAIT_MS = 10000;
constexpr int64_t MAX_WAIT_MS = 120000;
// Control frames carry at most 125 bytes, two of which hold the code.
constexpr size_t MAX_CLOSE_REASON = 123;

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
    reply(json_ok());
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
    };
}
