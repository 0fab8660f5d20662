// Win32 back end of the HTTP client, on WinHTTP in synchronous mode. A client keeps its session
// and connection handles from request to request, so that WinHTTP's pool hands the next request
// the connection the last one left open; each request has a request handle of its own.
//
// Sections: handle owner and header queries; the body; HttpClient::perform.
#include "platform/http.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <climits>
#include <vector>

#include "platform/win32/wide.h"

namespace {

constexpr DWORD kReadSize = 65536;  // bytes asked for per WinHttpReadData

constexpr DWORD kMaxWrite = 1u << 30;  // bytes handed to one WinHttpWriteData at most

// Closes its handle on every path; declared session, connection, request so that they close in
// the reverse order.
struct Handle {
    HINTERNET h = nullptr;
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }
    void reset(HINTERNET to = nullptr) {
        if (h) WinHttpCloseHandle(h);
        h = to;
    }
};

void fail(HttpResponse* response, HttpStep step, const char* call, DWORD code) {
    response->error = std::string(call) + " failed (" + std::to_string(code) + ")";
    response->failed_step = step;
    response->os_error = code;
}

int timeout(uint32_t ms) { return static_cast<int>(std::min<uint32_t>(ms, INT_MAX)); }

DWORD query_status(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    return status;
}

// Read as text: the numeric form of the query is 32 bits wide and installers may not be.
int64_t query_content_length(HINTERNET request) {
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return -1;
    }
    int64_t value = 0;
    const wchar_t* p = text;
    while (*p == L' ') ++p;
    if (*p < L'0' || *p > L'9') return -1;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        if (value > (INT64_MAX - 9) / 10) return -1;
        value = value * 10 + (*p - L'0');
    }
    while (*p == L' ') ++p;
    return *p ? -1 : value;
}

// Whether the server said it closes the connection after this answer.
bool closes_connection(HINTERNET request) {
    wchar_t text[64] = {};
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONNECTION, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    return _wcsicmp(text, L"close") == 0;
}

// Sends a body of several pieces: the request goes out with the whole length and no data, then
// each piece is written as it lies. The error of the failed call, or 0.
DWORD send_pieces(HINTERNET request, const std::vector<HttpBodyPiece>& pieces, DWORD total, const char** call) {
    *call = "WinHttpSendRequest";
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, total, 0)) {
        return GetLastError();
    }
    *call = "WinHttpWriteData";
    for (const HttpBodyPiece& piece : pieces) {
        const char* at = static_cast<const char*>(piece.data);
        size_t left = piece.length;
        while (left > 0) {
            DWORD written = 0;
            if (!WinHttpWriteData(request, at, static_cast<DWORD>(std::min<size_t>(left, kMaxWrite)), &written)) {
                return GetLastError();
            }
            if (written == 0) return ERROR_WINHTTP_CONNECTION_ERROR;
            at += written;
            left -= written;
        }
    }
    return 0;
}

}  // namespace

// Members close in reverse order: the connection before its session.
struct HttpClient::State {
    Handle session;           // made at the first request, again when the user agent changes
    std::wstring user_agent;  // the session's
    Handle connection;        // to `host`:`port`; WinHTTP pools the sockets beneath it
    std::wstring host;
    INTERNET_PORT port = 0;
    bool kept_alive = false;  // the last answer on `connection` left its socket open
};

HttpClient::HttpClient() : state_(std::make_unique<State>()) {}
HttpClient::~HttpClient() = default;

HttpResponse HttpClient::perform(const HttpRequest& request) {
    HttpResponse response;
    State& state = *state_;

    std::wstring url = to_wide(request.url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);  // point into `url` instead of copying
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (url.empty() || !WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) ||
        (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
        parts.dwHostNameLength == 0) {
        response.error = "Invalid URL";
        response.failed_step = HttpStep::url;
        return response;
    }
    std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    std::wstring extra(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    path += extra.substr(0, extra.find(L'#'));  // the query goes to the server, a fragment does not
    if (path.empty()) path = L"/";
    const uint64_t body_length = http_body_length(request);
    if (body_length > MAXDWORD) {
        response.error = "request body too large";
        response.failed_step = HttpStep::url;
        return response;
    }

    std::wstring user_agent = to_wide(request.user_agent);
    if (!state.session.h || user_agent != state.user_agent) {
        state.connection.reset();
        state.session.reset(WinHttpOpen(user_agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                        WINHTTP_NO_PROXY_BYPASS, 0));
        state.user_agent = user_agent;
        state.kept_alive = false;
        if (!state.session.h) {
            fail(&response, HttpStep::open, "WinHttpOpen", GetLastError());
            return response;
        }
    }
    if (!state.connection.h || host != state.host || parts.nPort != state.port) {
        state.connection.reset(WinHttpConnect(state.session.h, host.c_str(), parts.nPort, 0));
        state.host = host;
        state.port = parts.nPort;
        state.kept_alive = false;
        if (!state.connection.h) {
            fail(&response, HttpStep::connect, "WinHttpConnect", GetLastError());
            return response;
        }
    }
    // Whatever happens now, only a whole answer that keeps its socket open makes the next request
    // go out on a kept connection.
    response.reused_connection = state.kept_alive;
    state.kept_alive = false;

    Handle handle;
    handle.h = WinHttpOpenRequest(state.connection.h, to_wide(request.method).c_str(), path.c_str(), nullptr,
                                  WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                  parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    if (!handle.h) {
        fail(&response, HttpStep::open_request, "WinHttpOpenRequest", GetLastError());
        return response;
    }
    WinHttpSetTimeouts(handle.h, timeout(request.resolve_timeout_ms), timeout(request.connect_timeout_ms),
                       timeout(request.send_timeout_ms), timeout(request.receive_timeout_ms));
    // The default already, stated so that no later change lets a redirect drop TLS.
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    WinHttpSetOption(handle.h, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);
    for (const auto& [name, value] : request.headers) {
        std::wstring line = to_wide(name + ": " + value);
        if (!WinHttpAddRequestHeaders(handle.h, line.c_str(), static_cast<DWORD>(line.size()),
                                      WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
            fail(&response, HttpStep::open_request, "WinHttpAddRequestHeaders", GetLastError());
            return response;
        }
    }

    const DWORD total = static_cast<DWORD>(body_length);
    if (request.body_pieces.empty()) {
        LPVOID body = request.body ? const_cast<void*>(request.body) : WINHTTP_NO_REQUEST_DATA;
        if (!WinHttpSendRequest(handle.h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, body, total, total, 0)) {
            fail(&response, HttpStep::send, "WinHttpSendRequest", GetLastError());
            return response;
        }
    } else {
        const char* call = nullptr;
        if (DWORD code = send_pieces(handle.h, request.body_pieces, total, &call)) {
            fail(&response, HttpStep::send, call, code);
            return response;
        }
    }
    if (!WinHttpReceiveResponse(handle.h, nullptr)) {
        fail(&response, HttpStep::receive, "WinHttpReceiveResponse", GetLastError());
        return response;
    }
    DWORD status = query_status(handle.h);
    response.status = static_cast<int>(status);
    response.content_length = query_content_length(handle.h);
    if (request.on_response && !request.on_response(response.status, response.content_length)) {
        response.aborted = true;
        response.error = "aborted";
        return response;
    }

    std::vector<char> buffer(kReadSize);
    bool truncated = false;
    while (true) {
        DWORD got = 0;
        if (!WinHttpReadData(handle.h, buffer.data(), kReadSize, &got)) {
            fail(&response, HttpStep::read, "WinHttpReadData", GetLastError());
            return response;
        }
        if (got == 0) break;
        if (request.on_body) {
            if (!request.on_body(buffer.data(), got)) {
                response.aborted = true;
                response.error = "aborted";
                return response;
            }
            response.received += got;
        } else {
            size_t take = std::min<size_t>(got, request.max_body - response.body.size());
            response.body.append(buffer.data(), take);
            response.received += take;
            if (take < got || response.body.size() == request.max_body) {
                truncated = true;
                break;
            }
        }
    }
    http_finish(request, truncated, &response);
    // A body left unread closes the socket with the request handle.
    state.kept_alive = response.ok && !truncated && !closes_connection(handle.h);
    return response;
}
