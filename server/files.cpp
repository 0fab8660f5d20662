// Plain file work for the stores: descriptors, whole writes, files replaced whole.

#include "server/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

std::string errno_text() { return std::error_code(errno, std::generic_category()).message(); }

File::File(const fs::path& path, int flags) : fd_(::open(path.c_str(), flags | O_CLOEXEC, 0644)) {}

File::~File() {
    if (fd_ >= 0) ::close(fd_);
}

bool File::close() { return ::close(std::exchange(fd_, -1)) == 0; }

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

ssize_t read_some(int fd, char* data, size_t size, std::optional<uint64_t> offset) {
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

