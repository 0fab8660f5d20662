// The scans area's check of a posted chunk: hits and regions inside the chunk, and a region index
// that agrees with the blob it describes.
#include <gtest/gtest.h>

#include <string>

#include "server/scans.h"

namespace {

struct Case {
    const char* what;
    std::string scan_id, offset, chunk_size, results, index, blob;
    bool ok;
};

TEST(ScanChunk, IndexAndBlobMustAgree) {
    const std::string empty = R"({"ftyp_list":[],"moov_dict":{},"image_sigs":[]})";
    const std::string hits = R"({"ftyp_list":[1024],"moov_dict":{"1536":5000},"image_sigs":[[1030,"JPEG"]]})";
    const std::string two = R"([{"start":1024,"end":1028,"size":4},{"start":1030,"end":1032,"size":2}])";
    const Case cases[] = {
        {"hits and two regions", "s1", "1024", "4096", hits, two, "abcdef", true},
        {"no hits, no regions", "", "0", "512", empty, "[]", "", true},
        {"a region ending at the chunk's end", "s1", "0", "8", empty, R"([{"start":6,"end":8,"size":2}])", "xy", true},
        {"blob longer than the index", "s1", "1024", "4096", hits, two, "abcdefg", false},
        {"blob shorter than the index", "s1", "1024", "4096", hits, two, "abcde", false},
        {"end is not start + size", "s1", "0", "64", empty, R"([{"start":0,"end":3,"size":2}])", "ab", false},
        {"region before the chunk", "s1", "1024", "64", empty, R"([{"start":1000,"end":1002,"size":2}])", "ab", false},
        {"region past the chunk", "s1", "0", "8", empty, R"([{"start":7,"end":9,"size":2}])", "ab", false},
        {"region size not a whole number", "s1", "0", "8", empty, R"([{"start":0,"end":1.5,"size":1.5}])", "a", false},
        {"hit past the chunk", "s1", "0", "1024", hits, "[]", "", false},
        {"moov key not a number", "s1", "0", "64", R"({"ftyp_list":[],"moov_dict":{"x":1},"image_sigs":[]})", "[]",
         "", false},
        {"results missing a list", "s1", "0", "64", R"({"ftyp_list":[],"moov_dict":{}})", "[]", "", false},
        {"index not JSON", "s1", "0", "64", empty, "[{", "", false},
        {"offset with a sign", "s1", "-0", "64", empty, "[]", "", false},
        {"chunk_size 0", "s1", "0", "0", empty, "[]", "", false},
        {"scan id leaving its folder", "../x", "0", "64", empty, "[]", "", false},
        {"scan id starting with a dot", ".hidden", "0", "64", empty, "[]", "", false},
    };
    for (const Case& c : cases) {
        ScannedChunk chunk;
        const std::string error = scan_read_chunk(c.scan_id, c.offset, c.chunk_size, c.results, c.index, c.blob, chunk);
        EXPECT_EQ(error.empty(), c.ok) << c.what << ": " << error;
    }
}

TEST(ScanChunk, FolderNames) {
    EXPECT_EQ(scan_folder_name("scan-2024.1_a"), "scan-2024.1_a");
    EXPECT_TRUE(scan_folder_name(""));  // the empty id has a folder no id can name
    EXPECT_FALSE(scan_folder_name(*scan_folder_name("")));
    for (const char* bad : {"..", ".", "a/b", "a\\b", "-x", "a b"}) EXPECT_FALSE(scan_folder_name(bad)) << bad;
    EXPECT_FALSE(scan_folder_name(std::string(65, 'a')));
}

}  // namespace
