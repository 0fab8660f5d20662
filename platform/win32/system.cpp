// Win32 back end of the system services.
#include "platform/system.h"

#include <windows.h>
#include <bcrypt.h>
#include <rpc.h>
#include <shlobj.h>

#include "platform/win32/wide.h"

namespace {

std::string shell_folder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) return "";
    return to_utf8(path);
}

}  // namespace

bool sys_random(void* out, size_t length) {
    auto* p = static_cast<UCHAR*>(out);
    while (length > 0) {
        ULONG chunk = length > 0x10000000 ? 0x10000000 : static_cast<ULONG>(length);
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
        p += chunk;
        length -= chunk;
    }
    return true;
}

bool sys_guid(Guid* out) {
    UUID uuid;
    RPC_STATUS status = UuidCreate(&uuid);
    if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY) return false;
    static_assert(sizeof(UUID) == sizeof(Guid));
    memcpy(out, &uuid, sizeof uuid);
    return true;
}

bool sys_hostname(std::string* out) {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &size)) return false;
    *out = to_utf8(name, static_cast<int>(size));
    return !out->empty();
}

uint64_t sys_ticks_ms() { return GetTickCount64(); }

void sys_sleep_ms(uint32_t milliseconds) { Sleep(milliseconds); }

bool sys_localtime(std::time_t time, std::tm* out) { return localtime_s(out, &time) == 0; }

std::string sys_app_data_dir() { return shell_folder(CSIDL_APPDATA); }

std::string sys_profile_dir() { return shell_folder(CSIDL_PROFILE); }

std::string sys_temp_dir() {
    wchar_t path[MAX_PATH + 2] = {};
    DWORD units = GetTempPathW(MAX_PATH + 1, path);
    if (units == 0 || units > MAX_PATH + 1) return "C:\\Windows\\Temp\\";
    std::string out = to_utf8(path, static_cast<int>(units));
    if (out.empty() || out.back() != '\\') out += '\\';
    return out;
}

std::string sys_exe_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    while (true) {
        DWORD units = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (units == 0) return "";
        if (units < buffer.size()) return to_utf8(buffer.c_str(), static_cast<int>(units));
        buffer.resize(buffer.size() * 2);
    }
}

std::string sys_exe_dir() {
    std::string path = sys_exe_path();
    size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

const char* sys_platform_name() { return "Windows"; }
