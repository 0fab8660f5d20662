// Configuration store and machine identity: one JSON object in "zelvo.conf" inside the
// configuration folder, which also holds the logs.
#pragma once

#include <string>

#include "core/json.h"

// The configuration folder this process will use: "Zelvo" in the user's application-data folder,
// else the executable's folder. Reads the environment only and creates nothing, so start-up can
// guard the folder and place the crash log before config_init.
std::string config_choose_dir();

// Chooses (as config_choose_dir) and creates the configuration folder, sets the file path and
// seeds the file from a "zelvo.conf" beside the executable when the folder has none yet.
void config_init();

std::string config_get_dir();
std::string config_get_path();

// The parsed file; null when it is missing, empty, over 10 MiB or not valid JSON.
JsonPtr config_load();

// Merges every member of `object` into the file (a key saved again moves to the end) and puts the
// new file in place atomically. Returns false when the file could not be written.
bool config_save(const cJSON* object);

void config_delete();

// 12 lowercase hex digits; created and saved when the file has none.
std::string get_machine_id();

// Reads "server_url" from the file and makes it the server base URL in force when it is a valid
// http(s) origin; otherwise the built-in default stays in force.
void config_apply_server_url();

// Reads the test-only "test_period_scale" (a number in (0, 1)) and shortens the waiting periods
// by it (core/periods.h); absent in every real configuration, so the real periods stay in force.
void config_apply_test_settings();

// The server base URL in force, without a trailing slash (for instance "https://host:8443").
std::string config_server_url();

// Whether a text is an acceptable server base URL: http:// or https://, a host, nothing after the
// optional port but an optional single slash.
bool config_valid_server_url(const std::string& url);
