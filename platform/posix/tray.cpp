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

namespace {

struct TrayState {
    std::mutex lock;                   // status line and standard output
    std::string status;                // guarded by lock
    bool status_set = false;           // tray_set_status ran before the loop (guarded by lock)
    TrayMenuFn menu = nullptr;         // set by tray_run before the loop
    std::atomic<bool> linked{false};
    std::atomic<bool> running{false};  // the loop exists (tooltip changes are shown)
    std::atomic<int> wake_write{-1};   // write end of the loop's wake-up pipe
};

// Never destroyed: detached threads set texts while the process exits.
TrayState& tray() {
    static TrayState* s = new TrayState;
    return *s;
}

void print_line(const std::string& line) {
    std::lock_guard<std::mutex> guard(tray().lock);
    std::fprintf(stdout, "tray: %s\n", line.c_str());
    std::fflush(stdout);
}

void wake(char reason) {
    int fd = tray().wake_write.load();
    if (fd >= 0) {
        ssize_t ignored = write(fd, &reason, 1);
        (void)ignored;
    }
}

void on_stop_signal(int) { wake('x'); }

void print_menu() {
    TrayState& t = tray();
    if (!t.menu) return;
    std::string status;
    {
        std::lock_guard<std::mutex> guard(t.lock);
        status = t.status;
    }
    static const char* const words[] = {"login", "dashboard", "disconnect", "exit"};
    for (const TrayMenuItem& item : t.menu(t.linked.load(), status)) {
        switch (item.kind) {
            case TrayMenuItem::label: print_line("menu: " + item.text + " (grayed)"); break;
            case TrayMenuItem::separator: print_line("menu: ----"); break;
            case TrayMenuItem::command:
                if (item.id >= TRAY_ID_FIRST && item.id <= TRAY_ID_FIRST + TRAY_EXIT) {
                    print_line("menu: " + item.text + " [" + words[item.id - TRAY_ID_FIRST] + "]");
                }
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

void tray_run(const TraySetup& setup) {
    TrayState& t = tray();
    TrayCommandFn on_command = setup.on_command;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    t.wake_write = fds[1];
    {
        std::lock_guard<std::mutex> guard(t.lock);
        if (!t.status_set) t.status = setup.status;
        t.menu = setup.menu;
    }

    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    t.running = true;
    print_line("tooltip: " + setup.tooltip);
    if (setup.on_ready) setup.on_ready();

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
    t.running = false;
    // Both pipe ends stay open: a late tray_close from another thread must neither write into a
    // recycled descriptor nor raise SIGPIPE. The process is about to end.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

void tray_set_tooltip(const std::string& text) {
    if (!tray().running) return;
    print_line("tooltip: " + text);
}

void tray_set_status(const std::string& text) {
    TrayState& t = tray();
    {
        std::lock_guard<std::mutex> guard(t.lock);
        t.status = text;
        t.status_set = true;
    }
    print_line("status: " + text);
}

void tray_set_linked(bool linked) { tray().linked = linked; }

void tray_close() { wake('c'); }
