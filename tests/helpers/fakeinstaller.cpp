// Test helper: stands in for an installer. Appends its command-line arguments as one line to
// "zelvo-installer-args.txt" in the temporary folder and exits.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring path = std::wstring(temp) + L"zelvo-installer-args.txt";
    FILE* file = _wfopen(path.c_str(), L"a");
    if (!file) return 1;
    for (int i = 1; i < argc; ++i) std::fwprintf(file, i == 1 ? L"%ls" : L" %ls", argv[i]);
    std::fwprintf(file, L"\n");
    std::fclose(file);
    return 0;
}
