// Win32 WebSocket client on WinHTTP's synchronous WebSocket API.
//
// The handles live in the client under its lock; a send holds the lock for its call, so a close
// from another thread never frees a handle under it. The receive runs without the lock: closing
// the WebSocket handle is what ends a blocked receive.
#include "platform/websocket.h"

#include <windows.h>
#include <winhttp.h>

#include <mutex>

#include "platform/win32/wide.h"

struct WsClient {
    WsOptions options;
    std::mutex lock;               // guards the handles and `closing`
    HINTERNET session = nullptr;
    HINTERNET connection = nullptr;
    HINTERNET request = nullptr;   // only until the upgrade
    HINTERNET socket = nullptr;    // the WebSocket
    bool closing = false;          // wsc_close was called: every later step fails
};

namespace {

std::string failure(const char* step, DWORD code) { return std::string(step) + " failed (" + std::to_string(code) + ")"; }

void close_handle(HINTERNET* handle) {
    if (*handle) {
        WinHttpCloseHandle(*handle);
        *handle = nullptr;
    }
}

// Stores a freshly opened handle unless the client was closed meanwhile (then closes it).
bool keep(WsClient* c, HINTERNET WsClient::*slot, HINTERNET handle) {
    std::lock_guard<std::mutex> guard(c->lock);
    if (c->closing) {
        WinHttpCloseHandle(handle);
        return false;
    }
    c->*slot = handle;
    return true;
}

// The HTTP status of the answer, or 0 when there is none.
DWORD response_status(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                             &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    return status;
}

}  // namespace

WsClient* wsc_create(const WsOptions& options) {
    auto* client = new WsClient;
    client->options = options;
    return client;
}

bool wsc_connect(WsClient* c, const std::string& host, uint16_t port, bool secure, const std::string& path,
                 std::string* error) {
    HINTERNET session = WinHttpOpen(to_wide(c->options.user_agent).c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) {
        *error = failure("WinHttpOpen", GetLastError());
        return false;
    }
    if (!keep(c, &WsClient::session, session)) {
        *error = failure("WinHttpOpen", ERROR_WINHTTP_OPERATION_CANCELLED);
        return false;
    }
    WinHttpSetTimeouts(session, static_cast<int>(c->options.resolve_timeout_ms),
                       static_cast<int>(c->options.connect_timeout_ms), static_cast<int>(c->options.send_timeout_ms),
                       0);

    HINTERNET connection = WinHttpConnect(session, to_wide(host).c_str(), port, 0);
    if (!connection || !keep(c, &WsClient::connection, connection)) {
        *error = failure("WinHttpConnect", connection ? ERROR_WINHTTP_OPERATION_CANCELLED : GetLastError());
        return false;
    }
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", to_wide(path).c_str(), nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0);
    if (!request || !keep(c, &WsClient::request, request)) {
        *error = failure("WinHttpOpenRequest", request ? ERROR_WINHTTP_OPERATION_CANCELLED : GetLastError());
        return false;
    }
    if (!WinHttpSetOption(request, WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0)) {
        *error = failure("set upgrade option", GetLastError());
        return false;
    }
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        *error = failure("WinHttpSendRequest", GetLastError());
        return false;
    }
    // A refused upgrade is reported as a failed upgrade: with the server's status when WinHTTP
    // hands the answer over, and with its own code when it rejects a non-101 answer at once.
    if (!WinHttpReceiveResponse(request, nullptr)) {
        DWORD code = GetLastError();
        *error = failure(code == ERROR_WINHTTP_INVALID_SERVER_RESPONSE ? "WebSocket upgrade" : "WinHttpReceiveResponse",
                         code);
        return false;
    }
    if (DWORD status = response_status(request); status != 101) {
        *error = failure("WebSocket upgrade", status);
        return false;
    }
    HINTERNET socket = WinHttpWebSocketCompleteUpgrade(request, 0);
    if (!socket || !keep(c, &WsClient::socket, socket)) {
        *error = failure("WebSocket upgrade", socket ? ERROR_WINHTTP_OPERATION_CANCELLED : GetLastError());
        return false;
    }
    std::lock_guard<std::mutex> guard(c->lock);
    close_handle(&c->request);
    return true;
}

bool wsc_send_text(WsClient* c, const char* data, size_t length, unsigned long* error_code) {
    std::lock_guard<std::mutex> guard(c->lock);
    DWORD code = ERROR_INVALID_HANDLE;
    if (c->socket && !c->closing) {
        code = WinHttpWebSocketSend(c->socket, WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE,
                                    const_cast<char*>(data), static_cast<DWORD>(length));
    }
    if (error_code) *error_code = code;
    return code == NO_ERROR;
}

WsReceived wsc_receive(WsClient* c, void* buffer, size_t capacity) {
    WsReceived got;
    HINTERNET socket;
    {
        std::lock_guard<std::mutex> guard(c->lock);
        socket = c->closing ? nullptr : c->socket;
    }
    if (!socket) {
        got.error_code = ERROR_WINHTTP_OPERATION_CANCELLED;
        return got;
    }
    DWORD read = 0;
    WINHTTP_WEB_SOCKET_BUFFER_TYPE type{};
    DWORD code = WinHttpWebSocketReceive(socket, buffer, static_cast<DWORD>(capacity), &read, &type);
    if (code != NO_ERROR) {
        got.error_code = code;
        return got;
    }
    got.length = read;
    switch (type) {
        case WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE: got.kind = WsFrame::text_end; break;
        case WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE: got.kind = WsFrame::text_fragment; break;
        case WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE: got.kind = WsFrame::binary_end; break;
        case WINHTTP_WEB_SOCKET_BINARY_FRAGMENT_BUFFER_TYPE: got.kind = WsFrame::binary_fragment; break;
        case WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE: {
            got.kind = WsFrame::close;
            USHORT status = 0;
            DWORD reason_length = 0;
            if (WinHttpWebSocketQueryCloseStatus(socket, &status, nullptr, 0, &reason_length) == NO_ERROR) {
                got.close_code = status;
            }
            got.length = 0;
            break;
        }
        default: got.kind = WsFrame::text_fragment; got.length = 0; break;  // nothing to keep
    }
    return got;
}

void wsc_close(WsClient* c, uint16_t code) {
    if (!c) return;
    std::lock_guard<std::mutex> guard(c->lock);
    if (c->closing) return;
    c->closing = true;
    // Send the close frame without waiting for the answer, then close every handle: that fails a
    // receive or a connect step still pending on another thread.
    if (c->socket) WinHttpWebSocketShutdown(c->socket, code, nullptr, 0);
    close_handle(&c->socket);
    close_handle(&c->request);
    close_handle(&c->connection);
    close_handle(&c->session);
}

void wsc_free(WsClient* c) {
    if (!c) return;
    {
        std::lock_guard<std::mutex> guard(c->lock);
        c->closing = true;
        close_handle(&c->socket);
        close_handle(&c->request);
        close_handle(&c->connection);
        close_handle(&c->session);
    }
    delete c;
}
