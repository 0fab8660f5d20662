// Device key and authentication: the Ed25519 key that identifies this PC, the challenge-response
// on every connection, and the identity of the linked account.
#pragma once

#include <cstdint>
#include <string>

#include "core/json.h"

// What authentication tells the rest of the agent, which it cannot know itself. Start-up fills
// these before the first connection; each runs on the connection thread and may be empty.
struct AuthHooks {
    // "auth_ok": the identity in force (the name may be empty).
    void (*on_login)(int32_t user_id, const std::string& user_name) = nullptr;
    // "auth_ok" announced a version: {"version", "download_url"[, "filename"]}, borrowed.
    void (*on_version)(const cJSON* request) = nullptr;
    // "auth_fail"; `revoked` when the server revoked the key and the configuration was deleted.
    void (*on_failure)(bool revoked) = nullptr;
};
void auth_set_hooks(const AuthHooks& hooks);

// Loads the device key from the configuration, or creates and stores a new one.
void auth_init();

// Binds "_connected" (ask for a challenge when linked) and "auth_challenge", "auth_ok",
// "auth_fail".
void auth_register();

// The public key, base64 (44 characters).
std::string auth_public_key();

// The linked account's ID; 0 while the connection is not authenticated.
int32_t auth_user_id();
std::string auth_user_name();

// Stores the account identity; the name (cut to 63 bytes on a character boundary) only when given.
void auth_set_identity(int32_t user_id, const std::string& user_name);
void auth_clear_identity();

// Writes the in-memory seed into the configuration as "private_key".
void auth_save_private_key();

// Signs `message` with the device key (64 bytes, R then S); empty when the key is not ready.
std::string auth_sign(const std::string& message);
