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

// Makes a new folder "<parent>/<prefix><random letters>" that did not exist before (never an
// existing one), open to this user only (mode 0700 on POSIX; under Windows the temporary folder
// is the user's own already). Its path, or "" with the reason in *error when error is given.
std::string fs_make_private_dir(const std::string& parent, const std::string& prefix, std::string* error = nullptr);

// Removes a folder, which must be empty.
bool fs_remove_dir(const std::string& path);

// Copies a file, failing when the target already exists.
bool fs_copy_new(const std::string& from, const std::string& to);

bool fs_delete(const std::string& path);

// Lets the owner run a file (mode 0700 on POSIX); where running is not a file mode this does
// nothing and succeeds.
bool fs_make_executable(const std::string& path);

// Writes `data` to a temporary file beside `path`, flushes it to the disk and puts it in place of
// `path` in one step, so a reader sees the old file or the new one, never a partial one. On
// Windows a reader that holds `path` open blocks the replace; it is tried again for about a second.
// False, with the failed step and the system's reason in *error when error is given, when `path`
// could not be replaced (it is then left as it was).
bool fs_write_atomic(const std::string& path, const std::string& data, std::string* error = nullptr);

// Scripts for this system's command interpreter. cmd.exe reads a batch file in the console's OEM
// code page, not in UTF-8, so on Windows the text is written in that code page with CR LF line
// ends; elsewhere it is written as it is.
// True when every character of `text` (UTF-8) has an exact form in that encoding.
bool fs_script_can_hold(const std::string& text);
// Creates `path`, which must not exist yet, holding `text` ("\n" line ends) in that encoding.
// False, with the reason in *error when error is given, when a character has no exact form there
// or the file cannot be created or written (nothing is left behind then).
bool fs_write_script(const std::string& path, const std::string& text, std::string* error = nullptr);

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
// Reads up to `length` bytes at `offset` into any buffer; returns the count read (short only at the
// end of the file or device, or when an error follows bytes already read), 0 at the end, -1 on
// error, when sys_last_error() (platform/error.h) tells why. Devices that take whole sectors only are
// read in aligned spans and handed back exactly the bytes asked for.
int64_t raw_read_at(RawFile* file, uint64_t offset, void* buffer, size_t length);
void raw_close(RawFile* file);

// ---- Aligned reads, shared by the back ends ----
//
// A disk device refuses reads whose offset, length or buffer is not a multiple of its logical
// sector size. A request for any byte range is served by reading the whole sectors around it.

// The sector-aligned span that covers a requested byte range, and where the range lies in it.
struct RawSpan {
    uint64_t offset = 0;  // first byte to read: the requested offset rounded down to a sector
    uint64_t length = 0;  // bytes to read: whole sectors up to the one holding the last byte wanted
    uint64_t skip = 0;    // the requested bytes begin this far into the span
    uint64_t count = 0;   // requested bytes the span covers: the request, cut at the device's end
};

// `sector` is a power of two (1 where any offset will do); `device_size` is the device's length,
// or -1 when unknown. A request starting at or beyond a known end covers nothing (all zero).
RawSpan raw_span(uint64_t offset, uint64_t length, uint32_t sector, int64_t device_size);

// Reads whole sectors at a sector-aligned offset into a sector-aligned buffer: the count read
// (short at the end of the device), -1 on error.
using RawSectorRead = std::function<int64_t(uint64_t offset, void* buffer, size_t length)>;

// raw_read_at's contract on top of `read`: whole aligned sectors go straight into `buffer` where
// it is aligned; the rest passes through `bounce` (sector-aligned, `bounce_size` a multiple of
// `sector`). Returns what raw_read_at returns.
int64_t raw_read_spans(uint64_t offset, void* buffer, size_t length, uint32_t sector, int64_t device_size,
                       void* bounce, size_t bounce_size, const RawSectorRead& read);
