// http_sink: a small, fast HTTP/1.1 server for the imaging benchmark. It takes chunk uploads the
// way the upload server does (keep-alive, bodies by Content-Length) and throws the bodies away, so
// that a benchmark measures the sender and not the receiver. It records what the benchmark needs:
// when each request's first byte arrived, bytes, requests and connections.
//
//   POST /upload_chunk?...          body read and dropped (or kept with --record), {"status":"ok"}
//   GET  /upload_chunk_status?...   {"received_chunks":[]}: nothing is ever held
//   GET  /stats                     counters and first/last chunk times since start or reset
//   GET  /requests?since=N          one entry per request from entry N on: first byte time, ...
//   POST /reset                     zeroes the counters and forgets the requests
//
// Times are CLOCK_MONOTONIC nanoseconds, the clock a benchmark script reads as time.monotonic_ns().
// With --record DIR every chunk body is also written to DIR/NNNNNN.body and a line "NNNNNN.body
// <TAB> content type <TAB> request target" appended to DIR/index.tsv, so that the same bodies can
// be sent again later by another client.
//
// Usage: http_sink [--listen 127.0.0.1:PORT] [--port-file PATH] [--record DIR]
// One thread per connection: the agent and curl use one or a few connections at a time. Dropped
// bodies never reach user space (MSG_TRUNC), which keeps the sink at a small fraction of a core.
// "connections" in /stats counts those that carried an upload or status request.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr size_t kBufferSize = 256 * 1024;  // heads, and bodies that are recorded
constexpr size_t kMaxHead = 64 * 1024;       // request line and headers

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

enum class Kind { chunk, status, other };

struct RequestEntry {
    int64_t first_byte_ns;  // first byte of the request line arrived
    int64_t done_ns;        // body read in full, before the answer was sent
    uint64_t body_bytes;
    uint64_t connection;    // connection number, from 1
    Kind kind;
};

struct Sink {
    std::mutex lock;                       // guards the fields below up to `record_dir`
    std::vector<RequestEntry> requests;    // since start or the last reset
    uint64_t connections = 0;              // that carried a counted request, since start or reset
    uint64_t generation = 0;               // counts the resets
    uint64_t wire_bytes = 0;               // every byte received, heads included
    uint64_t body_bytes = 0;               // chunk bodies only
    uint64_t record_count = 0;             // bodies written with --record
    std::string record_dir;                // empty: bodies are dropped
    std::atomic<uint64_t> connection_ids{0};
} g_sink;

bool send_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool write_all(int fd, const char* data, size_t size) {
    while (size) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

struct Head {
    std::string method;
    std::string target;
    std::string content_type;
    uint64_t content_length = 0;
    bool has_length = false;
    bool chunked = false;
    bool expect_continue = false;
    bool close = false;  // the client asked for it, or HTTP/1.0
    bool valid = false;
};

Head parse_head(std::string_view text) {
    Head head;
    size_t eol = text.find("\r\n");
    const std::string_view line = text.substr(0, eol);
    const size_t sp1 = line.find(' ');
    const size_t sp2 = line.rfind(' ');
    if (sp1 == std::string_view::npos || sp2 == sp1) return head;
    head.method = line.substr(0, sp1);
    head.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    head.close = line.substr(sp2 + 1) == "HTTP/1.0";
    while (eol != std::string_view::npos && eol + 2 < text.size()) {
        const size_t start = eol + 2;
        eol = text.find("\r\n", start);
        const std::string_view header = text.substr(start, eol == std::string_view::npos ? text.npos : eol - start);
        const size_t colon = header.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = trim(header.substr(0, colon));
        const std::string_view value = trim(header.substr(colon + 1));
        if (iequals(name, "Content-Length")) {
            char* end = nullptr;
            const std::string digits(value);
            head.content_length = std::strtoull(digits.c_str(), &end, 10);
            head.has_length = end && *end == '\0' && !digits.empty();
            if (!head.has_length) return head;
        } else if (iequals(name, "Content-Type")) {
            head.content_type = value;
        } else if (iequals(name, "Transfer-Encoding")) {
            head.chunked = !iequals(value, "identity");
        } else if (iequals(name, "Expect")) {
            head.expect_continue = iequals(value, "100-continue");
        } else if (iequals(name, "Connection")) {
            if (iequals(value, "close")) head.close = true;
            if (iequals(value, "keep-alive")) head.close = false;
        }
    }
    head.valid = true;
    return head;
}

std::string_view path_of(std::string_view target) { return target.substr(0, target.find('?')); }

std::string response(int status, std::string_view reason, std::string_view body, bool close) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) +
                      "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                      (close ? "\r\nConnection: close" : "") + "\r\n\r\n";
    out += body;
    return out;
}

const char* kind_name(Kind kind) { return kind == Kind::chunk ? "chunk" : kind == Kind::status ? "status" : "other"; }

std::string stats_json() {
    std::lock_guard guard(g_sink.lock);
    uint64_t chunks = 0, statuses = 0;
    int64_t first_chunk = 0, last_chunk_done = 0;
    for (const RequestEntry& entry : g_sink.requests) {
        if (entry.kind == Kind::chunk) {
            ++chunks;
            if (!first_chunk || entry.first_byte_ns < first_chunk) first_chunk = entry.first_byte_ns;
            last_chunk_done = std::max(last_chunk_done, entry.done_ns);
        } else if (entry.kind == Kind::status) {
            ++statuses;
        }
    }
    return "{\"requests\":" + std::to_string(g_sink.requests.size()) + ",\"chunk_requests\":" +
           std::to_string(chunks) + ",\"status_requests\":" + std::to_string(statuses) +
           ",\"connections\":" + std::to_string(g_sink.connections) + ",\"wire_bytes\":" +
           std::to_string(g_sink.wire_bytes) + ",\"body_bytes\":" + std::to_string(g_sink.body_bytes) +
           ",\"first_chunk_ns\":" + std::to_string(first_chunk) + ",\"last_chunk_done_ns\":" +
           std::to_string(last_chunk_done) + ",\"recorded\":" + std::to_string(g_sink.record_count) +
           ",\"now_ns\":" + std::to_string(now_ns()) + "}";
}

std::string requests_json(std::string_view target) {
    size_t since = 0;
    if (const size_t at = target.find("since="); at != std::string_view::npos) {
        since = std::strtoull(std::string(target.substr(at + 6)).c_str(), nullptr, 10);
    }
    std::lock_guard guard(g_sink.lock);
    std::string out = "{\"next\":" + std::to_string(g_sink.requests.size()) + ",\"requests\":[";
    for (size_t i = since; i < g_sink.requests.size(); ++i) {
        const RequestEntry& e = g_sink.requests[i];
        if (i > since) out += ',';
        out += "{\"first_byte_ns\":" + std::to_string(e.first_byte_ns) + ",\"done_ns\":" + std::to_string(e.done_ns) +
               ",\"body_bytes\":" + std::to_string(e.body_bytes) + ",\"connection\":" + std::to_string(e.connection) +
               ",\"kind\":\"" + kind_name(e.kind) + "\"}";
    }
    return out + "]}";
}

// Opens the file a recorded body goes to and notes it in the index; -1 on failure.
int open_record(const Head& head) {
    std::lock_guard guard(g_sink.lock);
    char name[32];
    std::snprintf(name, sizeof name, "%06llu.body", static_cast<unsigned long long>(g_sink.record_count));
    const std::string path = g_sink.record_dir + "/" + name;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "http_sink: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    const std::string line = std::string(name) + "\t" + head.content_type + "\t" + head.target + "\n";
    const std::string index = g_sink.record_dir + "/index.tsv";
    const int index_fd = open(index.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (index_fd < 0 || !write_all(index_fd, line.data(), line.size())) {
        std::fprintf(stderr, "http_sink: cannot write %s: %s\n", index.c_str(), std::strerror(errno));
        if (index_fd >= 0) close(index_fd);
        close(fd);
        return -1;
    }
    close(index_fd);
    ++g_sink.record_count;
    return fd;
}

void serve(int fd) {
    const uint64_t connection = ++g_sink.connection_ids;
    uint64_t counted_in = UINT64_MAX;  // the generation this connection was last counted in
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    std::vector<char> buffer(kBufferSize);
    size_t held = 0;            // bytes of the next request already in `buffer`
    int64_t held_since = 0;     // when the first of them arrived
    uint64_t wire = 0;          // received on this connection, added to the totals per request
    auto receive = [&](char* into, size_t size, int flags = 0) -> ssize_t {
        for (;;) {
            const ssize_t n = recv(fd, into, size, flags);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) wire += static_cast<uint64_t>(n);
            return n;
        }
    };

    for (;;) {
        // The head: read until the blank line.
        size_t head_end = std::string_view::npos;
        int64_t first_byte = held ? held_since : 0;
        for (;;) {
            head_end = std::string_view(buffer.data(), held).find("\r\n\r\n");
            if (head_end != std::string_view::npos || held >= kMaxHead) break;
            const ssize_t n = receive(buffer.data() + held, buffer.size() - held);
            if (n <= 0) {
                close(fd);
                return;
            }
            if (!first_byte) first_byte = now_ns();
            held += static_cast<size_t>(n);
        }
        if (head_end == std::string_view::npos) {
            send_all(fd, response(431, "Request Header Fields Too Large", "{\"error\":\"head too large\"}", true));
            break;
        }
        const Head head = parse_head(std::string_view(buffer.data(), head_end + 2));
        size_t consumed = head_end + 4;
        // Without Content-Length (and not chunked) a request has no body.
        if (!head.valid || head.chunked) {
            send_all(fd, response(head.valid ? 411 : 400, head.valid ? "Length Required" : "Bad Request",
                                  "{\"error\":\"a body needs Content-Length\"}", true));
            break;
        }
        const std::string_view path = path_of(head.target);
        const Kind kind = head.method == "POST" && path == "/upload_chunk"        ? Kind::chunk
                          : head.method == "GET" && path == "/upload_chunk_status" ? Kind::status
                                                                                   : Kind::other;
        if (head.expect_continue && head.content_length > 0 && !send_all(fd, "HTTP/1.1 100 Continue\r\n\r\n")) break;

        // The body: what came with the head, then straight reads until Content-Length is met.
        int record_fd = -1;
        bool recording = false;
        {
            std::lock_guard guard(g_sink.lock);
            recording = kind == Kind::chunk && !g_sink.record_dir.empty();
        }
        if (recording && (record_fd = open_record(head)) < 0) {
            send_all(fd, response(500, "Internal Server Error", "{\"error\":\"cannot record\"}", true));
            break;
        }
        uint64_t left = head.content_length;
        const size_t in_buffer = static_cast<size_t>(std::min<uint64_t>(left, held - consumed));
        bool ok = true;
        if (record_fd >= 0) ok = write_all(record_fd, buffer.data() + consumed, in_buffer);
        consumed += in_buffer;
        left -= in_buffer;
        while (ok && left > 0) {
            // A dropped body is discarded in the kernel (MSG_TRUNC on TCP): no copy to user space.
            const ssize_t n =
                record_fd >= 0
                    ? receive(buffer.data(), static_cast<size_t>(std::min<uint64_t>(left, buffer.size())))
                    : receive(nullptr, static_cast<size_t>(std::min<uint64_t>(left, 16 * kBufferSize)), MSG_TRUNC);
            if (n <= 0) {
                ok = false;
                break;
            }
            if (record_fd >= 0) ok = write_all(record_fd, buffer.data(), static_cast<size_t>(n));
            left -= static_cast<uint64_t>(n);
        }
        if (record_fd >= 0) close(record_fd);
        if (!ok) break;
        const int64_t done = now_ns();
        // Keep what follows the body (a pipelined request) at the front of the buffer.
        held -= consumed;
        if (held) std::memmove(buffer.data(), buffer.data() + consumed, held);
        held_since = done;

        std::string answer;
        bool counted = true;
        if (kind == Kind::chunk) {
            answer = response(200, "OK", "{\"status\":\"ok\"}", head.close);
        } else if (kind == Kind::status) {
            answer = response(200, "OK", "{\"received_chunks\":[]}", head.close);
        } else if (head.method == "GET" && path == "/stats") {
            answer = response(200, "OK", stats_json(), head.close);
            counted = false;
        } else if (head.method == "GET" && path == "/requests") {
            answer = response(200, "OK", requests_json(head.target), head.close);
            counted = false;
        } else if (head.method == "POST" && path == "/reset") {
            {
                std::lock_guard guard(g_sink.lock);
                g_sink.requests.clear();
                g_sink.connections = 0;
                g_sink.wire_bytes = 0;
                g_sink.body_bytes = 0;
                ++g_sink.generation;
            }
            wire = 0;
            answer = response(200, "OK", "{\"status\":\"ok\"}", head.close);
            counted = false;
        } else {
            answer = response(404, "Not Found", "{\"error\":\"no such route\"}", head.close);
        }
        if (counted) {
            std::lock_guard guard(g_sink.lock);
            g_sink.requests.push_back({first_byte, done, head.content_length, connection, kind});
            // Connections are counted by the requests they carry, so that /stats calls do not count.
            if (counted_in != g_sink.generation) {
                counted_in = g_sink.generation;
                ++g_sink.connections;
            }
            g_sink.wire_bytes += wire;
            if (kind == Kind::chunk) g_sink.body_bytes += head.content_length;
        }
        wire = 0;
        if (!send_all(fd, answer) || head.close) break;
    }
    close(fd);
}

bool parse_listen(const char* text, sockaddr_in* address) {
    const std::string value(text);
    const size_t colon = value.rfind(':');
    if (colon == std::string::npos) return false;
    address->sin_family = AF_INET;
    address->sin_port = htons(static_cast<uint16_t>(std::atoi(value.c_str() + colon + 1)));
    return inet_pton(AF_INET, value.substr(0, colon).c_str(), &address->sin_addr) == 1;
}

}  // namespace

int main(int argc, char** argv) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string port_file;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--listen" && i + 1 < argc) {
            if (!parse_listen(argv[++i], &address)) {
                std::fprintf(stderr, "http_sink: --listen wants ADDRESS:PORT\n");
                return 2;
            }
        } else if (arg == "--port-file" && i + 1 < argc) {
            port_file = argv[++i];
        } else if (arg == "--record" && i + 1 < argc) {
            g_sink.record_dir = argv[++i];
        } else {
            std::fprintf(stderr, "usage: http_sink [--listen ADDRESS:PORT] [--port-file PATH] [--record DIR]\n");
            return 2;
        }
    }

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 64) != 0) {
        std::fprintf(stderr, "http_sink: cannot listen: %s\n", std::strerror(errno));
        return 1;
    }
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const int port = ntohs(address.sin_port);
    if (!port_file.empty()) {
        // Written whole under another name first, so that a reader never sees half of it.
        const std::string temp = port_file + ".tmp";
        FILE* f = std::fopen(temp.c_str(), "w");
        if (!f || std::fprintf(f, "%d\n", port) < 0 || std::fclose(f) != 0 ||
            std::rename(temp.c_str(), port_file.c_str()) != 0) {
            std::fprintf(stderr, "http_sink: cannot write %s: %s\n", port_file.c_str(), std::strerror(errno));
            return 1;
        }
    }
    std::printf("http_sink: listening on port %d\n", port);
    std::fflush(stdout);

    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) continue;
            std::fprintf(stderr, "http_sink: accept: %s\n", std::strerror(errno));
            return 1;
        }
        // Connection threads only touch the process-wide sink, which lives until exit.
        std::thread(serve, fd).detach();
    }
}
