// POSIX back end of the system services.
#include "platform/system.h"

#include <pwd.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace {

std::string env_path(const char* name) {
    const char* value = std::getenv(name);
    return value && value[0] == '/' ? value : "";
}

}  // namespace

bool sys_random(void* out, size_t length) {
    auto* p = static_cast<unsigned char*>(out);
    while (length > 0) {
        ssize_t n = getrandom(p, length, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool sys_guid(Guid* out) {
    if (!sys_random(out, sizeof *out)) return false;
    out->data3 = static_cast<uint16_t>((out->data3 & 0x0fff) | 0x4000);  // version 4
    out->data4[0] = static_cast<uint8_t>((out->data4[0] & 0x3f) | 0x80);  // RFC 4122 variant
    return true;
}

bool sys_hostname(std::string* out) {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0) return false;
    *out = buffer;
    return !out->empty();
}

uint64_t sys_ticks_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void sys_sleep_ms(uint32_t milliseconds) {
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool sys_localtime(std::time_t time, std::tm* out) { return localtime_r(&time, out) != nullptr; }

std::string sys_profile_dir() {
    std::string home = env_path("HOME");
    if (!home.empty()) return home;
    passwd* pw = getpwuid(getuid());
    return pw && pw->pw_dir ? pw->pw_dir : "";
}

std::string sys_app_data_dir() {
    std::string xdg = env_path("XDG_CONFIG_HOME");
    if (!xdg.empty()) return xdg;
    std::string home = sys_profile_dir();
    return home.empty() ? "" : home + "/.config";
}

std::string sys_temp_dir() {
    std::string dir = env_path("TMPDIR");
    if (dir.empty()) dir = "/tmp";
    if (dir.back() != '/') dir += '/';
    return dir;
}

std::string sys_exe_path() {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return "";
    return std::string(buffer, static_cast<size_t>(n));
}

std::string sys_exe_dir() {
    std::string path = sys_exe_path();
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
}

const char* sys_platform_name() { return "Linux"; }
