// Physical disks, drives and quick-access folders.
//
//   CSV reader      - the disk query's text to rows, shared by every build
//   row mapping     - one row to the disk object the dashboard reads
//   handlers        - "list_disks" and "list_drives"
//   disk size       - for the imaging and scan jobs
#include "disk/disks.h"

#include <limits>

#include "core/log.h"
#include "core/util.h"
#include "net/proto.h"
#include "platform/disks.h"
#include "platform/files.h"
#include "platform/system.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\r' || c == '\n'; }

// Reads one field at `pos` of `line` and moves past it (and past its separator).
std::string read_field(std::string_view line, size_t* pos) {
    std::string out;
    size_t i = *pos;
    if (i >= line.size()) return out;
    if (line[i] == '"') {
        ++i;
        while (i < line.size()) {
            if (line[i] == '"') {
                if (i + 1 < line.size() && line[i + 1] == '"') {
                    out += '"';
                    i += 2;
                    continue;
                }
                ++i;  // the closing quote
                if (i < line.size() && line[i] == ',') ++i;
                break;
            }
            out += line[i++];
        }
    } else {
        while (i < line.size() && line[i] != ',' && line[i] != '\r' && line[i] != '\n') out += line[i++];
        if (i < line.size()) ++i;
    }
    *pos = i;
    return out;
}

// Leading decimal digits after optional blanks and sign, saturating instead of overflowing.
template <typename T>
T leading_number(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    uint64_t value = 0;
    const uint64_t limit = negative ? static_cast<uint64_t>(std::numeric_limits<T>::max()) + 1
                                    : static_cast<uint64_t>(std::numeric_limits<T>::max());
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
    }
    if (std::numeric_limits<T>::is_signed && negative) {
        return value == limit ? std::numeric_limits<T>::min() : static_cast<T>(-static_cast<int64_t>(value));
    }
    return negative ? 0 : static_cast<T>(value);
}

}  // namespace

std::vector<DiskRow> disk_parse_csv(std::string_view text) {
    std::vector<DiskRow> rows;
    size_t pos = text.find('\n');
    pos = pos == std::string_view::npos ? 0 : pos + 1;
    while (true) {
        while (pos < text.size() && is_blank(text[pos])) ++pos;
        if (pos >= text.size()) break;
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        size_t at = 0;
        DiskRow row;
        row.number = read_field(line, &at);
        row.friendly_name = read_field(line, &at);
        row.size = read_field(line, &at);
        row.bus_type = read_field(line, &at);
        if (!row.bus_type.empty() && row.bus_type.back() == '\r') row.bus_type.pop_back();
        rows.push_back(std::move(row));
    }
    return rows;
}

bool disk_row_has_number(const DiskRow& row) {
    std::string_view text = row.number;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

int disk_row_number(const DiskRow& row) { return leading_number<int>(row.number); }

uint64_t disk_row_size(const DiskRow& row) { return leading_number<uint64_t>(row.size); }

const char* disk_bus_type(std::string_view raw) {
    if (equals_ignoring_case(raw, "USB")) return "usb";
    if (equals_ignoring_case(raw, "NVMe")) return "nvme";
    for (const char* name : {"SATA", "ATA", "IDE"}) {
        if (equals_ignoring_case(raw, name)) return "sata";
    }
    return "other";
}

JsonPtr disk_object(const DiskRow& row, const std::string& device_path) {
    JsonPtr disk(cJSON_CreateObject());
    uint64_t size = disk_row_size(row);
    const char* bus = disk_bus_type(row.bus_type);
    cJSON_AddNumberToObject(disk.get(), "id", disk_row_number(row));
    cJSON_AddStringToObject(disk.get(), "path", device_path.c_str());
    cJSON_AddStringToObject(disk.get(), "name", device_path.c_str());
    cJSON_AddStringToObject(disk.get(), "model", row.friendly_name.empty() ? device_path.c_str()
                                                                           : row.friendly_name.c_str());
    cJSON_AddNumberToObject(disk.get(), "size", static_cast<double>(size));
    cJSON_AddStringToObject(disk.get(), "size_str", format_size(size).c_str());
    cJSON_AddStringToObject(disk.get(), "media_type", row.bus_type.c_str());
    cJSON_AddStringToObject(disk.get(), "bus_type", bus);
    cJSON_AddStringToObject(disk.get(), "bus_type_raw", row.bus_type.c_str());
    cJSON_AddBoolToObject(disk.get(), "removable", std::string_view(bus) == "usb");
    return disk;
}

uint64_t get_disk_size(const std::string& path, std::string* error) {
    std::string reason;
    RawFile* file = raw_open(path, false, &reason);
    if (!file) {
        if (error) *error = reason;
        return 0;
    }
    const int64_t size = raw_size(file);
    raw_close(file);
    if (size < 0 && error) *error = "size unknown";
    return size > 0 ? static_cast<uint64_t>(size) : 0;
}

void disk_on_list_disks(const cJSON*) {
    log_write(LOG_INFO, "disk: listing disks");
    cJSON* reply = cJSON_CreateObject();
    cJSON* disks = cJSON_AddArrayToObject(reply, "disks");
    std::string csv;
    std::string error;
    if (disk_query_csv(&csv, &error)) {
        for (const DiskRow& row : disk_parse_csv(csv)) {
            if (!disk_row_has_number(row)) continue;
            cJSON_AddItemToArray(disks, disk_object(row, disk_device_path(disk_row_number(row))).release());
        }
    } else {
        log_write(LOG_ERROR, "disk: %s failed: %s", disk_query_name(), error.c_str());
    }
    log_write(LOG_INFO, "disk: found %d disk(s)", cJSON_GetArraySize(disks));
    proto_send("disk_list", reply);
}

void disk_on_list_drives(const cJSON*) {
    log_write(LOG_INFO, "disk: listing drives");
    cJSON* reply = cJSON_CreateObject();
    cJSON* drives = cJSON_AddArrayToObject(reply, "drives");
    for (const Drive& drive : disk_list_drives()) {
        // A mount point or label that is not UTF-8 could not travel in the reply.
        if (!utf8_valid(drive.root) || !utf8_valid(drive.label) || !utf8_valid(drive.letter)) continue;
        cJSON* item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "letter", drive.letter.c_str());
        cJSON_AddStringToObject(item, "label", drive.label.c_str());
        cJSON_AddStringToObject(item, "path", drive.root.c_str());
        cJSON_AddItemToArray(drives, item);
    }
    cJSON* quick = cJSON_AddObjectToObject(reply, "quick_access");
    std::string profile = sys_profile_dir();
    if (!profile.empty()) {
        for (const char* name : {"Desktop", "Downloads", "Documents"}) {
            std::string folder = fs_join(profile, name);
            if (fs_exists(folder) && utf8_valid(folder)) cJSON_AddStringToObject(quick, name, folder.c_str());
        }
    }
    cJSON_AddStringToObject(reply, "last_folder", "");
    proto_send("drive_list", reply);
}
