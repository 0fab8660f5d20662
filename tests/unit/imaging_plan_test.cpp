// The imaging job's plan: what a request makes of a source (a sparse file standing in for a disk).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "imaging/imaging.h"
#include "test_support.h"

namespace {

constexpr uint64_t MiB = 1048576;
constexpr uint64_t TiB = 1099511627776ull;

TEST(ImagingPlan, ExtentAndPartsFollowTheRequest) {
    testing_support::TempDir dir;
    const std::string disk = dir.file("disk.img");
    testing_support::write_file(disk, "");
    ASSERT_EQ(truncate(disk.c_str(), static_cast<off_t>(TiB)), 0);
    struct Case {
        std::string fields;
        uint64_t offset, amount, part_size;
        int first, count;
    } cases[] = {
        {"", 0, TiB, 500 * MiB, 1, 2098},
        {R"("image_size_gb":0.5)", 0, 536870912, 500 * MiB, 1, 2},
        {R"("Image_Size_GB":0.5,"PART_SIZE_MB":100)", 0, 536870912, 100 * MiB, 1, 6},
        {R"("start_offset_gb":0.1,"image_size_gb":0.2,"start_part_number":5)", 107374182, 214748364, 500 * MiB, 5, 1},
        {R"("start_offset_gb":1023.5,"part_size_mb":256,"start_part_number":5)", 1023 * 1024 * MiB + 512 * MiB,
         512 * MiB, 256 * MiB, 5, 2},
    };
    for (const Case& c : cases) {
        JsonPtr request = json_parse(R"({"file_path":")" + disk + "\"" + (c.fields.empty() ? "" : ",") + c.fields + "}");
        ASSERT_TRUE(request) << c.fields;
        std::string error;
        const auto plan = imaging_make_plan(request.get(), &error);
        ASSERT_TRUE(plan) << c.fields << ": " << error;
        EXPECT_EQ(plan->source_size, TiB);
        EXPECT_EQ(plan->start_offset, c.offset) << c.fields;
        EXPECT_EQ(plan->amount, c.amount) << c.fields;
        EXPECT_EQ(plan->part_size, c.part_size) << c.fields;
        EXPECT_EQ(plan->first_part, c.first) << c.fields;
        EXPECT_EQ(plan->part_count, c.count) << c.fields;
    }
}

TEST(ImagingPlan, NamesAndAddressesReadIgnoringCase) {
    testing_support::TempDir dir;
    const std::string file = dir.file("f.bin");
    testing_support::write_file(file, "0123456789");
    JsonPtr request = json_parse(R"({"File_Path":")" + file +
                                 R"(","DISK_NAME":"My Disk #1/2","Token":"t","Server_Url":"http://s",
                                    "Direct_URL":"http://d","Existing_Disk_Id":"9","Batch_Id":"b-1"})");
    std::string error;
    const auto plan = imaging_make_plan(request.get(), &error);
    ASSERT_TRUE(plan) << error;
    EXPECT_EQ(plan->source, file);
    EXPECT_TRUE(plan->from_file);
    EXPECT_EQ(plan->disk_name, "My_Disk_12");
    EXPECT_EQ(plan->base_url, "http://d");
    EXPECT_EQ(plan->token, "t");
    EXPECT_EQ(plan->existing_disk_id, "9");
    EXPECT_EQ(plan->batch_id, "b-1");
    EXPECT_EQ(plan->amount, 10u);
}

TEST(ImagingPlan, RequestsTheJobCannotServe) {
    testing_support::TempDir dir;
    const std::string file = dir.file("f.bin");
    testing_support::write_file(file, std::string(MiB, 'x'));
    testing_support::write_file(dir.file("empty.bin"), "");
    const std::string f = R"("file_path":")" + file + "\"";
    const std::pair<std::string, std::string> cases[] = {
        {R"("file_path":")" + dir.file("empty.bin") + "\"", "File not found or empty."},
        {R"("file_path":")" + dir.file("missing.bin") + "\"", "File not found or empty."},
        {f + R"(,"part_size_mb":0)", "Invalid part size: part_size_mb must be at least 1"},
        {f + R"(,"part_size_mb":4096)", "Invalid part size: part_size_mb must be at most 4095"},
        {f + R"(,"start_offset_gb":-1)", "Invalid start offset or image size"},
        {f + R"(,"start_offset_gb":0.001)", "Start offset is beyond the end of the source (1.0 MB)"},
        {f + R"(,"start_part_number":-1)", "Invalid start part number or too many parts"},
        {f + R"(,"start_part_number":2147483647)", "Invalid start part number or too many parts"},
        {f + R"(,"batch_id":"../x")", "Invalid batch_id"},
    };
    for (const auto& [fields, expected] : cases) {
        JsonPtr request = json_parse("{" + fields + "}");
        ASSERT_TRUE(request) << fields;
        std::string error;
        EXPECT_FALSE(imaging_make_plan(request.get(), &error)) << fields;
        EXPECT_EQ(error, expected) << fields;
    }
}

}  // namespace
