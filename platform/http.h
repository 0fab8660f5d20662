// One HTTP(S) request: method, URL, headers, body, time-outs, a streamed response body and the
// status code. WinHTTP on Windows, libcurl elsewhere.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct HttpRequest {
    std::string method = "GET";
    std::string url;                                           // http:// or https://
    std::vector<std::pair<std::string, std::string>> headers;  // name, value
    const void* body = nullptr;
    size_t body_length = 0;
    uint32_t connect_timeout_ms = 30000;
    uint32_t send_timeout_ms = 30000;
    uint32_t receive_timeout_ms = 30000;
    // Called with each piece of the response body; returning false aborts the transfer.
    std::function<bool(const void* data, size_t length)> on_body;
    // Told the total body length when the server sends one (-1 otherwise), before the body.
    std::function<void(int64_t content_length)> on_length;
};

struct HttpResponse {
    bool ok = false;      // a status line was received (any status)
    int status = 0;       // HTTP status code
    std::string error;    // what failed when !ok
    std::string body;     // the body, when the request had no on_body callback
};

HttpResponse http_request(const HttpRequest& request);
