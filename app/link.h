// Keeping the account link: browser pairing, the reaction to a dropped link, reconnect runs, the
// watchdog and the tray's commands.
#pragma once

#include "core/json.h"

// Pairing: the code's alphabet (no I, O, 0 or 1) and a fresh code from six random bytes.
constexpr const char* PAIR_CODE_ALPHABET = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
std::string pair_make_code();

void on_pair_success(const cJSON* d);
void on_link_dropped(const cJSON* d);

// Starts the watchdog thread (once, at start-up).
void watchdog_start();

// The tray's command callback (TrayCommand indexes); runs on the main thread.
void tray_on_command(int command);
