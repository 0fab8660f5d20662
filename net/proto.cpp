// Event protocol and dispatcher.
#include "net/proto.h"

#include <atomic>
#include <string>

#include "core/log.h"
#include "core/util.h"
#include "net/ws.h"

namespace {

struct Entry {
    std::string name;
    ProtoHandler handler;
};

struct Dispatcher {
    Entry table[PROTO_MAX_HANDLERS];
    int count = 0;
    ProtoHandler on_connected = nullptr;
    ProtoHandler on_disconnected = nullptr;
};

// Filled at start-up before any connection exists and never changed afterwards, so dispatch
// reads it without a lock. Never destroyed (connection threads may outlive main).
Dispatcher& dispatcher() {
    static Dispatcher* d = new Dispatcher;
    return *d;
}

}  // namespace

void proto_init() {
    Dispatcher& d = dispatcher();
    d.count = 0;
    ws_init(proto_dispatch, proto_on_state);
}

void proto_on(const char* name, ProtoHandler handler) {
    Dispatcher& d = dispatcher();
    std::string event = name ? name : "";
    if (event == "_connected") {
        d.on_connected = handler;
        return;
    }
    if (event == "_disconnected") {
        d.on_disconnected = handler;
        return;
    }
    if (d.count >= PROTO_MAX_HANDLERS) {
        log_write(LOG_ERROR, "proto: too many handlers (max %d)", PROTO_MAX_HANDLERS);
        return;
    }
    if (event.size() > PROTO_MAX_NAME) event.resize(PROTO_MAX_NAME);
    d.table[d.count++] = Entry{event, handler};
}

namespace {
std::atomic<ProtoSendWatcher> g_send_watcher{nullptr};
}  // namespace

void proto_watch_sends(ProtoSendWatcher watcher) { g_send_watcher.store(watcher); }

void proto_send(const char* name, cJSON* data) {
    if (ProtoSendWatcher watcher = g_send_watcher.load()) watcher(name, data);
    JsonPtr envelope(cJSON_CreateObject());
    if (!envelope) {
        cJSON_Delete(data);
        return;
    }
    cJSON_AddStringToObject(envelope.get(), "e", name);
    cJSON_AddItemToObject(envelope.get(), "d", data ? data : cJSON_CreateObject());
    std::string text = json_print(envelope.get());
    if (text.empty()) return;
    // A text frame that is not UTF-8 makes the server drop the connection, and the same request
    // after the reconnect would drop it again: such a message is never sent.
    if (!utf8_valid(text)) {
        log_write(LOG_WARN, "proto: not sending \"%s\": not valid UTF-8", name);
        return;
    }
    ws_send_text(text.data(), text.size());
}

void proto_dispatch(const char* text, size_t length) {
    // The whole message must be one JSON value: a NUL or other bytes after it make it invalid.
    const char* end = nullptr;
    JsonPtr tree(cJSON_ParseWithLengthOpts(text, length, &end, false));
    while (tree && end < text + length && (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n')) ++end;
    if (end != text + length) tree.reset();
    if (!tree) {
        log_write(LOG_WARN, "proto: invalid JSON");
        return;
    }
    // Member names are matched without regard to case; event names exactly.
    const cJSON* event = cJSON_GetObjectItem(tree.get(), "e");
    if (!cJSON_IsString(event)) return;
    const cJSON* data = cJSON_GetObjectItem(tree.get(), "d");
    Dispatcher& d = dispatcher();
    for (int i = 0; i < d.count; ++i) {
        if (d.table[i].name == event->valuestring) {
            d.table[i].handler(data);
            return;
        }
    }
    log_write(LOG_DEBUG, "proto: unhandled event '%s'", event->valuestring);
}

void proto_on_state(bool connected) {
    Dispatcher& d = dispatcher();
    log_write(LOG_INFO, connected ? "proto: connected" : "proto: disconnected");
    ProtoHandler hook = connected ? d.on_connected : d.on_disconnected;
    if (hook) hook(nullptr);
}
