// Physical disks and drives (drive letters on Windows, mounted file systems elsewhere).
#pragma once

#include <string>
#include <vector>

// Runs the system's disk query and hands back its text as CSV: a header line, then one row per
// physical disk with the columns Number, FriendlyName, Size (bytes) and BusType. No disk is
// opened. False when the query could not be run, failed or did not finish in time, with the
// reason in *error when error is given; its error messages never reach `out`.
bool disk_query_csv(std::string* out, std::string* error = nullptr);

// What the query is called in log lines ("PowerShell Get-Disk", "sysfs").
const char* disk_query_name();

// The device path of disk `number` as the query numbers disks ("\\.\PHYSICALDRIVE<n>" on
// Windows, "/dev/<name>" in sysfs order elsewhere); empty when there is no such disk.
std::string disk_device_path(int number);

struct Drive {
    std::string letter;  // "C:" on Windows; the mount point elsewhere
    std::string label;   // volume label, empty when none or unknown
    std::string root;    // "C:\" on Windows; the mount point elsewhere
};

// Every drive, also one without a medium (its label is empty). Probing an empty slot raises no
// system dialog.
std::vector<Drive> disk_list_drives();
