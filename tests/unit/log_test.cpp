// The log: level names, the file and console line forms, the level filter, writes before open and
// after close, and whole lines under concurrent writers. The log state is process-wide, so every
// test opens and closes it itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "test_support.h"

namespace {

using testing_support::read_file;
using testing_support::split_lines;
using testing_support::StderrCapture;
using testing_support::TempDir;
using testing_support::write_file;

enum class Sink { file, console };

// The part of a line after its time stamp ("INFO ] text"), or nothing when the stamp is not of
// the sink's exact form.
std::optional<std::string> after_stamp(const std::string& line, Sink sink) {
    static const std::regex file_stamp(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d $)");
    static const std::regex console_stamp(R"(^\[\d\d:\d\d:\d\d $)");
    // Only the fixed-width stamp goes through the regex: the payloads can be long.
    size_t width = sink == Sink::file ? 21 : 10;
    if (line.size() < width) return std::nullopt;
    if (!std::regex_match(line.substr(0, width), sink == Sink::file ? file_stamp : console_stamp)) {
        return std::nullopt;
    }
    return line.substr(width);
}

// Every line of a sink's text with its stamp checked and removed; a bad stamp shows as "BAD: line".
std::vector<std::string> unstamped(const std::string& text, Sink sink) {
    std::vector<std::string> out;
    for (const std::string& line : split_lines(text)) {
        std::optional<std::string> rest = after_stamp(line, sink);
        out.push_back(rest ? *rest : "BAD: " + line);
    }
    return out;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        log_close();
    }
    void TearDown() override { log_close(); }

    std::string log_path() const { return dir_.file("agent.log"); }
    std::string console_path() const { return dir_.file("console.txt"); }

    TempDir dir_;
};

TEST(LogLevelName, FiveCharactersEach) {
    struct Case {
        uint32_t level;
        const char* name;
    };
    const Case cases[] = {
        {LOG_DEBUG, "DEBUG"}, {LOG_INFO, "INFO "}, {LOG_WARN, "WARN "}, {LOG_ERROR, "ERROR"},
        {4, "?????"},         {7, "?????"},        {0xFFFFFFFFu, "?????"},
    };
    for (const Case& c : cases) EXPECT_STREQ(log_level_name(c.level), c.name) << "level " << c.level;
}

TEST_F(LogTest, WritesSameLinesToFileAndConsole) {
    StderrCapture console(console_path());
    ASSERT_TRUE(console.ok());
    log_open(log_path());
    log_write(LOG_INFO, "first %d", 1);
    log_write(LOG_DEBUG, "hidden debug line");
    log_write(LOG_WARN, "second %s", "two");
    log_write(LOG_ERROR, "%s", "100% sure %d");  // arguments are not formatted again
    log_write(7, "fourth");
    log_write(LOG_INFO, "%s", "");
    log_close();
    std::string console_text = console.finish();
    std::string file_text = read_file(log_path());

    const std::vector<std::string> expected = {
        "INFO ] first 1", "WARN ] second two", "ERROR] 100% sure %d", "?????] fourth", "INFO ] ",
    };
    EXPECT_EQ(unstamped(file_text, Sink::file), expected);
    EXPECT_EQ(unstamped(console_text, Sink::console), expected);
    for (const std::string* text : {&file_text, &console_text}) {
        ASSERT_FALSE(text->empty());
        EXPECT_EQ(text->back(), '\n');
        EXPECT_EQ(text->find("\n\n"), std::string::npos);
        EXPECT_EQ(text->find('\r'), std::string::npos);
        EXPECT_EQ(text->find("hidden"), std::string::npos);
        EXPECT_EQ(text->find("DEBUG"), std::string::npos);
    }
}

TEST_F(LogTest, AppendsToAnExistingFile) {
    write_file(log_path(), "[2020-01-01 00:00:00 INFO ] earlier run\n");
    StderrCapture console(console_path());
    log_open(log_path());
    log_write(LOG_WARN, "this run");
    log_close();
    console.finish();
    EXPECT_EQ(unstamped(read_file(log_path()), Sink::file),
              (std::vector<std::string>{"INFO ] earlier run", "WARN ] this run"}));
}

TEST_F(LogTest, BeforeOpenAndAfterCloseOnlyTheConsoleIsWritten) {
    StderrCapture console(console_path());
    ASSERT_TRUE(console.ok());
    log_write(LOG_INFO, "before open");
    log_open(log_path());
    log_write(LOG_INFO, "while open");
    log_close();
    std::string file_after_close = read_file(log_path());
    log_write(LOG_ERROR, "after close");
    log_close();  // closing twice is harmless
    std::string console_text = console.finish();

    EXPECT_EQ(unstamped(file_after_close, Sink::file), (std::vector<std::string>{"INFO ] while open"}));
    EXPECT_EQ(read_file(log_path()), file_after_close);
    EXPECT_EQ(unstamped(console_text, Sink::console),
              (std::vector<std::string>{"INFO ] before open", "INFO ] while open", "ERROR] after close"}));
}

TEST_F(LogTest, ConcurrentWritersProduceWholeLines) {
    constexpr int kThreads = 8;
    constexpr int kLines = 200;
    std::vector<std::string> payloads;
    for (int t = 0; t < kThreads; ++t) payloads.push_back(std::string(4000, static_cast<char>('a' + t)));

    StderrCapture console(console_path());
    ASSERT_TRUE(console.ok());
    log_open(log_path());
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &payloads] {
            for (int i = 0; i < kLines; ++i) log_write(LOG_WARN, "t%d n%03d %s", t, i, payloads[t].c_str());
        });
    }
    for (std::thread& thread : threads) thread.join();
    log_close();
    std::string console_text = console.finish();
    std::string file_text = read_file(log_path());

    for (Sink sink : {Sink::file, Sink::console}) {
        const std::string& text = sink == Sink::file ? file_text : console_text;
        const char* sink_name = sink == Sink::file ? "file" : "console";
        ASSERT_FALSE(text.empty()) << sink_name;
        EXPECT_EQ(text.back(), '\n') << sink_name;
        std::vector<std::string> lines = unstamped(text, sink);
        ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines)) << sink_name;

        // Each thread's lines must all be there, whole, and in the order that thread wrote them.
        std::vector<int> next(kThreads, 0);
        for (const std::string& line : lines) {
            int t = -1;
            int n = -1;
            int consumed = 0;
            if (std::sscanf(line.c_str(), "WARN ] t%d n%d %n", &t, &n, &consumed) != 2 || consumed == 0 || t < 0 ||
                t >= kThreads) {
                ADD_FAILURE() << sink_name << ": malformed line: " << line.substr(0, 80);
                continue;
            }
            EXPECT_EQ(n, next[t]) << sink_name << ": thread " << t << " out of order";
            next[t] = n + 1;
            EXPECT_TRUE(line.compare(consumed, std::string::npos, payloads[t]) == 0)
                << sink_name << ": payload of thread " << t << " line " << n << " damaged";
        }
        for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines) << sink_name << ": thread " << t;
    }
}

}  // namespace
