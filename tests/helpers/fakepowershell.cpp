// Test helper: stands in for powershell.exe. Copies "powershell-stdout.txt" and
// "powershell-stderr.txt" from its own folder to standard output and standard error, then exits
// with the number in "powershell-exit.txt" (0 when there is none). Its arguments are ignored.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring own_folder() {
    wchar_t path[MAX_PATH] = {};
    DWORD units = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, units);
    size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : folder.substr(0, slash);
}

std::string read_file(const std::wstring& path) {
    std::string data;
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file) return data;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) data.append(buffer, n);
    std::fclose(file);
    return data;
}

void write_handle(DWORD which, const std::string& data) {
    HANDLE handle = GetStdHandle(which);
    DWORD written = 0;
    if (handle && handle != INVALID_HANDLE_VALUE && !data.empty()) {
        WriteFile(handle, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    }
}

}  // namespace

int wmain() {
    std::wstring folder = own_folder();
    write_handle(STD_OUTPUT_HANDLE, read_file(folder + L"\\powershell-stdout.txt"));
    write_handle(STD_ERROR_HANDLE, read_file(folder + L"\\powershell-stderr.txt"));
    return std::atoi(read_file(folder + L"\\powershell-exit.txt").c_str());
}
