// POSIX (Linux) back end of disks and drives.
//
// Disks come from sysfs: every /sys/block entry backed by hardware, in name order, numbered from
// 0 in that order. Virtual block devices (loop, ram, zram, device-mapper, md: all of them live
// under /sys/devices/virtual) and optical or floppy drives (sr*, fd*) are left out; partitions
// never appear in /sys/block. The bus is read from the device's sysfs path.
//
// Drives are the mounted real file systems: /proc/self/mounts entries whose source is a device
// under /dev/ (this leaves out proc, sysfs, tmpfs, cgroup, overlay and every other virtual type),
// mounted on a folder (container bind mounts of single files are not drives), squashfs images
// excluded, first entry per mount point. Labels come from /dev/disk/by-label.
#include "platform/disks.h"

#include "platform/error.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace {

std::string read_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\n' || line.back() == '\t')) line.pop_back();
    return line;
}

std::string real_path(const std::string& path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? buffer : "";
}

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The disks in their numbering order.
std::vector<std::string> block_disks() {
    std::vector<std::string> names;
    DIR* dir = opendir("/sys/block");
    if (!dir) return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name[0] == '.' || starts_with(name, "sr") || starts_with(name, "fd")) continue;
        if (real_path("/sys/block/" + name).find("/devices/virtual/") != std::string::npos) continue;
        names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// The name the system's own tools give the transport; the disk module maps it.
std::string bus_name(const std::string& name) {
    std::string device = real_path("/sys/block/" + name);
    if (device.find("/usb") != std::string::npos) return "USB";
    if (starts_with(name, "nvme")) return "NVMe";
    if (device.find("/ata") != std::string::npos) return "SATA";
    if (starts_with(name, "vd")) return "Virtio";
    if (starts_with(name, "mmcblk")) return "SD";
    if (starts_with(name, "sd")) return "SCSI";
    return "";
}

std::string csv_quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

// /proc/self/mounts writes blanks, tabs, newlines and backslashes as \ooo.
std::string unescape_octal(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3') {
            out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

// /dev/disk/by-label names escape unsafe bytes as \xHH.
std::string unescape_hex(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && isxdigit(static_cast<unsigned char>(text[i + 2])) &&
            isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

bool disk_query_csv(std::string* out, std::string* error) {
    struct stat st {};
    if (stat("/sys/block", &st) != 0) {
        if (error) *error = "/sys/block: " + sys_error_text(sys_last_error());
        return false;
    }
    std::string csv = "\"Number\",\"FriendlyName\",\"Size\",\"BusType\"\n";
    std::vector<std::string> names = block_disks();
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string base = "/sys/block/" + names[i];
        std::string sectors = read_line(base + "/size");  // always in 512-byte units
        uint64_t bytes = sectors.empty() ? 0 : std::strtoull(sectors.c_str(), nullptr, 10) * 512;
        csv += csv_quoted(std::to_string(i)) + "," + csv_quoted(read_line(base + "/device/model")) + "," +
               csv_quoted(std::to_string(bytes)) + "," + csv_quoted(bus_name(names[i])) + "\n";
    }
    *out = std::move(csv);
    return true;
}

const char* disk_query_name() { return "sysfs disk query"; }

std::string disk_device_path(int number) {
    std::vector<std::string> names = block_disks();
    if (number < 0 || static_cast<size_t>(number) >= names.size()) return "";
    return "/dev/" + names[static_cast<size_t>(number)];
}

std::vector<Drive> disk_list_drives() {
    // Device (symlinks resolved) -> volume label.
    std::map<std::string, std::string> labels;
    if (DIR* dir = opendir("/dev/disk/by-label")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::string device = real_path(std::string("/dev/disk/by-label/") + entry->d_name);
            if (!device.empty()) labels.emplace(device, unescape_hex(entry->d_name));
        }
        closedir(dir);
    }

    std::vector<Drive> drives;
    std::set<std::string> seen;
    std::ifstream mounts("/proc/self/mounts");
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string source, target, type;
        if (!(fields >> source >> target >> type)) continue;
        source = unescape_octal(source);
        target = unescape_octal(target);
        if (!starts_with(source, "/dev/") || type == "squashfs") continue;
        struct stat st {};
        if (stat(target.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        if (!seen.insert(target).second) continue;
        auto label = labels.find(real_path(source));
        drives.push_back(Drive{target, label == labels.end() ? "" : label->second, target});
    }
    return drives;
}
