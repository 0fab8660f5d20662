// The tray: a notification-area icon with a tooltip, a status line and a popup menu on Windows;
// a console stand-in elsewhere (state changes printed on standard output, commands read from
// standard input, SIGINT and SIGTERM acting as Exit). The caller supplies every text; the back
// ends only show them.
#pragma once

#include <string>
#include <vector>

// Menu command indexes handed to the command callback.
enum TrayCommand { TRAY_LOGIN = 0, TRAY_DASHBOARD = 1, TRAY_DISCONNECT = 2, TRAY_EXIT = 3 };

// Menu IDs of the commands; command index = ID - TRAY_ID_FIRST.
constexpr unsigned TRAY_ID_FIRST = 1001;

// Texts longer than this many UTF-16 units (one is left for the terminator) are cut by the back
// end, which may split a character; callers fit their texts first.
constexpr size_t TRAY_TEXT_UNITS = 128;

struct TrayMenuItem {
    enum Kind { label, separator, command } kind;
    std::string text;  // empty for separators
    unsigned id = 0;   // menu ID for commands
};

using TrayCommandFn = void (*)(int command);
// The popup menu for the linked flag and status line in force.
using TrayMenuFn = std::vector<TrayMenuItem> (*)(bool linked, const std::string& status);

struct TraySetup {
    std::string icon_path;       // icon file; the executable's own icon when it cannot be loaded
    std::string tooltip;         // shown from the start
    std::string status;          // status line until tray_set_status
    std::string notice_title;    // start-up notice, where the system shows one
    std::string notice_text;
    TrayMenuFn menu = nullptr;
    TrayCommandFn on_command = nullptr;
    void (*on_ready)() = nullptr;  // the icon is in place (or the console stand-in listens)
};

// Creates the tray and runs its loop on the calling thread until tray_close.
void tray_run(const TraySetup& setup);

// Tooltip text (UTF-8); ignored while the tray does not exist.
void tray_set_tooltip(const std::string& text);

// Status line shown in the menu (UTF-8); takes effect the next time the menu opens.
void tray_set_status(const std::string& text);

void tray_set_linked(bool linked);

// Ends the tray loop; callable from any thread.
void tray_close();
