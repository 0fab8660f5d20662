// Small helpers shared by the unit tests: a scratch folder that cleans up after itself, whole-file
// reads and writes, and a capture of standard error.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// A fresh folder under the system temporary folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zelvo-unit-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (char* made = mkdtemp(buffer.data())) path_ = made;
    }
    ~TempDir() {
        if (path_.empty()) return;
        std::error_code ignored;
        // A test may have taken the write bit away; give it back so the tree can go.
        for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
            if (it->is_directory(ignored)) chmod(it->path().c_str(), 0700);
        }
        chmod(path_.c_str(), 0700);
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

// The text split at each "\n"; a final piece after the last "\n" is kept (so a missing line end
// shows up as an extra element).
inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Sends standard error to a file until finish(), then puts it back.
class StderrCapture {
public:
    explicit StderrCapture(std::string path) : path_(std::move(path)) {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (saved_ >= 0 && fd >= 0) ok_ = dup2(fd, STDERR_FILENO) >= 0;
        if (fd >= 0) close(fd);
    }
    ~StderrCapture() { finish(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    bool ok() const { return ok_; }
    const std::string& path() const { return path_; }

    // Restores standard error and returns what was written to it meanwhile.
    std::string finish() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
        return read_file(path_);
    }

private:
    std::string path_;
    int saved_ = -1;
    bool ok_ = false;
};

}  // namespace testing_support
