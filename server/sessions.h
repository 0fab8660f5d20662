// The sessions area of zelvo-server: the WebSocket endpoint /ws that agents connect to, the
// connections it has seen and the messages they sent, and the control routes that send to an
// agent, read what it sent and wait for it.
#pragma once

#include <boost/asio/ssl/stream.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/json.h"
#include "server/http.h"

class Server;

// What the control routes may do to one accepted WebSocket connection. Calls are made on the
// io_context thread. `done` receives an empty string on success, otherwise the reason of failure.
class AgentLink {
public:
    using Done = std::function<void(const std::string& error)>;
    virtual ~AgentLink() = default;
    // fragment 0 sends one frame; otherwise frames of at most `fragment` bytes.
    virtual void send(std::string payload, bool binary, size_t fragment, Done done) = 0;
    // Queued behind earlier sends; code 0 sends a close frame without a code.
    virtual void close(uint16_t code, std::string reason, Done done) = 0;
    // Closes the socket at once, without a close frame.
    virtual void drop() = 0;
};

struct ReceivedMessage {
    uint64_t seq = 0;
    uint64_t conn = 0;
    std::string text;
    bool binary = false;
};

struct Connection {
    uint64_t id = 0;
    bool open = true;
    bool tls = false;
    std::string remote;
    int close_code = -1;  // code of the agent's close frame; -1 when none came
    std::weak_ptr<AgentLink> link;
    std::string challenge;  // the challenge awaiting an answer; empty when none is
    bool authenticated = false;
    int64_t user_id = 0;  // the account the connection acts for, once authenticated or paired
    std::string username;
};

// The sessions' part of the server state; io_context thread only.
struct SessionState {
    FILE* received_file = nullptr;  // data_dir/received.jsonl
    uint64_t next_seq = 1;          // keeps rising across resets
    std::vector<ReceivedMessage> received;
    uint64_t next_conn_id = 1;
    std::vector<Connection> connections;
    unsigned refuse_status = 0;  // 0: upgrades are accepted
    int refuse_count = 0;        // -1: until disarmed
};

using PlainStream = boost::beast::tcp_stream;
using TlsStream = boost::asio::ssl::stream<boost::beast::tcp_stream>;
using UpgradeRequest = boost::beast::http::request<boost::beast::http::string_body>;

// Opens data_dir/received.jsonl, where every message is kept. Throws std::runtime_error.
void sessions_open(Server& server);
void sessions_close(Server& server);
// Forgets the messages and the ordered refusals; sequence numbers keep rising.
void sessions_reset(Server& server);
// The status to refuse the next upgrade with, counting it; 0 to accept it.
unsigned sessions_take_refusal(Server& server);
// Takes over a connection whose request asked to upgrade to a WebSocket at /ws.
void sessions_accept(Server& server, PlainStream&& stream, std::string remote, UpgradeRequest request);
void sessions_accept(Server& server, TlsStream&& stream, std::string remote, UpgradeRequest request);

// The open connection with that id, or the current one for id 0; null when there is none.
std::shared_ptr<AgentLink> find_link(Server& server, uint64_t id);
// Most recently accepted connection still open; 0 when none is.
uint64_t current_connection(const Server& server);
// The connection with that id, open or not; null when there is none.
Connection* find_connection(Server& server, uint64_t id);
// {"e":name,"d":data} to that connection; `done` as for AgentLink::send.
void send_event(Server& server, uint64_t conn, const char* name, JsonPtr data, AgentLink::Done done = nullptr);
// {"seq":..,"conn":..,"text":".."}, plus "binary":true for binary messages.
JsonPtr message_json(const ReceivedMessage& message);

// /control/connections, send, received, wait, wait_connection, close, drop and refuse.
std::vector<Route> session_routes();
