// Win32 back end of disks and drives: the PowerShell disk query and the drive letters.
#include "platform/disks.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/process.h"
#include "platform/win32/wide.h"

namespace {

// PowerShell can stall (a hung storage provider); the dashboard then gets an empty list.
constexpr uint32_t kQueryTimeoutMs = 30000;

}  // namespace

bool disk_query_csv(std::string* out, std::string* error) {
    // Quoted by proc_run into exactly:
    // powershell -NoProfile -Command "Get-Disk | Select-Object ... | ConvertTo-Csv -NoTypeInformation"
    // Only standard output is CSV: PowerShell's error messages go to standard error, which is not
    // read, and a failed Get-Disk ends with a non-zero exit code.
    ProcResult result = proc_run({"powershell", "-NoProfile", "-Command",
                                  "Get-Disk | Select-Object Number,FriendlyName,Size,BusType | "
                                  "ConvertTo-Csv -NoTypeInformation"},
                                 kQueryTimeoutMs, 1 << 20, false);
    if (!result.started || result.timed_out || result.exit_code != 0) {
        if (error) {
            *error = !result.started    ? std::string("powershell could not be started")
                     : result.timed_out ? std::string("no answer within 30 s")
                                        : "exit code " + std::to_string(result.exit_code);
        }
        return false;
    }
    // A redirected PowerShell writes in its console's code page, the system's OEM page, not UTF-8.
    const UINT page = system_oem_code_page();
    const std::string& raw = result.output;
    int units = raw.empty() ? 0 : MultiByteToWideChar(page, 0, raw.data(), static_cast<int>(raw.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(units), L'\0');
    if (units > 0) MultiByteToWideChar(page, 0, raw.data(), static_cast<int>(raw.size()), wide.data(), units);
    *out = to_utf8(wide);
    return true;
}

const char* disk_query_name() { return "PowerShell Get-Disk"; }

std::string disk_device_path(int number) {
    char path[64];
    std::snprintf(path, sizeof path, "\\\\.\\PHYSICALDRIVE%d", number);
    return path;
}

std::vector<Drive> disk_list_drives() {
    // An empty card reader or optical slot would otherwise raise a "No Disk" box and hold the
    // calling thread (the connection thread) until someone clicks it away.
    DWORD previous_mode = 0;
    bool mode_set = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous_mode) != 0;
    std::vector<Drive> drives;
    DWORD mask = GetLogicalDrives();
    for (int bit = 0; bit < 26; ++bit) {
        if (!(mask & (1u << bit))) continue;
        char letter = static_cast<char>('A' + bit);
        Drive drive;
        drive.letter = std::string(1, letter) + ":";
        drive.root = drive.letter + "\\";
        wchar_t label[256] = {};
        // Drives without a medium fail here; their label stays empty.
        if (GetVolumeInformationW(to_wide(drive.root).c_str(), label, 256, nullptr, nullptr, nullptr, nullptr, 0)) {
            drive.label = to_utf8(label);
        }
        drives.push_back(std::move(drive));
    }
    if (mode_set) SetThreadErrorMode(previous_mode, nullptr);
    return drives;
}
