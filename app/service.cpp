// Service entry: start-up in its fixed order, the crash writer, and shutdown after the tray loop.
#include "app/service.h"

#include <string>
#include <thread>

#include "app/link.h"
#include "core/version.h"
#include "core/config.h"
#include "core/log.h"
#include "core/util.h"
#include "disk/browse.h"
#include "imaging/imaging.h"
#include "jobs/update.h"
#include "net/auth.h"
#include "net/proto.h"
#include "net/ws.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "platform/tray.h"

std::atomic<bool> should_reconnect{false};

namespace {

std::string g_server_ws_url;  // set once during start-up, before any connection thread

constexpr int kInstanceTries = 10;
constexpr uint32_t kInstancePauseMs = 500;

// The crash line, filled in by the platform's handler (time, code, address) inside a crashed
// process.
constexpr const char* kCrashLine = "[{time}] CRASH: exception code 0x{code} at address {address}\n";

// Waits up to about 4.5 s for an older instance to go away; false when this one must end. Where
// a lock file is the guard it lies in the configuration folder: what two agents must not share.
bool acquire_single_instance(const std::string& config_dir) {
    std::string lock_file = fs_join(config_dir, "zelvo.lock");
    for (int attempt = 1; attempt <= kInstanceTries; ++attempt) {
        switch (proc_instance_try_lock(lock_file)) {
            case InstanceLock::acquired: return true;
            case InstanceLock::failed: return false;
            case InstanceLock::busy: break;
        }
        if (attempt == kInstanceTries) return false;
        sleep_ms(kInstancePauseMs);
    }
    return false;
}

}  // namespace

std::string server_ws_url() { return g_server_ws_url; }

void connection_start() {
    std::thread([url = g_server_ws_url] { ws_run(url); }).detach();
}

int service_main() {
    proc_ensure_elevated();
    thread_prepare_current();
    // The folder is known from the environment alone; config_init creates it below.
    std::string config_dir = config_choose_dir();
    if (!acquire_single_instance(config_dir)) return 0;
    proc_install_crash_handler(fs_join(config_dir, "crash.log"), kCrashLine);

    config_init();
    log_open(fs_join(config_get_dir(), "service.log"));
    log_write(LOG_INFO, "Zelvo v%s starting", ZELVO_VERSION);
    log_write(LOG_INFO, "Machine ID: %s", get_machine_id().c_str());
    std::string hostname;
    get_hostname(&hostname);
    log_write(LOG_INFO, "Hostname: %s", hostname.c_str());
    config_apply_server_url();
    config_apply_test_settings();

    proto_init();
    auth_init();

    // Each module binds its events; the link's drop hook comes last so it is the one in force.
    auth_register();
    disk_browse_register();
    imaging_register();
    update_register();
    proto_on("pair_success", on_pair_success);
    proto_on("_disconnected", on_link_dropped);

    g_server_ws_url = ws_url_for_server(config_server_url());
    should_reconnect = true;
    connection_start();
    watchdog_start();

    tray_run(fs_join(sys_exe_dir(), "icon.ico"), tray_on_command);

    ws_shutdown();
    log_write(LOG_INFO, "Shutting down");
    log_close();
    return 0;
}
