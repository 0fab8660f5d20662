// Console stand-in for the tray: state changes are printed on standard output as "tray: ..."
// lines, commands are read line by line from standard input, and SIGINT/SIGTERM act as Exit.
#include "platform/tray.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "core/version.h"
#include "core/log.h"

namespace {

struct TrayState {
    std::mutex lock;                  // status line and standard output
    std::string status = "Not linked";
    std::atomic<bool> linked{false};
    std::atomic<bool> running{false};  // the loop exists (tooltip changes are shown)
    std::atomic<int> wake_write{-1};   // write end of the loop's wake-up pipe
};

TrayState g_tray;

void print_line(const std::string& line) {
    std::lock_guard<std::mutex> guard(g_tray.lock);
    std::fprintf(stdout, "tray: %s\n", line.c_str());
    std::fflush(stdout);
}

void wake(char reason) {
    int fd = g_tray.wake_write.load();
    if (fd >= 0) {
        ssize_t ignored = write(fd, &reason, 1);
        (void)ignored;
    }
}

void on_stop_signal(int) { wake('x'); }

void print_menu() {
    std::string status;
    {
        std::lock_guard<std::mutex> guard(g_tray.lock);
        status = g_tray.status;
    }
    static const char* const words[] = {"login", "dashboard", "disconnect", "exit"};
    for (const TrayMenuItem& item : tray_menu_items(g_tray.linked.load(), status)) {
        switch (item.kind) {
            case TrayMenuItem::label: print_line("menu: " + item.text + " (grayed)"); break;
            case TrayMenuItem::separator: print_line("menu: ----"); break;
            case TrayMenuItem::command:
                print_line("menu: " + item.text + " [" + words[item.id - TRAY_ID_FIRST] + "]");
                break;
        }
    }
}

void handle_line(std::string line, TrayCommandFn on_command) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) return;
    if (line == "login") on_command(TRAY_LOGIN);
    else if (line == "dashboard") on_command(TRAY_DASHBOARD);
    else if (line == "disconnect") on_command(TRAY_DISCONNECT);
    else if (line == "exit") on_command(TRAY_EXIT);
    else if (line == "menu") print_menu();
    else print_line("unknown command \"" + line + "\" (login, dashboard, disconnect, exit, menu)");
}

}  // namespace

void tray_run(const std::string&, TrayCommandFn on_command) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    g_tray.wake_write = fds[1];

    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    g_tray.running = true;
    print_line("tooltip: Zelvo v" ZELVO_VERSION);
    log_write(LOG_INFO, "System tray icon added");

    bool stdin_open = true;
    std::string pending;
    bool done = false;
    while (!done) {
        pollfd pfd[2] = {{fds[0], POLLIN, 0}, {stdin_open ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(pfd, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (pfd[0].revents & POLLIN) {
            char reason = 0;
            if (read(fds[0], &reason, 1) == 1) {
                if (reason == 'c') done = true;            // tray_close
                else if (reason == 'x') on_command(TRAY_EXIT);  // SIGINT / SIGTERM
            }
        }
        if (!done && stdin_open && (pfd[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buffer[1024];
            ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                stdin_open = false;  // no console: keep running until Exit or a signal
                continue;
            }
            pending.append(buffer, static_cast<size_t>(n));
            size_t newline;
            while ((newline = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, newline);
                pending.erase(0, newline + 1);
                handle_line(line, on_command);
            }
        }
    }
    g_tray.running = false;
    // Both pipe ends stay open: a late tray_close from another thread must neither write into a
    // recycled descriptor nor raise SIGPIPE. The process is about to end.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

void tray_set_tooltip(const std::string& text) {
    if (!g_tray.running) return;
    print_line("tooltip: " + tray_fit_text(text));
}

void tray_set_status(const std::string& text) {
    std::string fitted = tray_fit_text(text);
    {
        std::lock_guard<std::mutex> guard(g_tray.lock);
        g_tray.status = fitted;
    }
    print_line("status: " + fitted);
}

void tray_set_linked(bool linked) { g_tray.linked = linked; }

void tray_close() { wake('c'); }
