// Self-update.
//
// Sections: record limits and text helpers; version comparison; trust check; installer name and
// script text; download; the update thread; request handler and registration.
#include "jobs/update.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "core/version.h"
#include "core/config.h"
#include "core/log.h"
#include "core/util.h"
#include "net/proto.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace {

constexpr size_t kMaxVersion = 31;    // record limits, in bytes
constexpr size_t kMaxUrl = 511;
constexpr size_t kMaxFileName = 127;
constexpr size_t kMaxPath = 259;      // longest installer path; a longer one takes the default name
constexpr size_t kMaxHost = 255;      // longest host the trust check reads
constexpr uint32_t kPauseAroundCloseMs = 500;  // lets "restarting" leave, then the close

// Set while an update thread runs; a second thread would write the same installer path.
std::atomic<bool> g_busy{false};
// Closes the server connection before the hand-over; set by start-up before any connection.
std::atomic<void (*)()> g_close_link{nullptr};

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// ---- version comparison ----

// Reads like sscanf("%d.%d.%d.%d"): each number may follow blanks and carry a sign, and reading
// stops at the first thing that does not fit; a number too large for an int saturates.
std::array<int, 4> parse_version(const std::string& text) {
    std::array<int, 4> numbers{};
    const char* p = text.c_str();
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (i > 0) {
            if (*p != '.') break;
            ++p;
        }
        while (std::isspace(static_cast<unsigned char>(*p))) ++p;
        bool negative = *p == '-';
        if (*p == '-' || *p == '+') ++p;
        if (!is_digit(*p)) break;
        long long value = 0;
        for (; is_digit(*p); ++p) value = std::min<long long>(value * 10 + (*p - '0'), 1LL + INT_MAX);
        numbers[i] = negative ? static_cast<int>(-std::min<long long>(value, 1LL + INT_MAX))
                              : static_cast<int>(std::min<long long>(value, INT_MAX));
    }
    return numbers;
}

// ---- trust check ----

// Scheme (lower case) and host of "scheme://host[:port][/...]". Stricter than a URL needs: the
// authority must end at a "/" (or the end), so "@", "?" and the like stay in the host and make it
// match nothing.
bool split_authority(const std::string& url, std::string* scheme, std::string* host) {
    UrlParts parts;
    if (!url_split(url, &parts) || parts.host.size() > kMaxHost) return false;
    if (!parts.rest.empty() && parts.rest[0] != '/') return false;
    *scheme = lower(parts.scheme);
    *host = parts.host;
    return true;
}

// Four decimal numbers 0-255 and nothing else. Leading zeros are refused: some resolvers read
// "010" as octal, which would turn a private-looking literal into a public address.
bool ipv4_literal(const std::string& host, std::array<int, 4>* octets) {
    size_t pos = 0;
    for (size_t i = 0; i < 4; ++i) {
        if (i > 0) {
            if (pos >= host.size() || host[pos] != '.') return false;
            ++pos;
        }
        size_t start = pos;
        int value = 0;
        for (; pos < host.size() && is_digit(host[pos]) && pos - start < 3; ++pos) {
            value = value * 10 + (host[pos] - '0');
        }
        if (pos == start || (pos - start > 1 && host[start] == '0') || value > 255) return false;
        (*octets)[i] = value;
    }
    return pos == host.size();
}

bool private_ipv4_literal(const std::string& host) {
    std::array<int, 4> o{};
    if (!ipv4_literal(host, &o)) return false;
    return o[0] == 10 || o[0] == 127 || (o[0] == 192 && o[1] == 168) || (o[0] == 172 && o[1] >= 16 && o[1] <= 31);
}

// ---- installer name and script text ----

// Names that Windows opens as a device in any folder, whatever their extension ("nul.exe" is
// NUL): CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9 and LPT0-9 (also with a superscript 1-3).
bool device_name(const std::string& name) {
    std::string stem = lower(name.substr(0, name.find('.')));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    for (const char* device : {"con", "prn", "aux", "nul", "conin$", "conout$"}) {
        if (stem == device) return true;
    }
    if (stem.size() < 4 || (stem.compare(0, 3, "com") != 0 && stem.compare(0, 3, "lpt") != 0)) return false;
    std::string number = stem.substr(3);
    return (number.size() == 1 && is_digit(number[0])) || number == "\xc2\xb9" || number == "\xc2\xb2" ||
           number == "\xc2\xb3";
}

[[gnu::format(gnu_printf, 1, 2)]] std::string format(const char* pattern, ...) {
    va_list args;
    va_start(args, pattern);
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, pattern, copy);
    va_end(copy);
    std::string out(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(out.data(), out.size() + 1, pattern, args);
    va_end(args);
    return out;
}

// One sh word holding `text` literally.
std::string sh_quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

// ---- update thread ----

void send_status(const char* status, const char* key, const std::string& value) {
    cJSON* d = cJSON_CreateObject();
    cJSON_AddStringToObject(d, "status", status);
    cJSON_AddStringToObject(d, key, value.c_str());
    proto_send("update_status", d);
}

void send_error(const char* message) { send_status("error", "message", message); }

// The installer's name in `folder`: the request's, unless the path would be too long or the script
// could not name it (a character outside the code page cmd.exe reads the script in).
std::string installer_name_in(const std::string& folder, const std::string& filename) {
    std::string name = update_installer_name(filename);
    if (fs_join(folder, name).size() > kMaxPath || !fs_script_can_hold(name)) return UPDATE_DEFAULT_INSTALLER;
    return name;
}

// Ends in one of two ways: an "error" status with the agent running on, or the end of the process.
void run_update(UpdateRecord record) {
    log_write(LOG_INFO, "update: downloading v%s from %s", record.version.c_str(), record.url.c_str());
    send_status("downloading", "version", record.version);

    // A folder of its own, made afresh: nothing another user or program put in the temporary
    // folder can stand in for the installer or the script.
    std::string temp = sys_temp_dir();
    std::string reason;
    std::string folder = fs_make_private_dir(temp, "zelvo-update-", &reason);
    if (folder.empty()) {
        log_write(LOG_ERROR, "update: cannot create a folder in %s: %s", temp.c_str(), reason.c_str());
        log_write(LOG_ERROR, "update: download failed");
        send_error("Download failed");
        g_busy = false;
        return;
    }
    std::string name = installer_name_in(folder, record.filename);
    std::string installer = fs_join(folder, name);

    if (!update_download(record.url, installer)) {
        log_write(LOG_ERROR, "update: download failed");
        fs_remove_dir(folder);
        send_error("Download failed");
        g_busy = false;
        return;
    }
    int64_t size = fs_file_size(installer);
    if (size < UPDATE_MIN_INSTALLER_BYTES) {
        log_write(LOG_ERROR, "update: downloaded file too small");
        fs_delete(installer);
        fs_remove_dir(folder);
        send_error("Downloaded file too small");
        g_busy = false;
        return;
    }
    log_write(LOG_INFO, "update: downloaded %llu bytes, installing...", static_cast<unsigned long long>(size));
    send_status("restarting", "version", record.version);

    // From here on the process ends whatever fails: the server has been told it restarts.
    sys_sleep_ms(kPauseAroundCloseMs);
    if (void (*close_link)() = g_close_link.load()) close_link();
    sys_sleep_ms(kPauseAroundCloseMs);

    ScriptKind kind = proc_script_kind();
    std::string script = fs_join(folder, kind == ScriptKind::batch ? "_zelvo_update.bat" : "_zelvo_update.sh");
    if (!fs_make_executable(installer)) {
        log_write(LOG_ERROR, "update: cannot make %s executable: %s", installer.c_str(),
                  sys_error_text(sys_last_error()).c_str());
    }
    if (!fs_write_script(script, update_script_text(kind, proc_id(), folder, name), &reason)) {
        log_write(LOG_ERROR, "update: cannot write %s: %s", script.c_str(), reason.c_str());
    }
    if (!proc_run_script_detached(script)) log_write(LOG_ERROR, "update: cannot start %s", script.c_str());
    proc_exit_now(0);
}

}  // namespace

UpdateVerdict update_check_request(const cJSON* d, const std::string& base_url, const std::string& running_version,
                                   UpdateRecord* record) {
    const char* version = json_string(d, "version");
    const char* url = json_string(d, "download_url");
    const char* filename = json_string(d, "filename");
    bool force = json_bool(d, "force", false);

    if (!url || !*url) return UpdateVerdict::no_url;
    if (!update_url_trusted(url, base_url)) return UpdateVerdict::untrusted;
    if (!force && version && !update_version_newer(version, running_version)) return UpdateVerdict::up_to_date;

    record->version = utf8_cut(version ? version : "", kMaxVersion);
    record->url = utf8_cut(url, kMaxUrl);
    record->filename = filename ? utf8_cut(filename, kMaxFileName) : UPDATE_DEFAULT_INSTALLER;
    return UpdateVerdict::start;
}

bool update_version_newer(const std::string& offered, const std::string& running) {
    std::array<int, 4> a = parse_version(offered);
    std::array<int, 4> b = parse_version(running);
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) return a[i] > b[i];
    }
    return false;
}

bool update_url_trusted(const std::string& url, const std::string& base_url) {
    for (char c : url) {
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
    }
    std::string scheme, host;
    if (!split_authority(url, &scheme, &host) || (scheme != "http" && scheme != "https")) return false;
    if (private_ipv4_literal(host)) return true;
    std::string base_scheme, base_host;
    if (!split_authority(base_url, &base_scheme, &base_host) || lower(host) != lower(base_host)) return false;
    // An installer is run with full rights: over plain http anyone on the way could swap it.
    return scheme == "https" || base_scheme == "http";
}

std::string update_installer_name(const std::string& filename) {
    size_t separator = filename.find_last_of("/\\");
    std::string name = separator == std::string::npos ? filename : filename.substr(separator + 1);
    // Only dots would name the folder itself or its parent; ":" a drive or a stream; the others
    // are not allowed in Windows names or would be read specially by the script ("%", "\"").
    if (name.find_first_not_of('.') == std::string::npos || device_name(name)) return UPDATE_DEFAULT_INSTALLER;
    for (char c : name) {
        if (static_cast<unsigned char>(c) < ' ' || c == 0x7f || std::strchr(":\"%<>|?*", c)) {
            return UPDATE_DEFAULT_INSTALLER;
        }
    }
    return name;
}

std::string update_script_text(ScriptKind kind, uint32_t pid, const std::string& folder,
                               const std::string& installer_name) {
    unsigned long id = pid;
    if (kind == ScriptKind::batch) {
        // The folder is named through the script's own path (%~dp0, which ends in a backslash),
        // never spelled out: cmd.exe takes that path from its Unicode command line, whereas the
        // script's bytes are read in the OEM code page, where a profile folder such as
        // C:\Users\Jürgen or one with characters outside that page would come out wrong.
        const char* name = installer_name.c_str();
        return "@echo off\n" + format("echo Waiting for Zelvo (PID %lu) to exit...\n", id) + ":waitloop\n" +
               format("tasklist /FI \"PID eq %lu\" 2>NUL | find /I \"%lu\" >NUL\n", id, id) +
               "if not errorlevel 1 (\n"
               "    timeout /t 1 /nobreak >nul\n"
               "    goto waitloop\n"
               ")\n"
               "echo Running installer...\n" +
               format("\"%%~dp0%s\" /VERYSILENT /NORESTART /SUPPRESSMSGBOXES /SP-\n", name) +
               format("del \"%%~dp0%s\" 2>nul\n", name) +
               // One line: both commands are read before the first deletes the script.
               "del \"%~f0\" & rmdir \"%~dp0.\"\n";
    }
    std::string quoted = sh_quote(fs_join(folder, installer_name));
    return "#!/bin/sh\n" + format("echo \"Waiting for Zelvo (PID %lu) to exit...\"\n", id) +
           format("while kill -0 %lu 2>/dev/null; do\n", id) +
           "    sleep 1\n"
           "done\n"
           "echo \"Running installer...\"\n" +
           quoted + " /VERYSILENT /NORESTART /SUPPRESSMSGBOXES /SP-\n" + "rm -f " + quoted + "\n" +
           "rm -f \"$0\"\n" + "rmdir " + sh_quote(folder) + "\n";
}

bool update_download(const std::string& url, const std::string& path) {
    HttpRequest request;
    request.url = url;
    request.user_agent = ZELVO_USER_AGENT;
    request.resolve_timeout_ms = 30000;
    request.connect_timeout_ms = 30000;
    request.send_timeout_ms = 120000;
    request.receive_timeout_ms = 120000;

    FILE* file = nullptr;
    int refused_status = 0;
    bool write_failed = false;
    std::string file_error;  // the system's reason when the file could not be created or written
    request.on_response = [&](int status, int64_t) {
        if (status >= 400) {  // an error page is no installer, however large
            refused_status = status;
            return false;
        }
        file = fs_fopen(path, "wb");
        if (!file) file_error = sys_error_text(sys_last_error());
        return file != nullptr;
    };
    request.on_body = [&](const void* data, size_t length) {
        write_failed = std::fwrite(data, 1, length, file) != length;
        if (write_failed) file_error = sys_error_text(sys_last_error());
        return !write_failed;
    };
    HttpResponse response = http_request(request);

    bool created = file != nullptr;
    if (file && std::fclose(file) != 0 && !write_failed) {
        write_failed = true;
        file_error = sys_error_text(sys_last_error());
    }
    if (response.ok && !write_failed) return true;

    if (refused_status) log_write(LOG_ERROR, "update: server answered HTTP %d", refused_status);
    else if (write_failed) log_write(LOG_ERROR, "update: cannot write %s: %s", path.c_str(), file_error.c_str());
    else if (response.aborted && !created) {
        log_write(LOG_ERROR, "update: cannot create %s: %s", path.c_str(), file_error.c_str());
    }
    else log_write(LOG_ERROR, "update: %s", response.error.c_str());
    if (created) fs_delete(path);
    return false;
}

void update_request(const cJSON* d) {
    UpdateRecord record;
    switch (update_check_request(d, config_server_url(), ZELVO_VERSION, &record)) {
        case UpdateVerdict::no_url:
            send_error("No download URL provided");
            return;
        case UpdateVerdict::untrusted:
            log_write(LOG_ERROR, "update: URL rejected: %s", json_string(d, "download_url"));
            send_error("Update URL not from trusted server");
            return;
        case UpdateVerdict::up_to_date:
            send_status("up_to_date", "version", ZELVO_VERSION);
            log_write(LOG_INFO, "update: skipping (latest=%s <= current=%s)", json_string(d, "version"), ZELVO_VERSION);
            return;
        case UpdateVerdict::start:
            break;
    }
    if (g_busy.exchange(true)) {
        log_write(LOG_WARN, "update: an update is already in progress, request refused");
        send_error("Update already in progress");
        return;
    }
    std::string error;
    if (!thread_start_detached([record = std::move(record)] { run_update(record); }, &error)) {
        g_busy = false;
        log_write(LOG_ERROR, "update: cannot start the update thread: %s", error.c_str());
        send_error("Update could not be started");
    }
}

void update_register() { proto_on("do_update", update_request); }

void update_set_close_hook(void (*close_link)()) { g_close_link = close_link; }
