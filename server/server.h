// zelvo-server: the reference server that agents connect to. An agent opens the WebSocket at /ws;
// tests steer the server and read what it saw through the JSON routes under /control/. A PC is
// linked to an account on the page /link_service and proves its device key on every connection;
// disk images arrive in chunks at /upload_chunk; installers and other files are served from
// /download/. The same routes are served on the plain listener and on the optional TLS one.
//
// Everything runs on one io_context thread, so the state needs no lock and writes to a connection
// are serialised by a per-connection queue. Only slow file work runs on worker threads, which post
// their results back to the io_context: one reassembles and decodes uploaded parts, the other joins
// them into images and hashes them, so the two keep pace with each other while chunks arrive.
//
// Each area has its header and gives its routes: sessions.h (/ws and the control routes that talk
// to agents), accounts.h (pairing, authentication, devices), uploads.h (disk image parts), scans.h
// (remote scan chunks), downloads.h (files). This header holds what they share: the state, the
// worker and the server.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/accounts.h"
#include "server/http.h"
#include "server/scans.h"
#include "server/sessions.h"
#include "server/uploads.h"

// The Server header of every answer and WebSocket handshake.
constexpr const char* SERVER_NAME = "zelvo-server";

// Anything that must be ended when the server stops.
class Session {
public:
    virtual ~Session() = default;
    virtual void shutdown() = 0;
};

struct Waiter;

// Everything the server knows, each area's part in its own header. Touched only on the io_context
// thread.
struct ServerState : SessionState, AccountState, UploadState, ScanState {
    std::string data_dir;
    bool stopping = false;
    uint64_t next_connection = 1;  // numbers the HTTP connections as they are accepted
    size_t live_sessions = 0;
    std::vector<std::weak_ptr<Session>> sessions;
    std::vector<std::weak_ptr<Waiter>> waiters;
};

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

struct ServerOptions {
    std::string data_dir;
    std::string listen = "127.0.0.1:0";
    std::string tls_listen;  // empty: no TLS listener
    std::string tls_cert;
    std::string tls_key;
    std::string port_file;
};

// Runs slow file work off the io thread, one job at a time in the order posted. A job is told
// through `stopping` when the server stops and should then give up soon.
class Worker {
public:
    using Job = std::function<void(const std::atomic<bool>& stopping)>;
    Worker();
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void post(Job job);
    // Drops the jobs not yet started and asks the running one to stop; the destructor joins.
    void stop();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;  // guarded by mutex_
    std::atomic<bool> stopping_{false};
    std::thread thread_;  // last: starts once the rest exists
};

class Server {
public:
    explicit Server(ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Opens the data folder and the listeners, then announces the ports. Throws
    // std::runtime_error naming what failed.
    void start();
    // Runs until stop() has ended every session.
    void run();
    // Stops accepting, ends every session, and lets run() return once they are gone (or after a
    // short grace period).
    void stop();

    boost::asio::io_context& io() { return io_; }
    ServerState& state() { return state_; }
    const ServerState& state() const { return state_; }
    Worker& worker() { return worker_; }
    Worker& image_worker() { return image_worker_; }

    // Counts a session until the server stops; stop() ends those still alive.
    void add_session(const std::shared_ptr<Session>& session);
    // Answers the request through the route table.
    void handle(const HttpRequest& request, Reply reply);
    // The reader the route of this request head streams its body to; null when it reads bodies whole.
    std::shared_ptr<BodyReader> open_body(const HttpRequest& head);
    // Calls `check` now and after every change to the state; answers with its first response, with
    // 408 once `timeout` has passed, or with 503 when the server stops.
    void wait_until(std::function<std::optional<HttpResponse>()> check, std::chrono::milliseconds timeout,
                    Reply reply);
    // Lets pending waits look at the state again; every change to the state calls it.
    void notify_waiters();

private:
    void open_listener(const std::string& address, boost::asio::ip::tcp::acceptor& acceptor);
    void accept(boost::asio::ip::tcp::acceptor& acceptor, bool tls);
    void write_port_file();
    void check_stopped();

    ServerOptions options_;
    std::vector<Route> routes_;
    // Declared before io_ so that sessions destroyed along with io_'s pending handlers can still
    // report to it.
    ServerState state_;
    std::optional<boost::asio::ssl::context> tls_context_;
    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor http_acceptor_;
    boost::asio::ip::tcp::acceptor https_acceptor_;
    boost::asio::steady_timer stop_timer_;
    std::chrono::steady_clock::time_point stop_deadline_;
    // Declared after io_: joined before io_ goes, so nothing is posted to a destroyed io_context.
    Worker worker_;
    Worker image_worker_;
};
