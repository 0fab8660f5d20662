// WebSocket transport.
//
// Sections: URL parsing; attempts (one per ws_run, so overlapping connection threads never touch
// each other's client, buffer or heartbeat); connect; receive loop; heartbeat; send and close.
//
// Every ws_run owns an Attempt. The transport remembers the newest one as `current`: sends and
// ws_close act on it, and an attempt's cleanup clears the shared state only while it is still the
// current one. The lock and the attempt records are never freed under a thread that may use them:
// the state lives for the whole process and attempts are shared_ptr-owned.
//
// At process end ws_shutdown waits a short while for the connection threads. One that is still
// finishing after that must not call out of the transport (log, dispatcher, hooks): the process is
// then running its exit handlers and the modules behind the callbacks may be gone. Every call out
// is therefore made under a "callout" count that ws_shutdown seals and drains.
#include "net/ws.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/log.h"
#include "core/periods.h"
#include "core/version.h"
#include "platform/thread.h"
#include "platform/websocket.h"

namespace {

constexpr uint16_t kNormalClosure = 1000;
constexpr uint32_t kShutdownWaitMs = 3000;
constexpr uint32_t kCalloutDrainMs = 1000;  // for calls out that began before the seal

struct Attempt {
    WsClient* client = nullptr;
    std::atomic<bool> stop{false};   // set by ws_close: end the loop and the heartbeat
    std::atomic<bool> down{false};   // the receive loop has ended: the link is gone
    std::mutex send_lock;            // one message on the wire at a time
    std::mutex wake_lock;            // with `wake`, ends the heartbeat's sleep early
    std::condition_variable wake;
    bool ended = false;              // guarded by wake_lock

    ~Attempt() { wsc_free(client); }
};

struct Transport {
    std::mutex lock;                        // guards `current`, `active`, `callouts`, `sealed`
    std::condition_variable idle;           // signalled when `active` or `callouts` drops
    std::shared_ptr<Attempt> current;       // newest attempt, connecting or connected
    int active = 0;                         // ws_run calls in progress
    int callouts = 0;                       // calls out of the transport in progress
    bool sealed = false;                    // set by ws_shutdown: no more calls out
    std::atomic<bool> connected{false};
    std::atomic<bool> shut_down{false};
    WsMessageFn on_message = nullptr;
    WsStateFn on_state = nullptr;
};

// Never destroyed: detached connection threads may still be finishing while the process exits.
Transport& transport() {
    static Transport* t = new Transport;
    return *t;
}

// Brackets a call out of the transport; false (and nothing to end) once ws_shutdown has sealed it.
bool callout_begin() {
    Transport& t = transport();
    std::lock_guard<std::mutex> guard(t.lock);
    if (t.sealed) return false;
    ++t.callouts;
    return true;
}

void callout_end() {
    Transport& t = transport();
    std::lock_guard<std::mutex> guard(t.lock);
    --t.callouts;
    t.idle.notify_all();
}

template <class F>
void callout(F&& f) {
    if (!callout_begin()) return;
    f();
    callout_end();
}

std::shared_ptr<Attempt> current_attempt() {
    Transport& t = transport();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.current;
}

void stop_attempt(Attempt& attempt) {
    attempt.stop = true;
    wsc_close(attempt.client, kNormalClosure);
    std::lock_guard<std::mutex> guard(attempt.wake_lock);
    attempt.wake.notify_all();
}

bool send_on(Attempt& attempt, const char* data, size_t length) {
    std::lock_guard<std::mutex> guard(attempt.send_lock);
    // A sender that waited behind one whose failure ended the link finds nothing to send on.
    if (attempt.stop || attempt.down) return false;
    unsigned long code = 0;
    if (wsc_send_text(attempt.client, data, length, &code)) return true;
    // A send cut short by our own close is no failure worth reporting.
    if (!attempt.stop) callout([&] { log_write(LOG_WARN, "ws: send failed (%lu)", code); });
    return false;
}

void heartbeat_loop(const std::shared_ptr<Attempt>& attempt) {
    Transport& t = transport();
    while (true) {
        {
            std::unique_lock<std::mutex> guard(attempt->wake_lock);
            attempt->wake.wait_for(guard, std::chrono::milliseconds(period_ms(WS_HEARTBEAT_MS)),
                                   [&] { return attempt->ended || attempt->stop.load(); });
            if (attempt->ended || attempt->stop) return;
        }
        if (current_attempt() != attempt || !t.connected) return;
        send_on(*attempt, WS_HEARTBEAT, std::char_traits<char>::length(WS_HEARTBEAT));
    }
}

// Leaves the shared state as it was unless this attempt is still the current one.
void retire(const std::shared_ptr<Attempt>& attempt) {
    Transport& t = transport();
    std::lock_guard<std::mutex> guard(t.lock);
    if (t.current == attempt) {
        t.current.reset();
        t.connected = false;
    }
}

void receive_loop(Attempt& attempt) {
    Transport& t = transport();
    auto buffer = std::make_unique<char[]>(WS_MAX_MESSAGE + 1);
    size_t assembled = 0;
    bool dropping = false;  // skipping the rest of an oversized message
    while (!attempt.stop) {
        WsReceived got = wsc_receive(attempt.client, buffer.get() + assembled, WS_MAX_MESSAGE - assembled);
        switch (got.kind) {
            case WsFrame::text_end:
            case WsFrame::binary_end:
                assembled += got.length;
                if (!dropping) {
                    buffer[assembled] = '\0';
                    callout([&] { t.on_message(buffer.get(), assembled); });
                }
                assembled = 0;
                dropping = false;
                break;
            case WsFrame::text_fragment:
            case WsFrame::binary_fragment:
                assembled += got.length;
                if (dropping) {
                    assembled = 0;
                } else if (assembled >= WS_MAX_MESSAGE) {
                    callout([] { log_write(LOG_WARN, "ws: message too large, dropping"); });
                    assembled = 0;
                    dropping = true;
                }
                break;
            case WsFrame::close:
                // After our own close the peer's answering close frame is no news.
                if (!attempt.stop) callout([] { log_write(LOG_INFO, "ws: server sent close"); });
                return;
            case WsFrame::error:
                if (!attempt.stop) {
                    callout([&] { log_write(LOG_WARN, "ws: receive error (%lu)", got.error_code); });
                }
                return;
        }
    }
}

void run_attempt(const std::string& url) {
    Transport& t = transport();
    WsUrl target;
    if (!ws_parse_url(url, &target)) {
        callout([&] { log_write(LOG_ERROR, "ws: invalid URL: %s", url.c_str()); });
        return;
    }
    callout([&] { log_write(LOG_INFO, "ws: connecting to %s", url.c_str()); });

    auto attempt = std::make_shared<Attempt>();
    WsOptions options;
    options.user_agent = ZELVO_USER_AGENT;
    attempt->client = wsc_create(options);
    if (!attempt->client) {
        callout([] { log_write(LOG_ERROR, "ws: cannot create a client"); });
        return;
    }
    {
        // One live WebSocket: a newer attempt supersedes whatever is still open.
        std::lock_guard<std::mutex> guard(t.lock);
        if (t.shut_down) return;
        if (t.current) stop_attempt(*t.current);
        t.current = attempt;
        t.connected = false;
    }

    std::string error;
    bool ok = wsc_connect(attempt->client, target.host, target.port, target.secure, target.path, &error);
    if (ok) {
        std::lock_guard<std::mutex> guard(t.lock);
        if (attempt->stop || t.current != attempt) {
            ok = false;
            error = "connection closed while connecting";
        } else {
            t.connected = true;
        }
    }
    if (!ok) {
        callout([&] { log_write(LOG_ERROR, "ws: %s", error.c_str()); });
        retire(attempt);
        return;  // a failed attempt reports no state change
    }

    callout([] {
        log_write(LOG_INFO, "ws: connected");
        transport().on_state(true);
    });
    std::string error_text;
    std::optional<std::thread> heartbeat = thread_spawn([attempt] { heartbeat_loop(attempt); }, &error_text);
    if (!heartbeat) {
        // The link works without it; only an idle peer may then drop it.
        callout([&] { log_write(LOG_ERROR, "ws: cannot start the heartbeat: %s", error_text.c_str()); });
    }

    receive_loop(*attempt);

    attempt->down = true;
    {
        std::lock_guard<std::mutex> guard(attempt->wake_lock);
        attempt->ended = true;
        attempt->wake.notify_all();
    }
    if (heartbeat) heartbeat->join();
    retire(attempt);
    wsc_close(attempt->client, kNormalClosure);
    callout([] {
        log_write(LOG_INFO, "ws: disconnected");
        transport().on_state(false);
    });
}

}  // namespace

void ws_init(WsMessageFn on_message, WsStateFn on_state) {
    Transport& t = transport();
    t.on_message = on_message;
    t.on_state = on_state;
}

void ws_run(const std::string& url) {
    Transport& t = transport();
    {
        std::lock_guard<std::mutex> guard(t.lock);
        if (t.shut_down) return;
        ++t.active;
    }
    run_attempt(url);
    std::lock_guard<std::mutex> guard(t.lock);
    --t.active;
    t.idle.notify_all();
}

bool ws_send_text(const char* data, size_t length) {
    Transport& t = transport();
    std::shared_ptr<Attempt> attempt = current_attempt();
    if (!attempt || !t.connected || attempt->stop) return false;
    return send_on(*attempt, data, length);
}

bool ws_is_connected() { return transport().connected; }

void ws_close() {
    Transport& t = transport();
    std::lock_guard<std::mutex> guard(t.lock);
    if (t.current) stop_attempt(*t.current);
    t.connected = false;
}

void ws_shutdown() {
    Transport& t = transport();
    std::unique_lock<std::mutex> guard(t.lock);
    t.shut_down = true;
    if (t.current) stop_attempt(*t.current);
    t.connected = false;
    t.idle.wait_for(guard, std::chrono::milliseconds(kShutdownWaitMs), [&] { return t.active == 0; });
    // Threads still finishing now end without a word; calls out already under way may finish.
    t.sealed = true;
    t.idle.wait_for(guard, std::chrono::milliseconds(kCalloutDrainMs), [&] { return t.callouts == 0; });
}

bool ws_parse_url(const std::string& url, WsUrl* out) {
    WsUrl parsed;
    std::string rest;
    if (url.rfind("wss://", 0) == 0) {
        parsed.secure = true;
        parsed.port = 443;
        rest = url.substr(6);
    } else if (url.rfind("ws://", 0) == 0) {
        parsed.port = 80;
        rest = url.substr(5);
    } else {
        return false;
    }
    size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    size_t colon;
    if (!authority.empty() && authority[0] == '[') {  // IPv6 literal: the port follows the bracket
        size_t close = authority.find(']');
        if (close == std::string::npos) return false;
        parsed.host = authority.substr(1, close - 1);
        colon = close + 1 < authority.size() && authority[close + 1] == ':' ? close + 1 : std::string::npos;
        if (colon == std::string::npos && close + 1 != authority.size()) return false;
    } else {
        colon = authority.find(':');
        parsed.host = authority.substr(0, colon);
    }
    if (colon != std::string::npos) {
        // The port is read up to the first non-digit.
        long port = 0;
        size_t i = colon + 1;
        for (; i < authority.size() && authority[i] >= '0' && authority[i] <= '9' && port <= 65535; ++i) {
            port = port * 10 + (authority[i] - '0');
        }
        if (i == colon + 1 || port <= 0 || port > 65535) return false;
        parsed.port = static_cast<uint16_t>(port);
    }
    if (parsed.host.empty() || parsed.host.size() > 255) return false;
    parsed.path = slash == std::string::npos ? "/" : rest.substr(slash);
    *out = parsed;
    return true;
}

std::string ws_url_for_server(const std::string& base_url) {
    if (base_url.rfind("https://", 0) == 0) return "wss://" + base_url.substr(8) + "/ws";
    if (base_url.rfind("http://", 0) == 0) return "ws://" + base_url.substr(7) + "/ws";
    return base_url;
}
