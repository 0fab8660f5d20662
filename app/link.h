// Keeping the account link: browser pairing, the reaction to a dropped link, reconnect runs, the
// watchdog and the tray's commands.
#pragma once

#include <cstdint>
#include <string>

#include "core/json.h"

// Pairing: the code's alphabet (no I, O, 0 or 1) and a fresh code from six random bytes.
constexpr const char* PAIR_CODE_ALPHABET = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
std::string pair_make_code();

void on_pair_success(const cJSON* d);
void on_link_dropped(const cJSON* d);

// Sets the WebSocket URL every connection attempt uses; start-up calls it once, before
// link_start.
void link_set_url(const std::string& ws_url);

// Wants the link, starts the first connection and the watchdog (once, at start-up).
void link_start();

// Starts a detached connection thread for one connection; false (logged) when the thread could
// not be started.
bool link_connect();

// The tray texts for a linked account, and what a failed log-in leaves on the tray.
void link_show_linked(int32_t user_id, const std::string& user_name);
void link_on_auth_failure(bool revoked);

// Closes the connection (the updater's hand-over).
void link_close();

// The tray's command callback (TrayCommand indexes); runs on the main thread.
void tray_on_command(int command);
