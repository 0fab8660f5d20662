// Test helper: the agent's file back end on its own, for checks under Wine.
//   filetool replace-held PATH HOLD_MS   opens PATH as a reader that blocks replacing it (no
//                                        FILE_SHARE_DELETE), lets go of it after HOLD_MS, and
//                                        meanwhile replaces it with fs_write_atomic; prints "ok" or
//                                        "failed: <reason>", then the file's content
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/files.h"

int main(int argc, char** argv) {
    if (argc != 4 || std::string(argv[1]) != "replace-held") {
        std::fprintf(stderr, "usage: filetool replace-held PATH HOLD_MS\n");
        return 2;
    }
    const std::string path = argv[2];
    const DWORD hold_ms = static_cast<DWORD>(std::atoi(argv[3]));
    HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (reader == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        return 2;
    }
    std::thread release([reader, hold_ms] {
        Sleep(hold_ms);
        CloseHandle(reader);
    });
    std::string error;
    bool ok = fs_write_atomic(path, "new content", &error);
    release.join();
    std::printf("%s\n", ok ? "ok" : ("failed: " + error).c_str());
    FILE* file = std::fopen(path.c_str(), "rb");
    char buffer[256] = {};
    size_t n = file ? std::fread(buffer, 1, sizeof buffer - 1, file) : 0;
    if (file) std::fclose(file);
    std::printf("%.*s\n", static_cast<int>(n), buffer);
    return 0;
}
