// What the tray shows: its start-up texts, the popup menu for each state and the fitting of texts
// to the tray's fields.
#pragma once

#include <string>
#include <vector>

#include "platform/tray.h"

// The popup menu for the given state: version, status line, then the commands.
std::vector<TrayMenuItem> tray_menu_items(bool linked, const std::string& status);

// Everything tray_run needs; `on_ready` runs once the icon is in place.
TraySetup tray_setup(const std::string& icon_path, TrayCommandFn on_command, void (*on_ready)());

// The status line and tooltip, cut to whole characters within the tray's 127 units.
void tray_show_status(const std::string& text);
void tray_show_tooltip(const std::string& text);
