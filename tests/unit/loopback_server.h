// A scripted HTTP server on loopback for the unit tests of the HTTP client and its users.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// A listening TCP socket on 127.0.0.1 at a free port (*port); `receive_buffer` sets SO_RCVBUF when
// not 0.
inline int loopback_listen(uint16_t* port, int receive_buffer = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (receive_buffer) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd, 8);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

// Serves each connection on a thread of its own. For every request whose head has arrived the
// script gives the raw answer, or "" to reset the connection there, before the body is read (the
// way a server that has closed a kept connection meets the next request on it).
class ScriptedServer {
public:
    struct Request {
        int connection;  // from 1, in the order of accepting
        std::string head;
        std::string body;
    };
    // connection and request number on it, both from 1, and the request's head.
    using Script = std::function<std::string(int connection, int request, const std::string& head)>;

    explicit ScriptedServer(Script script) : script_(std::move(script)) {
        // A small window, so that a large body is still on its way when the server resets.
        listener_ = loopback_listen(&port_, 16384);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    ~ScriptedServer() {
        shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        {
            std::lock_guard<std::mutex> guard(lock_);
            for (int fd : open_) shutdown(fd, SHUT_RDWR);
        }
        for (std::thread& t : connections_) t.join();
        for (int fd : open_) close(fd);
        close(listener_);
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    std::vector<Request> requests() {
        std::lock_guard<std::mutex> guard(lock_);
        return requests_;
    }

private:
    void accept_loop() {
        for (int number = 1;; ++number) {
            int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0) return;
            std::lock_guard<std::mutex> guard(lock_);
            open_.push_back(fd);
            connections_.emplace_back([this, fd, number] { serve(fd, number); });
        }
    }
    void serve(int fd, int connection) {
        std::string data;
        char buffer[65536];
        auto fill = [&]() {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) return false;
            data.append(buffer, static_cast<size_t>(n));
            return true;
        };
        for (int number = 1;; ++number) {
            size_t end;
            while ((end = data.find("\r\n\r\n")) == std::string::npos) {
                if (!fill()) return;
            }
            std::string head = data.substr(0, end + 4);
            data.erase(0, end + 4);
            const std::string answer = script_(connection, number, head);
            if (answer.empty()) {
                linger reset{1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                std::lock_guard<std::mutex> guard(lock_);
                std::erase(open_, fd);
                close(fd);
                return;
            }
            size_t at = head.find("Content-Length: ");
            const size_t length = at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
            while (data.size() < length) {
                if (!fill()) return;
            }
            {
                std::lock_guard<std::mutex> guard(lock_);
                requests_.push_back({connection, head, data.substr(0, length)});
            }
            data.erase(0, length);
            if (write(fd, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size())) return;
        }
    }

    Script script_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread acceptor_;
    std::mutex lock_;                     // guards the three below
    std::vector<int> open_;               // accepted descriptors not reset; closed at the end
    std::vector<std::thread> connections_;
    std::vector<Request> requests_;       // whole requests, in the order they arrived
};

}  // namespace testing_support
