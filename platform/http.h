// HTTP(S) requests: method, URL, headers, body, time-outs, a streamed response body, the status
// code and the announced body length. WinHTTP on Windows, libcurl elsewhere.
//
// Both back ends verify TLS certificates and host names and follow redirects (never from https
// down to http). An HttpClient keeps its connection to a server open from one request to the next;
// http_request makes a client for one request only, so any thread may call it at any time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// A stretch of a request body, sent as it lies in memory (never copied into one buffer).
struct HttpBodyPiece {
    const void* data = nullptr;
    size_t length = 0;
};

struct HttpRequest {
    std::string method = "GET";
    std::string url;                                           // http:// or https://
    std::string user_agent;
    std::vector<std::pair<std::string, std::string>> headers;  // name, value
    // The body: either one stretch (body, body_length) or, when body_pieces is not empty, those
    // pieces one after the other (body and body_length are then ignored). Either way the memory
    // must stay as it is until the request returns: a re-send starts again from its first byte.
    const void* body = nullptr;
    size_t body_length = 0;
    std::vector<HttpBodyPiece> body_pieces;
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
    // The request went out on a connection that an earlier request of the same client had left
    // open (on WinHTTP: the earlier answer left it open, so the pool will have handed it out).
    bool reused_connection = false;
};

// The whole length of a request's body, pieces or not.
inline uint64_t http_body_length(const HttpRequest& request) {
    if (request.body_pieces.empty()) return request.body_length;
    uint64_t length = 0;
    for (const HttpBodyPiece& piece : request.body_pieces) length += piece.length;
    return length;
}

// Whether the request failed because the server had closed the kept-alive connection it went out
// on: no response came, on a reused connection, and not for want of time or of a connection to be
// had. Sending it again at once on a new connection is then safe.
inline bool http_lost_kept_connection(const HttpResponse& response) {
    constexpr unsigned long kTimeout = 12002, kNameNotResolved = 12007, kCannotConnect = 12029;
    return !response.ok && response.reused_connection && response.status == 0 &&
           (response.failed_step == HttpStep::send || response.failed_step == HttpStep::receive) &&
           response.os_error != kTimeout && response.os_error != kNameNotResolved &&
           response.os_error != kCannotConnect;
}

// Requests over one kept-alive connection: the next request to the same scheme, host and port goes
// over the connection the last one left open, when the server kept it. A connection the server has
// closed meanwhile is replaced by a new one. One client per thread: its methods are not to be
// called from two threads at once.
class HttpClient {
public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Performs the request synchronously. A body shorter than its Content-Length is a failure; the
    // status is not judged: a 404 with its whole body is ok.
    HttpResponse perform(const HttpRequest& request);

private:
    struct State;  // the back end's handles
    std::unique_ptr<State> state_;
};

// One request on a client of its own, closed again before it returns.
inline HttpResponse http_request(const HttpRequest& request) {
    HttpClient client;
    return client.perform(request);
}

// Shared by the back ends: once the body has been read, marks the response ok unless the body came
// up short of its Content-Length (`truncated`: the caller stopped reading on purpose).
void http_finish(const HttpRequest& request, bool truncated, HttpResponse* response);
