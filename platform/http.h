// One HTTP(S) request: method, URL, headers, body, time-outs, a streamed response body, the status
// code and the announced body length. WinHTTP on Windows, libcurl elsewhere.
//
// Both back ends verify TLS certificates and host names, follow redirects (never from https down
// to http), keep no state between calls and may be called from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct HttpRequest {
    std::string method = "GET";
    std::string url;                                           // http:// or https://
    std::string user_agent;
    std::vector<std::pair<std::string, std::string>> headers;  // name, value
    const void* body = nullptr;
    size_t body_length = 0;
    uint32_t resolve_timeout_ms = 30000;
    uint32_t connect_timeout_ms = 30000;
    uint32_t send_timeout_ms = 30000;
    uint32_t receive_timeout_ms = 30000;
    // Without on_body the body is collected in HttpResponse::body, at most this many bytes; the
    // transfer stops there.
    size_t max_body = SIZE_MAX;
    // Called once the final response's headers are in, before any of its body: the status and the
    // Content-Length (-1 when the server sent none). Returning false ends the transfer.
    std::function<bool(int status, int64_t content_length)> on_response;
    // Called with each piece of the response body; returning false ends the transfer.
    std::function<bool(const void* data, size_t length)> on_body;
};

// The step of a request that failed. Callers that report failures per step (the upload client)
// use it; the numbering of os_error is WinHTTP's on every build, so both builds report a given
// failure alike.
enum class HttpStep { none, url, open, connect, open_request, send, receive, read };

struct HttpResponse {
    bool ok = false;              // a response arrived and its body was read to its end (or max_body)
    int status = 0;               // the final response's status; 0 when none arrived
    int64_t content_length = -1;  // its Content-Length; -1 when absent
    uint64_t received = 0;        // body bytes handed over
    bool aborted = false;         // a callback ended the transfer (ok is false then)
    std::string error;            // what failed, when !ok
    HttpStep failed_step = HttpStep::none;
    unsigned long os_error = 0;   // the failing step's system error (ERROR_WINHTTP_* numbers)
    std::string body;             // the body, when the request had no on_body
};

// Performs the request synchronously. A body shorter than its Content-Length is a failure; the
// status is not judged: a 404 with its whole body is ok.
HttpResponse http_request(const HttpRequest& request);

// Shared by the back ends: once the body has been read, marks the response ok unless the body came
// up short of its Content-Length (`truncated`: the caller stopped reading on purpose).
void http_finish(const HttpRequest& request, bool truncated, HttpResponse* response);
