// Physical disks and drives (drive letters on Windows, mounted file systems elsewhere).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PhysicalDisk {
    int number = 0;        // disk number (PHYSICALDRIVE<n>; index in sysfs order elsewhere)
    std::string path;      // device path to open with raw_open
    std::string model;     // friendly name; empty when unknown
    uint64_t size = 0;     // bytes; 0 when unknown
    std::string bus_type;  // the system's own bus name ("USB", "NVMe", "SATA", ...)
};

// Lists the physical disks without opening them. Returns false when the system's own query
// could not be run (the list is then empty).
bool disk_list_physical(std::vector<PhysicalDisk>* out);

struct Drive {
    std::string letter;  // "C:" on Windows; the mount point elsewhere
    std::string label;   // volume label, empty when none
    std::string root;    // "C:\" on Windows; the mount point elsewhere
};

std::vector<Drive> disk_list_drives();
