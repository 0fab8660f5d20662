// Process services: elevation, the single-instance guard, the crash handler, child processes
// with bounded waits and handing a URL to the desktop. Declared once here; platform/win32 and
// platform/posix each define them, and CMake links one back end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Windows: when the process token is not elevated, ask the shell to start this executable again
// with "runas" and the same command line, and end this process at once if the shell agreed.
// Elsewhere there is nothing to do.
void proc_ensure_elevated();

enum class InstanceLock { acquired, busy, failed };

// One try at the single-instance guard. `acquired` keeps the guard held until the process ends;
// `busy` means another instance holds it; `failed` that it cannot be had at all. Windows guards
// with its named mutex and does not use `lock_file`. POSIX holds an exclusive lock on `lock_file`
// (created with its folder, readable by its owner only, so no other user can take it first); put
// it inside what two instances must not share. Where that file cannot be opened at all, a per-user
// lock in the runtime folder guards instead.
InstanceLock proc_instance_try_lock(const std::string& lock_file);

// Installs the process-wide handler for fatal faults. On a fault it appends one line to
// `crash_log`, made from the template `line` with "{time}" replaced by the local time
// (2025-01-31T23:59:58), "{code}" by the exception code (Windows) or signal number (POSIX) as 8
// uppercase hex digits and "{address}" by the faulting address as the C library prints "%p"; then
// the process ends without a system error dialog. Everything the handler needs is prepared here:
// in a crashed process it allocates nothing and makes no call that may take a lock (on POSIX only
// async-signal-safe calls, on the thread's alternate stack, see platform/thread.h; the main thread
// calls thread_prepare_current too). POSIX also ignores SIGPIPE from here on: a write to a closed
// pipe or socket fails with EPIPE instead of ending the process.
void proc_install_crash_handler(const std::string& crash_log, const std::string& line);

struct CrashTime {
    int year, month, day, hour, minute, second;
};

// The calendar time `seconds` after 1970-01-01T00:00:00 (no leap seconds, any sign).
CrashTime proc_crash_time(int64_t seconds);

// Expands a crash line template as above into `out` (at most `capacity` - 1 bytes, always
// terminated; an unknown "{...}" is copied as it stands) and returns the length. Allocates
// nothing, so the crash handlers can use it.
size_t proc_format_crash_line(char* out, size_t capacity, const char* line, const CrashTime& time, uint32_t code,
                              const char* address);

// Opens a URL with the desktop's default handler; the outcome is not reported.
void proc_open_url(const std::string& url);

struct ProcResult {
    bool started = false;    // the program could be started at all
    bool timed_out = false;  // killed after the time limit
    int exit_code = -1;      // valid when started and not timed out
    std::string output;      // standard output (and error, when merged), up to the caller's cap
};

// Runs a program (argv[0] is searched on PATH) with no window, collects its standard output up
// to `max_output` bytes and waits at most `timeout_ms`; a program still running then is killed.
ProcResult proc_run(const std::vector<std::string>& argv, uint32_t timeout_ms,
                    size_t max_output = 1 << 20, bool merge_stderr = false);

// Starts a program detached and hidden, without waiting for it.
bool proc_spawn_detached(const std::vector<std::string>& argv);

// The kind of script this system's command interpreter runs.
enum class ScriptKind {
    batch,  // a cmd.exe batch file (".bat")
    shell,  // a POSIX sh script (".sh")
};
ScriptKind proc_script_kind();

// Starts a script of proc_script_kind() detached, hidden and without inherited handles, so that
// it outlives this process: "cmd.exe /c "<path>"" on Windows, "sh <path>" elsewhere.
bool proc_run_script_detached(const std::string& script_path);

// Ends the process at once with `code`: no exit handlers, no destructors; other threads stop
// wherever they are.
[[noreturn]] void proc_exit_now(int code);

// The current process's ID.
uint32_t proc_id();
