// Upload client pieces: chunking and names, the multipart body, the resume flags, the POST's
// time-out and error texts (against a one-shot HTTP server in the test), the part queue and the
// disk-name cleaning.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "core/periods.h"
#include "imaging/chunk_upload.h"
#include "imaging/imaging.h"
#include "net/http_json.h"
#include "loopback_server.h"

namespace {

constexpr uint64_t MiB = 1048576;

TEST(Upload, ChunkCountsAndPartNames) {
    const std::pair<uint64_t, int> counts[] = {{0, 1}, {1, 1}, {4 * MiB, 1}, {4 * MiB + 1, 2}, {12 * MiB, 3}};
    for (auto [length, chunks] : counts) EXPECT_EQ(upload_chunk_count(length), chunks) << length;

    const std::string zvimg = "zvimg", gzip = "gzip", empty;
    struct Case {
        const char* disk;
        int part;
        const std::string* label;
        const char* name;
    } cases[] = {
        {"Disk_2", 7, &zvimg, "Disk_2.part007.zvimg"},
        {"Disk_2", 7, nullptr, "Disk_2.part007.img"},
        {"Disk_2", 7, &empty, "Disk_2.part007.img"},
        {"d", 1, &gzip, "d.part001.img.gz"},
        {"", 1234, &zvimg, "part.part1234.zvimg"},
    };
    for (const Case& c : cases) EXPECT_EQ(upload_part_filename(c.disk, c.part, c.label), c.name);
}

// The longest names the job can make (a 127-character disk name, part numbers of any width) keep
// their part number and extension whole within 127 bytes; the base is cut between characters.
TEST(Upload, PartNamesFitTheirLimit) {
    const std::string zvimg = "zvimg", gzip = "gzip";
    const std::string ascii(127, 'a');
    std::string accented;
    for (int i = 0; i < 64; ++i) accented += "\xC3\xA9";
    struct Case {
        const std::string& disk;
        int part;
        const std::string* label;
        std::string name;
    } cases[] = {
        {ascii, 7, &zvimg, std::string(113, 'a') + ".part007.zvimg"},
        {ascii, 7, nullptr, std::string(115, 'a') + ".part007.img"},
        {ascii, 2147483647, &gzip, std::string(105, 'a') + ".part2147483647.img.gz"},
        {ascii.substr(0, 100), 12, &zvimg, ascii.substr(0, 100) + ".part012.zvimg"},
        {accented, 7, &zvimg, accented.substr(0, 112) + ".part007.zvimg"},
    };
    for (const Case& c : cases) {
        const std::string name = upload_part_filename(c.disk, c.part, c.label);
        EXPECT_EQ(name, c.name);
        EXPECT_LE(name.size(), 127u);
    }
}

TEST(Upload, BoundaryIsFreshAndWellFormed) {
    const std::string a = upload_new_boundary(), b = upload_new_boundary();
    EXPECT_TRUE(std::regex_match(a, std::regex("----ChunkBoundary[0-9a-f]{12}"))) << a;
    EXPECT_EQ(a.size(), 29u);
    EXPECT_NE(a, b);
}

TEST(Upload, ChunkBodyLayout) {
    const std::string zvimg = "zvimg";
    ChunkFields f;
    f.batch_id = "20261210120000";
    f.part_number = 7;
    f.total_parts = 9;
    f.chunk_index = 12;
    f.total_chunks = 13;
    f.filename = "Disk_2.part007.zvimg";
    f.disk_name = "Disk_2";
    f.compression_label = &zvimg;
    f.original_size = 5000000000ull;
    f.existing_disk_id = "42";
    const uint8_t bytes[] = {0, '\r', '\n', 0xFF};
    auto body = upload_chunk_body("B", f, bytes, sizeof bytes);
    ASSERT_TRUE(body);
    auto field = [](const char* name, const char* value) {
        return std::string("--B\r\nContent-Disposition: form-data; name=\"") + name + "\"\r\n\r\n" + value + "\r\n";
    };
    std::string expected = field("batch_id", "20261210120000") + field("part_number", "7") +
                           field("total_parts", "9") + field("chunk_index", "12") + field("total_chunks", "13") +
                           field("filename", "Disk_2.part007.zvimg") + field("disk_name", "Disk_2") +
                           field("compressed", "zvimg") + field("original_size", "5000000000") +
                           field("existing_disk_id", "42") +
                           "--B\r\nContent-Disposition: form-data; name=\"chunk\"; filename=\"chunk0012\"\r\n"
                           "Content-Type: application/octet-stream\r\n\r\n" +
                           std::string(reinterpret_cast<const char*>(bytes), sizeof bytes) + "\r\n--B--\r\n";
    EXPECT_EQ(*body, expected);

    // Without a label and an existing disk id those fields are left out; the disk name stays.
    f.compression_label = nullptr;
    f.existing_disk_id.clear();
    f.disk_name.clear();
    body = upload_chunk_body("B", f, nullptr, 0);
    ASSERT_TRUE(body);
    EXPECT_EQ(body->find("compressed"), std::string::npos);
    EXPECT_EQ(body->find("original_size"), std::string::npos);
    EXPECT_EQ(body->find("existing_disk_id"), std::string::npos);
    EXPECT_NE(body->find(field("disk_name", "")), std::string::npos);
    EXPECT_TRUE(body->ends_with("Content-Type: application/octet-stream\r\n\r\n\r\n--B--\r\n"));
}

TEST(Upload, ResumeFlagsTakeOnlyWholeIndicesInRange) {
    struct Case {
        const char* answer;
        std::vector<uint8_t> flags;
    } cases[] = {
        {R"({"received_chunks":[0,2,99,-1]})", {1, 0, 1, 0}},
        {R"({"received_chunks":["1",1.5,null,true,3]})", {0, 0, 0, 1}},
        {R"({"received_chunks":{"0":1}})", {0, 0, 0, 0}},
        {R"({"Received_Chunks":[1]})", {0, 1, 0, 0}},  // members are read ignoring letter case
        {R"({"status":"ok"})", {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        JsonPtr answer = json_parse(c.answer);
        ASSERT_TRUE(answer) << c.answer;
        EXPECT_EQ(chunk_flags_from_answer(answer.get(), 4, 13 * MiB), c.flags) << c.answer;
    }
}

// A list that belongs to this part (4 chunks, 13 MiB raw) is trusted; one the server holds for a
// part cut another way is not, whatever it lists.
TEST(Upload, ResumeFlagsOnlyForTheSamePart) {
    const std::string held = R"("received_chunks":[0,1,2,3])";
    struct Case {
        std::string record;
        bool trusted;
        std::string mismatch;
    } cases[] = {
        {"", true, ""},
        {R"(,"total_chunks":4,"original_size":13631488)", true, ""},
        {R"(,"TOTAL_CHUNKS":4)", true, ""},
        {R"(,"original_size":13631488)", true, ""},
        {R"(,"total_chunks":8,"original_size":13631488)", false, "total_chunks 8, expected 4"},
        {R"(,"total_chunks":4,"original_size":33554432)", false, "original_size 33554432, expected 13631488"},
        {R"(,"Original_Size":1)", false, "original_size 1, expected 13631488"},
        {R"(,"total_chunks":"4")", false, "total_chunks \"4\", expected 4"},
    };
    for (const Case& c : cases) {
        JsonPtr answer = json_parse("{" + held + c.record + "}");
        ASSERT_TRUE(answer) << c.record;
        std::string mismatch;
        const auto flags = chunk_flags_from_answer(answer.get(), 4, 13 * MiB, &mismatch);
        EXPECT_EQ(flags, std::vector<uint8_t>(4, c.trusted ? 1 : 0)) << c.record;
        EXPECT_EQ(mismatch, c.mismatch);
    }
}

// The pauses a chunk's retries really wait when no test configuration shortens them.
TEST(Upload, RetryPausesAreThreeThenSixSeconds) {
    ASSERT_EQ(period_scale(), 1.0);
    EXPECT_EQ(period_ms(upload_retry_pause_ms(1)), 3000u);
    EXPECT_EQ(period_ms(upload_retry_pause_ms(2)), 6000u);
}

TEST(Upload, ConnectTimeoutFollowsTheBodyLength) {
    const std::pair<size_t, uint32_t> cases[] = {{0, 30000},          {1, 60000},          {32767, 60000},
                                                 {32768, 61000},      {4 * MiB + 16384, 188000},
                                                 {64 * MiB, 600000},  {1024 * MiB, 600000}};
    for (auto [length, ms] : cases) EXPECT_EQ(http_post_connect_timeout_ms(length), ms) << length;
}

// Answers one connection with a canned response (or closes it unanswered when `answer` is empty)
// after reading the whole request.
class OneShotServer {
public:
    explicit OneShotServer(std::string answer) : answer_(std::move(answer)) {
        fd_ = testing_support::loopback_listen(&port_);
        thread_ = std::thread([this] { serve(); });
    }
    ~OneShotServer() {
        thread_.join();
        close(fd_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/upload_chunk?token=t"; }
    std::string request;

private:
    void serve() {
        int client = accept(fd_, nullptr, nullptr);
        if (client < 0) return;
        char buffer[65536];
        size_t want = std::string::npos;
        while (request.size() < want) {
            ssize_t n = read(client, buffer, sizeof buffer);
            if (n <= 0) break;
            request.append(buffer, static_cast<size_t>(n));
            const size_t end = request.find("\r\n\r\n");
            if (end != std::string::npos && want == std::string::npos) {
                const size_t at = request.find("Content-Length: ");
                want = end + 4 + (at < end ? std::stoul(request.substr(at + 16)) : 0);
            }
        }
        if (!answer_.empty()) (void)!write(client, answer_.data(), answer_.size());
        close(client);
    }
    std::string answer_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

std::string response(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

TEST(Upload, PostAnswersAndErrorTexts) {
    const std::string long_answer = R"({"status":"ok","pad":")" + std::string(8000, 'x') + "\"}";
    const std::string long_page(2000, 'e');
    struct Case {
        std::string answer;
        bool ok;
        std::string error;
    } cases[] = {
        {response(201, R"({"status":"ok"})"), true, ""},
        {response(200, long_answer), true, ""},  // answers longer than 4 KiB are read whole
        {response(302, R"({"moved":1})"), true, ""},
        {response(404, "no such batch"), false, "HTTP 404: no such batch"},
        {response(200, ""), false, "Invalid JSON response (HTTP 200)"},
        {response(200, "{\"a\":1} x"), false, "Invalid JSON response (HTTP 200)"},
        {response(500, long_page), false, "HTTP 500: " + long_page.substr(0, 511 - 10)},
        {"", false, "WinHttpReceiveResponse failed (12152)"},
    };
    for (const Case& c : cases) {
        OneShotServer server(c.answer);
        std::string error;
        const std::string body = "part bytes";
        JsonPtr answer = http_post_json(server.url(), body.data(), body.size(), "multipart/form-data; boundary=x", &error);
        EXPECT_EQ(answer != nullptr, c.ok) << c.error;
        EXPECT_EQ(error, c.error);
        EXPECT_NE(server.request.find("POST /upload_chunk?token=t HTTP/1.1\r\n"), std::string::npos);
        EXPECT_NE(server.request.find("Content-Type: multipart/form-data; boundary=x\r\n"), std::string::npos);
        EXPECT_NE(server.request.find("User-Agent: Zelvo/1.0\r\n"), std::string::npos);
        EXPECT_TRUE(server.request.ends_with("\r\n\r\npart bytes"));
    }

    std::string error;
    EXPECT_FALSE(http_post_json("ftp://127.0.0.1/x", "", 0, "text/plain", &error));
    EXPECT_EQ(error, "Invalid URL");
    EXPECT_FALSE(http_post_json("http://" + std::string(300, 'h') + "/x", "", 0, "text/plain", &error));
    EXPECT_EQ(error, "Invalid URL");
    EXPECT_FALSE(http_post_json("http://127.0.0.1/" + std::string(600, 'p'), "", 0, "text/plain", &error));
    EXPECT_EQ(error, "Invalid URL");
    // Port 1 on loopback refuses the connection.
    EXPECT_FALSE(http_post_json("http://127.0.0.1:1/x", "a", 1, "text/plain", &error));
    EXPECT_EQ(error, "WinHttpSendRequest failed (12029)");
    EXPECT_FALSE(http_post_json("http://127.0.0.1:1/x", "a", 1, "text/plain", nullptr));
}

TEST(Imaging, PartQueueKeepsOrderAndBoundsItsContents) {
    PartQueue queue(2);
    std::atomic<int> pushed{0};
    std::thread producer([&] {
        for (int i = 1; i <= 5; ++i) {
            auto part = std::make_unique<ImagePart>();
            part->part_number = i;
            queue.push(std::move(part));
            ++pushed;
        }
        queue.push(nullptr);
    });
    // The third push waits until something is taken.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(pushed.load(), 2);
    for (int i = 1; i <= 5; ++i) {
        ImagePartPtr part = queue.pop();
        ASSERT_TRUE(part);
        EXPECT_EQ(part->part_number, i);
    }
    EXPECT_EQ(queue.pop(), nullptr);
    producer.join();
}

TEST(Imaging, DiskNamesAreCleaned) {
    struct Case {
        const char* name;
        int id;
        std::string expected;
    } cases[] = {
        {"My Disk #1/2", 0, "My_Disk_12"},
        {"a-b.c_d", 0, "a-b.c_d"},
        {nullptr, -1, "Disk_-1"},
        {"", 2, "Disk_2"},
        {"\xC3\xA9\xE2\x82\xAC!", 3, "Disk_3"},
        {"caf\xC3\xA9 1", 3, "caf_1"},
    };
    for (const Case& c : cases) EXPECT_EQ(imaging_clean_disk_name(c.name, c.id), c.expected);
    EXPECT_EQ(imaging_clean_disk_name(std::string(300, 'a').c_str(), 0), std::string(127, 'a'));
}

// Jobs started within one second get distinct ids, each the local time of an unused second.
TEST(Imaging, GeneratedBatchIdsAreNeverRepeated) {
    const std::time_t t = 1893456000;  // a second no other test asks for
    auto local = [](std::time_t second) {
        std::tm tm{};
        localtime_r(&second, &tm);
        char text[32];
        std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &tm);
        return std::string(text);
    };
    const std::string ids[] = {imaging_new_batch_id(t), imaging_new_batch_id(t), imaging_new_batch_id(t - 1),
                               imaging_new_batch_id(t - 1)};
    EXPECT_EQ(ids[0], local(t));
    EXPECT_EQ(ids[1], local(t + 1));
    EXPECT_EQ(ids[2], local(t - 1));
    EXPECT_EQ(ids[3], local(t + 2));
    for (const std::string& id : ids) EXPECT_TRUE(std::regex_match(id, std::regex("[0-9]{14}"))) << id;
}

}  // namespace
