// The accounts area of zelvo-server: accounts, the PCs linked to them by their device keys, the
// pairing of a PC on the linking page /link_service, the challenge-response on every connection,
// and the control routes that confirm pairings, list and revoke devices, and order answers.
// Accounts and devices are kept in data_dir/devices.json.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "server/http.h"

class Server;

struct Account {
    int64_t user_id = 0;
    std::string username;
};

// A PC linked to an account, known by its Ed25519 public key (base64, 44 characters).
struct Device {
    std::string public_key;
    int64_t user_id = 0;
    std::string machine_id;
    std::string hostname;
    bool revoked = false;
};

// A pairing request waiting for the user to confirm its code on the linking page.
struct Pairing {
    std::string code;
    uint64_t conn = 0;
    std::string public_key;
    std::string platform;
    std::string version;
    std::string build;
    std::string machine_id;
    std::string hostname;
};

// What a confirmation links the pairing to. Without a user id the account is the one of that
// name, created when new; with one it is that account, created or renamed as needed.
struct PairConfirmation {
    std::string code;
    std::optional<std::string> username;
    std::optional<int64_t> user_id;
    // Members left out of "pair_success", so the agent's defaults can be tried.
    bool omit_username = false;
    bool omit_user_id = false;
};

// Status 200 with the account, or the failing status and its reason.
using PairDone = std::function<void(unsigned status, const std::string& error, const Account& account)>;

// Members of "auth_ok" announcing a newer agent; each is sent only when set.
struct UpdateOffer {
    std::optional<std::string> latest_version;
    std::optional<std::string> download_url;
    std::optional<std::string> filename;
};

// The accounts' part of the server state; io_context thread only. Accounts and devices outlive
// resets and restarts.
struct AccountState {
    std::vector<Account> accounts;
    std::vector<Device> devices;
    std::map<std::string, Pairing> pairings;  // by code
    std::string auth_fail_error;              // forced "auth_fail" text while auth_fail_count != 0
    int auth_fail_count = 0;                  // -1: until disarmed
    std::optional<UpdateOffer> update_offer;
};

// Reads data_dir/devices.json when there is one. Throws std::runtime_error naming what is wrong.
void accounts_load(Server& server);
// Writes the accounts and devices to data_dir/devices.json; false after logging a failure.
bool accounts_save(Server& server);
// Adds "accounts": [{"user_id", "username"}...] to `object`, as stored and as /control/devices shows.
void add_accounts_array(cJSON* object, const AccountState& state);
// Forgets the ordered "auth_fail" and update offer; accounts and devices stay.
void accounts_reset(Server& server);
// Answers the agent's pairing and authentication events; others are left alone.
void accounts_on_event(Server& server, uint64_t conn, const std::string& text);
// Links the pending pairing's device to an account and sends "pair_success" on the pairing's
// connection. Fails with 404 for an unknown code, 409 when the connection is gone or the account
// asked for contradicts an existing one, 400 for an unusable name or id.
void confirm_pairing(Server& server, const PairConfirmation& confirmation, PairDone done);

// The account with that id or name; null when there is none.
const Account* find_account(const AccountState& state, int64_t user_id);
const Account* find_account(const AccountState& state, const std::string& username);

// The linking page and its form, and /control/pair_confirm, pairings, devices, revoke,
// auth_fail and update_offer (accounts_routes.cpp).
std::vector<Route> account_routes();
