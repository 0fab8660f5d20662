// multipart/form-data bodies, read as they arrive.

#include "server/multipart.h"

#include <algorithm>
#include <cctype>
#include <cstring>
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

FormReader::FormReader(const std::string& boundary, std::string streamed, Sink sink)
    : delimiter_("--" + boundary),
      separator_("\r\n--" + boundary),
      streamed_name_(std::move(streamed)),
      sink_(std::move(sink)) {}

void FormReader::feed(std::string_view in) {
    while (!in.empty() && stage_ != Stage::done && error_.empty()) {
        switch (stage_) {
        case Stage::start: {
            // The body may begin with the delimiter itself; anything else before the first
            // separator is a preamble, to be ignored.
            const size_t n = std::min(in.size(), delimiter_.size() - held_.size());
            held_.append(in.substr(0, n));
            in.remove_prefix(n);
            if (held_.size() < delimiter_.size()) break;
            if (held_ == delimiter_) {
                held_.clear();
                stage_ = Stage::after_delimiter;
            } else {
                stage_ = Stage::preamble;  // what is held is searched like the rest
            }
            break;
        }
        case Stage::preamble:
            if (scan(in)) stage_ = Stage::after_delimiter;
            break;
        case Stage::after_delimiter: {
            // "--" closes the form; otherwise optional padding, then CR LF.
            held_ += in.front();
            in.remove_prefix(1);
            if (held_ == "--") {
                held_.clear();
                stage_ = Stage::done;
                break;
            }
            const std::string_view rest = std::string_view(held_).substr(std::min(held_.find_first_not_of(" \t"), held_.size()));
            if (held_ == "-" || rest.empty() || rest == "\r") break;
            if (rest != "\r\n") {
                error_ = "malformed boundary line";
                break;
            }
            // The CR LF that ended the line stays in front, so an empty header block is found too.
            held_ = "\r\n";
            stage_ = Stage::headers;
            break;
        }
        case Stage::headers: {
            const size_t limit = MAX_PART_HEADERS + 2;
            const size_t from = held_.size() >= 3 ? held_.size() - 3 : 0;
            const size_t n = std::min(in.size(), limit - held_.size());
            held_.append(in.substr(0, n));
            const size_t end = held_.find("\r\n\r\n", from);
            if (end == std::string::npos) {
                in.remove_prefix(n);
                if (held_.size() >= limit) error_ = "malformed part headers";
                break;
            }
            // What follows the blank line is the field's content.
            in.remove_prefix(n - (held_.size() - (end + 4)));
            const std::string headers = held_.substr(2, end);
            held_.clear();
            on_headers(headers);
            break;
        }
        case Stage::content:
            if (scan(in)) {
                end_field();
                stage_ = Stage::after_delimiter;
            }
            break;
        case Stage::done:
            break;
        }
    }
}

void FormReader::on_headers(std::string_view headers) {
    field_ = {};
    if (std::string error = read_part_headers(headers, field_.name); !error.empty()) {
        error_ = std::move(error);
        return;
    }
    streaming_ = !streamed_name_.empty() && field_.name == streamed_name_ && !streamed_once_;
    if (streaming_) {
        streamed_once_ = true;
        field_.streamed = true;
        sink_({});
    }
    stage_ = Stage::content;
}

void FormReader::end_field() {
    streaming_ = false;
    if (std::any_of(fields_.begin(), fields_.end(), [&](const FormField& f) { return f.name == field_.name; })) {
        error_ = "field \"" + json_safe(field_.name) + "\" given twice";
        return;
    }
    if (fields_.size() == MAX_FORM_FIELDS) {
        error_ = "too many fields";
        return;
    }
    fields_.push_back(std::move(field_));
    field_ = {};
}

void FormReader::take(std::string_view bytes) {
    if (stage_ != Stage::content || bytes.empty()) return;
    field_.size += bytes.size();
    if (streaming_) {
        sink_(bytes);
    } else {
        field_.value.append(bytes);
    }
}

// A boundary inside a field's bytes can only be seen after CR LF, as the format intends, so binary
// content needs no escaping. A separator may be split between two pieces: the last bytes of a
// piece that could begin one are held until the next piece settles it.
bool FormReader::scan(std::string_view& in) {
    const size_t size = separator_.size();
    const auto find = [this](std::string_view text) {
        const void* at = memmem(text.data(), text.size(), separator_.data(), separator_.size());
        return at ? static_cast<size_t>(static_cast<const char*>(at) - text.data()) : std::string::npos;
    };
    if (!held_.empty()) {
        const size_t old = held_.size();  // below `size`
        const size_t moved = std::min(in.size(), size);
        held_.append(in.substr(0, moved));
        if (const size_t at = find(held_); at != std::string::npos) {
            take(std::string_view(held_).substr(0, at));
            in.remove_prefix(at + size - old);
            held_.clear();
            return true;
        }
        if (moved < size) {
            // `in` is used up; what may still begin the separator stays held.
            in.remove_prefix(moved);
            const size_t keep = std::min(held_.size(), size - 1);
            take(std::string_view(held_).substr(0, held_.size() - keep));
            held_.erase(0, held_.size() - keep);
            return false;
        }
        // A separator beginning in the held bytes would have ended among the moved ones: they are
        // content, and the moved bytes are read again below.
        take(std::string_view(held_).substr(0, old));
        held_.clear();
    }
    if (const size_t at = find(in); at != std::string::npos) {
        take(in.substr(0, at));
        in.remove_prefix(at + size);
        return true;
    }
    const size_t keep = std::min(in.size(), size - 1);
    take(in.substr(0, in.size() - keep));
    held_.assign(in.substr(in.size() - keep));
    in = {};
    return false;
}

std::string FormReader::finish() {
    if (!error_.empty()) return error_;
    switch (stage_) {
    case Stage::done: return "";
    case Stage::start:
    case Stage::preamble: return "no boundary line in the body";
    case Stage::after_delimiter: return "malformed boundary line";
    case Stage::headers: return "malformed part headers";
    case Stage::content: return "field \"" + json_safe(field_.name) + "\" has no closing boundary";
    }
    return "";
}

std::string parse_form_data(std::string_view body, const std::string& boundary, std::vector<FormField>& fields) {
    FormReader reader(boundary);
    reader.feed(body);
    std::string error = reader.finish();
    fields = reader.fields();
    return error;
}

const FormField* find_field(const std::vector<FormField>& fields, std::string_view name) {
    for (const auto& field : fields) {
        if (field.name == name) return &field;
    }
    return nullptr;
}
