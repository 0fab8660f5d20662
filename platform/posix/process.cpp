// POSIX back end of the process services: lock-file instance guard, fatal-signal handler, child
// processes (posix_spawn with a bounded wait) and xdg-open for URLs.
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
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/system.h"

extern char** environ;

namespace {

CrashWriter g_crash_writer = nullptr;  // set once at start-up, read by the signal handler

const int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

void on_fatal_signal(int signal_number, siginfo_t* info, void*) {
    if (g_crash_writer) g_crash_writer(static_cast<uint32_t>(signal_number), info ? info->si_addr : nullptr);
    // The handler was installed with SA_RESETHAND: raising again ends the process the usual way.
    raise(signal_number);
}

std::string lock_file_path() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') return std::string(runtime) + "/zelvo.lock";
    return "/tmp/zelvo-" + std::to_string(getuid()) + ".lock";
}

std::vector<char*> make_argv(const std::vector<std::string>& argv) {
    std::vector<char*> out;
    for (const std::string& arg : argv) out.push_back(const_cast<char*>(arg.c_str()));
    out.push_back(nullptr);
    return out;
}

}  // namespace

void proc_ensure_elevated() {}

InstanceLock proc_instance_try_lock() {
    int fd = open(lock_file_path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return InstanceLock::failed;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return InstanceLock::acquired;  // held until exit
    int error = errno;
    close(fd);
    return error == EWOULDBLOCK ? InstanceLock::busy : InstanceLock::failed;
}

void proc_install_crash_handler(CrashWriter writer) {
    g_crash_writer = writer;
    // Own stack for the handler, so a stack overflow is reported too.
    static char alt_stack[64 * 1024];
    stack_t ss{};
    ss.ss_sp = alt_stack;
    ss.ss_size = sizeof alt_stack;
    sigaltstack(&ss, nullptr);

    struct sigaction action {};
    action.sa_sigaction = on_fatal_signal;
    action.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int s : kFatalSignals) sigaction(s, &action, nullptr);
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
