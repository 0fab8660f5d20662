// What every area shares: the listeners, HTTP sessions over plain and TLS connections, the route
// table, control waits, the worker thread, and stopping.

#include "server/server.h"

#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <sodium.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>

#include "server/downloads.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

namespace {

// A control send carries a whole message, JSON-escaped; a scanned chunk up to 256 MiB of regions
// (the agent's cap per chunk) with its hits and index.
constexpr size_t MAX_HTTP_BODY_BYTES = 320 * 1024 * 1024;
// Longer than the longest control wait, so a waiting client's keep-alive connection survives it.
constexpr auto HTTP_IDLE = std::chrono::seconds(300);
constexpr auto HANDSHAKE_TIMEOUT = std::chrono::seconds(30);
constexpr auto STOP_GRACE = std::chrono::seconds(3);
// Socket reads of a streamed body: large, so that a 4 MiB chunk takes a few reads and writes.
constexpr size_t BODY_PIECE = 2 << 20;

template <class Stream>
constexpr bool is_tls = std::is_same_v<Stream, TlsStream>;

std::string endpoint_text(const tcp::endpoint& endpoint) {
    const auto address = endpoint.address();
    std::string host = address.to_string();
    if (address.is_v6()) host = "[" + host + "]";
    return host + ":" + std::to_string(endpoint.port());
}

template <class Stream>
class HttpSession : public Session, public std::enable_shared_from_this<HttpSession<Stream>> {
public:
    template <class... Args>
    HttpSession(Server& server, std::string remote, Args&&... args)
        : server_(server),
          live_(server.state()),
          stream_(std::forward<Args>(args)...),
          remote_(std::move(remote)),
          connection_(server.state().next_connection++) {}

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
        http::async_read_header(stream_, buffer_, *parser_, [self = this->shared_from_this()](error_code ec, size_t) {
            if (ec) return self->end();
            self->on_header();
        });
    }

    // The body of a route that takes bodies as they arrive (chunk uploads, which go straight to
    // disk) is streamed to its reader when its length is known; every other body is read whole.
    void on_header() {
        if (parser_->is_done()) return on_request(parser_->release());
        const auto& head = parser_->get();
        const bool expects_continue = head.version() >= 11 && beast::iequals(head[http::field::expect], "100-continue");
        HttpRequest request = convert(head);
        std::shared_ptr<BodyReader> reader;
        if (!parser_->chunked() && parser_->content_length()) reader = server_.open_body(request);
        // A client that asks first gets its go-ahead instead of waiting for its own time-out.
        auto go_on = [self = this->shared_from_this(), request = std::move(request), reader]() mutable {
            if (!reader) {
                return http::async_read(self->stream_, self->buffer_, *self->parser_,
                                        [self](error_code ec, size_t) {
                                            if (ec) return self->end();
                                            self->on_request(self->parser_->release());
                                        });
            }
            request.streamed = reader;
            self->stream_body(std::move(request), *self->parser_->content_length());
        };
        if (!expects_continue) return go_on();
        static constexpr std::string_view proceed = "HTTP/1.1 100 Continue\r\n\r\n";
        asio::async_write(stream_, asio::buffer(proceed.data(), proceed.size()),
                          [self = this->shared_from_this(), go_on = std::move(go_on)](error_code ec, size_t) mutable {
                              if (ec) return self->end();
                              go_on();
                          });
    }

    // The body goes to the reader in pieces as large as the socket gives them, never past its
    // Content-Length, so the next request on the connection stays in the stream.
    void stream_body(HttpRequest request, uint64_t length) {
        const size_t early = static_cast<size_t>(std::min<uint64_t>(buffer_.size(), length));
        request.streamed->feed({static_cast<const char*>(buffer_.data().data()), early});
        buffer_.consume(early);
        streaming_.emplace(std::move(request));
        body_left_ = length - early;
        read_body();
    }

    void read_body() {
        if (body_left_ == 0) {
            HttpRequest request = std::move(*streaming_);
            streaming_.reset();
            const bool keep_alive = parser_->get().keep_alive();
            version_ = parser_->get().version();
            return dispatch(std::move(request), keep_alive);
        }
        if (body_piece_.empty()) body_piece_.resize(BODY_PIECE);
        const size_t want = static_cast<size_t>(std::min<uint64_t>(body_piece_.size(), body_left_));
        beast::get_lowest_layer(stream_).expires_after(HTTP_IDLE);
        stream_.async_read_some(asio::buffer(body_piece_.data(), want),
                                [self = this->shared_from_this()](error_code ec, size_t got) {
                                    if (ec) return self->end();
                                    self->streaming_->streamed->feed({self->body_piece_.data(), got});
                                    self->body_left_ -= got;
                                    self->read_body();
                                });
    }

    template <class Fields>
    HttpRequest convert(const http::request_header<Fields>& head) {
        const std::string target(head.target());
        HttpRequest converted;
        converted.connection = connection_;
        converted.method = std::string(head.method_string());
        converted.path = target.substr(0, target.find('?'));
        converted.query = parse_query(target);
        converted.content_type = std::string(head[http::field::content_type]);
        return converted;
    }

    void on_request(http::request<http::string_body> request) {
        version_ = request.version();
        const std::string target(request.target());
        const std::string path = target.substr(0, target.find('?'));

        if (websocket::is_upgrade(request)) {
            if (path != "/ws") return respond(json_error(404, "not found"), false);
            if (const unsigned status = sessions_take_refusal(server_)) {
                return respond(json_error(status, "refused"), false);
            }
            beast::get_lowest_layer(stream_).expires_never();
            return sessions_accept(server_, std::move(stream_), remote_, std::move(request));
        }
        if (path == "/ws") return respond(json_error(426, "websocket upgrade required"), false);

        HttpRequest converted = convert(request.base());
        converted.body = std::move(request.body());
        dispatch(std::move(converted), request.keep_alive());
    }

    void dispatch(HttpRequest request, bool keep_alive) {
        busy_ = true;
        server_.handle(request, [self = this->shared_from_this(), keep_alive](HttpResponse response) {
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
        // The answer itself does not announce the close.
        const bool close = !keep_alive || response.close_after;
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
        http::async_write(stream_, response_, [self = this->shared_from_this(), close](error_code ec, size_t) {
            self->busy_ = false;
            if (ec || close) return self->end();
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
    uint64_t connection_;
    unsigned version_ = 11;
    bool busy_ = false;  // between a request and the end of writing its answer
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::optional<HttpRequest> streaming_;  // the request whose body is being streamed
    uint64_t body_left_ = 0;                // of its body, still to come
    std::vector<char> body_piece_;          // where streamed bodies are read to; kept for the next
    http::response<http::string_body> response_;
};

// Forgets what tests ordered and what agents sent; what a real server would remember stays.
void post_reset(Server& server, const HttpRequest& request, Reply reply) {
    JsonPtr body = parse_body(request);
    if (!cJSON_IsObject(body.get())) return reply(json_error(400, "invalid JSON"));
    // Sequence numbers keep rising, so a "since" taken before the reset stays meaningful.
    sessions_reset(server);
    // Accounts, devices and uploaded batches stay: they stand for what a real server would remember.
    accounts_reset(server);
    uploads_reset(server);
    scans_reset(server);
    reply(json_ok());
}

std::vector<Route> all_routes() {
    std::vector<Route> routes = {{"POST", "/control/reset", post_reset}};
    for (auto area : {session_routes, account_routes, upload_routes, scan_routes, download_routes}) {
        for (auto& route : area()) routes.push_back(std::move(route));
    }
    return routes;
}

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

Server::Server(ServerOptions options)
    : options_(std::move(options)),
      routes_(all_routes()),
      http_acceptor_(io_),
      https_acceptor_(io_),
      stop_timer_(io_) {}

Server::~Server() { sessions_close(*this); }

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
    accounts_load(*this);
    uploads_load(*this);
    sessions_open(*this);

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
    image_worker_.stop();
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

std::shared_ptr<BodyReader> Server::open_body(const HttpRequest& head) {
    for (const auto& route : routes_) {
        if (route.open_body && route.method == head.method && route.path == head.path) {
            return route.open_body(*this, head);
        }
    }
    return nullptr;
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

Worker::Worker() : thread_([this] { run(); }) {}

Worker::~Worker() {
    stop();
    thread_.join();
}

void Worker::post(Job job) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void Worker::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        jobs_.clear();
    }
    wake_.notify_all();
}

void Worker::run() {
    while (true) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job(stopping_);
    }
}

