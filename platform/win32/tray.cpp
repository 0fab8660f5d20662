// Win32 tray: a message-only window owning one notification-area icon, with its tooltip, the
// start-up balloon, the popup menu and the double-click shortcut.
#include "platform/tray.h"

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <mutex>

#include "core/version.h"
#include "core/log.h"
#include "platform/win32/wide.h"

namespace {

constexpr UINT kCallbackMessage = WM_USER + 20;
constexpr UINT kIconId = 1;

struct TrayState {
    std::atomic<HWND> window{nullptr};     // message-only window, null until created
    NOTIFYICONDATAW record{};              // used on the main thread only (add, delete)
    std::mutex lock;                       // guards the status line
    wchar_t status[TRAY_TEXT_UNITS] = L"Not linked";
    std::atomic<bool> linked{false};
    TrayCommandFn on_command = nullptr;    // carries out menu commands (main thread)
};

TrayState g_tray;

void copy_units(wchar_t* target, size_t capacity, const std::string& text) {
    std::wstring wide = to_wide(tray_fit_text(text, capacity));
    lstrcpynW(target, wide.c_str(), static_cast<int>(capacity));
}

void show_menu(HWND window) {
    std::string status;
    {
        std::lock_guard<std::mutex> guard(g_tray.lock);
        status = to_utf8(g_tray.status);
    }
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    for (const TrayMenuItem& item : tray_menu_items(g_tray.linked.load(), status)) {
        std::wstring text = to_wide(tray_fit_text(item.text, 64));
        switch (item.kind) {
            case TrayMenuItem::label: AppendMenuW(menu, MF_STRING | MF_GRAYED, 0, text.c_str()); break;
            case TrayMenuItem::separator: AppendMenuW(menu, MF_SEPARATOR, 0, nullptr); break;
            case TrayMenuItem::command: AppendMenuW(menu, MF_STRING, item.id, text.c_str()); break;
        }
    }
    POINT cursor{};
    GetCursorPos(&cursor);
    SetForegroundWindow(window);  // so the menu closes when the user clicks elsewhere
    TrackPopupMenu(menu, TPM_BOTTOMALIGN, cursor.x, cursor.y, 0, window, nullptr);
    DestroyMenu(menu);
}

LRESULT CALLBACK tray_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case kCallbackMessage:
            if (LOWORD(lparam) == WM_LBUTTONDBLCLK) {
                if (g_tray.on_command) g_tray.on_command(g_tray.linked ? TRAY_DASHBOARD : TRAY_LOGIN);
                return 0;
            }
            if (LOWORD(lparam) == WM_RBUTTONUP) {
                show_menu(window);
                return 0;
            }
            break;
        case WM_COMMAND: {
            unsigned id = LOWORD(wparam);
            if (id >= TRAY_ID_FIRST && id <= TRAY_ID_FIRST + TRAY_EXIT) {
                if (g_tray.on_command) g_tray.on_command(static_cast<int>(id - TRAY_ID_FIRST));
                return 0;
            }
            break;
        }
        case WM_DESTROY:
            Shell_NotifyIconW(NIM_DELETE, &g_tray.record);
            g_tray.window = nullptr;
            PostQuitMessage(0);
            return 0;
        default:
            break;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

HICON load_icon(const std::string& icon_path) {
    HICON icon = nullptr;
    if (!icon_path.empty()) {
        icon = static_cast<HICON>(LoadImageW(nullptr, to_wide(icon_path).c_str(), IMAGE_ICON, 0, 0,
                                             LR_LOADFROMFILE | LR_DEFAULTSIZE));
    }
    if (!icon) {
        wchar_t exe[MAX_PATH] = {};
        if (GetModuleFileNameW(nullptr, exe, MAX_PATH)) ExtractIconExW(exe, 0, nullptr, &icon, 1);
    }
    if (!icon) icon = LoadIconW(nullptr, IDI_APPLICATION);
    return icon;
}

}  // namespace

void tray_run(const std::string& icon_path, TrayCommandFn on_command) {
    g_tray.on_command = on_command;
    HINSTANCE instance = GetModuleHandleW(nullptr);

    WNDCLASSW window_class{};
    window_class.lpfnWndProc = tray_window_proc;
    window_class.hInstance = instance;
    window_class.lpszClassName = L"ZelvoServiceTray";
    RegisterClassW(&window_class);
    HWND window = CreateWindowExW(0, L"ZelvoServiceTray", L"Zelvo Service Tray", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, instance, nullptr);

    if (window) {
        NOTIFYICONDATAW& record = g_tray.record;
        record.cbSize = sizeof record;
        record.hWnd = window;
        record.uID = kIconId;
        record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
        record.uCallbackMessage = kCallbackMessage;
        record.hIcon = load_icon(icon_path);
        copy_units(record.szTip, ARRAYSIZE(record.szTip), "Zelvo v" ZELVO_VERSION);
        copy_units(record.szInfo, ARRAYSIZE(record.szInfo),
                   "Zelvo is running.\nRight-click for menu, double-click for dashboard.");
        copy_units(record.szInfoTitle, ARRAYSIZE(record.szInfoTitle), "Zelvo");
        record.dwInfoFlags = NIIF_INFO;
        Shell_NotifyIconW(NIM_ADD, &record);
        log_write(LOG_INFO, "System tray icon added");
        g_tray.window = window;
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void tray_set_tooltip(const std::string& text) {
    HWND window = g_tray.window;
    if (!window) return;
    // A record of its own: only the tip changes, so the start-up balloon is not shown again.
    NOTIFYICONDATAW update{};
    update.cbSize = sizeof update;
    update.hWnd = window;
    update.uID = kIconId;
    update.uFlags = NIF_TIP;
    copy_units(update.szTip, ARRAYSIZE(update.szTip), text);
    Shell_NotifyIconW(NIM_MODIFY, &update);
}

void tray_set_status(const std::string& text) {
    std::wstring wide = to_wide(tray_fit_text(text));
    std::lock_guard<std::mutex> guard(g_tray.lock);
    lstrcpynW(g_tray.status, wide.c_str(), TRAY_TEXT_UNITS);
}

void tray_set_linked(bool linked) { g_tray.linked = linked; }

void tray_close() {
    HWND window = g_tray.window;
    if (window) PostMessageW(window, WM_CLOSE, 0, 0);
}
