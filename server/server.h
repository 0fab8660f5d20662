// zelvo-server: the reference server that agents connect to. An agent opens the WebSocket at /ws;
// tests steer the server and read what it saw through the JSON routes under /control/. A PC is
// linked to an account on the page /link_service and proves its device key on every connection;
// disk images arrive in chunks at /upload_chunk; installers and other files are served from
// /download/. The same routes are served on the plain listener and on the optional TLS one.
//
// Everything runs on one io_context thread, so the state needs no lock and writes to a connection
// are serialised by a per-connection queue. Only slow file work (reassembling, decoding and hashing
// uploads) runs on a worker thread, which posts its results back to the io_context.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/json.h"

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

// Anything that must be ended when the server stops.
class Session {
public:
    virtual ~Session() = default;
    virtual void shutdown() = 0;
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

struct HttpRequest {
    std::string method;
    std::string path;
    std::map<std::string, std::string> query;  // decoded
    std::string content_type;                  // empty when the request named none
    std::string body;
};

struct HttpResponse {
    unsigned status = 200;
    std::string body;
    std::string content_type = "application/json";
    // Sends only this many bytes of the body, under the full Content-Length, then closes the
    // connection: a body cut short.
    std::optional<size_t> cut_after;
    // Closes the connection without answering at all.
    bool drop = false;
};

using Reply = std::function<void(HttpResponse)>;

class Server;
using RouteHandler = std::function<void(Server&, const HttpRequest&, Reply)>;
struct Route {
    std::string method;
    std::string path;  // a trailing "*" matches any rest of the path
    RouteHandler handler;
};
// Defined in routes.cpp.
std::vector<Route> make_routes();

// Upload side (uploads.cpp): disk images arrive as parts, each part as numbered chunks.

enum class PartState { receiving, decoding, complete, error };

struct UploadPart {
    int64_t part_number = 0;
    std::string filename;  // the part file in the batch folder, as the agent named it
    int64_t total_chunks = 0;
    std::string compressed;      // empty: the part is the raw bytes
    uint64_t original_size = 0;  // raw length the agent declared with "compressed"; 0 without
    std::string disk_name;
    std::string existing_disk_id;
    int64_t total_parts = 0;      // as the part's first chunk said
    std::set<int64_t> received;   // chunk indices stored
    PartState state = PartState::receiving;
    std::string error;  // why the part is in error
    uint64_t size = 0;  // decoded length, once complete
    uint64_t generation = 0;  // counts restarts, so a late decode of earlier chunks is ignored
};

enum class ImageState { none, building, complete, error };

// One upload job of an agent: parts from the lowest part number seen up to total_parts, which
// together make the image.
struct UploadBatch {
    std::string id;
    int64_t total_parts = 0;       // the last part number, as the latest chunk said
    std::string existing_disk_id;  // given by the agent; the disk id when not empty
    int64_t disk_id = 0;           // assigned by the server when no existing id came
    std::map<int64_t, UploadPart> parts;
    ImageState image_state = ImageState::none;
    std::pair<int64_t, int64_t> image_range;  // the parts the image is (being) built from
    uint64_t image_size = 0;
    std::string image_sha256;  // hex, once complete
    std::string image_error;
};

// One request to /upload_chunk or /upload_chunk_status, refused ones included.
struct UploadLogEntry {
    uint64_t seq = 0;
    bool chunk = false;  // false: a status query
    std::string batch_id;
    std::optional<int64_t> part_number;
    std::optional<int64_t> chunk_index;
    unsigned status = 0;  // 0 while the answer is pending, and when dropped
    bool dropped = false;
};

// Misbehaviour ordered for chunk POSTs. Counts of -1 last until disarmed.
struct UploadFaults {
    int after = 0;        // chunk POSTs still served normally before the status and drop faults apply
    unsigned status = 0;  // answer with this status instead of storing
    int status_count = 0;
    std::optional<std::string> body;  // the faulty answer's body; a JSON error when unset
    int drop_count = 0;   // close the connection without answering nor storing
    size_t pad = 0;       // bytes of "pad" added to every successful chunk answer
    unsigned delay_ms = 0;    // every chunk answer is held back this long
    bool record_raw = false;  // keep every chunk request's body under uploads/raw/
};

struct Waiter;

// Everything the server knows. Touched only on the io_context thread.
struct ServerState {
    std::string data_dir;
    FILE* received_file = nullptr;  // data_dir/received.jsonl

    uint64_t next_seq = 1;  // keeps rising across resets
    std::vector<ReceivedMessage> received;

    uint64_t next_conn_id = 1;
    std::vector<Connection> connections;

    unsigned refuse_status = 0;  // 0: upgrades are accepted
    int refuse_count = 0;        // -1: until disarmed

    // Accounts and devices outlive resets and restarts (data_dir/devices.json).
    std::vector<Account> accounts;
    std::vector<Device> devices;
    std::map<std::string, Pairing> pairings;  // by code
    std::string auth_fail_error;  // forced "auth_fail" text while auth_fail_count != 0
    int auth_fail_count = 0;      // -1: until disarmed
    std::optional<UpdateOffer> update_offer;

    // Uploads outlive resets and restarts (data_dir/uploads); the log and faults do not.
    std::map<std::string, UploadBatch> batches;  // by batch id
    int64_t next_disk_id = 1;
    uint64_t next_upload_seq = 1;  // keeps rising across resets
    std::vector<UploadLogEntry> upload_log;
    UploadFaults upload_faults;

    bool stopping = false;
    size_t live_sessions = 0;
    std::vector<std::weak_ptr<Session>> sessions;
    std::vector<std::weak_ptr<Waiter>> waiters;
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

    // Session hooks.
    void add_session(const std::shared_ptr<Session>& session);
    uint64_t on_open(const std::string& remote, bool tls, std::weak_ptr<AgentLink> link);
    void on_message(uint64_t conn, std::string text, bool binary);
    void on_close(uint64_t conn, int close_code);
    // The status to refuse the next upgrade with, counting it; 0 to accept it.
    unsigned take_refusal();
    void handle(const HttpRequest& request, Reply reply);

    // Route helpers.
    // Calls `check` now and after every change to the state; answers with its first response, with
    // 408 once `timeout` has passed, or with 503 when the server stops.
    void wait_until(std::function<std::optional<HttpResponse>()> check,
                    std::chrono::milliseconds timeout, Reply reply);
    // The open connection with that id, or the current one for id 0; null when there is none.
    std::shared_ptr<AgentLink> find_link(uint64_t id);
    // Most recently accepted connection still open; 0 when none is.
    uint64_t current_connection() const;
    // The connection with that id, open or not; null when there is none.
    Connection* find_connection(uint64_t id);

    // Account side (accounts.cpp).
    // Links the pending pairing's device to an account and sends "pair_success" on the pairing's
    // connection. Fails with 404 for an unknown code, 409 when the connection is gone or the
    // account asked for contradicts an existing one, 400 for an unusable name or id.
    void confirm_pairing(const PairConfirmation& confirmation, PairDone done);
    // Writes the accounts and devices to data_dir/devices.json; false after logging a failure.
    bool save_devices();

    // Upload side (uploads.cpp).
    // POST /upload_chunk: stores one chunk; the part is reassembled and decoded on the worker once
    // all its chunks are in.
    void upload_chunk(const HttpRequest& request, Reply reply);
    // GET /upload_chunk_status: the chunks of a part stored so far.
    void upload_chunk_status(const HttpRequest& request, Reply reply);
    Worker& worker() { return worker_; }
    // Lets pending waits look at the state again; for changes made outside a request's handler.
    void notify_waiters();

private:
    // Answers the agent's pairing and authentication events; others are only recorded.
    void on_agent_event(uint64_t conn, const std::string& text);
    void on_pair_request(uint64_t conn, const cJSON* data);
    void on_auth_key(uint64_t conn, const cJSON* data);
    void on_auth_response(uint64_t conn, const cJSON* data);
    // {"e":name,"d":data} to that connection; `done` as for AgentLink::send.
    void send_event(uint64_t conn, const char* name, JsonPtr data, AgentLink::Done done = nullptr);
    void load_devices();
    // Recovers the batches stored under data_dir/uploads and resumes their unfinished work.
    void load_uploads();
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
};

// JSON bodies for routes.
HttpResponse json_response(unsigned status, const cJSON* body);
HttpResponse json_error(unsigned status, const std::string& message);
HttpResponse json_ok();
// {"seq":..,"conn":..,"text":".."}, plus "binary":true for binary messages.
JsonPtr message_json(const ReceivedMessage& message);
// Bytes that are not UTF-8, and NUL, replaced by U+FFFD.
std::string json_safe(const std::string& in);
// One line on stdout, flushed.
void print_line(const std::string& line);
// Decoded name=value pairs of a query string or a form body.
std::map<std::string, std::string> parse_form(const std::string& text);
// The account with that id or name; null when there is none.
const Account* find_account(const ServerState& state, int64_t user_id);
const Account* find_account(const ServerState& state, const std::string& username);
// "receiving", "decoding", "complete" or "error".
const char* part_state_name(PartState state);
// The batch's image is built from exactly the parts it now spans.
bool batch_complete(const UploadBatch& batch);
