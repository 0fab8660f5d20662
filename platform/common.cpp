// Pieces of the platform layer that are the same on every system.
#include <cctype>
#include <cstdio>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/http.h"

std::string fs_join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    char last = dir.back();
    if (last == fs_separator() || last == '/') return dir + name;
    return dir + fs_separator() + name;
}

std::string sys_call_error(const char* call, unsigned long code) {
    return std::string(call) + " failed: " + sys_error_text(code);
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
