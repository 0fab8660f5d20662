// Routes of the accounts area: the linking page a PC opens in the browser with its pairing code,
// and the control routes that confirm pairings, list and revoke devices, and order answers.

#include <cmath>

#include "server/accounts.h"
#include "server/server.h"
#include "server/sessions.h"

namespace {

// The linking page, where the user confirms the code the agent opened it with.

constexpr const char* HTML = "text/html; charset=utf-8";

std::string html_escape(const std::string& text) {
    std::string out;
    for (const char c : json_safe(text)) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

// A whole page with nothing fetched from elsewhere; `body` is HTML already.
HttpResponse html_page(unsigned status, const std::string& title, const std::string& body) {
    HttpResponse response;
    response.status = status;
    response.content_type = HTML;
    response.body = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                    "<title>" + html_escape(title) + " - Zelvo</title><style>"
                    "body{font-family:system-ui,sans-serif;background:#f3f4f6;margin:0;padding:3em 1em}"
                    "main{max-width:28em;margin:auto;background:#fff;padding:2em;border-radius:8px;"
                    "box-shadow:0 1px 4px rgba(0,0,0,.15)}"
                    "h1{font-size:1.4em;margin-top:0}.code{font:bold 2em monospace;letter-spacing:.2em}"
                    "dt{color:#555;font-size:.9em}dd{margin:0 0 .8em;font-family:monospace}"
                    "input{font-size:1em;padding:.4em;width:100%;box-sizing:border-box;margin:.3em 0 1em}"
                    "button{font-size:1em;padding:.6em 1.4em;background:#2563eb;color:#fff;border:0;border-radius:4px}"
                    "</style></head><body><main><h1>" + html_escape(title) + "</h1>\n" + body +
                    "</main></body></html>\n";
    return response;
}

HttpResponse unknown_code_page() {
    return html_page(404, "Unknown or expired code",
                     "<p>This pairing code is unknown or has expired. Choose <b>Login with Browser</b> in the "
                     "Zelvo tray menu again to get a new one.</p>\n");
}

void get_link_page(Server& server, const HttpRequest& request, Reply reply) {
    const auto code = request.query.find("code");
    const auto& pairings = server.state().pairings;
    const auto found = code == request.query.end() ? pairings.end() : pairings.find(code->second);
    if (found == pairings.end()) return reply(unknown_code_page());
    const Pairing& pairing = found->second;
    reply(html_page(200, "Link this PC to your account",
                    "<p>Check that this code matches the one your PC shows:</p>\n"
                    "<p class=\"code\">" + html_escape(pairing.code) + "</p>\n"
                    "<dl><dt>PC name</dt><dd>" + html_escape(pairing.hostname) + "</dd>"
                    "<dt>Machine ID</dt><dd>" + html_escape(pairing.machine_id) + "</dd></dl>\n"
                    "<form method=\"post\" action=\"/link_service/confirm\">"
                    "<input type=\"hidden\" name=\"code\" value=\"" + html_escape(pairing.code) + "\">"
                    "<label for=\"username\">User name</label>"
                    "<input id=\"username\" name=\"username\" value=\"demo\" required>"
                    "<button type=\"submit\">Link this PC</button></form>\n"));
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

void post_link_confirm(Server& server, const HttpRequest& request, Reply reply) {
    const auto form = parse_form(request.body);
    PairConfirmation confirmation;
    if (const auto code = form.find("code"); code != form.end()) confirmation.code = code->second;
    if (const auto name = form.find("username"); name != form.end()) {
        confirmation.username = trimmed(name->second);
        if (confirmation.username->empty()) {
            return reply(html_page(400, "User name missing", "<p>Go back and enter a user name.</p>\n"));
        }
    }
    confirm_pairing(server, confirmation, [reply = std::move(reply)](unsigned status, const std::string& error,
                                                                    const Account& account) {
        if (status == 200) {
            return reply(html_page(200, "PC linked",
                                   "<p>This PC is now linked to <b>" + html_escape(account.username) +
                                       "</b> (user ID " + std::to_string(account.user_id) +
                                       ").</p>\n<p>You can close this page.</p>\n"));
        }
        if (status == 404) return reply(unknown_code_page());
        reply(html_page(status, "The PC could not be linked", "<p>" + html_escape(error) + ".</p>\n"));
    });
}

// The control twin of the linking page's button.
void post_pair_confirm(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));
    PairConfirmation confirmation;
    const cJSON* code = cJSON_GetObjectItemCaseSensitive(body.get(), "code");
    if (!cJSON_IsString(code)) return reply(invalid("code"));
    confirmation.code = code->valuestring;
    const cJSON* username = cJSON_GetObjectItemCaseSensitive(body.get(), "username");
    if (username && !cJSON_IsString(username)) return reply(invalid("username"));
    if (username) confirmation.username = username->valuestring;
    const auto user_id = body_int(body.get(), "user_id", 0);
    if (!user_id) return reply(invalid("user_id"));
    if (cJSON_GetObjectItemCaseSensitive(body.get(), "user_id")) confirmation.user_id = *user_id;
    const cJSON* omit = cJSON_GetObjectItemCaseSensitive(body.get(), "omit");
    if (omit && !cJSON_IsArray(omit)) return reply(invalid("omit"));
    const cJSON* member = nullptr;
    cJSON_ArrayForEach(member, omit) {
        const std::string name = cJSON_IsString(member) ? member->valuestring : "";
        if (name == "username") {
            confirmation.omit_username = true;
        } else if (name == "user_id") {
            confirmation.omit_user_id = true;
        } else {
            return reply(invalid("omit"));
        }
    }
    confirm_pairing(server, confirmation, [reply = std::move(reply)](unsigned status, const std::string& error,
                                                                    const Account& account) {
        if (status != 200) return reply(json_error(status, error));
        JsonPtr answer(cJSON_CreateObject());
        cJSON_AddNumberToObject(answer.get(), "user_id", static_cast<double>(account.user_id));
        cJSON_AddStringToObject(answer.get(), "username", account.username.c_str());
        reply(json_response(200, answer.get()));
    });
}

void get_pairings(Server& server, const HttpRequest&, Reply reply) {
    JsonPtr body(cJSON_CreateObject());
    cJSON* list = cJSON_AddArrayToObject(body.get(), "pairings");
    for (const auto& [code, pairing] : server.state().pairings) {
        const Connection* connection = find_connection(server, pairing.conn);
        cJSON* item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "code", code.c_str());
        cJSON_AddNumberToObject(item, "conn", static_cast<double>(pairing.conn));
        cJSON_AddBoolToObject(item, "open", connection && connection->open);
        cJSON_AddStringToObject(item, "public_key", pairing.public_key.c_str());
        cJSON_AddStringToObject(item, "platform", json_safe(pairing.platform).c_str());
        cJSON_AddStringToObject(item, "version", json_safe(pairing.version).c_str());
        cJSON_AddStringToObject(item, "build", json_safe(pairing.build).c_str());
        cJSON_AddStringToObject(item, "machine_id", json_safe(pairing.machine_id).c_str());
        cJSON_AddStringToObject(item, "hostname", json_safe(pairing.hostname).c_str());
        cJSON_AddItemToArray(list, item);
    }
    reply(json_response(200, body.get()));
}

void get_devices(Server& server, const HttpRequest&, Reply reply) {
    const ServerState& state = server.state();
    JsonPtr body(cJSON_CreateObject());
    cJSON* devices = cJSON_AddArrayToObject(body.get(), "devices");
    for (const auto& device : state.devices) {
        const Account* account = find_account(state, device.user_id);
        cJSON* item = cJSON_CreateObject();
        cJSON_AddStringToObject(item, "public_key", device.public_key.c_str());
        cJSON_AddNumberToObject(item, "user_id", static_cast<double>(device.user_id));
        cJSON_AddStringToObject(item, "username", account ? account->username.c_str() : "");
        cJSON_AddStringToObject(item, "machine_id", json_safe(device.machine_id).c_str());
        cJSON_AddStringToObject(item, "hostname", json_safe(device.hostname).c_str());
        cJSON_AddBoolToObject(item, "revoked", device.revoked);
        cJSON_AddItemToArray(devices, item);
    }
    add_accounts_array(body.get(), state);
    reply(json_response(200, body.get()));
}

void post_revoke(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));
    const cJSON* key = cJSON_GetObjectItemCaseSensitive(body.get(), "public_key");
    if (!cJSON_IsString(key)) return reply(invalid("public_key"));
    // Keys are stored as the agent sends them: base64 of the 32 bytes, with padding.
    for (auto& device : server.state().devices) {
        if (device.public_key != key->valuestring) continue;
        device.revoked = true;
        if (!accounts_save(server)) return reply(json_error(500, "cannot save devices"));
        return reply(json_ok());
    }
    reply(json_error(404, "unknown device"));
}

void post_auth_fail(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));
    const cJSON* error = cJSON_GetObjectItemCaseSensitive(body.get(), "error");
    if (error && !cJSON_IsString(error)) return reply(invalid("error"));
    const auto count = body_int(body.get(), "count", 1);
    if (!count || *count < -1 || *count > 1000000) return reply(invalid("count"));
    ServerState& state = server.state();
    const bool disarm = !error || *count == 0;
    state.auth_fail_error = disarm ? "" : error->valuestring;
    state.auth_fail_count = disarm ? 0 : static_cast<int>(*count);
    reply(json_ok());
}

void post_update_offer(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));
    UpdateOffer offer;
    // Any of the members may be left out, or empty, to see what the agent makes of that.
    for (auto [name, target] : {std::pair{"latest_version", &offer.latest_version},
                                std::pair{"download_url", &offer.download_url},
                                std::pair{"filename", &offer.filename}}) {
        const cJSON* item = cJSON_GetObjectItemCaseSensitive(body.get(), name);
        if (item && !cJSON_IsString(item)) return reply(invalid(name));
        if (item) *target = item->valuestring;
    }
    auto& state = server.state();
    if (offer.latest_version || offer.download_url || offer.filename) {
        state.update_offer = std::move(offer);
    } else {
        state.update_offer.reset();
    }
    reply(json_ok());
}

}  // namespace

std::vector<Route> account_routes() {
    return {
        {"POST", "/control/pair_confirm", post_pair_confirm},
        {"GET", "/control/pairings", get_pairings},
        {"GET", "/control/devices", get_devices},
        {"POST", "/control/revoke", post_revoke},
        {"POST", "/control/auth_fail", post_auth_fail},
        {"POST", "/control/update_offer", post_update_offer},
        {"GET", "/link_service", get_link_page},
        {"POST", "/link_service/confirm", post_link_confirm},
    };
}
