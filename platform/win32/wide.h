// UTF-8 <-> UTF-16 at the edge of every Win32 call.
#pragma once

#include <windows.h>

#include <string>

inline std::wstring to_wide(const std::string& text) {
    if (text.empty()) return {};
    int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), units);
    return out;
}

inline std::string to_utf8(const wchar_t* text, int units = -1) {
    if (!text || units == 0) return {};
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, units, out.data(), bytes, nullptr, nullptr);
    if (units < 0 && !out.empty()) out.pop_back();  // the converted terminator
    return out;
}

inline std::string to_utf8(const std::wstring& text) {
    return to_utf8(text.c_str(), static_cast<int>(text.size()));
}
