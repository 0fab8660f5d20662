// Service entry: start-up in its fixed order, the crash writer, and shutdown after the tray loop.
#include "app/service.h"

#include <string>

#include "app/link.h"
#include "app/tray_menu.h"
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
#include "scan/scan_job.h"

namespace {

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

// What the modules below cannot know about each other.
void wire_hooks() {
    AuthHooks hooks;
    hooks.on_login = link_show_linked;
    hooks.on_version = update_request;
    hooks.on_failure = link_on_auth_failure;
    auth_set_hooks(hooks);
    update_set_close_hook(link_close);
}

}  // namespace

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
    scan_register();
    update_register();
    proto_on("pair_success", on_pair_success);
    proto_on("_disconnected", on_link_dropped);
    wire_hooks();

    link_set_url(ws_url_for_server(config_server_url()));
    link_start();

    tray_run(tray_setup(fs_join(sys_exe_dir(), "icon.ico"), tray_on_command,
                        [] { log_write(LOG_INFO, "System tray icon added"); }));

    ws_shutdown();
    log_write(LOG_INFO, "Shutting down");
    log_close();
    return 0;
}
