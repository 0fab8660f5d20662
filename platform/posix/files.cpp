// POSIX back end of files and raw devices.
#include "platform/files.h"

#include "platform/error.h"
#include "platform/memory.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

namespace {

bool write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

std::string parent_dir(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

// A block device is read with O_DIRECT (like a disk handle on Windows, it takes whole aligned
// sectors only, and nothing read is cached); a regular file is read as it is.
struct RawFile {
    int fd = -1;
    uint32_t sector = 1;       // logical sector size of a block device; 1 for a regular file
    int64_t device_size = -1;  // a block device's length, -1 for a regular file
    std::mutex bounce_lock;    // guards bounce: reads of one file may come from several threads
    void* bounce = nullptr;    // aligned staging for partial sectors, made at the first need
    size_t bounce_size = 0;
};

namespace {

constexpr size_t kBounceBytes = 1 << 20;

// pread until `length` bytes, the end, or an error.
int64_t read_whole(int fd, uint64_t offset, void* buffer, size_t length) {
    size_t done = 0;
    auto* out = static_cast<char*>(buffer);
    while (done < length) {
        ssize_t n = pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? static_cast<int64_t>(done) : -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

}  // namespace

char fs_separator() { return '/'; }

FILE* fs_fopen(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

bool fs_exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

bool fs_is_dir(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool fs_mkdir(const std::string& path) {
    if (mkdir(path.c_str(), 0700) == 0) return true;
    return errno == EEXIST && fs_is_dir(path);
}

std::string fs_make_private_dir(const std::string& parent, const std::string& prefix, std::string* error) {
    std::string pattern = fs_join(parent, prefix + "XXXXXX");
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {  // mode 0700, and never a folder that was there before
        if (error) *error = sys_error_text(sys_last_error());
        return "";
    }
    return buffer.data();
}

bool fs_remove_dir(const std::string& path) { return rmdir(path.c_str()) == 0; }

bool fs_copy_new(const std::string& from, const std::string& to) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        close(in);
        return false;
    }
    bool ok = true;
    char buffer[65536];
    while (true) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        if (!write_all(out, buffer, static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    close(in);
    if (close(out) != 0) ok = false;
    if (!ok) unlink(to.c_str());
    return ok;
}

bool fs_delete(const std::string& path) { return unlink(path.c_str()) == 0; }

bool fs_make_executable(const std::string& path) { return chmod(path.c_str(), 0700) == 0; }

bool fs_write_atomic(const std::string& path, const std::string& data, std::string* error) {
    static std::atomic<unsigned> counter{0};
    std::string temp = path + ".tmp" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error) *error = sys_call_error("open", sys_last_error());
        return false;
    }
    const char* failed = !write_all(fd, data.data(), data.size()) ? "write" : fsync(fd) != 0 ? "fsync" : nullptr;
    unsigned long code = failed ? sys_last_error() : 0;
    if (close(fd) != 0 && !failed) {
        failed = "close";
        code = sys_last_error();
    }
    if (!failed && rename(temp.c_str(), path.c_str()) == 0) {
        // Make the rename itself durable.
        int dir = open(parent_dir(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            fsync(dir);
            close(dir);
        }
        return true;
    }
    if (!failed) {
        failed = "rename";
        code = sys_last_error();
    }
    unlink(temp.c_str());
    if (error) *error = sys_call_error(failed, code);
    return false;
}

bool fs_script_can_hold(const std::string&) { return true; }

bool fs_write_script(const std::string& path, const std::string& text, std::string* error) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error) *error = sys_error_text(sys_last_error());
        return false;
    }
    bool ok = write_all(fd, text.data(), text.size());
    unsigned long code = ok ? 0 : sys_last_error();
    if (close(fd) != 0 && ok) {
        ok = false;
        code = sys_last_error();
    }
    if (!ok) {
        if (error) *error = sys_error_text(code);
        unlink(path.c_str());
    }
    return ok;
}

int64_t fs_file_size(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool fs_list_dir(const std::string& path, const std::function<bool(const DirEntry&)>& visit, FsError* error) {
    if (error) *error = FsError::none;
    DIR* dir = opendir(path.c_str());
    if (!dir) {
        if (error) {
            // A file where a folder was asked for is "other", as on Windows.
            *error = errno == ENOENT ? FsError::not_found
                     : errno == EACCES || errno == EPERM ? FsError::permission_denied
                                                         : FsError::other;
        }
        return false;
    }
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        DirEntry item;
        item.name = name;
        item.hidden = name[0] == '.';
        struct stat st {};
        if (fstatat(dirfd(dir), entry->d_name, &st, 0) == 0) {
            item.is_dir = S_ISDIR(st.st_mode);
            item.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
        } else {
            item.is_dir = entry->d_type == DT_DIR;
        }
        if (!visit(item)) break;
    }
    closedir(dir);
    return true;
}

RawFile* raw_open(const std::string& path, bool sequential, std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = sys_error_text(sys_last_error());
        return nullptr;
    }
    auto* file = new RawFile;
    file->fd = fd;
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISBLK(st.st_mode)) {
        int sector = 0;
        uint64_t bytes = 0;
        file->sector = ioctl(fd, BLKSSZGET, &sector) == 0 && sector > 0 && (sector & (sector - 1)) == 0
                           ? static_cast<uint32_t>(sector)
                           : 4096;
        if (ioctl(fd, BLKGETSIZE64, &bytes) == 0) file->device_size = static_cast<int64_t>(bytes);
        // Without O_DIRECT (a device that refuses it) the reads stay aligned all the same.
        int flags = fcntl(fd, F_GETFL);
        if (flags >= 0) fcntl(fd, F_SETFL, flags | O_DIRECT);
    }
    if (sequential) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return file;
}

int64_t raw_size(RawFile* file) {
    if (!file) return -1;
    struct stat st {};
    if (fstat(file->fd, &st) != 0) return -1;
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        if (ioctl(file->fd, BLKGETSIZE64, &bytes) != 0) return -1;
        return static_cast<int64_t>(bytes);
    }
    return S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : -1;
}

int64_t raw_read_at(RawFile* file, uint64_t offset, void* buffer, size_t length) {
    if (!file) return -1;
    const int fd = file->fd;
    auto read = [fd](uint64_t at, void* into, size_t count) { return read_whole(fd, at, into, count); };
    if (file->sector == 1) return read_whole(fd, offset, buffer, length);
    std::lock_guard<std::mutex> hold(file->bounce_lock);
    if (!file->bounce) {
        file->bounce_size = std::max<size_t>(kBounceBytes, file->sector);
        file->bounce = mem_alloc_large(file->bounce_size);  // page-aligned
        if (!file->bounce) {
            errno = ENOMEM;
            return -1;
        }
    }
    return raw_read_spans(offset, buffer, length, file->sector, file->device_size, file->bounce, file->bounce_size,
                          read);
}

void raw_close(RawFile* file) {
    if (!file) return;
    close(file->fd);
    mem_free_large(file->bounce, file->bounce_size);
    delete file;
}
