// The accounts area: pairing a PC's device key with an account, the challenge-response on every
// connection, and the devices and accounts kept in data_dir/devices.json. Routes are in
// accounts_routes.cpp.

#include <sodium.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "server/accounts.h"
#include "server/server.h"
#include "server/sessions.h"

namespace {

constexpr std::string_view PAIR_CODE_ALPHABET = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
constexpr size_t PAIR_CODE_LENGTH = 6;
constexpr size_t CHALLENGE_BYTES = 32;
constexpr const char* DEFAULT_USERNAME = "demo";
constexpr size_t MAX_USERNAME_BYTES = 256;
// The agent keeps the user id as a signed 32-bit number.
constexpr int64_t MAX_USER_ID = 2147483647;

// Text for a log line: quoted and escaped, whatever the agent put in it.
std::string shown(const std::string& text) {
    JsonPtr item(cJSON_CreateString(json_safe(text).c_str()));
    return json_print(item.get());
}

std::string base64_encode(const unsigned char* data, size_t size) {
    std::string out(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
    out.resize(out.size() - 1);  // the terminating NUL
    return out;
}

// Standard base64 with padding, nothing before or after it.
std::optional<std::string> base64_decode(const std::string& text) {
    std::string out(text.size() / 4 * 3 + 3, '\0');
    size_t size = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(), text.size(), nullptr,
                          &size, &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size()) {
        return std::nullopt;
    }
    out.resize(size);
    return out;
}

// The one spelling of a public key that devices are stored under; nothing unless the text is
// base64 of exactly one Ed25519 public key.
std::optional<std::string> canonical_key(const std::string& text) {
    const auto key = base64_decode(text);
    if (!key || key->size() != crypto_sign_PUBLICKEYBYTES) return std::nullopt;
    return base64_encode(reinterpret_cast<const unsigned char*>(key->data()), key->size());
}

// Ed25519 (RFC 8032) over exactly the challenge's bytes.
bool verify(const std::string& signature_text, const std::string& challenge, const std::string& public_key_text) {
    const auto signature = base64_decode(signature_text);
    const auto key = base64_decode(public_key_text);
    if (!signature || signature->size() != crypto_sign_BYTES || !key || key->size() != crypto_sign_PUBLICKEYBYTES) {
        return false;
    }
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature->data()),
                                       reinterpret_cast<const unsigned char*>(challenge.data()), challenge.size(),
                                       reinterpret_cast<const unsigned char*>(key->data())) == 0;
}

bool valid_pair_code(const std::string& code) {
    return code.size() == PAIR_CODE_LENGTH &&
           std::all_of(code.begin(), code.end(),
                       [](char c) { return PAIR_CODE_ALPHABET.find(c) != std::string_view::npos; });
}

std::string string_member(const cJSON* object, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    return cJSON_IsString(item) ? item->valuestring : "";
}

Device* find_device(AccountState& state, const std::string& public_key) {
    for (auto& device : state.devices) {
        if (device.public_key == public_key) return &device;
    }
    return nullptr;
}

std::string devices_path(const ServerState& state) {
    return (std::filesystem::path(state.data_dir) / "devices.json").string();
}

// The account a confirmation links to, as it will be once confirmed; nothing, with the status and
// reason, when it contradicts the accounts there are.
std::optional<Account> resolve_account(const AccountState& state, const PairConfirmation& confirmation,
                                       unsigned* status, std::string* error) {
    if (confirmation.username &&
        (confirmation.username->empty() || confirmation.username->size() > MAX_USERNAME_BYTES ||
         json_safe(*confirmation.username) != *confirmation.username)) {
        *status = 400;
        *error = "invalid username";
        return std::nullopt;
    }
    if (confirmation.user_id && (*confirmation.user_id < 1 || *confirmation.user_id > MAX_USER_ID)) {
        *status = 400;
        *error = "invalid user_id";
        return std::nullopt;
    }
    if (!confirmation.user_id) {
        const std::string name = confirmation.username.value_or(DEFAULT_USERNAME);
        if (const Account* existing = find_account(state, name)) return *existing;
        int64_t highest = 0;
        for (const auto& account : state.accounts) highest = std::max(highest, account.user_id);
        return Account{highest + 1, name};
    }
    const int64_t id = *confirmation.user_id;
    const Account* existing = find_account(state, id);
    const std::string name = confirmation.username ? *confirmation.username
                             : existing            ? existing->username
                                                   : "user" + std::to_string(id);
    const Account* named = find_account(state, name);
    if (named && named->user_id != id) {
        *status = 409;
        *error = "user name " + name + " belongs to user_id " + std::to_string(named->user_id);
        return std::nullopt;
    }
    return Account{id, name};
}

void on_pair_request(Server& server, uint64_t conn, const cJSON* data) {
    ServerState& state = server.state();
    Pairing pairing;
    pairing.code = string_member(data, "code");
    pairing.conn = conn;
    const auto key = canonical_key(string_member(data, "public_key"));
    if (!valid_pair_code(pairing.code)) {
        print_line("pair conn=" + std::to_string(conn) + ": refused code " + shown(pairing.code));
        return;
    }
    if (!key) {
        print_line("pair conn=" + std::to_string(conn) + ": refused public key " +
                   shown(string_member(data, "public_key")));
        return;
    }
    // A code belongs to the connection that asked first: another connection sending the same
    // code would otherwise have its own key linked when the user confirms the code on the page.
    if (const auto pending = state.pairings.find(pairing.code);
        pending != state.pairings.end() && pending->second.conn != conn) {
        print_line("pair conn=" + std::to_string(conn) + ": refused code " + pairing.code +
                   ", pending for conn=" + std::to_string(pending->second.conn));
        return;
    }
    pairing.public_key = *key;
    pairing.platform = string_member(data, "platform");
    pairing.version = string_member(data, "version");
    pairing.build = string_member(data, "build");
    pairing.machine_id = string_member(data, "machine_id");
    pairing.hostname = string_member(data, "hostname");
    print_line("pair conn=" + std::to_string(conn) + ": pending code " + pairing.code + " host " +
               shown(pairing.hostname));
    // The same connection sending its code again replaces its earlier request.
    state.pairings[pairing.code] = std::move(pairing);
}

void on_auth_key(Server& server, uint64_t conn, const cJSON* data) {
    Connection* connection = find_connection(server, conn);
    if (!connection) return;
    unsigned char random[CHALLENGE_BYTES];
    randombytes_buf(random, sizeof random);
    std::string challenge(sodium_base64_ENCODED_LEN(sizeof random, sodium_base64_VARIANT_URLSAFE_NO_PADDING), '\0');
    sodium_bin2base64(challenge.data(), challenge.size(), random, sizeof random,
                      sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    challenge.resize(challenge.size() - 1);
    // A new request replaces an unanswered challenge.
    connection->challenge = challenge;
    print_line("auth conn=" + std::to_string(conn) + ": challenge for machine " +
               shown(string_member(data, "machine_id")));
    JsonPtr answer(cJSON_CreateObject());
    cJSON_AddStringToObject(answer.get(), "challenge", challenge.c_str());
    send_event(server, conn, "auth_challenge", std::move(answer));
}

void on_auth_response(Server& server, uint64_t conn, const cJSON* data) {
    ServerState& state = server.state();
    Connection* connection = find_connection(server, conn);
    if (!connection) return;
    // Used once, whatever the outcome.
    const std::string challenge = std::exchange(connection->challenge, {});

    std::string error;
    const Account* account = nullptr;
    if (state.auth_fail_count != 0) {
        error = state.auth_fail_error;
        if (state.auth_fail_count > 0 && --state.auth_fail_count == 0) state.auth_fail_error.clear();
    } else if (challenge.empty()) {
        error = "no challenge";
    } else {
        const auto key = canonical_key(string_member(data, "public_key"));
        const Device* device = key ? find_device(state, *key) : nullptr;
        if (device) account = find_account(state, device->user_id);
        if (!device || !account) {
            error = "unknown device";
        } else if (!verify(string_member(data, "signature"), challenge, *key)) {
            error = "invalid signature";
        } else if (device->revoked) {
            error = "device key revoked";
        }
    }

    JsonPtr answer(cJSON_CreateObject());
    if (!error.empty() || !account) {
        connection->authenticated = false;
        connection->user_id = 0;
        connection->username.clear();
        print_line("auth conn=" + std::to_string(conn) + ": failed: " + shown(error));
        cJSON_AddStringToObject(answer.get(), "error", error.c_str());
        return send_event(server, conn, "auth_fail", std::move(answer));
    }
    connection->authenticated = true;
    connection->user_id = account->user_id;
    connection->username = account->username;
    print_line("auth conn=" + std::to_string(conn) + ": authenticated as " + shown(account->username) +
               " user_id=" + std::to_string(account->user_id));
    cJSON_AddNumberToObject(answer.get(), "user_id", static_cast<double>(account->user_id));
    cJSON_AddStringToObject(answer.get(), "username", account->username.c_str());
    if (const auto& offer = state.update_offer) {
        for (const auto& [name, value] : {std::pair{"latest_version", &offer->latest_version},
                                          std::pair{"download_url", &offer->download_url},
                                          std::pair{"filename", &offer->filename}}) {
            if (*value) cJSON_AddStringToObject(answer.get(), name, (*value)->c_str());
        }
    }
    send_event(server, conn, "auth_ok", std::move(answer));
}

}  // namespace

const Account* find_account(const AccountState& state, int64_t user_id) {
    for (const auto& account : state.accounts) {
        if (account.user_id == user_id) return &account;
    }
    return nullptr;
}

const Account* find_account(const AccountState& state, const std::string& username) {
    for (const auto& account : state.accounts) {
        if (account.username == username) return &account;
    }
    return nullptr;
}

void accounts_on_event(Server& server, uint64_t conn, const std::string& text) {
    JsonPtr message = json_parse(text);
    const cJSON* event = cJSON_GetObjectItemCaseSensitive(message.get(), "e");
    const cJSON* data = cJSON_GetObjectItemCaseSensitive(message.get(), "d");
    if (!cJSON_IsString(event)) return;
    const std::string name = event->valuestring;
    if (name != "service_pair_request" && name != "service_auth_key" && name != "auth_response") return;
    if (!cJSON_IsObject(data)) {
        print_line(name + " conn=" + std::to_string(conn) + ": ignored, \"d\" is not an object");
        return;
    }
    if (name == "service_pair_request") on_pair_request(server, conn, data);
    if (name == "service_auth_key") on_auth_key(server, conn, data);
    if (name == "auth_response") on_auth_response(server, conn, data);
}

void confirm_pairing(Server& server, const PairConfirmation& confirmation, PairDone done) {
    ServerState& state = server.state();
    const auto found = state.pairings.find(confirmation.code);
    if (found == state.pairings.end()) return done(404, "unknown or expired code", {});
    const Pairing pairing = found->second;
    unsigned status = 0;
    std::string error;
    const auto account = resolve_account(state, confirmation, &status, &error);
    if (!account) return done(status, error, {});
    if (!find_link(server, pairing.conn)) return done(409, "the PC's connection is gone", {});

    auto existing = std::find_if(state.accounts.begin(), state.accounts.end(),
                                 [&account](const Account& known) { return known.user_id == account->user_id; });
    if (existing != state.accounts.end()) {
        existing->username = account->username;
    } else {
        state.accounts.push_back(*account);
    }
    Device* device = find_device(state, pairing.public_key);
    if (!device) {
        state.devices.push_back(Device{pairing.public_key, 0, "", "", false});
        device = &state.devices.back();
    }
    device->user_id = account->user_id;
    device->machine_id = pairing.machine_id;
    device->hostname = pairing.hostname;
    // Linking again is how a PC whose key was revoked comes back.
    device->revoked = false;
    accounts_save(server);
    // The agent counts this connection as linked from "pair_success" on.
    if (Connection* connection = find_connection(server, pairing.conn)) {
        connection->authenticated = true;
        connection->user_id = account->user_id;
        connection->username = account->username;
    }
    print_line("pair conn=" + std::to_string(pairing.conn) + ": code " + pairing.code + " linked to " +
               shown(account->username) + " user_id=" + std::to_string(account->user_id));

    JsonPtr data(cJSON_CreateObject());
    if (!confirmation.omit_username) cJSON_AddStringToObject(data.get(), "username", account->username.c_str());
    if (!confirmation.omit_user_id) {
        cJSON_AddNumberToObject(data.get(), "user_id", static_cast<double>(account->user_id));
    }
    send_event(server, pairing.conn, "pair_success", std::move(data),
               [&server, pairing, account = *account, done = std::move(done)](const std::string& send_error) {
                   if (!send_error.empty()) return done(409, "the PC's connection is gone: " + send_error, account);
                   auto& pairings = server.state().pairings;
                   const auto pending = pairings.find(pairing.code);
                   if (pending != pairings.end() && pending->second.conn == pairing.conn &&
                       pending->second.public_key == pairing.public_key) {
                       pairings.erase(pending);
                   }
                   done(200, "", account);
               });
}

void add_accounts_array(cJSON* object, const AccountState& state) {
    cJSON* accounts = cJSON_AddArrayToObject(object, "accounts");
    for (const auto& account : state.accounts) {
        cJSON* item = cJSON_CreateObject();
        cJSON_AddNumberToObject(item, "user_id", static_cast<double>(account.user_id));
        cJSON_AddStringToObject(item, "username", account.username.c_str());
        cJSON_AddItemToArray(accounts, item);
    }
}

bool accounts_save(Server& server) {
    const ServerState& state = server.state();
    JsonPtr root(cJSON_CreateObject());
    add_accounts_array(root.get(), state);
    cJSON* devices = cJSON_AddArrayToObject(root.get(), "devices");
    for (const auto& device : state.devices) {
        cJSON* item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "public_key", device.public_key.c_str());
        cJSON_AddNumberToObject(item, "user_id", static_cast<double>(device.user_id));
        cJSON_AddStringToObject(item, "machine_id", json_safe(device.machine_id).c_str());
        cJSON_AddStringToObject(item, "hostname", json_safe(device.hostname).c_str());
        cJSON_AddBoolToObject(item, "revoked", device.revoked);
        cJSON_AddItemToArray(devices, item);
    }
    const std::string text = json_print(root.get()) + "\n";
    // A server stopped mid-write must still find the previous file whole.
    const std::string path = devices_path(state);
    const std::string temp = path + ".tmp";
    FILE* file = std::fopen(temp.c_str(), "w");
    bool ok = file != nullptr;
    if (file) {
        ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
        ok = std::fclose(file) == 0 && ok;
    }
    std::error_code ec;
    if (ok) std::filesystem::rename(temp, path, ec);
    if (!ok || ec) {
        print_line("devices: cannot write " + path);
        return false;
    }
    return true;
}

void accounts_load(Server& server) {
    ServerState& state = server.state();
    const std::string path = devices_path(state);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::error_code ec;
        if (std::filesystem::exists(path, ec)) throw std::runtime_error("cannot read " + path);
        return;  // nothing linked yet
    }
    std::ostringstream text;
    text << in.rdbuf();
    JsonPtr root = json_parse(text.str());
    const auto broken = [&path](const std::string& what) { return std::runtime_error(path + ": " + what); };
    if (!cJSON_IsObject(root.get())) throw broken("not a JSON object");

    const auto user_id_of = [](const cJSON* item) -> int64_t {
        const cJSON* id = cJSON_GetObjectItemCaseSensitive(item, "user_id");
        if (!cJSON_IsNumber(id) || std::trunc(id->valuedouble) != id->valuedouble || id->valuedouble < 1 ||
            id->valuedouble > static_cast<double>(MAX_USER_ID)) {
            return 0;
        }
        return static_cast<int64_t>(id->valuedouble);
    };
    const cJSON* accounts = cJSON_GetObjectItemCaseSensitive(root.get(), "accounts");
    const cJSON* devices = cJSON_GetObjectItemCaseSensitive(root.get(), "devices");
    if (!cJSON_IsArray(accounts) || !cJSON_IsArray(devices)) {
        throw broken("expected the arrays \"accounts\" and \"devices\"");
    }
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, accounts) {
        const cJSON* name = cJSON_GetObjectItemCaseSensitive(item, "username");
        const int64_t id = user_id_of(item);
        if (id == 0 || !cJSON_IsString(name) || find_account(state, id) || find_account(state, name->valuestring)) {
            throw broken("invalid account " + json_print(item));
        }
        state.accounts.push_back(Account{id, name->valuestring});
    }
    cJSON_ArrayForEach(item, devices) {
        Device device;
        const auto key = canonical_key(string_member(item, "public_key"));
        device.user_id = user_id_of(item);
        const cJSON* revoked = cJSON_GetObjectItemCaseSensitive(item, "revoked");
        if (!key || find_device(state, *key) || !find_account(state, device.user_id) || !cJSON_IsBool(revoked)) {
            throw broken("invalid device " + json_print(item));
        }
        device.public_key = *key;
        device.machine_id = string_member(item, "machine_id");
        device.hostname = string_member(item, "hostname");
        device.revoked = cJSON_IsTrue(revoked);
        state.devices.push_back(std::move(device));
    }
    print_line("devices: loaded " + std::to_string(state.devices.size()) + " device(s) of " +
               std::to_string(state.accounts.size()) + " account(s)");
}

void accounts_reset(Server& server) {
    ServerState& state = server.state();
    state.auth_fail_error.clear();
    state.auth_fail_count = 0;
    state.update_offer.reset();
}
