// Listeners, HTTP and WebSocket sessions, and the state they report to.

#include "server/server.h"

#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <sodium.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

namespace {

constexpr size_t MAX_MESSAGE_BYTES = 16 * 1024 * 1024;
// A control send carries a whole message, JSON-escaped.
constexpr size_t MAX_HTTP_BODY_BYTES = 8 * MAX_MESSAGE_BYTES;
// Longer than the longest control wait, so a waiting client's keep-alive connection survives it.
constexpr auto HTTP_IDLE = std::chrono::seconds(300);
constexpr auto HANDSHAKE_TIMEOUT = std::chrono::seconds(30);
constexpr auto STOP_GRACE = std::chrono::seconds(3);
constexpr size_t LOG_TEXT_MAX = 300;
constexpr const char* SERVER_NAME = "zelvo-server";

using PlainStream = beast::tcp_stream;
using TlsStream = asio::ssl::stream<beast::tcp_stream>;
template <class Stream>
constexpr bool is_tls = std::is_same_v<Stream, TlsStream>;

std::string endpoint_text(const tcp::endpoint& endpoint) {
    const auto address = endpoint.address();
    std::string host = address.to_string();
    if (address.is_v6()) host = "[" + host + "]";
    return host + ":" + std::to_string(endpoint.port());
}

}  // namespace

// cJSON stops at NUL and copies other bytes as they are, so anything that is not UTF-8 (binary
// payloads) would make the output unreadable JSON. Bad bytes and NUL become U+FFFD.
std::string json_safe(const std::string& in) {
    static const char replacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(in.size());
    size_t i = 0;
    while (i < in.size()) {
        const auto c = static_cast<unsigned char>(in[i]);
        size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        bool ok = c != 0 && length != 0 && i + length <= in.size();
        uint32_t point = length == 1 ? c : length == 2 ? (c & 0x1Fu) : length == 3 ? (c & 0x0Fu) : (c & 0x07u);
        for (size_t k = 1; ok && k < length; ++k) {
            const auto next = static_cast<unsigned char>(in[i + k]);
            ok = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3Fu);
        }
        if (ok && length == 2) ok = point >= 0x80;
        if (ok && length == 3) ok = point >= 0x800 && (point < 0xD800 || point > 0xDFFF);
        if (ok && length == 4) ok = point >= 0x10000 && point <= 0x10FFFF;
        if (ok) {
            out.append(in, i, length);
            i += length;
        } else {
            out += replacement;
            ++i;
        }
    }
    return out;
}

void print_line(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

namespace {

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

// Counts a session as alive for as long as it exists, so stop() can tell when all have ended.
class LiveCount {
public:
    explicit LiveCount(ServerState& state) : state_(state) { ++state_.live_sessions; }
    ~LiveCount() { --state_.live_sessions; }
    LiveCount(const LiveCount&) = delete;
    LiveCount& operator=(const LiveCount&) = delete;

private:
    ServerState& state_;
};

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
        id_ = server_.on_open(remote_, is_tls<Stream>, this->weak_from_this());
        read();
    }

    void read() {
        ws_.async_read(buffer_, [self = this->shared_from_this()](error_code ec, size_t) {
            if (ec) return self->finish(ec);
            self->server_.on_message(self->id_, beast::buffers_to_string(self->buffer_.data()),
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
        server_.on_close(id_, code);
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

template <class Stream>
class HttpSession : public Session, public std::enable_shared_from_this<HttpSession<Stream>> {
public:
    template <class... Args>
    HttpSession(Server& server, std::string remote, Args&&... args)
        : server_(server), live_(server.state()), stream_(std::forward<Args>(args)...), remote_(std::move(remote)) {}

    void start() {
        if constexpr (is_tls<Stream>) {
            beast::get_lowest_layer(stream_).expires_after(HANDSHAKE_TIMEOUT);
            stream_.async_handshake(asio::ssl::stream_base::server,
                                    [self = this->shared_from_this()](error_code ec) {
                                        if (ec) return self->end();
                                        self->read();
                                    });
        } else {
            read();
        }
    }

    // A request being answered keeps its connection until the answer is out (a pending wait is
    // answered 503 on stop); the answer then closes it.
    void shutdown() override {
        if (!busy_) end();
    }

private:
    void read() {
        parser_.emplace();
        parser_->body_limit(MAX_HTTP_BODY_BYTES);
        beast::get_lowest_layer(stream_).expires_after(HTTP_IDLE);
        http::async_read(stream_, buffer_, *parser_, [self = this->shared_from_this()](error_code ec, size_t) {
            if (ec) return self->end();
            self->on_request(self->parser_->release());
        });
    }

    void on_request(http::request<http::string_body> request) {
        version_ = request.version();
        const std::string target(request.target());
        const std::string path = target.substr(0, target.find('?'));

        if (websocket::is_upgrade(request)) {
            if (path != "/ws") return respond(json_error(404, "not found"), false);
            if (const unsigned status = server_.take_refusal()) return respond(json_error(status, "refused"), false);
            beast::get_lowest_layer(stream_).expires_never();
            auto session = std::make_shared<WsSession<Stream>>(server_, std::move(stream_), remote_);
            server_.add_session(session);
            session->start(std::move(request));
            return;
        }
        if (path == "/ws") return respond(json_error(426, "websocket upgrade required"), false);

        HttpRequest converted;
        converted.method = std::string(request.method_string());
        converted.path = path;
        converted.query = parse_query(target);
        converted.content_type = std::string(request[http::field::content_type]);
        converted.body = std::move(request.body());
        const bool keep_alive = request.keep_alive();
        busy_ = true;
        server_.handle(converted, [self = this->shared_from_this(), keep_alive](HttpResponse response) {
            self->respond(std::move(response), keep_alive);
        });
    }

    static std::map<std::string, std::string> parse_query(const std::string& target) {
        const size_t mark = target.find('?');
        return mark == std::string::npos ? std::map<std::string, std::string>{} : parse_form(target.substr(mark + 1));
    }

    void respond(HttpResponse response, bool keep_alive) {
        if (response.drop) {
            busy_ = false;
            return end();
        }
        busy_ = true;
        // Nothing can follow a body cut short but the end of the connection.
        keep_alive = keep_alive && !server_.state().stopping && !response.cut_after;
        response_ = {};
        response_.version(version_);
        response_.result(response.status);
        response_.set(http::field::server, SERVER_NAME);
        response_.set(http::field::content_type, response.content_type);
        if (response.status == 426) response_.set(http::field::upgrade, "websocket");
        response_.keep_alive(keep_alive);
        // These statuses carry no body, and Beast throws on one.
        if (response.status < 200 || response.status == 204 || response.status == 304) response.body.clear();
        response_.body() = std::move(response.body);
        response_.prepare_payload();
        // Content-Length already names the whole body.
        if (response.cut_after && *response.cut_after < response_.body().size()) {
            response_.body().resize(*response.cut_after);
        }
        beast::get_lowest_layer(stream_).expires_after(HTTP_IDLE);
        http::async_write(stream_, response_, [self = this->shared_from_this(), keep_alive](error_code ec, size_t) {
            self->busy_ = false;
            if (ec || !keep_alive) return self->end();
            self->read();
        });
    }

    void end() {
        error_code ec;
        auto& socket = beast::get_lowest_layer(stream_).socket();
        socket.shutdown(tcp::socket::shutdown_both, ec);
        socket.close(ec);
    }

    Server& server_;
    LiveCount live_;
    Stream stream_;
    std::string remote_;
    unsigned version_ = 11;
    bool busy_ = false;  // between a request and the end of writing its answer
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> response_;
};

}  // namespace

// A pending control wait. Its timer runs until the deadline; every change to the state cancels
// it so that the condition is checked again.
struct Waiter : std::enable_shared_from_this<Waiter> {
    Waiter(Server& server, std::function<std::optional<HttpResponse>()> check, Reply reply)
        : server(server), timer(server.io()), check(std::move(check)), reply(std::move(reply)) {}

    void step() {
        if (auto response = check()) return reply(std::move(*response));
        if (server.state().stopping) return reply(json_error(503, "server stopping"));
        if (std::chrono::steady_clock::now() >= timer.expiry()) return reply(json_error(408, "timeout"));
        timer.async_wait([self = shared_from_this()](error_code) { self->step(); });
    }

    Server& server;
    asio::steady_timer timer;
    std::function<std::optional<HttpResponse>()> check;
    Reply reply;
};

HttpResponse json_response(unsigned status, const cJSON* body) {
    HttpResponse response;
    response.status = status;
    response.body = json_print(body);
    return response;
}

HttpResponse json_error(unsigned status, const std::string& message) {
    JsonPtr body(cJSON_CreateObject());
    cJSON_AddStringToObject(body.get(), "error", message.c_str());
    return json_response(status, body.get());
}

HttpResponse json_ok() {
    HttpResponse response;
    response.body = "{\"ok\":true}";
    return response;
}

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string decode_form(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
                   hex_digit(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

std::map<std::string, std::string> parse_form(const std::string& text) {
    std::map<std::string, std::string> form;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('&', start);
        if (end == std::string::npos) end = text.size();
        const std::string pair = text.substr(start, end - start);
        if (!pair.empty()) {
            const size_t equals = pair.find('=');
            if (equals == std::string::npos) {
                form[decode_form(pair)] = "";
            } else {
                form[decode_form(pair.substr(0, equals))] = decode_form(pair.substr(equals + 1));
            }
        }
        start = end + 1;
    }
    return form;
}

JsonPtr message_json(const ReceivedMessage& message) {
    JsonPtr item(cJSON_CreateObject());
    cJSON_AddNumberToObject(item.get(), "seq", static_cast<double>(message.seq));
    cJSON_AddNumberToObject(item.get(), "conn", static_cast<double>(message.conn));
    cJSON_AddStringToObject(item.get(), "text", json_safe(message.text).c_str());
    if (message.binary) cJSON_AddTrueToObject(item.get(), "binary");
    return item;
}

Server::Server(ServerOptions options)
    : options_(std::move(options)),
      routes_(make_routes()),
      http_acceptor_(io_),
      https_acceptor_(io_),
      stop_timer_(io_) {}

Server::~Server() {
    if (state_.received_file) std::fclose(state_.received_file);
}

void Server::start() {
    namespace fs = std::filesystem;
    if (sodium_init() < 0) throw std::runtime_error("cannot initialise libsodium");
    std::error_code fs_error;
    fs::create_directories(options_.data_dir, fs_error);
    if (fs_error) throw std::runtime_error("cannot create " + options_.data_dir + ": " + fs_error.message());
    state_.data_dir = options_.data_dir;
    // Files served under /download/.
    const fs::path downloads = fs::path(options_.data_dir) / "download";
    fs::create_directories(downloads, fs_error);
    if (fs_error) throw std::runtime_error("cannot create " + downloads.string() + ": " + fs_error.message());
    load_devices();
    load_uploads();
    const std::string received_path = (fs::path(options_.data_dir) / "received.jsonl").string();
    state_.received_file = std::fopen(received_path.c_str(), "a");
    if (!state_.received_file) throw std::runtime_error("cannot open " + received_path);

    if (!options_.tls_listen.empty()) {
        // OpenSSL's own message for a missing file is only "asio.ssl error".
        for (const auto& file : {options_.tls_cert, options_.tls_key}) {
            if (!fs::is_regular_file(file, fs_error)) throw std::runtime_error("cannot read " + file);
        }
        tls_context_.emplace(asio::ssl::context::tls_server);
        error_code ec;
        tls_context_->use_certificate_chain_file(options_.tls_cert, ec);
        if (ec) throw std::runtime_error("cannot load certificate " + options_.tls_cert + ": " + ec.message());
        tls_context_->use_private_key_file(options_.tls_key, asio::ssl::context::pem, ec);
        if (ec) throw std::runtime_error("cannot load key " + options_.tls_key + ": " + ec.message());
    }

    open_listener(options_.listen, http_acceptor_);
    if (tls_context_) open_listener(options_.tls_listen, https_acceptor_);

    write_port_file();
    print_line("zelvo-server: listening http=" + std::to_string(http_acceptor_.local_endpoint().port()) +
               " https=" + std::to_string(tls_context_ ? https_acceptor_.local_endpoint().port() : 0));

    accept(http_acceptor_, false);
    if (tls_context_) accept(https_acceptor_, true);
}

void Server::run() { io_.run(); }

void Server::open_listener(const std::string& address, tcp::acceptor& acceptor) {
    const size_t colon = address.rfind(':');
    if (colon == std::string::npos) throw std::runtime_error("expected HOST:PORT, got " + address);
    std::string host = address.substr(0, colon);
    const std::string port = address.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);

    error_code ec;
    tcp::resolver resolver(io_);
    const auto results = resolver.resolve(host, port, tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec || results.empty()) throw std::runtime_error("cannot resolve " + address + ": " + ec.message());
    const tcp::endpoint endpoint = results.begin()->endpoint();

    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) throw std::runtime_error("cannot listen on " + address + ": " + ec.message());
}

void Server::accept(tcp::acceptor& acceptor, bool tls) {
    acceptor.async_accept([this, &acceptor, tls](error_code ec, tcp::socket socket) {
        if (state_.stopping || !acceptor.is_open()) return;
        if (!ec) {
            error_code ignored;
            const auto endpoint = socket.remote_endpoint(ignored);
            const std::string remote = ignored ? std::string("?") : endpoint_text(endpoint);
            // Small control frames should go out at once.
            socket.set_option(tcp::no_delay(true), ignored);
            if (tls) {
                auto session = std::make_shared<HttpSession<TlsStream>>(*this, remote, std::move(socket), *tls_context_);
                add_session(session);
                session->start();
            } else {
                auto session = std::make_shared<HttpSession<PlainStream>>(*this, remote, std::move(socket));
                add_session(session);
                session->start();
            }
        }
        accept(acceptor, tls);
    });
}

void Server::write_port_file() {
    if (options_.port_file.empty()) return;
    JsonPtr ports(cJSON_CreateObject());
    cJSON_AddNumberToObject(ports.get(), "http", http_acceptor_.local_endpoint().port());
    cJSON_AddNumberToObject(ports.get(), "https", tls_context_ ? https_acceptor_.local_endpoint().port() : 0);
    const std::string text = json_print(ports.get()) + "\n";
    // Readers poll for the file, so it must never be seen half written.
    const std::string temp = options_.port_file + ".tmp";
    FILE* file = std::fopen(temp.c_str(), "w");
    if (!file) throw std::runtime_error("cannot write " + temp);
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written) throw std::runtime_error("cannot write " + temp);
    std::error_code ec;
    std::filesystem::rename(temp, options_.port_file, ec);
    if (ec) throw std::runtime_error("cannot rename " + temp + ": " + ec.message());
}

void Server::stop() {
    if (state_.stopping) return;
    state_.stopping = true;
    error_code ignored;
    http_acceptor_.close(ignored);
    https_acceptor_.close(ignored);
    // A long decode or hash must not hold up the exit; unfinished work resumes at the next start.
    worker_.stop();
    for (auto& weak : state_.sessions) {
        if (auto session = weak.lock()) session->shutdown();
    }
    notify_waiters();
    stop_deadline_ = std::chrono::steady_clock::now() + STOP_GRACE;
    check_stopped();
}

void Server::check_stopped() {
    // Sessions held only by abandoned handlers are destroyed along with io_.
    if (state_.live_sessions == 0 || std::chrono::steady_clock::now() >= stop_deadline_) {
        io_.stop();
        return;
    }
    stop_timer_.expires_after(std::chrono::milliseconds(20));
    stop_timer_.async_wait([this](error_code) { check_stopped(); });
}

void Server::add_session(const std::shared_ptr<Session>& session) {
    std::erase_if(state_.sessions, [](const std::weak_ptr<Session>& weak) { return weak.expired(); });
    state_.sessions.push_back(session);
}

uint64_t Server::on_open(const std::string& remote, bool tls, std::weak_ptr<AgentLink> link) {
    Connection connection;
    connection.id = state_.next_conn_id++;
    connection.tls = tls;
    connection.remote = remote;
    connection.link = std::move(link);
    state_.connections.push_back(connection);
    print_line("open conn=" + std::to_string(connection.id) + " remote=" + remote + (tls ? " tls" : ""));
    notify_waiters();
    return connection.id;
}

void Server::on_message(uint64_t conn, std::string text, bool binary) {
    ReceivedMessage message{state_.next_seq++, conn, std::move(text), binary};
    const std::string line = json_print(message_json(message).get()) + "\n";
    std::fwrite(line.data(), 1, line.size(), state_.received_file);
    std::fflush(state_.received_file);
    log_received(conn, message.text);
    const std::string event = binary ? std::string() : message.text;
    state_.received.push_back(std::move(message));
    // Answered before waiters look, so a test that saw the request also sees its outcome.
    if (!binary) on_agent_event(conn, event);
    notify_waiters();
}

void Server::on_close(uint64_t conn, int close_code) {
    for (auto& connection : state_.connections) {
        if (connection.id != conn) continue;
        connection.open = false;
        connection.close_code = close_code;
    }
    print_line("close conn=" + std::to_string(conn) +
               " code=" + (close_code < 0 ? std::string("none") : std::to_string(close_code)));
    notify_waiters();
}

unsigned Server::take_refusal() {
    if (state_.refuse_status == 0) return 0;
    const unsigned status = state_.refuse_status;
    if (state_.refuse_count > 0 && --state_.refuse_count == 0) state_.refuse_status = 0;
    return status;
}

void Server::handle(const HttpRequest& request, Reply reply) {
    bool path_known = false;
    for (const auto& route : routes_) {
        const std::string_view path = route.path;
        const bool matches = path.ends_with('*')
                                 ? std::string_view(request.path).starts_with(path.substr(0, path.size() - 1))
                                 : path == request.path;
        if (!matches) continue;
        if (route.method == request.method) return route.handler(*this, request, std::move(reply));
        path_known = true;
    }
    reply(path_known ? json_error(405, "method not allowed") : json_error(404, "not found"));
}

void Server::wait_until(std::function<std::optional<HttpResponse>()> check, std::chrono::milliseconds timeout,
                        Reply reply) {
    auto waiter = std::make_shared<Waiter>(*this, std::move(check), std::move(reply));
    waiter->timer.expires_after(timeout);
    std::erase_if(state_.waiters, [](const std::weak_ptr<Waiter>& weak) { return weak.expired(); });
    state_.waiters.push_back(waiter);
    waiter->step();
}

void Server::notify_waiters() {
    for (auto& weak : state_.waiters) {
        if (auto waiter = weak.lock()) waiter->timer.cancel();
    }
}

std::shared_ptr<AgentLink> Server::find_link(uint64_t id) {
    if (id == 0) id = current_connection();
    for (const auto& connection : state_.connections) {
        if (connection.id == id && connection.open) return connection.link.lock();
    }
    return nullptr;
}

Connection* Server::find_connection(uint64_t id) {
    for (auto& connection : state_.connections) {
        if (connection.id == id) return &connection;
    }
    return nullptr;
}

uint64_t Server::current_connection() const {
    for (auto it = state_.connections.rbegin(); it != state_.connections.rend(); ++it) {
        if (it->open) return it->id;
    }
    return 0;
}
