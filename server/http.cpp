// HTTP as every area sees it: JSON answers, argument readers, and the log line writer.

#include "server/http.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace {

constexpr int64_t DEFAULT_WAIT_MS = 10000;

}  // namespace

// cJSON stops at NUL and copies other bytes as they are, so anything that is not UTF-8 (binary
// payloads) would make the output unreadable JSON. Bad bytes and NUL become U+FFFD.
std::string json_safe(const std::string& in) {
    static const char replacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        const auto c = static_cast<unsigned char>(in[i]);
        size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        bool ok = c != 0 && length != 0 && i + length <= in.size();
        uint32_t point = length == 1 ? c : length == 2 ? (c & 0x1Fu) : length == 3 ? (c & 0x0Fu) : (c & 0x07u);
        for (size_t k = 1; ok && k < length; ++k) {
            const auto next = static_cast<unsigned char>(in[i + k]);
            ok = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3Fu);
        }
        if (ok && length == 2) ok = point >= 0x80;
        if (ok && length == 3) ok = point >= 0x800 && (point < 0xD800 || point > 0xDFFF);
        if (ok && length == 4) ok = point >= 0x10000 && point <= 0x10FFFF;
        if (ok) {
            out.append(in, i, length);
            i += length;
        } else {
            out += replacement;
            ++i;
        }
    }
    return out;
}

void print_line(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

HttpResponse json_response(unsigned status, const cJSON* body) {
    HttpResponse response;
    response.status = status;
    response.body = json_print(body);
    return response;
}

HttpResponse json_error(unsigned status, const std::string& message) {
    JsonPtr body(cJSON_CreateObject());
    cJSON_AddStringToObject(body.get(), "error", message.c_str());
    return json_response(status, body.get());
}

HttpResponse json_ok() {
    HttpResponse response;
    response.body = "{\"ok\":true}";
    return response;
}

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string decode_form(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
                   hex_digit(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

std::map<std::string, std::string> parse_form(const std::string& text) {
    std::map<std::string, std::string> form;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('&', start);
        if (end == std::string::npos) end = text.size();
        const std::string pair = text.substr(start, end - start);
        if (!pair.empty()) {
            const size_t equals = pair.find('=');
            if (equals == std::string::npos) {
                form[decode_form(pair)] = "";
            } else {
                form[decode_form(pair.substr(0, equals))] = decode_form(pair.substr(equals + 1));
            }
        }
        start = end + 1;
    }
    return form;
}

HttpResponse invalid(const std::string& name) { return json_error(400, "invalid " + name); }

// An empty body stands for {}, so POSTs without arguments need none. Trailing text after the
// value is refused, unlike plain cJSON_Parse.
JsonPtr parse_body(const HttpRequest& request) {
    if (request.body.find_first_not_of(" \t\r\n") == std::string::npos) return JsonPtr(cJSON_CreateObject());
    const char* end = nullptr;
    JsonPtr body(cJSON_ParseWithLengthOpts(request.body.data(), request.body.size(), &end, false));
    const size_t used = body ? static_cast<size_t>(end - request.body.data()) : 0;
    if (body && request.body.find_first_not_of(" \t\r\n", used) != std::string::npos) return nullptr;
    return body;
}

std::optional<int64_t> body_int(const cJSON* body, const char* name, int64_t fallback) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(body, name);
    if (!item) return fallback;
    if (!cJSON_IsNumber(item) || std::trunc(item->valuedouble) != item->valuedouble ||
        std::fabs(item->valuedouble) > 9007199254740992.0) {
        return std::nullopt;
    }
    return static_cast<int64_t>(item->valuedouble);
}

std::optional<int64_t> query_int(const HttpRequest& request, const char* name, int64_t fallback) {
    const auto found = request.query.find(name);
    if (found == request.query.end()) return fallback;
    const std::string& text = found->second;
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::optional<std::chrono::milliseconds> query_timeout(const HttpRequest& request) {
    const auto timeout = query_int(request, "timeout_ms", DEFAULT_WAIT_MS);
    if (!timeout || *timeout < 0) return std::nullopt;
    return std::chrono::milliseconds(std::min(*timeout, MAX_WAIT_MS));
}

