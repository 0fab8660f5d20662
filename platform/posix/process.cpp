// POSIX back end of the process services: lock-file instance guard, fatal-signal handler (crash
// line written with async-signal-safe calls only), child processes (posix_spawn with a bounded
// wait) and xdg-open for URLs.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <string>

#include "platform/system.h"

extern char** environ;

namespace {

// Everything the fatal-signal handler uses, prepared by proc_install_crash_handler: a handler
// running in a crashed process may find the heap or a lock broken, so it only formats into these
// buffers and calls open/write/close.
struct CrashSetup {
    char path[4096] = {};   // the crash log
    char line[512] = {};    // the line template
    long utc_offset = 0;    // seconds east of UTC when the handler was installed
};
CrashSetup g_crash;

const int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

// "%p" as glibc prints it.
void address_text(const void* address, char* out) {
    if (!address) {
        std::memcpy(out, "(nil)", 6);
        return;
    }
    char digits[16];
    int n = 0;
    for (uintptr_t v = reinterpret_cast<uintptr_t>(address); v; v >>= 4) digits[n++] = "0123456789abcdef"[v & 0xF];
    *out++ = '0';
    *out++ = 'x';
    while (n) *out++ = digits[--n];
    *out = 0;
}

void on_fatal_signal(int signal_number, siginfo_t* info, void*) {
    int saved_errno = errno;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char address[24];
    address_text(info ? info->si_addr : nullptr, address);
    char text[1024];
    size_t length = proc_format_crash_line(text, sizeof text, g_crash.line,
                                           proc_crash_time(now.tv_sec + g_crash.utc_offset),
                                           static_cast<uint32_t>(signal_number), address);
    int fd = g_crash.path[0] ? open(g_crash.path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666) : -1;
    if (fd >= 0) {
        for (size_t done = 0; done < length;) {
            ssize_t n = write(fd, text + done, length - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        close(fd);
    }
    errno = saved_errno;
    // Installed with SA_RESETHAND: raising again ends the process the usual way once we return.
    raise(signal_number);
}

// Creates the folders leading to `path`, as mkdir -p does for its parent.
void make_parent_dirs(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0700);  // an existing folder is fine
    }
}

std::vector<char*> make_argv(const std::vector<std::string>& argv) {
    std::vector<char*> out;
    for (const std::string& arg : argv) out.push_back(const_cast<char*>(arg.c_str()));
    out.push_back(nullptr);
    return out;
}

// $XDG_RUNTIME_DIR/zelvo.lock, else /tmp/zelvo-<uid>.lock.
std::string runtime_lock_path() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') return std::string(runtime) + "/zelvo.lock";
    return "/tmp/zelvo-" + std::to_string(getuid()) + ".lock";
}

}  // namespace

void proc_ensure_elevated() {}

InstanceLock proc_instance_try_lock(const std::string& lock_file) {
    const int flags = O_CLOEXEC | O_NOFOLLOW;
    int fd = open(lock_file.c_str(), O_RDWR | O_CREAT | flags, 0600);
    if (fd < 0 && errno == ENOENT) {
        make_parent_dirs(lock_file);
        fd = open(lock_file.c_str(), O_RDWR | O_CREAT | flags, 0600);
    }
    // A read-only folder still guards: a lock needs no write access to the file.
    if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = open(lock_file.c_str(), O_RDONLY | flags);
    // A folder that cannot hold the lock at all must not stop the agent (it runs on without its
    // configuration folder too): guard with a per-user lock in the runtime folder instead.
    if (fd < 0) fd = open(runtime_lock_path().c_str(), O_RDWR | O_CREAT | flags, 0600);
    if (fd < 0) return InstanceLock::failed;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return InstanceLock::acquired;  // held until exit
    int error = errno;
    close(fd);
    return error == EWOULDBLOCK ? InstanceLock::busy : InstanceLock::failed;
}

void proc_install_crash_handler(const std::string& crash_log, const std::string& line) {
    std::snprintf(g_crash.path, sizeof g_crash.path, "%s", crash_log.c_str());
    std::snprintf(g_crash.line, sizeof g_crash.line, "%s", line.c_str());
    tzset();
    time_t now = time(nullptr);
    tm local{};
    if (localtime_r(&now, &local)) g_crash.utc_offset = local.tm_gmtoff;

    // The handler runs on the alternate stack that thread_prepare_current gives each thread, so a
    // fault on an exhausted stack is reported too.
    struct sigaction action {};
    action.sa_sigaction = on_fatal_signal;
    action.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int s : kFatalSignals) sigaction(s, &action, nullptr);

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

void proc_open_url(const std::string& url) { proc_spawn_detached({"xdg-open", url}); }

ProcResult proc_run(const std::vector<std::string>& argv, uint32_t timeout_ms, size_t max_output,
                    bool merge_stderr) {
    ProcResult result;
    if (argv.empty()) return result;
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return result;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    if (merge_stderr) posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDERR_FILENO);
    else posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    std::vector<char*> args = make_argv(argv);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    if (rc != 0) {
        close(pipe_fds[0]);
        return result;
    }
    result.started = true;

    uint64_t deadline = sys_ticks_ms() + timeout_ms;
    char buffer[16384];
    bool open_pipe = true;
    while (open_pipe) {
        uint64_t now = sys_ticks_ms();
        if (now >= deadline) {
            result.timed_out = true;
            break;
        }
        pollfd pfd{pipe_fds[0], POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(deadline - now));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            open_pipe = false;
        } else if (result.output.size() < max_output) {
            result.output.append(buffer, std::min(static_cast<size_t>(n), max_output - result.output.size()));
        }
    }
    close(pipe_fds[0]);

    int status = 0;
    if (result.timed_out) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return result;
    }
    // Output closed; the program may still be running (it closed its stdout): keep the bound.
    while (true) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return result;
        if (sys_ticks_ms() >= deadline) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return result;
        }
        sys_sleep_ms(10);
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

bool proc_spawn_detached(const std::vector<std::string>& argv) {
    if (argv.empty()) return false;
    std::vector<char*> args = make_argv(argv);
    // Fork twice so the program is adopted by init and never left as our zombie.
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        setsid();
        pid_t grandchild = fork();
        if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0) {
            dup2(null_fd, STDIN_FILENO);
            dup2(null_fd, STDOUT_FILENO);
            dup2(null_fd, STDERR_FILENO);
        }
        // Inherit nothing else (log file, sockets): the program may outlive us by a long time.
        close_range(3, ~0U, 0);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

ScriptKind proc_script_kind() { return ScriptKind::shell; }

bool proc_run_script_detached(const std::string& script_path) { return proc_spawn_detached({"sh", script_path}); }

void proc_exit_now(int code) { _exit(code); }

uint32_t proc_id() { return static_cast<uint32_t>(getpid()); }
