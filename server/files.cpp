// Plain file work for the stores: descriptors, whole writes, files replaced whole.

#include "server/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
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

bool write_all_at(int fd, const char* data, size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t done = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        data += done;
        size -= static_cast<size_t>(done);
        offset += static_cast<uint64_t>(done);
    }
    return true;
}

bool copy_range(int in, uint64_t from, int out, uint64_t to, uint64_t size, std::vector<char>& buffer) {
    bool in_kernel = true;
    while (size > 0) {
        if (in_kernel) {
            auto in_at = static_cast<off_t>(from);
            auto out_at = static_cast<off_t>(to);
            const ssize_t done = ::copy_file_range(in, &in_at, out, &out_at, size, 0);
            if (done < 0 && errno == EINTR) continue;
            if (done < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                in_kernel = false;
                continue;
            }
            if (done < 0) return false;
            if (done == 0) {
                errno = ENODATA;
                return false;
            }
            from += static_cast<uint64_t>(done);
            to += static_cast<uint64_t>(done);
            size -= static_cast<uint64_t>(done);
            continue;
        }
        if (buffer.empty()) buffer.resize(1 << 20);
        const size_t want = static_cast<size_t>(std::min<uint64_t>(size, buffer.size()));
        const ssize_t got = read_some(in, buffer.data(), want, from);
        if (got < 0) return false;
        if (static_cast<size_t>(got) != want) {
            errno = ENODATA;
            return false;
        }
        if (!write_all_at(out, buffer.data(), want, to)) return false;
        from += want;
        to += want;
        size -= want;
    }
    return true;
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

std::optional<std::string> read_small_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return text.str();
}

JsonPtr read_json_file(const fs::path& path) {
    const auto text = read_small_file(path);
    return text ? json_parse(*text) : nullptr;
}

