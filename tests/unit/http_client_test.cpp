// The kept-alive HTTP client against a scripted loopback server: one connection for many requests,
// bodies in pieces arriving whole (also when a redirect makes them go out twice), and the upload's
// re-send when the server has closed the kept connection.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/periods.h"
#include "imaging/chunk_upload.h"
#include "net/http_json.h"
#include "platform/http.h"
#include "loopback_server.h"

namespace {

using testing_support::ScriptedServer;

constexpr size_t MiB = 1048576;

std::string answer(int status, const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
           extra + "\r\n" + body;
}

std::string random_bytes(size_t length, unsigned seed) {
    std::mt19937 rng(seed);
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    return bytes;
}

HttpRequest post(const std::string& url, const std::vector<HttpBodyPiece>& pieces) {
    HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.body_pieces = pieces;
    return request;
}

TEST(HttpClient, ManyRequestsOverOneConnectionWithBodiesInPieces) {
    ScriptedServer server([](int, int, const std::string&) { return answer(200, R"({"ok":1})"); });
    const std::string head = "head\r\n", tail = "\r\ntail", part = random_bytes(5 * MiB + 3, 1);
    const std::vector<HttpBodyPiece> pieces = {{head.data(), head.size()},
                                               {part.data(), part.size()},
                                               {nullptr, 0},
                                               {tail.data(), tail.size()}};
    HttpClient client;
    std::vector<bool> reused;
    for (int i = 0; i < 2; ++i) {
        HttpResponse response = client.perform(post(server.url("/a"), pieces));
        EXPECT_TRUE(response.ok) << response.error;
        EXPECT_EQ(response.body, R"({"ok":1})");
        reused.push_back(response.reused_connection);
        HttpRequest get;
        get.url = server.url("/b");
        response = client.perform(get);
        EXPECT_TRUE(response.ok) << response.error;
        reused.push_back(response.reused_connection);
    }
    HttpRequest single = post(server.url("/c"), {});
    single.body = "one piece";
    single.body_length = 9;
    EXPECT_TRUE(client.perform(single).ok);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 5u);
    for (const auto& r : requests) EXPECT_EQ(r.connection, 1);
    EXPECT_EQ(requests[0].body, head + part + tail);
    EXPECT_EQ(requests[1].body, "");
    EXPECT_EQ(requests[1].head.substr(0, 7), "GET /b ");
    EXPECT_EQ(requests[2].body, head + part + tail);
    EXPECT_EQ(requests[4].body, "one piece");
    EXPECT_EQ(reused, (std::vector<bool>{false, true, true, true}));
}

// A 307 sends the same body again to the new place: the pieces are read again from their start.
TEST(HttpClient, RedirectSendsTheBodyInPiecesAgain) {
    ScriptedServer server([](int, int, const std::string& head) {
        if (head.starts_with("POST /old ")) return answer(307, "", "Location: /new\r\n");
        return answer(201, R"({"moved":true})");
    });
    const std::string head = "--b\r\n", tail = "\r\n--b--\r\n", part = random_bytes(3 * MiB, 2);
    HttpClient client;
    const HttpResponse response =
        client.perform(post(server.url("/old"), {{head.data(), head.size()}, {part.data(), part.size()},
                                                  {tail.data(), tail.size()}}));
    EXPECT_TRUE(response.ok) << response.error;
    EXPECT_EQ(response.status, 201);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[1].head.starts_with("POST /new "));
    for (const auto& r : requests) EXPECT_EQ(r.body, head + part + tail);
}

// The server has closed the kept connection when chunk 1 comes (reset as its head arrives); the
// chunk then fails twice with 500 on the new connection. Had the lost connection counted as an
// attempt, the second 500 would have been the third and last. (libcurl often re-sends on a new
// connection by itself when the reset shows while it reads; the client does when it shows as a
// failed send. Either way the chunk must come through.)
TEST(Upload, KeptConnectionClosedByTheServerCostsNoAttempt) {
    ScriptedServer server([](int connection, int request, const std::string& head) {
        if (head.starts_with("GET ")) return answer(200, R"({"received_chunks":[]})");
        if (connection == 1 && request == 3) return std::string();
        if (connection == 2 && request <= 2) return answer(500, "busy");
        return answer(200, R"({"status":"ok"})");
    });
    const std::string part = random_bytes(3 * UPLOAD_CHUNK_SIZE - 5, 3);
    PartUpload upload;
    upload.base_url = server.url("");
    upload.token = "t";
    upload.data = reinterpret_cast<const uint8_t*>(part.data());
    upload.length = part.size();
    upload.batch_id = "b";
    upload.part_number = 1;
    upload.total_parts = 1;
    upload.disk_name = "d";
    HttpClient client;
    upload.client = &client;

    period_set_scale(0.001);  // retry pauses of milliseconds
    std::string error;
    JsonPtr result = upload_part_chunked(upload, &error);
    period_set_scale(1);
    EXPECT_TRUE(result) << error;

    // Connection 1: the status query and chunk 0; connection 2: chunk 1 three times, then chunk 2.
    const auto requests = server.requests();
    std::vector<std::pair<int, int>> seen;  // connection, chunk (-1: the status query)
    std::string sent;
    for (const auto& r : requests) {
        const size_t at = r.body.find("name=\"chunk_index\"\r\n\r\n");
        const int chunk = at == std::string::npos ? -1 : std::stoi(r.body.substr(at + 22));
        seen.emplace_back(r.connection, chunk);
        if (chunk < 0) continue;
        const size_t start = r.body.find("application/octet-stream\r\n\r\n") + 28;
        const size_t end = r.body.rfind("\r\n--");
        if (seen.size() < 2 || seen[seen.size() - 2].second != chunk) sent += r.body.substr(start, end - start);
    }
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{1, -1}, {1, 0}, {2, 1}, {2, 1}, {2, 1}, {2, 2}}));
    EXPECT_TRUE(sent == part);
}

}  // namespace
