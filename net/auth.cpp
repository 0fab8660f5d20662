// Authentication and device key (libsodium's Ed25519, RFC 8032).
#include "net/auth.h"

#include <sodium.h>

#include <atomic>
#include <cstring>
#include <mutex>

#include "core/version.h"
#include "core/config.h"
#include "core/log.h"
#include "core/util.h"
#include "net/proto.h"
#include "platform/system.h"

namespace {

constexpr size_t kMaxUserName = 63;

struct AuthState {
    unsigned char seed[crypto_sign_SEEDBYTES] = {};
    unsigned char public_key[crypto_sign_PUBLICKEYBYTES] = {};
    unsigned char secret_key[crypto_sign_SECRETKEYBYTES] = {};  // seed and public key, libsodium's form
    std::string public_text;                 // base64 of the public key
    std::atomic<bool> ready{false};          // set once by auth_init, before other threads exist
    std::atomic<int32_t> user_id{0};
    std::mutex name_lock;                    // the name is written by the connection and main threads
    std::string user_name;
    AuthHooks hooks;                         // set by start-up before the first connection
};

// Never destroyed: connection threads may outlive main.
AuthState& state() {
    static AuthState* s = new AuthState;
    return *s;
}

bool use_seed(const unsigned char* seed) {
    AuthState& s = state();
    std::memcpy(s.seed, seed, sizeof s.seed);
    if (crypto_sign_seed_keypair(s.public_key, s.secret_key, s.seed) != 0) return false;
    s.public_text = base64_encode(s.public_key, sizeof s.public_key);
    s.ready = true;
    return true;
}

void on_connected(const cJSON*) {
    JsonPtr config = config_load();
    if (!json_item(config.get(), "private_key")) return;  // not linked
    log_write(LOG_INFO, "auth: sending auth_key challenge request");
    std::string hostname;
    get_hostname(&hostname);
    cJSON* d = cJSON_CreateObject();
    cJSON_AddStringToObject(d, "machine_id", get_machine_id().c_str());
    cJSON_AddStringToObject(d, "platform", sys_platform_name());
    cJSON_AddStringToObject(d, "version", ZELVO_VERSION);
    cJSON_AddStringToObject(d, "build", ZELVO_BUILD);
    cJSON_AddStringToObject(d, "hostname", hostname.c_str());
    proto_send("service_auth_key", d);
}

void on_challenge(const cJSON* d) {
    const char* challenge = json_string(d, "challenge");
    if (!challenge || !*challenge) {
        log_write(LOG_WARN, "auth: empty challenge");
        return;
    }
    std::string signature = auth_sign(challenge);
    if (signature.empty()) {
        log_write(LOG_ERROR, "auth: failed to sign challenge");
        return;
    }
    cJSON* answer = cJSON_CreateObject();
    cJSON_AddStringToObject(answer, "signature", base64_encode(signature.data(), signature.size()).c_str());
    cJSON_AddStringToObject(answer, "public_key", auth_public_key().c_str());
    proto_send("auth_response", answer);
    log_write(LOG_INFO, "auth: signed challenge, sent response");
}

void on_ok(const cJSON* d) {
    AuthState& s = state();
    s.user_id = json_int(d, "user_id", 0);
    const char* name = json_string(d, "username");
    std::string user;
    {
        std::lock_guard<std::mutex> guard(s.name_lock);
        if (name && *name) s.user_name = utf8_cut(name, kMaxUserName);
        user = s.user_name;
    }
    log_write(LOG_INFO, "auth: authenticated as %s (user_id=%d)", user.c_str(), static_cast<int>(s.user_id));
    if (s.hooks.on_login) s.hooks.on_login(s.user_id, user);

    const char* latest = json_string(d, "latest_version");
    const char* url = json_string(d, "download_url");
    if (latest && *latest && url && *url) {
        log_write(LOG_INFO, "auth: server reports latest version v%s (current v%s)", latest, ZELVO_VERSION);
        JsonPtr request(cJSON_CreateObject());
        cJSON_AddStringToObject(request.get(), "version", latest);
        cJSON_AddStringToObject(request.get(), "download_url", url);
        if (const char* file = json_string(d, "filename")) cJSON_AddStringToObject(request.get(), "filename", file);
        if (s.hooks.on_version) s.hooks.on_version(request.get());
    }
}

void on_fail(const cJSON* d) {
    const char* error = json_string(d, "error");
    log_write(LOG_ERROR, "auth: auth failed: %s", error ? error : "Unknown error");
    bool revoked = error && std::strstr(error, "revoked");
    if (revoked) {
        config_delete();
        log_write(LOG_INFO, "auth: cleared config (key revoked)");
    }
    AuthState& s = state();
    if (s.hooks.on_failure) s.hooks.on_failure(revoked);
}

}  // namespace

void auth_init() {
    if (sodium_init() < 0) log_write(LOG_ERROR, "auth: libsodium could not be initialised");
    JsonPtr config = config_load();
    if (const char* stored = json_string(config.get(), "private_key"); stored && *stored) {
        std::optional<Bytes> seed = base64_decode(stored);
        if (seed && seed->size() == crypto_sign_SEEDBYTES && use_seed(seed->data())) {
            sodium_memzero(seed->data(), seed->size());
            log_write(LOG_INFO, "auth: loaded keypair from config");
            return;
        }
        if (seed) sodium_memzero(seed->data(), seed->size());
    }
    unsigned char seed[crypto_sign_SEEDBYTES];
    if (!sys_random(seed, sizeof seed)) randombytes_buf(seed, sizeof seed);
    use_seed(seed);
    sodium_memzero(seed, sizeof seed);
    auth_save_private_key();
    log_write(LOG_INFO, "auth: generated new keypair");
}

void auth_set_hooks(const AuthHooks& hooks) { state().hooks = hooks; }

void auth_register() {
    proto_on("_connected", on_connected);
    proto_on("auth_challenge", on_challenge);
    proto_on("auth_ok", on_ok);
    proto_on("auth_fail", on_fail);
}

std::string auth_public_key() { return state().public_text; }

int32_t auth_user_id() { return state().user_id; }

std::string auth_user_name() {
    AuthState& s = state();
    std::lock_guard<std::mutex> guard(s.name_lock);
    return s.user_name;
}

void auth_set_identity(int32_t user_id, const std::string& user_name) {
    AuthState& s = state();
    s.user_id = user_id;
    std::lock_guard<std::mutex> guard(s.name_lock);
    if (!user_name.empty()) s.user_name = utf8_cut(user_name, kMaxUserName);
}

void auth_clear_identity() {
    AuthState& s = state();
    s.user_id = 0;
    std::lock_guard<std::mutex> guard(s.name_lock);
    s.user_name.clear();
}

void auth_save_private_key() {
    AuthState& s = state();
    if (!s.ready) return;
    std::string encoded = base64_encode(s.seed, sizeof s.seed);
    JsonPtr update(cJSON_CreateObject());
    cJSON_AddStringToObject(update.get(), "private_key", encoded.c_str());
    config_save(update.get());
    sodium_memzero(encoded.data(), encoded.size());
}

std::string auth_sign(const std::string& message) {
    AuthState& s = state();
    if (!s.ready) return {};
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                         s.secret_key);
    return std::string(reinterpret_cast<char*>(signature), sizeof signature);
}
