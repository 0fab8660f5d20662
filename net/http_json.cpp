// JSON requests on the platform's HTTP request. Failures are worded
// per step of the request so that callers can tell a refusal (HTTP 401/403/404) from a network
// fault; both builds use the same words and numbers.
#include "net/http_json.h"

#include <cctype>
#include <cstdio>

#include "core/version.h"
#include "core/log.h"
#include "core/util.h"
#include "platform/http.h"

namespace {

constexpr size_t kMaxUrlUnits = 1023;   // UTF-16 units of the whole URL
constexpr size_t kMaxHostUnits = 255;   // of the host name
constexpr size_t kMaxPathUnits = 511;   // of the path with its query

size_t utf16_units(std::string_view text) {
    size_t units = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) units += 1;  // a lead or single byte starts a character
        if ((c & 0xF8) == 0xF0) units += 1;  // four-byte sequences need a surrogate pair
    }
    return units;
}

// An absolute http(s) URL whose parts fit the request's limits.
bool url_usable(const std::string& url) {
    UrlParts parts;
    if (!url_split(url, &parts)) return false;
    if (!equals_ignoring_case(parts.scheme, "http") && !equals_ignoring_case(parts.scheme, "https")) return false;
    std::string_view path(parts.rest);
    path = path.substr(0, path.find('#'));
    return utf16_units(url) <= kMaxUrlUnits && utf16_units(parts.host) <= kMaxHostUnits &&
           utf16_units(path) <= kMaxPathUnits;
}

void set_error(std::string* error, std::string text) {
    if (error) *error = utf8_cut(text, HTTP_JSON_MAX_ERROR);
}

// The text for a request that got no usable response.
std::string step_error(const HttpResponse& response) {
    switch (response.failed_step) {
        case HttpStep::url:
            return "Invalid URL";
        case HttpStep::open:
            return "WinHttpOpen failed";
        case HttpStep::connect:
            return "WinHttpConnect failed";
        case HttpStep::open_request:
            return "WinHttpOpenRequest failed";
        case HttpStep::send:
            return "WinHttpSendRequest failed (" + std::to_string(response.os_error) + ")";
        case HttpStep::none:
        case HttpStep::receive:
        case HttpStep::read:
            break;
    }
    return "WinHttpReceiveResponse failed (" + std::to_string(response.os_error) + ")";
}

// Parses a body that arrived whole; a body over the bound is never taken for a complete answer.
JsonPtr parse_answer(const HttpResponse& response) {
    if (response.body.size() >= HTTP_JSON_MAX_ANSWER) return nullptr;
    return json_parse(response.body);
}

// The answer of a request whose status is below 400 and whose body is JSON; nothing otherwise,
// with the error text set.
JsonPtr judge_answer(const HttpResponse& response, const char* method, std::string* error) {
    if (response.status == 0 || (!response.ok && response.failed_step != HttpStep::read)) {
        if (!response.error.empty()) log_write(LOG_DEBUG, "http: %s failed: %s", method, response.error.c_str());
        set_error(error, step_error(response));
        return nullptr;
    }
    const unsigned long status = static_cast<unsigned long>(response.status);
    if (status > 399) {
        set_error(error, "HTTP " + std::to_string(status) + ": " + response.body);
        return nullptr;
    }
    JsonPtr answer = response.ok ? parse_answer(response) : nullptr;
    if (!answer) {
        set_error(error, "Invalid JSON response (HTTP " + std::to_string(status) + ")");
        return nullptr;
    }
    return answer;
}

}  // namespace

uint32_t http_post_connect_timeout_ms(size_t body_length) {
    if (body_length == 0) return 30000;
    const uint64_t ms = 1000 * static_cast<uint64_t>(body_length / 32768) + 60000;
    return static_cast<uint32_t>(ms < 30000 ? 30000 : ms > 600000 ? 600000 : ms);
}

namespace {

HttpRequest post_request(const std::string& url, const std::string& content_type) {
    HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.user_agent = ZELVO_USER_AGENT;
    request.headers.emplace_back("Content-Type", content_type);
    request.resolve_timeout_ms = 30000;
    request.send_timeout_ms = 600000;
    request.receive_timeout_ms = 600000;
    request.max_body = HTTP_JSON_MAX_ANSWER;
    return request;
}

JsonPtr post(HttpClient& client, HttpRequest& request, std::string* error, bool* lost_connection) {
    if (lost_connection) *lost_connection = false;
    if (!url_usable(request.url)) {
        set_error(error, "Invalid URL");
        return nullptr;
    }
    request.connect_timeout_ms = http_post_connect_timeout_ms(static_cast<size_t>(http_body_length(request)));
    const HttpResponse response = client.perform(request);
    if (lost_connection) *lost_connection = http_lost_kept_connection(response);
    return judge_answer(response, "POST", error);
}

JsonPtr get(HttpClient& client, const std::string& url, uint32_t connect_ms, uint32_t io_ms, std::string* error) {
    if (!url_usable(url)) {
        set_error(error, "Invalid URL");
        return nullptr;
    }
    HttpRequest request;
    request.method = "GET";
    request.url = url;
    request.user_agent = ZELVO_USER_AGENT;
    request.resolve_timeout_ms = connect_ms;
    request.connect_timeout_ms = connect_ms;
    request.send_timeout_ms = io_ms;
    request.receive_timeout_ms = io_ms;
    request.max_body = HTTP_JSON_MAX_ANSWER;
    return judge_answer(client.perform(request), "GET", error);
}

}  // namespace

JsonPtr http_post_json(const std::string& url, const void* body, size_t body_length, const std::string& content_type,
                       std::string* error) {
    HttpClient client;
    HttpRequest request = post_request(url, content_type);
    request.body = body;
    request.body_length = body_length;
    return post(client, request, error, nullptr);
}

JsonPtr http_post_json(HttpClient& client, const std::string& url, const std::vector<HttpBodyPiece>& body,
                       const std::string& content_type, std::string* error, bool* lost_connection) {
    HttpRequest request = post_request(url, content_type);
    request.body_pieces = body;
    return post(client, request, error, lost_connection);
}

JsonPtr http_get_json(const std::string& url, uint32_t connect_ms, uint32_t io_ms, std::string* error) {
    HttpClient client;
    return get(client, url, connect_ms, io_ms, error);
}

JsonPtr http_get_json(HttpClient& client, const std::string& url, uint32_t connect_ms, uint32_t io_ms,
                      std::string* error) {
    return get(client, url, connect_ms, io_ms, error);
}
