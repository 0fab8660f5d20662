// Configuration store: folder choice and seeding, load, merge-and-save, delete, machine ID and
// the server base URL in force.
#include "core/config.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/log.h"
#include "core/periods.h"
#include "core/util.h"
#include "platform/files.h"
#include "platform/system.h"

#ifndef ZELVO_DEFAULT_SERVER_URL
#error "ZELVO_DEFAULT_SERVER_URL must be set by the build"
#endif

namespace {

constexpr const char* kFileName = "zelvo.conf";
constexpr int64_t kMaxFileSize = 10 * 1024 * 1024;

struct ConfigState {
    std::string dir;          // configuration folder (also holds the logs)
    std::string path;         // the configuration file
    std::string server_url = ZELVO_DEFAULT_SERVER_URL;  // base URL in force
    std::mutex save_lock;     // one read-merge-write at a time
};

// Never destroyed: detached threads may still read it while the process exits.
ConfigState& state() {
    static ConfigState* s = new ConfigState;
    return *s;
}

}  // namespace

std::string config_choose_dir() {
    std::string base = sys_app_data_dir();
    return base.empty() ? sys_exe_dir() : fs_join(base, "Zelvo");
}

void config_init() {
    ConfigState& s = state();
    std::string base = sys_app_data_dir();
    if (!base.empty()) fs_mkdir(base);  // $HOME/.config may not exist yet on a fresh account
    s.dir = config_choose_dir();
    fs_mkdir(s.dir);
    s.path = fs_join(s.dir, kFileName);

    // An installer may leave a configuration beside the executable: take it over once.
    if (!fs_exists(s.path)) {
        std::string seed = fs_join(sys_exe_dir(), kFileName);
        if (seed != s.path && fs_exists(seed)) fs_copy_new(seed, s.path);
    }
    log_write(LOG_DEBUG, "Config path: %s", s.path.c_str());
}

std::string config_get_dir() { return state().dir; }
std::string config_get_path() { return state().path; }

namespace {

enum class ReadResult {
    ok,          // read whole; the tree may still be null (empty, oversized or not JSON)
    missing,     // no file
    unreadable,  // the file is there but could not be read (rights, sharing, I/O)
};

// Reads and parses the file. Only a file that was read whole may later be replaced by a save:
// one that could not be read may hold the device key.
ReadResult read_config(JsonPtr* tree, std::string* reason) {
    tree->reset();
    const std::string& path = state().path;
    if (path.empty()) return ReadResult::missing;
    errno = 0;
    FILE* file = fs_fopen(path, "rb");
    if (!file) {
        if (errno == ENOENT || !fs_exists(path)) return ReadResult::missing;
        *reason = std::strerror(errno);
        return ReadResult::unreadable;
    }
    ReadResult result = ReadResult::unreadable;
    *reason = "read failed";
    if (std::fseek(file, 0, SEEK_END) == 0) {
        long size = std::ftell(file);
        if (size > kMaxFileSize) {
            result = ReadResult::ok;  // replaced on purpose
        } else if (size >= 0 && std::fseek(file, 0, SEEK_SET) == 0) {
            std::string text(static_cast<size_t>(size), '\0');
            errno = 0;
            if (std::fread(text.data(), 1, text.size(), file) == text.size() && !std::ferror(file)) {
                result = ReadResult::ok;
                if (!text.empty()) *tree = json_parse(text);
            } else if (errno != 0) {
                *reason = std::strerror(errno);
            }
        }
    }
    // A folder opens like a file here but reads nothing.
    if (result == ReadResult::ok && fs_is_dir(path)) {
        result = ReadResult::unreadable;
        *reason = "is a folder";
    }
    std::fclose(file);
    return result;
}

// Removes every member named `name` in any letter case: members are read ignoring case, so a
// stale "Private_Key" would otherwise shadow a freshly saved "private_key".
void delete_ignoring_case(cJSON* tree, const char* name) {
    while (cJSON_GetObjectItem(tree, name)) cJSON_DeleteItemFromObject(tree, name);
}

}  // namespace

JsonPtr config_load() {
    JsonPtr tree;
    std::string reason;
    read_config(&tree, &reason);
    return tree;
}

bool config_save(const cJSON* object) {
    ConfigState& s = state();
    if (s.path.empty() || !object) return false;
    std::lock_guard<std::mutex> guard(s.save_lock);

    JsonPtr tree;
    std::string reason;
    if (read_config(&tree, &reason) == ReadResult::unreadable) {
        log_write(LOG_ERROR, "config: cannot read %s (%s), not saving over it", s.path.c_str(), reason.c_str());
        return false;
    }
    if (!cJSON_IsObject(tree.get())) tree.reset(cJSON_CreateObject());
    if (!tree) return false;
    for (const cJSON* member = object->child; member; member = member->next) {
        if (!member->string) continue;
        delete_ignoring_case(tree.get(), member->string);
        cJSON* copy = cJSON_Duplicate(member, true);
        if (copy) cJSON_AddItemToObject(tree.get(), member->string, copy);
    }
    std::string text = json_print(tree.get());
    if (text.empty()) return false;
    return fs_write_atomic(s.path, text);
}

void config_delete() {
    const std::string& path = state().path;
    if (!path.empty()) fs_delete(path);
}

std::string get_machine_id() {
    JsonPtr tree = config_load();
    if (const char* id = json_string(tree.get(), "machine_id"); id && *id) return id;

    Guid guid{};
    if (!sys_guid(&guid)) sys_random(&guid, sizeof guid);
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%08x%04x", static_cast<unsigned>(guid.data1),
                  static_cast<unsigned>(guid.data2));
    JsonPtr update(cJSON_CreateObject());
    cJSON_AddStringToObject(update.get(), "machine_id", buffer);
    config_save(update.get());
    return buffer;
}

bool config_valid_server_url(const std::string& url) {
    UrlParts parts;
    if (!url_split(url, &parts) || (parts.scheme != "https" && parts.scheme != "http")) return false;
    for (char c : parts.host) {
        unsigned char u = static_cast<unsigned char>(c);
        bool allowed = parts.ipv6 ? std::isxdigit(u) || c == ':' || c == '.' : std::isalnum(u) || c == '.' || c == '-';
        if (!allowed) return false;
    }
    if (parts.has_port && parts.port == 0) return false;
    return parts.rest.empty() || parts.rest == "/";
}

void config_apply_server_url() {
    JsonPtr tree = config_load();
    const cJSON* item = json_item(tree.get(), "server_url");
    if (!item) return;
    std::string url = cJSON_IsString(item) ? item->valuestring : "";
    if (!config_valid_server_url(url)) {
        log_write(LOG_WARN, "config: ignoring invalid server_url \"%s\"", url.c_str());
        return;
    }
    if (url.back() == '/') url.pop_back();
    state().server_url = url;
    log_write(LOG_INFO, "config: server %s", url.c_str());
}

void config_apply_test_settings() {
    JsonPtr tree = config_load();
    const cJSON* item = json_item(tree.get(), "test_period_scale");
    if (!cJSON_IsNumber(item)) return;
    period_set_scale(item->valuedouble);
    log_write(LOG_INFO, "config: test periods scaled by %g", period_scale());
}

std::string config_server_url() { return state().server_url; }
