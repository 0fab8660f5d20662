// Folder listing and path validation for the dashboard's folder picker.
//
//   limits        - the 260-unit path and name bounds the picker has always had
//   listing       - "list_directories": sub-folders with a has-children probe, optional files
//   validation    - "validate_path"
//   registration
#include "disk/browse.h"

#include <string>
#include <string_view>

#include "core/json.h"
#include "core/log.h"
#include "core/util.h"
#include "disk/disks.h"
#include "net/proto.h"
#include "platform/files.h"

namespace {

constexpr size_t kMaxPathUnits = 260;  // UTF-16 units of a search pattern, terminator included
constexpr size_t kMaxNameBytes = 260;  // UTF-8 bytes of an entry name, terminator included

// Folders the system keeps for itself; the picker never offers them.
constexpr std::string_view kSkippedFolders[] = {"System Volume Information", "$Recycle.Bin", "$RECYCLE.BIN",
                                                 "Recovery", "Config.Msi"};

bool is_skipped_folder(std::string_view name) {
    for (std::string_view skipped : kSkippedFolders) {
        if (equals_ignoring_case(name, skipped)) return true;
    }
    return false;
}

// UTF-16 units of a UTF-8 text: four-byte sequences need a surrogate pair.
size_t utf16_units(std::string_view text) {
    size_t units = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
    }
    return units;
}

// "<folder>\*" must fit the bound, so every build answers alike for over-long paths.
bool pattern_fits(const std::string& folder) { return utf16_units(folder) + 3 <= kMaxPathUnits; }

// True at the first sub-folder whose name does not begin with '.'; the skip list does not apply.
bool has_children(const std::string& folder) {
    if (!pattern_fits(folder)) return false;
    bool found = false;
    fs_list_dir(folder, [&](const DirEntry& entry) {
        found = entry.is_dir && !entry.name.empty() && entry.name[0] != '.';
        return !found;
    });
    return found;
}

// The extension filter of "include_files": null lists every file.
const cJSON* extension_filter(const cJSON* include_files) {
    return cJSON_IsArray(include_files) && cJSON_GetArraySize(include_files) > 0 ? include_files : nullptr;
}

bool matches_filter(const std::string& name, const cJSON* filter) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    std::string_view extension(name.c_str() + dot, name.size() - dot);
    const cJSON* element = nullptr;
    cJSON_ArrayForEach(element, filter) {
        if (cJSON_IsString(element) && equals_ignoring_case(extension, element->valuestring)) return true;
    }
    return false;
}

const char* error_text(FsError error) {
    switch (error) {
        case FsError::permission_denied: return "Permission denied";
        case FsError::not_found: return "Path not found";
        default: return "Cannot read directory";
    }
}

void on_list_directories(const cJSON* data) {
    const char* requested = json_string(data, "path");
    if (!requested || !*requested) {
        cJSON* reply = cJSON_CreateObject();
        cJSON_AddStringToObject(reply, "path", "");
        cJSON_AddArrayToObject(reply, "dirs");
        cJSON_AddStringToObject(reply, "error", "Invalid path");
        proto_send("directory_list", reply);
        return;
    }
    const std::string path = requested;
    log_write(LOG_DEBUG, "disk: listing directory: %s", path.c_str());
    const cJSON* include_files = json_item(data, "include_files");
    const cJSON* filter = extension_filter(include_files);

    JsonPtr dirs(cJSON_CreateArray());
    JsonPtr files(cJSON_CreateArray());
    FsError error = FsError::other;
    auto visit = [&](const DirEntry& entry) {
        if (entry.name.size() + 1 > kMaxNameBytes) return true;  // cannot be named back to us
        // A name that is not UTF-8 (possible on POSIX file systems) could not travel in the reply,
        // nor be named back to us.
        if (!utf8_valid(entry.name)) return true;
        if (entry.is_dir) {
            if (entry.name[0] == '.' || is_skipped_folder(entry.name)) return true;
            cJSON* item = cJSON_CreateObject();
            cJSON_AddStringToObject(item, "name", entry.name.c_str());
            cJSON_AddBoolToObject(item, "has_children", has_children(fs_join(path, entry.name)));
            cJSON_AddItemToArray(dirs.get(), item);
            return true;
        }
        if (!include_files || entry.name[0] == '.') return true;
        if (filter && !matches_filter(entry.name, filter)) return true;
        cJSON* item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "name", entry.name.c_str());
        cJSON_AddNumberToObject(item, "size", static_cast<double>(entry.size));
        cJSON_AddItemToArray(files.get(), item);
        return true;
    };
    bool opened = pattern_fits(path) && fs_list_dir(path, visit, &error);

    cJSON* reply = cJSON_CreateObject();
    if (!opened) {
        cJSON_AddArrayToObject(reply, "dirs");
        cJSON_AddStringToObject(reply, "error", error_text(error));
    } else {
        cJSON_AddItemToObject(reply, "dirs", dirs.release());
        if (include_files) cJSON_AddItemToObject(reply, "files", files.release());
    }
    cJSON_AddStringToObject(reply, "path", path.c_str());
    proto_send("directory_list", reply);
}

void on_validate_path(const cJSON* data) {
    const char* requested = json_string(data, "path");
    std::string path = requested ? requested : "";
    bool allow_files = json_bool(data, "allow_files", false);
    bool exists = !path.empty() && fs_exists(path);
    bool is_dir = exists && fs_is_dir(path);

    cJSON* reply = cJSON_CreateObject();
    cJSON_AddStringToObject(reply, "path", path.c_str());
    if (is_dir || (exists && allow_files)) {
        cJSON_AddBoolToObject(reply, "valid", true);
        cJSON_AddBoolToObject(reply, "is_dir", is_dir);
    } else {
        cJSON_AddBoolToObject(reply, "valid", false);
        cJSON_AddStringToObject(reply, "error", "Path does not exist");
    }
    proto_send("path_validated", reply);
}

}  // namespace

void disk_browse_register() {
    proto_on("list_disks", disk_on_list_disks);
    proto_on("list_drives", disk_on_list_drives);
    proto_on("list_directories", on_list_directories);
    proto_on("validate_path", on_validate_path);
}
