// POSIX back end of the HTTP client, on libcurl's easy interface: one easy handle per client,
// reused from request to request so that its connection cache keeps the connection to the server
// open. Nothing is shared between clients but libcurl's own one-time initialisation.
//
// Sections: the transfer record, its write callback and the body reader; failure classes; option
// set-up; HttpClient::perform.
#include "platform/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <strings.h>

namespace {

constexpr long kReadSize = 65536;  // bytes libcurl hands over per write callback at most
constexpr long kMaxRedirects = 10;
// libcurl copies a body through its upload buffer, sending it a buffer at a time: a large one
// keeps the sends of a multi-MiB chunk few. Small bodies keep libcurl's default.
constexpr long kLargeUploadBuffer = 2097152;
constexpr long kDefaultUploadBuffer = 65536;

struct Transfer {
    const HttpRequest* request;
    HttpResponse* response;
    CURL* curl;
    bool started = false;    // on_response has been told about the final response
    bool truncated = false;  // max_body reached: the transfer was stopped on purpose
};

// Hands the final response's status and length to the caller, once. libcurl skips the bodies of
// redirects it follows, so the first body byte belongs to the final response.
bool begin_response(Transfer* t) {
    if (t->started) return true;
    t->started = true;
    long status = 0;
    curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
    curl_off_t length = -1;
    curl_easy_getinfo(t->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    t->response->status = static_cast<int>(status);
    t->response->content_length = length;
    if (t->request->on_response && !t->request->on_response(static_cast<int>(status), length)) {
        t->response->aborted = true;
        return false;
    }
    return true;
}

// A count other than `size` makes libcurl end the transfer with CURLE_WRITE_ERROR.
size_t on_write(char* data, size_t, size_t size, void* user) {
    auto* t = static_cast<Transfer*>(user);
    if (!begin_response(t)) return 0;
    const HttpRequest& request = *t->request;
    HttpResponse& response = *t->response;
    if (request.on_body) {
        if (!request.on_body(data, size)) {
            response.aborted = true;
            return 0;
        }
    } else {
        size_t room = request.max_body - response.body.size();
        if (size > room) {
            response.body.append(data, room);
            response.received += room;
            t->truncated = true;
            return 0;
        }
        response.body.append(data, size);
    }
    response.received += size;
    return size;
}

// Hands libcurl the body's pieces in order, straight from where they lie; the seek callback lets
// libcurl start again from the first byte when it re-sends (a redirect, a connection that died).
struct BodyReader {
    const HttpBodyPiece* pieces = nullptr;
    size_t count = 0;
    size_t index = 0;   // the piece being read
    size_t offset = 0;  // within it
};

size_t on_read(char* buffer, size_t size, size_t items, void* user) {
    auto* r = static_cast<BodyReader*>(user);
    const size_t room = size * items;
    size_t copied = 0;
    while (copied < room && r->index < r->count) {
        const HttpBodyPiece& piece = r->pieces[r->index];
        const size_t take = std::min(room - copied, piece.length - r->offset);
        if (take) std::memcpy(buffer + copied, static_cast<const char*>(piece.data) + r->offset, take);
        copied += take;
        r->offset += take;
        if (r->offset == piece.length) {
            ++r->index;
            r->offset = 0;
        }
    }
    return copied;
}

int on_seek(void* user, curl_off_t to, int origin) {
    auto* r = static_cast<BodyReader*>(user);
    if (origin != SEEK_SET || to < 0) return CURL_SEEKFUNC_CANTSEEK;
    uint64_t left = static_cast<uint64_t>(to);
    r->index = 0;
    r->offset = 0;
    while (r->index < r->count && left >= r->pieces[r->index].length) {
        left -= r->pieces[r->index].length;
        ++r->index;
    }
    if (r->index == r->count && left > 0) return CURL_SEEKFUNC_FAIL;
    r->offset = static_cast<size_t>(left);
    return CURL_SEEKFUNC_OK;
}

long clamp_long(uint64_t value) { return static_cast<long>(std::min<uint64_t>(value, LONG_MAX)); }

bool has_header(const HttpRequest& request, const char* name) {
    return std::any_of(request.headers.begin(), request.headers.end(),
                       [name](const auto& header) { return strcasecmp(header.first.c_str(), name) == 0; });
}

// Whether the answer to this request carries a body that Content-Length describes.
struct CurlDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// WinHTTP's numbers for the failures libcurl reports, so that both builds name a failure alike.
constexpr unsigned long kTimeout = 12002;
constexpr unsigned long kNameNotResolved = 12007;
constexpr unsigned long kCannotConnect = 12029;
constexpr unsigned long kConnectionError = 12030;
constexpr unsigned long kInvalidServerResponse = 12152;
constexpr unsigned long kSecureFailure = 12175;

// Which step of a WinHTTP request the libcurl failure corresponds to: until the whole request is
// out it is the send, then the wait for the response, then the body.
void classify(CURLcode rc, CURL* c, const HttpRequest& request, HttpResponse* response) {
    long request_size = 0;
    curl_easy_getinfo(c, CURLINFO_REQUEST_SIZE, &request_size);
    curl_off_t uploaded = 0;
    curl_easy_getinfo(c, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    const bool sent = request_size > 0 && static_cast<uint64_t>(uploaded) >= http_body_length(request);
    const HttpStep after_connect = response->status ? HttpStep::read : sent ? HttpStep::receive : HttpStep::send;
    switch (rc) {
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            response->failed_step = HttpStep::url;
            return;
        case CURLE_FAILED_INIT:
        case CURLE_OUT_OF_MEMORY:
            response->failed_step = HttpStep::open;
            return;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            response->failed_step = HttpStep::send;
            response->os_error = kNameNotResolved;
            return;
        case CURLE_COULDNT_CONNECT:
            response->failed_step = HttpStep::send;
            response->os_error = kCannotConnect;
            return;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
            response->failed_step = HttpStep::send;
            response->os_error = kSecureFailure;
            return;
        case CURLE_OPERATION_TIMEDOUT:
            response->failed_step = after_connect;
            response->os_error = kTimeout;
            return;
        case CURLE_GOT_NOTHING:
            response->failed_step = HttpStep::receive;
            response->os_error = kInvalidServerResponse;
            return;
        default:
            response->failed_step = after_connect;
            response->os_error = kConnectionError;
            return;
    }
}

}  // namespace

struct HttpClient::State {
    std::unique_ptr<CURL, CurlDeleter> curl;  // kept for its connection cache; made at the first request
    char error_text[CURL_ERROR_SIZE] = {};    // libcurl's words for the last failure
    long upload_buffer = 0;                   // the upload buffer size set on `curl` (0: none yet)
    bool answered = false;                    // a response has come in on `curl` before
};

HttpClient::HttpClient() : state_(std::make_unique<State>()) {}
HttpClient::~HttpClient() = default;

HttpResponse HttpClient::perform(const HttpRequest& request) {
    HttpResponse response;
    static std::once_flag init_once;
    std::call_once(init_once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    if (!state_->curl) state_->curl.reset(curl_easy_init());
    if (!state_->curl) {
        response.error = "curl_easy_init failed";
        response.failed_step = HttpStep::open;
        return response;
    }
    CURL* c = state_->curl.get();
    Transfer transfer{&request, &response, c};
    char* error_text = state_->error_text;
    error_text[0] = 0;

    // The handle lives on from request to request, so every option a request depends on is set
    // here each time, to this request's value or back to the default.
    curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    // Like WinHTTP: redirects are followed, but never from https down to plain http.
    bool secure = strncasecmp(request.url.c_str(), "https:", 6) == 0;
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);  // several threads; no SIGALRM for name look-ups
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error_text);
    curl_easy_setopt(c, CURLOPT_BUFFERSIZE, kReadSize);
    const char* user_agent = request.user_agent.empty() ? nullptr : request.user_agent.c_str();
    curl_easy_setopt(c, CURLOPT_USERAGENT, user_agent);

    // libcurl's connect time-out covers the name look-up as well. It has no send or receive
    // time-outs: a transfer that moves nothing for that long is ended instead.
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS,
                     clamp_long(uint64_t{request.resolve_timeout_ms} + request.connect_timeout_ms));
    uint32_t stall_ms = std::max(request.send_timeout_ms, request.receive_timeout_ms);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, std::max(1L, clamp_long((uint64_t{stall_ms} + 999) / 1000)));

    const HttpBodyPiece single{request.body, request.body ? request.body_length : 0};
    BodyReader reader;
    reader.pieces = request.body_pieces.empty() ? &single : request.body_pieces.data();
    reader.count = request.body_pieces.empty() ? 1 : request.body_pieces.size();
    const uint64_t body_length = http_body_length(request);

    curl_easy_setopt(c, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, static_cast<char*>(nullptr));
    if (strcasecmp(request.method.c_str(), "GET") == 0) {
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    } else if (strcasecmp(request.method.c_str(), "HEAD") == 0) {
        curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else {
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        if (strcasecmp(request.method.c_str(), "POST") != 0) {
            curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_length));
        // Setting the size frees libcurl's buffer, so it is set only when it changes.
        const long buffer = body_length > kDefaultUploadBuffer ? kLargeUploadBuffer : kDefaultUploadBuffer;
        if (buffer != state_->upload_buffer) {
            curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, buffer);
            state_->upload_buffer = buffer;
        }
    }
    curl_easy_setopt(c, CURLOPT_READFUNCTION, on_read);
    curl_easy_setopt(c, CURLOPT_READDATA, &reader);
    curl_easy_setopt(c, CURLOPT_SEEKFUNCTION, on_seek);
    curl_easy_setopt(c, CURLOPT_SEEKDATA, &reader);

    // Send what the caller asked for and nothing more: no "Expect: 100-continue" pause before large
    // bodies and no form Content-Type the caller did not choose.
    curl_slist* raw_list = nullptr;
    for (const auto& [name, value] : request.headers) {
        raw_list = curl_slist_append(raw_list, (name + ": " + value).c_str());
    }
    if (!has_header(request, "Expect")) raw_list = curl_slist_append(raw_list, "Expect:");
    if (!has_header(request, "Content-Type")) raw_list = curl_slist_append(raw_list, "Content-Type:");
    std::unique_ptr<curl_slist, ListDeleter> header_list(raw_list);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, header_list.get());

    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_write);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);

    CURLcode rc = curl_easy_perform(c);
    // Nothing of this request may outlive it in the handle.
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    curl_easy_setopt(c, CURLOPT_READDATA, static_cast<void*>(nullptr));
    curl_easy_setopt(c, CURLOPT_SEEKDATA, static_cast<void*>(nullptr));
    curl_easy_setopt(c, CURLOPT_WRITEDATA, static_cast<void*>(nullptr));

    // No new connection for this request: it went over the one the last request left open.
    long connects = 0;
    curl_easy_getinfo(c, CURLINFO_NUM_CONNECTS, &connects);
    response.reused_connection = state_->answered && connects == 0;

    if (rc == CURLE_WRITE_ERROR && transfer.truncated) rc = CURLE_OK;
    if (response.status == 0) {
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        response.status = static_cast<int>(status);
    }
    if (response.status != 0) state_->answered = true;

    if (rc != CURLE_OK) {
        if (response.aborted) {
            response.error = "aborted";
        } else {
            response.error = std::string("curl: ") + (error_text[0] ? error_text : curl_easy_strerror(rc)) + " (" +
                             std::to_string(static_cast<int>(rc)) + ")";
            classify(rc, c, request, &response);
        }
        return response;
    }
    // An empty body never reached the write callback.
    if (!begin_response(&transfer)) {
        response.error = "aborted";
        return response;
    }
    http_finish(request, transfer.truncated, &response);
    return response;
}
