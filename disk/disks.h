// Physical disks, drives and the usual folders for the dashboard's pickers, and the size of a
// disk or file for the imaging and scan jobs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"

// One data row of the disk query's CSV, fields as they came.
struct DiskRow {
    std::string number;
    std::string friendly_name;
    std::string size;
    std::string bus_type;
};

// The header line is skipped (text without any line break is all data); every other non-blank
// line gives one row, also a line whose fields are all empty.
std::vector<DiskRow> disk_parse_csv(std::string_view text);

// True when the Number column holds a disk number: decimal digits only, blanks around them aside.
// A line that is no disk row (a message that found its way into the output) has none.
bool disk_row_has_number(const DiskRow& row);

// The Number column as a disk number: leading decimal digits, 0 when there are none.
int disk_row_number(const DiskRow& row);
// The Size column in bytes: leading decimal digits, 0 when there are none.
uint64_t disk_row_size(const DiskRow& row);

// "usb", "nvme", "sata" or "other", whatever the letter case of `raw`.
const char* disk_bus_type(std::string_view raw);

// {"id", "path", "name", "model", "size", "size_str", "media_type", "bus_type", "bus_type_raw",
// "removable"} for one row; `device_path` is the path of the row's disk number.
JsonPtr disk_object(const DiskRow& row, const std::string& device_path);

// Length in bytes of a device or file: the one way jobs size their source. 0 when it cannot be
// opened or measured, with the reason in *error when error is given (left alone for an empty file).
uint64_t get_disk_size(const std::string& path, std::string* error = nullptr);

// The "list_disks" and "list_drives" handlers.
void disk_on_list_disks(const cJSON* data);
void disk_on_list_drives(const cJSON* data);
