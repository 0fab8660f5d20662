// Test helper: the agent's transport and dispatcher on their own, driven by a test server.
//   wsprobe run URL SECONDS   connect once, print hooks and events, answer the probe events below,
//                             end on "probe_exit" or after SECONDS
//   wsprobe race URL COUNT    start COUNT overlapping attempts, closing each after a random pause,
//                             then shut the transport down while attempts may still be running
// Events handled: "probe_echo" (prints its data, or its length and checksum when long),
// "probe_burst" {"threads":T,"count":N} (T threads each send N "probe_seq" {"t":..,"n":..}, then
// "probe_burst_done"), "probe_flood" {"count":N,"size":S} (one thread sends up to N messages of S
// bytes and prints how long the first failed send took), "probe_close" (ws_close from another
// thread), "probe_exit". "run" also ends once the connection has ended.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/json.h"
#include "net/proto.h"
#include "net/ws.h"

namespace {

std::mutex g_out;
std::atomic<bool> g_exit{false};
std::thread g_flood;  // started by the connection thread, joined by run() once the link is down

void say(const std::string& line) {
    std::lock_guard<std::mutex> guard(g_out);
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

void on_echo(const cJSON* data) {
    if (!data) return say("event probe_echo none");
    std::string text = json_print(data);
    if (text.size() <= 200) return say("event probe_echo " + text);
    uint32_t sum = 2166136261u;  // FNV-1a, enough to tell a whole message from a damaged one
    for (unsigned char c : text) sum = (sum ^ c) * 16777619u;
    say("event probe_echo len=" + std::to_string(text.size()) + " fnv=" + std::to_string(sum));
}

void on_burst(const cJSON* data) {
    int threads = cJSON_GetObjectItem(data, "threads") ? cJSON_GetObjectItem(data, "threads")->valueint : 4;
    int count = cJSON_GetObjectItem(data, "count") ? cJSON_GetObjectItem(data, "count")->valueint : 100;
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([t, count] {
            for (int n = 0; n < count; ++n) {
                cJSON* d = cJSON_CreateObject();
                cJSON_AddNumberToObject(d, "t", t);
                cJSON_AddNumberToObject(d, "n", n);
                cJSON_AddStringToObject(d, "pad", std::string(200 + 37 * t, 'x').c_str());
                proto_send("probe_seq", d);
            }
        });
    }
    for (auto& s : senders) s.join();
    proto_send("probe_burst_done", nullptr);
}

void on_flood(const cJSON* data) {
    int count = json_int(data, "count", 100);
    int size = json_int(data, "size", 60000);
    if (g_flood.joinable()) return;
    g_flood = std::thread([count, size] {
        std::string text = "{\"e\":\"probe_fill\",\"d\":{\"p\":\"" + std::string(static_cast<size_t>(size), 'f') + "\"}}";
        auto started = std::chrono::steady_clock::now();
        for (int n = 0; n < count; ++n) {
            auto before = std::chrono::steady_clock::now();
            if (!ws_send_text(text.data(), text.size())) {
                auto now = std::chrono::steady_clock::now();
                auto ms = [](auto d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); };
                say("flood failed sent=" + std::to_string(n) + " send_ms=" + std::to_string(ms(now - before)) +
                    " total_ms=" + std::to_string(ms(now - started)));
                return;
            }
        }
        say("flood sent=" + std::to_string(count));
    });
}

int run(const std::string& url, int seconds) {
    proto_init();
    proto_on("_connected", [](const cJSON*) { say("hook connected"); });
    proto_on("_disconnected", [](const cJSON*) { say("hook disconnected"); });
    proto_on("probe_echo", on_echo);
    proto_on("probe_burst", on_burst);
    proto_on("probe_flood", on_flood);
    proto_on("probe_close", [](const cJSON*) { std::thread([] { ws_close(); }).detach(); });
    proto_on("probe_exit", [](const cJSON*) { g_exit = true; });
    std::atomic<bool> ended{false};
    std::thread connection([url, &ended] {
        ws_run(url);
        say("run ended");
        ended = true;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!g_exit && !ended && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ws_shutdown();
    connection.join();
    if (g_flood.joinable()) g_flood.join();
    say("probe done");
    return 0;
}

int race(const std::string& url, int count) {
    proto_init();
    std::atomic<int> connected{0};
    static std::atomic<int>* counter = &connected;
    proto_on("_connected", [](const cJSON*) { ++*counter; });
    std::mt19937 random(12345);
    std::vector<std::thread> attempts;
    for (int i = 0; i < count; ++i) {
        attempts.emplace_back([url] { ws_run(url); });
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
        if (i % 3 != 2) ws_close();  // leave some attempts to be superseded by the next one
        ws_send_text(WS_HEARTBEAT, 24);
    }
    ws_shutdown();  // attempts may still be connecting or cleaning up
    for (auto& a : attempts) a.join();
    say("race done connected=" + std::to_string(connected.load()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: wsprobe run URL SECONDS | race URL COUNT\n");
        return 2;
    }
    std::string mode = argv[1];
    if (mode == "run") return run(argv[2], std::atoi(argv[3]));
    if (mode == "race") return race(argv[2], std::atoi(argv[3]));
    return 2;
}
