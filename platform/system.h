// System services: random bytes, GUIDs, the host name, a monotonic tick count, sleeping and the
// well-known folders. All text is UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// Fills `out` with `length` bytes from the system's cryptographic generator.
bool sys_random(void* out, size_t length);

struct Guid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};

// A fresh random GUID (version 4 where the system makes one itself).
bool sys_guid(Guid* out);

// The computer's name: the NetBIOS name on Windows, the node name elsewhere.
bool sys_hostname(std::string* out);

// Milliseconds from an arbitrary fixed point; never goes backwards.
uint64_t sys_ticks_ms();

void sys_sleep_ms(uint32_t milliseconds);

// Thread-safe conversion of a time to local calendar time.
bool sys_localtime(std::time_t time, std::tm* out);

// The user's roaming application-data folder (Windows) or configuration base folder
// ($XDG_CONFIG_HOME, else $HOME/.config); empty when it cannot be determined.
std::string sys_app_data_dir();

// The user's profile (home) folder; empty when unknown.
std::string sys_profile_dir();

// The temporary folder, with a trailing separator.
std::string sys_temp_dir();

// The full path of the running executable, and its folder (no trailing separator).
std::string sys_exe_path();
std::string sys_exe_dir();

// The name of the operating system as reported to the server ("Windows", "Linux").
const char* sys_platform_name();
