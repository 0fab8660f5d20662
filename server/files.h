// Plain file work for zelvo-server's stores: an owned descriptor, whole writes and reads, and files
// that are seen whole or not at all. Failures leave errno set for errno_text().
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/json.h"

// An open descriptor, closed when the object goes.
class File {
public:
    File() = default;
    File(const std::filesystem::path& path, int flags);
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    File& operator=(File&& other) noexcept;

    explicit operator bool() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Errors of delayed writes show up here.
    bool close();

private:
    int fd_ = -1;
};

File open_read(const std::filesystem::path& path);
// Created or truncated.
File open_write(const std::filesystem::path& path);

// The text of the current errno.
std::string errno_text();
// Writes all of `data`; false on failure.
bool write_all(int fd, const char* data, size_t size);
// Reads up to `size` bytes, at `offset` when given, fewer only at the end of the file; -1 on failure.
ssize_t read_some(int fd, char* data, size_t size, std::optional<uint64_t> offset = std::nullopt);
// Writes all of `data` at `offset`; false on failure.
bool write_all_at(int fd, const char* data, size_t size, uint64_t offset);
// Copies `size` bytes of `in` from offset `from` to `out` at offset `to`: inside the kernel where the
// file systems allow it, else through `buffer`. False on failure, and when `in` ends early.
bool copy_range(int in, uint64_t from, int out, uint64_t to, uint64_t size, std::vector<char>& buffer);
// Written beside its place and renamed there, so the file is seen whole or not at all.
bool write_file(const std::filesystem::path& path, std::string_view data);
// The whole of a small file; nothing when it cannot be read.
std::optional<std::string> read_small_file(const std::filesystem::path& path);
// The file's JSON; null when it cannot be read or parsed.
JsonPtr read_json_file(const std::filesystem::path& path);
