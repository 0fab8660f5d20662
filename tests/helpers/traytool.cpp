// Test helper run under Wine: finds the agent's message-only tray window and drives it the way
// the shell and a user do, printing what happened.
//   traytool wait SECONDS   wait for the tray window
//   traytool pick N         right-click the icon, then choose the menu's N-th item with the
//                           keyboard (Down N times, Enter). Separators are skipped and grayed
//                           items take the highlight without running anything, as on Windows.
//   traytool command ID     post a menu command (1001..1004) to the window
//   traytool dblclick       post a double-click on the icon
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr UINT kCallbackMessage = WM_USER + 20;

HWND find_tray() { return FindWindowExW(HWND_MESSAGE, nullptr, L"ZelvoServiceTray", nullptr); }

HWND find_popup() {
    HWND popup = FindWindowW(L"#32768", nullptr);
    return popup && IsWindowVisible(popup) ? popup : nullptr;
}

HWND wait_for(HWND (*find)(), int milliseconds) {
    for (int waited = 0; waited <= milliseconds; waited += 50) {
        if (HWND found = find()) return found;
        Sleep(50);
    }
    return nullptr;
}

void post_key(HWND window, WPARAM key) {
    PostMessageW(window, WM_KEYDOWN, key, 0);
    PostMessageW(window, WM_KEYUP, key, 0);
}

int pick_item(HWND tray, int n) {
    PostMessageW(tray, kCallbackMessage, 1, WM_RBUTTONUP);
    HWND popup = wait_for(find_popup, 5000);
    if (!popup) {
        std::printf("error: no popup menu appeared\n");
        return 3;
    }
    for (int i = 0; i < n; ++i) post_key(popup, VK_DOWN);
    post_key(popup, VK_RETURN);
    for (int waited = 0; waited < 5000 && find_popup(); waited += 50) Sleep(50);
    if (find_popup()) {
        std::printf("error: menu still open\n");
        return 4;
    }
    std::printf("picked %d\n", n);
    return 0;
}

int usage() {
    std::printf("usage: traytool wait SECONDS | pick N | command ID | dblclick\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    std::string verb = argv[1];
    if (verb == "wait") {
        int seconds = argc > 2 ? std::atoi(argv[2]) : 30;
        if (!wait_for(find_tray, seconds * 1000)) {
            std::printf("error: tray window not found\n");
            return 1;
        }
        std::printf("found\n");
        return 0;
    }
    HWND tray = wait_for(find_tray, 10000);
    if (!tray) {
        std::printf("error: tray window not found\n");
        return 1;
    }
    if (verb == "pick" && argc > 2) return pick_item(tray, std::atoi(argv[2]));
    if (verb == "command" && argc > 2) return PostMessageW(tray, WM_COMMAND, std::atoi(argv[2]), 0) ? 0 : 1;
    if (verb == "dblclick") return PostMessageW(tray, kCallbackMessage, 1, WM_LBUTTONDBLCLK) ? 0 : 1;
    return usage();
}
