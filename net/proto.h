// Event protocol: {"e": name, "d": data} envelopes in both directions, the handler table and the
// two connection hooks "_connected" and "_disconnected".
#pragma once

#include <cstddef>

#include "core/json.h"

// Receives the envelope's "d" (any JSON value, or null when absent), borrowed for the call.
using ProtoHandler = void (*)(const cJSON* data);

constexpr int PROTO_MAX_HANDLERS = 64;
constexpr size_t PROTO_MAX_NAME = 47;

// Empties the table and sets up the transport.
void proto_init();

// Binds a handler to an event name (cut to 47 characters); "_connected" and "_disconnected" fill
// the hook slots instead, the last registration winning.
void proto_on(const char* name, ProtoHandler handler);

// Sends {"e": name, "d": data}; takes ownership of `data` (null sends an empty object). A message
// sent while the link is down is lost. Any thread.
void proto_send(const char* name, cJSON* data);

// Sees every message as it is sent, before the link takes it (also while the link is down): how
// tests act on an event at the very moment it goes out. Null stops it.
using ProtoSendWatcher = void (*)(const char* name, const cJSON* data);
void proto_watch_sends(ProtoSendWatcher watcher);

// The transport's callbacks.
void proto_dispatch(const char* text, size_t length);
void proto_on_state(bool connected);
