// Configuration store: folder choice and seeding, load, merge-and-save, delete, machine ID and
// the server base URL in force.
#include "core/config.h"

#include <cctype>
#include <cstdio>
#include <mutex>

#include "core/log.h"
#include "core/periods.h"
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

JsonPtr config_load() {
    const std::string& path = state().path;
    if (path.empty()) return nullptr;
    FILE* file = fs_fopen(path, "rb");
    if (!file) return nullptr;
    JsonPtr tree;
    if (std::fseek(file, 0, SEEK_END) == 0) {
        long size = std::ftell(file);
        if (size >= 1 && size <= kMaxFileSize && std::fseek(file, 0, SEEK_SET) == 0) {
            std::string text(static_cast<size_t>(size), '\0');
            if (std::fread(text.data(), 1, text.size(), file) == text.size()) tree = json_parse(text);
        }
    }
    std::fclose(file);
    return tree;
}

bool config_save(const cJSON* object) {
    ConfigState& s = state();
    if (s.path.empty() || !object) return false;
    std::lock_guard<std::mutex> guard(s.save_lock);

    JsonPtr tree = config_load();
    if (!cJSON_IsObject(tree.get())) tree.reset(cJSON_CreateObject());
    if (!tree) return false;
    for (const cJSON* member = object->child; member; member = member->next) {
        if (!member->string) continue;
        cJSON_DeleteItemFromObjectCaseSensitive(tree.get(), member->string);
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
    size_t pos;
    if (url.rfind("https://", 0) == 0) pos = 8;
    else if (url.rfind("http://", 0) == 0) pos = 7;
    else return false;

    size_t host_start = pos;
    if (pos < url.size() && url[pos] == '[') {  // IPv6 literal
        size_t close = url.find(']', pos);
        if (close == std::string::npos || close == pos + 1) return false;
        for (size_t i = pos + 1; i < close; ++i) {
            if (!std::isxdigit(static_cast<unsigned char>(url[i])) && url[i] != ':' && url[i] != '.') return false;
        }
        pos = close + 1;
    } else {
        while (pos < url.size()) {
            unsigned char c = static_cast<unsigned char>(url[pos]);
            if (!std::isalnum(c) && c != '.' && c != '-') break;
            ++pos;
        }
        if (pos == host_start) return false;
    }
    if (pos < url.size() && url[pos] == ':') {
        size_t digits_start = ++pos;
        unsigned long port = 0;
        while (pos < url.size() && std::isdigit(static_cast<unsigned char>(url[pos])) && pos - digits_start < 6) {
            port = port * 10 + static_cast<unsigned long>(url[pos] - '0');
            ++pos;
        }
        if (pos == digits_start || port == 0 || port > 65535) return false;
    }
    return pos == url.size() || (url[pos] == '/' && pos + 1 == url.size());
}

void config_apply_server_url() {
    JsonPtr tree = config_load();
    const cJSON* item = cJSON_GetObjectItem(tree.get(), "server_url");
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
    const cJSON* item = cJSON_GetObjectItem(tree.get(), "test_period_scale");
    if (!cJSON_IsNumber(item)) return;
    period_set_scale(item->valuedouble);
    log_write(LOG_INFO, "config: test periods scaled by %g", period_scale());
}

std::string config_server_url() { return state().server_url; }
