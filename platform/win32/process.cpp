// Win32 back end of the process services: elevation relaunch, the named single-instance mutex,
// the unhandled-exception filter, child processes and the shell's "open".
#include "platform/process.h"

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <iterator>

#include "platform/win32/wide.h"

namespace {

// What the filter writes, prepared by proc_install_crash_handler: the filter runs in a crashed
// process whose heap may be broken, so it formats into these buffers and calls the file API only.
struct CrashSetup {
    wchar_t path[4096] = {};  // the crash log
    char line[512] = {};      // the line template
};
CrashSetup g_crash;

LONG WINAPI crash_filter(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info ? info->ExceptionRecord : nullptr;
    SYSTEMTIME now{};
    GetLocalTime(&now);
    CrashTime time{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    // "%p" as the C runtime prints it: 16 hex digits.
    char address[17];
    uintptr_t value = reinterpret_cast<uintptr_t>(record ? record->ExceptionAddress : nullptr);
    for (int i = 15; i >= 0; --i, value >>= 4) address[i] = "0123456789abcdef"[value & 0xF];
    address[16] = 0;
    char line[1024];
    size_t length = proc_format_crash_line(line, sizeof line, g_crash.line, time,
                                           record ? static_cast<uint32_t>(record->ExceptionCode) : 0, address);
    // The log is a text file: line ends as CR LF.
    char text[2048];
    size_t n = 0;
    for (size_t i = 0; i < length && n + 2 < sizeof text; ++i) {
        if (line[i] == '\n') text[n++] = '\r';
        text[n++] = line[i];
    }
    HANDLE file = g_crash.path[0] ? CreateFileW(g_crash.path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
                                  : INVALID_HANDLE_VALUE;
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, text, static_cast<DWORD>(n), &written, nullptr);
        CloseHandle(file);
    }
    return EXCEPTION_EXECUTE_HANDLER;  // end without the system's error dialog
}

bool token_elevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    BOOL ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    return ok && elevation.TokenIsElevated != 0;
}

// Quotes one argument the way the C runtime's command-line parser reads it back.
void append_quoted(std::wstring* line, const std::wstring& arg) {
    if (!line->empty()) *line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        *line += arg;
        return;
    }
    *line += L'"';
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < arg.size() && arg[i] == L'\\') {
            ++i;
            ++backslashes;
        }
        if (i == arg.size()) {
            line->append(backslashes * 2, L'\\');
            break;
        }
        if (arg[i] == L'"') {
            line->append(backslashes * 2 + 1, L'\\');
        } else {
            line->append(backslashes, L'\\');
        }
        *line += arg[i];
    }
    *line += L'"';
}

std::wstring command_line(const std::vector<std::string>& argv) {
    std::wstring line;
    for (const std::string& arg : argv) append_quoted(&line, to_wide(arg));
    return line;
}

}  // namespace

void proc_ensure_elevated() {
    if (token_elevated()) return;
    wchar_t path[MAX_PATH] = {};
    if (GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) return;
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.lpVerb = L"runas";
    info.lpFile = path;
    info.lpParameters = GetCommandLineW();
    info.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExW(&info)) ExitProcess(0);
    // Declined or impossible: run on unelevated.
}

InstanceLock proc_instance_try_lock(const std::string&) {
    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"Global\\ZelvoServiceNative");
    if (!mutex) return InstanceLock::failed;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return InstanceLock::busy;
    }
    return InstanceLock::acquired;  // owned and held until the process ends
}

void proc_install_crash_handler(const std::string& crash_log, const std::string& line) {
    std::wstring path = to_wide(crash_log);
    if (path.size() < std::size(g_crash.path)) std::copy(path.begin(), path.end(), g_crash.path);
    size_t count = std::min(line.size(), sizeof g_crash.line - 1);
    std::copy(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(count), g_crash.line);
    SetUnhandledExceptionFilter(crash_filter);
}

void proc_open_url(const std::string& url) {
    ShellExecuteW(nullptr, L"open", to_wide(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

ProcResult proc_run(const std::vector<std::string>& argv, uint32_t timeout_ms, size_t max_output,
                    bool merge_stderr) {
    ProcResult result;
    if (argv.empty()) return result;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return result;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE null_in = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null_in;
    startup.hStdOutput = write_end;
    startup.hStdError = merge_stderr ? write_end : null_in;
    PROCESS_INFORMATION process{};
    std::wstring line = command_line(argv);
    BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                                  &startup, &process);
    CloseHandle(write_end);
    if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
    if (!started) {
        CloseHandle(read_end);
        return result;
    }
    result.started = true;

    // Drain the pipe while waiting, so a chatty child never blocks on a full pipe; stop at the
    // child's exit even if a grandchild still holds the pipe open.
    auto drain = [&] {
        char buffer[16384];
        DWORD available = 0;
        while (PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            DWORD got = 0;
            if (!ReadFile(read_end, buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr) || got == 0) break;
            if (result.output.size() < max_output) {
                result.output.append(buffer, std::min<size_t>(got, max_output - result.output.size()));
            }
        }
    };
    ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (true) {
        drain();
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            result.timed_out = true;
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, INFINITE);
            break;
        }
        DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 20));
        if (WaitForSingleObject(process.hProcess, slice) == WAIT_OBJECT_0) {
            drain();
            DWORD code = 0;
            GetExitCodeProcess(process.hProcess, &code);
            result.exit_code = static_cast<int>(code);
            break;
        }
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(read_end);
    return result;
}

// Starts a command line with no window and no inherited handles, and lets go of it.
static bool spawn_hidden(std::wstring line) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

bool proc_spawn_detached(const std::vector<std::string>& argv) {
    if (argv.empty()) return false;
    return spawn_hidden(command_line(argv));
}

ScriptKind proc_script_kind() { return ScriptKind::batch; }

// cmd.exe takes the quoted path as it is; the C runtime's quoting rules do not apply to it.
bool proc_run_script_detached(const std::string& script_path) {
    return spawn_hidden(L"cmd.exe /c \"" + to_wide(script_path) + L"\"");
}

void proc_exit_now(int code) { ExitProcess(static_cast<UINT>(code)); }

uint32_t proc_id() { return GetCurrentProcessId(); }
