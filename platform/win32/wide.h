// UTF-8 <-> UTF-16 at the edge of every Win32 call, and the system's OEM code page.
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

// The code page cmd.exe and console programs such as PowerShell use for text in files and pipes:
// the system's OEM code page. GetOEMCP cannot tell it: the manifest's UTF-8 active code page makes
// it answer 65001 in this process, while a console of its own starts in the system's page.
inline UINT system_oem_code_page() {
    wchar_t value[16] = {};
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", L"OEMCP",
                     RRF_RT_REG_SZ, nullptr, value, &size) == ERROR_SUCCESS) {
        UINT page = static_cast<UINT>(wcstoul(value, nullptr, 10));
        if (page != 0 && IsValidCodePage(page)) return page;
    }
    DWORD page = 0;
    if (GetLocaleInfoEx(LOCALE_NAME_SYSTEM_DEFAULT, LOCALE_IDEFAULTCODEPAGE | LOCALE_RETURN_NUMBER,
                        reinterpret_cast<wchar_t*>(&page), sizeof page / sizeof(wchar_t)) &&
        page != 0 && IsValidCodePage(page)) {
        return page;
    }
    return GetOEMCP();
}
