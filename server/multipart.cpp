// multipart/form-data bodies, parsed in place.

#include "server/multipart.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "server/http.h"

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view trim(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

constexpr size_t MAX_PART_HEADERS = 8192;
constexpr size_t MAX_FORM_FIELDS = 64;

// The parameters after a header's first value ("; name=value; name2=\"quoted\""), names in lower
// case; nothing when they do not parse.
std::optional<std::map<std::string, std::string>> header_params(std::string_view text) {
    std::map<std::string, std::string> params;
    size_t i = 0;
    while (true) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == ';')) ++i;
        if (i >= text.size()) return params;
        const size_t equals = text.find('=', i);
        if (equals == std::string_view::npos) return std::nullopt;
        const std::string name = lower(trim(text.substr(i, equals - i)));
        if (name.empty() || name.find_first_of(" \t;\"") != std::string::npos) return std::nullopt;
        i = equals + 1;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        std::string value;
        if (i < text.size() && text[i] == '"') {
            for (++i;; ++i) {
                if (i >= text.size()) return std::nullopt;
                if (text[i] == '"') break;
                if (text[i] == '\\' && i + 1 < text.size()) ++i;
                value += text[i];
            }
            ++i;
            while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
            if (i < text.size() && text[i] != ';') return std::nullopt;
        } else {
            const size_t end = std::min(text.find(';', i), text.size());
            value = trim(text.substr(i, end - i));
            i = end;
        }
        if (!params.emplace(name, std::move(value)).second) return std::nullopt;
    }
}

// The field name from one part's header lines; empty text on success, else what is wrong.
std::string read_part_headers(std::string_view headers, std::string& name) {
    bool disposition = false;
    while (!headers.empty()) {
        const size_t end = std::min(headers.find("\r\n"), headers.size());
        const std::string_view line = headers.substr(0, end);
        headers.remove_prefix(std::min(end + 2, headers.size()));
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return "malformed part header";
        if (lower(line.substr(0, colon)) != "content-disposition") continue;
        const std::string_view value = line.substr(colon + 1);
        const size_t semicolon = value.find(';');
        if (lower(trim(value.substr(0, semicolon))) != "form-data" || semicolon == std::string_view::npos) {
            return "part is not form-data";
        }
        const auto params = header_params(value.substr(semicolon + 1));
        if (!params || !params->contains("name") || disposition) return "malformed Content-Disposition";
        name = params->at("name");
        disposition = true;
    }
    return disposition ? "" : "part without Content-Disposition";
}

}  // namespace

std::optional<std::string> form_boundary(std::string_view content_type) {
    const size_t semicolon = content_type.find(';');
    if (lower(trim(content_type.substr(0, semicolon))) != "multipart/form-data") return std::nullopt;
    if (semicolon == std::string_view::npos) return std::nullopt;
    const auto params = header_params(content_type.substr(semicolon + 1));
    if (!params) return std::nullopt;
    const auto found = params->find("boundary");
    if (found == params->end()) return std::nullopt;
    const std::string& boundary = found->second;
    static constexpr std::string_view allowed = "'()+_,-./:=? ";
    const bool valid = !boundary.empty() && boundary.size() <= 70 && boundary.back() != ' ' &&
                       std::all_of(boundary.begin(), boundary.end(), [](char c) {
                           return std::isalnum(static_cast<unsigned char>(c)) ||
                                  allowed.find(c) != std::string_view::npos;
                       });
    if (!valid) return std::nullopt;
    return boundary;
}

// A boundary inside a field's bytes can only be seen after CR LF, as the format intends, so binary
// content needs no escaping.
std::string parse_form_data(std::string_view body, const std::string& boundary, std::vector<FormField>& fields) {
    const std::string delimiter = "--" + boundary;
    const std::string separator = "\r\n" + delimiter;
    size_t pos = 0;
    if (body.starts_with(delimiter)) {
        pos = delimiter.size();
    } else {
        // Anything before the first boundary line is a preamble, to be ignored.
        const size_t first = body.find(separator);
        if (first == std::string_view::npos) return "no boundary line in the body";
        pos = first + separator.size();
    }
    while (true) {
        if (body.substr(pos, 2) == "--") return "";  // the closing line; what follows is ignored
        while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t')) ++pos;
        if (body.substr(pos, 2) != "\r\n") return "malformed boundary line";
        pos += 2;
        size_t headers_end = pos;
        if (body.substr(pos, 2) != "\r\n") {
            headers_end = body.substr(pos, MAX_PART_HEADERS).find("\r\n\r\n");
            if (headers_end == std::string_view::npos) return "malformed part headers";
            headers_end += pos + 2;
        }
        FormField field;
        if (std::string error = read_part_headers(body.substr(pos, headers_end - pos), field.name); !error.empty()) {
            return error;
        }
        const size_t content = headers_end + 2;
        const size_t next = body.find(separator, content);
        if (next == std::string_view::npos) return "field \"" + json_safe(field.name) + "\" has no closing boundary";
        field.value = body.substr(content, next - content);
        if (std::any_of(fields.begin(), fields.end(), [&](const FormField& f) { return f.name == field.name; })) {
            return "field \"" + json_safe(field.name) + "\" given twice";
        }
        if (fields.size() == MAX_FORM_FIELDS) return "too many fields";
        fields.push_back(std::move(field));
        pos = next + separator.size();
    }
}

const FormField* find_field(const std::vector<FormField>& fields, std::string_view name) {
    for (const auto& field : fields) {
        if (field.name == name) return &field;
    }
    return nullptr;
}

