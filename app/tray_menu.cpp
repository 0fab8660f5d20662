// The tray's wording and menu layout; the platform back ends only display them.
#include "app/tray_menu.h"

#include "core/util.h"
#include "core/version.h"

std::vector<TrayMenuItem> tray_menu_items(bool linked, const std::string& status) {
    std::vector<TrayMenuItem> items;
    items.push_back({TrayMenuItem::label, "Zelvo v" ZELVO_VERSION, 0});
    items.push_back({TrayMenuItem::label, status, 0});
    items.push_back({TrayMenuItem::separator, "", 0});
    if (linked) {
        items.push_back({TrayMenuItem::command, "Open Dashboard", TRAY_ID_FIRST + TRAY_DASHBOARD});
        items.push_back({TrayMenuItem::separator, "", 0});
        items.push_back({TrayMenuItem::command, "Disconnect", TRAY_ID_FIRST + TRAY_DISCONNECT});
    } else {
        items.push_back({TrayMenuItem::command, "Login with Browser", TRAY_ID_FIRST + TRAY_LOGIN});
    }
    items.push_back({TrayMenuItem::separator, "", 0});
    items.push_back({TrayMenuItem::command, "Exit", TRAY_ID_FIRST + TRAY_EXIT});
    return items;
}

TraySetup tray_setup(const std::string& icon_path, TrayCommandFn on_command, void (*on_ready)()) {
    TraySetup setup;
    setup.icon_path = icon_path;
    setup.tooltip = "Zelvo v" ZELVO_VERSION;
    setup.status = "Not linked";
    setup.notice_title = "Zelvo";
    setup.notice_text = "Zelvo is running.\nRight-click for menu, double-click for dashboard.";
    setup.menu = tray_menu_items;
    setup.on_command = on_command;
    setup.on_ready = on_ready;
    return setup;
}

void tray_show_status(const std::string& text) { tray_set_status(utf8_fit_units(text, TRAY_TEXT_UNITS)); }

void tray_show_tooltip(const std::string& text) { tray_set_tooltip(utf8_fit_units(text, TRAY_TEXT_UNITS)); }
