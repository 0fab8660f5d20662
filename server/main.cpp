// zelvo-server command line: options, signals, and the run loop.

#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "server/server.h"

namespace {

void usage() {
    std::fputs("usage: zelvo-server --data DIR [--listen HOST:PORT]\n"
               "                    [--tls-listen HOST:PORT --tls-cert CERT.pem --tls-key KEY.pem]\n"
               "                    [--port-file FILE]\n",
               stderr);
}

}  // namespace

int main(int argc, char** argv) {
    ServerOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        std::string* target = flag == "--data"         ? &options.data_dir
                              : flag == "--listen"     ? &options.listen
                              : flag == "--tls-listen" ? &options.tls_listen
                              : flag == "--tls-cert"   ? &options.tls_cert
                              : flag == "--tls-key"    ? &options.tls_key
                              : flag == "--port-file"  ? &options.port_file
                                                       : nullptr;
        if (flag == "--help" || flag == "-h") {
            usage();
            return 0;
        }
        if (!target || i + 1 >= argc) {
            std::fprintf(stderr, "zelvo-server: %s %s\n", target ? "missing value for" : "unknown option",
                         flag.c_str());
            usage();
            return 2;
        }
        *target = argv[++i];
    }
    if (options.data_dir.empty()) {
        std::fputs("zelvo-server: --data is required\n", stderr);
        usage();
        return 2;
    }
    if (!options.tls_listen.empty() && (options.tls_cert.empty() || options.tls_key.empty())) {
        std::fputs("zelvo-server: --tls-listen needs --tls-cert and --tls-key\n", stderr);
        return 2;
    }

    try {
        // A reader of our stdout that goes away must not end the server.
        std::signal(SIGPIPE, SIG_IGN);
        Server server(options);
        // Armed before the ports are announced: a test may signal as soon as it knows them.
        boost::asio::signal_set signals(server.io(), SIGINT, SIGTERM);
        signals.async_wait([&server](const boost::system::error_code& ec, int) {
            if (!ec) server.stop();
        });
        server.start();
        server.run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zelvo-server: %s\n", error.what());
        return 1;
    }
    return 0;
}
