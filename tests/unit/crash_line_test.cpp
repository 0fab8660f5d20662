// The crash line is formatted inside a crashed process without the C library's time and printf
// functions; check the hand-made calendar and template expansion against them.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

#include "platform/process.h"

TEST(CrashLine, CalendarAgreesWithGmtime) {
    // Every 3 days and 7 hours plus some seconds from 1901 to 2399: leap years, century years,
    // and instants before 1970.
    for (int64_t t = -2145916800; t < 13569465600; t += 3 * 86400 + 7 * 3600 + 37) {
        time_t value = static_cast<time_t>(t);
        std::tm expected{};
        ASSERT_TRUE(gmtime_r(&value, &expected));
        CrashTime got = proc_crash_time(t);
        ASSERT_EQ(got.year, expected.tm_year + 1900) << t;
        ASSERT_EQ(got.month, expected.tm_mon + 1) << t;
        ASSERT_EQ(got.day, expected.tm_mday) << t;
        ASSERT_EQ(got.hour, expected.tm_hour) << t;
        ASSERT_EQ(got.minute, expected.tm_min) << t;
        ASSERT_EQ(got.second, expected.tm_sec) << t;
    }
}

TEST(CrashLine, TemplateExpansion) {
    const CrashTime time{2024, 2, 29, 7, 5, 9};
    struct Case {
        const char* line;
        uint32_t code;
        const char* address;
        const char* expected;
    } cases[] = {
        {"[{time}] CRASH: exception code 0x{code} at address {address}\n", 0xC0000005u, "0x7f3a",
         "[2024-02-29T07:05:09] CRASH: exception code 0xC0000005 at address 0x7f3a\n"},
        {"{code}|{code}", 11, "", "0000000B|0000000B"},
        {"{tim}{time", 0, "", "{tim}{time"},  // only whole placeholders are replaced
        {"{address}{unknown}", 0, "(nil)", "(nil){unknown}"},
    };
    for (const Case& c : cases) {
        char out[256];
        size_t n = proc_format_crash_line(out, sizeof out, c.line, time, c.code, c.address);
        EXPECT_EQ(std::string(out, n), c.expected);
        EXPECT_EQ(out[n], '\0');
    }
}

TEST(CrashLine, OutputIsCutToTheBuffer) {
    char out[12];
    std::memset(out, 'z', sizeof out);
    size_t n = proc_format_crash_line(out, sizeof out, "[{time}]", CrashTime{2024, 1, 2, 3, 4, 5}, 0, "");
    EXPECT_EQ(n, sizeof out - 1);
    EXPECT_STREQ(out, "[2024-01-02");
}
