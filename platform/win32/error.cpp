// Win32 back end of error texts: system and WinHTTP codes through FormatMessageW.
#include "platform/error.h"

#include <windows.h>

#include "platform/win32/wide.h"

unsigned long sys_last_error() { return GetLastError(); }

std::string sys_error_text(unsigned long code) {
    wchar_t* text = nullptr;
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD units = 0;
    if (code >= 12000 && code < 13000) {
        // WinHTTP keeps its messages in its own module.
        HMODULE winhttp = GetModuleHandleW(L"winhttp.dll");
        if (winhttp) {
            units = FormatMessageW(flags | FORMAT_MESSAGE_FROM_HMODULE, winhttp, code, 0,
                                   reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        }
    }
    if (units == 0) {
        units = FormatMessageW(flags | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0,
                               reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    }
    std::string message = units ? to_utf8(text, static_cast<int>(units)) : std::string();
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                                message.back() == '.')) {
        message.pop_back();
    }
    if (message.empty()) message = "Unknown error";
    return message + " (" + std::to_string(code) + ")";
}
