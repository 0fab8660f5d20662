// HTTP as every area of zelvo-server sees it: a request, its answer, the route table's entries,
// JSON answers, and readers for the arguments in query strings and JSON bodies. The sessions that
// carry requests over plain or TLS connections live in server.cpp.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"

class Server;

// Takes a request body piece by piece as it arrives, for routes whose bodies are large and go
// straight to disk; the route's handler then finds it in HttpRequest::streamed.
class BodyReader {
public:
    virtual ~BodyReader() = default;
    virtual void feed(std::string_view piece) = 0;
};

struct HttpRequest {
    uint64_t connection = 0;  // the same for every request on one TCP connection
    std::string method;
    std::string path;
    std::map<std::string, std::string> query;  // decoded
    std::string content_type;                  // empty when the request named none
    std::string body;                     // empty when the body was streamed
    std::shared_ptr<BodyReader> streamed;  // what took the body instead, if anything did
};

struct HttpResponse {
    unsigned status = 200;
    std::string body;
    std::string content_type = "application/json";
    // Sends only this many bytes of the body, under the full Content-Length, then closes the
    // connection: a body cut short.
    std::optional<size_t> cut_after;
    // Closes the connection without answering at all.
    bool drop = false;
    // Answers as if the connection stayed open, then closes it without a word: a keep-alive
    // time-out that ran out on the server's side.
    bool close_after = false;
};

using Reply = std::function<void(HttpResponse)>;

using RouteHandler = std::function<void(Server&, const HttpRequest&, Reply)>;
// Called with a request's head (no body yet); a reader that the body is to be streamed to, or null
// to have the body read whole as usual.
using BodyOpener = std::function<std::shared_ptr<BodyReader>(Server&, const HttpRequest&)>;
struct Route {
    std::string method;
    std::string path;  // a trailing "*" matches any rest of the path
    RouteHandler handler;
    BodyOpener open_body = nullptr;
};

// The longest a control route may be asked to wait.
constexpr int64_t MAX_WAIT_MS = 120000;

// JSON bodies for routes.
HttpResponse json_response(unsigned status, const cJSON* body);
HttpResponse json_error(unsigned status, const std::string& message);
HttpResponse json_ok();
// 400 {"error":"invalid <name>"}.
HttpResponse invalid(const std::string& name);

// Bytes that are not UTF-8, and NUL, replaced by U+FFFD.
std::string json_safe(const std::string& in);
// One line on stdout, flushed.
void print_line(const std::string& line);
// Decoded name=value pairs of a query string or a form body.
std::map<std::string, std::string> parse_form(const std::string& text);

// The request's JSON body; an empty body stands for {}. Null when it is not JSON.
JsonPtr parse_body(const HttpRequest& request);
// Integer member of a body; `fallback` when absent, nothing when present but not an integer.
std::optional<int64_t> body_int(const cJSON* body, const char* name, int64_t fallback);
// Integer argument of the query; `fallback` when absent, nothing when not an integer.
std::optional<int64_t> query_int(const HttpRequest& request, const char* name, int64_t fallback);
// "timeout_ms" of the query, at most MAX_WAIT_MS; nothing when it is not a usable number.
std::optional<std::chrono::milliseconds> query_timeout(const HttpRequest& request);
