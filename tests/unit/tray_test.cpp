// The tray: the popup menu layout, the text fitting rule, and texts set while the process exits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/tray_menu.h"
#include "core/util.h"
#include "platform/thread.h"
#include "platform/tray.h"

namespace {

// One readable line per menu item, so a mismatch prints the whole menu.
std::vector<std::string> describe(const std::vector<TrayMenuItem>& items) {
    std::vector<std::string> out;
    for (const TrayMenuItem& item : items) {
        switch (item.kind) {
            case TrayMenuItem::label: out.push_back("label " + item.text + " #" + std::to_string(item.id)); break;
            case TrayMenuItem::separator:
                out.push_back("separator" + item.text + " #" + std::to_string(item.id));
                break;
            case TrayMenuItem::command:
                out.push_back("command " + item.text + " #" + std::to_string(item.id));
                break;
        }
    }
    return out;
}

TEST(TrayMenu, NotLinked) {
    EXPECT_EQ(describe(tray_menu_items(false, "Not linked")),
              (std::vector<std::string>{
                  "label Zelvo v1.0.2 #0",
                  "label Not linked #0",
                  "separator #0",
                  "command Login with Browser #1001",
                  "separator #0",
                  "command Exit #1004",
              }));
}

TEST(TrayMenu, Linked) {
    EXPECT_EQ(describe(tray_menu_items(true, "Connected \xE2\x80\x94 bob")),
              (std::vector<std::string>{
                  "label Zelvo v1.0.2 #0",
                  "label Connected \xE2\x80\x94 bob #0",
                  "separator #0",
                  "command Open Dashboard #1002",
                  "separator #0",
                  "command Disconnect #1003",
                  "separator #0",
                  "command Exit #1004",
              }));
}

TEST(Utf8FitUnits, KeepsWholeCharactersWithinUnits) {
    const std::string dash = "\xE2\x80\x94";        // U+2014: 3 bytes, 1 UTF-16 unit
    const std::string emoji = "\xF0\x9F\x98\x80";   // U+1F600: 4 bytes, a surrogate pair
    const std::string a126(126, 'a');
    const std::string a125(125, 'a');
    struct Case {
        const char* name;
        std::string text;
        size_t units;
        std::string fitted;
    };
    const Case cases[] = {
        {"short text unchanged", "Connected " + dash + " bob", TRAY_TEXT_UNITS, "Connected " + dash + " bob"},
        {"empty", "", TRAY_TEXT_UNITS, ""},
        {"200 ASCII cut to 127", std::string(200, 'x'), TRAY_TEXT_UNITS, std::string(127, 'x')},
        {"127 ASCII fits exactly", std::string(127, 'x'), TRAY_TEXT_UNITS, std::string(127, 'x')},
        {"3-byte char counts one unit", a126 + dash + "b", TRAY_TEXT_UNITS, a126 + dash},
        {"3-byte chars only", dash + dash + dash + dash, 4, dash + dash + dash},
        {"3-byte char not split", "a" + dash + dash, 3, "a" + dash},
        {"pair fits exactly", a125 + emoji + "z", TRAY_TEXT_UNITS, a125 + emoji},
        {"pair dropped whole with one unit left", a126 + emoji, TRAY_TEXT_UNITS, a126},
        {"pair dropped, nothing after it kept", a126 + emoji + "z", TRAY_TEXT_UNITS, a126},
        {"2-byte char", "\xC3\xA9\xC3\xA9\xC3\xA9", 3, "\xC3\xA9\xC3\xA9"},
        {"truncated sequence at the end dropped", "ab\xE2\x80", TRAY_TEXT_UNITS, "ab"},
        {"no room at all", "abc", 1, ""},
        {"zero units", "abc", 0, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(utf8_fit_units(c.text, c.units), c.fitted) << c.name;
    }
}

// Detached threads (a reconnect run, a log-in hook) may set tray texts while the process exits
// and static objects are being destroyed; the tray's state must outlive them. The sanitizer
// build reports a use after free otherwise.
TEST(TrayDeathTest, TextsSetDuringExitAreHarmless) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // The console tray prints every change: keep the flood out of the test's output.
            int null_fd = open("/dev/null", O_WRONLY);
            if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
            std::atomic<bool> started{false};
            thread_start_detached([&started] {
                const std::string text = "Connection failed \xE2\x80\x94 retrying soon, a text too long to be inlined";
                for (;;) {
                    tray_set_status(text);
                    tray_set_linked(true);
                    started = true;
                }
            });
            while (!started) {
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
