// WebSocket client: connect with the upgrade, send one text message, a blocking receive that
// returns message data piece by piece, and a close that any thread may call to end a pending
// connect or receive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct WsClient;

struct WsOptions {
    std::string user_agent;
    uint32_t resolve_timeout_ms = 10000;
    uint32_t connect_timeout_ms = 10000;
    uint32_t send_timeout_ms = 10000;
    // Receives wait without limit: the heartbeat and the peer's close end an idle link.
};

// A client that is not connected yet; wsc_close may already be called on it. Null when the
// system cannot give it what it needs (a thread of its own on POSIX).
WsClient* wsc_create(const WsOptions& options);

// Connects and upgrades. On failure returns false and sets `error` to the failed step and its
// code, for instance "WinHttpConnect failed (12029)" or "WebSocket upgrade failed (403)".
bool wsc_connect(WsClient* client, const std::string& host, uint16_t port, bool secure, const std::string& path,
                 std::string* error);

// Sends one complete text message. Calls are serialised by the caller; wsc_close may run at the
// same time. On failure returns false with the system's error code. A send that does not finish
// within the send bound fails; where the back end cannot tell how much of it went out (POSIX) the
// link is dropped for it, and the pending receive fails with the same code.
bool wsc_send_text(WsClient* client, const char* data, size_t length, unsigned long* error_code);

enum class WsFrame {
    text_fragment,    // more of the same message follows
    text_end,         // the last bytes of a message (or a whole message)
    binary_fragment,
    binary_end,
    close,            // the peer sent a close frame (even if the connection then failed)
    error,            // the link failed, or wsc_close ended the receive
};

struct WsReceived {
    WsFrame kind = WsFrame::error;
    size_t length = 0;              // bytes placed in the buffer
    uint16_t close_code = 0;        // for WsFrame::close
    unsigned long error_code = 0;   // for WsFrame::error
};

// Blocks until message data arrives (at most `capacity` bytes are placed), the peer closes, the
// link fails or wsc_close is called. One receive at a time, from the thread that owns the client.
WsReceived wsc_receive(WsClient* client, void* buffer, size_t capacity);

// Sends a close frame with `code` when the link is up and makes every pending and later call
// fail. Safe from any thread, any number of times; it does not wait for the peer, and a peer that
// does not answer (or a write stuck behind one that stopped reading) has the link dropped after a
// few seconds.
void wsc_close(WsClient* client, uint16_t code);

// Frees the client. No other thread may use it then.
void wsc_free(WsClient* client);
