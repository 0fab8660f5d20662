// The downloads area: files of data_dir/download/ served under /download/, with faults to order:
// another status, or a body cut short.

#include "server/downloads.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "server/server.h"

namespace {

std::string decode_path(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned value = 0;
        if (text[i] == '%' && i + 2 < text.size() &&
            std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16).ptr == text.data() + i + 3) {
            out += static_cast<char>(value);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

void get_download(Server& server, const HttpRequest& request, Reply reply) {
    constexpr std::string_view prefix = "/download/";
    const std::string name = decode_path(request.path.substr(prefix.size()));
    // Only the folder's own files: no way up or sideways, nothing hidden.
    if (name.empty() || name.front() == '.' || name.find_first_of(std::string("/\\\0", 3)) != std::string::npos ||
        name.find("..") != std::string::npos) {
        return reply(json_error(404, "not found"));
    }
    const auto status = query_int(request, "status", 200);
    if (!status || *status < 200 || *status > 599) return reply(invalid("status"));
    const auto truncate = query_int(request, "truncate", -1);
    if (!truncate || *truncate < -1) return reply(invalid("truncate"));

    const auto path = std::filesystem::path(server.state().data_dir) / "download" / name;
    std::error_code ec;
    std::ifstream file(path, std::ios::binary);
    if (!std::filesystem::is_regular_file(path, ec) || !file) return reply(json_error(404, "not found"));
    std::ostringstream content;
    content << file.rdbuf();
    HttpResponse response;
    response.status = static_cast<unsigned>(*status);
    response.content_type = "application/octet-stream";
    response.body = std::move(content).str();
    if (*truncate >= 0) response.cut_after = static_cast<size_t>(*truncate);
    reply(std::move(response));
}

}  // namespace

std::vector<Route> download_routes() { return {{"GET", "/download/*", get_download}}; }
