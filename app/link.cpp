// Account link: pairing run, pair_success, link drop, reconnect runs, watchdog, tray commands.
//
// Every thread started here is detached and may still run while the process exits, so all it
// reads lives in LinkState, which is never destroyed.
#include "app/link.h"

#include <atomic>
#include <cstdint>

#include "app/tray_menu.h"
#include "core/config.h"
#include "core/log.h"
#include "core/periods.h"
#include "core/util.h"
#include "core/version.h"
#include "net/auth.h"
#include "net/proto.h"
#include "net/ws.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "platform/tray.h"

namespace {

constexpr uint32_t kWatchdogPeriodMs = 15000;
constexpr uint32_t kCloseSettleMs = 500;     // after closing the old connection
constexpr uint32_t kPollMs = 250;
constexpr int kPairPolls = 40;               // 10 s for the pairing connection
constexpr int kReconnectPolls = 20;          // 5 s per reconnect attempt
constexpr int kReconnectWaits[] = {1, 2, 3, 5, 10, 15};
constexpr int kReconnectAttempts = 6;

constexpr const char* kNotLinkedTooltip = "Zelvo \xE2\x80\x94 Not linked";

struct LinkState {
    std::string ws_url;                      // written once by start-up before any thread reads it
    std::atomic<bool> should_reconnect{false};  // the link is wanted (any thread)
    std::atomic<bool> reconnecting{false};   // a reconnect run is in progress (test and mark in one step)
};

LinkState& link() {
    static LinkState* s = new LinkState;
    return *s;
}

bool wait_connected(int polls) {
    for (int i = 0; i < polls && !ws_is_connected(); ++i) sleep_ms(period_ms(kPollMs));
    return ws_is_connected();
}

void show_not_linked() {
    tray_set_linked(false);
    tray_show_status("Not linked");
    tray_show_tooltip(kNotLinkedTooltip);
}

void pairing_run() {
    LinkState& s = link();
    tray_show_status("Connecting...");
    std::string code = pair_make_code();
    s.should_reconnect = false;  // neither the drop hook nor the watchdog may interfere
    if (ws_is_connected()) {
        ws_close();
        sleep_ms(period_ms(kCloseSettleMs));
    }
    link_connect();
    if (!wait_connected(kPairPolls)) {
        log_write(LOG_ERROR, "pair: connection timeout");
        tray_show_status("Connection failed");
        return;
    }
    std::string machine_id = get_machine_id();
    std::string hostname;
    get_hostname(&hostname);
    cJSON* d = cJSON_CreateObject();
    cJSON_AddStringToObject(d, "code", code.c_str());
    cJSON_AddStringToObject(d, "public_key", auth_public_key().c_str());
    cJSON_AddStringToObject(d, "platform", sys_platform_name());
    cJSON_AddStringToObject(d, "version", ZELVO_VERSION);
    cJSON_AddStringToObject(d, "build", ZELVO_BUILD);
    cJSON_AddStringToObject(d, "machine_id", machine_id.c_str());
    cJSON_AddStringToObject(d, "hostname", hostname.c_str());
    proto_send("service_pair_request", d);

    std::string url = config_server_url() + "/link_service?code=" + code;
    log_write(LOG_INFO, "pair: opening %s", url.c_str());
    proc_open_url(url);
    tray_show_status("Waiting for browser login...");
}

// True when the run must end before its next attempt (logged).
bool stop_before_attempt() {
    if (ws_is_connected()) {
        log_write(LOG_INFO, "reconnect: already connected");
        return true;
    }
    if (!link().should_reconnect) {
        log_write(LOG_INFO, "reconnect: should_reconnect=false");
        return true;
    }
    return false;
}

void reconnect_run() {
    LinkState& s = link();
    bool expected = false;
    if (!s.reconnecting.compare_exchange_strong(expected, true)) return;  // one run at a time

    for (int attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        if (stop_before_attempt()) break;
        JsonPtr config = config_load();
        if (!json_item(config.get(), "private_key")) {
            log_write(LOG_WARN, "reconnect: no private_key in config, skipping");
            break;
        }
        int wait = kReconnectWaits[attempt - 1];
        log_write(LOG_INFO, "reconnect: attempt %d/%d (wait %ds)", attempt, kReconnectAttempts, wait);
        ws_close();
        sleep_ms(period_ms(kCloseSettleMs));
        // A Disconnect during the pause must not be undone by this attempt.
        if (!s.should_reconnect) {
            log_write(LOG_INFO, "reconnect: should_reconnect=false");
            break;
        }
        link_connect();
        if (wait_connected(kReconnectPolls)) {
            log_write(LOG_INFO, "reconnect: success");
            s.reconnecting = false;
            return;
        }
        if (attempt == kReconnectAttempts) break;
        sleep_ms(period_ms(static_cast<uint32_t>(wait) * 1000u));
    }
    if (!ws_is_connected() && s.should_reconnect) {
        log_write(LOG_WARN, "reconnect: all attempts failed, watchdog will retry");
        tray_show_status("Connection failed \xE2\x80\x94 retrying soon");
    }
    s.reconnecting = false;
}

void start_reconnect() {
    std::string error;
    if (!thread_start_detached(reconnect_run, &error)) {
        log_write(LOG_ERROR, "reconnect: cannot start a run: %s", error.c_str());
    }
}

void watchdog_run() {
    LinkState& s = link();
    while (true) {
        sleep_ms(period_ms(kWatchdogPeriodMs));
        if (ws_is_connected() || !s.should_reconnect || s.reconnecting) continue;
        log_write(LOG_INFO, "watchdog: not connected, triggering reconnect");
        if (s.should_reconnect && !s.reconnecting) start_reconnect();
    }
}

}  // namespace

std::string pair_make_code() {
    unsigned char random[6] = {};
    sys_random(random, sizeof random);
    std::string code;
    for (unsigned char byte : random) code += PAIR_CODE_ALPHABET[byte & 31];
    return code;
}

void on_pair_success(const cJSON* d) {
    const char* name = json_string(d, "username");
    std::string user = name && *name ? name : "User";
    auth_save_private_key();
    JsonPtr update(cJSON_CreateObject());
    cJSON_AddStringToObject(update.get(), "username", user.c_str());
    config_save(update.get());
    int32_t user_id = json_int(d, "user_id", 1);
    auth_set_identity(user_id, user);
    log_write(LOG_INFO, "pair: success! linked as %s (user_id=%d)", user.c_str(), static_cast<int>(user_id));
    link().should_reconnect = true;
    link_show_linked(user_id, auth_user_name());
}

void on_link_dropped(const cJSON*) {
    LinkState& s = link();
    auth_clear_identity();
    tray_set_linked(false);
    // Nothing reconnects while the link is not wanted: what Disconnect, a revocation or a pairing
    // run put on the tray stays.
    if (!s.should_reconnect) return;
    tray_show_status("Reconnecting...");
    tray_show_tooltip("Zelvo \xE2\x80\x94 Reconnecting...");
    if (!s.reconnecting) start_reconnect();
}

void link_set_url(const std::string& ws_url) { link().ws_url = ws_url; }

void link_start() {
    link().should_reconnect = true;
    link_connect();
    std::string error;
    if (!thread_start_detached(watchdog_run, &error)) {
        log_write(LOG_ERROR, "watchdog: cannot start: %s", error.c_str());
    }
}

bool link_connect() {
    std::string error;
    // The thread keeps its own copy of the URL.
    if (thread_start_detached([url = link().ws_url] { ws_run(url); }, &error)) return true;
    log_write(LOG_ERROR, "ws: cannot start a connection thread: %s", error.c_str());
    return false;
}

void link_show_linked(int32_t, const std::string& user_name) {
    tray_set_linked(true);
    tray_show_status("Connected \xE2\x80\x94 " + user_name);
    tray_show_tooltip("Zelvo v" ZELVO_VERSION " \xE2\x80\x94 " + user_name);
}

void link_on_auth_failure(bool revoked) {
    if (!revoked) {
        tray_set_linked(false);
        tray_show_status("Auth failed");
        return;
    }
    // The server no longer knows this key and the configuration is gone: nothing is linked, so
    // nothing may keep trying until the user pairs again.
    link().should_reconnect = false;
    show_not_linked();
}

void link_close() { ws_close(); }

void tray_on_command(int command) {
    std::string error;
    switch (command) {
        case TRAY_LOGIN:
            log_write(LOG_INFO, "Login requested (browser pairing)");
            if (!thread_start_detached(pairing_run, &error)) {
                log_write(LOG_ERROR, "pair: cannot start the pairing run: %s", error.c_str());
            }
            break;
        case TRAY_DASHBOARD:
            log_write(LOG_INFO, "Opening dashboard");
            proc_open_url(config_server_url());
            break;
        case TRAY_DISCONNECT:
            log_write(LOG_INFO, "Disconnect requested");
            link().should_reconnect = false;
            ws_close();
            auth_clear_identity();
            config_delete();
            show_not_linked();
            break;
        case TRAY_EXIT:
            log_write(LOG_INFO, "Exit requested");
            link().should_reconnect = false;
            ws_close();
            tray_close();
            break;
        default:
            break;
    }
}
