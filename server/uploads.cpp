// The upload side: chunks of disk image parts posted to /upload_chunk, the resume query
// /upload_chunk_status, and what the server makes of the chunks. Sections:
//   names and numbers   what a field may hold
//   form bodies         multipart/form-data, parsed in place
//   files               whole writes, streamed copies
//   ZVIMG               checking and decoding a part
//   worker              the thread that does the slow file work
//   parts and images    storing chunks, reassembly, the whole image (io thread)
//   routes              /upload_chunk and /upload_chunk_status
//   recovery            what a restarted server finds in its data folder
//
// Under data_dir/uploads/<batch>/: partNNN/chunkNNNN while a part is incomplete, the part files
// as the agent named them, partNNN.raw for decoded parts, image.img, .meta/ holding batch.json and
// partNNN.json, and .discard/ while files no longer wanted wait to be deleted. A part file may not
// take any of these names.

#include <boost/asio/post.hpp>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>
#include <variant>

#include "server/server.h"

namespace fs = std::filesystem;

namespace {

// ---- names and numbers ----

constexpr size_t MAX_NAME = 127;
constexpr size_t MAX_TEXT_FIELD = 1024;
constexpr int64_t MAX_PART_NUMBER = 2147483647;
// 256 GiB in 4 MiB chunks: far beyond any part the agent makes, small enough to list.
constexpr int64_t MAX_CHUNKS = 65536;
constexpr const char* ZVIMG = "zvimg";
// uploads/raw/ holds recorded request bodies, so no batch may take that name.
constexpr const char* RAW_FOLDER = "raw";
constexpr const char* META_FOLDER = ".meta";
// Chunk folders and files that are no longer wanted are moved here at once and deleted later.
constexpr const char* DISCARD_FOLDER = ".discard";
constexpr const char* IMAGE_FILE = "image.img";

// A single path component of [A-Za-z0-9._-], so it never leaves its folder: no separators, no
// control bytes, and neither "." nor "..". Dots elsewhere are harmless without separators.
bool safe_component(std::string_view name) {
    if (name.empty() || name.size() > MAX_NAME || name == "." || name == "..") return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

// Batch folders sit beside uploads/raw/ and are never hidden.
bool valid_batch_id(std::string_view id) { return safe_component(id) && id.front() != '.' && id != RAW_FOLDER; }

// Decimal digits only: no sign, no spaces.
template <class Int>
std::optional<Int> parse_decimal(std::string_view text) {
    Int value = 0;
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// "part007", "chunk0012": zero-padded, wider when the number needs it.
std::string numbered(std::string_view prefix, int64_t number, size_t width) {
    std::string digits = std::to_string(number);
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    return std::string(prefix) + digits;
}

std::string part_folder_name(int64_t part) { return numbered("part", part, 3); }
std::string chunk_file_name(int64_t chunk) { return numbered("chunk", chunk, 4); }
std::string raw_file_name(int64_t part) { return part_folder_name(part) + ".raw"; }

// "part" followed by digits only, then `suffix`: the shape of the server's own part folders and
// decoded files.
bool numbered_part_name(std::string_view name, std::string_view suffix) {
    if (!name.starts_with("part") || !name.ends_with(suffix) || name.size() <= 4 + suffix.size()) return false;
    const std::string_view digits = name.substr(4, name.size() - 4 - suffix.size());
    return std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The server's own names in a batch folder. A part file may take any other safe name: the agent
// makes "<disk name>.partNNN.<ext>", and a disk name may begin with a dot or be "part7".
bool reserved_name(std::string_view name) {
    return name == IMAGE_FILE || name == META_FOLDER || name == DISCARD_FOLDER || numbered_part_name(name, "") ||
           numbered_part_name(name, ".raw");
}

bool valid_part_filename(std::string_view name) { return safe_component(name) && !reserved_name(name); }

fs::path uploads_dir(const ServerState& state) { return fs::path(state.data_dir) / "uploads"; }
fs::path batch_dir(const ServerState& state, const std::string& batch) { return uploads_dir(state) / batch; }

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

// ---- form bodies ----

constexpr size_t MAX_PART_HEADERS = 8192;
constexpr size_t MAX_FORM_FIELDS = 64;

struct FormField {
    std::string name;
    std::string_view value;  // into the request body
};

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

// The boundary of a multipart/form-data content type; nothing for any other type.
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

// Splits a multipart/form-data body into its fields. Empty text on success, else what is wrong.
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

// One chunk as its fields describe it.
struct ChunkUpload {
    std::string batch_id;
    int64_t part_number = 0;
    int64_t total_parts = 0;
    int64_t chunk_index = 0;
    int64_t total_chunks = 0;
    std::string filename;
    std::string disk_name;
    std::string compressed;
    uint64_t original_size = 0;
    std::string existing_disk_id;
    std::string_view data;
};

// Empty text when the fields make a usable chunk, else the reason to refuse it.
std::string read_chunk(const std::vector<FormField>& fields, ChunkUpload& chunk) {
    for (const char* name : {"batch_id", "part_number", "total_parts", "chunk_index", "total_chunks", "filename",
                             "disk_name", "chunk"}) {
        if (!find_field(fields, name)) return std::string("missing field ") + name;
    }
    const auto text = [&](const char* name) { return std::string(find_field(fields, name)->value); };
    struct Number {
        const char* name;
        int64_t* target;
        int64_t low;
        int64_t high;
    };
    chunk.batch_id = text("batch_id");
    if (!valid_batch_id(chunk.batch_id)) return "invalid batch_id";
    for (const Number& number : {Number{"part_number", &chunk.part_number, 0, MAX_PART_NUMBER},
                                 Number{"total_parts", &chunk.total_parts, 0, MAX_PART_NUMBER},
                                 Number{"total_chunks", &chunk.total_chunks, 1, MAX_CHUNKS},
                                 Number{"chunk_index", &chunk.chunk_index, 0, MAX_CHUNKS - 1}}) {
        const auto value = parse_decimal<int64_t>(find_field(fields, number.name)->value);
        if (!value || *value < number.low || *value > number.high) return std::string("invalid ") + number.name;
        *number.target = *value;
    }
    // total_parts names the batch's last part, so no part lies beyond it.
    if (chunk.part_number > chunk.total_parts) return "part_number above total_parts";
    if (chunk.chunk_index >= chunk.total_chunks) return "chunk_index not below total_chunks";
    chunk.filename = text("filename");
    if (!valid_part_filename(chunk.filename)) return "invalid filename";
    chunk.disk_name = text("disk_name");
    if (const FormField* id = find_field(fields, "existing_disk_id")) chunk.existing_disk_id = id->value;
    if (chunk.disk_name.size() > MAX_TEXT_FIELD || chunk.existing_disk_id.size() > MAX_TEXT_FIELD) {
        return "disk_name or existing_disk_id too long";
    }
    const FormField* compressed = find_field(fields, "compressed");
    const FormField* original = find_field(fields, "original_size");
    if (compressed) {
        chunk.compressed = compressed->value;
        if (chunk.compressed != ZVIMG) return "unsupported compression";
        if (!original) return "missing field original_size";
        const auto size = parse_decimal<uint64_t>(original->value);
        if (!size) return "invalid original_size";
        chunk.original_size = *size;
    } else if (original) {
        return "original_size without compressed";
    }
    chunk.data = find_field(fields, "chunk")->value;
    return "";
}

// ---- files ----

constexpr size_t COPY_BUFFER = 4 << 20;

std::string errno_text() { return std::error_code(errno, std::generic_category()).message(); }

class File {
public:
    File() = default;
    File(const fs::path& path, int flags) : fd_(::open(path.c_str(), flags | O_CLOEXEC, 0644)) {}
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    explicit operator bool() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Errors of delayed writes show up here.
    bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

private:
    int fd_ = -1;
};

File open_read(const fs::path& path) { return File(path, O_RDONLY); }
File open_write(const fs::path& path) { return File(path, O_WRONLY | O_CREAT | O_TRUNC); }

bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        data += done;
        size -= static_cast<size_t>(done);
    }
    return true;
}

// Reads up to `size` bytes, fewer only at the end of the file; -1 on failure.
ssize_t read_some(int fd, char* data, size_t size, std::optional<uint64_t> offset = std::nullopt) {
    size_t total = 0;
    while (total < size) {
        const ssize_t done = offset ? ::pread(fd, data + total, size - total, static_cast<off_t>(*offset + total))
                                    : ::read(fd, data + total, size - total);
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) return -1;
        if (done == 0) break;
        total += static_cast<size_t>(done);
    }
    return static_cast<ssize_t>(total);
}

// Written beside its place and renamed there, so the file is seen whole or not at all.
bool write_file(const fs::path& path, std::string_view data) {
    fs::path temp = path;
    temp += ".tmp";
    File file = open_write(temp);
    bool ok = file && write_all(file.fd(), data.data(), data.size());
    ok = (file && file.close()) && ok;
    std::error_code ec;
    if (ok) fs::rename(temp, path, ec);
    if (ok && !ec) return true;
    fs::remove(temp, ec);
    return false;
}

JsonPtr read_json_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return nullptr;
    std::ostringstream text;
    text << in.rdbuf();
    return json_parse(text.str());
}

struct DigestDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Digest = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

// Appends the whole of `from` to `out`, feeding `digest` when there is one. Empty text on success.
std::string append_file(const fs::path& from, int out, std::vector<char>& buffer, EVP_MD_CTX* digest,
                        uint64_t& copied, const std::atomic<bool>& stopping) {
    File in = open_read(from);
    if (!in) return "cannot open " + from.filename().string() + ": " + errno_text();
    while (!stopping) {
        const ssize_t got = read_some(in.fd(), buffer.data(), buffer.size());
        if (got < 0) return "cannot read " + from.filename().string() + ": " + errno_text();
        if (got == 0) return "";
        if (digest && EVP_DigestUpdate(digest, buffer.data(), static_cast<size_t>(got)) != 1) return "SHA-256 failed";
        if (!write_all(out, buffer.data(), static_cast<size_t>(got))) return "cannot write: " + errno_text();
        copied += static_cast<uint64_t>(got);
    }
    return "stopped";
}

// ---- ZVIMG ----

constexpr uint64_t ZVIMG_BLOCK = 1 << 20;
constexpr uint32_t ZVIMG_FORMAT = 0x04000001;
constexpr uint64_t ZVIMG_HEADER = 32;
constexpr uint64_t ZVIMG_ENTRY = 12;
enum : uint8_t { BLOCK_ZERO = 0, BLOCK_RAW = 1, BLOCK_FILL = 3 };

uint32_t le32(const unsigned char* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint64_t le64(const unsigned char* p) { return uint64_t{le32(p)} | uint64_t{le32(p + 4)} << 32; }

// Decodes the ZVIMG part in `in` (`in_size` bytes) into `out`. Every header field and table entry
// is checked before anything is written, so a malformed part is refused without reading or
// writing outside it. Empty text on success, else what is wrong.
std::string decode_zvimg(int in, uint64_t in_size, int out, uint64_t original_size, std::vector<char>& buffer,
                         const std::atomic<bool>& stopping) {
    unsigned char header[ZVIMG_HEADER];
    if (in_size < ZVIMG_HEADER) return "shorter than the 32-byte header";
    if (read_some(in, reinterpret_cast<char*>(header), sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
        return "cannot read the header: " + errno_text();
    }
    if (std::memcmp(header, "ZVIM", 4) != 0) return "bad magic";
    if (le32(header + 4) != ZVIMG_FORMAT) return "bad format word";
    const uint64_t size = le64(header + 8);
    const uint64_t count = le32(header + 16);
    if (size != original_size) {
        return "header size " + std::to_string(size) + " differs from original_size " + std::to_string(original_size);
    }
    if (count != size / ZVIMG_BLOCK + (size % ZVIMG_BLOCK != 0)) return "block count does not match the size";
    if (le32(header + 20) != ZVIMG_HEADER) return "bad table offset";
    const uint64_t data_offset = ZVIMG_HEADER + ZVIMG_ENTRY * count;
    if (le32(header + 24) != data_offset) return "bad data offset";
    if (le32(header + 28) != 0) return "reserved header word not zero";
    if (data_offset > in_size) return "block table runs past the end";

    // Bounded by the file's own size, checked just above.
    std::vector<unsigned char> table(ZVIMG_ENTRY * count);
    if (read_some(in, reinterpret_cast<char*>(table.data()), table.size(), ZVIMG_HEADER) !=
        static_cast<ssize_t>(table.size())) {
        return "cannot read the block table: " + errno_text();
    }
    const uint64_t data_size = in_size - data_offset;
    uint64_t stored = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const unsigned char* entry = table.data() + ZVIMG_ENTRY * i;
        const uint64_t length = std::min(ZVIMG_BLOCK, size - i * ZVIMG_BLOCK);
        const uint64_t position = le32(entry + 4);
        const uint64_t stored_length = le32(entry + 8);
        const std::string where = "block " + std::to_string(i) + ": ";
        if (entry[1] != 0 || entry[2] != 0 || entry[3] != 0) return where + "reserved bytes not zero";
        switch (entry[0]) {
        case BLOCK_ZERO:
            if (position != 0 || stored_length != 0) return where + "zero block with stored data";
            break;
        case BLOCK_RAW:
            if (stored_length != length) return where + "raw block length differs from the block's";
            break;
        case BLOCK_FILL:
            if (stored_length != 1) return where + "fill block length is not 1";
            break;
        default:
            return where + "invalid type " + std::to_string(entry[0]);
        }
        if (position + stored_length > data_size) return where + "data beyond the end of the part";
        stored += stored_length;
    }
    if (stored != data_size) return "data area length differs from the block table's sum";

    for (uint64_t i = 0; i < count; ++i) {
        if (stopping) return "stopped";
        const unsigned char* entry = table.data() + ZVIMG_ENTRY * i;
        const size_t length = static_cast<size_t>(std::min(ZVIMG_BLOCK, size - i * ZVIMG_BLOCK));
        const uint64_t position = data_offset + le32(entry + 4);
        if (entry[0] == BLOCK_RAW) {
            if (read_some(in, buffer.data(), length, position) != static_cast<ssize_t>(length)) {
                return "cannot read block " + std::to_string(i) + ": " + errno_text();
            }
        } else {
            char fill = 0;
            if (entry[0] == BLOCK_FILL && read_some(in, &fill, 1, position) != 1) {
                return "cannot read block " + std::to_string(i) + ": " + errno_text();
            }
            std::memset(buffer.data(), fill, length);
        }
        if (!write_all(out, buffer.data(), length)) return "cannot write the decoded part: " + errno_text();
    }
    return "";
}

// ---- parts and images ----

// What the worker needs to make one part whole; copied, since the worker never sees the state.
struct PartJob {
    std::string batch_id;
    fs::path dir;  // the batch folder
    int64_t part_number = 0;
    std::string filename;
    int64_t total_chunks = 0;
    bool zvimg = false;
    uint64_t original_size = 0;
    uint64_t generation = 0;  // the part's, when the job was posted
};

struct PartResult {
    std::string error;
    uint64_t size = 0;
};

// Concatenates the chunks into the part file, then decodes it when it is ZVIMG.
PartResult assemble_part(const PartJob& job, const std::atomic<bool>& stopping) {
    PartResult result;
    std::vector<char> buffer(COPY_BUFFER);
    const fs::path part_file = job.dir / job.filename;
    const fs::path chunks = job.dir / part_folder_name(job.part_number);
    uint64_t length = 0;
    {
        File out = open_write(part_file);
        if (!out) return {"cannot create " + job.filename + ": " + errno_text()};
        for (int64_t k = 0; k < job.total_chunks; ++k) {
            result.error = append_file(chunks / chunk_file_name(k), out.fd(), buffer, nullptr, length, stopping);
            if (!result.error.empty()) return result;
        }
        if (!out.close()) return {"cannot write " + job.filename + ": " + errno_text()};
    }
    if (!job.zvimg) {
        result.size = length;
        return result;
    }
    const fs::path raw_file = job.dir / raw_file_name(job.part_number);
    File in = open_read(part_file);
    File out = open_write(raw_file);
    if (!in || !out) return {"cannot open " + job.filename + " or its decoded file: " + errno_text()};
    result.error = decode_zvimg(in.fd(), length, out.fd(), job.original_size, buffer, stopping);
    if (result.error.empty() && !out.close()) result.error = "cannot write the decoded part: " + errno_text();
    if (result.error.empty()) {
        result.size = job.original_size;
    } else {
        std::error_code ec;
        fs::remove(raw_file, ec);
    }
    return result;
}

struct ImageResult {
    std::string error;
    uint64_t size = 0;
    std::string sha256 = {};
};

ImageResult build_image(const fs::path& dir, const std::vector<fs::path>& parts, const std::atomic<bool>& stopping) {
    ImageResult result;
    Digest digest(EVP_MD_CTX_new());
    if (!digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1) return {"SHA-256 unavailable"};
    File out = open_write(dir / IMAGE_FILE);
    if (!out) return {"cannot create image.img: " + errno_text()};
    std::vector<char> buffer(COPY_BUFFER);
    for (const auto& part : parts) {
        result.error = append_file(part, out.fd(), buffer, digest.get(), result.size, stopping);
        if (!result.error.empty()) return result;
    }
    if (!out.close()) return {"cannot write image.img: " + errno_text()};
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int hash_size = 0;
    if (EVP_DigestFinal_ex(digest.get(), hash, &hash_size) != 1) return {"SHA-256 failed"};
    static constexpr char hex[] = "0123456789abcdef";
    for (unsigned int i = 0; i < hash_size; ++i) {
        result.sha256 += hex[hash[i] >> 4];
        result.sha256 += hex[hash[i] & 15];
    }
    return result;
}

// The parts an image of the batch spans now: from the lowest part seen to the last one.
std::optional<std::pair<int64_t, int64_t>> image_range(const UploadBatch& batch) {
    if (batch.parts.empty() || batch.total_parts < batch.parts.begin()->first) return std::nullopt;
    return std::pair{batch.parts.begin()->first, batch.total_parts};
}

// Every part of the range is decoded.
bool range_ready(const UploadBatch& batch, std::pair<int64_t, int64_t> range) {
    int64_t complete = 0;
    for (const auto& [number, part] : batch.parts) {
        if (number > range.second) break;
        if (part.state != PartState::complete) return false;
        ++complete;
    }
    return complete == range.second - range.first + 1;
}

bool save_batch(const ServerState& state, const UploadBatch& batch) {
    JsonPtr root(cJSON_CreateObject());
    cJSON_AddStringToObject(root.get(), "batch_id", batch.id.c_str());
    cJSON_AddNumberToObject(root.get(), "total_parts", static_cast<double>(batch.total_parts));
    if (!batch.existing_disk_id.empty()) {
        cJSON_AddStringToObject(root.get(), "existing_disk_id", json_safe(batch.existing_disk_id).c_str());
    }
    if (batch.disk_id != 0) cJSON_AddNumberToObject(root.get(), "disk_id", static_cast<double>(batch.disk_id));
    if (batch.image_state == ImageState::complete) {
        cJSON* image = cJSON_AddObjectToObject(root.get(), "image");
        cJSON_AddNumberToObject(image, "first_part", static_cast<double>(batch.image_range.first));
        cJSON_AddNumberToObject(image, "last_part", static_cast<double>(batch.image_range.second));
        cJSON_AddNumberToObject(image, "size", static_cast<double>(batch.image_size));
        cJSON_AddStringToObject(image, "sha256", batch.image_sha256.c_str());
    }
    const fs::path path = batch_dir(state, batch.id) / META_FOLDER / "batch.json";
    if (write_file(path, json_print(root.get()) + "\n")) return true;
    print_line("upload: cannot write " + path.string());
    return false;
}

bool save_part(const ServerState& state, const std::string& batch, const UploadPart& part) {
    JsonPtr root(cJSON_CreateObject());
    cJSON_AddNumberToObject(root.get(), "part_number", static_cast<double>(part.part_number));
    cJSON_AddStringToObject(root.get(), "filename", part.filename.c_str());
    cJSON_AddNumberToObject(root.get(), "total_chunks", static_cast<double>(part.total_chunks));
    cJSON_AddStringToObject(root.get(), "compressed", part.compressed.c_str());
    cJSON_AddNumberToObject(root.get(), "original_size", static_cast<double>(part.original_size));
    cJSON_AddStringToObject(root.get(), "disk_name", json_safe(part.disk_name).c_str());
    cJSON_AddStringToObject(root.get(), "existing_disk_id", json_safe(part.existing_disk_id).c_str());
    cJSON_AddNumberToObject(root.get(), "total_parts", static_cast<double>(part.total_parts));
    // A part being decoded is receiving as far as a restarted server is concerned: it decodes again.
    const PartState state_kept = part.state == PartState::decoding ? PartState::receiving : part.state;
    cJSON_AddStringToObject(root.get(), "state", part_state_name(state_kept));
    cJSON_AddStringToObject(root.get(), "error", json_safe(part.error).c_str());
    cJSON_AddNumberToObject(root.get(), "size", static_cast<double>(part.size));
    const fs::path path = batch_dir(state, batch) / META_FOLDER / (part_folder_name(part.part_number) + ".json");
    if (write_file(path, json_print(root.get()) + "\n")) return true;
    print_line("upload: cannot write " + path.string());
    return false;
}

// Takes `path` out of the way at once, so its name is free for what comes next, and deletes it on
// the worker, where a large folder does not hold up the io thread.
void discard(Server& server, const fs::path& dir, const fs::path& path) {
    static uint64_t next_discard = 0;
    std::error_code ec;
    if (!fs::exists(path, ec)) return;
    const fs::path bin = dir / DISCARD_FOLDER;
    fs::create_directories(bin, ec);
    fs::path target = bin / (path.filename().string() + "." + std::to_string(++next_discard));
    fs::rename(path, target, ec);
    if (ec) {
        print_line("upload: cannot move " + path.string() + " aside: " + ec.message() + "; deleting it now");
        fs::remove_all(path, ec);
        return;
    }
    server.worker().post([target = std::move(target)](const std::atomic<bool>&) {
        std::error_code ignored;
        fs::remove_all(target, ignored);
    });
}

void refresh_image(Server& server, UploadBatch& batch);

void on_part_done(Server& server, const PartJob& job, const PartResult& result) {
    ServerState& state = server.state();
    const auto batch = state.batches.find(job.batch_id);
    if (batch == state.batches.end()) return;
    const auto part = batch->second.parts.find(job.part_number);
    // A part started anew meanwhile has other chunks: this result is not about them.
    if (part == batch->second.parts.end() || part->second.state != PartState::decoding ||
        part->second.generation != job.generation) {
        return;
    }
    UploadPart& done = part->second;
    const std::string name = job.batch_id + " part " + std::to_string(job.part_number);
    if (result.error.empty()) {
        done.state = PartState::complete;
        done.size = result.size;
        print_line("upload: " + name + " complete, " + std::to_string(result.size) + " bytes");
    } else {
        done.state = PartState::error;
        done.error = result.error;
        print_line("upload: " + name + " failed: " + result.error);
    }
    // The chunks go only once the state that no longer needs them is on disk.
    if (save_part(state, job.batch_id, done) && done.state == PartState::complete) {
        discard(server, job.dir, job.dir / part_folder_name(job.part_number));
    }
    refresh_image(server, batch->second);
    server.notify_waiters();
}

void start_part(Server& server, const std::string& batch_id, UploadPart& part) {
    part.state = PartState::decoding;
    PartJob job{batch_id,          batch_dir(server.state(), batch_id), part.part_number, part.filename,
                part.total_chunks, part.compressed == ZVIMG,            part.original_size, part.generation};
    server.worker().post([&server, job = std::move(job)](const std::atomic<bool>& stopping) {
        PartResult result = assemble_part(job, stopping);
        // Left unfinished, the part is made again at the next start.
        if (stopping) return;
        boost::asio::post(server.io(),
                          [&server, job, result = std::move(result)] { on_part_done(server, job, result); });
    });
}

void on_image_done(Server& server, const std::string& batch_id, std::pair<int64_t, int64_t> range,
                   const ImageResult& result) {
    ServerState& state = server.state();
    const auto found = state.batches.find(batch_id);
    if (found == state.batches.end()) return;
    UploadBatch& batch = found->second;
    if (batch.image_state != ImageState::building || batch.image_range != range) return;
    if (result.error.empty()) {
        batch.image_state = ImageState::complete;
        batch.image_size = result.size;
        batch.image_sha256 = result.sha256;
        print_line("upload: " + batch_id + " image complete, " + std::to_string(result.size) + " bytes, sha256 " +
                   result.sha256);
        save_batch(state, batch);
    } else {
        batch.image_state = ImageState::error;
        batch.image_error = result.error;
        print_line("upload: " + batch_id + " image failed: " + result.error);
    }
    // The batch may have grown meanwhile.
    refresh_image(server, batch);
    server.notify_waiters();
}

// Builds the image once every part it spans is decoded, and again when the span changes.
void refresh_image(Server& server, UploadBatch& batch) {
    const auto range = image_range(batch);
    const bool ready = range && range_ready(batch, *range);
    if (batch.image_state == ImageState::building) return;  // looked at again when it ends
    if (ready && batch.image_state != ImageState::none && batch.image_range == *range) return;
    if (!ready) {
        const bool was_complete = batch.image_state == ImageState::complete;
        batch.image_state = ImageState::none;
        batch.image_sha256.clear();
        batch.image_error.clear();
        batch.image_size = 0;
        if (was_complete) save_batch(server.state(), batch);
        return;
    }
    batch.image_state = ImageState::building;
    batch.image_range = *range;
    batch.image_sha256.clear();
    batch.image_error.clear();
    batch.image_size = 0;
    const fs::path dir = batch_dir(server.state(), batch.id);
    std::vector<fs::path> files;
    for (const auto& [number, part] : batch.parts) {
        if (number > range->second) break;
        files.push_back(dir / (part.compressed.empty() ? part.filename : raw_file_name(number)));
    }
    server.worker().post([&server, id = batch.id, range = *range, dir, files](const std::atomic<bool>& stopping) {
        ImageResult result = build_image(dir, files, stopping);
        if (stopping) return;
        boost::asio::post(server.io(), [&server, id, range, result = std::move(result)] {
            on_image_done(server, id, range, result);
        });
    });
}

// Why the chunks held for `part` cannot be completed by `chunk`; null when they can.
const char* differs_from(const UploadPart& part, const ChunkUpload& chunk) {
    return part.state == PartState::error                ? "the part had failed"
           : part.filename != chunk.filename             ? "filename differs"
           : part.total_chunks != chunk.total_chunks   ? "total_chunks differs"
           : part.compressed != chunk.compressed       ? "compressed differs"
           : part.original_size != chunk.original_size ? "original_size differs"
                                                       : nullptr;
}

// The chunk's part, created on its first chunk and started anew when the chunk does not fit the
// chunks held; the response to refuse the chunk with otherwise.
std::variant<UploadPart*, HttpResponse> part_for(Server& server, const ChunkUpload& chunk) {
    ServerState& state = server.state();
    const fs::path dir = batch_dir(state, chunk.batch_id);
    auto found = state.batches.find(chunk.batch_id);
    if (found == state.batches.end()) {
        std::error_code ec;
        fs::create_directories(dir / META_FOLDER, ec);
        if (ec) return json_error(500, "cannot create the batch folder");
        UploadBatch batch;
        batch.id = chunk.batch_id;
        batch.total_parts = chunk.total_parts;
        batch.existing_disk_id = chunk.existing_disk_id;
        if (batch.existing_disk_id.empty()) batch.disk_id = state.next_disk_id++;
        if (!save_batch(state, batch)) return json_error(500, "cannot save the batch");
        found = state.batches.emplace(chunk.batch_id, std::move(batch)).first;
    }
    UploadBatch& batch = found->second;
    const auto known = batch.parts.find(chunk.part_number);
    const char* differs = known == batch.parts.end() ? nullptr : differs_from(known->second, chunk);
    if (known != batch.parts.end() && !differs) return &known->second;
    for (const auto& [number, other] : batch.parts) {
        if (number != chunk.part_number && other.filename == chunk.filename) {
            return json_error(409, "filename already taken by part " + std::to_string(number));
        }
    }
    UploadPart part;
    part.part_number = chunk.part_number;
    part.filename = chunk.filename;
    part.total_chunks = chunk.total_chunks;
    part.compressed = chunk.compressed;
    part.original_size = chunk.original_size;
    part.disk_name = chunk.disk_name;
    part.existing_disk_id = chunk.existing_disk_id;
    part.total_parts = chunk.total_parts;
    if (known != batch.parts.end()) {
        // Never refused: the agent would only send the chunk again. The part is made of the new
        // chunks from here on.
        UploadPart& old = known->second;
        print_line("upload: " + chunk.batch_id + " part " + std::to_string(chunk.part_number) + " started anew: " +
                   differs);
        part.generation = old.generation + 1;
        discard(server, dir, dir / part_folder_name(chunk.part_number));
        discard(server, dir, dir / raw_file_name(chunk.part_number));
        if (old.filename != chunk.filename) discard(server, dir, dir / old.filename);
        batch.parts.erase(known);
    }
    std::error_code ec;
    fs::create_directories(dir / part_folder_name(chunk.part_number), ec);
    if (ec || !save_part(state, chunk.batch_id, part)) return json_error(500, "cannot save the part");
    return &batch.parts.emplace(chunk.part_number, std::move(part)).first->second;
}

HttpResponse store_chunk(Server& server, const ChunkUpload& chunk) {
    auto found = part_for(server, chunk);
    if (auto* refusal = std::get_if<HttpResponse>(&found)) return *refusal;
    UploadPart& part = *std::get<UploadPart*>(found);
    ServerState& state = server.state();
    UploadBatch& batch = state.batches.at(chunk.batch_id);

    // Once the part is whole, a repeated chunk (a retry whose answer was lost) changes nothing.
    if (part.state == PartState::receiving) {
        const fs::path path =
            batch_dir(state, chunk.batch_id) / part_folder_name(chunk.part_number) / chunk_file_name(chunk.chunk_index);
        if (!write_file(path, chunk.data)) return json_error(500, "cannot store the chunk");
        part.received.insert(chunk.chunk_index);
    }
    if (chunk.total_parts != batch.total_parts) {
        batch.total_parts = chunk.total_parts;
        save_batch(state, batch);
    }
    if (part.state == PartState::receiving && static_cast<int64_t>(part.received.size()) == part.total_chunks) {
        start_part(server, chunk.batch_id, part);
    }
    refresh_image(server, batch);

    JsonPtr answer(cJSON_CreateObject());
    cJSON_AddStringToObject(answer.get(), "status", "ok");
    cJSON_AddStringToObject(answer.get(), "batch_id", chunk.batch_id.c_str());
    cJSON_AddNumberToObject(answer.get(), "part_number", static_cast<double>(chunk.part_number));
    cJSON_AddNumberToObject(answer.get(), "chunk_index", static_cast<double>(chunk.chunk_index));
    if (batch.existing_disk_id.empty()) {
        cJSON_AddNumberToObject(answer.get(), "disk_id", static_cast<double>(batch.disk_id));
    } else {
        cJSON_AddStringToObject(answer.get(), "disk_id", json_safe(batch.existing_disk_id).c_str());
    }
    if (state.upload_faults.pad > 0) {
        cJSON_AddStringToObject(answer.get(), "pad", std::string(state.upload_faults.pad, 'x').c_str());
    }
    return json_response(200, answer.get());
}

// Counts one use of a fault armed for `count` requests (-1: until disarmed); false when unarmed.
bool take(int& count) {
    if (count == 0) return false;
    if (count > 0) --count;
    return true;
}

void record_raw(const ServerState& state, uint64_t seq, const HttpRequest& request) {
    const fs::path dir = uploads_dir(state) / RAW_FOLDER;
    std::error_code ec;
    fs::create_directories(dir, ec);
    const std::string name = std::to_string(seq);
    if (ec || !write_file(dir / (name + ".body"), request.body) ||
        !write_file(dir / (name + ".type"), request.content_type)) {
        print_line("upload: cannot record request " + name);
    }
}

bool has_token(const HttpRequest& request) {
    const auto token = request.query.find("token");
    return token != request.query.end() && !token->second.empty();
}

// ---- recovery ----

std::optional<int64_t> json_int(const cJSON* object, const char* name, int64_t low, int64_t high) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    if (!cJSON_IsNumber(item) || std::trunc(item->valuedouble) != item->valuedouble || item->valuedouble < low ||
        item->valuedouble > static_cast<double>(high)) {
        return std::nullopt;
    }
    return static_cast<int64_t>(item->valuedouble);
}

std::string json_text(const cJSON* object, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    return cJSON_IsString(item) ? item->valuestring : "";
}

constexpr int64_t MAX_SIZE = int64_t{1} << 53;  // exact in a JSON number

std::optional<UploadPart> load_part(const fs::path& meta, const fs::path& dir) {
    JsonPtr root = read_json_file(meta);
    if (!cJSON_IsObject(root.get())) return std::nullopt;
    UploadPart part;
    const auto number = json_int(root.get(), "part_number", 0, MAX_PART_NUMBER);
    const auto chunks = json_int(root.get(), "total_chunks", 1, MAX_CHUNKS);
    const auto total_parts = json_int(root.get(), "total_parts", 0, MAX_PART_NUMBER);
    const auto original = json_int(root.get(), "original_size", 0, MAX_SIZE);
    const auto size = json_int(root.get(), "size", 0, MAX_SIZE);
    part.filename = json_text(root.get(), "filename");
    part.compressed = json_text(root.get(), "compressed");
    const std::string state = json_text(root.get(), "state");
    if (!number || !chunks || !total_parts || !original || !size || !valid_part_filename(part.filename) || (!part.compressed.empty() && part.compressed != ZVIMG) ||
        meta.filename() != part_folder_name(*number) + ".json") {
        return std::nullopt;
    }
    part.part_number = *number;
    part.total_chunks = *chunks;
    part.total_parts = *total_parts;
    part.original_size = static_cast<uint64_t>(*original);
    part.size = static_cast<uint64_t>(*size);
    part.disk_name = json_text(root.get(), "disk_name");
    part.existing_disk_id = json_text(root.get(), "existing_disk_id");
    part.error = json_text(root.get(), "error");
    if (state == part_state_name(PartState::complete)) {
        part.state = PartState::complete;
        for (int64_t k = 0; k < part.total_chunks; ++k) part.received.insert(k);
        return part;
    }
    if (state == part_state_name(PartState::error)) {
        part.state = PartState::error;
    } else if (state != part_state_name(PartState::receiving)) {
        return std::nullopt;
    }
    // The chunks on disk are the ones received: each was renamed into place only once whole.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir / part_folder_name(part.part_number), ec)) {
        const std::string name = entry.path().filename().string();
        const auto index = name.starts_with("chunk") ? parse_decimal<int64_t>(std::string_view(name).substr(5))
                                                     : std::nullopt;
        if (index && *index < part.total_chunks && entry.is_regular_file(ec)) part.received.insert(*index);
    }
    return part;
}

std::optional<UploadBatch> load_batch(const fs::path& dir, const std::string& id) {
    JsonPtr root = read_json_file(dir / META_FOLDER / "batch.json");
    if (!cJSON_IsObject(root.get()) || json_text(root.get(), "batch_id") != id) return std::nullopt;
    UploadBatch batch;
    batch.id = id;
    const auto total_parts = json_int(root.get(), "total_parts", 0, MAX_PART_NUMBER);
    const auto disk_id = json_int(root.get(), "disk_id", 1, MAX_SIZE);
    batch.existing_disk_id = json_text(root.get(), "existing_disk_id");
    if (!total_parts || (batch.existing_disk_id.empty() && !disk_id)) return std::nullopt;
    batch.total_parts = *total_parts;
    if (batch.existing_disk_id.empty()) batch.disk_id = *disk_id;
    if (const cJSON* image = cJSON_GetObjectItemCaseSensitive(root.get(), "image")) {
        const auto first = json_int(image, "first_part", 0, MAX_PART_NUMBER);
        const auto last = json_int(image, "last_part", 0, MAX_PART_NUMBER);
        const auto size = json_int(image, "size", 0, MAX_SIZE);
        batch.image_sha256 = json_text(image, "sha256");
        if (first && last && size && batch.image_sha256.size() == 64) {
            batch.image_state = ImageState::complete;
            batch.image_range = {*first, *last};
            batch.image_size = static_cast<uint64_t>(*size);
        }
    }
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir / META_FOLDER, ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with("part") || !name.ends_with(".json")) continue;
        if (auto part = load_part(entry.path(), dir)) {
            const int64_t number = part->part_number;
            batch.parts.emplace(number, std::move(*part));
        } else {
            print_line("upload: ignoring unreadable " + entry.path().string());
        }
    }
    return batch;
}

}  // namespace

const char* part_state_name(PartState state) {
    switch (state) {
    case PartState::receiving: return "receiving";
    case PartState::decoding: return "decoding";
    case PartState::complete: return "complete";
    case PartState::error: return "error";
    }
    return "?";
}

bool batch_complete(const UploadBatch& batch) {
    const auto range = image_range(batch);
    return batch.image_state == ImageState::complete && range && batch.image_range == *range;
}

// ---- worker ----

Worker::Worker() : thread_([this] { run(); }) {}

Worker::~Worker() {
    stop();
    thread_.join();
}

void Worker::post(Job job) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void Worker::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        jobs_.clear();
    }
    wake_.notify_all();
}

void Worker::run() {
    while (true) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job(stopping_);
    }
}

// ---- routes ----

void Server::upload_chunk(const HttpRequest& request, Reply reply) {
    ServerState& state = state_;
    UploadLogEntry entry;
    entry.seq = state.next_upload_seq++;
    entry.chunk = true;
    if (state.upload_faults.record_raw) record_raw(state, entry.seq, request);

    // Parsed before any answer is chosen, so that the log names even refused chunks.
    const auto boundary = form_boundary(request.content_type);
    std::vector<FormField> fields;
    const std::string form_error = boundary ? parse_form_data(request.body, *boundary, fields)
                                            : "expected multipart/form-data with a boundary";
    if (const FormField* field = find_field(fields, "batch_id")) entry.batch_id = field->value;
    if (const FormField* field = find_field(fields, "part_number")) {
        entry.part_number = parse_decimal<int64_t>(field->value);
    }
    if (const FormField* field = find_field(fields, "chunk_index")) {
        entry.chunk_index = parse_decimal<int64_t>(field->value);
    }
    const std::string shown = "upload: chunk seq=" + std::to_string(entry.seq) +
                              " batch=" + json_safe(entry.batch_id.substr(0, MAX_NAME)) +
                              " part=" + (entry.part_number ? std::to_string(*entry.part_number) : "?") +
                              " chunk=" + (entry.chunk_index ? std::to_string(*entry.chunk_index) : "?");
    // Logged on arrival, so a test can see a chunk whose answer is still held back.
    const uint64_t seq = entry.seq;
    state.upload_log.push_back(std::move(entry));
    notify_waiters();

    auto finish = [this, seq, shown, reply = std::move(reply)](HttpResponse response) {
        for (auto it = state_.upload_log.rbegin(); it != state_.upload_log.rend(); ++it) {
            if (it->seq != seq) continue;
            it->status = response.drop ? 0 : response.status;
            it->dropped = response.drop;
            break;
        }
        std::string line = shown + " -> " + (response.drop ? "dropped" : std::to_string(response.status));
        if (response.status >= 400 && !response.drop) {
            std::string reason = json_safe(response.body.substr(0, 200));
            std::replace_if(reason.begin(), reason.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
            line += " " + reason;
        }
        print_line(line);
        notify_waiters();
        reply(std::move(response));
    };
    const auto answer = [this, &finish, delay = state.upload_faults.delay_ms](HttpResponse response) {
        if (delay == 0) return finish(std::move(response));
        auto timer = std::make_shared<boost::asio::steady_timer>(io_, std::chrono::milliseconds(delay));
        timer->async_wait([timer, finish = std::move(finish), response = std::move(response)](
                              const boost::system::error_code&) mutable { finish(std::move(response)); });
    };

    UploadFaults& faults = state.upload_faults;
    const bool faults_due = !take(faults.after);
    if (faults_due && take(faults.drop_count)) {
        HttpResponse dropped;
        dropped.drop = true;
        return answer(std::move(dropped));
    }
    if (faults_due && faults.status != 0 && take(faults.status_count)) {
        HttpResponse failed = json_error(faults.status, "fault ordered by a test");
        if (faults.body) {
            failed.body = *faults.body;
            failed.content_type = "text/plain; charset=utf-8";
        }
        if (faults.status_count == 0) faults.status = 0;
        return answer(std::move(failed));
    }
    if (!has_token(request)) return answer(json_error(401, "missing token"));
    if (!form_error.empty()) return answer(json_error(400, form_error));
    ChunkUpload chunk;
    if (const std::string error = read_chunk(fields, chunk); !error.empty()) return answer(json_error(400, error));
    answer(store_chunk(*this, chunk));
}

void Server::upload_chunk_status(const HttpRequest& request, Reply reply) {
    UploadLogEntry entry;
    entry.seq = state_.next_upload_seq++;
    const auto batch_id = request.query.find("batch_id");
    const auto part_number = request.query.find("part_number");
    if (batch_id != request.query.end()) entry.batch_id = batch_id->second;
    if (part_number != request.query.end()) entry.part_number = parse_decimal<int64_t>(part_number->second);

    const auto answer = [&](HttpResponse response) {
        entry.status = response.status;
        print_line("upload: status seq=" + std::to_string(entry.seq) + " batch=" +
                   json_safe(entry.batch_id.substr(0, MAX_NAME)) +
                   " part=" + (entry.part_number ? std::to_string(*entry.part_number) : "?") + " -> " +
                   std::to_string(response.status));
        state_.upload_log.push_back(std::move(entry));
        notify_waiters();
        reply(std::move(response));
    };
    if (!has_token(request)) return answer(json_error(401, "missing token"));
    if (batch_id == request.query.end() || batch_id->second.empty()) return answer(json_error(400, "missing batch_id"));
    if (!entry.part_number) return answer(json_error(400, "invalid part_number"));

    JsonPtr body(cJSON_CreateObject());
    cJSON* list = cJSON_AddArrayToObject(body.get(), "received_chunks");
    // An unknown batch or part simply has nothing yet. A failed part holds nothing worth keeping:
    // the agent sends it again and the first chunk starts it anew. The shape of the part is named
    // so that an agent can tell held chunks of another part size from its own.
    if (const auto batch = state_.batches.find(batch_id->second); batch != state_.batches.end()) {
        if (const auto part = batch->second.parts.find(*entry.part_number); part != batch->second.parts.end()) {
            const UploadPart& held = part->second;
            if (held.state != PartState::error) {
                for (const int64_t index : held.received) {
                    cJSON_AddItemToArray(list, cJSON_CreateNumber(static_cast<double>(index)));
                }
            }
            cJSON_AddNumberToObject(body.get(), "total_chunks", static_cast<double>(held.total_chunks));
            if (!held.compressed.empty()) {
                cJSON_AddNumberToObject(body.get(), "original_size", static_cast<double>(held.original_size));
            }
        }
    }
    answer(json_response(200, body.get()));
}

// ---- recovery ----

void Server::load_uploads() {
    const fs::path root = uploads_dir(state_);
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec) throw std::runtime_error("cannot create " + root.string() + ": " + ec.message());
    for (const auto& entry : fs::directory_iterator(root, ec)) {
        const std::string id = entry.path().filename().string();
        std::error_code type_error;
        if (!entry.is_directory(type_error) || !valid_batch_id(id)) continue;
        auto batch = load_batch(entry.path(), id);
        if (!batch) {
            print_line("upload: ignoring " + entry.path().string() + ": no readable batch record");
            continue;
        }
        state_.next_disk_id = std::max(state_.next_disk_id, batch->disk_id + 1);
        state_.batches.emplace(id, std::move(*batch));
    }
    if (ec) throw std::runtime_error("cannot list " + root.string() + ": " + ec.message());

    // Work cut short by the last stop is done again.
    for (auto& [id, batch] : state_.batches) {
        worker_.post([bin = root / id / DISCARD_FOLDER](const std::atomic<bool>&) {
            std::error_code ignored;
            fs::remove_all(bin, ignored);
        });
        for (auto& [number, part] : batch.parts) {
            const fs::path chunks = root / id / part_folder_name(number);
            if (part.state == PartState::complete) discard(*this, root / id, chunks);
            if (part.state == PartState::receiving && static_cast<int64_t>(part.received.size()) == part.total_chunks) {
                start_part(*this, id, part);
            }
        }
        refresh_image(*this, batch);
    }
    if (!state_.batches.empty()) print_line("upload: " + std::to_string(state_.batches.size()) + " batches recovered");
}
