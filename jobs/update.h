// Self-update: trust and version checks on an update request, the installer download into the
// temporary folder, and the hand-over to a script that runs the installer once this process has
// ended.
#pragma once

#include <cstdint>
#include <string>

#include "core/json.h"
#include "platform/process.h"

// Binds "do_update" to update_request.
void update_register();

// How the update closes the server connection before it hands over to the installer.
void update_set_close_hook(void (*close_link)());

// Handles {"version", "download_url", "filename", "force"}: answers "update_status" at once, or
// starts the update thread and returns. Also called by the log-in with a version announcement.
void update_request(const cJSON* d);

// The pieces below hold no state; they are declared here for the tests.

constexpr const char* UPDATE_DEFAULT_INSTALLER = "Zelvo_Setup.exe";
constexpr int64_t UPDATE_MIN_INSTALLER_BYTES = 1000000;

// What the update thread is given; it owns it.
struct UpdateRecord {
    std::string version;   // at most 31 bytes; empty when the request had none
    std::string url;       // at most 511 bytes
    std::string filename;  // at most 127 bytes; UPDATE_DEFAULT_INSTALLER when the request had none
};

enum class UpdateVerdict {
    start,       // `record` is filled: download and install
    no_url,      // "download_url" missing or empty
    untrusted,   // the URL failed the trust check
    up_to_date,  // the offered version is not newer and the request did not force it
};

// Decides what to do with a request, given the server base URL in force and the running version.
UpdateVerdict update_check_request(const cJSON* d, const std::string& base_url, const std::string& running_version,
                                   UpdateRecord* record);

// Both texts read as four numbers like "%d.%d.%d.%d" (numbers not read are 0); true when the
// first pair that differs has the offered number greater.
bool update_version_newer(const std::string& offered, const std::string& running);

// An installer URL is trusted when it is http(s) and its host is the host of `base_url` (letter
// case and port aside) or a private IPv4 literal (10/8, 127/8, 172.16/12, 192.168/16). Plain http
// only for those literals, or when `base_url` itself is http.
bool update_url_trusted(const std::string& url, const std::string& base_url);

// The last component of `filename` by "/" or "\"; UPDATE_DEFAULT_INSTALLER when that is empty,
// made of dots only, a device name (NUL, CON, COM1... with any extension, in any letter case), or
// holds a character that a path or the script would read specially.
std::string update_installer_name(const std::string& filename);

// The script that waits for process `pid` to end, runs the installer `installer_name` of the
// private `folder` silently, and deletes the installer, itself and the folder: a batch file, which
// must lie in `folder` (it finds the installer beside itself), or a POSIX sh script; lines ended
// by "\n".
std::string update_script_text(ScriptKind kind, uint32_t pid, const std::string& folder,
                               const std::string& installer_name);

// One GET of `url` into the file `path`. False on any failure, on a status of 400 or above and on
// a body shorter than its Content-Length; a partial file is removed.
bool update_download(const std::string& url, const std::string& path);
