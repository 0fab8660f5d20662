// The tray: a notification-area icon with a tooltip, a status line and a popup menu on Windows;
// a console stand-in elsewhere (state changes printed on standard output, commands read from
// standard input, SIGINT and SIGTERM acting as Exit).
#pragma once

#include <string>
#include <vector>

// Menu command indexes handed to the command callback.
enum TrayCommand { TRAY_LOGIN = 0, TRAY_DASHBOARD = 1, TRAY_DISCONNECT = 2, TRAY_EXIT = 3 };

using TrayCommandFn = void (*)(int command);

// Creates the tray and runs its loop on the calling thread until tray_close.
void tray_run(const std::string& icon_path, TrayCommandFn on_command);

// Tooltip text (UTF-8); ignored while the tray does not exist.
void tray_set_tooltip(const std::string& text);

// Status line shown in the menu (UTF-8); takes effect the next time the menu opens.
void tray_set_status(const std::string& text);

void tray_set_linked(bool linked);

// Ends the tray loop; callable from any thread.
void tray_close();

// --- Shared by both back ends -------------------------------------------------------------

// Longest tooltip or status text kept, in UTF-16 units (one is left for the terminator).
constexpr size_t TRAY_TEXT_UNITS = 128;

// Menu IDs of the commands; command index = ID - TRAY_ID_FIRST.
constexpr unsigned TRAY_ID_FIRST = 1001;

struct TrayMenuItem {
    enum Kind { label, separator, command } kind;
    std::string text;  // empty for separators
    unsigned id = 0;   // menu ID for commands
};

// The popup menu for the given state: version, status line, then the commands.
std::vector<TrayMenuItem> tray_menu_items(bool linked, const std::string& status);

// Cuts UTF-8 text so that it fits `units` UTF-16 units with a terminator, never inside a
// character.
std::string tray_fit_text(const std::string& text, size_t units = TRAY_TEXT_UNITS);
