// The disk query's CSV reader, the row-to-disk mapping and get_disk_size.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/json.h"
#include "disk/disks.h"
#include "test_support.h"

namespace {

using testing_support::TempDir;
using testing_support::write_file;

const char* kHeader = "\"Number\",\"FriendlyName\",\"Size\",\"BusType\"\n";

std::string text_of(const DiskRow& row) {
    return row.number + "|" + row.friendly_name + "|" + row.size + "|" + row.bus_type;
}

TEST(DiskCsv, ReadsRowsAsTheQueryPrintsThem) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> rows;  // number|friendly_name|size|bus_type
    };
    const std::string h = kHeader;
    const Case cases[] = {
        {"quoted comma and doubled quote", h + "\"0\",\"Acme \"\"Fast\"\", 1TB\",\"1000204886016\",\"SATA\"\n",
         {"0|Acme \"Fast\", 1TB|1000204886016|SATA"}},
        {"CRLF lines", "\"Number\",\"FriendlyName\",\"Size\",\"BusType\"\r\n\"0\",\"A\",\"10\",\"NVMe\"\r\n"
                       "\"1\",\"B\",\"20\",\"USB\"\r\n",
         {"0|A|10|NVMe", "1|B|20|USB"}},
        {"unquoted CRLF", h + "0,A,10,USB\r\n", {"0|A|10|USB"}},
        {"empty bus and size", h + "\"3\",\"Virtual\",\"\",\"\"\n", {"3|Virtual||"}},
        {"non-consecutive numbers", h + "\"0\",\"A\",\"1\",\"SATA\"\n\"2\",\"B\",\"2\",\"USB\"\n",
         {"0|A|1|SATA", "2|B|2|USB"}},
        {"no final newline", h + "\"1\",\"A\",\"5\",\"NVMe\"", {"1|A|5|NVMe"}},
        {"unterminated quote runs to the line end", h + "\"0\",\"Broken, model,7,USB\n\"1\",\"B\",\"8\",\"SATA\"\n",
         {"0|Broken, model,7,USB||", "1|B|8|SATA"}},
        {"unterminated quote before CR", h + "\"0\",\"A\",\"1\",\"USB\r\n", {"0|A|1|USB"}},
        {"missing fields read empty", h + "\"4\",\"Only\"\n", {"4|Only||"}},
        {"blank lines skipped, empty fields kept", h + "\n  \r\n,,,\n", {"|||"}},
        {"header only", h, {}},
        {"empty output", "", {}},
        {"no newline at all is data", "\"5\",\"A\",\"6\",\"USB\"", {"5|A|6|USB"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> got;
        for (const DiskRow& row : disk_parse_csv(c.text)) got.push_back(text_of(row));
        EXPECT_EQ(got, c.rows) << c.name;
    }
}

TEST(DiskBus, MapsAnyLetterCase) {
    struct Case {
        const char* raw;
        const char* bus;
    };
    const Case cases[] = {
        {"USB", "usb"},   {"usb", "usb"},     {"NVMe", "nvme"},  {"NVME", "nvme"}, {"nvme", "nvme"},
        {"SATA", "sata"}, {"sAtA", "sata"},   {"ATA", "sata"},   {"ide", "sata"},  {"", "other"},
        {"SAS", "other"}, {"RAID", "other"},  {"USB3", "other"}, {"SCSI", "other"}, {" USB", "other"},
    };
    for (const Case& c : cases) EXPECT_STREQ(disk_bus_type(c.raw), c.bus) << '"' << c.raw << '"';
}

TEST(DiskObject, MapsOneRowInKeyOrder) {
    struct Case {
        DiskRow row;
        const char* path;
        std::string json;
    };
    const Case cases[] = {
        {{"2", "Acme \"Fast\", 1TB", "1000204886016", "nvme"},
         "\\\\.\\PHYSICALDRIVE2",
         R"({"id":2,"path":"\\\\.\\PHYSICALDRIVE2","name":"\\\\.\\PHYSICALDRIVE2","model":"Acme \"Fast\", 1TB",)"
         R"("size":1000204886016,"size_str":"931.5 GB","media_type":"nvme","bus_type":"nvme",)"
         R"("bus_type_raw":"nvme","removable":false})"},
        {{"1", "", "", "Usb"},
         "/dev/sdb",
         R"({"id":1,"path":"/dev/sdb","name":"/dev/sdb","model":"/dev/sdb","size":0,"size_str":"0 B",)"
         R"("media_type":"Usb","bus_type":"usb","bus_type_raw":"Usb","removable":true})"},
        {{"x", "M", "0", ""},
         "\\\\.\\PHYSICALDRIVE0",
         R"({"id":0,"path":"\\\\.\\PHYSICALDRIVE0","name":"\\\\.\\PHYSICALDRIVE0","model":"M","size":0,)"
         R"("size_str":"0 B","media_type":"","bus_type":"other","bus_type_raw":"","removable":false})"},
    };
    for (const Case& c : cases) EXPECT_EQ(json_print(disk_object(c.row, c.path).get()), c.json);
}

TEST(DiskObject, ReadsNumbersLikeTheSystemsConverters) {
    struct Case {
        const char* number;
        int id;
        bool is_disk;  // only rows with a disk number are listed
        const char* size;
        uint64_t bytes;
    };
    const Case cases[] = {
        {"7", 7, true, "512", 512},
        {"", 0, false, "", 0},
        {"abc", 0, false, "abc", 0},
        {"12abc", 12, false, "34 GB", 34},
        {" 3", 3, true, "18446744073709551615", UINT64_MAX},
        {"99999999999", INT32_MAX, true, "99999999999999999999999", UINT64_MAX},  // saturates, no overflow
        {"-1", -1, false, "", 0},
        {"+ Get-Disk | Select-Object Number", 0, false, "", 0},  // a line of a PowerShell error
    };
    for (const Case& c : cases) {
        DiskRow row{c.number, "", c.size, ""};
        EXPECT_EQ(disk_row_number(row), c.id) << '"' << c.number << '"';
        EXPECT_EQ(disk_row_has_number(row), c.is_disk) << '"' << c.number << '"';
        EXPECT_EQ(disk_row_size(row), c.bytes) << '"' << c.size << '"';
    }
}

TEST(DiskSize, ExactForAFileZeroWhenMissing) {
    TempDir dir;
    write_file(dir.file("image.bin"), std::string(123457, 'x'));
    write_file(dir.file("empty.bin"), "");
    EXPECT_EQ(get_disk_size(dir.file("image.bin")), 123457u);
    EXPECT_EQ(get_disk_size(dir.file("empty.bin")), 0u);
    EXPECT_EQ(get_disk_size(dir.file("missing.bin")), 0u);
    EXPECT_EQ(get_disk_size(""), 0u);
}

}  // namespace
