// The remote scan's plan: the range, device and upload URL a request makes, and the requests
// refused before anything is read.
#include <gtest/gtest.h>

#include <string>

#include "core/json.h"
#include "platform/disks.h"
#include "scan/scan_job.h"

namespace {

constexpr uint64_t MiB = 1048576;
constexpr uint64_t kDisk = 100 * MiB;

std::optional<ScanPlan> plan_of(const std::string& fields, std::string* error, std::string* sized = nullptr) {
    JsonPtr request = json_parse("{" + fields + "}");
    EXPECT_TRUE(request) << fields;
    return scan_make_plan(request.get(), [sized](const std::string& path) {
        if (sized) *sized = path;
        return kDisk;
    }, error);
}

TEST(ScanPlan, RangeFollowsTheRequestWithoutWrapping) {
    struct Case {
        std::string fields;
        uint64_t start, end, total;
    } cases[] = {
        {"", 0, kDisk, kDisk},
        {R"("start_offset":1048576)", MiB, kDisk, kDisk},                                 // scan_size 0: to the end
        {R"("start_offset":1048576,"scan_size":2097152)", MiB, 3 * MiB, kDisk},
        {R"("start_offset":1048576,"scan_size":104857600)", MiB, kDisk, kDisk},           // cut at the end
        {R"("start_offset":1048576,"scan_size":1.8e19)", MiB, kDisk, kDisk},              // no wrap past 2^64
        {R"("start_offset":1.5e19,"scan_size":1e19)", 15000000000000000000ull, kDisk, kDisk},
        {R"("total_size":4096,"start_offset":1024)", 1024, 4096, 4096},                   // the disk is not asked
        {R"("total_size":0)", 0, kDisk, kDisk},
        {R"("START_OFFSET":512.9)", 512, kDisk, kDisk},
        {R"("start_offset":"512")", 0, kDisk, kDisk},                                     // a string reads as 0
    };
    for (const Case& c : cases) {
        std::string error;
        const auto plan = plan_of(c.fields, &error);
        ASSERT_TRUE(plan) << c.fields << ": " << error;
        EXPECT_EQ(plan->start_offset, c.start) << c.fields;
        EXPECT_EQ(plan->end, c.end) << c.fields;
        EXPECT_EQ(plan->total, c.total) << c.fields;
        EXPECT_EQ(plan->length(), c.end > c.start ? c.end - c.start : 0) << c.fields;
        EXPECT_EQ(scan_check_extent(*plan).has_value(), c.start >= c.end) << c.fields;
    }
}

TEST(ScanPlan, RequestsRefusedBeforeReading) {
    for (const std::string fields : {R"("chunk_size":0)", R"("chunk_size":-1)", R"("chunk_size":1073741825)",
                                     R"("chunk_size":1e12)", R"("chunk_size":"65536")", R"("chunk_size":null)",
                                     R"("start_offset":-1)", R"("scan_size":-0.5)", R"("total_size":2e19)"}) {
        std::string error;
        EXPECT_FALSE(plan_of(fields, &error)) << fields;
        EXPECT_FALSE(error.empty()) << fields;
    }
    std::string error;
    const auto largest = plan_of(R"("chunk_size":1073741824)", &error);
    ASSERT_TRUE(largest) << error;
    EXPECT_EQ(largest->chunk_size, 1073741824);
    EXPECT_EQ(plan_of("", &error)->chunk_size, 64 * static_cast<int>(MiB));
}

TEST(ScanPlan, DeviceIdAndUploadUrl) {
    std::string error, sized;
    auto plan = plan_of(R"("disk_id":3,"scan_id":"s-1","upload_token":"t","direct_url":"http://d:1","server_url":"http://s")",
                        &error, &sized);
    ASSERT_TRUE(plan) << error;
    EXPECT_EQ(plan->device, disk_device_path(3));
    EXPECT_EQ(sized, plan->device);
    EXPECT_EQ(plan->upload_url, "http://d:1/api/remote/scanned_chunk?token=t");
    EXPECT_STREQ(plan->shown_id(), "s-1");

    // A path replaces the disk number; a scan_id or token that is no string reads as absent.
    plan = plan_of(R"("disk_id":3,"disk_path":"/tmp/card.img","scan_id":7,"upload_token":5,"server_url":"http://s")",
                   &error);
    ASSERT_TRUE(plan) << error;
    EXPECT_EQ(plan->device, "/tmp/card.img");
    EXPECT_FALSE(plan->scan_id);
    EXPECT_STREQ(plan->shown_id(), "?");
    EXPECT_EQ(plan->upload_url, "http://s/api/remote/scanned_chunk?token=");

    plan = plan_of(R"("disk_path":"","server_url":"http://s","upload_token":")" + std::string(600, 'x') + "\"", &error);
    ASSERT_TRUE(plan) << error;
    EXPECT_EQ(plan->device, disk_device_path(-1));
    EXPECT_EQ(plan->upload_url.size(), SCAN_MAX_URL);
}

}  // namespace
