// Win32 back end of files and raw devices. Every path is converted to UTF-16 here.
#include "platform/files.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/error.h"
#include "platform/memory.h"
#include "platform/system.h"
#include "platform/win32/wide.h"

// A disk or volume handle takes reads of whole sectors only, at sector-aligned offsets into
// sector-aligned buffers; a file handle takes any read.
struct RawFile {
    HANDLE handle = INVALID_HANDLE_VALUE;
    uint32_t sector = 1;       // logical sector size of a device; 1 for a file
    int64_t device_size = -1;  // a device's length when known
    std::mutex bounce_lock;    // guards bounce: reads of one handle may come from several threads
    void* bounce = nullptr;    // aligned staging for partial sectors, made at the first need
    size_t bounce_size = 0;
};

namespace {

constexpr size_t kBounceBytes = 1 << 20;
constexpr int kReplaceAttempts = 10;       // with the pauses between them: about one second
constexpr DWORD kReplacePauseMs = 100;
constexpr uint32_t kUnknownSector = 4096;  // a multiple of every sector size in use

// ReadFile at `offset` (positioned by the OVERLAPPED record, so no shared file pointer) until
// `length` bytes, the end, or an error.
int64_t read_whole(HANDLE handle, uint64_t offset, void* buffer, size_t length) {
    size_t done = 0;
    auto* out = static_cast<char*>(buffer);
    while (done < length) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(length - done, 1u << 30));  // whole sectors
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>((offset + done) & 0xffffffffu);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD got = 0;
        if (!ReadFile(handle, out + done, chunk, &got, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            return done > 0 ? static_cast<int64_t>(done) : -1;
        }
        if (got == 0) break;
        done += got;
    }
    return static_cast<int64_t>(done);
}

// The logical sector size of a disk or volume handle; 0 when the handle is no such device.
uint32_t device_sector(HANDLE handle) {
    DISK_GEOMETRY_EX geometry{};
    DWORD returned = 0;
    if (DeviceIoControl(handle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry, sizeof geometry, &returned,
                        nullptr) ||
        GetLastError() == ERROR_INSUFFICIENT_BUFFER || GetLastError() == ERROR_MORE_DATA) {
        DWORD bytes = geometry.Geometry.BytesPerSector;
        return bytes > 0 && (bytes & (bytes - 1)) == 0 ? bytes : kUnknownSector;
    }
    return 0;
}

bool is_device_path(const std::string& path) {
    // "\\.\PHYSICALDRIVE0", "\\.\C:" and the like name devices; "\\?\C:\..." names a file.
    return path.size() > 4 && (path.compare(0, 4, "\\\\.\\") == 0 || path.compare(0, 4, "//./") == 0);
}

}  // namespace

char fs_separator() { return '\\'; }

FILE* fs_fopen(const std::string& path, const char* mode) {
    return _wfopen(to_wide(path).c_str(), to_wide(mode).c_str());
}

bool fs_exists(const std::string& path) {
    return GetFileAttributesW(to_wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool fs_is_dir(const std::string& path) {
    DWORD attributes = GetFileAttributesW(to_wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool fs_mkdir(const std::string& path) {
    if (CreateDirectoryW(to_wide(path).c_str(), nullptr)) return true;
    return GetLastError() == ERROR_ALREADY_EXISTS && fs_is_dir(path);
}

std::string fs_make_private_dir(const std::string& parent, const std::string& prefix, std::string* error) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    DWORD code = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < 16 && code == ERROR_ALREADY_EXISTS; ++attempt) {
        unsigned char random[8];
        if (!sys_random(random, sizeof random)) {
            code = GetLastError();
            break;
        }
        std::string name = prefix;
        for (unsigned char byte : random) name += kLetters[byte % 36];
        std::string path = fs_join(parent, name);
        // Fails on anything already there, so the folder is always one this call made.
        if (CreateDirectoryW(to_wide(path).c_str(), nullptr)) return path;
        code = GetLastError();
    }
    if (error) *error = sys_error_text(code);
    return "";
}

bool fs_remove_dir(const std::string& path) { return RemoveDirectoryW(to_wide(path).c_str()) != 0; }

bool fs_copy_new(const std::string& from, const std::string& to) {
    return CopyFileW(to_wide(from).c_str(), to_wide(to).c_str(), TRUE) != 0;
}

bool fs_delete(const std::string& path) { return DeleteFileW(to_wide(path).c_str()) != 0; }

bool fs_make_executable(const std::string&) { return true; }

bool fs_write_atomic(const std::string& path, const std::string& data, std::string* error) {
    static std::atomic<unsigned> counter{0};
    std::wstring target = to_wide(path);
    std::wstring temp = target + L".tmp" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                        std::to_wstring(counter++);
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (error) *error = sys_call_error("CreateFileW", sys_last_error());
        return false;
    }
    const char* failed = nullptr;
    unsigned long code = 0;
    size_t done = 0;
    while (!failed && done < data.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 30));
        DWORD written = 0;
        BOOL ok = WriteFile(file, data.data() + done, chunk, &written, nullptr);
        if (!ok || written != chunk) {
            failed = "WriteFile";
            code = ok ? ERROR_WRITE_FAULT : GetLastError();
        }
        done += written;
    }
    if (!failed && !FlushFileBuffers(file)) {
        failed = "FlushFileBuffers";
        code = GetLastError();
    }
    CloseHandle(file);
    if (!failed) {
        // A reader (an editor, a virus scanner, a backup) that holds the file open without
        // FILE_SHARE_DELETE blocks the replace; such holds are short, so try again for a while.
        for (int attempt = 0;; ++attempt) {
            if (MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                return true;
            }
            code = GetLastError();
            bool held = code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED || code == ERROR_LOCK_VIOLATION;
            if (!held || attempt + 1 >= kReplaceAttempts) break;
            Sleep(kReplacePauseMs);
        }
        failed = "MoveFileExW";
    }
    DeleteFileW(temp.c_str());
    if (error) *error = sys_call_error(failed, code);
    return false;
}

namespace {

// `text` in the code page cmd.exe reads scripts in, when every character has an exact form there.
bool to_oem(const std::string& text, std::string* out) {
    const UINT page = system_oem_code_page();
    if (page == CP_UTF8) {
        *out = text;
        return true;
    }
    std::wstring wide = to_wide(text);
    if (wide.empty()) {
        out->clear();
        return true;
    }
    const int units = static_cast<int>(wide.size());
    int bytes = WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, wide.data(), units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return false;
    std::string oem(static_cast<size_t>(bytes), '\0');
    BOOL lossy = FALSE;
    WideCharToMultiByte(page, WC_NO_BEST_FIT_CHARS, wide.data(), units, oem.data(), bytes, nullptr, &lossy);
    if (lossy) return false;
    // A character without a form of its own would come back as another one.
    int back = MultiByteToWideChar(page, 0, oem.data(), bytes, nullptr, 0);
    std::wstring check(static_cast<size_t>(back > 0 ? back : 0), L'\0');
    if (back > 0) MultiByteToWideChar(page, 0, oem.data(), bytes, check.data(), back);
    if (check != wide) return false;
    *out = std::move(oem);
    return true;
}

}  // namespace

bool fs_script_can_hold(const std::string& text) {
    std::string ignored;
    return to_oem(text, &ignored);
}

bool fs_write_script(const std::string& path, const std::string& text, std::string* error) {
    std::string lines;
    for (char c : text) {
        if (c == '\n') lines += '\r';
        lines += c;
    }
    std::string oem;
    if (!to_oem(lines, &oem)) {
        if (error) *error = "a character has no form in code page " + std::to_string(system_oem_code_page());
        return false;
    }
    std::wstring wide_path = to_wide(path);
    HANDLE file = CreateFileW(wide_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (error) *error = sys_error_text(sys_last_error());
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, oem.data(), static_cast<DWORD>(oem.size()), &written, nullptr) != 0;
    unsigned long code = ok ? 0 : sys_last_error();
    if (ok && written != oem.size()) {
        ok = false;
        code = ERROR_WRITE_FAULT;
    }
    if (!CloseHandle(file) && ok) {
        ok = false;
        code = sys_last_error();
    }
    if (!ok) {
        if (error) *error = sys_error_text(code);
        DeleteFileW(wide_path.c_str());
    }
    return ok;
}

int64_t fs_file_size(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(to_wide(path).c_str(), GetFileExInfoStandard, &data)) return -1;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
    return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

bool fs_list_dir(const std::string& path, const std::function<bool(const DirEntry&)>& visit, FsError* error) {
    if (error) *error = FsError::none;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(to_wide(fs_join(path, "*")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        // The root of an empty volume has no "." or "..": nothing found there is an empty folder.
        if (code == ERROR_FILE_NOT_FOUND && fs_is_dir(path)) return true;
        if (error) {
            *error = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? FsError::not_found
                     : code == ERROR_ACCESS_DENIED                                ? FsError::permission_denied
                                                                                  : FsError::other;
        }
        return false;
    }
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        DirEntry item;
        item.name = to_utf8(found.cFileName);
        item.is_dir = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        item.hidden = (found.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
        item.size = item.is_dir ? 0 : (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        if (!visit(item)) break;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

RawFile* raw_open(const std::string& path, bool sequential, std::string* error) {
    HANDLE handle = CreateFileW(to_wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, sequential ? FILE_FLAG_SEQUENTIAL_SCAN : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        if (error) *error = sys_error_text(sys_last_error());
        return nullptr;
    }
    auto* file = new RawFile;
    file->handle = handle;
    uint32_t sector = device_sector(handle);
    if (sector == 0 && is_device_path(path)) sector = kUnknownSector;
    if (sector > 1) {
        file->sector = sector;
        file->device_size = raw_size(file);
    }
    return file;
}

int64_t raw_size(RawFile* file) {
    if (!file) return -1;
    GET_LENGTH_INFORMATION info{};
    DWORD returned = 0;
    if (DeviceIoControl(file->handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info, &returned,
                        nullptr)) {
        return info.Length.QuadPart;
    }
    LARGE_INTEGER size;
    if (GetFileSizeEx(file->handle, &size)) return size.QuadPart;
    return -1;
}

int64_t raw_read_at(RawFile* file, uint64_t offset, void* buffer, size_t length) {
    if (!file) return -1;
    HANDLE handle = file->handle;
    if (file->sector == 1) return read_whole(handle, offset, buffer, length);
    auto read = [handle](uint64_t at, void* into, size_t count) { return read_whole(handle, at, into, count); };
    std::lock_guard<std::mutex> hold(file->bounce_lock);
    if (!file->bounce) {
        file->bounce_size = std::max<size_t>(kBounceBytes, file->sector);
        file->bounce = mem_alloc_large(file->bounce_size);  // page-aligned
        if (!file->bounce) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return -1;
        }
    }
    return raw_read_spans(offset, buffer, length, file->sector, file->device_size, file->bounce, file->bounce_size,
                          read);
}

void raw_close(RawFile* file) {
    if (!file) return;
    CloseHandle(file->handle);
    mem_free_large(file->bounce, file->bounce_size);
    delete file;
}
