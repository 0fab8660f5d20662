// Pieces of the platform layer that are the same on every system.
#include <cctype>
#include <cstdio>

#include "core/version.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/http.h"
#include "platform/tray.h"

std::string fs_join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    char last = dir.back();
    if (last == fs_separator() || last == '/') return dir + name;
    return dir + fs_separator() + name;
}

std::string sys_call_error(const char* call, unsigned long code) {
    return std::string(call) + " failed: " + sys_error_text(code);
}

std::vector<TrayMenuItem> tray_menu_items(bool linked, const std::string& status) {
    std::vector<TrayMenuItem> items;
    items.push_back({TrayMenuItem::label, "Zelvo v" ZELVO_VERSION, 0});
    items.push_back({TrayMenuItem::label, status, 0});
    items.push_back({TrayMenuItem::separator, "", 0});
    if (linked) {
        items.push_back({TrayMenuItem::command, "Open Dashboard", TRAY_ID_FIRST + TRAY_DASHBOARD});
        items.push_back({TrayMenuItem::separator, "", 0});
        items.push_back({TrayMenuItem::command, "Disconnect", TRAY_ID_FIRST + TRAY_DISCONNECT});
    } else {
        items.push_back({TrayMenuItem::command, "Login with Browser", TRAY_ID_FIRST + TRAY_LOGIN});
    }
    items.push_back({TrayMenuItem::separator, "", 0});
    items.push_back({TrayMenuItem::command, "Exit", TRAY_ID_FIRST + TRAY_EXIT});
    return items;
}

std::string tray_fit_text(const std::string& text, size_t units) {
    if (units == 0) return {};
    size_t budget = units - 1;  // room for the terminator
    size_t used = 0;
    size_t i = 0;
    while (i < text.size()) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 1;
        size_t cost = length == 4 ? 2 : 1;  // characters beyond the BMP take a surrogate pair
        if (i + length > text.size() || used + cost > budget) break;
        used += cost;
        i += length;
    }
    return text.substr(0, i);
}

void http_finish(const HttpRequest& request, bool truncated, HttpResponse* response) {
    // HEAD answers, 1xx, 204 and 304 carry no body whatever their Content-Length says.
    std::string method = request.method;
    for (char& c : method) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    bool expects_body = method != "head" && response->status >= 200 && response->status != 204 && response->status != 304;
    if (!truncated && expects_body && response->content_length >= 0 &&
        response->received < static_cast<uint64_t>(response->content_length)) {
        response->error = "body ended after " + std::to_string(response->received) + " of " +
                          std::to_string(response->content_length) + " bytes";
        response->failed_step = HttpStep::read;
        response->os_error = 12030;  // ERROR_WINHTTP_CONNECTION_ERROR: the connection ended early
        return;
    }
    response->ok = true;
}
