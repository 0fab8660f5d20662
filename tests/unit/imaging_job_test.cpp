// The imaging job's memory (the shared part-buffer pool and its byte budget) and its record: a
// dashboard that starts the next job as soon as one completes must get a new job.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/json.h"
#include "imaging/imaging.h"
#include "imaging/part_buffer.h"
#include "net/proto.h"
#include "loopback_server.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
constexpr size_t MiB = 1048576;

TEST(PartBufferPool, ReusesBuffersAndWaitsAtItsBudget) {
    PartBufferPool pool(3 * MiB, 60000);
    PartBuffer a = pool.take(MiB, 1), b = pool.take(MiB, 1), c = pool.take(MiB, 1);
    ASSERT_TRUE(a.valid() && b.valid() && c.valid());
    uint8_t* a_memory = a.data();
    // A fourth would pass the budget: the taker waits until one comes back, and gets that one.
    auto fourth = std::async(std::launch::async, [&pool] { return pool.take(MiB, 1); });
    EXPECT_EQ(fourth.wait_for(100ms), std::future_status::timeout);
    pool.give(std::move(a));
    PartBuffer d = fourth.get();
    EXPECT_EQ(d.data(), a_memory);
    EXPECT_EQ(pool.held_bytes(), 3 * MiB);

    // A budget smaller than one buffer per stage is raised to that for the call.
    PartBufferPool small(MiB, 60000);
    PartBuffer big1 = small.take(2 * MiB, 3), big2 = small.take(2 * MiB, 3), big3 = small.take(2 * MiB, 3);
    EXPECT_TRUE(big1.valid() && big2.valid() && big3.valid());
    small.give(std::move(big1));
    small.give(std::move(big2));
    small.give(std::move(big3));
    // Back at the budget for a smaller part, the idle buffers not needed go.
    PartBuffer other = small.take(MiB, 1);
    EXPECT_TRUE(other.valid());
    EXPECT_LE(small.held_bytes(), 2 * MiB) << "idle buffers above the budget must have been released";
    small.give(std::move(other));

    pool.give(std::move(b));
    pool.give(std::move(c));
    pool.give(std::move(d));
}

TEST(PartBufferPool, IdleBuffersAreReleasedAfterTheIdleTime) {
    PartBufferPool pool(8 * MiB, 200);
    pool.give(pool.take(MiB, 1));
    pool.give(pool.take(2 * MiB, 1));
    EXPECT_EQ(pool.idle_count(), 2u);
    // Taken again before its time: it stays.
    pool.give(pool.take(MiB, 1));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (pool.idle_count() > 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(pool.idle_count(), 0u);
    EXPECT_EQ(pool.held_bytes(), 0u);
}

struct Seen {
    std::mutex lock;
    std::string next_request;  // dispatched the moment the first job_complete goes out
    int completes = 0;
    int refused = 0;  // "job already running" answers
};
Seen* const g_seen = new Seen;

void watch(const char* name, const cJSON* data) {
    std::string request;
    {
        std::lock_guard<std::mutex> guard(g_seen->lock);
        if (std::string(name) == "imaging_progress" && json_string(data, "status") &&
            std::string(json_string(data, "status")) == "Job in progress (reconnected)") {
            ++g_seen->refused;
        }
        if (std::string(name) != "job_complete") return;
        if (++g_seen->completes == 1) request = g_seen->next_request;
    }
    if (!request.empty()) proto_dispatch(request.c_str(), request.size());
}

TEST(ImagingJob, ARequestRightAfterJobCompleteStartsTheNextJob) {
    testing_support::TempDir dir;
    const std::string file = dir.file("source.bin");
    testing_support::write_file(file, std::string(3000, 'z') + "tail");
    testing_support::ScriptedServer server([](int, int, const std::string&) {
        return std::string("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 15\r\n\r\n") +
               R"({"status":"ok"})";
    });
    proto_init();
    imaging_register();
    const std::string request = R"({"e":"upload_local_file","d":{"file_path":")" + file + R"(","token":"t","server_url":")" +
                                server.url("") + R"("}})";
    g_seen->next_request = request;
    proto_watch_sends(watch);
    proto_dispatch(request.c_str(), request.size());
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(g_seen->lock);
            if (g_seen->completes >= 2 || g_seen->refused > 0 || std::chrono::steady_clock::now() > deadline) break;
        }
        std::this_thread::sleep_for(20ms);
    }
    proto_watch_sends(nullptr);
    std::lock_guard<std::mutex> guard(g_seen->lock);
    EXPECT_EQ(g_seen->refused, 0) << "the request was taken for the job that had just completed";
    EXPECT_EQ(g_seen->completes, 2);
}

}  // namespace
