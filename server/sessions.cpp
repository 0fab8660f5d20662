// The sessions area: WebSocket connections of agents at /ws, what they sent, and the control
// routes that talk to them. Sections:
//   messages        the record of what agents sent
//   WebSocket       one accepted connection, its write queue and close handshake
//   connections     finding a connection, sending an event
//   routes          /control/ routes of this area

#include "server/sessions.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "server/accounts.h"
#include "server/server.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

namespace {

constexpr size_t MAX_MESSAGE_BYTES = 16 * 1024 * 1024;
constexpr auto HANDSHAKE_TIMEOUT = std::chrono::seconds(30);
constexpr size_t LOG_TEXT_MAX = 300;
// Control frames carry at most 125 bytes, two of which hold the code.
constexpr size_t MAX_CLOSE_REASON = 123;

template <class Stream>
constexpr bool is_tls = std::is_same_v<Stream, TlsStream>;

// ---- messages ----

void log_received(uint64_t conn, const std::string& text) {
    std::string shown = json_safe(text);
    if (shown.size() > LOG_TEXT_MAX) {
        size_t cut = LOG_TEXT_MAX;
        while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) --cut;
        shown.resize(cut);
    }
    // One line per message, whatever the message holds.
    std::replace_if(shown.begin(), shown.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    print_line("recv conn=" + std::to_string(conn) + " " + shown);
}

uint64_t opened(Server& server, const std::string& remote, bool tls, std::weak_ptr<AgentLink> link) {
    ServerState& state = server.state();
    Connection connection;
    connection.id = state.next_conn_id++;
    connection.tls = tls;
    connection.remote = remote;
    connection.link = std::move(link);
    state.connections.push_back(connection);
    print_line("open conn=" + std::to_string(connection.id) + " remote=" + remote + (tls ? " tls" : ""));
    server.notify_waiters();
    return connection.id;
}

void received(Server& server, uint64_t conn, std::string text, bool binary) {
    ServerState& state = server.state();
    ReceivedMessage message{state.next_seq++, conn, std::move(text), binary};
    const std::string line = json_print(message_json(message).get()) + "\n";
    std::fwrite(line.data(), 1, line.size(), state.received_file);
    std::fflush(state.received_file);
    log_received(conn, message.text);
    const std::string event = binary ? std::string() : message.text;
    state.received.push_back(std::move(message));
    // Answered before waiters look, so a test that saw the request also sees its outcome.
    if (!binary) accounts_on_event(server, conn, event);
    server.notify_waiters();
}

void closed(Server& server, uint64_t conn, int close_code) {
    ServerState& state = server.state();
    for (auto& connection : state.connections) {
        if (connection.id != conn) continue;
        connection.open = false;
        connection.close_code = close_code;
    }
    print_line("close conn=" + std::to_string(conn) +
               " code=" + (close_code < 0 ? std::string("none") : std::to_string(close_code)));
    server.notify_waiters();
}

}  // namespace

JsonPtr message_json(const ReceivedMessage& message) {
    JsonPtr item(cJSON_CreateObject());
    cJSON_AddNumberToObject(item.get(), "seq", static_cast<double>(message.seq));
    cJSON_AddNumberToObject(item.get(), "conn", static_cast<double>(message.conn));
    cJSON_AddStringToObject(item.get(), "text", json_safe(message.text).c_str());
    if (message.binary) cJSON_AddTrueToObject(item.get(), "binary");
    return item;
}

unsigned sessions_take_refusal(Server& server) {
    SessionState& state = server.state();
    if (state.refuse_status == 0) return 0;
    const unsigned status = state.refuse_status;
    if (state.refuse_count > 0 && --state.refuse_count == 0) state.refuse_status = 0;
    return status;
}

void sessions_open(Server& server) {
    ServerState& state = server.state();
    const std::string path = (std::filesystem::path(state.data_dir) / "received.jsonl").string();
    state.received_file = std::fopen(path.c_str(), "a");
    if (!state.received_file) throw std::runtime_error("cannot open " + path);
}

void sessions_close(Server& server) {
    ServerState& state = server.state();
    if (state.received_file) std::fclose(std::exchange(state.received_file, nullptr));
}

void sessions_reset(Server& server) {
    ServerState& state = server.state();
    state.received.clear();
    state.refuse_status = 0;
    state.refuse_count = 0;
}

// ---- WebSocket ----

namespace {

template <class Stream>
class WsSession : public AgentLink, public Session, public std::enable_shared_from_this<WsSession<Stream>> {
public:
    WsSession(Server& server, Stream&& stream, std::string remote)
        : server_(server), live_(server.state()), ws_(std::move(stream)), remote_(std::move(remote)) {}

    void start(http::request<http::string_body> request) {
        request_ = std::move(request);
        // The agent's own keep-alive is under test, so the server neither pings nor times out idle
        // connections.
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = HANDSHAKE_TIMEOUT;
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_.set_option(timeouts);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& response) { response.set(http::field::server, SERVER_NAME); }));
        ws_.read_message_max(MAX_MESSAGE_BYTES);
        // Frames are exactly what a send asks for: one per message, or the requested fragments.
        ws_.auto_fragment(false);
        ws_.async_accept(request_, [self = this->shared_from_this()](error_code ec) { self->on_accept(ec); });
    }

    void send(std::string payload, bool binary, size_t fragment, Done done) override {
        Op op;
        op.payload = std::move(payload);
        op.binary = binary;
        op.fragment = fragment;
        op.done = std::move(done);
        enqueue(std::move(op));
    }

    void close(uint16_t code, std::string reason, Done done) override {
        Op op;
        op.close = true;
        op.reason.code = code;
        op.reason.reason = std::move(reason);
        op.done = std::move(done);
        enqueue(std::move(op));
        closing_ = true;
    }

    void drop() override {
        error_code ec;
        auto& socket = beast::get_lowest_layer(ws_).socket();
        socket.shutdown(tcp::socket::shutdown_both, ec);
        socket.close(ec);
    }

    void shutdown() override {
        if (id_ == 0 || finished_ || closing_) {
            drop();
            return;
        }
        close(websocket::close_code::going_away, "server stopping", nullptr);
    }

private:
    struct Op {
        bool close = false;
        std::string payload;
        bool binary = false;
        size_t fragment = 0;
        size_t offset = 0;
        websocket::close_reason reason;
        Done done;
    };

    void on_accept(error_code ec) {
        if (ec) return;
        id_ = opened(server_, remote_, is_tls<Stream>, this->weak_from_this());
        read();
    }

    void read() {
        ws_.async_read(buffer_, [self = this->shared_from_this()](error_code ec, size_t) {
            if (ec) return self->finish(ec);
            received(self->server_, self->id_, beast::buffers_to_string(self->buffer_.data()),
                                     self->ws_.got_binary());
            self->buffer_.consume(self->buffer_.size());
            self->read();
        });
    }

    void finish(error_code ec) {
        if (finished_) return;
        finished_ = true;
        if (ec == websocket::error::closed) peer_closed_ = true;
        report_closed();
        if (!writing_) fail_queue("connection closed");
    }

    // After a close we started, the agent's answering frame is read by the close operation, which
    // may complete after the read; the connection is reported once both are over.
    void report_closed() {
        if (reported_ || !finished_ || close_running_) return;
        reported_ = true;
        int code = -1;
        if (peer_closed_) {
            code = ws_.reason().code;
            // A close frame without a code is reported the way browsers report it.
            if (code == websocket::close_code::none) code = websocket::close_code::no_status;
        }
        closed(server_, id_, code);
    }

    void enqueue(Op op) {
        if (finished_ || closing_) {
            if (op.done) {
                asio::post(ws_.get_executor(), [done = std::move(op.done), closed = finished_] {
                    done(closed ? "connection closed" : "connection closing");
                });
            }
            return;
        }
        queue_.push_back(std::move(op));
        if (!writing_) write_next();
    }

    void write_next() {
        if (queue_.empty()) return;
        if (finished_) return fail_queue("connection closed");
        writing_ = true;
        Op& op = queue_.front();
        auto self = this->shared_from_this();
        if (op.close) {
            // Answered as the frame goes out: the rest of the handshake waits on the agent.
            if (op.done) std::exchange(op.done, nullptr)("");
            close_running_ = true;
            ws_.async_close(op.reason, [self](error_code ec) {
                self->close_running_ = false;
                // Success means the agent's close frame arrived.
                if (!ec) self->peer_closed_ = true;
                self->report_closed();
                self->on_written(ec);
            });
            return;
        }
        ws_.binary(op.binary);
        if (op.fragment == 0) {
            ws_.async_write(asio::buffer(op.payload), [self](error_code ec, size_t) { self->on_written(ec); });
        } else {
            write_fragment();
        }
    }

    void write_fragment() {
        Op& op = queue_.front();
        const size_t size = std::min(op.fragment, op.payload.size() - op.offset);
        const bool fin = op.offset + size == op.payload.size();
        ws_.async_write_some(fin, asio::buffer(op.payload.data() + op.offset, size),
                             [self = this->shared_from_this(), size, fin](error_code ec, size_t) {
                                 if (ec || fin) return self->on_written(ec);
                                 self->queue_.front().offset += size;
                                 self->write_fragment();
                             });
    }

    void on_written(error_code ec) {
        Op op = std::move(queue_.front());
        queue_.pop_front();
        writing_ = false;
        if (op.done) op.done(ec ? ec.message() : "");
        if (ec || finished_) return fail_queue(ec ? ec.message() : "connection closed");
        write_next();
    }

    void fail_queue(const std::string& reason) {
        auto failed = std::move(queue_);
        queue_.clear();
        for (auto& op : failed) {
            if (op.done) op.done(reason);
        }
    }

    Server& server_;
    LiveCount live_;
    websocket::stream<Stream> ws_;
    std::string remote_;
    http::request<http::string_body> request_;
    beast::flat_buffer buffer_;
    uint64_t id_ = 0;
    bool finished_ = false;  // reading has ended: nothing more can be written
    bool closing_ = false;   // a close frame is queued or sent
    bool close_running_ = false;
    bool peer_closed_ = false;  // the agent's close frame arrived
    bool reported_ = false;
    bool writing_ = false;
    std::deque<Op> queue_;
};

}  // namespace

void sessions_accept(Server& server, PlainStream&& stream, std::string remote, UpgradeRequest request) {
    auto session = std::make_shared<WsSession<PlainStream>>(server, std::move(stream), std::move(remote));
    server.add_session(session);
    session->start(std::move(request));
}

void sessions_accept(Server& server, TlsStream&& stream, std::string remote, UpgradeRequest request) {
    auto session = std::make_shared<WsSession<TlsStream>>(server, std::move(stream), std::move(remote));
    server.add_session(session);
    session->start(std::move(request));
}

// ---- connections ----

std::shared_ptr<AgentLink> find_link(Server& server, uint64_t id) {
    if (id == 0) id = current_connection(server);
    for (const auto& connection : server.state().connections) {
        if (connection.id == id && connection.open) return connection.link.lock();
    }
    return nullptr;
}

Connection* find_connection(Server& server, uint64_t id) {
    for (auto& connection : server.state().connections) {
        if (connection.id == id) return &connection;
    }
    return nullptr;
}

uint64_t current_connection(const Server& server) {
    const auto& connections = server.state().connections;
    for (auto it = connections.rbegin(); it != connections.rend(); ++it) {
        if (it->open) return it->id;
    }
    return 0;
}

void send_event(Server& server, uint64_t conn, const char* name, JsonPtr data, AgentLink::Done done) {
    // "e" first, as every other message from the server.
    JsonPtr envelope(cJSON_CreateObject());
    cJSON_AddStringToObject(envelope.get(), "e", name);
    cJSON_AddItemToObject(envelope.get(), "d", data.release());
    auto link = find_link(server, conn);
    if (!link) {
        print_line(std::string("send conn=") + std::to_string(conn) + " " + name + ": connection not open");
        if (done) done("connection not open");
        return;
    }
    link->send(json_print(envelope.get()), false, 0, std::move(done));
}

// ---- routes ----

namespace {

// The connection named by the body's "conn" (default: the current one), or the response that
// explains why there is none.
std::shared_ptr<AgentLink> target_link(Server& server, const cJSON* body, HttpResponse* failure) {
    const auto conn = body_int(body, "conn", 0);
    if (!conn || *conn < 0) {
        *failure = invalid("conn");
        return nullptr;
    }
    auto link = find_link(server, static_cast<uint64_t>(*conn));
    if (!link) *failure = json_error(409, *conn == 0 ? "no agent connected" : "connection not open");
    return link;
}

AgentLink::Done answer_when_done(Reply reply) {
    return [reply = std::move(reply)](const std::string& error) {
        reply(error.empty() ? json_ok() : json_error(409, error));
    };
}

void get_connections(Server& server, const HttpRequest&, Reply reply) {
    JsonPtr body(cJSON_CreateObject());
    cJSON* list = cJSON_AddArrayToObject(body.get(), "connections");
    for (const auto& connection : server.state().connections) {
        cJSON* item = cJSON_CreateObject();
        cJSON_AddNumberToObject(item, "id", static_cast<double>(connection.id));
        cJSON_AddBoolToObject(item, "open", connection.open);
        cJSON_AddStringToObject(item, "remote", connection.remote.c_str());
        cJSON_AddBoolToObject(item, "tls", connection.tls);
        if (connection.close_code >= 0) cJSON_AddNumberToObject(item, "close_code", connection.close_code);
        cJSON_AddBoolToObject(item, "authenticated", connection.authenticated);
        if (connection.authenticated) {
            cJSON_AddNumberToObject(item, "user_id", static_cast<double>(connection.user_id));
            cJSON_AddStringToObject(item, "username", json_safe(connection.username).c_str());
        }
        cJSON_AddItemToArray(list, item);
    }
    cJSON_AddNumberToObject(body.get(), "current", static_cast<double>(current_connection(server)));
    reply(json_response(200, body.get()));
}

void post_send(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));

    std::string payload;
    const cJSON* text = cJSON_GetObjectItemCaseSensitive(body.get(), "text");
    const cJSON* event = cJSON_GetObjectItemCaseSensitive(body.get(), "e");
    if (cJSON_IsString(text)) {
        payload = text->valuestring;
    } else if (cJSON_IsString(event)) {
        // "e" comes first: the agent may rely on the order the server always uses.
        JsonPtr envelope(cJSON_CreateObject());
        cJSON_AddStringToObject(envelope.get(), "e", event->valuestring);
        const cJSON* data = cJSON_GetObjectItemCaseSensitive(body.get(), "d");
        cJSON_AddItemToObject(envelope.get(), "d", data ? cJSON_Duplicate(data, true) : cJSON_CreateObject());
        payload = json_print(envelope.get());
    } else {
        return reply(json_error(400, "expected \"text\" or \"e\" as a string"));
    }

    const auto fragment = body_int(body.get(), "fragment", 0);
    if (!fragment || *fragment < 0) return reply(invalid("fragment"));
    const cJSON* binary = cJSON_GetObjectItemCaseSensitive(body.get(), "binary");
    if (binary && !cJSON_IsBool(binary)) return reply(invalid("binary"));

    HttpResponse failure;
    auto link = target_link(server, body.get(), &failure);
    if (!link) return reply(failure);
    link->send(std::move(payload), cJSON_IsTrue(binary), static_cast<size_t>(*fragment),
               answer_when_done(std::move(reply)));
}

void get_received(Server& server, const HttpRequest& request, Reply reply) {
    const auto since = query_int(request, "since", 1);
    if (!since) return reply(invalid("since"));
    JsonPtr body(cJSON_CreateObject());
    cJSON* list = cJSON_AddArrayToObject(body.get(), "messages");
    for (const auto& message : server.state().received) {
        if (static_cast<int64_t>(message.seq) >= *since) cJSON_AddItemToArray(list, message_json(message).release());
    }
    // Every message below next_seq has been returned or forgotten, whatever `since` was.
    cJSON_AddNumberToObject(body.get(), "next", static_cast<double>(server.state().next_seq));
    reply(json_response(200, body.get()));
}

void get_wait(Server& server, const HttpRequest& request, Reply reply) {
    const auto event = request.query.find("event");
    if (event == request.query.end() || event->second.empty()) return reply(invalid("event"));
    const auto since = query_int(request, "since", 1);
    if (!since) return reply(invalid("since"));
    const auto timeout = query_timeout(request);
    if (!timeout) return reply(invalid("timeout_ms"));

    // Each message is parsed once: `next` moves past the messages already looked at.
    auto check = [&server, name = event->second, next = *since]() mutable -> std::optional<HttpResponse> {
        for (const auto& message : server.state().received) {
            if (static_cast<int64_t>(message.seq) < next) continue;
            next = static_cast<int64_t>(message.seq) + 1;
            JsonPtr parsed = json_parse(message.text);
            const cJSON* e = cJSON_GetObjectItemCaseSensitive(parsed.get(), "e");
            if (cJSON_IsString(e) && name == e->valuestring) return json_response(200, message_json(message).get());
        }
        return std::nullopt;
    };
    server.wait_until(std::move(check), *timeout, std::move(reply));
}

void get_wait_connection(Server& server, const HttpRequest& request, Reply reply) {
    const auto since_id = query_int(request, "since_id", 0);
    if (!since_id) return reply(invalid("since_id"));
    const auto timeout = query_timeout(request);
    if (!timeout) return reply(invalid("timeout_ms"));

    auto check = [&server, since_id = *since_id]() -> std::optional<HttpResponse> {
        for (const auto& connection : server.state().connections) {
            if (static_cast<int64_t>(connection.id) <= since_id || !connection.open) continue;
            JsonPtr body(cJSON_CreateObject());
            cJSON_AddNumberToObject(body.get(), "id", static_cast<double>(connection.id));
            return json_response(200, body.get());
        }
        return std::nullopt;
    };
    server.wait_until(std::move(check), *timeout, std::move(reply));
}

void post_close(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));
    // Any 16-bit code may be sent, so the agent's handling of invalid ones can be tried too;
    // 0 sends a close frame with no code.
    const auto code = body_int(body.get(), "code", 1000);
    if (!code || *code < 0 || *code > 65535) return reply(invalid("code"));
    const cJSON* reason = cJSON_GetObjectItemCaseSensitive(body.get(), "reason");
    if (reason && (!cJSON_IsString(reason) || std::string(reason->valuestring).size() > MAX_CLOSE_REASON)) {
        return reply(invalid("reason"));
    }
    HttpResponse failure;
    auto link = target_link(server, body.get(), &failure);
    if (!link) return reply(failure);
    link->close(static_cast<uint16_t>(*code), reason ? reason->valuestring : "", answer_when_done(std::move(reply)));
}

void post_drop(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));
    HttpResponse failure;
    auto link = target_link(server, body.get(), &failure);
    if (!link) return reply(failure);
    link->drop();
    reply(json_ok());
}

void post_refuse(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));
    const auto status = body_int(body.get(), "status", -1);
    if (!status || (*status != 0 && (*status < 200 || *status > 599))) return reply(invalid("status"));
    const auto count = body_int(body.get(), "count", 1);
    if (!count || *count < -1 || *count > 1000000) return reply(invalid("count"));
    ServerState& state = server.state();
    const bool disarm = *status == 0 || *count == 0;
    state.refuse_status = disarm ? 0 : static_cast<unsigned>(*status);
    state.refuse_count = disarm ? 0 : static_cast<int>(*count);
    reply(json_ok());
}

}  // namespace

std::vector<Route> session_routes() {
    return {
        {"GET", "/control/connections", get_connections},
        {"POST", "/control/send", post_send},
        {"GET", "/control/received", get_received},
        {"GET", "/control/wait", get_wait},
        {"GET", "/control/wait_connection", get_wait_connection},
        {"POST", "/control/close", post_close},
        {"POST", "/control/drop", post_drop},
        {"POST", "/control/refuse", post_refuse},
    };
}
