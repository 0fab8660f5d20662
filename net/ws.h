// WebSocket transport: one live connection to the server at a time, its receive loop with message
// assembly, the heartbeat, and a send that any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using WsMessageFn = void (*)(const char* text, size_t length);
using WsStateFn = void (*)(bool connected);

// Largest message delivered; one byte of the 64 KiB buffer is kept for the terminating NUL.
constexpr size_t WS_MAX_MESSAGE = 65535;

constexpr const char* WS_HEARTBEAT = "{\"e\":\"heartbeat\",\"d\":{}}";
constexpr uint32_t WS_HEARTBEAT_MS = 10000;

void ws_init(WsMessageFn on_message, WsStateFn on_state);

// Connects to a ws:// or wss:// URL and runs the receive loop on the calling thread; returns when
// the connection has ended or could not be made.
void ws_run(const std::string& url);

// Sends one text message; false when not connected (silently) or when the send fails (logged).
bool ws_send_text(const char* data, size_t length);

bool ws_is_connected();

// Closes the live connection (status 1000), or makes a pending attempt fail. Any thread.
void ws_close();

// Closes the transport for good at process end and waits briefly for connection threads.
void ws_shutdown();

struct WsUrl {
    std::string host;
    uint16_t port = 0;
    bool secure = false;
    std::string path;
};

// "ws://host[:port][/path]" or "wss://...": the port is read up to the first non-digit when the
// colon comes before the first slash; the path defaults to "/". An IPv6 literal is written in
// brackets and comes out without them.
bool ws_parse_url(const std::string& url, WsUrl* out);

// The WebSocket URL for a server base URL: https -> wss, http -> ws, same host and port, "/ws".
std::string ws_url_for_server(const std::string& base_url);
