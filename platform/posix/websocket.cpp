// POSIX WebSocket client on Boost.Beast, with OpenSSL for wss://.
//
// Beast streams are not thread-safe, so each client runs its own I/O thread and every operation
// is posted to it; the calling thread waits for the completion. This lets a sender, the receiving
// connection thread and a closer on a third thread use one client at the same time: the I/O
// thread sees at most one read and one write (or close) in flight, as Beast requires.
//
// Every step that waits on the peer or the network is bounded: the name lookup and the connect by
// their options, a message write by the send bound (a write that times out leaves the stream
// unusable, so the link is dropped and the pending receive fails with the write's code), and a
// close by a short grace after which the socket is dropped, even with a write still stuck.
#include "platform/websocket.h"

#include <netdb.h>
#include <sys/socket.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/thread.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

using PlainStream = websocket::stream<beast::tcp_stream>;
using TlsStream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

constexpr auto kCloseGrace = std::chrono::seconds(3);  // wait for the peer's close reply

using Endpoints = std::vector<tcp::endpoint>;
using LookupDone = std::function<void(unsigned long code, Endpoints found)>;

// The link between a name lookup's own thread and the client waiting for it. getaddrinfo cannot
// be cancelled, so a lookup that outlives its time-out or its client finishes on its own thread
// and hands its result to nobody.
struct LookupLink {
    std::mutex lock;
    WsClient* client = nullptr;  // cleared by wsc_free; guarded by `lock`
};

}  // namespace

struct WsClient {
    WsOptions options;
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    std::optional<asio::ssl::context> tls;  // made on the I/O thread for wss:// only
    std::shared_ptr<LookupLink> lookup_link = std::make_shared<LookupLink>();
    asio::steady_timer lookup_timer{io};
    asio::steady_timer send_timer{io};
    asio::steady_timer close_timer{io};
    std::unique_ptr<PlainStream> plain;
    std::unique_ptr<TlsStream> secure;
    std::thread thread;

    // Touched on the I/O thread only.
    bool open = false;          // the upgrade completed
    bool closing = false;       // wsc_close was called
    bool writing = false;       // a message write is in flight
    uint16_t pending_close = 0; // close code waiting for the write to finish
    uint64_t write_seq = 0;     // numbers the writes, so a late time-out cannot hit the next one
    unsigned long broken = 0;   // why the stream became unusable (a write timed out), else 0
    bool peer_closed = false;   // a close frame arrived; whatever the teardown does after it
    LookupDone lookup_done;     // the pending name lookup's continuation

    template <class F>
    void with_stream(F&& f) {
        if (secure) f(*secure);
        else if (plain) f(*plain);
    }

    // Hands the lookup's outcome on once: the result, its time-out or a close, whichever is first.
    void finish_lookup(unsigned long code, Endpoints found) {
        if (!lookup_done) return;
        LookupDone next = std::move(lookup_done);
        lookup_done = nullptr;
        lookup_timer.cancel();
        next(code, std::move(found));
    }

    void drop_socket() {
        beast::error_code ignored;
        finish_lookup(ECANCELED, {});
        send_timer.cancel();
        with_stream([&](auto& s) { beast::get_lowest_layer(s).socket().close(ignored); });
    }

    // The peer gets `kCloseGrace` to answer our close frame; a write stuck behind a peer that
    // stopped reading does not hold the close up either.
    void arm_close_bound() {
        close_timer.expires_after(kCloseGrace);
        close_timer.async_wait([this](beast::error_code ec) {
            if (!ec) drop_socket();
        });
    }

    void start_close(uint16_t code) {
        arm_close_bound();
        with_stream([&](auto& s) {
            s.async_close(websocket::close_reason(code), [this](beast::error_code) {
                close_timer.cancel();
                drop_socket();
            });
        });
    }
};

namespace {

// Runs `start` on the client's I/O thread and waits for the value it hands to `done`.
template <class T, class Start>
T on_io(WsClient* client, Start start) {
    auto promise = std::make_shared<std::promise<T>>();
    std::future<T> result = promise->get_future();
    asio::post(client->io, [client, promise, start]() mutable {
        start(client, [promise](T value) { promise->set_value(std::move(value)); });
    });
    return result.get();
}

std::string failure(const char* step, unsigned long code) {
    return std::string(step) + " failed (" + std::to_string(code) + ")";
}

unsigned long lookup_error(int rc, int saved_errno) {
    if (rc == EAI_SYSTEM) return static_cast<unsigned long>(saved_errno ? saved_errno : EIO);
    return static_cast<unsigned long>(rc < 0 ? -rc : rc);
}

// Starts the name lookup on a thread of its own (I/O thread only); `done` runs on the I/O thread
// with the addresses, or with ETIMEDOUT after the resolve bound, or ECANCELED after a close.
void start_lookup(WsClient* c, const std::string& host, uint16_t port, LookupDone done) {
    c->lookup_done = std::move(done);
    c->lookup_timer.expires_after(std::chrono::milliseconds(c->options.resolve_timeout_ms));
    c->lookup_timer.async_wait([c](beast::error_code ec) {
        if (!ec) c->finish_lookup(ETIMEDOUT, {});
    });
    {
        std::lock_guard<std::mutex> guard(c->lookup_link->lock);
        c->lookup_link->client = c;
    }
    std::shared_ptr<LookupLink> link = c->lookup_link;
    bool started = thread_start_detached([link, host, port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
        addrinfo* list = nullptr;
        int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
        unsigned long code = rc == 0 ? 0 : lookup_error(rc, errno);
        Endpoints found;
        for (addrinfo* a = list; a; a = a->ai_next) {
            if (a->ai_family == AF_INET) {
                const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
                found.emplace_back(asio::ip::address_v4(ntohl(in->sin_addr.s_addr)), port);
            } else if (a->ai_family == AF_INET6) {
                const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
                asio::ip::address_v6::bytes_type bytes;
                std::memcpy(bytes.data(), in6->sin6_addr.s6_addr, bytes.size());
                found.emplace_back(asio::ip::address_v6(bytes, in6->sin6_scope_id), port);
            }
        }
        if (list) freeaddrinfo(list);
        if (code == 0 && found.empty()) code = static_cast<unsigned long>(-EAI_NONAME);
        std::lock_guard<std::mutex> guard(link->lock);
        WsClient* client = link->client;
        if (!client) return;  // the client is gone
        // Runs on the client's I/O thread, which wsc_free ends before the client goes.
        asio::post(client->io, [client, code, found = std::move(found)]() mutable {
            client->finish_lookup(code, std::move(found));
        });
    });
    if (!started) c->finish_lookup(EAGAIN, {});
}

template <class Stream>
void upgrade(WsClient* c, Stream& stream, const std::string& host_header, const std::string& path,
             std::function<void(std::string)> done) {
    beast::get_lowest_layer(stream).expires_never();  // the WebSocket keeps its own timers
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = std::chrono::milliseconds(c->options.send_timeout_ms);
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    stream.set_option(timeouts);
    std::string agent = c->options.user_agent;
    stream.set_option(websocket::stream_base::decorator(
        [agent](websocket::request_type& request) { request.set(beast::http::field::user_agent, agent); }));
    stream.read_message_max(0);  // the transport enforces its own message limit
    // A close frame is the peer's close even when the connection is then reset under the closing
    // handshake (proxies do that): remember it before the teardown can fail.
    stream.control_callback([c](websocket::frame_type kind, beast::string_view) {
        if (kind == websocket::frame_type::close) c->peer_closed = true;
    });
    auto response = std::make_shared<websocket::response_type>();
    stream.async_handshake(*response, host_header, path, [c, response, done](beast::error_code ec) {
        if (ec) {
            unsigned status = response->result_int();
            done(failure("WebSocket upgrade", status != 0 ? status : static_cast<unsigned long>(ec.value())));
            return;
        }
        if (c->closing) {
            done("WebSocket upgrade failed (closed)");
            return;
        }
        c->open = true;
        done("");
    });
}

}  // namespace

WsClient* wsc_create(const WsOptions& options) {
    auto* client = new WsClient;
    client->options = options;
    std::optional<std::thread> thread = thread_spawn([client] {
        client->io.run();
        OPENSSL_thread_stop();  // every OpenSSL call ran on this thread: free its per-thread state
    });
    if (!thread) {
        delete client;
        return nullptr;
    }
    client->thread = std::move(*thread);
    return client;
}

bool wsc_connect(WsClient* client, const std::string& host, uint16_t port, bool secure, const std::string& path,
                 std::string* error) {
    bool default_port = port == (secure ? 443 : 80);
    std::string host_text = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    std::string host_header = default_port ? host_text : host_text + ":" + std::to_string(port);
    std::string message = on_io<std::string>(client, [=](WsClient* c, std::function<void(std::string)> done) {
        if (c->closing) return done("connect failed (closed)");
        if (secure) {
            c->tls.emplace(asio::ssl::context::tls_client);
            c->tls->set_default_verify_paths();  // honours SSL_CERT_FILE / SSL_CERT_DIR
            c->tls->set_verify_mode(asio::ssl::verify_peer);
            ERR_clear_error();  // a missing optional CA folder is no error of ours
            c->secure = std::make_unique<TlsStream>(c->io, *c->tls);
        }
        else c->plain = std::make_unique<PlainStream>(c->io);
        start_lookup(c, host, port, [=](unsigned long code, Endpoints found) {
            if (code) return done(failure("resolve", code));
            c->with_stream([&](auto& stream) {
                auto& layer = beast::get_lowest_layer(stream);
                layer.expires_after(std::chrono::milliseconds(c->options.connect_timeout_ms));
                layer.async_connect(found, [=, &stream](beast::error_code ec2, const tcp::endpoint&) {
                    if (ec2) return done(failure("connect", static_cast<unsigned long>(ec2.value())));
                    if constexpr (std::is_same_v<std::decay_t<decltype(stream)>, TlsStream>) {
                        auto& tls = stream.next_layer();
                        SSL_set_tlsext_host_name(tls.native_handle(), host.c_str());
                        tls.set_verify_callback(asio::ssl::host_name_verification(host));
                        beast::get_lowest_layer(stream).expires_after(
                            std::chrono::milliseconds(c->options.send_timeout_ms));
                        tls.async_handshake(asio::ssl::stream_base::client, [=, &stream](beast::error_code ec3) {
                            if (ec3) return done(failure("TLS handshake", static_cast<unsigned long>(ec3.value())));
                            upgrade(c, stream, host_header, path, done);
                        });
                    } else {
                        upgrade(c, stream, host_header, path, done);
                    }
                });
            });
        });
    });
    if (!message.empty()) {
        *error = message;
        return false;
    }
    return true;
}

bool wsc_send_text(WsClient* client, const char* data, size_t length, unsigned long* error_code) {
    unsigned long code = on_io<unsigned long>(client, [=](WsClient* c, std::function<void(unsigned long)> done) {
        if (!c->open || c->closing || c->broken) return done(static_cast<unsigned long>(ENOTCONN));
        c->writing = true;
        uint64_t seq = ++c->write_seq;
        auto timed_out = std::make_shared<bool>(false);
        c->send_timer.expires_after(std::chrono::milliseconds(c->options.send_timeout_ms));
        c->send_timer.async_wait([c, timed_out, seq](beast::error_code ec) {
            if (ec || !c->writing || c->write_seq != seq) return;
            // Part of a frame may be out: the stream cannot carry another message.
            *timed_out = true;
            c->broken = ETIMEDOUT;
            c->drop_socket();
        });
        c->with_stream([&](auto& stream) {
            stream.text(true);
            stream.async_write(asio::buffer(data, length), [c, done, timed_out](beast::error_code ec, size_t) {
                c->writing = false;
                c->send_timer.cancel();
                unsigned long code = 0;
                if (*timed_out) {
                    code = ETIMEDOUT;
                } else if (ec) {
                    // Beast fails the stream after a write error: no later message may use it.
                    code = static_cast<unsigned long>(ec.value() ? ec.value() : EIO);
                    if (!c->broken) c->broken = code;
                }
                if (c->pending_close) {
                    if (c->broken) c->drop_socket();
                    else c->start_close(c->pending_close);
                }
                done(code);
            });
        });
    });
    if (error_code) *error_code = code;
    return code == 0;
}

WsReceived wsc_receive(WsClient* client, void* buffer, size_t capacity) {
    return on_io<WsReceived>(client, [=](WsClient* c, std::function<void(WsReceived)> done) {
        if (!c->open) {
            WsReceived failed;
            failed.error_code = ENOTCONN;
            return done(failed);
        }
        c->with_stream([&](auto& stream) {
            stream.async_read_some(asio::buffer(buffer, capacity), [c, &stream, done](beast::error_code ec, size_t n) {
                WsReceived got;
                got.length = n;
                if (ec == websocket::error::closed || (ec && c->peer_closed)) {
                    got.kind = WsFrame::close;
                    got.length = 0;
                    got.close_code = static_cast<uint16_t>(stream.reason().code);
                } else if (ec) {
                    got.kind = WsFrame::error;
                    // After a timed-out write the receive ends because the link was dropped for it.
                    got.error_code = c->broken ? c->broken : static_cast<unsigned long>(ec.value());
                } else if (stream.is_message_done()) {
                    got.kind = stream.got_text() ? WsFrame::text_end : WsFrame::binary_end;
                } else {
                    got.kind = stream.got_text() ? WsFrame::text_fragment : WsFrame::binary_fragment;
                }
                done(got);
            });
        });
    });
}

void wsc_close(WsClient* client, uint16_t code) {
    if (!client) return;
    asio::post(client->io, [client, code] {
        if (client->closing) return;
        client->closing = true;
        if (!client->open || client->broken) {
            client->drop_socket();  // ends a pending connect, or a link no frame can go over
        } else if (client->writing) {
            client->pending_close = code;  // the write's end starts the handshake...
            client->arm_close_bound();     // ...or the bound drops a link whose write is stuck
        } else {
            client->start_close(code);
        }
    });
}

void wsc_free(WsClient* client) {
    if (!client) return;
    {
        std::lock_guard<std::mutex> guard(client->lookup_link->lock);
        client->lookup_link->client = nullptr;  // a lookup still running hands its result to nobody
    }
    asio::post(client->io, [client] { client->drop_socket(); });
    client->work.reset();
    client->io.stop();
    if (client->thread.joinable()) client->thread.join();
    delete client;
}
