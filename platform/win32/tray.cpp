// Win32 tray: a message-only window owning one notification-area icon, with its tooltip, the
// start-up balloon, the popup menu and the double-click shortcut.
#include "platform/tray.h"

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <mutex>

#include "platform/win32/wide.h"

namespace {

constexpr UINT kCallbackMessage = WM_USER + 20;
constexpr UINT kIconId = 1;
constexpr size_t kMenuTextUnits = 63;  // of one menu item

struct TrayState {
    std::atomic<HWND> window{nullptr};     // message-only window, null until created
    NOTIFYICONDATAW record{};              // used on the main thread only (add, delete)
    std::mutex lock;                       // guards the status line and status_set
    wchar_t status[TRAY_TEXT_UNITS] = L"";
    bool status_set = false;               // tray_set_status ran before the loop
    std::atomic<bool> linked{false};
    TrayCommandFn on_command = nullptr;    // carries out menu commands (main thread)
    TrayMenuFn menu = nullptr;             // builds the popup menu (main thread)
};

// Never destroyed: detached threads set texts while the process exits.
TrayState& tray() {
    static TrayState* s = new TrayState;
    return *s;
}

// At most `units` UTF-16 units, never ending between the two halves of a surrogate pair.
std::wstring bounded(const std::string& text, size_t units) {
    std::wstring wide = to_wide(text);
    if (wide.size() > units) {
        wide.resize(units);
        if (!wide.empty() && wide.back() >= 0xD800 && wide.back() <= 0xDBFF) wide.pop_back();
    }
    return wide;
}

void copy_units(wchar_t* target, size_t capacity, const std::string& text) {
    std::wstring wide = bounded(text, capacity - 1);
    lstrcpynW(target, wide.c_str(), static_cast<int>(capacity));
}

void show_menu(HWND window) {
    TrayState& t = tray();
    if (!t.menu) return;
    std::string status;
    {
        std::lock_guard<std::mutex> guard(t.lock);
        status = to_utf8(t.status);
    }
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    for (const TrayMenuItem& item : t.menu(t.linked.load(), status)) {
        std::wstring text = bounded(item.text, kMenuTextUnits);
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
    TrayState& t = tray();
    switch (message) {
        case kCallbackMessage:
            if (LOWORD(lparam) == WM_LBUTTONDBLCLK) {
                if (t.on_command) t.on_command(t.linked ? TRAY_DASHBOARD : TRAY_LOGIN);
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
                if (t.on_command) t.on_command(static_cast<int>(id - TRAY_ID_FIRST));
                return 0;
            }
            break;
        }
        case WM_DESTROY:
            Shell_NotifyIconW(NIM_DELETE, &t.record);
            t.window = nullptr;
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

void tray_run(const TraySetup& setup) {
    TrayState& t = tray();
    t.on_command = setup.on_command;
    t.menu = setup.menu;
    {
        std::lock_guard<std::mutex> guard(t.lock);
        if (!t.status_set) copy_units(t.status, TRAY_TEXT_UNITS, setup.status);
    }
    HINSTANCE instance = GetModuleHandleW(nullptr);

    WNDCLASSW window_class{};
    window_class.lpfnWndProc = tray_window_proc;
    window_class.hInstance = instance;
    window_class.lpszClassName = L"ZelvoServiceTray";
    RegisterClassW(&window_class);
    HWND window = CreateWindowExW(0, L"ZelvoServiceTray", L"Zelvo Service Tray", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, instance, nullptr);

    if (window) {
        NOTIFYICONDATAW& record = t.record;
        record.cbSize = sizeof record;
        record.hWnd = window;
        record.uID = kIconId;
        record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
        record.uCallbackMessage = kCallbackMessage;
        record.hIcon = load_icon(setup.icon_path);
        copy_units(record.szTip, ARRAYSIZE(record.szTip), setup.tooltip);
        copy_units(record.szInfo, ARRAYSIZE(record.szInfo), setup.notice_text);
        copy_units(record.szInfoTitle, ARRAYSIZE(record.szInfoTitle), setup.notice_title);
        record.dwInfoFlags = NIIF_INFO;
        Shell_NotifyIconW(NIM_ADD, &record);
        t.window = window;
        if (setup.on_ready) setup.on_ready();
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void tray_set_tooltip(const std::string& text) {
    HWND window = tray().window;
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
    TrayState& t = tray();
    std::lock_guard<std::mutex> guard(t.lock);
    copy_units(t.status, TRAY_TEXT_UNITS, text);
    t.status_set = true;
}

void tray_set_linked(bool linked) { tray().linked = linked; }

void tray_close() {
    HWND window = tray().window;
    if (window) PostMessageW(window, WM_CLOSE, 0, 0);
}
