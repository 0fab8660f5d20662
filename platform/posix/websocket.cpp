// POSIX WebSocket client on Boost.Beast, with OpenSSL for wss://.
//
// Beast streams are not thread-safe, so each client runs its own I/O thread and every operation
// is posted to it; the calling thread waits for the completion. This lets a sender, the receiving
// connection thread and a closer on a third thread use one client at the same time: the I/O
// thread sees at most one read and one write (or close) in flight, as Beast requires.
#include "platform/websocket.h"

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

#include <future>
#include <optional>
#include <memory>
#include <thread>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

using PlainStream = websocket::stream<beast::tcp_stream>;
using TlsStream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

constexpr auto kCloseGrace = std::chrono::seconds(3);  // wait for the peer's close reply

}  // namespace

struct WsClient {
    WsOptions options;
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
    std::optional<asio::ssl::context> tls;  // made on the I/O thread for wss:// only
    tcp::resolver resolver{io};
    asio::steady_timer close_timer{io};
    std::unique_ptr<PlainStream> plain;
    std::unique_ptr<TlsStream> secure;
    std::thread thread;

    // Touched on the I/O thread only.
    bool open = false;          // the upgrade completed
    bool closing = false;       // wsc_close was called
    bool writing = false;       // a message write is in flight
    uint16_t pending_close = 0; // close code waiting for the write to finish

    template <class F>
    void with_stream(F&& f) {
        if (secure) f(*secure);
        else if (plain) f(*plain);
    }

    void drop_socket() {
        beast::error_code ignored;
        resolver.cancel();
        with_stream([&](auto& s) { beast::get_lowest_layer(s).socket().close(ignored); });
    }

    void start_close(uint16_t code) {
        close_timer.expires_after(kCloseGrace);
        close_timer.async_wait([this](beast::error_code ec) {
            if (!ec) drop_socket();
        });
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
    client->thread = std::thread([client] {
        client->io.run();
        OPENSSL_thread_stop();  // every OpenSSL call ran on this thread: free its per-thread state
    });
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
        c->resolver.async_resolve(host, std::to_string(port), [=](beast::error_code ec, tcp::resolver::results_type found) {
            if (ec) return done(failure("resolve", static_cast<unsigned long>(ec.value())));
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
        if (!c->open || c->closing) return done(static_cast<unsigned long>(ENOTCONN));
        c->writing = true;
        c->with_stream([&](auto& stream) {
            stream.text(true);
            stream.async_write(asio::buffer(data, length), [c, done](beast::error_code ec, size_t) {
                c->writing = false;
                if (c->pending_close) c->start_close(c->pending_close);
                done(ec ? static_cast<unsigned long>(ec.value() ? ec.value() : EIO) : 0);
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
            stream.async_read_some(asio::buffer(buffer, capacity), [&stream, done](beast::error_code ec, size_t n) {
                WsReceived got;
                got.length = n;
                if (ec == websocket::error::closed) {
                    got.kind = WsFrame::close;
                    got.close_code = static_cast<uint16_t>(stream.reason().code);
                } else if (ec) {
                    got.kind = WsFrame::error;
                    got.error_code = static_cast<unsigned long>(ec.value());
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
        if (!client->open) client->drop_socket();          // ends a pending connect
        else if (client->writing) client->pending_close = code;  // the write's end starts it
        else client->start_close(code);
    });
}

void wsc_free(WsClient* client) {
    if (!client) return;
    asio::post(client->io, [client] { client->drop_socket(); });
    client->work.reset();
    client->io.stop();
    if (client->thread.joinable()) client->thread.join();
    delete client;
}
