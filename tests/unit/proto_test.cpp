// The event dispatcher (envelope parsing, the handler table, the two connection hooks, sends while
// the link is down) and the WebSocket URL helpers. The dispatcher is process-wide: every test starts
// from proto_init(), which empties the table but leaves the hooks alone, so the fixture clears
// those too. No test opens a connection.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "core/json.h"
#include "net/proto.h"
#include "net/ws.h"
#include "test_support.h"

namespace {

using testing_support::read_file;
using testing_support::split_lines;
using testing_support::StderrCapture;
using testing_support::TempDir;

// One handler call: which recorder ran and the compact text of the data it was given ("<null>" for
// no data at all, as opposed to a JSON null).
using Call = std::pair<int, std::string>;

std::vector<Call> g_calls;
// Standard error as it stood when each call was made, while a capture is running.
std::vector<std::string> g_log_at_call;
const StderrCapture* g_capture = nullptr;

// A distinct plain function per N, so a test can tell which registration received an event.
template <int N>
void record(const cJSON* data) {
    g_calls.emplace_back(N, data ? json_print(data) : "<null>");
    g_log_at_call.push_back(g_capture ? read_file(g_capture->path()) : "");
}

// The console lines of `text` with their "[HH:MM:SS " stamp removed; a bad stamp shows as "BAD: line".
std::vector<std::string> unstamped(const std::string& text) {
    static const std::regex stamp(R"(^\[\d\d:\d\d:\d\d $)");
    std::vector<std::string> out;
    for (const std::string& line : split_lines(text)) {
        bool ok = line.size() >= 10 && std::regex_match(line.substr(0, 10), stamp);
        out.push_back(ok ? line.substr(10) : "BAD: " + line);
    }
    return out;
}

const std::string kInvalidJson = "WARN ] proto: invalid JSON";

class ProtoTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.path().empty());
        proto_init();
        proto_on("_connected", nullptr);
        proto_on("_disconnected", nullptr);
        reset_calls();
    }
    void TearDown() override {
        g_capture = nullptr;
        reset_calls();
    }

    static void reset_calls() {
        g_calls.clear();
        g_log_at_call.clear();
    }

    // Runs `action` with standard error captured; returns the lines it wrote, stamps removed.
    std::vector<std::string> logged(const std::function<void()>& action) {
        StderrCapture capture(dir_.file("stderr.txt"));
        EXPECT_TRUE(capture.ok());
        g_capture = &capture;
        action();
        g_capture = nullptr;
        return unstamped(capture.finish());
    }

    // Dispatches one message; returns the handler calls it made, and its log lines in `log`.
    std::vector<Call> dispatch(const std::string& text, std::vector<std::string>* log = nullptr) {
        reset_calls();
        std::vector<std::string> lines = logged([&] { proto_dispatch(text.c_str(), text.size()); });
        if (log) *log = lines;
        else EXPECT_EQ(lines, std::vector<std::string>{}) << "dispatching " << text;
        return g_calls;
    }

    TempDir dir_;
};

// --- proto_dispatch ---------------------------------------------------------------------------

TEST_F(ProtoTest, DispatchRoutesByExactEventNameAndIgnoresMalformedEnvelopes) {
    proto_on("list_drives", record<1>);
    proto_on("x", record<2>);
    proto_on("_connected", record<3>);
    proto_on("_disconnected", record<4>);

    struct Case {
        std::string text;
        std::vector<Call> calls;
        std::vector<std::string> log;
    };
    const Case cases[] = {
        {R"({"e":"list_drives"})", {{1, "<null>"}}, {}},
        {R"({"e":"list_drives","d":null})", {{1, "null"}}, {}},
        {R"({"e":"x","d":[1,"a",{"b":false}]})", {{2, R"([1,"a",{"b":false}])"}}, {}},
        {R"({"E":"x","D":{"a":1}})", {{2, R"({"a":1})"}}, {}},  // member names ignore case
        {" {\"d\":7,\n\"e\":\"x\"} ", {{2, "7"}}, {}},
        // Event names must match exactly.
        {R"({"e":"X"})", {}, {}},
        {R"({"e":"list_drive"})", {}, {}},
        {R"({"e":"list_drives "})", {}, {}},
        {R"({"e":""})", {}, {}},
        // No string "e" at the top level of an object.
        {R"({"e":5,"d":{}})", {}, {}},
        {R"({"e":null})", {}, {}},
        {R"({"e":["x"]})", {}, {}},
        {R"({"d":{"e":"x"}})", {}, {}},
        {R"([{"e":"x"}])", {}, {}},
        {R"("x")", {}, {}},
        // The hooks are not table entries.
        {R"({"e":"_connected"})", {}, {}},
        {R"({"e":"_disconnected"})", {}, {}},
        // Not JSON, or JSON followed by anything.
        {"not json", {}, {kInvalidJson}},
        {R"({"e":"x"} trailing)", {}, {kInvalidJson}},
        {R"({"e":"x")", {}, {kInvalidJson}},
        {"", {}, {kInvalidJson}},
        {std::string(R"({"e":"x"})") + '\0' + R"({"e":"list_drives"})", {}, {kInvalidJson}},  // NUL inside
    };
    for (const Case& c : cases) {
        std::vector<std::string> log;
        EXPECT_EQ(dispatch(c.text, &log), c.calls) << c.text;
        // Unhandled events are DEBUG lines, which are never written.
        EXPECT_EQ(log, c.log) << c.text;
    }
}

// --- proto_on ---------------------------------------------------------------------------------

TEST_F(ProtoTest, EarliestRegistrationOfANameWins) {
    proto_on("dup", record<1>);
    proto_on("dup", record<2>);
    proto_on("other", record<3>);
    EXPECT_EQ(dispatch(R"({"e":"dup","d":1})"), (std::vector<Call>{{1, "1"}}));
    EXPECT_EQ(dispatch(R"({"e":"other","d":2})"), (std::vector<Call>{{3, "2"}}));
}

TEST_F(ProtoTest, LongNamesAreCutTo47CharactersOnRegistration) {
    std::string cut;
    for (size_t i = 0; i < PROTO_MAX_NAME; ++i) cut.push_back(static_cast<char>('a' + i % 26));
    ASSERT_EQ(cut.size(), 47u);
    const std::string full = cut + "XYZ";

    std::vector<std::string> log = logged([&] {
        proto_on(full.c_str(), record<1>);
        proto_on(cut.c_str(), record<2>);  // the same name once cut: the earlier one stays
    });
    EXPECT_EQ(log, std::vector<std::string>{});

    EXPECT_EQ(dispatch(R"({"e":")" + cut + R"("})"), (std::vector<Call>{{1, "<null>"}}));
    EXPECT_EQ(dispatch(R"({"e":")" + full + R"("})"), std::vector<Call>{});
    EXPECT_EQ(dispatch(R"({"e":")" + cut + R"(X"})"), std::vector<Call>{});
    EXPECT_EQ(dispatch(R"({"e":")" + cut.substr(0, 46) + R"("})"), std::vector<Call>{});
}

TEST_F(ProtoTest, TableHoldsAtMost64HandlersUntilInitEmptiesIt) {
    std::vector<std::string> log = logged([] {
        for (int i = 0; i < PROTO_MAX_HANDLERS; ++i) proto_on(("ev" + std::to_string(i)).c_str(), record<1>);
    });
    EXPECT_EQ(log, std::vector<std::string>{});

    EXPECT_EQ(logged([] { proto_on("ev64", record<2>); }),
              std::vector<std::string>{"ERROR] proto: too many handlers (max 64)"});
    EXPECT_EQ(dispatch(R"({"e":"ev0","d":0})"), (std::vector<Call>{{1, "0"}}));
    EXPECT_EQ(dispatch(R"({"e":"ev63","d":63})"), (std::vector<Call>{{1, "63"}}));
    EXPECT_EQ(dispatch(R"({"e":"ev64","d":64})"), std::vector<Call>{});

    // A full table does not stop the hooks from being set.
    EXPECT_EQ(logged([] { proto_on("_connected", record<3>); }), std::vector<std::string>{});
    reset_calls();
    logged([] { proto_on_state(true); });
    EXPECT_EQ(g_calls, (std::vector<Call>{{3, "<null>"}}));

    proto_init();
    EXPECT_EQ(dispatch(R"({"e":"ev0"})"), std::vector<Call>{});
    EXPECT_EQ(logged([] { proto_on("ev64", record<2>); }), std::vector<std::string>{});
    EXPECT_EQ(dispatch(R"({"e":"ev64"})"), (std::vector<Call>{{2, "<null>"}}));
}

// --- proto_on_state ---------------------------------------------------------------------------

TEST_F(ProtoTest, StateChangesAreLoggedThenPassedToTheLatestHook) {
    // No hooks: only the log lines.
    EXPECT_EQ(logged([] {
                  proto_on_state(true);
                  proto_on_state(false);
              }),
              (std::vector<std::string>{"INFO ] proto: connected", "INFO ] proto: disconnected"}));
    EXPECT_EQ(g_calls, std::vector<Call>{});

    proto_on("_disconnected", record<1>);
    proto_on("_disconnected", record<2>);
    proto_on("_connected", record<3>);
    proto_on("_connected", record<4>);
    std::vector<std::string> log = logged([] {
        proto_on_state(false);
        proto_on_state(true);
    });
    EXPECT_EQ(log, (std::vector<std::string>{"INFO ] proto: disconnected", "INFO ] proto: connected"}));
    EXPECT_EQ(g_calls, (std::vector<Call>{{2, "<null>"}, {4, "<null>"}}));
    ASSERT_EQ(g_log_at_call.size(), 2u);
    EXPECT_EQ(unstamped(g_log_at_call[0]), std::vector<std::string>{"INFO ] proto: disconnected"});
    EXPECT_EQ(unstamped(g_log_at_call[1]),
              (std::vector<std::string>{"INFO ] proto: disconnected", "INFO ] proto: connected"}));
}

// --- proto_send -------------------------------------------------------------------------------

// The data tree must still be freed: the sanitizer build reports it otherwise.
TEST_F(ProtoTest, SendWhileDisconnectedDropsTheMessageQuietly) {
    ASSERT_FALSE(ws_is_connected());
    std::vector<std::string> log = logged([] {
        cJSON* data = cJSON_CreateObject();
        cJSON* list = cJSON_AddArrayToObject(data, "drives");
        cJSON_AddItemToArray(list, cJSON_CreateString("C:"));
        cJSON_AddNumberToObject(data, "count", 1);
        proto_send("list_drives", data);
        proto_send("heartbeat", nullptr);
    });
    EXPECT_EQ(log, std::vector<std::string>{});
}

// The check runs before the transport is asked, so it shows while disconnected too.
TEST_F(ProtoTest, SendRefusesAnEnvelopeThatIsNotUtf8) {
    std::vector<std::string> log = logged([] {
        cJSON* data = cJSON_CreateObject();
        cJSON_AddStringToObject(data, "name", "bad\xFFname");
        proto_send("directory_list", data);
    });
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("WARN ] proto: not sending \"directory_list\": not valid UTF-8"), std::string::npos) << log[0];
}

// --- ws_parse_url -----------------------------------------------------------------------------

TEST(WsUrl, ParsesHostPortPathAndScheme) {
    const std::string host255(255, 'h');
    struct Case {
        std::string url;
        std::string host;
        uint16_t port;
        std::string path;
        bool secure;
    };
    const Case cases[] = {
        {"ws://host:8080/ws", "host", 8080, "/ws", false},
        {"wss://host", "host", 443, "/", true},
        {"ws://host", "host", 80, "/", false},
        {"wss://host/a:b", "host", 443, "/a:b", true},  // a colon after the first slash is path
        {"ws://127.0.0.1:9000", "127.0.0.1", 9000, "/", false},
        {"ws://h:8080x/p", "h", 8080, "/p", false},  // the port ends at the first non-digit
        {"wss://host:1/", "host", 1, "/", true},
        {"ws://host:65535/x?y=1", "host", 65535, "/x?y=1", false},
        {"ws://" + host255 + "/ws", host255, 80, "/ws", false},
        {"wss://" + host255 + ":81", host255, 81, "/", true},
        {"ws://[::1]:8080/ws", "::1", 8080, "/ws", false},  // IPv6 literal, brackets dropped
        {"wss://[fe80::2]", "fe80::2", 443, "/", true},
    };
    for (const Case& c : cases) {
        WsUrl out;
        out.host = "stale";
        out.port = 1;
        out.secure = !c.secure;
        out.path = "stale";
        ASSERT_TRUE(ws_parse_url(c.url, &out)) << c.url;
        EXPECT_EQ(out.host, c.host) << c.url;
        EXPECT_EQ(out.port, c.port) << c.url;
        EXPECT_EQ(out.path, c.path) << c.url;
        EXPECT_EQ(out.secure, c.secure) << c.url;
    }
}

TEST(WsUrl, RefusesMalformedUrlsAndLeavesTheResultAlone) {
    const std::string host256(256, 'h');
    const std::string cases[] = {
        "http://host/ws",
        "wss//host",
        " ws://host",
        "ws://",
        "ws:///ws",
        "ws://:80/",
        "ws://host:/p",
        "ws://host:0/",
        "ws://host:-80/",
        "ws://host:65536/",
        "ws://host:70000/",
        "ws://host:4294967376/",  // 2^32 + 80: must not wrap into range
        "ws://" + host256,
        "wss://" + host256 + ":443/ws",
        "ws://[::1/ws",
        "ws://[::1]x/ws",
        "ws://[]:80/",
    };
    for (const std::string& url : cases) {
        WsUrl out;
        out.host = "kept";
        out.port = 7;
        out.secure = true;
        out.path = "/kept";
        EXPECT_FALSE(ws_parse_url(url, &out)) << url;
        EXPECT_EQ(out.host, "kept") << url;
        EXPECT_EQ(out.port, 7) << url;
        EXPECT_TRUE(out.secure) << url;
        EXPECT_EQ(out.path, "/kept") << url;
    }
}

// --- ws_url_for_server ------------------------------------------------------------------------

TEST(WsUrl, ServerBaseUrlMapsToItsWebSocketEndpoint) {
    struct Case {
        const char* base;
        const char* url;
        const char* host;
        uint16_t port;
    };
    const Case cases[] = {
        {"https://a.example", "wss://a.example/ws", "a.example", 443},
        {"http://127.0.0.1:8080", "ws://127.0.0.1:8080/ws", "127.0.0.1", 8080},
        {"https://a.example:8443", "wss://a.example:8443/ws", "a.example", 8443},
        {"http://a.example", "ws://a.example/ws", "a.example", 80},
        {"http://[::1]:8080", "ws://[::1]:8080/ws", "::1", 8080},
    };
    for (const Case& c : cases) {
        std::string url = ws_url_for_server(c.base);
        EXPECT_EQ(url, c.url) << c.base;
        // What the service builds must be something the transport accepts.
        WsUrl parsed;
        ASSERT_TRUE(ws_parse_url(url, &parsed)) << url;
        EXPECT_EQ(parsed.host, c.host) << url;
        EXPECT_EQ(parsed.port, c.port) << url;
        EXPECT_EQ(parsed.path, "/ws") << url;
        EXPECT_EQ(parsed.secure, std::strncmp(c.base, "https:", 6) == 0) << url;
    }
}

}  // namespace
