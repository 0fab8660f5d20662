// Files and raw devices: C streams opened by UTF-8 path, atomic replacement, folders, attributes,
// directory enumeration and unbuffered raw reads (physical disks included).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

// The folder separator of this system.
char fs_separator();

// dir + separator + name; a separator already ending dir is not doubled.
std::string fs_join(const std::string& dir, const std::string& name);

// fopen by UTF-8 path, with the usual mode letters.
FILE* fs_fopen(const std::string& path, const char* mode);

bool fs_exists(const std::string& path);
bool fs_is_dir(const std::string& path);

// Creates one folder; an existing folder counts as success.
bool fs_mkdir(const std::string& path);

// Copies a file, failing when the target already exists.
bool fs_copy_new(const std::string& from, const std::string& to);

bool fs_delete(const std::string& path);

// Lets the owner run a file (mode 0700 on POSIX); where running is not a file mode this does
// nothing and succeeds.
bool fs_make_executable(const std::string& path);

// Writes `data` to a temporary file beside `path`, flushes it to the disk and puts it in place of
// `path` in one step, so a reader sees the old file or the new one, never a partial one.
bool fs_write_atomic(const std::string& path, const std::string& data);

// Size of a regular file in bytes; -1 when it cannot be taken.
int64_t fs_file_size(const std::string& path);

struct DirEntry {
    std::string name;
    bool is_dir = false;
    bool hidden = false;  // hidden or system attribute (Windows), dot name (POSIX)
    uint64_t size = 0;
};

// Why a folder could not be opened.
enum class FsError { none, not_found, permission_denied, other };

// Calls `visit` for each entry of a folder except "." and ".."; `visit` returns false to stop.
// False when the folder cannot be opened, with the reason in `error` when it is given.
bool fs_list_dir(const std::string& path, const std::function<bool(const DirEntry&)>& visit,
                 FsError* error = nullptr);

// Raw read-only access to a file or a device such as "\\.\PHYSICALDRIVE0" or "/dev/sda".
struct RawFile;
// `sequential` tells the system the file will be read front to back (read-ahead, no caching of
// what was read). Null when it cannot be opened, with the system's reason in *error (see
// platform/error.h) when error is given.
RawFile* raw_open(const std::string& path, bool sequential = false, std::string* error = nullptr);
// Size in bytes (device length for disks); -1 when unknown.
int64_t raw_size(RawFile* file);
// Reads up to `length` bytes at `offset`; returns the count read, 0 at the end, -1 on error.
int64_t raw_read_at(RawFile* file, uint64_t offset, void* buffer, size_t length);
void raw_close(RawFile* file);
