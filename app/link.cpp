// Account link: pairing run, pair_success, link drop, reconnect runs, watchdog, tray commands.
#include "app/link.h"

#include <atomic>
#include <thread>

#include "app/service.h"
#include "core/version.h"
#include "core/config.h"
#include "core/log.h"
#include "core/util.h"
#include "net/auth.h"
#include "net/proto.h"
#include "net/ws.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/tray.h"

namespace {

constexpr uint32_t kWatchdogPeriodMs = 15000;
constexpr uint32_t kCloseSettleMs = 500;     // after closing the old connection
constexpr uint32_t kPollMs = 250;
constexpr int kPairPolls = 40;               // 10 s for the pairing connection
constexpr int kReconnectPolls = 20;          // 5 s per reconnect attempt
constexpr int kReconnectWaits[] = {1, 2, 3, 5, 10, 15};
constexpr int kReconnectAttempts = 6;

std::atomic<bool> g_reconnecting{false};  // a reconnect run is in progress

bool wait_connected(int polls) {
    for (int i = 0; i < polls && !ws_is_connected(); ++i) sleep_ms(kPollMs);
    return ws_is_connected();
}

void pairing_run() {
    tray_set_status("Connecting...");
    std::string code = pair_make_code();
    should_reconnect = false;  // neither the drop hook nor the watchdog may interfere
    if (ws_is_connected()) {
        ws_close();
        sleep_ms(kCloseSettleMs);
    }
    connection_start();
    if (!wait_connected(kPairPolls)) {
        log_write(LOG_ERROR, "pair: connection timeout");
        tray_set_status("Connection failed");
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
    tray_set_status("Waiting for browser login...");
}

void reconnect_run() {
    bool expected = false;
    if (!g_reconnecting.compare_exchange_strong(expected, true)) return;  // one run at a time

    for (int attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        if (ws_is_connected()) {
            log_write(LOG_INFO, "reconnect: already connected");
            break;
        }
        if (!should_reconnect) {
            log_write(LOG_INFO, "reconnect: should_reconnect=false");
            break;
        }
        JsonPtr config = config_load();
        if (!config || !cJSON_GetObjectItem(config.get(), "private_key")) {
            log_write(LOG_WARN, "reconnect: no private_key in config, skipping");
            break;
        }
        int wait = kReconnectWaits[attempt - 1];
        log_write(LOG_INFO, "reconnect: attempt %d/%d (wait %ds)", attempt, kReconnectAttempts, wait);
        ws_close();
        sleep_ms(kCloseSettleMs);
        connection_start();
        if (wait_connected(kReconnectPolls)) {
            log_write(LOG_INFO, "reconnect: success");
            g_reconnecting = false;
            return;
        }
        if (attempt == kReconnectAttempts) break;
        sleep_ms(static_cast<uint32_t>(wait) * 1000u);
    }
    if (!ws_is_connected() && should_reconnect) {
        log_write(LOG_WARN, "reconnect: all attempts failed, watchdog will retry");
        tray_set_status("Connection failed \xE2\x80\x94 retrying soon");
    }
    g_reconnecting = false;
}

void start_reconnect() { std::thread(reconnect_run).detach(); }

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
    const cJSON* id = cJSON_GetObjectItem(d, "user_id");
    int32_t user_id = cJSON_IsNumber(id) ? id->valueint : 1;
    auth_set_identity(user_id, user);
    log_write(LOG_INFO, "pair: success! linked as %s (user_id=%d)", user.c_str(), static_cast<int>(user_id));
    should_reconnect = true;
    auth_show_linked(auth_user_name());
}

void on_link_dropped(const cJSON*) {
    auth_clear_identity();
    tray_set_linked(false);
    tray_set_status("Reconnecting...");
    tray_set_tooltip("Zelvo \xE2\x80\x94 Reconnecting...");
    if (should_reconnect && !g_reconnecting) start_reconnect();
}

void watchdog_start() {
    std::thread([] {
        while (true) {
            sleep_ms(kWatchdogPeriodMs);
            if (ws_is_connected() || !should_reconnect || g_reconnecting) continue;
            log_write(LOG_INFO, "watchdog: not connected, triggering reconnect");
            if (should_reconnect && !g_reconnecting) start_reconnect();
        }
    }).detach();
}

void tray_on_command(int command) {
    switch (command) {
        case TRAY_LOGIN:
            log_write(LOG_INFO, "Login requested (browser pairing)");
            std::thread(pairing_run).detach();
            break;
        case TRAY_DASHBOARD:
            log_write(LOG_INFO, "Opening dashboard");
            proc_open_url(config_server_url());
            break;
        case TRAY_DISCONNECT:
            log_write(LOG_INFO, "Disconnect requested");
            should_reconnect = false;
            ws_close();
            auth_clear_identity();
            config_delete();
            tray_set_linked(false);
            tray_set_status("Not linked");
            tray_set_tooltip("Zelvo \xE2\x80\x94 Not linked");
            break;
        case TRAY_EXIT:
            log_write(LOG_INFO, "Exit requested");
            should_reconnect = false;
            ws_close();
            tray_close();
            break;
        default:
            break;
    }
}
