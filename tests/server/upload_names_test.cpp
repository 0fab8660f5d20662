// Which names a part file and a batch may take in the upload store.

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "server/uploads.h"

namespace {

TEST(UploadNames, PartFilesTakeEveryNameTheAgentMakesAndNothingUnsafe) {
    // The agent makes "<disk name>.partNNN.<ext>" from a disk name of [A-Za-z0-9._-], at most 127 bytes.
    for (const std::string name : {".x.part001.img", "..part001.img", "...part001.zvimg", "part7.part001.img",
                                   "part.part012.zvimg", "a..b.part1000.img", "-_.part001.img.gz", "image.part001.img",
                                   "part001.raw.part001.img", "Disk_2.part007.zvimg"}) {
        EXPECT_TRUE(valid_part_filename(name)) << name;
    }
    EXPECT_TRUE(valid_part_filename(std::string(113, 'D') + ".part001.zvimg"));
    for (const std::string& name : std::initializer_list<std::string>{"", ".", "..", "a/b", "../a", "a\\b", std::string("a\0b", 3), "a\x01" "b",
                                   "a\tb", "a b", "\xc3\xa9.img", std::string(128, 'D'),
                                   // The server's own names in a batch folder.
                                   "image.img", "part001", "part7", "part001.raw", "part12345.raw", ".meta",
                                   ".discard"}) {
        EXPECT_FALSE(valid_part_filename(name)) << name;
    }
}

TEST(UploadNames, BatchIdsAreVisibleFoldersBesideTheRecordedBodies) {
    for (const std::string& id : std::initializer_list<std::string>{"20240102030405", "b-1_x.y", std::string(127, 'a')}) {
        EXPECT_TRUE(valid_batch_id(id)) << id;
    }
    for (const std::string& id : std::initializer_list<std::string>{"", ".", "..", ".hidden", "raw", "a/b", std::string(128, 'a')}) {
        EXPECT_FALSE(valid_batch_id(id)) << id;
    }
}

}  // namespace
